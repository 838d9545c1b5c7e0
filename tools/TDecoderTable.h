#pragma once
// The decoders this build has, by name and by file extension. One table in
// TDecoderTable.cpp lists them; a decoder that lands adds its line there.
//
// Choice by extension follows the player: the extension is the part of the name from its
// last dot after the last folder separator, dot included, compared in lower case. Several
// decoders may claim one extension (".wav": DTS first, then WAV; ".vob": AC-3, then DTS);
// they are tried in table order and the first that accepts the file's content wins.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/TAuFileIn.h"

namespace tarvio {

// A fact of one format that `info` shows after the common ones: one value, or a list (of
// flags, say), which JSON shows as an array of strings.
struct TDecoderDetail {
    std::string Name; // "mode"
    std::vector<std::string> Values;
    bool List = false;
};

struct TDecoderEntry {
    std::string Name;                    // "flac": what --decoder takes and info shows
    std::string ClassName;               // "TFLACIn"
    std::vector<std::string> Extensions; // lower case, dot included; may be empty
    std::function<std::unique_ptr<TAuFileIn>()> Create;
    // Bits per second as the decoder reports it, or 0 when it has none. Called on an
    // input whose file is open (after Valid).
    std::function<int64_t(TAuFileIn&)> BitRate;
    // The format's own facts, read from an open input; nullptr when it has none.
    std::function<std::vector<TDecoderDetail>(TAuFileIn&)> Details;
};

// A decoder that accepted a file: its input is open (Valid returned true).
struct TOpenedDecoder {
    const TDecoderEntry* Entry = nullptr;
    std::unique_ptr<TAuFileIn> Input;
};

class TDecoderTable {
public:
    static const std::vector<TDecoderEntry>& Entries();
    // Nullptr when no decoder has that name (exact, lower case).
    static const TDecoderEntry* ByName(const std::string& Name);
    // Every decoder claiming the extension of Path, in table order; empty when none.
    static std::vector<const TDecoderEntry*> ByExtension(const std::string& Path);
    // The extension of Path in lower case, dot included; empty when it has none.
    static std::string Extension(const std::string& Path);

    // Opens Path with Forced (when not null) or with the decoders its extension selects.
    // On failure Input is empty, Entry is the last decoder tried (null when none was) and
    // Error holds one line saying why: the file is missing, empty or no regular file, no
    // decoder for the extension (with the decoder that takes its content, if one does),
    // or no decoder accepted it (with the decoder's own message where it gave one).
    static TOpenedDecoder Open(const std::string& Path, const TDecoderEntry* Forced, std::string& Error);
    // The first decoder of the table whose Valid accepts Path's content, or nullptr.
    static const TDecoderEntry* Taker(const std::string& Path);
};

} // namespace tarvio
