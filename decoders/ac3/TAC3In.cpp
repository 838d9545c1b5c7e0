#include "decoders/ac3/TAC3In.h"

#include <cinttypes>
#include <cstdint>
#include <cstring>
extern "C" {
#include <a52dec/a52.h>
}

#include <algorithm>
#include <type_traits>

#include "pipeline/EAuException.h"
#include "pipeline/TChannelLayout.h"
#include "pipeline/TEventHandler.h"

namespace tarvio {

// The liba52 entry points; the header gives the prototypes only, the library is opened at
// run time. a52_dynrng is resolved (a library without it is not used) but never called.
// a52_accel, never called either, is looked up but not required: liba52 0.7.4 has none.
struct TA52Lib {
    void* Accel = nullptr;
    decltype(&a52_init) Init = nullptr;
    decltype(&a52_syncinfo) SyncInfo = nullptr;
    decltype(&a52_frame) Frame = nullptr;
    decltype(&a52_dynrng) DynRng = nullptr;
    decltype(&a52_block) Block = nullptr;
    decltype(&a52_samples) Samples = nullptr;
    decltype(&a52_free) Free = nullptr;
};

namespace {

static_assert(std::is_same_v<sample_t, float>, "liba52 is expected to deliver floats");

constexpr uint32_t FrameBufSize = 32768;
// liba52 reads the frame in whole words, a little past its end.
constexpr uint32_t FramePadding = 16;
constexpr uint32_t HeaderSize = 7;
// How far after the first frame the next one must start.
constexpr uint32_t ConfirmWindow = 4096;

bool LoadLiba52(TA52Lib& Lib) {
    std::lock_guard<std::recursive_mutex> lock(LibraryLoadLock());
    TLibraryLoader& loader = TAC3In::LibA52();
    if (!loader.Load()) return false;
    Lib.Accel = loader.Resolve("a52_accel");
    return loader.Resolve("a52_init", Lib.Init) && loader.Resolve("a52_syncinfo", Lib.SyncInfo) &&
           loader.Resolve("a52_frame", Lib.Frame) && loader.Resolve("a52_dynrng", Lib.DynRng) &&
           loader.Resolve("a52_block", Lib.Block) && loader.Resolve("a52_samples", Lib.Samples) &&
           loader.Resolve("a52_free", Lib.Free);
}

// Speakers of liba52's main channels for a configuration, in the library's order (after the
// LFE channel, which comes first); 0 for a configuration that names no layout. Of two
// independent mono channels only the first is played.
uint32_t Speakers(int Config, uint32_t* Out) {
    static constexpr uint32_t layouts[][5] = {
        {spFrontCenter},                                                     // first of dual mono
        {spFrontCenter},                                                     // mono
        {spFrontLeft, spFrontRight},                                         // stereo
        {spFrontLeft, spFrontCenter, spFrontRight},                          // 3F
        {spFrontLeft, spFrontRight, spBackCenter},                           // 2F1R
        {spFrontLeft, spFrontCenter, spFrontRight, spBackCenter},            // 3F1R
        {spFrontLeft, spFrontRight, spBackLeft, spBackRight},                // 2F2R
        {spFrontLeft, spFrontCenter, spFrontRight, spBackLeft, spBackRight}, // 3F2R
    };
    static constexpr uint32_t counts[] = {1, 1, 2, 3, 3, 4, 4, 5};
    if (Config == A52_DOLBY) Config = A52_STEREO;
    if (Config < 0 || Config > A52_3F2R) return 0;
    std::copy_n(layouts[Config], counts[Config], Out);
    return counts[Config];
}

uint32_t ChannelsOf(int Flags) {
    uint32_t speakers[8];
    const uint32_t main = Speakers(Flags & A52_CHANNEL_MASK, speakers);
    return main == 0 ? 0 : main + ((Flags & A52_LFE) ? 1 : 0);
}

} // namespace

void TAC3In::TStateDeleter::operator()(void* State) const {
    if (State && Lib) Lib->Free(static_cast<a52_state_t*>(State));
}

TLibraryLoader& TAC3In::LibA52() {
    static TLibraryLoader loader("liba52-0.7.4.so");
    return loader;
}

TAC3In::TAC3In(TComponent* AOwner)
    : TAuFileIn(AOwner), FLib(std::make_unique<TA52Lib>()), state(nullptr, TStateDeleter{FLib.get()}) {
    FSeekable = false;
}

TAC3In::~TAC3In() {
    CloseFile();
}

uint32_t TAC3In::BitRate() {
    OpenFile();
    return FBitRate;
}

bool TAC3In::SeekInternal(int64_t&) {
    return false;
}

void TAC3In::Release() {
    FReader.Attach(nullptr);
    FDemuxer.reset();
    state.reset();
    std::vector<int16_t>().swap(_Buf);
    std::vector<uint8_t>().swap(FrameBuf);
    if (FStreamAssigned) {
        if (FStream) FStream->Seek(0, TSeekOrigin::soBeginning);
    } else {
        ReleaseOwnStream();
    }
}

void TAC3In::OpenFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened != 0) return;
    FValid = false;
    if (!LoadLiba52(*FLib)) throw EAuException(LibA52().FileName() + " library could not be loaded.");
    try {
        OpenOwnStream();
    } catch (...) {
        throw EAuException("Failed to open stream");
    }
    if (!FStream) throw EAuException("Failed to open stream");
    try {
        uint8_t head[4] = {};
        FStream->Seek(0, TSeekOrigin::soBeginning);
        const int32_t got = FStream->Read(head, 4);
        FExtract = got == 4 && head[0] == 0 && head[1] == 0 && head[2] == 1 && head[3] == 0xBA;
        FStream->Seek(0, TSeekOrigin::soBeginning);
        if (FExtract) {
            FDemuxer = std::make_unique<TAuVOBAC3Demuxer>(*FStream);
            FDemuxer->Init(FVobStream);
            FReader.Attach(FDemuxer.get());
        } else {
            FReader.Attach(FStream);
        }
        FrameBuf.assign(FrameBufSize + FramePadding, 0);
        state.reset(FLib->Init(0));
        if (!state) throw EAuException("Failed to initialize the AC3 decoder");
        CurrentBlock = 1;
        BlockCount = 6;
        FBitRate = 0;
        if (ReadFrame(true) != TSearch::Found) {
            Release();
            return;
        }
        FSize = -1;
        FSeekable = false;
        _SampleSize = static_cast<uint16_t>((FBPS / 8) * FChan);
        _Buf.assign(size_t{FChan} * 256, 0);
        Offset = 0;
        BufEnd = 0;
        FValid = true;
        ++FOpened;
    } catch (...) {
        Release();
        throw;
    }
}

void TAC3In::CloseFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened <= 0) return;
    Release();
    FOpened = 0;
}

bool TAC3In::ReadHeader(const uint8_t* Data, THeader& Header) {
    uint8_t bytes[HeaderSize];
    std::memcpy(bytes, Data, HeaderSize);
    int flags = 0, rate = 0, bitRate = 0;
    const int size = FLib->SyncInfo(bytes, &flags, &rate, &bitRate);
    if (size < static_cast<int>(HeaderSize) || size > static_cast<int>(FrameBufSize)) return false;
    if (rate != 44100 && rate != 48000 && rate != 32000) return false;
    Header.Size = size;
    Header.Rate = static_cast<uint32_t>(rate);
    Header.BitRate = static_cast<uint32_t>(std::max(bitRate, 0));
    Header.StreamFlags = flags & (A52_CHANNEL_MASK | A52_LFE);
    Header.Flags = Header.StreamFlags;
    if (const TAC3OutputChannels request = FOutputChannels; request != acc5dot1)
        Header.Flags = request == accMono ? A52_MONO : A52_STEREO;
    Header.Channels = ChannelsOf(Header.Flags);
    return Header.Channels > 0 && Header.Channels <= 8;
}

bool TAC3In::FollowedByFrame(const THeader& Header) {
    const uint32_t size = static_cast<uint32_t>(Header.Size);
    const uint32_t want = size + ConfirmWindow + HeaderSize;
    const uint8_t* data = nullptr;
    const uint32_t got = FReader.Peek(want, data);
    THeader next;
    for (uint32_t at = size; at + HeaderSize <= got && at <= size + ConfirmWindow; ++at)
        if (ReadHeader(data + at, next) && next.Rate == Header.Rate && next.StreamFlags == Header.StreamFlags)
            return true;
    // A frame that the data ends shortly after stands on its own.
    return got < want;
}

TAC3In::TSearch TAC3In::ReadFrame(bool Opening) {
    THeader header;
    for (;;) {
        const uint8_t* data = nullptr;
        if (FReader.Peek(HeaderSize, data) < HeaderSize) return TSearch::End;
        if (ReadHeader(data, header) && (!Opening || FollowedByFrame(header))) break;
        FReader.Skip(1);
    }
    const uint32_t size = static_cast<uint32_t>(header.Size);
    if (FReader.Read(FrameBuf.data(), size) < size) {
        return TSearch::End; // the last frame is incomplete: the data ends here
    }
    FFrame = header;
    FBitRate = header.BitRate;
    if (Opening) {
        FSR = header.Rate;
        FBPS = 16;
        FChan = header.Channels;
    }
    return TSearch::Found;
}

bool TAC3In::StartFrame() {
    if (FFrame.Rate != FSR) return false;
    int flags = FFrame.Flags | A52_ADJUST_LEVEL;
    sample_t level = 1.0f;
    if (FLib->Frame(static_cast<a52_state_t*>(state.get()), FrameBuf.data(), &flags, &level, 0.0f) != 0)
        throw EAuException("Error reading AC3 frame");
    uint32_t speakers[8];
    const uint32_t main = Speakers(flags & A52_CHANNEL_MASK, speakers);
    const bool lfe = (flags & A52_LFE) != 0;
    const uint32_t count = main + (lfe ? 1 : 0);
    if (main == 0 || count != FChan) return false;
    // The LFE channel comes first in the library's output.
    for (uint32_t c = 0; c < main; ++c)
        FPlane[c] = static_cast<uint8_t>(c + (lfe ? 1 : 0));
    if (lfe) {
        speakers[main] = spLowFrequency;
        FPlane[main] = 0;
    }
    TChannelLayout::PlaneOrder(speakers, count, FSlot);
    BlockCount = 6;
    return true;
}

void TAC3In::DecodeBlock() {
    auto* s = static_cast<a52_state_t*>(state.get());
    const int failed = FLib->Block(s);
    const float* samples = FLib->Samples(s);
    if (failed != 0 || !samples)
        std::fill(_Buf.begin(), _Buf.end(), int16_t{0}); // a block the library could not decode stays silent
    else
        TChannelLayout::Interleave256(samples, FPlane, FSlot, FChan, FChan, _Buf.data());
    Offset = 0;
    BufEnd = 256u * _SampleSize;
    ++CurrentBlock;
}

void TAC3In::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    if (!Busy) throw EAuException("The Stream is not opened");
    if (!FValid || !state) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    if (Offset >= BufEnd) {
        for (;;) {
            if (CurrentBlock > BlockCount) {
                // The search has no limit: it fails only where the data ends.
                if (ReadFrame(false) == TSearch::End) {
                    Buffer = nullptr;
                    Bytes = 0;
                    return;
                }
                CurrentBlock = 1;
            }
            if (CurrentBlock == 1 && !StartFrame()) {
                BlockCount = 0; // skipped: fetch the next frame
                continue;
            }
            DecodeBlock();
            break;
        }
    }
    uint32_t n = Bytes;
    if (n >= _SampleSize) n -= n % _SampleSize;
    n = std::min(n, BufEnd - Offset);
    Buffer = reinterpret_cast<uint8_t*>(_Buf.data()) + Offset;
    Offset += n;
    Bytes = n;
}

} // namespace tarvio
