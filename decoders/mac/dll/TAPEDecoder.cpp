#include "decoders/mac/dll/TAPEDecoder.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace tarvio::mac {

using ffmpeg::FFmpeg;

namespace {

constexpr int IOBufferSize = 64 * 1024;
// Room reserved up front for a frame's PCM; larger frames grow the buffer once.
constexpr size_t ReserveLimit = 8u << 20;

int ReadPacket(void* Opaque, uint8_t* Buffer, int Size) {
    const int32_t n = static_cast<TAPESource*>(Opaque)->Read(Buffer, Size);
    if (n < 0) return AVERROR(EIO);
    return n == 0 ? AVERROR_EOF : n;
}

int64_t SeekPacket(void* Opaque, int64_t Offset, int Whence) {
    auto* source = static_cast<TAPESource*>(Opaque);
    switch (Whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
        return source->Size();
    case SEEK_SET:
        return source->Seek(Offset);
    case SEEK_CUR:
        return source->Seek(source->Position() + Offset);
    case SEEK_END: {
        const int64_t size = source->Size();
        return size < 0 ? -1 : source->Seek(size + Offset);
    }
    default:
        return -1;
    }
}

void PutU16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void PutU32(uint8_t* p, uint32_t v) {
    PutU16(p, v);
    PutU16(p + 2, v >> 16);
}

} // namespace

TAPEDecoder::TAPEDecoder(std::unique_ptr<TAPESource> Source) : FSource(std::move(Source)) {}

TAPEDecoder::~TAPEDecoder() = default;

std::unique_ptr<TAPEDecoder> TAPEDecoder::Open(std::unique_ptr<TAPESource> Source, int& Error) {
    if (!Source) {
        Error = ERROR_IO_READ;
        return nullptr;
    }
    std::unique_ptr<TAPEDecoder> decoder(new TAPEDecoder(std::move(Source)));
    Error = decoder->Init();
    if (Error != ERROR_SUCCESS) decoder.reset();
    return decoder;
}

int TAPEDecoder::Init() {
    FFileSize = FSource->Size();
    if (int r = FHeader.Read(*FSource); r != ERROR_SUCCESS) return r;
    // FFmpeg's decoder takes mono and stereo.
    if (FHeader.Channels > 2) return ERROR_INPUT_FILE_UNSUPPORTED_CHANNEL_COUNT;

    // The table finds FFmpeg's libraries, which this library links, already loaded.
    if (!ffmpeg::TFFmpegLibrary::Instance().Load()) return ERROR_INITIALIZING_UNMAC;
    const AVInputFormat* format = FFmpeg().av_find_input_format("ape");
    const AVCodec* codec = FFmpeg().avcodec_find_decoder(AV_CODEC_ID_APE);
    if (!format || !codec) return ERROR_INITIALIZING_UNMAC;
    auto* buffer = static_cast<uint8_t*>(FFmpeg().av_malloc(IOBufferSize));
    if (!buffer) return ERROR_INSUFFICIENT_MEMORY;
    FIO.reset(FFmpeg().avio_alloc_context(buffer, IOBufferSize, 0, FSource.get(), &ReadPacket, nullptr,
                                          &SeekPacket));
    if (!FIO) {
        FFmpeg().av_free(buffer);
        return ERROR_INSUFFICIENT_MEMORY;
    }
    AVFormatContext* context = FFmpeg().avformat_alloc_context();
    if (!context) return ERROR_INSUFFICIENT_MEMORY;
    context->pb = FIO.get();
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (FSource->Seek(0) < 0) {
        FFmpeg().avformat_free_context(context);
        return ERROR_IO_READ;
    }
    // Frees the context when it fails.
    if (FFmpeg().avformat_open_input(&context, nullptr, format, nullptr) < 0) return ERROR_INVALID_INPUT_FILE;
    FFormat.reset(context);

    FStream = -1;
    for (unsigned i = 0; i < FFormat->nb_streams; ++i)
        if (FFormat->streams[i]->codecpar->codec_id == AV_CODEC_ID_APE) {
            FStream = static_cast<int>(i);
            break;
        }
    if (FStream < 0) return ERROR_INVALID_INPUT_FILE;
    AVStream* stream = FFormat->streams[FStream];
    const AVCodecParameters& par = *stream->codecpar;
    if (par.sample_rate != static_cast<int>(FHeader.SampleRate) ||
        par.ch_layout.nb_channels != static_cast<int>(FHeader.Channels))
        return ERROR_INVALID_INPUT_FILE;

    FCodec.reset(FFmpeg().avcodec_alloc_context3(codec));
    if (!FCodec) return ERROR_INSUFFICIENT_MEMORY;
    if (FFmpeg().avcodec_parameters_to_context(FCodec.get(), &par) < 0) return ERROR_INITIALIZING_UNMAC;
    // A frame whose checksum fails is an error, not audio.
    FCodec->err_recognition |= AV_EF_CRCCHECK | AV_EF_EXPLODE;
    if (FFmpeg().avcodec_open2(FCodec.get(), codec, nullptr) < 0) return ERROR_UNSUPPORTED_FILE_TYPE;
    const AVSampleFormat expected = FHeader.BitsPerSample == 8    ? AV_SAMPLE_FMT_U8P
                                    : FHeader.BitsPerSample == 16 ? AV_SAMPLE_FMT_S16P
                                                                  : AV_SAMPLE_FMT_S32P;
    if (FCodec->sample_fmt != expected) return ERROR_INPUT_FILE_UNSUPPORTED_BIT_DEPTH;

    FPacket.reset(FFmpeg().av_packet_alloc());
    FFrame.reset(FFmpeg().av_frame_alloc());
    if (!FPacket || !FFrame) return ERROR_INSUFFICIENT_MEMORY;

    const int entries = FFmpeg().avformat_index_get_entries_count(stream);
    if (entries == static_cast<int>(FHeader.TotalFrames)) {
        FFrameOffsets.reserve(static_cast<size_t>(entries));
        for (int i = 0; i < entries; ++i)
            FFrameOffsets.push_back(FFmpeg().avformat_index_get_entry(stream, i)->pos);
    }
    FPCM.reserve(std::min<size_t>(size_t{FHeader.BlocksPerFrame} * FHeader.BlockAlign(), ReserveLimit));
    FCurrentBitrate = FrameBitrate(0);
    return ERROR_SUCCESS;
}

void TAPEDecoder::Append(const AVFrame& Frame) {
    const uint32_t channels = FHeader.Channels, align = FHeader.BlockAlign();
    const size_t blocks = static_cast<size_t>(Frame.nb_samples);
    const size_t at = static_cast<size_t>(FPCMBlocks) * align;
    FPCM.resize(at + blocks * align);
    uint8_t* out = FPCM.data() + at;
    switch (FHeader.BitsPerSample) {
    case 8:
        for (size_t i = 0; i < blocks; ++i)
            for (uint32_t c = 0; c < channels; ++c)
                *out++ = Frame.extended_data[c][i];
        break;
    case 16:
        for (size_t i = 0; i < blocks; ++i)
            for (uint32_t c = 0; c < channels; ++c) {
                PutU16(out,
                       static_cast<uint16_t>(reinterpret_cast<const int16_t*>(Frame.extended_data[c])[i]));
                out += 2;
            }
        break;
    case 24:
        // FFmpeg holds 24-bit samples in the upper bits of 32.
        for (size_t i = 0; i < blocks; ++i)
            for (uint32_t c = 0; c < channels; ++c) {
                const uint32_t v =
                    static_cast<uint32_t>(reinterpret_cast<const int32_t*>(Frame.extended_data[c])[i]);
                out[0] = static_cast<uint8_t>(v >> 8);
                out[1] = static_cast<uint8_t>(v >> 16);
                out[2] = static_cast<uint8_t>(v >> 24);
                out += 3;
            }
        break;
    default:
        for (size_t i = 0; i < blocks; ++i)
            for (uint32_t c = 0; c < channels; ++c) {
                PutU32(out,
                       static_cast<uint32_t>(reinterpret_cast<const int32_t*>(Frame.extended_data[c])[i]));
                out += 4;
            }
        break;
    }
    FPCMBlocks += static_cast<int64_t>(blocks);
}

int TAPEDecoder::DecodeFrame() {
    const int64_t next = FFrameStart + FPCMBlocks;
    FPCMBlocks = 0;
    FPCMOffset = 0;
    for (;;) {
        int r = FFmpeg().av_read_frame(FFormat.get(), FPacket.get());
        if (r == AVERROR_EOF) {
            FEnd = true;
            FFrameStart = next;
            // Frames missing at the end of the file: it is shorter than its header says.
            return next < FHeader.TotalBlocks ? ERROR_IO_READ : ERROR_SUCCESS;
        }
        if (r < 0) return r == AVERROR(EIO) ? ERROR_IO_READ : ERROR_DECOMPRESSING_FRAME;
        if (FPacket->stream_index != FStream) {
            FFmpeg().av_packet_unref(FPacket.get());
            continue;
        }
        const int64_t start = FPacket->pts != AV_NOPTS_VALUE ? FPacket->pts : next;
        r = FFmpeg().avcodec_send_packet(FCodec.get(), FPacket.get());
        FFmpeg().av_packet_unref(FPacket.get());
        if (r < 0) return ERROR_DECOMPRESSING_FRAME;
        for (;;) {
            r = FFmpeg().avcodec_receive_frame(FCodec.get(), FFrame.get());
            if (r == AVERROR(EAGAIN)) break;
            if (r < 0 || FPCMBlocks + FFrame->nb_samples > int64_t{FHeader.BlocksPerFrame}) {
                FFmpeg().av_frame_unref(FFrame.get());
                FPCMBlocks = 0;
                return ERROR_DECOMPRESSING_FRAME;
            }
            Append(*FFrame);
            FFmpeg().av_frame_unref(FFrame.get());
        }
        if (FPCMBlocks == 0) continue;
        if (start < 0 || start >= FHeader.TotalBlocks) {
            FPCMBlocks = 0;
            return ERROR_DECOMPRESSING_FRAME;
        }
        FFrameStart = start;
        FPCMBlocks = std::min(FPCMBlocks, FHeader.TotalBlocks - start); // never past the header's length
        FCurrentBitrate = FrameBitrate(start / FHeader.BlocksPerFrame);
        return ERROR_SUCCESS;
    }
}

int TAPEDecoder::GetData(uint8_t* Buffer, int32_t Blocks, int32_t& Retrieved) {
    Retrieved = 0;
    if (!Buffer || Blocks < 0) return ERROR_INVALID_FUNCTION_PARAMETER;
    if (FError != ERROR_SUCCESS) return FError;
    const size_t align = FHeader.BlockAlign();
    while (Retrieved < Blocks) {
        if (FPCMOffset >= FPCMBlocks) {
            if (FEnd) break;
            if (int r = DecodeFrame(); r != ERROR_SUCCESS) {
                FError = r;
                return r;
            }
            if (FEnd) break;
        }
        const int64_t n = std::min<int64_t>(Blocks - Retrieved, FPCMBlocks - FPCMOffset);
        std::memcpy(Buffer + static_cast<size_t>(Retrieved) * align,
                    FPCM.data() + static_cast<size_t>(FPCMOffset) * align, static_cast<size_t>(n) * align);
        Retrieved += static_cast<int32_t>(n);
        FPCMOffset += n;
        FCurrentBlock = FFrameStart + FPCMOffset;
    }
    return ERROR_SUCCESS;
}

int TAPEDecoder::Seek(int64_t Block) {
    if (Block < 0 || Block > FHeader.TotalBlocks) return ERROR_INVALID_FUNCTION_PARAMETER;
    FError = ERROR_SUCCESS;
    if (FPCMBlocks > 0 && Block >= FFrameStart && Block < FFrameStart + FPCMBlocks) {
        FPCMOffset = Block - FFrameStart; // within the frame at hand
        FEnd = false;
        FCurrentBlock = Block;
        return ERROR_SUCCESS;
    }
    if (Block == FHeader.TotalBlocks) {
        FEnd = true;
        FFrameStart = Block;
        FPCMBlocks = FPCMOffset = 0;
        FCurrentBlock = Block;
        return ERROR_SUCCESS;
    }
    const int64_t frameStart = Block - Block % FHeader.BlocksPerFrame;
    if (FFmpeg().av_seek_frame(FFormat.get(), FStream, frameStart, AVSEEK_FLAG_BACKWARD) < 0) {
        FError = ERROR_IO_READ;
        return FError;
    }
    FFmpeg().avcodec_flush_buffers(FCodec.get());
    FEnd = false;
    FFrameStart = frameStart;
    FPCMBlocks = FPCMOffset = 0;
    do {
        if (int r = DecodeFrame(); r != ERROR_SUCCESS) {
            FError = r;
            return r;
        }
    } while (!FEnd && Block >= FFrameStart + FPCMBlocks);
    if (FEnd || Block < FFrameStart) {
        FError = ERROR_DECOMPRESSING_FRAME;
        return FError;
    }
    FPCMOffset = Block - FFrameStart;
    FCurrentBlock = Block;
    return ERROR_SUCCESS;
}

int64_t TAPEDecoder::FrameBytes(int64_t Frame) const {
    const int64_t frames = static_cast<int64_t>(FFrameOffsets.size());
    if (Frame < 0 || Frame >= frames) return 0;
    int64_t end = Frame + 1 < frames ? FFrameOffsets[static_cast<size_t>(Frame + 1)] : FHeader.FrameDataEnd;
    if (end < 0) end = FFileSize;
    return std::max<int64_t>(end - FFrameOffsets[static_cast<size_t>(Frame)], 0);
}

int32_t TAPEDecoder::FrameBitrate(int64_t Frame) const {
    if (Frame < 0 || Frame >= int64_t{FHeader.TotalFrames}) return 0;
    const int64_t blocks =
        Frame + 1 == FHeader.TotalFrames ? FHeader.FinalFrameBlocks : FHeader.BlocksPerFrame;
    // bits per millisecond = kilobits per second
    const double ms = static_cast<double>(blocks) * 1000.0 / FHeader.SampleRate;
    if (!(ms > 0)) return 0;
    // A damaged header can pair a long frame with a few blocks; the rate stops at the largest count.
    const double kbps = static_cast<double>(FrameBytes(Frame)) * 8.0 / ms + 0.5;
    return kbps >= static_cast<double>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(kbps);
}

bool TAPEDecoder::ReadAside(int64_t Offset, uint8_t* Buffer, uint32_t Bytes) {
    if (Bytes > INT32_MAX) return false;
    // The demuxer reads on from where it left the source.
    const int64_t position = FSource->Position();
    const bool ok = FSource->ReadAt(Offset, Buffer, static_cast<int32_t>(Bytes));
    return FSource->Seek(position) == position && ok;
}

int64_t TAPEDecoder::BlocksToMS(int64_t Blocks) const {
    // In two steps: a damaged header's block count times 1000 overflows 64 bits.
    const int64_t rate = FHeader.SampleRate;
    return Blocks / rate * 1000 + Blocks % rate * 1000 / rate;
}

int64_t TAPEDecoder::LengthMS() const {
    return BlocksToMS(FHeader.TotalBlocks);
}

intptr_t TAPEDecoder::GetInfo(int Field, intptr_t Param1, intptr_t Param2) {
    const TAPEHeader& h = FHeader;
    const int64_t wavData = h.TotalBlocks * h.BlockAlign();
    auto averageBitrate = [&]() -> intptr_t {
        const int64_t ms = LengthMS();
        return ms > 0 && FFileSize > 0
                   ? static_cast<intptr_t>(static_cast<double>(FFileSize) * 8.0 / ms + 0.5)
                   : 0;
    };
    switch (Field) {
    case APE_INFO_FILE_VERSION:
        return h.Version;
    case APE_INFO_COMPRESSION_LEVEL:
        return h.CompressionLevel;
    case APE_INFO_FORMAT_FLAGS:
        return h.FormatFlags;
    case APE_INFO_SAMPLE_RATE:
        return h.SampleRate;
    case APE_INFO_BITS_PER_SAMPLE:
        return h.BitsPerSample;
    case APE_INFO_BYTES_PER_SAMPLE:
        return h.BitsPerSample / 8;
    case APE_INFO_CHANNELS:
        return h.Channels;
    case APE_INFO_BLOCK_ALIGN:
        return h.BlockAlign();
    case APE_INFO_BLOCKS_PER_FRAME:
        return h.BlocksPerFrame;
    case APE_INFO_FINAL_FRAME_BLOCKS:
        return h.FinalFrameBlocks;
    case APE_INFO_TOTAL_FRAMES:
        return h.TotalFrames;
    case APE_INFO_WAV_HEADER_BYTES:
        return h.WavHeaderBytes;
    case APE_INFO_WAV_TERMINATING_BYTES:
        return h.WavTerminatingBytes;
    case APE_INFO_WAV_DATA_BYTES:
        return static_cast<intptr_t>(wavData);
    case APE_INFO_WAV_TOTAL_BYTES:
        return static_cast<intptr_t>(wavData + h.WavHeaderBytes + h.WavTerminatingBytes);
    case APE_INFO_APE_TOTAL_BYTES:
        return static_cast<intptr_t>(std::max<int64_t>(FFileSize, 0));
    case APE_INFO_TOTAL_BLOCKS:
    case APE_DECOMPRESS_TOTAL_BLOCKS:
        return static_cast<intptr_t>(h.TotalBlocks);
    case APE_INFO_LENGTH_MS:
    case APE_DECOMPRESS_LENGTH_MS:
        return static_cast<intptr_t>(LengthMS());
    case APE_INFO_AVERAGE_BITRATE:
    case APE_DECOMPRESS_AVERAGE_BITRATE:
        return averageBitrate();
    case APE_INFO_FRAME_BITRATE:
        return FrameBitrate(Param1);
    case APE_INFO_DECOMPRESSED_BITRATE:
        return static_cast<intptr_t>(int64_t{h.BlockAlign()} * h.SampleRate * 8 / 1000);
    case APE_INFO_PEAK_LEVEL:
        return h.PeakLevel;
    case APE_INFO_SEEK_BYTE:
        return Param1 >= 0 && Param1 < static_cast<intptr_t>(FFrameOffsets.size())
                   ? static_cast<intptr_t>(FFrameOffsets[static_cast<size_t>(Param1)])
                   : 0;
    case APE_INFO_FRAME_BYTES:
        return static_cast<intptr_t>(FrameBytes(Param1));
    case APE_INFO_FRAME_BLOCKS:
        if (Param1 < 0 || Param1 >= static_cast<intptr_t>(h.TotalFrames)) return 0;
        return Param1 + 1 == static_cast<intptr_t>(h.TotalFrames) ? h.FinalFrameBlocks : h.BlocksPerFrame;
    case APE_INFO_WAV_HEADER_DATA: {
        auto* out = reinterpret_cast<uint8_t*>(Param1);
        if (!out || Param2 < static_cast<intptr_t>(h.WavHeaderBytes)) return -1;
        if (h.WavHeaderOffset >= 0) return ReadAside(h.WavHeaderOffset, out, h.WavHeaderBytes) ? 0 : -1;
        // No header stored: the plain one a decoder would write.
        const uint32_t data = wavData > UINT32_MAX - 36 ? UINT32_MAX - 36 : static_cast<uint32_t>(wavData);
        std::memcpy(out, "RIFF", 4);
        PutU32(out + 4, 36 + data);
        std::memcpy(out + 8, "WAVEfmt ", 8);
        PutU32(out + 16, 16);
        PutU16(out + 20, 1);
        PutU16(out + 22, h.Channels);
        PutU32(out + 24, h.SampleRate);
        PutU32(out + 28, h.SampleRate * h.BlockAlign());
        PutU16(out + 32, h.BlockAlign());
        PutU16(out + 34, h.BitsPerSample);
        std::memcpy(out + 36, "data", 4);
        PutU32(out + 40, data);
        return 0;
    }
    case APE_INFO_WAV_TERMINATING_DATA: {
        auto* out = reinterpret_cast<uint8_t*>(Param1);
        if (!out || Param2 < static_cast<intptr_t>(h.WavTerminatingBytes)) return -1;
        if (h.WavTerminatingBytes == 0) return 0;
        if (h.TerminatingOffset < 0) return -1;
        return ReadAside(h.TerminatingOffset, out, h.WavTerminatingBytes) ? 0 : -1;
    }
    case APE_INFO_WAVEFORMATEX: {
        auto* out = reinterpret_cast<uint8_t*>(Param1);
        if (!out) return -1;
        PutU16(out, 1); // PCM
        PutU16(out + 2, h.Channels);
        PutU32(out + 4, h.SampleRate);
        PutU32(out + 8, h.SampleRate * h.BlockAlign());
        PutU16(out + 12, h.BlockAlign());
        PutU16(out + 14, h.BitsPerSample);
        PutU16(out + 16, 0);
        return 0;
    }
    case APE_DECOMPRESS_CURRENT_BLOCK:
        return static_cast<intptr_t>(FCurrentBlock.load());
    case APE_DECOMPRESS_CURRENT_MS:
        return static_cast<intptr_t>(BlocksToMS(FCurrentBlock.load()));
    case APE_DECOMPRESS_CURRENT_BITRATE:
        return FCurrentBitrate.load();
    default: // the seek bit, the I/O source, the tag object and unknown fields
        return 0;
    }
}

} // namespace tarvio::mac
