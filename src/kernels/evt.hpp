// Decoders of event-camera recording formats over a byte buffer: Prophesee
// EVT 2.0, EVT 2.1 and EVT 3.0 raw words, DAT records and N-MNIST 5-byte
// records (here), AEDAT 2.0 and 3.1 (aedat.hpp) and text lines (text_events.hpp). Each decodes one chunk of a file into packed records
// (x <i2, y <i2, t <i8, p i1; 13 bytes) and keeps what a format carries from
// word to word (time base, row, vector base) in a State, so a file can be fed
// in pieces of any size. No Python here.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <limits>

namespace zv::kern::evt {

// The decoders' inner calls are inlined into decode(), so that the state they
// work on is a local whose fields stay in registers: records are written as
// bytes, and a byte store may alias any field the compiler cannot prove local.
#define ZV_EVT_INLINE inline __attribute__((always_inline))

static_assert(std::endian::native == std::endian::little, "records are written in native order");

constexpr size_t kRecordSize = 13;

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

// EVT 2.0: 32-bit words, type in bits 31..28. CD events carry 6 low time bits,
// x (bits 21..11) and y (10..0); the time-high word carries bits 33..6.
template <typename S>
ZV_EVT_INLINE size_t decode_evt2(const uint8_t* buf, size_t n, State& s, S& sink) {
    const size_t words = n / 4;
    for (size_t i = 0; i < words; ++i) {
        if (!sink.room(1, 4 * i)) return 4 * i;
        const uint32_t v = static_cast<uint32_t>(load_le(buf + 4 * i, 4));
        switch (v >> 28) {
            case 0x0:
            case 0x1:
                if (s.has_time) {
                    const int64_t t = ((s.time_high << 6) | ((v >> 22) & 63)) + s.loops + s.t0;
                    sink.push((v >> 11) & 2047, v & 2047, t, (v >> 28) == 1);
                    if (sink.refused()) return stop(s, 4 * i, v, kOutside);
                }
                break;
            case 0x8:
                if (!advance_time_high(s, v & 0x0FFFFFFF, 28, 6)) return stop(s, 4 * i, v, kTimeOverflow);
                if (sink.past((s.time_high << 6) + s.loops + s.t0)) {
                    s.done = 1;
                    return 4 * (i + 1);
                }
                break;
            case 0xA: case 0xE: case 0xF: break;  // trigger, other, continued
            default: fail(s, 4 * i, v); return 4 * i;
        }
    }
    return 4 * words;
}

// EVT 2.1: 64-bit words, type in bits 63..60; a CD word is a row of 32
// pixels (x in bits 53..43, y in 42..32) with a validity mask in bits 31..0.
template <typename S>
ZV_EVT_INLINE size_t decode_evt21(const uint8_t* buf, size_t n, State& s, S& sink) {
    const size_t words = n / 8;
    for (size_t i = 0; i < words; ++i) {
        if (!sink.room(32, 8 * i)) return 8 * i;
        const uint64_t v = load_le(buf + 8 * i, 8);
        switch (v >> 60) {
            case 0x0:
            case 0x1:
                if (s.has_time) {
                    const int64_t t = ((s.time_high << 6) | ((v >> 54) & 63)) + s.loops + s.t0;
                    const int64_t x = (v >> 43) & 2047, y = (v >> 32) & 2047;
                    const bool on = (v >> 60) == 1;
                    for (uint32_t mask = static_cast<uint32_t>(v); mask; mask &= mask - 1)
                        sink.push(x + std::countr_zero(mask), y, t, on);
                    if (sink.refused()) return stop(s, 8 * i, v, kOutside);
                }
                break;
            case 0x8:
                if (!advance_time_high(s, (v >> 32) & 0x0FFFFFFF, 28, 6))
                    return stop(s, 8 * i, v, kTimeOverflow);
                if (sink.past((s.time_high << 6) + s.loops + s.t0)) {
                    s.done = 1;
                    return 8 * (i + 1);
                }
                break;
            case 0xA: case 0xE: case 0xF: break;
            default: fail(s, 8 * i, v); return 8 * i;
        }
    }
    return 8 * words;
}

// EVT 3.0: 16-bit words, type in bits 15..12, with state: the row (ADDR_Y),
// the 24-bit time split in TIME_HIGH and TIME_LOW, and a vector base
// (VECT_BASE_X) that VECT_12 and VECT_8 masks advance.
template <typename S>
ZV_EVT_INLINE size_t decode_evt3(const uint8_t* buf, size_t n, State& s, S& sink) {
    const size_t words = n / 2;
    auto now = [&s] { return ((s.time_high << 12) | s.time_low) + s.loops + s.t0; };
    for (size_t i = 0; i < words; ++i) {
        if (!sink.room(12, 2 * i)) return 2 * i;
        const uint32_t v = static_cast<uint32_t>(load_le(buf + 2 * i, 2));
        switch (v >> 12) {
            case 0x0: s.y = v & 2047; break;
            case 0x2:
                if (s.has_time) sink.push(v & 2047, s.y, now(), (v >> 11) & 1);
                if (sink.refused()) return stop(s, 2 * i, v, kOutside);
                break;
            case 0x3:
                s.x_base = v & 2047;
                s.pol = (v >> 11) & 1;
                break;
            case 0x4:
            case 0x5: {
                const int width = (v >> 12) == 0x4 ? 12 : 8;
                if (s.has_time) {
                    const int64_t t = now();
                    for (uint32_t mask = v & ((1u << width) - 1); mask; mask &= mask - 1)
                        sink.push(s.x_base + std::countr_zero(mask), s.y, t, s.pol != 0);
                    if (sink.refused()) return stop(s, 2 * i, v, kOutside);
                }
                // Bounded, so that a run of vector words cannot carry x past any sensor and back.
                s.x_base = std::min<int64_t>(s.x_base + width, kFormats[kEvt3].x_range);
                break;
            }
            case 0x6: s.time_low = v & 0xFFF; break;
            case 0x8:
                if (!advance_time_high(s, v & 0xFFF, 12, 12)) return stop(s, 2 * i, v, kTimeOverflow);
                if (sink.past((s.time_high << 12) + s.loops + s.t0)) {
                    s.done = 1;
                    return 2 * (i + 1);
                }
                break;
            case 0x7: case 0xA: case 0xE: case 0xF: break;  // continued, trigger, other
            default: fail(s, 2 * i, v); return 2 * i;
        }
    }
    return 2 * words;
}

// DAT (CD and 2D types): records (t <u4 µs, d <u4) with x = d & 0x3FFF,
// y = (d >> 14) & 0x3FFF, p = d >> 28. Times are sorted; a 32-bit wrap is unrolled.
template <typename S>
ZV_EVT_INLINE size_t decode_dat(const uint8_t* buf, size_t n, State& s, S& sink) {
    const size_t records = n / 8;
    for (size_t i = 0; i < records; ++i) {
        if (!sink.room(1, 8 * i)) return 8 * i;
        const int64_t raw = static_cast<int64_t>(load_le(buf + 8 * i, 4));
        const uint32_t d = static_cast<uint32_t>(load_le(buf + 8 * i + 4, 4));
        if (s.has_time && raw < s.last && s.last - raw > (int64_t{1} << 31) &&
            !add_loop(s, int64_t{1} << 32, int64_t{1} << 32))
            return stop(s, 8 * i, raw, kTimeOverflow);
        s.last = raw;
        s.has_time = 1;
        const int64_t t = raw + s.loops + s.t0;
        if (sink.past(t)) {
            s.done = 1;
            return 8 * i;
        }
        sink.push(d & 0x3FFF, (d >> 14) & 0x3FFF, t, (d >> 28) > 0);
        if (sink.refused()) return stop(s, 8 * i, load_le(buf + 8 * i, 8), kOutside);
    }
    return 8 * records;
}

// N-MNIST / N-Caltech101: 5-byte records, x, y, then polarity in the top bit
// and a 23-bit time. A y of 240 marks a time overflow (2^13 µs), not an event.
template <typename S>
ZV_EVT_INLINE size_t decode_nmnist(const uint8_t* buf, size_t n, State& s, S& sink) {
    const size_t records = n / 5;
    for (size_t i = 0; i < records; ++i) {
        if (!sink.room(1, 5 * i)) return 5 * i;
        const uint8_t* r = buf + 5 * i;
        if (r[1] == 240) {
            if (!add_loop(s, 8192, kFormats[kNmnist].period)) return stop(s, 5 * i, load_le(r, 5), kTimeOverflow);
            continue;
        }
        const int64_t t = ((int64_t{r[2]} & 127) << 16 | int64_t{r[3]} << 8 | r[4]) + s.loops + s.t0;
        if (sink.past(t)) {
            s.done = 1;
            return 5 * i;
        }
        sink.push(r[0], r[1], t, (r[2] >> 7) != 0);
        if (sink.refused()) return stop(s, 5 * i, load_le(r, 5), kOutside);
    }
    return 5 * records;
}

template <typename S>
inline size_t decode_aedat2(bool davis, const uint8_t* buf, size_t n, State& s, S& sink);
template <typename S>
inline size_t decode_aedat31(const uint8_t* buf, size_t n, State& s, S& sink);
template <typename S>
inline size_t decode_text(bool csv, const uint8_t* buf, size_t n, State& s, S& sink);

// Most records one word can yield: the room a caller's buffer needs to make progress.
inline size_t max_per_word(Format f) { return kFormats[f].max_per_word; }

// Decode the whole words of buf[0, n) into records out[count, cap); returns
// {bytes consumed, records now in out}. Stops early at the window's end
// (s.done), when out is full, or at a word it cannot take (s.error: of no
// known type, an event outside the sensor, or times past int64; error_at is
// the word's offset in buf). After each call a caller checks s.error first
// (and stops: the error stays set), then s.done; consumed < n with neither
// means out is full. Trailing bytes short of a word are never consumed.
struct Progress {
    size_t consumed;
    size_t count;
};

// decode() into any Out (see Sink): returns the bytes consumed, with the same
// stops and the same state as decode() into records.
template <typename Out>
ZV_EVT_INLINE size_t decode_into(Format f, const uint8_t* buf, size_t n, State& s, Out& out) {
    // A sensor never reaches past what the format can address.
    if (s.width <= 0 || s.width > kFormats[f].x_range) s.width = kFormats[f].x_range;
    if (s.height <= 0 || s.height > kFormats[f].y_range) s.height = kFormats[f].y_range;
    if (s.error) return 0;
    if (!times_fit(s, kFormats[f].period)) {
        s.error = kTimeOverflow;
        return 0;
    }
    State local = s;
    Sink<Out> sink(local, out);
    if (local.has_first) sink.set_window();
    size_t used = 0;
    switch (f) {
        case kEvt2: used = decode_evt2(buf, n, local, sink); break;
        case kEvt21: used = decode_evt21(buf, n, local, sink); break;
        case kEvt3: used = decode_evt3(buf, n, local, sink); break;
        case kDat: used = decode_dat(buf, n, local, sink); break;
        case kNmnist: used = decode_nmnist(buf, n, local, sink); break;
        case kAedat2Dvs128: case kAedat2Davis: used = decode_aedat2(f == kAedat2Davis, buf, n, local, sink); break;
        case kAedat31: used = decode_aedat31(buf, n, local, sink); break;
        case kText: case kCsv: used = decode_text(f == kCsv, buf, n, local, sink); break;
    }
    local.pos += static_cast<int64_t>(used);
    s = local;
    return used;
}

inline Progress decode(Format f, const uint8_t* buf, size_t n, State& s, uint8_t* out, size_t cap, size_t count) {
    RecordBuffer records(out, cap, count);
    const size_t used = decode_into(f, buf, n, s, records);
    return {used, records.size()};
}

}  // namespace zv::kern::evt

// The decoders of the other formats, declared above.
#include "aedat.hpp"
#include "text_events.hpp"
