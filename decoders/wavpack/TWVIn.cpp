#include "decoders/wavpack/TWVIn.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "pipeline/EAuException.h"
#include "pipeline/TAuFileStream.h"
#include "tags/TAPEv2Tags.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"
#include "tags/TId3v1Tags.h"

namespace tarvio {

namespace {

// Path with its extension (from the last dot after the last '/') replaced by ".wvc".
std::string CorrectionsFileName(const std::string& Path) {
    const size_t slash = Path.find_last_of('/');
    const size_t dot = Path.find_last_of('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExtension ? Path.substr(0, dot) : Path) + ".wvc";
}

// Packs Count 32-bit samples into samples of Bytes bytes each, in place, front to back: each
// output sample is no longer than its source, so nothing is overwritten before it is read.
void PackIntegers(int32_t* Data, size_t Count, uint32_t Bytes) {
    auto* out = reinterpret_cast<uint8_t*>(Data);
    switch (Bytes) {
    case 1: // the pipeline's 8-bit samples are unsigned, silence 128
        for (size_t i = 0; i < Count; ++i)
            out[i] = static_cast<uint8_t>(Data[i] + 128);
        break;
    case 2:
        for (size_t i = 0; i < Count; ++i) {
            const uint32_t v = static_cast<uint32_t>(Data[i]);
            out[2 * i] = static_cast<uint8_t>(v);
            out[2 * i + 1] = static_cast<uint8_t>(v >> 8);
        }
        break;
    case 3:
        for (size_t i = 0; i < Count; ++i) {
            const uint32_t v = static_cast<uint32_t>(Data[i]);
            out[3 * i] = static_cast<uint8_t>(v);
            out[3 * i + 1] = static_cast<uint8_t>(v >> 8);
            out[3 * i + 2] = static_cast<uint8_t>(v >> 16);
        }
        break;
    default: // 4 bytes: as they are
        break;
    }
}

// Float samples (the library hands out their bit patterns) to integers of Bytes bytes,
// clipped at +/-1.0. A NaN, which has no level, becomes silence.
void PackFloats(int32_t* Data, size_t Count, uint32_t Bytes) {
    auto* out = reinterpret_cast<uint8_t*>(Data);
    for (size_t i = 0; i < Count; ++i) {
        float f;
        std::memcpy(&f, &Data[i], sizeof f);
        const double x = std::isnan(f) ? 0.0 : f;
        switch (Bytes) {
        case 1:
            out[i] = x >= 1    ? 255
                     : x <= -1 ? 0
                               : static_cast<uint8_t>(static_cast<int>(std::floor(x * 128)) + 128);
            break;
        case 2: {
            const int32_t v = x >= 1    ? 0x7FFF
                              : x <= -1 ? -0x8000
                                        : static_cast<int32_t>(std::floor(x * 32767));
            out[2 * i] = static_cast<uint8_t>(v);
            out[2 * i + 1] = static_cast<uint8_t>(v >> 8);
            break;
        }
        case 3: {
            const int32_t v = x >= 1    ? 0x7FFFFF
                              : x <= -1 ? -0x800000
                                        : static_cast<int32_t>(std::floor(x * 2147483647.0)) >> 8;
            out[3 * i] = static_cast<uint8_t>(v);
            out[3 * i + 1] = static_cast<uint8_t>(v >> 8);
            out[3 * i + 2] = static_cast<uint8_t>(v >> 16);
            break;
        }
        default: {
            const int32_t v = x >= 1    ? INT32_MAX
                              : x <= -1 ? INT32_MIN
                                        : static_cast<int32_t>(std::floor(x * 2147483647.0));
            std::memcpy(&out[4 * i], &v, 4);
            break;
        }
        }
    }
}

} // namespace

TWVIn::TWVIn(TComponent* AOwner) : TAuTaggedFileIn(AOwner) {}

TWVIn::~TWVIn() {
    CloseFile();
}

void TWVIn::SetCorrectionsStream(TStream* Value) {
    if (Busy || Value == FCorrectionsStream) return;
    // The open decoder reads the old stream; the next open takes the new one.
    CloseFile();
    FOwnedCorrectionsStream.reset();
    FCorrectionsStream = Value;
    FCorrectionsStreamAssigned = Value != nullptr;
}

TId3v1Tags* TWVIn::Id3v1Tags() {
    OpenFile();
    return FId3v1Tags.get();
}

TAPEv2Tags* TWVIn::APEv2Tags() {
    OpenFile();
    return FAPEv2Tags.get();
}

bool TWVIn::Hybrid() {
    OpenFile();
    return FHybrid;
}

bool TWVIn::Lossless() {
    OpenFile();
    return FLossless;
}

std::u16string TWVIn::Cuesheet() {
    OpenFile();
    return FCueSheet;
}

TwvModeFlags TWVIn::Mode() {
    OpenFile();
    return FMode;
}

std::unique_ptr<TWavpackDecoder> TWVIn::OpenDecoder(TStream* Corrections) {
    FStream->Seek(0, TSeekOrigin::soBeginning);
    if (Corrections) Corrections->Seek(0, TSeekOrigin::soBeginning);
    const TwvOpenFlags flags = Corrections ? TwvOpenFlags{wvofWVC, wvofTags} : TwvOpenFlags{wvofTags};
    return std::make_unique<TWavpackDecoder>(FStream, Corrections, flags, 0);
}

bool TWVIn::CorrectionsMatch() {
    std::unique_ptr<TWavpackDecoder> probe = OpenDecoder(FCorrectionsStream);
    const int32_t channels = probe->NumChannels();
    if (!probe->Mode().Contains(wvmfWVC) || channels <= 0) return false;
    // The library checks a block once all of it is unpacked. A frame has at most 131072
    // frames; a larger count is damage, and the check then stops at a bound.
    uint32_t left = std::min<uint32_t>(probe->NumSamplesInFrame(), 1u << 17);
    const uint32_t chunk = std::max<uint32_t>(1, 16384 / static_cast<uint32_t>(channels));
    std::vector<int32_t> samples(static_cast<size_t>(chunk) * static_cast<uint32_t>(channels));
    while (left > 0) {
        const uint32_t n = probe->UnpackSamples(samples.data(), std::min(chunk, left));
        if (n == 0) break;
        left -= std::min(n, left);
    }
    return probe->NumErrors() == 0;
}

void TWVIn::ReleaseStreams() {
    FOwnedCorrectionsStream.reset();
    if (!FCorrectionsStreamAssigned) FCorrectionsStream = nullptr;
    if (FStreamAssigned) {
        if (FStream) FStream->Seek(0, TSeekOrigin::soBeginning);
    } else {
        ReleaseOwnStream();
    }
}

void TWVIn::OpenFile() {
    if (!LoadWavpackDLL()) throw EAuException(WavpackLibrary().FileName() + " library could not be loaded");
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened > 0) return;
    FValid = false;
    if (!FStreamAssigned && FWideFileName.empty()) throw EAuException("File name is not assigned");
    OpenOwnStream();
    try {
        FDecoder = OpenDecoder(nullptr);
        FMode = FDecoder->Mode();
        FHybrid = FMode.Contains(wvmfHybrid);
        if (FHybrid) {
            FDecoder.reset();
            if (!FCorrectionsStreamAssigned && !FWideFileName.empty()) {
                try {
                    FOwnedCorrectionsStream = std::make_unique<TAuFileStream>(
                        CorrectionsFileName(FWideFileName), fmOpenRead | fmShareDenyWrite);
                    FCorrectionsStream = FOwnedCorrectionsStream.get();
                } catch (...) {
                    FCorrectionsStream = nullptr; // no ".wvc": the lossy part plays
                }
            }
            // Missing, unusable or belonging to another file: decoding goes on without it.
            bool useCorrections = false;
            if (FCorrectionsStream) {
                try {
                    useCorrections = CorrectionsMatch();
                } catch (const EWavpackException&) {
                }
            }
            if (!useCorrections) {
                FOwnedCorrectionsStream.reset();
                if (!FCorrectionsStreamAssigned) FCorrectionsStream = nullptr;
            }
            FDecoder = OpenDecoder(useCorrections ? FCorrectionsStream : nullptr);
            FMode = FDecoder->Mode();
        }
        FLossless = FMode.Contains(wvmfLossless);
        FFloat = FMode.Contains(wvmfFloat);
        const int32_t channels = FDecoder->NumChannels();
        const int32_t bytes = FDecoder->BytesPerSample();
        const uint32_t rate = FDecoder->SampleRate();
        FValid = channels > 0 && bytes >= 1 && bytes <= 4 && rate > 0;
        FCueSheet = FDecoder->ReadTagItem("Cuesheet");
        FSeekable = true;
        FBytesPerSample = FValid ? static_cast<uint32_t>(bytes) : 0;
        // The width delivered: 20-bit audio comes in 24-bit samples, and every size and
        // time computed from the format must count those.
        FBPS = FBytesPerSample * 8;
        FSR = rate;
        FChan = FValid ? static_cast<uint32_t>(channels) : 0;
        FFileSamples = FDecoder->NumSamples();
        if (FFileSamples < -1) FFileSamples = -1;
        FTotalSamples = std::max<int64_t>(FFileSamples, 0);
        FPosition = 0;
        FSize = FFileSamples >= 0 ? FFileSamples * FBytesPerSample * FChan : -1;
        FillTags();
    } catch (...) {
        FValid = false;
        FDecoder.reset();
        ReleaseStreams();
        throw;
    }
    FPendingStart = FPendingEnd = 0;
    FAtEnd = false;
    FSeekFailed = false;
    FErrorsSeen = 0;
    FOpened = 1;
}

int TWVIn::ReadId3v1Genre() {
    TStream* s = FStream;
    const int64_t pos = s->Position();
    const int64_t size = s->Size();
    int genre = -1;
    uint8_t block[TId3v1Tags::BlockSize];
    if (size >= TId3v1Tags::BlockSize &&
        s->Seek(size - TId3v1Tags::BlockSize, TSeekOrigin::soBeginning) >= 0 &&
        s->Read(block, sizeof block) == static_cast<int32_t>(sizeof block) &&
        std::memcmp(block, "TAG", 3) == 0)
        genre = block[127];
    s->Seek(pos, TSeekOrigin::soBeginning); // the library reads on from here
    return genre;
}

void TWVIn::FillTags() {
    if (!FMode.Contains(wvmfValidTag)) {
        FId3v1Tags->Clear();
        FAPEv2Tags->Clear();
    } else if (FMode.Contains(wvmfAPETag)) {
        FId3v1Tags->Clear();
        for (int i = 0; i < FAPEv2Tags->IdCount(); ++i) {
            const std::string key = FAPEv2Tags->IdName(i);
            FAPEv2Tags->SetValue(key, FDecoder->ReadTagItem(key));
        }
    } else {
        // The library hands out ID3v1 fields as stored: text in the legacy code page.
        for (int i = 0; i < FId3v1Tags->IdCount(); ++i) {
            const std::string key = FId3v1Tags->IdName(i);
            FId3v1Tags->SetValue(key, TCodePage::ToWide(FDecoder->ReadTagItemBytes(key)));
        }
        const int genre = ReadId3v1Genre();
        if (genre >= 0) FId3v1Tags->SetGenreId(static_cast<TId3v1TagsGenreId>(genre));
        FAPEv2Tags->Clear();
    }
    // From the APEv2 tag only: a file with an ID3v1 tag leaves them empty.
    TCommonTags& common = *FCommonTags;
    common.Clear();
    common.SetArtist(FAPEv2Tags->Artist());
    common.SetTitle(FAPEv2Tags->Title());
    common.SetAlbum(FAPEv2Tags->Album());
    common.SetGenre(FAPEv2Tags->Genre());
    common.SetYear(FAPEv2Tags->Year());
    common.SetTrack(FAPEv2Tags->Track());
}

void TWVIn::CloseFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened <= 0) return;
    FDecoder.reset();
    ReleaseStreams();
    std::vector<int32_t>().swap(FBuffer);
    FPendingStart = FPendingEnd = 0;
    FAtEnd = false;
    FSeekFailed = false;
    FOpened = 0;
}

bool TWVIn::SeekInternal(int64_t& SampleNum) {
    FPendingStart = FPendingEnd = 0;
    if (!FDecoder || !FValid || FSeekFailed) return false;
    if (SampleNum < 0) SampleNum = 0;
    if (FFileSamples >= 0 && SampleNum >= FFileSamples) {
        SampleNum = FFileSamples;
        FAtEnd = true;
        return true;
    }
    FAtEnd = false;
    if (FDecoder->SeekSample(SampleNum)) return true;
    FSeekFailed = true; // the library's state is lost
    return false;
}

void TWVIn::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    if (!Busy) throw EAuException("The Stream is not opened");
    if (Bytes == 0) return;
    if (FPendingStart < FPendingEnd) {
        const uint32_t n = std::min(Bytes, FPendingEnd - FPendingStart);
        Buffer = reinterpret_cast<uint8_t*>(FBuffer.data()) + FPendingStart;
        FPendingStart += n;
        Bytes = n;
        return;
    }
    if (!FDecoder || !FValid || FAtEnd || FSeekFailed) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    const int64_t size = FSize;
    if (size >= 0 && size - FPosition < static_cast<int64_t>(Bytes))
        Bytes = static_cast<uint32_t>(std::max<int64_t>(size - FPosition, 0));
    const uint32_t frame = FChan * FBytesPerSample;
    uint32_t frames = Bytes / frame;
    const bool split = frames == 0 && Bytes > 0;
    if (split) frames = 1;
    if (frames == 0) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    const size_t samples = static_cast<size_t>(frames) * FChan;
    if (FBuffer.size() < samples) FBuffer.resize(samples);
    const int64_t first = NextFrame();
    const uint32_t got = FDecoder->UnpackSamples(FBuffer.data(), frames);
    // The library counts the blocks whose check failed (it hands them out all the same).
    for (const int32_t errors = FDecoder->NumErrors(); FErrorsSeen < errors; ++FErrorsSeen)
        ReportDamage(dkChecksum, first);
    if (got == 0) {
        if (FSize > 0 && first < FFileSamples) ReportDamage(dkCutShort, first);
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    const size_t count = static_cast<size_t>(got) * FChan;
    if (FFloat)
        PackFloats(FBuffer.data(), count, FBytesPerSample);
    else
        PackIntegers(FBuffer.data(), count, FBytesPerSample);
    Buffer = reinterpret_cast<uint8_t*>(FBuffer.data());
    if (split) {
        FPendingStart = Bytes; // the rest of this frame goes out with the next requests
        FPendingEnd = frame;
    } else {
        Bytes = got * frame;
    }
}

} // namespace tarvio
