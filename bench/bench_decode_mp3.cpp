// Decode speed of the MP3 input against `ffmpeg` and `mpg123`, the target applying to the
// faster of the two (TDecodeBenchmark.h says how it is measured).

#include "bench/TDecodeBenchmark.h"
#include "decoders/wm/TMP3In.h"

using namespace tarvio;

int main(int argc, char** argv) {
    TDecodeBenchmark bench(1.15);
    bench.Add({"mp3",
               [] { return std::make_unique<TMP3In>(); },
               ".mp3",
               "lame --quiet -V 2 {wav} {out}",
               {{"ffmpeg", "ffmpeg -nostdin -v error -y -i {in} -f wav {out}"},
                {"mpg123", "mpg123 -q -w {out} {in}"}},
               true});
    return bench.Run(argc, argv);
}
