#pragma once
// The decoders this build has, by name and by file extension: the one table that the player
// and tarvio-cli choose decoders from. It is in TDecoderRegistry.cpp; a decoder that lands
// adds its line there, and the player plays it with no change of its own.
//
// The extension is the part of the name from its last dot after the last folder separator,
// dot included, compared in lower case. Several decoders may claim one extension (".wav":
// DTS first, then WAV; ".vob": AC-3, then DTS); they are tried in table order and the first
// whose Valid accepts the file's content wins. Everything here is read only after the first
// call of Entries, so any thread may call it.

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
    // A new input with no owner, its properties at their defaults.
    std::function<std::unique_ptr<TAuFileIn>()> Create;
    // Bits per second as the decoder reports it, or 0 when it has none. Called on an
    // input whose file is open (after Valid).
    std::function<int64_t(TAuFileIn&)> BitRate;
    // The format's own facts, read from an open input; nullptr when it has none.
    std::function<std::vector<TDecoderDetail>(TAuFileIn&)> Details;
};

class TDecoderRegistry {
public:
    static const std::vector<TDecoderEntry>& Entries();
    // Nullptr when no decoder has that name (exact, lower case).
    static const TDecoderEntry* ByName(const std::string& Name);
    // Nullptr when no decoder has that class name ("TWaveIn").
    static const TDecoderEntry* ByClassName(const std::string& ClassName);
    // Every decoder claiming the extension of Path, in table order; empty when none.
    static std::vector<const TDecoderEntry*> ByExtension(const std::string& Path);
    // The extension of Path in lower case, dot included; empty when it has none.
    static std::string Extension(const std::string& Path);
    // Every extension of the table once, in table order.
    static std::vector<std::string> Extensions();

    // The first decoder of the table whose Valid accepts Path's content, or nullptr.
    static const TDecoderEntry* Taker(const std::string& Path);
};

} // namespace tarvio
