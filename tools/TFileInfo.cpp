#include "tools/TFileInfo.h"

#include <algorithm>
#include <cstdio>

#include "pipeline/TAuTaggedFileIn.h"
#include "pipeline/TChannelLayout.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"
#include "tools/TJsonObject.h"
#include "tools/TPlainText.h"

namespace tarvio {

namespace {

// Year and track are narrow text in the legacy code page.
std::string NarrowToUtf8(const std::string& Narrow) {
    return TCodePage::WideToUtf8(TCodePage::ToWide(Narrow));
}

} // namespace

TFileInfo TFileInfo::Of(const std::string& File, TOpenedDecoder& Decoder) {
    TFileInfo info;
    TAuFileIn& in = *Decoder.Input;
    info.File = File;
    info.Decoder = Decoder.Entry->Name;
    info.ClassName = Decoder.Entry->ClassName;
    info.Valid = in.Valid();
    info.Channels = in.Channels();
    info.Layout = TChannelLayout::Name(info.Channels);
    info.SampleRate = in.SampleRate();
    info.BitsPerSample = in.BitsPerSample();
    info.TotalSamples = in.TotalSamples();
    if (info.TotalSamples <= 0 && in.Size() < 0) info.TotalSamples = -1;
    info.TotalTime = in.TotalTime();
    if (Decoder.Entry->Details) info.Details = Decoder.Entry->Details(in);
    if (Decoder.Entry->BitRate) info.BitRate = std::max<int64_t>(Decoder.Entry->BitRate(in), 0);
    if (auto* tagged = dynamic_cast<TAuTaggedFileIn*>(&in)) {
        const TCommonTags& tags = *tagged->CommonTags();
        info.Tagged = true;
        info.Title = TCodePage::WideToUtf8(tags.Title());
        info.Artist = TCodePage::WideToUtf8(tags.Artist());
        info.Album = TCodePage::WideToUtf8(tags.Album());
        info.Genre = TCodePage::WideToUtf8(tags.Genre());
        info.Year = NarrowToUtf8(tags.Year());
        info.Track = NarrowToUtf8(tags.Track());
    }
    // A file that opens but from which nothing decodes is not valid either.
    if (info.Valid) {
        info.Error = in.DecodeCheck();
        info.Valid = info.Error.empty();
    }
    return info;
}

std::string TFileInfo::FormatTime(uint32_t Seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%u:%02u", Seconds / 60, Seconds % 60);
    return text;
}

std::string TFileInfo::Text() const {
    // Names and tags are the file's text: shown, never obeyed by the terminal.
    std::string out = TPlainText::Printable(File) + "\n";
    auto line = [&out](const std::string& Name, const std::string& Value) {
        std::string label = "  " + Name;
        label.resize(std::max<size_t>(label.size() + 1, 19), ' ');
        out += label;
        out += TPlainText::Printable(Value);
        out += '\n';
    };
    line("decoder:", Decoder + " (" + ClassName + ")");
    line("valid:", Valid ? "yes" : Error.empty() ? "no" : "no (" + Error + ")");
    line("channels:", std::to_string(Channels) + (Layout.empty() ? "" : " (" + Layout + ")"));
    line("sample rate:", std::to_string(SampleRate) + " Hz");
    line("bits per sample:", std::to_string(BitsPerSample));
    line("total samples:", TotalSamples < 0 ? "unknown" : std::to_string(TotalSamples));
    line("total time:", FormatTime(TotalTime));
    line("bit rate:", BitRate > 0 ? std::to_string(BitRate) + " bit/s" : "none");
    if (Tagged) {
        line("title:", Title);
        line("artist:", Artist);
        line("album:", Album);
        line("genre:", Genre);
        line("year:", Year);
        line("track:", Track);
    }
    for (const TDecoderDetail& d : Details) {
        std::string value;
        for (const std::string& v : d.Values)
            value += (value.empty() ? "" : d.List ? ", " : " ") + v;
        std::string name = d.Name; // "stream_bits" reads "stream bits:"
        std::replace(name.begin(), name.end(), '_', ' ');
        line(name + ":", value);
    }
    return out;
}

std::string TFileInfo::Json() const {
    TJsonObject o;
    o.Add("file", File);
    o.Add("decoder", Decoder);
    o.Add("class", ClassName);
    o.Add("valid", Valid);
    if (!Error.empty()) o.Add("error", Error);
    o.Add("channels", int64_t{Channels});
    if (Layout.empty())
        o.AddNull("layout");
    else
        o.Add("layout", Layout);
    o.Add("sample_rate", int64_t{SampleRate});
    o.Add("bits_per_sample", int64_t{BitsPerSample});
    if (TotalSamples < 0)
        o.AddNull("total_samples");
    else
        o.Add("total_samples", TotalSamples);
    o.Add("total_time", FormatTime(TotalTime));
    o.Add("seconds", int64_t{TotalTime});
    if (BitRate > 0)
        o.Add("bit_rate", BitRate);
    else
        o.AddNull("bit_rate");
    if (Tagged) {
        TJsonObject tags;
        tags.Add("title", Title);
        tags.Add("artist", Artist);
        tags.Add("album", Album);
        tags.Add("genre", Genre);
        tags.Add("year", Year);
        tags.Add("track", Track);
        o.Add("tags", tags);
    } else {
        o.AddNull("tags");
    }
    if (!Details.empty()) {
        TJsonObject details;
        for (const TDecoderDetail& d : Details) {
            if (d.List)
                details.Add(d.Name, d.Values);
            else
                details.Add(d.Name, d.Values.empty() ? std::string() : d.Values.front());
        }
        o.Add("details", details);
    }
    return o.Text();
}

std::string TFileInfo::JsonError(const std::string& File, const std::string& Decoder,
                                 const std::string& Error) {
    TJsonObject o;
    o.Add("file", File);
    if (Decoder.empty())
        o.AddNull("decoder");
    else
        o.Add("decoder", Decoder);
    o.Add("valid", false);
    o.Add("error", Error);
    return o.Text();
}

} // namespace tarvio
