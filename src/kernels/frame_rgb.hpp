// Frame stacks of any real element type to RGB images, with one scale for
// both channels: max(max_on, max_off, 1). Integers, booleans and doubles are
// divided in double precision, as a true division of such arrays is; float32
// stacks go through colour_common (kernels/colour.hpp) instead.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace zv::kern {

template <typename T>
inline T plane_max_of(const T* v, size_t n) {
    T m = v[0];
    for (size_t i = 1; i < n; ++i) m = v[i] > m ? v[i] : m;
    return m;
}

inline uint8_t scaled_channel_double(double count, double scale) {
    double q = count / scale * 255.0;
    if (!(q > 0.0)) return 0;  // negative counts, and NaN
    return static_cast<uint8_t>(q > 255.0 ? 255.0 : q);
}

// `off` may be null (a single-channel stack): an all-zero OFF plane. n > 0.
template <typename T>
inline void colour_common_double(const T* on, const T* off, size_t n, uint8_t* rgb) {
    // The maxima compare in the stored type, as the reductions do.
    T scale = plane_max_of(on, n);
    if (off) {
        const T max_off = plane_max_of(off, n);
        scale = max_off > scale ? max_off : scale;
    } else {
        scale = T(0) > scale ? T(0) : scale;
    }
    const double s = T(1) > scale ? 1.0 : static_cast<double>(scale);
    for (size_t i = 0; i < n; ++i) {
        rgb[3 * i + 0] = off ? scaled_channel_double(static_cast<double>(off[i]), s) : 0;
        rgb[3 * i + 1] = 0;
        rgb[3 * i + 2] = scaled_channel_double(static_cast<double>(on[i]), s);
    }
}

}  // namespace zv::kern
