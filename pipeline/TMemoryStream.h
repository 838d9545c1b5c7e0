#pragma once
// A growable stream in memory; owns its bytes.

#include <cstdint>
#include <vector>

#include "pipeline/TStream.h"

namespace tarvio {

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<uint8_t> Data) : FData(std::move(Data)) {}

    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void* Buffer, int32_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }
    void SetSize(int64_t NewSize) override;

    const std::vector<uint8_t>& Data() const { return FData; }
    // Replaces the contents by Data (moved in, not copied) and rewinds.
    void SetData(std::vector<uint8_t> Data) {
        FData = std::move(Data);
        FPos = 0;
    }
    uint8_t* Memory() { return FData.data(); }

private:
    std::vector<uint8_t> FData;
    int64_t FPos = 0;
};

} // namespace tarvio
