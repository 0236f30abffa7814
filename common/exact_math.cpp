#include "common/exact_math.h"

#include <cmath>
#include <limits>

namespace terramod {

namespace {

// ln 2 in two parts (Cody and Waite): k x kLn2High is exact for |k| < 2^11.
constexpr double kLn2High = 6.93147180369123816490e-01;
constexpr double kLn2Low = 1.90821492927058770002e-10;
constexpr double kLn2 = 0.69314718055994530942;
constexpr double kInverseLn2 = 1.44269504088896338700;
constexpr double kLn10 = 2.30258509299404568402;
constexpr double kTwoPi = 6.28318530717958647693;

// 1/n! for n = 0 .. 19: n! is exact in a double up to 22!, and each quotient
// is rounded once, by the compiler as it would be at run time.
constexpr double factorial(int n) {
    return n <= 1 ? 1.0 : n * factorial(n - 1);
}
constexpr double kInverseFactorial[20] = {
    1 / factorial(0),  1 / factorial(1),  1 / factorial(2),  1 / factorial(3),  1 / factorial(4),
    1 / factorial(5),  1 / factorial(6),  1 / factorial(7),  1 / factorial(8),  1 / factorial(9),
    1 / factorial(10), 1 / factorial(11), 1 / factorial(12), 1 / factorial(13), 1 / factorial(14),
    1 / factorial(15), 1 / factorial(16), 1 / factorial(17), 1 / factorial(18), 1 / factorial(19)};
// 1/(2n + 1) for n = 0 .. 12.
constexpr double kInverseOdd[13] = {1.0,      1.0 / 3,  1.0 / 5,  1.0 / 7,  1.0 / 9,
                                    1.0 / 11, 1.0 / 13, 1.0 / 15, 1.0 / 17, 1.0 / 19,
                                    1.0 / 21, 1.0 / 23, 1.0 / 25};

}  // namespace

double exact_exp(double x) {
    if (std::isnan(x)) return x;
    if (x > 709.7) return std::numeric_limits<double>::infinity();
    if (x < -745.2) return 0.0;
    // x = k ln 2 + r with |r| <= ln 2 / 2; e^r by its Taylor series (the
    // 14th term is below 2^-58 there).
    const double k = std::floor(x * kInverseLn2 + 0.5);
    const double r = (x - k * kLn2High) - k * kLn2Low;
    // Horner's scheme over 1/n! (each a correctly rounded constant).
    double sum = kInverseFactorial[14];
    for (int n = 13; n >= 0; --n) sum = sum * r + kInverseFactorial[n];
    return std::ldexp(sum, static_cast<int>(k));
}

double exact_log(double x) {
    if (std::isnan(x) || x < 0) return std::numeric_limits<double>::quiet_NaN();
    if (x == 0) return -std::numeric_limits<double>::infinity();
    if (std::isinf(x)) return x;
    // x = m 2^e with m in [sqrt(1/2), sqrt(2)); ln m = 2 atanh(s) with
    // s = (m - 1) / (m + 1), |s| <= 0.1716, by its series to s^25.
    int exponent = 0;
    double m = std::frexp(x, &exponent);
    if (m < 0.70710678118654752440) {
        m = m * 2.0;
        exponent = exponent - 1;
    }
    const double s = (m - 1.0) / (m + 1.0);
    const double s2 = s * s;
    // s (1 + s^2/3 + s^4/5 + ... + s^24/25), by Horner's scheme.
    double sum = kInverseOdd[12];
    for (int n = 11; n >= 0; --n) sum = sum * s2 + kInverseOdd[n];
    sum = sum * s;
    return exponent * kLn2 + 2.0 * sum;
}

double power_ratio_of_db(double db) {
    return exact_exp(db * (kLn10 / 10.0));
}

void sincos_turns(double turns, double& sine, double& cosine) {
    // The quarter turn nearest, then at most an eighth of a turn: |x| <= pi/4,
    // where the Taylor series to x^19 and x^18 are exact to double.
    const double quarters = std::floor(turns * 4.0 + 0.5);
    const double rest = turns - quarters * 0.25;
    const double x = rest * kTwoPi;
    const double x2 = x * x;
    // x - x^3/3! + ... - x^19/19! and 1 - x^2/2! + ... + x^18/18!, by
    // Horner's scheme over the correctly rounded 1/n!.
    double s = -kInverseFactorial[19];
    double c = -kInverseFactorial[18];
    for (int n = 8; n >= 0; --n) {
        const double sign = (n % 2 == 0) ? 1.0 : -1.0;
        s = s * x2 + sign * kInverseFactorial[2 * n + 1];
        c = c * x2 + sign * kInverseFactorial[2 * n];
    }
    s = s * x;
    // The quarter turns, modulo 4.
    const double wrapped = quarters - 4.0 * std::floor(quarters / 4.0);
    switch (static_cast<int>(wrapped)) {
        case 0:
            sine = s;
            cosine = c;
            break;
        case 1:
            sine = c;
            cosine = -s;
            break;
        case 2:
            sine = -s;
            cosine = -c;
            break;
        default:
            sine = -c;
            cosine = s;
            break;
    }
}

}  // namespace terramod
