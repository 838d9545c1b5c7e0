#pragma once
// FFmpeg's libavutil, libswresample, libavcodec and libavformat, opened at run time by file
// name the first time a decoder needs them, and never unloaded. Linking them would cost
// every program some 20 ms of start-up (their many dependent libraries), used or not. The
// headers give the types and prototypes only: code over FFmpeg calls it through this table,
// FFmpeg().avcodec_open2(...), after a successful Load.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

#include <atomic>
#include <string>

#include "pipeline/TLibraryLoader.h"

// The entry points, by library.
#define TARVIO_FFMPEG_AVUTIL(X)                                                                              \
    X(av_malloc)                                                                                             \
    X(av_free)                                                                                               \
    X(av_freep)                                                                                              \
    X(av_strerror)                                                                                           \
    X(av_log_set_level)                                                                                      \
    X(av_frame_alloc)                                                                                        \
    X(av_frame_free)                                                                                         \
    X(av_frame_unref)                                                                                        \
    X(av_channel_layout_default)                                                                             \
    X(av_channel_layout_from_mask)                                                                           \
    X(av_channel_layout_uninit)                                                                              \
    X(av_dict_get)                                                                                           \
    X(av_dict_set)                                                                                           \
    X(av_dict_free)                                                                                          \
    X(av_rescale)                                                                                            \
    X(av_rescale_rnd)                                                                                        \
    X(av_rescale_q)                                                                                          \
    X(av_rescale_q_rnd)
#define TARVIO_FFMPEG_SWRESAMPLE(X)                                                                          \
    X(swr_alloc_set_opts2)                                                                                   \
    X(swr_init)                                                                                              \
    X(swr_convert)                                                                                           \
    X(swr_get_out_samples)                                                                                   \
    X(swr_free)
#define TARVIO_FFMPEG_AVCODEC(X)                                                                             \
    X(av_packet_alloc)                                                                                       \
    X(av_packet_free)                                                                                        \
    X(av_packet_unref)                                                                                       \
    X(avcodec_find_decoder)                                                                                  \
    X(avcodec_alloc_context3)                                                                                \
    X(avcodec_free_context)                                                                                  \
    X(avcodec_parameters_to_context)                                                                         \
    X(avcodec_open2)                                                                                         \
    X(avcodec_send_packet)                                                                                   \
    X(avcodec_receive_frame)                                                                                 \
    X(avcodec_flush_buffers)                                                                                 \
    X(av_parser_init)                                                                                        \
    X(av_parser_parse2)                                                                                      \
    X(av_parser_close)
#define TARVIO_FFMPEG_AVFORMAT(X)                                                                            \
    X(av_find_input_format)                                                                                  \
    X(av_probe_input_buffer2)                                                                                \
    X(avformat_alloc_context)                                                                                \
    X(avformat_free_context)                                                                                 \
    X(avformat_open_input)                                                                                   \
    X(avformat_close_input)                                                                                  \
    X(avformat_find_stream_info)                                                                             \
    X(avformat_index_get_entries_count)                                                                      \
    X(avformat_index_get_entry)                                                                              \
    X(av_read_frame)                                                                                         \
    X(av_seek_frame)                                                                                         \
    X(avio_alloc_context)                                                                                    \
    X(avio_context_free)

namespace tarvio::ffmpeg {

// The resolved entry points, named as FFmpeg names them; null until the first Load.
struct TFFmpegEntryPoints {
#define TARVIO_FFMPEG_MEMBER(Name) decltype(&::Name) Name = nullptr;
    TARVIO_FFMPEG_AVUTIL(TARVIO_FFMPEG_MEMBER)
    TARVIO_FFMPEG_SWRESAMPLE(TARVIO_FFMPEG_MEMBER)
    TARVIO_FFMPEG_AVCODEC(TARVIO_FFMPEG_MEMBER)
    TARVIO_FFMPEG_AVFORMAT(TARVIO_FFMPEG_MEMBER)
#undef TARVIO_FFMPEG_MEMBER
};

class TFFmpegLibrary : public TFFmpegEntryPoints {
public:
    // The process-wide table.
    static TFFmpegLibrary& Instance();

    // The four loaders, for tests that make one of them look for a missing file.
    static TLibraryLoader& LibAvUtil();
    static TLibraryLoader& LibSwResample();
    static TLibraryLoader& LibAvCodec();
    static TLibraryLoader& LibAvFormat();

    // Any thread. Loads the libraries (once, under LibraryLoadLock) and resolves every entry
    // point; true when all are there. A failed load is tried again on the next call; entry
    // points resolved before stay valid (the libraries are never unloaded).
    bool Load();
    // Load, or raises EAuException "<file> library could not be loaded." naming the first
    // file that could not be loaded or lacks an entry point.
    void Require();
    // The file the last failed Load stopped at; "" after a successful one.
    std::string FailedFile() const;

private:
    TFFmpegLibrary() = default;
    bool LoadLocked();

    std::atomic<bool> FLoaded{false};
    std::string FFailedFile; // under LibraryLoadLock
};

// The table, for calls into FFmpeg once Load has succeeded.
inline const TFFmpegLibrary& FFmpeg() {
    return TFFmpegLibrary::Instance();
}

} // namespace tarvio::ffmpeg
