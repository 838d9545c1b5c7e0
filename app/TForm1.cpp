#include "app/TForm1.h"

#include "app/TApplication.h"
#include "app/TConfigPaths.h"
#include "app/TIniFile.h"
#include "app/TResumeState.h"
#include "app/TTextFile.h"
#include "decoders/TDecoderRegistry.h"
#include "pipeline/TAuFileIn.h"
#include "pipeline/TAuTaggedFileIn.h"
#include "pipeline/TMainThreadQueue.h"
#include "stages/TAudioCache.h"
#include "stages/TAudioPlayList.h"
#include "stages/TFolderScanner.h"
#include "stages/TGaplessJoin.h"
#include "stages/TMountWatcher.h"
#include "stages/TReplayGain.h"
#include "stages/TSpectrumIndicator.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"
#include "tags/TTagEditor.h"

#if TARVIO_HAVE_DXAUDIOOUT
#include "output/TDXAudioOut.h"
#else
#include "pipeline/TNullOut.h"
#endif
#if TARVIO_HAVE_MP3
#include "decoders/wm/TMP3In.h"
#endif
#if TARVIO_HAVE_VORBIS
#include "decoders/vorbis/TVorbisIn.h"
#endif
#if TARVIO_HAVE_MAC
#include "decoders/mac/TMACIn.h"
#endif
#if TARVIO_HAVE_FLAC
#include "decoders/flac/TFLACIn.h"
#endif
#if TARVIO_HAVE_MP4
#include "decoders/mp4/TADTSIn.h"
#include "decoders/mp4/TMP4In.h"
#endif
#if TARVIO_HAVE_WAVPACK
#include "decoders/wavpack/TWVIn.h"
#endif
#if TARVIO_HAVE_OPUS
#include "decoders/opus/TOpusIn.h"
#endif
#if TARVIO_HAVE_DTS
#include "decoders/dts/TDTSIn.h"
#endif
#if TARVIO_HAVE_AC3
#include "decoders/ac3/TAC3In.h"
#endif
#if TARVIO_HAVE_WAV
#include "decoders/wav/TWaveIn.h"
#endif
#if TARVIO_HAVE_CD
#include "cd/TCDDBInfo.h"
#endif

#include <QCoreApplication>
#include <QFile>
#include <QLocale>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>

namespace tarvio {

namespace {

constexpr int32_t clBlack = 0x000000;
constexpr const char* CannotPlayText = "Не могу проиграть файл. Файл поврежден или не найден кодек.";
constexpr int32_t clMaroon = 0x000080;

std::string ExtractFileName(const std::string& Name) {
    size_t slash = Name.find_last_of('/');
    return slash == std::string::npos ? Name : Name.substr(slash + 1);
}

// The extension (from the last dot of the file name part, dot included), lower case.
std::string LowerExtension(const std::string& Name) {
    std::string file = ExtractFileName(Name);
    size_t dot = file.find_last_of('.');
    if (dot == std::string::npos) return {};
    return QString::fromStdString(file.substr(dot)).toLower().toStdString();
}

TFont MakeFont(int Height, bool Bold, int32_t Color) {
    TFont f;
    f.SetName("Tahoma");
    f.SetHeight(Height);
    f.SetBold(Bold);
    f.SetColor(Color);
    return f;
}

// Rounds to the nearest integer, ties to even.
int RoundEven(float X) {
    float r = std::round(X);
    if (std::fabs(X - std::trunc(X)) == 0.5f) r = 2.0f * std::round(X / 2.0f);
    return static_cast<int>(r);
}

} // namespace

TForm1::TForm1(TComponent* AOwner, const std::string& AExeDir) : TForm(AOwner), ExeDir(AExeDir) {
    SetName("Form1");
    SetCaption("Tarvio");
    SetClientSize(640, 480);
    CreateComponents();
    SetOnCreate([this](TComponent* S) { FormCreate(S); });
    SetOnClose([this](TComponent* S) { FormClose(S); });
    SetOnKeyDown([this](TComponent* S, int Key) { FormKeyDown(S, Key); });
    DoCreate();
}

TForm1::~TForm1() {
    // The scan and mount threads end before the components they feed.
    FMountWatcher.reset();
    FScanner.reset();
    // The output goes first: its worker pulls from the other components.
    if (DXAudioOut1) {
        StopOutput(false);
        delete DXAudioOut1; // owned by this form; deleting removes it from the owner
        DXAudioOut1 = nullptr;
    }
    DestroyComponents();
}

void TForm1::CreateComponents() {
    ImageBg = new TImage(this);
    ImageBg->SetName("ImageBg");
    ImageBg->SetBounds(0, 0, 640, 480);

    ImageSkin = new TImage(this);
    ImageSkin->SetName("ImageSkin");
    ImageSkin->SetBounds(0, 0, 640, 480);
    ImageSkin->SetAutoSize(true);
    ImageSkin->SetOnMouseDown([this](TComponent* S, TMouseButton B, TShiftState Sh, int X, int Y) {
        ImageSkinMouseDown(S, B, Sh, X, Y);
    });
    ImageSkin->SetOnMouseMove(
        [this](TComponent* S, TShiftState Sh, int X, int Y) { ImageSkinMouseMove(S, Sh, X, Y); });
    ImageSkin->SetOnMouseUp([this](TComponent* S, TMouseButton B, TShiftState Sh, int X, int Y) {
        ImageSkinMouseUp(S, B, Sh, X, Y);
    });
    ImageSkin->SetOnClick([this](TComponent* S) { ImageSkinClick(S); });

    auto infoLabel = [this](const char* Name, int L, int T, int W, int H) {
        auto* label = new TLabel(this);
        label->SetName(Name);
        label->SetAutoSize(false);
        label->SetBounds(L, T, W, H);
        label->SetAlignment(TAlignment::taCenter);
        label->SetFont(MakeFont(-21, false, clMaroon));
        label->SetGlowSize(3);
        label->SetTextFit(TTextFit::tfShrink); // "Не стандартно" is wider than its box
        label->SetVisible(false);
        label->SetHitTest(false); // a touch on it is a touch on the skin
        return label;
    };
    LabelSamplerate = infoLabel("LabelSamplerate", 83, 6, 157, 27);
    LabelBitrate = infoLabel("LabelBitrate", 462, 162, 111, 25);
    LabelChannel = infoLabel("LabelChannel", 424, 6, 125, 25);

    TPicture bar = MakeBarPicture();
    for (int n = 0; n < 8; ++n) {
        ImageEk[n] = new TImage(this);
        ImageEk[n]->SetName("ImageEk" + std::to_string(n + 1));
        ImageEk[n]->SetBounds(80 * n, 240, 80, 240);
        ImageEk[n]->SetPicture(bar);
        ImageEk[n]->SetVisible(false);
        ImageEk[n]->SetHitTest(false); // touches on the bars reach the skin beneath
    }

    auto bigLabel = [this](const char* Name, int T, int H, int FontHeight) {
        auto* label = new TLabel(this);
        label->SetName(Name);
        label->SetAutoSize(false);
        label->SetBounds(8, T, 624, H);
        label->SetAlignment(TAlignment::taCenter);
        label->SetTransparent(true);
        label->SetFont(MakeFont(FontHeight, true, clBlack));
        label->SetGlowSize(10);
        label->SetTextFit(TTextFit::tfEllipsis); // titles of any length stay on the screen
        label->SetVisible(false);
        label->SetOnClick([this](TComponent* S) { LabelClick(S); });
        return label;
    };
    LabelArtist = bigLabel("LabelArtist", 240, 45, -32);
    LabelTrack = bigLabel("LabelTrack", 283, 41, -27);

    LabelError = new TLabel(this);
    LabelError->SetName("LabelError");
    LabelError->SetHitTest(false);
    LabelError->SetAlignment(TAlignment::taCenter);
    LabelError->SetTransparent(true);
    LabelError->SetFont(MakeFont(-16, false, clBlack));
    LabelError->SetGlowSize(20);
    LabelError->SetLeft(8);
    LabelError->SetTop(456);
    // Long file names and messages end in "…" within the window's margins.
    LabelError->SetTextFit(TTextFit::tfEllipsis);
    LabelError->SetMaxWidth(640 - 2 * 8);
    LabelError->SetCaption("Tarvio — музыка в дороге");

    LabelTime = bigLabel("LabelTime", 320, 41, -27);

    // The chain, output first.
#if TARVIO_HAVE_DXAUDIOOUT
    auto* out = new TDXAudioOut(this);
    out->SetDeviceNumber(0);
    out->SetLatency(100);
    out->SetPrefetchData(false);
    out->SetPollingInterval(100);
    out->SetFramesInBuffer(24576);
    out->SetSpeedFactor(1.0f);
    // A gap in the sound is worth knowing about when a driver reports one.
    out->SetOnUnderrun([out](TComponent*) {
        std::fprintf(stderr, "tarvio: underrun: the device played silence (%u in this track)\n",
                     out->Underruns());
    });
#else
    auto* out = new TNullOut(this); // a build without a sound output: data is pulled and dropped
#endif
    DXAudioOut1 = out;
    DXAudioOut1->SetName("DXAudioOut1");
    DXAudioOut1->SetOnDone([this](TComponent* S) { DXAudioOut1Done(S); });

    SpectrumIndicator1 = new TSpectrumIndicator(this);
    SpectrumIndicator1->SetName("SpectrumIndicator1");
    SpectrumIndicator1->SetInterval(1);
    SpectrumIndicator1->SetOnGainData([this](TComponent* S) { SpectrumIndicator1GainData(S); });
    DXAudioOut1->SetInput(SpectrumIndicator1);

    AudioCache1 = new TAudioCache(this);
    AudioCache1->SetName("AudioCache1");
    SpectrumIndicator1->SetInput(AudioCache1);

    AudioPlayList1 = new TAudioPlayList(this);
    AudioPlayList1->SetName("AudioPlayList1");
    AudioPlayList1->SetCurrentItem(0);
    AudioPlayList1->SetOnPlayItemChanged([this](TComponent* S) { AudioPlayList1PlayItemChanged(S); });
    AudioCache1->SetInput(AudioPlayList1);

    GaplessJoin1 = new TGaplessJoin(this);
    GaplessJoin1->SetName("GaplessJoin1");
    GaplessJoin1->SetOnJoint([this](TComponent* S) { GaplessJoin1Joint(S); });

    auto plain = [this](TAuStreamedInput* In, const char* Name) {
        In->SetName(Name);
        In->SetLoop(false);
        In->SetEndSample(-1);
    };
#if TARVIO_HAVE_MP3
    MP3In1 = new TMP3In(this);
    plain(MP3In1, "MP3In1");
    MP3In1->SetOutputChannels(cnMonoOrStereo);
    MP3In1->SetHighPrecision(false);
    // Windows Media files through the same reader, without MP3's longer length.
    WMIn1 = new TWMIn(this);
    plain(WMIn1, "WMIn1");
    WMIn1->SetOutputChannels(cnMonoOrStereo);
    WMIn1->SetHighPrecision(false);
#endif
#if TARVIO_HAVE_VORBIS
    VorbisIn1 = new TVorbisIn(this);
    plain(VorbisIn1, "VorbisIn1");
#endif
#if TARVIO_HAVE_MAC
    MACIn1 = new TMACIn(this);
    plain(MACIn1, "MACIn1");
#endif
#if TARVIO_HAVE_FLAC
    FLACIn1 = new TFLACIn(this);
    plain(FLACIn1, "FLACIn1");
    FLACIn1->SetCheckMD5Signature(false);
#endif
#if TARVIO_HAVE_MP4
    MP4In1 = new TMP4In(this);
    plain(MP4In1, "MP4In1");
    ADTSIn1 = new TADTSIn(this);
    plain(ADTSIn1, "ADTSIn1");
#endif
#if TARVIO_HAVE_WAVPACK
    WVIn1 = new TWVIn(this);
    plain(WVIn1, "WVIn1");
#endif
#if TARVIO_HAVE_OPUS
    OpusIn1 = new TOpusIn(this);
    plain(OpusIn1, "OpusIn1");
#endif
#if TARVIO_HAVE_DTS
    DTSIn1 = new TDTSIn(this);
    plain(DTSIn1, "DTSIn1");
    DTSIn1->SetOutputChannels(dts5dot1);
    AudioPlayList1->SetInput(DTSIn1);
#endif
#if TARVIO_HAVE_AC3
    AC3In1 = new TAC3In(this);
    AC3In1->SetName("AC3In1");
    AC3In1->SetLoop(false);
    AC3In1->SetVobAudioSubstream(acvStreamFirst);
    AC3In1->SetOutputChannels(acc5dot1);
    // AC-3 files and DVD titles play with labels like a DTS track's.
#endif
#if TARVIO_HAVE_WAV
    WaveIn1 = new TWaveIn(this);
    plain(WaveIn1, "WaveIn1");
#endif
    MapDecoders();
#if TARVIO_HAVE_CD
    CDDBInfo1 = new TCDDBInfo(this);
    CDDBInfo1->SetName("CDDBInfo1");
#endif

    TagEditor1 = new TTagEditor(this); // present, never used by the player
    TagEditor1->SetName("TagEditor1");

    Timer1 = new TTimer(this);
    Timer1->SetName("Timer1");
    Timer1->SetEnabled(false);
    Timer1->SetInterval(150);
    Timer1->SetOnTimer([this](TComponent* S) { Timer1Timer(S); });

    FailTimer = new TTimer(this);
    FailTimer->SetName("FailTimer");
    FailTimer->SetEnabled(false);
    FailTimer->SetInterval(3000);
    FailTimer->SetOnTimer([this](TComponent* S) { FailTimerTimer(S); });

    GaplessTimer = new TTimer(this);
    GaplessTimer->SetName("GaplessTimer");
    GaplessTimer->SetEnabled(false);
    GaplessTimer->SetInterval(50);
    GaplessTimer->SetOnTimer([this](TComponent* S) { GaplessTimerTimer(S); });

    ReplayGain1 = new TReplayGain(this);
    ReplayGain1->SetName("ReplayGain1");

    // Saves often enough that a place is never more than 5 s old, timer delays included.
    ResumeTimer = new TTimer(this);
    ResumeTimer->SetName("ResumeTimer");
    ResumeTimer->SetEnabled(false);
    ResumeTimer->SetInterval(4000);
    ResumeTimer->SetOnTimer([this](TComponent* S) { ResumeTimerTimer(S); });
}

void TForm1::MapDecoders() {
    // Each registry entry plays through the named component of its class; an entry without
    // one gets an input of its own, so a decoder added to the registry plays here as it is.
    const std::pair<const char*, TAuFileIn*> named[] = {
#if TARVIO_HAVE_MP3
        {"TMP3In", MP3In1},
        {"TWMIn", WMIn1},
#endif
#if TARVIO_HAVE_VORBIS
        {"TVorbisIn", VorbisIn1},
#endif
#if TARVIO_HAVE_MAC
        {"TMACIn", MACIn1},
#endif
#if TARVIO_HAVE_FLAC
        {"TFLACIn", FLACIn1},
#endif
#if TARVIO_HAVE_MP4
        {"TMP4In", MP4In1},
        {"TADTSIn", ADTSIn1},
#endif
#if TARVIO_HAVE_OPUS
        {"TOpusIn", OpusIn1},
#endif
#if TARVIO_HAVE_WAVPACK
        {"TWVIn", WVIn1},
#endif
#if TARVIO_HAVE_DTS
        {"TDTSIn", DTSIn1},
#endif
#if TARVIO_HAVE_AC3
        {"TAC3In", AC3In1},
#endif
#if TARVIO_HAVE_WAV
        {"TWaveIn", WaveIn1},
#endif
        {"", nullptr},
    };
    for (const TDecoderEntry& entry : TDecoderRegistry::Entries()) {
        TAuFileIn* decoder = nullptr;
        for (const auto& [className, component] : named)
            if (component && entry.ClassName == className) decoder = component;
        if (!decoder) {
            FOwnDecoders.push_back(entry.Create());
            decoder = FOwnDecoders.back().get();
            decoder->SetName(entry.ClassName.substr(1) + "1");
            decoder->SetLoop(false);
            decoder->SetEndSample(-1);
        }
        FEntryOf.emplace_back(decoder, &entry);
        // Table order within an extension is the order PlayCurrent tries them in.
        for (const std::string& ext : entry.Extensions)
            FDecoders.emplace_back(ext, decoder);
    }
}

TPicture TForm1::MakeBarPicture() {
    TRasterImage bar;
    bar.Width = 80;
    bar.Height = 240;
    bar.HasAlpha = true;
    // Columns 2 pixels wide with 1-pixel gaps, light grey to near black. Each column is one
    // colour from top to bottom, so a bar that moves repaints only the strips at its ends.
    std::vector<uint32_t> row(80, 0); // transparent gaps
    for (int x = 0; x < 80; ++x) {
        if (x % 3 == 2) continue;
        const uint32_t shade = 0xD0 - static_cast<uint32_t>((0xD0 - 0x18) * (x - x % 3) / 77);
        row[x] = 0xFF000000u | (shade << 16) | (shade << 8) | shade;
    }
    bar.Pixels.reserve(80 * 240);
    for (int y = 0; y < 240; ++y)
        bar.Pixels.insert(bar.Pixels.end(), row.begin(), row.end());
    return TPicture(std::move(bar));
}

// ---- Start-up ----

void TForm1::FormCreate(TComponent*) {
    if (ExeDir.empty()) ExeDir = QCoreApplication::applicationDirPath().toStdString() + "/";
    SetDoubleBuffered(true);
    const TConfigPaths paths(ExeDir);
    {
        TIniFile config(paths.ConfigFile());
        SkinName = config.ReadString("skin", "name", "default");
        BgCnt = config.ReadInteger("skin", "BgCnt", 0);
        BgIndex = config.ReadInteger("skin", "BgStart", 1);
        AutoNext = config.ReadInteger("player", "AutoNext", 0) != 0;
        MediaKeys = config.ReadInteger("player", "MediaKeys", 0) != 0;
        Mpris = config.ReadInteger("player", "Mpris", 0) != 0;
        Gapless = AutoNext && config.ReadInteger("player", "Gapless", 0) != 0;
        ReadResumeAndGainConfig(config);
        const std::string dirs = config.ReadString("player", "MusicDir", "");
        for (size_t from = 0; from <= dirs.size();) {
            const size_t to = std::min(dirs.find(';', from), dirs.size());
            if (to > from) MusicDirs.push_back(dirs.substr(from, to - from));
            from = to + 1;
        }
        WatchMounts = config.ReadString("player", "WatchMounts", "");
    }
    if (!WatchMounts.empty()) {
        FMountWatcher = std::make_unique<TMountWatcher>(WatchMounts);
        const std::weak_ptr<int> alive = FAlive;
        auto post = [this, alive](std::string MountPoint, bool Appeared) {
            TMainThreadQueue::Instance().Queue([this, alive, MountPoint = std::move(MountPoint), Appeared] {
                if (alive.expired()) return;
                TApplication::Guard(
                    [&] { Appeared ? MountAppeared(MountPoint) : MountVanished(MountPoint); });
            });
        };
        FMountWatcher->OnAppeared = [post](const std::string& M) { post(M, true); };
        FMountWatcher->OnVanished = [post](const std::string& M) { post(M, false); };
        if (!FMountWatcher->Start())
            std::fprintf(stderr, "tarvio: cannot watch mounts below %s\n", WatchMounts.c_str());
    }
    const std::vector<std::string> sticks =
        FMountWatcher ? FMountWatcher->Present() : std::vector<std::string>{};
    if (!MusicDirs.empty())
        StartScan(MusicDirs, "", false);
    else if (!sticks.empty())
        StartScan({sticks.front()}, sticks.front(), false);
    else if (WatchMounts.empty() || QFile::exists("PlayList.txt"))
    // A file that cannot be read is shown in the error box, and the start-up goes on with
    // what does not depend on it: the skin and its buttons (close among them) always work.
    {
        TApplication::Guard([this] { AudioPlayList1->SetFiles(TTextFile::ReadLines("PlayList.txt")); });
        ResumeSource = TResumeState::ListSource("PlayList.txt");
        ResumeLabel = "PlayList.txt";
    }
    --BgIndex;
    TApplication::Guard([this] { NextBackground(); });

    // The skin's INI file lies under the program's folder, its pictures relative to the
    // current directory; an installed skin (TConfigPaths) keeps its pictures beside its INI.
    const TConfigPaths::TSkinPlace skinPlace = paths.Skin(SkinName);
    const std::string& skinDir = skinPlace.PictureDir;
    TIniFile skin(skinPlace.IniFile);
    const std::pair<TPicture*, std::string> pictures[] = {
        {&PicPlay, skinDir + skin.ReadString("images", "play", "play.png")},
        {&PicPlay1, skinDir + skin.ReadString("images", "play1", "play1.png")},
        {&PicPause, skinDir + skin.ReadString("images", "pause", "pause.png")},
        {&PicPause1, skinDir + skin.ReadString("images", "pause1", "pause1.png")},
        {&PicLeft1, skinDir + skin.ReadString("images", "left1", "left1.png")},
        {&PicRight1, skinDir + skin.ReadString("images", "right1", "right1.png")},
        {&PicOpen1, skinDir + skin.ReadString("images", "open1", "open1.png")},
        {&PicMask, skinDir + skin.ReadString("buttons", "mask", "mask.png")},
    };
    ColPlay = skin.ReadInteger("buttons", "ColPlay", 255);
    ColLeft = skin.ReadInteger("buttons", "ColLeft", 65280);
    ColRight = skin.ReadInteger("buttons", "ColRight", 16711680);
    ColOpen = skin.ReadInteger("buttons", "ColOpen", 65535);
    ColClose = skin.ReadInteger("buttons", "ColClose", 65535);
    for (const auto& [picture, path] : pictures)
        TApplication::Guard([&] { picture->LoadFromFile(path); });
    ShowSkin(PicPlay);
    ResumeAtStart();
}

void TForm1::ReadResumeAndGainConfig(TIniFile& Config) {
    Resume = Config.ReadInteger("player", "Resume", 0) != 0;
    if (Resume) ResumePath = TResumeState::DefaultPath();
    const std::string mode = QString::fromStdString(Config.ReadString("player", "ReplayGain", "off"))
                                 .trimmed()
                                 .toLower()
                                 .toStdString();
    ReplayGainMode = mode == "track" ? 1 : mode == "album" ? 2 : 0;
    if (mode != "track" && mode != "album" && mode != "off" && !mode.empty())
        std::fprintf(stderr, "tarvio: config.ini: ReplayGain=%s is not track, album or off: off\n",
                     mode.c_str());
    const QString preamp = QString::fromStdString(Config.ReadString("player", "PreampDb", "0")).trimmed();
    bool ok = false;
    PreampDb = QLocale::c().toDouble(preamp, &ok);
    if (!ok || !std::isfinite(PreampDb)) {
        std::fprintf(stderr, "tarvio: config.ini: PreampDb=%s is not a number of decibels: 0\n",
                     preamp.toStdString().c_str());
        PreampDb = 0.0;
    }
    ReplayGain1->SetMode(ReplayGainMode == 1   ? TReplayGainMode::rgTrack
                         : ReplayGainMode == 2 ? TReplayGainMode::rgAlbum
                                               : TReplayGainMode::rgOff);
    ReplayGain1->SetPreampDb(PreampDb);
}

TAuInput* TForm1::GainStageFor(TAuFileIn* Decoder, const std::string& FileName) {
    ReplayGain1->SetInput(nullptr);
    if (ReplayGainMode == 0) return Decoder;
    ReplayGain1->SetTags(TReplayGainTags::ReadFromFile(FileName));
    ReplayGain1->SetInput(Decoder);
    return ReplayGain1;
}

// ---- Resume ----

void TForm1::ResumeAtStart() {
    if (!Resume) return;
    ResumeTimer->SetEnabled(true);
    const std::optional<TResumePlace> place = TResumeState::Find(ResumePath, ResumeSource);
    if (place) TApplication::Guard([&] { ResumeFrom(*place); });
}

bool TForm1::ResumeFrom(const TResumePlace& Place) {
    const std::vector<std::string> files = AudioPlayList1->Files();
    if (files.empty()) return false;
    // The saved index when it still holds the entry (a list may name a file twice), else
    // the entry's first place.
    auto it = std::find(files.begin(), files.end(), Place.Entry);
    if (Place.Index >= 0 && static_cast<size_t>(Place.Index) < files.size() &&
        files[static_cast<size_t>(Place.Index)] == Place.Entry)
        it = files.begin() + Place.Index;
    std::error_code ec;
    const bool found = it != files.end() && std::filesystem::exists(Place.Entry, ec);
    if (!found && !Place.Playing) return false; // nothing to restore but the list's start
    DriverActs();
    PlayingIndex = found ? static_cast<int>(it - files.begin()) : 0;
    AudioPlayList1->SetCurrentItem(PlayingIndex);
    PlayCurrent();
    if (!CurrentDecoder) { // the entry failed: its message shows, the play button is back
        PlayerChanged();
        return false;
    }
    PlayState = "play";
    ShowSkin(PicPause);
    const int64_t frame = found ? Place.Frame : 0;
    // A place past the end (the track had ended) starts the entry again.
    if (frame > 0 && (CurrentFrames == 0 || frame < CurrentFrames)) PlayFrom(frame);
    if (!Place.Playing) {
        ShowSkin(PicPlay);
        DXAudioOut1->Pause();
        PlayState = "pause";
    }
    PlayerChanged();
    return true;
}

int64_t TForm1::PlayedFrames() const {
    if (!CurrentDecoder || CurrentFrameBytes == 0) return 0;
    // Until the worker has started the new run, the indicator still counts the last one.
    if (!FRunInitSeen) {
        if (!SpectrumIndicator1->IsBusy()) return RunStartFrame;
        FRunInitSeen = true;
    }
    return RunStartFrame + (SpectrumIndicator1->Position() - TrackStartBytes) / CurrentFrameBytes;
}

void TForm1::SaveResumeState() {
    if (!Resume || ResumeSource.empty()) return;
    const std::vector<std::string> files = AudioPlayList1->Files();
    if (PlayState.empty() && !CurrentDecoder) return; // nothing has played: keep the old place
    if (PlayingIndex < 0 || static_cast<size_t>(PlayingIndex) >= files.size()) return;
    TResumePlace place;
    place.Source = ResumeSource;
    place.Label = ResumeLabel;
    place.Entry = files[static_cast<size_t>(PlayingIndex)];
    place.Index = PlayingIndex;
    place.Frame = PlayedFrames();
    place.Playing = PlayState == "play";
    std::string error;
    if (TResumeState::Save(ResumePath, place, error)) {
        FLastResumeError.clear();
    } else if (error != FLastResumeError) {
        std::fprintf(stderr, "tarvio: the place to resume from is not saved: %s\n", error.c_str());
        FLastResumeError = error;
    }
}

void TForm1::ResumeTimerTimer(TComponent*) {
    if (PlayState == "play" && DXAudioOut1->IsBusy()) SaveResumeState();
}

// ---- Track start ----

TAuFileIn* TForm1::DecoderFor(const std::string& FileName, bool& IsDTS) const {
    std::string ext = LowerExtension(FileName);
    IsDTS = false;
    for (const auto& [e, decoder] : FDecoders)
        if (e == ext) {
#if TARVIO_HAVE_DTS
            IsDTS = decoder == DTSIn1;
#endif
            return decoder;
        }
    return nullptr;
}

std::vector<std::string> TForm1::Extensions() const {
    std::vector<std::string> list;
    for (const auto& entry : FDecoders)
        if (std::find(list.begin(), list.end(), entry.first) == list.end()) list.push_back(entry.first);
    return list;
}

std::vector<TAuFileIn*> TForm1::DecodersFor(const std::string& FileName) const {
    const std::string ext = LowerExtension(FileName);
    std::vector<TAuFileIn*> list;
    for (const auto& [e, decoder] : FDecoders)
        if (e == ext) list.push_back(decoder);
    return list;
}

void TForm1::PlayCurrent() {
    FailTimer->SetEnabled(false);
    EntryFailed = false;
    CurrentDecoder = nullptr;
    CurrentFile.clear();
    CurrentFrames = 0;
    TrackStartBytes = 0;
    CurrentFrameBytes = 0;
    RunStartFrame = 0;
    StopOutput(false);
    DropGaplessEntries(false);
    std::vector<std::string> files = AudioPlayList1->Files();
    if (PlayingIndex < 0 || static_cast<size_t>(PlayingIndex) >= files.size())
        throw std::out_of_range("List index out of bounds (" + std::to_string(PlayingIndex) + ")");
    const std::string name = files[static_cast<size_t>(PlayingIndex)];

    for (TLabel* label : {LabelTrack, LabelArtist, LabelTime, LabelBitrate, LabelSamplerate, LabelChannel})
        label->SetCaption("");

    // Decoders sharing an extension are tried in the registry's order (".wav": DTS, then
    // WAV; ".vob": AC-3, then DTS); the labels follow the one that is tried.
    const std::vector<TAuFileIn*> candidates = DecodersFor(name);
    if (candidates.empty()) {
        LabelError->SetCaption("Непонятный тип файла");
        EntryFails();
        return;
    }
    TAuFileIn* decoder = nullptr;
    bool isDTS = false, isAC3 = false, valid = false;
    for (TAuFileIn* candidate : candidates) {
        decoder = candidate;
#if TARVIO_HAVE_DTS
        isDTS = decoder == DTSIn1;
#endif
#if TARVIO_HAVE_AC3
        isAC3 = decoder == AC3In1;
#endif
        LabelArtist->SetCaption(isDTS ? "DTS" : isAC3 ? "AC-3" : "");
        LabelTrack->SetCaption(isDTS || isAC3 ? ExtractFileName(name) : "");
        decoder->SetStartSample(0); // a seek of the last run does not carry over
        decoder->SetFileName(name);
        valid = decoder->Valid();
        if (valid) break;
    }
    if (!valid) {
        LabelError->SetCaption(CannotPlayText);
        EntryFails();
        return;
    }
    LabelError->SetCaption("Играет: " + TFolderScanner::DisplayName(ExtractFileName(name)));
    AudioCache1->SetInput(ChainInput(GainStageFor(decoder, name)));
    CurrentDecoder = decoder;
    // The next entry is named before the output starts: the end of a short track must not
    // wait on this thread, which a loaded machine may hold back longer than the track lasts.
    PrepareNextEntry();
    DXAudioOut1->Run();
    CurrentFile = name;
    CurrentFrames = std::max<int64_t>(decoder->TotalSamples(), 0);
    CurrentFrameBytes = decoder->Channels() * (decoder->BitsPerSample() / 8);
    RunStartFrame = 0;
    FRunInitSeen = false;
    ShowTrackLabels(decoder, name, isDTS, isAC3);
}

void TForm1::ShowTrackLabels(TAuFileIn* decoder, const std::string& name, bool isDTS, bool isAC3) {
    const uint32_t length = decoder->TotalTime();
    const uint32_t minutes = length / 60, seconds = length - 60 * minutes;
    char time[32];
    std::snprintf(time, sizeof time, seconds >= 10 ? "%u:%u" : "%u:0%u", minutes, seconds);
#if TARVIO_HAVE_DTS
    if (isDTS) LabelBitrate->SetCaption(std::to_string(DTSIn1->BitRate() / 1000) + " Кбит");
#endif
#if TARVIO_HAVE_AC3
    if (isAC3) LabelBitrate->SetCaption(std::to_string(AC3In1->BitRate() / 1000) + " Кбит");
#endif
    LabelSamplerate->SetCaption(std::to_string(decoder->SampleRate()) + " Гц");
    LabelChannel->SetCaption("Не стандартно");
    switch (decoder->Channels()) {
    case 1:
        LabelChannel->SetCaption("Моно");
        break;
    case 2:
        LabelChannel->SetCaption("Стерео");
        break;
    case 5:
        LabelChannel->SetCaption("4.1 каналов");
        break;
    case 6:
        LabelChannel->SetCaption("5.1 каналов");
        break;
    case 8:
        LabelChannel->SetCaption("7.1 каналов");
        break;
    default:
        break;
    }
    LabelBitrate->SetVisible(true);
    LabelSamplerate->SetVisible(true);
    LabelChannel->SetVisible(true);
    if (auto* tagged = dynamic_cast<TAuTaggedFileIn*>(decoder)) {
        LabelArtist->SetVisible(true);
        LabelTrack->SetVisible(true);
        LabelTime->SetVisible(true);
        std::string title = TCodePage::WideToUtf8(tagged->CommonTags()->Title());
#if TARVIO_HAVE_WAV
        if (title.empty() && decoder == WaveIn1) title = ExtractFileName(name); // no INFO title
#endif
        LabelTrack->SetCaption(title);
        LabelArtist->SetCaption(TCodePage::WideToUtf8(tagged->CommonTags()->Artist()));
        LabelTime->SetCaption(std::string("Время: ") + time);
    }
}

void TForm1::DXAudioOut1Done(TComponent*) {
    const std::string message = DXAudioOut1->ExceptionMessage();
    SetCaption(message);
    // A newer run (next or previous) has started since: this end is not the current track's.
    if (DXAudioOut1->IsBusy()) return;
    // Whatever the run joined has been heard by now.
    while (!FJoinedEntries.empty())
        ShowJoinedEntry();
    if (!message.empty()) {
        // Nothing plays any more: say why on the screen, where a driver looks, and show the
        // play button again; pressing it tries this entry once more. A file from which no
        // audio decodes is one the player cannot play.
        LabelError->SetCaption(message.rfind("no audio could be decoded", 0) == 0 ? CannotPlayText : message);
        ShowSkin(PicPlay);
        PlayState = "";
        AudioPlayList1->SetCurrentItem(PlayingIndex);
        EntryFails();
        PlayerChanged();
        return;
    }
    FailedInRow = 0;
    if (AutoNext && PlayState == "play") {
        const int count = static_cast<int>(AudioPlayList1->Files().size());
        if (count == 0) return;
        if (++PlayingIndex >= count) PlayingIndex = 0;
        TApplication::Guard([this] { PlayCurrent(); });
    }
    PlayerChanged();
}

void TForm1::EntryFails() {
    EntryFailed = true;
    if (!AutoNext) return;
    // A list of nothing but broken files goes round once, then stays on the last message.
    if (++FailedInRow >= static_cast<int>(AudioPlayList1->Files().size())) return;
    FailTimer->SetEnabled(true);
}

void TForm1::FailTimerTimer(TComponent*) {
    FailTimer->SetEnabled(false);
    TApplication::Guard([this] { PlayNeighbour(+1); });
}

void TForm1::PlayNeighbour(int Step) {
    ShowSkin(PicPause);
    StopOutput(true);
    const int count = static_cast<int>(AudioPlayList1->Files().size());
    PlayingIndex += Step;
    if (PlayingIndex >= count) PlayingIndex = 0;
    if (PlayingIndex < 0) PlayingIndex = count - 1;
    PlayCurrent();
    PlayState = "play";
    PlayerChanged();
}

void TForm1::FormClose(TComponent*) {
    SaveResumeState();
    ResumeTimer->SetEnabled(false);
    StopOutput(false);
}

void TForm1::StopOutput(bool Wait) {
    GaplessJoin1->ExpectNext(false);
    DXAudioOut1->Stop(Wait);
}

void TForm1::AudioPlayList1PlayItemChanged(TComponent*) {}

// ---- Skin buttons ----

void TForm1::ShowSkin(const TPicture& Picture) {
    ImageSkin->SetPicture(Picture);
}

int32_t TForm1::HitColor() const {
    return PicMask.Pixels(LastX, LastY);
}

void TForm1::ImageSkinMouseMove(TComponent*, TShiftState, int X, int Y) {
    LastX = X;
    LastY = Y;
}

void TForm1::ImageSkinMouseDown(TComponent*, TMouseButton, TShiftState, int X, int Y) {
    LastX = X;
    LastY = Y;
    // A point off the mask is no button, whatever colours the skin names.
    if (!PicMask.Contains(LastX, LastY)) return;
    const int32_t c = HitColor();
    if (c == ColPlay && PlayState.empty()) ShowSkin(PicPlay1);
    if (c == ColPlay && PlayState == "play") ShowSkin(PicPause1);
    if (c == ColPlay && PlayState == "pause") ShowSkin(PicPlay1);
    // After a failed entry next and previous act as while playing.
    const bool moves = PlayState == "play" || EntryFailed;
    if (c == ColRight && moves) ShowSkin(PicRight1);
    if (c == ColLeft && moves) ShowSkin(PicLeft1);
    if (c == ColOpen) ShowSkin(PicOpen1);
    if (c == ColClose) Close();
    std::string caption = Caption();
    bool any = false;
    if (c == ColPlay) caption = "play " + PlayState, any = true;
    if (c == ColRight) caption = "right " + PlayState, any = true;
    if (c == ColLeft) caption = "left " + PlayState, any = true;
    if (c == ColOpen) caption = "open " + PlayState, any = true;
    if (any) SetCaption(caption);
}

void TForm1::ImageSkinMouseUp(TComponent*, TMouseButton, TShiftState, int, int) {
    if (!PicMask.Contains(LastX, LastY)) return;
    const int32_t c = HitColor();
    const bool moves = PlayState == "play" || EntryFailed;
    if (c == ColPlay)
        PlayButton();
    else if (c == ColRight && moves)
        NextButton();
    else if (c == ColLeft && moves)
        PreviousButton();
    else if (c == ColOpen)
        OpenButton();
}

void TForm1::DriverActs() {
    // A pending move past a failed entry gives way, and a new round of failures is
    // counted from here.
    FailTimer->SetEnabled(false);
    FailedInRow = 0;
}

void TForm1::PlayButton() {
    // A list still being scanned, or emptied by a stick's removal: nothing to start yet.
    if (PlayState.empty() && (Scanning || !WatchMounts.empty() || !MusicDirs.empty()) &&
        AudioPlayList1->FileCount() == 0)
        return;
    DriverActs();
    if (PlayState.empty()) {
        PlayingIndex = AudioPlayList1->CurrentItem();
        PlayCurrent();
        ShowSkin(PicPause);
        PlayState = "play";
    } else if (PlayState == "play") {
        ShowSkin(PicPlay);
        if (TApplication* app = TApplication::Instance()) app->ProcessMessages();
        DXAudioOut1->Pause();
        PlayState = "pause";
    } else if (PlayState == "pause") {
        ShowSkin(PicPause);
        if (TApplication* app = TApplication::Instance()) app->ProcessMessages();
        if (AutoNext && !DXAudioOut1->IsBusy() && !EntryFailed) {
            // The track ended while paused (a pause in its last sound, as it played out):
            // go on with the entry after it, as its end would have while playing, rather
            // than resume an output that no longer runs.
            PlayState = "play";
            const int count = static_cast<int>(AudioPlayList1->Files().size());
            if (count > 0) {
                if (++PlayingIndex >= count) PlayingIndex = 0;
                TApplication::Guard([this] { PlayCurrent(); });
            }
        } else {
            DXAudioOut1->Resume();
            PlayState = "play";
        }
    }
    PlayerChanged();
}

void TForm1::NextButton() {
    // After a failed entry next and previous act as while playing.
    if (PlayState != "play" && !EntryFailed) return;
    DriverActs();
    PlayNeighbour(+1);
}

void TForm1::PreviousButton() {
    if (PlayState != "play" && !EntryFailed) return;
    DriverActs();
    PlayNeighbour(-1);
}

void TForm1::OpenButton() {
    DriverActs();
    ShowSkin(PlayState == "play" ? PicPause : PicPlay);
}

void TForm1::PlayFile(const std::string& Path) {
    DriverActs();
    AudioPlayList1->SetFiles({Path});
    AudioPlayList1->SetCurrentItem(0);
    PlayingIndex = 0;
    PlayCurrent();
    ShowSkin(PicPause);
    PlayState = "play";
    PlayerChanged();
}

bool TForm1::PlayFrom(int64_t Frame) {
    TAuFileIn* decoder = CurrentDecoder;
    if (!decoder || PlayState != "play" || !decoder->Seekable() || Frame < 0) return false;
    StopOutput(false);
    // The entries read ahead are read again after the restart, from this one on.
    DropGaplessEntries(true);
    decoder->SetStartSample(Frame);
    TrackStartBytes = 0;
    AudioCache1->SetInput(ChainInput(GainStageFor(decoder, CurrentFile)));
    PrepareNextEntry();
    DXAudioOut1->Run();
    RunStartFrame = Frame;
    FRunInitSeen = false;
    SaveResumeState();
    return true;
}

void TForm1::FormKeyDown(TComponent*, int Key) {
    if (!MediaKeys) return;
    switch (Key) {
    case Qt::Key_MediaPlay:
    case Qt::Key_MediaTogglePlayPause:
    case Qt::Key_Space:
        PlayButton();
        break;
    case Qt::Key_MediaPause:
    case Qt::Key_MediaStop:
        if (PlayState == "play") PlayButton();
        break;
    case Qt::Key_MediaNext:
    case Qt::Key_Right:
        NextButton();
        break;
    case Qt::Key_MediaPrevious:
    case Qt::Key_Left:
        PreviousButton();
        break;
    default:
        break;
    }
}

void TForm1::PlayerChanged() {
    SaveResumeState();
    if (OnPlayerChanged) OnPlayerChanged(this);
}

void TForm1::ImageSkinClick(TComponent*) {
    if (PicMask.Contains(LastX, LastY)) {
        const int32_t c = HitColor();
        if (c == ColPlay || c == ColLeft || c == ColRight || c == ColOpen) return;
    }
    NextBackground();
}

void TForm1::LabelClick(TComponent*) {
    NextBackground();
}

// ---- Background slideshow ----

void TForm1::NextBackground() {
    if (++BgIndex > BgCnt) BgIndex = 1;
    Timer1->SetEnabled(false);
    ImageBg->SetBounds(0, 0, ImageBg->Width(), ImageBg->Height());
    ImageBg->LoadPicture("BackGround/" + std::to_string(BgIndex) + ".jpg");
    ImageBg->SetBounds(0, 0, ImageBg->Picture().Width(), ImageBg->Picture().Height());
    PanX = 0;
    PanY = 0;
    PanStep = 1;
    if (ImageBg->Picture().Width() > ClientWidth()) {
        PanX = -PanStep;
        Timer1->SetEnabled(true);
    }
    if (ImageBg->Picture().Height() > ClientHeight()) {
        PanY = -PanStep;
        Timer1->SetEnabled(true);
    }
}

void TForm1::Timer1Timer(TComponent*) {
    ImageBg->SetBounds(ImageBg->Left() + PanX, ImageBg->Top() + PanY, ImageBg->Width(), ImageBg->Height());
    if (PanX != 0) {
        if (ClientWidth() - ImageBg->Picture().Width() >= ImageBg->Left()) PanX = -PanX;
        if (ImageBg->Left() > -PanStep) PanX = -PanX;
    }
    if (PanY != 0) {
        if (ClientHeight() - ImageBg->Picture().Height() >= ImageBg->Top()) PanY = -PanY;
        if (ImageBg->Top() > -PanStep) PanY = -PanY;
    }
}

// ---- Spectrum bars ----

void TForm1::BarTops(const float (&Levels)[8], int Top1, int (&Tops)[8]) {
    // The scale follows bar 1's previous top; limiting the levels keeps it settling.
    const float k = static_cast<float>(Top1) / 140.0f;
    for (int n = 0; n < 8; ++n)
        Tops[n] = 480 - RoundEven(std::clamp(Levels[n], -MaxLevel, MaxLevel) * k);
}

void TForm1::SpectrumIndicator1GainData(TComponent*) {
    float levels[8];
    for (int n = 0; n < 8; ++n)
        levels[n] = SpectrumIndicator1->GetLevel(static_cast<uint32_t>(n)); // once each
    int tops[8];
    BarTops(levels, ImageEk[0]->Top(), tops);
    for (int n = 0; n < 8; ++n)
        ImageEk[n]->SetTop(tops[n]);
    for (TImage* bar : ImageEk)
        bar->SetVisible(true);
}

// ---- Gapless AutoNext ----

TAuInput* TForm1::ChainInput(TAuInput* Decoder) {
    if (!Gapless) return Decoder;
    GaplessJoin1->SetInput(Decoder);
    // Until PrepareNextEntry names the next entry or says there is none (before the output
    // starts, and after each joint), the end of a short track waits for it rather than
    // ending the run.
    GaplessJoin1->ExpectNext(true);
    return GaplessJoin1;
}

void TForm1::DropGaplessEntries(bool KeepPlaying) {
    // The output has stopped: no thread reads these decoders any more.
    GaplessJoin1->ClearNext();
    GaplessJoin1->ExpectNext(false);
    GaplessJoin1->SetInput(nullptr);
    while (GaplessJoin1->TakeJoint()) {
    }
    GaplessTimer->SetEnabled(false);
    FNextEntry = {};
    FJoinedEntries.clear();
    FPlayingSpareGain.reset(); // the gain stage of a restart is ReplayGain1
    if (!KeepPlaying) FPlayingSpare.reset();
}

bool TForm1::IsSurroundDecoder(const TAuFileIn* Decoder) const {
    bool surround = false;
#if TARVIO_HAVE_DTS
    surround = surround || Decoder == DTSIn1;
#endif
#if TARVIO_HAVE_AC3
    surround = surround || Decoder == AC3In1;
#endif
    return Decoder && surround;
}

void TForm1::PrepareNextEntry() {
    if (!Gapless) return;
    FNextEntry = {};
    if (IsSurroundDecoder(CurrentDecoder)) {
        // A DTS or AC-3 run joins nothing: its end must not wait for a next entry.
        GaplessJoin1->ExpectNext(false);
        return;
    }
    const std::vector<std::string> files = AudioPlayList1->Files();
    const int count = static_cast<int>(files.size());
    const int last = FJoinedEntries.empty() ? PlayingIndex : FJoinedEntries.back().Index;
    std::unique_ptr<TAuFileIn> decoder;
    int index = 0;
    if (count > 0) {
        index = last + 1 >= count ? 0 : last + 1;
        // The decoders of its extension in the order PlayCurrent tries them; a DTS or AC-3
        // track starts a run of its own, with its own labels.
        for (TAuFileIn* candidate : DecodersFor(files[static_cast<size_t>(index)])) {
            decoder = AnotherDecoderLike(candidate);
            if (!decoder) continue;
            decoder->SetFileName(files[static_cast<size_t>(index)]);
            const bool valid = decoder->Valid();
            if (!valid || IsSurroundDecoder(candidate)) decoder.reset();
            if (valid) break;
        }
    }
    if (!decoder) {
        // That entry starts on its own when this run ends, and says so if it cannot play.
        GaplessJoin1->ExpectNext(false);
        return;
    }
    FNextEntry.Decoder = std::move(decoder);
    FNextEntry.Index = index;
    FNextEntry.Name = files[static_cast<size_t>(index)];
    if (ReplayGainMode != 0) {
        // Each entry keeps the loudness of its own tags across the joint.
        FNextEntry.Gain = std::make_unique<TReplayGain>();
        FNextEntry.Gain->SetMode(ReplayGainMode == 1 ? TReplayGainMode::rgTrack : TReplayGainMode::rgAlbum);
        FNextEntry.Gain->SetPreampDb(PreampDb);
        FNextEntry.Gain->SetTags(TReplayGainTags::ReadFromFile(FNextEntry.Name));
        FNextEntry.Gain->SetInput(FNextEntry.Decoder.get());
    }
    GaplessJoin1->SetNext(FNextEntry.Input());
    GaplessJoin1->ExpectNext(true);
}

TAuInput* TForm1::TGaplessEntry::Input() const {
    if (Gain) return Gain.get();
    return Decoder.get();
}

void TForm1::GaplessJoin1Joint(TComponent*) {
    while (std::optional<TGaplessJoin::TJoint> joint = GaplessJoin1->TakeJoint()) {
        // A joint of a run that has since been stopped names no decoder kept here.
        if (!FNextEntry.Decoder || joint->To != FNextEntry.Input()) continue;
        FNextEntry.StartBytes = joint->Position;
        FJoinedEntries.push_back(std::move(FNextEntry));
        GaplessTimer->SetEnabled(true);
        PrepareNextEntry();
    }
}

void TForm1::GaplessTimerTimer(TComponent*) {
    // The output reads into its ring ahead of what plays, by the ring's length.
    int64_t ahead = 0;
#if TARVIO_HAVE_DXAUDIOOUT
    if (auto* out = dynamic_cast<TDXAudioOut*>(DXAudioOut1); out && CurrentDecoder)
        ahead = int64_t{out->FramesInBuffer()} * (CurrentDecoder->BitsPerSample() / 8) *
                CurrentDecoder->Channels();
#endif
    while (!FJoinedEntries.empty() &&
           SpectrumIndicator1->Position() - ahead >= FJoinedEntries.front().StartBytes)
        ShowJoinedEntry();
    if (FJoinedEntries.empty()) GaplessTimer->SetEnabled(false);
}

void TForm1::ShowJoinedEntry() {
    TGaplessEntry entry = std::move(FJoinedEntries.front());
    FJoinedEntries.pop_front();
    // The entry heard until now was flushed by the join when this one began.
    FPlayingSpareGain = std::move(entry.Gain);
    FPlayingSpare = std::move(entry.Decoder);
    PlayingIndex = entry.Index;
    AudioPlayList1->SetCurrentItem(static_cast<uint16_t>(PlayingIndex));
    FailedInRow = 0;
    CurrentDecoder = FPlayingSpare.get();
    CurrentFile = entry.Name;
    CurrentFrames = std::max<int64_t>(CurrentDecoder->TotalSamples(), 0);
    TrackStartBytes = entry.StartBytes;
    RunStartFrame = 0;
    for (TLabel* label : {LabelTrack, LabelArtist, LabelTime, LabelBitrate, LabelSamplerate, LabelChannel})
        label->SetCaption("");
    LabelError->SetCaption("Играет: " + TFolderScanner::DisplayName(ExtractFileName(entry.Name)));
    ShowTrackLabels(CurrentDecoder, entry.Name, false, false);
    PlayerChanged();
}

std::unique_ptr<TAuFileIn> TForm1::AnotherDecoderLike(TAuFileIn* Named) const {
    const auto entry =
        std::find_if(FEntryOf.begin(), FEntryOf.end(), [&](const auto& E) { return E.first == Named; });
    if (entry == FEntryOf.end()) return nullptr;
    std::unique_ptr<TAuFileIn> made = entry->second->Create();
    made->SetLoop(false);
    made->SetEndSample(-1);
    // The settings the named decoders are given when the form is built.
#if TARVIO_HAVE_MP3
    if (auto* wm = dynamic_cast<TWMIn*>(Named)) {
        auto* d = static_cast<TWMIn*>(made.get());
        d->SetOutputChannels(wm->OutputChannels());
        d->SetHighPrecision(wm->HighPrecision());
    }
#endif
#if TARVIO_HAVE_FLAC
    if (auto* flac = dynamic_cast<TFLACIn*>(Named))
        static_cast<TFLACIn*>(made.get())->SetCheckMD5Signature(flac->CheckMD5Signature());
#endif
#if TARVIO_HAVE_DTS
    if (auto* dts = dynamic_cast<TDTSIn*>(Named))
        static_cast<TDTSIn*>(made.get())->SetOutputChannels(dts->OutputChannels());
#endif
#if TARVIO_HAVE_AC3
    if (auto* ac3 = dynamic_cast<TAC3In*>(Named)) {
        auto* d = static_cast<TAC3In*>(made.get());
        d->SetOutputChannels(ac3->OutputChannels());
        d->SetVobAudioSubstream(ac3->VobAudioSubstream());
    }
#endif
    return made;
}

} // namespace tarvio

namespace tarvio {

// ---- Folder scan and hot-plug ----

std::string TForm1::FilesText(size_t Count) {
    const size_t last = Count % 10, lastTwo = Count % 100;
    const char* word = "файлов";
    if (last == 1 && lastTwo != 11)
        word = "файл";
    else if (last >= 2 && last <= 4 && (lastTwo < 12 || lastTwo > 14))
        word = "файла";
    return std::to_string(Count) + " " + word;
}

void TForm1::StartScan(const std::vector<std::string>& Roots, const std::string& Source, bool Play) {
    FScanner.reset(); // an older scan stops; its queued results are dropped by the id
    const uint64_t id = ++FScanId;
    if (Play) {
        FailTimer->SetEnabled(false);
        StopOutput(false);
        DropGaplessEntries(false);
        CurrentDecoder = nullptr;
        CurrentFile.clear();
        PlayState = "";
        ShowSkin(PicPlay);
    }
    AudioPlayList1->SetFiles({});
    AudioPlayList1->SetCurrentItem(0);
    PlayingIndex = 0;
    ListSource = Source;
    Scanning = true;
    FScanPlays = Play;
    FScanResumes = Resume;
    if (Resume) {
        // A stick's or a music folder's place is kept under its file system's id, so that
        // the same stick finds it again wherever it is mounted.
        ResumeLabel.clear();
        ResumeSource = TResumeState::FolderSource(Roots.front(), &ResumeLabel);
        if (ResumeLabel.empty()) ResumeLabel = Roots.front();
    }
    LabelError->SetCaption("Читаю: " + FilesText(0));

    // Files go to the GUI thread in batches: the first folder at once (play can start),
    // then at most every 100 ms, and the rest at the end.
    struct TBatch {
        std::vector<std::string> Files;
        size_t Found = 0;
        std::chrono::steady_clock::time_point Last;
        bool First = true;
    };
    auto batch = std::make_shared<TBatch>(); // used on the scan thread only
    const std::weak_ptr<int> alive = FAlive;
    auto post = [this, alive, id, batch](bool Done) {
        TMainThreadQueue::Instance().Queue(
            [this, alive, id, files = std::exchange(batch->Files, {}), found = batch->Found, Done]() mutable {
                if (!alive.expired()) ScanFilesFound(id, std::move(files), found, Done);
            });
    };
    auto scanner = std::make_unique<TFolderScanner>(Extensions());
    scanner->OnFolderDone = [batch, post](const std::string&, const std::vector<std::string>& Files) {
        batch->Files.insert(batch->Files.end(), Files.begin(), Files.end());
        batch->Found += Files.size();
        const auto now = std::chrono::steady_clock::now();
        if (batch->First || now - batch->Last >= std::chrono::milliseconds(100)) {
            batch->First = false;
            batch->Last = now;
            post(false);
        }
    };
    scanner->OnWarning = [](const std::string& Message) {
        std::fprintf(stderr, "tarvio: %s\n", Message.c_str());
    };
    scanner->OnDone = [post](bool) { post(true); };
    scanner->Start(Roots);
    FScanner = std::move(scanner);
}

void TForm1::ScanFilesFound(uint64_t Id, std::vector<std::string> Files, size_t Found, bool Done) {
    if (Id != FScanId) return;
    if (!Files.empty()) AudioPlayList1->AddFiles(Files);
    // The count replaces only its own text: "Играет" or an error stays.
    const std::string& shown = LabelError->Caption();
    if (shown.empty() || shown.rfind("Читаю: ", 0) == 0)
        LabelError->SetCaption((Done ? "Найдено: " : "Читаю: ") + FilesText(Found));
    if (Done) Scanning = false;
    const size_t count = AudioPlayList1->FileCount();
    if (Done && FScanResumes && count > 0) {
        FScanResumes = false;
        if (const std::optional<TResumePlace> place = TResumeState::Find(ResumePath, ResumeSource)) {
            bool resumed = false;
            TApplication::Guard([&] { resumed = ResumeFrom(*place); });
            if (resumed || PlayState == "play") {
                FScanPlays = false;
                return;
            }
        }
    }
    if (!FScanPlays || count == 0 || ((ChooseStartEntry || FScanResumes) && !Done)) return;
    FScanPlays = false;
    int start = 0;
    if (ChooseStartEntry) {
        start = ChooseStartEntry(ListSource, AudioPlayList1->Files());
        if (start < 0 || static_cast<size_t>(start) >= count) start = 0;
    }
    DriverActs();
    PlayingIndex = start;
    TApplication::Guard([this] { PlayCurrent(); });
    ShowSkin(PicPause);
    PlayState = "play";
    PlayerChanged();
}

void TForm1::MountAppeared(const std::string& MountPoint) {
    StartScan({MountPoint}, MountPoint, true);
}

void TForm1::MountVanished(const std::string& MountPoint) {
    const std::string below = MountPoint + "/";
    const bool plays = CurrentFile.compare(0, below.size(), below) == 0;
    if (ListSource != MountPoint && !plays) return;
    if (ListSource == MountPoint) {
        FScanner.reset();
        ++FScanId;
        Scanning = false;
        FScanPlays = false;
        ListSource.clear();
        AudioPlayList1->SetFiles({});
        AudioPlayList1->SetCurrentItem(0);
        PlayingIndex = 0;
    }
    if (plays) {
        FailTimer->SetEnabled(false);
        StopOutput(false);
        DropGaplessEntries(false); // their files were on the stick
        PlayState = "";
        CurrentDecoder = nullptr;
        CurrentFile.clear();
        ShowSkin(PicPlay);
        PlayerChanged();
    }
    LabelError->SetCaption("Носитель отключён: " +
                           TFolderScanner::DisplayName(MountPoint.substr(MountPoint.find_last_of('/') + 1)));
}

} // namespace tarvio
