#include "tags/TId3v2Tags.h"

#include <cstring>

#include "tags/TCodePage.h"

namespace tarvio {

const char* const TId3v2Tags::Id3v2FrameIds[FrameRowCount][2] = {
    {"TAL", "TALB"}, {"TP1", "TPE1"}, {"TCO", "TCON"}, {"TT2", "TIT2"}, {"TRK", "TRCK"}, {"TYE", "TYER"},
    {"COM", "COMM"}, {"TCM", "TCOM"}, {"TEN", "TENC"}, {"TCR", "TCOP"}, {"TLA", "TLAN"}, {"WXX", "WXXX"}};

namespace {

constexpr uint32_t kSynchsafeLimit = 1u << 28;

uint32_t BigEndian(const uint8_t* P, int Bytes) {
    uint32_t v = 0;
    for (int i = 0; i < Bytes; ++i)
        v = (v << 8) | P[i];
    return v;
}

uint32_t Synchsafe(const uint8_t* P) {
    return (uint32_t(P[0] & 0x7F) << 21) | (uint32_t(P[1] & 0x7F) << 14) | (uint32_t(P[2] & 0x7F) << 7) |
           (P[3] & 0x7F);
}

void PutSynchsafe(std::vector<uint8_t>& Out, uint32_t V) {
    for (int shift = 21; shift >= 0; shift -= 7)
        Out.push_back(static_cast<uint8_t>((V >> shift) & 0x7F));
}

// Reverses unsynchronisation: every FF 00 becomes FF.
void Resynchronise(std::vector<uint8_t>& Data) {
    size_t w = 0;
    for (size_t r = 0; r < Data.size(); ++r) {
        Data[w++] = Data[r];
        if (Data[r] == 0xFF && r + 1 < Data.size() && Data[r + 1] == 0) ++r;
    }
    Data.resize(w);
}

bool IsIdChar(uint8_t C) {
    return (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9');
}

// Version 4 frame sizes are synchsafe, but some writers store plain numbers there. Walks
// the frames with one reading of the size and tells whether it lands exactly on the end of
// the body or on padding.
bool WalksCleanly(const std::vector<uint8_t>& Body, size_t Offset, bool SynchsafeSizes) {
    const size_t n = Body.size();
    while (Offset + 10 <= n) {
        const uint8_t* h = Body.data() + Offset;
        if (h[0] == 0) return true; // padding
        if (!IsIdChar(h[0]) || !IsIdChar(h[1]) || !IsIdChar(h[2]) || !IsIdChar(h[3])) return false;
        uint64_t size = SynchsafeSizes ? Synchsafe(h + 4) : BigEndian(h + 4, 4);
        if (SynchsafeSizes && ((h[4] | h[5] | h[6] | h[7]) & 0x80)) return false;
        Offset += 10 + size;
    }
    return Offset == n || (Offset < n && Body[Offset] == 0);
}

} // namespace

TId3v2Tags::TId3v2Tags() {
    for (const auto& row : Id3v2FrameIds) {
        AddId(row[0], TTagValue());
        AddId(row[1], TTagValue());
    }
}

bool TId3v2Tags::CheckHeader(const uint8_t* H, size_t Count, int64_t& WholeLength) {
    if (Count != HeaderSize || std::memcmp(H, "ID3", 3) != 0 || H[4] == 255) return false;
    const uint8_t major = H[3], flags = H[5];
    bool flagsOk = (major == 2 && (flags & 63) == 0) || (major == 3 && (flags & 31) == 0) ||
                   (major == 4 && (flags & 15) == 0);
    if (!flagsOk || H[6] >= 128 || H[7] >= 128 || H[8] >= 128 || H[9] >= 128) return false;
    WholeLength = int64_t(Synchsafe(H + 6)) + HeaderSize + ((flags & 16) ? 10 : 0);
    return true;
}

bool TId3v2Tags::Presents(TFileHandle& InFile) {
    if (!TAuTags::Presents(InFile)) return false;
    int64_t pos = InFile.Position();
    if (pos < 0) return false;
    uint8_t h[HeaderSize];
    int64_t whole;
    bool ok = CheckHeader(h, InFile.Read(h, HeaderSize), whole);
    InFile.Seek(pos, TSeekOrigin::soBeginning);
    return ok;
}

bool TId3v2Tags::Presents(THandle InFile) {
    TFileHandle f(InFile);
    return Presents(f);
}

bool TId3v2Tags::ReadFromFile(TFileHandle& InFile) {
    if (!TAuTags::ReadFromFile(InFile)) return false;
    const int64_t p = InFile.Position();
    if (p < 0) return false;
    uint8_t h[HeaderSize];
    int64_t whole;
    if (!CheckHeader(h, InFile.Read(h, HeaderSize), whole)) return false;
    FNew = h[3] != 2;
    const int64_t end = p + whole;
    const int64_t fileSize = InFile.Size();
    if (fileSize >= end) {
        // The body is bounded by the file's real size, so a hostile header can't make us
        // allocate more than the file holds.
        std::vector<uint8_t> body(static_cast<size_t>(whole - HeaderSize));
        if (InFile.ReadAt(body.data(), body.size(), p + HeaderSize) == body.size())
            ParseFrames(body, h[3], h[5]);
    }
    InFile.Seek(end, TSeekOrigin::soBeginning);
    return true;
}

void TId3v2Tags::ParseFrames(std::vector<uint8_t>& Body, int Major, uint8_t Flags) {
    const bool tagUnsync = (Flags & 0x80) != 0;
    if (Major == 2 && (Flags & 0x40)) return; // a compressed version 2 tag: nothing readable
    if (tagUnsync && Major < 4) Resynchronise(Body);

    size_t off = 0;
    if (Major >= 3 && (Flags & 0x40)) { // extended header
        if (Body.size() < 4) return;
        uint64_t ext = Major == 3 ? uint64_t(BigEndian(Body.data(), 4)) + 4 : Synchsafe(Body.data());
        if (ext > Body.size()) return;
        off = static_cast<size_t>(ext);
    }

    const size_t headerSize = Major == 2 ? 6 : 10;
    const bool synchsafeSizes =
        Major == 4 && (WalksCleanly(Body, off, true) || !WalksCleanly(Body, off, false));
    const size_t n = Body.size();
    while (off < n) {
        if (off + headerSize >= n) break;
        const uint8_t* fh = Body.data() + off;
        if (fh[0] < 'A' || fh[0] > 'Z') break; // padding or footer
        char id[5] = {};
        std::memcpy(id, fh, headerSize == 6 ? 3 : 4);
        uint64_t size = headerSize == 6  ? BigEndian(fh + 3, 3)
                        : synchsafeSizes ? Synchsafe(fh + 4)
                                         : BigEndian(fh + 4, 4);
        const uint8_t formatFlags = headerSize == 10 ? fh[9] : 0;
        off += headerSize;
        if (size == 0) continue;
        if (size > n - off) break; // runs past the tag
        const uint8_t* data = Body.data() + off;
        off += static_cast<size_t>(size);

        // Frame format flags: skip what can't be read as text, step over the extra bytes.
        size_t skip = 0;
        bool unsync = false;
        if (Major == 3) {
            if (formatFlags & 0xC0) continue; // compressed or encrypted
            if (formatFlags & 0x20) skip = 1; // group id
        } else if (Major == 4) {
            if (formatFlags & 0x0C) continue; // compressed or encrypted
            skip = ((formatFlags & 0x40) ? 1 : 0) + ((formatFlags & 0x01) ? 4 : 0);
            unsync = tagUnsync || (formatFlags & 0x02);
        }
        if (skip >= size) continue;
        if (unsync) {
            std::vector<uint8_t> plain(data + skip, data + size);
            Resynchronise(plain);
            StoreFrame(id, plain.data(), plain.size());
        } else {
            StoreFrame(id, data + skip, static_cast<size_t>(size) - skip);
        }
    }
}

void TId3v2Tags::StoreFrame(const char* FrameId, const uint8_t* Data, size_t Size) {
    bool known = false;
    for (int row = 0; row < FrameRowCount; ++row)
        if (row != CommentRow && std::strcmp(FrameId, Id3v2FrameIds[row][FNew ? 1 : 0]) == 0) known = true;
    if (!known || Size == 0) return;

    const uint8_t encoding = Data[0];
    const uint8_t* text = Data + 1;
    const size_t length = Size - 1;
    switch (encoding) {
    case 0:
    case 3: {
        size_t k = 0;
        while (k < length && text[k] != 0)
            ++k;
        std::string bytes(reinterpret_cast<const char*>(text), k);
        if (encoding == 0)
            SetValue(FrameId, bytes);
        else
            SetValue(FrameId, TCodePage::Utf8ToWide(bytes));
        break;
    }
    case 1: {
        size_t start = 0;
        bool bigEndian = false;
        if (length >= 2 && text[0] == 0xFF && text[1] == 0xFE)
            start = 2;
        else if (length >= 2 && text[0] == 0xFE && text[1] == 0xFF)
            start = 2, bigEndian = true;
        std::u16string wide;
        for (size_t k = start; k + 1 < length; k += 2) {
            char16_t u =
                bigEndian ? char16_t(text[k] << 8 | text[k + 1]) : char16_t(text[k + 1] << 8 | text[k]);
            if (u == 0) break;
            wide.push_back(u);
        }
        SetValue(FrameId, wide);
        break;
    }
    default: // encoding 2 and unknown encodings are not read
        break;
    }
}

std::vector<uint8_t> TId3v2Tags::RenderTag(bool Unicode) const {
    std::vector<uint8_t> frames;
    for (int row = 0; row < FrameRowCount; ++row) {
        if (row == CommentRow) continue;
        const char* id = Id3v2FrameIds[row][1];
        const char* key = Id(row);
        if (GetValue(key).IsNull()) key = Id3v2FrameIds[row][FNew ? 0 : 1];
        std::string text;
        uint8_t encoding = 0;
        if (Unicode && GetValue(key).IsWide()) {
            text = TCodePage::WideToUtf8(AsWideString(key));
            encoding = 3;
        } else {
            text = AsString(key);
        }
        if (text.empty()) continue;
        const uint64_t dataSize = text.size() + 1;
        if (dataSize >= kSynchsafeLimit) return {};
        frames.insert(frames.end(), id, id + 4);
        PutSynchsafe(frames, static_cast<uint32_t>(dataSize));
        frames.push_back(0);
        frames.push_back(0);
        frames.push_back(encoding);
        frames.insert(frames.end(), text.begin(), text.end());
    }
    const size_t padding = 16 - ((frames.size() + HeaderSize) % 16);
    const uint64_t bodySize = frames.size() + padding;
    if (bodySize >= kSynchsafeLimit) return {};

    std::vector<uint8_t> tag = {'I', 'D', '3', 4, 0, 0};
    PutSynchsafe(tag, static_cast<uint32_t>(bodySize));
    tag.insert(tag.end(), frames.begin(), frames.end());
    tag.insert(tag.end(), padding, 0);
    return tag;
}

bool TId3v2Tags::WriteToFile(TFileHandle& OutFile, bool Unicode) {
    if (!TAuTags::WriteToFile(OutFile, Unicode)) return false;
    std::vector<uint8_t> tag = RenderTag(Unicode);
    return !tag.empty() && OutFile.InsertAtStart(tag.data(), tag.size());
}

} // namespace tarvio
