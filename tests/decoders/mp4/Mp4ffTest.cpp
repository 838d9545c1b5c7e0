// The mp4ff container library through its C interface: the exported names, track and
// sample values against what ffmpeg's demuxer reads, metadata, and reading only through
// the callbacks.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>

#include "decoders/DecoderTestMedia.h"
#include "decoders/mp4/mp4ff/mp4ff.h"
#include "pipeline/TMemoryStream.h"

using namespace tarvio;
using namespace tarvio::test;

namespace {

// A file in memory behind the callbacks; counts the bytes read.
struct TSource {
    explicit TSource(TBytes Data) : Stream(std::move(Data)) {
        Callbacks.read = [](void* U, void* B, uint32_t L) -> uint32_t {
            auto* s = static_cast<TSource*>(U);
            const int32_t got = s->Stream.Read(B, static_cast<int32_t>(L));
            s->BytesRead += static_cast<size_t>(std::max(got, 0));
            return static_cast<uint32_t>(std::max(got, 0));
        };
        Callbacks.seek = [](void* U, uint64_t P) -> uint32_t {
            return static_cast<uint32_t>(
                static_cast<TSource*>(U)->Stream.Seek(static_cast<int64_t>(P), TSeekOrigin::soBeginning));
        };
        Callbacks.user_data = this;
    }
    TMemoryStream Stream;
    mp4ff_callback_t Callbacks{};
    size_t BytesRead = 0;
};

struct TClose {
    void operator()(mp4ff_t* F) const { mp4ff_close(F); }
};
using TFilePtr = std::unique_ptr<mp4ff_t, TClose>;

std::string Take(char* Text) {
    std::string s = Text ? Text : "";
    mp4ff_free_decoder_config(Text);
    return s;
}

std::string Item(int (*Get)(const mp4ff_t*, char**), const mp4ff_t* F) {
    char* value = nullptr;
    const int found = Get(F, &value);
    return found ? Take(value) : "(missing)";
}

TEST(Mp4ff, ExportsEveryEntryPoint) {
    void* lib = dlopen("libmp4ff.so.0", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    for (const char* name : {"mp4ff_open_read",
                             "mp4ff_open_read_metaonly",
                             "mp4ff_close",
                             "mp4ff_get_sample_duration",
                             "mp4ff_get_sample_duration_use_offsets",
                             "mp4ff_get_sample_position",
                             "mp4ff_get_sample_offset",
                             "mp4ff_find_sample",
                             "mp4ff_find_sample_use_offsets",
                             "mp4ff_set_sample_position",
                             "mp4ff_read_sample",
                             "mp4ff_read_sample_v2",
                             "mp4ff_read_sample_getsize",
                             "mp4ff_get_decoder_config",
                             "mp4ff_get_sample_entry_type",
                             "mp4ff_get_codec_box",
                             "mp4ff_get_track_type",
                             "mp4ff_total_tracks",
                             "mp4ff_num_samples",
                             "mp4ff_time_scale",
                             "mp4ff_get_avg_bitrate",
                             "mp4ff_get_max_bitrate",
                             "mp4ff_get_track_duration",
                             "mp4ff_get_track_duration_use_offsets",
                             "mp4ff_get_sample_rate",
                             "mp4ff_get_channel_count",
                             "mp4ff_get_audio_type",
                             "mp4ff_free_decoder_config",
                             "mp4ff_meta_get_num_items",
                             "mp4ff_meta_get_by_index",
                             "mp4ff_meta_get_title",
                             "mp4ff_meta_get_artist",
                             "mp4ff_meta_get_writer",
                             "mp4ff_meta_get_album",
                             "mp4ff_meta_get_date",
                             "mp4ff_meta_get_tool",
                             "mp4ff_meta_get_comment",
                             "mp4ff_meta_get_genre",
                             "mp4ff_meta_get_track",
                             "mp4ff_meta_get_disc",
                             "mp4ff_meta_get_totaltracks",
                             "mp4ff_meta_get_totaldiscs",
                             "mp4ff_meta_get_compilation",
                             "mp4ff_meta_get_tempo",
                             "mp4ff_meta_get_coverart",
                             "mp4ff_get_track_edit"})
        EXPECT_NE(dlsym(lib, name), nullptr) << name;
    EXPECT_EQ(dlsym(lib, "_ZN6tarvio6mp4ff8TMp4File4OpenERK16mp4ff_callback_t"), nullptr) << "only mp4ff_*";
}

// The audio track after a video track: its values, and every sample's bytes as ffmpeg's
// demuxer reads them.
TEST(Mp4ff, TrackAndSamplesAfterAVideoTrack) {
    TSource src(ReadAll(Media("mp4/video_first.mp4")));
    TFilePtr f(mp4ff_open_read(&src.Callbacks));
    ASSERT_TRUE(f);
    ASSERT_EQ(mp4ff_total_tracks(f.get()), 2);
    EXPECT_EQ(mp4ff_get_track_type(f.get(), 0), TRACK_VIDEO);
    EXPECT_EQ(mp4ff_get_track_type(f.get(), 1), TRACK_AUDIO);
    EXPECT_EQ(mp4ff_get_track_type(f.get(), 2), TRACK_UNKNOWN);
    const int a = 1;
    EXPECT_EQ(mp4ff_time_scale(f.get(), a), 48000);
    EXPECT_EQ(mp4ff_get_sample_rate(f.get(), a), 48000u);
    EXPECT_EQ(mp4ff_get_channel_count(f.get(), a), 2u);
    EXPECT_EQ(mp4ff_get_audio_type(f.get(), a), 0x40u);
    EXPECT_GT(mp4ff_get_avg_bitrate(f.get(), a), 64000u);
    EXPECT_GE(mp4ff_get_max_bitrate(f.get(), a), mp4ff_get_avg_bitrate(f.get(), a));

    unsigned char* config = nullptr;
    unsigned int size = 0;
    ASSERT_EQ(mp4ff_get_decoder_config(f.get(), a, &config, &size), 0);
    ASSERT_GE(size, 2u);
    EXPECT_EQ(config[0], 0x11); // AAC LC, 48000 Hz,
    EXPECT_EQ(config[1], 0x90); // two channels
    mp4ff_free_decoder_config(config);

    // 2 s from ffmpeg's encoder: 1024 frames of priming, then the source.
    const int32_t n = mp4ff_num_samples(f.get(), a);
    ASSERT_EQ(n, 95);
    int64_t mediaTime = 0, duration = 0;
    ASSERT_EQ(mp4ff_get_track_edit(f.get(), a, &mediaTime, &duration), 1);
    EXPECT_EQ(mediaTime, 1024);
    EXPECT_EQ(duration, 96000);
    EXPECT_EQ(mp4ff_get_track_duration(f.get(), a), 1024 + 96000);
    EXPECT_EQ(mp4ff_get_sample_duration(f.get(), a, 0), 1024);
    EXPECT_EQ(mp4ff_get_sample_duration(f.get(), a, n), -1);
    EXPECT_EQ(mp4ff_get_sample_position(f.get(), a, 5), 5 * 1024);
    int32_t skip = 0;
    EXPECT_EQ(mp4ff_find_sample(f.get(), a, 5 * 1024 + 3, &skip), 5);
    EXPECT_EQ(skip, 3);
    EXPECT_EQ(mp4ff_find_sample(f.get(), a, 1024 + 96000, &skip), -1);

    const TBytes expected = ReadAll(Media("mp4/video_first.samples"));
    TBytes all, viaV2;
    for (int32_t i = 0; i < n; ++i) {
        unsigned char* data = nullptr;
        unsigned int bytes = 0;
        ASSERT_GT(mp4ff_read_sample(f.get(), a, i, &data, &bytes), 0) << i;
        all.insert(all.end(), data, data + bytes);
        mp4ff_free_decoder_config(data);
        const int32_t s = mp4ff_read_sample_getsize(f.get(), a, i);
        ASSERT_EQ(static_cast<unsigned>(s), bytes);
        TBytes buffer(static_cast<size_t>(s));
        ASSERT_EQ(mp4ff_read_sample_v2(f.get(), a, i, buffer.data()), s);
        viaV2.insert(viaV2.end(), buffer.begin(), buffer.end());
    }
    EXPECT_TRUE(all == expected) << FirstDifference(all, expected);
    EXPECT_TRUE(viaV2 == expected);
    unsigned char* data = nullptr;
    unsigned int bytes = 7;
    EXPECT_EQ(mp4ff_read_sample(f.get(), a, n, &data, &bytes), 0);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(mp4ff_read_sample_getsize(f.get(), a, -1), 0);
    EXPECT_EQ(mp4ff_set_sample_position(f.get(), a, n), -1);
    ASSERT_EQ(mp4ff_set_sample_position(f.get(), a, 3), 0);
}

TEST(Mp4ff, ContainerRateOfAnSbrTrack) {
    TSource src(ReadAll(Media("mp4/he_22050_44100.m4a")));
    TFilePtr f(mp4ff_open_read(&src.Callbacks));
    ASSERT_TRUE(f);
    EXPECT_EQ(mp4ff_get_sample_rate(f.get(), 0), 22050u);
    EXPECT_EQ(mp4ff_time_scale(f.get(), 0), 22050);
}

TEST(Mp4ff, Metadata) {
    TSource src(ReadAll(Media("mp4/tagged.m4a")));
    TFilePtr f(mp4ff_open_read(&src.Callbacks));
    ASSERT_TRUE(f);
    EXPECT_EQ(Item(mp4ff_meta_get_title, f.get()), "Группа крови");
    EXPECT_EQ(Item(mp4ff_meta_get_artist, f.get()), "Кино");
    EXPECT_EQ(Item(mp4ff_meta_get_album, f.get()), "Звезда по имени Солнце");
    EXPECT_EQ(Item(mp4ff_meta_get_date, f.get()), "1988");
    EXPECT_EQ(Item(mp4ff_meta_get_genre, f.get()), "Rock");
    EXPECT_EQ(Item(mp4ff_meta_get_track, f.get()), "7");
    EXPECT_EQ(Item(mp4ff_meta_get_totaltracks, f.get()), "12");
    EXPECT_EQ(Item(mp4ff_meta_get_tool, f.get()), "(missing)"); // a bit-exact encode names no encoder
    EXPECT_EQ(Item(mp4ff_meta_get_comment, f.get()), "(missing)");
    char* cover = reinterpret_cast<char*>(1);
    EXPECT_EQ(mp4ff_meta_get_coverart(f.get(), &cover), 0);
    EXPECT_EQ(cover, nullptr);
    const int items = mp4ff_meta_get_num_items(f.get());
    std::vector<std::string> names;
    for (int i = 0; i < items; ++i) {
        char *name = nullptr, *value = nullptr;
        ASSERT_EQ(mp4ff_meta_get_by_index(f.get(), static_cast<unsigned>(i), &name, &value), 1);
        names.push_back(Take(name));
        Take(value);
    }
    for (const char* name : {"title", "artist", "album", "date", "genre", "track", "totaltracks"})
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
    char *name = nullptr, *value = nullptr;
    EXPECT_EQ(mp4ff_meta_get_by_index(f.get(), static_cast<unsigned>(items), &name, &value), 0);
}

// Only the callbacks are read, and no further than the movie box; a file without a
// complete movie box does not open.
TEST(Mp4ff, ReadsThroughTheCallbacksOnly) {
    const TBytes file = ReadAll(Media("mp4/moov_first.m4a"));
    TSource src(file);
    TFilePtr f(mp4ff_open_read(&src.Callbacks));
    ASSERT_TRUE(f);
    EXPECT_LT(src.BytesRead, file.size() / 4) << "the media data after the movie box is not read";

    TSource cut(TBytes(file.begin(), file.begin() + 500)); // inside the movie box
    EXPECT_EQ(TFilePtr(mp4ff_open_read(&cut.Callbacks)), nullptr);
    mp4ff_callback_t none{};
    EXPECT_EQ(mp4ff_open_read(&none), nullptr);
    EXPECT_EQ(mp4ff_open_read(nullptr), nullptr);
    EXPECT_EQ(mp4ff_total_tracks(nullptr), 0);
    mp4ff_close(nullptr);
}

// The sample entry's type and the codec's own box, header included, as they stand in the file.
TEST(Mp4ff, NamesTheSampleEntryAndItsCodecBox) {
    struct TCase {
        const char* File;
        const char* Entry;
        const char* Box; // nullptr: none
        unsigned Size;
    };
    for (const TCase& c :
         {TCase{"lc_stereo_44100.m4a", "mp4a", nullptr, 0}, TCase{"alac_s24_6ch.m4a", "alac", "alac", 36},
          TCase{"ac3_6ch.mp4", "ac-3", "dac3", 11}}) {
        SCOPED_TRACE(c.File);
        TSource source(ReadAll(Media(std::string("mp4/") + c.File)));
        TFilePtr f(mp4ff_open_read(&source.Callbacks));
        ASSERT_TRUE(f);
        const uint32_t entry = mp4ff_get_sample_entry_type(f.get(), 0);
        EXPECT_EQ(std::string({static_cast<char>(entry >> 24), static_cast<char>(entry >> 16),
                               static_cast<char>(entry >> 8), static_cast<char>(entry)}),
                  c.Entry);
        unsigned char* box = nullptr;
        unsigned int size = 0;
        const int result = mp4ff_get_codec_box(f.get(), 0, &box, &size);
        std::unique_ptr<unsigned char, void (*)(void*)> owned(box, mp4ff_free_decoder_config);
        if (!c.Box) {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(box, nullptr);
            continue;
        }
        ASSERT_EQ(result, 0);
        ASSERT_EQ(size, c.Size);
        EXPECT_EQ((box[0] << 24 | box[1] << 16 | box[2] << 8 | box[3]), static_cast<int>(c.Size));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(box + 4), 4), c.Box);
    }
    EXPECT_EQ(mp4ff_get_sample_entry_type(nullptr, 0), 0u);
}

} // namespace
