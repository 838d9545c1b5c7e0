// Start and end frames, seeking before and during a run, jumps, validity, file streams.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pipeline/EAuException.h"
#include "pipeline/TAuFileStream.h"
#include "pipeline/TWaveOut.h"
#include "support/TestInputs.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

constexpr uint32_t kFrame = 4; // 16-bit stereo

std::vector<uint8_t> ReadAll(TAuInput& In, uint32_t Ask = 4096) {
    std::vector<uint8_t> out;
    for (;;) {
        uint8_t* b = nullptr;
        uint32_t n = Ask;
        In.GetData(b, n);
        if (n == 0) break;
        out.insert(out.end(), b, b + n);
    }
    return out;
}

struct FileInFixture : ::testing::Test {
    TMemoryStream Stream{Pattern(1000 * kFrame)}; // 1000 frames
    TRawPcmIn In;
    void SetUp() override { In.SetStream(&Stream); }
};

} // namespace

struct RangeCase {
    int64_t Start, End;
    int64_t TotalSamples; // after Init
    int64_t FirstFrame, Frames;
};

class StartEndRange : public FileInFixture, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(StartEndRange, DeliversExactlyTheFrames) {
    const RangeCase& c = GetParam();
    In.SetStartSample(c.Start);
    In.SetEndSample(c.End);
    In.Init();
    EXPECT_EQ(In.TotalSamples(), c.TotalSamples);
    std::vector<uint8_t> got = ReadAll(In, 999); // not a frame multiple on purpose
    EXPECT_EQ(got, Pattern(static_cast<size_t>(c.Frames * kFrame), c.FirstFrame * kFrame));
    In.Flush();
    EXPECT_EQ(In.StartSample(), 0);
    EXPECT_EQ(In.EndSample(), -1);
}

INSTANTIATE_TEST_SUITE_P(Cases, StartEndRange,
                         ::testing::Values(RangeCase{0, -1, 1000, 0, 1000},   // whole file
                                           RangeCase{100, -1, 900, 100, 900}, // the frames that remain
                                           RangeCase{100, 199, 100, 100, 100}, RangeCase{0, 0, 1, 0, 1},
                                           RangeCase{10, 5000, 990, 10, 990})); // end beyond: -1

TEST_F(FileInFixture, LoopRepeatsEveryFrameIncludingTheLast) {
    In.SetLoop(true);
    In.SetStartSample(10);
    In.SetEndSample(109); // 100 frames, not a multiple of the chunk
    In.ChunkFrames = 33;
    In.Init();
    std::vector<uint8_t> got;
    while (got.size() < 3 * 100 * kFrame) {
        uint8_t* b = nullptr;
        uint32_t n = 4096;
        In.GetData(b, n);
        ASSERT_GT(n, 0u);
        got.insert(got.end(), b, b + n);
    }
    std::vector<uint8_t> pass = Pattern(100 * kFrame, 10 * kFrame), expected;
    for (int i = 0; i < 3; ++i)
        expected.insert(expected.end(), pass.begin(), pass.end());
    got.resize(expected.size());
    EXPECT_EQ(got, expected);
    In.Flush();
}

// An input that cannot seek starts each pass over by reopening: every pass keeps the
// range of the first.
TEST_F(FileInFixture, LoopWithoutSeekingKeepsTheRange) {
    In.CanSeek = false;
    In.SetStream(&Stream);
    In.SetEndSample(99);
    In.SetLoop(true);
    In.Init();
    std::vector<uint8_t> passes;
    while (passes.size() < 3 * 100 * kFrame) {
        uint8_t* b = nullptr;
        uint32_t n = 64 * kFrame;
        In.GetData(b, n);
        ASSERT_GT(n, 0u);
        passes.insert(passes.end(), b, b + n);
    }
    In.Flush();
    const std::vector<uint8_t> pass = Pattern(100 * kFrame);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(std::equal(pass.begin(), pass.end(), passes.begin() + i * 100 * kFrame)) << "pass " << i;
}

TEST_F(FileInFixture, SeekBeforeAndDuringARun) {
    EXPECT_TRUE(In.Seek(50)); // before a run: the start frame
    EXPECT_EQ(In.StartSample(), 50);
    EXPECT_EQ(In.EndSample(), -1);
    In.Flush(); // forget it again
    In.SetStartSample(100);
    In.Init();
    EXPECT_TRUE(In.Seek(50)); // relative to the run's start
    EXPECT_EQ(In.LastSeek, 150);
    EXPECT_EQ(In.Position(), 50 * kFrame);
    uint8_t* b = nullptr;
    uint32_t n = kFrame;
    In.GetData(b, n);
    EXPECT_EQ(std::vector<uint8_t>(b, b + n), Pattern(kFrame, 150 * kFrame));
    EXPECT_FALSE(In.Seek(5000)); // beyond the length
    In.Flush();

    In.CanSeek = false;
    In.SetStream(&Stream); // reopen with the new setting
    In.Init();
    EXPECT_FALSE(In.Seek(10));
    In.Flush();
}

struct JumpCase {
    int64_t At;
    int32_t Offs;
    int64_t Target;
};

class Jump : public FileInFixture, public ::testing::WithParamInterface<JumpCase> {};

TEST_P(Jump, MovesByThousandthsClamped) {
    In.Init();
    ASSERT_TRUE(In.Seek(GetParam().At));
    In._Jump(GetParam().Offs);
    EXPECT_EQ(In.LastSeek, GetParam().Target);
    In.Flush();
}

INSTANTIATE_TEST_SUITE_P(Cases, Jump,
                         ::testing::Values(JumpCase{500, 100, 600}, JumpCase{500, -1000, 0},
                                           JumpCase{0, 1000, 1000}, JumpCase{900, 1000, 1000},
                                           JumpCase{250, -100, 150}));

TEST_F(FileInFixture, FormatTimeAndValidity) {
    EXPECT_TRUE(In.Valid());
    EXPECT_EQ(In.OpenCount, 1);
    EXPECT_EQ(In.TotalSamples(), 1000);
    EXPECT_EQ(In.TotalTime(), 0u); // 1000 frames at 44.1 kHz rounds to 0 s
    In.Rate = 100;
    In.SetStream(&Stream); // closes; the next getter reopens with the new rate
    EXPECT_EQ(In.TotalTime(), 10u);
    EXPECT_TRUE(In.SetStartTime(0, 5));
    EXPECT_FALSE(In.SetEndTime(1, 0)); // beyond the length

    TRawPcmIn none;
    EXPECT_FALSE(none.Valid()); // no name, no stream: last result, nothing opened
    EXPECT_EQ(none.OpenCount, 0);
    EXPECT_THROW(none.Init(), EAuException);

    TMemoryStream empty;
    TRawPcmIn invalid;
    invalid.SetStream(&empty);
    EXPECT_FALSE(invalid.Valid());
    invalid.Init(); // an invalid file runs as an empty stream
    EXPECT_EQ(ReadAll(invalid).size(), 0u);
    EXPECT_THROW(invalid.Init(), EAuException); // "The component is Busy"
    invalid.Flush();
}

TEST(TAuFileIn, MissingFileIsInvalidAndInitRaisesTheSystemText) {
    TRawPcmIn in;
    in.SetFileName("/nonexistent/dir/file.raw");
    EXPECT_FALSE(in.Valid());
    try {
        in.Init();
        FAIL();
    } catch (const EAuException& e) {
        EXPECT_STREQ(e.what(), "No such file or directory");
    }
}

namespace {
// A seekable input that does not know its length, as some Ogg streams are.
struct TUnknownSize : TRawPcmIn {
    void OpenFile() override {
        TRawPcmIn::OpenFile();
        FSize = -1;
    }
};
// An input whose header claims a length far beyond its data.
struct THugeSize : TRawPcmIn {
    void OpenFile() override {
        TRawPcmIn::OpenFile();
        FSize = INT64_MAX / kFrame * kFrame;
    }
};
} // namespace

TEST(TAuFileIn, TotalTimeOfUnknownSizeIsZero) {
    TUnknownSize in;
    TMemoryStream s(Pattern(400));
    in.SetStream(&s);
    EXPECT_EQ(in.TotalTime(), 0u);
    EXPECT_EQ(in.TotalSamples(), -1);
}

// Seconds beyond the 32-bit count are no length at all, not a wrapped small one.
TEST(TAuFileIn, TotalTimeBeyondTheCountIsUnknown) {
    THugeSize in;
    TMemoryStream s(Pattern(400));
    in.SetStream(&s);
    EXPECT_EQ(in.TotalTime(), 0u);
    EXPECT_EQ(in.TotalSamples(), INT64_MAX / kFrame);
}

// A jump is thousandths of the length: with none known it leaves the position alone, in
// either direction, instead of rewinding to the start.
TEST(TAuFileIn, JumpWithUnknownSizeNeverRewinds) {
    TUnknownSize in;
    TMemoryStream s(Pattern(1000 * kFrame));
    in.SetStream(&s);
    in.Init();
    uint8_t* b = nullptr;
    uint32_t n = 400 * kFrame;
    in.GetData(b, n);
    for (int32_t offs : {100, -100}) {
        in._Jump(offs);
        EXPECT_EQ(in.LastSeek, -1) << offs;
        EXPECT_EQ(in.Position(), 400 * kFrame);
    }
    n = kFrame;
    in.GetData(b, n);
    EXPECT_EQ(std::vector<uint8_t>(b, b + n), Pattern(kFrame, 400 * kFrame));
    in.Flush();
}

TEST(TAuFileStream, ModesAndSharing) {
    auto dir = std::filesystem::temp_directory_path() / ("tarvio-fs-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::string path = (dir / "f.bin").string();
    {
        TAuFileStream created(path, fmCreate);
        created.WriteBuffer("abcdef", 6);
        EXPECT_EQ(created.Size(), 6);
    }
    {
        TAuFileStream r1(path, 32); // read, others may read
        TAuFileStream r2(path, 32);
        char buf[4] = {};
        EXPECT_EQ(r2.Read(buf, 3), 3);
        EXPECT_EQ(std::string(buf, 3), "abc");
        EXPECT_THROW(TAuFileStream(path, fmOpenReadWrite | fmShareExclusive), EAuException);
    }
    {
        TAuFileStream rw(path, fmOpenReadWrite | fmShareExclusive);
        rw.SetSize(2);
        EXPECT_EQ(rw.Size(), 2);
    }
    EXPECT_THROW(TAuFileStream((dir / "missing").string(), 32), EAuException);
    std::filesystem::remove_all(dir);
}

// A named pipe with no writer: a read open returns at once (a blocking open would hang
// whoever asked, the player's window among them) and reads as empty.
TEST(TAuFileStream, ReadOpenOfANamedPipeDoesNotWaitForAWriter) {
    auto dir = std::filesystem::temp_directory_path() / ("tarvio-fs-fifo-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "fifo.flac").string();
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    auto opened = std::async(std::launch::async, [&] {
        TAuFileStream reader(path, fmOpenRead | fmShareDenyWrite);
        char c = 0;
        return reader.Read(&c, 1);
    });
    if (opened.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the open waits for a writer";
        const int writer = ::open(path.c_str(), O_WRONLY); // lets the open return
        ::close(writer);
    }
    EXPECT_EQ(opened.get(), 0);
    std::filesystem::remove_all(dir);
}

// A length a file states is used when plausible; one that overflows 64 bits, or lasts
// more than 2^32 seconds, is an unknown length (-1).
TEST(TAuFileIn, PlausibleSize) {
    struct TCase {
        int64_t Frames;
        uint32_t Channels, Bits, Rate;
        int64_t Size;
    };
    const TCase cases[] = {
        {132300, 2, 16, 44100, 529200},
        {0, 2, 16, 44100, 0},
        {-1, 2, 16, 44100, -1},
        {int64_t{1} << 36, 2, 16, 44100, (int64_t{1} << 36) * 4}, // 18 days: long, but a length
        {(int64_t{1} << 36) - 1, 2, 16, 1, -1},                   // 2177 years at 1 Hz
        {int64_t{1} << 62, 2, 16, 44100, -1},                     // bytes past 64 bits
        {int64_t{1} << 61, 8, 32, 0, -1},
        {1000, 0, 16, 44100, -1},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(TAuFileIn::PlausibleSize(c.Frames, c.Channels, c.Bits, c.Rate), c.Size)
            << c.Frames << " frames, " << c.Channels << " channels, " << c.Bits << " bits, " << c.Rate
            << " Hz";
}

// Creating a file that another stream holds fails and leaves it as it was: a recording
// aimed at the file being played must not wipe it.
TEST(TAuFileStream, CreateOverAHeldFileLeavesItIntact) {
    auto dir = std::filesystem::temp_directory_path() / ("tarvio-fs-held-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "playing.wav").string();
    std::ofstream(path, std::ios::binary) << "RIFF and the rest of a file that plays";
    {
        TAuFileStream reader(path, fmOpenRead | fmShareDenyWrite);
        EXPECT_THROW(TAuFileStream(path, fmCreate), EAuException);
        TRawPcmIn in; // a decoder reading the same file
        in.SetFileName(path);
        TWaveOut recorder;
        recorder.SetInput(&in);
        recorder.SetFileName(path);
        EXPECT_THROW(recorder.BlockingRun(), EAuException);
    }
    std::ifstream f(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}), "RIFF and the rest of a file that plays");
    std::filesystem::remove_all(dir);
}
