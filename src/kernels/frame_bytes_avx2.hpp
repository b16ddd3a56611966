// Framing of the packed record into a byte frame, eight records at a time with
// AVX2: the loop of framing when a frame's bytes stay in the caches (ByteFrame
// in record_binning.hpp), which is what most of its time goes to.
//
// Where the time goes: the increments, not the decoding, bound the loop.
// Decoding alone keeps pace with a read pass over the records. A byte
// increment at a random cell costs about 2 cycles on the AMD cores measured
// even when the frame fits the first-level cache, and about 2.5 for a 346 x
// 260 sensor's 180 KB, where most increments miss it and move a line in and
// a dirty line out. Neither the form of the increment (indexed, in pairs, a
// count of carries in place of the wrap's branch) nor huge pages for the
// bytes made the whole pass faster. So the decoding takes as few operations
// as it can, and a block's increments wait four blocks, long enough for the
// indices' store to leave the core.
//
// Decoding: each record is one 16-byte load, its dwords x|y, t low, t high and
// the polarity's byte (with three bytes of the next record above it). Eight
// records in four registers transpose into those four lanes of eight, with no
// byte shuffle. x and y are checked as 16-bit lanes and give the cell with
// one multiply-add, which needs width and height below 2**15 (fits_words).
// The time check compares 32-bit lanes: a block is in the current bin when
// every timestamp has the high dword of a window and a low dword inside it,
// the window being the bin's part that shares one high dword. A block that
// fails (an event outside the sensor, a bin's end, a window's end) counts the
// blocks waiting, goes the way of the scalar step, and the window is taken
// again around its last timestamp; so every count, and the stop at a timestamp
// outside a guessed range, is that of the scalar pass.
//
// Contract: as avx2::pass in record_binning_avx2.hpp for a FramePlace with
// fits_words, with `bytes` holding one zeroed byte per cell of a frame.
#pragma once

#include "kernels/record_binning_avx2.hpp"

#ifdef ZV_RECORD_BINNING_AVX2

namespace zv::kern::records::avx2 {

// Bytes of records fetched ahead of the one being decoded.
inline constexpr std::ptrdiff_t kFetchAhead = 2048;
// The stride of the packed record, which the loop knows at compile time.
inline constexpr std::ptrdiff_t kPackedStride = 13;
// Blocks whose increments wait (a power of two).
inline constexpr unsigned kCountLag = 4;

// x and y as signed 16-bit lanes, and cells within int32.
inline bool fits_words(const FramePlace& p) { return fits(p) && p.width <= 32767 && p.height <= 32767; }

#define ZV_FRAME_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

// Two records' 16 bytes in the halves of a register.
ZV_FRAME_AVX2_INLINE __m256i two_records(const std::byte* r, std::ptrdiff_t apart) {
    const __m256i lo = _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r)));
    const __m256i hi = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r + apart)));
    return _mm256_blend_epi32(lo, hi, 0xF0);
}

// Eight records' fields in dword lanes (records 0..3 | 4..7): x|y, t low,
// t high, and the polarity in the low byte.
struct Lanes {
    __m256i xy, t_lo, t_hi, pol;
};
ZV_FRAME_AVX2_INLINE Lanes lanes(const std::byte* r, std::ptrdiff_t s) {
    const __m256i a = two_records(r, 4 * s), b = two_records(r + s, 4 * s);
    const __m256i e = two_records(r + 2 * s, 4 * s), g = two_records(r + 3 * s, 4 * s);
    const __m256i ab_lo = _mm256_unpacklo_epi32(a, b), eg_lo = _mm256_unpacklo_epi32(e, g);
    const __m256i ab_hi = _mm256_unpackhi_epi32(a, b), eg_hi = _mm256_unpackhi_epi32(e, g);
    return {_mm256_unpacklo_epi64(ab_lo, eg_lo), _mm256_unpackhi_epi64(ab_lo, eg_lo),
            _mm256_unpacklo_epi64(ab_hi, eg_hi), _mm256_unpackhi_epi64(ab_hi, eg_hi)};
}

// The timestamps of the current bin that share the high dword of key `near`
// (a key in the bin): that dword as stored, and the low dwords' first and span - 1.
struct TimeWindow {
    __m256i high, first, last_offset;

    template <typename T>
    ZV_FRAME_AVX2_INLINE static TimeWindow around(uint64_t start, uint64_t span, uint64_t near) {
        constexpr uint64_t kLow = 0xFFFFFFFFu;
        // span 0 is a bin of all 2**64 keys, which ends where it starts.
        const uint64_t end = start + span - 1;
        const uint64_t lo = std::max(start, near & ~kLow), hi = std::min(end, near | kLow);
        // A key is the stored value with the sign flipped for signed times: only the high dword changes.
        const uint32_t flip = std::is_signed_v<T> ? 0x80000000u : 0;
        return {_mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(lo >> 32) ^ flip)),
                _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(lo))),
                _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(hi - lo)))};
    }
    // Lanes whose timestamp lies in the window.
    ZV_FRAME_AVX2_INLINE __m256i inside(const Lanes& v) const {
        const __m256i offset = _mm256_sub_epi32(v.t_lo, first);
        return _mm256_and_si256(_mm256_cmpeq_epi32(v.t_hi, high),
                                _mm256_cmpeq_epi32(_mm256_min_epu32(offset, last_offset), offset));
    }
};

// S: the records' stride when known at compile time, else 0.
template <typename T, typename C, typename P, std::ptrdiff_t S, typename Cells>
__attribute__((target("avx2"))) bool frame_bytes_with(const Layout& layout, size_t n, const IntegerEdges<T>& edges,
                                                      Cells& cells, const FramePlace& place, uint8_t* bytes,
                                                      int64_t bins) {
    auto counter = counter_for(cells, place, bytes, bins);
    const Layout f = layout;
    Cursor<T, FramePlace> c(edges, place);
    const std::ptrdiff_t s = S ? S : f.stride;
    TimeWindow window = TimeWindow::around<T>(c.start, c.span, c.start);
    // x in the low word, y in the high: their limits, and the multipliers of the cell y * width + x.
    const __m256i last_xy = _mm256_set1_epi32(static_cast<int>((place.width - 1) | (place.height - 1) << 16));
    const __m256i row = _mm256_set1_epi32(static_cast<int>(1 | place.width << 16));
    const __m256i plane = _mm256_set1_epi32(static_cast<int>(place.plane));
    uint8_t* frame = counter.bytes();

    // The cells of the blocks waiting, two to a word, in a ring.
    alignas(32) uint64_t waiting[kCountLag][4];
    unsigned head = 0, queued = 0;
    const auto count = [&](const uint64_t* cell) {
        for (int k = 0; k < 4; ++k) {
            const uint32_t lo = static_cast<uint32_t>(cell[k]), hi = static_cast<uint32_t>(cell[k] >> 32);
            if (++frame[lo] == 0) [[unlikely]] counter.wrapped(lo);
            if (++frame[hi] == 0) [[unlikely]] counter.wrapped(hi);
        }
    };
    const auto count_waiting = [&] {
        for (; queued; --queued) count(waiting[(head - queued) % kCountLag]);
    };

    const std::byte* r = f.t - 4;  // the record's first byte
    size_t i = 0;
    for (; i + 8 < n && frame; i += 8, r += 8 * s) {
        _mm_prefetch(reinterpret_cast<const char*>(r) + kFetchAhead, _MM_HINT_NTA);
        _mm_prefetch(reinterpret_cast<const char*>(r) + kFetchAhead + 64, _MM_HINT_NTA);
        const Lanes v = lanes(r, s);
        // Unsigned 16-bit compares also drop negative coordinates, which are at least 2**15.
        const __m256i on_sensor = _mm256_cmpeq_epi16(_mm256_min_epu16(v.xy, last_xy), v.xy);
        const __m256i ok = _mm256_and_si256(on_sensor, window.inside(v));
        if (static_cast<uint32_t>(_mm256_movemask_epi8(ok)) != 0xFFFFFFFFu) [[unlikely]] {
            count_waiting();
            for (int k = 0; k < 8; ++k)
                if (!step<T, C, P, true>(r + k * s + 4, f, c, counter)) return false;
            window = TimeWindow::around<T>(c.start, c.span, IntegerEdges<T>::key(load<T>(r + 7 * s + 4)));
            frame = counter.bytes();
            continue;
        }
        // The polarity's byte to the top of its lane: > 0 as a signed byte is > 0 as an int32.
        const __m256i p = _mm256_slli_epi32(v.pol, 24);
        const __m256i off = std::is_signed_v<P> ? _mm256_andnot_si256(_mm256_cmpgt_epi32(p, _mm256_setzero_si256()), plane)
                                                : _mm256_and_si256(_mm256_cmpeq_epi32(p, _mm256_setzero_si256()), plane);
        const __m256i cell = _mm256_add_epi32(_mm256_madd_epi16(v.xy, row), off);
        uint64_t* slot = waiting[head];
        if (queued == kCountLag) count(slot);
        else ++queued;
        _mm256_store_si256(reinterpret_cast<__m256i*>(slot), cell);
        head = (head + 1) % kCountLag;
    }
    count_waiting();
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
