// The record pass of record_binning.hpp, eight records at a time with AVX2,
// for the packed record of decoded recordings (x, y, 64-bit t, 8-bit p at
// byte offsets 0, 2, 4 and 12 of records at least 13 bytes apart).
//
// Each record is one 16-byte load; two records share a register and four
// registers transpose into lanes of x|y, polarity and time. A block whose
// eight timestamps all lie in the current bin gets its cell indices and the
// in-sensor mask in vector registers, and only the counting is scalar; any
// other block goes through the scalar step, event by event, so every result,
// and the stop at a timestamp outside a guessed range, is that of the scalar pass.
//
// Contract: as pass() in record_binning.hpp; a record's 16-byte load may read
// the first 3 bytes of the next record, so blocks stop one record short of
// the end and the scalar step takes the rest.
#pragma once

#include "kernels/record_binning.hpp"

#include <atomic>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZV_RECORD_BINNING_AVX2 1

namespace zv::kern::records::avx2 {

#define ZV_BIN_AVX2 __attribute__((target("avx2")))
#define ZV_BIN_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

inline bool cpu_has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}

// Whether framing and binning may take these loops where the CPU has AVX2 (on
// unless a test turns it off to compare them with the scalar pass).
inline std::atomic<bool>& allowed() {
    static std::atomic<bool> yes{true};
    return yes;
}
inline bool usable() { return allowed().load(std::memory_order_relaxed) && cpu_has_avx2(); }

// The layout this pass reads (the polarity only when it is wanted), and room
// for its 32-bit lane arithmetic.
inline bool packed(const Layout& f, bool polarity) {
    return f.x == -4 && f.y == -2 && (!polarity || f.p == 8) && f.stride >= 13;
}
inline bool fits(const FramePlace& p) {
    return p.width >= 1 && p.height >= 1 && p.plane * 2 < (uint64_t{1} << 31);
}
// Neuron indices y * width + x of 16-bit coordinates stay below 2**31.
inline bool fits(const RasterPlace& p) { return p.width >= 0 && p.width <= 32767; }

// Records r and r + 4 strides in one register, shuffled to the dwords
// [x|y, p << 24, t low, t high] in each half.
ZV_BIN_AVX2_INLINE __m256i pair(const std::byte* r, std::ptrdiff_t four_strides, __m256i shuffle) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + four_strides));
    return _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1), shuffle);
}

// Lanes of `t - start < span` (unsigned, keys of T) for four timestamps.
template <typename T>
ZV_BIN_AVX2_INLINE __m256i in_bin(__m256i t, __m256i start, __m256i span_flipped) {
    const __m256i sign = _mm256_set1_epi64x(std::numeric_limits<int64_t>::min());
    const __m256i key = std::is_signed_v<T> ? _mm256_xor_si256(t, sign) : t;
    const __m256i d = _mm256_xor_si256(_mm256_sub_epi64(key, start), sign);
    return _mm256_cmpgt_epi64(span_flipped, d);
}

// The current bin's first key, and its span with the sign flipped for a signed compare.
ZV_BIN_AVX2_INLINE void bin_lanes(uint64_t first, uint64_t keys, __m256i& start, __m256i& span) {
    start = _mm256_set1_epi64x(static_cast<int64_t>(first));
    span = _mm256_xor_si256(_mm256_set1_epi64x(static_cast<int64_t>(keys)), _mm256_set1_epi64x(std::numeric_limits<int64_t>::min()));
}

// Eight records from r (stride s) in lanes: timestamps of records 0, 1 | 4, 5 and
// 2, 3 | 6, 7, and x|y and polarity (its byte at the top) of records 0..3 | 4..7.
struct Eight {
    __m256i t01, t23, xy, pol;
};
ZV_BIN_AVX2_INLINE Eight eight(const std::byte* r, std::ptrdiff_t s, __m256i shuffle) {
    const __m256i a = pair(r, 4 * s, shuffle), b = pair(r + s, 4 * s, shuffle);
    const __m256i e = pair(r + 2 * s, 4 * s, shuffle), g = pair(r + 3 * s, 4 * s, shuffle);
    const __m256i ab_lo = _mm256_unpacklo_epi32(a, b), eg_lo = _mm256_unpacklo_epi32(e, g);
    const __m256i ab_hi = _mm256_unpackhi_epi32(a, b), eg_hi = _mm256_unpackhi_epi32(e, g);
    return {_mm256_shuffle_epi32(ab_hi, 0xD8), _mm256_shuffle_epi32(eg_hi, 0xD8), _mm256_unpacklo_epi64(ab_lo, eg_lo),
            _mm256_unpackhi_epi64(ab_lo, eg_lo)};
}
ZV_BIN_AVX2_INLINE __m256i record_shuffle() {
    return _mm256_broadcastsi128_si256(_mm_setr_epi8(0, 1, 2, 3, -128, -128, -128, 12, 4, 5, 6, 7, 8, 9, 10, 11));
}

// All eight timestamps in the current bin.
template <typename T>
ZV_BIN_AVX2_INLINE bool all_in_bin(const Eight& v, __m256i start, __m256i span) {
    const __m256i inside = _mm256_and_si256(in_bin<T>(v.t01, start, span), in_bin<T>(v.t23, start, span));
    return _mm256_movemask_pd(_mm256_castsi256_pd(inside)) == 0xF;
}

// The lanes of x and y, sign- or zero-extended from 16 bits.
template <typename C>
ZV_BIN_AVX2_INLINE void coordinates(__m256i xy, __m256i& x, __m256i& y) {
    if constexpr (std::is_signed_v<C>) {
        x = _mm256_srai_epi32(_mm256_slli_epi32(xy, 16), 16);
        y = _mm256_srai_epi32(xy, 16);
    } else {
        x = _mm256_and_si256(xy, _mm256_set1_epi32(0xFFFF));
        y = _mm256_srli_epi32(xy, 16);
    }
}

// Unsigned v < limit + 1, lane by lane, for limit = bound - 1 with bound >= 1.
ZV_BIN_AVX2_INLINE __m256i below(__m256i v, __m256i limit) { return _mm256_cmpeq_epi32(_mm256_min_epu32(v, limit), v); }

template <typename T, typename C, typename P, typename Cells, typename Place>
ZV_BIN_AVX2 bool pass(const Layout& layout, size_t n, const IntegerEdges<T>& edges, Cells& cells, const Place& place,
                      uint8_t* bytes, int64_t bins) {
    static_assert(std::is_same_v<Place, FramePlace> != std::is_same_v<P, NoPolarity>);
    constexpr bool kFrames = std::is_same_v<Place, FramePlace>;
    auto counter = counter_for(cells, place, bytes, bins);
    const Layout f = layout;
    Cursor<T, Place> c(edges, place);
    const std::ptrdiff_t s = f.stride;
    const __m256i shuffle = record_shuffle();
    __m256i start, span;
    bin_lanes(c.start, c.span, start, span);
    // Frames: width - 1, height - 1, width, plane. Raster: width, neurons (capped below 2**31).
    __m256i k0, k1, k2, k3;
    if constexpr (kFrames) {
        k0 = _mm256_set1_epi32(static_cast<int>(place.width - 1));
        k1 = _mm256_set1_epi32(static_cast<int>(place.height - 1));
        k2 = _mm256_set1_epi32(static_cast<int>(place.width));
        k3 = _mm256_set1_epi32(static_cast<int>(place.plane));
    } else {
        k0 = _mm256_set1_epi32(static_cast<int>(place.width));
        k1 = _mm256_set1_epi32(static_cast<int>(std::min<uint64_t>(place.neurons, INT32_MAX)));
        k2 = k3 = _mm256_setzero_si256();
    }
    alignas(32) uint32_t cell[8];

    const std::byte* r = f.t - 4;  // the record's first byte
    size_t i = 0;
    for (; i + 8 < n; i += 8, r += 8 * s) {
        const Eight v = eight(r, s, shuffle);
        if (!all_in_bin<T>(v, start, span)) [[unlikely]] {
            for (int k = 0; k < 8; ++k)
                if (!step<T, C, P, true>(r + k * s + 4, f, c, counter)) return false;
            bin_lanes(c.start, c.span, start, span);
            continue;
        }
        const __m256i pol = v.pol;
        __m256i x, y;
        coordinates<C>(v.xy, x, y);
        __m256i index, valid;
        if constexpr (kFrames) {
            valid = _mm256_and_si256(below(x, k0), below(y, k1));
            // The polarity byte sits in the top byte of its lane: > 0 as a signed byte is > 0 as an int32.
            const __m256i off = std::is_signed_v<P>
                                    ? _mm256_andnot_si256(_mm256_cmpgt_epi32(pol, _mm256_setzero_si256()), k3)
                                    : _mm256_and_si256(_mm256_cmpeq_epi32(pol, _mm256_setzero_si256()), k3);
            index = _mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(y, k2), x), off);
        } else {
            index = _mm256_add_epi32(_mm256_mullo_epi32(y, k0), x);
            valid = _mm256_andnot_si256(_mm256_cmpgt_epi32(_mm256_setzero_si256(), index),
                                        _mm256_cmpgt_epi32(k1, index));
        }
        _mm256_store_si256(reinterpret_cast<__m256i*>(cell), index);
        const uint64_t base = c.at.base;
        unsigned bits = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(valid)));
        if (bits == 0xFF) {
            for (int k = 0; k < 8; ++k) counter.add(static_cast<size_t>(base + cell[k]));
        } else {
            for (; bits; bits &= bits - 1) counter.add(static_cast<size_t>(base + cell[__builtin_ctz(bits)]));
        }
    }
    for (; i < n; ++i, r += s)
        if (!step<T, C, P, true>(r + 4, f, c, counter)) return false;
    finish_counter(counter);
    return true;
}

#undef ZV_BIN_AVX2
#undef ZV_BIN_AVX2_INLINE

}  // namespace zv::kern::records::avx2
#endif
