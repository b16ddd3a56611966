// EVT 2.0 and DAT blocks decoded with AVX2 straight into records, for
// evt_records.hpp: eight words (EVT 2.0) or eight records (DAT) at a time,
// every check folded into one mask so that a block costs one branch. A block
// is taken whole or not at all; one that is not (an event outside the sensor
// or the window, a time going back, a time high that does not move on, a
// word of unknown type, a clock wrap) is left to the one-word loops, which
// see the same words.
//
// EVT 2.0: a block may mix CD events with time-high words and words that carry
// no event (types A, E, F). The time high each word sees is carried forward
// across the lanes by a prefix maximum (time highs only rise inside a block
// taken), the event words are moved to the front (a table of lane orders by
// the mask of event words) and all eight records written.
//
// Records: a record is one 16-byte store (x, y, t, p and 3 spare bytes) at its
// 13-byte slot, each store spilling into the next slot, which that slot's own
// store then overwrites: so a block needs nine free slots, and slots past the
// block's events are overwritten later or lie beyond the records. No Python here.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "kernels/evt_plain_run.hpp"

#define ZV_EVT_RECORDS_AVX2 1

namespace zv::kern::evt::avx2_records {

#define ZV_AVX2 __attribute__((target("avx2,bmi,bmi2,popcnt"), always_inline)) inline

// Lane order that moves the lanes set in a mask to the front, 3 bits a lane.
inline constexpr std::array<uint32_t, 256> kFront = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t m = 0; m < 256; ++m) {
        uint32_t word = 0, k = 0;
        for (uint32_t lane = 0; lane < 8; ++lane)
            if (m >> lane & 1) word |= lane << (3 * k++);
        t[m] = word;
    }
    return t;
}();

ZV_AVX2 __m256i front(uint32_t mask) {
    const __m256i packed = _mm256_set1_epi32(static_cast<int>(kFront[mask]));
    return _mm256_and_si256(_mm256_srlv_epi32(packed, _mm256_setr_epi32(0, 3, 6, 9, 12, 15, 18, 21)),
                            _mm256_set1_epi32(7));
}

// Lane j of the result is lane j - k of v, `fill` below k (32-bit lanes).
template <int k>
ZV_AVX2 __m256i shift_up(__m256i v, __m256i fill) {
    static_assert(k == 1 || k == 2 || k == 4);
    const __m256i order = k == 1   ? _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6)
                          : k == 2 ? _mm256_setr_epi32(0, 0, 0, 1, 2, 3, 4, 5)
                                   : _mm256_setr_epi32(0, 0, 0, 0, 0, 1, 2, 3);
    return _mm256_blend_epi32(_mm256_permutevar8x32_epi32(v, order), fill, (1 << k) - 1);
}

// Lane j: the largest of lanes 0..j (signed).
ZV_AVX2 __m256i prefix_max(__m256i v) {
    const __m256i least = _mm256_set1_epi32(std::numeric_limits<int32_t>::min());
    v = _mm256_max_epi32(v, shift_up<1>(v, least));
    v = _mm256_max_epi32(v, shift_up<2>(v, least));
    return _mm256_max_epi32(v, shift_up<4>(v, least));
}

ZV_AVX2 int32_t lane7(__m256i v) { return _mm256_extract_epi32(v, 7); }

// Four records from 64-bit lanes of x | y << 16, t and p (1 or 0xFF), at out.
ZV_AVX2 void store4(uint8_t* out, __m256i xy, __m256i t, __m256i p) {
    const __m256i head = _mm256_or_si256(xy, _mm256_slli_epi64(t, 32));
    const __m256i tail = _mm256_or_si256(_mm256_srli_epi64(t, 32), _mm256_slli_epi64(p, 32));
    const __m256i r02 = _mm256_unpacklo_epi64(head, tail);  // records 0 and 2
    const __m256i r13 = _mm256_unpackhi_epi64(head, tail);  // records 1 and 3
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(r02));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + kRecordSize), _mm256_castsi256_si128(r13));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * kRecordSize), _mm256_extracti128_si256(r02, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * kRecordSize), _mm256_extracti128_si256(r13, 1));
}

ZV_AVX2 __m256i wide(__m128i v) { return _mm256_cvtepu32_epi64(v); }

// Eight records from 32-bit lanes: x | y << 16, time after `base`, p.
ZV_AVX2 void store8(uint8_t* out, __m256i xy, __m256i rel, __m256i p, int64_t base) {
    const __m256i b = _mm256_set1_epi64x(base);
    store4(out, wide(_mm256_castsi256_si128(xy)), _mm256_add_epi64(b, wide(_mm256_castsi256_si128(rel))),
           wide(_mm256_castsi256_si128(p)));
    store4(out + 4 * kRecordSize, wide(_mm256_extracti128_si256(xy, 1)),
           _mm256_add_epi64(b, wide(_mm256_extracti128_si256(rel, 1))), wide(_mm256_extracti128_si256(p, 1)));
}

// int64 `t - base` held in int32, saturated.
inline int32_t below(int64_t t, int64_t base) {
    int64_t d;
    if (__builtin_sub_overflow(t, base, &d) || d < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return d > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(d);
}

// Eight records of one time base whose upper 32 bits are `high` for all: 32-bit lanes
// of x | y << 16, the time's lower 32 bits and p.
ZV_AVX2 void store8_one_base(uint8_t* out, __m256i xy, __m256i t_low, __m256i p, uint32_t high) {
    const __m256i h = _mm256_set1_epi32(static_cast<int>(high));
    const __m256i head_a = _mm256_unpacklo_epi32(xy, t_low), head_b = _mm256_unpackhi_epi32(xy, t_low);
    const __m256i tail_a = _mm256_unpacklo_epi32(h, p), tail_b = _mm256_unpackhi_epi32(h, p);
    const __m256i r04 = _mm256_unpacklo_epi64(head_a, tail_a), r15 = _mm256_unpackhi_epi64(head_a, tail_a);
    const __m256i r26 = _mm256_unpacklo_epi64(head_b, tail_b), r37 = _mm256_unpackhi_epi64(head_b, tail_b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(r04));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + kRecordSize), _mm256_castsi256_si128(r15));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * kRecordSize), _mm256_castsi256_si128(r26));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * kRecordSize), _mm256_castsi256_si128(r37));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * kRecordSize), _mm256_extracti128_si256(r04, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 5 * kRecordSize), _mm256_extracti128_si256(r15, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 6 * kRecordSize), _mm256_extracti128_si256(r26, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 7 * kRecordSize), _mm256_extracti128_si256(r37, 1));
}

// EVT 2.0 polarity as the record's byte: 0x101 for ON (byte 1), 0xFF for OFF.
ZV_AVX2 __m256i evt2_polarity(__m256i v) {
    return _mm256_add_epi32(_mm256_and_si256(_mm256_srli_epi32(v, 27), _mm256_set1_epi32(2)), _mm256_set1_epi32(0xFF));
}

// Eight EVT 2.0 words of events only, under the current time high.
ZV_AVX2 bool evt2_events(__m256i v, __m256i x, __m256i y, __m256i low, __m256i outside, PlainRun& b) {
    // Times never below the one before, nor the latest written, nor the window's start.
    const __m256i floor = _mm256_set1_epi32(below(std::max(b.max_t, b.lo), b.base));
    const __m256i bad = _mm256_or_si256(outside, _mm256_cmpgt_epi32(shift_up<1>(low, floor), low));
    const int64_t latest = b.base + lane7(low);
    if (!_mm256_testz_si256(bad, bad) || latest >= b.hi) return false;
    const __m256i xy = _mm256_or_si256(x, _mm256_slli_epi32(y, 16));
    uint8_t* out = b.out + b.n * kRecordSize;
    const uint64_t base = static_cast<uint64_t>(b.base);
    if ((base & 0xFFFFFFFF) <= 0xFFFFFFFF - 63) {  // the upper 32 bits are the base's for every time
        store8_one_base(out, xy, _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(base)), low), evt2_polarity(v),
                        static_cast<uint32_t>(base >> 32));
    } else {
        store8(out, xy, low, evt2_polarity(v), b.base);
    }
    b.n += 8;
    b.max_t = latest;
    return true;
}

// Eight EVT 2.0 words mixing events, time highs (8) and words without an event (A, E, F).
ZV_AVX2 bool evt2_mixed(__m256i v, __m256i x, __m256i y, __m256i low, __m256i outside, __m256i cd, uint32_t events,
                        PlainRun& b) {
    const __m256i type = _mm256_srli_epi32(v, 28);
    const __m256i th = _mm256_cmpeq_epi32(type, _mm256_set1_epi32(0x8));
    const __m256i none = _mm256_or_si256(_mm256_cmpeq_epi32(type, _mm256_set1_epi32(0xA)),
                                         _mm256_cmpgt_epi32(type, _mm256_set1_epi32(0xD)));
    __m256i bad = _mm256_or_si256(outside, _mm256_andnot_si256(_mm256_or_si256(cd, _mm256_or_si256(th, none)),
                                                              _mm256_set1_epi32(-1)));
    // The time high each word sees: a prefix maximum, as time highs only rise in a block taken.
    const __m256i now = _mm256_set1_epi32(static_cast<int32_t>(b.high));
    const __m256i raw = _mm256_and_si256(th, _mm256_and_si256(v, _mm256_set1_epi32(0x0FFFFFFF)));
    const __m256i seen = _mm256_max_epi32(prefix_max(raw), now);
    // A time high below the one before it (a wrap, or times going back) takes the Sink.
    bad = _mm256_or_si256(bad, _mm256_and_si256(th, _mm256_cmpgt_epi32(shift_up<1>(seen, now), raw)));
    const int32_t high = lane7(seen);
    if (high - b.high >= (1 << 24)) return false;  // times after the base must fit in 31 bits
    const __m256i rel = _mm256_add_epi32(_mm256_slli_epi32(_mm256_sub_epi32(seen, now), 6), low);
    // Event times never below the one before, nor the latest written, nor the window's start.
    const __m256i least = _mm256_set1_epi32(std::numeric_limits<int32_t>::min());
    const __m256i upto = prefix_max(_mm256_blendv_epi8(least, rel, cd));
    const __m256i floor = _mm256_set1_epi32(below(std::max(b.max_t, b.lo), b.base));
    const __m256i before = _mm256_max_epi32(shift_up<1>(upto, floor), floor);
    bad = _mm256_or_si256(bad, _mm256_and_si256(cd, _mm256_cmpgt_epi32(before, rel)));
    if (!_mm256_testz_si256(bad, bad)) return false;
    const int64_t base = (static_cast<int64_t>(high) << 6) + b.offset;
    const int64_t latest = b.base + lane7(upto);
    if ((events && latest >= b.hi) || base >= b.hi) return false;
    // The event lanes to the front, written as records.
    const __m256i order = front(events);
    const __m256i xy = _mm256_or_si256(x, _mm256_slli_epi32(y, 16));
    store8(b.out + b.n * kRecordSize, _mm256_permutevar8x32_epi32(xy, order), _mm256_permutevar8x32_epi32(rel, order),
           _mm256_permutevar8x32_epi32(evt2_polarity(v), order), b.base);
    b.n += static_cast<size_t>(std::popcount(events));
    if (events) b.max_t = latest;
    b.high = high;
    b.base = base;
    return true;
}

// Eight EVT 2.0 words at p; false (nothing written, b unchanged) when any needs a closer look.
__attribute__((target("avx2,bmi,bmi2,popcnt"))) inline bool evt2_block(const uint8_t* p, PlainRun& b) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i cd = _mm256_cmpeq_epi32(_mm256_srli_epi32(v, 29), _mm256_setzero_si256());
    const __m256i x = _mm256_and_si256(_mm256_srli_epi32(v, 11), _mm256_set1_epi32(2047));
    const __m256i y = _mm256_and_si256(v, _mm256_set1_epi32(2047));
    const __m256i low = _mm256_and_si256(_mm256_srli_epi32(v, 22), _mm256_set1_epi32(63));
    const __m256i outside = _mm256_and_si256(
        cd, _mm256_or_si256(_mm256_cmpgt_epi32(x, _mm256_set1_epi32(static_cast<int>(b.width) - 1)),
                            _mm256_cmpgt_epi32(y, _mm256_set1_epi32(static_cast<int>(b.height) - 1))));
    const uint32_t events = static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(cd)));
    if (events == 0xFF) return evt2_events(v, x, y, low, outside, b);
    return evt2_mixed(v, x, y, low, outside, cd, events, b);
}

// Four DAT records of one load: x | y << 16, t and p in 64-bit lanes, and the
// lanes that need a closer look (`carry`: the time the first must not be below).
ZV_AVX2 __m256i dat_four(const uint8_t* p, const PlainRun& b, __m256i carry, __m256i& xy, __m256i& t, __m256i& pol) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i d = _mm256_srli_epi64(v, 32);
    t = _mm256_add_epi64(_mm256_and_si256(v, _mm256_set1_epi64x(0xFFFFFFFF)), _mm256_set1_epi64x(b.base));
    const __m256i x = _mm256_and_si256(d, _mm256_set1_epi64x(0x3FFF));
    const __m256i y = _mm256_and_si256(_mm256_srli_epi64(d, 14), _mm256_set1_epi64x(0x3FFF));
    xy = _mm256_or_si256(x, _mm256_slli_epi64(y, 16));
    const __m256i off = _mm256_cmpeq_epi64(_mm256_srli_epi64(d, 28), _mm256_setzero_si256());
    pol = _mm256_sub_epi64(_mm256_set1_epi64x(1), _mm256_and_si256(off, _mm256_set1_epi64x(2)));  // 1 or -1
    const __m256i before = _mm256_blend_epi32(_mm256_permute4x64_epi64(t, 0x90), carry, 0x03);
    return _mm256_or_si256(_mm256_cmpgt_epi64(before, t),
                           _mm256_or_si256(_mm256_cmpgt_epi64(x, _mm256_set1_epi64x(static_cast<int>(b.width) - 1)),
                                           _mm256_cmpgt_epi64(y, _mm256_set1_epi64x(static_cast<int>(b.height) - 1))));
}

// Eight DAT records at p; false (nothing written, b unchanged) when any needs a closer look.
__attribute__((target("avx2,bmi,bmi2,popcnt"))) inline bool dat_block(const uint8_t* p, PlainRun& b) {
    // The first time may not be below the latest, the window's start, nor the raw time
    // before it (the clock's wrap is the Sink's).
    const int64_t floor = std::max({b.max_t, b.lo, b.base + b.last});
    __m256i xy0, t0, p0, xy1, t1, p1;
    const __m256i bad0 = dat_four(p, b, _mm256_set1_epi64x(floor), xy0, t0, p0);
    const __m256i bad1 = dat_four(p + 32, b, _mm256_permute4x64_epi64(t0, 0xFF), xy1, t1, p1);
    const __m256i bad = _mm256_or_si256(bad0, bad1);
    const int64_t latest = _mm256_extract_epi64(t1, 3);
    if (!_mm256_testz_si256(bad, bad) || latest >= b.hi) return false;
    uint8_t* out = b.out + b.n * kRecordSize;
    store4(out, xy0, t0, p0);
    store4(out + 4 * kRecordSize, xy1, t1, p1);
    b.n += 8;
    b.max_t = latest;
    b.last = latest - b.base;
    return true;
}

inline bool usable() {
    static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") &&
                            __builtin_cpu_supports("popcnt");
    return yes;
}

#undef ZV_AVX2

}  // namespace zv::kern::evt::avx2_records
#endif
