#include "stages/TTrackNumberReader.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tarvio {

namespace {

// Positioned reads through one cached window, so walking small headers costs one system
// call per window rather than one per header.
class TWindowReader {
public:
    explicit TWindowReader(int Fd) : FFd(Fd) {
        struct stat st {};
        FSize = fstat(Fd, &st) == 0 ? st.st_size : 0;
    }
    int64_t Size() const { return FSize; }
    // Count bytes (at most one window, 4096) at Offset into Out; false when they lie past
    // the end or cannot be read.
    bool Read(int64_t Offset, void* Out, size_t Count) {
        if (!Inside(Offset, Count) || Count > kWindow) return false;
        if (Count == 0) return true; // nothing to copy, and the window may be empty
        if (Offset < FWindowAt || Offset + static_cast<int64_t>(Count) > FWindowAt + FWindowBytes) {
            FWindow.resize(kWindow);
            const ssize_t got = pread(FFd, FWindow.data(), kWindow, Offset);
            if (got < static_cast<ssize_t>(Count)) return false;
            FWindowAt = Offset;
            FWindowBytes = got;
        }
        std::memcpy(Out, FWindow.data() + (Offset - FWindowAt), Count);
        return true;
    }
    // Any count, read directly.
    bool Read(int64_t Offset, std::vector<uint8_t>& Out, size_t Count) {
        if (!Inside(Offset, Count)) return false;
        Out.resize(Count);
        return pread(FFd, Out.data(), Count, Offset) == static_cast<ssize_t>(Count);
    }

private:
    bool Inside(int64_t Offset, size_t Count) const {
        return Offset >= 0 && Count <= static_cast<uint64_t>(FSize) &&
               Offset <= FSize - static_cast<int64_t>(Count);
    }
    static constexpr size_t kWindow = 4096;
    int FFd;
    int64_t FSize = 0;
    std::vector<uint8_t> FWindow;
    int64_t FWindowAt = 0;
    int64_t FWindowBytes = 0;
};

// Limits against hostile sizes: a comment block or packet larger than this is cut.
constexpr size_t kMaxComments = 256 * 1024;
constexpr int kMaxAtoms = 4096;

uint32_t BE32(const uint8_t* P) {
    return uint32_t(P[0]) << 24 | uint32_t(P[1]) << 16 | uint32_t(P[2]) << 8 | P[3];
}
uint32_t LE32(const uint8_t* P) {
    return uint32_t(P[3]) << 24 | uint32_t(P[2]) << 16 | uint32_t(P[1]) << 8 | P[0];
}
uint32_t Synchsafe(const uint8_t* P) {
    return uint32_t(P[0] & 0x7F) << 21 | uint32_t(P[1] & 0x7F) << 14 | uint32_t(P[2] & 0x7F) << 7 |
           (P[3] & 0x7F);
}

// The leading number of "3", "03/12" or a UTF-16 form of it (zero bytes and byte-order
// marks are skipped); -1 when the text starts with no digit.
int LeadingNumber(std::string_view Text) {
    int value = -1;
    for (const char ch : Text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == 0 || c == 0xFF || c == 0xFE || (value < 0 && c == ' ')) continue;
        if (c < '0' || c > '9') break;
        value = std::min((value < 0 ? 0 : value) * 10 + (c - '0'), 1000000);
    }
    return value;
}

struct TFound {
    int Disc = -1;
    int Track = -1;
    std::optional<TTrackNumber> Result() const {
        if (Track < 0) return std::nullopt;
        return TTrackNumber{std::max(Disc, 0), Track};
    }
};

bool EqualsNoCase(std::string_view A, std::string_view B) {
    return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char x, char y) {
               return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
           });
}

// A Vorbis comment list (vendor string, count, "KEY=value" entries), as in FLAC's block
// and after the Ogg packet's signature. A cut list yields what it holds.
void ParseVorbisComments(const uint8_t* P, size_t Size, TFound& Found) {
    size_t pos = 0;
    auto u32 = [&](uint32_t& V) {
        if (Size - pos < 4) return false;
        V = LE32(P + pos);
        pos += 4;
        return true;
    };
    uint32_t vendor = 0, count = 0;
    if (!u32(vendor) || vendor > Size - pos) return;
    pos += vendor;
    if (!u32(count)) return;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t length = 0;
        if (!u32(length) || length > Size - pos) return;
        const std::string_view entry(reinterpret_cast<const char*>(P + pos), length);
        pos += length;
        const size_t eq = entry.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = entry.substr(0, eq), value = entry.substr(eq + 1);
        if (EqualsNoCase(key, "TRACKNUMBER") && Found.Track < 0) Found.Track = LeadingNumber(value);
        if (EqualsNoCase(key, "DISCNUMBER") && Found.Disc < 0) Found.Disc = LeadingNumber(value);
    }
}

// ID3v2 at Offset: walks the frame headers, reading only TRCK/TPOS (TRK/TPA in version 2).
// Returns the offset after the tag, or -1 when there is no tag there.
int64_t ReadId3v2(TWindowReader& R, int64_t Offset, TFound& Found) {
    uint8_t h[10];
    if (!R.Read(Offset, h, 10) || std::memcmp(h, "ID3", 3) != 0) return -1;
    const int version = h[3];
    if (version < 2 || version > 4 || (h[6] | h[7] | h[8] | h[9]) & 0x80) return -1;
    const int64_t end = Offset + 10 + Synchsafe(h + 6) + ((h[5] & 0x10) ? 10 : 0);
    // A whole-tag unsynchronisation of versions 2 and 3 changes the frames' bytes; the
    // numbers are then left unread rather than misread.
    if (version < 4 && (h[5] & 0x80)) return end;
    int64_t pos = Offset + 10;
    if (version >= 3 && (h[5] & 0x40)) {
        uint8_t e[4];
        if (!R.Read(pos, e, 4)) return end;
        pos += version == 3 ? 4 + int64_t(BE32(e)) : int64_t(Synchsafe(e));
    }
    const int headerSize = version == 2 ? 6 : 10;
    const int64_t tagEnd = end - ((h[5] & 0x10) ? 10 : 0);
    while (pos + headerSize <= tagEnd && (Found.Track < 0 || Found.Disc < 0)) {
        uint8_t f[10];
        if (!R.Read(pos, f, headerSize) || f[0] == 0) break;
        const std::string_view id(reinterpret_cast<const char*>(f), version == 2 ? 3 : 4);
        const int64_t size = version == 2   ? (int64_t(f[3]) << 16 | f[4] << 8 | f[5])
                             : version == 4 ? int64_t(Synchsafe(f + 4))
                                            : int64_t(BE32(f + 4));
        pos += headerSize;
        if (size <= 0 || pos + size > tagEnd) break;
        // Compressed, encrypted or unsynchronised frames of version 4 are skipped.
        const bool plain = version != 4 || (f[9] & 0x0E) == 0;
        const bool track = id == "TRCK" || id == "TRK", disc = id == "TPOS" || id == "TPA";
        if (plain && (track || disc) && size <= 64) {
            char text[64];
            if (R.Read(pos, text, static_cast<size_t>(size))) {
                const int n = LeadingNumber(std::string_view(text + 1, static_cast<size_t>(size - 1)));
                if (track && Found.Track < 0) Found.Track = n;
                if (disc && Found.Disc < 0) Found.Disc = n;
            }
        }
        pos += size;
    }
    return end;
}

void ReadFlac(TWindowReader& R, int64_t Offset, TFound& Found) {
    int64_t pos = Offset + 4;
    for (int block = 0; block < 128; ++block) {
        uint8_t h[4];
        if (!R.Read(pos, h, 4)) return;
        const uint32_t length = uint32_t(h[1]) << 16 | uint32_t(h[2]) << 8 | h[3];
        pos += 4;
        if ((h[0] & 0x7F) == 4) {
            std::vector<uint8_t> body;
            const size_t count = std::min<size_t>(length, kMaxComments);
            if (R.Read(pos, body, count)) ParseVorbisComments(body.data(), body.size(), Found);
            return;
        }
        if (h[0] & 0x80) return;
        pos += length;
    }
}

// The second packet of the first Ogg stream: the comment header of Vorbis or Opus.
void ReadOgg(TWindowReader& R, TFound& Found) {
    std::vector<uint8_t> packet;
    int packetIndex = 0;
    int64_t pos = 0;
    uint32_t serial = 0;
    for (int page = 0; page < 64 && packet.size() < kMaxComments; ++page) {
        uint8_t h[27];
        if (!R.Read(pos, h, 27) || std::memcmp(h, "OggS", 4) != 0) break;
        const uint32_t pageSerial = LE32(h + 14);
        if (page == 0) serial = pageSerial;
        uint8_t lacing[255];
        const int segments = h[26];
        if (!R.Read(pos + 27, lacing, segments)) break;
        int64_t data = pos + 27 + segments;
        pos = data;
        for (int i = 0; i < segments; ++i)
            pos += lacing[i];
        if (pageSerial != serial) continue;
        for (int i = 0; i < segments && packetIndex < 2; ++i) {
            if (packetIndex == 1 && lacing[i] > 0 && packet.size() < kMaxComments) {
                const size_t at = packet.size();
                packet.resize(at + lacing[i]);
                if (!R.Read(data, packet.data() + at, lacing[i])) return;
            }
            data += lacing[i];
            if (lacing[i] < 255) ++packetIndex;
        }
        if (packetIndex >= 2) break;
    }
    if (packet.size() >= 7 && std::memcmp(packet.data(), "\x03vorbis", 7) == 0)
        ParseVorbisComments(packet.data() + 7, packet.size() - 7, Found);
    else if (packet.size() >= 8 && std::memcmp(packet.data(), "OpusTags", 8) == 0)
        ParseVorbisComments(packet.data() + 8, packet.size() - 8, Found);
}

// Finds a child box of Type in [Begin, End); gives the payload's range.
bool FindBox(TWindowReader& R, int64_t Begin, int64_t End, const char* Type, int64_t& PayBegin,
             int64_t& PayEnd) {
    int64_t pos = Begin;
    for (int n = 0; n < kMaxAtoms && pos + 8 <= End; ++n) {
        uint8_t h[16];
        if (!R.Read(pos, h, 8)) return false;
        int64_t size = BE32(h);
        int header = 8;
        if (size == 1) {
            if (!R.Read(pos + 8, h + 8, 8)) return false;
            size = int64_t(BE32(h + 8)) << 32 | BE32(h + 12);
            header = 16;
        } else if (size == 0) {
            size = End - pos;
        }
        if (size < header || size > End - pos) return false;
        if (std::memcmp(h + 4, Type, 4) == 0) {
            PayBegin = pos + header;
            PayEnd = pos + size;
            return true;
        }
        pos += size;
    }
    return false;
}

void ReadMp4(TWindowReader& R, TFound& Found) {
    int64_t b = 0, e = R.Size();
    if (!FindBox(R, b, e, "moov", b, e) || !FindBox(R, b, e, "udta", b, e) || !FindBox(R, b, e, "meta", b, e))
        return;
    // "meta" is a full box (4 bytes of version and flags) in MP4; QuickTime's has none.
    uint8_t probe[8];
    if (R.Read(b, probe, 8) && std::memcmp(probe + 4, "hdlr", 4) != 0) b += 4;
    if (!FindBox(R, b, e, "ilst", b, e)) return;
    for (const auto& [box, target] : {std::pair{"trkn", &Found.Track}, std::pair{"disk", &Found.Disc}}) {
        int64_t ib = 0, ie = 0, db = 0, de = 0;
        uint8_t v[12];
        // "data" payload: 4 bytes type, 4 bytes locale, then 2 bytes zero, the number (big
        // endian, 2 bytes) and the total.
        if (FindBox(R, b, e, box, ib, ie) && FindBox(R, ib, ie, "data", db, de) && de - db >= 12 &&
            R.Read(db, v, 12))
            *target = v[10] << 8 | v[11];
    }
}

// APEv2 at the end of the file, before an ID3v1 tag if there is one.
void ReadApe(TWindowReader& R, TFound& Found) {
    int64_t footer = R.Size() - 32;
    uint8_t id3v1[3];
    if (R.Size() >= 128 && R.Read(R.Size() - 128, id3v1, 3) && std::memcmp(id3v1, "TAG", 3) == 0)
        footer -= 128;
    uint8_t f[32];
    if (!R.Read(footer, f, 32) || std::memcmp(f, "APETAGEX", 8) != 0) return;
    const int64_t size = LE32(f + 12), count = LE32(f + 16);
    int64_t pos = footer + 32 - size;
    if (size < 32 || pos < 0) return;
    for (int64_t i = 0; i < std::min<int64_t>(count, kMaxAtoms) && pos < footer; ++i) {
        uint8_t h[8];
        if (!R.Read(pos, h, 8)) return;
        const uint32_t length = LE32(h);
        int64_t key = pos + 8, keyEnd = key;
        std::string name;
        char c = 0;
        while (keyEnd < footer && name.size() < 256 && R.Read(keyEnd, &c, 1) && c != 0) {
            name += c;
            ++keyEnd;
        }
        const int64_t value = keyEnd + 1;
        if (value + length > footer) return;
        const bool track = EqualsNoCase(name, "Track"), disc = EqualsNoCase(name, "Disc");
        if ((track || disc) && length <= 64) {
            char text[64];
            if (R.Read(value, text, length)) {
                const int n = LeadingNumber(std::string_view(text, length));
                if (track) Found.Track = n;
                if (disc) Found.Disc = n;
            }
        }
        pos = value + length;
    }
}

} // namespace

std::optional<TTrackNumber> TTrackNumberReader::Read(int Fd) {
    TWindowReader r(Fd);
    TFound found;
    uint8_t head[12] = {};
    if (!r.Read(0, head, std::min<int64_t>(12, r.Size()))) return std::nullopt;
    int64_t start = 0;
    if (std::memcmp(head, "ID3", 3) == 0) {
        start = ReadId3v2(r, 0, found);
        if (found.Track >= 0) return found.Result();
        if (start < 0) start = 0;
        if (!r.Read(start, head, 4)) return std::nullopt;
    }
    if (std::memcmp(head, "fLaC", 4) == 0)
        ReadFlac(r, start, found);
    else if (start == 0 && std::memcmp(head, "OggS", 4) == 0)
        ReadOgg(r, found);
    else if (start == 0 && std::memcmp(head + 4, "ftyp", 4) == 0)
        ReadMp4(r, found);
    if (found.Track < 0) ReadApe(r, found);
    return found.Result();
}

} // namespace tarvio
