// ID3v1 and ID3v1.1 blocks at the end of a file. A block that was read is then appended
// again: it must read back with the same values.

#include "tags/TId3v1Tags.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace tarvio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    static fuzz::TMemFile file;
    TFileHandle& handle = file.Load(Data, Size);

    const bool present = TId3v1Tags::Presents(handle);
    FUZZ_CHECK(handle.Position() == 0);
    TId3v1Tags tags;
    const bool read = tags.ReadFromFile(handle);
    FUZZ_CHECK(read == present);
    fuzz::Touch(tags.Title());
    fuzz::Touch(tags.Artist());
    fuzz::Touch(tags.Album());
    fuzz::Touch(tags.Comment());
    fuzz::Touch(tags.Genre());
    if (!read) return 0;
    FUZZ_CHECK(handle.Position() == static_cast<int64_t>(Size));

    // The genre's name selects the same genre again.
    const TId3v1TagsGenreId genre = tags.GenreId();
    tags.SetGenre(tags.Genre());
    FUZZ_CHECK(tags.GenreId() == genre);

    FUZZ_CHECK(tags.WriteToFile(handle, false));
    FUZZ_CHECK(handle.Size() == static_cast<int64_t>(Size) + TId3v1Tags::BlockSize);
    TId3v1Tags again;
    FUZZ_CHECK(again.ReadFromFile(handle));
    FUZZ_CHECK(again.Title() == tags.Title());
    FUZZ_CHECK(again.Artist() == tags.Artist());
    FUZZ_CHECK(again.Album() == tags.Album());
    FUZZ_CHECK(again.Comment() == tags.Comment());
    FUZZ_CHECK(again.Track() == tags.Track());
    FUZZ_CHECK(again.GenreId() == tags.GenreId());
    // The year field holds four digits; a year read from a signed text such as "-123"
    // does not fit and is cut.
    if (tags.Year() < 10000) FUZZ_CHECK(again.Year() == tags.Year());
    return 0;
}
