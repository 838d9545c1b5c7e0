// Fuzz target: bytes as an MP4 file through the mp4ff container library's C interface, over
// callbacks that read the project's memory stream: every track value, every sample, the
// timing lookups and the metadata.
// CMake: tarvio_fuzz_target(mp4ff DEPS mp4ff tarvio_pipeline)

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoders/mp4/mp4ff/mp4ff.h"
#include "pipeline/TMemoryStream.h"

namespace {

uint32_t Read(void* User, void* Buffer, uint32_t Length) {
    const int32_t got = static_cast<tarvio::TMemoryStream*>(User)->Read(Buffer, static_cast<int32_t>(Length));
    return got > 0 ? static_cast<uint32_t>(got) : 0;
}

uint32_t Seek(void* User, uint64_t Position) {
    const int64_t at = static_cast<tarvio::TMemoryStream*>(User)->Seek(static_cast<int64_t>(Position),
                                                                       tarvio::TSeekOrigin::soBeginning);
    return at < 0 ? 0 : static_cast<uint32_t>(at);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    tarvio::TMemoryStream stream(std::vector<uint8_t>(Data, Data + Size));
    mp4ff_callback_t callbacks{};
    callbacks.read = Read;
    callbacks.seek = Seek;
    callbacks.user_data = &stream;
    mp4ff_t* f = mp4ff_open_read(&callbacks);
    if (!f) return 0;
    for (int32_t t = 0; t < mp4ff_total_tracks(f); ++t) {
        mp4ff_get_track_type(f, t);
        unsigned char* config = nullptr;
        unsigned int size = 0;
        mp4ff_get_decoder_config(f, t, &config, &size);
        mp4ff_free_decoder_config(config);
        mp4ff_get_sample_rate(f, t);
        mp4ff_get_channel_count(f, t);
        mp4ff_get_audio_type(f, t);
        mp4ff_get_avg_bitrate(f, t);
        mp4ff_get_max_bitrate(f, t);
        mp4ff_get_track_duration_use_offsets(f, t);
        int64_t start = 0, length = 0;
        mp4ff_get_track_edit(f, t, &start, &length);
        int32_t skip = 0;
        mp4ff_find_sample_use_offsets(f, t, mp4ff_get_track_duration(f, t) / 2, &skip);
        const int32_t samples = std::min(mp4ff_num_samples(f, t), 4096);
        for (int32_t s = 0; s < samples; ++s) {
            mp4ff_get_sample_duration_use_offsets(f, t, s);
            mp4ff_get_sample_position(f, t, s);
            unsigned char* data = nullptr;
            unsigned int bytes = 0;
            mp4ff_read_sample(f, t, s, &data, &bytes);
            mp4ff_free_decoder_config(data);
        }
        mp4ff_set_sample_position(f, t, 0);
    }
    for (int i = 0; i < mp4ff_meta_get_num_items(f); ++i) {
        char *item = nullptr, *value = nullptr;
        mp4ff_meta_get_by_index(f, static_cast<unsigned>(i), &item, &value);
        mp4ff_free_decoder_config(item);
        mp4ff_free_decoder_config(value);
    }
    char* cover = nullptr;
    mp4ff_meta_get_coverart(f, &cover);
    mp4ff_free_decoder_config(cover);
    mp4ff_close(f);
    return 0;
}
