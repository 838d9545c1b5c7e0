#pragma once
// Owners of FFmpeg's handles, one per kind, each freed by the library's own call, and the
// text of an FFmpeg error number. Create the owner on the line that creates the handle.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

#include <memory>
#include <string>

namespace tarvio::ffmpeg {

struct TFormatInputDeleter {
    // For contexts opened with avformat_open_input.
    void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
struct TCodecContextDeleter {
    void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct TPacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct TFrameDeleter {
    void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct TSwrDeleter {
    void operator()(SwrContext* p) const { swr_free(&p); }
};
struct TParserDeleter {
    void operator()(AVCodecParserContext* p) const { av_parser_close(p); }
};
struct TIOContextDeleter {
    // A custom I/O context and the buffer it holds (both av_malloc'ed).
    void operator()(AVIOContext* p) const {
        if (p) av_freep(&p->buffer);
        avio_context_free(&p);
    }
};

using TFormatInputPtr = std::unique_ptr<AVFormatContext, TFormatInputDeleter>;
using TCodecContextPtr = std::unique_ptr<AVCodecContext, TCodecContextDeleter>;
using TPacketPtr = std::unique_ptr<AVPacket, TPacketDeleter>;
using TFramePtr = std::unique_ptr<AVFrame, TFrameDeleter>;
using TSwrPtr = std::unique_ptr<SwrContext, TSwrDeleter>;
using TIOContextPtr = std::unique_ptr<AVIOContext, TIOContextDeleter>;
using TParserPtr = std::unique_ptr<AVCodecParserContext, TParserDeleter>;

// "Invalid data found when processing input (-1094995529)".
inline std::string ErrorText(int Error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(Error, text, sizeof text);
    return std::string(text) + " (" + std::to_string(Error) + ")";
}

} // namespace tarvio::ffmpeg
