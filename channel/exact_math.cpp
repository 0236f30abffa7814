#include "channel/exact_math.h"

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

}  // namespace

double exact_exp(double x) {
    if (std::isnan(x)) return x;
    if (x > 709.7) return std::numeric_limits<double>::infinity();
    if (x < -745.2) return 0.0;
    // x = k ln 2 + r with |r| <= ln 2 / 2; e^r by its Taylor series (the
    // 14th term is below 2^-58 there).
    const double k = std::floor(x * kInverseLn2 + 0.5);
    const double r = (x - k * kLn2High) - k * kLn2Low;
    double term = 1.0;
    double sum = 1.0;
    for (int n = 1; n <= 14; ++n) {
        term = term * r / n;
        sum = sum + term;
    }
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
    double power = s;
    double sum = s;
    for (int n = 3; n <= 25; n += 2) {
        power = power * s2;
        sum = sum + power / n;
    }
    return exponent * kLn2 + 2.0 * sum;
}

double power_ratio_of_db(double db) {
    return exact_exp(db * (kLn10 / 10.0));
}

void sincos_turns(double turns, double& sine, double& cosine) {
    // The quarter turn nearest, then at most an eighth of a turn: |x| <= pi/4,
    // where the Taylor series to x^17 and x^18 are exact to double.
    const double quarters = std::floor(turns * 4.0 + 0.5);
    const double rest = turns - quarters * 0.25;
    const double x = rest * kTwoPi;
    const double x2 = x * x;
    double s_term = x;
    double s = x;
    double c_term = 1.0;
    double c = 1.0;
    for (int n = 1; n <= 9; ++n) {
        s_term = -s_term * x2 / ((2 * n) * (2 * n + 1));
        s = s + s_term;
        c_term = -c_term * x2 / ((2 * n - 1) * (2 * n));
        c = c + c_term;
    }
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
