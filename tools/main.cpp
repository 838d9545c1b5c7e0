// tarvio-cli: inspect, decode and play audio files with the Tarvio pipeline.

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "tags/TCodePage.h"
#include "tools/CliError.h"
#include "tools/TCliPlaylist.h"
#include "tools/TCliTags.h"
#include "tools/TDecodeCommand.h"
#include "tools/TDecoderTable.h"
#include "tools/TFileCheck.h"
#include "tools/TFileInfo.h"

#if TARVIO_HAVE_CD
#include "tools/TCliCd.h"
#endif
#if TARVIO_HAVE_PLAY
#include "output/DSoundWrapper.h"
#include "pipeline/TRealtimeScheduling.h"
#include "tools/TCliPlayer.h"
#endif

using namespace tarvio;

#ifndef TARVIO_VERSION
#define TARVIO_VERSION "unknown"
#endif

namespace {

constexpr int ExitOk = 0;
constexpr int ExitCannotPlay = 1;
constexpr int ExitUsage = 2;

const char* const UsageText = R"(NAME
    tarvio-cli - inspect, decode and play audio files with the Tarvio pipeline

SYNOPSIS
    tarvio-cli info [--json] [--decoder NAME] FILE...
    tarvio-cli decode [--decoder NAME] [--start SAMPLE] [--end SAMPLE] [--keep-going] FILE OUT.wav
    tarvio-cli play [--decoder NAME] [--device N|null|wav:PATH] [--latency MS] [--verbose] FILE...
    tarvio-cli play --list-devices
    tarvio-cli cd info [--image PATH] [--drive N]
    tarvio-cli cd rip [--image PATH] [--drive N] TRACK[-LAST] OUT.wav
    tarvio-cli cd lookup [--image PATH] [--drive N] [--server URL] [--email ADDR]
                         [--proto LEVEL] [--timeout SECONDS] [--album N]
    tarvio-cli playlist DIR... [-o FILE]
    tarvio-cli tags [--json] FILE...
    tarvio-cli tags [--json] [--in-place] FILE --set KEY=VALUE [--set KEY=VALUE]...
    tarvio-cli --help
    tarvio-cli --version

DESCRIPTION
    The decoder is chosen by the file name's extension, compared in lower case.
    A ".wav" file goes to the DTS decoder, and to the WAV decoder when the DTS
    decoder does not accept its content; a ".vob" file to the AC-3 decoder,
    then to the DTS decoder. --decoder NAME forces a decoder.

    Multichannel PCM is in WAVE order (FL FR FC LFE BL BR ... SL SR, the
    speakers of the default layout of the channel count): the layout info
    shows, and the layout of the WAVE files decode writes.

COMMANDS
    info FILE...
        Prints for each file the decoder chosen, whether it is valid, channels
        and their layout, sample rate, bits per sample, total samples (frames),
        total time (m:ss), the decoder's bit rate where it has one, and the
        common tags (title, artist, album, genre, year, track) of decoders
        whose files carry tags. Some formats add facts of their own ("details"
        in JSON): WavPack its mode flags (wvc, lossless, hybrid, float, high,
        extra, ...), MP3 and WMA whether the bit rate varies (vbr: yes or no).

    decode FILE OUT.wav
        Writes the decoder's PCM, byte for byte, into the RIFF WAVE file OUT.wav.
        On failure OUT.wav holds what was decoded before the error. OUT.wav may
        be a pipe (/dev/stdout): the header then gives the largest sizes, and
        the data runs to the end of the stream. Damage in FILE (lost sync, a
        frame whose checksum fails, a frame the library rejects, a gap, data
        that ends early) is reported one line per kind with the frame where it
        was first met, and the output ends before it; --keep-going decodes
        past it.

    play FILE...
        Plays the files one after the other through the audio cache, the
        spectrum indicator and the sound output. When standard input is a
        terminal, keys control playback and, if standard output is a terminal
        too, one line shows the elapsed and total time and the eight band levels.

    cd info
        Lists the CD drives (a disc image given by --image or TARVIO_CD_IMAGE
        is drive 0), and for the drive in use (--drive, default 0) its status,
        the kind of disc, the table of contents (start sector, length m:ss.ff,
        audio or data), the disc database identifier and track list.

    cd rip TRACK[-LAST] OUT.wav
        Rips the audio of track TRACK (through track LAST), from its start to
        the next track's start, into OUT.wav: 16-bit stereo at 44100 Hz, the
        disc's samples unchanged.

    cd lookup
        Looks the disc up in a CDDB disc database over HTTP(S) (--server, the
        address before "/~cddb/cddb.cgi"; default https://gnudb.gnudb.org),
        showing progress while it waits, and prints the matches and the titles
        of match --album N (default 0). Public servers want a registered
        address (--email); --proto N asks for protocol level N (default 6,
        UTF-8 answers; 5 and below ISO-8859-1, unless the answer names its
        charset); --timeout bounds the wait (default 30 s).

    playlist DIR...
        Writes the audio files under the folders DIR (those of an extension
        a decoder of this build takes, see below) as a play list the player
        reads: UTF-8
        with a byte-order mark, one path per line. Folders come in natural
        order (numbers by value, letters without case, Cyrillic by its
        alphabet); inside a folder whose every file carries a track number in
        its tags, disc and track number decide, else the natural order of the
        names. Symbolic links leading back into the walk are not followed
        again; a folder that cannot be read is skipped with a warning. With
        -o FILE the list replaces FILE once complete, with paths relative to
        FILE's folder when they lie below it (so a list on a stick works from
        any folder); without, it goes to standard output, relative to the
        current directory.

    tags FILE...
        Prints the common tags (title, artist, album, genre, year, track), the
        duration and the bit rate of each file as TagLib reads them, for
        ".mp3", ".wma", ".m4a", ".flac", ".wv" and ".ogg" files. A missing year
        or track reads 0. "conflicts" lists the values a file holds twice for
        a field where they differ (players choose differently among them);
        "stale copy" a copy that a killed save left beside the file.

    tags FILE --set KEY=VALUE...
        Writes the values given into FILE (not ".wma"), keeps the others, and
        prints the tags read back. KEY: title, artist, album, genre, year,
        track. An empty value, or 0 for year and track, removes the field. The
        save is made on a copy beside FILE that replaces it only when the save
        succeeded, the values read back and the decoded audio is unchanged: a
        failed save leaves FILE as it was. Fields not given are not rewritten.
        A file with other hard links, or in a folder the user may not write
        to, is refused unless --in-place is given.

OPTIONS
    --json            info, tags: one JSON object per file, one per line. A file
                      that cannot be handled gives {"file", "decoder" (info),
                      "valid": false, "error"}.
    -o FILE           playlist: write the list into FILE.
    --set KEY=VALUE   tags: a value to write (see above).
    --in-place        tags: save a file that a copy cannot replace (other hard
                      links, a folder without write permission) in place; a
                      save killed half way then leaves it damaged.
    --decoder NAME    Use decoder NAME whatever the extension.
    --start SAMPLE    decode: first frame to write (0-based; default 0).
    --end SAMPLE      decode: frame to stop before (default: the end). Frames
                      count one sample of every channel.
    --keep-going      decode: write everything that decodes, past damage in
                      FILE; the damage lines are then warnings (exit status 0).
    --device DEV      play: device number N from --list-devices, "null" (plays
                      silently in real time) or "wav:PATH" (records what plays,
                      silence included, into PATH; each file starts it anew).
    --latency MS      play: milliseconds of sound queued ahead (default 100).
    --list-devices    play: print the output devices and exit.
    --verbose         play: say on standard error, at the end, which scheduling
                      the sound threads got (real-time or not) and how many
                      underruns (gaps the device filled with silence) there were.
    --help            Print this text.
    --version         Print the program's version.

KEYS (play, when standard input is a terminal)
    space             pause / resume
    n                 next file
    left, right       seek 10 seconds back / forward; works until the audio
                      cache has read the file to its end (it reads up to
                      6 MiB ahead), then the keys do nothing
    q                 quit

EXIT STATUS
    0   success
    1   a file cannot be played (no decoder for it, missing, not valid, or the
        run failed), or its tags cannot be read or written, or read back other
        values than were written, or decode met damage without --keep-going; the
        other files are still handled; playlist: a DIR is no folder, nothing
        playable was found or the list cannot be written (FILE is left as it
        was)
    2   usage error

ENVIRONMENT
    TARVIO_AUDIO_DEVICE   "null" or "wav:PATH": the device of every output
                          (--device null|wav:PATH sets it)
    TARVIO_CODEPAGE       code page of narrow tag text (default CP1251)
    TARVIO_CD_IMAGE       a disc image (CUE sheet with its .bin, NRG or cdrdao
                          TOC file) to use as CD drive 0
)";

struct TUsageError {
    std::string Message;
    bool HelpHint = true; // false when the message gives its own
};

[[noreturn]] void Usage(const std::string& Message, bool HelpHint = true) {
    throw TUsageError{Message, HelpHint};
}

void PrintHelp() {
    std::fputs(UsageText, stdout);
    std::printf("\nDECODERS IN THIS BUILD\n");
    if (TDecoderTable::Entries().empty()) std::printf("    none\n");
    for (const TDecoderEntry& e : TDecoderTable::Entries()) {
        std::string exts;
        for (const std::string& x : e.Extensions)
            exts += (exts.empty() ? "" : " ") + x;
        std::printf("    %-10s %-10s %s\n", e.Name.c_str(), e.ClassName.c_str(), exts.c_str());
    }
}

int64_t ParseCount(const std::string& Option, const std::string& Text, int64_t Max) {
    int64_t value = 0;
    const auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), value);
    if (ec != std::errc() || end != Text.data() + Text.size() || value < 0 || value > Max)
        Usage("invalid value \"" + Text + "\" for " + Option);
    return value;
}

// The arguments after the command: options (anywhere; "--" ends them) and operands.
class TArgs {
public:
    TArgs(int argc, char** argv, int First, std::vector<std::string> Flags, std::vector<std::string> Valued)
        : FFlags(std::move(Flags)), FValued(std::move(Valued)) {
        bool options = true;
        for (int i = First; i < argc; ++i) {
            std::string a = argv[i];
            if (options && a == "--") {
                options = false;
            } else if (options && a.size() > 1 && a[0] == '-') {
                std::string name = a, value;
                const size_t eq = a.find('=');
                if (eq != std::string::npos) {
                    name = a.substr(0, eq);
                    value = a.substr(eq + 1);
                }
                if (Has(FFlags, name) && eq == std::string::npos) {
                    FSet.emplace_back(name, "");
                } else if (Has(FValued, name)) {
                    if (eq == std::string::npos) {
                        if (i + 1 >= argc) Usage(name + " needs a value");
                        value = argv[++i];
                    }
                    FSet.emplace_back(name, value);
                } else {
                    Usage("unknown option " + a);
                }
            } else {
                Operands.push_back(a);
            }
        }
    }

    bool Flag(const std::string& Name) const { return Value(Name).has_value(); }
    std::optional<std::string> Value(const std::string& Name) const {
        std::optional<std::string> v;
        for (const auto& [n, value] : FSet)
            if (n == Name) v = value; // the last one counts
        return v;
    }
    // Every value of an option that may be given more than once, in order.
    std::vector<std::string> Values(const std::string& Name) const {
        std::vector<std::string> all;
        for (const auto& [n, value] : FSet)
            if (n == Name) all.push_back(value);
        return all;
    }

    std::vector<std::string> Operands;

private:
    static bool Has(const std::vector<std::string>& List, const std::string& Name) {
        for (const std::string& s : List)
            if (s == Name) return true;
        return false;
    }
    std::vector<std::string> FFlags, FValued;
    std::vector<std::pair<std::string, std::string>> FSet;
};

const TDecoderEntry* ForcedDecoder(const TArgs& Args) {
    const auto name = Args.Value("--decoder");
    if (!name) return nullptr;
    if (const TDecoderEntry* e = TDecoderTable::ByName(*name)) return e;
    std::string known;
    for (const TDecoderEntry& e : TDecoderTable::Entries())
        known += (known.empty() ? "" : ", ") + e.Name;
    Usage("unknown decoder \"" + *name + "\" (this build has: " + (known.empty() ? "none" : known) + ")",
          false);
}

int Info(const TArgs& Args) {
    if (Args.Operands.empty()) Usage("info needs at least one FILE");
    const bool json = Args.Flag("--json");
    const TDecoderEntry* forced = ForcedDecoder(Args);
    int status = ExitOk;
    bool first = true;
    for (const std::string& file : Args.Operands) {
        std::string error;
        TOpenedDecoder decoder = TDecoderTable::Open(file, forced, error);
        if (!decoder.Input) {
            PrintError(file, error);
            if (json)
                std::printf(
                    "%s\n",
                    TFileInfo::JsonError(file, decoder.Entry ? decoder.Entry->Name : "", error).c_str());
            status = ExitCannotPlay;
            continue;
        }
        try {
            const TFileInfo info = TFileInfo::Of(file, decoder);
            if (!info.Valid) status = ExitCannotPlay;
            if (json) {
                std::printf("%s\n", info.Json().c_str());
            } else {
                std::printf("%s%s", first ? "" : "\n", info.Text().c_str());
                first = false;
            }
        } catch (const std::exception& e) {
            PrintError(file, e.what());
            if (json) std::printf("%s\n", TFileInfo::JsonError(file, decoder.Entry->Name, e.what()).c_str());
            status = ExitCannotPlay;
        }
        std::fflush(stdout);
    }
    return status;
}

int Decode(const TArgs& Args) {
    if (Args.Operands.size() != 2) Usage("decode needs FILE and OUT.wav");
    const std::string& file = Args.Operands[0];
    const std::string& out = Args.Operands[1];
    constexpr int64_t MaxFrame = int64_t{1} << 53;
    const auto startText = Args.Value("--start"), endText = Args.Value("--end");
    const int64_t start = startText ? ParseCount("--start", *startText, MaxFrame) : 0;
    int64_t end = endText ? ParseCount("--end", *endText, MaxFrame) : -1;
    if (end >= 0 && end < start) Usage("--end lies before --start");
    const TDecoderEntry* forced = ForcedDecoder(Args);
    if (TFileCheck::SameFile(file, out)) Usage("OUT.wav is the input file itself");

    std::string error;
    TOpenedDecoder decoder = TDecoderTable::Open(file, forced, error);
    if (!decoder.Input) {
        PrintError(file, error);
        return ExitCannotPlay;
    }
    // A length estimated at open may fall short of the data: the decoder finds its end.
    const int64_t total = decoder.Input->TotalSamples();
    if (total >= 0 && !decoder.Input->LengthIsEstimate()) {
        if (start > total)
            Usage("--start " + std::to_string(start) + " lies past the end of " + file + " (" +
                  std::to_string(total) + " samples)");
        if (end > total) end = total;
    }
    return TDecodeCommand::Run({file, out, start, end, Args.Flag("--keep-going")}, decoder);
}

int Tags(const TArgs& Args) {
    if (Args.Operands.empty()) Usage("tags needs a FILE");
    TCliTags tags;
    for (const std::string& set : Args.Values("--set")) {
        std::string error;
        if (!tags.AddSet(set, error)) Usage(error);
    }
    if (tags.Writing() && Args.Operands.size() != 1) Usage("tags --set writes one FILE");
    tags.SetInPlace(Args.Flag("--in-place"));
    return tags.Run(Args.Operands, Args.Flag("--json"));
}

#if TARVIO_HAVE_PLAY
int ListDevices() {
    DSW_Devices devices{};
    DSW_EnumDevices(devices);
    for (int i = 0; i < devices.devcount; ++i)
        std::printf("%d: %s\n", i, TCodePage::WideToUtf8(devices.dinfo[i].name).c_str());
    return ExitOk;
}

int Play(const TArgs& Args) {
    std::optional<int64_t> number;
    if (const auto device = Args.Value("--device")) {
        if (*device == "null" || device->rfind("wav:", 0) == 0) {
            if (*device == "wav:") Usage("--device wav:PATH needs a PATH");
            setenv("TARVIO_AUDIO_DEVICE", device->c_str(), 1); // before the output lists its devices
        } else {
            number = ParseCount("--device", *device, 1000);
        }
    }
    if (Args.Flag("--list-devices")) {
        if (!Args.Operands.empty()) Usage("--list-devices takes no FILE");
        return ListDevices();
    }
    if (Args.Operands.empty()) Usage("play needs at least one FILE");
    // Each file starts a recording anew: one that is an input would be replaced by it.
    if (const char* device = std::getenv("TARVIO_AUDIO_DEVICE");
        device && std::string(device).rfind("wav:", 0) == 0)
        for (const std::string& file : Args.Operands)
            if (TFileCheck::SameFile(device + 4, file))
                Usage("the recording " + file + " is an input file itself");
    const TDecoderEntry* forced = ForcedDecoder(Args);
    std::optional<int64_t> latency;
    if (const auto text = Args.Value("--latency")) latency = ParseCount("--latency", *text, 60000);

    const bool verbose = Args.Flag("--verbose");
    TCliPlayer player;
    if (number) {
        if (*number >= player.DeviceCount())
            Usage("there is no device " + std::to_string(*number) + " (see play --list-devices)", false);
        player.SetDeviceNumber(static_cast<int32_t>(*number));
    }
    if (latency) player.SetLatency(static_cast<uint32_t>(*latency));
    const int status = player.Play(Args.Operands, forced);
    // After the status line, which a terminal redraws in place while playing.
    if (verbose) {
        const std::string scheduling = TRealtimeScheduling::Report();
        std::fprintf(stderr, "tarvio-cli: real-time scheduling: %s\n",
                     scheduling.empty() ? "not asked for" : scheduling.c_str());
        std::fprintf(stderr, "tarvio-cli: %u underruns\n", player.Underruns());
    }
    return status;
}
#endif

int Run(int argc, char** argv) {
    if (argc < 2) Usage("no command given");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        PrintHelp();
        return ExitOk;
    }
    if (command == "--version") {
        std::printf("tarvio-cli %s\n", TARVIO_VERSION);
        return ExitOk;
    }
    // Any command shows the usage text when asked.
    for (int i = 2; i < argc && std::string(argv[i]) != "--"; ++i)
        if (std::string(argv[i]) == "--help") {
            PrintHelp();
            return ExitOk;
        }
    if (command == "info") return Info(TArgs(argc, argv, 2, {"--json"}, {"--decoder"}));
    if (command == "decode")
        return Decode(TArgs(argc, argv, 2, {"--keep-going"}, {"--decoder", "--start", "--end"}));
    if (command == "playlist") {
        const TArgs args(argc, argv, 2, {}, {"-o"});
        if (args.Operands.empty()) Usage("playlist needs at least one DIR");
        return TCliPlaylist::Run(args.Operands, args.Value("-o"));
    }
    if (command == "tags") return Tags(TArgs(argc, argv, 2, {"--json", "--in-place"}, {"--set"}));
#if TARVIO_HAVE_CD
    if (command == "cd") return TCliCd::Run(std::vector<std::string>(argv + 2, argv + argc));
#endif
    if (command == "play") {
#if TARVIO_HAVE_PLAY
        return Play(
            TArgs(argc, argv, 2, {"--list-devices", "--verbose"}, {"--decoder", "--device", "--latency"}));
#else
        PrintError("", "this build has no sound output");
        return ExitCannotPlay;
#endif
    }
    Usage("unknown command \"" + command + "\"");
}

} // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const TUsageError& e) {
        PrintError("", e.HelpHint ? e.Message + " (see tarvio-cli --help)" : e.Message);
        return ExitUsage;
    } catch (const std::exception& e) {
        PrintError("", e.what());
        return ExitCannotPlay;
    }
}
