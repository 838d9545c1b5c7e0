#pragma once
// A sound-layer clock that tests move by hand; installed for the lifetime of the object.

#include "output/TDSClock.h"

#include <atomic>

namespace tarvio::test {

class TManualClock : public TDSClock {
public:
    explicit TManualClock(int64_t Frequency = 1'000'000, bool HasCounter = true)
        : FFrequency(Frequency), FHasCounter(HasCounter) {
        SetCurrent(this);
    }
    ~TManualClock() override { SetCurrent(nullptr); }

    int64_t Counter() const override { return FNow.load(); }
    int64_t Frequency() const override { return FFrequency; }
    bool HasPerformanceCounter() const override { return FHasCounter; }

    void Advance(int64_t Ticks) { FNow += Ticks; }
    // Milliseconds at the default frequency of a million ticks per second.
    void AdvanceMs(int64_t Ms) { Advance(Ms * FFrequency / 1000); }

private:
    std::atomic<int64_t> FNow{1'000'000'000};
    const int64_t FFrequency;
    const bool FHasCounter;
};

} // namespace tarvio::test
