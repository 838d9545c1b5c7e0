#pragma once
// Monkey's Audio decoder: the project's Monkey's Audio library (libMACDll.so), loaded at
// run time, decodes the file by name, or a caller's stream. Delivers the file's own PCM:
// 8 bits unsigned, 16 or 24 bits signed, mono or stereo. The file's tag, as the library
// reports it in the ID3v1 layout (its ID3v1 tag, else its APEv2 tag), fills APEv2Tags and
// the common tags. A frame that fails to decode in the middle of the file ends the stream
// with an EAuException carrying the library's error text ("MACDll error: ...") once the data
// before it is handed out.

#include <array>
#include <cstdint>
#include <memory>

#include "decoders/mac/TAPEDecompress.h"
#include "decoders/mac/TMACDll.h"
#include "pipeline/TAuTaggedFileIn.h"
#include "tags/TAPEv2Tags.h"

namespace tarvio {

class TMACIn : public TAuTaggedFileIn {
public:
    explicit TMACIn(TComponent* AOwner = nullptr);
    ~TMACIn() override;

    // Opens the file and returns its tags; owned by the input.
    TAPEv2Tags* APEv2Tags();
    // The library's answers while a file is open, else 0; they do not open the file. Bit
    // rates in kilobits per second, positions and lengths in sample frames or
    // milliseconds. Any thread.
    uint32_t AverageBitrate();
    uint32_t CurrentBitrate();
    int64_t CurrentBlock();
    uint32_t CurrentMS();
    uint32_t LengthMS();
    int64_t TotalBlocks();
    // Opens the file; its compression level (1000 fast, 2000 normal, 3000 high, 4000
    // extra high, 5000 insane), 0 when there is no decompressor.
    int32_t CompressionLevel();

protected:
    // Whole seconds of the library's length (rounded down); opens the file.
    uint32_t GetTotalTime() override;
    void OpenFile() override;
    void CloseFile() override;
    // Exact: the next data starts at frame SampleNum. False when the library refuses it.
    bool SeekInternal(int64_t& SampleNum) override;
    void InitInternal() override;
    void FlushInternal() override;
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;

private:
    static constexpr uint32_t BufferSize = 8192;

    void ReadTag();
    void Refill();

    // Decoded PCM; bytes BufStart to BufEnd (1-based, inclusive) are still to be handed out.
    std::array<uint8_t, BufferSize> buf{};
    std::unique_ptr<TMACDll> FLib; // this input's entry points
    std::unique_ptr<TAPEDecompress> APEDecompress;
    bool FLibraryEnded = false; // the library delivered its last frame
    int32_t FPendingError = 0;  // a library error to raise once buf is handed out
};

} // namespace tarvio
