#include "pipeline/TWaveOut.h"

#include <algorithm>
#include <cstring>

#include "pipeline/EAuException.h"
#include "pipeline/TChannelLayout.h"

namespace tarvio {

namespace {

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
    FFile = std::make_unique<TAuFileStream>(name, fmCreate);
    std::string header = MakeHeader(FChannels, FSampleRate, FBits, 0);
    FFile->WriteBuffer(header.data(), static_cast<int32_t>(header.size()));
}

bool TWaveOut::OutputChunk(bool StopRequested) {
    if (StopRequested || !CanOutput || !FFile) return false;
    TAuInput* in = FInput;
    if (!in) return false;
    uint8_t* data = nullptr;
    uint32_t bytes = 32768;
    in->GetData(data, bytes);
    if (bytes == 0 || !data) return false;
    if (FFile->Write(data, static_cast<int32_t>(bytes)) != static_cast<int32_t>(bytes))
        throw EAuException("Cannot write to " + FileName() + ": " + std::strerror(errno));
    FBytesWritten += bytes;
    return true;
}

void TWaveOut::FinishOutput() {
    if (FFile) {
        std::unique_ptr<TAuFileStream> file = std::move(FFile);
        uint64_t written = static_cast<uint64_t>(FBytesWritten.load());
        if (written & 1) {
            const uint8_t pad = 0;
            file->Write(&pad, 1);
        }
        std::string header = MakeHeader(FChannels, FSampleRate, FBits, written);
        file->Seek(0, TSeekOrigin::soBeginning);
        file->Write(header.data(), static_cast<int32_t>(header.size()));
    }
    if (TAuInput* in = FInput) in->Flush();
}

} // namespace tarvio
