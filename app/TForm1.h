#pragma once
// The player's main window: a 640 x 480 skin over a background slideshow, eight spectrum
// bars, information labels, and the audio chain decoder -> AudioCache1 ->
// SpectrumIndicator1 -> DXAudioOut1. All methods run on the GUI thread.
//
// Decoders are chosen by file extension from a table that holds only the decoders built
// into this program; an extension whose decoder is absent is an unknown type.

#include "app/TForm.h"
#include "app/TImage.h"
#include "app/TLabel.h"
#include "app/TPicture.h"
#include "app/TTimer.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tarvio {

class TAuOutput;
class TAuFileIn;
class TAudioCache;
class TAudioPlayList;
class TSpectrumIndicator;
class TMP3In;
class TWMIn;
class TVorbisIn;
class TMACIn;
class TFLACIn;
class TMP4In;
class TWVIn;
class TOpusIn;
class TDTSIn;
class TAC3In;
class TWaveIn;
class TCDDBInfo;
class TTagEditor;

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
    // Decoders; null when this build has no such decoder.
    TMP3In* MP3In1 = nullptr;
    TWMIn* WMIn1 = nullptr;
    TVorbisIn* VorbisIn1 = nullptr;
    TMACIn* MACIn1 = nullptr;
    TFLACIn* FLACIn1 = nullptr;
    TMP4In* MP4In1 = nullptr;
    TWVIn* WVIn1 = nullptr;
    TOpusIn* OpusIn1 = nullptr;
    TDTSIn* DTSIn1 = nullptr;
    TAC3In* AC3In1 = nullptr;
    TWaveIn* WaveIn1 = nullptr;
    // Disc lookup: present, never used by the player; null in a build without it.
    TCDDBInfo* CDDBInfo1 = nullptr;
    TTagEditor* TagEditor1 = nullptr; // present, never used by the player
    TTimer* Timer1 = nullptr;
    // AutoNext after a failed entry: fires once, 3 s after the message went up, and plays
    // the next entry.
    TTimer* FailTimer = nullptr;

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
    // The decoder of the entry that plays (or played last), null when the entry could not be
    // started; its file name in CurrentFile.
    TAuFileIn* CurrentDecoder = nullptr;
    std::string CurrentFile;
    // Its length in frames as it started (0 when unknown); a seek does not change it.
    int64_t CurrentFrames = 0;
    // Runs on the GUI thread after the player's state changed: a track started, ended or
    // failed, playback paused or resumed (for the remote control).
    TNotifyEvent OnPlayerChanged;

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

    // Plays entry PlayingIndex of the play list (stops what plays, picks the decoder,
    // starts the output, fills the labels). Errors outside the decoder check propagate.
    void PlayCurrent();
    // Shows the next background picture and starts panning when it exceeds the window.
    void NextBackground();
    // The decoder for a file name's extension, or null; IsDTS tells whether it is DTS.
    TAuFileIn* DecoderFor(const std::string& FileName, bool& IsDTS) const;
    // The extensions the player can play, lower case with the dot.
    std::vector<std::string> Extensions() const;

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

    std::vector<std::pair<std::string, TAuFileIn*>> FDecoders; // extension -> decoder
};

} // namespace tarvio
