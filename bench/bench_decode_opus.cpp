// Decode speed of the Opus decoder against `opusdec` (TDecodeBenchmark.h says how it is
// measured), with ffmpeg's decoder of the same file for information.

#include "bench/TDecodeBenchmark.h"
#include "decoders/opus/TOpusIn.h"

using namespace tarvio;

int main(int argc, char** argv) {
    TDecodeBenchmark bench(1.1);
    bench.Add({"opus",
               [] { return std::make_unique<TOpusIn>(); },
               ".opus",
               "opusenc --quiet --bitrate 128 {wav} {out}",
               {{"opusdec", "opusdec --quiet --rate 48000 --no-dither {in} {out}"},
                {"ffmpeg", "ffmpeg -nostdin -v error -y -i {in} -f wav {out}", true}}});
    return bench.Run(argc, argv);
}
