#include "decoders/vorbis/TVorbisIn.h"

#define OV_EXCLUDE_STATIC_CALLBACKS
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <string_view>

#include "pipeline/EAuException.h"
#include "pipeline/TChannelLayout.h"
#include "pipeline/TEventHandler.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"

namespace tarvio {

// The vorbisfile entry points this input calls. The headers give the prototypes only; the
// libraries themselves are opened at run time.
struct TVorbisLib {
    decltype(&ov_clear) Clear = nullptr;
    decltype(&ov_test_callbacks) TestCallbacks = nullptr;
    decltype(&ov_test_open) TestOpen = nullptr;
    decltype(&ov_comment) Comment = nullptr;
    decltype(&ov_info) Info = nullptr;
    decltype(&ov_pcm_total) PcmTotal = nullptr;
    decltype(&ov_read) Read = nullptr;
    decltype(&ov_pcm_seek) PcmSeek = nullptr;
    decltype(&ov_raw_seek) RawSeek = nullptr;
    decltype(&ov_pcm_tell) PcmTell = nullptr;
    decltype(&ov_seekable) Seekable = nullptr;
    decltype(&ov_streams) Streams = nullptr;
    decltype(&ov_bitrate_instant) BitrateInstant = nullptr;
};

namespace {

std::string NotLoadedMessage(const TLibraryLoader& Loader) {
    return Loader.FileName() + " library could not be loaded.";
}

// Loads the four libraries in their order (each once per process), raises the message of
// the first one missing, and resolves the vorbisfile entry points into Lib.
void LoadLibraries(TVorbisLib& Lib) {
    std::lock_guard<std::recursive_mutex> lock(LibraryLoadLock());
    TLibraryLoader* loaders[] = {&TVorbisIn::LibOgg(), &TVorbisIn::LibVorbis(), &TVorbisIn::LibVorbisFile(),
                                 &TVorbisIn::LibVorbisEnc()};
    bool loaded[4];
    for (int i = 0; i < 4; ++i)
        loaded[i] = loaders[i]->Load();
    for (int i = 0; i < 4; ++i)
        if (!loaded[i]) throw EAuException(NotLoadedMessage(*loaders[i]));
    const TLibraryLoader& vf = TVorbisIn::LibVorbisFile();
    const bool resolved = vf.Resolve("ov_clear", Lib.Clear) &&
                          vf.Resolve("ov_test_callbacks", Lib.TestCallbacks) &&
                          vf.Resolve("ov_test_open", Lib.TestOpen) && vf.Resolve("ov_comment", Lib.Comment) &&
                          vf.Resolve("ov_info", Lib.Info) && vf.Resolve("ov_pcm_total", Lib.PcmTotal) &&
                          vf.Resolve("ov_read", Lib.Read) && vf.Resolve("ov_pcm_seek", Lib.PcmSeek) &&
                          vf.Resolve("ov_raw_seek", Lib.RawSeek) && vf.Resolve("ov_pcm_tell", Lib.PcmTell) &&
                          vf.Resolve("ov_seekable", Lib.Seekable) && vf.Resolve("ov_streams", Lib.Streams) &&
                          vf.Resolve("ov_bitrate_instant", Lib.BitrateInstant);
    if (!resolved) throw EAuException(NotLoadedMessage(vf));
}

// Where each channel of Vorbis's order goes in the pipeline's WAVE order, for 3 to 8 channels
// (Vorbis puts the centre between the front channels and the LFE channel last).
void VorbisToWave(uint32_t Channels, uint8_t* Position) {
    static constexpr uint32_t speakers[][8] = {
        {spFrontLeft, spFrontCenter, spFrontRight},
        {spFrontLeft, spFrontRight, spBackLeft, spBackRight},
        {spFrontLeft, spFrontCenter, spFrontRight, spBackLeft, spBackRight},
        {spFrontLeft, spFrontCenter, spFrontRight, spBackLeft, spBackRight, spLowFrequency},
        {spFrontLeft, spFrontCenter, spFrontRight, spSideLeft, spSideRight, spBackCenter, spLowFrequency},
        {spFrontLeft, spFrontCenter, spFrontRight, spSideLeft, spSideRight, spBackLeft, spBackRight,
         spLowFrequency},
    };
    TChannelLayout::PlaneOrder(speakers[Channels - 3], Channels, Position);
}

std::string LowerAscii(std::string_view Text) {
    std::string s(Text);
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

} // namespace

// The library's callbacks; the data source is the input. They run inside library calls on
// the calling thread and never let an exception reach the library.
struct TVorbisIn::TCallbacks {
    static TVorbisIn& Self(void* Source) { return *static_cast<TVorbisIn*>(Source); }

    static size_t Read(void* Destination, size_t Size, size_t Count, void* Source) {
        if (Size == 0 || Count == 0) return 0;
        try {
            TStream* s = Self(Source).FStream;
            if (!s) return 0;
            const size_t want = std::min<size_t>(Count, static_cast<size_t>(INT32_MAX) / Size) * Size;
            const int32_t got = s->Read(Destination, static_cast<int32_t>(want));
            return got > 0 ? static_cast<size_t>(got) / Size : 0;
        } catch (...) {
            errno = EIO; // vorbisfile tells a read error from the end by errno
            return 0;
        }
    }

    static int Seek(void* Source, ogg_int64_t Offset, int Whence) {
        TVorbisIn& self = Self(Source);
        if (!self.FSeekable || !self.FStream) return -1;
        const TSeekOrigin origin = Whence == SEEK_CUR   ? TSeekOrigin::soCurrent
                                   : Whence == SEEK_END ? TSeekOrigin::soEnd
                                                        : TSeekOrigin::soBeginning;
        try {
            return self.FStream->Seek(Offset, origin) < 0 ? -1 : 0;
        } catch (...) {
            return -1;
        }
    }

    static int Close(void* Source) {
        try {
            Self(Source).ReleaseStream();
        } catch (...) {
        }
        return 0;
    }

    static long Tell(void* Source) {
        try {
            TStream* s = Self(Source).FStream;
            return s ? static_cast<long>(s->Position()) : -1;
        } catch (...) {
            return -1;
        }
    }
};

void TVorbisIn::TClear::operator()(OggVorbis_File* File) const {
    if (File && Lib) Lib->Clear(File);
}

TLibraryLoader& TVorbisIn::LibOgg() {
    static TLibraryLoader loader(RuntimeLibrary::Ogg);
    return loader;
}

TLibraryLoader& TVorbisIn::LibVorbis() {
    static TLibraryLoader loader(RuntimeLibrary::Vorbis);
    return loader;
}

TLibraryLoader& TVorbisIn::LibVorbisFile() {
    static TLibraryLoader loader(RuntimeLibrary::VorbisFile);
    return loader;
}

TLibraryLoader& TVorbisIn::LibVorbisEnc() {
    static TLibraryLoader loader(RuntimeLibrary::VorbisEnc);
    return loader;
}

TVorbisIn::TVorbisIn(TComponent* AOwner)
    : TAuTaggedFileIn(AOwner), FComments(std::make_unique<TVorbisTags>()),
      FLib(std::make_unique<TVorbisLib>()), VFile(std::make_unique<OggVorbis_File>()),
      FOpenVFile(nullptr, TClear{FLib.get()}) {}

TVorbisIn::~TVorbisIn() {
    CloseFile();
}

void TVorbisIn::ReleaseStream() {
    if (FStreamAssigned) {
        if (FStream) FStream->Seek(0, TSeekOrigin::soBeginning);
    } else {
        ReleaseOwnStream();
    }
}

void TVorbisIn::OpenFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened != 0) return;
    LoadLibraries(*FLib);
    FValid = true;
    try {
        OpenOwnStream();
    } catch (...) {
        FValid = false;
        throw EAuException("Failed to open stream");
    }
    *VFile = OggVorbis_File{};
    const ov_callbacks callbacks{&TCallbacks::Read, &TCallbacks::Seek, &TCallbacks::Close, &TCallbacks::Tell};
    int r = FLib->TestCallbacks(this, VFile.get(), nullptr, 0, callbacks);
    if (r == 0) {
        // From here ov_clear releases the decoder state and, through the close callback,
        // the stream.
        FOpenVFile.reset(VFile.get());
        r = FLib->TestOpen(VFile.get());
    }
    vorbis_info* info = r == 0 ? FLib->Info(VFile.get(), -1) : nullptr;
    if (r == 0 && (!info || info->channels <= 0 || info->rate <= 0)) r = OV_EBADHEADER;
    if (r != 0) {
        // A failed open has already cleared VFile without closing the stream.
        FOpenVFile.reset();
        ReleaseStream();
        FValid = false;
        throw EAuException("Failed to open an ogg file: " + std::to_string(r));
    }

    FComments->Clear();
    if (vorbis_comment* vc = FLib->Comment(VFile.get(), -1)) {
        static const std::map<std::string, const char*> keys{
            {"artist", VorbisArtist}, {"album", VorbisAlbum}, {"title", VorbisTitle},
            {"date", VorbisDate},     {"genre", VorbisGenre}, {"tracknumber", VorbisTrack}};
        for (int i = 0; i < vc->comments; ++i) {
            if (!vc->user_comments || !vc->user_comments[i]) continue;
            const int length = vc->comment_lengths ? vc->comment_lengths[i] : 0;
            std::string_view line(vc->user_comments[i], length > 0 ? static_cast<size_t>(length) : 0);
            const size_t eq = line.find('=');
            if (eq == std::string_view::npos) continue;
            auto key = keys.find(LowerAscii(line.substr(0, eq)));
            if (key != keys.end())
                FComments->SetValue(key->second, TCodePage::Utf8ToWide(line.substr(eq + 1)));
        }
    }
    TCommonTags& common = *FCommonTags;
    common.Clear();
    common.SetArtist(FComments->Artist());
    common.SetAlbum(FComments->Album());
    common.SetTitle(FComments->Title());
    common.SetGenre(FComments->Genre());
    common.SetYear(TCodePage::ToNarrow(FComments->Date()));
    common.SetTrack(TCodePage::ToNarrow(FComments->Track()));

    FChan = static_cast<uint32_t>(info->channels);
    FSR = static_cast<uint32_t>(info->rate);
    FReorder = FChan >= 3 && FChan <= 8;
    if (FReorder) VorbisToWave(FChan, FWavePosition.data());
    FBPS = 16;
    FMaxBitrate = static_cast<int32_t>(info->bitrate_upper);
    FNominalBitrate = static_cast<int32_t>(info->bitrate_nominal);
    FMinBitrate = static_cast<int32_t>(info->bitrate_lower);
    // Unknown for an unseekable stream, and for one whose granule positions claim more
    // PCM than a 64-bit byte count or a 32-bit count of seconds holds.
    ogg_int64_t total = FLib->PcmTotal(VFile.get(), -1);
    FFormatChangeFrame = -1;
    // A chained file plays up to the first link of another rate or channel count (one PCM
    // stream has one format): its length is the length of what plays.
    if (total >= 0 && FLib->Seekable(VFile.get()) != 0) {
        const long links = FLib->Streams(VFile.get());
        ogg_int64_t playable = 0;
        for (long i = 0; i < links && playable >= 0; ++i) {
            const vorbis_info* vi = FLib->Info(VFile.get(), static_cast<int>(i));
            if (!vi || vi->channels != info->channels || vi->rate != info->rate) {
                total = playable;
                FFormatChangeFrame = playable;
                break;
            }
            const ogg_int64_t n = FLib->PcmTotal(VFile.get(), static_cast<int>(i));
            playable = n >= 0 ? playable + n : -1;
        }
    }
    FSize = total >= 0 ? PlausibleSize(total, FChan, 16, FSR) : -1;
    cursec = -1;
    FLibraryEnded = false;
    FLinkBroken = false;
    ++FOpened;
}

void TVorbisIn::CloseFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened <= 0) return;
    FOpenVFile.reset();
    ReleaseStream();
    FOpened = 0;
}

void TVorbisIn::Reorder(uint8_t* Data, uint32_t Bytes) const {
    const uint32_t channels = FChan, frame = channels * 2;
    int16_t in[8];
    for (uint8_t* f = Data; f + frame <= Data + Bytes; f += frame) {
        std::memcpy(in, f, frame);
        for (uint32_t c = 0; c < channels; ++c)
            std::memcpy(f + 2 * FWavePosition[c], &in[c], 2);
    }
}

void TVorbisIn::Refill() {
    OggVorbis_File* vf = VFile.get();
    // The library hands out whole frames and refuses room for less than one.
    const uint32_t frame = std::max<uint32_t>(FChan, 1) * 2;
    while (BufferSize - BufEnd >= frame) {
        int link = cursec;
        const long n = FLib->Read(vf, reinterpret_cast<char*>(buf.data()) + BufEnd,
                                  static_cast<int>((BufferSize - BufEnd) / frame * frame), 0, 2, 1, &link);
        const int64_t at = NextFrame() + BufEnd / frame; // where the data stands
        if (n == OV_HOLE) {
            // Damaged or missing pages: skipped, as the reference decoder does, and counted.
            ReportDamage(dkHole, at);
            continue;
        }
        if (n <= 0) {
            if (n < 0) {
                NoteFailure(static_cast<int>(n));
                ReportDamage(dkBadLink, at);
            } else if (FSize > 0 && FPosition + BufEnd < FSize) {
                ReportDamage(dkCutShort, at);
            }
            FLibraryEnded = true;
            break;
        }
        if (link != cursec) {
            // A link with another format cannot go on in the same PCM stream.
            const vorbis_info* vi = FLib->Info(vf, link);
            if (!vi || static_cast<uint32_t>(vi->channels) != FChan ||
                static_cast<uint32_t>(vi->rate) != FSR) {
                ReportDamage(dkFormatChange, at);
                FLibraryEnded = true;
                break;
            }
            cursec = link;
        }
        if (FReorder) Reorder(buf.data() + BufEnd, static_cast<uint32_t>(n));
        BufEnd += static_cast<uint32_t>(n);
        const int64_t size = FSize;
        if (size > 0 && FPosition + BufEnd >= size) {
            // The stated length ends where a link of another format begins: what is not
            // played is said, as when the change is met while reading.
            if (FFormatChangeFrame >= 0 && Damage(dkFormatChange).Count == 0)
                ReportDamage(dkFormatChange, FFormatChangeFrame);
            BufEnd = static_cast<uint32_t>(std::max<int64_t>(size - FPosition, 0));
            if (BufEnd == 0) FLibraryEnded = true;
            break;
        }
    }
}

void TVorbisIn::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    if (!Busy) throw EAuException("The Stream is not opened");
    if (BufStart > BufEnd) {
        BufStart = 1;
        BufEnd = 0;
        if (FOpenVFile && !FLibraryEnded && !FLinkBroken) Refill();
    }
    // What is left in buf is handed out even after the library reported the end.
    const uint32_t available = BufEnd >= BufStart ? BufEnd - BufStart + 1 : 0;
    const uint32_t n = std::min(Bytes, available);
    Buffer = n ? buf.data() + (BufStart - 1) : nullptr;
    BufStart += n;
    Bytes = n;
}

bool TVorbisIn::SeekInternal(int64_t& SampleNum) {
    OpenFile();
    // On failure the decoded data still due stays, so nothing is skipped.
    if (!FOpenVFile || FLinkBroken) return false;
    const int result = FLib->PcmSeek(VFile.get(), static_cast<ogg_int64_t>(SampleNum));
    NoteFailure(result);
    if (result != 0) return false;
    BufStart = 1;
    BufEnd = 0;
    FLibraryEnded = false;
    return true;
}

void TVorbisIn::NoteFailure(int Result) {
    if (Result == OV_EBADLINK || Result == OV_EFAULT) FLinkBroken = true;
}

TVorbisTags* TVorbisIn::Comments() {
    OpenFile();
    return FComments.get();
}

int32_t TVorbisIn::MaxBitrate() {
    OpenFile();
    return FMaxBitrate;
}

int32_t TVorbisIn::NominalBitrate() {
    OpenFile();
    return FNominalBitrate;
}

int32_t TVorbisIn::MinBitrate() {
    OpenFile();
    return FMinBitrate;
}

// The bitstream properties read the decoder state that a data call on another thread
// changes; they take the data lock for that.
int32_t TVorbisIn::InstantBitRate() {
    TAuInputLock lock(*this);
    if (!Busy || !FOpenVFile) return 0;
    return static_cast<int32_t>(FLib->BitrateInstant(VFile.get()));
}

int32_t TVorbisIn::BitStreams() {
    TAuInputLock lock(*this);
    if (!Busy || !FOpenVFile || FLib->Seekable(VFile.get()) == 0) return 0;
    return static_cast<int32_t>(FLib->Streams(VFile.get()));
}

int32_t TVorbisIn::CurrentBitStream() {
    TAuInputLock lock(*this);
    if (!Busy || !FOpenVFile || FLib->Seekable(VFile.get()) == 0) return -1;
    return VFile->current_link;
}

void TVorbisIn::SetCurrentBitStream(int32_t Value) {
    TAuInputLock lock(*this);
    if (!Busy || !FOpenVFile || FLinkBroken || FLib->Seekable(VFile.get()) == 0) return;
    if (Value < 0 || Value >= FLib->Streams(VFile.get())) return;
    // Through the library, so that its state follows the stream to the link's start.
    const int result = FLib->RawSeek(VFile.get(), VFile->offsets[Value]);
    NoteFailure(result);
    if (result != 0) return;
    BufStart = 1;
    BufEnd = 0;
    FLibraryEnded = false;
    const ogg_int64_t pcm = FLib->PcmTell(VFile.get());
    // A damaged page can put the link's start at any granule position: the byte count
    // saturates rather than overflows.
    if (pcm >= 0) {
        int64_t bytes = 0;
        if (pcm <= FStartSample)
            bytes = 0;
        else if (__builtin_mul_overflow(pcm - FStartSample, int64_t{FSampleSize}, &bytes))
            bytes = std::numeric_limits<int64_t>::max();
        FPosition = bytes;
    }
}

} // namespace tarvio
