#pragma once
// An output that writes what it pulls into a RIFF WAVE file with the input's format.
// The header's sizes are fixed up when the run completes (also after a stop or an error),
// so the file always describes exactly the bytes written. A target that cannot seek (a
// pipe, a terminal, a named pipe: /dev/stdout in a pipeline) gets a streaming header whose
// sizes are the largest values, as ffmpeg and sox write them, and nothing after the data.
// The messages of its own failures begin with the file name: "out.wav: No space left on
// device".

#include <memory>
#include <string>

#include "pipeline/EAuException.h"
#include "pipeline/TAuFileStream.h"
#include "pipeline/TAuOutput.h"

namespace tarvio {

class TWaveOut : public TAuOutput {
public:
    explicit TWaveOut(TComponent* AOwner = nullptr) : TAuOutput(AOwner) {}
    ~TWaveOut() override { ShutDown(); }

    // UTF-8 path of the file to create (replaced if it exists). Set before Run.
    std::string FileName() const;
    void SetFileName(const std::string& Value);
    // PCM bytes written during the current or last run.
    int64_t BytesWritten() const { return FBytesWritten; }

    // The 44-byte PCM header (or 68-byte extensible header, with the channel mask of the
    // pipeline's WAVE channel order, for more than two channels or more than 16 bits) for
    // DataBytes of PCM. Sizes above 4 GiB are clamped.
    static std::string MakeHeader(uint32_t Channels, uint32_t SampleRate, uint32_t BitsPerSample,
                                  uint64_t DataBytes);
    // The same header with the RIFF and data sizes 0xFFFFFFFF: the data runs to the end.
    static std::string MakeStreamHeader(uint32_t Channels, uint32_t SampleRate, uint32_t BitsPerSample);

protected:
    void StartOutput() override;
    bool OutputChunk(bool StopRequested) override;
    void FinishOutput() override;

private:
    // "name: reason" for the file of this run.
    EAuException FileError(const std::string& Reason) const;

    mutable std::mutex FNameLock;
    std::string FFileName;
    std::unique_ptr<TAuFileStream> FFile; // worker thread only
    uint32_t FChannels = 0, FSampleRate = 0, FBits = 0;
    bool FStreaming = false; // the target cannot seek: no sizes to fix up
    std::atomic<int64_t> FBytesWritten{0};
};

} // namespace tarvio
