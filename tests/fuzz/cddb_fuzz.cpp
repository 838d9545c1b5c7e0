// Disc database answers: the bytes decoded as protocol levels 5 and 6, parsed as a query
// answer (albums) and as a read answer (an entry), and each album line made into the
// address of its read request.

#include <cstring>
#include <string>
#include <vector>

#include "cd/TCDDBInfo.h"
#include "cd/TCDDBQuery.h"
#include "pipeline/TMemoryStream.h"
#include "tags/TCodePage.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace tarvio;

namespace {

bool ValidUtf8(const std::string& Text) {
    return TCodePage::WideToUtf8(TCodePage::Utf8ToWide(Text)) == Text;
}

// Nothing in an address may end the query early or add a parameter of its own.
bool SafeAddress(const std::string& Address) {
    for (const char c : Address)
        if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7F || c == '#')
            return false;
    size_t parameters = 0;
    for (size_t at = 0; (at = Address.find('&', at)) != std::string::npos; ++at)
        ++parameters;
    return parameters == 2; // hello and proto
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    TMemoryStream stream(std::vector<uint8_t>(Data, Data + Size));
    std::string bytes(Size, '\0');
    FUZZ_CHECK(stream.Read(bytes.data(), static_cast<int32_t>(Size)) == static_cast<int32_t>(Size));

    TCDDBInfo info;
    info.SetServer("http://cddb.invalid");
    TCDDBQuery& query = info.Query();
    for (const int32_t level : {5, 6}) {
        const std::string text = TCDDBQuery::DecodeText(bytes, level);
        FUZZ_CHECK(ValidUtf8(text));

        const int32_t result = query.ParseAlbums(text);
        FUZZ_CHECK(result == -2 || (result >= 0 && result <= 999));
        for (const std::string& album : query.AlbumStr) {
            FUZZ_CHECK(!album.empty() && album.find_first_of("\r\n") == std::string::npos);
            FUZZ_CHECK(SafeAddress(query.RequestAddress("read", album)));
        }

        const int32_t code = query.ParseEntry(text);
        const TCDDBAlbum& a = query.AlbumRec;
        FUZZ_CHECK(code >= 0 && code <= 999);
        FUZZ_CHECK(a.TrackCount >= 0 && a.TrackCount <= 99);
        if (code != 210) FUZZ_CHECK(a.TrackCount == 0 && a.Album.empty());
        const auto tracks = static_cast<size_t>(a.TrackCount);
        FUZZ_CHECK(a.Artist.size() == tracks && a.Title.size() == tracks && a.TrackExt.size() == tracks);
        for (size_t t = 0; t < tracks; ++t) {
            fuzz::Touch(a.Artist[t]);
            fuzz::Touch(a.Title[t]);
            fuzz::Touch(a.TrackExt[t]);
        }
        for (const std::string* s :
             {&a.Album, &a.AlbumArtist, &a.Year, &a.Genre, &a.DiscExt, &a.Generated, &a.DiscLength})
            fuzz::Touch(*s);
    }
    return 0;
}
