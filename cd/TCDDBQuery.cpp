#include "cd/TCDDBQuery.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include "cd/TCDDBInfo.h"
#include "cd/TCurlLibrary.h"
#include "tags/TCodePage.h"

namespace tarvio {

namespace {

// A handle exists only after the library was loaded.
struct TCurlDeleter {
    void operator()(CURL* Curl) const { TCurlLibrary::Instance().easy_cleanup(Curl); }
};
using TCurlPtr = std::unique_ptr<CURL, TCurlDeleter>;

// The lines of Text split at CR LF, LF or CR; a final line end makes no empty line.
std::vector<std::string> SplitLines(const std::string& Text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < Text.size()) {
        const size_t end = Text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(Text.substr(start));
            break;
        }
        lines.push_back(Text.substr(start, end - start));
        start = end + (Text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return lines;
}

// The number in a line's first three characters; 500 when they are not three digits.
int32_t CodeOf(const std::string& Line) {
    if (Line.size() < 3) return 500;
    int32_t code = 0;
    for (int i = 0; i < 3; ++i) {
        const char c = Line[static_cast<size_t>(i)];
        if (c < '0' || c > '9') return 500;
        code = code * 10 + (c - '0');
    }
    return code;
}

std::string Trim(const std::string& Text) {
    size_t first = 0, last = Text.size();
    while (first < last && static_cast<unsigned char>(Text[first]) <= ' ')
        ++first;
    while (last > first && static_cast<unsigned char>(Text[last - 1]) <= ' ')
        --last;
    return Text.substr(first, last - first);
}

// An entry's escapes: "\n" is a line break (CR LF), "\t" a tab, "\\" a backslash; any other
// backslash stays as it is.
std::string Unescape(const std::string& Text) {
    std::string out;
    out.reserve(Text.size());
    for (size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == '\\' && i + 1 < Text.size()) {
            const char next = Text[i + 1];
            if (next == 'n' || next == 't' || next == '\\') {
                out += next == 'n' ? "\r\n" : next == 't' ? "\t" : "\\";
                ++i;
                continue;
            }
        }
        out += Text[i];
    }
    return out;
}

// The track number after a key such as "TTITLE" (Key "TTITLE12" gives 12); -1 when the
// rest is not a number below Limit.
int32_t IndexAfter(const std::string& Key, size_t Prefix, int32_t Limit) {
    if (Key.size() <= Prefix || Key.size() > Prefix + 2) return -1;
    int32_t index = 0;
    for (size_t i = Prefix; i < Key.size(); ++i) {
        if (Key[i] < '0' || Key[i] > '9') return -1;
        index = index * 10 + (Key[i] - '0');
    }
    return index < Limit ? index : -1;
}

// Splits "A / B" at its first " / ".
bool SplitAtSlash(const std::string& Value, std::string& Before, std::string& After) {
    const size_t slash = Value.find(" / ");
    if (slash == std::string::npos) return false;
    Before = Value.substr(0, slash);
    After = Value.substr(slash + 3);
    return true;
}

bool Unreserved(unsigned char C) {
    return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '-' ||
           C == '.' || C == '_' || C == '~';
}

// Value for the address's query: Plus becomes "+" (the CDDB separator), other characters
// outside the unreserved set are percent-encoded, so no value can add a parameter.
std::string Encode(const std::string& Value, char Plus) {
    static const char* const hex = "0123456789ABCDEF";
    std::string out;
    for (const char c : Value) {
        const auto u = static_cast<unsigned char>(c);
        if (c == Plus) {
            out += '+';
        } else if (Unreserved(u)) {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}

std::string FirstLine(const std::vector<std::string>& Lines) {
    for (const std::string& line : Lines)
        if (!line.empty()) return line.size() > 200 ? line.substr(0, 200) : line;
    return "";
}

struct TTransfer {
    std::string Body;
    bool TooLarge = false;
    TCDDBInfo* Owner = nullptr;
};

size_t WriteBody(char* Data, size_t Size, size_t Count, void* User) {
    auto* transfer = static_cast<TTransfer*>(User);
    const size_t bytes = Size * Count;
    if (transfer->Body.size() + bytes > TCDDBQuery::MaxAnswerBytes) {
        transfer->TooLarge = true;
        return 0; // ends the transfer with a write error
    }
    transfer->Body.append(Data, bytes);
    return bytes;
}

int Progress(void* User, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<TTransfer*>(User);
    try {
        if (transfer->Owner->OnProgress) transfer->Owner->OnProgress(transfer->Owner);
    } catch (...) {
    }
    return 0;
}

} // namespace

TCDDBQuery::TCDDBQuery(TCDDBInfo* AOwner) : FOwner(AOwner) {}

std::string TCDDBQuery::RequestAddress(const std::string& Command, const std::string& Data) const {
    return FOwner->Server() + "/~cddb/cddb.cgi?cmd=cddb+" + Encode(Command, ' ') + "+" + Encode(Data, ' ') +
           "&hello=" + Encode(FOwner->Email(), '@') + "+%22" + Encode(FOwner->ApplicationName(), ' ') +
           "%22+" + Encode(FOwner->ApplicationVersion(), ' ') +
           "&proto=" + std::to_string(FOwner->ProtocolLevel());
}

std::string TCDDBQuery::Charset(std::string_view ContentType) {
    std::string found;
    while (!ContentType.empty()) {
        const size_t semi = ContentType.find(';');
        std::string_view part = ContentType.substr(0, semi);
        ContentType = semi == std::string_view::npos ? std::string_view() : ContentType.substr(semi + 1);
        while (!part.empty() && (part.front() == ' ' || part.front() == '\t'))
            part.remove_prefix(1);
        while (!part.empty() && (part.back() == ' ' || part.back() == '\t'))
            part.remove_suffix(1);
        std::string lower(part);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower.compare(0, 8, "charset=") != 0) continue;
        std::string_view value = part.substr(8);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        found = value;
    }
    return found;
}

std::string TCDDBQuery::DecodeText(std::string_view Bytes, int32_t ProtocolLevel,
                                   std::string_view ContentType) {
    std::string charset = Charset(ContentType);
    std::transform(charset.begin(), charset.end(), charset.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!charset.empty() && charset != "utf-8" && charset != "utf8")
        return TCodePage::WideToUtf8(TCodePage::ToWide(Bytes, charset));
    if (ProtocolLevel >= 6 || !charset.empty()) return TCodePage::WideToUtf8(TCodePage::Utf8ToWide(Bytes));
    std::string out;
    out.reserve(Bytes.size());
    for (const char c : Bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return out;
}

bool TCDDBQuery::Request(const std::string& Command, const std::string& Data, std::string& Text) {
    Text.clear();
    TCurlLibrary& lib = TCurlLibrary::Instance();
    if (!lib.Load()) {
        FLastMessage = lib.LoadError();
        return false;
    }
    TCurlPtr curl(lib.easy_init());
    if (!curl) {
        FLastMessage = "The HTTP client could not be started";
        return false;
    }
    const std::string address = RequestAddress(Command, Data);
    TTransfer transfer;
    transfer.Owner = FOwner;
    char error[CURL_ERROR_SIZE] = {};
    CURL* c = curl.get();
    lib.easy_setopt(c, CURLOPT_URL, address.c_str());
    lib.easy_setopt(c, CURLOPT_USERAGENT, FOwner->ApplicationName().c_str());
    lib.easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    lib.easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    lib.easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(FOwner->ConnectTimeout()));
    lib.easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(FOwner->Timeout()));
    lib.easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    lib.easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
    lib.easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    lib.easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    lib.easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteBody);
    lib.easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
    lib.easy_setopt(c, CURLOPT_XFERINFOFUNCTION, Progress);
    lib.easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);
    lib.easy_setopt(c, CURLOPT_NOPROGRESS, 0L);

    const CURLcode result = lib.easy_perform(c);
    if (result != CURLE_OK) {
        if (transfer.TooLarge)
            FLastMessage = "The server's answer is larger than " + std::to_string(MaxAnswerBytes) + " bytes";
        else
            FLastMessage = error[0] ? error : lib.easy_strerror(result);
        return false;
    }
    long status = 0;
    lib.easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
        FLastMessage = "The server answered with HTTP status " + std::to_string(status);
        return false;
    }
    char* contentType = nullptr;
    if (lib.easy_getinfo(c, CURLINFO_CONTENT_TYPE, &contentType) != CURLE_OK) contentType = nullptr;
    Text = DecodeText(transfer.Body, FOwner->ProtocolLevel(), contentType ? contentType : "");
    FLastMessage = FirstLine(SplitLines(Text));
    if (FLastMessage.empty()) FLastMessage = "The server's answer is empty";
    return true;
}

int32_t TCDDBQuery::ParseAlbums(const std::string& Text) {
    AlbumStr.clear();
    LogStr = SplitLines(Text);
    int32_t result = -2;
    for (size_t i = 0; i < LogStr.size(); ++i) {
        const std::string& line = LogStr[i];
        if (line.empty()) continue;
        result = CodeOf(line);
        if (result == 200) {
            if (line.size() > 4) AlbumStr.push_back(line.substr(4));
        } else if (result == 210 || result == 211) {
            for (size_t j = i + 1; j < LogStr.size() && !LogStr[j].empty() && LogStr[j][0] != '.'; ++j)
                AlbumStr.push_back(LogStr[j]);
            break;
        }
    }
    return result;
}

int32_t TCDDBQuery::ParseEntry(const std::string& Text) {
    AlbumRec = TCDDBAlbum();
    LogStr = SplitLines(Text);
    size_t first = 0;
    while (first < LogStr.size() && LogStr[first].empty())
        ++first;
    const int32_t code = first < LogStr.size() ? CodeOf(LogStr[first]) : 500;
    if (code != 210) return code;

    // Raw values, a key's lines joined in order (long values are split over several lines).
    constexpr int32_t MaxTracks = 99;
    std::string generated, discLength, dtitle, dyear, dgenre, extd;
    std::vector<std::string> ttitle, extt;
    int32_t tracks = 0;
    for (size_t i = first + 1; i < LogStr.size() && LogStr[i] != "."; ++i) {
        const std::string& line = LogStr[i];
        if (line.rfind("# Generated", 0) == 0) {
            generated = line.size() > 12 ? line.substr(12) : "";
            continue;
        }
        if (line.rfind("# Disc length", 0) == 0) {
            discLength = line.size() > 14 ? line.substr(14) : "";
            continue;
        }
        const size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
        const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == "DTITLE") {
            dtitle += value;
        } else if (key == "DYEAR") {
            dyear += value;
        } else if (key == "DGENRE") {
            dgenre += value;
        } else if (key == "EXTD") {
            extd += value;
        } else if (key.rfind("TTITLE", 0) == 0) {
            const int32_t t = IndexAfter(key, 6, MaxTracks);
            if (t < 0) continue;
            if (t >= static_cast<int32_t>(ttitle.size())) ttitle.resize(static_cast<size_t>(t) + 1);
            ttitle[static_cast<size_t>(t)] += value;
            tracks = std::max(tracks, t + 1);
        } else if (key.rfind("EXTT", 0) == 0) {
            const int32_t x = IndexAfter(key, 4, MaxTracks);
            if (x < 0) continue;
            if (x >= static_cast<int32_t>(extt.size())) extt.resize(static_cast<size_t>(x) + 1);
            extt[static_cast<size_t>(x)] += value;
        }
    }
    const auto clean = [](const std::string& Raw) { return Unescape(Trim(Raw)); };

    TCDDBAlbum& a = AlbumRec;
    a.Generated = Trim(generated);
    a.DiscLength = Trim(discLength);
    const std::string title = clean(dtitle);
    if (!SplitAtSlash(title, a.AlbumArtist, a.Album)) a.Album = title;
    a.Year = clean(dyear);
    a.Genre = clean(dgenre);
    a.DiscExt = clean(extd);
    a.TrackCount = tracks;
    a.Artist.resize(static_cast<size_t>(tracks));
    a.Title.resize(static_cast<size_t>(tracks));
    a.TrackExt.resize(static_cast<size_t>(tracks));
    for (size_t t = 0; t < static_cast<size_t>(tracks); ++t) {
        const std::string value = clean(ttitle[t]);
        if (!SplitAtSlash(value, a.Artist[t], a.Title[t])) {
            a.Artist[t] = a.AlbumArtist;
            a.Title[t] = value;
        }
        if (t < extt.size()) a.TrackExt[t] = clean(extt[t]);
    }
    return code;
}

int32_t TCDDBQuery::QueryAlbums(const std::string& aCDDB_ID, const std::string& aCDDB_TrackInfo) {
    FCDDB_ID = aCDDB_ID;
    FCDDB_TrackInfo = aCDDB_TrackInfo;
    // A failed query must not leave the albums of another disc.
    AlbumStr.clear();
    AlbumRec = TCDDBAlbum();
    std::string text;
    if (!Request("query", aCDDB_ID + " " + aCDDB_TrackInfo, text)) return -1;
    const int32_t result = ParseAlbums(text);
    if ((result == 200 || result == 210 || result == 211) && !AlbumStr.empty()) QueryAlbumTracks(0);
    return result;
}

int32_t TCDDBQuery::QueryAlbumTracks(int32_t aAlbumIndex) {
    if (AlbumStr.empty() || aAlbumIndex < 0 || aAlbumIndex >= static_cast<int32_t>(AlbumStr.size()))
        return -2;
    const std::string& line = AlbumStr[static_cast<size_t>(aAlbumIndex)];
    const size_t space1 = line.find(' ');
    const std::string category = line.substr(0, space1);
    std::string discId;
    if (space1 != std::string::npos) {
        const size_t space2 = line.find(' ', space1 + 1);
        discId =
            line.substr(space1 + 1, space2 == std::string::npos ? std::string::npos : space2 - space1 - 1);
    }
    std::string text;
    if (!Request("read", category + " " + discId, text)) {
        AlbumRec = TCDDBAlbum();
        return -2;
    }
    return ParseEntry(text);
}

} // namespace tarvio
