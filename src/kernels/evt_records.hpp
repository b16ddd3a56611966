// EVT 2.0 and DAT words decoded straight into records, for the words that need
// no care: events inside the sensor and the window, on a known time base, at
// times not before the earliest. Everything else (time highs, clock wraps,
// words of unknown type, events the Sink must judge) is left to the Sink's
// decoder in evt.hpp, which calls these between such words. One event per
// word: a record is two 8-byte stores, the second spilling 3 bytes into the
// next slot (which the next record overwrites), so a call keeps one slot spare.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/evt_state.hpp"

namespace zv::kern::evt {

// What the plain loops read of the State, in locals, and where they write.
struct PlainRun {
    uint64_t width, height;
    int64_t lo, hi;  // window, narrowed to the earliest time decoded
    int64_t max_t;
    uint8_t* out;
    size_t n, limit;  // records written; the most this call may write

    PlainRun(const State& s, RecordBuffer& o)
        : width(static_cast<uint64_t>(s.width)), height(static_cast<uint64_t>(s.height)),
          lo(std::max(s.lo, s.min_t)), hi(s.hi), max_t(s.max_t), out(o.data()), n(o.size()),
          limit(o.capacity() > 1 ? o.capacity() - 1 : 0) {}

    static bool ready(const State& s) { return s.has_time && s.seen && s.has_first && s.min_t <= s.max_t; }

    // False: the event goes to the Sink. A time behind the latest is noted as the Sink notes it.
    ZV_EVT_INLINE bool take(State& s, uint64_t x, uint64_t y, int64_t t, bool on, size_t at) {
        if ((x >= width) | (y >= height) | (t < lo) | (t >= hi)) return false;
        if (t < max_t) {
            if (!s.back) {
                s.back = 1;
                s.back_at = static_cast<int64_t>(at);
            }
        } else {
            max_t = t;
        }
        const uint64_t head = (x & 0xFFFF) | (y & 0xFFFF) << 16 | static_cast<uint64_t>(t) << 32;
        const uint64_t tail = static_cast<uint64_t>(t) >> 32 | uint64_t{on ? 0x01u : 0xFFu} << 32;
        uint8_t* r = out + n++ * kRecordSize;
        std::memcpy(r, &head, 8);
        std::memcpy(r + 8, &tail, 8);
        return true;
    }

    void store(State& s, RecordBuffer& o) const {
        s.max_t = max_t;
        o.resize(n);
    }
};

// Eight EVT 2.0 words at p, when all are CD events inside the sensor and the window
// with times that do not go back: written, true. Otherwise nothing is written. The
// checks are folded without a branch per word, so the compiler vectorises them.
ZV_EVT_INLINE bool evt2_block(const uint8_t* p, int64_t base, PlainRun& r) {
    constexpr int kWords = 8;
    uint32_t v[kWords];
    std::memcpy(v, p, sizeof v);
    uint32_t bad = 0;
    for (int k = 0; k < kWords; ++k) {
        bad |= v[k] >> 29;  // a type other than CD OFF (0) and ON (1)
        bad |= static_cast<uint32_t>(((v[k] >> 11) & 2047) >= r.width) | static_cast<uint32_t>((v[k] & 2047) >= r.height);
        if (k) bad |= static_cast<uint32_t>(((v[k] >> 22) & 63) < ((v[k - 1] >> 22) & 63));
    }
    const int64_t first = base + ((v[0] >> 22) & 63), last = base + ((v[kWords - 1] >> 22) & 63);
    if (bad || first < r.lo || first < r.max_t || last >= r.hi) return false;
    uint8_t* out = r.out + r.n * kRecordSize;
    for (int k = 0; k < kWords; ++k, out += kRecordSize) {
        const uint64_t t = static_cast<uint64_t>(base + ((v[k] >> 22) & 63));
        const uint64_t head = ((v[k] >> 11) & 2047) | uint64_t{v[k] & 2047} << 16 | t << 32;
        const uint64_t tail = t >> 32 | uint64_t{(v[k] >> 28) ? 0x01u : 0xFFu} << 32;
        std::memcpy(out, &head, 8);
        std::memcpy(out + 8, &tail, 8);
    }
    r.n += kWords;
    r.max_t = last;
    return true;
}

// EVT 2.0 words from i on: CD events under the current time high; returns the first word not taken.
inline size_t decode_evt2_plain(const uint8_t* buf, size_t i, size_t words, State& s, RecordBuffer& o) {
    if (!PlainRun::ready(s)) return i;
    PlainRun r(s, o);
    const int64_t base = (s.time_high << 6) + s.loops + s.t0;
    while (i < words && r.n < r.limit) {
        // Eight words at a time while they need no look; then one at a time, up to eight.
        while (i + 8 <= words && r.limit - r.n >= 8 && evt2_block(buf + 4 * i, base, r)) i += 8;
        bool stopped = false;
        for (const size_t end = std::min(words, i + 8); i < end && r.n < r.limit; ++i) {
            const uint32_t v = static_cast<uint32_t>(load_le(buf + 4 * i, 4));
            const uint32_t type = v >> 28;
            if (type <= 0x1) {
                if (!r.take(s, (v >> 11) & 2047, v & 2047, base + ((v >> 22) & 63), type == 1, 4 * i)) {
                    stopped = true;
                    break;
                }
            } else if (type < 0xA || type == 0xB || type == 0xC || type == 0xD) {
                stopped = true;  // time high, unknown type
                break;
            }
        }
        if (stopped) break;
    }
    r.store(s, o);
    return i;
}

// DAT records from i on, while the 32-bit clock does not wrap; returns the first record not taken.
inline size_t decode_dat_plain(const uint8_t* buf, size_t i, size_t records, State& s, RecordBuffer& o) {
    if (!PlainRun::ready(s)) return i;
    PlainRun r(s, o);
    const int64_t base = s.loops + s.t0;
    int64_t last = s.last;
    for (; i < records && r.n < r.limit; ++i) {
        const int64_t raw = static_cast<int64_t>(load_le(buf + 8 * i, 4));
        const uint32_t d = static_cast<uint32_t>(load_le(buf + 8 * i + 4, 4));
        if (raw < last && last - raw > (int64_t{1} << 31)) break;  // a wrap
        if (!r.take(s, d & 0x3FFF, (d >> 14) & 0x3FFF, raw + base, (d >> 28) > 0, 8 * i)) break;
        last = raw;
    }
    s.last = last;
    r.store(s, o);
    return i;
}

}  // namespace zv::kern::evt
