#include "decoders/wm/TWMSyncReader.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <numeric>
#include <string>
#include <vector>

#include "decoders/ffmpeg/FFmpegPtr.h"
#include "decoders/mpg123/TMpg123Decoder.h"
#include "decoders/wm/WMHeaderScan.h"
#include "tags/TCodePage.h"

namespace tarvio {

using ffmpeg::FFmpeg;

namespace {

constexpr int IOBufferSize = 65536;
constexpr int64_t UnitsPerSecond = 10000000; // 100-ns units
constexpr int MaxChannels = 32;

// The WAVE order's default channel mask for a channel count (WAVE_FORMAT_EXTENSIBLE's).
uint64_t WaveMask(int Channels) {
    switch (Channels) {
    case 1:
        return AV_CH_LAYOUT_MONO;
    case 2:
        return AV_CH_LAYOUT_STEREO;
    case 3:
        return AV_CH_LAYOUT_SURROUND;
    case 4:
        return AV_CH_LAYOUT_QUAD;
    case 5:
        return AV_CH_LAYOUT_5POINT0_BACK;
    case 6:
        return AV_CH_LAYOUT_5POINT1_BACK;
    case 7:
        return AV_CH_LAYOUT_6POINT1_BACK;
    case 8:
        return AV_CH_LAYOUT_7POINT1;
    default: {
        AVChannelLayout l{};
        FFmpeg().av_channel_layout_default(&l, Channels);
        const uint64_t mask = l.order == AV_CHANNEL_ORDER_NATIVE ? l.u.mask : 0;
        FFmpeg().av_channel_layout_uninit(&l);
        return mask;
    }
    }
}

// The mask a frame's channels are taken in: its own when it names one (FFmpeg's native
// order is the WAVE order), else the WAVE default for the count.
uint64_t InputMask(const AVChannelLayout& L) {
    if (L.order == AV_CHANNEL_ORDER_NATIVE && L.u.mask != 0) return L.u.mask;
    return WaveMask(L.nb_channels);
}

// A * B / C rounded to the nearest, for non-negative A and positive B and C (as
// av_rescale, without FFmpeg loaded).
int64_t Rescale(int64_t A, int64_t B, int64_t C) {
    if (A <= 0 || B <= 0 || C <= 0) return 0;
    const __int128 r = (static_cast<__int128>(A) * B + C / 2) / C;
    return r > INT64_MAX ? INT64_MAX : static_cast<int64_t>(r);
}

std::u16string Utf8(const char* Text) {
    return Text ? TCodePage::Utf8ToWide(Text) : std::u16string();
}

} // namespace

// One output: an audio stream of the file and what was set and chosen for it.
struct TOutputState {
    int StreamIndex = 0;
    bool Discrete = false;
    uint32_t SpeakerConfig = 0;
    bool Chosen = false;
    TWaveFormat Format; // the chosen format
};

struct TWMSyncReader::TImpl {
    // The file's bytes for libmpg123, through the same adapter; offsets from Base.
    struct TMpegSource : TMpg123Decoder::TSource {
        TImpl* Self = nullptr;
        int64_t Read(void* Buffer, size_t Bytes) override {
            uint32_t got = 0;
            const uint32_t want = static_cast<uint32_t>(std::min<size_t>(Bytes, UINT32_MAX));
            if (Self->Stream->Read(Buffer, want, &got) != TAudioStream::Ok) return -1;
            return got;
        }
        int64_t Seek(int64_t Offset, int Whence) override {
            if (Whence != SEEK_SET && Whence != SEEK_CUR && Whence != SEEK_END) return -1;
            return SeekStream(Self, Offset, Whence);
        }
    };

    TAudioStream* Stream = nullptr;
    int64_t Base = 0; // where the file starts in the stream
    // MPEG audio is decoded by libmpg123; FFmpeg's demuxer (when it takes the file) only
    // gives the length and bit rate.
    TMpegSource MpegSource;
    TMpg123Decoder Mpeg;
    bool UseMpeg = false;
    std::string MpegOpenError; // libmpg123 could not open an MP3 file FFmpeg took
    std::string Error;         // why decoding ended early; "" when it did not
    TWMDamage Damage;
    ffmpeg::TIOContextPtr IO;
    ffmpeg::TFormatInputPtr Format; // declared after IO: it is closed first
    bool IsMp3 = false, IsAsf = false;
    bool Open = false;
    bool Protected = false;
    std::vector<TOutputState> Outputs;
    TWMHeaderInfo Header;

    // Decoding of the output being read.
    int Reading = -1;
    ffmpeg::TCodecContextPtr Codec;
    ffmpeg::TPacketPtr Packet;
    ffmpeg::TFramePtr Frame;
    ffmpeg::TSwrPtr Swr;
    uint64_t SwrInMask = 0;
    int SwrInChannels = 0, SwrInFormat = -1, SwrInRate = 0;
    TWaveFormat SwrOut;
    bool Resampling = false, ResamplerFlushed = false;
    std::vector<uint8_t> Pcm;  // the last frame in the chosen format
    std::vector<int32_t> Wide; // 32-bit stage of 24-bit output
    uint32_t PcmFrames = 0;    // frames in Pcm
    uint32_t PcmDone = 0;      // frames of them handed out
    int64_t PcmPos = -1;       // position of Pcm's first frame, in samples; -1 unknown
    int64_t NextPos = 0;       // position of the next decoded frame; -1 unknown
    bool InputEnded = false;
    // Coarse time stamps: the lag of the decoder's output behind them and the frame grid.
    static constexpr int64_t LagUnknown = INT64_MIN;
    int64_t Lag = LagUnknown;
    bool LearnLag = false;
    int64_t Grid = 0;

    // Repositioning: SetRange asks, the next GetNextSample moves.
    bool RangePending = false;
    uint64_t RangeStart = 0;
    int64_t Target = -1; // frames before it are dropped; -1 none
    bool FromStart = false;
    bool Overshot = false;

    // --- I/O through the adapter; positions are relative to Base.
    static int ReadPacket(void* Opaque, uint8_t* Buffer, int Size) {
        auto* self = static_cast<TImpl*>(Opaque);
        uint32_t got = 0;
        if (Size <= 0 || self->Stream->Read(Buffer, static_cast<uint32_t>(Size), &got) != TAudioStream::Ok ||
            got == 0)
            return AVERROR_EOF;
        return static_cast<int>(got);
    }

    static int64_t SeekStream(void* Opaque, int64_t Offset, int Whence) {
        auto* self = static_cast<TImpl*>(Opaque);
        Whence &= ~AVSEEK_FORCE;
        if (Whence == AVSEEK_SIZE) {
            TStatStg st;
            if (self->Stream->Stat(st) != TAudioStream::Ok || st.cbSize > static_cast<uint64_t>(INT64_MAX))
                return -1;
            const int64_t size = static_cast<int64_t>(st.cbSize) - self->Base;
            return size >= 0 ? size : -1;
        }
        uint32_t origin = STREAM_SEEK_SET;
        if (Whence == SEEK_SET) {
            if (Offset < 0 || Offset > INT64_MAX - self->Base) return -1;
            Offset += self->Base;
        } else if (Whence == SEEK_CUR) {
            origin = STREAM_SEEK_CUR;
        } else if (Whence == SEEK_END) {
            origin = STREAM_SEEK_END;
        } else {
            return -1;
        }
        uint64_t pos = 0;
        if (self->Stream->Seek(Offset, origin, &pos) != TAudioStream::Ok) return -1;
        if (pos < static_cast<uint64_t>(self->Base)) return -1;
        return static_cast<int64_t>(pos) - self->Base;
    }

    AVStream* StreamOf(int Output) const { return Format->streams[Outputs[Output].StreamIndex]; }

    // Opens FFmpeg's demuxer on the file at Base. Only MP3 and ASF are taken; an MP3 guess
    // from a weak probe (a few stray frame headers in other data) needs an ID3v2 tag.
    bool OpenDemuxer() {
        Format.reset();
        IO.reset();
        if (Stream->Seek(Base, STREAM_SEEK_SET, nullptr) != TAudioStream::Ok) return false;
        auto* buffer = static_cast<uint8_t*>(FFmpeg().av_malloc(IOBufferSize));
        if (!buffer) return false;
        AVIOContext* io =
            FFmpeg().avio_alloc_context(buffer, IOBufferSize, 0, this, &ReadPacket, nullptr, &SeekStream);
        if (!io) {
            FFmpeg().av_free(buffer);
            return false;
        }
        IO.reset(io);
        const AVInputFormat* format = nullptr;
        const int score = FFmpeg().av_probe_input_buffer2(io, &format, "", nullptr, 0, 0);
        if (score < 0 || !format) return false;
        const std::string name = format->name;
        IsMp3 = name == "mp3";
        IsAsf = name == "asf" || name == "asf_o";
        if (!IsMp3 && !IsAsf) return false;
        if (IsMp3 && score < AVPROBE_SCORE_RETRY && wmscan::Id3v2Length(*Stream, Base) == 0) return false;

        AVFormatContext* ctx = FFmpeg().avformat_alloc_context();
        if (!ctx) return false;
        ctx->pb = io;
        ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
        AVDictionary* options = nullptr;
        // Seeks go through the index of frames read, whose times are exact; the table of
        // contents of a VBR header is not.
        if (IsMp3) FFmpeg().av_dict_set(&options, "usetoc", "0", 0);
        const int r = FFmpeg().avformat_open_input(&ctx, "", format, &options);
        FFmpeg().av_dict_free(&options);
        if (r < 0) return false; // FFmpeg has freed ctx
        Format.reset(ctx);
        if (FFmpeg().avformat_find_stream_info(ctx, nullptr) < 0) return false;
        for (unsigned i = 0; i < ctx->nb_streams; ++i)
            ctx->streams[i]->discard = AVDISCARD_ALL;
        for (const TOutputState& o : Outputs)
            if (o.StreamIndex < static_cast<int>(ctx->nb_streams))
                ctx->streams[o.StreamIndex]->discard = AVDISCARD_DEFAULT;
        return true;
    }

    std::vector<TWaveFormat> Formats(int Output) const {
        std::vector<TWaveFormat> list;
        const TOutputState& o = Outputs[Output];
        if (UseMpeg) {
            const TMpg123Decoder::TStreamInfo& i = Mpeg.Info();
            const TWaveFormat own{static_cast<uint16_t>(i.Channels), i.Rate, 16};
            list.push_back(own);
            if (o.Discrete && Mpeg.Supports24()) list.push_back({own.Channels, own.SamplesPerSec, 24});
            return list;
        }
        const AVCodecParameters* par = StreamOf(Output)->codecpar;
        const int channels = par->ch_layout.nb_channels, rate = par->sample_rate;
        if (channels <= 0 || channels > MaxChannels || rate <= 0 ||
            !FFmpeg().avcodec_find_decoder(par->codec_id))
            return list;
        const uint16_t own = static_cast<uint16_t>(channels);
        const uint32_t sr = static_cast<uint32_t>(rate);
        list.push_back({own, sr, 16});
        if (o.Discrete) list.push_back({own, sr, 24});
        if ((o.SpeakerConfig == 6 || o.SpeakerConfig == 8) && o.SpeakerConfig < own) {
            const uint16_t fold = static_cast<uint16_t>(o.SpeakerConfig);
            list.push_back({fold, sr, 16});
            if (o.Discrete) list.push_back({fold, sr, 24});
        }
        return list;
    }

    TWaveFormat Current(int Output) const {
        if (Outputs[Output].Chosen) return Outputs[Output].Format;
        if (UseMpeg) return {static_cast<uint16_t>(Mpeg.Info().Channels), Mpeg.Info().Rate, 16};
        const AVCodecParameters* par = StreamOf(Output)->codecpar;
        return {static_cast<uint16_t>(std::clamp(par->ch_layout.nb_channels, 0, 65535)),
                static_cast<uint32_t>(std::max(par->sample_rate, 0)), 16};
    }

    void ReadAttributes() {
        Header.Clear();
        AVStream* st = Outputs.empty() || !Format ? nullptr : StreamOf(0);
        int64_t duration = -1;
        if (!Format) {
            // libmpg123 alone reads the file: its length, exact with a Xing/Info header,
            // else estimated from the file's size and the first frame.
            const TMpg123Decoder::TStreamInfo& i = Mpeg.Info();
            if (i.Length > 0 && i.Rate > 0) duration = Rescale(i.Length, UnitsPerSecond, i.Rate);
        } else if (st && st->duration != AV_NOPTS_VALUE && st->duration > 0) {
            int64_t length = st->duration;
            // MP3's length counts the encoder's delay too, which the decoder drops at the start.
            if (IsMp3 && st->start_time != AV_NOPTS_VALUE && st->start_time > 0 && st->start_time < length)
                length -= st->start_time;
            duration =
                FFmpeg().av_rescale_q(length, st->time_base, AVRational{1, static_cast<int>(UnitsPerSecond)});
        } else if (Format->duration != AV_NOPTS_VALUE && Format->duration > 0) {
            duration = FFmpeg().av_rescale(Format->duration, UnitsPerSecond, AV_TIME_BASE);
        }
        bool vbr = false;
        int64_t bitrate = 0;
        if (IsMp3) {
            const wmscan::TMpegScan scan =
                wmscan::ScanMpegAudio(*Stream, Base + wmscan::Id3v2Length(*Stream, Base));
            vbr = scan.VBR;
            // An estimate from one bit rate is wrong for a VBR file without a length header;
            // the frames counted are right.
            if (scan.Samples > 0 && scan.SampleRate > 0)
                duration = std::max(duration, Rescale(scan.Samples, UnitsPerSecond, scan.SampleRate));
            if (!Format) {
                // A constant bit rate without a length header: the audio's bytes at that rate
                // (libmpg123's own estimate counts the tags' bytes too).
                const uint32_t rate = Mpeg.Info().Bitrate;
                const int64_t audioBytes = MpegAudioBytes();
                if (!scan.LengthHeader && !scan.VBR && rate > 0)
                    duration = Rescale(audioBytes * 8, UnitsPerSecond, rate);
                // The header's rate for a constant bit rate, else the audio's bytes over its length.
                bitrate = !scan.VBR && rate > 0 ? rate
                          : duration > 0        ? Rescale(audioBytes, 8 * UnitsPerSecond, duration)
                                                : 0;
            }
            wmscan::ReadId3Attributes(*Stream, Base, Header);
        } else {
            auto meta = [this](std::initializer_list<const char*> Keys) -> const char* {
                for (const char* key : Keys)
                    if (const AVDictionaryEntry* e = FFmpeg().av_dict_get(Format->metadata, key, nullptr, 0))
                        return e->value;
                return nullptr;
            };
            const char* isVbr = meta({"IsVBR"});
            vbr = isVbr && (std::strcmp(isVbr, "1") == 0 || std::strcmp(isVbr, "true") == 0);
            auto text = [&](const char* Name, std::initializer_list<const char*> Keys) {
                std::u16string value = Utf8(meta(Keys));
                if (!value.empty()) Header.Set(Name, TWMAttribute::String(std::move(value)));
            };
            text("Title", {"title"});
            text("Author", {"artist", "author"});
            text("WM/AlbumTitle", {"album", "WM/AlbumTitle"});
            text("WM/Genre", {"genre", "WM/Genre"});
            text("WM/Track", {"track", "WM/TrackNumber", "WM/Track"});
            text("WM/Year", {"date", "year", "WM/Year"});
            text("Copyright", {"copyright"});
        }
        if (duration > 0) Header.Set("Duration", TWMAttribute::Qword(static_cast<uint64_t>(duration)));
        if (Format) bitrate = st && st->codecpar->bit_rate > 0 ? st->codecpar->bit_rate : Format->bit_rate;
        if (bitrate > 0)
            Header.Set("Bitrate",
                       TWMAttribute::Dword(static_cast<uint32_t>(std::min<int64_t>(bitrate, UINT32_MAX))));
        Header.Set("IsVBR", TWMAttribute::Bool(vbr));
    }

    // --- Decoding

    bool PrepareDecoding(int Output) {
        if (Reading == Output && Codec) return true;
        Codec.reset();
        Swr.reset();
        Reading = -1;
        AVStream* st = StreamOf(Output);
        const AVCodec* codec = FFmpeg().avcodec_find_decoder(st->codecpar->codec_id);
        if (!codec) return false;
        ffmpeg::TCodecContextPtr ctx(FFmpeg().avcodec_alloc_context3(codec));
        if (!ctx || FFmpeg().avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0) return false;
        ctx->pkt_timebase = st->time_base;
        if (FFmpeg().avcodec_open2(ctx.get(), codec, nullptr) < 0) return false;
        Codec = std::move(ctx);
        Reading = Output;
        PcmFrames = PcmDone = 0;
        NextPos = 0; // the demuxer is still at the start of the file
        LearnLag = true;
        return true;
    }

    // Whether the stream's time stamps are coarser than one sample (ASF counts milliseconds).
    bool CoarseTimes(int Rate) const {
        const AVRational tb = StreamOf(Reading)->time_base;
        return static_cast<int64_t>(tb.num) * Rate > tb.den;
    }

    // A decoded frame's time stamp as a position in samples of Rate; false when it has none.
    bool StampPosition(const AVFrame& F, int Rate, int64_t& Position) const {
        const int64_t ts = F.pts != AV_NOPTS_VALUE ? F.pts : F.best_effort_timestamp;
        if (ts == AV_NOPTS_VALUE) return false;
        const AVStream* st = StreamOf(Reading);
        const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
        Position =
            FFmpeg().av_rescale_q_rnd(ts - start, st->time_base, AVRational{1, Rate},
                                      static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
        return true;
    }

    // Where a decoded frame of Made frames starts, in samples of Rate; -1 when unknown.
    // Fine time stamps (MP3) give it directly. Coarse ones (ASF counts milliseconds) are
    // only used to find the place after a move: the decoder's output lags its packets' stamps
    // by a constant, learnt from the first frame of the file, and frames start on a grid of
    // the frame length; the rest is counted.
    int64_t FramePosition(const AVFrame& F, int Rate, int Made) {
        int64_t stamp = 0;
        const bool stamped = StampPosition(F, Rate, stamp);
        if (!CoarseTimes(Rate)) return stamped ? stamp : NextPos;
        if (LearnLag) {
            LearnLag = false;
            if (stamped && NextPos >= 0) Lag = stamp - NextPos;
        }
        if (Made > 0) Grid = std::gcd(Grid, static_cast<int64_t>(Made));
        if (NextPos >= 0) return NextPos;
        if (!stamped || Lag == LagUnknown) return -1;
        int64_t position = stamp - Lag;
        if (Grid > 1) position = (position + Grid / 2) / Grid * Grid;
        return position;
    }

    bool ConfigureResampler(const AVFrame& F, const TWaveFormat& Out) {
        const uint64_t inMask = InputMask(F.ch_layout);
        if (Swr && SwrInMask == inMask && SwrInChannels == F.ch_layout.nb_channels &&
            SwrInFormat == F.format && SwrInRate == F.sample_rate && SwrOut == Out)
            return true;
        Swr.reset();
        AVChannelLayout in{}, out{};
        FFmpeg().av_channel_layout_from_mask(&in, inMask);
        // The same channels when the count stays: a plain conversion, no mixing.
        FFmpeg().av_channel_layout_from_mask(
            &out, Out.Channels == F.ch_layout.nb_channels ? inMask : WaveMask(Out.Channels));
        SwrContext* s = nullptr;
        const AVSampleFormat outFormat = Out.BitsPerSample == 16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S32;
        const bool ok = in.nb_channels == F.ch_layout.nb_channels && out.nb_channels == Out.Channels &&
                        FFmpeg().swr_alloc_set_opts2(&s, &out, outFormat, static_cast<int>(Out.SamplesPerSec),
                                                     &in, static_cast<AVSampleFormat>(F.format),
                                                     F.sample_rate, 0, nullptr) >= 0;
        ffmpeg::TSwrPtr swr(s);
        FFmpeg().av_channel_layout_uninit(&in);
        FFmpeg().av_channel_layout_uninit(&out);
        if (!ok || FFmpeg().swr_init(swr.get()) < 0) return false;
        Swr = std::move(swr);
        SwrInMask = inMask;
        SwrInChannels = F.ch_layout.nb_channels;
        SwrInFormat = F.format;
        SwrInRate = F.sample_rate;
        SwrOut = Out;
        Resampling = F.sample_rate != static_cast<int>(Out.SamplesPerSec);
        ResamplerFlushed = false;
        return true;
    }

    // Converts Count input frames (none: the resampler's tail) into Pcm; returns frames made.
    int Convert(const uint8_t* const* Input, int Count, const TWaveFormat& Out) {
        const int capacity = FFmpeg().swr_get_out_samples(Swr.get(), Count);
        if (capacity <= 0) return 0;
        const size_t values = static_cast<size_t>(capacity) * Out.Channels;
        uint8_t* target = nullptr;
        if (Out.BitsPerSample == 16) {
            if (Pcm.size() < values * 2) Pcm.resize(values * 2);
            target = Pcm.data();
        } else {
            if (Wide.size() < values) Wide.resize(values);
            target = reinterpret_cast<uint8_t*>(Wide.data());
        }
        const int made =
            FFmpeg().swr_convert(Swr.get(), &target, capacity, const_cast<const uint8_t**>(Input), Count);
        if (made <= 0) return 0;
        if (Out.BitsPerSample == 24) {
            const size_t n = static_cast<size_t>(made) * Out.Channels;
            if (Pcm.size() < n * 3) Pcm.resize(n * 3);
            uint8_t* p = Pcm.data();
            // The top 24 bits, as FFmpeg's own 24-bit PCM output takes them.
            for (size_t i = 0; i < n; ++i, p += 3) {
                const int32_t v = Wide[i] >> 8;
                p[0] = static_cast<uint8_t>(v);
                p[1] = static_cast<uint8_t>(v >> 8);
                p[2] = static_cast<uint8_t>(v >> 16);
            }
        }
        return made;
    }

    // Puts Made frames at Position into Pcm's bookkeeping and drops what lies before the
    // target of a move.
    void Place(int Made, int64_t Position) {
        PcmFrames = static_cast<uint32_t>(Made);
        PcmDone = 0;
        PcmPos = Position;
        NextPos = Position >= 0 ? Position + Made : -1;
        if (Target < 0) return;
        if (Position < 0) {
            Target = -1; // no time to go by: deliver from here
        } else if (Position > Target) {
            if (!FromStart) {
                Overshot = true;
                PcmFrames = 0;
            } else {
                Target = -1;
            }
        } else if (Position + Made <= Target) {
            PcmFrames = 0;
        } else {
            PcmDone = static_cast<uint32_t>(Target - Position);
            Target = -1;
        }
    }

    // Decodes the next frame of the output into Pcm (possibly dropping all of it); false
    // at the end of the data or when the decoder fails.
    bool DecodeFrame() {
        const TWaveFormat out = Current(Reading);
        for (;;) {
            int r = FFmpeg().avcodec_receive_frame(Codec.get(), Frame.get());
            if (r == 0) {
                const AVFrame& f = *Frame;
                int made = 0;
                int64_t position = -1;
                if (f.nb_samples > 0 && f.sample_rate > 0 && f.ch_layout.nb_channels > 0 &&
                    f.ch_layout.nb_channels <= MaxChannels && ConfigureResampler(f, out)) {
                    made = Convert(f.extended_data, f.nb_samples, out);
                    position = FramePosition(f, static_cast<int>(out.SamplesPerSec), made);
                }
                FFmpeg().av_frame_unref(Frame.get());
                Place(made, position);
                return true;
            }
            if (r == AVERROR_EOF) {
                if (Swr && Resampling && !ResamplerFlushed) {
                    ResamplerFlushed = true;
                    const int made = Convert(nullptr, 0, out);
                    if (made > 0) {
                        Place(made, NextPos);
                        return true;
                    }
                }
                return false;
            }
            if (r != AVERROR(EAGAIN) || InputEnded) return false;
            r = FFmpeg().av_read_frame(Format.get(), Packet.get());
            if (r < 0) {
                InputEnded = true;
                FFmpeg().avcodec_send_packet(Codec.get(), nullptr); // drain the decoder
                continue;
            }
            if (Packet->stream_index == StreamOf(Reading)->index)
                FFmpeg().avcodec_send_packet(Codec.get(), Packet.get()); // a damaged packet is skipped
            FFmpeg().av_packet_unref(Packet.get());
        }
    }

    // Whether a free-format MPEG audio frame header (bit rate index 0) follows the ID3v2 tags.
    bool FreeFormatAtStart() {
        const int64_t at = Base + wmscan::Id3v2Length(*Stream, Base);
        uint8_t h[4] = {};
        uint32_t got = 0;
        if (Stream->Seek(at, STREAM_SEEK_SET, nullptr) != TAudioStream::Ok ||
            Stream->Read(h, 4, &got) != TAudioStream::Ok || got != 4)
            return false;
        const int version = (h[1] >> 3) & 3, layer = (h[1] >> 1) & 3, rate = (h[2] >> 2) & 3;
        return h[0] == 0xFF && (h[1] & 0xE0) == 0xE0 && version != 1 && layer != 0 && (h[2] >> 4) == 0 &&
               rate != 3;
    }

    bool OpenMpeg() {
        MpegSource.Self = this;
        UseMpeg = Mpeg.Open(MpegSource);
        return UseMpeg;
    }

    // MPEG audio whose frames follow one another from right after its ID3v2 tags is read by
    // libmpg123 alone, without loading FFmpeg (a tenth of a second and more at every
    // start); anything less plain goes through FFmpeg's probe as before.
    bool OpenPlainMpeg() {
        const int64_t audio = Base + wmscan::Id3v2Length(*Stream, Base);
        const wmscan::TMpegScan scan = wmscan::ScanMpegAudio(*Stream, audio);
        // Free format (which FFmpeg refuses) counts as plain when it starts right there.
        const bool free = FreeFormatAtStart();
        if (!free && (!scan.Found || scan.FirstFrameAt != audio || scan.Run < 4)) return false;
        // libmpg123 must agree: its first audio frame is that one, or the next after a
        // Xing/Info/VBRI frame.
        const int64_t first = audio - Base;
        if (!OpenMpeg() || Mpeg.Info().FirstFrameAt < first || Mpeg.Info().FirstFrameAt > first + 4096 ||
            Mpeg.Info().FreeFormat != free) {
            Mpeg.Close();
            UseMpeg = false;
            return false;
        }
        IsMp3 = true;
        Outputs.push_back(TOutputState{});
        return true;
    }

    // Bytes from libmpg123's first audio frame to the end of the stream or to an ID3v1 tag
    // there.
    int64_t MpegAudioBytes() {
        const int64_t first = Mpeg.Info().FirstFrameAt < 0 ? -1 : Base + Mpeg.Info().FirstFrameAt;
        TStatStg st;
        if (first < 0 || Stream->Stat(st) != TAudioStream::Ok || st.cbSize > INT64_MAX) return 0;
        int64_t end = static_cast<int64_t>(st.cbSize);
        // libmpg123 reads on from where the adapter is: put it back.
        uint64_t position = 0;
        if (Stream->Seek(0, STREAM_SEEK_CUR, &position) != TAudioStream::Ok) return 0;
        char tag[3] = {};
        uint32_t got = 0;
        if (end - 128 >= first && Stream->Seek(end - 128, STREAM_SEEK_SET, nullptr) == TAudioStream::Ok &&
            Stream->Read(tag, 3, &got) == TAudioStream::Ok && got == 3 && std::memcmp(tag, "TAG", 3) == 0)
            end -= 128;
        Stream->Seek(static_cast<int64_t>(position), STREAM_SEEK_SET, nullptr);
        return std::max<int64_t>(end - first, 0);
    }

    // The next block of libmpg123's output into Pcm (its frames count in PcmFrames);
    // false at the end of the data.
    bool NextMpegBlock(const TWaveFormat& Out) {
        if (Mpeg.Bits() != Out.BitsPerSample && !Mpeg.SetBits(Out.BitsPerSample)) {
            Error = "cannot decode to " + std::to_string(Out.BitsPerSample) + " bits";
            return false;
        }
        if (RangePending) {
            RangePending = false;
            const int64_t target =
                Rescale(static_cast<int64_t>(std::min<uint64_t>(RangeStart, INT64_MAX / 2)),
                        Out.SamplesPerSec, UnitsPerSecond);
            PcmFrames = PcmDone = 0;
            Mpeg.Seek(target);
        }
        const size_t frameBytes = static_cast<size_t>(Out.Channels) * (Out.BitsPerSample / 8u);
        while (PcmDone >= PcmFrames) {
            const int64_t at = Mpeg.Position();
            const uint8_t* data = nullptr;
            size_t frames = 0;
            if (!Mpeg.Decode(data, frames)) {
                Error = Mpeg.ErrorText();
                CopyMpegDamage();
                return false;
            }
            CopyMpegDamage();
            if (Pcm.size() < frames * frameBytes) Pcm.resize(frames * frameBytes);
            if (frames > 0) std::memcpy(Pcm.data(), data, frames * frameBytes);
            PcmFrames = static_cast<uint32_t>(frames);
            PcmDone = 0;
            PcmPos = at;
        }
        return true;
    }

    void CopyMpegDamage() {
        const TMpg123Decoder::TDamageCount lost = Mpeg.LostSync(), bad = Mpeg.Undecodable(),
                                           crc = Mpeg.ChecksumMismatch();
        Damage.Checksum = crc.Count;
        Damage.ChecksumAt = crc.FirstAt;
        Damage.LostSync = lost.Count;
        Damage.LostSyncAt = lost.FirstAt;
        Damage.Undecodable = bad.Count;
        Damage.UndecodableAt = bad.FirstAt;
    }

    void ResetDecoding() {
        FFmpeg().avcodec_flush_buffers(Codec.get());
        Swr.reset(); // a resampler's history belongs to the old position
        PcmFrames = PcmDone = 0;
        InputEnded = false;
    }

    // Moves the demuxer to a packet at or before Sample (in samples of Rate); the start of
    // the file when Sample is 0 or less.
    bool SeekDemuxer(int64_t Sample, int Rate) {
        AVStream* st = StreamOf(Reading);
        const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
        if (Sample <= 0) {
            if (FFmpeg().av_seek_frame(Format.get(), st->index, std::min<int64_t>(start, 0),
                                       AVSEEK_FLAG_BACKWARD) >= 0)
                return true;
            // Reading the file anew from its first byte always gets there.
            return OpenDemuxer();
        }
        const int64_t ts = start + FFmpeg().av_rescale_q(Sample, AVRational{1, Rate}, st->time_base);
        return FFmpeg().av_seek_frame(Format.get(), st->index, ts, AVSEEK_FLAG_BACKWARD) >= 0;
    }

    // Makes the next data start at sample Target. Decoding begins some frames earlier,
    // so that the decoder's state (overlap, bit reservoir) is that of an uninterrupted
    // decode when the target is reached.
    void Reposition(uint64_t Start) {
        const TWaveFormat out = Current(Reading);
        const int rate = static_cast<int>(out.SamplesPerSec);
        if (rate <= 0) return;
        const int64_t target =
            FFmpeg().av_rescale_rnd(static_cast<int64_t>(std::min<uint64_t>(Start, INT64_MAX / 2)), rate,
                                    UnitsPerSecond, AV_ROUND_NEAR_INF);
        if (CoarseTimes(rate) && Lag == LagUnknown) {
            // The lag is learnt from the file's first frame: decode it.
            if (!SeekDemuxer(0, rate)) return;
            ResetDecoding();
            NextPos = 0;
            LearnLag = true;
            Target = -1;
            DecodeFrame();
        }
        const int64_t frame = Codec->frame_size > 0 ? Codec->frame_size : 1152;
        const int64_t preroll = std::max<int64_t>(12 * frame, rate / 4);
        for (int attempt = 0; attempt < 4; ++attempt) {
            // Ever further back when the demuxer lands after the target; the start at last.
            const int64_t from = attempt == 3 ? 0 : target - preroll * (int64_t{1} << (2 * attempt));
            FromStart = from <= 0;
            if (!SeekDemuxer(FromStart ? 0 : from, rate)) {
                if (FromStart) break;
                continue;
            }
            ResetDecoding();
            NextPos = FromStart ? 0 : -1;
            LearnLag = FromStart;
            Target = target;
            Overshot = false;
            while (Target >= 0 && !Overshot)
                if (!DecodeFrame()) return; // the target lies past the end
            if (!Overshot) return;
            if (FromStart) break;
        }
        Target = -1; // could not get there: go on from wherever the demuxer is
    }

    void Reset() {
        Codec.reset();
        Swr.reset();
        Format.reset();
        IO.reset();
        Packet.reset();
        Frame.reset();
        Outputs.clear();
        Header.Clear();
        Reading = -1;
        PcmFrames = PcmDone = 0;
        PcmPos = -1;
        NextPos = 0;
        InputEnded = Open = Protected = IsMp3 = IsAsf = RangePending = LearnLag = UseMpeg = false;
        Mpeg.Close();
        Error.clear();
        MpegOpenError.clear();
        Damage = {};
        Lag = LagUnknown;
        Grid = 0;
        Target = -1;
        Stream = nullptr;
        Base = 0;
    }
};

TWMSyncReader::TWMSyncReader() : FImpl(std::make_unique<TImpl>()) {}

TWMSyncReader::~TWMSyncReader() = default;

uint32_t TWMSyncReader::OpenStream(TAudioStream* Stream) {
    TImpl& m = *FImpl;
    if (m.Open) return WM_E_UNEXPECTED;
    if (!Stream) return WM_E_INVALIDARG;
    uint64_t position = 0;
    if (Stream->Seek(0, STREAM_SEEK_CUR, &position) != TAudioStream::Ok || position > INT64_MAX / 2)
        return WM_E_FAIL;
    m.Stream = Stream;
    m.Base = static_cast<int64_t>(position);
    if (m.OpenPlainMpeg()) {
        m.ReadAttributes();
        m.Open = true;
        return WM_OK;
    }
    if (!LoadWMRuntime()) {
        m.Reset();
        return WM_E_FAIL;
    }
    if (m.OpenDemuxer()) {
        // A file FFmpeg takes for MPEG audio (a header stating its length) but in which
        // libmpg123 finds no frame stays open: its data ends at once, with libmpg123's reason.
        if (m.IsMp3 && !m.OpenMpeg()) m.MpegOpenError = m.Mpeg.ErrorText();
        AVFormatContext* ctx = m.Format.get();
        for (unsigned i = 0; i < ctx->nb_streams; ++i)
            if (ctx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
                TOutputState output;
                output.StreamIndex = static_cast<int>(i);
                m.Outputs.push_back(output);
                ctx->streams[i]->discard = AVDISCARD_DEFAULT;
                if (m.UseMpeg) break; // MPEG audio has one stream
            }
    } else {
        // FFmpeg refuses free-format MPEG audio; libmpg123 takes a stream of it whose first
        // frame starts right after the ID3v2 tags.
        const bool asf = m.IsAsf;
        m.Format.reset();
        m.IO.reset();
        if (asf || !m.FreeFormatAtStart() || !m.OpenMpeg() || !m.Mpeg.Info().FreeFormat) {
            m.Reset();
            return WM_E_FAIL;
        }
        m.IsMp3 = true;
        m.Outputs.push_back(TOutputState{});
    }
    m.Packet.reset(FFmpeg().av_packet_alloc());
    m.Frame.reset(FFmpeg().av_frame_alloc());
    if (!m.Packet || !m.Frame) {
        m.Reset();
        return WM_E_FAIL;
    }
    m.Protected = m.IsAsf && wmscan::AsfIsProtected(*Stream, m.Base);
    m.ReadAttributes();
    m.Open = true;
    return WM_OK;
}

uint32_t TWMSyncReader::Close() {
    FImpl->Reset();
    return WM_OK;
}

uint32_t TWMSyncReader::GetOutputCount(uint32_t& Outputs) const {
    if (!FImpl->Open) return WM_E_UNEXPECTED;
    Outputs = static_cast<uint32_t>(FImpl->Outputs.size());
    return WM_OK;
}

uint32_t TWMSyncReader::GetOutputProps(uint32_t Output, TWMMediaType& Props) const {
    const TImpl& m = *FImpl;
    if (!m.Open) return WM_E_UNEXPECTED;
    if (Output >= m.Outputs.size()) return WM_E_INVALIDARG;
    Props = TWMMediaType{WMMEDIATYPE_Audio, WMFORMAT_WaveFormatEx, m.Current(static_cast<int>(Output))};
    return WM_OK;
}

uint32_t TWMSyncReader::SetOutputSetting(uint32_t Output, std::string_view Name, const TWMAttribute& Value) {
    TImpl& m = *FImpl;
    if (!m.Open) return WM_E_UNEXPECTED;
    if (Output >= m.Outputs.size()) return WM_E_INVALIDARG;
    TOutputState& o = m.Outputs[Output];
    if (Name == "EnableDiscreteOutput" && Value.Type == WMT_TYPE_BOOL) {
        o.Discrete = Value.Number != 0;
    } else if (Name == "SpeakerConfig" && Value.Type == WMT_TYPE_DWORD) {
        o.SpeakerConfig = static_cast<uint32_t>(Value.Number);
    } else {
        return WM_E_INVALIDARG;
    }
    return WM_OK;
}

uint32_t TWMSyncReader::GetOutputFormatCount(uint32_t Output, uint32_t& Formats) const {
    const TImpl& m = *FImpl;
    if (!m.Open) return WM_E_UNEXPECTED;
    if (Output >= m.Outputs.size()) return WM_E_INVALIDARG;
    Formats = static_cast<uint32_t>(m.Formats(static_cast<int>(Output)).size());
    return WM_OK;
}

uint32_t TWMSyncReader::GetOutputFormat(uint32_t Output, uint32_t Format, TWMMediaType& Props) const {
    const TImpl& m = *FImpl;
    if (!m.Open) return WM_E_UNEXPECTED;
    if (Output >= m.Outputs.size()) return WM_E_INVALIDARG;
    const std::vector<TWaveFormat> formats = m.Formats(static_cast<int>(Output));
    if (Format >= formats.size()) return WM_E_INVALIDARG;
    Props = TWMMediaType{WMMEDIATYPE_Audio, WMFORMAT_WaveFormatEx, formats[Format]};
    return WM_OK;
}

uint32_t TWMSyncReader::SetOutputProps(uint32_t Output, const TWMMediaType& Props) {
    TImpl& m = *FImpl;
    if (!m.Open) return WM_E_UNEXPECTED;
    if (Output >= m.Outputs.size() || !(Props.MajorType == WMMEDIATYPE_Audio) || !Props.IsWave())
        return WM_E_INVALIDARG;
    const std::vector<TWaveFormat> formats = m.Formats(static_cast<int>(Output));
    if (std::find(formats.begin(), formats.end(), Props.Format) == formats.end()) return WM_E_INVALIDARG;
    TOutputState& o = m.Outputs[Output];
    o.Chosen = true;
    o.Format = Props.Format;
    if (m.Reading == static_cast<int>(Output)) m.PcmFrames = m.PcmDone = 0;
    return WM_OK;
}

uint32_t TWMSyncReader::GetStreamNumberForOutput(uint32_t Output, uint16_t& StreamNum) const {
    const TImpl& m = *FImpl;
    if (!m.Open) return WM_E_UNEXPECTED;
    if (Output >= m.Outputs.size()) return WM_E_INVALIDARG;
    StreamNum = static_cast<uint16_t>(Output + 1);
    return WM_OK;
}

uint32_t TWMSyncReader::SetReadStreamSamples(uint16_t StreamNum, bool Compressed) {
    const TImpl& m = *FImpl;
    if (!m.Open) return WM_E_UNEXPECTED;
    if (StreamNum == 0 || StreamNum > m.Outputs.size()) return WM_E_INVALIDARG;
    if (m.Protected) return NS_E_PROTECTED_CONTENT;
    return Compressed ? WM_E_INVALIDARG : WM_OK;
}

TWMDamage TWMSyncReader::Damage() const {
    return FImpl->Damage;
}

const std::string& TWMSyncReader::ErrorText() const {
    return FImpl->Error;
}

std::string TWMSyncReader::DecoderName() const {
    return FImpl->IsMp3 ? "libmpg123" : "FFmpeg";
}

int TWMSyncReader::MpegLayer() const {
    return FImpl->UseMpeg ? FImpl->Mpeg.Info().Layer : 0;
}

TWMHeaderInfo* TWMSyncReader::HeaderInfo() {
    return FImpl->Open ? &FImpl->Header : nullptr;
}

uint32_t TWMSyncReader::GetNextSample(uint16_t StreamNum, TWMSampleBuffer& Sample, uint64_t& SampleTime,
                                      uint64_t& Duration, uint32_t& Flags, uint32_t& OutputNum,
                                      uint16_t& StreamNumOut) {
    TImpl& m = *FImpl;
    if (!m.Open) return WM_E_UNEXPECTED;
    if (StreamNum == 0 || StreamNum > m.Outputs.size()) return WM_E_INVALIDARG;
    if (m.Protected) return NS_E_PROTECTED_CONTENT;
    const int output = StreamNum - 1;
    const TWaveFormat out = m.Current(output);
    if (m.UseMpeg) {
        if (!m.NextMpegBlock(out)) return NS_E_NO_MORE_SAMPLES;
    } else if (m.IsMp3) {
        m.Error = m.MpegOpenError;
        return NS_E_NO_MORE_SAMPLES;
    } else {
        if (!m.PrepareDecoding(output)) return WM_E_FAIL;
        if (m.RangePending) {
            m.RangePending = false;
            m.Reposition(m.RangeStart);
        }
        while (m.PcmDone >= m.PcmFrames)
            if (!m.DecodeFrame()) return NS_E_NO_MORE_SAMPLES;
    }
    const uint32_t frameBytes = out.Channels * (out.BitsPerSample / 8u);
    // At most 50 ms in one sample.
    const uint32_t frames = std::min(m.PcmFrames - m.PcmDone, std::max<uint32_t>(out.SamplesPerSec / 20, 1));
    uint8_t* p = Sample.Fill(frames * frameBytes);
    std::memcpy(p, m.Pcm.data() + static_cast<size_t>(m.PcmDone) * frameBytes,
                static_cast<size_t>(frames) * frameBytes);
    const int64_t position = m.PcmPos >= 0 ? m.PcmPos + m.PcmDone : 0;
    SampleTime = static_cast<uint64_t>(Rescale(position, UnitsPerSecond, out.SamplesPerSec));
    Duration = static_cast<uint64_t>(Rescale(frames, UnitsPerSecond, out.SamplesPerSec));
    Flags = 0;
    OutputNum = static_cast<uint32_t>(output);
    StreamNumOut = StreamNum;
    m.PcmDone += frames;
    return WM_OK;
}

uint32_t TWMSyncReader::SetRange(uint64_t Start, int64_t Duration) {
    TImpl& m = *FImpl;
    if (!m.Open) return WM_E_UNEXPECTED;
    if (Duration != 0) return WM_E_INVALIDARG;
    m.RangePending = true;
    m.RangeStart = Start;
    return WM_OK;
}

bool LoadWMRuntime() {
    return ffmpeg::TFFmpegLibrary::Instance().Load();
}

uint32_t WMCreateSyncReader(std::unique_ptr<TWMSyncReader>& Reader) {
    try {
        Reader = std::make_unique<TWMSyncReader>();
    } catch (const std::bad_alloc&) {
        return WM_E_FAIL;
    }
    return WM_OK;
}

} // namespace tarvio
