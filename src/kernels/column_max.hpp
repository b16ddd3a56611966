// The largest value of a column, for sensor-size detection: exact for integer
// types, NaN-propagating for floats (as a whole-array maximum is). Columns
// are strided fields of a record array; n >= 1 (a maximum of nothing has no
// value). The x and y of one record, both 16-bit, are found in one pass.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kernels/columns.hpp"

namespace zv::kern {

// Largest value of a column, for sensor-size detection: exact for integer
// types, NaN-propagating for floats (as a whole-array maximum is).
struct ColumnMax {
    bool is_float;
    double f;
    int64_t i;
    uint64_t u;
    bool is_unsigned;
};

inline ColumnMax column_max(const Column& c, size_t n) {
    ColumnMax r{};
    if (c.kind == NumKind::Float) {
        r.is_float = true;
        r.f = -INFINITY;
        constexpr size_t kChunk = 2048;
        double buf[kChunk];
        for (size_t b = 0; b < n; b += kChunk) {
            const size_t m = std::min(kChunk, n - b);
            decode_doubles(c, b, m, buf);
            for (size_t k = 0; k < m; ++k) {
                if (std::isnan(buf[k])) { r.f = buf[k]; return r; }
                r.f = buf[k] > r.f ? buf[k] : r.f;
            }
        }
        return r;
    }
    if (c.kind == NumKind::UInt) {
        r.is_unsigned = true;
        visit(c, [&]<typename L>() {
            if constexpr (requires(const std::byte* p) { L::value(p); }) {
                const std::byte* p = c.base;
                uint64_t mx = 0;  // a local: the loop's loads through bytes could alias r
                for (size_t k = 0; k < n; ++k, p += c.stride) {
                    const uint64_t v = static_cast<uint64_t>(L::value(p));
                    mx = v > mx ? v : mx;
                }
                r.u = mx;
            }
        });
        return r;
    }
    r.i = INT64_MIN;
    visit(c, [&]<typename L>() {
        const std::byte* p = c.base;
        int64_t mx = INT64_MIN;
        for (size_t k = 0; k < n; ++k, p += c.stride) {
            int64_t v;
            if constexpr (requires(const std::byte* q) { L::value(q); }) v = static_cast<int64_t>(L::value(p));
            else v = L::as_coordinate(p);  // bool
            mx = v > mx ? v : mx;
        }
        r.i = mx;
    });
    return r;
}


#if defined(__SSE2__)
namespace column_max_detail {

inline uint32_t load32(const std::byte* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Largest x and y of records whose 16-bit x is followed by its y: four
// records a register, eight 16-bit maxima at a time (SSE2). Unsigned values
// are compared with their top bit flipped.
template <bool Unsigned>
inline std::pair<int64_t, int64_t> adjacent_max(const std::byte* p, std::ptrdiff_t s, size_t n) {
    const __m128i flip = _mm_set1_epi16(Unsigned ? static_cast<short>(0x8000) : 0);
    __m128i m0 = _mm_set1_epi16(std::numeric_limits<int16_t>::min()), m1 = m0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8, p += 8 * s) {
        const __m128i a = _mm_setr_epi32(static_cast<int>(load32(p)), static_cast<int>(load32(p + s)),
                                         static_cast<int>(load32(p + 2 * s)), static_cast<int>(load32(p + 3 * s)));
        const __m128i b = _mm_setr_epi32(static_cast<int>(load32(p + 4 * s)), static_cast<int>(load32(p + 5 * s)),
                                         static_cast<int>(load32(p + 6 * s)), static_cast<int>(load32(p + 7 * s)));
        m0 = _mm_max_epi16(m0, _mm_xor_si128(a, flip));
        m1 = _mm_max_epi16(m1, _mm_xor_si128(b, flip));
    }
    alignas(16) int16_t lanes[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), _mm_max_epi16(m0, m1));
    const int32_t bias = Unsigned ? 0x8000 : 0;
    int64_t mx = std::numeric_limits<int64_t>::min(), my = mx;
    for (int k = 0; k < 8; k += 2) {
        mx = std::max<int64_t>(mx, lanes[k] + bias);
        my = std::max<int64_t>(my, lanes[k + 1] + bias);
    }
    for (; i < n; ++i, p += s) {
        const uint32_t v = load32(p);
        const int64_t x = Unsigned ? int64_t{static_cast<uint16_t>(v)} : int64_t{static_cast<int16_t>(v)};
        const int64_t y = Unsigned ? int64_t{static_cast<uint16_t>(v >> 16)} : int64_t{static_cast<int16_t>(v >> 16)};
        mx = std::max(mx, x);
        my = std::max(my, y);
    }
    return {mx, my};
}

inline bool native16(const Column& c) {
    return (c.kind == NumKind::Int || c.kind == NumKind::UInt) && c.size == 2 && !c.swapped;
}

}  // namespace column_max_detail

// The maxima of x and y, in one pass when y is the 16-bit field right after a
// 16-bit x of the same type (the record of decoded recordings).
inline std::pair<ColumnMax, ColumnMax> column_max_xy(const Column& x, const Column& y, size_t n) {
    using namespace column_max_detail;
    if (native16(x) && x.kind == y.kind && y.size == 2 && !y.swapped && y.stride == x.stride &&
        y.base == x.base + 2) {
        const bool u = x.kind == NumKind::UInt;
        const auto [mx, my] = u ? adjacent_max<true>(x.base, x.stride, n) : adjacent_max<false>(x.base, x.stride, n);
        ColumnMax a{}, b{};
        a.is_unsigned = b.is_unsigned = u;
        if (u) {
            a.u = static_cast<uint64_t>(mx);
            b.u = static_cast<uint64_t>(my);
        } else {
            a.i = mx;
            b.i = my;
        }
        return {a, b};
    }
    return {column_max(x, n), column_max(y, n)};
}
#else
inline std::pair<ColumnMax, ColumnMax> column_max_xy(const Column& x, const Column& y, size_t n) {
    return {column_max(x, n), column_max(y, n)};
}
#endif

}  // namespace zv::kern
