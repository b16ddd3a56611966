// Seeking by time in EVT 2.0, 2.1 and 3.0 data without decoding what lies
// before. Time-high words are self-typed and sparse, so a time can be found by
// bisection over byte positions: each probe scans forward to the next
// time-high word. The counter wraps (EVT 3.0 every 2^24 µs, EVT 2.x every
// 2^34 µs), so probes are first laid out as a chain in which neighbours lie
// less than an eighth of the counter's range apart (subdividing where they do
// not, down to adjacent time-high words, where the decoder's own rule holds)
// and unwrapped along it. The decoder state at the found word (row, time low,
// vector base) is rebuilt by starting a little earlier: at the time-high word
// before the last words that set that state. No Python here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "evt.hpp"

namespace zv::kern::evt_index {

using evt::Format;

// Told the byte ranges that the chain of probes has finished with, so that a
// caller reading a file mapping can drop those pages: an hour-long file's
// probes would otherwise stay resident until the whole chain is laid.
using Done = std::function<void(size_t from, size_t to)>;

struct Clock {
    size_t word;     // bytes per word
    int bits;        // time-high counter bits
    int low_bits;    // µs per time-high step = 2^low_bits
};

inline Clock clock_of(Format f) {
    switch (f) {
        case evt::kEvt2: return {4, 28, 6};
        case evt::kEvt21: return {8, 28, 6};
        default: return {2, 12, 12};
    }
}

inline bool is_time_high(Format f, const uint8_t* w) {
    switch (f) {
        case evt::kEvt2: return (w[3] >> 4) == 0x8;
        case evt::kEvt21: return (w[7] >> 4) == 0x8;
        default: return (w[1] >> 4) == 0x8;
    }
}

inline int64_t raw_high(Format f, const uint8_t* w) {
    switch (f) {
        case evt::kEvt2: return static_cast<int64_t>(evt::load_le(w, 4) & 0x0FFFFFFF);
        case evt::kEvt21: return static_cast<int64_t>((evt::load_le(w, 8) >> 32) & 0x0FFFFFFF);
        default: return static_cast<int64_t>(evt::load_le(w, 2) & 0xFFF);
    }
}

class Index {
public:
    // `buf` holds the data words only (from the first word after the header).
    Index(Format f, const uint8_t* buf, size_t n) : f_(f), c_(clock_of(f)), buf_(buf), end_(n - n % c_.word) {}

    // Byte offset of the first time-high word at or after `from` (word aligned), or end.
    // The type nibble is the top of the word's last byte: one loop per word size.
    size_t next(size_t from) const {
        const size_t top = c_.word - 1;
        for (size_t at = from; at < end_; at += c_.word)
            if ((buf_[at + top] >> 4) == 0x8) return at;
        return end_;
    }
    // Byte offset of the last time-high word before `before`, or end when none.
    size_t prev(size_t before) const {
        for (size_t at = before; at >= c_.word;) {
            at -= c_.word;
            if (is_time_high(f_, buf_ + at)) return at;
        }
        return end_;
    }
    int64_t raw(size_t at) const { return raw_high(f_, buf_ + at); }
    size_t end() const { return end_; }
    const Clock& clock() const { return c_; }

    // Step of the counter from word `a` to word `b`: the decoder's rule when they
    // are adjacent time-high words, else the shortest way round the counter.
    int64_t step(size_t a, size_t b, bool adjacent) const {
        const int64_t range = int64_t{1} << c_.bits, ra = raw(a), rb = raw(b);
        if (adjacent) return rb >= ra ? rb - ra : (ra - rb > range / 2 ? rb - ra + range : rb - ra);
        int64_t d = (rb - ra) & (range - 1);
        return d > range / 2 ? d - range : d;
    }

    struct Probe {
        size_t at;
        int64_t high;  // unwrapped counter value
    };

    // A chain of time-high words from the first to the last, neighbours less than
    // range/8 apart, with unwrapped values (the first counts from its raw value).
    std::vector<Probe> chain(const Done& done = {}) const {
        std::vector<Probe> out;
        const size_t first = next(0);
        if (first == end_) return out;
        const size_t last = prev(end_);
        out.push_back({first, raw(first)});
        const size_t target = 64;
        const size_t stride = std::max<size_t>((last - first) / target / c_.word * c_.word, 4096 / c_.word * c_.word);
        size_t a = first;
        while (a != last) {
            size_t b = next(std::min(a + stride, last));
            if (b > last) b = last;
            extend(out, a, b);
            if (done) done(a, b);
            a = b;
        }
        return out;
    }

    // Byte offset of the first time-high word (along the chain and bisection) whose
    // unwrapped value is at least `high`; `*at_high` gets its value. End when none,
    // or when a probe falls outside its bracket (times out of order).
    size_t first_at_least(const std::vector<Probe>& ch, int64_t high, int64_t* at_high) const {
        size_t lo = 0, hi = ch.size();
        while (lo < hi) {  // first probe with value >= high (values rise along the chain)
            const size_t mid = (lo + hi) / 2;
            if (ch[mid].high < high) lo = mid + 1; else hi = mid;
        }
        if (lo == ch.size()) return end_;
        if (lo == 0) { *at_high = ch[0].high; return ch[0].at; }
        // Between ch[lo-1] (< high) and ch[lo] (>= high): bisect on positions.
        Probe a = ch[lo - 1], b = ch[lo];
        for (;;) {
            const size_t after_a = next(a.at + c_.word);
            if (after_a >= b.at) break;  // adjacent
            size_t mid = next(a.at + (b.at - a.at) / 2 / c_.word * c_.word);
            if (mid <= a.at || mid >= b.at) mid = after_a;
            const Probe m{mid, a.high + step(a.at, mid, mid == after_a)};
            if (m.high < a.high || m.high > b.high) return end_;
            if (m.high < high) a = m; else b = m;
        }
        *at_high = b.high;
        return b.at;
    }

private:
    // A short forward step between probes a and b is taken as it reads only when the
    // probe between them splits it into two short forward steps too (a step of a whole
    // turn of the counter and a little would not); otherwise both halves are refined.
    // (Short forward steps read the same by the decoder's rule and round the counter.)
    void extend(std::vector<Probe>& out, size_t a, size_t b) const {
        size_t mid = next(a + (b - a) / 2 / c_.word * c_.word);
        if (mid <= a || mid >= b) {
            mid = next(a + c_.word);
            if (mid >= b) {  // adjacent: the decoder's own rule
                out.push_back({b, out.back().high + step(a, b, true)});
                return;
            }
        }
        const int64_t d = step(a, b, false), d1 = step(a, mid, false), d2 = step(mid, b, false);
        if (short_forward(d) && short_forward(d1) && short_forward(d2) && d1 + d2 == d) {
            out.push_back({b, out.back().high + d});
            return;
        }
        extend(out, a, mid);
        extend(out, mid, b);
    }

    bool short_forward(int64_t d) const { return d >= 0 && d < (int64_t{1} << c_.bits) / 8; }

    Format f_;
    Clock c_;
    const uint8_t* buf_;
    size_t end_;
};

// Where to start decoding so that no event with time >= `target` (µs on the
// file's own clock, before t0) is skipped, for files whose time-high words rise.
struct Seek {
    size_t offset;   // byte offset of a time-high word (0: from the start)
    int64_t loops;   // the decoder's State::loops to start with there
};

// Last words before `at` that set EVT 3.0 state (row, time low, and the vector
// base when a vector word may use it): decoding from the time-high word before
// all of them rebuilds that state.
inline size_t evt3_state_start(const uint8_t* buf, size_t n, size_t at) {
    auto type = [buf](size_t i) { return buf[i + 1] >> 4; };
    // The base is needed when a vector word may use it: one replayed before `at`,
    // or a run that continues across the time-high word there.
    bool need_base = false, base = false, y = false, low = false;
    for (size_t i = at; i + 2 <= n; i += 2) {
        const int t = type(i);
        if (t == 0x4 || t == 0x5) need_base = true;
        if (t != 0x8 && t != 0x6 && t != 0x7 && t != 0xA && t != 0xE && t != 0xF) break;
    }
    size_t i = at;
    while (i >= 2 && !(y && low && (base || !need_base))) {
        i -= 2;
        switch (type(i)) {
            case 0x0: y = true; break;
            case 0x6: low = true; break;
            case 0x3: base = true; break;
            case 0x4: case 0x5: need_base = need_base || !base; break;
            default: break;
        }
    }
    return i;
}

inline Seek seek(Format f, const uint8_t* buf, size_t n, int64_t target, const Done& done = {}) {
    Index ix(f, buf, n);
    const auto ch = ix.chain(done);
    if (ch.empty()) return {0, 0};
    for (size_t i = 1; i < ch.size(); ++i)  // times out of order: decode from the start, which sees it
        if (ch[i].high < ch[i - 1].high) return {0, 0};
    const Clock& c = ix.clock();
    const int64_t want = target >> c.low_bits;  // events at or after target lie under values >= want
    int64_t high = 0;
    size_t at = ix.first_at_least(ch, want, &high);
    if (at == ix.end()) {
        if (ch.back().high >= want) return {0, 0};  // a probe out of order
        at = ch.back().at;  // every time-high word is earlier: start at the last one
        high = ch.back().high;
    }
    if (at == ch[0].at) return {0, 0};
    if (f == evt::kEvt3) {
        // Step back to a time-high word before the words that set the state, counting its value back.
        const size_t from = evt3_state_start(buf, n - n % 2, at);
        size_t q = at;
        while (q > from) {
            const size_t p = ix.prev(q);
            if (p == ix.end()) return {0, 0};
            high -= ix.step(p, q, true);
            q = p;
        }
        at = q;
    }
    const int64_t loops = (high - ix.raw(at)) << c.low_bits;
    return {at, loops};
}

// Unwrapped counter value of the last time-high word, and its byte offset (end when none).
inline Index::Probe last_high(Format f, const uint8_t* buf, size_t n, const Done& done = {}) {
    Index ix(f, buf, n);
    const auto ch = ix.chain(done);
    if (ch.empty()) return {ix.end(), 0};
    return ch.back();
}

}  // namespace zv::kern::evt_index
