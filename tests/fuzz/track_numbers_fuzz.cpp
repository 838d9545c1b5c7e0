// The first bytes of a file on a stick: the scanner's track number reader walks its ID3v2
// frames, FLAC metadata blocks, Ogg pages, MP4 boxes or APEv2 items.

#include "stages/TTrackNumberReader.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace tarvio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    static fuzz::TMemFile file;
    const TFileHandle& handle = file.Load(Data, Size);
    if (const auto n = TTrackNumberReader::Read(handle.Handle())) {
        FUZZ_CHECK(n->Track >= 0 && n->Disc >= 0);
        fuzz::Keep(static_cast<uint64_t>(n->Track) + static_cast<uint64_t>(n->Disc));
    }
    return 0;
}
