#include "decoders/mp4/TMP4CodecDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "pipeline/EAuException.h"

namespace tarvio {

using ffmpeg::FFmpeg;

namespace {

// No decoded frame of these codecs comes near this: FLAC's largest block is 65535 frames.
constexpr int MaxFrameSamples = 1 << 17;
constexpr int MaxChannels = 32;

// FFmpeg's float to 16-bit conversion: rounded to nearest, clipped.
int16_t FloatTo16(double V) {
    return static_cast<int16_t>(std::clamp<long>(std::lrint(V * 32768.0), -32768, 32767));
}

} // namespace

TMP4CodecDecoder::TMP4CodecDecoder(AVCodecID Codec, const std::vector<uint8_t>& Extradata) {
    const AVCodec* codec = FFmpeg().avcodec_find_decoder(Codec);
    if (!codec) throw EAuException("FFmpeg has no decoder for the MP4 file's sound track.");
    FContext.reset(FFmpeg().avcodec_alloc_context3(codec));
    FPacket.reset(FFmpeg().av_packet_alloc());
    FFrame.reset(FFmpeg().av_frame_alloc());
    if (!FContext || !FPacket || !FFrame) throw EAuException("Out of memory.");
    if (!Extradata.empty()) {
        // FFmpeg owns the copy (freed with the context) and reads past its end.
        auto* copy =
            static_cast<uint8_t*>(FFmpeg().av_malloc(Extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!copy) throw EAuException("Out of memory.");
        std::memcpy(copy, Extradata.data(), Extradata.size());
        std::memset(copy + Extradata.size(), 0, AV_INPUT_BUFFER_PADDING_SIZE);
        FContext->extradata = copy;
        FContext->extradata_size = static_cast<int>(Extradata.size());
    }
    // Every decoded sample is delivered: the edit list, not the decoder, says what to cut
    // (Opus would otherwise drop its pre-skip once more).
    FContext->flags2 |= AV_CODEC_FLAG2_SKIP_MANUAL;
    if (FFmpeg().avcodec_open2(FContext.get(), codec, nullptr) < 0)
        throw EAuException("Unable to decode the MP4 file's sound track.");
}

void TMP4CodecDecoder::Flush() {
    FFmpeg().avcodec_flush_buffers(FContext.get());
}

int64_t TMP4CodecDecoder::Decode(const uint8_t* Data, uint32_t Size) {
    // The packet borrows the caller's bytes, which carry the padding FFmpeg reads ahead.
    FPacket->data = const_cast<uint8_t*>(Data);
    FPacket->size = static_cast<int>(Size);
    const int sent = FFmpeg().avcodec_send_packet(FContext.get(), FPacket.get());
    FPacket->data = nullptr;
    FPacket->size = 0;
    if (sent < 0 && sent != AVERROR(EAGAIN)) return -1;
    size_t frames = 0;
    for (;;) {
        const int r = FFmpeg().avcodec_receive_frame(FContext.get(), FFrame.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0) return -1;
        const bool ok = Append(*FFrame, frames);
        frames += ok ? static_cast<size_t>(FFrame->nb_samples) : 0;
        FFmpeg().av_frame_unref(FFrame.get());
        if (!ok) return -1;
    }
    return static_cast<int64_t>(frames);
}

bool TMP4CodecDecoder::Append(const AVFrame& Frame, size_t At) {
    const auto format = static_cast<AVSampleFormat>(Frame.format);
    const int channels = Frame.ch_layout.nb_channels;
    if (Frame.nb_samples <= 0 || Frame.nb_samples > MaxFrameSamples || channels <= 0 ||
        channels > MaxChannels || Frame.sample_rate <= 0)
        return false;
    uint32_t bits = 16;
    switch (format) {
    case AV_SAMPLE_FMT_S32:
    case AV_SAMPLE_FMT_S32P:
        bits = FContext->bits_per_raw_sample > 0 && FContext->bits_per_raw_sample <= 24 ? 24 : 32;
        break;
    case AV_SAMPLE_FMT_U8:
    case AV_SAMPLE_FMT_U8P:
    case AV_SAMPLE_FMT_S16:
    case AV_SAMPLE_FMT_S16P:
    case AV_SAMPLE_FMT_FLT:
    case AV_SAMPLE_FMT_FLTP:
    case AV_SAMPLE_FMT_DBL:
    case AV_SAMPLE_FMT_DBLP:
        break;
    default:
        return false;
    }
    if (FRate == 0) {
        FRate = static_cast<uint32_t>(Frame.sample_rate);
        FChannels = static_cast<uint32_t>(channels);
        FBits = bits;
    } else if (FRate != static_cast<uint32_t>(Frame.sample_rate) ||
               FChannels != static_cast<uint32_t>(channels) || FBits != bits) {
        return false;
    }
    const size_t bytes = bits / 8, count = static_cast<size_t>(Frame.nb_samples) * FChannels;
    const size_t need = (At * FChannels + count) * bytes;
    if (FPcm.size() < need) FPcm.resize(need);
    uint8_t* out = FPcm.data() + At * FChannels * bytes;
    const bool planar = format == AV_SAMPLE_FMT_U8P || format == AV_SAMPLE_FMT_S16P ||
                        format == AV_SAMPLE_FMT_S32P || format == AV_SAMPLE_FMT_FLTP ||
                        format == AV_SAMPLE_FMT_DBLP;
    // Sample i of the interleaved output: channel i % channels, frame i / channels.
    auto in = [&](size_t I, size_t Size) -> const uint8_t* {
        const size_t ch = I % FChannels, frame = I / FChannels;
        return planar ? Frame.extended_data[ch] + frame * Size : Frame.extended_data[0] + I * Size;
    };
    for (size_t i = 0; i < count; ++i) {
        int32_t v = 0;
        switch (format) {
        case AV_SAMPLE_FMT_U8:
        case AV_SAMPLE_FMT_U8P:
            v = (static_cast<int32_t>(*in(i, 1)) - 128) * 256;
            break;
        case AV_SAMPLE_FMT_S16:
        case AV_SAMPLE_FMT_S16P: {
            int16_t s;
            std::memcpy(&s, in(i, 2), 2);
            v = s;
            break;
        }
        case AV_SAMPLE_FMT_S32:
        case AV_SAMPLE_FMT_S32P:
            std::memcpy(&v, in(i, 4), 4);
            if (bits == 24) v >>= 8; // the top 24 bits hold the sample
            break;
        case AV_SAMPLE_FMT_FLT:
        case AV_SAMPLE_FMT_FLTP: {
            float f;
            std::memcpy(&f, in(i, 4), 4);
            v = FloatTo16(f);
            break;
        }
        default: { // double
            double d;
            std::memcpy(&d, in(i, 8), 8);
            v = FloatTo16(d);
            break;
        }
        }
        for (size_t b = 0; b < bytes; ++b)
            out[b] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * b));
        out += bytes;
    }
    return true;
}

} // namespace tarvio
