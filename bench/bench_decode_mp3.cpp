// Decode speed of the MP3 input (libmpg123) against `mpg123 -w`, the same library's own
// tool, with `ffmpeg` timed in the same run for information (TDecodeBenchmark.h says how it
// is measured).

#include "bench/TDecodeBenchmark.h"
#include "decoders/wm/TMP3In.h"

using namespace tarvio;

int main(int argc, char** argv) {
    TDecodeBenchmark bench(1.1);
    bench.Add({"mp3",
               [] { return std::make_unique<TMP3In>(); },
               ".mp3",
               "lame --quiet -V 2 {wav} {out}",
               {{"mpg123", "mpg123 -q -w {out} {in}"},
                {"ffmpeg", "ffmpeg -nostdin -v error -y -i {in} -f wav {out}", true}},
               false});
    return bench.Run(argc, argv);
}
