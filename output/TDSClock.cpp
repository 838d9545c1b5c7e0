#include "output/TDSClock.h"

#include <atomic>
#include <chrono>

namespace tarvio {

namespace {
// 100 ns ticks, the unit of the performance counter of the system this layer follows.
constexpr int64_t SteadyFrequency = 10'000'000;

TDSClock& SteadyClock() {
    static TDSClock clock;
    return clock;
}

std::atomic<TDSClock*> CurrentClock{nullptr};
} // namespace

int64_t TDSClock::Counter() const {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, SteadyFrequency>>>(now)
        .count();
}

int64_t TDSClock::Frequency() const {
    return SteadyFrequency;
}

TDSClock& TDSClock::Current() {
    TDSClock* clock = CurrentClock.load(std::memory_order_acquire);
    return clock ? *clock : SteadyClock();
}

void TDSClock::SetCurrent(TDSClock* Clock) {
    CurrentClock.store(Clock, std::memory_order_release);
}

int64_t TDSClock::FramesIn(int64_t Ticks, uint32_t Rate) const {
    if (Ticks <= 0) return 0;
    int64_t freq = Frequency();
    return (Ticks / freq) * Rate + (Ticks % freq) * Rate / freq;
}

} // namespace tarvio
