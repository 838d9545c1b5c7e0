#include "stages/SignalProcessing.h"

#include <cmath>
#include <cstring>
#include <utility>

namespace tarvio {

void ComplexFFT(TComplex* Data, uint32_t N, int Direction) {
    // Anything but a power of two would make the bit-reversal loop run past the array.
    if (N < 2 || (N & (N - 1)) != 0) return;

    uint32_t stages = 0;
    while ((uint32_t(1) << stages) < N)
        ++stages;

    // Bit-reversal permutation.
    uint32_t half = N / 2;
    uint32_t j = 0;
    for (uint32_t i = 0; i < N - 1; ++i) {
        if (i < j) std::swap(Data[i], Data[j]);
        uint32_t k = half;
        while (k <= j) {
            j -= k;
            k /= 2;
        }
        j += k;
    }

    float c1 = -1.0f, c2 = 0.0f;
    uint32_t span = 1;
    for (uint32_t s = 0; s < stages; ++s) {
        uint32_t h = span;
        span *= 2;
        float u1 = 1.0f, u2 = 0.0f;
        for (uint32_t jj = 0; jj < h; ++jj) {
            for (uint32_t i = jj; i < N; i += span) {
                uint32_t i1 = i + h;
                float t1 = u1 * Data[i1].Re - u2 * Data[i1].Im;
                float t2 = u1 * Data[i1].Im + u2 * Data[i1].Re;
                Data[i1].Re = Data[i].Re - t1;
                Data[i1].Im = Data[i].Im - t2;
                Data[i].Re += t1;
                Data[i].Im += t2;
            }
            float z = u1 * c1 - u2 * c2;
            u2 = u1 * c2 + u2 * c1;
            u1 = z;
        }
        c2 = std::sqrt((1.0f - c1) / 2.0f);
        if (Direction == 1) c2 = -c2;
        c1 = std::sqrt((1.0f + c1) / 2.0f);
    }
}

void U8ToFloat(const void* Src, float* Dst, uint32_t Count) {
    const uint8_t* p = static_cast<const uint8_t*>(Src);
    for (uint32_t i = 0; i < Count; ++i)
        Dst[i] = static_cast<float>(p[i]) * (1.0f / 128.0f) - 1.0f;
}

void S16ToFloat(const void* Src, float* Dst, uint32_t Count) {
    const uint8_t* p = static_cast<const uint8_t*>(Src);
    for (uint32_t i = 0; i < Count; ++i, p += 2) {
        int16_t s = static_cast<int16_t>(p[0] | (p[1] << 8));
        Dst[i] = static_cast<float>(s) * (1.0f / 32768.0f);
    }
}

void S24ToFloat(const void* Src, float* Dst, uint32_t Count) {
    const uint8_t* p = static_cast<const uint8_t*>(Src);
    for (uint32_t i = 0; i < Count; ++i, p += 3) {
        // Put the 24 bits at the top of a 32-bit value and shift back to extend the sign.
        uint32_t u = (uint32_t(p[0]) << 8) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 24);
        int32_t s = static_cast<int32_t>(u) >> 8;
        Dst[i] = static_cast<float>(s) * (1.0f / 8388608.0f);
    }
}

void S32ToFloat(const void* Src, float* Dst, uint32_t Count) {
    const uint8_t* p = static_cast<const uint8_t*>(Src);
    for (uint32_t i = 0; i < Count; ++i, p += 4) {
        uint32_t u = uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
        Dst[i] = static_cast<float>(static_cast<int32_t>(u)) * (1.0f / 2147483648.0f);
    }
}

namespace {
// Double precision keeps x * 2147483647 exact enough that 0.5 gives 1073741823.
int32_t ToInt32(double X) {
    if (X >= 1.0) return INT32_MAX;
    if (X <= -1.0) return INT32_MIN;
    if (X == 0.0 || std::isnan(X)) return 0; // NaN from a damaged file must not reach the cast
    return static_cast<int32_t>(std::floor(X * 2147483647.0));
}
} // namespace

void SingleToInt32(void* Buffer, uint32_t Bytes) {
    uint8_t* p = static_cast<uint8_t*>(Buffer);
    for (uint32_t i = 0; i < Bytes / 4; ++i, p += 4) {
        float x;
        std::memcpy(&x, p, 4);
        int32_t v = ToInt32(x);
        std::memcpy(p, &v, 4);
    }
}

void DoubleToInt32(void* Buffer, uint32_t Bytes) {
    uint8_t* p = static_cast<uint8_t*>(Buffer);
    // Result i lands at byte 4i, never beyond the doubles not read yet (at 8i and above).
    for (uint32_t i = 0; i < Bytes / 8; ++i) {
        double x;
        std::memcpy(&x, p + 8 * size_t(i), 8);
        int32_t v = ToInt32(x);
        std::memcpy(p + 4 * size_t(i), &v, 4);
    }
}

bool SameGUID(const TGUID& A, const TGUID& B) {
    return A.D1 == B.D1 && A.D2 == B.D2 && A.D3 == B.D3 && std::memcmp(A.D4, B.D4, 8) == 0;
}

std::string TextBefore(char C, const std::string& S) {
    size_t at = S.find(C);
    return at == std::string::npos ? std::string() : S.substr(0, at);
}

std::string TextAfter(char C, const std::string& S) {
    size_t at = S.find(C);
    return at == std::string::npos ? std::string() : S.substr(at + 1);
}

} // namespace tarvio
