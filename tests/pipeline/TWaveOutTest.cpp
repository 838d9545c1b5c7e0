// The wave-file output: the header describes exactly the bytes written, as other tools read it.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "pipeline/TWaveOut.h"
#include "support/TestInputs.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

std::vector<uint8_t> ReadFile(const std::string& Path) {
    std::ifstream f(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

struct WaveCase {
    uint32_t Channels, Bits, Rate;
    const char* Probe; // what ffprobe reports: codec,channels,rate
};

} // namespace

class WaveOutFormats : public ::testing::TestWithParam<WaveCase> {};

TEST_P(WaveOutFormats, FileHoldsTheInputsFormatAndBytes) {
    const WaveCase& c = GetParam();
    auto dir = std::filesystem::temp_directory_path() / ("tarvio-wave-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::string path = (dir / "out.wav").string();
    const uint32_t frame = c.Channels * c.Bits / 8;
    std::vector<uint8_t> pcm = Pattern(frame * 4411); // an odd byte count for 8-bit mono
    TMemoryStream s(pcm);
    TRawPcmIn in(nullptr, c.Channels, c.Bits, c.Rate);
    in.SetStream(&s);
    TWaveOut out;
    out.SetInput(&in);
    out.SetFileName(path);
    bool done = false;
    out.SetOnDone([&](TComponent*) { done = true; });
    out.Run();
    ASSERT_TRUE(PumpUntil([&] { return done; }));
    EXPECT_EQ(out.ExceptionMessage(), "");

    std::vector<uint8_t> file = ReadFile(path);
    std::string header = TWaveOut::MakeHeader(c.Channels, c.Rate, c.Bits, pcm.size());
    ASSERT_GE(file.size(), header.size() + pcm.size());
    EXPECT_EQ(std::string(file.begin(), file.begin() + static_cast<long>(header.size())), header);
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), file.begin() + static_cast<long>(header.size())));

    std::string probe = CommandOutput(
        "ffprobe -v error -show_entries stream=codec_name,channels,sample_rate -of csv=p=0 '" + path + "'");
    EXPECT_EQ(probe, std::string(c.Probe) + "\n");
    std::string samples = CommandOutput("soxi -s '" + path + "'");
    EXPECT_EQ(samples, "4411\n");
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Cases, WaveOutFormats,
                         ::testing::Values(WaveCase{2, 16, 44100, "pcm_s16le,44100,2"},
                                           WaveCase{1, 8, 8000, "pcm_u8,8000,1"},
                                           WaveCase{6, 24, 48000, "pcm_s24le,48000,6"},
                                           WaveCase{2, 32, 96000, "pcm_s32le,96000,2"}));

TEST(TWaveOut, UnwritableFileEndsTheRunWithAnError) {
    TMemoryStream s(Pattern(4000));
    TRawPcmIn in;
    in.SetStream(&s);
    TWaveOut out;
    out.SetInput(&in);
    out.SetFileName("/nonexistent/dir/out.wav");
    bool done = false;
    out.SetOnDone([&](TComponent*) { done = true; });
    out.Run();
    ASSERT_TRUE(PumpUntil([&] { return done; }));
    EXPECT_EQ(out.ExceptionMessage(), "/nonexistent/dir/out.wav: No such file or directory");
    EXPECT_FALSE(in.IsBusy());
}
