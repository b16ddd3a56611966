// EVT 2.0 and DAT words decoded straight into records, for the words that need
// no care: events inside the sensor and the window, on a known time base, at
// times not before the earliest, and EVT 2.0 time highs that move on without a
// wrap. Everything else (clock wraps, times going back, words of unknown type,
// events the Sink must judge) is left to the Sink's decoder in evt.hpp, which
// calls these between such words.
//
// Where the CPU has AVX2, eight words at a time (evt_records_avx2.hpp), one at a
// time for a block that needs a closer look; elsewhere one at a time. Both give
// the same records and state (set_avx2(false) makes the second one run, for tests).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/evt_plain_run.hpp"
#include "kernels/evt_records_avx2.hpp"
#include "kernels/evt_state.hpp"

namespace zv::kern::evt {

inline bool use_avx2() {
#ifdef ZV_EVT_RECORDS_AVX2
    return avx2_allowed().load(std::memory_order_relaxed) && avx2_records::usable();
#else
    return false;
#endif
}

// EVT 2.0 words of [i, end) one at a time; returns the first word not taken.
ZV_EVT_INLINE size_t evt2_words(const uint8_t* buf, size_t i, size_t end, State& s, PlainRun& r) {
    for (; i < end && r.n < r.limit; ++i) {
        const uint32_t v = static_cast<uint32_t>(load_le(buf + 4 * i, 4));
        const uint32_t type = v >> 28;
        if (type <= 0x1) {
            if (!r.take(s, (v >> 11) & 2047, v & 2047, r.base + ((v >> 22) & 63), type == 1, 4 * i)) return i;
        } else if (type == 0x8) {
            if (!r.advance(v & 0x0FFFFFFF)) return i;
        } else if (type != 0xA && type < 0xE) {
            return i;  // of unknown type
        }
    }
    return i;
}

// DAT records of [i, end) one at a time, while the 32-bit clock does not wrap.
ZV_EVT_INLINE size_t dat_words(const uint8_t* buf, size_t i, size_t end, State& s, PlainRun& r) {
    for (; i < end && r.n < r.limit; ++i) {
        const int64_t raw = static_cast<int64_t>(load_le(buf + 8 * i, 4));
        const uint32_t d = static_cast<uint32_t>(load_le(buf + 8 * i + 4, 4));
        if (raw < r.last && r.last - raw > (int64_t{1} << 31)) return i;  // a wrap
        if (!r.take(s, d & 0x3FFF, (d >> 14) & 0x3FFF, raw + r.base, (d >> 28) > 0, 8 * i)) return i;
        r.last = raw;
    }
    return i;
}

#ifdef ZV_EVT_RECORDS_AVX2
// Blocks of eight while they need no closer look, then the words one at a time up to
// the next block; returns the first word not taken.
template <bool (*Block)(const uint8_t*, PlainRun&), size_t (*Words)(const uint8_t*, size_t, size_t, State&, PlainRun&)>
__attribute__((target("avx2,bmi,bmi2,popcnt"))) inline size_t blocks(const uint8_t* buf, size_t word, size_t i,
                                                                     size_t words, State& s, PlainRun& r) {
    while (i < words) {
        while (i + 8 <= words && r.n + 8 <= r.limit && Block(buf + word * i, r)) i += 8;
        const size_t end = std::min(words, i + 8), stop = Words(buf, i, end, s, r);
        if (stop < end) return stop;
        i = stop;
    }
    return i;
}
#endif

// EVT 2.0 words from i on: CD events and time highs; returns the first word not taken.
inline size_t decode_evt2_plain(const uint8_t* buf, size_t i, size_t words, State& s, RecordBuffer& o) {
    if (!PlainRun::ready(s)) return i;
    PlainRun r(s, o, true);
#ifdef ZV_EVT_RECORDS_AVX2
    if (use_avx2())
        i = blocks<avx2_records::evt2_block, evt2_words>(buf, 4, i, words, s, r);
    else
#endif
        i = evt2_words(buf, i, words, s, r);
    r.store(s, o);
    return i;
}

// DAT records from i on, while the 32-bit clock does not wrap; returns the first record not taken.
inline size_t decode_dat_plain(const uint8_t* buf, size_t i, size_t records, State& s, RecordBuffer& o) {
    if (!PlainRun::ready(s)) return i;
    PlainRun r(s, o, false);
#ifdef ZV_EVT_RECORDS_AVX2
    if (use_avx2())
        i = blocks<avx2_records::dat_block, dat_words>(buf, 8, i, records, s, r);
    else
#endif
        i = dat_words(buf, i, records, s, r);
    r.store(s, o);
    return i;
}

}  // namespace zv::kern::evt
