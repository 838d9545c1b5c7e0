#pragma once
// One sample handed out by the media reader: a block of PCM of the output's format. The
// caller owns the buffer and keeps it across calls; the reader refills it in place, so its
// storage is reused (it only grows) and no block costs an allocation once it is warm.

#include <cstdint>
#include <memory>

namespace tarvio {

class TWMSampleBuffer {
public:
    // The sample's bytes and their count; valid until the buffer is filled again or released.
    void GetBufferAndLength(uint8_t*& Buffer, uint32_t& Length) const {
        Buffer = FData.get();
        Length = FLength;
    }
    // True between a fill and the next Release.
    bool Held() const { return FHeld; }
    // Lets go of the sample; the storage stays for the next one.
    void Release() {
        FHeld = false;
        FLength = 0;
    }
    // For the reader: makes room for Length bytes, marks the buffer held and returns the
    // storage to write them to.
    uint8_t* Fill(uint32_t Length) {
        if (Length > FCapacity) {
            FData = std::make_unique_for_overwrite<uint8_t[]>(Length);
            FCapacity = Length;
        }
        FLength = Length;
        FHeld = true;
        return FData.get();
    }

private:
    std::unique_ptr<uint8_t[]> FData;
    uint32_t FCapacity = 0;
    uint32_t FLength = 0;
    bool FHeld = false;
};

} // namespace tarvio
