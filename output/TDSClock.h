#pragma once
// The time source of the sound layer: the performance counter the wrapper reads and the
// clock that paces the null and wave-file devices. The process uses the steady clock
// unless a test installs a clock of its own, which it can then move by hand.

#include <cstdint>

namespace tarvio {

class TDSClock {
public:
    TDSClock() = default;
    virtual ~TDSClock() = default;
    TDSClock(const TDSClock&) = delete;
    TDSClock& operator=(const TDSClock&) = delete;

    // Counter value in ticks; any thread.
    virtual int64_t Counter() const;
    // Ticks per second; never 0.
    virtual int64_t Frequency() const;
    // False makes QueryPerformanceFrequency fail, as on a machine without a
    // high-resolution counter. The devices keep using Counter for their pacing.
    virtual bool HasPerformanceCounter() const { return true; }

    // The clock in use. SetCurrent(nullptr) restores the steady clock. The caller keeps
    // ownership and must restore the previous clock before destroying its own; switch
    // clocks only while no sound buffer exists.
    static TDSClock& Current();
    static void SetCurrent(TDSClock* Clock);

    // Frames that Ticks of this clock last at Rate frames per second, rounded down;
    // 0 for Ticks <= 0. Exact for any tick count (no 64-bit overflow).
    int64_t FramesIn(int64_t Ticks, uint32_t Rate) const;
};

} // namespace tarvio
