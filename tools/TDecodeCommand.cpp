#include "tools/TDecodeCommand.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "pipeline/TWaveOut.h"
#include "tools/CliError.h"
#include "tools/TErrorText.h"
#include "tools/TFrameRange.h"

namespace tarvio {

namespace {

// One line per kind of damage, in the order of the frames where each was first met.
void ReportDamage(const TDecodeRequest& Request, TAuFileIn& Decoder, int64_t StatedFrames) {
    std::vector<std::pair<TDamageKind, TDamage>> met;
    for (int kind = 0; kind < dkCount; ++kind) {
        const TDamage d = Decoder.Damage(static_cast<TDamageKind>(kind));
        if (d.Count > 0) met.emplace_back(static_cast<TDamageKind>(kind), d);
    }
    std::stable_sort(met.begin(), met.end(),
                     [](const auto& A, const auto& B) { return A.second.FirstFrame < B.second.FirstFrame; });
    for (const auto& [kind, d] : met) {
        std::string text = "frame " + std::to_string(d.FirstFrame) + ": " + TAuFileIn::DamageText(kind);
        // A length cut to the file's end (WAV) states nothing beyond it.
        if (kind == dkCutShort && StatedFrames > d.FirstFrame)
            text += " (the file states " + std::to_string(StatedFrames) + " frames)";
        else if (d.Count > 1)
            text += " (" + std::to_string(d.Count) + " times)";
        PrintError(Request.File, text);
    }
}

} // namespace

int TDecodeCommand::Run(const TDecodeRequest& Request, TOpenedDecoder& Decoder) {
    TAuFileIn& in = *Decoder.Input;
    const int64_t stated = in.TotalSamples();
    TFrameRange range;
    range.SetDecoder(&in);
    range.SetRange(Request.Start, Request.End);
    range.SetStopAtDamage(!Request.KeepGoing);
    TWaveOut wave;
    wave.SetFileName(Request.Out);
    wave.SetInput(&range);
    int status = 0;
    try {
        wave.BlockingRun();
    } catch (const std::exception& e) {
        // The output's own messages name its file: "out.wav: No space left on device".
        if (range.InputFailed())
            PrintError(Request.File, TErrorText::Decoder(e.what()));
        else
            PrintError("", e.what());
        status = 1;
    }
    if (in.DamageCount() == 0) return status;
    ReportDamage(Request, in, stated);
    if (Request.KeepGoing) return status;
    const int64_t first = in.FirstDamageFrame();
    if (range.StoppedAtDamage() && in.Damage(dkCutShort).FirstFrame != first)
        PrintError(Request.File, "stopped at frame " + std::to_string(std::max(first, Request.Start)) +
                                     " (--keep-going decodes past damage)");
    return 1;
}

} // namespace tarvio
