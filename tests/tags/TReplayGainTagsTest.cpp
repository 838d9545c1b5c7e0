// Loudness tags as real tools write them, in every container that carries them, and tag
// blocks whose sizes lie.

#include "tags/TReplayGainTags.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace tarvio;
namespace fs = std::filesystem;

namespace {

// A half-second tone that each case encodes and tags.
class ReplayGainFiles {
public:
    ReplayGainFiles() {
        Dir = fs::temp_directory_path() / ("tarvio_rgtags_" + std::to_string(getpid()));
        fs::create_directories(Dir);
        HaveTone = Run("sox -R -n -r 44100 -c 2 -b 16 '" + Wav() + "' synth 0.5 sine 440 vol 0.3");
    }
    ~ReplayGainFiles() { fs::remove_all(Dir); }
    static bool Run(const std::string& Command) {
        return std::system((Command + " >/dev/null 2>&1").c_str()) == 0;
    }
    std::string Wav() const { return (Dir / "tone.wav").string(); }
    fs::path Dir;
    bool HaveTone = false;
};

ReplayGainFiles& Files() {
    static ReplayGainFiles files;
    return files;
}

struct TTagCase {
    const char* Name;
    // Makes $OUT from $WAV (a shell command run with both set).
    const char* Command;
    std::optional<double> TrackGain, TrackPeak, AlbumGain, AlbumPeak;
};

class ReplayGainTagFormats : public testing::TestWithParam<TTagCase> {};

constexpr const char* Mutagen = "/usr/bin/python3 -c 'import sys, mutagen; sys.exit(0)'";

TEST_P(ReplayGainTagFormats, ReadsTheGainAndPeak) {
    const TTagCase& c = GetParam();
    if (!Files().HaveTone) GTEST_SKIP() << "sox is missing";
    const std::string out = (Files().Dir / c.Name).string();
    const fs::path script = Files().Dir / (std::string(c.Name) + ".sh");
    std::ofstream(script) << "WAV='" << Files().Wav() << "'\nOUT='" << out << "'\nMUTAGEN_OK=$(" << Mutagen
                          << " && echo 1)\n"
                          << c.Command << "\n";
    if (!ReplayGainFiles::Run("bash '" + script.string() + "'")) GTEST_SKIP() << "could not make " << c.Name;
    const TReplayGainTags tags = TReplayGainTags::ReadFromFile(out);
    auto near = [](const std::optional<double>& Got, const std::optional<double>& Want, const char* What) {
        ASSERT_EQ(Got.has_value(), Want.has_value()) << What;
        if (Want) {
            EXPECT_NEAR(*Got, *Want, 1e-6) << What;
        }
    };
    near(tags.TrackGain, c.TrackGain, "track gain");
    near(tags.TrackPeak, c.TrackPeak, "track peak");
    near(tags.AlbumGain, c.AlbumGain, "album gain");
    near(tags.AlbumPeak, c.AlbumPeak, "album peak");
}

const std::optional<double> None;

INSTANTIATE_TEST_SUITE_P(
    Tools, ReplayGainTagFormats,
    testing::Values(
        TTagCase{"vorbis_comments.flac",
                 "flac -s -f -T 'REPLAYGAIN_TRACK_GAIN=-7.35 dB' -T REPLAYGAIN_TRACK_PEAK=0.891 "
                 "-T 'replaygain_album_gain=+2.10 dB' -T REPLAYGAIN_ALBUM_PEAK=1.2 -o \"$OUT\" \"$WAV\"",
                 -7.35, 0.891, 2.10, 1.2},
        // An ID3v2 tag in front of the FLAC stream: the comments behind it still count.
        TTagCase{"id3_in_front.flac",
                 "flac -s -f -T 'REPLAYGAIN_TRACK_GAIN=-1.5 dB' -o \"$OUT.x\" \"$WAV\" && "
                 "{ printf 'ID3\\003\\000\\000\\000\\000\\000\\012'; head -c 10 /dev/zero; cat \"$OUT.x\"; } "
                 "> \"$OUT\"",
                 -1.5, None, None, None},
        TTagCase{"txxx_v24.mp3",
                 "ffmpeg -v error -y -i \"$WAV\" -c:a libmp3lame -id3v2_version 4 "
                 "-metadata 'REPLAYGAIN_TRACK_GAIN=-3.50 dB' -metadata REPLAYGAIN_TRACK_PEAK=0.5 \"$OUT\"",
                 -3.5, 0.5, None, None},
        TTagCase{"txxx_v23_utf16.mp3",
                 "lame --quiet \"$WAV\" \"$OUT\" && [ \"$MUTAGEN_OK\" = 1 ] && /usr/bin/python3 -c '"
                 "import sys; from mutagen.id3 import ID3, TXXX; t = ID3(); "
                 "t.add(TXXX(encoding=1, desc=\"REPLAYGAIN_ALBUM_GAIN\", text=[\"-9.00 dB\"])); "
                 "t.save(sys.argv[1], v2_version=3)' \"$OUT\"",
                 None, None, -9.0, None},
        TTagCase{
            "comments.ogg",
            "oggenc -Q -c 'REPLAYGAIN_TRACK_GAIN=4.25 dB' -c REPLAYGAIN_TRACK_PEAK=0.25 -o \"$OUT\" \"$WAV\"",
            4.25, 0.25, None, None},
        // R128 gains are Q7.8 relative to -23 LUFS: -2560 is -10 dB, ReplayGain -5 dB.
        TTagCase{
            "r128.opus",
            "opusenc --quiet --comment R128_TRACK_GAIN=-2560 --comment R128_ALBUM_GAIN=384 \"$WAV\" \"$OUT\"",
            -5.0, None, 6.5, None},
        TTagCase{"apev2.wv",
                 "wavpack -q -y -w 'REPLAYGAIN_TRACK_GAIN=-6.02 dB' -w 'REPLAYGAIN_TRACK_PEAK=0.75' \"$WAV\" "
                 "-o \"$OUT\"",
                 -6.02, 0.75, None, None},
        // APEv2 behind the audio of an MP3, with an ID3v1 tag after it.
        TTagCase{"apev2_id3v1.mp3",
                 "lame --quiet \"$WAV\" \"$OUT\" && [ \"$MUTAGEN_OK\" = 1 ] && /usr/bin/python3 -c '"
                 "import sys; from mutagen.apev2 import APEv2; t = APEv2(); "
                 "t[\"Replaygain_Track_Gain\"] = \"-2.00 dB\"; t.save(sys.argv[1])' \"$OUT\" && "
                 "{ printf TAG; head -c 125 /dev/zero; } >> \"$OUT\"",
                 -2.0, None, None, None},
        TTagCase{"freeform.m4a",
                 "ffmpeg -v error -y -i \"$WAV\" -c:a aac \"$OUT\" && [ \"$MUTAGEN_OK\" = 1 ] && "
                 "/usr/bin/python3 -c 'import sys; from mutagen.mp4 import MP4; f = MP4(sys.argv[1]); "
                 "f[\"----:com.apple.iTunes:replaygain_track_gain\"] = [b\"-8.10 dB\"]; "
                 "f[\"----:com.apple.iTunes:replaygain_track_peak\"] = [b\"0.966\"]; "
                 "f[\"----:org.example:replaygain_album_gain\"] = [b\"-1.00 dB\"]; f.save()' \"$OUT\"",
                 -8.1, 0.966, None, None},
        TTagCase{"untagged.flac", "flac -s -f -T TITLE=x -o \"$OUT\" \"$WAV\"", None, None, None, None}),
    [](const testing::TestParamInfo<TTagCase>& i) {
        std::string name = i.param.Name;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

std::vector<uint8_t> Bytes(std::initializer_list<std::string> Parts) {
    std::vector<uint8_t> out;
    for (const std::string& p : Parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct TBrokenCase {
    const char* Name;
    std::vector<uint8_t> Data;
    std::optional<double> TrackGain;
};

class ReplayGainTagLayouts : public testing::TestWithParam<TBrokenCase> {};

TEST_P(ReplayGainTagLayouts, ReadsOnlyWhatLiesWithinTheBlocks) {
    const TBrokenCase& c = GetParam();
    const TReplayGainTags tags = TReplayGainTags::ReadFromMemory(c.Data.data(), c.Data.size());
    ASSERT_EQ(tags.TrackGain.has_value(), c.TrackGain.has_value());
    if (c.TrackGain) {
        EXPECT_DOUBLE_EQ(*tags.TrackGain, *c.TrackGain);
    }
}

using std::string;
const string Txxx = string("TXXX\0\0\0\x1d\0\0\0", 11) + string("REPLAYGAIN_TRACK_GAIN\0-1 dB", 28);

INSTANTIATE_TEST_SUITE_P(
    Bytes, ReplayGainTagLayouts,
    testing::Values(
        TBrokenCase{"id3_frame", Bytes({string("ID3\3\0\0\0\0\0\x27", 10), Txxx}), -1.0},
        // The frame claims one byte more than the tag holds.
        TBrokenCase{"id3_frame_past_tag",
                    Bytes({string("ID3\3\0\0\0\0\0\x27", 10), string("TXXX\0\0\0\x1e\0\0\0", 11),
                           string("REPLAYGAIN_TRACK_GAIN\0-1 dB", 28)}),
                    std::nullopt},
        // The tag claims more than the file holds.
        TBrokenCase{"id3_tag_past_file", Bytes({string("ID3\3\0\0\0\0\x7f\x7f", 10), Txxx}), std::nullopt},
        TBrokenCase{"flac_comment_count_too_large",
                    Bytes({"fLaC", string("\x84\0\0\x10", 4), string("\0\0\0\0\xff\xff\xff\xff", 8),
                           string("\x08\0\0\0abcd", 8)}),
                    std::nullopt},
        TBrokenCase{"ape_size_past_file",
                    Bytes({string(20, 'x'), "APETAGEX",
                           string("\xd0\x07\0\0\0\0\x01\0\x01\0\0\0\0\0\0\0", 16), string(8, '\0')}),
                    std::nullopt},
        TBrokenCase{
            "mp4_box_of_size_zero",
            Bytes({string("\0\0\0\x10", 4), "ftypM4A ", string(4, '\0'), string("\0\0\0\0", 4), "moov"}),
            std::nullopt},
        TBrokenCase{"ogg_page_cut_short", Bytes({"OggS", string(22, '\0'), string("\x03\xff\xff", 3)}),
                    std::nullopt},
        TBrokenCase{"not_a_number",
                    Bytes({string("ID3\3\0\0\0\0\0\x27", 10), string("TXXX\0\0\0\x1d\0\0\0", 11),
                           string("REPLAYGAIN_TRACK_GAIN\0dB -1", 28)}),
                    std::nullopt}),
    [](const testing::TestParamInfo<TBrokenCase>& i) { return std::string(i.param.Name); });

} // namespace
