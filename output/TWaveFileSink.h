#pragma once
// The wave-file device: plays in real time by the clock and appends exactly the bytes
// that play, in order, to a RIFF WAVE file. One file records a whole run of the program:
// the first Open of a path creates (or empties) it; a later Open of the same path in the
// same process, in the same format, appends to what the earlier sinks wrote, so that a
// recording shows what a listener hears across track changes. Another format, or a file
// that was removed or changed meanwhile, starts the file anew. The header's sizes are
// completed when each sink is destroyed, so the file is whole between runs.

#include "output/TDSSink.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

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
    // Reopens the recording that an earlier sink of this process left at FPath, when it
    // is still there as left and has the same header; false otherwise.
    bool Continue(const std::vector<uint8_t>& Header);

    std::string FPath;
    std::unique_ptr<std::FILE, FileCloser> FFile;
    uint32_t FBlockAlign = 0;
    uint32_t FHeaderBytes = 0;
    uint64_t FDataBytes = 0;
    bool FFailed = false;
};

} // namespace tarvio
