#include "decoders/ac3/TAC3In.h"

#include <cstdint>
#include <cstring>
extern "C" {
#include <a52dec/a52.h>
}

#include <algorithm>
#include <type_traits>

#include "pipeline/EAuException.h"
#include "pipeline/TChannelLayout.h"

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

constexpr uint32_t HeaderSize = 7;
constexpr int32_t BlocksPerFrame = 6; // of 256 frames each
// How far after the first frame the next one must start.
constexpr uint32_t ConfirmWindow = 4096;

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
    static TLibraryLoader loader(RuntimeLibrary::A52);
    return loader;
}

TAC3In::TAC3In(TComponent* AOwner)
    : TAuSyncFrameIn(AOwner, HeaderSize, ConfirmWindow, INT64_MAX), FLib(std::make_unique<TA52Lib>()),
      state(nullptr, TStateDeleter{FLib.get()}) {}

TAC3In::~TAC3In() {
    CloseFile();
}

TLibraryLoader& TAC3In::Library() {
    return LibA52();
}

bool TAC3In::ResolveEntryPoints(TLibraryLoader& Loader) {
    TA52Lib& lib = *FLib;
    lib.Accel = Loader.Resolve("a52_accel");
    return Loader.Resolve("a52_init", lib.Init) && Loader.Resolve("a52_syncinfo", lib.SyncInfo) &&
           Loader.Resolve("a52_frame", lib.Frame) && Loader.Resolve("a52_dynrng", lib.DynRng) &&
           Loader.Resolve("a52_block", lib.Block) && Loader.Resolve("a52_samples", lib.Samples) &&
           Loader.Resolve("a52_free", lib.Free);
}

void TAC3In::CreateState() {
    state.reset(FLib->Init(0));
    if (!state) throw EAuException("Failed to initialize the AC3 decoder");
}

void TAC3In::FreeState() {
    state.reset();
}

std::unique_ptr<TAuVOBDemuxer> TAC3In::CreateDemuxer(TStream& Source) {
    auto demuxer = std::make_unique<TAuVOBAC3Demuxer>(Source);
    demuxer->Init(FVobStream);
    return demuxer;
}

bool TAC3In::ReadHeader(const uint8_t* Data, THeader& Header) {
    uint8_t bytes[HeaderSize];
    std::memcpy(bytes, Data, HeaderSize);
    int flags = 0, rate = 0, bitRate = 0;
    const int size = FLib->SyncInfo(bytes, &flags, &rate, &bitRate);
    if (size < static_cast<int>(HeaderSize) || size > static_cast<int>(MaxFrameBytes)) return false;
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

TAC3In::TSearch TAC3In::ReadFrame(bool Opening) {
    if (Opening) FDecodedBlocks = FDamagedFrames = 0;
    const TSearch found = SearchFrame(Opening);
    // A stream of which not one frame decodes is no AC-3 the library can play.
    if (found == TSearch::End && !Opening && FDecodedBlocks == 0 && FDamagedFrames > 0)
        throw EAuException("Error reading AC3 frame");
    return found;
}

TAC3In::TFrameStart TAC3In::StartFrame() {
    int flags = FFrame.Flags | A52_ADJUST_LEVEL;
    sample_t level = 1.0f;
    if (FLib->Frame(static_cast<a52_state_t*>(state.get()), FrameBuf.data(), &flags, &level, 0.0f) != 0) {
        // A damaged frame (a scratch on the disc) keeps its time as silence.
        ++FDamagedFrames;
        return {BlocksPerFrame, true};
    }
    uint32_t speakers[8];
    const uint32_t main = Speakers(flags & A52_CHANNEL_MASK, speakers);
    const bool lfe = (flags & A52_LFE) != 0;
    const uint32_t count = main + (lfe ? 1 : 0);
    if (main == 0 || count != FChan) return {};
    // The LFE channel comes first in the library's output.
    for (uint32_t c = 0; c < main; ++c)
        FPlane[c] = static_cast<uint8_t>(c + (lfe ? 1 : 0));
    if (lfe) {
        speakers[main] = spLowFrequency;
        FPlane[main] = 0;
    }
    TChannelLayout::PlaneOrder(speakers, count, FSlot);
    return {BlocksPerFrame, false};
}

const float* TAC3In::DecodeBlock() {
    auto* s = static_cast<a52_state_t*>(state.get());
    const int failed = FLib->Block(s);
    const float* samples = FLib->Samples(s);
    if (failed != 0) {
        ++FDamagedFrames; // the rest of the frame is not decoded
        return nullptr;
    }
    ++FDecodedBlocks;
    return samples;
}

} // namespace tarvio
