// A whole buffer of EVT 3.0, EVT 2.0 or DAT words decoded on several threads at
// once, straight into one record array, with the records and the state that one
// decode() of the buffer in order gives.
//
// The buffer is cut into segments: for the EVT formats at time-high words, where
// the state a decoder carries is small and can be read from the bytes (the last
// time high before the cut; for EVT 3.0 also the last row, time low and vector
// base, found by looking back a little), for DAT at any record. Each segment's
// records are counted first (EVT 3.0: the event bits of its words; EVT 2.0: its
// event words; DAT: its records; events before the first time high have no time
// and are not counted), so each gets its own slots of the output. The clock's
// wraps before a cut are guessed from the time highs (DAT: the times) at the
// cuts, and checked once every segment is decoded: the state each segment ends
// with must be the one the next began with, and a wrong guess of the wraps is
// mended by adding the difference to that segment's times. Segments that keep
// fewer records than their slots (events outside the sensor) are closed up. Each
// segment backs its slots' pages a few MB at a time just before writing them, in huge
// pages while the kernel gives them cheaply (CheapPages, memory.hpp).
//
// The plan is refused (the caller decodes in order) for other formats, a state
// that is not a fresh whole read, times that could pass the largest int64, or a
// cut whose state lies too far back; the decode is refused for any word that
// stops decoding (unknown type, outside event refused, a state that does not
// join). The caller then decodes from the start in order, which meets the
// same word and reports it as ever. The merged state's back_at is exact for a
// time going back inside a segment; for one going back across a cut it is the
// cut's byte. No Python here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "kernels/evt.hpp"
#include "kernels/evt_count.hpp"
#include "kernels/evt_index.hpp"
#include "kernels/memory.hpp"
#include "kernels/threads.hpp"

namespace zv::kern::evt_segments {

using evt::Format;
using evt::State;

// Told the byte ranges a segment has finished reading (counted, or decoded), so a
// caller reading a file mapping can drop those pages; called from any thread.
using Done = std::function<void(size_t from, size_t to)>;

// Bytes decoded per call within a segment, and the furthest a cut looks back for its state.
constexpr size_t kPiece = 16u << 20;
constexpr size_t kLookBack = 1u << 20;

struct Segment {
    size_t begin = 0, end = 0;  // bytes of the buffer
    uint64_t slots = 0;         // most records, and the first slot in the output
    uint64_t offset = 0;
    bool need_base = true;      // EVT 3.0: a vector word may use the vector base at begin
    State start, finish;        // the state at begin (wraps guessed), and after decoding
    uint64_t count = 0;         // records written
    int64_t back_at = -1;       // byte of the buffer where a time first went back, if it did
    bool ok = false;
};

struct Plan {
    Format format = evt::kEvt3;
    size_t bytes = 0;  // whole words of the buffer
    std::vector<Segment> segments;
    uint64_t total = 0;  // records the output must hold
};

inline bool splits(Format f) { return f == evt::kEvt3 || f == evt::kEvt2 || f == evt::kDat; }

// The µs one wrap of the format's clock adds.
inline int64_t wrap_step(Format f) {
    switch (f) {
        case evt::kEvt3: return int64_t{1} << 24;
        case evt::kEvt2: return int64_t{1} << 34;
        default: return int64_t{1} << 32;
    }
}

// A state as a whole read begins: no window, nothing decoded, no time base.
inline bool fresh_whole(const State& s) {
    return s.start == 0 && s.duration < 0 && !s.has_first && !s.has_time && !s.seen && !s.error && !s.done &&
           s.loops == 0 && !s.back && !s.pending && s.time_high == 0 && s.last == 0;
}

// Times stay inside int64 however often the clock wraps: at most once per word.
inline bool times_cannot_overflow(Format f, const State& s, size_t words) {
    int64_t most, sum;
    return !__builtin_mul_overflow(static_cast<int64_t>(words) + 2, wrap_step(f), &most) &&
           !__builtin_add_overflow(std::max<int64_t>(s.t0, 0), most, &sum);
}

// EVT 3.0: the row, time low, vector base and polarity a decoder holds at the word
// at `at`, from the last words that set them. False when one of them lies further
// back than kLookBack (the row and time low always matter; the base only when
// `need_base`).
inline bool evt3_context(const uint8_t* buf, size_t at, State& s, bool need_base) {
    bool y = false, low = false, base = !need_base;
    int64_t steps = 0;
    size_t i = at;
    const size_t floor = at > kLookBack ? at - kLookBack : 0;
    while (i >= 2 + floor && !(y && low && base)) {
        i -= 2;
        const uint32_t v = static_cast<uint32_t>(evt::load_le(buf + i, 2));
        switch (v >> 12) {
            case 0x0: if (!y) { s.y = v & 2047; y = true; } break;
            case 0x6: if (!low) { s.time_low = v & 0xFFF; low = true; } break;
            case 0x3:
                if (!base) {
                    s.x_base = std::min<int64_t>((v & 2047) + steps, evt::kFormats[evt::kEvt3].x_range);
                    s.pol = (v >> 11) & 1;
                    base = true;
                }
                break;
            case 0x4: steps = std::min<int64_t>(steps + 12, 4096); break;
            case 0x5: steps = std::min<int64_t>(steps + 8, 4096); break;
            default: break;
        }
    }
    if (y && low && base) return true;
    if (i > floor || floor > 0) return false;  // looked back as far as allowed
    // From the start of the buffer: what is not set there keeps the state's value.
    if (!base) s.x_base = std::min<int64_t>(s.x_base + steps, evt::kFormats[evt::kEvt3].x_range);
    return true;
}

// EVT 3.0: whether a vector word comes before any vector base in [at, end).
inline bool evt3_needs_base(const uint8_t* buf, size_t at, size_t end) {
    for (size_t i = at; i + 2 <= end && i < at + kLookBack; i += 2) {
        const int type = buf[i + 1] >> 4;
        if (type == 0x3) return false;
        if (type == 0x4 || type == 0x5) return true;
    }
    return end > at + kLookBack;
}

// Cuts near every `segment_bytes` (EVT: moved on to the next time-high word),
// each segment's slots and starting state. False: decode the buffer in order.
inline bool plan(Format f, const uint8_t* buf, size_t n, const State& s, size_t segment_bytes, size_t threads,
                 Plan& p, const Done& done = {}) {
    if (!splits(f) || !fresh_whole(s)) return false;
    const size_t word = evt::word_size(f);
    p.format = f;
    p.bytes = n / word * word;
    if (!times_cannot_overflow(f, s, p.bytes / word)) return false;
    segment_bytes = std::max(segment_bytes / word * word, word);
    const bool dat = f == evt::kDat;
    evt_index::Index ix(dat ? evt::kEvt2 : f, buf, dat ? 0 : p.bytes);  // DAT: no time highs
    std::vector<size_t> cuts{0};
    for (size_t at = segment_bytes; at < p.bytes; at += segment_bytes) {
        const size_t cut = dat ? at : ix.next(at);
        if (cut >= p.bytes) break;
        if (cut > cuts.back()) cuts.push_back(cut);
    }
    if (cuts.size() < 2) return false;
    p.segments.assign(cuts.size(), Segment{});
    State base = s;
    if (base.width <= 0 || base.width > evt::kFormats[f].x_range) base.width = evt::kFormats[f].x_range;
    if (base.height <= 0 || base.height > evt::kFormats[f].y_range) base.height = evt::kFormats[f].y_range;
    std::vector<uint8_t> fits(cuts.size(), 1);
    run_tasks(cuts.size(), threads, [&](size_t k) {
        Segment& g = p.segments[k];
        g.begin = cuts[k];
        g.end = k + 1 < cuts.size() ? cuts[k + 1] : p.bytes;
        g.start = base;
        g.start.pos = s.pos + static_cast<int64_t>(g.begin);
        // Events before the first time high have no time: the first segment counts from it.
        const size_t from = k == 0 && !dat ? std::min(ix.next(0), g.end) : g.begin;
        switch (f) {
            case evt::kEvt3: g.slots = evt::most_events(f, buf + from, g.end - from); break;
            case evt::kEvt2: g.slots = evt::evt2_cd_words(buf + from, g.end - from); break;
            default: g.slots = (g.end - g.begin) / word; break;
        }
        if (k > 0) {
            State& st = g.start;
            if (dat) {
                st.has_time = 1;
                st.last = static_cast<int64_t>(evt::load_le(buf + g.begin - 8, 4));
            } else {
                const size_t high = ix.prev(g.begin);
                if (high != ix.end()) {
                    st.has_time = 1;
                    st.time_high = ix.raw(high);
                }
                if (f == evt::kEvt3) {
                    g.need_base = evt3_needs_base(buf, g.begin, g.end);
                    if (!evt3_context(buf, g.begin, st, g.need_base)) fits[k] = 0;
                }
            }
        }
        if (done) done(g.begin, g.end);
    });
    if (std::find(fits.begin(), fits.end(), 0) != fits.end()) return false;
    // Wraps before each cut, guessed: one wherever the clock read at a segment's start
    // (its first time high; DAT: its first time) is far above what it reads at its end.
    const int64_t step = wrap_step(f), half = step / 2;
    for (size_t k = 1; k < p.segments.size(); ++k) {
        Segment& before = p.segments[k - 1];
        State& st = p.segments[k].start;
        int64_t first = 0, last = 0;
        bool known;
        if (dat) {
            first = static_cast<int64_t>(evt::load_le(buf + before.begin, 4));
            last = st.last;
            known = true;
        } else {
            const size_t high = k == 1 ? ix.next(0) : before.begin;
            known = st.has_time && high < before.end;
            if (known) {
                const int64_t low_bits = f == evt::kEvt3 ? 12 : 6;
                first = ix.raw(high) << low_bits;
                last = st.time_high << low_bits;
            }
        }
        st.loops = before.start.loops + (known && last < first && first - last > half ? step : 0);
    }
    uint64_t offset = 0;
    for (Segment& g : p.segments) {
        g.offset = offset;
        offset += g.slots;
    }
    p.total = offset;
    return true;
}

// The whole buffer as one segment, decoded in order on this thread: for a buffer too
// small to be worth cutting, written once into an array of the records it can hold.
inline bool single(Format f, const uint8_t* buf, size_t n, const State& s, Plan& p) {
    if (!splits(f) || !fresh_whole(s)) return false;
    const size_t word = evt::word_size(f);
    p.format = f;
    p.bytes = n / word * word;
    if (p.bytes == 0 || !times_cannot_overflow(f, s, p.bytes / word)) return false;
    Segment g;
    g.end = p.bytes;
    g.start = s;
    if (g.start.width <= 0 || g.start.width > evt::kFormats[f].x_range) g.start.width = evt::kFormats[f].x_range;
    if (g.start.height <= 0 || g.start.height > evt::kFormats[f].y_range) g.start.height = evt::kFormats[f].y_range;
    // Events before the first time high have no time.
    const size_t from = f == evt::kDat ? 0 : std::min(evt_index::Index(f, buf, p.bytes).next(0), p.bytes);
    switch (f) {
        case evt::kEvt3: g.slots = evt::most_events(f, buf + from, p.bytes - from); break;
        case evt::kEvt2: g.slots = evt::evt2_cd_words(buf + from, p.bytes - from); break;
        default: g.slots = p.bytes / word; break;
    }
    p.segments.assign(1, g);
    p.total = g.slots;
    return true;
}

// Records whose pages a segment backs at a time, just ahead of its decoder (about 4 MB):
// the lines the kernel zeroes are still in the caches when the records are written.
constexpr size_t kBackRecords = (4u << 20) / evt::kRecordSize;

// One segment into out[offset, offset + slots): in pieces, each call's room backed
// just before it, with the rest decoded into a scratch buffer once the slots are too
// few for the fast loops' room.
inline void decode_segment(Format f, const uint8_t* buf, Segment& g, uint8_t* out, CheapPages& pages,
                           const Done& done) {
    State st = g.start;
    uint8_t* slots = out + g.offset * evt::kRecordSize;
    size_t n = 0, at = g.begin, dropped = g.begin, backed = 0;
    auto note_back = [&](size_t piece, int64_t was) {
        if (st.back && !was && g.back_at < 0) g.back_at = static_cast<int64_t>(piece) + st.back_at;
    };
    while (at < g.end) {
        const size_t len = std::min(kPiece, g.end - at);
        // Room for kBackRecords more, always more than one block needs: each call makes progress.
        const size_t cap = std::min<size_t>(g.slots, n + kBackRecords);
        if (cap > backed) {
            pages.back(slots + backed * evt::kRecordSize, (cap - backed) * evt::kRecordSize);
            backed = cap;
        }
        const int64_t was = st.back;
        const evt::Progress got = evt::decode(f, buf + at, len, st, slots, cap, n);
        note_back(at, was);
        if (st.error || st.done) return;
        n = got.count;
        at += got.consumed;
        if (done && (at - dropped >= kPiece || at == g.end)) done(dropped, at), dropped = at;
        if (got.consumed == len || cap < g.slots) continue;
        // Too little room left for the loops' stores: the rest (at most the slots left) goes via scratch.
        const size_t left = g.slots - n, room = left + evt::max_per_word(f) + evt::kEvt3BlockRecords + 2;
        std::vector<uint8_t> scratch(room * evt::kRecordSize);
        const int64_t before = st.back;
        const evt::Progress rest = evt::decode(f, buf + at, g.end - at, st, scratch.data(), room, 0);
        note_back(at, before);
        if (st.error || st.done || rest.consumed != g.end - at || rest.count > left) return;
        std::memcpy(slots + n * evt::kRecordSize, scratch.data(), rest.count * evt::kRecordSize);
        n += rest.count;
        if (done) done(dropped, g.end);
        at = g.end;
    }
    g.finish = st;
    g.count = n;
    g.ok = true;
}

// The segments' records moved on by `delta` µs: the wraps before them were guessed short.
inline void shift_times(Segment& g, uint8_t* out, int64_t delta) {
    uint8_t* r = out + g.offset * evt::kRecordSize;
    for (uint64_t i = 0; i < g.count; ++i, r += evt::kRecordSize) {
        int64_t t;
        std::memcpy(&t, r + 4, 8);
        t += delta;
        std::memcpy(r + 4, &t, 8);
    }
    State& e = g.finish;
    e.loops += delta;
    if (e.seen) e.min_t += delta, e.max_t += delta;
    if (e.has_first) e.first += delta;
    if (e.outside) e.outside_t += delta;
}

// Whether segment `k`'s start is the state its predecessor ended with (but the wraps).
inline bool joins(Format f, const Segment& before, const Segment& g) {
    const State &e = before.finish, &s = g.start;
    if (e.has_time != s.has_time) return false;
    if (f == evt::kDat) return !s.has_time || e.last == s.last;
    if (e.time_high != s.time_high) return false;
    if (f != evt::kEvt3) return true;
    return e.y == s.y && e.time_low == s.time_low && (!g.need_base || (e.x_base == s.x_base && e.pol == s.pol));
}

// Decodes the plan into out (room for p.total records) on up to `threads` threads;
// on success the records are out[0, count) and `s` is the state after them.
inline bool decode(Plan& p, const uint8_t* buf, uint8_t* out, size_t threads, State& s, uint64_t& count,
                   const Done& done = {}) {
    auto& segs = p.segments;
    CheapPages pages(out, p.total * evt::kRecordSize);
    run_tasks(segs.size(), threads, [&](size_t k) { decode_segment(p.format, buf, segs[k], out, pages, done); });
    for (const Segment& g : segs)
        if (!g.ok) return false;
    for (size_t k = 1; k < segs.size(); ++k) {
        if (!joins(p.format, segs[k - 1], segs[k])) return false;
        const int64_t delta = segs[k - 1].finish.loops - segs[k].start.loops;
        if (delta) shift_times(segs[k], out, delta);
    }
    // Close up the slots left empty, and merge the segments' states.
    State m = segs.back().finish;
    m.has_first = m.seen = m.outside = m.back = 0;
    m.first = m.min_t = m.max_t = m.back_at = 0;
    uint64_t n = 0;
    for (const Segment& g : segs) {
        if (n != g.offset && g.count)
            std::memmove(out + n * evt::kRecordSize, out + g.offset * evt::kRecordSize, g.count * evt::kRecordSize);
        n += g.count;
        const State& e = g.finish;
        if (e.has_first && !m.has_first) m.has_first = 1, m.first = e.first;
        if (e.outside) {
            if (!m.outside) m.outside_x = e.outside_x, m.outside_y = e.outside_y, m.outside_t = e.outside_t;
            m.outside += e.outside;
        }
        if (!e.seen) continue;
        const bool across = m.seen && e.min_t < m.max_t;
        if (!m.back && (across || e.back)) {
            m.back = 1;
            m.back_at = across ? static_cast<int64_t>(g.begin) : g.back_at;
        }
        if (!m.seen) m.seen = 1, m.min_t = e.min_t, m.max_t = e.max_t;
        m.min_t = std::min(m.min_t, e.min_t);
        m.max_t = std::max(m.max_t, e.max_t);
    }
    s = m;
    count = n;
    return true;
}

}  // namespace zv::kern::evt_segments
