// The round trip of `tarvio-cli tags --set` over every layout the tag editor writes: title
// and artist set to Cyrillic values, then read by TagLib (the tool), ffprobe, mutagen and
// this project's readers (`info`): all show the new values, every other field mutagen lists
// (pictures included) is as it was, APEv2 keys keep their letter case, an ID3v1 tag is in
// CP1251, and the audio decodes to the same PCM with ffmpeg and with this project's decoder.
// Skips without ffmpeg or mutagen.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CliTestSupport.h"
#include "JsonValue.h"
#include "tags/TCodePage.h"

namespace tarvio::test {
namespace {

// Runs a shell command; its standard output, or nullopt when it failed.
std::optional<std::string> Shell(const std::string& Command) {
    FILE* p = ::popen(Command.c_str(), "r");
    if (!p) return std::nullopt;
    std::string out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    return ::pclose(p) == 0 ? std::optional(out) : std::nullopt;
}

// mutagen's view of a file: "title", "artist", then one line per other field as mutagen
// lists it ("KEY=value", pictures as their size and a hash), sorted.
const char* const MutagenFields = R"(
import hashlib, sys, mutagen
f = mutagen.File(sys.argv[1])
names = {"title": ("title", "tit2", "\xa9nam"), "artist": ("artist", "tpe1", "\xa9art")}
found, other = {"title": "", "artist": ""}, []
for key in f.tags.keys():
    value = f.tags[key]
    low = key.lower()
    field = next((n for n, keys in names.items() if low in keys or low.split(":")[0] in keys), None)
    if field:
        found[field] = str(value.text[0] if hasattr(value, "text") else value[0] if isinstance(value, list) else value)
        continue
    data = getattr(value, "data", None)
    if isinstance(data, bytes) and len(data) > 64:
        value = "%d bytes %s" % (len(data), hashlib.sha1(data).hexdigest())
    elif isinstance(value, list):
        value = sorted(str(v) for v in value)
    other.append("%s=%s" % (key, value))
print(found["title"])
print(found["artist"])
print("\n".join(sorted(other)))
)";

struct TRoundTrip {
    const char* Media; // under tags/
    bool Id3v1;        // the file ends in an ID3v1 tag
    // ffprobe takes the ID3v1 tag before the APEv2 tag of a WavPack file, and reads its
    // CP1251 text as UTF-8: there it cannot agree.
    bool ProbeReadsId3v1 = false;
};
void PrintTo(const TRoundTrip& C, std::ostream* Out) {
    *Out << C.Media;
}

class CliTagsRoundTrip : public CliTest, public testing::WithParamInterface<TRoundTrip> {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (!Shell("/usr/bin/python3 -c 'import mutagen' 2>/dev/null") ||
            !Shell("command -v ffprobe >/dev/null"))
            GTEST_SKIP() << "needs mutagen (python3-mutagen) and ffmpeg";
    }

    std::vector<std::string> Mutagen(const std::string& File) const {
        const std::string script = Write("mutagen_fields.py", MutagenFields);
        const auto out = Shell("LC_ALL=C.UTF-8 /usr/bin/python3 '" + script + "' '" + File + "'");
        EXPECT_TRUE(out) << File;
        std::vector<std::string> lines;
        for (size_t start = 0, end; out && (end = out->find('\n', start)) != std::string::npos;
             start = end + 1)
            lines.push_back(out->substr(start, end - start));
        return lines;
    }
    static std::string Probe(const std::string& File, const std::string& Key) {
        // Any letter case of the key; the container's tags, else the audio stream's (Ogg).
        for (const char* entries :
             {"-show_entries format_tags", "-select_streams a:0 -show_entries stream_tags"}) {
            const auto out = Shell("ffprobe -v error " + std::string(entries) + " -of default=nw=1 '" + File +
                                   "' 2>/dev/null | grep -i '^TAG:" + Key + "=' | head -1 | cut -d= -f2-");
            const std::string value = out ? out->substr(0, out->find('\n')) : "";
            if (!value.empty()) return value;
        }
        return "";
    }
    static std::string FfmpegPcm(const std::string& File) {
        return Shell("ffmpeg -v error -i '" + File + "' -map 0:a:0 -f s16le - | md5sum").value_or("failed");
    }
};

const std::string Title = "Проверка длинного названия для ID3v1";
const std::string Artist = "Тест";

TEST_P(CliTagsRoundTrip, EveryReaderReadsTheNewValuesAndNothingElseChanges) {
    const TRoundTrip& c = GetParam();
    const std::string file = CopyMedia(std::string("tags/") + c.Media, c.Media);
    const std::vector<std::string> before = Mutagen(file);
    const std::string pcm = FfmpegPcm(file);
    const bool decoder = !TDecoderTable::ByExtension(file).empty();
    const TBytes ours = decoder ? DecoderPcm(file) : TBytes();

    const TCliResult r =
        RunCli({"tags", "--json", file, "--set", "title=" + Title, "--set", "artist=" + Artist});
    ASSERT_EQ(r.Status, 0) << r.Err;
    TJson o;
    ASSERT_TRUE(TJson::Parse(r.Out.substr(0, r.Out.find('\n')), o)) << r.Out;
    EXPECT_EQ(o["tags"]["title"].String, Title) << "TagLib";
    EXPECT_EQ(o["tags"]["artist"].String, Artist) << "TagLib";
    EXPECT_EQ(o.Find("conflicts"), nullptr) << r.Out;
    if (!c.ProbeReadsId3v1) {
        EXPECT_EQ(Probe(file, "title"), Title) << "ffprobe";
        EXPECT_EQ(Probe(file, "artist"), Artist) << "ffprobe";
    }
    std::vector<std::string> after = Mutagen(file);
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(after[0], Title) << "mutagen";
    EXPECT_EQ(after[1], Artist) << "mutagen";
    EXPECT_EQ(std::vector<std::string>(after.begin() + 2, after.end()),
              std::vector<std::string>(before.begin() + 2, before.end()))
        << "every other field as it was";
    if (decoder) {
        const TCliResult info = RunCli({"info", "--json", file});
        TJson i;
        ASSERT_TRUE(TJson::Parse(info.Out.substr(0, info.Out.find('\n')), i)) << info.Out;
        EXPECT_EQ(i["tags"]["title"].String, Title) << "this project's reader";
        EXPECT_EQ(i["tags"]["artist"].String, Artist) << "this project's reader";
        EXPECT_EQ(DecoderPcm(file), ours) << "this project's decoder";
    }
    EXPECT_EQ(FfmpegPcm(file), pcm) << "ffmpeg's decode";

    const TBytes bytes = ReadAll(file);
    if (fs::path(file).extension() == ".wv") {
        // The fixture's APEv2 keys are "Title" and "Artist": their letter case is kept.
        const std::string all(bytes.begin(), bytes.end());
        EXPECT_NE(all.find(std::string("Title\0", 6)), std::string::npos);
        EXPECT_EQ(all.find(std::string("TITLE\0", 6)), std::string::npos);
        EXPECT_EQ(all.find(std::string("ARTIST\0", 7)), std::string::npos);
    }
    const std::string tail(bytes.end() - 128, bytes.end());
    EXPECT_EQ(tail.rfind("TAG", 0) == 0, c.Id3v1) << "an ID3v1 tag is kept, none added";
    if (c.Id3v1) {
        auto field = [](const std::string& Utf8) {
            std::string f = TCodePage::ToNarrow(TCodePage::Utf8ToWide(Utf8), "CP1251").substr(0, 30);
            f.resize(30, '\0');
            return f;
        };
        EXPECT_EQ(tail.substr(3, 30), field(Title));
        EXPECT_EQ(tail.substr(33, 30), field(Artist));
        EXPECT_EQ(tail.substr(63, 30), field("Звезда по имени Солнце"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, CliTagsRoundTrip,
    testing::Values(TRoundTrip{"id3v1_only.mp3", true}, TRoundTrip{"id3v22.mp3", false},
                    TRoundTrip{"id3v23.mp3", false}, TRoundTrip{"id3v24.mp3", false},
                    TRoundTrip{"id3v23_id3v1.mp3", true}, TRoundTrip{"duplicate_tpe1.mp3", false},
                    TRoundTrip{"tagged.flac", false}, TRoundTrip{"two_comment_blocks.flac", false},
                    TRoundTrip{"tagged.ogg", false}, TRoundTrip{"tagged.wv", false},
                    TRoundTrip{"tagged_id3v1.wv", true, true}, TRoundTrip{"tagged.m4a", false}),
    [](const auto& Info) {
        std::string name = Info.param.Media;
        for (char& ch : name)
            if (ch == '.') ch = '_';
        return name;
    });

} // namespace
} // namespace tarvio::test
