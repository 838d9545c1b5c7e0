#pragma once
// Free signal routines shared by several components: a small in-place complex FFT, PCM to
// float converters, float to 32-bit integer converters, a GUID comparison and two string
// splitters. None keeps state between calls; only the string splitters allocate.
//
// The float arithmetic is single precision throughout. On the targets built here floats are
// computed in SSE/NEON registers at their own precision, so there is no floating-point
// control word to switch and restore.

#include <cstdint>
#include <string>

namespace tarvio {

// One element of the FFT's array: real part first, then imaginary part (8 bytes).
struct TComplex {
    float Re;
    float Im;
};
static_assert(sizeof(TComplex) == 8);

// The usual 16-byte GUID layout.
struct TGUID {
    uint32_t D1;
    uint16_t D2;
    uint16_t D3;
    uint8_t D4[8];
};
static_assert(sizeof(TGUID) == 16);

// In-place radix-2 decimation-in-time transform of Data[0..N-1], without scaling.
// Direction 1: forward, X[k] = sum x[n] e^(-2 pi i k n / N); any other value: the inverse
// kernel e^(+2 pi i k n / N), not divided by N. N must be a power of two; N < 2 or any
// other N leaves the array untouched.
void ComplexFFT(TComplex* Data, uint32_t N, int Direction);

// PCM samples to floats in [-1, 1). Count is in samples (not frames); Src is read byte-wise
// (little-endian, any alignment); Dst receives Count floats.
void U8ToFloat(const void* Src, float* Dst, uint32_t Count);  // unsigned 8-bit, 128 = 0
void S16ToFloat(const void* Src, float* Dst, uint32_t Count); // signed 16-bit
void S24ToFloat(const void* Src, float* Dst, uint32_t Count); // signed 24-bit, 3 bytes each
void S32ToFloat(const void* Src, float* Dst, uint32_t Count); // signed 32-bit

// Overwrites each of the Bytes div 4 single values in Buffer with a signed 32-bit integer:
// 2147483647 for x >= 1, -2147483648 for x <= -1, otherwise floor(x * 2147483647); NaN gives 0.
void SingleToInt32(void* Buffer, uint32_t Bytes);
// The same rule for each of the Bytes div 8 double values; the i-th result is stored as the
// i-th 32-bit integer of Buffer, so the results end up packed into its first half.
void DoubleToInt32(void* Buffer, uint32_t Bytes);

// True when all 16 bytes are equal.
bool SameGUID(const TGUID& A, const TGUID& B);

// The bytes of S before / after the first occurrence of C; empty when C does not occur.
std::string TextBefore(char C, const std::string& S);
std::string TextAfter(char C, const std::string& S);

} // namespace tarvio
