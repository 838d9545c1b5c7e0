#include "tools/TDecoderTable.h"

#include <algorithm>
#include <exception>

#include "tools/TErrorText.h"
#include "tools/TFileCheck.h"

namespace tarvio {

namespace {

std::string OneLine(std::string Text) {
    std::replace_if(
        Text.begin(), Text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return Text;
}

} // namespace

TOpenedDecoder TDecoderTable::Open(const std::string& Path, const TDecoderEntry* Forced, std::string& Error) {
    Error.clear();
    std::vector<const TDecoderEntry*> candidates;
    if (Forced)
        candidates.push_back(Forced);
    else
        candidates = ByExtension(Path);
    // Asked before any decoder opens it: a named pipe would block an open for ever.
    if (const std::string problem = TFileCheck::InputProblem(Path); !problem.empty()) {
        Error = problem;
        return {candidates.empty() ? nullptr : candidates.front(), nullptr};
    }
    if (candidates.empty()) {
        const std::string ext = Extension(Path);
        Error = ext.empty() ? "no decoder for a file without an extension"
                            : "no decoder for \"" + ext + "\" files";
        // --decoder helps only when a decoder takes the content.
        if (const TDecoderEntry* taker = Taker(Path))
            Error += "; its content is " + taker->Name + " (use --decoder " + taker->Name + ")";
        return {};
    }

    std::string names, detail;
    for (const TDecoderEntry* entry : candidates) {
        std::unique_ptr<TAuFileIn> in = entry->Create();
        in->SetFileName(Path);
        // Valid never says why; a format query opens the file the same way and lets the
        // decoder's message (a missing library, an unreadable file) through.
        try {
            (void)in->Channels();
        } catch (const std::exception& e) {
            // Each decoder's own word: the DTS decoder's refusal and the WAV decoder's.
            const std::string why = OneLine(TErrorText::Decoder(e.what()));
            if (detail.find(why) == std::string::npos) detail += (detail.empty() ? "" : "; ") + why;
        } catch (...) {
        }
        if (in->Valid()) return {entry, std::move(in)};
        names += (names.empty() ? "" : " or ") + entry->Name;
    }
    Error = "not a valid " + names + " file";
    if (!detail.empty()) Error += ": " + detail;
    return {candidates.back(), nullptr};
}

} // namespace tarvio
