// One channel order for all multichannel audio: files whose channels carry one tone each
// decode with every tone in its WAVE position, and a decoded 5.1 file written by TWaveOut
// or recorded by the wave-file device reads back as 5.1 with the tones where ffmpeg's own
// decode of the source puts them.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <unistd.h>

#include "decoders/DecoderTestMedia.h"
#include "decoders/PcmCompare.h"
#include "decoders/ac3/TAC3In.h"
#include "decoders/dts/TDTSIn.h"
#include "decoders/flac/TFLACIn.h"
#include "decoders/vorbis/TVorbisIn.h"
#include "output/TDXAudioOut.h"
#include "pipeline/TMainThreadQueue.h"
#include "pipeline/TWaveOut.h"
#include "support/TScopedEnv.h"
#include "support/TestInputs.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

// The tones of the test files, in WAVE order: FL FR FC LFE BL BR.
const std::vector<double> Tones51 = {300, 500, 700, 60, 1100, 1300};
const std::vector<double> Tones50 = {300, 500, 700, 1100, 1300};

std::unique_ptr<TAuFileIn> DecoderFor(const std::string& Name) {
    const std::string ext = Name.substr(Name.rfind('.'));
    std::unique_ptr<TAuFileIn> in;
    if (ext == ".flac") in = std::make_unique<TFLACIn>();
    if (ext == ".ogg") in = std::make_unique<TVorbisIn>();
    if (ext == ".dts") in = std::make_unique<TDTSIn>();
    if (ext == ".ac3") in = std::make_unique<TAC3In>();
    in->SetFileName(Media(Name));
    return in;
}

// Which of Tones is strongest in each channel, or -1 where no tone stands 20 dB above the
// others. Over half a second from a quarter second on.
std::vector<int> ToneOfEachChannel(const TBytes& Pcm, uint32_t Channels, uint32_t Rate,
                                   const std::vector<double>& Tones) {
    const std::vector<int16_t> s = Samples(Pcm);
    std::vector<int> out;
    for (uint32_t c = 0; c < Channels; ++c) {
        std::vector<double> level;
        for (double f : Tones)
            level.push_back(ToneLevel(s, Channels, c, Rate, f, Rate / 4, Rate / 2));
        const size_t best = static_cast<size_t>(std::max_element(level.begin(), level.end()) - level.begin());
        double other = 0;
        for (size_t t = 0; t < level.size(); ++t)
            if (t != best) other = std::max(other, level[t]);
        const bool clear = level[best] > 300 && level[best] > 10 * other;
        out.push_back(clear ? static_cast<int>(best) : -1);
    }
    return out;
}

std::vector<int> InOrder(size_t Count) {
    std::vector<int> v(Count);
    for (size_t i = 0; i < Count; ++i)
        v[i] = static_cast<int>(i);
    return v;
}

struct TToneFile {
    const char* Name;
    uint32_t Channels;
};

class ToneOrder : public testing::TestWithParam<TToneFile> {};

TEST_P(ToneOrder, EveryToneInItsWavePosition) {
    const TToneFile& c = GetParam();
    std::unique_ptr<TAuFileIn> in = DecoderFor(c.Name);
    ASSERT_TRUE(in->Valid());
    ASSERT_EQ(in->Channels(), c.Channels);
    const uint32_t rate = in->SampleRate();
    const TBytes pcm = DecodeAll(*in);
    const std::vector<double>& tones = c.Channels == 6 ? Tones51 : Tones50;
    EXPECT_EQ(ToneOfEachChannel(pcm, c.Channels, rate, tones), InOrder(c.Channels));
}

INSTANTIATE_TEST_SUITE_P(Decoders, ToneOrder,
                         testing::Values(TToneFile{"flac/tones.flac", 6}, TToneFile{"vorbis/tones.ogg", 6},
                                         TToneFile{"vorbis/tones5.ogg", 5},
                                         TToneFile{"dts/tones_48000.dts", 6},
                                         TToneFile{"ac3/tones_48000.ac3", 6}),
                         [](const testing::TestParamInfo<TToneFile>& i) {
                             std::string name = i.param.Name;
                             for (char& ch : name)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

// ---------------------------------------------------------------------------------------
// Out through the WAVE writers.

class WaveWriters : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '-');
        Dir = std::filesystem::temp_directory_path() /
              ("tarvio-channels-" + std::to_string(getpid()) + "-" + name);
        std::filesystem::create_directories(Dir);
    }
    void TearDown() override { std::filesystem::remove_all(Dir); }

    // What ffprobe says of File and the tone of each channel in ffmpeg's decode of it.
    void Check(const std::string& File, const std::string& Source) {
        const std::string probe = CommandOutput(
            "ffprobe -v error -show_entries stream=channels,channel_layout -of csv=p=0 '" + File + "'");
        EXPECT_EQ(probe, "6,5.1\n");
        const std::string raw = (Dir / "decoded.raw").string();
        ASSERT_EQ(
            std::system(
                ("ffmpeg -nostdin -loglevel error -y -i '" + File + "' -f s16le '" + raw + "'").c_str()),
            0);
        const TBytes ref = ReadAll(Media(Source.substr(0, Source.rfind('.')) + ".ref.raw"));
        const std::vector<int> expected = ToneOfEachChannel(ref, 6, 48000, Tones51);
        EXPECT_EQ(expected, InOrder(6)) << "ffmpeg's decode of the source";
        EXPECT_EQ(ToneOfEachChannel(ReadAll(raw), 6, 48000, Tones51), expected);
    }

    std::filesystem::path Dir;
};

TEST_P(WaveWriters, TWaveOutWrites51) {
    std::unique_ptr<TAuFileIn> in = DecoderFor(GetParam());
    const std::string path = (Dir / "out.wav").string();
    TWaveOut out;
    out.SetInput(in.get());
    out.SetFileName(path);
    bool done = false;
    out.SetOnDone([&](TComponent*) { done = true; });
    out.Run();
    ASSERT_TRUE(PumpUntil([&] { return done; }, 20000));
    EXPECT_EQ(out.ExceptionMessage(), "");
    Check(path, GetParam());
}

TEST_P(WaveWriters, WaveFileDeviceRecords51) {
    std::unique_ptr<TAuFileIn> in = DecoderFor(GetParam());
    const std::string path = (Dir / "recorded.wav").string();
    {
        TScopedEnv device("TARVIO_AUDIO_DEVICE", ("wav:" + path).c_str());
        TDXAudioOut out;
        out.SetInput(in.get());
        bool done = false;
        out.SetOnDone([&](TComponent*) { done = true; });
        out.Run();
        ASSERT_TRUE(PumpUntil([&] { return done; }, 20000));
        EXPECT_EQ(out.ExceptionMessage(), "");
    }
    Check(path, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Sources, WaveWriters, testing::Values("dts/tones_48000.dts", "ac3/tones_48000.ac3"),
                         [](const testing::TestParamInfo<const char*>& i) {
                             std::string name = i.param;
                             for (char& ch : name)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

} // namespace
