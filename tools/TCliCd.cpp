#include "tools/TCliCd.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>

#include "cd/TCDDBInfo.h"
#include "cd/TCDIn.h"
#include "pipeline/TWaveOut.h"
#include "tools/CliError.h"
#include "tools/TPlainText.h"

namespace tarvio {

namespace {

constexpr int ExitOk = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

struct TUsage {
    std::string Message;
};

// Options ("--name value" or "--name=value") and operands after the subcommand.
struct TCdArgs {
    std::string Command;
    std::map<std::string, std::string> Values;
    std::vector<std::string> Operands;

    std::optional<std::string> Value(const std::string& Name) const {
        const auto it = Values.find(Name);
        if (it == Values.end()) return std::nullopt;
        return it->second;
    }
};

TCdArgs Parse(const std::vector<std::string>& Args) {
    static const std::vector<std::string> valued = {"--image", "--drive",   "--server", "--email",
                                                    "--proto", "--timeout", "--album"};
    TCdArgs parsed;
    if (Args.empty()) throw TUsage{"cd needs a command: info, rip or lookup"};
    parsed.Command = Args[0];
    bool options = true;
    for (size_t i = 1; i < Args.size(); ++i) {
        const std::string& a = Args[i];
        if (options && a == "--") {
            options = false;
        } else if (options && a.size() > 1 && a[0] == '-') {
            const size_t eq = a.find('=');
            const std::string name = a.substr(0, eq);
            if (std::find(valued.begin(), valued.end(), name) == valued.end())
                throw TUsage{"unknown option " + a + " for cd " + parsed.Command};
            if (eq != std::string::npos) {
                parsed.Values[name] = a.substr(eq + 1);
            } else {
                if (i + 1 >= Args.size()) throw TUsage{name + " needs a value"};
                parsed.Values[name] = Args[++i];
            }
        } else {
            parsed.Operands.push_back(a);
        }
    }
    return parsed;
}

int32_t Number(const std::string& Option, const std::string& Text, int32_t Min, int32_t Max) {
    int32_t value = 0;
    const auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), value);
    if (ec != std::errc() || end != Text.data() + Text.size() || value < Min || value > Max)
        throw TUsage{"invalid value \"" + Text + "\" for " + Option};
    return value;
}

// Applies --image and --drive to Input.
void ChooseDrive(const TCdArgs& Args, TCDIn& Input) {
    if (const auto drive = Args.Value("--drive")) {
        const int32_t n = Number("--drive", *drive, 0, 1000);
        if (n >= Input.DrivesCount())
            throw TUsage{"there is no drive " + *drive + " (see tarvio-cli cd info)"};
        Input.SetCurrentDrive(n);
    }
}

std::string Length(const TCDMSF& Msf) {
    char text[32];
    std::snprintf(text, sizeof text, "%u:%02u.%02u", Msf.Minute, Msf.Second, Msf.Frame);
    return text;
}

const char* DiscKind(TCDInfo Info) {
    switch (Info) {
    case cdiNoDisc:
        return "no disc";
    case cdiDiscAudio:
        return "audio";
    case cdiDiscData:
        return "data";
    case cdiDiscMixed:
        return "mixed (audio and data)";
    default:
        return "unknown";
    }
}

int Info(const TCdArgs& Args) {
    if (!Args.Operands.empty()) throw TUsage{"cd info takes no operands"};
    TCDIn input;
    ChooseDrive(Args, input);
    const int32_t drives = input.DrivesCount();
    std::printf("drives:       %d\n", drives);
    for (int32_t d = 0; d < drives; ++d) {
        TCDIn other; // reads each drive's name without moving the chosen one
        other.SetCurrentDrive(d);
        std::printf("  %d: %s%s\n", d, other.DriveName().c_str(),
                    d == input.CurrentDrive() ? " (in use)" : "");
    }
    if (drives == 0) {
        PrintError("cd",
                   "There is no CD drive (--image or TARVIO_CD_IMAGE names a disc image to use instead)");
        return ExitFailed;
    }
    const TCDStatus status = input.Status();
    std::printf("status:       %s\n", status == cdsReady ? "ready" : "not ready");
    const int32_t tracks = input.TracksCount();
    if (tracks < 0) {
        std::fflush(stdout);
        PrintError("cd", CR_GetLastError());
        return ExitFailed;
    }
    std::printf("disc:         %s\n", DiscKind(input.DiscInfo()));
    std::printf("tracks:       %d\n", tracks);
    std::printf("  track   start  length    type\n");
    for (int32_t t = 1; t <= tracks; ++t) {
        const TCDTrackInfo track = input.GetTrackInfo(t);
        std::printf("  %5d  %6u  %-8s  %s\n", t, CR_GetTocEntry(t - 1).StartSector,
                    Length(track.TrackLength).c_str(), track.IsDataTrack ? "data" : "audio");
    }
    std::printf("  lead-out %5u\n", CR_GetTocEntry(tracks).StartSector);
    TCDDBInfo cddb;
    cddb.SetCDIn(&input);
    std::printf("disc id:      %s\n", cddb.GetCDDB_ID().c_str());
    std::printf("track list:   %s\n", cddb.GetCDDB_TrackInfo().c_str());
    return ExitOk;
}

int Rip(const TCdArgs& Args) {
    if (Args.Operands.size() != 2) throw TUsage{"cd rip needs TRACK (or FIRST-LAST) and OUT.wav"};
    const std::string& range = Args.Operands[0];
    const size_t dash = range.find('-');
    const int32_t first = Number("TRACK", range.substr(0, dash), 1, 99);
    const int32_t last = dash == std::string::npos ? first : Number("TRACK", range.substr(dash + 1), 1, 99);
    if (last < first) throw TUsage{"the last track lies before the first"};
    TCDIn input;
    ChooseDrive(Args, input);
    input.SetStartTrack(first);
    input.SetEndTrack(last);
    TWaveOut wave;
    wave.SetFileName(Args.Operands[1]);
    wave.SetInput(&input);
    try {
        wave.BlockingRun();
    } catch (const std::exception& e) {
        PrintError(range == std::to_string(first) ? "track " + range : "tracks " + range, e.what());
        return ExitFailed;
    }
    std::printf("%s: %lld frames (%s) to %s\n",
                first == last ? ("track " + range).c_str() : ("tracks " + range).c_str(),
                static_cast<long long>(wave.BytesWritten() / 4),
                Length(TCDMSF::FromFrames(static_cast<int32_t>(wave.BytesWritten() / 2352))).c_str(),
                Args.Operands[1].c_str());
    return ExitOk;
}

// While a request waits: a turning bar and the seconds waited on a terminal, once a second.
class TLookupProgress {
public:
    explicit TLookupProgress(const std::string& Server)
        : FStart(std::chrono::steady_clock::now()), FTerminal(isatty(STDERR_FILENO)) {
        std::fprintf(stderr, "Asking %s ...%s", Server.c_str(), FTerminal ? "" : "\n");
        std::fflush(stderr);
    }
    ~TLookupProgress() {
        if (FTerminal) std::fprintf(stderr, "\r\033[K");
    }
    void Tick() {
        if (!FTerminal) return;
        const auto waited = std::chrono::steady_clock::now() - FStart;
        const int tenths =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() / 100);
        if (tenths == FShown) return;
        FShown = tenths;
        std::fprintf(stderr, "\rAsking ... %c %d s", "|/-\\"[tenths % 4], tenths / 10);
        std::fflush(stderr);
    }

private:
    std::chrono::steady_clock::time_point FStart;
    bool FTerminal;
    int FShown = -1;
};

int Lookup(const TCdArgs& Args) {
    if (!Args.Operands.empty()) throw TUsage{"cd lookup takes no operands"};
    TCDIn input;
    ChooseDrive(Args, input);
    TCDDBInfo cddb;
    cddb.SetCDIn(&input);
    if (const auto server = Args.Value("--server")) {
        std::string s = *server;
        while (!s.empty() && s.back() == '/')
            s.pop_back();
        cddb.SetServer(s);
    }
    if (const auto email = Args.Value("--email")) cddb.SetEmail(*email);
    cddb.SetProtocolLevel(6); // UTF-8 answers, unless --proto asks for less
    if (const auto proto = Args.Value("--proto")) cddb.SetProtocolLevel(Number("--proto", *proto, 1, 6));
    if (const auto timeout = Args.Value("--timeout"))
        cddb.SetTimeout(Number("--timeout", *timeout, 1, 3600) * 1000);
    const int32_t album = Args.Value("--album") ? Number("--album", *Args.Value("--album"), 0, 10000) : 0;

    const std::string id = cddb.GetCDDB_ID();
    if (id == "ffffffff") {
        PrintError("cd", CR_GetLastError());
        return ExitFailed;
    }
    std::printf("disc id:      %s\ntrack list:   %s\n", id.c_str(), cddb.GetCDDB_TrackInfo().c_str());
    std::fflush(stdout);

    int32_t result = 0;
    {
        TLookupProgress progress(cddb.Server());
        cddb.OnProgress = [&](TComponent*) { progress.Tick(); };
        result = cddb.QueryAlbums();
    }
    if (result != 200 && result != 210 && result != 211) {
        std::string message = cddb.LastMessage();
        if (result == 500 && message.find("email") != std::string::npos)
            message += " (give a registered address with --email)";
        PrintError("lookup", result == 202 ? "no match: " + message : message);
        return ExitFailed;
    }
    std::printf("matches:\n");
    for (int32_t i = 0; i < cddb.AlbumCount(); ++i)
        std::printf("  %d: %s\n", i, TPlainText::Printable(cddb.Albums()[static_cast<size_t>(i)]).c_str());
    std::fflush(stdout);
    if (album >= cddb.AlbumCount()) {
        PrintError("lookup", "there is no match " + std::to_string(album));
        return ExitFailed;
    }
    if (album > 0) {
        TLookupProgress progress(cddb.Server());
        cddb.OnProgress = [&](TComponent*) { progress.Tick(); };
        cddb.QueryAlbumTracks(album);
    }
    const TCDDBAlbum a = cddb.Album();
    if (a.TrackCount == 0) {
        PrintError("lookup", "match " + std::to_string(album) + " could not be read: " + cddb.LastMessage());
        return ExitFailed;
    }
    // The server's text is shown, never obeyed by the terminal.
    const auto line = [](std::string Text) {
        for (size_t at; (at = Text.find("\r\n")) != std::string::npos;)
            Text.replace(at, 2, " ");
        return TPlainText::Printable(Text);
    };
    std::printf("album:        %s\n", line(a.Album).c_str());
    std::printf("artist:       %s\n", line(a.AlbumArtist).c_str());
    std::printf("year:         %s\n", line(a.Year).c_str());
    std::printf("genre:        %s\n", line(a.Genre).c_str());
    std::printf("tracks:\n");
    for (int32_t t = 0; t < a.TrackCount; ++t) {
        const auto i = static_cast<size_t>(t);
        const bool ownArtist = a.Artist[i] != a.AlbumArtist && !a.Artist[i].empty();
        std::printf("  %2d. %s%s\n", t + 1, ownArtist ? (line(a.Artist[i]) + " / ").c_str() : "",
                    line(a.Title[i]).c_str());
    }
    return ExitOk;
}

} // namespace

int TCliCd::Run(const std::vector<std::string>& Args) {
    try {
        const TCdArgs args = Parse(Args);
        if (args.Value("--image")) TCDIn::SetDiscImage(*args.Value("--image"));
        if (args.Command == "info") return Info(args);
        if (args.Command == "rip") return Rip(args);
        if (args.Command == "lookup") return Lookup(args);
        throw TUsage{"unknown cd command \"" + args.Command + "\""};
    } catch (const TUsage& e) {
        PrintError("", e.Message + " (see tarvio-cli --help)");
        return ExitUsage;
    } catch (const std::exception& e) {
        PrintError("cd", e.what());
        return ExitFailed;
    }
}

} // namespace tarvio
