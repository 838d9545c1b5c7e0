#pragma once
// Comparing interleaved signed 16-bit PCM with a reference decoder's output: per-channel
// signal-to-noise ratio, the strength of a tone in one channel, and sign changes.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tarvio::test {

// The 16-bit samples of little-endian PCM bytes.
inline std::vector<int16_t> Samples(const std::vector<uint8_t>& Pcm) {
    std::vector<int16_t> s(Pcm.size() / 2);
    std::memcpy(s.data(), Pcm.data(), s.size() * 2);
    return s;
}

// 10 log10 of the reference's energy over the energy of the difference, in channel Channel
// of Channels, over the frames both have. 200 when they are equal.
inline double SnrDb(const std::vector<uint8_t>& Pcm, const std::vector<uint8_t>& Reference, uint32_t Channels,
                    uint32_t Channel) {
    const std::vector<int16_t> a = Samples(Pcm), b = Samples(Reference);
    const size_t frames = std::min(a.size(), b.size()) / Channels;
    double signal = 0, noise = 0;
    for (size_t i = 0; i < frames; ++i) {
        const double x = b[i * Channels + Channel], d = x - a[i * Channels + Channel];
        signal += x * x;
        noise += d * d;
    }
    return noise == 0 ? 200 : 10 * std::log10(signal / noise);
}

// Amplitude of the Frequency Hz component of channel Channel (Goertzel over the frames from
// First, Count long), in sample units.
inline double ToneLevel(const std::vector<int16_t>& Pcm, uint32_t Channels, uint32_t Channel, uint32_t Rate,
                        double Frequency, size_t First, size_t Count) {
    const double w = 2 * M_PI * Frequency / Rate, k = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    const size_t end = std::min(First + Count, Pcm.size() / Channels);
    for (size_t i = First; i < end; ++i) {
        const double s0 = Pcm[i * Channels + Channel] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - k * s1 * s2;
    return end > First ? 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(end - First) : 0;
}

// Sign changes of channel Channel of Channels, counted over the samples beyond half scale
// only: a full-scale square wave of F Hz has 2F per second; a sample wrapped round to the
// other sign adds to them.
inline int HalfScaleSignChanges(const std::vector<int16_t>& Pcm, uint32_t Channels, uint32_t Channel) {
    int changes = 0, last = 0;
    for (size_t i = Channel; i < Pcm.size(); i += Channels) {
        const int sign = Pcm[i] > 16384 ? 1 : Pcm[i] < -16384 ? -1 : 0;
        if (sign != 0 && last != 0 && sign != last) ++changes;
        if (sign != 0) last = sign;
    }
    return changes;
}

} // namespace tarvio::test
