// Filter coefficients that come out the same on every platform. They are worked out with exp,
// sin and cos, whose last bit differs between the C libraries of Linux and Windows; a seeded
// noise must be the same sample for sample on every build, so each coefficient is rounded to 40
// significant bits (a change of 1e-12, far below any audible or measurable effect), which the
// libraries' differences of one unit in the 53rd bit cannot reach. frexp, ldexp and round are
// exact, and the filters themselves use only additions and multiplications.
#pragma once

#include <cmath>

inline double portableCoefficient(double value) {
    constexpr int kBits = 40;
    int exponent = 0;
    const double mantissa = std::frexp(value, &exponent);
    return std::ldexp(std::round(std::ldexp(mantissa, kBits)), exponent - kBits);
}
