#include "tags/TTagConflicts.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <memory>

#include "tags/TCodePage.h"
#include "tags/TFileHandle.h"
#include "tags/TFlacMetadata.h"
#include "tags/TId3v1Tags.h"
#include "tags/TId3v2FrameEditor.h"

namespace tarvio {

namespace {

const char* const FieldNames[6] = {"title", "artist", "album", "genre", "year", "track"};
// Vorbis comment names of the fields, upper case.
const char* const CommentNames[6] = {"TITLE", "ARTIST", "ALBUM", "GENRE", "DATE", "TRACKNUMBER"};

struct TValue {
    std::u16string Text;
    std::string Where;
};

// The ID3v1 text a value would become: legacy code page bytes cut to Length, trimmed.
std::u16string Truncated(const std::u16string& Text, size_t Length) {
    std::string narrow = TCodePage::ToNarrow(Text).substr(0, Length);
    while (!narrow.empty() && static_cast<unsigned char>(narrow.back()) <= ' ')
        narrow.pop_back();
    return TCodePage::ToWide(narrow);
}

std::u16string Upper(std::u16string Text) {
    for (char16_t& c : Text)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return Text;
}

std::string Line(int Field, const std::vector<TValue>& Values) {
    std::string line = std::string(FieldNames[Field]) + ":";
    for (size_t i = 0; i < Values.size(); ++i)
        line += std::string(i ? ", \"" : " \"") + TCodePage::WideToUtf8(Values[i].Text) + "\" (" +
                Values[i].Where + ")";
    return line;
}

// The closer of a descriptor.
struct TFdCloser {
    int Fd;
    ~TFdCloser() {
        if (Fd >= 0) ::close(Fd);
    }
};

std::vector<uint8_t> ReadHead(TFileHandle& File, uint64_t Size) {
    std::vector<uint8_t> bytes(static_cast<size_t>(Size));
    if (File.ReadAt(bytes.data(), bytes.size(), 0) != bytes.size()) bytes.clear();
    return bytes;
}

} // namespace

std::vector<std::string> TTagConflicts::Find(const std::string& Path) {
    TFdCloser fd{::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    TFileHandle file(fd.Fd);
    const int64_t fileSize = file.Size();
    std::vector<std::string> lines;
    if (!file.Valid() || fileSize <= 0) return lines;
    std::array<std::vector<TValue>, 6> values;

    // ID3v2 frames, in tag order.
    uint8_t head[10] = {};
    const uint64_t tagSize = TId3v2FrameEditor::TagSize(head, file.ReadAt(head, sizeof head, 0));
    if (tagSize > 0 && tagSize <= TId3v2FrameEditor::MaxTagSize && tagSize <= static_cast<uint64_t>(fileSize))
        for (const auto& [field, text] : TId3v2FrameEditor::FieldTexts(ReadHead(file, tagSize)))
            values[field].push_back({text, "ID3v2"});

    // Vorbis comments of a FLAC file, block by block.
    const uint64_t metadataSize = TFlacMetadata::Size([&](uint8_t* Buffer, size_t Count, uint64_t Offset) {
        return file.ReadAt(Buffer, Count, static_cast<int64_t>(Offset));
    });
    if (metadataSize > 0 && metadataSize <= TId3v2FrameEditor::MaxTagSize) {
        const auto blocks = TFlacMetadata::Comments(ReadHead(file, metadataSize));
        for (size_t b = 0; b < blocks.size(); ++b)
            for (const std::string& comment : blocks[b]) {
                const size_t eq = comment.find('=');
                const std::u16string name = Upper(TCodePage::Utf8ToWide(comment.substr(0, eq)));
                for (int f = 0; f < 6; ++f)
                    if (eq != std::string::npos && name == TCodePage::Utf8ToWide(CommentNames[f]))
                        values[f].push_back({TCodePage::Utf8ToWide(comment.substr(eq + 1)),
                                             blocks.size() == 1
                                                 ? std::string("Vorbis comment")
                                                 : "Vorbis comment block " + std::to_string(b + 1)});
            }
    }

    // Duplicates that differ.
    for (int f = 0; f < 6; ++f) {
        std::vector<TValue>& v = values[f];
        const bool differ =
            std::any_of(v.begin(), v.end(), [&](const TValue& x) { return x.Text != v.front().Text; });
        if (v.size() > 1 && differ) lines.push_back(Line(f, v));
    }

    // ID3v1 against the first ID3v2 value, beyond what its fields cut off.
    TId3v1Tags id3v1;
    if (file.Seek(0, TSeekOrigin::soBeginning) >= 0 && id3v1.ReadFromFile(file)) {
        const std::u16string v1[6] = {
            TCodePage::ToWide(id3v1.Title()),
            TCodePage::ToWide(id3v1.Artist()),
            TCodePage::ToWide(id3v1.Album()),
            u"",
            id3v1.Year() ? TCodePage::Utf8ToWide(std::to_string(id3v1.Year())) : u"",
            id3v1.Track() ? TCodePage::Utf8ToWide(std::to_string(id3v1.Track())) : u""};
        for (int f = 0; f < 6; ++f) {
            if (v1[f].empty() || values[f].empty()) continue;
            std::u16string other = values[f].front().Text;
            if (f < 3) other = Truncated(other, 30);
            if (f == 4) other = other.substr(0, 4);
            if (f == 5) {
                other = other.substr(0, other.find(u'/'));
                other.erase(0, std::min(other.find_first_not_of(u'0'), other.size() - 1));
            }
            if (other != v1[f]) lines.push_back(Line(f, {values[f].front(), {v1[f], "ID3v1"}}));
        }
    }
    return lines;
}

} // namespace tarvio
