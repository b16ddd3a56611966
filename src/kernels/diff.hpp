// How far two tensors of the same element count lie apart, streamed over
// both without copies: the largest |a - b|, ||a - b||2, ||a||2, ||b||2 and how
// many elements are not close.
//
// Either side is raw memory or clean base64 text (a viewer document's
// payload), decoded a span at a time; the two may differ in element type
// (float32 against float16 or int8). Values are compared as doubles (int64
// beyond 2**53 loses its last bits there).
//
// Closeness is NumPy's isclose with equal_nan: |a - b| <= atol + rtol * |b|
// for finite pairs, equality otherwise (so equal infinities are close and an
// infinity against a number is not). A NaN on both sides is equal; a NaN on
// one side only is not close. Pairs holding a NaN are left out of the maximum
// and the norms, which then measure the numbers both sides have.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <thread>
#include <vector>

#include "kernels/base64.hpp"
#include "kernels/half.hpp"
#include "kernels/threads.hpp"

namespace zv::kern::diff {

enum class Elem : uint8_t { Bool, I8, I16, I32, I64, U8, U16, U32, U64, F16, F32, F64 };

struct Layout {
    Elem type = Elem::F32;
    size_t itemsize = 4;
};

// The layout of a NumPy dtype name in native byte order ("float32", "int8",
// ...); false for what the kernel does not read (complex, long double,
// byte-swapped or structured types).
inline bool layout_of(std::string_view name, Layout& out) {
    static constexpr struct {
        std::string_view name;
        Elem type;
        size_t size;
    } kNames[] = {
        {"bool", Elem::Bool, 1},   {"int8", Elem::I8, 1},       {"int16", Elem::I16, 2},   {"int32", Elem::I32, 4},
        {"int64", Elem::I64, 8},   {"uint8", Elem::U8, 1},      {"uint16", Elem::U16, 2},  {"uint32", Elem::U32, 4},
        {"uint64", Elem::U64, 8},  {"float16", Elem::F16, 2},   {"float32", Elem::F32, 4}, {"float64", Elem::F64, 8},
    };
    for (const auto& e : kNames)
        if (name == e.name) return out = {e.type, e.size}, true;
    return false;
}

template <typename T>
inline T load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// k elements at p as doubles; the type is dispatched once per span.
inline void to_doubles(const Layout& l, const uint8_t* p, size_t k, double* out) {
    auto run = [&](auto one) {
        for (size_t j = 0; j < k; ++j) out[j] = one(p + j * l.itemsize);
    };
    switch (l.type) {
        case Elem::Bool: return run([](const uint8_t* q) { return *q ? 1.0 : 0.0; });
        case Elem::I8: return run([](const uint8_t* q) { return double(load<int8_t>(q)); });
        case Elem::I16: return run([](const uint8_t* q) { return double(load<int16_t>(q)); });
        case Elem::I32: return run([](const uint8_t* q) { return double(load<int32_t>(q)); });
        case Elem::I64: return run([](const uint8_t* q) { return double(load<int64_t>(q)); });
        case Elem::U8: return run([](const uint8_t* q) { return double(*q); });
        case Elem::U16: return run([](const uint8_t* q) { return double(load<uint16_t>(q)); });
        case Elem::U32: return run([](const uint8_t* q) { return double(load<uint32_t>(q)); });
        case Elem::U64: return run([](const uint8_t* q) { return double(load<uint64_t>(q)); });
        case Elem::F16: return run([](const uint8_t* q) { return half_to_double(load<uint16_t>(q)); });
        case Elem::F32: return run([](const uint8_t* q) { return double(load<float>(q)); });
        case Elem::F64: return run([](const uint8_t* q) { return load<double>(q); });
    }
}

// One side of a comparison: `count` elements as raw bytes or as clean base64.
struct Source {
    Layout layout;
    const uint8_t* raw = nullptr;  // when set, the elements themselves
    const char* text = nullptr;    // otherwise base64 of them, without line breaks
    size_t text_len = 0;

    // Elements [at, at + k) as doubles into out; false when the base64 text
    // holds a character outside the alphabet there.
    bool read(size_t at, size_t k, double* out, std::vector<uint8_t>& scratch) const {
        const size_t s = layout.itemsize;
        if (raw) return to_doubles(layout, raw + at * s, k, out), true;
        // Whole quads covering the bytes [at * s, (at + k) * s).
        const size_t first = at * s, last = (at + k) * s;
        const size_t q0 = first / 3, q1 = std::min((last + 2) / 3, text_len / 4);
        scratch.resize((q1 - q0) * 3);
        const std::ptrdiff_t got = b64::clean_size(text + 4 * q0, 4 * (q1 - q0));
        if (got < 0 || static_cast<size_t>(got) + q0 * 3 < last) return false;
        if (!b64::decode_clean(text + 4 * q0, 4 * (q1 - q0), scratch.data())) return false;
        to_doubles(layout, scratch.data() + (first - q0 * 3), k, out);
        return true;
    }
};

struct Result {
    double max_abs = 0.0;  // largest |a - b| over pairs without NaN
    double diff_sq = 0.0, a_sq = 0.0, b_sq = 0.0;  // squared norms over the same pairs
    uint64_t not_close = 0;
    bool bad_text = false;  // a payload was not clean base64: decode it whole and retry

    void merge(const Result& o) {
        max_abs = std::max(max_abs, o.max_abs);
        diff_sq += o.diff_sq, a_sq += o.a_sq, b_sq += o.b_sq;
        not_close += o.not_close;
        bad_text = bad_text || o.bad_text;
    }
};

inline constexpr size_t kSpan = 1024;

// The pairs of one span; sums are kept per span and added to the running
// totals, which keeps rounding to about (span + n / span) ulps.
inline void accumulate(const double* a, const double* b, size_t k, double rtol, double atol, Result& r) {
    double mx = r.max_abs, dd = 0, aa = 0, bb = 0;
    uint64_t far = 0;
    for (size_t j = 0; j < k; ++j) {
        const double x = a[j], y = b[j];
        const bool nx = x != x, ny = y != y;
        if (nx || ny) {
            far += nx != ny;
            continue;
        }
        const double d = x == y ? 0.0 : x - y;  // equal infinities differ by 0, not NaN
        const double ad = std::fabs(d);
        mx = ad > mx ? ad : mx;
        dd += d * d, aa += x * x, bb += y * y;
        const bool close = d == 0.0 || (std::isfinite(d) && ad <= atol + rtol * std::fabs(y));
        far += !close;
    }
    r.max_abs = mx, r.diff_sq += dd, r.a_sq += aa, r.b_sq += bb, r.not_close += far;
}

// Elements [begin, end) of a pair of sources.
inline Result compare_range(const Source& a, const Source& b, size_t begin, size_t end, double rtol, double atol) {
    Result r;
    double va[kSpan], vb[kSpan];
    std::vector<uint8_t> sa, sb;
    for (size_t at = begin; at < end; at += kSpan) {
        const size_t k = std::min(kSpan, end - at);
        if (!a.read(at, k, va, sa) || !b.read(at, k, vb, sb)) {
            r.bad_text = true;
            return r;
        }
        accumulate(va, vb, k, rtol, atol, r);
    }
    return r;
}

struct Pair {
    Source a, b;
    size_t count = 0;
};

// Every pair, on up to `threads` threads: big tensors are cut into pieces of
// about kPiece elements so that one large layer does not leave cores idle.
inline std::vector<Result> compare_all(const std::vector<Pair>& pairs, double rtol, double atol,
                                       size_t threads = cores()) {
    constexpr size_t kPiece = size_t{1} << 20;
    struct Piece {
        size_t pair, begin, end;
    };
    std::vector<Piece> pieces;
    for (size_t i = 0; i < pairs.size(); ++i) {
        const size_t n = pairs[i].count;
        for (size_t at = 0; at < n; at += kPiece) pieces.push_back({i, at, std::min(n, at + kPiece)});
    }
    std::vector<Result> partial(pieces.size());
    std::atomic<bool> failed{false};
    run_tasks(pieces.size(), threads, [&](size_t k) {
        if (failed) return;
        try {
            const Piece& p = pieces[k];
            partial[k] = compare_range(pairs[p.pair].a, pairs[p.pair].b, p.begin, p.end, rtol, atol);
        } catch (...) {  // out of memory for a decoding buffer: no thread may end the process
            failed = true;
        }
    });
    if (failed) throw std::bad_alloc();
    std::vector<Result> out(pairs.size());
    for (size_t k = 0; k < pieces.size(); ++k) out[pieces[k].pair].merge(partial[k]);
    return out;
}

// Calls f(const double*, k) over b - a (or |b - a| with `magnitude`), in
// spans, for summary::summarise; false when a payload was not clean base64.
template <typename F>
bool for_each_difference(const Pair& p, bool magnitude, F&& f) {
    double va[kSpan], vb[kSpan], d[kSpan];
    std::vector<uint8_t> sa, sb;
    for (size_t at = 0; at < p.count; at += kSpan) {
        const size_t k = std::min(kSpan, p.count - at);
        if (!p.a.read(at, k, va, sa) || !p.b.read(at, k, vb, sb)) return false;
        for (size_t j = 0; j < k; ++j) {
            const double x = vb[j] == va[j] ? 0.0 : vb[j] - va[j];
            d[j] = magnitude ? std::fabs(x) : x;
        }
        f(static_cast<const double*>(d), k);
    }
    return true;
}

}  // namespace zv::kern::diff
