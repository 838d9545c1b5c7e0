// ID3v2 tags of versions 2, 3 and 4 at the start of a file: the header check,
// unsynchronisation, extended headers, frame flags and text encodings. A tag that was read
// is then written in front of the same bytes: the file must keep those bytes unchanged
// behind the new tag, and the new tag must read back with the same values.

#include <cstring>
#include <vector>

#include "tags/TCodePage.h"
#include "tags/TId3v2Tags.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace tarvio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    static fuzz::TMemFile file;
    TFileHandle& handle = file.Load(Data, Size);

    const bool present = TId3v2Tags::Presents(handle);
    FUZZ_CHECK(handle.Position() == 0);
    TId3v2Tags tags;
    const bool read = tags.ReadFromFile(handle);
    FUZZ_CHECK(read == present);
    for (int i = 0; i < tags.IdCount(); ++i)
        fuzz::Touch(tags.AsWideString(tags.IdName(i)));
    if (!read) return 0;

    // Written as UTF-8 or as legacy code page text, by the input's size.
    const bool unicode = Size % 2 == 1;
    FUZZ_CHECK(tags.WriteToFile(handle, unicode));
    const int64_t grown = handle.Size();
    FUZZ_CHECK(grown > static_cast<int64_t>(Size));
    const size_t tagLength = static_cast<size_t>(grown) - Size;
    std::vector<uint8_t> behind(Size);
    FUZZ_CHECK(handle.ReadAt(behind.data(), Size, static_cast<int64_t>(tagLength)) == Size);
    FUZZ_CHECK(Size == 0 || std::memcmp(behind.data(), Data, Size) == 0);

    FUZZ_CHECK(handle.Seek(0, TSeekOrigin::soBeginning) == 0);
    TId3v2Tags again;
    FUZZ_CHECK(again.ReadFromFile(handle));
    FUZZ_CHECK(handle.Position() == static_cast<int64_t>(tagLength));
    FUZZ_CHECK(again.IsNew());
    // Each row is written under its four-letter id with the value its property shows (for a
    // version 2 tag, the three-letter key's value).
    for (int row = 0; row < TId3v2Tags::FrameRowCount; ++row) {
        if (row == TId3v2Tags::CommentRow) continue;
        const char* id = TId3v2Tags::Id3v2FrameIds[row][1];
        const char* shown = TId3v2Tags::Id3v2FrameIds[row][tags.IsNew() ? 1 : 0];
        if (unicode) {
            // Unpaired surrogates are written as U+FFFD, so compare the UTF-8 forms.
            FUZZ_CHECK(TCodePage::WideToUtf8(again.AsWideString(id)) ==
                       TCodePage::WideToUtf8(tags.AsWideString(shown)));
        } else {
            FUZZ_CHECK(again.AsString(id) == tags.AsString(shown));
        }
    }
    return 0;
}
