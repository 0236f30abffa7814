// Exponential, logarithm and sine/cosine for the channel simulator and the
// tables of the fast transform, built from additions, multiplications,
// divisions, floor and the exact scaling by powers of two only: the C
// library's versions may differ in the last bit from one machine (or library
// build, or fused multiply-add) to another, and a simulated channel or a
// transform must give the same bytes everywhere. Accurate to a few units in
// the last place over the ranges they are used on.
#pragma once

namespace terramod {

// e^x; 0 below about -745, infinity above about 709.
double exact_exp(double x);
// ln x for x > 0 (and -infinity at 0).
double exact_log(double x);
// 10^(db / 10): a power ratio in dB as a factor.
double power_ratio_of_db(double db);
// sin and cos of 2 pi x: x in turns (any real), reduced exactly to the
// nearest quarter turn first, so that large turn counts keep their fraction.
void sincos_turns(double turns, double& sine, double& cosine);

}  // namespace terramod
