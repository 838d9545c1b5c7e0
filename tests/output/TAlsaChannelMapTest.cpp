// The WAVE order of the pipeline mapped onto ALSA devices' channel orders.

#include <gtest/gtest.h>

#include <alsa/asoundlib.h>

#include <vector>

#include "output/TAlsaChannelMap.h"

using namespace tarvio;

namespace {

constexpr unsigned FL = SND_CHMAP_FL, FR = SND_CHMAP_FR, FC = SND_CHMAP_FC, LFE = SND_CHMAP_LFE,
                   RL = SND_CHMAP_RL, RR = SND_CHMAP_RR, SL = SND_CHMAP_SL, SR = SND_CHMAP_SR;

struct TMapCase {
    const char* What;
    uint32_t Mask, Channels;
    std::vector<unsigned> Device; // empty: the device has no map
    std::vector<uint8_t> Slots;   // empty: nothing to move
};

class AlsaChannelMap : public testing::TestWithParam<TMapCase> {};

TEST_P(AlsaChannelMap, SendsEachChannelToItsSpeaker) {
    const TMapCase& c = GetParam();
    uint8_t slot[8] = {};
    const bool moves =
        TAlsaChannelMap::Make(c.Mask, c.Channels, c.Device.empty() ? nullptr : c.Device.data(), slot);
    EXPECT_EQ(moves, !c.Slots.empty());
    if (moves) {
        EXPECT_EQ(std::vector<uint8_t>(slot, slot + c.Channels), c.Slots);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, AlsaChannelMap,
    testing::Values(
        // Without a device map: ALSA's surround order FL FR RL RR FC LFE SL SR.
        TMapCase{"5.1 default", 0, 6, {}, {0, 1, 4, 5, 2, 3}},
        TMapCase{"7.1 default", 0, 8, {}, {0, 1, 4, 5, 2, 3, 6, 7}},
        TMapCase{"5.0 default", 0, 5, {}, {0, 1, 4, 2, 3}}, TMapCase{"quad default", 0, 4, {}, {}},
        TMapCase{"3 channels, no default order", 0, 3, {}, {}},
        TMapCase{"7 channels, no default order", 0, 7, {}, {}},
        // A device map.
        TMapCase{"5.1 on a WAVE-ordered device", 0, 6, {FL, FR, FC, LFE, RL, RR}, {}},
        TMapCase{"5.1 on a side-surround device", 0, 6, {FL, FR, FC, LFE, SL, SR}, {}},
        TMapCase{"5.1 on a device of its own order", 0, 6, {FC, FL, FR, RL, RR, LFE}, {1, 2, 0, 5, 3, 4}},
        TMapCase{"5.1 side mask, default order", 0x60F, 6, {}, {0, 1, 4, 5, 2, 3}},
        TMapCase{"7.1 on an ALSA-ordered device",
                 0,
                 8,
                 {FL, FR, RL, RR, FC, LFE, SL, SR},
                 {0, 1, 4, 5, 2, 3, 6, 7}}),
    [](const testing::TestParamInfo<TMapCase>& i) {
        std::string name = i.param.What;
        for (char& ch : name)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

TEST(AlsaChannelMap, ApplyMovesEverySample) {
    const uint8_t slot[3] = {2, 0, 1};
    const int16_t in[6] = {10, 11, 12, 20, 21, 22};
    int16_t out[6] = {};
    TAlsaChannelMap::Apply(reinterpret_cast<const uint8_t*>(in), reinterpret_cast<uint8_t*>(out), 2, 3, 2,
                           slot);
    EXPECT_EQ(std::vector<int16_t>(out, out + 6), (std::vector<int16_t>{11, 12, 10, 21, 22, 20}));
}

} // namespace
