// Vorbis comments as the FLAC decoder reads them: the input is the body of a comment block
// (vendor string, count, length-prefixed "NAME=value" entries), put behind fixed stream
// information in a FLAC stream without audio. The fields the system knows must reach both
// the decoder's comment container and its common tags. (The Ogg Vorbis decoder reads the
// same layout through its library; the vorbis target mutates it inside real files.)

#include <algorithm>
#include <vector>

#include "decoders/flac/TFLACIn.h"
#include "pipeline/TMemoryStream.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace tarvio;

namespace {

// "fLaC", then stream information (last-block flag clear, 34 bytes): blocks of 4096 frames,
// 44100 Hz, 2 channels, 16 bits, length unknown, no signature.
constexpr uint8_t kHead[] = {'f', 'L', 'a', 'C', 0x00, 0x00, 0x00, 0x22, 0x10, 0x00, 0x10, 0x00, 0, 0,
                             0,   0,   0,   0,   0x0A, 0xC4, 0x42, 0xF0, 0,    0,    0,    0,    0, 0,
                             0,   0,   0,   0,   0,    0,    0,    0,    0,    0,    0,    0,    0, 0};
static_assert(sizeof kHead == 4 + 4 + 34);
constexpr uint8_t kCommentBlockLast = 0x84;
constexpr size_t kMaxBlockBytes = 0xFFFFFF;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const size_t body = std::min(Size, kMaxBlockBytes);
    std::vector<uint8_t> flac(std::begin(kHead), std::end(kHead));
    flac.push_back(kCommentBlockLast);
    flac.push_back(static_cast<uint8_t>(body >> 16));
    flac.push_back(static_cast<uint8_t>(body >> 8));
    flac.push_back(static_cast<uint8_t>(body));
    flac.insert(flac.end(), Data, Data + body);

    TMemoryStream stream(std::move(flac));
    TFLACIn decoder;
    decoder.SetStream(&stream);
    if (decoder.Valid()) {
        const TVorbisTags& comments = *decoder.VorbisComments();
        for (int i = 0; i < comments.IdCount(); ++i)
            fuzz::Touch(comments.AsWideString(comments.IdName(i)));
        const TCommonTags& common = *decoder.CommonTags();
        FUZZ_CHECK(common.Title() == comments.Title());
        FUZZ_CHECK(common.Artist() == comments.Artist());
        FUZZ_CHECK(common.Album() == comments.Album());
        FUZZ_CHECK(common.Genre() == comments.Genre());
        FUZZ_CHECK(common.Year() == TCodePage::ToNarrow(comments.Date()));
        FUZZ_CHECK(common.Track() == TCodePage::ToNarrow(comments.Track()));
    }
    decoder.SetStream(nullptr);
    return 0;
}
