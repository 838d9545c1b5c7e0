#include "decoders/dts/TDTSIn.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
extern "C" {
#include <dca.h>
}

#include <algorithm>
#include <iterator>
#include <mutex>
#include <string_view>
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

void TDTSIn::TFileCloser::operator()(std::FILE* File) const {
    if (File) std::fclose(File);
}

template <class TCall> bool TDTSIn::Heard(TCall Call) {
    if (!FMessages) {
        Call();
        return false;
    }
    {
        // The process has one standard error: one decoder redirects it at a time.
        static std::mutex redirect;
        std::lock_guard<std::mutex> lock(redirect);
        std::FILE* const old = stderr;
        stderr = FMessages.get();
        Call();
        stderr = old;
    }
    std::fflush(FMessages.get());
    const long length = std::ftell(FMessages.get());
    if (length <= 0) return false;
    const std::string_view text(FMessageText,
                                std::min<size_t>(static_cast<size_t>(length), sizeof FMessageText - 1));
    static constexpr std::string_view damage[] = {"DSYNC", "look-up failed", "too big", "check failed"};
    bool damaged = false;
    // Line by line: the words of damage are taken, any other (an unsupported coding tool,
    // another thread's message) goes on.
    for (std::string_view rest = text; !rest.empty();) {
        const size_t end = std::min(rest.find('\n'), rest.size() - 1) + 1;
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end);
        // What did not fit in the buffer is lost; the cut last line is dropped with it.
        if (line.back() != '\n' && text.size() == sizeof FMessageText - 1) break;
        if (std::any_of(std::begin(damage), std::end(damage),
                        [&](std::string_view Word) { return line.find(Word) != line.npos; }))
            damaged = true;
        else
            std::fwrite(line.data(), 1, line.size(), stderr);
    }
    std::rewind(FMessages.get());
    std::memset(FMessageText, 0, sizeof FMessageText);
    return damaged;
}

void TDTSIn::CreateState() {
    state.reset(FLib->Init(0));
    if (!state) throw EAuException("Failed to initialize the DTS decoder");
    FMessages.reset(fmemopen(FMessageText, sizeof FMessageText - 1, "w"));
    if (FMessages) std::setvbuf(FMessages.get(), nullptr, _IONBF, 0);
}

void TDTSIn::FreeState() {
    state.reset();
    FMessages.reset();
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
    const TSearch found = FExtract ? ReadVOBFrame(Opening) : SearchFrame(Opening);
    // Four front and two rear speakers have no place in the WAVE layouts the pipeline
    // plays; refused here rather than opened and every frame skipped.
    if (Opening && found == TSearch::Found && (FFrame.Flags & ConfigMask) == DCA_4F2R)
        throw EAuException("DTS with four front and two rear channels (4F2R) cannot be played: no speaker "
                           "layout for it");
    return found;
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

TDTSIn::TFrameStart TDTSIn::StartFrame() {
    int flags = FFrame.Flags | DCA_ADJUST_LEVEL;
    level_t level = 1.0f;
    // A rejected frame is skipped, as DTS players do.
    int failed = 0;
    const bool damaged =
        Heard([&] { failed = FLib->Frame(state.get(), FrameBuf.data(), &flags, &level, 0.0f); });
    if (failed != 0 || damaged) return {0, true};
    uint32_t speakers[8];
    const uint32_t main = Speakers(flags & ConfigMask, speakers);
    const uint32_t count = main + ((flags & DCA_LFE) ? 1 : 0);
    if (main == 0 || count != FChan) return {};
    if (flags & DCA_LFE) speakers[main] = spLowFrequency;
    for (uint32_t c = 0; c < count; ++c)
        FPlane[c] = static_cast<uint8_t>(c);
    TChannelLayout::PlaneOrder(speakers, count, FSlot);
    return {FLib->BlocksNum(state.get()), false};
}

const float* TDTSIn::DecodeBlock() {
    int failed = 0;
    const bool damaged = Heard([&] { failed = FLib->Block(state.get()); });
    const float* samples = FLib->Samples(state.get());
    return failed != 0 || damaged ? nullptr : samples;
}

} // namespace tarvio
