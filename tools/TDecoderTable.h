#pragma once
// tarvio-cli's view of the decoder registry: the registry's look-ups, and opening a file
// with a message that says why no decoder took it.

#include <memory>
#include <string>

#include "decoders/TDecoderRegistry.h"

namespace tarvio {

// A decoder that accepted a file: its input is open (Valid returned true).
struct TOpenedDecoder {
    const TDecoderEntry* Entry = nullptr;
    std::unique_ptr<TAuFileIn> Input;
};

class TDecoderTable : public TDecoderRegistry {
public:
    // Opens Path with Forced (when not null) or with the decoders its extension selects.
    // On failure Input is empty, Entry is the last decoder tried (null when none was) and
    // Error holds one line saying why: the file is missing, empty or no regular file, no
    // decoder for the extension (with the decoder that takes its content, if one does),
    // or no decoder accepted it (with the decoder's own message where it gave one).
    static TOpenedDecoder Open(const std::string& Path, const TDecoderEntry* Forced, std::string& Error);
};

} // namespace tarvio
