// The sound layer's buffers: the formats it takes and the ranges it locks.

#include "output/TDirectSoundBuffer.h"
#include "output/DirectSound.h"
#include "support/TScopedEnv.h"

#include <gtest/gtest.h>

#include <functional>

namespace tarvio {
namespace {

using test::TScopedEnv;

WAVEFORMATEXTENSIBLE Stereo16() {
    WAVEFORMATEXTENSIBLE f{};
    f.Format = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    return f;
}

WAVEFORMATEXTENSIBLE Extensible(uint16_t Channels, uint16_t Bits, uint32_t Mask) {
    WAVEFORMATEXTENSIBLE f{};
    uint16_t align = Channels * Bits / 8;
    f.Format = {WAVE_FORMAT_EXTENSIBLE, Channels, 48000, 48000u * align, align, Bits, 22};
    f.dwChannelMask = Mask;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

struct TFormatCase {
    const char* Name;
    std::function<void(WAVEFORMATEXTENSIBLE&)> Change;
    HRESULT Expected;
};

class FormatTest : public ::testing::TestWithParam<TFormatCase> {};

TEST_P(FormatTest, IsCheckedBeforeAnythingIsMade) {
    WAVEFORMATEXTENSIBLE f = Stereo16();
    GetParam().Change(f);
    EXPECT_EQ(TDirectSoundBuffer::ValidateFormat(&f.Format), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FormatTest,
    ::testing::Values(
        TFormatCase{"Pcm", [](auto&) {}, DS_OK},
        TFormatCase{"SixChannels", [](auto& f) { f = Extensible(6, 16, 0x3F); }, DS_OK},
        TFormatCase{"FiveChannelsNoMask", [](auto& f) { f = Extensible(5, 24, 0); }, DS_OK},
        TFormatCase{"NoChannels", [](auto& f) { f.Format = {1, 0, 44100, 0, 0, 16, 0}; }, DSERR_BADFORMAT},
        TFormatCase{"NineChannels", [](auto& f) { f = Extensible(9, 16, 0); }, DSERR_BADFORMAT},
        TFormatCase{"TwelveBits", [](auto& f) { f.Format = {1, 2, 44100, 132300, 3, 12, 0}; },
                    DSERR_BADFORMAT},
        TFormatCase{"RateTooLow", [](auto& f) { f.Format = {1, 2, 99, 396, 4, 16, 0}; }, DSERR_BADFORMAT},
        TFormatCase{"RateTooHigh", [](auto& f) { f.Format = {1, 2, 200001, 800004, 4, 16, 0}; },
                    DSERR_BADFORMAT},
        TFormatCase{"WrongBlockAlign", [](auto& f) { f.Format.nBlockAlign = 2; }, DSERR_BADFORMAT},
        TFormatCase{"WrongByteRate", [](auto& f) { f.Format.nAvgBytesPerSec += 1; }, DSERR_BADFORMAT},
        TFormatCase{"FloatTag", [](auto& f) { f.Format.wFormatTag = 3; }, DSERR_BADFORMAT},
        TFormatCase{"ShortExtension", [](auto& f) { f = Extensible(2, 16, 3), f.Format.cbSize = 0; },
                    DSERR_BADFORMAT},
        TFormatCase{"NotPcmInside", [](auto& f) { f = Extensible(2, 16, 3), f.SubFormat.Data1 = 3; },
                    DSERR_BADFORMAT},
        TFormatCase{"MaskWiderThanChannels", [](auto& f) { f = Extensible(2, 16, 0x7); }, DSERR_BADFORMAT}),
    [](const auto& Info) { return std::string(Info.param.Name); });

class SecondaryBufferTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(DirectSoundCreate(nullptr, Device, nullptr), DS_OK);
        ASSERT_EQ(Device->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY), DS_OK);
    }
    HRESULT Make(uint32_t Bytes, uint32_t Flags = DSBCAPS_CTRLVOLUME) {
        DSBUFFERDESC desc{};
        desc.dwSize = DSBUFFERDESC_SIZE;
        desc.dwFlags = Flags;
        desc.dwBufferBytes = Bytes;
        desc.lpwfxFormat = &Format.Format;
        return Device->CreateSoundBuffer(&desc, Buffer);
    }

    TScopedEnv Switch{"TARVIO_AUDIO_DEVICE", "null"};
    WAVEFORMATEXTENSIBLE Format = Stereo16();
    std::shared_ptr<TDirectSound> Device;
    std::shared_ptr<TDirectSoundBuffer> Buffer;
};

TEST_F(SecondaryBufferTest, SizeMustBeWholeFramesWithinLimits) {
    EXPECT_EQ(Make(0), DSERR_INVALIDPARAM);
    EXPECT_EQ(Make(1002), DSERR_INVALIDPARAM); // half a frame over
    EXPECT_EQ(Make(DSBSIZE_MAX + 1), DSERR_INVALIDPARAM);
    EXPECT_FALSE(Buffer);
    EXPECT_EQ(Make(1000), DS_OK);
    EXPECT_EQ(Buffer->Size(), 1000u);
}

TEST_F(SecondaryBufferTest, LockGivesTwoRegionsWhenTheRangeWraps) {
    ASSERT_EQ(Make(1000), DS_OK);
    void *p1 = nullptr, *p2 = nullptr;
    uint32_t n1 = 0, n2 = 0;
    ASSERT_EQ(Buffer->Lock(800, 400, &p1, &n1, &p2, &n2, 0), DS_OK);
    EXPECT_EQ(n1, 200u);
    EXPECT_EQ(n2, 200u);
    EXPECT_EQ(static_cast<uint8_t*>(p1) - static_cast<uint8_t*>(p2), 800);
    EXPECT_EQ(Buffer->Unlock(p1, n1, p2, n2), DS_OK);
    EXPECT_EQ(Buffer->Unlock(p1, n1, p2, n2), DSERR_INVALIDCALL); // nothing locked any more

    // Ranges outside the ring are refused and return no pointers.
    EXPECT_EQ(Buffer->Lock(1000, 4, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
    EXPECT_EQ(Buffer->Lock(0, 1004, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
    EXPECT_EQ(Buffer->Lock(0, 0, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
    EXPECT_EQ(p1, nullptr);
    EXPECT_EQ(n1, 0u);
    // A wrapping range needs somewhere to put its second region.
    EXPECT_EQ(Buffer->Lock(800, 400, &p1, &n1, nullptr, nullptr, 0), DSERR_INVALIDPARAM);
}

TEST_F(SecondaryBufferTest, VolumeNeedsItsControlAndStaysInRange) {
    ASSERT_EQ(Make(1000), DS_OK);
    EXPECT_EQ(Buffer->SetVolume(DSBVOLUME_MIN), DS_OK);
    EXPECT_EQ(Buffer->SetVolume(DSBVOLUME_MIN - 1), DSERR_INVALIDPARAM);
    EXPECT_EQ(Buffer->SetVolume(1), DSERR_INVALIDPARAM);
    int32_t volume = 0;
    EXPECT_EQ(Buffer->GetVolume(&volume), DS_OK);
    EXPECT_EQ(volume, DSBVOLUME_MIN);
    ASSERT_EQ(Make(1000, 0), DS_OK);
    EXPECT_EQ(Buffer->SetVolume(0), DSERR_CONTROLUNAVAIL);
    EXPECT_EQ(Buffer->GetVolume(&volume), DSERR_CONTROLUNAVAIL);
}

TEST_F(SecondaryBufferTest, OnlyLoopingPlaybackAndThePrimaryOnlyHoldsAFormat) {
    ASSERT_EQ(Make(1000), DS_OK);
    EXPECT_EQ(Buffer->Play(0, 0, 0), DSERR_UNSUPPORTED);
    EXPECT_EQ(Buffer->SetFormat(&Format.Format), DSERR_INVALIDCALL);
    DSBUFFERDESC primary{};
    primary.dwSize = DSBUFFERDESC_SIZE;
    primary.dwFlags = DSBCAPS_PRIMARYBUFFER;
    std::shared_ptr<TDirectSoundBuffer> p;
    ASSERT_EQ(Device->CreateSoundBuffer(&primary, p), DS_OK);
    EXPECT_EQ(p->Play(0, 0, DSBPLAY_LOOPING), DSERR_INVALIDCALL);
    EXPECT_EQ(p->SetFormat(&Format.Format), DS_OK);
}

} // namespace
} // namespace tarvio
