#include "stages/TAudioPlayList.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <unistd.h>

#include "pipeline/TEventHandler.h"
#include "pipeline/TNullOut.h"
#include "stages/StageTestInputs.h"

using namespace tarvio;
using namespace tarvio::test;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> Bytes(size_t N, uint32_t Seed) {
    std::vector<uint8_t> v(N);
    for (size_t i = 0; i < N; ++i)
        v[i] = StreamByte(static_cast<int64_t>(i), Seed);
    return v;
}

class AudioPlayListTest : public testing::Test {
protected:
    void SetUp() override {
        AcquireEventHandler();
        Dir = fs::path(testing::TempDir()) / ("playlist_" + std::to_string(getpid()));
        fs::create_directories(Dir);
        Content["A"] = Bytes(3000, 1);
        Content["B"] = Bytes(5000, 2);
        Content["C"] = Bytes(2000, 3);
        Content["E"] = {};
        for (auto& [name, data] : Content) {
            std::ofstream f(Dir / name, std::ios::binary);
            f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        }
        List.SetInput(&In);
        List.SetOnPlayItemChanged([this](TComponent* Sender) {
            EXPECT_EQ(Sender, &List);
            ++Events;
        });
    }
    void TearDown() override {
        DeliverEvents();
        ReleaseEventHandler();
        fs::remove_all(Dir);
    }

    // Entries by short name ("A", "B", ...).
    void SetList(const std::string& Names) {
        std::vector<std::string> files;
        for (char c : Names)
            files.push_back((Dir / std::string(1, c)).string());
        List.SetFiles(files);
    }
    std::vector<uint8_t> Expected(const std::string& Names) {
        std::vector<uint8_t> v;
        for (char c : Names)
            v.insert(v.end(), Content[std::string(1, c)].begin(), Content[std::string(1, c)].end());
        return v;
    }
    // Reads until the end (or Limit bytes) in requests of 4096 bytes.
    std::vector<uint8_t> ReadAll(size_t Limit = SIZE_MAX) {
        std::vector<uint8_t> out;
        while (out.size() < Limit) {
            uint8_t* data = nullptr;
            uint32_t bytes = static_cast<uint32_t>(std::min<size_t>(4096, Limit - out.size()));
            List.GetData(data, bytes);
            if (bytes == 0) break;
            out.insert(out.end(), data, data + bytes);
        }
        return out;
    }
    void DeliverEvents() {
        ASSERT_TRUE(WaitUntil([] { return EventHandler()->QueuedEvents() == 0; }));
        EventHandler()->WaitWhileDelivering(&List);
    }
    std::string InitError() {
        try {
            List.Init();
        } catch (const EAuException& e) {
            return e.what();
        }
        return "";
    }

    fs::path Dir;
    std::map<std::string, std::vector<uint8_t>> Content;
    TRawFileIn In;
    TAudioPlayList List;
    int Events = 0;
};

} // namespace

TEST_F(AudioPlayListTest, PlaysEveryEntryThroughOneRunOfAnOutput) {
    SetList("ABC");
    TNullOut out;
    out.SetChunkSize(1500);
    out.SetInput(&List);
    int done = 0;
    out.SetOnDone([&](TComponent*) { ++done; });
    out.Run();
    ASSERT_TRUE(WaitUntil([&] { return done == 1; }));
    EXPECT_EQ(out.ExceptionMessage(), "");
    EXPECT_EQ(out.BytesPulled(), 10000);
    EXPECT_EQ(List.CurrentItem(), 2);
    DeliverEvents();
    EXPECT_EQ(Events, 3);
}

struct SequenceCase {
    const char* List;
    const char* Played; // entries whose data comes out, in order
    uint16_t LastItem;
    int Events;
};

class AudioPlayListSequence : public AudioPlayListTest, public testing::WithParamInterface<SequenceCase> {};

// One continuous stream. An entry's end moves on to the next entry within the same request,
// once: an empty entry reached that way ends the stream.
TEST_P(AudioPlayListSequence, StreamIsTheEntriesInOrder) {
    const SequenceCase& c = GetParam();
    SetList(c.List);
    List.Init();
    EXPECT_EQ(List.Size(), -1);
    EXPECT_EQ(ReadAll(), Expected(c.Played));
    EXPECT_EQ(List.CurrentItem(), c.LastItem);
    List.Flush();
    DeliverEvents();
    EXPECT_EQ(Events, c.Events);
}

INSTANTIATE_TEST_SUITE_P(Lists, AudioPlayListSequence,
                         testing::Values(SequenceCase{"ABC", "ABC", 2, 3}, SequenceCase{"EAB", "AB", 2, 3},
                                         SequenceCase{"EEA", "", 1, 2}, SequenceCase{"AEB", "A", 1, 2},
                                         SequenceCase{"B", "B", 0, 1}));

TEST_F(AudioPlayListTest, CurrentItemWhileIdleOnlySelectsTheStartEntry) {
    SetList("ABC");
    List.SetCurrentItem(5); // past the end: ignored
    EXPECT_EQ(List.CurrentItem(), 0);
    List.SetCurrentItem(1);
    EXPECT_EQ(List.CurrentItem(), 1);
    EXPECT_FALSE(In.IsBusy());
    DeliverEvents();
    EXPECT_EQ(Events, 0);

    List.Init();
    EXPECT_EQ(ReadAll(), Expected("BC"));
    List.Flush();

    // The last entry is a valid start too.
    List.SetCurrentItem(2);
    List.Init();
    EXPECT_EQ(ReadAll(), Expected("C"));
    List.Flush();
    DeliverEvents();
    EXPECT_EQ(Events, 3);

    SetList("");
    List.SetCurrentItem(0); // always accepted
    EXPECT_EQ(List.CurrentItem(), 0);
}

TEST_F(AudioPlayListTest, CurrentItemWhilePlayingSwitchesAtOnce) {
    SetList("ABC");
    List.Init();
    auto head = ReadAll(1000);
    EXPECT_EQ(head, std::vector<uint8_t>(Content["A"].begin(), Content["A"].begin() + 1000));
    List.SetCurrentItem(2);
    EXPECT_EQ(ReadAll(), Expected("C"));
    List.SetCurrentItem(7); // ignored while playing too
    EXPECT_EQ(List.CurrentItem(), 2);
    List.Flush();
    DeliverEvents();
    EXPECT_EQ(Events, 2);
}

TEST_F(AudioPlayListTest, InitFailures) {
    SetList("");
    EXPECT_EQ(InitError(), "The play list is empty.");
    EXPECT_FALSE(List.IsBusy());

    SetList("A");
    TAudioPlayList bare;
    try {
        bare.Init();
        ADD_FAILURE() << "no exception";
    } catch (const EAuException& e) {
        EXPECT_STREQ(e.what(), "Input is not assigned.");
    }

    TMemorySource notAFile(2, 16, 44100, Bytes(100, 0));
    List.SetInput(&notAFile);
    EXPECT_EQ(InitError(), "PlayList input should be a file-reading component.");
    List.SetInput(&In);

    List.SetFiles({(Dir / "missing").string()});
    EXPECT_NE(InitError(), ""); // the input's own message
    List.Flush();
    EXPECT_FALSE(In.IsBusy());
}
