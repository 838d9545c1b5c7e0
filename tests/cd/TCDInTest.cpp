// The CD input on disc images made by the tests: disc and track information, rips compared
// byte for byte with the image, the range arithmetic, and the errors of bad ranges, bad
// images and a missing library.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <thread>

#include "cd/TCDIn.h"
#include "cd/TCdioLibrary.h"
#include "pipeline/EAuException.h"
#include "support/TScopedEnv.h"
#include "tests/cd/CDTestDiscs.h"

namespace tarvio {
namespace {

using test::TCDTestDiscs;
using test::TDiscImage;

// Raises the message of the EAuException Action throws, or "" when it throws none.
std::string ErrorOf(const std::function<void()>& Action) {
    try {
        Action();
    } catch (const EAuException& e) {
        return e.what();
    }
    return "";
}

class TCDInTest : public testing::Test {
protected:
    void SetUp() override { TCDIn::SetDiscImage(Discs.Mixed.Cue()); }
    void TearDown() override { TCDIn::SetDiscImage(""); }

    TCDTestDiscs& Discs = TCDTestDiscs::Get();
};

TEST_F(TCDInTest, DiscInfoAndTracksOfEachKindOfDisc) {
    struct TCase {
        const TDiscImage* Image;
        TCDInfo Info;
        int32_t Tracks;
    };
    for (const TCase& c : {TCase{&Discs.Mixed, cdiDiscMixed, 4}, TCase{&Discs.Audio, cdiDiscAudio, 2},
                           TCase{&Discs.Data, cdiDiscData, 1}}) {
        SCOPED_TRACE(c.Image->Cue());
        TCDIn::SetDiscImage(c.Image->Cue());
        TCDIn in;
        EXPECT_EQ(in.DrivesCount() >= 1, true);
        EXPECT_EQ(in.DriveName(), "Disc image " + c.Image->Cue());
        EXPECT_EQ(in.Status(), cdsReady);
        EXPECT_EQ(in.DiscInfo(), c.Info);
        EXPECT_EQ(in.TracksCount(), c.Tracks);
    }
}

TEST_F(TCDInTest, TableOfContentsOfTheMixedDisc) {
    TCDIn in;
    ASSERT_EQ(in.TracksCount(), 4);
    const uint32_t starts[] = {0, 450, 1200, 1725, 2025};
    for (int32_t i = 0; i <= 4; ++i) {
        const TCRTocEntry e = CR_GetTocEntry(i);
        EXPECT_EQ(e.StartSector, starts[i]) << i;
        EXPECT_EQ(e.StartSector, Discs.Mixed.Start(i + 1)) << i;
        EXPECT_EQ(e.TrackNumber, i == 4 ? crLeadOutTrack : i + 1);
        if (i == 0)
            EXPECT_EQ(e.Flag, crTrackData);
        else
            EXPECT_GE(e.Flag, 16) << i; // audio, as is the lead-out after an audio track
    }
    const TCDTrackInfo data = in.GetTrackInfo(1), second = in.GetTrackInfo(2), last = in.GetTrackInfo(4);
    EXPECT_TRUE(data.IsDataTrack);
    EXPECT_EQ(data.TrackLength, (TCDMSF{0, 6, 0}));
    EXPECT_FALSE(second.IsDataTrack);
    EXPECT_EQ(second.TrackLength, (TCDMSF{0, 10, 0}));
    EXPECT_EQ(last.TrackLength, (TCDMSF{0, 4, 0}));
    EXPECT_EQ(ErrorOf([&] { in.GetTrackInfo(0); }), "Track out of range.");
    EXPECT_EQ(ErrorOf([&] { in.GetTrackInfo(5); }), "Track out of range.");
}

TEST(TCDMSFTest, FramesAndBack) {
    EXPECT_EQ((TCDMSF{2, 13, 74}).Frames(), 2 * 4500 + 13 * 75 + 74);
    for (int32_t frames : {0, 74, 75, 4499, 4500, 449999}) {
        EXPECT_EQ(TCDMSF::FromFrames(frames).Frames(), frames);
    }
    EXPECT_EQ(TCDMSF::FromFrames(4575), (TCDMSF{1, 1, 0}));
}

// A rip range, set on the input, and the sectors of the image it must give.
struct TRipRange {
    const char* Name;
    std::function<void(TCDIn&)> Set;
    std::function<std::pair<uint32_t, uint32_t>(const TDiscImage&)> Sectors;
};

// How the drive is read.
struct TReadMode {
    const char* Name;
    std::function<void(TCDIn&)> Set;
};

void PrintTo(const TRipRange& Range, std::ostream* Out) {
    *Out << Range.Name;
}
void PrintTo(const TReadMode& Mode, std::ostream* Out) {
    *Out << Mode.Name;
}

class TCDInRipTest : public TCDInTest,
                     public testing::WithParamInterface<std::tuple<TRipRange, TReadMode>> {};

TEST_P(TCDInRipTest, RipsExactlyTheImagesBytes) {
    const auto& [range, mode] = GetParam();
    TCDIn in;
    range.Set(in);
    mode.Set(in);
    const auto [first, end] = range.Sectors(Discs.Mixed);
    const int64_t bytes = int64_t{end - first} * TDiscImage::SectorBytes;
    EXPECT_EQ(in.TotalSamples(), bytes / 4);
    in.Init();
    EXPECT_EQ(in.Size(), bytes);
    EXPECT_EQ(in.TotalSamples(), bytes / 4);
    const std::vector<uint8_t> got = test::ReadAll(in);
    EXPECT_EQ(in.Position(), bytes);
    in.Flush();
    EXPECT_FALSE(in.IsBusy());
    ASSERT_EQ(got.size(), static_cast<size_t>(bytes));
    EXPECT_TRUE(got == Discs.Mixed.Bytes(first, end)) << "the rip differs from the image";
    EXPECT_EQ(in.LastJitterErrors(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, TCDInRipTest,
    testing::Combine(
        testing::Values(
            TRipRange{"OneTrack", [](TCDIn& in) { in.SetStartTrack(3), in.SetEndTrack(3); },
                      [](const TDiscImage& d) { return std::pair(d.Start(3), d.Start(4)); }},
            TRipRange{"Tracks2To3", [](TCDIn& in) { in.SetStartTrack(2), in.SetEndTrack(3); },
                      [](const TDiscImage& d) { return std::pair(d.Start(2), d.Start(4)); }},
            TRipRange{"ToTheDiscEnd", [](TCDIn& in) { in.SetStartTrack(2), in.SetEndPos(DiscEndPosition); },
                      [](const TDiscImage& d) { return std::pair(d.Start(2), d.LeadOut()); }},
            TRipRange{"PositionsInsideTracks",
                      [](TCDIn& in) {
                          in.SetStartPos({2, {0, 1, 10}}), in.SetEndPos({3, {0, 0, 30}});
                      },
                      [](const TDiscImage& d) { return std::pair(d.Start(2) + 85, d.Start(3) + 30); }}),
        testing::Values(TReadMode{"Plain", [](TCDIn&) {}},
                        TReadMode{"MultiRead",
                                  [](TCDIn& in) { in.SetMultiReadCount(2), in.SetReadSetctorsPerBurst(7); }},
                        TReadMode{"JitterCorrection", [](TCDIn& in) { in.SetEnableJitterCorrection(true); }},
                        TReadMode{"Paranoid",
                                  [](TCDIn& in) {
                                      in.SetParanoid(true), in.SetParanoiaMode(0xff), in.SetOverlapSectors(4);
                                  }})),
    [](const auto& Info) {
        return std::string(std::get<0>(Info.param).Name) + "_" + std::get<1>(Info.param).Name;
    });

TEST_F(TCDInTest, LengthOfARange) {
    TCDIn in;
    in.SetStartTrack(2);
    in.SetEndTrack(2);
    EXPECT_EQ(in.TotalSamples(), 441000);
    EXPECT_EQ(in.TotalTime(), 10u);
    // Half a second more than 10 s rounds to the even 10; a frame more to 11.
    in.SetEndPos({3, {0, 0, 37}});
    in.SetStartPos({2, {0, 0, 0}});
    EXPECT_EQ(in.TotalSamples(), 441000 + 37 * 588);
    EXPECT_EQ(in.TotalTime(), 10u);
    in.SetEndPos({3, {0, 0, 38}});
    EXPECT_EQ(in.TotalTime(), 11u);
    // Positions that are not on the disc give no length.
    in.SetStartTrack(7);
    EXPECT_EQ(in.TotalSamples(), 0);
    EXPECT_EQ(in.BitsPerSample(), 16u);
    EXPECT_EQ(in.Channels(), 2u);
    EXPECT_EQ(in.SampleRate(), 44100u);
}

TEST_F(TCDInTest, BadRangesAreRefusedAndLeaveTheInputIdle) {
    struct TCase {
        const char* Message;
        std::function<void(TCDIn&)> Set;
    };
    const TCase cases[] = {
        {"Trying to rip a data track", [](TCDIn& in) { in.SetStartTrack(1), in.SetEndTrack(2); }},
        {"The start track out of range", [](TCDIn& in) { in.SetEndTrack(2); }},
        {"The start track out of range", [](TCDIn& in) { in.SetStartTrack(5), in.SetEndTrack(5); }},
        {"The end track out of range", [](TCDIn& in) { in.SetStartTrack(2), in.SetEndTrack(5); }},
        {"The end track out of range",
         [](TCDIn& in) {
             in.SetStartTrack(2), in.SetEndPos({0, {}});
         }},
        {"The end position lies before the start position",
         [](TCDIn& in) { in.SetStartTrack(3), in.SetEndTrack(1); }},
        {"Sectors 450 to 47025 do not lie within the disc (its lead-out is at sector 2025)",
         [](TCDIn& in) {
             in.SetStartTrack(2), in.SetEndPos({5, {10, 0, 0}});
         }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Message);
        TCDIn in;
        c.Set(in);
        EXPECT_EQ(ErrorOf([&] { in.Init(); }), c.Message);
        EXPECT_FALSE(in.IsBusy());
        // Nothing was left open: a good range rips.
        in.SetStartTrack(4);
        in.SetEndTrack(4);
        in.Init();
        EXPECT_EQ(test::ReadAll(in).size(), size_t{300} * TDiscImage::SectorBytes);
        in.Flush();
    }
}

TEST_F(TCDInTest, BusyInputRefusesChangesAndASecondRipWaitsForTheFirst) {
    TCDIn in, other;
    in.SetStartTrack(2);
    in.SetEndTrack(2);
    other.SetStartTrack(3);
    other.SetEndTrack(3);
    uint8_t* data = nullptr;
    uint32_t bytes = 100;
    EXPECT_EQ(ErrorOf([&] { in.GetData(data, bytes); }), "The Stream is not opened");
    in.Init();
    EXPECT_EQ(ErrorOf([&] { in.Init(); }), "The component is busy");
    for (const auto& change : std::initializer_list<std::function<void()>>{
             [&] { in.SetStartTrack(3); }, [&] { in.SetEndTrack(3); },
             [&] {
                 in.SetStartPos({3, {}});
             },
             [&] { in.SetEndPos(DiscEndPosition); }, [&] { in.Eject(); }})
        EXPECT_EQ(ErrorOf(change), "The component is busy");
    EXPECT_EQ(ErrorOf([&] { other.Init(); }), "A rip is already in progress");
    // Queries go on beside the rip, and the rip goes on after them.
    EXPECT_EQ(other.TracksCount(), 4);
    EXPECT_EQ(in.TotalSamples(), 441000);
    EXPECT_EQ(test::ReadAll(in), Discs.Mixed.Bytes(Discs.Mixed.Start(2), Discs.Mixed.Start(3)));
    in.Flush();
    other.Init();
    EXPECT_EQ(test::ReadAll(other).size(), size_t{525} * TDiscImage::SectorBytes);
    other.Flush();
}

TEST_F(TCDInTest, QueriesOnOneThreadBesideARipOnAnother) {
    TCDIn ripper, asker;
    ripper.SetStartTrack(2);
    ripper.SetEndPos(DiscEndPosition);
    std::vector<uint8_t> got;
    std::thread rip([&] {
        ripper.Init();
        got = test::ReadAll(ripper);
        ripper.Flush();
    });
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(asker.TracksCount(), 4);
        EXPECT_EQ(asker.DiscInfo(), cdiDiscMixed);
        asker.SetStartTrack(3);
        asker.SetEndTrack(3);
        EXPECT_EQ(asker.TotalSamples(), 525 * 588);
    }
    rip.join();
    EXPECT_TRUE(got == Discs.Mixed.Bytes(Discs.Mixed.Start(2), Discs.Mixed.LeadOut()));
}

TEST_F(TCDInTest, DestroyingARippingInputEndsItsRip) {
    {
        TCDIn in;
        in.SetStartTrack(2);
        in.SetEndTrack(2);
        in.Init();
    }
    TCDIn in;
    in.SetStartTrack(3);
    in.SetEndTrack(3);
    EXPECT_NO_THROW(in.Init());
    in.Flush();
}

TEST_F(TCDInTest, SettingsArePassedOnAtInit) {
    TCDIn in;
    const int32_t defaultBurst = in.ReadSetctorsPerBurst();
    EXPECT_GT(defaultBurst, 0);
    // The drive's own jitter correction is on: reading the name turns the input's on.
    EXPECT_FALSE(in.EnableJitterCorrection());
    in.DriveName();
    EXPECT_TRUE(in.EnableJitterCorrection());

    in.SetReadSetctorsPerBurst(11);
    in.SetOverlapSectors(5);
    in.SetCompareSectors(3);
    EXPECT_EQ(in.ReadSetctorsPerBurst(), defaultBurst); // applied at Init, not before
    in.SetStartTrack(4);
    in.SetEndTrack(4);
    in.Init();
    in.Flush();
    EXPECT_EQ(in.ReadSetctorsPerBurst(), 11);
    EXPECT_EQ(in.OverlapSectors(), 5);
    EXPECT_EQ(in.CompareSectors(), 3);
    // 0 leaves the drive's value.
    in.SetReadSetctorsPerBurst(0);
    in.Init();
    in.Flush();
    EXPECT_EQ(in.ReadSetctorsPerBurst(), 11);
}

TEST_F(TCDInTest, CurrentDriveOutsideTheDrivesIsIgnored) {
    TCDIn in;
    const int32_t drives = in.DrivesCount();
    ASSERT_GE(drives, 1);
    in.SetCurrentDrive(drives);
    EXPECT_EQ(in.CurrentDrive(), 0);
    in.SetCurrentDrive(-1);
    EXPECT_EQ(in.CurrentDrive(), 0);
    // A disc image has no tray: ejecting and closing leave it alone.
    EXPECT_NO_THROW(in.Eject());
    EXPECT_NO_THROW(in.CloseTray());
    EXPECT_EQ(in.TracksCount(), 4);
}

TEST_F(TCDInTest, WithoutAnyDriveNothingIsReady) {
    test::TScopedEnv noImage("TARVIO_CD_IMAGE", nullptr);
    TCDIn::SetDiscImage("");
    TCDIn in;
    if (in.DrivesCount() > 0) GTEST_SKIP() << "this machine has a CD drive";
    EXPECT_EQ(in.TracksCount(), -1);
    EXPECT_EQ(in.Status(), cdsNotReady);
    EXPECT_EQ(in.DiscInfo(), cdiUnknown);
    EXPECT_EQ(in.DriveName(), "");
    in.SetStartTrack(1);
    in.SetEndTrack(1);
    EXPECT_EQ(in.TotalSamples(), 0);
    EXPECT_EQ(ErrorOf([&] { in.Init(); }),
              "There is no CD drive (TARVIO_CD_IMAGE names a disc image to use instead)");
}

TEST_F(TCDInTest, TheEnvironmentChoosesTheImage) {
    test::TScopedEnv image("TARVIO_CD_IMAGE", Discs.Audio.Cue().c_str());
    TCDIn::SetDiscImage(""); // follow the environment again
    TCDIn in;
    EXPECT_EQ(TCDIn::DiscImage(), Discs.Audio.Cue());
    EXPECT_EQ(in.DiscInfo(), cdiDiscAudio);
}

// Images that no drive could hold, and what the input says about them.
TEST_F(TCDInTest, BadImagesGiveClearErrors) {
    namespace fs = std::filesystem;
    const fs::path dir = Discs.Folder.Path() / "bad";
    fs::create_directories(dir);
    // "@" stands for the data file of the sheet's own name.
    const std::string goodCue = "FILE \"@\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                "  TRACK 02 AUDIO\n    INDEX 01 00:02:00\n";
    const auto bin = [](size_t Sectors) { return std::string(Sectors * TDiscImage::SectorBytes, '\0'); };
    std::string hundred = "FILE \"@\" BINARY\n";
    for (int t = 1; t <= 100; ++t)
        hundred += "  TRACK " + std::to_string(t) + " AUDIO\n    INDEX 01 " + TDiscImage::Msf(t * 10) + "\n";
    const auto opened = [&](const char* Name, const std::string& Why) {
        return "The disc image " + (dir / (std::string(Name) + ".cue")).string() + " could not be opened (" +
               Why + ")";
    };
    const std::string invalid = "The disc's table of contents is not valid: ";
    struct TCase {
        const char* Name;
        std::optional<std::string> Cue, Bin; // none: no such file
        std::string Message;                 // Init's message
    };
    const TCase cases[] = {
        {"missing_bin", goodCue, std::nullopt,
         opened("missing_bin", "could not retrieve file info for `" + (dir / "missing_bin.bin").string() +
                                   "': No such file or directory")},
        {"other_data_file", "FILE other.bin BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n", bin(300),
         opened("other_data_file",
                "its data file is \"other.bin\", but the data of a CUE sheet are read from the "
                "file of its own name, \"other_data_file.bin\"")},
        {"not_a_sheet", "\x01\x02 garbage \xff\n", bin(300),
         opened("not_a_sheet", "line 1: unknown command ??")},
        {"no_tracks", "FILE \"@\" BINARY\n", bin(300), opened("no_tracks", "it lists no tracks")},
        {"track_without_index", "FILE \"@\" BINARY\n  TRACK 01 MODE1/2352\n", bin(300),
         opened("track_without_index", "track 1 has no INDEX 01")},
        {"backwards",
         "FILE \"@\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:03:00\n  TRACK 02 AUDIO\n    INDEX 01 "
         "00:01:00\n",
         bin(300), opened("backwards", "line 5: INDEX 01 lies before the index above it")},
        {"hundred_tracks", hundred, bin(3000),
         opened("hundred_tracks", "line 200: track number 100 is not 1 to 99")},
        {"no_sheet", std::nullopt, std::nullopt, opened("no_sheet", "it cannot be read")},
        // libcdio would write outside its memory on this one.
        {"high_first_track", "FILE \"@\" BINARY\n  TRACK 82 AUDIO\n    INDEX 01 00:00:00\n", bin(300),
         opened("high_first_track",
                "its first track is number 82; sheets whose tracks start above 64 are not read")},
        {"short_bin", goodCue, bin(100),
         invalid + "the lead-out (sector 100) lies before the end of track 2 (which starts at sector 150)"},
        {"far_track",
         "FILE \"@\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 "
         "74:10:00\n",
         bin(300),
         invalid +
             "the lead-out (sector 300) lies before the end of track 2 (which starts at sector 333750)"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string name = c.Name;
        const fs::path cue = dir / (name + ".cue");
        if (c.Cue) {
            std::string text = *c.Cue;
            if (const size_t at = text.find('@'); at != std::string::npos) text.replace(at, 1, name + ".bin");
            TDiscImage::WriteFile(cue, text);
        }
        if (c.Bin) TDiscImage::WriteFile(dir / (name + ".bin"), *c.Bin);
        TCDIn::SetDiscImage(cue.string());
        TCDIn in;
        EXPECT_EQ(in.TracksCount(), -1);
        EXPECT_EQ(in.DiscInfo(), cdiUnknown);
        in.SetStartTrack(1);
        in.SetEndTrack(1);
        EXPECT_EQ(in.TotalSamples(), 0);
        EXPECT_EQ(ErrorOf([&] { in.Init(); }), c.Message);
        EXPECT_FALSE(in.IsBusy());
    }
}

TEST(TCDInLibraryTest, AMissingLibraryIsAnError) {
    for (TLibraryLoader* loader : {&TCdioLibrary::LibCdio(), &TCdioLibrary::LibParanoia()}) {
        const std::string name = loader->FileName();
        loader->OverrideFileName("libtarvio-missing.so.1");
        EXPECT_EQ(ErrorOf([] { TCDIn in; }), "libtarvio-missing.so.1 could not be loaded.");
        loader->OverrideFileName(name);
    }
    EXPECT_NO_THROW(TCDIn in);
}

} // namespace
} // namespace tarvio
