// ON/OFF count planes to 8-bit RGB pixels: OFF in red, ON in blue, green 0.
// Each value is trunc(clip(count / scale * 255, 0, 255)) in float32
// arithmetic, the same operations a float32 array expression performs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zv::kern {

inline float plane_max(const float* v, size_t n) {
    float m = n ? v[0] : 0.0f;
    for (size_t i = 1; i < n; ++i) m = v[i] > m ? v[i] : m;
    return m;
}

inline uint8_t scaled_channel(float count, float scale) {
    float q = count / scale;
    q = q * 255.0f;
    q = q < 0.0f ? 0.0f : (q > 255.0f ? 255.0f : q);
    return static_cast<uint8_t>(q);
}

// Writes the red and blue components of n pixels (rgb holds n * 3 bytes).
inline void colour_pixels(const float* on, const float* off, size_t n, float on_scale, float off_scale,
                          uint8_t* rgb) {
    for (size_t i = 0; i < n; ++i) {
        rgb[3 * i + 0] = scaled_channel(off[i], off_scale);
        rgb[3 * i + 1] = 0;
        rgb[3 * i + 2] = scaled_channel(on[i], on_scale);
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

}  // namespace zv::kern
