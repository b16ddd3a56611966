// What the EVT 2.0 and DAT fast loops (evt_records.hpp, evt_records_avx2.hpp)
// hold of the decoder State while they run, in locals the compiler keeps in
// registers, and the one-record write they share. They take only events inside
// the sensor and the window, on a known time base, at times not before the
// earliest; everything else goes back to the Sink's decoder. No Python here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/evt_state.hpp"

namespace zv::kern::evt {

struct PlainRun {
    uint64_t width, height;
    int64_t lo, hi;  // window, narrowed to the earliest time decoded
    int64_t max_t;
    int64_t high;    // EVT 2.0: the current time high
    int64_t offset;  // loops + t0
    int64_t base;    // EVT 2.0: time of the current time high's first µs; DAT: offset
    int64_t last;    // DAT: raw time of the record before
    uint8_t* out;
    size_t n, limit;  // records written; the most this call may write

    PlainRun(const State& s, RecordBuffer& o, bool evt2)
        : width(static_cast<uint64_t>(s.width)), height(static_cast<uint64_t>(s.height)),
          lo(std::max(s.lo, s.min_t)), hi(s.hi), max_t(s.max_t), high(s.time_high), offset(s.loops + s.t0),
          base(evt2 ? (s.time_high << 6) + offset : offset), last(s.last), out(o.data()), n(o.size()),
          limit(o.capacity() > 1 ? o.capacity() - 1 : 0) {}

    static bool ready(const State& s) { return s.has_time && s.seen && s.has_first && s.min_t <= s.max_t; }

    // The event as a record; false: it goes to the Sink. A time behind the latest is noted as the Sink notes it.
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
        // Two 8-byte stores, the second spilling 3 bytes into the next slot (which the
        // next record overwrites): a call keeps one slot spare.
        const uint64_t head = (x & 0xFFFF) | (y & 0xFFFF) << 16 | static_cast<uint64_t>(t) << 32;
        const uint64_t tail = static_cast<uint64_t>(t) >> 32 | uint64_t{on ? 0x01u : 0xFFu} << 32;
        uint8_t* r = out + n++ * kRecordSize;
        std::memcpy(r, &head, 8);
        std::memcpy(r + 8, &tail, 8);
        return true;
    }

    // EVT 2.0: a time high that moves the base on without the Sink's care (no wrap, no
    // step back, inside the window); false leaves it to the Sink.
    ZV_EVT_INLINE bool advance(int64_t th) {
        const int64_t next = (th << 6) + offset;
        if (th < high || next >= hi) return false;
        high = th;
        base = next;
        return true;
    }

    void store(State& s, RecordBuffer& o) const {
        s.max_t = max_t;
        s.time_high = high;
        s.last = last;
        o.resize(n);
    }
};

}  // namespace zv::kern::evt
