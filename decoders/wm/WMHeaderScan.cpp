#include "decoders/wm/WMHeaderScan.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tags/TCodePage.h"
#include "tags/TFileHandle.h"
#include "tags/TId3v1Tags.h"
#include "tags/TId3v2Tags.h"

namespace tarvio::wmscan {

namespace {

// Puts the adapter back where it was when the scan began.
class TKeepPosition {
public:
    explicit TKeepPosition(TAudioStream& Stream) : FStream(Stream) {
        FValid = FStream.Seek(0, STREAM_SEEK_CUR, &FPosition) == TAudioStream::Ok;
    }
    ~TKeepPosition() {
        if (FValid) FStream.Seek(static_cast<int64_t>(FPosition), STREAM_SEEK_SET, nullptr);
    }
    TKeepPosition(const TKeepPosition&) = delete;
    TKeepPosition& operator=(const TKeepPosition&) = delete;

private:
    TAudioStream& FStream;
    uint64_t FPosition = 0;
    bool FValid = false;
};

int64_t StreamSize(TAudioStream& Stream) {
    TStatStg st;
    return Stream.Stat(st) == TAudioStream::Ok ? static_cast<int64_t>(st.cbSize) : -1;
}

// Exactly Count bytes from Offset; false when the stream ends first.
bool ReadAt(TAudioStream& Stream, int64_t Offset, void* Buffer, uint32_t Count) {
    if (Offset < 0 || Stream.Seek(Offset, STREAM_SEEK_SET, nullptr) != TAudioStream::Ok) return false;
    auto* p = static_cast<uint8_t*>(Buffer);
    while (Count > 0) {
        uint32_t got = 0;
        if (Stream.Read(p, Count, &got) != TAudioStream::Ok || got == 0) return false;
        p += got;
        Count -= got;
    }
    return true;
}

// An anonymous in-memory file, so that the tag readers (which work on file descriptors)
// read bytes that came through the adapter.
class TScratchFile {
public:
    TScratchFile() : FFd(memfd_create("tarvio-tag", MFD_CLOEXEC)) {}
    ~TScratchFile() {
        if (FFd >= 0) close(FFd);
    }
    TScratchFile(const TScratchFile&) = delete;
    TScratchFile& operator=(const TScratchFile&) = delete;

    // Replaces the contents with Bytes and rewinds.
    bool Hold(const std::vector<uint8_t>& Bytes) {
        if (FFd < 0 || ftruncate(FFd, 0) != 0) return false;
        TFileHandle f(FFd);
        if (f.WriteAt(Bytes.data(), Bytes.size(), 0) != Bytes.size()) return false;
        return f.Seek(0, TSeekOrigin::soBeginning) == 0;
    }
    THandle Handle() const { return FFd; }

private:
    THandle FFd;
};

// --- MPEG audio frame headers

struct TMpegFrame {
    int Version = 0; // 1 MPEG-1, 2 MPEG-2, 3 MPEG-2.5
    int Layer = 0;   // 1 .. 3
    int BitrateIndex = 0;
    uint32_t Bitrate = 0; // bits per second
    uint32_t SampleRate = 0;
    uint32_t Length = 0;  // bytes, header included
    uint32_t Samples = 0; // per channel
    bool Mono = false;
};

bool ParseFrameHeader(const uint8_t* H, TMpegFrame& F) {
    if (H[0] != 0xFF || (H[1] & 0xE0) != 0xE0) return false;
    const int versionBits = (H[1] >> 3) & 3, layerBits = (H[1] >> 1) & 3;
    const int bitrateIndex = H[2] >> 4, rateIndex = (H[2] >> 2) & 3, padding = (H[2] >> 1) & 1;
    if (versionBits == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return false;
    static const uint16_t kbps[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}, // MPEG-1 layer I
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},    // MPEG-1 layer II
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},     // MPEG-1 layer III
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},    // MPEG-2 layer I
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},         // MPEG-2 layers II, III
    };
    static const uint32_t rates[3] = {44100, 48000, 32000};
    F.Version = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 3;
    F.Layer = 4 - layerBits;
    F.BitrateIndex = bitrateIndex;
    F.SampleRate = rates[rateIndex] >> (F.Version - 1);
    F.Mono = (H[3] >> 6) == 3;
    const int table = F.Version == 1 ? F.Layer - 1 : (F.Layer == 1 ? 3 : 4);
    const uint32_t bitrate = kbps[table][bitrateIndex] * 1000u;
    F.Bitrate = bitrate;
    if (F.Layer == 1) {
        F.Samples = 384;
        F.Length = (12 * bitrate / F.SampleRate + padding) * 4;
    } else {
        F.Samples = (F.Layer == 3 && F.Version != 1) ? 576 : 1152;
        F.Length = F.Samples / 8 * bitrate / F.SampleRate + padding;
    }
    return F.Length >= 4;
}

bool SameStream(const TMpegFrame& A, const TMpegFrame& B) {
    return A.Version == B.Version && A.Layer == B.Layer && A.SampleRate == B.SampleRate;
}

bool FrameAt(TAudioStream& Stream, int64_t Offset, TMpegFrame& F) {
    uint8_t h[4];
    return ReadAt(Stream, Offset, h, 4) && ParseFrameHeader(h, F);
}

// --- ASF objects

constexpr uint8_t AsfHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                       0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr uint8_t AsfContentEncryptionGuid[16] = {0xFB, 0xB3, 0x11, 0x22, 0x23, 0xBD, 0xD2, 0x11,
                                                  0xB4, 0xB7, 0x00, 0xA0, 0xC9, 0x55, 0xFC, 0x6E};
constexpr uint8_t AsfExtendedContentEncryptionGuid[16] = {0x14, 0xE6, 0x8A, 0x29, 0x22, 0x26, 0x17, 0x4C,
                                                          0xB9, 0x35, 0xDA, 0xE0, 0x7E, 0xE9, 0x28, 0x9C};

uint64_t Le64(const uint8_t* P) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | P[i];
    return v;
}

} // namespace

int64_t Id3v2Length(TAudioStream& Stream, int64_t Base) {
    TKeepPosition keep(Stream);
    const int64_t size = StreamSize(Stream);
    int64_t at = Base;
    uint8_t h[TId3v2Tags::HeaderSize];
    int64_t whole = 0;
    // A tag may follow another; a bounded number of them.
    for (int i = 0; i < 16 && ReadAt(Stream, at, h, sizeof h) && TId3v2Tags::CheckHeader(h, sizeof h, whole);
         ++i) {
        at += whole;
        if (size >= 0 && at >= size) return size - Base;
    }
    return at - Base;
}

bool AsfIsProtected(TAudioStream& Stream, int64_t Base) {
    TKeepPosition keep(Stream);
    uint8_t h[30];
    if (!ReadAt(Stream, Base, h, sizeof h) || std::memcmp(h, AsfHeaderGuid, 16) != 0) return false;
    const int64_t size = StreamSize(Stream);
    uint64_t end = Le64(h + 16);
    if (size >= 0) end = std::min<uint64_t>(end, static_cast<uint64_t>(size - Base));
    const uint32_t count = h[24] | h[25] << 8 | h[26] << 16 | static_cast<uint32_t>(h[27]) << 24;
    uint64_t at = 30;
    // Each object is at least its own 24-byte header long, so the walk ends within the header.
    for (uint32_t i = 0; i < count && at + 24 <= end; ++i) {
        uint8_t o[24];
        if (!ReadAt(Stream, Base + static_cast<int64_t>(at), o, sizeof o)) return false;
        if (std::memcmp(o, AsfContentEncryptionGuid, 16) == 0 ||
            std::memcmp(o, AsfExtendedContentEncryptionGuid, 16) == 0)
            return true;
        const uint64_t objectSize = Le64(o + 16);
        if (objectSize < 24 || objectSize > end - at) return false;
        at += objectSize;
    }
    return false;
}

TMpegScan ScanMpegAudio(TAudioStream& Stream, int64_t AudioStart) {
    TKeepPosition keep(Stream);
    TMpegScan scan;
    const int64_t size = StreamSize(Stream);
    if (size < 0 || AudioStart >= size) return scan;

    // The first frame: a valid header followed by another one of the same stream (or by
    // the end of the file), within the first 64 KiB.
    constexpr uint32_t window = 65536;
    std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(window + 3, size - AudioStart)));
    if (buf.size() < 4 || !ReadAt(Stream, AudioStart, buf.data(), static_cast<uint32_t>(buf.size())))
        return scan;
    int64_t first = -1;
    TMpegFrame frame;
    for (size_t i = 0; i + 4 <= buf.size() && first < 0; ++i) {
        if (!ParseFrameHeader(&buf[i], frame)) continue;
        const int64_t next = AudioStart + static_cast<int64_t>(i) + frame.Length;
        TMpegFrame following;
        if (next >= size || (FrameAt(Stream, next, following) && SameStream(frame, following)))
            first = AudioStart + static_cast<int64_t>(i);
    }
    if (first < 0) return scan;
    scan.Found = true;
    scan.SampleRate = frame.SampleRate;
    scan.FirstFrameAt = first;
    scan.Bitrate = frame.Bitrate;
    {
        int64_t at = first;
        TMpegFrame f;
        while (scan.Run < 4 && FrameAt(Stream, at, f) && SameStream(f, frame)) {
            ++scan.Run;
            at += f.Length;
        }
        if (at >= size - TId3v1Tags::BlockSize) scan.Run = 4;
    }

    // A length header sits in the first frame after the side information (Xing, Info) or
    // 32 bytes after the frame header (VBRI).
    if (frame.Layer == 3) {
        const uint32_t sideInfo = frame.Version == 1 ? (frame.Mono ? 17 : 32) : (frame.Mono ? 9 : 17);
        char tag[4];
        if (ReadAt(Stream, first + 4 + sideInfo, tag, 4) &&
            (std::memcmp(tag, "Xing", 4) == 0 || std::memcmp(tag, "Info", 4) == 0)) {
            scan.LengthHeader = true;
            scan.VBR = tag[0] == 'X';
            return scan;
        }
        if (ReadAt(Stream, first + 36, tag, 4) && std::memcmp(tag, "VBRI", 4) == 0) {
            scan.LengthHeader = true;
            scan.VBR = true;
            return scan;
        }
    }

    // No header: the bit rates of the first frames tell; a file with a variable rate is
    // walked to its end, since no estimate from one bit rate gives its length.
    int64_t samples = 0;
    int64_t at = first;
    TMpegFrame f;
    for (int n = 0; at < size && FrameAt(Stream, at, f) && SameStream(f, frame); ++n) {
        if (f.BitrateIndex != frame.BitrateIndex) scan.VBR = true;
        if (n >= 32 && !scan.VBR) return scan;
        samples += f.Samples;
        at += f.Length;
    }
    if (scan.VBR) scan.Samples = samples;
    return scan;
}

void ReadId3Attributes(TAudioStream& Stream, int64_t Base, TWMHeaderInfo& Header) {
    TKeepPosition keep(Stream);
    const int64_t size = StreamSize(Stream);
    if (size < 0 || Base >= size) return;
    TScratchFile scratch;

    TId3v2Tags v2;
    bool haveV2 = false;
    uint8_t h[TId3v2Tags::HeaderSize];
    int64_t whole = 0;
    if (ReadAt(Stream, Base, h, sizeof h) && TId3v2Tags::CheckHeader(h, sizeof h, whole)) {
        // A tag that claims more than the file holds is copied as far as the file goes;
        // the reader then finds it cut and takes no values from it.
        std::vector<uint8_t> bytes(static_cast<size_t>(std::min<int64_t>(whole, size - Base)));
        if (ReadAt(Stream, Base, bytes.data(), static_cast<uint32_t>(bytes.size())) && scratch.Hold(bytes)) {
            TFileHandle file(scratch.Handle());
            haveV2 = v2.ReadFromFile(file);
        }
    }

    TId3v1Tags v1;
    bool haveV1 = false;
    if (size - Base >= TId3v1Tags::BlockSize) {
        std::vector<uint8_t> bytes(TId3v1Tags::BlockSize);
        if (ReadAt(Stream, size - TId3v1Tags::BlockSize, bytes.data(), TId3v1Tags::BlockSize) &&
            std::memcmp(bytes.data(), "TAG", 3) == 0 && scratch.Hold(bytes)) {
            TFileHandle file(scratch.Handle());
            haveV1 = v1.ReadFromFile(file);
        }
    }

    auto text = [&](const char* Name, std::u16string FromV2, std::u16string FromV1) {
        std::u16string value = haveV2 && !FromV2.empty() ? std::move(FromV2)
                               : haveV1                  ? std::move(FromV1)
                                                         : u"";
        if (!value.empty()) Header.Set(Name, TWMAttribute::String(std::move(value)));
    };
    auto narrow = [](const std::string& S) { return TCodePage::ToWide(S); };
    const uint32_t genre = static_cast<uint32_t>(v1.AsInteger("genre"));
    text("Title", v2.Title(), narrow(v1.Title()));
    text("Author", v2.Artist(), narrow(v1.Artist()));
    text("WM/AlbumTitle", v2.Album(), narrow(v1.Album()));
    text("WM/Genre", v2.Genre(), genre < Id3v1GenreCount ? narrow(Id3v1Genres[genre]) : u"");
    text("WM/Track", narrow(v2.Track()), v1.Track() ? narrow(std::to_string(v1.Track())) : u"");
    text("WM/Year", narrow(v2.Year()), v1.Year() ? narrow(std::to_string(v1.Year())) : u"");
    text("Copyright", v2.Copyright(), u"");
}

} // namespace tarvio::wmscan
