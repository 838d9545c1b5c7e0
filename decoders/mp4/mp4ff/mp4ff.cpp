// The exported C functions of the mp4ff library over TMp4File. No exception leaves a call:
// a failure is reported through the function's result.

#include "decoders/mp4/mp4ff/mp4ff.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "decoders/mp4/mp4ff/TMp4File.h"

using tarvio::mp4ff::TMp4File;
using tarvio::mp4ff::TMp4MetaItem;
using tarvio::mp4ff::TMp4Track;

struct mp4ff {
    std::unique_ptr<TMp4File> File;
};

namespace {

const TMp4Track* TrackOf(const mp4ff_t* f, int32_t track) {
    return f && f->File ? f->File->Track(track) : nullptr;
}

int32_t Clamp32(int64_t V) {
    if (V > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (V < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(V);
}

// A malloc'ed copy of Bytes with a zero byte after them, released by
// mp4ff_free_decoder_config; null when memory runs out.
char* Copy(const std::string& Bytes) {
    auto* p = static_cast<char*>(std::malloc(Bytes.size() + 1));
    if (!p) return nullptr;
    std::memcpy(p, Bytes.data(), Bytes.size());
    p[Bytes.size()] = '\0';
    return p;
}

int Meta(const mp4ff_t* f, const char* Name, char** value) {
    if (!value) return 0;
    *value = nullptr;
    if (!f || !f->File) return 0;
    const TMp4MetaItem* item = f->File->Metadata().Find(Name);
    if (!item) return 0;
    *value = Copy(item->Value);
    return *value ? 1 : 0;
}

// Location of a sample whose size fits the int32 results of the interface.
bool Locate(mp4ff_t* f, int track, int sample, uint64_t& Offset, uint32_t& Size) {
    const TMp4Track* t = TrackOf(f, track);
    return t && sample >= 0 && t->SampleLocation(static_cast<uint32_t>(sample), Offset, Size) && Size > 0 &&
           Size <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max());
}

mp4ff_t* Open(mp4ff_callback_t* cb) {
    if (!cb) return nullptr;
    try {
        std::unique_ptr<TMp4File> file = TMp4File::Open(*cb);
        if (!file) return nullptr;
        return std::make_unique<mp4ff>(mp4ff{std::move(file)}).release(); // the caller's handle
    } catch (...) {
        return nullptr;
    }
}

} // namespace

extern "C" {

mp4ff_t* mp4ff_open_read(mp4ff_callback_t* f) {
    return Open(f);
}

mp4ff_t* mp4ff_open_read_metaonly(mp4ff_callback_t* f) {
    return Open(f);
}

void mp4ff_close(mp4ff_t* f) {
    std::unique_ptr<mp4ff> owned(f);
}

int32_t mp4ff_total_tracks(const mp4ff_t* f) {
    return f && f->File ? f->File->TrackCount() : 0;
}

int32_t mp4ff_get_track_type(const mp4ff_t* f, const int track) {
    const TMp4Track* t = TrackOf(f, track);
    return t ? t->Type() : TRACK_UNKNOWN;
}

namespace {

// A malloc'ed copy of Bytes for the caller to release; 1 when empty or out of memory.
int CopyBytes(const std::vector<uint8_t>& config, unsigned char** ppBuf, unsigned int* pBufSize) {
    if (config.empty()) return 1;
    auto* p = static_cast<unsigned char*>(std::malloc(config.size()));
    if (!p) return 1;
    std::memcpy(p, config.data(), config.size());
    *ppBuf = p;
    *pBufSize = static_cast<unsigned int>(config.size());
    return 0;
}

} // namespace

int mp4ff_get_decoder_config(const mp4ff_t* f, const int track, unsigned char** ppBuf,
                             unsigned int* pBufSize) {
    if (ppBuf) *ppBuf = nullptr;
    if (pBufSize) *pBufSize = 0;
    const TMp4Track* t = TrackOf(f, track);
    if (!t || !ppBuf || !pBufSize) return 1;
    return CopyBytes(t->DecoderConfig(), ppBuf, pBufSize);
}

uint32_t mp4ff_get_sample_entry_type(const mp4ff_t* f, const int track) {
    const TMp4Track* t = TrackOf(f, track);
    return t ? t->EntryType() : 0;
}

int mp4ff_get_codec_box(const mp4ff_t* f, const int track, unsigned char** ppBuf, unsigned int* pBufSize) {
    if (ppBuf) *ppBuf = nullptr;
    if (pBufSize) *pBufSize = 0;
    const TMp4Track* t = TrackOf(f, track);
    if (!t || !ppBuf || !pBufSize) return 1;
    return CopyBytes(t->CodecBox(), ppBuf, pBufSize);
}

void mp4ff_free_decoder_config(void* buf) {
    std::free(buf);
}

int32_t mp4ff_num_samples(const mp4ff_t* f, const int track) {
    const TMp4Track* t = TrackOf(f, track);
    return t ? static_cast<int32_t>(t->NumSamples()) : 0;
}

int32_t mp4ff_time_scale(const mp4ff_t* f, const int track) {
    const TMp4Track* t = TrackOf(f, track);
    return t ? Clamp32(t->Timescale()) : 0;
}

uint32_t mp4ff_get_avg_bitrate(const mp4ff_t* f, int32_t track) {
    const TMp4Track* t = TrackOf(f, track);
    return t ? t->AvgBitrate() : 0;
}

uint32_t mp4ff_get_max_bitrate(const mp4ff_t* f, int32_t track) {
    const TMp4Track* t = TrackOf(f, track);
    return t ? t->MaxBitrate() : 0;
}

int64_t mp4ff_get_track_duration(const mp4ff_t* f, const int32_t track) {
    const TMp4Track* t = TrackOf(f, track);
    return t ? t->Duration() : -1;
}

int64_t mp4ff_get_track_duration_use_offsets(const mp4ff_t* f, const int32_t track) {
    const TMp4Track* t = TrackOf(f, track);
    if (!t || t->Duration() < 0) return -1;
    const int64_t offset = t->CompositionOffset(0);
    return offset > t->Duration() ? 0 : t->Duration() - offset;
}

uint32_t mp4ff_get_sample_rate(const mp4ff_t* f, int32_t track) {
    const TMp4Track* t = TrackOf(f, track);
    if (!t) return 0;
    return t->SampleRate() ? t->SampleRate() : t->Timescale();
}

uint32_t mp4ff_get_channel_count(const mp4ff_t* f, int32_t track) {
    const TMp4Track* t = TrackOf(f, track);
    return t ? t->Channels() : 0;
}

uint32_t mp4ff_get_audio_type(const mp4ff_t* f, int32_t track) {
    const TMp4Track* t = TrackOf(f, track);
    return t ? t->AudioType() : 0;
}

int32_t mp4ff_get_track_edit(const mp4ff_t* f, const int32_t track, int64_t* media_time, int64_t* duration) {
    const TMp4Track* t = TrackOf(f, track);
    int64_t start = 0, length = 0;
    if (!t || !t->Edit(start, length)) return 0;
    if (media_time) *media_time = start;
    if (duration) *duration = length;
    return 1;
}

int32_t mp4ff_get_sample_duration(const mp4ff_t* f, const int32_t track, const int32_t sample) {
    const TMp4Track* t = TrackOf(f, track);
    return t && sample >= 0 ? Clamp32(t->SampleDuration(static_cast<uint32_t>(sample))) : -1;
}

int32_t mp4ff_get_sample_duration_use_offsets(const mp4ff_t* f, const int32_t track, const int32_t sample) {
    const int32_t d = mp4ff_get_sample_duration(f, track, sample);
    if (d == -1) return -1;
    const int32_t o = mp4ff_get_sample_offset(f, track, sample);
    return o > d ? 0 : d - o;
}

int64_t mp4ff_get_sample_position(const mp4ff_t* f, const int32_t track, const int32_t sample) {
    const TMp4Track* t = TrackOf(f, track);
    return t && sample >= 0 ? t->SampleTime(static_cast<uint32_t>(sample)) : -1;
}

int32_t mp4ff_get_sample_offset(const mp4ff_t* f, const int32_t track, const int32_t sample) {
    const TMp4Track* t = TrackOf(f, track);
    return t && sample >= 0 ? Clamp32(t->CompositionOffset(static_cast<uint32_t>(sample))) : 0;
}

int32_t mp4ff_find_sample(const mp4ff_t* f, const int32_t track, const int64_t offset, int32_t* toskip) {
    const TMp4Track* t = TrackOf(f, track);
    int64_t skip = 0;
    const int64_t sample = t ? t->FindSample(offset, skip) : -1;
    if (toskip) *toskip = Clamp32(skip);
    return Clamp32(sample);
}

int32_t mp4ff_find_sample_use_offsets(const mp4ff_t* f, const int32_t track, const int64_t offset,
                                      int32_t* toskip) {
    const int64_t first = mp4ff_get_sample_offset(f, track, 0);
    // The first sample's offset may be negative: the sum must not overflow either way.
    if ((first > 0 && offset > std::numeric_limits<int64_t>::max() - first) ||
        (first < 0 && offset < std::numeric_limits<int64_t>::min() - first))
        return -1;
    return mp4ff_find_sample(f, track, offset + first, toskip);
}

int32_t mp4ff_set_sample_position(mp4ff_t* f, const int32_t track, const int64_t sample) {
    uint64_t offset = 0;
    uint32_t size = 0;
    if (sample < 0 || sample > std::numeric_limits<int32_t>::max()) return -1;
    if (!Locate(f, track, static_cast<int>(sample), offset, size)) return -1;
    return f->File->Seek(offset) ? 0 : -1;
}

int32_t mp4ff_read_sample(mp4ff_t* f, const int track, const int sample, unsigned char** audio_buffer,
                          unsigned int* bytes) {
    if (audio_buffer) *audio_buffer = nullptr;
    if (bytes) *bytes = 0;
    uint64_t offset = 0;
    uint32_t size = 0;
    if (!audio_buffer || !bytes || !Locate(f, track, sample, offset, size)) return 0;
    try {
        // Read in pieces, so that a size beyond the file costs no more than the file; a piece is
        // kept only once it was read, so a sample table that lies about sizes costs one failed
        // read per sample rather than clearing memory for data that is not there.
        std::vector<uint8_t> data;
        const size_t pieceBytes = std::min<size_t>(size, 1u << 16);
        auto piece = std::make_unique_for_overwrite<uint8_t[]>(pieceBytes);
        size_t done = 0;
        while (done < size) {
            const size_t n = std::min<size_t>(size - done, pieceBytes);
            if (!f->File->ReadAt(offset + done, piece.get(), n)) return 0;
            data.insert(data.end(), piece.get(), piece.get() + n);
            done += n;
        }
        auto* p = static_cast<unsigned char*>(std::malloc(size));
        if (!p) return 0;
        std::memcpy(p, data.data(), size);
        *audio_buffer = p;
        *bytes = size;
        return static_cast<int32_t>(size);
    } catch (...) {
        return 0;
    }
}

int32_t mp4ff_read_sample_getsize(mp4ff_t* f, const int track, const int sample) {
    uint64_t offset = 0;
    uint32_t size = 0;
    return Locate(f, track, sample, offset, size) ? static_cast<int32_t>(size) : 0;
}

int32_t mp4ff_read_sample_v2(mp4ff_t* f, const int track, const int sample, unsigned char* buffer) {
    uint64_t offset = 0;
    uint32_t size = 0;
    if (!buffer || !Locate(f, track, sample, offset, size)) return 0;
    return f->File->ReadAt(offset, buffer, size) ? static_cast<int32_t>(size) : 0;
}

int mp4ff_meta_get_title(const mp4ff_t* f, char** value) {
    return Meta(f, "title", value);
}
int mp4ff_meta_get_artist(const mp4ff_t* f, char** value) {
    return Meta(f, "artist", value);
}
int mp4ff_meta_get_writer(const mp4ff_t* f, char** value) {
    return Meta(f, "writer", value);
}
int mp4ff_meta_get_album(const mp4ff_t* f, char** value) {
    return Meta(f, "album", value);
}
int mp4ff_meta_get_date(const mp4ff_t* f, char** value) {
    return Meta(f, "date", value);
}
int mp4ff_meta_get_tool(const mp4ff_t* f, char** value) {
    return Meta(f, "tool", value);
}
int mp4ff_meta_get_comment(const mp4ff_t* f, char** value) {
    return Meta(f, "comment", value);
}
int mp4ff_meta_get_genre(const mp4ff_t* f, char** value) {
    return Meta(f, "genre", value);
}
int mp4ff_meta_get_track(const mp4ff_t* f, char** value) {
    return Meta(f, "track", value);
}
int mp4ff_meta_get_disc(const mp4ff_t* f, char** value) {
    return Meta(f, "disc", value);
}
int mp4ff_meta_get_totaltracks(const mp4ff_t* f, char** value) {
    return Meta(f, "totaltracks", value);
}
int mp4ff_meta_get_totaldiscs(const mp4ff_t* f, char** value) {
    return Meta(f, "totaldiscs", value);
}
int mp4ff_meta_get_compilation(const mp4ff_t* f, char** value) {
    return Meta(f, "compilation", value);
}
int mp4ff_meta_get_tempo(const mp4ff_t* f, char** value) {
    return Meta(f, "tempo", value);
}

int32_t mp4ff_meta_get_coverart(const mp4ff_t* f, char** value) {
    if (!Meta(f, "cover", value)) return 0;
    return Clamp32(static_cast<int64_t>(f->File->Metadata().Find("cover")->Value.size()));
}

int mp4ff_meta_get_num_items(const mp4ff_t* f) {
    return f && f->File ? static_cast<int>(f->File->Metadata().Items().size()) : 0;
}

int mp4ff_meta_get_by_index(const mp4ff_t* f, unsigned int index, char** item, char** value) {
    if (item) *item = nullptr;
    if (value) *value = nullptr;
    if (!f || !f->File || !item || !value || index >= f->File->Metadata().Items().size()) return 0;
    const TMp4MetaItem& i = f->File->Metadata().Items()[index];
    *item = Copy(i.Name);
    *value = Copy(i.Value);
    if (*item && *value) return 1;
    std::free(*item);
    std::free(*value);
    *item = *value = nullptr;
    return 0;
}

} // extern "C"
