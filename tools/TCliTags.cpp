#include "tools/TCliTags.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>

#include "tags/TCodePage.h"
#include "tags/TFileReplacement.h"
#include "tags/TTagConflicts.h"
#include "tags/TTagEditor.h"
#include "tools/CliError.h"
#include "tools/TDecoderTable.h"
#include "tools/TFileInfo.h"
#include "tools/TJsonObject.h"
#include "tools/TPlainText.h"

namespace tarvio {

namespace {

const char* const Keys[] = {"title", "artist", "album", "genre", "year", "track"};

std::string Lower(std::string Text) {
    std::transform(Text.begin(), Text.end(), Text.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return Text;
}

// The field Key of E, as UTF-8.
std::string Field(const TTagEditor& E, const std::string& Key) {
    const std::u16string& value = Key == "title"    ? E.Title()
                                  : Key == "artist" ? E.Artist()
                                  : Key == "album"  ? E.Album()
                                  : Key == "genre"  ? E.Genre()
                                  : Key == "year"   ? E.Year()
                                                    : E.Track();
    return TCodePage::WideToUtf8(value);
}

void SetField(TTagEditor& E, const std::string& Key, const std::string& Utf8) {
    const std::u16string value = TCodePage::Utf8ToWide(Utf8);
    if (Key == "title") E.SetTitle(value);
    if (Key == "artist") E.SetArtist(value);
    if (Key == "album") E.SetAlbum(value);
    if (Key == "genre") E.SetGenre(value);
    if (Key == "year") E.SetYear(value);
    if (Key == "track") E.SetTrack(value);
}

// Reads File into E; empty when it was read, else why not.
std::string Read(TTagEditor& E, const std::string& File) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(File, ec);
    if (!fs::exists(status)) return "no such file";
    if (fs::is_directory(status)) return "is a directory";
    const std::string ext = TTagEditor::Extension(File);
    const std::vector<std::string>& read = TTagEditor::Extensions();
    if (std::find(read.begin(), read.end(), ext) == read.end()) {
        std::string list;
        for (const std::string& x : read)
            list += (list.empty() ? "" : " ") + x;
        return (ext.empty() ? std::string("no tags for a file without an extension")
                            : "no tags for \"" + ext + "\" files") +
               " (tags are read from " + list + " files)";
    }
    try {
        E.SetFileName(File);
    } catch (const std::exception& x) {
        return x.what();
    }
    return E.Valid() ? "" : "not a file TagLib can read";
}

// The audio of the file at Path decoded by the first of TypeName's decoders that takes it:
// its format, length in bytes, an FNV-1a hash of the PCM and how the decode ended. Nullopt
// when no decoder takes it.
std::optional<std::string> AudioFingerprint(const std::string& TypeName, const std::string& Path) {
    for (const TDecoderEntry* entry : TDecoderTable::ByExtension(TypeName)) {
        const std::unique_ptr<TAuFileIn> in = entry->Create();
        in->SetFileName(Path);
        if (!in->Valid()) continue;
        uint64_t hash = 14695981039346656037u, bytes = 0;
        std::string end = "end";
        try {
            in->Init();
            for (;;) {
                uint8_t* data = nullptr;
                uint32_t n = 1 << 16;
                in->GetData(data, n);
                if (n == 0) break;
                for (uint32_t i = 0; i < n; ++i)
                    hash = (hash ^ data[i]) * 1099511628211u;
                bytes += n;
            }
        } catch (const std::exception& x) {
            end = std::string("error ") + x.what();
        }
        try {
            in->Flush();
        } catch (const std::exception&) {
        }
        return entry->Name + " " + std::to_string(in->Channels()) + "x" + std::to_string(in->SampleRate()) +
               "x" + std::to_string(in->BitsPerSample()) + " " + std::to_string(bytes) + " " +
               std::to_string(hash) + " " + end;
    }
    return std::nullopt;
}

// Copies of File that a killed save left beside it.
std::vector<std::string> StaleCopies(const std::string& File) {
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(File, ec);
    return TFileReplacement::StaleCopies(ec ? File : real.string());
}

void PrintTags(const std::string& File, const TTagEditor& E, bool Json, bool First) {
    const std::vector<std::string> stale = StaleCopies(File);
    const std::vector<std::string> conflicts = TTagConflicts::Find(File);
    const uint32_t seconds = E.Duration();
    const int64_t bitRate = int64_t{E.Bitrate()} * 1000;
    if (Json) {
        TJsonObject tags;
        for (const char* key : Keys)
            tags.Add(key, Field(E, key));
        TJsonObject o;
        o.Add("file", File);
        o.Add("valid", true);
        o.Add("tags", tags);
        o.Add("total_time", TFileInfo::FormatTime(seconds));
        o.Add("seconds", int64_t{seconds});
        if (bitRate > 0)
            o.Add("bit_rate", bitRate);
        else
            o.AddNull("bit_rate");
        if (!conflicts.empty()) o.Add("conflicts", conflicts);
        if (!stale.empty()) o.Add("stale_copies", stale);
        std::printf("%s\n", o.Text().c_str());
    } else {
        // The file's text is shown, never obeyed by the terminal.
        std::string out = (First ? "" : "\n") + TPlainText::Printable(File) + "\n";
        auto line = [&out](const std::string& Name, const std::string& Value) {
            char label[24];
            std::snprintf(label, sizeof label, "  %-16s ", Name.empty() ? "" : (Name + ":").c_str());
            out += label + TPlainText::Printable(Value) + "\n";
        };
        for (const char* key : Keys)
            line(key, Field(E, key));
        line("duration", TFileInfo::FormatTime(seconds));
        line("bit rate", bitRate > 0 ? std::to_string(E.Bitrate()) + " kbit/s" : "none");
        for (size_t i = 0; i < conflicts.size(); ++i)
            line(i == 0 ? "conflicts" : "", conflicts[i]);
        for (const std::string& name : stale)
            line("stale copy", name + " (left by an interrupted save; the next save removes it)");
        std::fputs(out.c_str(), stdout);
    }
    std::fflush(stdout);
}

void PrintFailure(const std::string& File, const std::string& Error, bool Json) {
    PrintError(File, Error);
    if (Json) {
        TJsonObject o;
        o.Add("file", File);
        o.Add("valid", false);
        o.Add("error", Error);
        std::printf("%s\n", o.Text().c_str());
        std::fflush(stdout);
    }
}

} // namespace

bool TCliTags::AddSet(const std::string& KeyValue, std::string& Error) {
    const size_t eq = KeyValue.find('=');
    const std::string key = Lower(KeyValue.substr(0, eq));
    if (eq == std::string::npos || std::find(std::begin(Keys), std::end(Keys), key) == std::end(Keys)) {
        Error = "--set takes KEY=VALUE with KEY one of title, artist, album, genre, year, track, not \"" +
                KeyValue + "\"";
        return false;
    }
    std::string value = KeyValue.substr(eq + 1);
    if (key == "year" || key == "track") {
        // As the file will hold it: no leading zeros; empty removes the field, as 0 does.
        uint64_t number = 0;
        for (char c : value) {
            if (c >= '0' && c <= '9') number = number * 10 + static_cast<uint64_t>(c - '0');
            if (c < '0' || c > '9' || number > 0xFFFFFFFFu) {
                Error = key + " must be a number from 0 to 4294967295, not \"" + value + "\"";
                return false;
            }
        }
        value = std::to_string(number);
    }
    FSets.emplace_back(key, value);
    return true;
}

int TCliTags::Run(const std::vector<std::string>& Files, bool Json) const {
    if (Writing()) return Write(Files.at(0), Json);
    int status = 0;
    bool first = true;
    for (const std::string& file : Files) {
        TTagEditor editor;
        const std::string error = Read(editor, file);
        if (!error.empty()) {
            PrintFailure(file, error, Json);
            status = 1;
            continue;
        }
        PrintTags(file, editor, Json, first);
        first = false;
    }
    return status;
}

int TCliTags::Write(const std::string& File, bool Json) const {
    // Beyond a file size limit a save fails with its message instead of ending the tool.
    ::signal(SIGXFSZ, SIG_IGN);
    TTagEditor editor;
    std::string error = Read(editor, File);
    if (error.empty() && TTagEditor::Extension(File) == ".wma")
        error = "Windows Media files are read but never written";
    if (!error.empty()) {
        PrintFailure(File, error, Json);
        return 1;
    }
    for (const auto& [key, value] : FSets)
        SetField(editor, key, value);
    // A file of a type this build decodes, whose audio does not decode, is not saved: the
    // save could not be shown to leave its audio as it was (a damaged tag that TagLib
    // would cut the file at).
    const std::vector<const TDecoderEntry*> decoders = TDecoderTable::ByExtension(File);
    if (!decoders.empty() && std::none_of(decoders.begin(), decoders.end(), [&](const TDecoderEntry* Entry) {
            const std::unique_ptr<TAuFileIn> in = Entry->Create();
            in->SetFileName(File);
            return in->Valid();
        })) {
        PrintFailure(
            File,
            "Failed to save tags: the audio does not decode, so the save could not be checked; the file "
            "is left as it was",
            Json);
        return 1;
    }
    editor.SetAudioCheck(AudioFingerprint);
    editor.SetAllowInPlace(FInPlace);
    try {
        editor.Save();
    } catch (const std::exception& x) {
        PrintFailure(File, std::string(x.what()) + (editor.NeedsInPlace() ? " (--in-place)" : ""), Json);
        return 1;
    }

    TTagEditor back;
    error = Read(back, File);
    if (!error.empty()) {
        PrintFailure(File, "after the save: " + error, Json);
        return 1;
    }
    PrintTags(File, back, Json, true);
    for (const auto& [key, value] : FSets) {
        const std::string stored = Field(back, key);
        if (stored != value) {
            PrintError(File, key + " reads back as \"" + stored + "\", not \"" + value + "\"");
            return 1;
        }
    }
    return 0;
}

} // namespace tarvio
