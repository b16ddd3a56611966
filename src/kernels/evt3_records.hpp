// EVT 3.0 words decoded straight into records, for the words that need no
// care: events inside the sensor and the window, on a known time base, at
// times not before the earliest. Everything else (time highs, words of unknown
// type, events the Sink must judge) is left to the Sink's decoder in evt.hpp,
// which calls decode_evt3_plain() between such words.
//
// Where the CPU has AVX2 (and avx2_allowed()), 16 words at a time: the row and
// time low each word sees are prefix maxima across the 16 lanes, the vector base
// is carried forward by shifts and blends (no branch per word: the types of
// successive words follow no pattern a branch predictor learns), each lane's
// record is built once in SIMD, then the words with events are walked by their
// mask. Elsewhere, and for a block that needs a closer look (a time high in it,
// times going back, a vector near the sensor's edge, times that carry past
// 2^32 µs), one word at a time.
//
// Records: the first few of a vector word are written whether its mask holds
// them or not, and the count advances by the mask's popcount; slots past it are
// overwritten later or lie beyond the records. A record is written with stores
// that spill 3 bytes into the next slot, which that slot's own stores overwrite.
// So a call needs room for the most records a block yields plus those extra
// slots: the caller's buffer decides, and is checked per block. A block gives
// each word its records' offset first (a prefix sum of the masks' popcounts),
// writes the vector words, then each ADDR_X word's one record exactly (written
// as vectors, ADDR_X words cost an eighth more decode time on a busy scene).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/evt_state.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZV_EVT3_AVX2 1
#endif

namespace zv::kern::evt {

// The fast path's view of one call: the State's fields it reads, in locals.
struct Evt3Run {
    uint64_t width, height;
    int64_t lo, hi;    // window, narrowed to the earliest time decoded
    int64_t base;      // time of time low 0 under the current time high
    uint64_t y, low, xb, pol;
    int64_t max_t;
    uint8_t* out;
    size_t n, cap;

    explicit Evt3Run(const State& s, RecordBuffer& o)
        : width(static_cast<uint64_t>(s.width)), height(static_cast<uint64_t>(s.height)),
          lo(std::max(s.lo, s.min_t)), hi(s.hi), base((s.time_high << 12) + s.loops + s.t0),
          y(static_cast<uint64_t>(s.y)), low(static_cast<uint64_t>(s.time_low)),
          xb(static_cast<uint64_t>(s.x_base)), pol(static_cast<uint64_t>(s.pol)), max_t(s.max_t),
          out(o.data()), n(o.size()), cap(o.capacity()) {}

    void store(State& s, RecordBuffer& o) const {
        s.y = static_cast<int64_t>(y);
        s.time_low = static_cast<int64_t>(low);
        s.x_base = static_cast<int64_t>(xb);
        s.pol = static_cast<int64_t>(pol);
        s.max_t = max_t;
        o.resize(n);
    }

    bool room(size_t records) const { return cap >= 2 && cap - 2 >= n && cap - 2 - n >= records; }

    // The records of one word: x from x0 + each set bit of mask, all at row y, time t, polarity p.
    ZV_EVT_INLINE void emit(uint64_t row, int64_t t, uint64_t p, uint64_t x0, uint32_t mask) {
        const uint64_t head = (row & 0xFFFF) << 16 | static_cast<uint64_t>(t) << 32;
        const uint64_t tail = static_cast<uint64_t>(t) >> 32 | (0xFFu ^ (p * 0xFEu)) << 32;
        uint8_t* r = out + n * kRecordSize;
        auto write = [&](uint64_t x) {
            const uint64_t first = head | (x & 0xFFFF);
            std::memcpy(r, &first, 8);
            std::memcpy(r + 8, &tail, 8);
            r += kRecordSize;
        };
        uint32_t m = mask;
        for (int k = 0; k < 4; ++k, m &= m - 1) write(x0 + static_cast<uint64_t>(std::countr_zero(m | 0x10000u)));
        for (; m; m &= m - 1) write(x0 + static_cast<uint64_t>(std::countr_zero(m)));
        n += static_cast<size_t>(std::popcount(mask));
    }
};

// Most records 16 words yield, and the slots past them that a block may write.
constexpr size_t kEvt3BlockRecords = 16 * 12 + 8;  // room for the vectors' extra stores too

// One word at a time over [i, end): returns the index of the first word not taken.
ZV_EVT_INLINE size_t evt3_words(const uint8_t* buf, size_t i, size_t end, State& s, Evt3Run& r) {
    // False: the word's events go to the Sink. Times behind the latest are noted as the Sink would.
    auto fits = [&](uint64_t top, int64_t t) {
        if ((r.y >= r.height) | (top >= r.width) | (t < r.lo) | (t >= r.hi)) return false;
        if (t < r.max_t) {
            if (!s.back) {
                s.back = 1;
                s.back_at = static_cast<int64_t>(2 * i);
            }
        } else {
            r.max_t = t;
        }
        return true;
    };
    for (; i < end && r.room(12 + 4); ++i) {
        const uint64_t v = static_cast<uint64_t>(buf[2 * i]) | static_cast<uint64_t>(buf[2 * i + 1]) << 8;
        const int64_t t = r.base + static_cast<int64_t>(r.low);
        switch (v >> 12) {
            case 0x0: r.y = v & 2047; continue;
            case 0x6: r.low = v & 0xFFF; continue;
            case 0x3: r.xb = v & 2047; r.pol = (v >> 11) & 1; continue;
            case 0x2:
                if (!fits(v & 2047, t)) return i;
                r.emit(r.y, t, (v >> 11) & 1, v & 2047, 1);
                continue;
            case 0x4:
            case 0x5: {
                const bool wide = (v >> 12) == 0x4;
                const uint32_t mask = static_cast<uint32_t>(v) & (wide ? 0xFFFu : 0xFFu);
                if (mask) {
                    if (!fits(r.xb + static_cast<uint64_t>(31 - std::countl_zero(mask)), t)) return i;
                    r.emit(r.y, t, r.pol, r.xb, mask);
                }
                r.xb = std::min<uint64_t>(r.xb + (wide ? 12 : 8), kFormats[kEvt3].x_range);
                continue;
            }
            case 0x7: case 0xA: case 0xE: case 0xF: continue;
            default: return i;  // time high, unknown type
        }
    }
    return i;
}

#ifdef ZV_EVT3_AVX2
namespace avx2 {

#define ZV_AVX2 __attribute__((target("avx2,bmi,bmi2,popcnt,lzcnt"), always_inline)) inline

// Lane 7 of v in every lane of the upper half, zero in the lower half.
ZV_AVX2 __m256i lane7_up(__m256i v) {
    return _mm256_shuffle_epi8(_mm256_permute2x128_si256(v, v, 0x08), _mm256_set1_epi16(0x0F0E));
}

// Lanes with bit 15 set keep their value; the others take that of the nearest such
// lane below them, or `carry` when there is none. Within each half first (shifts
// that stay in their 128 bits), then the lower half's last lane into the upper.
ZV_AVX2 __m256i carry_forward(__m256i v, __m256i carry) {
    v = _mm256_blendv_epi8(_mm256_bslli_epi128(v, 2), v, _mm256_srai_epi16(v, 15));
    v = _mm256_blendv_epi8(_mm256_bslli_epi128(v, 4), v, _mm256_srai_epi16(v, 15));
    v = _mm256_blendv_epi8(_mm256_bslli_epi128(v, 8), v, _mm256_srai_epi16(v, 15));
    v = _mm256_blendv_epi8(lane7_up(v), v, _mm256_srai_epi16(v, 15));
    return _mm256_blendv_epi8(carry, v, _mm256_srai_epi16(v, 15));
}

ZV_AVX2 __m256i prefix_sum(__m256i v) {
    v = _mm256_add_epi16(v, _mm256_bslli_epi128(v, 2));
    v = _mm256_add_epi16(v, _mm256_bslli_epi128(v, 4));
    v = _mm256_add_epi16(v, _mm256_bslli_epi128(v, 8));
    return _mm256_add_epi16(v, lane7_up(v));
}

ZV_AVX2 __m256i pick(__m256i sel, __m256i yes, __m256i no) { return _mm256_blendv_epi8(no, yes, sel); }

// The records of a vector word at `o`: x from x0 + each set bit of mask, all at row y, time
// t, polarity p. One 16-byte store a record, the first kVectorStores whether the mask
// holds them or not (no branch for the usual few bits); each store's last 3 bytes go
// into the next slot, which a later store overwrites.
constexpr int kVectorStores = 5;
static_assert(16 * 12 + kVectorStores <= kEvt3BlockRecords);

ZV_AVX2 void vector_records(uint8_t* o, __m128i rec, uint32_t mask) {
    auto write = [&](uint32_t bit) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_add_epi16(rec, _mm_cvtsi32_si128(static_cast<int>(bit))));
        o += kRecordSize;
    };
    uint32_t m = mask;
    for (int k = 0; k < kVectorStores; ++k, m &= m - 1) write(_tzcnt_u32(m));  // past the bits: 32
    for (; m; m &= m - 1) write(static_cast<uint32_t>(std::countr_zero(m)));
}

// Lanes `lane` and `lane + 8` of a templates() register into T.
ZV_AVX2 void template_pair(uint8_t* T, int lane, __m256i two) {
    _mm_store_si128(reinterpret_cast<__m128i*>(T + 16 * lane), _mm256_castsi256_si128(two));
    _mm_store_si128(reinterpret_cast<__m128i*>(T + 16 * (lane + 8)), _mm256_extracti128_si256(two, 1));
}

// Lanes lane .. lane + 3 and 8 on, from their x0 | y << 16 and time lows (32-bit lanes), and polarity bytes.
ZV_AVX2 void template_quad(uint8_t* T, int lane, __m256i xy, __m256i t, __m256i t_high, __m256i p) {
    const __m256i front_01 = _mm256_unpacklo_epi32(xy, t), front_23 = _mm256_unpackhi_epi32(xy, t);
    const __m256i back_01 = _mm256_unpacklo_epi32(t_high, p), back_23 = _mm256_unpackhi_epi32(t_high, p);
    template_pair(T, lane, _mm256_unpacklo_epi64(front_01, back_01));
    template_pair(T, lane + 1, _mm256_unpackhi_epi64(front_01, back_01));
    template_pair(T, lane + 2, _mm256_unpacklo_epi64(front_23, back_23));
    template_pair(T, lane + 3, _mm256_unpackhi_epi64(front_23, back_23));
}

// The 16 lanes' records as they are at x0 (16 bytes each, the record's 13 and 3 spare), into
// T in lane order: x0, y, the low 32 bits of base + low, the high 32 (the same for all), and
// the polarity's byte.
ZV_AVX2 void templates(__m256i x0, __m256i y, __m256i low, __m256i pol, int64_t base, uint8_t* T) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i t_low = _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(base)));
    const __m256i t_high = _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(static_cast<uint64_t>(base) >> 32)));
    const __m256i pbyte = _mm256_add_epi16(_mm256_add_epi16(pol, pol), _mm256_cmpeq_epi16(zero, zero));  // 1 or -1
    // 32-bit lanes, each half of a register holding lanes 0-3 / 8-11 (..._0) or 4-7 / 12-15 (..._4).
    const __m256i xy_0 = _mm256_unpacklo_epi16(x0, y), xy_4 = _mm256_unpackhi_epi16(x0, y);
    const __m256i t_0 = _mm256_add_epi32(_mm256_unpacklo_epi16(low, zero), t_low);
    const __m256i t_4 = _mm256_add_epi32(_mm256_unpackhi_epi16(low, zero), t_low);
    const __m256i p_0 = _mm256_unpacklo_epi16(pbyte, zero), p_4 = _mm256_unpackhi_epi16(pbyte, zero);
    template_quad(T, 0, xy_0, t_0, t_high, p_0);
    template_quad(T, 4, xy_4, t_4, t_high, p_4);
}

ZV_AVX2 __m256i prefix_max(__m256i v) {  // unsigned 16-bit lanes
    v = _mm256_max_epu16(v, _mm256_bslli_epi128(v, 2));
    v = _mm256_max_epu16(v, _mm256_bslli_epi128(v, 4));
    v = _mm256_max_epu16(v, _mm256_bslli_epi128(v, 8));
    return _mm256_max_epu16(v, lane7_up(v));
}

// The block loop's constant vectors, made once a call and read from memory in each block
// (left to itself, the compiler builds each from an immediate again, in 2 or 3 instructions).
struct Lanes {
    __m256i care, mask_low, mask_high, single, step, reach;  // by word type (pshufb tables)
    __m256i lane_up, nibble_bits;
    __m256i x11, low12, byte, base14, pol14, flag, one, bytes_low4, bytes_one, range;
    __m256i type_y, type_x, type_base, type_low;
    __m256i last_row, last_column;  // of the sensor

    ZV_AVX2 static __m256i table(int8_t t1, int8_t t2, int8_t t3, int8_t t4, int8_t t5, int8_t t6) {
        return _mm256_broadcastsi128_si256(_mm_setr_epi8(0, t1, t2, t3, t4, t5, t6, 0, 0, 0, 0, 0, 0, 0, 0, 0));
    }
    ZV_AVX2 static __m256i all(int v) { return _mm256_set1_epi16(static_cast<short>(v)); }

    Lanes() = default;
    // Out of line, so that the loop reads the values from memory rather than building them.
    __attribute__((target("avx2,bmi,bmi2,popcnt,lzcnt"), noinline)) void fill(const Evt3Run& r) { *this = Lanes(r); }
    ZV_AVX2 explicit Lanes(const Evt3Run& r)
        // Types the Sink takes: 1, 8, 9, B, C, D (time high and the unknown ones).
        : care(_mm256_broadcastsi128_si256(_mm_setr_epi8(0, -1, 0, 0, 0, 0, 0, 0, -1, -1, 0, -1, -1, -1, 0, 0))),
          mask_low(table(0, 0, 0, -1, -1, 0)), mask_high(table(0, 0, 0, 0x0F, 0, 0)), single(table(0, 1, 0, 0, 0, 0)),
          step(table(0, 0, 0, 12, 8, 0)), reach(table(0, 0, 0, 11, 7, 0)),
          lane_up(_mm256_setr_epi16(1 << 11, 2 << 11, 3 << 11, 4 << 11, 5 << 11, 6 << 11, 7 << 11, 8 << 11, 9 << 11,
                                    10 << 11, 11 << 11, 12 << 11, 13 << 11, 14 << 11, 15 << 11,
                                    static_cast<short>(16 << 11))),
          nibble_bits(_mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2,
                                       3, 2, 3, 3, 4)),
          x11(all(2047)), low12(all(0xFFF)), byte(all(0xFF)), base14(all(0x3FFF)), pol14(all(0x4000)),
          flag(all(0x8000)), one(all(1)), bytes_low4(_mm256_set1_epi8(0x0F)), bytes_one(_mm256_set1_epi8(1)),
          range(all(2048)), type_y(all(0x0)), type_x(all(0x2)), type_base(all(0x3)), type_low(all(0x6)),
          last_row(all(static_cast<int>(r.height) - 1)), last_column(all(static_cast<int>(r.width) - 1)) {}
};

// The 16 words at p, or false (nothing written, r unchanged) when any needs a closer look.
__attribute__((target("avx2,bmi,bmi2,popcnt,lzcnt"), always_inline)) inline bool block(const uint8_t* p, Evt3Run& r,
                                                                                   const Lanes& k) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i type = _mm256_srli_epi16(v, 12);  // high bytes 0: the tables' entry 0
    const __m256i care = _mm256_shuffle_epi8(k.care, type);
    if (!_mm256_testz_si256(care, care)) return false;
    const __m256i x11 = _mm256_and_si256(v, k.x11);
    const __m256i is_x = _mm256_cmpeq_epi16(type, k.type_x);
    // Row each word sees: the latest ADDR_Y, found as the largest of (its lane + 1) << 11 | y,
    // the carried row (lane 0) below them all.
    const __m256i y_key = _mm256_and_si256(_mm256_cmpeq_epi16(type, k.type_y), _mm256_or_si256(x11, k.lane_up));
    const __m256i y = _mm256_and_si256(
        _mm256_max_epu16(prefix_max(y_key), _mm256_set1_epi16(static_cast<short>(r.y))), k.x11);
    // Time low each word sees: times may not go back within the block, so it is the largest
    // time low so far (the carried one included), and each TIME_LOW must be that largest.
    const __m256i is_low = _mm256_cmpeq_epi16(type, k.type_low);
    const __m256i low_word = _mm256_and_si256(is_low, _mm256_and_si256(v, k.low12));
    const __m256i low = _mm256_max_epu16(prefix_max(low_word), _mm256_set1_epi16(static_cast<short>(r.low)));
    if (!_mm256_testc_si256(_mm256_cmpeq_epi16(low, low_word), is_low)) return false;
    // Events: ADDR_X one at its x, VECT_12 / VECT_8 their masks from the vector base.
    const __m256i mask_bits = _mm256_or_si256(_mm256_shuffle_epi8(k.mask_low, type),
                                              _mm256_slli_epi16(_mm256_shuffle_epi8(k.mask_high, type), 8));
    const __m256i mask = _mm256_or_si256(_mm256_and_si256(v, mask_bits), _mm256_shuffle_epi8(k.single, type));
    // Records each word yields (popcount) and the steps each moves the vector base (12 / 8),
    // summed over the words before it in one prefix sum: steps in the low bytes, records in the high.
    const __m256i bits = _mm256_add_epi8(
        _mm256_shuffle_epi8(k.nibble_bits, _mm256_and_si256(mask, k.bytes_low4)),
        _mm256_shuffle_epi8(k.nibble_bits, _mm256_and_si256(_mm256_srli_epi16(mask, 4), k.bytes_low4)));
    const __m256i step = _mm256_shuffle_epi8(k.step, type);
    const __m256i own = _mm256_add_epi16(step, _mm256_slli_epi16(_mm256_maddubs_epi16(bits, k.bytes_one), 8));
    const __m256i sums = prefix_sum(own);
    const __m256i before = _mm256_sub_epi16(sums, own);
    const __m256i upto = _mm256_and_si256(before, k.byte);  // steps of the words before each
    // Vector base: VECT_BASE_X sets it, each VECT_12 / VECT_8 moves it after its own use. A base
    // word holds (its x minus the steps before it) in 14 bits, its polarity in bit 14.
    const __m256i base_word = _mm256_and_si256(
        _mm256_cmpeq_epi16(type, k.type_base),
        _mm256_or_si256(_mm256_or_si256(k.flag, _mm256_and_si256(_mm256_slli_epi16(v, 3), k.pol14)),
                        _mm256_and_si256(_mm256_sub_epi16(x11, upto), k.base14)));
    const __m256i based = carry_forward(
        base_word, _mm256_set1_epi16(static_cast<short>(0x8000 | (r.pol << 14) | (r.xb & 0x3FFF))));
    // Sign-extend the 14-bit offset and add the steps before each word.
    const __m256i xb = _mm256_add_epi16(_mm256_srai_epi16(_mm256_slli_epi16(based, 2), 2), upto);
    const __m256i vpol = _mm256_and_si256(_mm256_srli_epi16(based, 14), k.one);
    // The base may not pass the format's range (it would be clamped there).
    const __m256i moved = _mm256_add_epi16(xb, step);
    const __m256i past = _mm256_cmpgt_epi16(moved, k.range);
    if (!_mm256_testz_si256(past, past)) return false;
    const __m256i x0 = pick(is_x, x11, xb);
    const __m256i pol = pick(is_x, _mm256_and_si256(_mm256_srli_epi16(v, 11), k.one), vpol);
    const __m256i has = _mm256_cmpgt_epi16(mask, _mm256_setzero_si256());
    // Rightmost x a word may reach, by its width (exact for ADDR_X, at most for vectors).
    const __m256i reach = _mm256_add_epi16(x0, _mm256_shuffle_epi8(k.reach, type));
    const __m256i outside = _mm256_or_si256(
        _mm256_cmpgt_epi16(y, k.last_row), _mm256_cmpgt_epi16(reach, k.last_column));
    if (!_mm256_testz_si256(outside, has)) return false;
    uint32_t events = static_cast<uint32_t>(_mm256_movemask_epi8(has));
    // Times: the block's first is the carried one or later, its last the last lane's (its
    // largest), and all of them share the high 32 bits of the base (no carry out of the low).
    const int64_t base = r.base;
    const uint64_t last_low = static_cast<uint16_t>(_mm256_extract_epi16(low, 15));
    if (base + static_cast<int64_t>(r.low) < std::max(r.lo, r.max_t) || base + static_cast<int64_t>(last_low) >= r.hi ||
        (static_cast<uint64_t>(base) & 0xFFFFFFFFu) + last_low > 0xFFFFFFFFu)
        return false;
    alignas(32) uint8_t T[16 * 16];
    templates(x0, y, low, pol, base, T);
    alignas(32) uint16_t O[16], M[16];
    _mm256_store_si256(reinterpret_cast<__m256i*>(O), _mm256_srli_epi16(before, 8));
    _mm256_store_si256(reinterpret_cast<__m256i*>(M), mask);
    const uint64_t records = static_cast<uint16_t>(_mm256_extract_epi16(sums, 15)) >> 8;
    if (events) {
        const unsigned last = static_cast<unsigned>(31 - std::countl_zero(events)) >> 1;
        alignas(32) uint16_t L[16];
        _mm256_store_si256(reinterpret_cast<__m256i*>(L), low);
        r.max_t = base + L[last];
    }
    // Each lane's records go to their own offset, so the vector words are written first and
    // the ADDR_X words after, exactly 13 bytes each: the vectors' extra stores run past
    // their records, over slots written later.
    uint8_t* const o = r.out + r.n * kRecordSize;
    // One bit a lane (the even ones of the byte masks): bit 2 * lane, which also indexes T in 8s.
    uint32_t singles = events & static_cast<uint32_t>(_mm256_movemask_epi8(is_x)) & 0x55555555u;
    auto lane16 = [](const uint16_t* a, unsigned at) {  // a[at / 2]
        uint16_t v;
        std::memcpy(&v, reinterpret_cast<const uint8_t*>(a) + at, 2);
        return v;
    };
    for (uint32_t vectors = events & ~singles & 0x55555555u; vectors; vectors &= vectors - 1) {
        const unsigned at = static_cast<unsigned>(std::countr_zero(vectors));
        vector_records(o + lane16(O, at) * kRecordSize, _mm_load_si128(reinterpret_cast<const __m128i*>(T + 8 * at)),
                       lane16(M, at));
    }
    for (; singles; singles &= singles - 1) {
        const unsigned at = static_cast<unsigned>(std::countr_zero(singles));
        uint64_t head, tail;  // bytes 0 to 7 and 5 to 12
        std::memcpy(&head, T + 8 * at, 8);
        std::memcpy(&tail, T + 8 * at + 5, 8);
        std::memcpy(o + lane16(O, at) * kRecordSize, &head, 8);
        std::memcpy(o + lane16(O, at) * kRecordSize + 5, &tail, 8);
    }
    r.n += records;
    r.y = static_cast<uint16_t>(_mm256_extract_epi16(y, 15));
    r.low = last_low;
    r.xb = static_cast<uint16_t>(_mm256_extract_epi16(moved, 15));
    r.pol = static_cast<uint16_t>(_mm256_extract_epi16(vpol, 15));
    return true;
}

#undef ZV_AVX2

}  // namespace avx2

__attribute__((target("avx2,bmi,bmi2,popcnt,lzcnt"))) inline size_t evt3_blocks(const uint8_t* buf, size_t i,
                                                                              size_t words, State& s, Evt3Run& r) {
    avx2::Lanes k;
    k.fill(r);
    while (i + 16 <= words && r.room(kEvt3BlockRecords)) {
        if (avx2::block(buf + 2 * i, r, k)) {
            i += 16;
            continue;
        }
        const size_t stop = evt3_words(buf, i, i + 16, s, r);
        if (stop < i + 16) return stop;
        i = stop;
    }
    return evt3_words(buf, i, words, s, r);
}
#endif

// Words from i on, as far as they need no care; returns the index of the first not taken.
inline size_t decode_evt3_plain(const uint8_t* buf, size_t i, size_t words, State& s, RecordBuffer& out) {
    if (!(s.has_time && s.seen && s.has_first && s.min_t <= s.max_t)) return i;
    Evt3Run r(s, out);
#ifdef ZV_EVT3_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") &&
                             __builtin_cpu_supports("lzcnt") && __builtin_cpu_supports("popcnt");
    i = avx2 && avx2_allowed().load(std::memory_order_relaxed) ? evt3_blocks(buf, i, words, s, r)
                                                                : evt3_words(buf, i, words, s, r);
#else
    i = evt3_words(buf, i, words, s, r);
#endif
    r.store(s, out);
    return i;
}

}  // namespace zv::kern::evt
