// A tensor summarised from its base64 payload: the range and a 64-bin
// histogram of its finite values, and a heat map of block means.
//
// The payload is decoded in small blocks, never whole. Values are read as
// doubles: complex numbers by their magnitude, booleans as 0 and 1. The
// histogram bins as NumPy's histogram does for 64 equal bins over
// [min, max] of the finite values (a single value v gets [v - 0.5, v + 0.5]).
// The heat map views the tensor as rows x cols, row-major, and averages the
// finite values of each block; block b of n items takes the items i with
// i * blocks / n == b. A block with no finite value is NaN.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "kernels/base64.hpp"
#include "kernels/half.hpp"

namespace zv::kern::summary {

inline constexpr size_t kBins = 64;
inline constexpr size_t kMaxSide = 64;

enum class Elem : uint8_t { Bool, I8, I16, I32, I64, U8, U16, U32, U64, F16, F32, F64, F128, C64, C128, C256 };

struct Layout {
    Elem type = Elem::F32;
    size_t itemsize = 4;
    bool swapped = false;
};

template <typename T>
inline T load(const uint8_t* p, bool swapped) {
    uint8_t tmp[sizeof(T)];
    if (swapped) std::reverse_copy(p, p + sizeof(T), tmp);
    else std::memcpy(tmp, p, sizeof(T));
    T v;
    std::memcpy(&v, tmp, sizeof(T));
    return v;
}

// Complex parts are swapped each on its own; the magnitude is taken in at
// least double precision.
template <typename T>
inline double magnitude(const uint8_t* p, bool swapped) {
    using W = std::conditional_t<(sizeof(T) > sizeof(double)), T, double>;
    const W re = load<T>(p, swapped), im = load<T>(p + sizeof(T), swapped);
    return static_cast<double>(std::hypot(re, im));
}

inline double value_at(const Layout& l, const uint8_t* p) {
    const bool s = l.swapped;
    switch (l.type) {
        case Elem::Bool: return p[0] ? 1.0 : 0.0;
        case Elem::I8: return static_cast<int8_t>(p[0]);
        case Elem::U8: return p[0];
        case Elem::I16: return load<int16_t>(p, s);
        case Elem::U16: return load<uint16_t>(p, s);
        case Elem::I32: return load<int32_t>(p, s);
        case Elem::U32: return load<uint32_t>(p, s);
        case Elem::I64: return static_cast<double>(load<int64_t>(p, s));
        case Elem::U64: return static_cast<double>(load<uint64_t>(p, s));
        case Elem::F16: return half_to_double(load<uint16_t>(p, s));
        case Elem::F32: return load<float>(p, s);
        case Elem::F64: return load<double>(p, s);
        case Elem::F128: return static_cast<double>(load<long double>(p, s));
        case Elem::C64: return magnitude<float>(p, s);
        case Elem::C128: return magnitude<double>(p, s);
        case Elem::C256: return static_cast<double>(magnitude<long double>(p, s));
    }
    return NAN;
}

// Calls f(const double*, k) over the whole elements of m bytes at p, as
// doubles in spans of at most kSpan; the element type is dispatched once per
// block.
inline constexpr size_t kSpan = 2048;

template <typename F>
void for_each_span(const Layout& l, const uint8_t* p, size_t m, F&& f) {
    const size_t n = m / l.itemsize;
    double buf[kSpan];
    auto run = [&](auto load_one) {
        for (size_t at = 0; at < n; at += kSpan) {
            const size_t k = std::min(kSpan, n - at);
            const uint8_t* q = p + at * l.itemsize;
            for (size_t j = 0; j < k; ++j) buf[j] = load_one(q + j * l.itemsize);
            f(static_cast<const double*>(buf), k);
        }
    };
    const bool s = l.swapped;
    switch (l.type) {
        case Elem::F32:
            if (!s) return run([](const uint8_t* q) { return static_cast<double>(load<float>(q, false)); });
            break;
        case Elem::F64:
            if (!s) return run([](const uint8_t* q) { return load<double>(q, false); });
            break;
        case Elem::F16:
            if (!s) return run([](const uint8_t* q) { return half_to_double(load<uint16_t>(q, false)); });
            break;
        default: break;
    }
    run([&](const uint8_t* q) { return value_at(l, q); });
}

// Calls f(bytes, n) over the decoded payload, in blocks of whole elements.
// False when the text is not clean base64 (the caller decodes it whole).
template <typename F>
bool stream(const char* text, size_t n, size_t itemsize, F&& f) {
    if (b64::clean_size(text, n) < 0) return false;
    // Text blocks of whole quads that decode to whole elements.
    const size_t quads = std::max<size_t>(1, 16384 / (3 * itemsize)) * itemsize;  // 3 bytes per quad
    const size_t chunk = quads * 4;
    std::vector<uint8_t> buf(quads * 3 + 3);
    std::vector<uint8_t> carry;
    for (size_t at = 0; at < n; at += chunk) {
        const size_t len = std::min(chunk, n - at);
        const std::ptrdiff_t m = b64::clean_size(text + at, len);
        if (m < 0 || !b64::decode_clean(text + at, len, buf.data())) return false;
        const size_t whole = static_cast<size_t>(m) / itemsize * itemsize;
        if (whole) f(buf.data(), whole);
    }
    return true;
}

struct Result {
    double min = NAN, max = NAN;
    std::array<int64_t, kBins> counts{};
    size_t rows = 0, cols = 0;
    std::vector<float> heat;  // rows * cols
};

struct Shape2 {
    size_t rows, cols;
};

// The 64-bin histogram of NumPy over [lo, hi], for values one at a time.
struct Histogram {
    double first, last, delta, norm;
    std::array<double, kBins + 1> edges;
    Histogram(double lo, double hi) : first(lo), last(hi) {
        if (first == last) first -= 0.5, last += 0.5;
        delta = last - first;
        norm = static_cast<double>(kBins) / delta;
        const double step = delta / static_cast<double>(kBins);
        for (size_t k = 0; k <= kBins; ++k) edges[k] = static_cast<double>(k) * step + first;
        edges[kBins] = last;
    }
    size_t bin(double v) const {
        // Any first estimate within one bin gives NumPy's bin after the edge checks.
        const double f = (v - first) * norm;
        std::ptrdiff_t k = std::isfinite(f) ? static_cast<std::ptrdiff_t>(std::clamp(f, 0.0, double(kBins))) : 0;
        if (k == static_cast<std::ptrdiff_t>(kBins)) k -= 1;
        if (v < edges[static_cast<size_t>(k)] && k > 0) k -= 1;
        if (k != static_cast<std::ptrdiff_t>(kBins) - 1 && v >= edges[static_cast<size_t>(k) + 1]) k += 1;
        return static_cast<size_t>(k);
    }
};

// First item of each of `blocks` blocks of n items, and n at the end: block b
// holds the items i with i * blocks / n == b.
inline std::vector<size_t> block_starts(size_t n, size_t blocks) {
    std::vector<size_t> starts(blocks + 1);
    for (size_t b = 0; b <= blocks; ++b) starts[b] = (b * n + blocks - 1) / blocks;
    return starts;
}

// numbers(f) calls f(const double*, k) over every element in order. `lo` and
// `hi`, when finite, are a guess of the range (the record's statistics): the
// histogram is then filled in the same pass, and a second pass is made only if
// the guess was wrong. Values arrive in spans that are cut at row ends and
// heat-map column blocks, so the inner loop keeps one cell's sum in a register
// (adding in element order, as one running sum would).
template <typename Numbers>
Result summarise(Numbers&& numbers, Shape2 shape, double guess_lo = NAN, double guess_hi = NAN) {
    Result r;
    r.rows = std::min(shape.rows, kMaxSide);
    r.cols = std::min(shape.cols, kMaxSide);
    const size_t total = shape.rows * shape.cols;
    std::vector<double> sum(r.rows * r.cols, 0.0);
    std::vector<int64_t> count(r.rows * r.cols, 0);
    double lo = INFINITY, hi = -INFINITY;
    const bool guessed = std::isfinite(guess_lo) && std::isfinite(guess_hi) && guess_lo <= guess_hi;
    const Histogram guess(guessed ? guess_lo : 0.0, guessed ? guess_hi : 1.0);
    const std::vector<size_t> col_start = block_starts(shape.cols, std::max<size_t>(r.cols, 1));
    const std::vector<size_t> row_start = block_starts(shape.rows, std::max<size_t>(r.rows, 1));
    size_t seen = 0, row = 0, col = 0, rb = 0, cb = 0;

    // One cell's run of values: the finite ones go to its sum, the range and
    // (with a guess) the histogram.
    auto cell_run = [&](const double* v, size_t k, size_t cell) {
        double s = sum[cell], l = lo, h = hi;
        int64_t c = 0;
        for (size_t j = 0; j < k; ++j) {
            const double x = v[j];
            if (!std::isfinite(x)) continue;
            l = std::min(l, x);
            h = std::max(h, x);
            s += x;
            ++c;
            if (guessed) ++r.counts[guess.bin(x)];
        }
        sum[cell] = s, count[cell] += c, lo = l, hi = h;
    };
    numbers([&](const double* v, size_t k) {
        k = std::min(k, total - seen);  // a payload longer than its shape: the rest is ignored
        seen += k;
        while (k) {
            while (col >= col_start[cb + 1]) ++cb;
            const size_t run = std::min(k, col_start[cb + 1] - col);
            cell_run(v, run, rb * r.cols + cb);
            v += run, k -= run, col += run;
            if (col == shape.cols) {
                col = 0, cb = 0;
                if (++row == row_start[rb + 1]) ++rb;
            }
        }
    });
    r.heat.resize(r.rows * r.cols);
    for (size_t k = 0; k < r.heat.size(); ++k)
        r.heat[k] = count[k] ? static_cast<float>(sum[k] / static_cast<double>(count[k])) : NAN;
    if (lo > hi) {  // no finite value
        r.counts.fill(0);
        return r;
    }
    r.min = lo, r.max = hi;
    if (guessed && lo == guess_lo && hi == guess_hi) return r;
    r.counts.fill(0);
    const Histogram h(lo, hi);
    size_t j = 0;
    numbers([&](const double* v, size_t k) {
        k = std::min(k, total - j);
        j += k;
        for (size_t q = 0; q < k; ++q)
            if (std::isfinite(v[q])) ++r.counts[h.bin(v[q])];
    });
    return r;
}

}  // namespace zv::kern::summary
