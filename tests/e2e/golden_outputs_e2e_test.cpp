// Content check of the whole wiring: every file of four runs over the first
// 300 packets of the bundled sample against SHA-256 digests recorded from a
// build whose files were decoded by GNU Radio's receiver. A dump written from
// the wrong buffer, a skipped stage or a swapped Agilent pair changes a digest.
//
// The digests pin regressions; they do not say what is right. What each
// pinned setting is checked against elsewhere (independent oracles):
// - stages, every mode, constellation, alpha and code rate: the bit-by-bit
//   oracles of tests/outer (energy dispersal PRBS and group rule, Reed-Solomon
//   by bitwise GF(256) arithmetic, interleaver delay rule), tests/inner
//   (reference_inner.h: encoder, puncturing, bit and symbol interleavers,
//   mapper points; InnerChain.EverySettingMatchesTheBitwiseOraclesOverSeveral-
//   Cycles), tests/ofdm (reference_frame_builder.h, reference_ifft.h,
//   reference_interpolator.h; TPS fields and BCH parity of every setting,
//   TpsWord.FieldsAndBchPropertyForEverySetting);
// - the outer chain with -c 0: OuterPeer.SameBytesAsGrDtv (gr-dtv's blocks);
// - the cells (-d f, the _fd.bin dump): tests/interop/cell_agreement.py, every
//   data, pilot and TPS cell against gr-dtv's transmitter (with -c 0);
// - the signal (-d t): decoded packet for packet by gr-dtv's receiver in
//   tests/interop/run_interop.py, group by group as noted at each run;
// - the _ed.bin dump: descrambled by tests/interop/rate_adaptation_rx.py;
// - the _ve, _pu, _bi, _si and _ma dumps of runs 0 to 2: the bit-by-bit
//   oracles of tests/inner applied to the dump before each
//   (GoldenSettingsInnerDumpsAreTheOraclesOfTheDumpBefore, below);
// - the Agilent level (decoding does not depend on it):
//   SampleTypeAgilentLevelE2e, from the words alone.
// The _rs and _ci dump files hold buffers the outer oracles check, but their
// contents are pinned only here (their sizes in run_e2e_test.cpp). Not
// checked independently anywhere: the pseudo-random fill of -c rand (the
// literal values of OuterInterleaver.RandomFillValues; a receiver discards
// those bytes). -b changes no sample.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "ofdm/simd_kernels.h"
#include "tests/e2e/e2e_support.h"
#include "tests/inner/reference_inner.h"

namespace terramod::e2e {
namespace {

struct GoldenRun {
    const char* name;
    std::vector<std::string> arguments;
    std::map<std::string, std::string> digests;  // file name -> SHA-256
};

const std::vector<GoldenRun> kGoldenRuns = {
    // 2k QPSK 1/2 1/32, -c rand, zero IF, standard format: the same settings
    // decoded from the whole sample by gr-dtv (interop group sample_stream;
    // 2k QPSK 1/2 also in group qpsk); cells: cell_agreement's first case
    // (with -c 0).
    {"defaults",
     {"-d", "ercvpbsmft"},
     {{"out.bin", "8eeae28da80927b8439e78e2e42746aef01424633bba6db94613daf14e97a197"},
      {"out_bi.bin", "6bb08af21293911df0ba73fb614077f180951165bd52915cc46ef4b25d88a79e"},
      {"out_ci.bin", "d02bcbdb0d970d43e103ff816671313718a7563de83b84b1396939806180bb92"},
      {"out_ed.bin", "19d66e0240c9a6e3a0c091720a7994a951f688df62b999fc7b809a160bdfca33"},
      {"out_fd.bin", "d8cf72503e57d1467428023eecf20b1756ba514da4d8d2a2f9231379fd7c2ca9"},
      {"out_ma.bin", "8e5d646c0783ed570196d139b836ef3072e30b9e6febda8c7d8b2a7b50fa30cd"},
      {"out_pu.bin", "1b2d84ed0241da6ef145c5ad8269f14380c89327366934478ea54729481e6775"},
      {"out_rs.bin", "a5346c5b242932e9d49a3e39ff6cd68edf0da31f7cd72d54db4bff3366565374"},
      {"out_si.bin", "84667aee6e888a6f8ba5bc7582445ce6d3e8accd59051594c0270e317ca652b7"},
      {"out_ve.bin", "1b2d84ed0241da6ef145c5ad8269f14380c89327366934478ea54729481e6775"}}},
    {"8k 64QAM alpha 2 7/8 1/4 BB IF zero fill 4x",
     {"-8k", "-M", "64", "-a", "2", "-p", "7/8", "-D", "1/4", "-f", "BBIF", "-c", "0", "-d",
      "ercvpbsmft", "-F", "4x"},
     // BB IF interpolated at zero IF and moved up by half the base rate (the
     // filters used to cut the BB IF band away); the interop suite decodes
     // this format (signal_quality group: 8k QPSK 5/6 -c 0 BB IF 4x, 2k 64QAM
     // BB IF 4x) and SignalQualityE2e compares it with the zero IF output
     // shifted by a complex exponential. 8k 64QAM alpha 2 7/8 -c 0: interop
     // group non_uniform (guard 1/8, zero IF, 1x); 8k 64QAM 7/8 1/4: groups
     // 64qam and sample_types; cells of 8k 64QAM alpha 2 and of 8k 64QAM 7/8
     // 1/4: cell_agreement; -c 0: OuterPeer (gr-dtv). This combination as a
     // whole is decoded nowhere.
     {{"out.bin", "ce35526b9e0cd166d508cbb60faf7d4adfe9124f36f88b463f113eac7e6b083f"},
      {"out_bi.bin", "32c9b87b8dc6a97ca715f598b64e53f0d35a7de1e4ff32294eeece53775e8e4d"},
      {"out_ci.bin", "acae191946990f7eb3604ed0f6f89c96360231ce1395f87c576336ecf3236f35"},
      {"out_ed.bin", "0f94eb666620dc14667160913d28a36c173f7d020e9bccf1ff486ecc950623e2"},
      {"out_fd.bin", "869594af8490eff467dd7a1599dbab8d9d56b4999efefe4dababe0c924728300"},
      {"out_ma.bin", "a4679506e75fc50089a85343247fdf4924827c90d82b2d767ddb1662c27e90a4"},
      {"out_pu.bin", "dd048c5c0b84f66f9cba0fad47466a47eeec7c40513da1bfd68af024c9d24c7e"},
      {"out_rs.bin", "f386e30dba28c18f23c10a01d594e5d0a0785301713eb66ac7b5d250cfc5246a"},
      {"out_si.bin", "9ff3b59bb23051e783be6e6896b62f76c460528eff0b597f272e3b198a46afcc"},
      {"out_ve.bin", "f7cea883c1bdee10fb0398f996dd079dcfffd27d92a901b353e4e6a311968153"}}},
    // Agilent words decoded by gr-dtv in interop group output_formats (2k
    // 64QAM 3/4 1/8, 8k 16QAM 2/3, 2k QPSK BB IF 6 MHz), the I and Q files
    // read by the offset and scale of tests/interop/signal_formats.py; 2k
    // 16QAM 2/3 at 6 MHz with -c rand: group 16qam (guard 1/16, BB IF); cells
    // of 2k 16QAM alpha 2 2/3 and 16QAM 3/4 1/8: cell_agreement.
    {"16QAM 2/3 1/8 6 MHz Agilent",
     {"-M", "16", "-p", "2/3", "-b", "6", "-D", "1/8", "-d", "ercvpbsmft", "-F", "agi"},
     {{"out_I.bin", "11b728417f22d5ed137bbb5fd388fc9bcc4074a6d05dbd9c40060e65ab8c0f91"},
      {"out_Q.bin", "4776ea09214838eeb32854c15a77959e19933f49642e5fbb5e96ae03c34e2c1c"},
      {"out_bi.bin", "b6cd124b97081458c5011df2b5dc9b773b176bf93ed5bdd34e4a839b418fdd80"},
      {"out_ci.bin", "c976ab65e7c660913e08a60526445012db70fc579964354087f1dcf41666922f"},
      {"out_ed.bin", "58efe7b11badbef12bf970d9334470d5f5160d94ad3be47ccfb4797a7c724112"},
      {"out_fd.bin", "b2c6ea7e843d43213d5ddfea71cf23265b8338e675f63b8362dd5f9a82e60703"},
      {"out_ma.bin", "98d8408b149461c2d6687b6d7b0d2c9bd0cf8e0d46fdc96cfe05ab2ae3c1a726"},
      {"out_pu.bin", "325231c569e1243538ec56c07be875bbfffbec6138944e925a83a60dcf17e603"},
      {"out_rs.bin", "560072b38360d1d3d8a7e4dedfbc28df64632507b9ac8e58888d41b0b36620cf"},
      {"out_si.bin", "010487a185e3b86b56c6cdd5d50b136250da200d1aee87bb62fa7f4f6619065b"},
      {"out_ve.bin", "1de3e92552757a0083cfa8f44a59866baa66b06730f1f951da46d2bc9e3f8cd4"}}},
    // 8k 16QAM alpha 4: interop group non_uniform (1/2 1/8) and the cells
    // of 8k 16QAM alpha 4 5/6 in cell_agreement; 16QAM 3/4: group 16qam; 2x:
    // groups output_formats (2k 16QAM 7 MHz 2x, 8k QPSK 2x) and
    // signal_quality (8k 16QAM 3/4 2x), the interpolator against
    // reference_interpolator.h.
    {"8k 16QAM alpha 4 3/4 1/16 7 MHz 2x",
     {"-8k", "-M", "16", "-a", "4", "-p", "3/4", "-D", "1/16", "-b", "7", "-d", "t", "-F", "2x"},
     {{"out.bin", "55b3363de5bb7388986b827392fb9d83349dd4086ce1d71430a67652291a89b0"}}},
};

class GoldenOutputsE2e : public E2eTest, public ::testing::WithParamInterface<GoldenRun> {};

TEST_P(GoldenOutputsE2e, EveryFileHasItsRecordedDigest) {
    const GoldenRun& golden = GetParam();
    const std::string sample = read_file(fs::path(TERRAMOD_SOURCE_DIR) / "samples/testcard.ts");
    ASSERT_GE(sample.size(), 300u * 188);
    write_file(path("in.ts"), sample.substr(0, 300 * 188));
    std::vector<std::string> arguments = {"-i", "in.ts", "-o", "out", "-l", "run.log"};
    arguments.insert(arguments.end(), golden.arguments.begin(), golden.arguments.end());
    ASSERT_EQ(run(arguments).exit_code, 0);
    std::map<std::string, std::string> digests;
    for (const std::string& name : files())
        if (ends_with(name, ".bin")) digests[name] = sha256_of(path(name));
    EXPECT_EQ(digests, golden.digests) << golden.name;
}

INSTANTIATE_TEST_SUITE_P(Settings, GoldenOutputsE2e, ::testing::ValuesIn(kGoldenRuns),
                         [](const ::testing::TestParamInfo<GoldenRun>& info) {
                             return "Run" + std::to_string(info.index);
                         });

// The inner dump files of the golden settings against the bit-by-bit oracles
// of tests/inner (EN 300 744 clauses 4.3.3 to 4.3.5), each computed from the
// dump before it: the encoder from the outer interleaver's bytes, then the
// puncturing, the bit and symbol interleavers and the mapper's points.
struct InnerDumpCase {
    std::vector<std::string> arguments;
    OfdmMode mode;
    Constellation constellation;
    Hierarchy hierarchy;
    CodeRate rate;
};

std::vector<uint8_t> bytes_of(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

TEST_F(E2eTest, GoldenSettingsInnerDumpsAreTheOraclesOfTheDumpBefore) {
    const std::string sample = read_file(fs::path(TERRAMOD_SOURCE_DIR) / "samples/testcard.ts");
    write_file(path("in.ts"), sample.substr(0, 300 * 188));
    const InnerDumpCase cases[] = {
        {{}, kMode2k, kQpsk, kNonHierarchical, kRate1_2},
        {{"-8k", "-M", "64", "-a", "2", "-p", "7/8", "-D", "1/4", "-c", "0"},
         kMode8k,
         kQam64,
         kAlpha2,
         kRate7_8},
        {{"-M", "16", "-p", "2/3", "-D", "1/8"}, kMode2k, kQam16, kNonHierarchical, kRate2_3},
    };
    for (const InnerDumpCase& c : cases) {
        SCOPED_TRACE(c.arguments.empty() ? "defaults" : c.arguments[0] + " " + c.arguments[2]);
        std::vector<std::string> arguments = {"-i", "in.ts",  "-o", "out",
                                              "-d", "cvpbsm", "-v", "0"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        ASSERT_EQ(run(arguments).exit_code, 0);
        reference::Encoder encoder;
        const std::vector<uint8_t> coded = bytes_of(read_file(path("out_ve.bin")));
        ASSERT_FALSE(coded.empty());
        EXPECT_EQ(coded, encoder.encode(bytes_of(read_file(path("out_ci.bin")))));
        reference::Puncturer puncturer{c.rate};
        const std::vector<uint8_t> punctured = bytes_of(read_file(path("out_pu.bin")));
        EXPECT_EQ(punctured, puncturer.puncture(coded));
        const std::vector<uint8_t> words = bytes_of(read_file(path("out_bi.bin")));
        EXPECT_EQ(words, reference::bit_interleave(c.constellation, punctured));
        const std::vector<uint8_t> cells = bytes_of(read_file(path("out_si.bin")));
        EXPECT_EQ(cells, reference::symbol_interleave(c.mode, -1, words));
        const std::string points = read_file(path("out_ma.bin"));
        ASSERT_EQ(points.size(), cells.size() * 8);
        for (size_t cell = 0; cell < cells.size(); ++cell) {
            float re = 0, im = 0;
            std::memcpy(&re, points.data() + 8 * cell, 4);
            std::memcpy(&im, points.data() + 8 * cell + 4, 4);
            const reference::ExactPoint exact =
                reference::exact_point(c.constellation, c.hierarchy, cells[cell]);
            ASSERT_NEAR(re, double(exact.re), 1e-6) << cell;
            ASSERT_NEAR(im, double(exact.im), 1e-6) << cell;
        }
    }
}

// The recorded signal digests again on every vector kernel set this machine
// runs (forced through TERRAMOD_SIMD) and with the packed-bit path (no v or p
// dump); a name it cannot run gives a warning and the same signal.
class SimdPathsE2e : public E2eTest {
  protected:
    void TearDown() override {
        unsetenv(kSimdEnvironmentVariable);
        E2eTest::TearDown();
    }
};

TEST_F(SimdPathsE2e, EveryPathAndThePackedBitsGiveTheRecordedSignal) {
    const std::string sample = read_file(fs::path(TERRAMOD_SOURCE_DIR) / "samples/testcard.ts");
    write_file(path("in.ts"), sample.substr(0, 300 * 188));
    struct Case {
        std::vector<std::string> arguments;
        const char* digest;
    };
    const Case cases[] = {{{"-8k", "-M", "64", "-a", "2", "-p", "7/8", "-D", "1/4", "-f", "BBIF",
                            "-c", "0", "-d", "t", "-F", "4x"},
                           kGoldenRuns[1].digests.at("out.bin").c_str()},
                          {{"-8k", "-M", "16", "-a", "4", "-p", "3/4", "-D", "1/16", "-b", "7",
                            "-d", "t", "-F", "2x"},
                           kGoldenRuns[3].digests.at("out.bin").c_str()},
                          {{"-d", "bsmft"}, kGoldenRuns[0].digests.at("out.bin").c_str()}};
    std::vector<std::string> paths = {"no such path"};
    for (const SimdKernels* kernels : available_kernels()) paths.push_back(kernels->name);
    for (const std::string& name : paths) {
        setenv(kSimdEnvironmentVariable, name.c_str(), 1);
        for (const Case& c : cases) {
            std::vector<std::string> arguments = {"-i", "in.ts", "-o", "out", "-l", "run.log"};
            arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
            const RunResult result = run(arguments);
            ASSERT_EQ(result.exit_code, 0) << name;
            EXPECT_EQ(sha256_of(path("out.bin")), c.digest) << name << " " << c.arguments[0];
            EXPECT_EQ(result.console.find("names no SIMD path") != std::string::npos,
                      name == "no such path")
                << name;
        }
    }
}

// --arithmetic fast: every kernel set and 1, 2 or 3 threads give the bytes
// recorded on x86-64 with AVX-512, which any other machine (64-bit ARM
// included) must give too: the arithmetic is defined to the bit.
TEST_F(SimdPathsE2e, TheFastArithmeticGivesTheRecordedSignalOnEveryPathAndThreadCount) {
    const std::string sample = read_file(fs::path(TERRAMOD_SOURCE_DIR) / "samples/testcard.ts");
    write_file(path("in.ts"), sample.substr(0, 300 * 188));
    struct Case {
        std::vector<std::string> settings;
        const char* digest;
    };
    const Case cases[] = {
        {{"-2k", "-M", "16", "-p", "2/3", "-D", "1/8"},
         "18559f282bf5d357483aef90e7f32e730672891953a1b13b72f5d77b707984a9"},
        {{"-8k", "-M", "64", "-a", "2", "-p", "7/8", "-D", "1/4", "-f", "BBIF", "-F", "4x"},
         "7f33a3e918153a1853d682f2ab39ac1f3047a9eb9911cae32322b486dc07ce46"},
        {{"-8k", "-M", "16", "-p", "3/4", "-D", "1/32", "-F", "2x", "--window", "64"},
         "5c9acfebd4ea0b5036dd4fc543d83e5c258a6479bb5fd2fc8dbd523708d6fbb1"},
    };
    for (const SimdKernels* kernels : available_kernels()) {
        setenv(kSimdEnvironmentVariable, kernels->name, 1);
        for (const char* threads : {"1", "2", "3"}) {
            for (const Case& c : cases) {
                std::vector<std::string> arguments = {"-i", "in.ts",   "-o",           "out",
                                                      "-d", "t",       "--threads",    threads,
                                                      "-l", "run.log", "--arithmetic", "fast"};
                arguments.insert(arguments.end(), c.settings.begin(), c.settings.end());
                ASSERT_EQ(run(arguments).exit_code, 0);
                EXPECT_EQ(sha256_of(path("out.bin")), c.digest)
                    << kernels->name << " --threads " << threads << " " << c.settings[0] << " "
                    << c.settings.back();
            }
        }
    }
}

}  // namespace
}  // namespace terramod::e2e
