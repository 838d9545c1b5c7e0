#include "tools/TDecoderTable.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "tools/TErrorText.h"
#include "tools/TFileCheck.h"

// Each decoder library that this build has defines its TARVIO_HAVE_ macro (tools/CMakeLists.txt).
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
// The WAVE format tag and the kind of data the decoder found.
std::vector<TDecoderDetail> WaveDetails(TAuFileIn& In) {
    auto& wave = static_cast<TWaveIn&>(In);
    char tag[8];
    std::snprintf(tag, sizeof tag, "0x%04X", unsigned{wave.FormatTag()});
    return {{"format_tag", {tag}}, {"wav_type", {WavTypeName(wave.WavType())}}};
}
#endif

#if TARVIO_HAVE_FLAC
// The stream's own depth, which BitsPerSample rounds up to a whole byte.
std::vector<TDecoderDetail> FlacDetails(TAuFileIn& In) {
    return {{"stream_bits", {std::to_string(static_cast<TFLACIn&>(In).StreamBitsPerSample())}}};
}
#endif

#if TARVIO_HAVE_MP3
// Whether the bit rate of an MP3 or Windows Media file varies.
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
// The AAC profile and whether SBR and parametric stereo are in use.
std::vector<TDecoderDetail> Mp4Details(TAuFileIn& In) {
    auto& mp4 = static_cast<TMP4In&>(In);
    auto yesNo = [](bool Value) { return std::vector<std::string>{Value ? "yes" : "no"}; };
    return {{"profile", {mp4.Profile()}}, {"sbr", yesNo(mp4.SBR())}, {"ps", yesNo(mp4.PS())}};
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

std::string OneLine(std::string Text) {
    std::replace_if(
        Text.begin(), Text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return Text;
}

} // namespace

const std::vector<TDecoderEntry>& TDecoderTable::Entries() {
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
                Entry<TMP3In>("mp3", "TMP3In", {".mp3"}, [](TMP3In& In) { return int64_t{In.Bitrate()}; });
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

const TDecoderEntry* TDecoderTable::ByName(const std::string& Name) {
    for (const TDecoderEntry& e : Entries())
        if (e.Name == Name) return &e;
    return nullptr;
}

std::string TDecoderTable::Extension(const std::string& Path) {
    const size_t slash = Path.find_last_of('/');
    const size_t dot = Path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string ext = Path.substr(dot);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

std::vector<const TDecoderEntry*> TDecoderTable::ByExtension(const std::string& Path) {
    std::vector<const TDecoderEntry*> out;
    const std::string ext = Extension(Path);
    if (ext.empty()) return out;
    for (const TDecoderEntry& e : Entries())
        if (std::find(e.Extensions.begin(), e.Extensions.end(), ext) != e.Extensions.end()) out.push_back(&e);
    return out;
}

TOpenedDecoder TDecoderTable::Open(const std::string& Path, const TDecoderEntry* Forced, std::string& Error) {
    Error.clear();
    std::vector<const TDecoderEntry*> candidates;
    if (Forced)
        candidates.push_back(Forced);
    else
        candidates = ByExtension(Path);
    // Asked before any decoder opens it: a named pipe would block an open for ever.
    if (const std::string problem = TFileCheck::InputProblem(Path); !problem.empty()) {
        Error = problem;
        return {candidates.empty() ? nullptr : candidates.front(), nullptr};
    }
    if (candidates.empty()) {
        const std::string ext = Extension(Path);
        Error = ext.empty() ? "no decoder for a file without an extension"
                            : "no decoder for \"" + ext + "\" files";
        // --decoder helps only when a decoder takes the content.
        if (const TDecoderEntry* taker = Taker(Path))
            Error += "; its content is " + taker->Name + " (use --decoder " + taker->Name + ")";
        return {};
    }

    std::string names, detail;
    for (const TDecoderEntry* entry : candidates) {
        std::unique_ptr<TAuFileIn> in = entry->Create();
        in->SetFileName(Path);
        // Valid never says why; a format query opens the file the same way and lets the
        // decoder's message (a missing library, an unreadable file) through.
        try {
            (void)in->Channels();
        } catch (const std::exception& e) {
            // Each decoder's own word: the DTS decoder's refusal and the WAV decoder's.
            const std::string why = OneLine(TErrorText::Decoder(e.what()));
            if (detail.find(why) == std::string::npos) detail += (detail.empty() ? "" : "; ") + why;
        } catch (...) {
        }
        if (in->Valid()) return {entry, std::move(in)};
        names += (names.empty() ? "" : " or ") + entry->Name;
    }
    Error = "not a valid " + names + " file";
    if (!detail.empty()) Error += ": " + detail;
    return {candidates.back(), nullptr};
}

const TDecoderEntry* TDecoderTable::Taker(const std::string& Path) {
    for (const TDecoderEntry& e : Entries()) {
        std::unique_ptr<TAuFileIn> in = e.Create();
        in->SetFileName(Path);
        if (in->Valid()) return &e;
    }
    return nullptr;
}

} // namespace tarvio
