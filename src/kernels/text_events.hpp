// Decoder of event text files, one event a line, into the same packed records
// and State as the binary decoders (evt.hpp). Contract:
// - kText: `t x y p` separated by spaces or tabs, t in seconds (a decimal,
//   rounded to the nearest µs, halves away from zero; an exponent is read
//   through a double), x and y whole numbers, p a number (above 0 = ON).
// - kCsv: comma-separated columns, t in µs (rounded the same way); the
//   columns of t, x, y and p are State.col_t/col_x/col_y/col_p (-1: absent; y
//   absent is 0, p absent is ON) among State.columns.
// - Lines end with "\n" (a "\r" before it is dropped); blank lines are
//   skipped. Only whole lines are decoded: the bytes of a last part are left
//   unconsumed for the caller to hand again with what follows, except where
//   they end the data (State.pos + consumed reaches State.data_end), which
//   ends the last line. State.line counts the lines decoded (set it to the
//   header's lines before the first); a line that is not an event stops with
//   kBadLine (error_word says why: see LineFault) at that line, whose number
//   is State.line.
// No Python here.
#pragma once

#include "evt.hpp"

#include <charconv>
#include <cmath>

namespace zv::kern::evt {

enum LineFault : int64_t {
    kLineFields = 1,  // not the number of fields the format holds
    kLineTime = 2,    // the time is not a number of the format's unit
    kLineX = 3,       // x is not a whole number
    kLineY = 4,
    kLineP = 5,       // p is not a number
};

struct Field {
    const char* begin;
    const char* end;
};

// A decimal number times 10^scale, rounded to the nearest integer (halves away
// from zero): exact from the digits, through a double only for an exponent.
inline bool parse_scaled(Field f, int scale, int64_t& out) {
    const char* p = f.begin;
    bool neg = false;
    if (p < f.end && (*p == '-' || *p == '+')) neg = *p++ == '-';
    __int128 v = 0;
    int digits = 0, frac = 0;
    bool dot = false, round_up = false;
    for (; p < f.end; ++p) {
        if (*p == '.' && !dot) {
            dot = true;
        } else if (*p >= '0' && *p <= '9') {
            ++digits;
            if (!dot || frac < scale) {
                v = v * 10 + (*p - '0');
                if (v > (__int128{1} << 100)) return false;
                if (dot) ++frac;
            } else if (frac == scale) {
                round_up = *p >= '5';
                ++frac;
            }
        } else if (*p == 'e' || *p == 'E') {
            double d;
            const auto [at, ec] = std::from_chars(f.begin + (f.begin < f.end && *f.begin == '+'), f.end, d);
            if (ec != std::errc() || at != f.end) return false;
            const double scaled = std::round(d * std::pow(10.0, scale));
            if (!(std::fabs(scaled) < 9.2e18)) return false;
            out = static_cast<int64_t>(scaled);
            return true;
        } else {
            return false;
        }
    }
    if (!digits) return false;
    for (int k = dot ? std::min(frac, scale) : 0; k < scale; ++k) v *= 10;
    v += round_up;
    if (neg) v = -v;
    if (v > std::numeric_limits<int64_t>::max() || v < std::numeric_limits<int64_t>::min()) return false;
    out = static_cast<int64_t>(v);
    return true;
}

inline bool parse_whole(Field f, int64_t& out) {
    const char* b = f.begin + (f.begin < f.end && *f.begin == '+');
    const auto [at, ec] = std::from_chars(b, f.end, out);
    return ec == std::errc() && at == f.end && b < f.end;
}

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The fields of a line, at most `cap` (one more marks a line of too many); returns the count.
inline size_t split(const char* b, const char* e, bool csv, Field* fields, size_t cap) {
    size_t k = 0;
    if (csv) {
        for (const char* p = b;; ++p) {
            if (p == e || *p == ',') {
                Field f{b, p};
                while (f.begin < f.end && is_blank(*f.begin)) ++f.begin;
                while (f.end > f.begin && is_blank(f.end[-1])) --f.end;
                if (k < cap) fields[k] = f;
                ++k;
                if (p == e) return k;
                b = p + 1;
            }
        }
    }
    for (const char* p = b; p < e;) {
        while (p < e && is_blank(*p)) ++p;
        if (p == e) break;
        const char* start = p;
        while (p < e && !is_blank(*p)) ++p;
        if (k < cap) fields[k] = Field{start, p};
        ++k;
    }
    return k;
}

constexpr size_t kMaxColumns = 64;

// One line's event; 0 when it is one, else the fault.
inline int64_t parse_line(const char* b, const char* e, bool csv, const State& s, int64_t& t, int64_t& x,
                          int64_t& y, bool& on) {
    Field fields[kMaxColumns + 1];
    const size_t want = csv ? static_cast<size_t>(s.columns) : 4;
    if (split(b, e, csv, fields, kMaxColumns + 1) != want) return kLineFields;
    const int64_t ct = csv ? s.col_t : 0, cx = csv ? s.col_x : 1, cy = csv ? s.col_y : 2, cp = csv ? s.col_p : 3;
    if (!parse_scaled(fields[ct], csv ? 0 : 6, t)) return kLineTime;
    if (!parse_whole(fields[cx], x)) return kLineX;
    y = 0;
    if (cy >= 0 && !parse_whole(fields[cy], y)) return kLineY;
    on = true;
    if (cp >= 0) {
        int64_t p;
        if (!parse_scaled(fields[cp], 0, p)) return kLineP;
        on = p > 0;
    }
    return 0;
}

template <typename S>
ZV_EVT_INLINE size_t decode_text(bool csv, const uint8_t* buf, size_t n, State& s, S& sink) {
    const char* text = reinterpret_cast<const char*>(buf);
    const bool ends_data = s.data_end > 0 && s.pos + static_cast<int64_t>(n) >= s.data_end;
    size_t i = 0;
    while (i < n) {
        const void* nl = std::memchr(text + i, '\n', n - i);
        if (!nl && !ends_data) return i;
        const size_t end = nl ? static_cast<size_t>(static_cast<const char*>(nl) - text) : n;
        const size_t next = nl ? end + 1 : n;
        const char* b = text + i;
        const char* e = text + end;
        if (e > b && e[-1] == '\r') --e;
        const char* q = b;
        while (q < e && is_blank(*q)) ++q;
        if (q == e) {
            ++s.line;
            i = next;
            continue;
        }
        if (!sink.room(1, i)) return i;
        ++s.line;
        int64_t t, x, y;
        bool on;
        if (const int64_t fault = parse_line(b, e, csv, s, t, x, y, on)) return stop(s, i, static_cast<uint64_t>(fault), kBadLine);
        if (sink.past(t)) {
            s.done = 1;
            return next;
        }
        sink.push(x, y, t, on);
        if (sink.refused()) return stop(s, i, static_cast<uint64_t>(s.line), kOutside);
        i = next;
    }
    return i;
}

}  // namespace zv::kern::evt
