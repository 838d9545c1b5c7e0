#include "decoders/TDecoderRegistry.h"

#include <algorithm>
#include <cstdio>

// Each decoder library that this build has defines its TARVIO_HAVE_ macro (tarvio_link_decoders).
#if TARVIO_HAVE_AC3
#include "decoders/ac3/TAC3In.h"
#endif
#if TARVIO_HAVE_DTS
#include "decoders/dts/TDTSIn.h"
#endif
#if TARVIO_HAVE_WAV
#include "decoders/wav/TWaveIn.h"
#endif
#if TARVIO_HAVE_MP3
#include "decoders/wm/TMP3In.h"
#endif
#if TARVIO_HAVE_VORBIS
#include "decoders/vorbis/TVorbisIn.h"
#endif
#if TARVIO_HAVE_FLAC
#include "decoders/flac/TFLACIn.h"
#endif
#if TARVIO_HAVE_MAC
#include "decoders/mac/TMACIn.h"
#endif
#if TARVIO_HAVE_WAVPACK
#include "decoders/wavpack/TWVIn.h"
#endif
#if TARVIO_HAVE_MP4
#include "decoders/mp4/TADTSIn.h"
#include "decoders/mp4/TMP4In.h"
#endif
#if TARVIO_HAVE_OPUS
#include "decoders/opus/TOpusIn.h"
#endif

namespace tarvio {

namespace {

// A table line: the decoder class T, its names and extensions, and how to read its bit
// rate in bits per second (nullptr when it has none).
template <class T>
TDecoderEntry Entry(std::string Name, std::string ClassName, std::vector<std::string> Extensions,
                    int64_t (*BitRate)(T&) = nullptr) {
    TDecoderEntry e;
    e.Name = std::move(Name);
    e.ClassName = std::move(ClassName);
    e.Extensions = std::move(Extensions);
    e.Create = [] { return std::unique_ptr<TAuFileIn>(std::make_unique<T>()); };
    if (BitRate) e.BitRate = [BitRate](TAuFileIn& In) { return BitRate(static_cast<T&>(In)); };
    return e;
}

#if TARVIO_HAVE_WAV
// The WAVE format tag and the kind of data the decoder found, the codec of converted data,
// and the container when it is not RIFF.
std::vector<TDecoderDetail> WaveDetails(TAuFileIn& In) {
    auto& wave = static_cast<TWaveIn&>(In);
    char tag[8];
    std::snprintf(tag, sizeof tag, "0x%04X", unsigned{wave.FormatTag()});
    std::vector<TDecoderDetail> details = {{"format_tag", {tag}},
                                           {"wav_type", {WavTypeName(wave.WavType())}}};
    if (const char* codec = wave.CodecName()) details.push_back({"codec", {codec}});
    if (const TWavContainer container = wave.Container(); container != wcRIFF)
        details.push_back({"container", {container == wcRF64 ? "RF64" : "BW64"}});
    return details;
}
#endif

#if TARVIO_HAVE_FLAC
// The stream's own depth, which BitsPerSample rounds up to a whole byte.
std::vector<TDecoderDetail> FlacDetails(TAuFileIn& In) {
    return {{"stream_bits", {std::to_string(static_cast<TFLACIn&>(In).StreamBitsPerSample())}}};
}
#endif

#if TARVIO_HAVE_MP3
// Whether the bit rate varies, the library that decodes, and for MPEG audio its layer.
std::vector<TDecoderDetail> VbrDetails(TAuFileIn& In) {
    auto& wm = static_cast<TWMIn&>(In);
    std::vector<TDecoderDetail> details = {{"vbr", {wm.IsVBR() ? "yes" : "no"}, false},
                                           {"library", {wm.DecoderLibrary()}, false}};
    if (const int layer = wm.MpegLayer(); layer > 0)
        details.push_back({"layer", {std::to_string(layer)}, false});
    return details;
}
#endif

#if TARVIO_HAVE_WAVPACK
// The mode flags of a WavPack file, by name.
std::vector<TDecoderDetail> WavpackDetails(TAuFileIn& In) {
    static const std::pair<TwvModeFlag, const char*> names[] = {
        {wvmfWVC, "wvc"},     {wvmfLossless, "lossless"},  {wvmfHybrid, "hybrid"},
        {wvmfFloat, "float"}, {wvmfValidTag, "valid_tag"}, {wvmfHigh, "high"},
        {wvmfFast, "fast"},   {wvmfExtra, "extra"},        {wvmfAPETag, "ape_tag"},
        {wvmfSFX, "sfx"},     {wvmfVeryHigh, "very_high"}, {wvmfMD5, "md5"}};
    const TwvModeFlags mode = static_cast<TWVIn&>(In).Mode();
    TDecoderDetail d{"mode", {}, true};
    for (const auto& [flag, name] : names)
        if (mode.Contains(flag)) d.Values.push_back(name);
    return {d};
}
#endif

#if TARVIO_HAVE_MP4
// The codec of the track; for AAC its profile and whether SBR and parametric stereo are in use.
std::vector<TDecoderDetail> Mp4Details(TAuFileIn& In) {
    auto& mp4 = static_cast<TMP4In&>(In);
    auto yesNo = [](bool Value) { return std::vector<std::string>{Value ? "yes" : "no"}; };
    const std::string codec = mp4.Codec();
    if (codec != "AAC") return {{"codec", {codec}}};
    return {
        {"codec", {codec}}, {"profile", {mp4.Profile()}}, {"sbr", yesNo(mp4.SBR())}, {"ps", yesNo(mp4.PS())}};
}
#endif

#if TARVIO_HAVE_MAC
// The compression level by name and as its number (1000 fast to 5000 insane).
std::vector<TDecoderDetail> MacDetails(TAuFileIn& In) {
    const int32_t level = static_cast<TMACIn&>(In).CompressionLevel();
    static const char* const names[] = {"fast", "normal", "high", "extra high", "insane"};
    const bool known = level % 1000 == 0 && level >= 1000 && level <= 5000;
    return {TDecoderDetail{"compression", {known ? names[level / 1000 - 1] : "unknown"}, false},
            TDecoderDetail{"compression_level", {std::to_string(level)}, false}};
}
#endif

#if TARVIO_HAVE_OPUS
// The header's channel mapping family and output gain, and the R128 gains of the comments
// (in dB, as written; not applied unless asked for).
std::vector<TDecoderDetail> OpusDetails(TAuFileIn& In) {
    auto& opus = static_cast<TOpusIn&>(In);
    auto db = [](double Value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.2f dB", Value);
        return std::vector<std::string>{text};
    };
    std::vector<TDecoderDetail> details = {{"codec", {"opus"}},
                                           {"channel_mapping", {std::to_string(opus.MappingFamily())}},
                                           {"output_gain", db(opus.OutputGainDb())},
                                           {"input_rate", {std::to_string(opus.InputSampleRate())}}};
    if (const auto gain = opus.R128TrackGainDb()) details.push_back({"r128_track", db(*gain)});
    if (const auto gain = opus.R128AlbumGainDb()) details.push_back({"r128_album", db(*gain)});
    return details;
}
#endif

} // namespace

const std::vector<TDecoderEntry>& TDecoderRegistry::Entries() {
    // Order matters only among decoders sharing an extension: the first to accept wins.
    static const std::vector<TDecoderEntry> table = {
#if TARVIO_HAVE_AC3
        // DVD audio is AC-3 first of all: a ".vob" file tries it before DTS.
        Entry<TAC3In>("ac3", "TAC3In", {".ac3", ".vob"}, [](TAC3In& In) { return int64_t{In.BitRate()}; }),
#endif
#if TARVIO_HAVE_DTS
        Entry<TDTSIn>("dts", "TDTSIn", {".wav", ".dts", ".vob"},
                      [](TDTSIn& In) { return int64_t{In.BitRate()}; }),
#endif
#if TARVIO_HAVE_WAV
        [] {
            TDecoderEntry e = Entry<TWaveIn>("wav", "TWaveIn", {".wav"});
            e.Details = WaveDetails;
            return e;
        }(),
#endif
#if TARVIO_HAVE_MP3
        [] {
            TDecoderEntry e =
                // Layer II and Layer I files too: the same decoder.
                Entry<TMP3In>("mp3", "TMP3In", {".mp3", ".mp2", ".mp1"},
                              [](TMP3In& In) { return int64_t{In.Bitrate()}; });
            e.Details = VbrDetails;
            return e;
        }(),
        [] {
            TDecoderEntry e = Entry<TWMIn>("wma", "TWMIn", {".wma", ".asf"},
                                           [](TWMIn& In) { return int64_t{In.Bitrate()}; });
            e.Details = VbrDetails;
            return e;
        }(),
#endif
#if TARVIO_HAVE_VORBIS
        Entry<TVorbisIn>("vorbis", "TVorbisIn", {".ogg"},
                         [](TVorbisIn& In) { return int64_t{std::max(In.NominalBitrate(), 0)}; }),
#endif
#if TARVIO_HAVE_FLAC
        [] {
            TDecoderEntry e = Entry<TFLACIn>("flac", "TFLACIn", {".flac"});
            e.Details = FlacDetails;
            return e;
        }(),
#endif
#if TARVIO_HAVE_MAC
        [] {
            // The library reports kilobits per second.
            TDecoderEntry e = Entry<TMACIn>("mac", "TMACIn", {".ape"},
                                            [](TMACIn& In) { return int64_t{In.AverageBitrate()} * 1000; });
            e.Details = MacDetails;
            return e;
        }(),
#endif
#if TARVIO_HAVE_WAVPACK
        [] {
            TDecoderEntry e = Entry<TWVIn>("wavpack", "TWVIn", {".wv"});
            e.Details = WavpackDetails;
            return e;
        }(),
#endif
#if TARVIO_HAVE_MP4
        // ".aac" is raw ADTS frames first of all; an MP4 file named so goes on to TMP4In.
        [] {
            TDecoderEntry e = Entry<TADTSIn>("adts", "TADTSIn", {".aac"},
                                             [](TADTSIn& In) { return int64_t{In.Bitrate()}; });
            e.Details = [](TAuFileIn&) { return std::vector<TDecoderDetail>{{"codec", {"AAC"}}}; };
            return e;
        }(),
        [] {
            TDecoderEntry e = Entry<TMP4In>("mp4", "TMP4In", {".m4a", ".mp4", ".aac"},
                                            [](TMP4In& In) { return int64_t{In.Bitrate()}; });
            e.Details = Mp4Details;
            return e;
        }(),
#endif
#if TARVIO_HAVE_OPUS
        [] {
            TDecoderEntry e = Entry<TOpusIn>("opus", "TOpusIn", {".opus"},
                                             [](TOpusIn& In) { return int64_t{In.Bitrate()}; });
            e.Details = OpusDetails;
            return e;
        }(),
#endif
    };
    return table;
}

const TDecoderEntry* TDecoderRegistry::ByName(const std::string& Name) {
    for (const TDecoderEntry& e : Entries())
        if (e.Name == Name) return &e;
    return nullptr;
}

const TDecoderEntry* TDecoderRegistry::ByClassName(const std::string& ClassName) {
    for (const TDecoderEntry& e : Entries())
        if (e.ClassName == ClassName) return &e;
    return nullptr;
}

std::vector<std::string> TDecoderRegistry::Extensions() {
    std::vector<std::string> out;
    for (const TDecoderEntry& e : Entries())
        for (const std::string& ext : e.Extensions)
            if (std::find(out.begin(), out.end(), ext) == out.end()) out.push_back(ext);
    return out;
}

std::string TDecoderRegistry::Extension(const std::string& Path) {
    const size_t slash = Path.find_last_of('/');
    const size_t dot = Path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string ext = Path.substr(dot);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

std::vector<const TDecoderEntry*> TDecoderRegistry::ByExtension(const std::string& Path) {
    std::vector<const TDecoderEntry*> out;
    const std::string ext = Extension(Path);
    if (ext.empty()) return out;
    for (const TDecoderEntry& e : Entries())
        if (std::find(e.Extensions.begin(), e.Extensions.end(), ext) != e.Extensions.end()) out.push_back(&e);
    return out;
}

const TDecoderEntry* TDecoderRegistry::Taker(const std::string& Path) {
    for (const TDecoderEntry& e : Entries()) {
        std::unique_ptr<TAuFileIn> in = e.Create();
        in->SetFileName(Path);
        if (in->Valid()) return &e;
    }
    return nullptr;
}

} // namespace tarvio
