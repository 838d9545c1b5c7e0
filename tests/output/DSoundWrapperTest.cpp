// The ring wrapper on the null device, with time moved by hand.

#include "output/DSoundWrapper.h"
#include "output/TDSDeviceList.h"
#include "pipeline/EAuException.h"
#include "tests/output/TManualClock.h"
#include "support/TScopedEnv.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tarvio {
namespace {

using test::TManualClock;
using test::TScopedEnv;

// 8000 Hz mono 16-bit: a 1600-byte ring lasts 100 ms, 16 bytes per millisecond. The null
// device's write cursor runs 10 ms (160 bytes) ahead of its play cursor.
constexpr uint32_t Rate = 8000;
constexpr uint32_t RingBytes = 1600;
constexpr uint32_t Gap = 160;
constexpr uint32_t BytesPerMs = 16;

WAVEFORMATEX MonoFormat() {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 1;
    f.nSamplesPerSec = Rate;
    f.wBitsPerSample = 16;
    f.nBlockAlign = 2;
    f.nAvgBytesPerSec = Rate * 2;
    return f;
}

std::vector<uint8_t> Pattern(size_t Bytes, uint8_t Seed) {
    std::vector<uint8_t> v(Bytes);
    for (size_t i = 0; i < Bytes; ++i)
        v[i] = static_cast<uint8_t>(Seed + i * 7 + (i >> 8));
    return v;
}

class DSoundWrapperTest : public ::testing::Test {
protected:
    explicit DSoundWrapperTest(bool HasCounter = true) : Clock(1'000'000, HasCounter) {}

    void SetUp() override {
        DSW_Clear(DSW);
        ASSERT_EQ(DSW_CreateDevice(DSW, nullptr), DS_OK);
        WAVEFORMATEX f = MonoFormat();
        ASSERT_EQ(DSW_CreateBuffers(DSW, 0, &f, RingBytes), DS_OK);
    }
    void TearDown() override { DSW_Release(DSW); }

    // The first block: the whole ring, then playing from 0.
    void FillAndPlay() {
        ASSERT_EQ(DSW_Write(DSW, Pattern(RingBytes, 1).data(), RingBytes), DS_OK);
        ASSERT_EQ(DSW_Play(DSW), DS_OK);
    }
    void Cursors(uint32_t& Play, uint32_t& Write) {
        ASSERT_EQ(DSW.dsw_OutputBuffer->GetCurrentPosition(&Play, &Write), DS_OK);
    }
    int32_t FreeSpace() {
        int32_t free = -1;
        EXPECT_EQ(DSW_FreeSpace(DSW, free), DS_OK);
        return free;
    }
    std::vector<uint8_t> Ring() {
        void *p1 = nullptr, *p2 = nullptr;
        uint32_t n1 = 0, n2 = 0;
        EXPECT_EQ(DSW.dsw_OutputBuffer->Lock(0, 0, &p1, &n1, &p2, &n2, DSBLOCK_ENTIREBUFFER), DS_OK);
        std::vector<uint8_t> bytes(static_cast<uint8_t*>(p1), static_cast<uint8_t*>(p1) + n1);
        DSW.dsw_OutputBuffer->Unlock(p1, n1, p2, n2);
        return bytes;
    }

    TScopedEnv Device{"TARVIO_AUDIO_DEVICE", "null"};
    TManualClock Clock;
    DSoundWrapper DSW;
};

TEST_F(DSoundWrapperTest, CreateBuffersLeavesAStoppedZeroRingAndTheFormatInThePrimary) {
    EXPECT_EQ(DSW.dsw_OutputSize, RingBytes);
    EXPECT_EQ(DSW.dsw_BytesPerFrame, 2u);
    EXPECT_EQ(DSW.dsw_WriteOffset, 0u);
    EXPECT_EQ(DSW.dsw_CounterTicksPerBuffer, 100'000); // 100 ms of a 1 MHz counter
    EXPECT_EQ(DSW.dsw_OutputRunning, LongFalse);
    EXPECT_EQ(DSW.dsw_FramesWritten, 0.0);
    EXPECT_EQ(Ring(), std::vector<uint8_t>(RingBytes, 0));
    WAVEFORMATEXTENSIBLE primary{};
    ASSERT_TRUE(DSW.dsw_PrimaryBuffer);
    DSW.dsw_PrimaryBuffer->GetFormat(primary);
    EXPECT_EQ(primary.Format.nSamplesPerSec, Rate);
    EXPECT_EQ(primary.Format.nChannels, 1);

    // A failing step returns its code and keeps what it made for DSW_Release.
    DSW_Release(DSW);
    ASSERT_EQ(DSW_CreateDevice(DSW, nullptr), DS_OK);
    WAVEFORMATEX bad = MonoFormat();
    bad.nBlockAlign = 3;
    EXPECT_EQ(DSW_CreateBuffers(DSW, 0, &bad, RingBytes), DSERR_BADFORMAT);
    EXPECT_TRUE(DSW.dsw_PrimaryBuffer);
    EXPECT_FALSE(DSW.dsw_OutputBuffer);
}

TEST_F(DSoundWrapperTest, CursorsAndFreeSpaceFollowTheClock) {
    FillAndPlay();
    EXPECT_EQ(DSW.dsw_WriteOffset, 0u); // the first block filled the ring exactly
    EXPECT_EQ(DSW.dsw_FramesWritten, 800.0);
    EXPECT_EQ(DSW.dsw_OutputRunning, LongTrue);
    uint32_t play = 0, write = 0;
    Cursors(play, write);
    EXPECT_EQ(play, 0u);
    EXPECT_EQ(write, Gap);

    Clock.AdvanceMs(25);
    Cursors(play, write);
    EXPECT_EQ(play, 25 * BytesPerMs);
    EXPECT_EQ(write, 25 * BytesPerMs + Gap);
    EXPECT_EQ(FreeSpace(), 400);
    EXPECT_EQ(DSW.dsw_FramesPlayed, 200.0);
    ASSERT_EQ(DSW_Write(DSW, Pattern(400, 9).data(), 400), DS_OK);
    EXPECT_EQ(DSW.dsw_WriteOffset, 400u);

    Clock.AdvanceMs(50);
    EXPECT_EQ(FreeSpace(), 800);
    EXPECT_EQ(DSW.dsw_OutputUnderflows, 0u);
}

// The writer filled the ring up to the play cursor at 25 ms, then nothing was queried
// for a whole lap and then some: wherever the cursor stands now, one underflow is
// counted and the writer goes to the write cursor.
class LapMissedTest : public DSoundWrapperTest, public ::testing::WithParamInterface<int> {};

TEST_P(LapMissedTest, CountsOneUnderflowAndMovesTheWriter) {
    FillAndPlay();
    Clock.AdvanceMs(25);
    ASSERT_EQ(FreeSpace(), 400);
    ASSERT_EQ(DSW_Write(DSW, Pattern(400, 3).data(), 400), DS_OK);

    Clock.AdvanceMs(GetParam());
    uint32_t play = 0, write = 0;
    Cursors(play, write);
    EXPECT_EQ(FreeSpace(), static_cast<int32_t>(RingBytes - Gap));
    EXPECT_EQ(DSW.dsw_OutputUnderflows, 1u);
    EXPECT_EQ(DSW.dsw_WriteOffset, write);
}

// 120 ms: the cursor stands behind the ring's end, past the writer. 180 ms: it crossed
// the end and stands before the writer. 350 ms: three and a half laps.
INSTANTIATE_TEST_SUITE_P(Laps, LapMissedTest, ::testing::Values(120, 180, 350));

// The cursor comes within the write cursor's lead of the writer in the same lap: an
// underflow also without a performance counter.
class OvertakenTest : public DSoundWrapperTest, public ::testing::WithParamInterface<bool> {
protected:
    OvertakenTest() : DSoundWrapperTest(GetParam()) {}
};

TEST_P(OvertakenTest, WithinOneLapIsAnUnderflow) {
    EXPECT_EQ(DSW.dsw_CounterTicksPerBuffer, GetParam() ? 100'000 : 0);
    FillAndPlay();
    Clock.AdvanceMs(95); // play cursor 1520, write cursor 80, writer at 0
    EXPECT_EQ(FreeSpace(), static_cast<int32_t>(RingBytes - Gap));
    EXPECT_EQ(DSW.dsw_OutputUnderflows, 1u);
    EXPECT_EQ(DSW.dsw_WriteOffset, 80u);
}

INSTANTIATE_TEST_SUITE_P(Counter, OvertakenTest, ::testing::Bool());

TEST_F(DSoundWrapperTest, HaltedRingNeverCountsAnUnderflowAndContinuesWithoutOne) {
    FillAndPlay();
    Clock.AdvanceMs(95);
    ASSERT_EQ(DSW_Halt(DSW), DS_OK);
    EXPECT_EQ(DSW.dsw_OutputRunning, LongFalse);
    Clock.AdvanceMs(500);
    uint32_t play = 0, write = 0;
    Cursors(play, write);
    EXPECT_EQ(play, 1520u); // halted: the cursor stands
    EXPECT_EQ(FreeSpace(), static_cast<int32_t>(RingBytes - Gap));
    EXPECT_EQ(DSW.dsw_WriteOffset, 80u); // the overtaken writer still moves
    EXPECT_EQ(DSW.dsw_OutputUnderflows, 0u);

    // The half second spent halted is not taken for laps played unobserved.
    ASSERT_EQ(DSW_Continue(DSW), DS_OK);
    EXPECT_EQ(DSW.dsw_OutputRunning, LongTrue);
    Clock.AdvanceMs(10);
    EXPECT_EQ(FreeSpace(), 0);
    EXPECT_EQ(DSW.dsw_OutputUnderflows, 0u);
}

TEST_F(DSoundWrapperTest, WriteAcrossTheEndIsSplitAndWraps) {
    std::vector<uint8_t> first = Pattern(1500, 1), second = Pattern(300, 77);
    ASSERT_EQ(DSW_Write(DSW, first.data(), 1500), DS_OK);
    ASSERT_EQ(DSW_Write(DSW, second.data(), 300), DS_OK);
    EXPECT_EQ(DSW.dsw_WriteOffset, 200u);
    EXPECT_EQ(DSW.dsw_FramesWritten, 900.0);
    std::vector<uint8_t> ring = Ring();
    EXPECT_TRUE(std::equal(second.begin(), second.begin() + 100, ring.begin() + 1500));
    EXPECT_TRUE(std::equal(second.begin() + 100, second.end(), ring.begin()));
    EXPECT_TRUE(std::equal(first.begin() + 200, first.end(), ring.begin() + 200));
    // More than the ring is refused rather than written past it.
    EXPECT_NE(DSW_Write(DSW, Pattern(RingBytes + 2, 0).data(), RingBytes + 2), DS_OK);
    EXPECT_EQ(DSW.dsw_WriteOffset, 200u);
}

TEST_F(DSoundWrapperTest, FillFreeFillsExactlyTheWritableBytes) {
    FillAndPlay();
    std::vector<uint8_t> before = Ring();
    Clock.AdvanceMs(25);
    ASSERT_EQ(DSW_FillFree(DSW, 0x80), DS_OK);
    EXPECT_EQ(DSW.dsw_WriteOffset, 400u);
    EXPECT_EQ(DSW.dsw_FramesWritten, 1000.0);
    std::vector<uint8_t> ring = Ring();
    EXPECT_EQ(std::vector<uint8_t>(ring.begin(), ring.begin() + 400), std::vector<uint8_t>(400, 0x80));
    EXPECT_TRUE(std::equal(ring.begin() + 400, ring.end(), before.begin() + 400));
    // Nothing more is free at the same moment.
    ASSERT_EQ(DSW_FillFree(DSW, 0x11), DS_OK);
    EXPECT_EQ(Ring(), ring);
}

TEST_F(DSoundWrapperTest, VolumeIsTheRingsAndAMissingControlRaises) {
    ASSERT_EQ(DSW_SetVolume(DSW, -600), DS_OK);
    int32_t volume = 0;
    ASSERT_EQ(DSW_GetVolume(DSW, volume), DS_OK);
    EXPECT_EQ(volume, -600);
    EXPECT_EQ(DSW_SetVolume(DSW, -10001), DSERR_INVALIDPARAM); // returned, not raised

    DSBUFFERDESC desc{};
    desc.dwSize = DSBUFFERDESC_SIZE;
    desc.dwBufferBytes = RingBytes;
    WAVEFORMATEX f = MonoFormat();
    desc.lpwfxFormat = &f;
    ASSERT_EQ(DSW.dsw_pDirectSound->CreateSoundBuffer(&desc, DSW.dsw_OutputBuffer), DS_OK);
    try {
        DSW_SetVolume(DSW, -100);
        FAIL() << "no exception";
    } catch (const EAuException&) {
        FAIL() << "a general exception was expected";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Control not available");
    }
}

TEST_F(DSoundWrapperTest, RoutinesWithoutARing) {
    DSW_Release(DSW);
    DSW_Release(DSW); // on an empty record too
    EXPECT_FALSE(DSW.dsw_pDirectSound);
    EXPECT_EQ(DSW_Continue(DSW), -1);
    EXPECT_EQ(DSW_Halt(DSW), DS_OK);
    int32_t volume = 123;
    EXPECT_EQ(DSW_GetVolume(DSW, volume), DS_OK);
    EXPECT_EQ(volume, 0);
    EXPECT_EQ(DSW_SetVolume(DSW, -500), DS_OK);
    int32_t free = 0;
    EXPECT_NE(DSW_FreeSpace(DSW, free), DS_OK);
}

// Enumeration through the real device list.

std::u16string Name(const DSW_DeviceInfo& Info) {
    return Info.name;
}

bool IsZero(const GUID& G) {
    return G == GUID{};
}

TEST(DSWEnumDevicesTest, TheEnvironmentSwitchListsOnlyThatDeviceAsTheDefault) {
    {
        TScopedEnv device("TARVIO_AUDIO_DEVICE", "null");
        DSW_Devices devices{};
        ASSERT_EQ(DSW_EnumDevices(devices), DS_OK);
        ASSERT_EQ(devices.devcount, 1);
        EXPECT_TRUE(IsZero(devices.dinfo[0].guid));
        EXPECT_EQ(Name(devices.dinfo[0]), u"Null device (no sound)");
    }
    {
        TScopedEnv device("TARVIO_AUDIO_DEVICE", "wav:/tmp/out.wav");
        DSW_Devices devices{};
        ASSERT_EQ(DSW_EnumDevices(devices), DS_OK);
        ASSERT_EQ(devices.devcount, 1);
        EXPECT_EQ(Name(devices.dinfo[0]), u"Wave file /tmp/out.wav");
    }
}

// ALSA reads its device list from the files ALSA_CONFIG_PATH names.
class AlsaDeviceListTest : public ::testing::Test {
protected:
    void UseAlsaDevices(int Count, size_t DescriptionChars) {
        std::ofstream conf(ConfPath);
        for (int i = 1; i <= Count; ++i) {
            std::string desc = "Card " + std::to_string(i) + " ";
            desc.resize(DescriptionChars, static_cast<char>('a' + i % 26));
            conf << "pcm.tarviotest" << i << " { type null; hint { show on; description \"" << desc
                 << "\" } }\n";
        }
        conf.close();
        Config.emplace("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + ConfPath).c_str());
    }
    void TearDown() override { std::remove(ConfPath.c_str()); }

    std::string ConfPath = ::testing::TempDir() + "tarvio-alsa-" + std::to_string(getpid()) + ".conf";
    TScopedEnv NoSwitch{"TARVIO_AUDIO_DEVICE", nullptr};
    std::optional<TScopedEnv> Config;
};

TEST_F(AlsaDeviceListTest, DefaultFirstThenAlsaDevicesThenTheNullDevice) {
    UseAlsaDevices(2, 20);
    DSW_Devices devices{};
    ASSERT_EQ(DSW_EnumDevices(devices), DS_OK);
    ASSERT_GE(devices.devcount, 4);
    EXPECT_TRUE(IsZero(devices.dinfo[0].guid));
    const DSW_DeviceInfo& last = devices.dinfo[devices.devcount - 1];
    EXPECT_EQ(last.guid, TDSDeviceList::NullDeviceGuid);
    EXPECT_EQ(Name(last), u"Null device (no sound)");
    int found = 0;
    for (int i = 1; i < devices.devcount - 1; ++i) {
        EXPECT_FALSE(IsZero(devices.dinfo[i].guid));
        if (Name(devices.dinfo[i]).starts_with(u"Card ")) ++found;
    }
    EXPECT_EQ(found, 2);

    // An enumerated ALSA device is created by its GUID and plays the ring (this one is
    // ALSA's null plugin, which takes data without a card; the ring keeps it to time).
    const DSW_DeviceInfo* card = nullptr;
    for (int i = 1; i < devices.devcount - 1; ++i)
        if (Name(devices.dinfo[i]).starts_with(u"Card 2")) card = &devices.dinfo[i];
    ASSERT_NE(card, nullptr);
    DSoundWrapper dsw;
    ASSERT_EQ(DSW_CreateDevice(dsw, &card->guid), DS_OK);
    WAVEFORMATEX f{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    ASSERT_EQ(DSW_CreateBuffers(dsw, 0, &f, 17640), DS_OK);
    ASSERT_EQ(DSW_Write(dsw, Pattern(17640, 5).data(), 17640), DS_OK);
    ASSERT_EQ(DSW_Play(dsw), DS_OK);
    int32_t free = 0;
    for (int i = 0; i < 500 && free == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_EQ(DSW_FreeSpace(dsw, free), DS_OK);
    }
    EXPECT_GT(free, 0);
    EXPECT_EQ(free % 4, 0);
    DSW_Release(dsw);
}

TEST_F(AlsaDeviceListTest, ListIsCappedAt16AndDescriptionsAt127Characters) {
    UseAlsaDevices(20, 200);
    DSW_Devices devices{};
    ASSERT_EQ(DSW_EnumDevices(devices), DS_OK);
    EXPECT_EQ(devices.devcount, 16);
    EXPECT_NE(devices.dinfo[15].guid, TDSDeviceList::NullDeviceGuid);
    int longOnes = 0;
    for (const DSW_DeviceInfo& info : devices.dinfo)
        if (Name(info).starts_with(u"Card ")) {
            ++longOnes;
            EXPECT_EQ(Name(info).size(), 127u);
            EXPECT_EQ(info.name[127], 0);
        }
    EXPECT_GE(longOnes, 10);
}

TEST(DSWCreateDeviceTest, UnknownDevicesAndMissingCardsFail) {
    TScopedEnv noSwitch("TARVIO_AUDIO_DEVICE", nullptr);
    DSoundWrapper dsw;
    GUID unknown = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    EXPECT_EQ(DSW_CreateDevice(dsw, &unknown), DSERR_NODRIVER);
    EXPECT_FALSE(dsw.dsw_pDirectSound);
    EXPECT_EQ(DSW_CreateDevice(dsw, &TDSDeviceList::NullDeviceGuid), DS_OK);
    DSW_Release(dsw);
    if (std::ifstream("/proc/asound/cards").good()) GTEST_SKIP() << "this machine has a sound card";
    EXPECT_EQ(DSW_CreateDevice(dsw, nullptr), DSERR_NODRIVER);
}

} // namespace
} // namespace tarvio
