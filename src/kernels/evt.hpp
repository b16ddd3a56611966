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
#include <type_traits>

#include "kernels/evt_state.hpp"
#include "kernels/evt3_records.hpp"
#include "kernels/evt_records.hpp"

namespace zv::kern::evt {

// EVT 2.0: 32-bit words, type in bits 31..28. CD events carry 6 low time bits,
// x (bits 21..11) and y (10..0); the time-high word carries bits 33..6.
template <typename S>
ZV_EVT_INLINE size_t decode_evt2(const uint8_t* buf, size_t n, State& s, S& sink, size_t from = 0) {
    const size_t words = n / 4;
    for (size_t i = from; i < words; ++i) {
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
ZV_EVT_INLINE size_t decode_evt3(const uint8_t* buf, size_t n, State& s, S& sink, size_t from = 0) {
    const size_t words = n / 2;
    auto now = [&s] { return ((s.time_high << 12) | s.time_low) + s.loops + s.t0; };
    for (size_t i = from; i < words; ++i) {
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

// Into records: the plain words by `plain`, each other word by the Sink's decoder
// `careful`, with the same stops and state as `careful` alone.
template <typename Plain, typename Careful>
ZV_EVT_INLINE size_t decode_records(const uint8_t* buf, size_t n, size_t word, State& s, RecordBuffer& out,
                                    Plain&& plain, Careful&& careful) {
    const size_t words = n / word;
    for (size_t i = 0; i < words; ++i) {
        i = plain(buf, i, words, s, out);
        if (i == words) break;
        const size_t used = careful(buf, word * (i + 1), i);
        if (used < word * (i + 1) || s.done || s.error) return used;
    }
    return word * words;
}

// DAT (CD and 2D types): records (t <u4 µs, d <u4) with x = d & 0x3FFF,
// y = (d >> 14) & 0x3FFF, p = d >> 28. Times are sorted; a 32-bit wrap is unrolled.
template <typename S>
ZV_EVT_INLINE size_t decode_dat(const uint8_t* buf, size_t n, State& s, S& sink, size_t from = 0) {
    const size_t records = n / 8;
    for (size_t i = from; i < records; ++i) {
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
        case kEvt2:
            if constexpr (std::is_same_v<Out, RecordBuffer>)
                used = decode_records(buf, n, 4, local, out, decode_evt2_plain,
                                      [&](const uint8_t* b, size_t m, size_t i) { return decode_evt2(b, m, local, sink, i); });
            else used = decode_evt2(buf, n, local, sink);
            break;
        case kEvt21: used = decode_evt21(buf, n, local, sink); break;
        case kEvt3:
            if constexpr (std::is_same_v<Out, RecordBuffer>)
                used = decode_records(buf, n, 2, local, out, decode_evt3_plain,
                                      [&](const uint8_t* b, size_t m, size_t i) { return decode_evt3(b, m, local, sink, i); });
            else used = decode_evt3(buf, n, local, sink);
            break;
        case kDat:
            if constexpr (std::is_same_v<Out, RecordBuffer>)
                used = decode_records(buf, n, 8, local, out, decode_dat_plain,
                                      [&](const uint8_t* b, size_t m, size_t i) { return decode_dat(b, m, local, sink, i); });
            else used = decode_dat(buf, n, local, sink);
            break;
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
