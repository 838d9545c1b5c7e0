// The pipeline's channel order: default masks, reordering and the float to 16-bit conversion.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "pipeline/TChannelLayout.h"

using namespace tarvio;

TEST(ChannelLayout, DefaultMasks) {
    const uint32_t masks[] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x70F, 0x63F, 0};
    for (uint32_t n = 0; n <= 9; ++n)
        EXPECT_EQ(TChannelLayout::WaveMask(n), masks[n]) << n << " channels";
}

TEST(ChannelLayout, PlaneOrderSortsBySpeaker) {
    // A library order of centre first and the LFE channel last.
    const uint32_t speakers[] = {spFrontCenter, spFrontLeft, spFrontRight,
                                 spBackLeft,    spBackRight, spLowFrequency};
    uint8_t position[6];
    TChannelLayout::PlaneOrder(speakers, 6, position);
    EXPECT_EQ(std::vector<uint8_t>(position, position + 6), (std::vector<uint8_t>{2, 0, 1, 4, 5, 3}));
}

// Samples become floor(x * 32767), clipped; NaN becomes silence.
TEST(ChannelLayout, InterleaveClipsAndFloors) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const std::pair<float, int16_t> cases[] = {
        {0.0f, 0},      {1.0f, 32767},   {-1.0f, -32767}, {1.048f, 32767},  {-1.2f, -32768},
        {0.5f, 16383},  {-0.5f, -16384}, {1e-6f, 0},      {-1e-6f, -1},     {inf, 32767},
        {-inf, -32768}, {nan, 0},        {3.0e9f, 32767}, {-3.0e9f, -32768}};
    std::vector<float> planes(2 * 256, 0.25f);
    for (size_t i = 0; i < std::size(cases); ++i)
        planes[256 + i] = cases[i].first; // the second plane
    const uint8_t plane[2] = {1, 0}, slot[2] = {0, 1};
    std::vector<int16_t> out(2 * 256);
    TChannelLayout::Interleave256(planes.data(), plane, slot, 2, 2, out.data());
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(out[2 * i], cases[i].second) << "sample " << cases[i].first;
        EXPECT_EQ(out[2 * i + 1], 8191) << "the other channel";
    }
}
