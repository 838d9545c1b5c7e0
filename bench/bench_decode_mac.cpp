// Decode speed of the Monkey's Audio decoder (TMACIn over libMACDll.so) at the normal and
// extra high levels, against `ffmpeg` on one thread; the output is checked against the
// source (TDecodeBenchmark.h says how it is measured).

#include "bench/TDecodeBenchmark.h"
#include "decoders/mac/TMACIn.h"

using namespace tarvio;

int main(int argc, char** argv) {
    TDecodeBenchmark bench(1.15);
    for (const auto& [name, level] : {std::pair{"ape-normal", "c2"}, std::pair{"ape-xhigh", "c4"}})
        bench.Add({name,
                   [] { return std::make_unique<TMACIn>(); },
                   ".ape",
                   std::string("jmac ") + level + " {wav} {out} >/dev/null",
                   {{"ffmpeg", "ffmpeg -v error -nostdin -threads 1 -y -i {in} -f wav {out}"}},
                   false,
                   true});
    return bench.Run(argc, argv);
}
