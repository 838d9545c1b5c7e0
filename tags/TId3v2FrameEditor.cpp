#include "tags/TId3v2FrameEditor.h"

#include <algorithm>
#include <cstring>

#include "tags/TCodePage.h"

namespace tarvio {

namespace {

uint32_t BigEndian(const uint8_t* P, int Bytes) {
    uint32_t v = 0;
    for (int i = 0; i < Bytes; ++i)
        v = (v << 8) | P[i];
    return v;
}

bool IsSynchsafe(const uint8_t* P) {
    return ((P[0] | P[1] | P[2] | P[3]) & 0x80) == 0;
}

uint32_t Synchsafe(const uint8_t* P) {
    return (uint32_t(P[0]) << 21) | (uint32_t(P[1]) << 14) | (uint32_t(P[2]) << 7) | P[3];
}

void PutSynchsafe(std::vector<uint8_t>& Out, uint32_t V) {
    for (int shift = 21; shift >= 0; shift -= 7)
        Out.push_back(static_cast<uint8_t>((V >> shift) & 0x7F));
}

// The frame IDs of one field in versions 2.2, 2.3 and 2.4; the last is what is written.
struct TFieldIds {
    const char* Ids[3];
    const char* Also; // another ID of the same field in 2.3 and 2.4 files, or nullptr
};

constexpr TFieldIds Fields[6] = {{{"TT2", "TIT2", "TIT2"}, nullptr}, {{"TP1", "TPE1", "TPE1"}, nullptr},
                                 {{"TAL", "TALB", "TALB"}, nullptr}, {{"TCO", "TCON", "TCON"}, nullptr},
                                 {{"TYE", "TYER", "TDRC"}, "TYER"},  {{"TRK", "TRCK", "TRCK"}, nullptr}};

// The frames (offset and size, header included) of the tag at the start of Tag, a file of
// FileSize bytes; false for a tag of a kind this class leaves alone.
bool ParseFrames(const std::vector<uint8_t>& Tag, uint64_t FileSize,
                 std::vector<std::pair<size_t, size_t>>& Frames) {
    if (Tag.size() < 10 || std::memcmp(Tag.data(), "ID3", 3) != 0) return false;
    const uint8_t version = Tag[3], revision = Tag[4], flags = Tag[5];
    // 2.2: unsynchronisation, compression; 2.3 and 2.4: unsynchronisation, extended
    // header, and (2.4) footer; bits the version does not define.
    const uint8_t refused = version == 2 ? 0xFF : 0xDF;
    if (version < 2 || version > 4 || revision == 0xFF || (flags & refused) || !IsSynchsafe(Tag.data() + 6))
        return false;
    const uint64_t total = 10 + uint64_t{Synchsafe(Tag.data() + 6)};
    if (total > FileSize || total > Tag.size()) return false;
    const size_t header = version == 2 ? 6 : 10, idLength = version == 2 ? 3 : 4;
    for (size_t pos = 10; pos + header <= total && Tag[pos] != 0;) {
        for (size_t i = 0; i < idLength; ++i) {
            const uint8_t c = Tag[pos + i];
            if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
        }
        const uint8_t* size = Tag.data() + pos + idLength;
        if (version == 4 && !IsSynchsafe(size)) return false;
        const uint64_t body = version == 2   ? BigEndian(size, 3)
                              : version == 3 ? BigEndian(size, 4)
                                             : Synchsafe(size);
        if (pos + header + body > total) return false;
        Frames.emplace_back(pos, header + static_cast<size_t>(body));
        pos += header + static_cast<size_t>(body);
    }
    return true;
}

// The field (0..5) whose frame ID is Id in a tag of Version; -1 for other frames.
int FieldOf(const std::string& Id, int Version) {
    for (int f = 0; f < 6; ++f)
        if (Id == Fields[f].Ids[Version - 2] || (Version != 2 && Fields[f].Also && Id == Fields[f].Also) ||
            (Version == 3 && f == 4 && Id == "TDRC"))
            return f;
    return -1;
}

// The new value of field Index as frame content (encoding byte first); nullopt when the field
// is not changed, an empty vector when the change removes it.
std::optional<std::vector<uint8_t>> NewContent(const TId3v2FrameEditor::TChanges& C, int Index) {
    const std::optional<std::u16string>* texts[4] = {&C.Title, &C.Artist, &C.Album, &C.Genre};
    if (Index < 4) {
        if (!*texts[Index]) return std::nullopt;
        const std::u16string& text = **texts[Index];
        if (text.empty()) return std::vector<uint8_t>();
        std::vector<uint8_t> out = {1, 0xFF, 0xFE}; // UTF-16, little-endian after the mark
        for (char16_t c : text) {
            out.push_back(static_cast<uint8_t>(c & 0xFF));
            out.push_back(static_cast<uint8_t>(c >> 8));
        }
        return out;
    }
    const std::optional<unsigned>& number = Index == 4 ? C.Year : C.Track;
    if (!number) return std::nullopt;
    if (*number == 0) return std::vector<uint8_t>();
    const std::string digits = std::to_string(*number);
    std::vector<uint8_t> out = {0}; // ISO-8859-1
    out.insert(out.end(), digits.begin(), digits.end());
    return out;
}

} // namespace

uint64_t TId3v2FrameEditor::TagSize(const uint8_t* Head, size_t Bytes) {
    if (Bytes < 10 || std::memcmp(Head, "ID3", 3) != 0) return 0;
    const uint64_t footer = Head[3] == 4 && (Head[5] & 0x10) ? 10 : 0;
    return 10 + uint64_t{Synchsafe(Head + 6) & 0x0FFFFFFF} + footer;
}

std::optional<TId3v2FrameEditor::TResult>
TId3v2FrameEditor::Rewrite(const std::vector<uint8_t>& Tag, uint64_t FileSize, const TChanges& Changes) {
    uint8_t version = 4, revision = 0, flags = 0;
    uint64_t total = 0;
    std::vector<std::pair<size_t, size_t>> frames; // offset and size, header included
    if (!Tag.empty()) {
        if (!ParseFrames(Tag, FileSize, frames)) return std::nullopt;
        version = Tag[3];
        revision = Tag[4];
        flags = Tag[5];
        total = 10 + uint64_t{Synchsafe(Tag.data() + 6)};
    }

    const int column = version - 2;
    const size_t idLength = version == 2 ? 3 : 4;
    std::vector<uint8_t> body;
    bool written[6] = {};
    auto put = [&](int Field, const std::vector<uint8_t>& Content) {
        const char* id = Fields[Field].Ids[column];
        body.insert(body.end(), id, id + idLength);
        const uint32_t size = static_cast<uint32_t>(Content.size());
        if (version == 2) {
            for (int shift = 16; shift >= 0; shift -= 8)
                body.push_back(static_cast<uint8_t>(size >> shift));
        } else if (version == 3) {
            for (int shift = 24; shift >= 0; shift -= 8)
                body.push_back(static_cast<uint8_t>(size >> shift));
        } else {
            PutSynchsafe(body, size);
        }
        if (version != 2) body.insert(body.end(), {0, 0});
        body.insert(body.end(), Content.begin(), Content.end());
    };
    for (const auto& [offset, size] : frames) {
        const std::string id(Tag.begin() + static_cast<ptrdiff_t>(offset),
                             Tag.begin() + static_cast<ptrdiff_t>(offset + idLength));
        const int field = FieldOf(id, version);
        const std::optional<std::vector<uint8_t>> content =
            field >= 0 ? NewContent(Changes, field) : std::nullopt;
        if (!content) {
            body.insert(body.end(), Tag.begin() + static_cast<ptrdiff_t>(offset),
                        Tag.begin() + static_cast<ptrdiff_t>(offset + size));
            continue;
        }
        // The first frame of a changed field takes its place; duplicates go.
        if (!written[field] && !content->empty()) put(field, *content);
        written[field] = true;
    }
    for (int f = 0; f < 6; ++f) {
        const std::optional<std::vector<uint8_t>> content = NewContent(Changes, f);
        if (!written[f] && content && !content->empty()) put(f, *content);
    }

    const uint64_t oldBody = total > 10 ? total - 10 : 0;
    const uint64_t newBody = !Tag.empty() && body.size() <= oldBody ? oldBody : body.size() + 1024;
    if (newBody >= (uint64_t{1} << 28) || (version == 2 && newBody >= (uint64_t{1} << 24)))
        return std::nullopt;
    body.resize(static_cast<size_t>(newBody), 0);
    TResult result;
    result.OldSize = total;
    result.Tag = {'I', 'D', '3', version, revision, flags};
    PutSynchsafe(result.Tag, static_cast<uint32_t>(newBody));
    result.Tag.insert(result.Tag.end(), body.begin(), body.end());
    return result;
}

std::vector<std::pair<int, std::u16string>> TId3v2FrameEditor::FieldTexts(const std::vector<uint8_t>& Tag) {
    std::vector<std::pair<int, std::u16string>> texts;
    std::vector<std::pair<size_t, size_t>> frames;
    if (!ParseFrames(Tag, Tag.size(), frames)) return texts;
    const int version = Tag[3];
    const size_t header = version == 2 ? 6 : 10, idLength = version == 2 ? 3 : 4;
    for (const auto& [offset, size] : frames) {
        const int field = FieldOf(std::string(Tag.begin() + static_cast<ptrdiff_t>(offset),
                                              Tag.begin() + static_cast<ptrdiff_t>(offset + idLength)),
                                  version);
        if (field < 0 || size <= header) continue;
        const uint8_t* p = Tag.data() + offset + header + 1;
        const size_t n = size - header - 1;
        std::u16string text;
        switch (Tag[offset + header]) {
        case 0:
        case 3: {
            const std::string bytes(reinterpret_cast<const char*>(p), std::find(p, p + n, 0) - p);
            text = Tag[offset + header] == 0 ? TCodePage::ToWide(bytes) : TCodePage::Utf8ToWide(bytes);
            break;
        }
        case 1:
        case 2: {
            bool big = Tag[offset + header] == 2;
            size_t k = 0;
            if (n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) {
                big = p[0] == 0xFE;
                k = 2;
            }
            for (; k + 1 < n; k += 2) {
                const char16_t c = big ? char16_t(p[k] << 8 | p[k + 1]) : char16_t(p[k + 1] << 8 | p[k]);
                if (c == 0) break;
                text.push_back(c);
            }
            break;
        }
        default:
            continue;
        }
        texts.emplace_back(field, text);
    }
    return texts;
}

} // namespace tarvio
