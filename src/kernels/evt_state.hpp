// What the event-camera decoders share: the formats they read, the State they
// carry from chunk to chunk, and where decoded events go (packed records of
// x <i2, y <i2, t <i8, p i1; 13 bytes, or any other Out through a Sink), with
// the clock helpers every decoder uses. No Python here.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <limits>

namespace zv::kern::evt {

// Whether the fast loops may use AVX2 where the CPU has it (on unless a test turns it off).
inline std::atomic<bool>& avx2_allowed() {
    static std::atomic<bool> yes{true};
    return yes;
}

// The decoders' inner calls are inlined into decode(), so that the state they
// work on is a local whose fields stay in registers: records are written as
// bytes, and a byte store may alias any field the compiler cannot prove local.
#define ZV_EVT_INLINE inline __attribute__((always_inline))

static_assert(std::endian::native == std::endian::little, "records are written in native order");

constexpr size_t kRecordSize = 13;

// The record's fields, packed in this order, as NumPy names their types: x, y
// (int16), t (int64, µs), p (int8, -1 or 1). The one definition of the event dtype.
struct RecordField {
    const char* name;
    const char* type;
    size_t size;
};
inline constexpr RecordField kRecordFields[] = {{"x", "<i2", 2}, {"y", "<i2", 2}, {"t", "<i8", 8}, {"p", "i1", 1}};
static_assert(kRecordFields[0].size + kRecordFields[1].size + kRecordFields[2].size + kRecordFields[3].size ==
              kRecordSize);

enum Format : int64_t {
    kEvt2 = 0, kEvt21 = 1, kEvt3 = 2, kDat = 3, kNmnist = 4,
    kAedat2Dvs128 = 5, kAedat2Davis = 6, kAedat31 = 7, kText = 8, kCsv = 9,
};

// What a caller needs to know of each format, indexed by Format: its name, the
// bytes per word (a chunk is decoded in whole words), the most records one word
// yields (the room a buffer needs to make progress), the coordinates its
// addresses can reach, and how far its clock runs before it wraps (µs).
struct FormatInfo {
    const char* name;
    size_t word;
    size_t max_per_word;
    int64_t x_range, y_range;
    int64_t period;
};
inline constexpr FormatInfo kFormats[] = {
    {"EVT 2.0", 4, 1, 2048, 2048, int64_t{1} << 34},
    {"EVT 2.1", 8, 32, 2048, 2048, int64_t{1} << 34},
    {"EVT 3.0", 2, 12, 2048, 2048, int64_t{1} << 24},
    {"DAT", 8, 1, 16384, 16384, int64_t{1} << 32},
    {"N-MNIST", 5, 1, 256, 256, int64_t{1} << 23},
    {"AEDAT 2.0 DVS128", 8, 1, 128, 128, int64_t{1} << 32},
    {"AEDAT 2.0 DAVIS", 8, 1, 1024, 512, int64_t{1} << 32},
    // Formats of a variable unit (a packet, a line) take bytes one at a time and leave a part unconsumed.
    {"AEDAT 3.1", 1, 1, 32768, 32768, int64_t{1} << 32},
    {"text", 1, 1, 32768, 32768, 0},
    {"CSV", 1, 1, 32768, 32768, 0},
};
constexpr int64_t kFormatCount = sizeof kFormats / sizeof kFormats[0];

inline size_t word_size(Format f) { return kFormats[f].word; }

// What stopped decoding. kOutside: an event outside the sensor while
// drop_outside is 0 (the event is in outside_x/y/t, the word in error_at/word).
// kTimeOverflow: t0 plus the clock's wraps would pass the largest int64.
// kBadPacket: an AEDAT 3.1 packet header that is no packet's; kBadLine: a text
// line that is not an event (error_word says why, in aedat.hpp and text_events.hpp).
enum Error : int64_t { kOk = 0, kUnknownType = 1, kOutside = 2, kTimeOverflow = 3, kBadPacket = 4, kBadLine = 5 };

// Everything carried between chunks, all int64 so the caller can hold it in a
// flat integer array. Set t0/start/duration (and first/has_first when a read
// starts mid-file) before the first chunk; leave the rest zero.
struct State {
    int64_t t0 = 0;            // added to every timestamp
    int64_t start = 0;         // window start, after the first event's time
    int64_t duration = -1;     // window length; below 0: to the end
    int64_t has_first = 0;     // the first event's time is known
    int64_t first = 0;         // time of the file's first event (absolute)
    int64_t lo = 0, hi = 0;    // window [lo, hi), set with `first`
    int64_t has_time = 0;      // a time base has been seen (EVT formats)
    int64_t time_high = 0;     // last time-high word value
    int64_t loops = 0;         // wraps of the format's clock, in µs
    int64_t time_low = 0;      // EVT 3.0
    int64_t y = 0;             // EVT 3.0 current row
    int64_t x_base = 0;        // EVT 3.0 vector base
    int64_t pol = 0;           // EVT 3.0 vector polarity
    int64_t last = 0;          // DAT: last raw 32-bit time
    int64_t done = 0;          // past the window's end: stop reading
    int64_t error = kOk;       // what stopped decoding
    int64_t error_at = 0;      // byte offset of the bad word within the chunk
    int64_t error_word = 0;    // the bad word
    int64_t seen = 0;          // an event has been decoded (window or not)
    int64_t min_t = 0;         // earliest and latest times decoded so far
    int64_t max_t = 0;
    int64_t back = 0;          // a time went below an earlier one: no early stop from then on
    int64_t back_at = 0;       // byte offset within the chunk of the word where that happened
    int64_t pending = 0;       // one time past the window seen: stop at the next, unless order broke
    int64_t width = 0;         // sensor: events need 0 <= x < width, 0 <= y < height;
    int64_t height = 0;        //   0 or less: the format's address range
    int64_t drop_outside = 0;  // 1: drop and count events outside; 0: stop with kOutside
    int64_t outside = 0;       // events outside the sensor so far
    int64_t outside_x = 0;     // the first of them
    int64_t outside_y = 0;
    int64_t outside_t = 0;
    int64_t pos = 0;           // bytes consumed so far, from where the caller began counting
    int64_t data_end = 0;      // text: where the data ends (in pos's numbering), ending a last line
    int64_t mirror = 0;        // AEDAT 2.0 DAVIS: x = mirror - 1 - the address field
    int64_t packet_left = 0;   // AEDAT 3.1: bytes of the current packet still to come
    int64_t packet_at = 0;     //   where it began (in pos's numbering)
    int64_t packet_type = 0;
    int64_t event_size = 0;
    int64_t ts_offset = 0;
    int64_t ts_overflow = 0;
    int64_t skip_special = 0;  // events of other kinds, skipped: special / external inputs,
    int64_t skip_frame = 0;    //   APS frames and samples, IMU samples, other types,
    int64_t skip_imu = 0;      //   and polarity events marked invalid
    int64_t skip_other = 0;
    int64_t skip_invalid = 0;
    int64_t line = 0;          // text: lines decoded, the header's included
    int64_t columns = 0;       // CSV: fields a line holds, and the column of each role (-1: none)
    int64_t col_t = 0, col_x = 0, col_y = 0, col_p = 0;
};
constexpr size_t kStateSlots = sizeof(State) / sizeof(int64_t);

// The slot names, in order: callers holding State as a flat int64 array find slots by name.
inline constexpr const char* kStateNames[] = {
    "t0", "start", "duration", "has_first", "first", "lo", "hi", "has_time", "time_high", "loops",
    "time_low", "y", "x_base", "pol", "last", "done", "error", "error_at", "error_word",
    "seen", "min_t", "max_t", "back", "back_at", "pending",
    "width", "height", "drop_outside", "outside", "outside_x", "outside_y", "outside_t",
    "pos", "data_end", "mirror", "packet_left", "packet_at", "packet_type", "event_size", "ts_offset",
    "ts_overflow", "skip_special", "skip_frame", "skip_imu", "skip_other", "skip_invalid",
    "line", "columns", "col_t", "col_x", "col_y", "col_p",
};
static_assert(sizeof kStateNames / sizeof kStateNames[0] == kStateSlots, "one name per State slot");

// Packed records into a caller's buffer of `cap` records, filled from `n`.
class RecordBuffer {
public:
    RecordBuffer(uint8_t* out, size_t cap, size_t n) : out_(out), cap_(cap), n_(n) {}

    ZV_EVT_INLINE bool room(size_t k) const { return cap_ - n_ >= k; }
    size_t size() const { return n_; }
    size_t capacity() const { return cap_; }
    uint8_t* data() const { return out_; }
    void resize(size_t n) { n_ = n; }

    ZV_EVT_INLINE void record(int64_t x, int64_t y, int64_t t, bool on) {
        uint8_t* rec = out_ + n_++ * kRecordSize;
        const int16_t xs = static_cast<int16_t>(x), ys = static_cast<int16_t>(y);
        const int8_t p = on ? 1 : -1;
        std::memcpy(rec, &xs, 2);
        std::memcpy(rec + 2, &ys, 2);
        std::memcpy(rec + 4, &t, 8);
        std::memcpy(rec + 12, &p, 1);
    }

private:
    uint8_t* out_;
    size_t cap_, n_;
};

// Where decoded events go, past the window and the sensor: `Out` takes each one
// (record(x, y, t, on)) and says whether it has room for `k` more (room(k)).
// RecordBuffer writes records; a caller that only counts can take them directly.
template <typename Out>
class Sink {
public:
    Sink(State& s, Out& out) : s_(s), out_(out) {}

    // Room for `k` more records (a word never yields more than its format's maximum)
    // for the word at byte `at` of the chunk.
    ZV_EVT_INLINE bool room(size_t k, size_t at) {
        at_ = at;
        return out_.room(k);
    }

    ZV_EVT_INLINE void push(int64_t x, int64_t y, int64_t t, bool on) {
        // One unsigned compare per axis also catches negatives. Outside events count
        // unless the window, once known, excludes them anyway.
        if (static_cast<uint64_t>(x) >= static_cast<uint64_t>(s_.width) ||
            static_cast<uint64_t>(y) >= static_cast<uint64_t>(s_.height)) {
            if (!s_.has_first || (t >= s_.lo && t < s_.hi)) outside(x, y, t);
            return;
        }
        if (!s_.has_first) {
            s_.has_first = 1;
            s_.first = t;
            set_window();
        }
        if (!s_.seen) {
            s_.seen = 1;
            s_.min_t = s_.max_t = t;
        } else if (t < s_.max_t) {
            if (!s_.back) {
                s_.back = 1;
                s_.back_at = static_cast<int64_t>(at_);
            }
            if (t < s_.min_t) s_.min_t = t;
        } else {
            s_.max_t = t;
        }
        if (t < s_.lo || t >= s_.hi) return;
        out_.record(x, y, t, on);
    }

    // A decoder stops at the word that raised this (its error_at is set there).
    bool refused() const { return s_.error == kOutside; }

    // True once `t` (a lower bound of every later event's time) is past the window,
    // as long as times have never gone backwards.
    // A lone time past the window (one flipped bit) does not stop reading: the next one must agree.
    ZV_EVT_INLINE bool past(int64_t t) {
        if (!(s_.has_first && s_.duration >= 0 && t >= s_.hi && !s_.back)) return false;
        if (t > s_.max_t) s_.max_t = t;
        return s_.pending++ > 0;
    }

    // [lo, hi) from the anchor, saturating at the int64 limits; a read with no
    // window keeps every time.
    void set_window() {
        constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
        if (s_.start == 0 && s_.duration < 0) {
            s_.lo = std::numeric_limits<int64_t>::min();
            s_.hi = kMax;
            return;
        }
        if (__builtin_add_overflow(s_.first, s_.start, &s_.lo)) s_.lo = s_.start > 0 ? kMax : std::numeric_limits<int64_t>::min();
        if (s_.duration < 0 || __builtin_add_overflow(s_.lo, s_.duration, &s_.hi)) s_.hi = kMax;
    }

private:
    void outside(int64_t x, int64_t y, int64_t t) {
        if (s_.outside++ == 0) {
            s_.outside_x = x;
            s_.outside_y = y;
            s_.outside_t = t;
        }
        if (!s_.drop_outside) s_.error = kOutside;
    }

    State& s_;
    Out& out_;
    size_t at_ = 0;
};

inline uint64_t load_le(const uint8_t* p, size_t n) {
    uint64_t v = 0;
    std::memcpy(&v, p, n);
    return v;
}

inline void fail(State& s, size_t at, uint64_t word, Error why = kUnknownType) {
    s.error = why;
    s.error_at = static_cast<int64_t>(at);
    s.error_word = static_cast<int64_t>(word);
}

// Records why decoding stops at the word at byte `at`; returns `at`, the bytes consumed.
inline size_t stop(State& s, size_t at, uint64_t word, Error why) {
    fail(s, at, word, why);
    return at;
}

// True when t0 + loops + one more period of the clock fits in int64: every
// time the decoder can form until the next wrap then does too.
ZV_EVT_INLINE bool times_fit(const State& s, int64_t period) {
    int64_t sum;
    return !__builtin_add_overflow(s.t0, s.loops, &sum) && !__builtin_add_overflow(sum, period, &sum);
}

// The clock wrapped once more (by `step` µs): false (and kTimeOverflow) when
// times would no longer fit.
ZV_EVT_INLINE bool add_loop(State& s, int64_t step, int64_t period) {
    if (__builtin_add_overflow(s.loops, step, &s.loops) || !times_fit(s, period)) {
        s.error = kTimeOverflow;
        return false;
    }
    return true;
}

// A time-high counter that went back by more than half its range has wrapped.
ZV_EVT_INLINE bool advance_time_high(State& s, int64_t th, int bits, int low_bits) {
    const int64_t range = int64_t{1} << bits;
    const bool wrapped = s.has_time && th < s.time_high && s.time_high - th > range / 2;
    s.time_high = th;
    s.has_time = 1;
    return !wrapped || add_loop(s, range << low_bits, range << low_bits);
}


}  // namespace zv::kern::evt
