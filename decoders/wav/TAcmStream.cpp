#include "decoders/wav/TAcmStream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tarvio {

using ffmpeg::FFmpeg;

namespace {

constexpr uint32_t GsmBlockBytes = 65; // two 32.5-byte GSM frames, Microsoft's packing
constexpr uint32_t GsmSamplesPerBlock = 320;
constexpr uint32_t MaxChannels = 8; // A-law and mu-law; MP3 has at most 2, GSM 1
constexpr uint32_t MaxSampleRate = 768000;

// Frame samples and the smallest and largest frame in bytes of MPEG audio Layer 3 at Rate;
// false for a rate Layer 3 does not have. Free-format frames are not counted.
bool Mp3Frames(uint32_t Rate, uint32_t& Samples, uint32_t& MinBytes, uint32_t& MaxBytes) {
    switch (Rate) {
    case 32000:
    case 44100:
    case 48000: // MPEG-1: 32 to 320 kbit/s
        Samples = 1152;
        MinBytes = 144 * 32000 / Rate;
        MaxBytes = 144 * 320000 / Rate + 1;
        return true;
    case 16000:
    case 22050:
    case 24000: // MPEG-2
    case 8000:
    case 11025:
    case 12000: // MPEG-2.5: 8 to 160 kbit/s
        Samples = 576;
        MinBytes = 72 * 8000 / Rate;
        MaxBytes = 72 * 160000 / Rate + 1;
        return true;
    default:
        return false;
    }
}

AVCodecID CodecOf(uint16_t Tag) {
    switch (Tag) {
    case WAVE_FORMAT_GSM610:
        return AV_CODEC_ID_GSM_MS;
    case WAVE_FORMAT_ALAW:
        return AV_CODEC_ID_PCM_ALAW;
    case WAVE_FORMAT_MULAW:
        return AV_CODEC_ID_PCM_MULAW;
    default:
        return AV_CODEC_ID_NONE;
    }
}

MMRESULT Fits32(uint64_t Value, uint32_t& Out) {
    if (Value > UINT32_MAX) return ACMERR_NOTPOSSIBLE;
    Out = static_cast<uint32_t>(Value);
    return MMSYSERR_NOERROR;
}

} // namespace

bool TAcmStream::Suggest(const tWAVEFORMATEX& Src, tWAVEFORMATEX& Pcm) {
    const uint32_t ch = Src.nChannels, rate = Src.nSamplesPerSec;
    if (ch == 0 || rate == 0 || rate > MaxSampleRate) return false;
    uint32_t samples = 0, minBytes = 0, maxBytes = 0;
    switch (Src.wFormatTag) {
    case WAVE_FORMAT_MPEGLAYER3:
        if (ch > 2 || !Mp3Frames(rate, samples, minBytes, maxBytes)) return false;
        break;
    case WAVE_FORMAT_GSM610:
        if (ch != 1 || Src.nBlockAlign != GsmBlockBytes) return false;
        break;
    case WAVE_FORMAT_ALAW:
    case WAVE_FORMAT_MULAW:
        if (ch > MaxChannels || Src.wBitsPerSample != 8 || Src.nBlockAlign != ch) return false;
        break;
    default:
        return false;
    }
    Pcm = tWAVEFORMATEX{};
    Pcm.wFormatTag = WAVE_FORMAT_PCM;
    Pcm.nChannels = static_cast<uint16_t>(ch);
    Pcm.nSamplesPerSec = rate;
    Pcm.nBlockAlign = static_cast<uint16_t>(ch * 2);
    Pcm.nAvgBytesPerSec = rate * ch * 2;
    Pcm.wBitsPerSample = 16;
    Pcm.cbSize = 0;
    return true;
}

MMRESULT TAcmStream::Open(const tWAVEFORMATEX& Src, const tWAVEFORMATEX& Dst,
                          std::unique_ptr<TAcmStream>& Out) {
    tWAVEFORMATEX pcm{};
    if (!Suggest(Src, pcm)) return ACMERR_NOTPOSSIBLE;
    if (Dst.wFormatTag != pcm.wFormatTag || Dst.nChannels != pcm.nChannels ||
        Dst.nSamplesPerSec != pcm.nSamplesPerSec || Dst.wBitsPerSample != pcm.wBitsPerSample ||
        Dst.nBlockAlign != pcm.nBlockAlign)
        return ACMERR_NOTPOSSIBLE;
    std::unique_ptr<TAcmStream> s(new (std::nothrow) TAcmStream);
    if (!s) return MMSYSERR_NOMEM;
    s->FSrc = Src;
    s->FDst = Dst;
    if (Src.wFormatTag == WAVE_FORMAT_MPEGLAYER3) {
        // libmpg123 is opened the first time a stream is; without it MPEG data does not convert.
        Mp3Frames(Src.nSamplesPerSec, s->FSamplesPerBlock, s->FMinFrameBytes, s->FMaxFrameBytes);
        s->FMpeg = std::make_unique<TMpg123Decoder>();
        if (!s->FMpeg->OpenFeed()) return ACMERR_NOTPOSSIBLE;
        Out = std::move(s);
        return MMSYSERR_NOERROR;
    }
    // FFmpeg is opened the first time a stream is; without it nothing else here converts.
    if (!ffmpeg::TFFmpegLibrary::Instance().Load()) return ACMERR_NOTPOSSIBLE;
    const AVCodec* codec = FFmpeg().avcodec_find_decoder(CodecOf(Src.wFormatTag));
    if (!codec) return ACMERR_NOTPOSSIBLE;
    switch (Src.wFormatTag) {
    case WAVE_FORMAT_GSM610:
        s->FBlockBytes = GsmBlockBytes;
        s->FSamplesPerBlock = GsmSamplesPerBlock;
        s->FPacketBlocks = 1; // the decoder takes one block per packet
        break;
    default: // A-law, mu-law: one byte per sample
        s->FBlockBytes = Src.nChannels;
        s->FSamplesPerBlock = 1;
        s->FPacketBlocks = 4096 / Src.nChannels;
        break;
    }

    s->FContext.reset(FFmpeg().avcodec_alloc_context3(codec));
    s->FPacket.reset(FFmpeg().av_packet_alloc());
    s->FFrame.reset(FFmpeg().av_frame_alloc());
    if (!s->FContext || !s->FPacket || !s->FFrame) return MMSYSERR_NOMEM;
    AVCodecContext* ctx = s->FContext.get();
    ctx->sample_rate = static_cast<int>(Src.nSamplesPerSec);
    FFmpeg().av_channel_layout_default(&ctx->ch_layout, Src.nChannels);
    ctx->block_align = Src.nBlockAlign;
    ctx->bits_per_coded_sample = Src.wBitsPerSample;
    if (FFmpeg().avcodec_open2(ctx, codec, nullptr) < 0) return ACMERR_NOTPOSSIBLE;
    Out = std::move(s);
    return MMSYSERR_NOERROR;
}

MMRESULT TAcmStream::DestinationSize(uint32_t SrcBytes, uint32_t& DstBytes) const {
    const uint64_t frameBytes = uint64_t{FDst.nBlockAlign};
    const uint64_t pending = FPending.size();
    uint64_t blocks;
    if (FMpeg)
        // Every frame takes at least FMinFrameBytes; one more may be waiting in the decoder.
        blocks = SrcBytes / FMinFrameBytes + 2;
    else
        blocks = (uint64_t{SrcBytes} + FCarry.size() + FBlockBytes - 1) / FBlockBytes;
    return Fits32(blocks * FSamplesPerBlock * frameBytes + pending, DstBytes);
}

MMRESULT TAcmStream::SourceSize(uint32_t DstBytes, uint32_t& SrcBytes) const {
    const uint64_t blockOut = uint64_t{FSamplesPerBlock} * FDst.nBlockAlign;
    const uint64_t blocks = (DstBytes + blockOut - 1) / blockOut;
    return Fits32(blocks * (FMpeg ? FMaxFrameBytes : FBlockBytes), SrcBytes);
}

MMRESULT TAcmStream::Convert(const uint8_t* Src, uint32_t SrcLength, uint8_t* Dst, uint32_t DstLength,
                             uint32_t Flags, uint32_t& SrcUsed, uint32_t& DstUsed) {
    SrcUsed = DstUsed = 0;
    if (Flags & ACM_STREAMCONVERTF_START) Restart();
    FWriteAt = Dst;
    FWriteRoom = DstLength;
    FWritten = 0;
    if (!FPending.empty()) {
        const size_t n = std::min<size_t>(FWriteRoom, FPending.size());
        std::memcpy(FWriteAt, FPending.data(), n);
        FWritten += static_cast<uint32_t>(n);
        FWriteRoom -= static_cast<uint32_t>(n);
        // What is left moves to the front, so the held output never grows past what one
        // call leaves over.
        FPending.erase(FPending.begin(), FPending.begin() + static_cast<std::ptrdiff_t>(n));
    }
    uint32_t take = SrcLength;
    if ((Flags & ACM_STREAMCONVERTF_BLOCKALIGN) && FBlockBytes > 1)
        take -= static_cast<uint32_t>((FCarry.size() + take) % FBlockBytes);
    if (take > 0) Feed(Src, take);
    if (Flags & ACM_STREAMCONVERTF_END) Drain();
    SrcUsed = take;
    DstUsed = FWritten;
    FWriteAt = nullptr;
    FWriteRoom = 0;
    return MMSYSERR_NOERROR;
}

void TAcmStream::Restart() {
    FCarry.clear();
    FPending.clear();
    ResetDecoder();
}

void TAcmStream::ResetDecoder() {
    if (FMpeg) {
        // A new stream forgets a partial frame; it fails only when memory runs out.
        if (!FMpeg->OpenFeed()) throw std::bad_alloc();
        return;
    }
    FFmpeg().avcodec_flush_buffers(FContext.get());
}

void TAcmStream::Feed(const uint8_t* Data, uint32_t Length) {
    if (FMpeg) {
        if (!FMpeg->Feed(Data, Length)) throw std::bad_alloc();
        DecodeMpeg();
        return;
    }
    if (!FCarry.empty()) {
        const uint32_t n = std::min<uint32_t>(Length, FBlockBytes - static_cast<uint32_t>(FCarry.size()));
        FCarry.insert(FCarry.end(), Data, Data + n);
        Data += n;
        Length -= n;
        if (FCarry.size() < FBlockBytes) return;
        Decode(FCarry.data(), static_cast<int>(FCarry.size()));
        FCarry.clear();
    }
    const uint32_t packet = FBlockBytes * FPacketBlocks;
    while (Length >= FBlockBytes) {
        const uint32_t n = std::min(packet, Length - Length % FBlockBytes);
        Decode(Data, static_cast<int>(n));
        Data += n;
        Length -= n;
    }
    FCarry.assign(Data, Data + Length);
}

void TAcmStream::Drain() {
    // libmpg123 decodes a frame as soon as all its bytes are fed: nothing is held back.
    FCarry.clear();
    if (FMpeg)
        DecodeMpeg();
    else
        Decode(nullptr, 0);
    ResetDecoder(); // ready for more data
}

void TAcmStream::DecodeMpeg() {
    const uint8_t* data = nullptr;
    size_t frames = 0;
    while (FMpeg->Decode(data, frames)) {
        const TMpg123Decoder::TStreamInfo& i = FMpeg->Info();
        // Frames of another rate or channel count than the format says would break the fixed
        // output format: they are dropped.
        if (i.Rate == FSrc.nSamplesPerSec && i.Channels == FDst.nChannels) Put(data, frames * i.Channels * 2);
    }
}

void TAcmStream::Decode(const uint8_t* Data, int Size) {
    AVPacket* packet = nullptr;
    if (Data) {
        // Not reference-counted: the decoder copies it into a padded buffer of its own.
        FPacket->data = const_cast<uint8_t*>(Data);
        FPacket->size = Size;
        packet = FPacket.get();
    }
    int r = FFmpeg().avcodec_send_packet(FContext.get(), packet);
    if (r == AVERROR(EAGAIN)) {
        ReceiveFrames();
        r = FFmpeg().avcodec_send_packet(FContext.get(), packet);
    }
    FPacket->data = nullptr;
    FPacket->size = 0;
    if (r == AVERROR(ENOMEM)) throw std::bad_alloc();
    // Any other refusal is a damaged packet, which is dropped.
    ReceiveFrames();
}

void TAcmStream::ReceiveFrames() {
    for (;;) {
        const int r = FFmpeg().avcodec_receive_frame(FContext.get(), FFrame.get());
        if (r == AVERROR(ENOMEM)) throw std::bad_alloc();
        if (r < 0) return; // EAGAIN, the end, or a damaged packet that is now consumed
        Emit(*FFrame);
        FFmpeg().av_frame_unref(FFrame.get());
    }
}

void TAcmStream::Emit(const AVFrame& Frame) {
    const uint32_t ch = FDst.nChannels;
    // A frame of another rate or layout (damaged data) would break the fixed output format.
    if (Frame.sample_rate != static_cast<int>(FSrc.nSamplesPerSec) ||
        Frame.ch_layout.nb_channels != static_cast<int>(ch) || Frame.nb_samples <= 0)
        return;
    const size_t bytes = static_cast<size_t>(Frame.nb_samples) * ch * 2;
    if (Frame.format == AV_SAMPLE_FMT_S16) {
        Put(Frame.data[0], bytes);
        return;
    }
    if (!FSwr || FSwrFormat != Frame.format) {
        SwrContext* swr = nullptr;
        // Older FFmpeg takes the layouts as non-const; they are only read.
        auto* layout = const_cast<AVChannelLayout*>(&Frame.ch_layout);
        const int r = FFmpeg().swr_alloc_set_opts2(&swr, layout, AV_SAMPLE_FMT_S16, Frame.sample_rate, layout,
                                                   static_cast<AVSampleFormat>(Frame.format),
                                                   Frame.sample_rate, 0, nullptr);
        FSwr.reset(swr);
        FSwrFormat = -1;
        if (r < 0 || FFmpeg().swr_init(FSwr.get()) < 0) {
            FSwr.reset();
            return;
        }
        FSwrFormat = Frame.format;
    }
    if (FOut.size() < bytes) FOut.resize(bytes);
    uint8_t* out[1] = {FOut.data()};
    const int n = FFmpeg().swr_convert(FSwr.get(), out, Frame.nb_samples,
                                       const_cast<const uint8_t**>(Frame.extended_data), Frame.nb_samples);
    if (n > 0) Put(FOut.data(), static_cast<size_t>(n) * ch * 2);
}

void TAcmStream::Put(const uint8_t* Data, size_t Bytes) {
    const size_t n = std::min<size_t>(Bytes, FWriteRoom);
    if (n > 0) {
        std::memcpy(FWriteAt + FWritten, Data, n);
        FWritten += static_cast<uint32_t>(n);
        FWriteRoom -= static_cast<uint32_t>(n);
    }
    if (n < Bytes) FPending.insert(FPending.end(), Data + n, Data + Bytes);
}

} // namespace tarvio
