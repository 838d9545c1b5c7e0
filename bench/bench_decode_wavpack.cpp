// Decode speed of the WavPack decoder against `wvunpack` and `ffmpeg`; the output is
// checked against the source (TDecodeBenchmark.h says how it is measured).

#include "bench/TDecodeBenchmark.h"
#include "decoders/wavpack/TWVIn.h"

using namespace tarvio;

int main(int argc, char** argv) {
    TDecodeBenchmark bench(1.15);
    bench.Add({"wavpack",
               [] { return std::make_unique<TWVIn>(); },
               ".wv",
               "wavpack -q -y {wav} -o {out}",
               {{"wvunpack", "wvunpack -q -y {in} -o {out}"},
                {"ffmpeg", "ffmpeg -v error -y -i {in} -f wav {out}"}},
               false,
               true});
    return bench.Run(argc, argv);
}
