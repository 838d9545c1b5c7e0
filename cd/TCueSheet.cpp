#include "cd/TCueSheet.h"

#include <algorithm>
#include <fstream>

namespace tarvio {

namespace {

std::string Upper(std::string Text) {
    std::transform(Text.begin(), Text.end(), Text.begin(),
                   [](unsigned char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    return Text;
}

// The words of a line; a word in double quotes may hold blanks. False on an open quote.
bool Words(std::string_view Line, std::vector<std::string>& Out) {
    Out.clear();
    size_t i = 0;
    while (i < Line.size()) {
        if (Line[i] == ' ' || Line[i] == '\t') {
            ++i;
        } else if (Line[i] == '"') {
            const size_t end = Line.find('"', i + 1);
            if (end == std::string_view::npos) return false;
            Out.emplace_back(Line.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            size_t end = i;
            while (end < Line.size() && Line[end] != ' ' && Line[end] != '\t')
                ++end;
            Out.emplace_back(Line.substr(i, end - i));
            i = end;
        }
    }
    return true;
}

// A number of one to Digits digits, at most Max; -1 otherwise.
int32_t Number(const std::string& Text, size_t Digits, int32_t Max) {
    if (Text.empty() || Text.size() > Digits) return -1;
    int32_t value = 0;
    for (const char c : Text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value <= Max ? value : -1;
}

// "mm:ss:ff" in frames; -1 when malformed.
int32_t Frames(const std::string& Text) {
    const size_t a = Text.find(':'), b = a == std::string::npos ? a : Text.find(':', a + 1);
    if (b == std::string::npos) return -1;
    const int32_t m = Number(Text.substr(0, a), 3, 999), s = Number(Text.substr(a + 1, b - a - 1), 2, 59),
                  f = Number(Text.substr(b + 1), 2, 74);
    if (m < 0 || s < 0 || f < 0) return -1;
    return m * 4500 + s * 75 + f;
}

// A word of the sheet as a message shows it: control and non-ASCII bytes as "?", at most
// 40 characters.
std::string Shown(const std::string& Word) {
    std::string out = Word.substr(0, 40);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    return Word.size() > 40 ? out + "..." : out;
}

bool OneOf(const std::string& Word, std::initializer_list<const char*> Words) {
    for (const char* w : Words)
        if (Word == w) return true;
    return false;
}

} // namespace

bool TCueSheet::Fail(size_t Line, const std::string& Why) {
    FError = Line > 0 ? "line " + std::to_string(Line) + ": " + Why : Why;
    return false;
}

bool TCueSheet::ParseFile(const std::string& Path) {
    std::ifstream file(Path, std::ios::binary | std::ios::ate);
    const std::streamoff size = file ? static_cast<std::streamoff>(file.tellg()) : -1;
    if (size < 0 || !file.seekg(0)) {
        FError = "it cannot be read";
        return false;
    }
    std::string text(static_cast<size_t>(std::min<std::streamoff>(size, MaxBytes + 1)), '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(file.gcount()));
    return Parse(text);
}

bool TCueSheet::Parse(std::string_view Text) {
    FError.clear();
    FDataFile.clear();
    FTracks.clear();
    if (Text.size() > MaxBytes) return Fail(0, "it is larger than a CUE sheet can be");
    if (Text.substr(0, 3) == "\xEF\xBB\xBF") Text.remove_prefix(3);
    if (Text.find('\0') != std::string_view::npos) return Fail(0, "it is not text");

    // libcdio loses the first copy of an ISRC, CATALOG or CDTEXTFILE given twice.
    bool file = false, pregap = false, postgap = false, isrc = false, catalog = false, cdTextFile = false;
    int32_t lastIndex = -1, lastTime = 0;
    std::vector<std::string> words;
    size_t lineNumber = 0;
    for (size_t start = 0; start < Text.size();) {
        size_t end = Text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = Text.size();
        const std::string_view line = Text.substr(start, end - start);
        start = end + 1;
        if (line.empty() && end < Text.size() && Text[end] == '\n' && end > 0 && Text[end - 1] == '\r')
            continue;
        ++lineNumber;
        if (!Words(line, words)) return Fail(lineNumber, "a quote is not closed");
        if (words.empty()) continue;
        const std::string key = Upper(words[0]);
        const size_t args = words.size() - 1;
        const bool inTrack = !FTracks.empty();
        const auto need = [&](size_t Count) {
            return args == Count || Fail(lineNumber, key + " takes " + std::to_string(Count) + " value" +
                                                         (Count == 1 ? "" : "s"));
        };
        if (key == "REM") continue;
        if (key == "FILE") {
            if (!need(2)) return false;
            if (file) return Fail(lineNumber, "a second FILE (only sheets with one data file are read)");
            if (Upper(words[2]) != "BINARY")
                return Fail(lineNumber, "a data file of type " + Shown(words[2]) + " (only BINARY is read)");
            file = true;
            FDataFile = words[1];
        } else if (key == "TRACK") {
            if (!need(2)) return false;
            if (!file) return Fail(lineNumber, "TRACK before FILE");
            const int32_t number = Number(words[1], 2, 99);
            if (number < 1) return Fail(lineNumber, "track number " + Shown(words[1]) + " is not 1 to 99");
            if (inTrack && FTracks.back().Index1Frame < 0)
                return Fail(lineNumber,
                            "track " + std::to_string(FTracks.back().Number) + " has no INDEX 01");
            if (inTrack && number != FTracks.back().Number + 1)
                return Fail(lineNumber, "track " + Shown(words[1]) + " follows track " +
                                            std::to_string(FTracks.back().Number));
            const std::string mode = Upper(words[2]);
            if (!OneOf(mode, {"AUDIO", "MODE1/2048", "MODE1/2352", "MODE2/2336", "MODE2/2352", "CDG",
                              "CDI/2336", "CDI/2352"}))
                return Fail(lineNumber, "unknown track mode " + Shown(words[2]));
            FTracks.push_back({number, mode, -1});
            lastIndex = -1;
            pregap = postgap = isrc = false;
        } else if (key == "INDEX") {
            if (!need(2)) return false;
            if (!inTrack) return Fail(lineNumber, "INDEX before any TRACK");
            const int32_t number = Number(words[1], 2, 99), frames = Frames(words[2]);
            if (number < 0) return Fail(lineNumber, "index number " + Shown(words[1]) + " is not 0 to 99");
            if (frames < 0) return Fail(lineNumber, "time " + Shown(words[2]) + " is not mm:ss:ff");
            if (lastIndex < 0 ? number > 1 : number != lastIndex + 1)
                return Fail(lineNumber, "INDEX " + Shown(words[1]) + " out of order");
            if (postgap) return Fail(lineNumber, "INDEX after POSTGAP");
            if (frames < lastTime)
                return Fail(lineNumber, "INDEX " + Shown(words[1]) + " lies before the index above it");
            lastIndex = number;
            lastTime = frames;
            if (number == 1) FTracks.back().Index1Frame = frames;
        } else if (key == "PREGAP" || key == "POSTGAP") {
            if (!need(1)) return false;
            if (!inTrack) return Fail(lineNumber, key + " before any TRACK");
            if (Frames(words[1]) < 0) return Fail(lineNumber, "time " + Shown(words[1]) + " is not mm:ss:ff");
            bool& seen = key == "PREGAP" ? pregap : postgap;
            if (seen) return Fail(lineNumber, "a second " + key + " in a track");
            if (key == "PREGAP" && lastIndex >= 0) return Fail(lineNumber, "PREGAP after INDEX");
            if (key == "POSTGAP" && FTracks.back().Index1Frame < 0)
                return Fail(lineNumber, "POSTGAP before INDEX 01");
            seen = true;
        } else if (key == "FLAGS") {
            if (!inTrack) return Fail(lineNumber, "FLAGS before any TRACK");
            if (args == 0) return Fail(lineNumber, "FLAGS without a flag");
            for (size_t i = 1; i < words.size(); ++i)
                if (!OneOf(Upper(words[i]), {"DCP", "4CH", "PRE", "SCMS"}))
                    return Fail(lineNumber, "unknown flag " + Shown(words[i]));
        } else if (key == "ISRC") {
            if (!need(1)) return false;
            if (!inTrack) return Fail(lineNumber, "ISRC before any TRACK");
            if (isrc) return Fail(lineNumber, "a second ISRC in a track");
            isrc = true;
        } else if (key == "CATALOG" || key == "CDTEXTFILE") {
            if (!need(1)) return false;
            if (inTrack) return Fail(lineNumber, key + " inside a track");
            bool& seen = key == "CATALOG" ? catalog : cdTextFile;
            if (seen) return Fail(lineNumber, "a second " + key);
            seen = true;
        } else if (OneOf(key, {"TITLE", "PERFORMER", "SONGWRITER", "COMPOSER", "ARRANGER", "MESSAGE"})) {
            if (!need(1)) return false;
        } else {
            return Fail(lineNumber, "unknown command " + Shown(words[0]));
        }
    }
    if (FTracks.empty()) return Fail(0, "it lists no tracks");
    if (FTracks.back().Index1Frame < 0)
        return Fail(0, "track " + std::to_string(FTracks.back().Number) + " has no INDEX 01");
    return true;
}

} // namespace tarvio
