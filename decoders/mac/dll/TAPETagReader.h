#pragma once
// Finds the tag of a Monkey's Audio file for GetID3Tag: the ID3v1 tag in the last 128
// bytes, or else an APEv2 tag at the end of the file, whose UTF-8 items are converted to
// the legacy code page and cut to the ID3v1 field widths.

#include "decoders/mac/dll/MACDll.h"
#include "decoders/mac/dll/TAPESource.h"

namespace tarvio::mac {

class TAPETagReader {
public:
    // Fills Tag (zeroed first); false when the file has neither tag or cannot be read.
    static bool Read(TAPESource& Source, ID3_TAG& Tag);

private:
    static bool ReadId3v1(TAPESource& Source, int64_t Size, ID3_TAG& Tag);
    static bool ReadApev2(TAPESource& Source, int64_t Size, ID3_TAG& Tag);
};

} // namespace tarvio::mac
