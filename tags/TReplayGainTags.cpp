#include "tags/TReplayGainTags.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace tarvio {

namespace {

// Most bytes of one tag block read into memory; larger blocks (cover art) are skipped.
constexpr uint64_t MaxBlock = 16u << 20;
// Most bytes of Ogg pages walked to reach the comment packet.
constexpr uint64_t MaxOggScan = 4u << 20;

// Random access to the file's bytes.
class TSource {
public:
    virtual ~TSource() = default;
    virtual uint64_t Size() const = 0;
    // Reads exactly Count bytes at Offset; false when they are not all there.
    virtual bool ReadAt(uint64_t Offset, void* Buffer, size_t Count) = 0;
    bool ReadAt(uint64_t Offset, std::vector<uint8_t>& Out, uint64_t Count) {
        if (Count > MaxBlock || Offset > Size() || Count > Size() - Offset) return false;
        Out.resize(static_cast<size_t>(Count));
        return Count == 0 || ReadAt(Offset, Out.data(), Out.size());
    }
};

class TMemorySource final : public TSource {
public:
    TMemorySource(const uint8_t* Data, size_t Size) : FData(Data), FSize(Size) {}
    uint64_t Size() const override { return FSize; }
    bool ReadAt(uint64_t Offset, void* Buffer, size_t Count) override {
        if (Offset > FSize || Count > FSize - Offset) return false;
        if (Count) std::memcpy(Buffer, FData + Offset, Count);
        return true;
    }

private:
    const uint8_t* FData;
    size_t FSize;
};

struct TFileCloser {
    void operator()(std::FILE* F) const { std::fclose(F); }
};

class TFileSource final : public TSource {
public:
    explicit TFileSource(const std::string& Name) : FFile(std::fopen(Name.c_str(), "rbe")) {
        if (FFile && ::fseeko(FFile.get(), 0, SEEK_END) == 0) {
            const off_t end = ::ftello(FFile.get());
            FSize = end > 0 ? static_cast<uint64_t>(end) : 0;
        }
    }
    bool Open() const { return FFile != nullptr; }
    uint64_t Size() const override { return FSize; }
    bool ReadAt(uint64_t Offset, void* Buffer, size_t Count) override {
        if (Offset > FSize || Count > FSize - Offset) return false;
        if (::fseeko(FFile.get(), static_cast<off_t>(Offset), SEEK_SET) != 0) return false;
        return std::fread(Buffer, 1, Count, FFile.get()) == Count;
    }

private:
    std::unique_ptr<std::FILE, TFileCloser> FFile;
    uint64_t FSize = 0;
};

uint32_t Be32(const uint8_t* P) {
    return (uint32_t(P[0]) << 24) | (uint32_t(P[1]) << 16) | (uint32_t(P[2]) << 8) | P[3];
}
uint32_t Le32(const uint8_t* P) {
    return (uint32_t(P[3]) << 24) | (uint32_t(P[2]) << 16) | (uint32_t(P[1]) << 8) | P[0];
}
uint32_t SyncSafe(const uint8_t* P) {
    return (uint32_t(P[0] & 0x7F) << 21) | (uint32_t(P[1] & 0x7F) << 14) | (uint32_t(P[2] & 0x7F) << 7) |
           (P[3] & 0x7F);
}

std::string Lower(std::string_view S) {
    std::string out(S);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// A number at the start of Text ("-7.35 dB", "+1.2", "0.98"), whatever the C locale says.
std::optional<double> Number(std::string_view Text) {
    while (!Text.empty() && (Text.front() == ' ' || Text.front() == '\t'))
        Text.remove_prefix(1);
    if (!Text.empty() && Text.front() == '+') Text.remove_prefix(1);
    double value = 0;
    const auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), value);
    if (ec != std::errc() || end == Text.data() || !std::isfinite(value)) return std::nullopt;
    return value;
}

// Vorbis comment list (FLAC block, Ogg Vorbis and Opus packets after their signatures):
// vendor string, count, then "NAME=value" strings, each with a 32-bit LE length.
void ReadVorbisComments(const uint8_t* P, size_t Size, TReplayGainTags& Tags) {
    size_t pos = 0;
    auto take = [&](uint32_t& Value) {
        if (Size - pos < 4) return false;
        Value = Le32(P + pos);
        pos += 4;
        return true;
    };
    uint32_t length = 0, count = 0;
    if (!take(length) || length > Size - pos) return;
    pos += length;
    if (!take(count)) return;
    for (uint32_t i = 0; i < count; ++i) {
        if (!take(length) || length > Size - pos) return;
        const std::string_view field(reinterpret_cast<const char*>(P + pos), length);
        pos += length;
        const size_t eq = field.find('=');
        if (eq != std::string_view::npos) Tags.AddField(field.substr(0, eq), field.substr(eq + 1));
    }
}

// Text of an ID3v2 text field in Encoding, as narrow text (non-ASCII UTF-16 units become
// '?': gain values and names are ASCII). Stops at the terminator; Used gets the bytes taken
// with it.
std::string Id3Text(const uint8_t* P, size_t Size, uint8_t Encoding, size_t& Used) {
    std::string out;
    if (Encoding == 1 || Encoding == 2) {
        bool bigEndian = Encoding == 2;
        size_t i = 0;
        if (Encoding == 1 && Size >= 2 &&
            ((P[0] == 0xFF && P[1] == 0xFE) || (P[0] == 0xFE && P[1] == 0xFF))) {
            bigEndian = P[0] == 0xFE;
            i = 2;
        }
        for (; i + 1 < Size; i += 2) {
            const uint16_t unit = bigEndian ? uint16_t(P[i] << 8 | P[i + 1]) : uint16_t(P[i + 1] << 8 | P[i]);
            if (unit == 0) {
                Used = i + 2;
                return out;
            }
            out += unit < 0x80 ? static_cast<char>(unit) : '?';
        }
        Used = Size;
        return out;
    }
    const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(P, 0, Size));
    const size_t n = nul ? static_cast<size_t>(nul - P) : Size;
    Used = nul ? n + 1 : Size;
    return std::string(reinterpret_cast<const char*>(P), n);
}

// An ID3v2 tag at Offset; returns its whole length (0 when there is none).
uint64_t ReadId3v2(TSource& Src, uint64_t Offset, TReplayGainTags& Tags) {
    uint8_t h[10];
    if (!Src.ReadAt(Offset, h, 10) || std::memcmp(h, "ID3", 3) != 0 || h[3] < 2 || h[3] > 4) return 0;
    if ((h[6] | h[7] | h[8] | h[9]) & 0x80) return 0;
    const uint8_t version = h[3], flags = h[5];
    const uint64_t whole = 10 + uint64_t(SyncSafe(h + 6)) + ((flags & 0x10) ? 10 : 0);
    std::vector<uint8_t> body;
    if (!Src.ReadAt(Offset + 10, body, SyncSafe(h + 6))) return whole;
    if ((flags & 0x80) && version < 4) {
        // The whole tag is unsynchronised: every FF 00 stands for FF.
        std::vector<uint8_t> plain;
        plain.reserve(body.size());
        for (size_t i = 0; i < body.size(); ++i) {
            plain.push_back(body[i]);
            if (body[i] == 0xFF && i + 1 < body.size() && body[i + 1] == 0) ++i;
        }
        body.swap(plain);
    }
    size_t pos = 0;
    if (flags & 0x40 && version >= 3) { // extended header
        if (body.size() < 4) return whole;
        const uint64_t ext = version == 4 ? SyncSafe(body.data()) : uint64_t(Be32(body.data())) + 4;
        if (ext > body.size()) return whole;
        pos = static_cast<size_t>(ext);
    }
    const size_t idSize = version == 2 ? 3 : 4, headerSize = version == 2 ? 6 : 10;
    while (body.size() - pos >= headerSize && body[pos] != 0) {
        const uint8_t* f = body.data() + pos;
        uint64_t size = version == 2   ? (uint32_t(f[3]) << 16 | uint32_t(f[4]) << 8 | f[5])
                        : version == 4 ? SyncSafe(f + 4)
                                       : Be32(f + 4);
        pos += headerSize;
        if (size > body.size() - pos) break;
        const bool txxx = std::memcmp(f, version == 2 ? "TXX" : "TXXX", idSize) == 0;
        // Compressed or encrypted frames are skipped.
        const bool plain = version == 2 || (version == 3 ? (f[9] & 0xC0) == 0 : (f[9] & 0x0C) == 0);
        if (txxx && plain && size >= 2) {
            size_t start = pos, length = static_cast<size_t>(size);
            if (version == 4 && (f[9] & 0x01)) { // data length indicator
                if (length < 5) break;
                start += 4;
                length -= 4;
            }
            const uint8_t encoding = body[start];
            size_t used = 0;
            const std::string name = Id3Text(body.data() + start + 1, length - 1, encoding, used);
            size_t rest = 0;
            const std::string value =
                Id3Text(body.data() + start + 1 + used, length - 1 - used, encoding, rest);
            Tags.AddField(name, value);
        }
        pos += static_cast<size_t>(size);
    }
    return whole;
}

void ReadFlac(TSource& Src, uint64_t Offset, TReplayGainTags& Tags) {
    uint64_t pos = Offset + 4;
    for (int blocks = 0; blocks < 1024; ++blocks) {
        uint8_t h[4];
        if (!Src.ReadAt(pos, h, 4)) return;
        const uint32_t length = uint32_t(h[1]) << 16 | uint32_t(h[2]) << 8 | h[3];
        pos += 4;
        if ((h[0] & 0x7F) == 4) {
            std::vector<uint8_t> block;
            if (Src.ReadAt(pos, block, length)) ReadVorbisComments(block.data(), block.size(), Tags);
            return;
        }
        if (h[0] & 0x80) return; // the last block
        pos += length;
    }
}

// The comment packet of the first logical stream of an Ogg file (Vorbis or Opus).
void ReadOgg(TSource& Src, TReplayGainTags& Tags) {
    std::vector<uint8_t> packet;
    uint64_t pos = 0;
    uint32_t serial = 0;
    int packetIndex = 0;
    bool first = true;
    while (pos < MaxOggScan) {
        uint8_t h[27];
        if (!Src.ReadAt(pos, h, 27) || std::memcmp(h, "OggS", 4) != 0) return;
        std::array<uint8_t, 255> lacing{};
        if (!Src.ReadAt(pos + 27, lacing.data(), h[26])) return;
        uint64_t data = pos + 27 + h[26];
        const uint32_t pageSerial = Le32(h + 14);
        if (first) serial = pageSerial, first = false;
        uint64_t pageBytes = 0;
        for (int i = 0; i < h[26]; ++i)
            pageBytes += lacing[static_cast<size_t>(i)];
        if (pageSerial == serial) {
            for (int i = 0; i < h[26]; ++i) {
                const uint8_t lace = lacing[static_cast<size_t>(i)];
                if (packetIndex == 1) {
                    const size_t old = packet.size();
                    if (old + lace > MaxBlock) return;
                    packet.resize(old + lace);
                    if (lace && !Src.ReadAt(data, packet.data() + old, lace)) return;
                }
                data += lace;
                if (lace < 255) { // a packet ends here
                    if (packetIndex == 1) {
                        if (packet.size() >= 7 && std::memcmp(packet.data(), "\x03vorbis", 7) == 0)
                            ReadVorbisComments(packet.data() + 7, packet.size() - 7, Tags);
                        else if (packet.size() >= 8 && std::memcmp(packet.data(), "OpusTags", 8) == 0)
                            ReadVorbisComments(packet.data() + 8, packet.size() - 8, Tags);
                        return;
                    }
                    ++packetIndex;
                }
            }
        }
        pos += 27 + h[26] + pageBytes;
    }
}

// The free-form items (----) of an MP4 file's moov/udta/meta/ilst.
class TMp4Reader {
public:
    explicit TMp4Reader(TSource& Src) : FSrc(Src) {}

    void Read(TReplayGainTags& Tags) {
        uint64_t start = 0, end = 0;
        if (!Find(0, FSrc.Size(), "moov", start, end)) return;
        uint64_t udtaStart = 0, udtaEnd = 0;
        if (!Find(start, end, "udta", udtaStart, udtaEnd)) return;
        std::vector<uint8_t> udta;
        if (!FSrc.ReadAt(udtaStart, udta, udtaEnd - udtaStart)) return;
        TMemorySource mem(udta.data(), udta.size());
        TMp4Reader inner(mem);
        uint64_t metaStart = 0, metaEnd = 0, ilstStart = 0, ilstEnd = 0;
        if (!inner.Find(0, mem.Size(), "meta", metaStart, metaEnd)) return;
        // meta is a full box: a version and flags word precedes its children.
        if (!inner.Find(metaStart + 4, metaEnd, "ilst", ilstStart, ilstEnd)) return;
        uint64_t pos = ilstStart;
        while (ilstEnd - pos >= 8) {
            uint64_t itemStart = 0, itemEnd = 0;
            char type[4];
            if (!inner.Box(pos, ilstEnd, type, itemStart, itemEnd)) return;
            if (std::memcmp(type, "----", 4) == 0) inner.FreeForm(udta, itemStart, itemEnd, Tags);
            pos = itemEnd;
        }
    }

private:
    // The box at Pos (within Limit): its type and the span of its contents.
    bool Box(uint64_t Pos, uint64_t Limit, char (&Type)[4], uint64_t& Start, uint64_t& End) {
        uint8_t h[16];
        if (Limit < Pos || Limit - Pos < 8 || !FSrc.ReadAt(Pos, h, 8)) return false;
        uint64_t size = Be32(h), header = 8;
        if (size == 1) {
            if (Limit - Pos < 16 || !FSrc.ReadAt(Pos + 8, h + 8, 8)) return false;
            size = uint64_t(Be32(h + 8)) << 32 | Be32(h + 12);
            header = 16;
        } else if (size == 0) {
            size = Limit - Pos;
        }
        if (size < header || size > Limit - Pos) return false;
        std::memcpy(Type, h + 4, 4);
        Start = Pos + header;
        End = Pos + size;
        return true;
    }

    bool Find(uint64_t From, uint64_t To, const char* Type, uint64_t& Start, uint64_t& End) {
        uint64_t pos = From;
        for (int boxes = 0; boxes < 100000 && pos < To; ++boxes) {
            char type[4];
            if (!Box(pos, To, type, Start, End)) return false;
            if (std::memcmp(type, Type, 4) == 0) return true;
            pos = End;
        }
        return false;
    }

    // mean, name and data children of one ---- item; the whole udta is in Bytes.
    void FreeForm(const std::vector<uint8_t>& Bytes, uint64_t From, uint64_t To, TReplayGainTags& Tags) {
        std::string mean, name, value;
        bool haveValue = false;
        uint64_t pos = From;
        while (pos < To) {
            uint64_t start = 0, end = 0;
            char type[4];
            if (!Box(pos, To, type, start, end)) return;
            auto text = [&](uint64_t Skip) {
                if (end - start < Skip) return std::string();
                return std::string(reinterpret_cast<const char*>(Bytes.data() + start + Skip),
                                   static_cast<size_t>(end - start - Skip));
            };
            if (std::memcmp(type, "mean", 4) == 0) mean = text(4);
            if (std::memcmp(type, "name", 4) == 0) name = text(4);
            if (std::memcmp(type, "data", 4) == 0 && !haveValue) value = text(8), haveValue = true;
            pos = end;
        }
        if (mean == "com.apple.iTunes" && haveValue) Tags.AddField(name, value);
    }

    TSource& FSrc;
};

// An APEv2 tag at the end of the file, or before an ID3v1 tag there.
void ReadApe(TSource& Src, TReplayGainTags& Tags) {
    const uint64_t size = Src.Size();
    for (uint64_t trailer : {uint64_t(0), uint64_t(128)}) {
        uint8_t f[32];
        if (size < trailer + 32 || !Src.ReadAt(size - trailer - 32, f, 32)) continue;
        if (std::memcmp(f, "APETAGEX", 8) != 0) continue;
        const uint32_t tagSize = Le32(f + 12), count = Le32(f + 16);
        if (tagSize < 32 || tagSize > size - trailer) return;
        std::vector<uint8_t> items;
        if (!Src.ReadAt(size - trailer - tagSize, items, tagSize - 32)) return;
        size_t pos = 0;
        for (uint32_t i = 0; i < count && items.size() - pos >= 9; ++i) {
            const uint32_t length = Le32(items.data() + pos), flags = Le32(items.data() + pos + 4);
            pos += 8;
            const uint8_t* key = items.data() + pos;
            const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(key, 0, items.size() - pos));
            if (!nul) return;
            const size_t keyLength = static_cast<size_t>(nul - key);
            pos += keyLength + 1;
            if (length > items.size() - pos) return;
            if (((flags >> 1) & 3) == 0) // UTF-8 text
                Tags.AddField(std::string_view(reinterpret_cast<const char*>(key), keyLength),
                              std::string_view(reinterpret_cast<const char*>(items.data() + pos), length));
            pos += length;
        }
        return;
    }
}

TReplayGainTags Read(TSource& Src) {
    TReplayGainTags tags;
    uint8_t head[12] = {};
    if (Src.Size() >= 12 && Src.ReadAt(0, head, 12)) {
        const uint64_t id3 = ReadId3v2(Src, 0, tags);
        uint8_t after[4];
        if (std::memcmp(head, "fLaC", 4) == 0)
            ReadFlac(Src, 0, tags);
        else if (id3 > 0 && Src.ReadAt(id3, after, 4) && std::memcmp(after, "fLaC", 4) == 0)
            ReadFlac(Src, id3, tags);
        else if (std::memcmp(head, "OggS", 4) == 0)
            ReadOgg(Src, tags);
        else if (std::memcmp(head + 4, "ftyp", 4) == 0)
            TMp4Reader(Src).Read(tags);
    }
    ReadApe(Src, tags); // also found on MP3, Monkey's Audio and WavPack files
    return tags;
}

} // namespace

void TReplayGainTags::AddField(std::string_view Name, std::string_view Value) {
    const std::string name = Lower(Name);
    const std::optional<double> number = Number(Value);
    if (!number) return;
    auto set = [&](std::optional<double>& Field, double V) {
        if (!Field) Field = V;
    };
    if (name == "replaygain_track_gain")
        set(TrackGain, *number);
    else if (name == "replaygain_track_peak" && *number >= 0)
        set(TrackPeak, *number);
    else if (name == "replaygain_album_gain")
        set(AlbumGain, *number);
    else if (name == "replaygain_album_peak" && *number >= 0)
        set(AlbumPeak, *number);
    else if (name == "r128_track_gain" || name == "r128_album_gain") {
        // Q7.8 fixed point, an integer in the text.
        if (*number != std::trunc(*number) || std::fabs(*number) > 32768) return;
        set(name == "r128_track_gain" ? TrackGain : AlbumGain, *number / 256.0 + 5.0);
    }
}

TReplayGainTags TReplayGainTags::ReadFromFile(const std::string& FileName) {
    TFileSource src(FileName);
    if (!src.Open()) return {};
    return Read(src);
}

TReplayGainTags TReplayGainTags::ReadFromMemory(const uint8_t* Data, size_t Size) {
    TMemorySource src(Data, Size);
    return Read(src);
}

} // namespace tarvio
