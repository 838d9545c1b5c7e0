#include "decoders/mp4/TMP4In.h"

#include <neaacdec.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "decoders/mp4/FaadChannels.h"
#include "pipeline/EAuException.h"
#include "pipeline/TEventHandler.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"

namespace tarvio {

// The entry points this input calls; resolved by name from the libraries opened at run time.
struct TMp4ffLib {
    decltype(&mp4ff_open_read) OpenRead = nullptr;
    decltype(&mp4ff_close) Close = nullptr;
    decltype(&mp4ff_total_tracks) TotalTracks = nullptr;
    decltype(&mp4ff_get_track_type) TrackType = nullptr;
    decltype(&mp4ff_get_audio_type) AudioType = nullptr;
    decltype(&mp4ff_get_decoder_config) DecoderConfig = nullptr;
    decltype(&mp4ff_free_decoder_config) Free = nullptr;
    decltype(&mp4ff_num_samples) NumSamples = nullptr;
    decltype(&mp4ff_time_scale) TimeScale = nullptr;
    decltype(&mp4ff_get_avg_bitrate) AvgBitrate = nullptr;
    decltype(&mp4ff_get_track_edit) TrackEdit = nullptr;
    decltype(&mp4ff_read_sample_getsize) SampleSize = nullptr;
    decltype(&mp4ff_read_sample_v2) ReadSample = nullptr;
    decltype(&mp4ff_meta_get_artist) Artist = nullptr;
    decltype(&mp4ff_meta_get_title) Title = nullptr;
    decltype(&mp4ff_meta_get_album) Album = nullptr;
    decltype(&mp4ff_meta_get_date) Date = nullptr;
    decltype(&mp4ff_meta_get_genre) Genre = nullptr;
    decltype(&mp4ff_meta_get_track) Track = nullptr;
    decltype(&mp4ff_meta_get_num_items) NumItems = nullptr;
    decltype(&mp4ff_meta_get_by_index) ItemByIndex = nullptr;
    decltype(&mp4ff_get_sample_entry_type) EntryType = nullptr;
    decltype(&mp4ff_get_codec_box) CodecBox = nullptr;
    decltype(&mp4ff_get_sample_position) SamplePosition = nullptr;
    decltype(&mp4ff_get_sample_duration) SampleDuration = nullptr;
    decltype(&mp4ff_find_sample) FindSample = nullptr;
};

struct TFaadLib {
    decltype(&NeAACDecOpen) Open = nullptr;
    decltype(&NeAACDecGetCurrentConfiguration) GetConfiguration = nullptr;
    decltype(&NeAACDecSetConfiguration) SetConfiguration = nullptr;
    decltype(&NeAACDecInit2) Init2 = nullptr;
    decltype(&NeAACDecAudioSpecificConfig) ParseConfig = nullptr;
    decltype(&NeAACDecDecode) Decode = nullptr;
    decltype(&NeAACDecPostSeekReset) PostSeekReset = nullptr;
    decltype(&NeAACDecClose) Close = nullptr;
};

namespace {

const char* const NoTrackMessage = "Unable to find correct AAC sound track in the MP4 file.";
const char* const ReadErrorMessage = "Error reading data.";

// No AAC frame is larger: 6144 bits per channel, 64 channels at most.
constexpr uint32_t MaxFrameBytes = 768 * 64;
constexpr size_t FramePadding = 64;
// A run of frames that give no audio longer than this is taken as damage.
constexpr uint32_t MaxEmptyFrames = 1024;

constexpr uint32_t Fourcc(const char (&Name)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(Name[0])) << 24 |
           static_cast<uint32_t>(static_cast<uint8_t>(Name[1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(Name[2])) << 8 | static_cast<uint8_t>(Name[3]);
}

const char* CodecName(AVCodecID Codec) {
    switch (Codec) {
    case AV_CODEC_ID_ALAC:
        return "ALAC";
    case AV_CODEC_ID_MP3:
        return "MP3";
    case AV_CODEC_ID_AC3:
        return "AC-3";
    case AV_CODEC_ID_EAC3:
        return "E-AC-3";
    case AV_CODEC_ID_FLAC:
        return "FLAC";
    case AV_CODEC_ID_OPUS:
        return "Opus";
    default:
        return "";
    }
}

// FFmpeg's configuration of Codec from the sample entry's codec box (header included); false
// when the box the codec needs is missing or malformed.
bool CodecExtradata(AVCodecID Codec, const std::vector<uint8_t>& Box, std::vector<uint8_t>& Out) {
    Out.clear();
    auto u16 = [&](size_t At) { return static_cast<uint32_t>(Box[At] << 8 | Box[At + 1]); };
    switch (Codec) {
    case AV_CODEC_ID_ALAC: // the 'alac' box as it stands: size, type, version, 24 bytes
        if (Box.size() < 36 || Box[4] != 'a') return false;
        Out = Box;
        return true;
    case AV_CODEC_ID_FLAC: // 'dfLa': version, then metadata blocks, STREAMINFO first
        if (Box.size() < 12 + 4 + 34 || (Box[12] & 0x7F) != 0 || (Box[13] << 16 | u16(14)) != 34)
            return false;
        Out.assign(Box.begin() + 16, Box.begin() + 16 + 34);
        return true;
    case AV_CODEC_ID_OPUS: { // 'dOps' (big-endian) to the Ogg header (little-endian)
        if (Box.size() < 8 + 11) return false;
        const uint8_t* d = Box.data() + 8;
        const uint8_t channels = d[1], family = d[10];
        const size_t table = family == 0 ? 0 : 2u + channels;
        if (d[0] != 0 || channels == 0 || Box.size() < 8 + 11 + table) return false;
        const uint8_t head[] = {'O',  'p',  'u',  's',  'H',  'e',  'a',  'd',  1,     channels,
                                d[3], d[2], d[7], d[6], d[5], d[4], d[9], d[8], family};
        Out.assign(head, head + sizeof head);
        Out.insert(Out.end(), d + 11, d + 11 + table);
        return true;
    }
    default: // MP3 and AC-3 carry their configuration in every frame
        return true;
    }
}

std::string NotLoadedMessage(const TLibraryLoader& Loader) {
    return Loader.FileName() + " library could not be loaded.";
}

// Loads each library (once per process) and resolves the entry points (once per input);
// raises the message of the first library that is missing or lacks one.
void LoadLibraries(TMp4ffLib& M, TFaadLib& F) {
    std::lock_guard<std::recursive_mutex> lock(LibraryLoadLock());
    const TLibraryLoader& mp4 = TMP4In::LibMp4ff();
    const TLibraryLoader& faad = TMP4In::LibFaad();
    const bool mp4Loaded = TMP4In::LibMp4ff().Load();
    const bool faadLoaded = TMP4In::LibFaad().Load();
    if (!mp4Loaded) throw EAuException(NotLoadedMessage(mp4));
    if (!M.OpenRead) {
        const bool ok =
            mp4.Resolve("mp4ff_close", M.Close) && mp4.Resolve("mp4ff_total_tracks", M.TotalTracks) &&
            mp4.Resolve("mp4ff_get_track_type", M.TrackType) &&
            mp4.Resolve("mp4ff_get_audio_type", M.AudioType) &&
            mp4.Resolve("mp4ff_get_decoder_config", M.DecoderConfig) &&
            mp4.Resolve("mp4ff_free_decoder_config", M.Free) &&
            mp4.Resolve("mp4ff_num_samples", M.NumSamples) && mp4.Resolve("mp4ff_time_scale", M.TimeScale) &&
            mp4.Resolve("mp4ff_get_avg_bitrate", M.AvgBitrate) &&
            mp4.Resolve("mp4ff_get_track_edit", M.TrackEdit) &&
            mp4.Resolve("mp4ff_read_sample_getsize", M.SampleSize) &&
            mp4.Resolve("mp4ff_read_sample_v2", M.ReadSample) &&
            mp4.Resolve("mp4ff_meta_get_artist", M.Artist) && mp4.Resolve("mp4ff_meta_get_title", M.Title) &&
            mp4.Resolve("mp4ff_meta_get_album", M.Album) && mp4.Resolve("mp4ff_meta_get_date", M.Date) &&
            mp4.Resolve("mp4ff_meta_get_genre", M.Genre) && mp4.Resolve("mp4ff_meta_get_track", M.Track) &&
            mp4.Resolve("mp4ff_meta_get_num_items", M.NumItems) &&
            mp4.Resolve("mp4ff_meta_get_by_index", M.ItemByIndex) &&
            mp4.Resolve("mp4ff_get_sample_entry_type", M.EntryType) &&
            mp4.Resolve("mp4ff_get_codec_box", M.CodecBox) &&
            mp4.Resolve("mp4ff_get_sample_position", M.SamplePosition) &&
            mp4.Resolve("mp4ff_get_sample_duration", M.SampleDuration) &&
            mp4.Resolve("mp4ff_find_sample", M.FindSample) &&
            mp4.Resolve("mp4ff_open_read", M.OpenRead); // last: it marks the set complete
        if (!ok) {
            M = TMp4ffLib{};
            throw EAuException(NotLoadedMessage(mp4));
        }
    }
    if (!faadLoaded) throw EAuException(NotLoadedMessage(faad));
    if (!F.Open) {
        const bool ok = faad.Resolve("NeAACDecGetCurrentConfiguration", F.GetConfiguration) &&
                        faad.Resolve("NeAACDecSetConfiguration", F.SetConfiguration) &&
                        faad.Resolve("NeAACDecInit2", F.Init2) &&
                        faad.Resolve("NeAACDecAudioSpecificConfig", F.ParseConfig) &&
                        faad.Resolve("NeAACDecDecode", F.Decode) &&
                        faad.Resolve("NeAACDecPostSeekReset", F.PostSeekReset) &&
                        faad.Resolve("NeAACDecClose", F.Close) &&
                        faad.Resolve("NeAACDecOpen", F.Open); // last: it marks the set complete
        if (!ok) {
            F = TFaadLib{};
            throw EAuException(NotLoadedMessage(faad));
        }
    }
}

// The channel configuration field of an AudioSpecificConfig (faad2's parser reports a
// mono configuration as stereo); -1 when the bytes are too short.
int ChannelConfiguration(const std::vector<uint8_t>& Asc) {
    uint64_t bits = 0;
    int have = 0;
    size_t next = 0;
    auto take = [&](int Count) -> int64_t {
        while (have < Count) {
            if (next >= Asc.size()) return -1;
            bits = (bits << 8) | Asc[next++];
            have += 8;
        }
        have -= Count;
        return static_cast<int64_t>((bits >> have) & ((1u << Count) - 1));
    };
    if (take(5) == 31 && take(6) < 0) return -1; // escaped object type
    const int64_t rateIndex = take(4);
    if (rateIndex == 15 && take(24) < 0) return -1; // explicit rate
    return rateIndex < 0 ? -1 : static_cast<int>(take(4));
}

// A text that mp4ff allocated, released through the library.
class TMp4Text {
public:
    explicit TMp4Text(const TMp4ffLib& Lib) : FLib(Lib) {}
    ~TMp4Text() { FLib.Free(FText); }
    TMp4Text(const TMp4Text&) = delete;
    TMp4Text& operator=(const TMp4Text&) = delete;
    char** Out() { return &FText; }
    std::string_view View() const { return FText ? std::string_view(FText) : std::string_view(); }

private:
    const TMp4ffLib& FLib;
    char* FText = nullptr;
};

} // namespace

// The container library's callbacks over the input's stream. They run inside mp4ff calls
// on the calling thread and never let an exception reach the library.
struct TMP4In::TCallbacks {
    static TStream* StreamOf(void* UserData) { return static_cast<TMP4In*>(UserData)->FStream; }

    static uint32_t Read(void* UserData, void* Buffer, uint32_t Length) {
        try {
            TStream* s = StreamOf(UserData);
            if (!s) return 0;
            const int32_t got = s->Read(Buffer, static_cast<int32_t>(std::min<uint32_t>(Length, INT32_MAX)));
            return got > 0 ? static_cast<uint32_t>(got) : 0;
        } catch (...) {
            return 0;
        }
    }

    static uint32_t Write(void* UserData, void* Buffer, uint32_t Length) {
        try {
            TStream* s = StreamOf(UserData);
            if (!s) return 0;
            const int32_t put = s->Write(Buffer, static_cast<int32_t>(std::min<uint32_t>(Length, INT32_MAX)));
            return put > 0 ? static_cast<uint32_t>(put) : 0;
        } catch (...) {
            return 0;
        }
    }

    static uint32_t Seek(void* UserData, uint64_t Position) {
        try {
            TStream* s = StreamOf(UserData);
            if (!s || Position > static_cast<uint64_t>(INT64_MAX)) return 0;
            const int64_t at = s->Seek(static_cast<int64_t>(Position), TSeekOrigin::soBeginning);
            return at < 0 ? 0 : static_cast<uint32_t>(at);
        } catch (...) {
            return 0;
        }
    }

    static uint32_t Truncate(void*) { return 0; }
};

void TMP4In::TDecoderCloser::operator()(void* Decoder) const {
    if (Decoder && Lib) Lib->Close(Decoder);
}

void TMP4In::TFileCloser::operator()(mp4ff_t* File) const {
    if (File && Lib) Lib->Close(File);
}

TLibraryLoader& TMP4In::LibMp4ff() {
    static TLibraryLoader loader(RuntimeLibrary::Mp4ff);
    return loader;
}

TLibraryLoader& TMP4In::LibFaad() {
    static TLibraryLoader loader(RuntimeLibrary::Faad);
    return loader;
}

TMP4In::TMP4In(TComponent* AOwner)
    : TAuTaggedFileIn(AOwner), FMp4ff(std::make_unique<TMp4ffLib>()), FFaad(std::make_unique<TFaadLib>()),
      MP4Handle(nullptr, TFileCloser{FMp4ff.get()}), HDecoder(nullptr, TDecoderCloser{FFaad.get()}) {}

TMP4In::~TMP4In() {
    CloseFile();
}

uint32_t TMP4In::Bitrate() {
    OpenFile();
    return FBitrate;
}

std::string TMP4In::Codec() {
    OpenFile();
    return FValid ? FCodec : std::string();
}

std::string TMP4In::Profile() {
    OpenFile();
    if (!FValid || FCodecDecoder) return {};
    if (FPS) return "HE-AAC v2";
    if (FSBR || FObjectType == HE_AAC) return "HE-AAC";
    switch (FObjectType) {
    case MAIN:
        return "Main";
    case LC:
        return "LC";
    case SSR:
        return "SSR";
    case LTP:
        return "LTP";
    case ER_LC:
        return "ER LC";
    case ER_LTP:
        return "ER LTP";
    case LD:
        return "LD";
    default:
        return "object type " + std::to_string(FObjectType);
    }
}

bool TMP4In::SBR() {
    OpenFile();
    return FValid && FSBR;
}

bool TMP4In::PS() {
    OpenFile();
    return FValid && FPS;
}

void TMP4In::OpenFile() {
    LoadLibraries(*FMp4ff, *FFaad);
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened != 0) return;
    FValid = false;
    try {
        OpenOwnStream();
    } catch (...) {
        throw EAuException("Failed to open stream");
    }
    try {
        OpenTrack();
    } catch (...) {
        ReleaseAll();
        throw;
    }
    FValid = true;
    ++FOpened;
}

void TMP4In::OpenTrack() {
    cbs = mp4ff_callback_t{&TCallbacks::Read, &TCallbacks::Write, &TCallbacks::Seek, &TCallbacks::Truncate,
                           this};

    HDecoder = TDecoderPtr(FFaad->Open(), TDecoderCloser{FFaad.get()});
    if (!HDecoder) throw EAuException("Unable to open file.");
    NeAACDecConfigurationPtr config = FFaad->GetConfiguration(HDecoder.get());
    switch (config ? config->outputFormat : 0) {
    case FAAD_FMT_16BIT:
        FBPS = 16;
        break;
    case FAAD_FMT_24BIT:
        FBPS = 24;
        break;
    case FAAD_FMT_32BIT:
        FBPS = 32;
        break;
    default:
        throw EAuException("Unsupported sample format.");
    }
    // Every channel is delivered. Plain AAC at a low rate stays at its own rate: only
    // SBR data actually present doubles it.
    config->downMatrix = 0;
    config->dontUpSampleImplicitSBR = 1;
    FFaad->SetConfiguration(HDecoder.get(), config);

    MP4Handle.reset(FMp4ff->OpenRead(&cbs));
    if (!MP4Handle) throw EAuException("Unable to open file.");
    FTrack = FindAACTrack();
    FCodec = "AAC";
    if (FTrack < 0) {
        AVCodecID codec = AV_CODEC_ID_NONE;
        std::vector<uint8_t> extradata;
        bool audio = false;
        FTrack = FindOtherTrack(codec, extradata, audio);
        if (FTrack < 0)
            throw EAuException(audio ? "The MP4 file's sound track is of a codec that cannot be decoded."
                                     : NoTrackMessage);
        OpenCodecTrack(codec, extradata);
        return;
    }

    std::vector<uint8_t> asc;
    {
        unsigned char* buffer = nullptr;
        unsigned int size = 0;
        FMp4ff->DecoderConfig(MP4Handle.get(), FTrack, &buffer, &size);
        std::unique_ptr<unsigned char, void (*)(void*)> owned(buffer, FMp4ff->Free);
        if (buffer) asc.assign(buffer, buffer + size);
    }
    unsigned long rate = 0;
    unsigned char channels = 0;
    if (FFaad->Init2(HDecoder.get(), asc.data(), static_cast<unsigned long>(asc.size()), &rate, &channels) <
        0)
        throw EAuException(NoTrackMessage);

    FSamples = std::max<int32_t>(FMp4ff->NumSamples(MP4Handle.get(), FTrack), 0);
    FTimescale = static_cast<uint32_t>(std::max<int32_t>(FMp4ff->TimeScale(MP4Handle.get(), FTrack), 0));
    ProbeFormat(asc);
    FindPresentation();

    _Buf.assign(static_cast<size_t>(FFrameLength) * FChan * (FBPS / 8), 0);
    FPcm = _Buf.data();
    FinishOpen();
}

void TMP4In::FinishOpen() {
    FSize = FFileSamples * FChan * (FBPS / 8);
    FSeekable = FSize > 0;
    TCommonTags& common = *FCommonTags;
    common.Clear();
    auto text = [this](int (*Get)(const mp4ff_t*, char**)) {
        TMp4Text value(*FMp4ff);
        Get(MP4Handle.get(), value.Out());
        return TCodePage::Utf8ToWide(value.View());
    };
    common.SetArtist(text(FMp4ff->Artist));
    common.SetTitle(text(FMp4ff->Title));
    common.SetAlbum(text(FMp4ff->Album));
    common.SetGenre(text(FMp4ff->Genre));
    common.SetYear(TCodePage::ToNarrow(text(FMp4ff->Date)));
    common.SetTrack(TCodePage::ToNarrow(text(FMp4ff->Track)));

    FBitrate = FMp4ff->AvgBitrate(MP4Handle.get(), FTrack);
    FBOffset = 0;
    FBytesRead = 0;
    FSampleId = 0;
    FNext = FFirst;
    FEmptyFrames = 0;
}

int32_t TMP4In::FindOtherTrack(AVCodecID& Codec, std::vector<uint8_t>& Extradata, bool& Audio) {
    const int32_t tracks = FMp4ff->TotalTracks(MP4Handle.get());
    for (int32_t i = 0; i < tracks; ++i) {
        if (FMp4ff->TrackType(MP4Handle.get(), i) != TRACK_AUDIO) continue;
        const uint32_t entry = FMp4ff->EntryType(MP4Handle.get(), i);
        const uint32_t type = FMp4ff->AudioType(MP4Handle.get(), i);
        if (entry == Fourcc("mp4a") && (type == 0x40 || (type >= 0x66 && type <= 0x68))) continue; // AAC
        Audio = true;
        if (entry == Fourcc("alac"))
            Codec = AV_CODEC_ID_ALAC;
        else if (entry == Fourcc(".mp3") || (entry == Fourcc("mp4a") && (type == 0x69 || type == 0x6B)))
            Codec = AV_CODEC_ID_MP3;
        else if (entry == Fourcc("ac-3") || (entry == Fourcc("mp4a") && type == 0xA5))
            Codec = AV_CODEC_ID_AC3;
        else if (entry == Fourcc("ec-3") || (entry == Fourcc("mp4a") && type == 0xA6))
            Codec = AV_CODEC_ID_EAC3;
        else if (entry == Fourcc("fLaC"))
            Codec = AV_CODEC_ID_FLAC;
        else if (entry == Fourcc("Opus"))
            Codec = AV_CODEC_ID_OPUS;
        else
            continue;
        std::vector<uint8_t> box;
        {
            unsigned char* buffer = nullptr;
            unsigned int size = 0;
            FMp4ff->CodecBox(MP4Handle.get(), i, &buffer, &size);
            std::unique_ptr<unsigned char, void (*)(void*)> owned(buffer, FMp4ff->Free);
            if (buffer) box.assign(buffer, buffer + size);
        }
        if (CodecExtradata(Codec, box, Extradata)) return i;
    }
    return -1;
}

void TMP4In::OpenCodecTrack(AVCodecID Codec, const std::vector<uint8_t>& Extradata) {
    ffmpeg::TFFmpegLibrary::Instance().Require();
    FCodec = CodecName(Codec);
    FCodecDecoder = std::make_unique<TMP4CodecDecoder>(Codec, Extradata);
    FSamples = std::max<int32_t>(FMp4ff->NumSamples(MP4Handle.get(), FTrack), 0);
    FTimescale = static_cast<uint32_t>(std::max<int32_t>(FMp4ff->TimeScale(MP4Handle.get(), FTrack), 0));
    const std::string refused = "Unable to decode the " + FCodec + " sound track in the MP4 file.";
    if (FTimescale == 0) throw EAuException(refused);
    // The format is that of the first sample that decodes; a few damaged ones may come first.
    bool decoded = false;
    for (int32_t i = 0; i < std::min<int32_t>(FSamples, 8) && !decoded; ++i) {
        uint32_t size = 0;
        decoded = ReadFrame(i, size) && FCodecDecoder->Decode(FFrame.data(), size) > 0;
    }
    if (!decoded) throw EAuException(refused);
    FSR = FCodecDecoder->Rate();
    FChan = FCodecDecoder->Channels();
    FBPS = FCodecDecoder->Bits();
    // A fresh decoder: a flush keeps state such as the AC-3 dither's random sequence, and
    // the output would then differ from a decode from the start.
    FCodecDecoder = std::make_unique<TMP4CodecDecoder>(Codec, Extradata);
    // Codecs whose frames overlap need the frames before a seek's target decoded again.
    switch (Codec) {
    case AV_CODEC_ID_MP3:
        FPreroll = 3 * 1152;
        break;
    case AV_CODEC_ID_AC3:
    case AV_CODEC_ID_EAC3:
        FPreroll = 1536;
        break;
    case AV_CODEC_ID_OPUS:
        FPreroll = static_cast<int64_t>(FSR) * 80 / 1000;
        break;
    default:
        FPreroll = 0;
    }
    FindCodecPresentation();
    FinishOpen();
}

int64_t TMP4In::StartFrame(int32_t Sample) const {
    const int64_t time = FMp4ff->SamplePosition(MP4Handle.get(), FTrack, Sample);
    return time < 0 ? 0
                    : static_cast<int64_t>(
                          std::nearbyint(static_cast<double>(time) * FSR / static_cast<double>(FTimescale)));
}

// The file's audio in output frames: the track's samples as its time table counts them,
// cut to the edit list's span where it has one.
void TMP4In::FindCodecPresentation() {
    int64_t total = 0;
    if (FSamples > 0) {
        const int32_t last = FSamples - 1;
        const int64_t end = FMp4ff->SamplePosition(MP4Handle.get(), FTrack, last) +
                            std::max<int32_t>(FMp4ff->SampleDuration(MP4Handle.get(), FTrack, last), 0);
        total = static_cast<int64_t>(std::nearbyint(static_cast<double>(end) * FSR / FTimescale));
    }
    const double scale = static_cast<double>(FSR) / FTimescale;
    auto frames = [&](int64_t Time) {
        return static_cast<int64_t>(
            std::clamp(std::nearbyint(static_cast<double>(Time) * scale), 0.0, static_cast<double>(total)));
    };
    int64_t mediaTime = 0, duration = 0;
    FFirst = 0;
    FFileSamples = total;
    if (FMp4ff->TrackEdit(MP4Handle.get(), FTrack, &mediaTime, &duration)) {
        FFirst = frames(mediaTime);
        FFileSamples = std::min(frames(duration), total - FFirst);
    }
    FFileSamples = std::max<int64_t>(FFileSamples, 0);
}

bool TMP4In::DecodeNextCodec() {
    const int64_t end = FFirst + FFileSamples;
    const uint32_t frameBytes = FChan * (FBPS / 8);
    while (FNext < end && FSampleId < FSamples) {
        const int32_t sample = FSampleId++;
        uint32_t size = 0;
        if (!ReadFrame(sample, size)) throw EAuException(ReadErrorMessage);
        const int64_t blockStart = StartFrame(sample);
        const int64_t n = FCodecDecoder->Decode(FFrame.data(), size);
        if (n <= 0) {
            // A damaged sample is skipped (its time stays silent); a long run of them is damage.
            if (++FEmptyFrames > MaxEmptyFrames) throw EAuException(ReadErrorMessage);
            continue;
        }
        FEmptyFrames = 0;
        const int64_t blockEnd = std::min<int64_t>(blockStart + n, end);
        if (FNext < blockStart) FNext = blockStart;
        if (FNext >= blockEnd) continue;
        FPcm = FCodecDecoder->Pcm() + static_cast<size_t>(FNext - blockStart) * frameBytes;
        FBOffset = 0;
        FBytesRead = static_cast<uint32_t>(blockEnd - FNext) * frameBytes;
        FNext = blockEnd;
        return true;
    }
    return false;
}

int32_t TMP4In::FindAACTrack() {
    const int32_t tracks = FMp4ff->TotalTracks(MP4Handle.get());
    for (int32_t i = 0; i < tracks; ++i) {
        if (FMp4ff->TrackType(MP4Handle.get(), i) != TRACK_AUDIO) continue;
        const uint32_t type = FMp4ff->AudioType(MP4Handle.get(), i);
        if (type != 0x40 && (type < 0x66 || type > 0x68)) continue; // MPEG-4 or MPEG-2 AAC
        unsigned char* buffer = nullptr;
        unsigned int size = 0;
        FMp4ff->DecoderConfig(MP4Handle.get(), i, &buffer, &size);
        std::unique_ptr<unsigned char, void (*)(void*)> owned(buffer, FMp4ff->Free);
        if (!buffer) continue;
        mp4AudioSpecificConfig asc{};
        if (FFaad->ParseConfig(buffer, size, &asc) >= 0) return i;
    }
    return -1;
}

TMP4In::TDecoderPtr TMP4In::NewDecoder(const std::vector<uint8_t>& Config) {
    TDecoderPtr decoder(FFaad->Open(), TDecoderCloser{FFaad.get()});
    NeAACDecConfigurationPtr config = decoder ? FFaad->GetConfiguration(decoder.get()) : nullptr;
    if (!config) throw EAuException(NoTrackMessage);
    config->downMatrix = 0;
    config->dontUpSampleImplicitSBR = 1;
    FFaad->SetConfiguration(decoder.get(), config);
    unsigned long rate = 0;
    unsigned char channels = 0;
    auto* data = const_cast<unsigned char*>(Config.data());
    if (FFaad->Init2(decoder.get(), data, static_cast<unsigned long>(Config.size()), &rate, &channels) < 0)
        throw EAuException(NoTrackMessage);
    return decoder;
}

// The rate, channels, channel positions and frame length are those of the decoded audio,
// which only a decoded frame tells: the first frames are decoded by a decoder of their own.
void TMP4In::ProbeFormat(const std::vector<uint8_t>& Config) {
    TDecoderPtr probe = NewDecoder(Config);
    NeAACDecFrameInfo info{};
    bool decoded = false;
    FFrameLength = 0;
    for (int32_t i = 0; i < std::min<int32_t>(FSamples, 2); ++i) {
        uint32_t size = 0;
        if (!ReadFrame(i, size)) throw EAuException(NoTrackMessage);
        NeAACDecFrameInfo frame{};
        FFaad->Decode(probe.get(), &frame, FFrame.data(), size);
        if (frame.error != 0) throw EAuException(NoTrackMessage);
        info = frame;
        decoded = true;
        if (frame.channels > 0 && frame.samples > 0) {
            FFrameLength = static_cast<uint32_t>(frame.samples / frame.channels);
            break;
        }
    }
    if (!decoded || info.channels == 0 || info.samplerate == 0) throw EAuException(NoTrackMessage);
    if (FFrameLength == 0) { // a track of one frame, which the decoder swallows
        mp4AudioSpecificConfig asc{};
        FFaad->ParseConfig(const_cast<unsigned char*>(Config.data()),
                           static_cast<unsigned long>(Config.size()), &asc);
        FFrameLength = asc.frameLengthFlag ? 960 : 1024;
        if (info.sbr == SBR_UPSAMPLED || info.sbr == NO_SBR_UPSAMPLED) FFrameLength *= 2;
    }
    FSR = static_cast<uint32_t>(info.samplerate);
    FDecoderChannels = info.channels;
    FObjectType = info.object_type;
    FSBR = info.sbr == SBR_UPSAMPLED || info.sbr == SBR_DOWNSAMPLED;
    FPS = info.ps != 0;
    // The decoder doubles a mono channel, in case parametric stereo turns up; without it
    // the track is mono.
    const bool mono = ChannelConfiguration(Config) == 1 && FDecoderChannels == 2 && !FPS;
    FChan = mono ? 1 : FDecoderChannels;
    FChannelOrder.resize(FDecoderChannels);
    for (uint32_t i = 0; i < FDecoderChannels; ++i)
        FChannelOrder[i] = i;
    std::stable_sort(FChannelOrder.begin(), FChannelOrder.end(), [&](uint32_t a, uint32_t b) {
        return FaadSpeakerBit(info.channel_position[a]) < FaadSpeakerBit(info.channel_position[b]);
    });
    FChannelOrder.resize(FChan);
}

// Where the file's audio lies in the decoded frames. The decoder itself swallows the
// first MP4 sample's output, so nothing before FFrameLength can be delivered.
void TMP4In::FindPresentation() {
    const int64_t L = FFrameLength;
    int64_t first = L, length = -1;
    int64_t mediaTime = 0, duration = 0;
    const double scale = FTimescale > 0 ? static_cast<double>(FSR) / FTimescale : 0;
    const int64_t total = static_cast<int64_t>(FSamples) * L;
    // Track time to output frames, within the frames the track can give.
    auto frames = [&](int64_t Time) {
        return static_cast<int64_t>(
            std::clamp(std::nearbyint(static_cast<double>(Time) * scale), 0.0, static_cast<double>(total)));
    };
    if (scale > 0 && FMp4ff->TrackEdit(MP4Handle.get(), FTrack, &mediaTime, &duration)) {
        first = frames(mediaTime);
        length = std::min(frames(duration), total - first);
    } else {
        // iTunes gapless data: " 00000000 PRIMING PADDING LENGTH ..." in hexadecimal.
        const int items = FMp4ff->NumItems(MP4Handle.get());
        for (int i = 0; i < items; ++i) {
            TMp4Text name(*FMp4ff), value(*FMp4ff);
            if (!FMp4ff->ItemByIndex(MP4Handle.get(), static_cast<unsigned>(i), name.Out(), value.Out()))
                continue;
            if (name.View() != "iTunSMPB") continue;
            std::istringstream fields{std::string(value.View())};
            std::string f[4];
            if (!(fields >> f[0] >> f[1] >> f[2] >> f[3])) break;
            const unsigned long long priming = std::strtoull(f[1].c_str(), nullptr, 16),
                                     padding = std::strtoull(f[2].c_str(), nullptr, 16),
                                     original = std::strtoull(f[3].c_str(), nullptr, 16);
            if (priming > static_cast<unsigned long long>(total)) break;
            first = static_cast<int64_t>(priming);
            if (original > 0 && original <= static_cast<unsigned long long>(total - first))
                length = static_cast<int64_t>(original);
            else if (padding <= static_cast<unsigned long long>(total - first))
                length = total - first - static_cast<int64_t>(padding);
            break;
        }
    }
    if (length < 0) {
        // Nothing stated: 1023 (2047 with SBR) frames per MP4 sample.
        const double sf = FSR;
        first = L;
        length = static_cast<int64_t>(sf * (static_cast<double>(FSamples) * static_cast<double>(L - 1) / sf));
    }
    if (first < L) { // audio the decoder swallows is lost
        length -= L - first;
        first = L;
    }
    FFirst = first;
    FFileSamples = std::max<int64_t>(length, 0);
}

bool TMP4In::ReadFrame(int32_t Sample, uint32_t& Size) {
    const int32_t size = FMp4ff->SampleSize(MP4Handle.get(), FTrack, Sample);
    if (size <= 0 || static_cast<uint32_t>(size) > MaxFrameBytes) return false;
    // Zero bytes after the frame: the decoder's bit reader fetches whole words ahead.
    if (FFrame.size() < static_cast<size_t>(size) + FramePadding)
        FFrame.resize(static_cast<size_t>(size) + FramePadding);
    std::memset(FFrame.data() + size, 0, FramePadding);
    Size = static_cast<uint32_t>(size);
    return FMp4ff->ReadSample(MP4Handle.get(), FTrack, Sample, FFrame.data()) == size;
}

bool TMP4In::DecodeNext() {
    if (FCodecDecoder) return DecodeNextCodec();
    const int64_t end = FFirst + FFileSamples;
    const uint32_t bytesPerSample = FBPS / 8;
    const uint32_t inFrameBytes = FDecoderChannels * bytesPerSample, outFrameBytes = FChan * bytesPerSample;
    while (FNext < end && FSampleId < FSamples) {
        const int32_t sample = FSampleId;
        uint32_t size = 0;
        if (!ReadFrame(sample, size)) throw EAuException(ReadErrorMessage);
        NeAACDecFrameInfo info{};
        auto* pcm = static_cast<const uint8_t*>(FFaad->Decode(HDecoder.get(), &info, FFrame.data(), size));
        if (info.error != 0) throw EAuException(ReadErrorMessage);
        ++FSampleId;
        if (info.samples == 0) {
            if (++FEmptyFrames > MaxEmptyFrames) throw EAuException(ReadErrorMessage);
            continue;
        }
        FEmptyFrames = 0;
        if (!pcm || info.channels != FDecoderChannels ||
            info.samples != static_cast<unsigned long>(FFrameLength) * FDecoderChannels)
            throw EAuException(ReadErrorMessage);
        const int64_t blockStart = static_cast<int64_t>(sample) * FFrameLength;
        const int64_t blockEnd = std::min<int64_t>(blockStart + FFrameLength, end);
        if (FNext < blockStart) FNext = blockStart; // frames the decoder did not give are lost
        if (FNext >= blockEnd) continue;            // all of it lies before the wanted frame
        const uint32_t from = static_cast<uint32_t>(FNext - blockStart);
        const uint32_t to = static_cast<uint32_t>(blockEnd - blockStart);
        uint8_t* out = _Buf.data();
        for (uint32_t f = from; f < to; ++f) {
            const uint8_t* in = pcm + static_cast<size_t>(f) * inFrameBytes;
            for (uint32_t c = 0; c < FChan; ++c) {
                std::memcpy(out, in + FChannelOrder[c] * bytesPerSample, bytesPerSample);
                out += bytesPerSample;
            }
        }
        FPcm = _Buf.data();
        FBOffset = 0;
        FBytesRead = (to - from) * outFrameBytes;
        FNext = blockStart + to;
        return true;
    }
    return false;
}

void TMP4In::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    if (!Busy) throw EAuException("The Stream is not opened");
    if (!FValid || !HDecoder || (FBOffset >= FBytesRead && !DecodeNext())) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    uint32_t n = std::min(Bytes, FBytesRead - FBOffset);
    // Whole frames, unless the caller asks for less than one.
    if (FSampleSize > 1 && n >= FSampleSize) n -= n % FSampleSize;
    Buffer = FPcm + FBOffset;
    FBOffset += n;
    Bytes = n;
}

bool TMP4In::SeekInternal(int64_t& SampleNum) {
    if (FSamples == 0 || FFileSamples == 0 || !FSeekable || !HDecoder) return false;
    SampleNum = std::clamp<int64_t>(SampleNum, 0, FFileSamples);
    FBOffset = FBytesRead = 0;
    FEmptyFrames = 0;
    FNext = FFirst + SampleNum;
    if (FCodecDecoder) {
        if (SampleNum == FFileSamples) {
            FSampleId = FSamples;
            return true;
        }
        // From the sample that holds the preroll's first frame: the time table, in the
        // track's time scale, finds it.
        const int64_t from = std::max<int64_t>(FNext - FPreroll, 0);
        int32_t skip = 0;
        const int32_t sample =
            FMp4ff->FindSample(MP4Handle.get(), FTrack,
                               static_cast<int64_t>(static_cast<double>(from) * FTimescale / FSR), &skip);
        FSampleId = sample < 0 ? 0 : sample;
        // Rounding between the time scales may land one sample late.
        while (FSampleId > 0 && StartFrame(FSampleId) > from)
            --FSampleId;
        FCodecDecoder->Flush();
        return true;
    }
    const int64_t block = FNext / FFrameLength;
    if (SampleNum == FFileSamples || block >= FSamples) {
        FSampleId = FSamples;
        return true;
    }
    // Decode from the sample before, whose output the decoder drops after this reset, so
    // that the wanted one overlaps with the right predecessor.
    FSampleId = static_cast<int32_t>(std::max<int64_t>(block - 1, 0));
    FFaad->PostSeekReset(HDecoder.get(), 0);
    return true;
}

void TMP4In::ReleaseAll() {
    HDecoder.reset();
    FCodecDecoder.reset();
    FPcm = nullptr;
    MP4Handle.reset();
    _Buf = std::vector<uint8_t>();
    FBOffset = FBytesRead = 0;
    if (FStreamAssigned) {
        if (FStream) FStream->Seek(0, TSeekOrigin::soBeginning);
    } else {
        ReleaseOwnStream();
    }
}

void TMP4In::CloseFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened <= 0) return;
    ReleaseAll();
    FOpened = 0;
}

} // namespace tarvio
