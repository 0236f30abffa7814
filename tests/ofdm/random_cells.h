// Cells whose I and Q are k/7 for k from -7 to 7, the same for a seed on every
// machine: inputs for the transforms' tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "dvbt/dvbt.h"

namespace terramod {

inline std::vector<ComplexSample> random_cells(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> level(-7, 7);
    std::vector<ComplexSample> cells(count);
    for (ComplexSample& cell : cells)
        cell = {static_cast<float>(level(generator)) / 7, static_cast<float>(level(generator)) / 7};
    return cells;
}

}  // namespace terramod
