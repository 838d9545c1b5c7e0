#include "output/TWaveFileSink.h"

#include <sys/stat.h>

#include <map>
#include <mutex>
#include <vector>

#include "pipeline/TChannelLayout.h"

namespace tarvio {

namespace {

void Put16(std::vector<uint8_t>& Out, uint32_t V) {
    Out.push_back(static_cast<uint8_t>(V));
    Out.push_back(static_cast<uint8_t>(V >> 8));
}

void Put32(std::vector<uint8_t>& Out, uint32_t V) {
    Put16(Out, V & 0xFFFF);
    Put16(Out, V >> 16);
}

void PutTag(std::vector<uint8_t>& Out, const char* Tag) {
    for (int i = 0; i < 4; ++i)
        Out.push_back(static_cast<uint8_t>(Tag[i]));
}

// What the sinks of this process left in each file they recorded: the header they wrote,
// the data bytes after it and the file's identity, so that the next run continues it.
struct TLeftRecording {
    std::vector<uint8_t> Header;
    uint64_t DataBytes = 0;
    dev_t Device = 0;
    ino_t Inode = 0;
    bool Open = false; // a live sink writes it
};

std::mutex& RecordingsLock() {
    static std::mutex lock;
    return lock;
}

std::map<std::string, TLeftRecording>& Recordings() {
    static std::map<std::string, TLeftRecording> recordings;
    return recordings;
}

} // namespace

TWaveFileSink::TWaveFileSink(std::string Path) : FPath(std::move(Path)) {}

TWaveFileSink::~TWaveFileSink() {
    Finish();
}

HRESULT TWaveFileSink::Open(const WAVEFORMATEX& Format, uint32_t) {
    FBlockAlign = Format.nBlockAlign;

    // More than two channels or 16 bits need the extensible header; its mask is the one
    // declared, else the one of the pipeline's WAVE channel order.
    const bool declared = Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    const bool extensible = declared || Format.nChannels > 2 || Format.wBitsPerSample > 16;
    uint32_t mask = declared ? reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(Format).dwChannelMask : 0;
    if (mask == 0) mask = TChannelLayout::WaveMask(Format.nChannels);
    std::vector<uint8_t> h;
    PutTag(h, "RIFF");
    Put32(h, 0); // completed by Finish
    PutTag(h, "WAVE");
    PutTag(h, "fmt ");
    Put32(h, extensible ? 40 : 16);
    Put16(h, extensible ? WAVE_FORMAT_EXTENSIBLE : Format.wFormatTag);
    Put16(h, Format.nChannels);
    Put32(h, Format.nSamplesPerSec);
    Put32(h, Format.nAvgBytesPerSec);
    Put16(h, Format.nBlockAlign);
    Put16(h, Format.wBitsPerSample);
    if (extensible) {
        const auto& ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(Format);
        const GUID sub = declared ? ext.SubFormat : KSDATAFORMAT_SUBTYPE_PCM;
        Put16(h, 22);
        const uint16_t valid = declared ? ext.wValidBitsPerSample : 0;
        Put16(h, valid != 0 ? valid : Format.wBitsPerSample);
        Put32(h, mask);
        Put32(h, sub.Data1);
        Put16(h, sub.Data2);
        Put16(h, sub.Data3);
        for (uint8_t b : sub.Data4)
            h.push_back(b);
    }
    PutTag(h, "data");
    Put32(h, 0); // completed by Finish
    FHeaderBytes = static_cast<uint32_t>(h.size());
    FDataBytes = 0;
    FFailed = false;
    if (Continue(h)) return DS_OK;
    FFile.reset(std::fopen(FPath.c_str(), "wb"));
    if (!FFile) return DSERR_GENERIC;
    struct stat st {};
    if (std::fwrite(h.data(), 1, h.size(), FFile.get()) != h.size() || std::fflush(FFile.get()) != 0 ||
        fstat(fileno(FFile.get()), &st) != 0) {
        FFile.reset();
        return DSERR_GENERIC;
    }
    std::lock_guard<std::mutex> lock(RecordingsLock());
    TLeftRecording& left = Recordings()[FPath];
    left = {h, 0, st.st_dev, st.st_ino, true};
    return DS_OK;
}

bool TWaveFileSink::Continue(const std::vector<uint8_t>& Header) {
    std::lock_guard<std::mutex> lock(RecordingsLock());
    auto found = Recordings().find(FPath);
    if (found == Recordings().end()) return false;
    TLeftRecording& left = found->second;
    struct stat st {};
    if (left.Open || left.Header != Header || stat(FPath.c_str(), &st) != 0 || st.st_dev != left.Device ||
        st.st_ino != left.Inode || static_cast<uint64_t>(st.st_size) != Header.size() + left.DataBytes)
        return false;
    FFile.reset(std::fopen(FPath.c_str(), "r+b"));
    if (!FFile || std::fseek(FFile.get(), 0, SEEK_END) != 0) {
        FFile.reset();
        return false;
    }
    FDataBytes = left.DataBytes;
    left.Open = true;
    return true;
}

bool TWaveFileSink::Write(const uint8_t* Data, uint32_t Frames) {
    if (!FFile || FFailed) return false;
    size_t bytes = static_cast<size_t>(Frames) * FBlockAlign;
    // Flushed at once, so that the file shows what has played so far.
    if (std::fwrite(Data, 1, bytes, FFile.get()) != bytes || std::fflush(FFile.get()) != 0) {
        FFailed = true;
        return false;
    }
    FDataBytes += bytes;
    return true;
}

void TWaveFileSink::Finish() {
    if (!FFile) return;
    // RIFF sizes are 32-bit; a longer recording keeps the largest value that fits.
    uint64_t riff = FDataBytes + FHeaderBytes - 8;
    auto clamp = [](uint64_t V) { return static_cast<uint32_t>(V > 0xFFFFFFFFu ? 0xFFFFFFFFu : V); };
    std::vector<uint8_t> field;
    Put32(field, clamp(riff));
    std::fseek(FFile.get(), 4, SEEK_SET);
    std::fwrite(field.data(), 1, 4, FFile.get());
    field.clear();
    Put32(field, clamp(FDataBytes));
    std::fseek(FFile.get(), static_cast<long>(FHeaderBytes) - 4, SEEK_SET);
    std::fwrite(field.data(), 1, 4, FFile.get());
    const bool whole = std::fflush(FFile.get()) == 0 && !FFailed;
    FFile.reset();
    std::lock_guard<std::mutex> lock(RecordingsLock());
    auto found = Recordings().find(FPath);
    if (found == Recordings().end()) return;
    found->second.Open = false;
    found->second.DataBytes = FDataBytes;
    // A file whose writing failed is not continued: the next run starts it anew.
    if (!whole) Recordings().erase(found);
}

} // namespace tarvio
