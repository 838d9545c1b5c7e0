#pragma once
// The wave-file device: plays in real time by the clock and appends exactly the bytes
// that play, in order, to a RIFF WAVE file. The file is created (or emptied) by Open
// and its header sizes are completed when the sink is destroyed.

#include "output/TDSSink.h"

#include <cstdio>
#include <memory>
#include <string>

namespace tarvio {

class TWaveFileSink : public TDSSink {
public:
    explicit TWaveFileSink(std::string Path);
    ~TWaveFileSink() override;

    bool DevicePaced() const override { return false; }
    bool ConsumesData() const override { return true; }
    // DSERR_GENERIC when the file cannot be created.
    HRESULT Open(const WAVEFORMATEX& Format, uint32_t RingFrames) override;
    bool Write(const uint8_t* Data, uint32_t Frames) override;

private:
    struct FileCloser {
        void operator()(std::FILE* F) const { std::fclose(F); }
    };

    void Finish();

    std::string FPath;
    std::unique_ptr<std::FILE, FileCloser> FFile;
    uint32_t FBlockAlign = 0;
    uint32_t FHeaderBytes = 0;
    uint64_t FDataBytes = 0;
    bool FFailed = false;
};

} // namespace tarvio
