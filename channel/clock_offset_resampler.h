// A sampling clock off by epsilon = PPM x 10^-6: output sample m is the
// signal at input position m (1 + epsilon), the band-limited signal that
// the input samples stand for, interpolated there. Positive PPM is a fast
// transmitter clock (or a slow receiver clock): the signal goes by faster,
// and a stretch of N input samples gives about N / (1 + epsilon) outputs.
//
// The position is exact over any run: m (1 + epsilon) is held in 2^-64 of
// an input sample (the step 1 + epsilon rounded once to that unit, an error
// below 3 x 10^-14 ppm), in 128-bit integers that only ever add the step.
// The interpolator is a windowed sinc (Kaiser) of 2T taps, cut off at half
// the input rate, tabulated at 256 phases of a sample and interpolated
// linearly between two phases; T follows from the oversampling so that the
// images of the occupied band are down by 80 dB by Kaiser's design formula
// (30 taps at 1x, 10 at 2x, 8 at 4x in an 8 MHz channel). The table is
// built with the channel simulator's own mathematics (sincos_turns, I0 by
// its series), so that every machine gives the same bytes.
//
// A band centred away from zero frequency (BB IF, a frequency offset) is
// interpolated about its centre: the samples are brought to zero frequency,
// interpolated and moved back, the phases taken exactly from the sample
// number and the position.
//
// Output 0 is centred on input 0, the inputs before the first are zeros;
// an output comes out once the inputs its taps reach have come in, and
// flush() gives the outputs whose positions lie before the end of the input
// (position < N after N inputs), with zeros beyond it. Blocks of any sizes
// give the same outputs. With epsilon = 0 at zero frequency every output is
// its input sample (equal in value: a negative zero may come out as a
// positive one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "channel/channel_signal.h"

namespace terramod {

class ClockOffsetResampler {
  public:
    static constexpr double kMaxPpm = 1000;
    static constexpr int32_t kPhases = 256;

    // |ppm| at most kMaxPpm; signal: the input's rate and occupied band;
    // centre_hz: the occupied band's centre (within half the rate).
    ClockOffsetResampler(double ppm, const ChannelSignal& signal, double centre_hz = 0);

    // The taps 2T for a band occupying `occupied_share` of the rate (below 1).
    static int32_t tap_count_for(double occupied_share);

    // Room for pushes of up to `inputs` samples, allocated once.
    void reserve(size_t inputs);
    // Takes the next input samples; the outputs they complete, valid until
    // the next call.
    std::span<const ComplexSample> push(std::span<const ComplexSample> input);
    // At the end of the input: the outputs left. Nothing is pushed after.
    std::span<const ComplexSample> flush();

    // At most this many outputs come of a push of `inputs` samples, or of
    // the flush.
    size_t max_outputs(size_t inputs) const;
    int32_t tap_count() const { return 2 * half_; }
    // 1 + epsilon in 2^-64 of a sample.
    unsigned __int128 step() const { return step_; }
    uint64_t outputs() const { return outputs_; }

  private:
    struct Value {
        double re;
        double im;
    };
    void append(std::span<const ComplexSample> input);
    // Outputs while their position is below `limit` (in 2^-64 of a sample)
    // and their last tap has come in.
    void produce(unsigned __int128 limit);
    Value interpolate(const Value* first, uint64_t fraction) const;

    int32_t half_;                    // T
    std::vector<double> table_;       // (kPhases + 1) rows of 2T taps
    std::vector<double> slope_;       // row p + 1 minus row p
    unsigned __int128 step_;          // 1 + epsilon
    unsigned __int128 position_ = 0;  // of the next output
    // The centre / rate in 2^-64 turns a sample, signed: +1/2 (BB IF at 1x)
    // is not -1/2 between the samples.
    __int128 centre_;
    bool shifted_;               // centre_ != 0
    std::vector<Value> buffer_;  // inputs from buffer_first_ on
    int64_t buffer_first_;
    int64_t received_ = 0;
    uint64_t outputs_ = 0;
    bool flushed_ = false;
    std::vector<ComplexSample> output_;
};

}  // namespace terramod
