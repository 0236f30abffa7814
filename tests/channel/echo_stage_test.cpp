// The echo stage: impulse responses against EN 300 744 Table B.1 (typed in
// here again from EN 300 744) and against the taps asked for, the
// frequency shift of a tap, the Clarke fading's power and autocorrelation,
// and the same bytes whatever the cycles and tasks.
#include "channel/echo_stage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace terramod {
namespace {

using Cx = std::complex<double>;

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate4x = 64e6 / 7 * 4;  // 8 MHz channel, output at 4x
constexpr double kRate16x = 64e6 / 7 * 16;

// EN 300 744 Table B.1: rho_i, tau_i (us), theta_i (rad).
struct TablePath {
    double rho, tau_us, theta;
};
const std::vector<TablePath> kTable = {
    {0.057662, 1.003019, 4.855121}, {0.176809, 5.422091, 3.419109}, {0.407163, 0.518650, 5.864470},
    {0.303585, 2.751772, 2.215894}, {0.258782, 0.602895, 3.758058}, {0.061831, 1.016585, 5.430202},
    {0.150340, 0.143556, 3.952093}, {0.051534, 0.153832, 1.093586}, {0.185074, 3.324866, 5.775198},
    {0.400967, 1.935570, 0.154459}, {0.295723, 0.429948, 5.928383}, {0.350825, 3.228872, 3.053023},
    {0.262909, 0.848831, 0.628578}, {0.225894, 0.073883, 2.128544}, {0.170996, 0.203952, 1.099463},
    {0.149723, 0.194207, 3.462951}, {0.240140, 0.924450, 3.664773}, {0.116587, 1.381320, 2.833799},
    {0.221155, 0.640512, 3.334290}, {0.259730, 1.368671, 0.393889},
};
// tau_i x rate, rounded by hand: paths 1 and 6 share sample 37 at 4x, paths
// 15 and 16 sample 7; at 16x no two paths share a sample.
const std::vector<int> kDelays4x = {37, 198, 19, 101, 22, 37, 5,  6,  122, 71,
                                    16, 118, 31, 3,   7,  7,  34, 51, 23,  50};
const std::vector<int> kDelays16x = {147, 793, 76,  403, 88, 149, 21,  23,  486, 283,
                                     63,  472, 124, 11,  30, 28,  135, 202, 94,  200};
const std::vector<int> kDelays1MHz = {1, 5, 1, 3, 1, 1, 0, 0, 3, 2, 0, 3, 1, 0, 0, 0, 1, 1, 1, 1};

double table_power() {
    double sum = 0;
    for (const TablePath& path : kTable) sum += path.rho * path.rho;
    return sum;
}
// The factor on every path of table B.1 (the direct path of F1 is
// sqrt(10 / 11) after it).
double profile_scale(EchoProfile profile) {
    return profile == EchoProfile::kFixedF1 ? 1 / std::sqrt(11 * table_power())
                                            : 1 / std::sqrt(table_power());
}
Cx table_gain(const TablePath& path, EchoProfile profile) {
    return profile_scale(profile) * path.rho * std::polar(1.0, -path.theta);
}

ChannelSettings settings_of(EchoProfile profile, std::vector<EchoTap> taps = {},
                            std::optional<double> doppler = {}, uint64_t seed = 1) {
    ChannelSettings settings;
    settings.echo_profile = profile;
    settings.echoes = std::move(taps);
    settings.doppler_hz = doppler;
    settings.seed = seed;
    return settings;
}

// The input through the stage in cycles of the lengths `cuts` (the rest as
// a last cycle), each split into `tasks` tasks (0: the stage's own count)
// run last first, or side by side on threads of their own.
std::vector<ComplexSample> run(SampleStage& stage, const std::vector<ComplexSample>& input,
                               std::vector<size_t> cuts = {}, int32_t tasks = 0,
                               bool threads = false) {
    size_t covered = 0;
    for (size_t cut : cuts) covered += cut;
    if (covered < input.size()) cuts.push_back(input.size() - covered);
    std::vector<ComplexSample> output;
    size_t at = 0;
    for (size_t cut : cuts) {
        std::vector<ComplexSample> cycle(input.begin() + static_cast<std::ptrdiff_t>(at),
                                         input.begin() + static_cast<std::ptrdiff_t>(at + cut));
        stage.start_cycle(cycle);
        const int32_t count = tasks > 0 ? tasks : stage.task_count(cycle.size());
        if (threads) {
            std::vector<std::thread> running;
            for (int32_t task = 0; task < count; ++task)
                running.emplace_back(
                    [&stage, &cycle, task, count] { stage.process(cycle, task, count); });
            for (std::thread& thread : running) thread.join();
        } else {
            for (int32_t task = count - 1; task >= 0; --task) stage.process(cycle, task, count);
        }
        output.insert(output.end(), cycle.begin(), cycle.end());
        at += cut;
    }
    return output;
}

Cx at(const std::vector<ComplexSample>& samples, size_t n) {
    return {samples[n].re, samples[n].im};
}

double db(double power_ratio) {
    return 10 * std::log10(power_ratio);
}

TEST(EchoStage, ProfilesFollowTableB1) {
    struct Case {
        EchoProfile profile;
        double rate;
        const std::vector<int>* delays;
    };
    const std::vector<Case> cases = {{EchoProfile::kFixedF1, kRate4x, &kDelays4x},
                                     {EchoProfile::kPortableP1, kRate4x, &kDelays4x},
                                     {EchoProfile::kFixedF1, kRate16x, &kDelays16x},
                                     {EchoProfile::kPortableP1, kRate16x, &kDelays16x}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "profile " << static_cast<int>(c.profile) << " rate " << c.rate);
        // The paths that round to the same sample add up.
        std::map<int, Cx> expected;
        if (c.profile == EchoProfile::kFixedF1) expected[0] = std::sqrt(10.0 / 11.0);
        for (size_t i = 0; i < kTable.size(); ++i)
            expected[(*c.delays)[i]] += table_gain(kTable[i], c.profile);
        // An impulse 100 samples in; the first cycle ends at 150, so most
        // echoes come out of the history in the next.
        const size_t impulse = 100;
        std::vector<ComplexSample> input(impulse + 900, ComplexSample{0, 0});
        input[impulse] = {1, 0};
        const auto stage = make_echo_stage(settings_of(c.profile), c.rate);
        ASSERT_NE(stage, nullptr);
        const auto output = run(*stage, input, {150});
        int taps = 0;
        double power = 0;
        for (size_t n = 0; n < output.size(); ++n) {
            const int delay = static_cast<int>(n) - static_cast<int>(impulse);
            const auto tap = expected.find(delay);
            const Cx want = tap == expected.end() ? Cx{} : tap->second;
            EXPECT_NEAR(at(output, n).real(), want.real(), 1e-6) << delay;
            EXPECT_NEAR(at(output, n).imag(), want.imag(), 1e-6) << delay;
            if (tap == expected.end()) continue;
            ++taps;
            EXPECT_NEAR(db(std::norm(at(output, n))), db(std::norm(want)), 0.2) << delay;
            power += std::norm(at(output, n));
        }
        EXPECT_EQ(taps, static_cast<int>(expected.size()));
        // Each path alone on its sample at 16x: the powers add up to 1, and
        // F1's direct path is 10 dB above the others together.
        if (c.rate != kRate16x) continue;
        EXPECT_NEAR(power, 1.0, 1e-5);
        const double direct = std::norm(at(output, impulse));
        if (c.profile == EchoProfile::kFixedF1) {
            EXPECT_NEAR(db(direct / (power - direct)), 10, 0.01);
        }
    }
}

TEST(EchoStage, TapsAsAsked) {
    struct Expected {
        int delay;
        Cx gain;
    };
    const Cx f1_direct = std::sqrt(10.0 / 11.0);
    struct Case {
        const char* name;
        EchoProfile profile;
        std::vector<EchoTap> taps;
        std::vector<Expected> expected;  // every other sample is 0
    };
    auto gain = [](double db, double degrees) {
        return std::pow(10.0, db / 20) * std::polar(1.0, degrees * kPi / 180);
    };
    // Delays at 4x: 1 us is 36.57 samples, 1.01 us 36.94, 2.5 us 91.43,
    // 10 us 365.7, 0.2 us 7.31.
    const std::vector<Case> cases = {
        {"identity", EchoProfile::kNone, {{0, 0, 0, 0}}, {{0, 1.0}}},
        {"three paths",
         EchoProfile::kNone,
         {{0, 0, 0, 0}, {1.0, -6, 90, 0}, {2.5, -20, -45, 0}},
         {{0, 1.0}, {37, gain(-6, 90)}, {91, gain(-20, -45)}}},
        {"not normalised", EchoProfile::kNone, {{0, 6, 180, 0}}, {{0, gain(6, 180)}}},
        {"no direct path implied", EchoProfile::kNone, {{10, -3, 30, 0}}, {{366, gain(-3, 30)}}},
        {"two taps on one sample",
         EchoProfile::kNone,
         {{1.0, -3, 0, 0}, {1.01, -3, 90, 0}},
         {{37, gain(-3, 0) + gain(-3, 90)}}},
        {"added to F1's direct path",
         EchoProfile::kFixedF1,
         {{0, -10, 0, 0}, {0.2, -30, 60, 0}},
         {{0, f1_direct + gain(-10, 0)},
          {7, gain(-30, 60) + table_gain(kTable[14], EchoProfile::kFixedF1) +
                  table_gain(kTable[15], EchoProfile::kFixedF1)}}},
        {"a direct path for P1", EchoProfile::kPortableP1, {{0, 0, 0, 0}}, {{0, 1.0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::map<int, Cx> expected;
        if (c.profile != EchoProfile::kNone)
            for (size_t i = 0; i < kTable.size(); ++i)
                expected[kDelays4x[i]] += table_gain(kTable[i], c.profile);
        if (c.profile == EchoProfile::kFixedF1) expected[0] += f1_direct;
        // The checked samples replace what the profile puts there.
        for (const Expected& e : c.expected) expected[e.delay] = e.gain;
        std::vector<ComplexSample> input(600, ComplexSample{0, 0});
        input[0] = {1, 0};
        const auto stage = make_echo_stage(settings_of(c.profile, c.taps), kRate4x);
        ASSERT_NE(stage, nullptr);
        const auto output = run(*stage, input, {50, 50});
        for (size_t n = 0; n < output.size(); ++n) {
            const auto tap = expected.find(static_cast<int>(n));
            const Cx want = tap == expected.end() ? Cx{} : tap->second;
            EXPECT_NEAR(at(output, n).real(), want.real(), 2e-6) << n;
            EXPECT_NEAR(at(output, n).imag(), want.imag(), 2e-6) << n;
        }
    }
}

TEST(EchoStage, TapDopplerIsAFrequencyShift) {
    struct Case {
        double doppler_hz, delay_us, gain_db, phase_deg;
        int delay;  // samples at 4x
    };
    const std::vector<Case> cases = {
        {50, 0, 0, 0, 0}, {-120.5, 1.0, -6, 30, 37}, {0.3, 2.5, 0, -90, 91}, {987.6, 0, 3, 0, 0}};
    // A tone of 1.234 MHz, 200000 samples (5.5 ms) in uneven cycles.
    constexpr double kTone = 1.234e6;
    constexpr size_t kLength = 200000;
    std::vector<ComplexSample> input(kLength);
    for (size_t n = 0; n < kLength; ++n) {
        const Cx x = 0.5 * std::polar(1.0, 2 * kPi * kTone * static_cast<double>(n) / kRate4x);
        input[n] = {static_cast<float>(x.real()), static_cast<float>(x.imag())};
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.doppler_hz << " Hz");
        const auto stage = make_echo_stage(
            settings_of(EchoProfile::kNone, {{c.delay_us, c.gain_db, c.phase_deg, c.doppler_hz}}),
            kRate4x);
        const auto output = run(*stage, input, {70001, 4095, 64});
        for (int n = 0; n < c.delay; ++n) EXPECT_EQ(std::norm(at(output, n)), 0.0);
        // The output's frequency (phase advance per sample, averaged).
        Cx advance = 0;
        for (size_t n = c.delay; n + 1 < kLength; ++n)
            advance += at(output, n + 1) * std::conj(at(output, n));
        const double measured = std::arg(advance) / (2 * kPi) * kRate4x;
        EXPECT_NEAR(measured - kTone, c.doppler_hz, 0.1);
        // Sample by sample: the delayed input times gain e^{j 2 pi f n / Fs},
        // n counted from the first sample, across the cycles.
        double worst = 0;
        for (size_t n = c.delay; n < kLength; ++n) {
            const double turns = c.doppler_hz * static_cast<double>(n) / kRate4x;
            const Cx want = at(input, n - c.delay) * std::pow(10.0, c.gain_db / 20) *
                            std::polar(1.0, c.phase_deg * kPi / 180 + 2 * kPi * turns);
            worst = std::max(worst, std::abs(at(output, n) - want));
        }
        EXPECT_LT(worst, 1e-6);
    }
}

// One process over T = 4000 / f_d. In the long run its power averages to
// 1 (each oscillator's mean square is 1/2, over M) and its autocorrelation
// to J0 but for J_64 terms (nothing at f_d tau <= 2). What is left over T
// are the beats between oscillators, one of frequency df adding at most
// 1 / (M pi df T): within I or within Q the oscillators are at least
// f_d (pi / 2M)^2 / 2 = 0.005 f_d apart (0.001 each), between I and Q (the
// imaginary part) about 0.0012 f_d at the spectrum's edges, a few pairs
// (0.004 each): 0.01 covers them. The time below -10 dB is a Rayleigh
// envelope's, 1 - e^-0.1 = 0.095; over T it comes in about 0.72 f_d T =
// 2900 fades, which makes it uncertain by about 0.095 x 1.4 / sqrt(2900) =
// 0.0025: 0.01 is 4 of those.
TEST(ClarkeFading, PowerAndAutocorrelationOverTime) {
    constexpr double kDoppler = 10.0;
    constexpr double kStep = 0.05 / kDoppler;                    // 20 samples a Doppler period
    constexpr int kSamples = 80000;                              // 4000 periods
    const std::vector<int> lags = {1, 2, 5, 8, 10, 15, 20, 40};  // f_d tau = lag / 20
    for (uint32_t process : {0u, 1u, 7u, 19u}) {
        SCOPED_TRACE(process);
        const ClarkeFading fading(42, process, kDoppler);
        std::vector<Cx> x(kSamples);
        for (int n = 0; n < kSamples; ++n) {
            double re = 0, im = 0;
            fading.gain(n * kStep, re, im);
            x[n] = {re, im};
        }
        double power = 0;
        int below_10db = 0;
        for (const Cx& v : x) {
            power += std::norm(v);
            below_10db += std::norm(v) < 0.1;
        }
        EXPECT_NEAR(power / kSamples, 1.0, 0.01);
        // Rayleigh: |X|^2 is exponential, P(|X|^2 < 0.1) = 1 - e^-0.1.
        EXPECT_NEAR(static_cast<double>(below_10db) / kSamples, 1 - std::exp(-0.1), 0.01);
        for (int lag : lags) {
            Cx sum = 0;
            for (int n = 0; n + lag < kSamples; ++n) sum += x[n + lag] * std::conj(x[n]);
            const Cx r = sum / static_cast<double>(kSamples - lag);
            EXPECT_NEAR(r.real(), std::cyl_bessel_j(0.0, 2 * kPi * lag / 20.0), 0.01) << lag;
            EXPECT_NEAR(r.imag(), 0.0, 0.01) << lag;
        }
    }
}

// Impulses every 256 samples at 4x: the response to each is the paths'
// gains, each path's fading taken at the middle of the 64-sample block (of
// the absolute numbering) its echo lands in; F1's direct path stays put.
// Over 281600 samples, past the stage's first 262144 (its phasors' span).
TEST(EchoStage, DopplerFadesTheRayleighPaths) {
    constexpr double kDoppler = 2000;
    constexpr size_t kPeriod = 256;
    constexpr size_t kImpulses = 1100;  // 7.7 ms, 15 Doppler periods
    std::vector<ComplexSample> input(kPeriod * kImpulses, ComplexSample{0, 0});
    for (size_t m = 0; m < kImpulses; ++m) input[m * kPeriod] = {1, 0};
    for (EchoProfile profile : {EchoProfile::kFixedF1, EchoProfile::kPortableP1}) {
        SCOPED_TRACE(static_cast<int>(profile));
        const auto stage = make_echo_stage(settings_of(profile, {}, kDoppler, 77), kRate4x);
        const auto output = run(*stage, input, {1000, 261100, 50});
        std::vector<ClarkeFading> fading;
        for (uint32_t i = 0; i < kTable.size(); ++i) fading.emplace_back(77, i, kDoppler);
        double worst = 0;
        double change = 0;  // of path 2, alone on sample 198
        for (size_t m = 0; m < kImpulses; ++m) {
            std::map<int, Cx> expected;
            if (profile == EchoProfile::kFixedF1) expected[0] = std::sqrt(10.0 / 11.0);
            for (size_t i = 0; i < kTable.size(); ++i) {
                const size_t n = m * kPeriod + static_cast<size_t>(kDelays4x[i]);
                const double middle = static_cast<double>(n / 64 * 64 + 32);
                double re = 0, im = 0;
                fading[i].gain(middle / kRate4x, re, im);
                expected[kDelays4x[i]] += table_gain(kTable[i], profile) * Cx{re, im};
            }
            for (size_t d = 0; d < kPeriod; ++d) {
                const auto tap = expected.find(static_cast<int>(d));
                const Cx want = tap == expected.end() ? Cx{} : tap->second;
                worst = std::max(worst, std::abs(at(output, m * kPeriod + d) - want));
            }
            change = std::max(change, std::abs(at(output, m * kPeriod + 198) - at(output, 198)));
        }
        EXPECT_LT(worst, 2e-6);
        EXPECT_GT(change, 0.5 * std::abs(table_gain(kTable[1], profile)));  // it does fade
    }
}

// Over 4200 Doppler periods at 1 MHz (where several paths share a sample):
// each sample's mean power is the sum of its paths' powers, the paths fading
// independently; F1's mean response at 0 is its direct path. Were the paths
// Gaussian processes, a unit-power path's mean power over f_d T = 4200 would
// vary by sqrt((2 / T) int_0^T (1 - t / T) J0^2(2 pi f_d t) dt) = 0.017, and
// the sum of P1's paths, whose squared powers add up to 0.083, by 0.005:
// 0.03 is 6 of those for any sample and the total. F1's faded paths, 1/11
// of the power, vary by less than 0.001 (0.02 dB): 0.15 dB on the Ricean
// factor; their mean at sample 0, by less than 0.002: 0.01 on the direct
// path. The sum of sinusoids does no worse than a Gaussian process here:
// no two paths share an oscillator's frequency.
TEST(EchoStage, DopplerKeepsThePathsPowers) {
    constexpr double kRate = 1e6;
    constexpr double kDoppler = 2000;
    constexpr size_t kPeriod = 8;
    constexpr size_t kLength = 1 << 21;
    std::vector<ComplexSample> input(kLength, ComplexSample{0, 0});
    for (size_t n = 0; n < kLength; n += kPeriod) input[n] = {1, 0};
    for (EchoProfile profile : {EchoProfile::kFixedF1, EchoProfile::kPortableP1}) {
        SCOPED_TRACE(static_cast<int>(profile));
        std::vector<double> expected(kPeriod, 0.0);
        for (size_t i = 0; i < kTable.size(); ++i)
            expected[kDelays1MHz[i]] += std::norm(profile_scale(profile) * kTable[i].rho);
        const double direct = profile == EchoProfile::kFixedF1 ? 10.0 / 11.0 : 0.0;
        expected[0] += direct;
        const auto stage = make_echo_stage(settings_of(profile, {}, kDoppler, 5), kRate);
        const auto output = run(*stage, input);
        std::vector<double> power(kPeriod, 0.0);
        Cx mean_at_0 = 0;
        const double responses = static_cast<double>(kLength / kPeriod);
        for (size_t n = 0; n < kLength; ++n) power[n % kPeriod] += std::norm(at(output, n));
        for (size_t n = 0; n < kLength; n += kPeriod) mean_at_0 += at(output, n);
        double total = 0;
        for (size_t d = 0; d < kPeriod; ++d) {
            EXPECT_NEAR(power[d] / responses, expected[d], 0.03) << d;
            total += power[d] / responses;
        }
        EXPECT_NEAR(total, 1.0, 0.03);
        EXPECT_NEAR(std::abs(mean_at_0 / responses), std::sqrt(direct), 0.01);
        if (profile == EchoProfile::kFixedF1) {
            // The direct path 10 dB above the faded paths' mean power.
            EXPECT_NEAR(
                db(std::norm(mean_at_0 / responses) / (total - std::norm(mean_at_0 / responses))),
                10.0, 0.15);
        }
    }
}

std::vector<ComplexSample> gaussian_input(size_t count) {
    std::mt19937 generator(2024);
    std::normal_distribution<float> value(0.0f, 0.3f);
    std::vector<ComplexSample> samples(count);
    for (ComplexSample& sample : samples) sample = {value(generator), value(generator)};
    return samples;
}

TEST(EchoStage, SeedsGiveTheirOwnBytes) {
    const auto input = gaussian_input(20000);
    auto bytes = [&](uint64_t seed) {
        const auto stage =
            make_echo_stage(settings_of(EchoProfile::kPortableP1, {}, 100.0, seed), kRate4x);
        return run(*stage, input);
    };
    const auto first = bytes(9);
    const auto again = bytes(9);
    const auto other = bytes(10);
    ASSERT_EQ(first.size(), again.size());
    EXPECT_EQ(std::memcmp(first.data(), again.data(), first.size() * sizeof(ComplexSample)), 0);
    size_t differing = 0;
    for (size_t n = 0; n < first.size(); ++n)
        differing += first[n].re != other[n].re || first[n].im != other[n].im;
    EXPECT_GT(differing, first.size() * 9 / 10);
}

TEST(EchoStage, SameBytesWhateverTheCyclesAndTasks) {
    struct Setting {
        const char* name;
        ChannelSettings settings;
    };
    const std::vector<Setting> settings = {
        {"F1", settings_of(EchoProfile::kFixedF1)},
        {"P1 with Doppler", settings_of(EchoProfile::kPortableP1, {}, 150.0, 5)},
        {"F1 with Doppler and shifted taps",
         settings_of(EchoProfile::kFixedF1, {{3.0, -10, 45, 33.3}, {0.5, -3, 0, -7}}, 80.0, 6)},
        {"taps only", settings_of(EchoProfile::kNone, {{0, 0, 0, 0}, {7.0, -6, 10, 0}})},
    };
    // Past the fading's first 4096-sample stretch and 262144-sample span.
    const auto input = gaussian_input(270000);
    const std::vector<std::vector<size_t>> cuts = {
        {270000}, {1000, 2345}, {100, 900, 2345}, {64, 63, 1, 4000}, {4095, 2}, {262140, 10}};
    for (const Setting& s : settings) {
        SCOPED_TRACE(s.name);
        const auto reference = run(*make_echo_stage(s.settings, kRate4x), input, {}, 1);
        for (const auto& cut : cuts) {
            for (int32_t tasks : {1, 2, 3, 7}) {
                SCOPED_TRACE(testing::Message() << cut.size() << " cycles, " << tasks << " tasks");
                const auto output =
                    run(*make_echo_stage(s.settings, kRate4x), input, cut, tasks, tasks == 7);
                ASSERT_EQ(output.size(), reference.size());
                EXPECT_EQ(std::memcmp(output.data(), reference.data(),
                                      output.size() * sizeof(ComplexSample)),
                          0);
            }
        }
    }
}

TEST(EchoStage, NoneOrRefused) {
    EXPECT_EQ(make_echo_stage(settings_of(EchoProfile::kNone, {}, 10.0), kRate4x), nullptr);
    EXPECT_THROW(make_echo_stage(settings_of(EchoProfile::kFixedF1), 0), std::invalid_argument);
    for (const EchoTap& tap :
         std::vector<EchoTap>{{-1, 0, 0, 0}, {1, INFINITY, 0, 0}, {1, 0, 0, NAN}, {1e6, 0, 0, 0}})
        EXPECT_THROW(make_echo_stage(settings_of(EchoProfile::kNone, {tap}), kRate4x),
                     std::invalid_argument)
            << tap.delay_us;
    EXPECT_THROW(make_echo_stage(settings_of(EchoProfile::kPortableP1, {}, -5.0), kRate4x),
                 std::invalid_argument);
    // A cycle that did not go through start_cycle.
    const auto stage = make_echo_stage(settings_of(EchoProfile::kFixedF1), kRate4x);
    std::vector<ComplexSample> cycle(100);
    EXPECT_THROW(stage->process(cycle, 0, 1), std::logic_error);
}

}  // namespace
}  // namespace terramod
