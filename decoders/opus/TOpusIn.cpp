#include "decoders/opus/TOpusIn.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

#include "decoders/opus/TOpusLibrary.h"
#include "pipeline/EAuException.h"
#include "pipeline/TChannelLayout.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"

namespace tarvio {

using opus::OpusFile;

namespace {

// libopusfile's failure codes in words.
std::string OpusErrorText(int Code) {
    switch (Code) {
    case OP_EREAD:
        return "read error";
    case OP_EFAULT:
        return "internal decoder error";
    case OP_EIMPL:
        return "unsupported feature (channel mapping)";
    case OP_ENOTFORMAT:
        return "no Opus audio in the stream";
    case OP_EBADHEADER:
        return "damaged Opus header";
    case OP_EVERSION:
        return "unsupported Opus version";
    case OP_EBADLINK:
        return "damaged link";
    case OP_EBADTIMESTAMP:
        return "invalid timestamps";
    default:
        return "error " + std::to_string(Code);
    }
}

// Where each channel of Vorbis's order (channel mapping family 1) goes in WAVE order, for 3
// to 8 channels: the centre sits between the front channels and the LFE channel is last.
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

// Float samples to integers of Bits bits, rounded to nearest and clipped, as `opusdec
// --no-dither` writes them.
inline int32_t ToInteger(float Sample, float Scale, float Max) {
    const float v = std::clamp(Sample * Scale, -Scale, Max);
    return static_cast<int32_t>(std::lrintf(v));
}

} // namespace

// The library's callbacks; the data source is the input. They run inside library calls on
// the calling thread and never let an exception reach the library.
struct TOpusIn::TCallbacks {
    static TOpusIn& Self(void* Source) { return *static_cast<TOpusIn*>(Source); }

    static int Read(void* Source, unsigned char* Destination, int Bytes) {
        if (Bytes <= 0) return 0;
        try {
            TStream* s = Self(Source).FStream;
            if (!s) return 0;
            const int32_t got = s->Read(Destination, Bytes);
            return got > 0 ? got : 0;
        } catch (...) {
            return -1; // a read error, not the end
        }
    }

    // -1 tells the library that the stream cannot seek (it asks once while opening).
    static int Seek(void* Source, opus_int64 Offset, int Whence) {
        TOpusIn& self = Self(Source);
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

    static opus_int64 Tell(void* Source) {
        try {
            TStream* s = Self(Source).FStream;
            return s ? static_cast<opus_int64>(s->Position()) : -1;
        } catch (...) {
            return -1;
        }
    }
};

void TOpusIn::TFree::operator()(OggOpusFile* File) const {
    if (File) OpusFile().op_free(File);
}

TOpusIn::TOpusIn(TComponent* AOwner) : TAuTaggedFileIn(AOwner), FComments(std::make_unique<TVorbisTags>()) {}

TOpusIn::~TOpusIn() {
    CloseFile();
}

void TOpusIn::SetHighPrecision(bool Value) {
    if (Busy) return;
    FHighPrecision = Value;
    CloseFile();
}

void TOpusIn::SetGainMode(TOpusGainMode Value) {
    if (Busy) return;
    FGainMode = Value;
    CloseFile();
}

void TOpusIn::ReleaseStream() {
    if (FStreamAssigned) {
        if (FStream) FStream->Seek(0, TSeekOrigin::soBeginning);
    } else {
        ReleaseOwnStream();
    }
}

void TOpusIn::OpenFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened != 0) return;
    opus::TOpusLibrary::Instance().Require();
    FValid = true;
    try {
        OpenOwnStream();
    } catch (...) {
        FValid = false;
        throw EAuException("Failed to open stream");
    }
    // No close callback: the stream stays with the input, which releases it after op_free.
    static const OpusFileCallbacks callbacks{&TCallbacks::Read, &TCallbacks::Seek, &TCallbacks::Tell,
                                             nullptr};
    int error = 0;
    FFile.reset(OpusFile().op_test_callbacks(this, &callbacks, nullptr, 0, &error));
    if (FFile) error = OpusFile().op_test_open(FFile.get());
    const OpusHead* head = error == 0 ? OpusFile().op_head(FFile.get(), -1) : nullptr;
    if (error == 0 && (!head || head->channel_count <= 0)) error = OP_EBADHEADER;
    if (error != 0) {
        FFile.reset();
        ReleaseStream();
        FValid = false;
        throw EAuException("Failed to open an opus file: " + OpusErrorText(error));
    }

    FComments->Clear();
    FTrackGain.reset();
    FAlbumGain.reset();
    if (const OpusTags* tags = OpusFile().op_tags(FFile.get(), -1)) {
        static const std::map<std::string, const char*> keys{
            {"artist", VorbisArtist}, {"album", VorbisAlbum}, {"title", VorbisTitle},
            {"date", VorbisDate},     {"genre", VorbisGenre}, {"tracknumber", VorbisTrack}};
        for (int i = 0; i < tags->comments; ++i) {
            if (!tags->user_comments || !tags->user_comments[i]) continue;
            const int length = tags->comment_lengths ? tags->comment_lengths[i] : 0;
            std::string_view line(tags->user_comments[i], length > 0 ? static_cast<size_t>(length) : 0);
            const size_t eq = line.find('=');
            if (eq == std::string_view::npos) continue;
            auto key = keys.find(LowerAscii(line.substr(0, eq)));
            if (key != keys.end())
                FComments->SetValue(key->second, TCodePage::Utf8ToWide(line.substr(eq + 1)));
        }
        int gain = 0;
        if (OpusFile().opus_tags_get_track_gain(tags, &gain) == 0) FTrackGain = gain;
        if (OpusFile().opus_tags_get_album_gain(tags, &gain) == 0) FAlbumGain = gain;
    }
    TCommonTags& common = *FCommonTags;
    common.Clear();
    common.SetArtist(FComments->Artist());
    common.SetAlbum(FComments->Album());
    common.SetTitle(FComments->Title());
    common.SetGenre(FComments->Genre());
    common.SetYear(TCodePage::ToNarrow(FComments->Date()));
    common.SetTrack(TCodePage::ToNarrow(FComments->Track()));

    // The header gain is the library's default; an R128 gain that the file lacks leaves
    // the output gain alone.
    if (FGainMode != ogHeader)
        (void)OpusFile().op_set_gain_offset(FFile.get(), FGainMode == ogTrack ? OP_TRACK_GAIN : OP_ALBUM_GAIN,
                                            0);

    const uint32_t channels = static_cast<uint32_t>(head->channel_count);
    FChan = channels;
    FSR = 48000;
    FBPS = FHighPrecision ? 24 : 16;
    FMappingFamily = head->mapping_family;
    FOutputGain = head->output_gain;
    FInputSampleRate = head->input_sample_rate;
    FWavePosition.resize(channels);
    for (uint32_t c = 0; c < channels; ++c)
        FWavePosition[c] = static_cast<uint8_t>(c);
    if (FMappingFamily == 1 && channels >= 3 && channels <= 8) VorbisToWave(channels, FWavePosition.data());
    FFloat.assign(size_t{BlockFrames} * channels, 0.0f);
    FBuf.assign(size_t{BlockFrames} * channels * (FBPS / 8), 0);

    const bool seekable = OpusFile().op_seekable(FFile.get()) != 0;
    const opus_int32 bitrate = seekable ? OpusFile().op_bitrate(FFile.get(), -1) : 0;
    FBitrate = bitrate > 0 ? bitrate : 0;
    // A chained file plays up to the first link of another channel count (one PCM stream
    // has one format): its length is the length of what plays.
    ogg_int64_t total = OpusFile().op_pcm_total(FFile.get(), -1);
    FFormatChangeFrame = -1;
    if (total >= 0 && seekable) {
        const int links = OpusFile().op_link_count(FFile.get());
        ogg_int64_t playable = 0;
        for (int i = 0; i < links && playable >= 0; ++i) {
            const OpusHead* h = OpusFile().op_head(FFile.get(), i);
            if (!h || h->channel_count != head->channel_count) {
                total = playable;
                FFormatChangeFrame = playable;
                break;
            }
            const ogg_int64_t n = OpusFile().op_pcm_total(FFile.get(), i);
            playable = n >= 0 ? playable + n : -1;
        }
    }
    FSize = total >= 0 ? PlausibleSize(total, channels, FBPS, 48000) : -1;
    FLink = -1;
    FLibraryEnded = false;
    ++FOpened;
}

void TOpusIn::CloseFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened <= 0) return;
    FFile.reset();
    ReleaseStream();
    FOpened = 0;
}

void TOpusIn::Convert(uint32_t Frames, uint8_t* Out) const {
    const uint32_t channels = FChan;
    const float* in = FFloat.data();
    if (FBPS == 24) {
        for (uint32_t f = 0; f < Frames; ++f, Out += 3 * channels, in += channels)
            for (uint32_t c = 0; c < channels; ++c) {
                const int32_t v = ToInteger(in[c], 8388608.0f, 8388607.0f);
                uint8_t* p = Out + 3 * FWavePosition[c];
                p[0] = static_cast<uint8_t>(v);
                p[1] = static_cast<uint8_t>(v >> 8);
                p[2] = static_cast<uint8_t>(v >> 16);
            }
    } else {
        for (uint32_t f = 0; f < Frames; ++f, Out += 2 * channels, in += channels)
            for (uint32_t c = 0; c < channels; ++c) {
                const int32_t v = ToInteger(in[c], 32768.0f, 32767.0f);
                uint8_t* p = Out + 2 * FWavePosition[c];
                p[0] = static_cast<uint8_t>(v);
                p[1] = static_cast<uint8_t>(v >> 8);
            }
    }
}

void TOpusIn::Refill() {
    const uint32_t frameBytes = FChan * (FBPS / 8);
    for (;;) {
        int link = FLink;
        const int n =
            OpusFile().op_read_float(FFile.get(), FFloat.data(), static_cast<int>(FFloat.size()), &link);
        const int64_t at = NextFrame(); // the buffer is empty here
        if (n == OP_HOLE) {
            // Missing or damaged pages: skipped, as the reference decoder does, and counted.
            ReportDamage(dkHole, at);
            continue;
        }
        if (n == OP_EBADPACKET) {
            // A packet the decoder rejects is dropped; decoding goes on with the next one.
            ReportDamage(dkBadFrame, at);
            continue;
        }
        if (n <= 0) {
            if (n < 0)
                ReportDamage(dkBadLink, at);
            else if (FSize > 0 && FPosition < FSize)
                ReportDamage(dkCutShort, at);
            FLibraryEnded = true;
            return;
        }
        if (link != FLink) {
            // A link with another channel count cannot go on in the same PCM stream (the
            // data just read has that count and is dropped).
            const OpusHead* h = OpusFile().op_head(FFile.get(), link);
            if (!h || static_cast<uint32_t>(h->channel_count) != FChan) {
                ReportDamage(dkFormatChange, at);
                FLibraryEnded = true;
                return;
            }
            FLink = link;
        }
        const uint32_t frames = std::min<uint32_t>(static_cast<uint32_t>(n), BlockFrames);
        Convert(frames, FBuf.data());
        BufStart = 1;
        BufEnd = frames * frameBytes;
        const int64_t size = FSize;
        if (size > 0 && FPosition + BufEnd >= size) {
            // The stated length ends where a link of another channel count begins: what is
            // not played is said, as when the change is met while reading.
            if (FFormatChangeFrame >= 0 && Damage(dkFormatChange).Count == 0)
                ReportDamage(dkFormatChange, FFormatChangeFrame);
            BufEnd = static_cast<uint32_t>(std::max<int64_t>(size - FPosition, 0));
            if (BufEnd == 0) FLibraryEnded = true;
        }
        return;
    }
}

void TOpusIn::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    if (!Busy) throw EAuException("The Stream is not opened");
    if (BufStart > BufEnd) {
        BufStart = 1;
        BufEnd = 0;
        if (FFile && !FLibraryEnded) Refill();
    }
    const uint32_t available = BufEnd >= BufStart ? BufEnd - BufStart + 1 : 0;
    const uint32_t n = std::min(Bytes, available);
    Buffer = n ? FBuf.data() + (BufStart - 1) : nullptr;
    BufStart += n;
    Bytes = n;
}

bool TOpusIn::SeekInternal(int64_t& SampleNum) {
    OpenFile();
    // On failure the decoded data still due stays, so nothing is skipped.
    if (!FFile) return false;
    // The library decodes 80 ms before the target, after which the decoder's state still
    // differs from a decode from the start by up to a few thousand steps of 16 bits, fading
    // over some 300 ms. Starting SettleFrames earlier and decoding up to the target leaves
    // the samples within a step of the full decode's.
    const int64_t settle = std::min<int64_t>(SampleNum, SettleFrames);
    if (OpusFile().op_pcm_seek(FFile.get(), static_cast<ogg_int64_t>(SampleNum - settle)) != 0) return false;
    BufStart = 1;
    BufEnd = 0;
    FLibraryEnded = false;
    FLink = OpusFile().op_current_link(FFile.get());
    for (int64_t left = settle; left > 0;) {
        const int want = static_cast<int>(std::min<int64_t>(left, BlockFrames) * FChan);
        int link = FLink;
        const int n = OpusFile().op_read_float(FFile.get(), FFloat.data(), want, &link);
        if (n == OP_HOLE || n == OP_EBADPACKET) continue;
        const OpusHead* head = n > 0 ? OpusFile().op_head(FFile.get(), link) : nullptr;
        // Where the data ends or fails before the target, the exact place is asked for.
        if (!head || static_cast<uint32_t>(head->channel_count) != FChan) {
            FLink = -1;
            return OpusFile().op_pcm_seek(FFile.get(), static_cast<ogg_int64_t>(SampleNum)) == 0;
        }
        FLink = link;
        left -= n;
    }
    return true;
}

TVorbisTags* TOpusIn::Comments() {
    OpenFile();
    return FComments.get();
}

int TOpusIn::MappingFamily() {
    OpenFile();
    return FMappingFamily;
}

double TOpusIn::OutputGainDb() {
    OpenFile();
    return FOutputGain / 256.0;
}

uint32_t TOpusIn::InputSampleRate() {
    OpenFile();
    return FInputSampleRate;
}

std::optional<double> TOpusIn::R128TrackGainDb() {
    OpenFile();
    if (!FTrackGain) return std::nullopt;
    return *FTrackGain / 256.0;
}

std::optional<double> TOpusIn::R128AlbumGainDb() {
    OpenFile();
    if (!FAlbumGain) return std::nullopt;
    return *FAlbumGain / 256.0;
}

int32_t TOpusIn::Bitrate() {
    OpenFile();
    return FBitrate;
}

// The stream properties read the decoder state that a data call on another thread changes;
// they take the data lock for that.
int32_t TOpusIn::InstantBitRate() {
    TAuInputLock lock(*this);
    if (!Busy || !FFile) return 0;
    const opus_int32 rate = OpusFile().op_bitrate_instant(FFile.get());
    return rate > 0 ? rate : 0;
}

int32_t TOpusIn::Links() {
    TAuInputLock lock(*this);
    if (!Busy || !FFile || OpusFile().op_seekable(FFile.get()) == 0) return 0;
    return OpusFile().op_link_count(FFile.get());
}

} // namespace tarvio
