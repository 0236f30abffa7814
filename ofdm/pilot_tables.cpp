// Constant carrier tables of EN 300 744 clause 4.5: continual pilot and TPS
// carrier positions of the 8k mode (the 2k mode uses the leading entries,
// which are exactly the 2k lists), and the pilot reference sequence w_k.
#include "ofdm/frame_builder.h"

namespace terramod {

namespace {

// Continual pilot carriers of the 8k mode: the 2k list repeated at offsets 0, 1704, 3408
// and 5112, a carrier shared by neighbouring copies listed once.
constexpr std::array<int32_t, 177> kContinualPilotCarriers = {
    0,    48,   54,   87,   141,  156,  192,  201,  255,  279,  282,  333,  432,  450,  483,
    525,  531,  618,  636,  714,  759,  765,  780,  804,  873,  888,  918,  939,  942,  969,
    984,  1050, 1101, 1107, 1110, 1137, 1140, 1146, 1206, 1269, 1323, 1377, 1491, 1683, 1704,
    1752, 1758, 1791, 1845, 1860, 1896, 1905, 1959, 1983, 1986, 2037, 2136, 2154, 2187, 2229,
    2235, 2322, 2340, 2418, 2463, 2469, 2484, 2508, 2577, 2592, 2622, 2643, 2646, 2673, 2688,
    2754, 2805, 2811, 2814, 2841, 2844, 2850, 2910, 2973, 3027, 3081, 3195, 3387, 3408, 3456,
    3462, 3495, 3549, 3564, 3600, 3609, 3663, 3687, 3690, 3741, 3840, 3858, 3891, 3933, 3939,
    4026, 4044, 4122, 4167, 4173, 4188, 4212, 4281, 4296, 4326, 4347, 4350, 4377, 4392, 4458,
    4509, 4515, 4518, 4545, 4548, 4554, 4614, 4677, 4731, 4785, 4899, 5091, 5112, 5160, 5166,
    5199, 5253, 5268, 5304, 5313, 5367, 5391, 5394, 5445, 5544, 5562, 5595, 5637, 5643, 5730,
    5748, 5826, 5871, 5877, 5892, 5916, 5985, 6000, 6030, 6051, 6054, 6081, 6096, 6162, 6213,
    6219, 6222, 6249, 6252, 6258, 6318, 6381, 6435, 6489, 6603, 6795, 6816,
};

// TPS carriers of the 8k mode: the 2k list at offsets 0, 1704, 3408 and 5112.
constexpr std::array<int32_t, 68> kTpsCarriers = {
    34,   50,   209,  346,  413,  569,  595,  688,  790,  901,  1073, 1219, 1262, 1286,
    1469, 1594, 1687, 1738, 1754, 1913, 2050, 2117, 2273, 2299, 2392, 2494, 2605, 2777,
    2923, 2966, 2990, 3173, 3298, 3391, 3442, 3458, 3617, 3754, 3821, 3977, 4003, 4096,
    4198, 4309, 4481, 4627, 4670, 4694, 4877, 5002, 5095, 5146, 5162, 5321, 5458, 5525,
    5681, 5707, 5800, 5902, 6013, 6185, 6331, 6374, 6398, 6581, 6706, 6799,
};

// The reference sequence w_k of EN 300 744 clause 4.5: an 11-stage register with generator
// x^11 + x^2 + 1, all stages 1 at the start. w_k is stage 11; then every
// stage moves one place towards stage 11 and stage 1 receives
// stage 11 XOR stage 9.
std::array<uint8_t, 6817> generate_pilot_reference() {
    std::array<uint8_t, 6817> sequence{};
    std::array<uint8_t, 12> stage{};  // stage[1] .. stage[11]
    stage.fill(1);
    for (size_t k = 0; k < sequence.size(); ++k) {
        sequence[k] = stage[11];
        const uint8_t feedback = stage[11] ^ stage[9];
        for (int s = 11; s > 1; --s) stage[s] = stage[s - 1];
        stage[1] = feedback;
    }
    return sequence;
}

}  // namespace

const std::array<int32_t, 177>& FrameBuilder::continual_pilot_carriers() {
    return kContinualPilotCarriers;
}

const std::array<int32_t, 68>& FrameBuilder::tps_carriers() {
    return kTpsCarriers;
}

const std::array<uint8_t, 6817>& FrameBuilder::pilot_reference() {
    static const std::array<uint8_t, 6817> sequence = generate_pilot_reference();
    return sequence;
}

}  // namespace terramod
