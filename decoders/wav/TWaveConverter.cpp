#include "decoders/wav/TWaveConverter.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "decoders/wav/MSAcm.h"
#include "pipeline/EAuException.h"

namespace tarvio {

namespace {

uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Closes a stream of the layer when it goes out of scope.
struct TStreamCloser {
    void operator()(TAcmStream* Stream) const { acmStreamClose(Stream, 0); }
};
using TStreamHandle = std::unique_ptr<TAcmStream, TStreamCloser>;

ACMSTREAMHEADER MakeHeader(uint8_t* Src, uint32_t SrcLength, uint8_t* Dst, uint32_t DstLength) {
    ACMSTREAMHEADER h{};
    h.cbStruct = sizeof(ACMSTREAMHEADER);
    h.pbSrc = Src;
    h.cbSrcLength = SrcLength;
    h.pbDst = Dst;
    h.cbDstLength = DstLength;
    return h;
}

// Reads up to Count bytes into Buffer, in pieces the stream's 32-bit counts can take.
int64_t ReadLarge(TStream& Stream, uint8_t* Buffer, int64_t Count) {
    int64_t done = 0;
    while (done < Count) {
        const int32_t want = static_cast<int32_t>(std::min<int64_t>(Count - done, 1 << 30));
        const int32_t got = Stream.Read(Buffer + done, want);
        if (got <= 0) break;
        done += got;
    }
    return done;
}

} // namespace

TWaveConverter::TWaveConverter() {
    std::memset(&CurrentFormat, 0, sizeof CurrentFormat);
    std::memset(&NewFormat, 0, sizeof NewFormat);
    if (acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &FMaxFmtSize) != MMSYSERR_NOERROR) FMaxFmtSize = 0;
}

TWaveConverter::~TWaveConverter() {
    CloseConversion();
}

int32_t TWaveConverter::SetCurrentFormat(const uint8_t* Body, uint32_t Size) {
    if (Size > TACMWaveFormat::Size) return static_cast<int32_t>(MMSYSERR_INVALPARAM);
    std::memset(&CurrentFormat, 0, sizeof CurrentFormat);
    if (Size > 0) std::memcpy(CurrentFormat.RawData, Body, Size);
    return 0;
}

int32_t TWaveConverter::LoadStream(TStream& Stream) {
    const int64_t size = Stream.Size();
    uint8_t head[12];
    int64_t p = std::max(Stream.Read(head, 12), 0);
    if (p < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) return 0;
    // Each round reads a chunk header starting 7 bytes before the end of what was read so
    // far, so after an unknown chunk the scan moves on a byte at a time until it meets the
    // next identifier.
    std::vector<uint8_t> body;
    while (p < size - 1) {
        p -= 7;
        if (Stream.Seek(p, TSeekOrigin::soBeginning) != p) break;
        uint8_t chunk[8];
        const int32_t got = Stream.Read(chunk, 8);
        if (got < 8) break;
        p += got;
        const uint32_t length = Le32(chunk + 4);
        const int64_t available = std::min<int64_t>(length, std::max<int64_t>(size - p, 0));
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (length > TACMWaveFormat::Size) {
                // Nothing of this file is kept rather than a format cut short.
                std::memset(&CurrentFormat, 0, sizeof CurrentFormat);
                SetSize(0);
                return static_cast<int32_t>(MMSYSERR_INVALPARAM);
            }
            body.resize(length);
            const int32_t n = std::max(Stream.Read(body.data(), static_cast<int32_t>(length)), 0);
            p += n;
            SetCurrentFormat(body.data(), static_cast<uint32_t>(n));
        } else if (std::memcmp(chunk, "fact", 4) == 0) {
            p += available;
        } else if (std::memcmp(chunk, "data", 4) == 0 && length > 0) {
            // Straight into the contents: the data is held once.
            SetSize(available);
            const int64_t n = ReadLarge(Stream, Memory(), available);
            if (n < available) SetSize(n);
            p += n;
        }
    }
    Seek(0, TSeekOrigin::soBeginning);
    return 0;
}

int32_t TWaveConverter::Convert() {
    HACMSTREAM raw = nullptr;
    MMRESULT r = acmStreamOpen(&raw, nullptr, &CurrentFormat.Format, &NewFormat.Format, nullptr, 0, 0,
                               ACM_STREAMOPENF_NONREALTIME);
    if (r != MMSYSERR_NOERROR) return static_cast<int32_t>(r);
    TStreamHandle stream(raw);
    const int64_t size = Size();
    if (size > UINT32_MAX) return static_cast<int32_t>(ACMERR_NOTPOSSIBLE);
    uint32_t dstLength = 0;
    r = acmStreamSize(raw, static_cast<uint32_t>(size), &dstLength, ACM_STREAMSIZEF_SOURCE);
    if (r != MMSYSERR_NOERROR) return static_cast<int32_t>(r);
    std::vector<uint8_t> dst;
    try {
        dst.assign(dstLength, 0);
    } catch (const std::bad_alloc&) {
        return static_cast<int32_t>(MMSYSERR_NOMEM);
    }
    Seek(0, TSeekOrigin::soBeginning);
    ACMSTREAMHEADER header = MakeHeader(Memory(), static_cast<uint32_t>(size), dst.data(), dstLength);
    r = acmStreamPrepareHeader(raw, &header, 0);
    if (r != MMSYSERR_NOERROR) return static_cast<int32_t>(r);
    // The whole source in one call, whole blocks only.
    r = acmStreamConvert(raw, &header, ACM_STREAMCONVERTF_BLOCKALIGN);
    if (r != MMSYSERR_NOERROR) {
        acmStreamUnprepareHeader(raw, &header, 0);
        return static_cast<int32_t>(r);
    }
    std::memcpy(CurrentFormat.RawData, NewFormat.RawData, std::min(FMaxFmtSize, TACMWaveFormat::Size));
    // Only the bytes produced: the rest of the bound would play as silence. The buffer moves
    // in, so the header's pointers stay those it was prepared with.
    dst.resize(header.cbDstLengthUsed);
    SetData(std::move(dst));
    r = acmStreamUnprepareHeader(raw, &header, 0);
    if (r != MMSYSERR_NOERROR) return static_cast<int32_t>(r);
    return static_cast<int32_t>(acmStreamClose(stream.release(), 0));
}

int32_t TWaveConverter::SaveWavToStream(TStream& MS) {
    const int64_t keep = Position();
    try {
        const int64_t size = Size();
        if (size > int64_t{UINT32_MAX} - 36) throw EAuException("The data is too large for a WAV file");
        const uint32_t dataLength = static_cast<uint32_t>(size);
        uint8_t head[44];
        std::memcpy(head, "RIFF", 4);
        PutLe32(head + 4, 0); // filled in below
        std::memcpy(head + 8, "WAVEfmt ", 8);
        PutLe32(head + 16, 16);
        std::memcpy(head + 20, CurrentFormat.RawData, 16); // without the extra-size field
        std::memcpy(head + 36, "data", 4);
        PutLe32(head + 40, dataLength);
        MS.WriteBuffer(head, sizeof head);
        for (int64_t done = 0; done < size;) {
            const int32_t n = static_cast<int32_t>(std::min<int64_t>(size - done, 1 << 30));
            MS.WriteBuffer(Memory() + done, n);
            done += n;
        }
        PutLe32(head + 4, 36 + dataLength); // the file's size less 8
        if (MS.Seek(0, TSeekOrigin::soBeginning) != 0) throw EAuException("Stream seek error");
        MS.WriteBuffer(head, 8);
        Seek(keep, TSeekOrigin::soBeginning);
        return 0;
    } catch (...) {
        Seek(keep, TSeekOrigin::soBeginning);
        return SaveError;
    }
}

int32_t TWaveConverter::OpenConversion() {
    CloseConversion();
    return static_cast<int32_t>(acmStreamOpen(&FStreamHandle, nullptr, &CurrentFormat.Format,
                                              &NewFormat.Format, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME));
}

int32_t TWaveConverter::BlockBound(uint32_t SrcLength, uint32_t& DstLength) const {
    DstLength = 0;
    if (!FStreamHandle) return static_cast<int32_t>(MMSYSERR_INVALHANDLE);
    return static_cast<int32_t>(acmStreamSize(FStreamHandle, SrcLength, &DstLength, ACM_STREAMSIZEF_SOURCE));
}

int32_t TWaveConverter::ConvertBlock(const uint8_t* Src, uint32_t SrcLength, bool Last, uint8_t* Dst,
                                     uint32_t DstLength, uint32_t& DstUsed) {
    DstUsed = 0;
    if (!FStreamHandle) return static_cast<int32_t>(MMSYSERR_INVALHANDLE);
    // The layer only reads the source.
    ACMSTREAMHEADER header = MakeHeader(const_cast<uint8_t*>(Src), SrcLength, Dst, DstLength);
    MMRESULT r = acmStreamPrepareHeader(FStreamHandle, &header, 0);
    if (r != MMSYSERR_NOERROR) return static_cast<int32_t>(r);
    r = acmStreamConvert(FStreamHandle, &header, Last ? ACM_STREAMCONVERTF_END : 0);
    const MMRESULT u = acmStreamUnprepareHeader(FStreamHandle, &header, 0);
    if (r == MMSYSERR_NOERROR) r = u;
    DstUsed = header.cbDstLengthUsed;
    return static_cast<int32_t>(r);
}

void TWaveConverter::CloseConversion() {
    if (FStreamHandle) acmStreamClose(FStreamHandle, 0);
    FStreamHandle = nullptr;
}

} // namespace tarvio
