#pragma once
// Owners of FFmpeg's handles, one per kind, each freed by the library's own call, and the
// text of an FFmpeg error number. Create the owner on the line that creates the handle.
// FFmpeg is called through TFFmpegLibrary's table: a handle exists only after the table
// was loaded, so the deleters (which run only for a handle) always find their entry point.

#include <memory>
#include <string>

#include "decoders/ffmpeg/TFFmpegLibrary.h"

namespace tarvio::ffmpeg {

struct TFormatInputDeleter {
    // For contexts opened with avformat_open_input.
    void operator()(AVFormatContext* p) const { FFmpeg().avformat_close_input(&p); }
};
struct TCodecContextDeleter {
    void operator()(AVCodecContext* p) const { FFmpeg().avcodec_free_context(&p); }
};
struct TPacketDeleter {
    void operator()(AVPacket* p) const { FFmpeg().av_packet_free(&p); }
};
struct TFrameDeleter {
    void operator()(AVFrame* p) const { FFmpeg().av_frame_free(&p); }
};
struct TSwrDeleter {
    void operator()(SwrContext* p) const { FFmpeg().swr_free(&p); }
};
struct TParserDeleter {
    void operator()(AVCodecParserContext* p) const { FFmpeg().av_parser_close(p); }
};
struct TIOContextDeleter {
    // A custom I/O context and the buffer it holds (both av_malloc'ed).
    void operator()(AVIOContext* p) const {
        if (p) FFmpeg().av_freep(&p->buffer);
        FFmpeg().avio_context_free(&p);
    }
};

using TFormatInputPtr = std::unique_ptr<AVFormatContext, TFormatInputDeleter>;
using TCodecContextPtr = std::unique_ptr<AVCodecContext, TCodecContextDeleter>;
using TPacketPtr = std::unique_ptr<AVPacket, TPacketDeleter>;
using TFramePtr = std::unique_ptr<AVFrame, TFrameDeleter>;
using TSwrPtr = std::unique_ptr<SwrContext, TSwrDeleter>;
using TIOContextPtr = std::unique_ptr<AVIOContext, TIOContextDeleter>;
using TParserPtr = std::unique_ptr<AVCodecParserContext, TParserDeleter>;

// The table must be loaded. "Invalid data found when processing input (-1094995529)".
inline std::string ErrorText(int Error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    FFmpeg().av_strerror(Error, text, sizeof text);
    return std::string(text) + " (" + std::to_string(Error) + ")";
}

} // namespace tarvio::ffmpeg
