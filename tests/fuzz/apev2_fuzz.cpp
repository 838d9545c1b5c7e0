// APEv2 items as the decoders store them: the codec libraries hand out each item's name and
// its value as UTF-8 text, which goes into a TAPEv2Tags and from there into the common tags,
// an ID3v1 block and an ID3v2 tag. The input is a list of zero-terminated names and values.
// (The tag's binary layout is parsed by the codec libraries, under the decoder targets.)

#include <algorithm>
#include <string_view>
#include <vector>

#include "tags/TAPEv2Tags.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"
#include "tags/TId3v1Tags.h"
#include "tags/TId3v2Tags.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace tarvio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    std::string_view input(reinterpret_cast<const char*>(Data), Size);
    TAPEv2Tags tags;
    while (!input.empty()) {
        const size_t nameEnd = std::min(input.find('\0'), input.size());
        const std::string_view name = input.substr(0, nameEnd);
        input.remove_prefix(std::min(nameEnd + 1, input.size()));
        const size_t valueEnd = std::min(input.find('\0'), input.size());
        tags.SetValue(name, TCodePage::Utf8ToWide(input.substr(0, valueEnd)));
        input.remove_prefix(std::min(valueEnd + 1, input.size()));
    }
    for (int i = 0; i < tags.IdCount(); ++i) {
        const std::string name = tags.IdName(i);
        fuzz::Touch(tags.AsString(name));
        fuzz::Keep(static_cast<uint32_t>(tags.AsInteger(name)));
    }
    fuzz::Touch(tags.Year());

    TCommonTags common;
    common.Assign(tags);
    FUZZ_CHECK(common.Title() == tags.Title());
    FUZZ_CHECK(common.Artist() == tags.Artist());
    FUZZ_CHECK(common.Album() == tags.Album());
    FUZZ_CHECK(common.Track() == tags.Track());

    TId3v1Tags id3v1;
    id3v1.Assign(tags);
    fuzz::Touch(id3v1.Genre());
    fuzz::Keep(id3v1.Year() + id3v1.Track());
    static fuzz::TMemFile file;
    TFileHandle& handle = file.Load(nullptr, 0);
    FUZZ_CHECK(id3v1.WriteToFile(handle, false));

    TId3v2Tags id3v2;
    id3v2.Assign(tags);
    id3v2.SetTitle(tags.Title());
    id3v2.SetArtist(tags.Artist());
    for (bool unicode : {false, true}) {
        const std::vector<uint8_t> tag = id3v2.RenderTag(unicode);
        fuzz::Touch(tag.data(), tag.size());
    }
    return 0;
}
