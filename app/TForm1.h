#pragma once
// The player's main window: a 640 x 480 skin over a background slideshow, eight spectrum
// bars, information labels, and the audio chain decoder -> AudioCache1 ->
// SpectrumIndicator1 -> DXAudioOut1. All methods run on the GUI thread.
//
// Decoders are chosen by file extension from the decoder registry, which holds only the
// decoders built into this program; an extension whose decoder is absent is an unknown type.

#include "app/TForm.h"
#include "app/TImage.h"
#include "app/TLabel.h"
#include "app/TPicture.h"
#include "app/TTimer.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tarvio {

class TAuOutput;
class TAuInput;
class TIniFile;
class TAuFileIn;
class TAudioCache;
class TAudioPlayList;
class TSpectrumIndicator;
class TGaplessJoin;
struct TDecoderEntry;
class TMP3In;
class TWMIn;
class TVorbisIn;
class TMACIn;
class TFLACIn;
class TMP4In;
class TADTSIn;
class TWVIn;
class TOpusIn;
class TDTSIn;
class TAC3In;
class TWaveIn;
class TCDDBInfo;
class TTagEditor;
class TFolderScanner;
class TMountWatcher;
class TReplayGain;
struct TResumePlace;

class TForm1 : public TForm {
public:
    // Builds every component and runs the start-up (FormCreate). AExeDir is the folder of
    // the configuration file, ending in '/'; empty = the folder of the executable.
    explicit TForm1(TComponent* AOwner = nullptr, const std::string& AExeDir = "");
    ~TForm1() override;

    // Visual components, bottom to top.
    TImage* ImageBg = nullptr;
    TImage* ImageSkin = nullptr;
    TLabel* LabelSamplerate = nullptr;
    TLabel* LabelBitrate = nullptr;
    TLabel* LabelChannel = nullptr;
    TImage* ImageEk[8] = {}; // ImageEk1 .. ImageEk8
    TLabel* LabelArtist = nullptr;
    TLabel* LabelTrack = nullptr;
    TLabel* LabelError = nullptr;
    TLabel* LabelTime = nullptr;

    // The chain. The output is the sound device output of this build.
    TAuOutput* DXAudioOut1 = nullptr;
    TSpectrumIndicator* SpectrumIndicator1 = nullptr;
    TAudioCache* AudioCache1 = nullptr;
    TAudioPlayList* AudioPlayList1 = nullptr;
    // Between the decoders and AudioCache1 when Gapless is on: the next entry's decoder
    // follows the current one in the same run of the output.
    TGaplessJoin* GaplessJoin1 = nullptr;
    // Decoders; null when this build has no such decoder.
    TMP3In* MP3In1 = nullptr;
    TWMIn* WMIn1 = nullptr;
    TVorbisIn* VorbisIn1 = nullptr;
    TMACIn* MACIn1 = nullptr;
    TFLACIn* FLACIn1 = nullptr;
    TMP4In* MP4In1 = nullptr;
    TADTSIn* ADTSIn1 = nullptr;
    TWVIn* WVIn1 = nullptr;
    TOpusIn* OpusIn1 = nullptr;
    TDTSIn* DTSIn1 = nullptr;
    TAC3In* AC3In1 = nullptr;
    TWaveIn* WaveIn1 = nullptr;
    // Disc lookup: present, never used by the player; null in a build without it.
    TCDDBInfo* CDDBInfo1 = nullptr;
    TTagEditor* TagEditor1 = nullptr; // present, never used by the player
    // Between the decoder and the cache while [player] ReplayGain is track or album; out of
    // the chain otherwise.
    TReplayGain* ReplayGain1 = nullptr;
    TTimer* Timer1 = nullptr;
    // AutoNext after a failed entry: fires once, 3 s after the message went up, and plays
    // the next entry.
    TTimer* FailTimer = nullptr;
    // With Gapless: every 50 ms while a joined track has not yet been heard, shows it once
    // its first sample plays.
    TTimer* GaplessTimer = nullptr;
    // With Resume: saves the place every few seconds while playing.
    TTimer* ResumeTimer = nullptr;

    // Player state.
    std::string ExeDir;
    std::string SkinName;
    int32_t BgCnt = 0;
    int32_t BgIndex = 0;
    TPicture PicPlay, PicPlay1, PicPause, PicPause1, PicLeft1, PicRight1, PicOpen1, PicMask;
    int32_t ColPlay = 0, ColLeft = 0, ColRight = 0, ColOpen = 0, ColClose = 0;
    std::string PlayState; // "", "play" or "pause"
    int LastX = 0, LastY = 0;
    int PanX = 0, PanY = 0, PanStep = 1;
    int PlayingIndex = 0;
    // config.ini [player] AutoNext=1: the next entry (after the last, the first) starts
    // when a track ends normally. Off by default.
    bool AutoNext = false;
    // The entry at PlayingIndex could not be played, or its playback ended in an error:
    // next and previous then act as while playing, so a broken file never traps the
    // driver. Cleared when an entry starts.
    bool EntryFailed = false;
    // Entries that failed one after another without a track ending normally or a button
    // being pressed in between; AutoNext stops once every entry of the list has failed.
    int FailedInRow = 0;
    // config.ini [player] MediaKeys=1: the media keys (play, pause, stop, next, previous),
    // space, left and right act as the skin's buttons. Off by default.
    bool MediaKeys = false;
    // config.ini [player] Mpris=1: the program offers the remote control interface on the
    // session bus (TMprisService). Off by default.
    bool Mpris = false;
    // config.ini [player] Gapless=1 (with AutoNext=1): the next entry of the same sample
    // rate, channels and sample size follows the last sample of the current one in the
    // same output run, with no silence between; other entries start the output anew.
    bool Gapless = false;
    // Bytes of the output's current run (as SpectrumIndicator1 counts them) before the
    // first byte of the entry that plays: 0, unless a gapless joint led into it.
    int64_t TrackStartBytes = 0;
    // The decoder of the entry that plays (or played last), null when the entry could not be
    // started; its file name in CurrentFile.
    TAuFileIn* CurrentDecoder = nullptr;
    std::string CurrentFile;
    // Its length in frames as it started (0 when unknown); a seek does not change it.
    int64_t CurrentFrames = 0;
    // Frames of CurrentDecoder's format, and the frame its run of the chain started at (0, or
    // where PlayFrom started it).
    uint32_t CurrentFrameBytes = 0;
    int64_t RunStartFrame = 0;
    // config.ini [player] Resume=1: the place (source, entry, frame, playing or paused) is
    // saved to ResumePath at every change of track or state, every few seconds while playing
    // and at close, and restored at start-up. Off by default.
    bool Resume = false;
    std::string ResumePath;
    // The play list's source as the state file names it (TResumeState::ListSource or
    // FolderSource) and its label; whoever loads a new play list sets both.
    std::string ResumeSource;
    std::string ResumeLabel;
    // config.ini [player] ReplayGain: 0 off (default), 1 track, 2 album gain; PreampDb is
    // the gain of files without gain tags (dB).
    int ReplayGainMode = 0;
    double PreampDb = 0.0;
    // Runs on the GUI thread after the player's state changed: a track started, ended or
    // failed, playback paused or resumed (for the remote control).
    TNotifyEvent OnPlayerChanged;

    // config.ini [player] MusicDir=PATH[;PATH...]: at start-up the play list is scanned from
    // these folders (TFolderScanner) instead of read from PlayList.txt. Empty by default.
    std::vector<std::string> MusicDirs;
    // config.ini [player] WatchMounts=PATH: a file system mounted below PATH is scanned and
    // played; when it goes away while it plays, playback stops. Empty (off) by default.
    std::string WatchMounts;
    // True while a scan builds the play list; the list grows folder by folder.
    bool Scanning = false;
    // The mount point the play list was scanned from (hot-plug), else empty.
    std::string ListSource;
    // Chooses where a list scanned from a newly mounted folder starts: called on the GUI
    // thread once the scan is done, with the mount point and the whole list; returns an
    // entry index (one out of range means entry 0). Unset: entry 0 starts as soon as the
    // first folder is scanned.
    std::function<int(const std::string& Source, const std::vector<std::string>& Files)> ChooseStartEntry;
    // Scans Roots into a new play list (what plays is stopped when Play). Source: the mount
    // point it comes from, or empty. Play: starts playing once there is something to play.
    void StartScan(const std::vector<std::string>& Roots, const std::string& Source, bool Play);
    // Hot-plug events, on the GUI thread.
    void MountAppeared(const std::string& MountPoint);
    void MountVanished(const std::string& MountPoint);
    // "1 файл", "3 файла", "25 файлов": a count with the Russian plural form.
    static std::string FilesText(size_t Count);

    // The transport, as the skin's buttons act on release (same rules, pictures and
    // labels), for the buttons, the keys and the remote control. Next and previous act
    // only while playing or after a failed entry; errors of PlayCurrent propagate.
    void PlayButton(); // start, pause or resume
    void NextButton();
    void PreviousButton();
    void OpenButton();
    // Makes Path (a local file) a play list of its own and plays it, as a first press of
    // play would. Errors of PlayCurrent propagate.
    void PlayFile(const std::string& Path);
    // Plays the entry that plays now again from Frame (a seek): the output restarts there.
    // False, and nothing changes, when nothing plays or the decoder cannot seek.
    bool PlayFrom(int64_t Frame);
    // The frame of the current entry that the output has taken so far (0 when nothing
    // started); ahead of what is heard by the output's buffer.
    int64_t PlayedFrames() const;
    // Writes the current place to ResumePath (nothing when nothing has started yet); a
    // failure is reported on standard error once per reason and playback goes on.
    void SaveResumeState();
    // Restores Place in the current play list: its entry starts at its frame, paused when it
    // was paused. An entry the list lacks or whose file is gone: entry 0 from its start
    // (played only when Place was playing). False when nothing was started.
    bool ResumeFrom(const TResumePlace& Place);

    // Plays entry PlayingIndex of the play list (stops what plays, picks the decoder,
    // starts the output, fills the labels). Errors outside the decoder check propagate.
    void PlayCurrent();
    // Shows the next background picture and starts panning when it exceeds the window.
    void NextBackground();
    // The decoder for a file name's extension, or null; IsDTS tells whether it is DTS.
    TAuFileIn* DecoderFor(const std::string& FileName, bool& IsDTS) const;
    // A new decoder of Named's class and settings (owned by the caller), for a second file
    // of that type at the same time; null when Named is none of this form's decoders.
    std::unique_ptr<TAuFileIn> AnotherDecoderLike(TAuFileIn* Named) const;
    // The extensions the player can play, lower case with the dot.
    std::vector<std::string> Extensions() const;
    // Every decoder for a file name's extension, in the order they are tried; empty when
    // none is.
    std::vector<TAuFileIn*> DecodersFor(const std::string& FileName) const;

    // Handlers (public so tests can drive them as the framework would).
    void FormCreate(TComponent* Sender);
    void FormClose(TComponent* Sender);
    void FormKeyDown(TComponent* Sender, int Key);
    void DXAudioOut1Done(TComponent* Sender);
    void ImageSkinMouseDown(TComponent* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    void ImageSkinMouseMove(TComponent* Sender, TShiftState Shift, int X, int Y);
    void ImageSkinMouseUp(TComponent* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    void ImageSkinClick(TComponent* Sender);
    void LabelClick(TComponent* Sender); // artist, track and time labels
    void Timer1Timer(TComponent* Sender);
    void FailTimerTimer(TComponent* Sender);
    void GaplessTimerTimer(TComponent* Sender);
    void GaplessJoin1Joint(TComponent* Sender);
    void ResumeTimerTimer(TComponent* Sender);
    void SpectrumIndicator1GainData(TComponent* Sender);
    void AudioPlayList1PlayItemChanged(TComponent* Sender);

    // The bar picture of the spectrum bars (80 x 240, grey columns over transparency).
    static TPicture MakeBarPicture();
    // The largest band level the bars follow; from 140 on the scale would not settle.
    static constexpr float MaxLevel = 130.0f;
    // New bar tops (pixels) for the band levels, scaled by bar 1's current top.
    static void BarTops(const float (&Levels)[8], int Top1, int (&Tops)[8]);

private:
    void CreateComponents();
    // Fills FDecoders from the decoder registry (after the named decoders exist).
    void MapDecoders();
    void ShowSkin(const TPicture& Picture);
    // The mask colour at (LastX, LastY); TPicture::clInvalid when there is no mask there.
    int32_t HitColor() const;
    // Notes that the current entry failed (its message is shown) and, with AutoNext, sets
    // up the move to the next entry unless every entry has failed in a row.
    void EntryFails();
    // A button or key was used: no pending move past a failed entry, a new count of them.
    void DriverActs();
    void PlayerChanged();
    // Moves PlayingIndex by Step (+1 or -1) around the list and plays that entry.
    void PlayNeighbour(int Step);
    // Stops the output (Wait as TAuOutput::Stop); a gapless join waiting for its next
    // entry lets go first.
    void StopOutput(bool Wait);
    // The labels of a track that has started: time, rate, channels, tags.
    void ShowTrackLabels(TAuFileIn* Decoder, const std::string& Name, bool IsDTS, bool IsAC3);
    // Reads the [player] keys of resume and loudness (FormCreate).
    void ReadResumeAndGainConfig(TIniFile& Config);
    // Start-up: restores the saved place of the play list just read.
    void ResumeAtStart();
    // Puts ReplayGain1 in front of Decoder with the gain of FileName's tags; returns what
    // the cache is to read (Decoder itself while off).
    TAuInput* GainStageFor(TAuFileIn* Decoder, const std::string& FileName);
    std::string FLastResumeError; // the last save failure reported
    // The indicator has been seen busy since the last Run: its position is this run's.
    mutable bool FRunInitSeen = false;

    // ---- Gapless AutoNext ----
    // A decoder of the entry after the last one in the chain, opened and named to the join.
    struct TGaplessEntry {
        std::unique_ptr<TAuFileIn> Decoder;
        std::unique_ptr<TReplayGain> Gain; // in front of Decoder when ReplayGain is on
        TAuInput* Input() const;           // what the join reads: Gain, else Decoder
        int Index = 0;
        std::string Name;
        int64_t StartBytes = 0; // where its data starts in the run, once joined
    };
    // The decoder that the output's input reads for Decoder (the join when Gapless).
    TAuInput* ChainInput(TAuInput* Decoder);
    // Opens the entry after the last one in the chain and names it to the join.
    void PrepareNextEntry();
    // Whether Decoder is the DTS or the AC-3 input: such a track plays in a run of its own.
    bool IsSurroundDecoder(const TAuFileIn* Decoder) const;
    // Forgets every entry decoded ahead of the one that plays (after the output stopped).
    // KeepPlaying keeps the spare decoder of the entry that plays, for a restart of it.
    void DropGaplessEntries(bool KeepPlaying);
    // Makes the oldest joined entry the one that plays: index, labels, remote control.
    void ShowJoinedEntry();
    TGaplessEntry FNextEntry;                       // opened, named to the join; Decoder may be null
    std::deque<TGaplessEntry> FJoinedEntries;       // joined, not yet heard, in order
    std::unique_ptr<TAuFileIn> FPlayingSpare;       // the entry that plays, when not a named decoder
    std::unique_ptr<TReplayGain> FPlayingSpareGain; // its gain stage

    // Extension -> decoder, in the registry's order; an extension may appear more than once.
    std::vector<std::pair<std::string, TAuFileIn*>> FDecoders;
    // Inputs of registry entries that have no named component here.
    std::vector<std::unique_ptr<TAuFileIn>> FOwnDecoders;
    // The registry entry of each decoder above, named or own.
    std::vector<std::pair<TAuFileIn*, const TDecoderEntry*>> FEntryOf;

    // Scan results reach the GUI thread as queued calls; those of an older scan, or queued
    // before the window went away, find another FScanId or an expired FAlive and do nothing.
    void ScanFilesFound(uint64_t Id, std::vector<std::string> Files, size_t Found, bool Done);
    std::unique_ptr<TFolderScanner> FScanner;
    std::unique_ptr<TMountWatcher> FMountWatcher;
    std::shared_ptr<int> FAlive = std::make_shared<int>(0);
    uint64_t FScanId = 0;
    bool FScanPlays = false;   // the running scan starts playback
    bool FScanResumes = false; // with Resume: the running scan's list looks up its saved place
};

} // namespace tarvio
