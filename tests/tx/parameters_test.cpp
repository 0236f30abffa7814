#include "tx/parameters.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace terramod {
namespace {

std::string report_text(const TxConfig& config, DerivedRates* rates = nullptr, int verbosity = 4) {
    Log log(verbosity, nullptr);
    std::string text;
    log.capture_to(&text);
    DerivedRates result = report_parameters(config, log);
    if (rates) *rates = result;
    return text;
}

const char kReportHead[] =
    "Terramod v. 1.2j Win32   - Beta (2004/08/23)\n"
    "terramod developers\n"
    "https://terramod.example.org\n"
    "Standard ETSI EN 300 744 V1.1.2 (1997-08)\n"
    "\n"
    "DVB-T Exciter parameters:\n"
    "----------------------------------------------------------\n";

TEST(ParameterReport, DefaultsExact) {
    DerivedRates rates;
    EXPECT_EQ(report_text(TxConfig{}, &rates),
              std::string(kReportHead) +
                  "\tMPEG-2 TS file name : NONE\n"
                  "\tDAC file name       : NONE\n"
                  "\tMode                : 2k\n"
                  "\tConst. order        : 4QAM\n"
                  "\tUnif. order         : NH\n"
                  "\tPrefix duration     : 1/32\n"
                  "\tPuncturing rate     : 1/2\n"
                  "\tChannel spacing     : 8 MHz\n"
                  "\tConvInt init.       : rand\n"
                  "\tFrequency mapping   : zero IF\n"
                  "\tOutput sampling rate: 9.142857 Msps\n"
                  "\tOutput sample time  : 109.375 ns\n"
                  "\tUseful symbol time  : 224.000 micros\n"
                  "\tGuard interval time : 7.000 micros\n"
                  "\tTotal symbol time   : 231.000 micros\n"
                  "\tUseful throughput   : 6.032086 Mbps\n"
                  "\tCarrier spacing     : 4.464 kHz\n"
                  "\tNominal bandwidth   : 7.611607 MHz\n"
                  "----------------------------------------------------------\n");
    EXPECT_EQ(rates.sampling_rate, 64e6 / 7);
    EXPECT_EQ(rates.sample_period, 1 / rates.sampling_rate);
    EXPECT_EQ(rates.nominal_bandwidth, 1705 * rates.sampling_rate / 2048.0);
}

TEST(ParameterReport, SevenMegahertzWithNamesAndOtherSettings) {
    TxConfig config;
    config.input_path = "in.ts";
    config.output_path = "out";
    config.channel_spacing = kSpacing7MHz;
    config.interleaver_init = kInitZero;
    config.frequency_mapping = kBasebandIf;
    config.hierarchy = kAlpha2;
    EXPECT_EQ(report_text(config),
              std::string(kReportHead) +
                  "\tMPEG-2 TS file name : in.ts\n"
                  "\tDAC file name       : out\n"
                  "\tMode                : 2k\n"
                  "\tConst. order        : 4QAM\n"
                  "\tUnif. order         : 2\n"
                  "\tPrefix duration     : 1/32\n"
                  "\tPuncturing rate     : 1/2\n"
                  "\tChannel spacing     : 7 MHz\n"
                  "\tConvInt init.       : zero\n"
                  "\tFrequency mapping   : BB IF\n"
                  "\tOutput sampling rate: 8.000000 Msps\n"
                  "\tOutput sample time  : 125.000 ns\n"
                  "\tUseful symbol time  : 256.000 micros\n"
                  "\tGuard interval time : 8.000 micros\n"
                  "\tTotal symbol time   : 264.000 micros\n"
                  "\tUseful throughput   : 5.278075 Mbps\n"
                  "\tCarrier spacing     : 3.906 kHz\n"
                  "\tNominal bandwidth   : 6.660156 MHz\n"
                  "----------------------------------------------------------\n");
}

// --cell-id adds one line at the end of the report, the identifier in
// decimal and in four hexadecimal digits; without it nothing changes.
TEST(ParameterReport, CellIdentifierLine) {
    const std::string tail = "\tNominal bandwidth   : 7.611607 MHz\n";
    const std::string rule = "----------------------------------------------------------\n";
    struct Case {
        std::optional<uint16_t> cell_id;
        std::string line;
    };
    const Case cases[] = {
        {std::nullopt, ""},
        {uint16_t{0}, "\tCell id             : 0 (0x0000)\n"},
        {uint16_t{42}, "\tCell id             : 42 (0x002A)\n"},
        {uint16_t{0x2A5C}, "\tCell id             : 10844 (0x2A5C)\n"},
        {uint16_t{65535}, "\tCell id             : 65535 (0xFFFF)\n"},
    };
    const std::string plain = report_text(TxConfig{});
    for (const Case& test : cases) {
        TxConfig config;
        config.cell_id = test.cell_id;
        const std::string text = report_text(config);
        SCOPED_TRACE(test.line);
        EXPECT_TRUE(text.ends_with(tail + test.line + rule)) << text;
        EXPECT_EQ(text.substr(0, plain.size() - rule.size()),
                  plain.substr(0, plain.size() - rule.size()));
    }
}

TEST(ParameterReport, SixMegahertzFigures) {
    TxConfig config;
    config.channel_spacing = kSpacing6MHz;
    DerivedRates rates;
    std::string text = report_text(config, &rates);
    EXPECT_EQ(rates.sampling_rate, 48e6 / 7);
    for (const char* line :
         {"\tOutput sampling rate: 6.857143 Msps\n", "\tOutput sample time  : 145.833 ns\n",
          "\tUseful symbol time  : 298.667 micros\n", "\tGuard interval time : 9.333 micros\n",
          "\tTotal symbol time   : 308.000 micros\n", "\tUseful throughput   : 4.524064 Mbps\n",
          "\tCarrier spacing     : 3.348 kHz\n", "\tNominal bandwidth   : 5.708705 MHz\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
}

TEST(ParameterReport, EightKAndLargestRate) {
    TxConfig config;
    config.mode = kMode8k;
    config.constellation = kQam64;
    config.code_rate = kRate7_8;
    config.guard_interval = kGuard1_4;
    std::string text = report_text(config);
    for (const char* line :
         {"\tMode                : 8k\n", "\tConst. order        : 64QAM\n",
          "\tPrefix duration     : 1/4\n", "\tPuncturing rate     : 7/8\n",
          "\tUseful symbol time  : 896.000 micros\n", "\tGuard interval time : 224.000 micros\n",
          "\tTotal symbol time   : 1120.000 micros\n", "\tUseful throughput   : 26.126471 Mbps\n",
          "\tCarrier spacing     : 1.116 kHz\n", "\tNominal bandwidth   : 7.608259 MHz\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
}

TEST(ParameterReport, UsefulThroughputSameFor2kAnd8k) {
    for (int constellation = 0; constellation < 3; ++constellation) {
        for (int rate = 0; rate < 5; ++rate) {
            for (int guard = 0; guard < 4; ++guard) {
                TxConfig config;
                config.constellation = static_cast<Constellation>(constellation);
                config.code_rate = static_cast<CodeRate>(rate);
                config.guard_interval = static_cast<GuardInterval>(guard);
                DerivedRates rates_2k, rates_8k;
                report_text(config, &rates_2k);
                config.mode = kMode8k;
                report_text(config, &rates_8k);
                EXPECT_EQ(rates_2k.useful_throughput, rates_8k.useful_throughput);
            }
        }
    }
}

TEST(ParameterReport, IsLevelTwo) {
    DerivedRates rates;
    EXPECT_EQ(report_text(TxConfig{}, &rates, 1), "");
    EXPECT_EQ(rates.sampling_rate, 64e6 / 7);  // computed even when not printed
    EXPECT_NE(report_text(TxConfig{}, nullptr, 2), "");
}

// Symbols / packets per cycle for every mode, constellation and rate.
TEST(BlockSize, TableOfAllSettings) {
    const int expected[2][3][5][2] = {
        {{{68, 63}, {17, 21}, {136, 189}, {68, 105}, {272, 441}},
         {{34, 63}, {17, 42}, {68, 189}, {34, 105}, {136, 441}},
         {{68, 189}, {17, 63}, {136, 567}, {68, 315}, {272, 1323}}},
        {{{17, 63}, {17, 84}, {34, 189}, {17, 105}, {68, 441}},
         {{17, 126}, {17, 168}, {17, 189}, {17, 210}, {34, 441}},
         {{17, 189}, {17, 252}, {34, 567}, {17, 315}, {68, 1323}}},
    };
    for (int mode = 0; mode < 2; ++mode) {
        for (int constellation = 0; constellation < 3; ++constellation) {
            for (int rate = 0; rate < 5; ++rate) {
                for (int guard = 0; guard < 4; ++guard) {
                    for (int spacing = 0; spacing < 3; ++spacing) {
                        TxConfig config;
                        config.mode = static_cast<OfdmMode>(mode);
                        config.constellation = static_cast<Constellation>(constellation);
                        config.code_rate = static_cast<CodeRate>(rate);
                        config.guard_interval = static_cast<GuardInterval>(guard);
                        config.channel_spacing = static_cast<ChannelSpacing>(spacing);
                        BlockSizes sizes = choose_block_size(config);
                        SCOPED_TRACE(std::string(kModeNames[mode]) + " " +
                                     kConstellationNames[constellation] + " " +
                                     kCodeRateNames[rate]);
                        EXPECT_EQ(sizes.symbols_per_cycle, expected[mode][constellation][rate][0]);
                        EXPECT_EQ(sizes.packets_per_cycle, expected[mode][constellation][rate][1]);
                    }
                }
            }
        }
    }
}

// Every stage works on whole units: the counts agree with each other exactly.
TEST(BlockSize, BufferCountsAreConsistent) {
    const int rate_numerator[] = {1, 2, 3, 5, 7};
    const int rate_denominator[] = {2, 3, 4, 6, 8};
    for (int mode = 0; mode < 2; ++mode) {
        for (int constellation = 0; constellation < 3; ++constellation) {
            for (int rate = 0; rate < 5; ++rate) {
                for (int guard = 0; guard < 4; ++guard) {
                    TxConfig config;
                    config.mode = static_cast<OfdmMode>(mode);
                    config.constellation = static_cast<Constellation>(constellation);
                    config.code_rate = static_cast<CodeRate>(rate);
                    config.guard_interval = static_cast<GuardInterval>(guard);
                    BlockSizes s = choose_block_size(config);
                    const int n = rate_numerator[rate], d = rate_denominator[rate];
                    EXPECT_EQ(s.ts_bytes, 188 * s.packets_per_cycle);
                    EXPECT_EQ(s.rs_bytes, 204 * s.packets_per_cycle);
                    EXPECT_EQ(int64_t{s.coded_bit_count} * d,
                              int64_t{2} * s.punctured_bit_count * n);
                    EXPECT_EQ(int64_t{s.rs_bytes} * 8 * d, int64_t{s.punctured_bit_count} * n);
                    EXPECT_EQ(s.punctured_bit_count, data_carrier_count[mode] *
                                                         bits_per_cell[constellation] *
                                                         s.symbols_per_cycle);
                    EXPECT_EQ(s.cell_count, data_carrier_count[mode] * s.symbols_per_cycle);
                    EXPECT_EQ(s.frame_cell_count, carrier_count[mode] * s.symbols_per_cycle);
                    const int guard_samples = fft_size[mode] / (4 << guard);
                    EXPECT_EQ(s.sample_count,
                              (fft_size[mode] + guard_samples) * s.symbols_per_cycle);
                }
            }
        }
    }
}

TEST(BlockSize, TwoKQpskTwoThirds) {
    TxConfig config;
    config.code_rate = kRate2_3;
    BlockSizes sizes = choose_block_size(config);
    EXPECT_EQ(sizes.symbols_per_cycle, 17);
    EXPECT_EQ(sizes.packets_per_cycle, 21);
    EXPECT_EQ(sizes.coded_bit_count, 68544);
    EXPECT_EQ(sizes.punctured_bit_count, 51408);
}

TEST(BlockSize, DefaultsMatchOneFrame) {
    BlockSizes sizes = choose_block_size(TxConfig{});
    EXPECT_EQ(sizes.symbols_per_cycle, 68);
    EXPECT_EQ(sizes.packets_per_cycle, 63);
    EXPECT_EQ(sizes.ts_bytes, 11844);
    EXPECT_EQ(sizes.rs_bytes, 12852);
    EXPECT_EQ(sizes.coded_bit_count, 205632);
    EXPECT_EQ(sizes.punctured_bit_count, 205632);
    EXPECT_EQ(sizes.cell_count, 102816);
    EXPECT_EQ(sizes.frame_cell_count, 115940);
    EXPECT_EQ(sizes.sample_count, 143616);
}

std::string summary_text(const BlockSizes& sizes, int verbosity = 4) {
    Log log(verbosity, nullptr);
    std::string text;
    log.capture_to(&text);
    write_block_summary(sizes, log);
    return text;
}

TEST(BlockSummary, Defaults) {
    BlockSizes sizes = choose_block_size(TxConfig{});
    EXPECT_EQ(block_buffer_bytes(sizes), 3553420u);
    EXPECT_EQ(summary_text(sizes),
              "        Simulation buffers  : 63 ppc, 68 bpc\n"
              "        Total RAM           : 3.389 MB\n"
              "----------------------------------------------------------\n");
    EXPECT_EQ(summary_text(sizes, 3), "");
}

TEST(BlockSummary, EightK64QamSevenEighthsQuarterGuard) {
    TxConfig config;
    config.mode = kMode8k;
    config.constellation = kQam64;
    config.code_rate = kRate7_8;
    config.guard_interval = kGuard1_4;
    BlockSizes sizes = choose_block_size(config);
    EXPECT_EQ(sizes.sample_count, 696320);
    EXPECT_EQ(block_buffer_bytes(sizes), 20966012u);
    EXPECT_EQ(summary_text(sizes),
              "        Simulation buffers  : 1323 ppc, 68 bpc\n"
              "        Total RAM           : 19.995 MB\n"
              "----------------------------------------------------------\n");
}

// ---- Hierarchical transmission (two streams)

TxConfig hierarchical_config(OfdmMode mode, Constellation constellation, Hierarchy alpha,
                             CodeRate hp, CodeRate lp, GuardInterval guard) {
    TxConfig config;
    config.mode = mode;
    config.constellation = constellation;
    config.hierarchy = alpha;
    config.code_rate = hp;
    config.lp_code_rate = lp;
    config.guard_interval = guard;
    config.lp_input_path = "lp.ts";
    return config;
}

// Every one of the 2 x 2 x 3 x 5 x 5 x 4 settings: the cycle carries whole
// packets of both streams (k/n x bits = 1632 x packets, in integers), no
// shorter cycle would, and the buffers follow from it.
TEST(HierarchicalBlockSize, WholePacketsOfBothStreamsForEverySetting) {
    const int64_t k[] = {1, 2, 3, 5, 7}, n[] = {2, 3, 4, 6, 8};
    int settings = 0;
    for (int mode = 0; mode < 2; ++mode)
        for (Constellation c : {kQam16, kQam64})
            for (Hierarchy alpha : {kAlpha1, kAlpha2, kAlpha4})
                for (int hp = 0; hp < 5; ++hp)
                    for (int lp = 0; lp < 5; ++lp)
                        for (int guard = 0; guard < 4; ++guard) {
                            const TxConfig config = hierarchical_config(
                                static_cast<OfdmMode>(mode), c, alpha, static_cast<CodeRate>(hp),
                                static_cast<CodeRate>(lp), static_cast<GuardInterval>(guard));
                            const BlockSizes s = choose_block_size(config);
                            const int64_t d = data_carrier_count[mode];
                            const int64_t v = bits_per_cell[c];
                            const int64_t symbols = s.symbols_per_cycle;
                            SCOPED_TRACE(::testing::Message() << mode << c << alpha << hp << lp);
                            ASSERT_GT(symbols, 0);
                            ASSERT_LE(symbols, 272);
                            EXPECT_EQ(2 * d * symbols * k[hp], 1632 * n[hp] * s.packets_per_cycle);
                            EXPECT_EQ((v - 2) * d * symbols * k[lp],
                                      1632 * n[lp] * s.lp_packets_per_cycle);
                            for (int64_t shorter = 1; shorter < symbols; ++shorter)
                                ASSERT_FALSE((2 * d * shorter * k[hp]) % (1632 * n[hp]) == 0 &&
                                             ((v - 2) * d * shorter * k[lp]) % (1632 * n[lp]) == 0)
                                    << shorter;
                            EXPECT_EQ(s.punctured_bit_count, 2 * d * symbols);
                            EXPECT_EQ(s.lp_punctured_bit_count, (v - 2) * d * symbols);
                            EXPECT_EQ(s.coded_bit_count, 1632 * 2 * s.packets_per_cycle);
                            EXPECT_EQ(s.lp_coded_bit_count, 1632 * 2 * s.lp_packets_per_cycle);
                            EXPECT_EQ(s.ts_bytes, 188 * s.packets_per_cycle);
                            EXPECT_EQ(s.lp_rs_bytes, 204 * s.lp_packets_per_cycle);
                            EXPECT_EQ(s.cell_count, d * symbols);
                            ++settings;
                        }
    EXPECT_EQ(settings, 2 * 2 * 3 * 5 * 5 * 4);
}

// Useful bit rates of EN 300 744 Annex E for 8 MHz channels, Mbit/s, by code
// rate (rows) and guard interval 1/4, 1/8, 1/16, 1/32 (columns). In the
// hierarchical modes the HP stream has the QPSK rates, the LP stream of
// 16QAM the QPSK rates and the LP stream of 64QAM the 16QAM rates.
constexpr double kAnnexQpsk[5][4] = {{4.98, 5.53, 5.85, 6.03},
                                     {6.64, 7.37, 7.81, 8.04},
                                     {7.46, 8.29, 8.78, 9.05},
                                     {8.29, 9.22, 9.76, 10.05},
                                     {8.71, 9.68, 10.25, 10.56}};
constexpr double kAnnex16Qam[5][4] = {{9.95, 11.06, 11.71, 12.06},
                                      {13.27, 14.75, 15.61, 16.09},
                                      {14.93, 16.59, 17.56, 18.10},
                                      {16.59, 18.43, 19.52, 20.11},
                                      {17.42, 19.35, 20.49, 21.11}};

TEST(HierarchicalReport, BothUsefulRatesMatchTheAnnexTables) {
    for (Constellation c : {kQam16, kQam64})
        for (int hp = 0; hp < 5; ++hp)
            for (int lp = 0; lp < 5; ++lp)
                for (int guard = 0; guard < 4; ++guard) {
                    DerivedRates rates;
                    const std::string text = report_text(
                        hierarchical_config(kMode8k, c, kAlpha2, static_cast<CodeRate>(hp),
                                            static_cast<CodeRate>(lp),
                                            static_cast<GuardInterval>(guard)),
                        &rates);
                    const double lp_table =
                        c == kQam16 ? kAnnexQpsk[lp][guard] : kAnnex16Qam[lp][guard];
                    EXPECT_NEAR(rates.useful_throughput * 1e-6, kAnnexQpsk[hp][guard], 0.005);
                    EXPECT_NEAR(rates.lp_useful_throughput * 1e-6, lp_table, 0.005);
                    EXPECT_NE(text.find("\tLP puncturing rate  : " +
                                        std::string(kCodeRateNames[lp]) + "\n"),
                              std::string::npos);
                    EXPECT_NE(text.find("\tLP useful throughput: "), std::string::npos);
                }
}

// --bandwidth: the sampling rate is 8/7 of it, and 2 MHz gives the figures
// of a 2 MHz channel: a quarter of the 8 MHz rates.
TEST(BandwidthReport, SamplingRateIsEightSeventhsOfTheBandwidth) {
    TxConfig config;
    config.bandwidth_hz = 2e6;
    DerivedRates rates;
    const std::string text = report_text(config, &rates);
    EXPECT_DOUBLE_EQ(rates.sampling_rate, 16e6 / 7);
    EXPECT_NE(text.find("\tOutput sampling rate: 2.285714 Msps\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\tChannel bandwidth   : 2.000000 MHz\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Channel spacing"), std::string::npos);
    DerivedRates eight;
    report_text(TxConfig{}, &eight);
    EXPECT_NEAR(rates.useful_throughput * 4, eight.useful_throughput, 1e-6);
    EXPECT_NEAR(rates.nominal_bandwidth * 4, eight.nominal_bandwidth, 1e-6);
    config.bandwidth_hz = 500000;
    report_text(config, &rates);
    EXPECT_NEAR(rates.sampling_rate, 571428.5714285714, 1e-6);
}

}  // namespace
}  // namespace terramod
