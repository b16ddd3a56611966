// Framing of the packed record into a byte frame, eight records at a time with
// AVX2: the loop of framing when a frame's bytes stay in the caches (ByteFrame
// in record_binning.hpp), which is what most of its time goes to.
//
// A byte store may alias anything, so whatever the loop reads lives in
// registers: the frame's bytes, the bin's keys and the eight cell indices,
// taken out of the vector lanes two by two. Each event then costs its byte
// increment and a branch, never taken but on a wrap, which a cold call adds to
// the cell. A block's increments wait for the next block's decoding, so the
// two overlap; fetching their lines ahead costs more load slots than it saves
// while a frame's bytes stay in the second-level cache (measured on a
// 346 x 260 frame). The records are fetched ahead without keeping them in the
// outer caches, which then hold the frame. A block of eight with an event outside
// the sensor, outside the current bin or after the bytes are given up goes the
// way of the scalar pass, so every count (and the stop at a timestamp outside
// a guessed range) is that pass's.
//
// Contract: as avx2::pass in record_binning_avx2.hpp for a FramePlace, with
// `bytes` holding one zeroed byte per cell of a frame.
#pragma once

#include "kernels/record_binning_avx2.hpp"

#ifdef ZV_RECORD_BINNING_AVX2

namespace zv::kern::records::avx2 {

// Bytes of records fetched ahead of the one being decoded.
inline constexpr std::ptrdiff_t kFetchAhead = 2048;
// The stride of the packed record, which the loop knows at compile time.
inline constexpr std::ptrdiff_t kPackedStride = 13;

#define ZV_FRAME_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

// The current bin as signed lanes of its first and last key with the top bit
// flipped (signed times themselves); an empty bin, first above last.
ZV_FRAME_AVX2_INLINE void bin_bounds(uint64_t start, uint64_t span, __m256i& first, __m256i& last) {
    constexpr uint64_t kSign = uint64_t{1} << 63;
    if (span == 0) {
        first = _mm256_set1_epi64x(INT64_MAX);
        last = _mm256_set1_epi64x(INT64_MIN);
    } else {
        first = _mm256_set1_epi64x(static_cast<int64_t>(start ^ kSign));
        last = _mm256_set1_epi64x(static_cast<int64_t>((start + span - 1) ^ kSign));
    }
}

// Some timestamp of the eight outside [first, last].
template <typename T>
ZV_FRAME_AVX2_INLINE bool any_outside(const Eight& v, __m256i first, __m256i last) {
    __m256i a = v.t01, b = v.t23;
    if constexpr (!std::is_signed_v<T>) {
        const __m256i sign = _mm256_set1_epi64x(INT64_MIN);
        a = _mm256_xor_si256(a, sign);
        b = _mm256_xor_si256(b, sign);
    }
    const __m256i out = _mm256_or_si256(_mm256_or_si256(_mm256_cmpgt_epi64(first, a), _mm256_cmpgt_epi64(a, last)),
                                        _mm256_or_si256(_mm256_cmpgt_epi64(first, b), _mm256_cmpgt_epi64(b, last)));
    return !_mm256_testz_si256(out, out);
}

// S: the records' stride when known at compile time, else 0.
template <typename T, typename C, typename P, std::ptrdiff_t S, typename Cells>
__attribute__((target("avx2"))) bool frame_bytes_with(const Layout& layout, size_t n, const IntegerEdges<T>& edges,
                                                      Cells& cells, const FramePlace& place, uint8_t* bytes,
                                                      int64_t bins) {
    auto counter = counter_for(cells, place, bytes, bins);
    const Layout f = layout;
    Cursor<T, FramePlace> c(edges, place);
    const std::ptrdiff_t s = S ? S : f.stride;
    const __m256i shuffle = record_shuffle();
    __m256i first, last;
    bin_bounds(c.start, c.span, first, last);
    const __m256i last_x = _mm256_set1_epi32(static_cast<int>(place.width - 1));
    const __m256i last_y = _mm256_set1_epi32(static_cast<int>(place.height - 1));
    const __m256i width = _mm256_set1_epi32(static_cast<int>(place.width));
    const __m256i plane = _mm256_set1_epi32(static_cast<int>(place.plane));
    uint8_t* frame = counter.bytes();
    // The cells of the last block of eight, two to a word, counted one block
    // late while the next block decodes.
    alignas(32) uint64_t ahead[4];
    bool pending = false;
    const auto count_ahead = [&] {
        for (int k = 0; k < 4; ++k) {
            const uint32_t lo = static_cast<uint32_t>(ahead[k]), hi = static_cast<uint32_t>(ahead[k] >> 32);
            if (++frame[lo] == 0) [[unlikely]] counter.wrapped(lo);
            if (++frame[hi] == 0) [[unlikely]] counter.wrapped(hi);
        }
    };

    const std::byte* r = f.t - 4;  // the record's first byte
    size_t i = 0;
    for (; i + 8 < n; i += 8, r += 8 * s) {
        _mm_prefetch(reinterpret_cast<const char*>(r) + kFetchAhead, _MM_HINT_NTA);
        _mm_prefetch(reinterpret_cast<const char*>(r) + kFetchAhead + 64, _MM_HINT_NTA);
        const Eight v = eight(r, s, shuffle);
        __m256i x, y;
        coordinates<C>(v.xy, x, y);
        const __m256i valid = _mm256_and_si256(below(x, last_x), below(y, last_y));
        if (pending) {
            count_ahead();
            pending = false;
        }
        if (_mm256_movemask_ps(_mm256_castsi256_ps(valid)) != 0xFF || !frame || any_outside<T>(v, first, last))
            [[unlikely]] {
            for (int k = 0; k < 8; ++k)
                if (!step<T, C, P, true>(r + k * s + 4, f, c, counter)) return false;
            bin_bounds(c.start, c.span, first, last);
            frame = counter.bytes();
            continue;
        }
        // The polarity byte sits in the top byte of its lane: > 0 as a signed byte is > 0 as an int32.
        const __m256i off = std::is_signed_v<P>
                                ? _mm256_andnot_si256(_mm256_cmpgt_epi32(v.pol, _mm256_setzero_si256()), plane)
                                : _mm256_and_si256(_mm256_cmpeq_epi32(v.pol, _mm256_setzero_si256()), plane);
        const __m256i index = _mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(y, width), x), off);
        _mm256_store_si256(reinterpret_cast<__m256i*>(ahead), index);
        pending = true;
    }
    if (pending) count_ahead();
    for (; i < n; ++i, r += s)
        if (!step<T, C, P, true>(r + 4, f, c, counter)) return false;
    finish_counter(counter);
    return true;
}

template <typename T, typename C, typename P, typename Cells>
bool frame_bytes_pass(const Layout& f, size_t n, const IntegerEdges<T>& edges, Cells& cells, const FramePlace& place,
                      uint8_t* bytes, int64_t bins) {
    if (f.stride == kPackedStride)
        return frame_bytes_with<T, C, P, kPackedStride>(f, n, edges, cells, place, bytes, bins);
    return frame_bytes_with<T, C, P, 0>(f, n, edges, cells, place, bytes, bins);
}

#undef ZV_FRAME_AVX2_INLINE

}  // namespace zv::kern::records::avx2

#endif
