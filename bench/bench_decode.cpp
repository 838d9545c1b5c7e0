// Decode speed of the FLAC and Ogg Vorbis decoders against `flac -d` and `oggdec`
// (TDecodeBenchmark.h says how it is measured).

#include "bench/TDecodeBenchmark.h"
#include "decoders/flac/TFLACIn.h"
#include "decoders/vorbis/TVorbisIn.h"

using namespace tarvio;

int main(int argc, char** argv) {
    TDecodeBenchmark bench(1.15);
    bench.Add({"flac",
               [] { return std::make_unique<TFLACIn>(); },
               ".flac",
               "flac -s -f -o {out} {wav}",
               {{"flac -d", "flac -s -d -f -o {out} {in}"}},
               false,
               true});
    bench.Add({"ogg",
               [] { return std::make_unique<TVorbisIn>(); },
               ".ogg",
               "oggenc -Q -q 4 -o {out} {wav}",
               {{"oggdec", "oggdec -Q -o {out} {in}"}}});
    return bench.Run(argc, argv);
}
