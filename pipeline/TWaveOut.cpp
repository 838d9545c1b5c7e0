#include "pipeline/TWaveOut.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "pipeline/EAuException.h"
#include "pipeline/TChannelLayout.h"

namespace tarvio {

namespace {

// The reason of the last failed call, never "Success".
std::string LastErrorText() {
    return std::strerror(errno != 0 ? errno : EIO);
}

void Put16(std::string& s, uint16_t v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>(v >> 8));
}

void Put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

} // namespace

std::string TWaveOut::FileName() const {
    std::lock_guard<std::mutex> lock(FNameLock);
    return FFileName;
}

void TWaveOut::SetFileName(const std::string& Value) {
    std::lock_guard<std::mutex> lock(FNameLock);
    FFileName = Value;
}

std::string TWaveOut::MakeHeader(uint32_t Channels, uint32_t SampleRate, uint32_t BitsPerSample,
                                 uint64_t DataBytes) {
    const bool extensible = Channels > 2 || BitsPerSample > 16;
    const uint32_t fmtSize = extensible ? 40 : 16;
    const uint16_t blockAlign = static_cast<uint16_t>(Channels * ((BitsPerSample + 7) / 8));
    const uint64_t headerRest = 4 + 8 + fmtSize + 8;
    const uint32_t data = static_cast<uint32_t>(std::min<uint64_t>(DataBytes, 0xFFFFFFFFull - headerRest));
    std::string h;
    h += "RIFF";
    Put32(h, static_cast<uint32_t>(headerRest + data + (data & 1)));
    h += "WAVEfmt ";
    Put32(h, fmtSize);
    Put16(h, extensible ? 0xFFFE : 1);
    Put16(h, static_cast<uint16_t>(Channels));
    Put32(h, SampleRate);
    Put32(h, SampleRate * blockAlign);
    Put16(h, blockAlign);
    Put16(h, static_cast<uint16_t>(BitsPerSample));
    if (extensible) {
        Put16(h, 22);
        Put16(h, static_cast<uint16_t>(BitsPerSample));
        Put32(h, TChannelLayout::WaveMask(Channels));
        // KSDATAFORMAT_SUBTYPE_PCM
        static const uint8_t pcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                        0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        h.append(reinterpret_cast<const char*>(pcm), 16);
    }
    h += "data";
    Put32(h, data);
    return h;
}

std::string TWaveOut::MakeStreamHeader(uint32_t Channels, uint32_t SampleRate, uint32_t BitsPerSample) {
    std::string h = MakeHeader(Channels, SampleRate, BitsPerSample, 0);
    h.replace(4, 4, 4, '\xFF');            // RIFF size
    h.replace(h.size() - 4, 4, 4, '\xFF'); // data size
    return h;
}

EAuException TWaveOut::FileError(const std::string& Reason) const {
    return EAuException(FileName() + ": " + Reason);
}

void TWaveOut::StartOutput() {
    TAuInput* in = FInput;
    if (!in) throw EAuException("Input is not assigned");
    std::string name = FileName();
    if (name.empty()) throw EAuException("The file name is not assigned");
    in->Init();
    FChannels = in->Channels();
    FSampleRate = in->SampleRate();
    FBits = in->BitsPerSample();
    FBytesWritten = 0;
    try {
        // A pipe or a device is written as it is: neither emptied nor locked.
        std::error_code ec;
        const auto status = std::filesystem::status(name, ec);
        if (!ec && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status) &&
            !std::filesystem::is_directory(status))
            FFile = std::make_unique<TAuFileStream>(name, fmOpenWrite | fmShareDenyNone);
        else
            FFile = std::make_unique<TAuFileStream>(name, fmCreate);
    } catch (const EAuException& e) {
        throw FileError(e.what());
    }
    FStreaming = FFile->Seek(0, TSeekOrigin::soCurrent) < 0;
    const std::string header = FStreaming ? MakeStreamHeader(FChannels, FSampleRate, FBits)
                                          : MakeHeader(FChannels, FSampleRate, FBits, 0);
    errno = 0;
    if (FFile->Write(header.data(), static_cast<int32_t>(header.size())) !=
        static_cast<int32_t>(header.size()))
        throw FileError(LastErrorText());
}

bool TWaveOut::OutputChunk(bool StopRequested) {
    if (StopRequested || !CanOutput || !FFile) return false;
    TAuInput* in = FInput;
    if (!in) return false;
    uint8_t* data = nullptr;
    uint32_t bytes = 32768;
    in->GetData(data, bytes);
    if (bytes == 0 || !data) return false;
    errno = 0;
    const int32_t written = FFile->Write(data, static_cast<int32_t>(bytes));
    // What went in before a failure counts: the header will describe it.
    FBytesWritten += std::max(written, 0);
    if (written != static_cast<int32_t>(bytes)) throw FileError(LastErrorText());
    return true;
}

void TWaveOut::FinishOutput() {
    std::string failure; // the first step that failed; the input is flushed all the same
    if (FFile) {
        std::unique_ptr<TAuFileStream> file = std::move(FFile);
        if (!FStreaming) {
            uint64_t written = static_cast<uint64_t>(FBytesWritten.load());
            errno = 0;
            if (written & 1) {
                const uint8_t pad = 0;
                if (file->Write(&pad, 1) != 1) failure = LastErrorText();
            }
            std::string header = MakeHeader(FChannels, FSampleRate, FBits, written);
            if (file->Seek(0, TSeekOrigin::soBeginning) != 0 ||
                file->Write(header.data(), static_cast<int32_t>(header.size())) !=
                    static_cast<int32_t>(header.size())) {
                if (failure.empty()) failure = LastErrorText();
            }
        }
    }
    if (TAuInput* in = FInput) in->Flush();
    if (!failure.empty()) throw FileError(failure);
}

} // namespace tarvio
