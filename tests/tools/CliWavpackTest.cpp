// tarvio-cli info on WavPack files: the mode flags, in text and in JSON.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CliTestSupport.h"
#include "JsonValue.h"

namespace tarvio::test {
namespace {

std::vector<std::string> Strings(const TJson& Array) {
    std::vector<std::string> out;
    for (const TJson& v : Array.Array)
        out.push_back(v.String);
    return out;
}

TEST_F(CliTest, InfoShowsTheWavpackModeFlags) {
    if (!HaveDecoder("wavpack")) GTEST_SKIP() << "no WavPack decoder in this build";
    // A hybrid file with its correction file, the same file alone, and a tagged file.
    const std::string hybrid = CopyMedia("wavpack/hybrid.wv", "song.wv");
    CopyMedia("wavpack/hybrid.wvc", "song.wvc");
    const std::string alone = CopyMedia("wavpack/hybrid.wv", "alone.wv");
    TCliResult r = RunCli({"info", "--json", hybrid, alone, Media("wavpack/tagged.wv")});
    ASSERT_EQ(r.Status, 0) << r.Err;
    std::vector<TJson> objects;
    for (size_t start = 0, end; (end = r.Out.find('\n', start)) != std::string::npos; start = end + 1) {
        objects.emplace_back();
        ASSERT_TRUE(TJson::Parse(r.Out.substr(start, end - start), objects.back())) << r.Out;
    }
    ASSERT_EQ(objects.size(), 3u) << r.Out;
    using V = std::vector<std::string>;
    EXPECT_EQ(Strings(objects[0]["details"]["mode"]), (V{"wvc", "lossless", "hybrid", "high", "extra"}));
    EXPECT_EQ(Strings(objects[1]["details"]["mode"]), (V{"hybrid", "high", "extra"}));
    EXPECT_EQ(Strings(objects[2]["details"]["mode"]), (V{"lossless", "valid_tag", "ape_tag"}));
    EXPECT_EQ(objects[2]["tags"]["title"].String, "Группа крови");

    r = RunCli({"info", hybrid});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(r.Out.find("  mode:            wvc, lossless, hybrid, high, extra\n"), std::string::npos)
        << r.Out;
}

} // namespace
} // namespace tarvio::test
