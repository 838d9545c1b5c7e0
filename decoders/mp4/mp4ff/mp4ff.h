#ifndef TARVIO_MP4FF_H
#define TARVIO_MP4FF_H
/*
 * The MP4 container reader: the C interface of the mp4ff library, built by this project.
 *
 * A file is read only through the caller's callbacks; nothing is written. Tracks and
 * samples are numbered from 0. Times and durations are in the track's time scale unless
 * said otherwise; sizes and file positions are in bytes. Every buffer and text handed out
 * is allocated by the library and released with mp4ff_free_decoder_config. A handle may
 * be used by one thread at a time; the callbacks run inside the calls, on that thread.
 */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(MP4FF_BUILDING)
#define MP4FF_API __attribute__((visibility("default")))
#else
#define MP4FF_API
#endif

typedef struct mp4ff_callback_t {
    /* Reads up to length bytes at the current position; returns the count read, 0 at the
       end or on an error. */
    uint32_t (*read)(void* user_data, void* buffer, uint32_t length);
    /* Not called by this library. */
    uint32_t (*write)(void* user_data, void* buffer, uint32_t length);
    /* Moves to position bytes from the start; returns the low 32 bits of the new position.
       Any other result is taken as a failed seek. */
    uint32_t (*seek)(void* user_data, uint64_t position);
    /* Not called by this library. */
    uint32_t (*truncate)(void* user_data);
    void* user_data;
} mp4ff_callback_t;

typedef struct mp4ff mp4ff_t;

/* mp4ff_get_track_type */
#define TRACK_UNKNOWN 0
#define TRACK_AUDIO 1
#define TRACK_VIDEO 2
#define TRACK_SYSTEM 3

/* Opens a file: reads its top-level boxes up to the movie box and parses that. The
   callback record is copied. Returns NULL when the file has no complete, readable movie
   box. metaonly: the same (the sample tables are small). Release with mp4ff_close. */
MP4FF_API mp4ff_t* mp4ff_open_read(mp4ff_callback_t* f);
MP4FF_API mp4ff_t* mp4ff_open_read_metaonly(mp4ff_callback_t* f);
MP4FF_API void mp4ff_close(mp4ff_t* f);

/* Tracks in file order; 0 for NULL. */
MP4FF_API int32_t mp4ff_total_tracks(const mp4ff_t* f);
/* TRACK_AUDIO ('soun' handler), TRACK_VIDEO ('vide'), TRACK_SYSTEM ('mp4s' entry) or
   TRACK_UNKNOWN; also for a track out of range. */
MP4FF_API int32_t mp4ff_get_track_type(const mp4ff_t* f, const int track);

/* The decoder-specific information of the track's elementary stream descriptor (for AAC,
   the AudioSpecificConfig). Returns 0 with a buffer the caller releases, or 1 with
   *ppBuf NULL and *pBufSize 0 when the track has none. */
MP4FF_API int mp4ff_get_decoder_config(const mp4ff_t* f, const int track, unsigned char** ppBuf,
                                       unsigned int* pBufSize);
/* The type of the track's first sample entry as a big-endian four-character code ('mp4a',
   'alac', 'ac-3', 'ec-3', 'fLaC', 'Opus', ...); 0 when unknown or out of range. */
MP4FF_API uint32_t mp4ff_get_sample_entry_type(const mp4ff_t* f, const int track);
/* The codec's configuration box inside that entry ('alac', 'dfLa', 'dOps', 'dac3' or
   'dec3'), its 8-byte header included. Returns 0 with a buffer the caller releases, or 1
   with *ppBuf NULL and *pBufSize 0 when the entry has none. */
MP4FF_API int mp4ff_get_codec_box(const mp4ff_t* f, const int track, unsigned char** ppBuf,
                                  unsigned int* pBufSize);
/* Releases any buffer or text this library handed out; NULL is ignored. */
MP4FF_API void mp4ff_free_decoder_config(void* buf);

/* Values of the track, 0 (-1 for the durations) when unknown or out of range. */
MP4FF_API int32_t mp4ff_num_samples(const mp4ff_t* f, const int track);
MP4FF_API int32_t mp4ff_time_scale(const mp4ff_t* f, const int track);
/* Bits per second, from the stream's decoder configuration descriptor. */
MP4FF_API uint32_t mp4ff_get_avg_bitrate(const mp4ff_t* f, int32_t track);
MP4FF_API uint32_t mp4ff_get_max_bitrate(const mp4ff_t* f, int32_t track);
/* The media header's duration; _use_offsets subtracts the first sample's composition
   offset. */
MP4FF_API int64_t mp4ff_get_track_duration(const mp4ff_t* f, const int32_t track);
MP4FF_API int64_t mp4ff_get_track_duration_use_offsets(const mp4ff_t* f, const int32_t track);
/* From the audio sample entry: the rate (the time scale when the entry holds 0) and the
   channel count as the container states them; the object type indication of the stream
   (0x40 MPEG-4 audio, 0x66 to 0x68 MPEG-2 AAC, 0x69 and 0x6B MPEG audio). */
MP4FF_API uint32_t mp4ff_get_sample_rate(const mp4ff_t* f, int32_t track);
MP4FF_API uint32_t mp4ff_get_channel_count(const mp4ff_t* f, int32_t track);
MP4FF_API uint32_t mp4ff_get_audio_type(const mp4ff_t* f, int32_t track);

/* The track's edit: when its edit list holds one media edit (after any empty ones) at
   normal rate, returns 1 with the first presented media time and the presented duration,
   both in the track's time scale. An edit that ends at the end of the samples within the
   precision of the movie's time scale is taken to end exactly there. Otherwise 0. */
MP4FF_API int32_t mp4ff_get_track_edit(const mp4ff_t* f, const int32_t track, int64_t* media_time,
                                       int64_t* duration);

/* Sample timing: duration (-1 when out of range), start time, composition offset. */
MP4FF_API int32_t mp4ff_get_sample_duration(const mp4ff_t* f, const int32_t track, const int32_t sample);
MP4FF_API int32_t mp4ff_get_sample_duration_use_offsets(const mp4ff_t* f, const int32_t track,
                                                        const int32_t sample);
MP4FF_API int64_t mp4ff_get_sample_position(const mp4ff_t* f, const int32_t track, const int32_t sample);
MP4FF_API int32_t mp4ff_get_sample_offset(const mp4ff_t* f, const int32_t track, const int32_t sample);
/* The sample playing at time offset, with *toskip the time from its start to offset; -1
   when offset lies outside the track. _use_offsets first adds the first sample's
   composition offset. */
MP4FF_API int32_t mp4ff_find_sample(const mp4ff_t* f, const int32_t track, const int64_t offset,
                                    int32_t* toskip);
MP4FF_API int32_t mp4ff_find_sample_use_offsets(const mp4ff_t* f, const int32_t track, const int64_t offset,
                                                int32_t* toskip);
/* Moves the stream to the sample's data; 0 on success, -1 when the sample is unknown. */
MP4FF_API int32_t mp4ff_set_sample_position(mp4ff_t* f, const int32_t track, const int64_t sample);

/* A sample's bytes in a buffer the caller releases. Returns the byte count (non-zero) on
   success; 0 with *audio_buffer NULL and *bytes 0 when the sample is unknown, empty or
   cannot be read whole. */
MP4FF_API int32_t mp4ff_read_sample(mp4ff_t* f, const int track, const int sample,
                                    unsigned char** audio_buffer, unsigned int* bytes);
/* The sample's size in bytes; 0 when unknown. */
MP4FF_API int32_t mp4ff_read_sample_getsize(mp4ff_t* f, const int track, const int sample);
/* Reads the sample into buffer, which holds at least mp4ff_read_sample_getsize bytes.
   Returns the byte count, 0 when it cannot be read whole. */
MP4FF_API int32_t mp4ff_read_sample_v2(mp4ff_t* f, const int track, const int sample, unsigned char* buffer);

/* Metadata of the movie's iTunes-style item list. Each getter returns 1 with a
   zero-terminated UTF-8 copy in *value, or 0 with *value NULL when the item is missing.
   Numbers are decimal text: track and disc numbers and their totals, tempo, and
   compilation ("1" or "0"); a genre stored as a number gives its name. */
MP4FF_API int mp4ff_meta_get_title(const mp4ff_t* f, char** value);
MP4FF_API int mp4ff_meta_get_artist(const mp4ff_t* f, char** value);
MP4FF_API int mp4ff_meta_get_writer(const mp4ff_t* f, char** value);
MP4FF_API int mp4ff_meta_get_album(const mp4ff_t* f, char** value);
MP4FF_API int mp4ff_meta_get_date(const mp4ff_t* f, char** value);
MP4FF_API int mp4ff_meta_get_tool(const mp4ff_t* f, char** value);
MP4FF_API int mp4ff_meta_get_comment(const mp4ff_t* f, char** value);
MP4FF_API int mp4ff_meta_get_genre(const mp4ff_t* f, char** value);
MP4FF_API int mp4ff_meta_get_track(const mp4ff_t* f, char** value);
MP4FF_API int mp4ff_meta_get_disc(const mp4ff_t* f, char** value);
MP4FF_API int mp4ff_meta_get_totaltracks(const mp4ff_t* f, char** value);
MP4FF_API int mp4ff_meta_get_totaldiscs(const mp4ff_t* f, char** value);
MP4FF_API int mp4ff_meta_get_compilation(const mp4ff_t* f, char** value);
MP4FF_API int mp4ff_meta_get_tempo(const mp4ff_t* f, char** value);
/* The first cover picture's bytes: returns their count (0 with *value NULL when none). */
MP4FF_API int32_t mp4ff_meta_get_coverart(const mp4ff_t* f, char** value);
/* Items in file order, the numbers above split into their own items ("track",
   "totaltracks"), free-form items by their name ("iTunSMPB"). by_index returns 1 with
   copies of the item's name and value (binary values, such as "cover", are cut at their
   first zero byte), 0 when index is out of range. */
MP4FF_API int mp4ff_meta_get_num_items(const mp4ff_t* f);
MP4FF_API int mp4ff_meta_get_by_index(const mp4ff_t* f, unsigned int index, char** item, char** value);

#ifdef __cplusplus
}
#endif

#endif
