// The ripping layer's own rules: which tables of contents it refuses, the chunk size it
// agrees on, and one rip at a time.

#include <gtest/gtest.h>

#include "cd/CDRip.h"
#include "cd/TCDIn.h"
#include "cd/TCDToc.h"
#include "tests/cd/CDTestDiscs.h"

namespace tarvio {
namespace {

std::vector<TCRTocEntry> Toc(std::initializer_list<uint32_t> Starts) {
    std::vector<TCRTocEntry> entries;
    uint8_t number = 1;
    for (uint32_t s : Starts)
        entries.push_back({s, crTrackAudio, number++});
    if (!entries.empty()) entries.back().TrackNumber = crLeadOutTrack;
    return entries;
}

TEST(TCDTocTest, RefusesWhatNoDiscCanHold) {
    std::vector<TCRTocEntry> hundred;
    for (uint32_t t = 0; t <= 100; ++t)
        hundred.push_back({t * 100, crTrackAudio, static_cast<uint8_t>(t == 100 ? crLeadOutTrack : t + 1)});
    std::vector<TCRTocEntry> ninetyNine(hundred.begin() + 1, hundred.end());
    struct TCase {
        const char* Name;
        std::vector<TCRTocEntry> Entries;
        std::string Error;
    };
    const TCase cases[] = {
        {"good", Toc({0, 15000, 30000, 45000}), ""},
        {"one track", Toc({0, 1}), ""},
        {"99 tracks", ninetyNine, ""},
        {"100 minutes", Toc({0, TCDToc::MaxDiscSectors}), ""},
        {"nothing", {}, "it lists no tracks"},
        {"lead-out only", Toc({100}), "it lists no tracks"},
        {"100 tracks", hundred, "it lists 100 tracks (at most 99)"},
        {"same start", Toc({0, 500, 500, 900}),
         "track 3 starts at sector 500, before the end of track 2 (which starts at sector 500)"},
        {"backwards", Toc({0, 900, 500, 1000}),
         "track 3 starts at sector 500, before the end of track 2 (which starts at sector 900)"},
        {"lead-out before the last track", Toc({0, 900, 800}),
         "the lead-out (sector 800) lies before the end of track 2 (which starts at sector 900)"},
        {"lead-out at the last track", Toc({0, 900, 900}),
         "the lead-out (sector 900) lies before the end of track 2 (which starts at sector 900)"},
        {"longer than a CD", Toc({0, 100, TCDToc::MaxDiscSectors + 1}),
         "the lead-out (sector 450001) lies past the end of a 100-minute disc"},
        {"wrapped start", Toc({0, 0xFFFFFF00u, 5000}),
         "the lead-out (sector 5000) lies before the end of track 2 (which starts at sector 4294967040)"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(TCDToc::Check(c.Entries), c.Error) << c.Name;
}

class CDRipTest : public testing::Test {
protected:
    void SetUp() override { TCDIn::SetDiscImage(Discs.Mixed.Cue()); }
    void TearDown() override { TCDIn::SetDiscImage(""); }

    test::TCDTestDiscs& Discs = test::TCDTestDiscs::Get();
    TCDIn In; // loads the libraries and starts the layer
};

TEST_F(CDRipTest, ChunksAreWholeSectorsNeverMoreThanAsked) {
    ASSERT_EQ(CR_SetActiveCDROM(0), crOk);
    std::vector<uint8_t> buffer(5000);
    int32_t chunk = 5000;
    ASSERT_EQ(CR_OpenRipper(&chunk, 450, 455), crOk);
    EXPECT_EQ(chunk, 4704);
    const bool abort = false;
    uint32_t bytes = 0;
    std::vector<uint8_t> got;
    do {
        ASSERT_EQ(CR_RipChunk(buffer.data(), &bytes, &abort), crOk);
        EXPECT_LE(bytes, 4704u);
        got.insert(got.end(), buffer.begin(), buffer.begin() + bytes);
    } while (bytes > 0);
    EXPECT_EQ(got, Discs.Mixed.Bytes(450, 455));
    EXPECT_EQ(CR_GetPercentCompleted(), 100);
    EXPECT_EQ(CR_CloseRipper(), crOk);
    EXPECT_EQ(CR_RipChunk(buffer.data(), &bytes, &abort), crError);
    EXPECT_EQ(CR_GetLastError(), "No rip is open");

    chunk = 2351;
    EXPECT_EQ(CR_OpenRipper(&chunk, 450, 455), crError);
    EXPECT_EQ(CR_GetLastError(), "The chunk must hold at least one sector (2352 bytes)");
    chunk = 2352;
    EXPECT_EQ(CR_OpenRipper(&chunk, -1, 455), crError);
    EXPECT_EQ(CR_OpenRipper(&chunk, 455, 450), crError);
    EXPECT_EQ(CR_OpenRipper(&chunk, 2000, 2026), crError);
    ASSERT_EQ(CR_OpenRipper(&chunk, 2025, 2025), crOk); // an empty range at the lead-out
    EXPECT_EQ(CR_RipChunk(buffer.data(), &bytes, &abort), crOk);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(CR_OpenRipper(&chunk, 450, 455), crBusy);
    EXPECT_EQ(CR_SetDiscImage(Discs.Audio.Cue().c_str()), crBusy);
    CR_CloseRipper();
}

TEST_F(CDRipTest, AnAbortEndsTheChunk) {
    ASSERT_EQ(CR_SetActiveCDROM(0), crOk);
    std::vector<uint8_t> buffer(TCDIn::ChunkBytes);
    int32_t chunk = static_cast<int32_t>(buffer.size());
    ASSERT_EQ(CR_OpenRipper(&chunk, 450, 1200), crOk);
    const bool abort = true;
    uint32_t bytes = 1;
    EXPECT_EQ(CR_RipChunk(buffer.data(), &bytes, &abort), crOk);
    EXPECT_EQ(bytes, 0u);
    CR_CloseRipper();
}

TEST_F(CDRipTest, TheImageIsDriveZeroAndTheDriveSettingsAreKeptPerDrive) {
    ASSERT_GE(CR_GetNumCDROM(), 1);
    EXPECT_EQ(CR_GetDiscImage(), Discs.Mixed.Cue());
    EXPECT_EQ(CR_SetActiveCDROM(CR_GetNumCDROM()), crNoDrive);
    EXPECT_EQ(CR_GetActiveCDROM(), 0);
    TCRDriveParams params;
    ASSERT_EQ(CR_GetCDROMParameters(&params), crOk);
    EXPECT_STREQ(CR_GetDriveID(&params), ("Disc image " + Discs.Mixed.Cue()).c_str());
    CR_SetReadSectors(&params, 9);
    params.DriveID = "renamed";
    ASSERT_EQ(CR_SetCDROMParameters(&params), crOk);
    TCRDriveParams again;
    ASSERT_EQ(CR_GetCDROMParameters(&again), crOk);
    EXPECT_EQ(CR_GetReadSectors(&again), 9);
    EXPECT_STREQ(CR_GetDriveID(&again), ("Disc image " + Discs.Mixed.Cue()).c_str());
    EXPECT_EQ(CR_EjectCD(true), crNotSupported);
}

} // namespace
} // namespace tarvio
