#pragma once
// Base of decoders that read a named file (or a caller's stream): lazy opening, the
// validity check, the format fields decoders fill, and the size and time arithmetic.
//
// A decoder implements OpenFile, CloseFile, SeekInternal and GetDataInternal, and calls
// CloseFile() in its own destructor (the base cannot reach the decoder's hook there).

#include <cstdint>
#include <mutex>
#include <string>

#include "pipeline/TAuStreamedInput.h"

namespace tarvio {

class TAuFileIn : public TAuStreamedInput {
public:
    explicit TAuFileIn(TComponent* AOwner = nullptr);
    ~TAuFileIn() override;

    // UTF-8 path. Setting it closes the current file.
    const std::string& FileName() const { return FFileName; }
    void SetFileName(const std::string& Value);
    const std::string& WideFileName() const { return FWideFileName; }
    void SetWideFileName(const std::string& Value);
    // Whether the file or stream holds decodable data; opens it to find out (it stays
    // open when valid). Never raises.
    bool Valid();
    // Start or end frame from a time; false when not seekable or beyond the known length.
    bool SetStartTime(uint32_t Minutes, uint32_t Seconds);
    bool SetEndTime(uint32_t Minutes, uint32_t Seconds);

    void Reset() override;
    // Moves by Offs thousandths of the whole length, clamped to the start and the end.
    // Nothing happens when the length is unknown (Size -1) or the input cannot seek.
    void _Jump(int32_t Offs) override;

protected:
    uint32_t GetBitsPerSample() override;
    uint32_t GetChannels() override;
    uint32_t GetSampleRate() override;
    uint32_t GetTotalTime() override;
    int64_t GetTotalSamples() override;
    void InitInternal() override;
    void FlushInternal() override;
    void SetStreamInternal(TStream* Value) override;

    // Under OpenCS. Nothing when already open. Otherwise open the stream (OpenOwnStream
    // when none is assigned), read the headers, set FValid and, when valid, FBPS, FSR,
    // FChan, FSize (bytes of PCM, -1 when unknown), FSeekable; FOpened = 1 once there is
    // something for CloseFile to release.
    virtual void OpenFile() = 0;
    // Under OpenCS. Nothing when not open. Release the decoder state and the own stream.
    virtual void CloseFile() = 0;

    // Creates FStream on FWideFileName (read, others may read) unless one is assigned.
    void OpenOwnStream();
    // Releases the stream this input opened itself (an assigned one is left alone).
    void ReleaseOwnStream();

    std::recursive_mutex OpenCS;
    std::string FFileName;
    std::string FWideFileName;
    std::atomic<int> FOpened{0};
    std::atomic<bool> FValid{false};
    std::atomic<uint32_t> FBPS{0};
    std::atomic<uint32_t> FSR{0};
    std::atomic<uint32_t> FChan{0};
    std::atomic<uint32_t> FTime{0};
};

} // namespace tarvio
