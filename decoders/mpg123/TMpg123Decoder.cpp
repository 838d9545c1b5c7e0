#include "decoders/mpg123/TMpg123Decoder.h"

#include <algorithm>
#include <cstdio>

#include "decoders/mpg123/TMpg123Library.h"

namespace tarvio {

using mpg123::Mpg123;

namespace {

struct THandleDeleter {
    void operator()(mpg123_handle* H) const {
        Mpg123().mpg123_close(H);
        Mpg123().mpg123_delete(H);
    }
};
using THandlePtr = std::unique_ptr<mpg123_handle, THandleDeleter>;

// Every rate MPEG audio has (MPEG-1, 2 and 2.5); the stream's own is always among them.
constexpr long Rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};

// Frames decoded and dropped before the target of a seek, so that the bit reservoir (up to
// 511 bytes back, seven frames at 8 kbit/s) and the overlap are as in an uninterrupted
// decode and the samples from the target on are the same.
constexpr long PreFrames = 12;

// Reads bits from the front of a frame's body; past its end it gives zeros and notes it.
class TBitReader {
public:
    TBitReader(const unsigned char* Data, size_t Bytes) : FData(Data), FBits(Bytes * 8) {}
    unsigned Get(unsigned Width) {
        unsigned v = 0;
        for (unsigned i = 0; i < Width; ++i, ++FAt)
            v = (v << 1) | (FAt < FBits ? (FData[FAt >> 3] >> (7 - (FAt & 7))) & 1u : 0u);
        return v;
    }
    void Skip(unsigned Width) { FAt += Width; }
    bool Overrun() const { return FAt > FBits; }

private:
    const unsigned char* FData;
    size_t FBits;
    size_t FAt = 0;
};

// Bits a protected frame's CRC covers after the header's last 16: the bit allocation
// (Layer I), the bit allocation and scale factor selection (Layer II, read from the frame,
// in the subbands of the table its rate chooses), or the side information (Layer III).
size_t CrcCoveredBits(unsigned long Header, const unsigned char* Body, size_t Bytes) {
    const unsigned version = (Header >> 19) & 3; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const unsigned layer = 4 - ((Header >> 17) & 3);
    const unsigned mode = (Header >> 6) & 3;
    const unsigned channels = mode == 3 ? 1 : 2;
    const bool lsf = version != 3;
    if (layer == 3) return (lsf ? (channels == 1 ? 9 : 17) : (channels == 1 ? 17 : 32)) * 8;
    const unsigned joint = mode == 1 ? (((Header >> 4) & 3) + 1) * 4 : 32;
    if (layer == 1) return (joint * channels + (32 - joint)) * 4;
    // Layer II: the allocation table (ISO 11172-3 B.2, 13818-3 B.1) by bit rate per channel.
    static constexpr unsigned Kbps[15] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
    const unsigned rateIndex = (Header >> 10) & 3, bitrateIndex = (Header >> 12) & 15;
    const unsigned perChannel = bitrateIndex < 15 ? Kbps[bitrateIndex] / channels : 0;
    unsigned limit, width4, width3; // subbands; the last with 4 bits, with 3 bits, then 2
    if (lsf) {
        limit = 30, width4 = 4, width3 = 11;
    } else if (perChannel != 0 && perChannel <= 48) {
        limit = rateIndex == 2 ? 12 : 8, width4 = 2, width3 = limit;
    } else {
        // Up to 80 kbit/s a channel, at 48 kHz, or free format at 48 kHz: 27 subbands.
        limit = (perChannel != 0 && perChannel <= 80) || rateIndex == 1 ? 27 : 30, width4 = 11, width3 = 23;
    }
    const unsigned bound = std::min(joint, limit);
    TBitReader r(Body + 2, Bytes - 2);
    size_t bits = 0;
    unsigned allocated = 0; // allocations that are not 0, each with a 2-bit selection
    for (unsigned sb = 0; sb < limit; ++sb) {
        const unsigned width = sb < width4 ? 4 : sb < width3 ? 3 : 2;
        const unsigned fields = sb < bound ? channels : 1;
        for (unsigned ch = 0; ch < fields; ++ch)
            if (r.Get(width) != 0) allocated += sb < bound ? 1 : channels;
        bits += static_cast<size_t>(width) * fields;
    }
    return bits + 2 * allocated;
}

// Whether a protected frame's CRC matches what it covers (libmpg123 does not check it).
bool CrcMatches(unsigned long Header, const unsigned char* Body, size_t Bytes) {
    if (Bytes < 2) return false;
    const size_t covered = CrcCoveredBits(Header, Body, Bytes);
    if (covered > (Bytes - 2) * 8) return false;
    unsigned crc = 0xFFFF;
    auto add = [&crc](unsigned Bit) {
        const unsigned carry = ((crc >> 15) & 1) ^ Bit;
        crc = (crc << 1) & 0xFFFF;
        if (carry) crc ^= 0x8005; // x^16 + x^15 + x^2 + 1
    };
    for (int i = 15; i >= 0; --i)
        add((Header >> i) & 1);
    TBitReader r(Body + 2, Bytes - 2);
    for (size_t i = 0; i < covered; ++i)
        add(r.Get(1));
    return crc == ((static_cast<unsigned>(Body[0]) << 8) | Body[1]);
}

// Whether a frame is such that libmpg123 decodes it. The library says nothing through its
// interface of a frame it cannot decode: it logs the error and hands out the frame
// (silent, or decoded from values out of range), so the fields it rejects or cuts are
// checked here. Layer I: an allocation of 15 (forbidden; the frame is silent). Layer III: a
// granule of window switching with block type 0 (the frame is silent), more than 288 big
// values (out of range; decoded from clamped values), side information longer than the
// frame. Layer II has no field the library refuses.
bool FrameDecodes(unsigned long Header, const unsigned char* Body, size_t Bytes) {
    const unsigned version = (Header >> 19) & 3; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const unsigned layer = 4 - ((Header >> 17) & 3);
    const bool crc = ((Header >> 16) & 1) == 0;
    const unsigned mode = (Header >> 6) & 3; // 3 mono, 1 joint stereo
    const unsigned channels = mode == 3 ? 1 : 2;
    TBitReader r(Body, Bytes);
    if (crc) r.Skip(16);
    if (layer == 1) {
        const unsigned bound = mode == 1 ? (((Header >> 4) & 3) + 1) * 4 : 32;
        for (unsigned sb = 0; sb < 32; ++sb)
            for (unsigned ch = 0; ch < (sb < bound ? channels : 1); ++ch)
                if (r.Get(4) == 15) return false;
        return !r.Overrun();
    }
    if (layer != 3) return true;
    const bool lsf = version != 3;
    r.Skip(lsf ? 8 : 9);                              // main_data_begin
    r.Skip(lsf ? channels : (channels == 1 ? 5 : 3)); // private bits
    if (!lsf) r.Skip(4 * channels);                   // scfsi
    for (unsigned gr = 0; gr < (lsf ? 1u : 2u); ++gr)
        for (unsigned ch = 0; ch < channels; ++ch) {
            r.Skip(12); // part2_3_length
            if (r.Get(9) > 288) return false;
            r.Skip(8 + (lsf ? 9 : 4)); // global gain, scale factor compression
            if (r.Get(1)) {
                if (r.Get(2) == 0) return false; // block type 0 cannot switch windows
                r.Skip(1 + 2 * 5 + 3 * 3);
            } else {
                r.Skip(3 * 5 + 4 + 3);
            }
            r.Skip(lsf ? 2 : 3);
        }
    return !r.Overrun();
}

mpg123_ssize_t ReadSource(void* Handle, void* Buffer, size_t Bytes) {
    return static_cast<mpg123_ssize_t>(static_cast<TMpg123Decoder::TSource*>(Handle)->Read(Buffer, Bytes));
}

off_t SeekSource(void* Handle, off_t Offset, int Whence) {
    return static_cast<off_t>(static_cast<TMpg123Decoder::TSource*>(Handle)->Seek(Offset, Whence));
}

} // namespace

struct TMpg123Decoder::TImpl {
    TSource* Source = nullptr;
    THandlePtr Handle;
    TStreamInfo Info;
    uint32_t Bits = 16;
    int64_t Pos = 0;
    // The byte offset where the frame after the last decoded one should start; -1 unknown
    // (after an open or a seek).
    int64_t ExpectedAt = -1;
    bool Ended = false;
    bool Can24 = false;
    bool Feeding = false;  // opened by OpenFeed
    bool NeedMore = false; // feed mode: all that was fed is decoded
    // Frames that do not decode before the first one that does give no output, as junk
    // before a stream gives none: a stream of nothing else decodes to nothing. Dropped
    // counts their frames, libmpg123's positions being that much ahead of Pos.
    bool Decoded = false;
    int64_t Dropped = 0;
    bool AfterSeek = false; // the next frame is the first after a seek

    // The first frame after a seek.
    bool DecodeWhole(const uint8_t*& Data, size_t& Frames);
    // Hands out a decoded frame of Bytes bytes at Audio; one that does not decode is counted.
    void TakeFrame(const unsigned char* Audio, size_t Bytes, bool Decodes, const uint8_t*& Data,
                   size_t& Frames);
    TDamageCount LostSync, Undecodable, ChecksumMismatch;
    std::string Error;

    static void Count(TDamageCount& D, int64_t At) {
        if (D.Count++ == 0) D.FirstAt = At;
    }

    void Fail(int Code) { Error = Mpg123().mpg123_plain_strerror(Code); }

    // A handle set up as every stream here is, with output of Bits bits only; null (and
    // Error set) on a failure.
    THandlePtr NewHandle() {
        const auto& m = Mpg123();
        int err = MPG123_OK;
        THandlePtr h(m.mpg123_new(nullptr, &err));
        if (!h) {
            Fail(err);
            return nullptr;
        }
        // Quiet (the pipeline writes no log), gapless, and an index of every frame as it is
        // read, so that seeks back are exact and quick.
        if (m.mpg123_param(h.get(), MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0) != MPG123_OK ||
            m.mpg123_param(h.get(), MPG123_REMOVE_FLAGS, MPG123_FUZZY, 0) != MPG123_OK ||
            m.mpg123_param(h.get(), MPG123_INDEX_SIZE, -1000, 0) != MPG123_OK ||
            m.mpg123_param(h.get(), MPG123_PREFRAMES, PreFrames, 0) != MPG123_OK ||
            m.mpg123_format_none(h.get()) != MPG123_OK) {
            Fail(m.mpg123_errcode(h.get()));
            return nullptr;
        }
        for (long rate : Rates)
            m.mpg123_format(h.get(), rate, MPG123_MONO | MPG123_STEREO, Encoding());
        return h;
    }

    int Encoding() const { return Bits == 24 ? MPG123_ENC_SIGNED_24 : MPG123_ENC_SIGNED_16; }

    void Reset(THandlePtr H) {
        Handle = std::move(H);
        Pos = 0;
        ExpectedAt = -1;
        Ended = false;
        NeedMore = false;
        AfterSeek = false;
    }

    // Opens the handle on the source from its start.
    bool OpenHandle() {
        const auto& m = Mpg123();
        Handle.reset();
        THandlePtr h = NewHandle();
        if (!h) return false;
        if (Source->Seek(0, SEEK_SET) != 0 ||
            m.mpg123_replace_reader_handle(h.get(), &ReadSource, &SeekSource, nullptr) != MPG123_OK ||
            m.mpg123_open_handle(h.get(), Source) != MPG123_OK) {
            Fail(m.mpg123_errcode(h.get()));
            return false;
        }
        long rate = 0;
        int channels = 0, enc = 0;
        if (m.mpg123_getformat(h.get(), &rate, &channels, &enc) != MPG123_OK) {
            Fail(m.mpg123_errcode(h.get()));
            return false;
        }
        if (enc != Encoding() || (channels != 1 && channels != 2) || rate <= 0) {
            Error = "no output format for the stream";
            return false;
        }
        Reset(std::move(h));
        return true;
    }

    // The stream's format, from the first frame.
    void TakeFormat() {
        const auto& lib = Mpg123();
        long rate = 0;
        int channels = 0, enc = 0;
        mpg123_frameinfo2 fi{};
        lib.mpg123_getformat(Handle.get(), &rate, &channels, &enc);
        lib.mpg123_info2(Handle.get(), &fi);
        Info.Channels = static_cast<uint32_t>(channels);
        Info.Rate = static_cast<uint32_t>(rate);
        Info.Layer = fi.layer;
        Info.Version = fi.version == MPG123_1_0 ? 1 : fi.version == MPG123_2_0 ? 2 : 3;
        Info.FreeFormat = fi.bitrate == 0;
        Info.Bitrate = fi.bitrate > 0 ? static_cast<uint32_t>(fi.bitrate) * 1000u : 0;
        Info.VBR = fi.vbr != MPG123_CBR;
        const off_t length = lib.mpg123_length(Handle.get());
        Info.Length = length >= 0 ? static_cast<int64_t>(length) : -1;
        const off_t first = lib.mpg123_framepos(Handle.get());
        Info.FirstFrameAt = first >= 0 ? static_cast<int64_t>(first) : -1;
    }

    size_t FrameBytes() const { return Info.Channels * (Bits / 8); }
};

TMpg123Decoder::TMpg123Decoder() : FImpl(std::make_unique<TImpl>()) {}

TMpg123Decoder::~TMpg123Decoder() = default;

bool TMpg123Decoder::Open(TSource& Source) {
    Close();
    if (!mpg123::TMpg123Library::Instance().Load()) {
        FImpl->Error = mpg123::TMpg123Library::FileName() + " library could not be loaded.";
        return false;
    }
    TImpl& m = *FImpl;
    m.Source = &Source;
    m.Bits = 16;
    if (!m.OpenHandle()) {
        m.Source = nullptr;
        return false;
    }
    m.TakeFormat();
    const auto& lib = Mpg123();
    const long rate = static_cast<long>(m.Info.Rate);
    const uint32_t channels = m.Info.Channels;
    // What the library can give, on a handle with its default (widest) format table.
    int err = MPG123_OK;
    THandlePtr probe(lib.mpg123_new(nullptr, &err));
    m.Can24 = probe && (lib.mpg123_format_support(probe.get(), rate, MPG123_ENC_SIGNED_24) &
                        (channels == 1 ? MPG123_MONO : MPG123_STEREO)) != 0;
    return true;
}

bool TMpg123Decoder::OpenFeed() {
    Close();
    TImpl& m = *FImpl;
    if (!mpg123::TMpg123Library::Instance().Load()) {
        m.Error = mpg123::TMpg123Library::FileName() + " library could not be loaded.";
        return false;
    }
    m.Bits = 16;
    THandlePtr h = m.NewHandle();
    if (!h) return false;
    if (Mpg123().mpg123_open_feed(h.get()) != MPG123_OK) {
        m.Fail(Mpg123().mpg123_errcode(h.get()));
        return false;
    }
    m.Reset(std::move(h));
    m.Feeding = true;
    return true;
}

bool TMpg123Decoder::Feed(const uint8_t* Data, size_t Bytes) {
    TImpl& m = *FImpl;
    if (!m.Handle || !m.Feeding) return false;
    if (Bytes == 0) return true;
    if (Mpg123().mpg123_feed(m.Handle.get(), Data, Bytes) != MPG123_OK) {
        m.Fail(Mpg123().mpg123_errcode(m.Handle.get()));
        return false;
    }
    m.NeedMore = false;
    return true;
}

bool TMpg123Decoder::NeedsData() const {
    return FImpl->NeedMore;
}

void TMpg123Decoder::Close() {
    TImpl& m = *FImpl;
    m.Handle.reset();
    m.Source = nullptr;
    m.Info = {};
    m.Pos = 0;
    m.ExpectedAt = -1;
    m.Ended = false;
    m.NeedMore = false;
    m.Feeding = false;
    m.Decoded = false;
    m.Dropped = 0;
    m.LostSync = m.Undecodable = m.ChecksumMismatch = {};
    m.Can24 = false;
    m.Error.clear();
}

bool TMpg123Decoder::IsOpen() const {
    return FImpl->Handle != nullptr;
}

const TMpg123Decoder::TStreamInfo& TMpg123Decoder::Info() const {
    return FImpl->Info;
}

bool TMpg123Decoder::Supports24() const {
    return FImpl->Handle && FImpl->Can24;
}

bool TMpg123Decoder::SetBits(uint32_t Bits) {
    TImpl& m = *FImpl;
    if (!m.Handle || m.Feeding || (Bits != 16 && Bits != 24)) return false;
    if (Bits == m.Bits) return true;
    if (Bits == 24 && !Supports24()) return false;
    // The output format is fixed when a stream opens: open it anew where it stood.
    const int64_t at = m.Pos;
    const uint32_t old = m.Bits;
    m.Bits = Bits;
    if (!m.OpenHandle()) {
        m.Bits = old;
        m.OpenHandle();
        return false;
    }
    return at == 0 || Seek(at);
}

uint32_t TMpg123Decoder::Bits() const {
    return FImpl->Bits;
}

bool TMpg123Decoder::Decode(const uint8_t*& Data, size_t& Frames) {
    TImpl& m = *FImpl;
    Data = nullptr;
    Frames = 0;
    if (!m.Handle || m.Ended || m.NeedMore) return false;
    const auto& lib = Mpg123();
    mpg123_handle* h = m.Handle.get();
    // Frame by frame, so that each frame's bytes can be looked at before it is decoded. An
    // open may have left a frame read and not yet decoded: it comes first. The first frame
    // after a seek is decoded in one call, as only that keeps the preroll's state, unchecked.
    unsigned long header = 0;
    unsigned char* body = nullptr;
    size_t bodyBytes = 0;
    if (m.AfterSeek) return m.DecodeWhole(Data, Frames);
    while (lib.mpg123_framedata(h, &header, &body, &bodyBytes) != MPG123_OK) {
        const int r = lib.mpg123_framebyframe_next(h);
        if (r == MPG123_NEED_MORE && m.Feeding) {
            m.NeedMore = true;
            return false;
        }
        if (r == MPG123_NEW_FORMAT && m.Feeding && m.Info.Rate == 0) {
            m.TakeFormat();
        } else if (r == MPG123_NEW_FORMAT) {
            long rate = 0;
            int channels = 0, enc = 0;
            lib.mpg123_getformat(h, &rate, &channels, &enc);
            if (static_cast<uint32_t>(rate) != m.Info.Rate ||
                static_cast<uint32_t>(channels) != m.Info.Channels) {
                // Another stream glued on: the output format cannot change mid-track.
                m.Error = "the stream changes its format";
                TImpl::Count(m.Undecodable, m.Pos);
                m.Ended = true;
                return false;
            }
        } else if (r == MPG123_DONE) {
            if (!m.Decoded && m.Undecodable.Count > 0) m.Error = "no frame of the stream decodes";
            m.Ended = true;
            return false;
        } else if (r != MPG123_OK) {
            const int code = lib.mpg123_errcode(h);
            m.Fail(code);
            TImpl::Count(
                code == MPG123_OUT_OF_SYNC || code == MPG123_RESYNC_FAIL ? m.LostSync : m.Undecodable, m.Pos);
            m.Ended = true;
            return false;
        }
    }
    const bool decodes = FrameDecodes(header, body, bodyBytes);
    // A frame that decodes but fails its CRC is handed out as decoded, and counted.
    const bool crcFails = decodes && ((header >> 16) & 1) == 0 && !CrcMatches(header, body, bodyBytes);
    off_t number = 0;
    unsigned char* audio = nullptr;
    size_t bytes = 0;
    if (lib.mpg123_framebyframe_decode(h, &number, &audio, &bytes) != MPG123_OK) {
        m.Fail(lib.mpg123_errcode(h));
        TImpl::Count(m.Undecodable, m.Pos);
        m.Ended = true;
        return false;
    }
    if (crcFails) TImpl::Count(m.ChecksumMismatch, m.Pos);
    m.TakeFrame(audio, bytes, decodes, Data, Frames);
    return true;
}

bool TMpg123Decoder::TImpl::DecodeWhole(const uint8_t*& Data, size_t& Frames) {
    const auto& lib = Mpg123();
    for (;;) {
        off_t number = 0;
        unsigned char* audio = nullptr;
        size_t bytes = 0;
        const int r = lib.mpg123_decode_frame(Handle.get(), &number, &audio, &bytes);
        if (r == MPG123_NEW_FORMAT) continue; // the format of the stream, read again by the seek
        if (r == MPG123_DONE) {
            Ended = true;
            return false;
        }
        if (r != MPG123_OK) {
            Fail(lib.mpg123_errcode(Handle.get()));
            Count(Undecodable, Pos);
            Ended = true;
            return false;
        }
        AfterSeek = false;
        TakeFrame(audio, bytes, true, Data, Frames);
        return true;
    }
}

void TMpg123Decoder::TImpl::TakeFrame(const unsigned char* Audio, size_t Bytes, bool Decodes,
                                      const uint8_t*& Data, size_t& Frames) {
    TImpl& m = *this;
    // A frame that does not start where the one before ended: bytes were skipped to find it.
    const off_t at = Mpg123().mpg123_framepos(Handle.get());
    mpg123_frameinfo2 fi{};
    if (at >= 0 && Mpg123().mpg123_info2(Handle.get(), &fi) == MPG123_OK) {
        if (ExpectedAt >= 0 && at > ExpectedAt) Count(LostSync, Pos);
        ExpectedAt = static_cast<int64_t>(at) + fi.framesize;
    } else {
        ExpectedAt = -1;
    }
    const size_t frameBytes = FrameBytes();
    Data = Audio;
    Frames = frameBytes ? Bytes / frameBytes : 0;
    if (!Decodes) {
        TImpl::Count(m.Undecodable, m.Pos);
        if (!m.Decoded) {
            m.Dropped += static_cast<int64_t>(Frames);
            Frames = 0;
        }
    } else if (Frames > 0) {
        m.Decoded = true;
    }
    m.Pos += static_cast<int64_t>(Frames);
}

int64_t TMpg123Decoder::Position() const {
    return FImpl->Pos;
}

bool TMpg123Decoder::Seek(int64_t Frame) {
    TImpl& m = *FImpl;
    if (!m.Handle || m.Feeding || Frame < 0) return false;
    const auto& lib = Mpg123();
    // The synthesis filter keeps its history in a ring whose phase moves with every frame
    // decoded; the preroll starts on a frame number that is a multiple of 16, so that the
    // phase at the target (and with it the rounding) is that of an uninterrupted decode.
    const auto target = static_cast<off_t>(Frame + m.Dropped);
    off_t r = lib.mpg123_seek(m.Handle.get(), target, SEEK_SET);
    const off_t frame = r >= 0 ? lib.mpg123_tellframe(m.Handle.get()) : -1;
    if (frame > PreFrames && (frame - PreFrames) % 16 != 0) {
        // A seek to where the stream stands does nothing: away first.
        lib.mpg123_param(m.Handle.get(), MPG123_PREFRAMES, PreFrames + (frame - PreFrames) % 16, 0);
        lib.mpg123_seek(m.Handle.get(), 0, SEEK_SET);
        r = lib.mpg123_seek(m.Handle.get(), target, SEEK_SET);
        lib.mpg123_param(m.Handle.get(), MPG123_PREFRAMES, PreFrames, 0);
    }
    if (r < 0) {
        // Past the end: nothing more to deliver.
        m.Ended = true;
        return false;
    }
    m.Pos = static_cast<int64_t>(r) - m.Dropped;
    m.AfterSeek = true;
    m.ExpectedAt = -1;
    m.Ended = false;
    return true;
}

TMpg123Decoder::TDamageCount TMpg123Decoder::LostSync() const {
    return FImpl->LostSync;
}

TMpg123Decoder::TDamageCount TMpg123Decoder::Undecodable() const {
    return FImpl->Undecodable;
}

TMpg123Decoder::TDamageCount TMpg123Decoder::ChecksumMismatch() const {
    return FImpl->ChecksumMismatch;
}

const std::string& TMpg123Decoder::ErrorText() const {
    return FImpl->Error;
}

} // namespace tarvio
