#include "decoders/mp4/TADTSIn.h"

#include <neaacdec.h>

#include <algorithm>
#include <cstring>

#include "decoders/mp4/FaadChannels.h"
#include "decoders/mp4/TMP4In.h"
#include "pipeline/EAuException.h"
#include "pipeline/TEventHandler.h"
#include "tags/TCommonTags.h"

namespace tarvio {

// The faad2 entry points this input calls, resolved from TMP4In's loader of the library.
struct TAdtsFaadLib {
    decltype(&NeAACDecOpen) Open = nullptr;
    decltype(&NeAACDecGetCurrentConfiguration) GetConfiguration = nullptr;
    decltype(&NeAACDecSetConfiguration) SetConfiguration = nullptr;
    decltype(&NeAACDecInit) Init = nullptr;
    decltype(&NeAACDecDecode) Decode = nullptr;
    decltype(&NeAACDecPostSeekReset) PostSeekReset = nullptr;
    decltype(&NeAACDecClose) Close = nullptr;
};

namespace {

const char* const NotAdtsMessage = "Unable to find an ADTS frame in the AAC file.";
const char* const ReadErrorMessage = "Error reading data.";

constexpr uint32_t HeaderBytes = 7;
constexpr size_t FramePadding = 64; // zeros after a frame: faad2's bit reader reads ahead
// Where the first frame is looked for, and how far a lost stream is searched for the next.
constexpr int64_t FirstFrameSearch = 1 << 16;
constexpr int64_t ResyncSearch = 1 << 16;
// Frames whose bit rate estimates the length of a file too large to scan.
constexpr int64_t EstimateFrames = 256;
constexpr uint32_t MaxEmptyFrames = 1024;
const uint32_t Rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                          22050, 16000, 12000, 11025, 8000,  7350};

void LoadLibrary(TAdtsFaadLib& F) {
    std::lock_guard<std::recursive_mutex> lock(LibraryLoadLock());
    TLibraryLoader& faad = TMP4In::LibFaad();
    if (!faad.Load()) throw EAuException(faad.FileName() + " library could not be loaded.");
    if (F.Open) return;
    const bool ok = faad.Resolve("NeAACDecGetCurrentConfiguration", F.GetConfiguration) &&
                    faad.Resolve("NeAACDecSetConfiguration", F.SetConfiguration) &&
                    faad.Resolve("NeAACDecInit", F.Init) && faad.Resolve("NeAACDecDecode", F.Decode) &&
                    faad.Resolve("NeAACDecPostSeekReset", F.PostSeekReset) &&
                    faad.Resolve("NeAACDecClose", F.Close) &&
                    faad.Resolve("NeAACDecOpen", F.Open); // last: it marks the set complete
    if (!ok) {
        F = TAdtsFaadLib{};
        throw EAuException(faad.FileName() + " library could not be loaded.");
    }
}

} // namespace

void TADTSIn::TDecoderCloser::operator()(void* Decoder) const {
    if (Decoder && Lib) Lib->Close(Decoder);
}

TADTSIn::TADTSIn(TComponent* AOwner)
    : TAuTaggedFileIn(AOwner), FFaad(std::make_unique<TAdtsFaadLib>()),
      HDecoder(nullptr, TDecoderCloser{FFaad.get()}) {}

TADTSIn::~TADTSIn() {
    CloseFile();
}

uint32_t TADTSIn::Bitrate() {
    OpenFile();
    return FBitrate;
}

bool TADTSIn::Scanned() {
    OpenFile();
    return FValid && !FOffsets.empty();
}

bool TADTSIn::HeaderAt(int64_t Offset, THeader& Header) {
    uint8_t h[HeaderBytes];
    if (Offset < 0 || Offset + HeaderBytes > FFileSize ||
        FStream->Seek(Offset, TSeekOrigin::soBeginning) != Offset ||
        FStream->Read(h, HeaderBytes) != static_cast<int32_t>(HeaderBytes))
        return false;
    // Sync word, MPEG layer 0; the profile is not checked (MPEG-2 files give it too).
    if (h[0] != 0xFF || (h[1] & 0xF6) != 0xF0) return false;
    Header.RateIndex = (h[2] >> 2) & 0xF;
    Header.ChannelConfig = (h[2] & 1) << 2 | h[3] >> 6;
    Header.Length = (h[3] & 3u) << 11 | uint32_t{h[4]} << 3 | h[5] >> 5;
    Header.Blocks = (h[6] & 3u) + 1;
    const uint32_t headerLength = (h[1] & 1) ? 7 : 9; // with a CRC when protection is on
    return Header.RateIndex < std::size(Rates) && Header.Length > headerLength;
}

int64_t TADTSIn::FindFrame(int64_t Offset, int64_t Limit) {
    THeader h, next;
    const int64_t end = std::min(FFileSize, Offset + Limit);
    for (int64_t at = Offset; at + HeaderBytes <= end; ++at) {
        if (!HeaderAt(at, h)) continue;
        const int64_t following = at + h.Length;
        if (following == FFileSize || (HeaderAt(following, next) && next.RateIndex == h.RateIndex &&
                                       next.ChannelConfig == h.ChannelConfig))
            return at;
    }
    return -1;
}

int64_t TADTSIn::SkipId3v2() {
    uint8_t h[10];
    if (FStream->Seek(0, TSeekOrigin::soBeginning) != 0 || FStream->Read(h, 10) != 10 ||
        std::memcmp(h, "ID3", 3) != 0 || ((h[6] | h[7] | h[8] | h[9]) & 0x80))
        return 0;
    const int64_t size = int64_t{h[6]} << 21 | int64_t{h[7]} << 14 | int64_t{h[8]} << 7 | h[9];
    return 10 + size + ((h[5] & 0x10) ? 10 : 0); // a footer follows when flagged
}

void TADTSIn::OpenFile() {
    LoadLibrary(*FFaad);
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened != 0) return;
    FValid = false;
    try {
        OpenOwnStream();
    } catch (...) {
        throw EAuException("Failed to open stream");
    }
    try {
        OpenStream();
    } catch (...) {
        ReleaseAll();
        throw;
    }
    FValid = true;
    ++FOpened;
}

void TADTSIn::OpenStream() {
    if (!FStream) throw EAuException("Failed to open stream");
    FCommonTags->Clear();
    FFileSize = std::max<int64_t>(FStream->Size(), 0);
    FFirstOffset = FindFrame(SkipId3v2(), FirstFrameSearch);
    if (FFirstOffset < 0) FFirstOffset = FindFrame(0, FirstFrameSearch); // a damaged tag
    if (FFirstOffset < 0) throw EAuException(NotAdtsMessage);

    // Every frame's place, or the first few frames' average size.
    FOffsets.clear();
    THeader h;
    int64_t at = FFirstOffset, frames = 0, end = FFirstOffset;
    const bool scan = FFileSize <= FScanLimit;
    while (scan || frames < EstimateFrames) {
        if (!HeaderAt(at, h)) {
            // Bytes between frames: on to the next frame, as playback will go.
            at = at < FFileSize ? FindFrame(at + 1, ResyncSearch) : -1;
            if (at < 0) break;
            continue;
        }
        if (at + h.Length > FFileSize) break;
        if (scan) FOffsets.push_back(at);
        at += h.Length;
        end = at;
        ++frames;
    }
    if (frames == 0) throw EAuException(NotAdtsMessage);
    FBytesPerFrame = static_cast<double>(end - FFirstOffset) / static_cast<double>(frames);
    FFrames =
        scan ? frames : static_cast<int64_t>(static_cast<double>(FFileSize - FFirstOffset) / FBytesPerFrame);

    // The format is that of the decoded audio: the decoder is started on the first frame,
    // and a second decoder decodes the first two frames to learn it.
    auto open = [this] {
        TDecoderPtr decoder(FFaad->Open(), TDecoderCloser{FFaad.get()});
        NeAACDecConfigurationPtr config = decoder ? FFaad->GetConfiguration(decoder.get()) : nullptr;
        if (!config || config->outputFormat != FAAD_FMT_16BIT) throw EAuException(NotAdtsMessage);
        // Every channel, at the stream's own rate unless SBR data is actually present.
        config->downMatrix = 0;
        config->dontUpSampleImplicitSBR = 1;
        FFaad->SetConfiguration(decoder.get(), config);
        FFrame.assign(HeaderBytes + FramePadding, 0);
        THeader first;
        if (!HeaderAt(FFirstOffset, first) ||
            FStream->Seek(FFirstOffset, TSeekOrigin::soBeginning) != FFirstOffset)
            throw EAuException(NotAdtsMessage);
        FFrame.resize(first.Length + FramePadding, 0);
        if (FStream->Read(FFrame.data(), static_cast<int32_t>(first.Length)) !=
            static_cast<int32_t>(first.Length))
            throw EAuException(NotAdtsMessage);
        unsigned long rate = 0;
        unsigned char channels = 0;
        if (FFaad->Init(decoder.get(), FFrame.data(), first.Length, &rate, &channels) < 0)
            throw EAuException(NotAdtsMessage);
        return decoder;
    };
    HDecoder = open();
    {
        TDecoderPtr probe = open();
        NeAACDecFrameInfo info{};
        FFrameLength = 0;
        int64_t offset = FFirstOffset;
        for (int i = 0; i < 2 && FFrameLength == 0; ++i) {
            THeader fh;
            if (!HeaderAt(offset, fh) || offset + fh.Length > FFileSize) break;
            FFrame.resize(std::max<size_t>(FFrame.size(), fh.Length + FramePadding));
            std::fill(FFrame.begin(), FFrame.end(), 0);
            if (FStream->Seek(offset, TSeekOrigin::soBeginning) != offset ||
                FStream->Read(FFrame.data(), static_cast<int32_t>(fh.Length)) !=
                    static_cast<int32_t>(fh.Length))
                break;
            NeAACDecFrameInfo frame{};
            FFaad->Decode(probe.get(), &frame, FFrame.data(), fh.Length);
            if (frame.error != 0) throw EAuException(NotAdtsMessage);
            info = frame;
            if (frame.channels > 0 && frame.samples > 0)
                FFrameLength = static_cast<uint32_t>(frame.samples / frame.channels);
            offset += fh.Length;
        }
        if (info.channels == 0 || info.samplerate == 0) throw EAuException(NotAdtsMessage);
        THeader first;
        HeaderAt(FFirstOffset, first);
        if (FFrameLength == 0) FFrameLength = 1024 * first.Blocks; // one frame, which the decoder swallows
        FSR = static_cast<uint32_t>(info.samplerate);
        FDecoderChannels = info.channels;
        FBPS = 16;
        // faad2 doubles a mono channel in case parametric stereo turns up; without it the
        // stream is mono.
        FChan = first.ChannelConfig == 1 && FDecoderChannels == 2 && info.ps == 0 ? 1 : FDecoderChannels;
        FChannelOrder.resize(FDecoderChannels);
        for (uint32_t i = 0; i < FDecoderChannels; ++i)
            FChannelOrder[i] = i;
        std::stable_sort(FChannelOrder.begin(), FChannelOrder.end(), [&](uint32_t a, uint32_t b) {
            return FaadSpeakerBit(info.channel_position[a]) < FaadSpeakerBit(info.channel_position[b]);
        });
        FChannelOrder.resize(FChan);
    }
    // The decoder's first frame gives no output: the audio is frames 1 to the last.
    const int64_t total = std::max<int64_t>(FFrames - 1, 0) * FFrameLength;
    FSize = total * FChan * 2;
    FSeekable = FSize > 0;
    FBitrate = static_cast<uint32_t>(FBytesPerFrame * 8 * FSR / FFrameLength);
    _Buf.assign(static_cast<size_t>(FFrameLength) * FChan * 2, 0);
    FOffset = FFirstOffset;
    FFrameId = 0;
    FNext = FFrameLength;
    FBOffset = FBytesRead = 0;
    FEmptyFrames = 0;
}

bool TADTSIn::DecodeNext() {
    const int64_t end = FFrames * FFrameLength;
    const uint32_t inFrameBytes = FDecoderChannels * 2, outFrameBytes = FChan * 2;
    while (FNext < end || FOffsets.empty()) {
        THeader h;
        if (FOffset >= FFileSize) return false;
        if (!HeaderAt(FOffset, h)) {
            // Lost: on to the next frame that another one confirms.
            const int64_t found = FindFrame(FOffset + 1, ResyncSearch);
            if (found < 0) return false;
            ReportDamage(dkLostSync, FNext - FFrameLength);
            FOffset = found;
            continue;
        }
        if (FOffset + h.Length > FFileSize) {
            ReportDamage(dkCutShort, FNext - FFrameLength);
            return false;
        }
        if (FFrame.size() < h.Length + FramePadding) FFrame.resize(h.Length + FramePadding);
        std::memset(FFrame.data() + h.Length, 0, FramePadding);
        if (FStream->Seek(FOffset, TSeekOrigin::soBeginning) != FOffset ||
            FStream->Read(FFrame.data(), static_cast<int32_t>(h.Length)) != static_cast<int32_t>(h.Length))
            throw EAuException(ReadErrorMessage);
        const int64_t block = FFrameId * FFrameLength;
        FOffset += h.Length;
        ++FFrameId;
        NeAACDecFrameInfo info{};
        auto* pcm =
            static_cast<const uint8_t*>(FFaad->Decode(HDecoder.get(), &info, FFrame.data(), h.Length));
        if (info.error != 0 || info.samples == 0 || !pcm) {
            // A frame the decoder refuses plays as nothing; a long run of them is damage.
            if (info.error != 0) ReportDamage(dkBadFrame, FNext - FFrameLength);
            if (++FEmptyFrames > MaxEmptyFrames) throw EAuException(ReadErrorMessage);
            continue;
        }
        FEmptyFrames = 0;
        if (info.channels != FDecoderChannels ||
            info.samples != static_cast<unsigned long>(FFrameLength) * FDecoderChannels)
            throw EAuException(ReadErrorMessage);
        if (FOffsets.empty() && FFrameId > FFrames) FFrames = FFrameId; // the estimate was short
        const int64_t blockEnd =
            std::min<int64_t>(block + FFrameLength, FOffsets.empty() ? block + FFrameLength : end);
        if (FNext < block) FNext = block;
        if (FNext >= blockEnd) continue;
        const uint32_t from = static_cast<uint32_t>(FNext - block),
                       to = static_cast<uint32_t>(blockEnd - block);
        uint8_t* out = _Buf.data();
        for (uint32_t f = from; f < to; ++f) {
            const uint8_t* in = pcm + static_cast<size_t>(f) * inFrameBytes;
            for (uint32_t c = 0; c < FChan; ++c) {
                std::memcpy(out, in + FChannelOrder[c] * 2, 2);
                out += 2;
            }
        }
        FBOffset = 0;
        FBytesRead = (to - from) * outFrameBytes;
        FNext = blockEnd;
        return true;
    }
    return false;
}

void TADTSIn::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    if (!Busy) throw EAuException("The Stream is not opened");
    if (!FValid || !HDecoder || (FBOffset >= FBytesRead && !DecodeNext())) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    uint32_t n = std::min(Bytes, FBytesRead - FBOffset);
    if (FSampleSize > 1 && n >= FSampleSize) n -= n % FSampleSize; // whole frames
    Buffer = _Buf.data() + FBOffset;
    FBOffset += n;
    Bytes = n;
}

bool TADTSIn::SeekInternal(int64_t& SampleNum) {
    const int64_t total = std::max<int64_t>(FFrames - 1, 0) * FFrameLength;
    if (!FSeekable || !HDecoder || total == 0) return false;
    SampleNum = std::clamp<int64_t>(SampleNum, 0, total);
    FBOffset = FBytesRead = 0;
    FEmptyFrames = 0;
    FNext = FFrameLength + SampleNum;
    // Decode from the frame before, whose output the decoder drops after the reset, so that
    // the wanted one overlaps with the right predecessor.
    const int64_t frame = std::max<int64_t>(FNext / FFrameLength - 1, 0);
    if (SampleNum == total) {
        FOffset = FFileSize;
        FFrameId = FFrames;
        return true;
    }
    if (!FOffsets.empty()) {
        FOffset = FOffsets[static_cast<size_t>(frame)];
    } else {
        // Where the bit rate puts it, then on to the next frame that another confirms.
        const int64_t guess =
            FFirstOffset + static_cast<int64_t>(static_cast<double>(frame) * FBytesPerFrame);
        const int64_t found = FindFrame(std::min(guess, FFileSize), ResyncSearch);
        FOffset = found < 0 ? FFileSize : found;
    }
    FFrameId = frame;
    FFaad->PostSeekReset(HDecoder.get(), 0);
    return true;
}

void TADTSIn::ReleaseAll() {
    HDecoder.reset();
    FOffsets = std::vector<int64_t>();
    _Buf = std::vector<uint8_t>();
    FBOffset = FBytesRead = 0;
    if (FStreamAssigned) {
        if (FStream) FStream->Seek(0, TSeekOrigin::soBeginning);
    } else {
        ReleaseOwnStream();
    }
}

void TADTSIn::CloseFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened <= 0) return;
    ReleaseAll();
    FOpened = 0;
}

} // namespace tarvio
