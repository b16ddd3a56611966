// IEEE 754 binary16 to double, exactly (every half value is a double).
#pragma once

#include <cmath>
#include <cstdint>

namespace zv::kern {

inline double half_to_double(uint16_t h) {
    const bool negative = (h & 0x8000u) != 0;
    const int exponent = (h >> 10) & 0x1f;
    const int mantissa = h & 0x3ff;
    double v;
    if (exponent == 0) {
        v = std::ldexp(static_cast<double>(mantissa), -24);  // zero or subnormal
    } else if (exponent == 31) {
        v = mantissa ? std::nan("") : INFINITY;
    } else {
        v = std::ldexp(static_cast<double>(mantissa | 0x400), exponent - 25);
    }
    return negative ? -v : v;
}

}  // namespace zv::kern
