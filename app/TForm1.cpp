#include "app/TForm1.h"

#include "app/TApplication.h"
#include "app/TConfigPaths.h"
#include "app/TIniFile.h"
#include "app/TTextFile.h"
#include "pipeline/TAuFileIn.h"
#include "pipeline/TAuTaggedFileIn.h"
#include "stages/TAudioCache.h"
#include "stages/TAudioPlayList.h"
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
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdio>
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
    // The output goes first: its worker pulls from the other components.
    if (DXAudioOut1) {
        DXAudioOut1->Stop(false);
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
    FDecoders.emplace_back(".mp3", MP3In1);
    // Windows Media files through the same reader, without MP3's longer length.
    WMIn1 = new TWMIn(this);
    plain(WMIn1, "WMIn1");
    WMIn1->SetOutputChannels(cnMonoOrStereo);
    WMIn1->SetHighPrecision(false);
    FDecoders.emplace_back(".wma", WMIn1);
#endif
#if TARVIO_HAVE_VORBIS
    VorbisIn1 = new TVorbisIn(this);
    plain(VorbisIn1, "VorbisIn1");
    FDecoders.emplace_back(".ogg", VorbisIn1);
#endif
#if TARVIO_HAVE_MAC
    MACIn1 = new TMACIn(this);
    plain(MACIn1, "MACIn1");
    FDecoders.emplace_back(".ape", MACIn1);
#endif
#if TARVIO_HAVE_FLAC
    FLACIn1 = new TFLACIn(this);
    plain(FLACIn1, "FLACIn1");
    FLACIn1->SetCheckMD5Signature(false);
    FDecoders.emplace_back(".flac", FLACIn1);
#endif
#if TARVIO_HAVE_MP4
    MP4In1 = new TMP4In(this);
    plain(MP4In1, "MP4In1");
    FDecoders.emplace_back(".m4a", MP4In1);
#endif
#if TARVIO_HAVE_WAVPACK
    WVIn1 = new TWVIn(this);
    plain(WVIn1, "WVIn1");
    FDecoders.emplace_back(".wv", WVIn1);
#endif
#if TARVIO_HAVE_OPUS
    OpusIn1 = new TOpusIn(this);
    plain(OpusIn1, "OpusIn1");
    FDecoders.emplace_back(".opus", OpusIn1);
#endif
#if TARVIO_HAVE_DTS
    DTSIn1 = new TDTSIn(this);
    plain(DTSIn1, "DTSIn1");
    DTSIn1->SetOutputChannels(dts5dot1);
    FDecoders.emplace_back(".wav", DTSIn1);
    FDecoders.emplace_back(".dts", DTSIn1);
    AudioPlayList1->SetInput(DTSIn1);
#endif
#if TARVIO_HAVE_AC3
    AC3In1 = new TAC3In(this);
    AC3In1->SetName("AC3In1");
    AC3In1->SetLoop(false);
    AC3In1->SetVobAudioSubstream(acvStreamFirst);
    AC3In1->SetOutputChannels(acc5dot1);
    // AC-3 files and DVD titles play with labels like a DTS track's.
    FDecoders.emplace_back(".ac3", AC3In1);
    FDecoders.emplace_back(".vob", AC3In1);
#endif
#if TARVIO_HAVE_WAV
    WaveIn1 = new TWaveIn(this);
    plain(WaveIn1, "WaveIn1");
#if !TARVIO_HAVE_DTS
    FDecoders.emplace_back(".wav", WaveIn1); // without the DTS decoder a ".wav" is a WAVE file
#endif
#endif
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
    }
    // A file that cannot be read is shown in the error box, and the start-up goes on with
    // what does not depend on it: the skin and its buttons (close among them) always work.
    TApplication::Guard([this] { AudioPlayList1->SetFiles(TTextFile::ReadLines("PlayList.txt")); });
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
        list.push_back(entry.first);
    return list;
}

void TForm1::PlayCurrent() {
    FailTimer->SetEnabled(false);
    EntryFailed = false;
    CurrentDecoder = nullptr;
    CurrentFile.clear();
    CurrentFrames = 0;
    DXAudioOut1->Stop(false);
    std::vector<std::string> files = AudioPlayList1->Files();
    if (PlayingIndex < 0 || static_cast<size_t>(PlayingIndex) >= files.size())
        throw std::out_of_range("List index out of bounds (" + std::to_string(PlayingIndex) + ")");
    const std::string name = files[static_cast<size_t>(PlayingIndex)];

    for (TLabel* label : {LabelTrack, LabelArtist, LabelTime, LabelBitrate, LabelSamplerate, LabelChannel})
        label->SetCaption("");

    bool isDTS = false;
    TAuFileIn* decoder = DecoderFor(name, isDTS);
    bool isAC3 = false;
#if TARVIO_HAVE_AC3
    isAC3 = decoder != nullptr && decoder == AC3In1;
#endif
    if (isDTS || isAC3) {
        LabelArtist->SetCaption(isDTS ? "DTS" : "AC-3");
        LabelTrack->SetCaption(ExtractFileName(name));
    }
    if (!decoder) {
        LabelError->SetCaption("Непонятный тип файла");
        EntryFails();
        return;
    }
    decoder->SetStartSample(0); // a seek of the last run does not carry over
    decoder->SetFileName(name);
    bool valid = decoder->Valid();
#if TARVIO_HAVE_DTS && TARVIO_HAVE_WAV
    // A ".wav" without DTS audio in it is an ordinary WAVE file, with the ordinary labels.
    if (!valid && isDTS) {
        isDTS = false;
        LabelArtist->SetCaption("");
        LabelTrack->SetCaption("");
        decoder = WaveIn1;
        decoder->SetStartSample(0);
        decoder->SetFileName(name);
        valid = decoder->Valid();
    }
#endif
#if TARVIO_HAVE_AC3 && TARVIO_HAVE_DTS
    // A DVD title whose audio is DTS: no AC-3 stream in it, so it is a DTS track.
    if (!valid && isAC3 && LowerExtension(name) == ".vob") {
        isAC3 = false;
        isDTS = true;
        LabelArtist->SetCaption("DTS");
        decoder = DTSIn1;
        decoder->SetStartSample(0);
        decoder->SetFileName(name);
        valid = decoder->Valid();
    }
#endif
    if (!valid) {
        LabelError->SetCaption(CannotPlayText);
        EntryFails();
        return;
    }
    LabelError->SetCaption("Играет: " + ExtractFileName(name));
    AudioCache1->SetInput(decoder);
    DXAudioOut1->Run();
    CurrentDecoder = decoder;
    CurrentFile = name;
    CurrentFrames = std::max<int64_t>(decoder->TotalSamples(), 0);

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
    DXAudioOut1->Stop(true);
    const int count = static_cast<int>(AudioPlayList1->Files().size());
    PlayingIndex += Step;
    if (PlayingIndex >= count) PlayingIndex = 0;
    if (PlayingIndex < 0) PlayingIndex = count - 1;
    PlayCurrent();
    PlayState = "play";
    PlayerChanged();
}

void TForm1::FormClose(TComponent*) {
    DXAudioOut1->Stop(false);
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
        DXAudioOut1->Resume();
        PlayState = "play";
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
    DXAudioOut1->Stop(false);
    decoder->SetStartSample(Frame);
    DXAudioOut1->Run();
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

} // namespace tarvio
