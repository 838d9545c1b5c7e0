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

constexpr uint32_t HeaderSize = 14;
// Offsets the plain search tries: 0 to 1 MiB inclusive.
constexpr int64_t RawSearchOffsets = 1048577;
// How far after the first frame the next one must start.
constexpr uint32_t ConfirmWindow = 65536;
constexpr int ConfigMask = DCA_CHANNEL_MASK;

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
    static TLibraryLoader loader(RuntimeLibrary::Dca);
    return loader;
}

TDTSIn::TDTSIn(TComponent* AOwner)
    : TAuSyncFrameIn(AOwner, HeaderSize, ConfirmWindow, RawSearchOffsets), FLib(std::make_unique<TDCALib>()),
      state(nullptr, TStateDeleter{FLib.get()}) {}

TDTSIn::~TDTSIn() {
    CloseFile();
}

TLibraryLoader& TDTSIn::Library() {
    return LibDCA();
}

bool TDTSIn::ResolveEntryPoints(TLibraryLoader& Loader) {
    TDCALib& lib = *FLib;
    return Loader.Resolve("dca_init", lib.Init) && Loader.Resolve("dca_syncinfo", lib.SyncInfo) &&
           Loader.Resolve("dca_frame", lib.Frame) && Loader.Resolve("dca_dynrng", lib.DynRng) &&
           Loader.Resolve("dca_blocks_num", lib.BlocksNum) && Loader.Resolve("dca_block", lib.Block) &&
           Loader.Resolve("dca_samples", lib.Samples) && Loader.Resolve("dca_free", lib.Free);
}

void TDTSIn::CreateState() {
    state.reset(FLib->Init(0));
    if (!state) throw EAuException("Failed to initialize the DTS decoder");
}

void TDTSIn::FreeState() {
    state.reset();
}

std::unique_ptr<TAuVOBDemuxer> TDTSIn::CreateDemuxer(TStream& Source) {
    auto demuxer = std::make_unique<TAuVOBDemuxer>(Source);
    demuxer->SelectSubstreams(0x88, 0x8F);
    // The first frame must start within the first tenth of the file.
    demuxer->SetLimit(Source.Size() / 10 + 1);
    return demuxer;
}

bool TDTSIn::ReadHeader(const uint8_t* Data, THeader& Header) {
    // The library reads whole aligned words around the header; a copy of its own keeps
    // those reads inside this buffer.
    alignas(16) uint8_t bytes[32] = {};
    std::memcpy(bytes, Data, HeaderSize);
    int flags = 0, rate = 0, bitRate = 0, frameLength = 0;
    const int size = FLib->SyncInfo(state.get(), bytes, &flags, &rate, &bitRate, &frameLength);
    if (size < static_cast<int>(HeaderSize) || size > static_cast<int>(MaxFrameBytes) || rate <= 0)
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
    return FExtract ? ReadVOBFrame(Opening) : SearchFrame(Opening);
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

int32_t TDTSIn::StartFrame() {
    int flags = FFrame.Flags | DCA_ADJUST_LEVEL;
    level_t level = 1.0f;
    if (FLib->Frame(state.get(), FrameBuf.data(), &flags, &level, 0.0f) != 0) return 0;
    uint32_t speakers[8];
    const uint32_t main = Speakers(flags & ConfigMask, speakers);
    const uint32_t count = main + ((flags & DCA_LFE) ? 1 : 0);
    if (main == 0 || count != FChan) return 0;
    if (flags & DCA_LFE) speakers[main] = spLowFrequency;
    for (uint32_t c = 0; c < count; ++c)
        FPlane[c] = static_cast<uint8_t>(c);
    TChannelLayout::PlaneOrder(speakers, count, FSlot);
    return FLib->BlocksNum(state.get());
}

const float* TDTSIn::DecodeBlock() {
    const int failed = FLib->Block(state.get());
    const float* samples = FLib->Samples(state.get());
    return failed != 0 ? nullptr : samples;
}

} // namespace tarvio
