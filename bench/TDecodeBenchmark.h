#pragma once
// Decode speed of decoders against their reference tools.
//
// For each case, a 10-minute 44.1 kHz stereo test signal is made with sox and encoded by the
// case's command, then whole-process decodes of that file into a WAV file are timed: this
// program decoding through the pipeline (the decoder to TWaveOut) against each reference
// tool on the same file, alternately, in the same run, best of three rounds. It prints the
// CPU-time ratio against each reference, or against the faster one (wall-clock ratios for
// information), and the decoder's real-time factor (seconds of audio per CPU second of
// decoding alone, output discarded).
//
//   PROGRAM                        the benchmark
//   PROGRAM --decode CASE IN OUT   one pipeline decode (the benchmark runs it as a process)

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/TAuFileIn.h"

namespace tarvio {

class TDecodeBenchmark {
public:
    // Shell command templates: {wav} is the test signal, {in} the encoded file, {out} the
    // file a command writes.
    struct TReference {
        std::string Name;    // "flac -d"
        std::string Command; // "flac -s -d -f -o {out} {in}"
        // Shown for information only, without the target, and skipped when its program is
        // not installed.
        bool Informative = false;
    };
    struct TCase {
        std::string Name; // "flac", printed and given to --decode
        std::function<std::unique_ptr<TAuFileIn>()> Create;
        std::string Extension; // of the encoded file, ".flac"
        std::string Encode;    // makes {out} from {wav}
        std::vector<TReference> References;
        bool AgainstFaster = false; // the target applies to the faster reference only
        bool Lossless = false;      // the pipeline's output must be the source's samples
    };

    // Target: the largest CPU-time ratio the decoders should reach.
    explicit TDecodeBenchmark(double Target) : FTarget(Target) {}
    void Add(TCase Case) { FCases.push_back(std::move(Case)); }
    // Runs the benchmark (or one pipeline decode for --decode); returns the exit status.
    int Run(int Argc, char** Argv) const;

private:
    int Decode(const std::string& Case, const std::string& In, const std::string& Out) const;
    bool Measure(const TCase& Case, const std::string& Dir, const std::string& Self) const;
    double RealTimeFactor(const TCase& Case, const std::string& In) const;

    double FTarget;
    std::vector<TCase> FCases;
};

} // namespace tarvio
