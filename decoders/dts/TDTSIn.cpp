#include "decoders/dts/TDTSIn.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
extern "C" {
#include <dca.h>
}

#include <algorithm>
#include <type_traits>

#include "pipeline/EAuException.h"
#include "pipeline/TChannelLayout.h"
#include "pipeline/TEventHandler.h"

namespace tarvio {

// The libdca entry points; the header gives the prototypes only, the library is opened at
// run time. dca_dynrng is resolved (a library without it is not used) but never called.
struct TDCALib {
    decltype(&dca_init) Init = nullptr;
    decltype(&dca_syncinfo) SyncInfo = nullptr;
    decltype(&dca_frame) Frame = nullptr;
    decltype(&dca_dynrng) DynRng = nullptr;
    decltype(&dca_blocks_num) BlocksNum = nullptr;
    decltype(&dca_block) Block = nullptr;
    decltype(&dca_samples) Samples = nullptr;
    decltype(&dca_free) Free = nullptr;
};

namespace {

static_assert(std::is_same_v<sample_t, float>, "libdca is expected to deliver floats");

constexpr uint32_t FrameBufSize = 32768;
// libdca reads the frame in whole words, a little past its end.
constexpr uint32_t FramePadding = 16;
constexpr uint32_t HeaderSize = 14;
// Offsets the plain search tries: 0 to 1 MiB inclusive.
constexpr int64_t RawSearchOffsets = 1048577;
// How far after the first frame the next one must start.
constexpr uint32_t ConfirmWindow = 65536;
constexpr int ConfigMask = DCA_CHANNEL_MASK;

// Loads libdca (once per process) and resolves every entry point into Lib; false when the
// library or any entry point is missing.
bool LoadLibdca(TDCALib& Lib) {
    std::lock_guard<std::recursive_mutex> lock(LibraryLoadLock());
    TLibraryLoader& loader = TDTSIn::LibDCA();
    if (!loader.Load()) return false;
    return loader.Resolve("dca_init", Lib.Init) && loader.Resolve("dca_syncinfo", Lib.SyncInfo) &&
           loader.Resolve("dca_frame", Lib.Frame) && loader.Resolve("dca_dynrng", Lib.DynRng) &&
           loader.Resolve("dca_blocks_num", Lib.BlocksNum) && loader.Resolve("dca_block", Lib.Block) &&
           loader.Resolve("dca_samples", Lib.Samples) && loader.Resolve("dca_free", Lib.Free);
}

// Speakers of libdca's channels for a configuration, in the order the library hands them
// out (the stream's own order: centre first); the LFE channel follows them. 0 channels for
// a configuration the library does not decode.
uint32_t Speakers(int Config, uint32_t* Out) {
    static constexpr uint32_t layouts[][5] = {
        {spFrontCenter},                                                     // mono
        {spFrontLeft, spFrontRight},                                         // dual mono
        {spFrontLeft, spFrontRight},                                         // stereo
        {spFrontLeft, spFrontRight},                                         // sum / difference
        {spFrontLeft, spFrontRight},                                         // stereo total
        {spFrontCenter, spFrontLeft, spFrontRight},                          // 3F
        {spFrontLeft, spFrontRight, spBackCenter},                           // 2F1R
        {spFrontCenter, spFrontLeft, spFrontRight, spBackCenter},            // 3F1R
        {spFrontLeft, spFrontRight, spBackLeft, spBackRight},                // 2F2R
        {spFrontCenter, spFrontLeft, spFrontRight, spBackLeft, spBackRight}, // 3F2R
    };
    static constexpr uint32_t counts[] = {1, 2, 2, 2, 2, 3, 3, 4, 4, 5};
    if (Config < 0 || Config > DCA_3F2R) return 0;
    std::copy_n(layouts[Config], counts[Config], Out);
    return counts[Config];
}

// Channels delivered for a configuration value, or 0 when it names none.
uint32_t ChannelsOf(int Flags) {
    static constexpr uint32_t counts[] = {1, 2, 2, 2, 2, 3, 3, 4, 4, 5, 6};
    const int config = Flags & ConfigMask;
    if (config > DCA_4F2R) return 0;
    return counts[config] + ((Flags & DCA_LFE) ? 1 : 0);
}

} // namespace

void TDTSIn::TStateDeleter::operator()(dca_state_s* State) const {
    if (State && Lib) Lib->Free(State);
}

TLibraryLoader& TDTSIn::LibDCA() {
    static TLibraryLoader loader("libdca.so.0");
    return loader;
}

TDTSIn::TDTSIn(TComponent* AOwner)
    : TAuFileIn(AOwner), FLib(std::make_unique<TDCALib>()), state(nullptr, TStateDeleter{FLib.get()}) {
    FSeekable = false;
}

TDTSIn::~TDTSIn() {
    CloseFile();
}

uint32_t TDTSIn::BitRate() {
    OpenFile();
    return FBitRate;
}

bool TDTSIn::SeekInternal(int64_t&) {
    return false;
}

void TDTSIn::Release() {
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

void TDTSIn::OpenFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened != 0) return;
    FValid = false;
    if (!LoadLibdca(*FLib)) throw EAuException(LibDCA().FileName() + " library could not be loaded.");
    try {
        OpenOwnStream();
    } catch (...) {
        throw EAuException("Failed to open stream");
    }
    if (!FStream) throw EAuException("Failed to open stream");
    try {
        FrameBuf.assign(FrameBufSize + FramePadding, 0);
        state.reset(FLib->Init(0));
        if (!state) throw EAuException("Failed to initialize the DTS decoder");
        CurrentBlock = 1;
        BlockCount = 1;
        FBitRate = 0;

        uint8_t head[4] = {};
        FStream->Seek(0, TSeekOrigin::soBeginning);
        const int32_t got = FStream->Read(head, 4);
        FExtract = got == 4 && head[0] == 0 && head[1] == 0 && head[2] == 1 && head[3] == 0xBA;
        FStream->Seek(0, TSeekOrigin::soBeginning);
        if (FExtract) {
            FDemuxer = std::make_unique<TAuVOBDemuxer>(*FStream);
            FDemuxer->SelectSubstreams(0x88, 0x8F);
            // The first frame must start within the first tenth of the file.
            FDemuxer->SetLimit(FStream->Size() / 10 + 1);
            FReader.Attach(FDemuxer.get());
        } else {
            FReader.Attach(FStream);
        }
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

void TDTSIn::CloseFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened <= 0) return;
    Release();
    FOpened = 0;
}

bool TDTSIn::ReadHeader(const uint8_t* Data, THeader& Header) {
    // The library reads whole aligned words around the header; a copy of its own keeps
    // those reads inside this buffer.
    alignas(16) uint8_t bytes[32] = {};
    std::memcpy(bytes, Data, HeaderSize);
    int flags = 0, rate = 0, bitRate = 0, frameLength = 0;
    const int size = FLib->SyncInfo(state.get(), bytes, &flags, &rate, &bitRate, &frameLength);
    if (size < static_cast<int>(HeaderSize) || size > static_cast<int>(FrameBufSize) || rate <= 0)
        return false;
    Header.Size = size;
    Header.Rate = static_cast<uint32_t>(rate);
    Header.BitRate = static_cast<uint32_t>(std::max(bitRate, 0));
    Header.StreamFlags = flags & (ConfigMask | DCA_LFE);
    Header.Flags = Header.StreamFlags;
    static constexpr int asked[] = {0, DCA_MONO, DCA_STEREO, DCA_STEREO_TOTAL, DCA_2F2R};
    if (const TDTSOutputChannels request = FOutputChannels; request != dts5dot1)
        Header.Flags = asked[request];
    Header.Channels = ChannelsOf(Header.Flags);
    return Header.Channels > 0;
}

TDTSIn::TSearch TDTSIn::ReadFrame(bool Opening) {
    return FExtract ? ReadVOBFrame(Opening) : ReadRawFrame(Opening);
}

TDTSIn::TSearch TDTSIn::TakeFrame(const THeader& Header, bool Opening) {
    const uint32_t size = static_cast<uint32_t>(Header.Size);
    if (FReader.Read(FrameBuf.data(), size) < size) {
        return TSearch::End; // the last frame is incomplete: the data ends here
    }
    FFrame = Header;
    FBitRate = Header.BitRate;
    if (Opening) {
        FSR = Header.Rate;
        FBPS = 16;
        FChan = Header.Channels;
    }
    return TSearch::Found;
}

bool TDTSIn::FollowedByFrame(const THeader& Header) {
    const uint32_t size = static_cast<uint32_t>(Header.Size);
    const uint32_t want = size + ConfirmWindow + HeaderSize;
    const uint8_t* data = nullptr;
    const uint32_t got = FReader.Peek(want, data);
    bool found = false;
    THeader next;
    for (uint32_t at = size; !found && at + HeaderSize <= got && at <= size + ConfirmWindow; ++at)
        found =
            ReadHeader(data + at, next) && next.Rate == Header.Rate && next.StreamFlags == Header.StreamFlags;
    // The library keeps the packing of the last header it saw; the first frame's counts.
    ReadHeader(data, next);
    // A frame that the data ends shortly after stands on its own.
    return found || got < want;
}

TDTSIn::TSearch TDTSIn::ReadRawFrame(bool Opening) {
    THeader header;
    for (int64_t i = 0; i < RawSearchOffsets; ++i) {
        const uint8_t* data = nullptr;
        if (FReader.Peek(HeaderSize, data) < HeaderSize) return TSearch::End;
        if (ReadHeader(data, header) && (!Opening || FollowedByFrame(header)))
            return TakeFrame(header, Opening);
        FReader.Skip(1);
    }
    return TSearch::Lost;
}

TDTSIn::TSearch TDTSIn::ReadVOBFrame(bool Opening) {
    THeader header;
    for (;;) {
        const uint8_t* data = nullptr;
        if (FReader.Peek(HeaderSize, data) < HeaderSize) return TSearch::End;
        // DVDs carry the 16-bit big-endian packing only.
        if (data[0] == 0x7F && data[1] == 0xFE && data[2] == 0x80 && data[3] == 0x01 &&
            ReadHeader(data, header) && header.Channels <= 8 &&
            (header.Rate == 32000 || header.Rate == 44100 || header.Rate == 48000)) {
            // Only the header had to lie in the first tenth.
            if (Opening) FDemuxer->SetLimit(-1);
            return TakeFrame(header, Opening);
        }
        FReader.Skip(1);
    }
}

bool TDTSIn::StartFrame() {
    if (FFrame.Rate != FSR) return false;
    int flags = FFrame.Flags | DCA_ADJUST_LEVEL;
    level_t level = 1.0f;
    if (FLib->Frame(state.get(), FrameBuf.data(), &flags, &level, 0.0f) != 0) return false;
    uint32_t speakers[8];
    const uint32_t main = Speakers(flags & ConfigMask, speakers);
    const uint32_t count = main + ((flags & DCA_LFE) ? 1 : 0);
    if (main == 0 || count != FChan) return false;
    if (flags & DCA_LFE) speakers[main] = spLowFrequency;
    for (uint32_t c = 0; c < count; ++c)
        FPlane[c] = static_cast<uint8_t>(c);
    TChannelLayout::PlaneOrder(speakers, count, FSlot);
    BlockCount = FLib->BlocksNum(state.get());
    return BlockCount > 0;
}

void TDTSIn::DecodeBlock() {
    const int failed = FLib->Block(state.get());
    const float* samples = FLib->Samples(state.get());
    if (failed != 0 || !samples)
        std::fill(_Buf.begin(), _Buf.end(), int16_t{0}); // a block the library could not decode stays silent
    else
        TChannelLayout::Interleave256(samples, FPlane, FSlot, FChan, FChan, _Buf.data());
    Offset = 0;
    BufEnd = 256u * _SampleSize;
    ++CurrentBlock;
}

void TDTSIn::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    if (!Busy) throw EAuException("The Stream is not opened");
    if (!FValid || !state) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    if (Offset >= BufEnd) {
        for (;;) {
            if (CurrentBlock > BlockCount) {
                const TSearch found = ReadFrame(false);
                if (found == TSearch::Lost) throw EAuException("Sync lost");
                if (found == TSearch::End) {
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
