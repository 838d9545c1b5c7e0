// The wave converter and the audio compression layer under it on arbitrary bytes: a WAV
// file loaded, its PCM format suggested, converted whole and saved; then the same data
// converted piece by piece.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoders/wav/MSAcm.h"
#include "decoders/wav/TWaveConverter.h"
#include "pipeline/TMemoryStream.h"

using namespace tarvio;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    TMemoryStream file(std::vector<uint8_t>(Data, Data + Size));
    TWaveConverter converter;
    if (converter.LoadStream(file) != 0) return 0;
    const std::vector<uint8_t> source = converter.Data();
    converter.NewFormat.Format.wFormatTag = WAVE_FORMAT_PCM;
    if (acmFormatSuggest(nullptr, &converter.CurrentFormat.Format, &converter.NewFormat.Format,
                         TACMWaveFormat::Size, ACM_FORMATSUGGESTF_WFORMATTAG) != MMSYSERR_NOERROR)
        return 0;
    const TACMWaveFormat from = converter.CurrentFormat;

    if (converter.Convert() == 0) {
        TMemoryStream saved;
        converter.SaveWavToStream(saved);
    }

    TWaveConverter pieces;
    pieces.CurrentFormat = from;
    pieces.NewFormat = converter.NewFormat;
    if (pieces.OpenConversion() != 0) return 0;
    std::vector<uint8_t> out(4096);
    uint32_t used = 0;
    for (size_t at = 0; at < source.size(); at += 1000) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(1000, source.size() - at));
        pieces.ConvertBlock(source.data() + at, n, false, out.data(), static_cast<uint32_t>(out.size()),
                            used);
        while (used == out.size())
            pieces.ConvertBlock(nullptr, 0, false, out.data(), static_cast<uint32_t>(out.size()), used);
    }
    do {
        pieces.ConvertBlock(nullptr, 0, true, out.data(), static_cast<uint32_t>(out.size()), used);
    } while (used > 0);
    return 0;
}
