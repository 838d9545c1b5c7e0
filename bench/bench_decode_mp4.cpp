// Decode speed of the MP4 decoder (AAC, and ALAC through FFmpeg's decoder) and of the raw
// AAC (ADTS) decoder against `ffmpeg -f wav` (target 1.2), and, for information, against
// faad2's own decoder where it is installed: both decode AAC with libfaad, so that ratio
// shows what the pipeline adds (TDecodeBenchmark.h says how it is measured).

#include "bench/TDecodeBenchmark.h"
#include "decoders/mp4/TADTSIn.h"
#include "decoders/mp4/TMP4In.h"

using namespace tarvio;

int main(int argc, char** argv) {
    TDecodeBenchmark bench(1.2);
    bench.Add(
        {"mp4",
         [] { return std::make_unique<TMP4In>(); },
         ".m4a",
         "ffmpeg -v error -y -i {wav} -c:a aac -b:a 160k {out}",
         {{"ffmpeg", "ffmpeg -v error -y -i {in} -f wav {out}"}, {"faad", "faad -q -o {out} {in}", true}}});
    bench.Add({"alac",
               [] { return std::make_unique<TMP4In>(); },
               ".m4a",
               "ffmpeg -v error -y -i {wav} -c:a alac {out}",
               {{"ffmpeg", "ffmpeg -v error -y -i {in} -f wav {out}"}},
               false,
               true});
    bench.Add(
        {"adts",
         [] { return std::make_unique<TADTSIn>(); },
         ".aac",
         "ffmpeg -v error -y -i {wav} -c:a aac -b:a 160k -f adts {out}",
         {{"ffmpeg", "ffmpeg -v error -y -i {in} -f wav {out}"}, {"faad", "faad -q -o {out} {in}", true}}});
    return bench.Run(argc, argv);
}
