#include "inner/mapper.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "tests/inner/reference_inner.h"

namespace terramod {
namespace {

const Hierarchy kAllHierarchies[] = {kNonHierarchical, kAlpha1, kAlpha2, kAlpha4};

// Points are compared bit for bit; a nine-digit literal names exactly one float.
uint32_t bits_of(float value) {
    return std::bit_cast<uint32_t>(value);
}

void expect_point(Constellation constellation, Hierarchy hierarchy, int symbol, float re,
                  float im) {
    const ComplexSample& point = Mapper::constellation_table(constellation, hierarchy)[symbol];
    EXPECT_EQ(bits_of(point.re), bits_of(re))
        << kConstellationNames[constellation] << " h" << hierarchy << " symbol " << symbol;
    EXPECT_EQ(bits_of(point.im), bits_of(im))
        << kConstellationNames[constellation] << " h" << hierarchy << " symbol " << symbol;
}

TEST(Mapper, QpskPointsForEveryHierarchy) {
    const float a = 0.707106769f;
    EXPECT_EQ(bits_of(a), 0x3F3504F3u);
    for (Hierarchy h : kAllHierarchies) {
        expect_point(kQpsk, h, 0, a, a);
        expect_point(kQpsk, h, 1, a, -a);
        expect_point(kQpsk, h, 2, -a, a);
        expect_point(kQpsk, h, 3, -a, -a);
    }
}

TEST(Mapper, Qam16UniformPoints) {
    const float lo = 0.316227764f, hi = 0.948683321f;
    for (Hierarchy h : {kNonHierarchical, kAlpha1}) {
        expect_point(kQam16, h, 0, hi, hi);
        expect_point(kQam16, h, 1, hi, lo);
        expect_point(kQam16, h, 2, lo, hi);
        expect_point(kQam16, h, 7, lo, -lo);
        expect_point(kQam16, h, 8, -hi, hi);
        expect_point(kQam16, h, 15, -lo, -lo);
    }
}

TEST(Mapper, Qam64Points) {
    const float m1 = 0.154303357f, m3 = 0.462910056f, m5 = 0.771516740f, m7 = 1.080123425f;
    for (Hierarchy h : {kNonHierarchical, kAlpha1}) {
        expect_point(kQam64, h, 0, m7, m7);
        expect_point(kQam64, h, 1, m7, m5);
        expect_point(kQam64, h, 2, m5, m7);
        expect_point(kQam64, h, 8, m1, m7);
        expect_point(kQam64, h, 10, m3, m7);
        expect_point(kQam64, h, 42, -m3, m7);
        expect_point(kQam64, h, 63, -m3, -m3);
    }
    expect_point(kQam64, kAlpha4, 0, 0.962250471f, 0.962250471f);
    expect_point(kQam64, kAlpha4, 8, 0.384900182f, 0.962250471f);
}

// Every coordinate of every table is the float nearest to the exact value of
// clause 4.3.5 (checked against both float neighbours in long double).
TEST(Mapper, EveryCoordinateIsTheNearestFloatToTheExactPoint) {
    auto expect_nearest = [](float stored, long double exact, const std::string& what) {
        long double error = std::fabs(static_cast<long double>(stored) - exact);
        float below = std::nextafter(stored, -2.0f), above = std::nextafter(stored, 2.0f);
        EXPECT_LT(error, std::fabs(static_cast<long double>(below) - exact)) << what;
        EXPECT_LT(error, std::fabs(static_cast<long double>(above) - exact)) << what;
    };
    for (Constellation c : {kQpsk, kQam16, kQam64}) {
        for (Hierarchy h : kAllHierarchies) {
            const ComplexSample* table = Mapper::constellation_table(c, h);
            for (int s = 0; s < (1 << bits_per_cell[c]); ++s) {
                reference::ExactPoint exact = reference::exact_point(c, h, s);
                std::string what = std::string(kConstellationNames[c]) + " h" + std::to_string(h) +
                                   " symbol " + std::to_string(s);
                expect_nearest(table[s].re, exact.re, what + " I");
                expect_nearest(table[s].im, exact.im, what + " Q");
            }
        }
    }
}

TEST(Mapper, EveryTableHasUnitMeanEnergy) {
    struct Table {
        Constellation c;
        Hierarchy h;
    };
    const Table kSeven[] = {{kQpsk, kNonHierarchical}, {kQam16, kAlpha1}, {kQam16, kAlpha2},
                            {kQam16, kAlpha4},         {kQam64, kAlpha1}, {kQam64, kAlpha2},
                            {kQam64, kAlpha4}};
    for (Table t : kSeven) {
        const ComplexSample* table = Mapper::constellation_table(t.c, t.h);
        const int size = 1 << bits_per_cell[t.c];
        double energy = 0;
        for (int s = 0; s < size; ++s)
            energy += double(table[s].re) * table[s].re + double(table[s].im) * table[s].im;
        EXPECT_NEAR(energy / size, 1.0, 1e-6) << kConstellationNames[t.c] << " h" << t.h;
    }
}

TEST(Mapper, MapsEachCellThroughTheChosenTable) {
    for (Constellation c : {kQpsk, kQam16, kQam64}) {
        for (Hierarchy h : kAllHierarchies) {
            Mapper mapper(c, h);
            const int size = 1 << bits_per_cell[c];
            EXPECT_EQ(mapper.table_size(), size);
            std::vector<uint8_t> symbols;
            for (int i = 0; i < 3 * size; ++i)
                symbols.push_back(static_cast<uint8_t>((i * 7) % size));
            std::vector<ComplexSample> out(symbols.size());
            mapper.process(symbols, out);
            for (size_t i = 0; i < symbols.size(); ++i) {
                ASSERT_EQ(bits_of(out[i].re), bits_of(mapper.table()[symbols[i]].re));
                ASSERT_EQ(bits_of(out[i].im), bits_of(mapper.table()[symbols[i]].im));
            }
        }
    }
}

TEST(Mapper, NonHierarchicalAndAlphaOneShareTheUniformTable) {
    EXPECT_EQ(Mapper::constellation_table(kQam16, kNonHierarchical),
              Mapper::constellation_table(kQam16, kAlpha1));
    EXPECT_EQ(Mapper::constellation_table(kQam64, kNonHierarchical),
              Mapper::constellation_table(kQam64, kAlpha1));
    EXPECT_NE(Mapper::constellation_table(kQam64, kAlpha1),
              Mapper::constellation_table(kQam64, kAlpha2));
}

TEST(Mapper, ByteOutsideTheConstellationStaysInsideTheTable) {
    Mapper mapper(kQpsk, kNonHierarchical);
    uint8_t symbol = 0xFE;  // never written by the bit interleaver
    ComplexSample out{};
    mapper.process(std::span(&symbol, 1), std::span(&out, 1));
    EXPECT_EQ(bits_of(out.re), bits_of(mapper.table()[2].re));
}

TEST(Mapper, RejectsUnknownSettings) {
    EXPECT_THROW(Mapper(static_cast<Constellation>(3), kAlpha1), std::invalid_argument);
    EXPECT_THROW(Mapper(kQam16, static_cast<Hierarchy>(4)), std::invalid_argument);
}

}  // namespace
}  // namespace terramod
