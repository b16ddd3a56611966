// ON/OFF count planes to 8-bit RGB pixels: OFF in red, ON in blue, green 0.
// Each value is trunc(clip(count / scale * 255, 0, 255)) in float32
// arithmetic, the same operations a float32 array expression performs.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace zv::kern {

// Largest value; eight lanes so that the loop vectorizes. Same result as a
// sequential scan (NaN is skipped unless it is the first value).
inline float plane_max(const float* v, size_t n) {
    if (n == 0) return 0.0f;
    float lane[8];
    for (float& m : lane) m = v[0];
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (size_t k = 0; k < 8; ++k) lane[k] = v[i + k] > lane[k] ? v[i + k] : lane[k];
    float m = lane[0];
    for (size_t k = 1; k < 8; ++k) m = lane[k] > m ? lane[k] : m;
    for (; i < n; ++i) m = v[i] > m ? v[i] : m;
    return m;
}

inline uint8_t scaled_channel(float count, float scale) {
    float q = count / scale;
    q = q * 255.0f;
    q = q > 0.0f ? q : 0.0f;  // NaN too, as the array cast of NaN gives 0 on the targets we build for
    q = q < 255.0f ? q : 255.0f;
    return static_cast<uint8_t>(static_cast<int>(q));
}

// One channel of a block of pixels, unit stride: this loop vectorizes
// (the division included), the interleaving below does not need to.
inline void scaled_block(const float* counts, size_t n, float scale, uint8_t* out) {
    for (size_t i = 0; i < n; ++i) out[i] = scaled_channel(counts[i], scale);
}

// Writes the red and blue components of n pixels (rgb holds n * 3 bytes).
inline void colour_pixels(const float* on, const float* off, size_t n, float on_scale, float off_scale,
                          uint8_t* rgb) {
    constexpr size_t kBlock = 4096;
    uint8_t red[kBlock], blue[kBlock];
    for (size_t j = 0; j < n; j += kBlock) {
        const size_t m = n - j < kBlock ? n - j : kBlock;
        scaled_block(off + j, m, off_scale, red);
        scaled_block(on + j, m, on_scale, blue);
        uint8_t* px = rgb + 3 * j;
        for (size_t i = 0; i < m; ++i) {
            px[3 * i + 0] = red[i];
            px[3 * i + 1] = 0;
            px[3 * i + 2] = blue[i];
        }
    }
}

// Grid images: ON and OFF each scaled to their own maximum (1 when empty).
inline void colour_separate(const float* on, const float* off, size_t n, uint8_t* rgb) {
    const float max_on = plane_max(on, n), max_off = plane_max(off, n);
    colour_pixels(on, off, n, max_on > 0.0f ? max_on : 1.0f, max_off > 0.0f ? max_off : 1.0f, rgb);
}

// Animation images: one scale for both channels, max(max_on, max_off, 1).
inline void colour_common(const float* on, const float* off, size_t n, uint8_t* rgb) {
    float scale = plane_max(on, n);
    const float max_off = plane_max(off, n);
    scale = max_off > scale ? max_off : scale;
    scale = 1.0f > scale ? 1.0f : scale;
    colour_pixels(on, off, n, scale, scale, rgb);
}

// Frame stacks of other real element types (integers, booleans, doubles),
// also with one scale for both channels: divided in double precision, as a
// true division of such arrays is.
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
