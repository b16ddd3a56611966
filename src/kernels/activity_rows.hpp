// The activity summary of an array whose neurons lie contiguous in each step
// (uint8, bool or float32: the usual recording), in one pass over memory on
// all cores. The neurons are cut into one slice per thread; each thread walks
// its slice a block of neurons at a time, adds the block's steps of one bin
// into first-level-cache cells with plain loops that the compiler turns into
// vector code, and closes the block at once (totals, peak, silent count,
// population sum) while it is still in cache. The loops are compiled twice,
// for plain x86-64 and for AVX2, and the CPU picks.
//
// Contract: summarise_rows gives the summary of the generic single-threaded
// pass of activity.hpp bit for bit, for an array that rows_contiguous accepts
// in native byte order, with at least one step and one neuron: it fills the
// bins of `s` (population, peak, silent, raster), adds each neuron's whole sum
// into `totals` and returns what the values were. Integer cells sum exactly in
// any order; float cells keep the one sequential population sum over the
// neurons unless every value is a whole number >= 0 and the sum stays below
// 2**53, where every partial sum is exact, so lanes and slices may add in any
// order.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "kernels/activity_types.hpp"
#include "kernels/threads.hpp"

namespace zv::kern::detail {

namespace fast {

// Whether the neuron axes of `a` are one contiguous run of values per step.
inline bool rows_contiguous(const Strided& a) {
    int64_t expect = a.size;
    for (size_t d = a.shape.size(); d-- > 1;) {
        if (a.shape[d] != 1 && a.strides[d] != expect) return false;
        expect *= a.shape[d];
    }
    return true;
}

inline constexpr double kExactBelow = 9007199254740992.0;  // 2**53

// One slice's share of one bin.
struct Part {
    int64_t sum = 0;          // integer cells: the slice's population sum
    double lanes = 0;         // float cells, all whole and >= 0: the slice's population sum
    double chain = 0;         // float cells once `sequential`: the sum up to the end of this slice
    bool sequential = false;  // the slice holds a value that is not a whole number >= 0
    bool lost = false;        // the sum cannot be carried exactly from here: recount the bin after
    double peak = -INFINITY;
    int64_t quiet = 0;
    std::atomic<int> ready{0};
};

// A block's lanes folded into its part: 8 running sums, 16 counts of quiet
// neurons and 16 peaks (a peak only where the block did any neurons).
inline void fold_lanes(Part& p, const int32_t* sums, const int16_t* quiets, const int16_t* tops, int64_t done) {
    int64_t total = 0, silent = 0;
    int16_t peak = std::numeric_limits<int16_t>::lowest();
    for (int k = 0; k < 8; ++k) total += sums[k];
    for (int k = 0; k < 16; ++k) {
        silent += static_cast<uint16_t>(quiets[k]);
        peak = tops[k] > peak ? tops[k] : peak;
    }
    p.sum += total;
    p.quiet += silent;
    if (done) p.peak = std::max(p.peak, static_cast<double>(peak));
}

// Bytes fetched ahead on each row of a short bin read in registers.
inline constexpr int64_t kAhead = 512;

// Loops over one block of cells, written for the vectoriser.
template <typename C, bool Bool>
inline void add_bytes(const uint8_t* row, C* c, int64_t w) {
    for (int64_t j = 0; j < w; ++j) {
        if constexpr (Bool) c[j] = static_cast<C>(c[j] + (row[j] != 0));  // a bool byte other than 0 and 1 counts once
        else c[j] = static_cast<C>(c[j] + row[j]);
    }
}

#if defined(__GNUC__)
// Eight floats a step in GCC/Clang vector types: one source for SSE2 and AVX2.
// Vectors stay local to the loops (no vector crosses a call).
namespace v8 {
typedef float F __attribute__((vector_size(32)));
typedef int32_t I __attribute__((vector_size(32)));
typedef double D __attribute__((vector_size(32)));
typedef int64_t L __attribute__((vector_size(32)));
}  // namespace v8

// Adds row[0..8) into c[0..8) as doubles, leaving the floats in `v`.
#define ZV_ADD_EIGHT(row, c, v)                                                          \
    v8::F v;                                                                             \
    std::memcpy(&v, (row), sizeof v);                                                    \
    {                                                                                    \
        v8::D lo, hi;                                                                    \
        std::memcpy(&lo, (c), sizeof lo);                                                \
        std::memcpy(&hi, (c) + 4, sizeof hi);                                            \
        lo += __builtin_convertvector(__builtin_shufflevector(v, v, 0, 1, 2, 3), v8::D); \
        hi += __builtin_convertvector(__builtin_shufflevector(v, v, 4, 5, 6, 7), v8::D); \
        std::memcpy((c), &lo, sizeof lo);                                                \
        std::memcpy((c) + 4, &hi, sizeof hi);                                            \
    }
#endif

inline void add_floats(const float* row, double* c, int64_t w) {
    int64_t j = 0;
#if defined(__GNUC__)
    for (; j + 8 <= w; j += 8) {
        ZV_ADD_EIGHT(row + j, c + j, v)
        (void)v;
    }
#endif
    for (; j < w; ++j) c[j] += static_cast<double>(row[j]);
}

// The same, noting whether any value is not a whole number >= 0. Floats of
// magnitude 2**23 and more are whole; below, a round trip through int32 tells.
inline bool add_floats_noting(const float* row, double* c, int64_t w) {
    int64_t j = 0;
    int32_t odd = 0;
#if defined(__GNUC__)
    v8::I odd_lanes = {};
    for (; j + 8 <= w; j += 8) {
        ZV_ADD_EIGHT(row + j, c + j, v)
        const v8::I bits = (v8::I)v;  // vector casts reinterpret the bits
        const v8::F small = (v8::F)(bits & ((v8::F)(bits & 0x7fffffff) < 8388608.0f));
        odd_lanes |= ~(v >= 0.0f) | (__builtin_convertvector(__builtin_convertvector(small, v8::I), v8::F) != small);
    }
    for (int k = 0; k < 8; ++k) odd |= odd_lanes[k];
#endif
    for (; j < w; ++j) {
        const float v = row[j];
        c[j] += static_cast<double>(v);
        const float small = std::fabs(v) < 8388608.0f ? v : 0.0f;
        odd |= static_cast<int32_t>(!(v >= 0.0f)) | static_cast<int32_t>(static_cast<float>(static_cast<int32_t>(small)) != small);
    }
    return odd != 0;
}
#undef ZV_ADD_EIGHT

template <typename C, typename W>
inline void close_counts(C* c, W* tot, int64_t w, Part& p) {
    using S = std::conditional_t<sizeof(C) == 2, int32_t, int64_t>;  // a block of int16 cells sums within int32
    S sum = 0, quiet = 0;
    C top = std::numeric_limits<C>::lowest();
    for (int64_t j = 0; j < w; ++j) {
        const C v = c[j];
        tot[j] = static_cast<W>(tot[j] + v);
        sum += v;
        top = v > top ? v : top;
        quiet += v == 0;
        c[j] = 0;
    }
    p.sum += sum;
    p.quiet += quiet;
    if (w) p.peak = std::max(p.peak, static_cast<double>(top));
}

// Cells never hold -0.0 (they start at +0.0), so the peak is the same in any order.
inline void close_floats(double* c, double* tot, int64_t w, Part& p) {
    if (p.sequential && !p.lost) {
        double s = p.chain;
        for (int64_t j = 0; j < w; ++j) s += c[j];
        p.chain = s;
    }
    int64_t j = 0;
    double sum = 0, top = -INFINITY;
    int64_t quiet = 0;
#if defined(__GNUC__)
    v8::D sum_lanes = {}, top_lanes = {-INFINITY, -INFINITY, -INFINITY, -INFINITY};
    v8::L quiet_lanes = {};
    const v8::D zero = {};
    for (; j + 4 <= w; j += 4) {
        v8::D v, t;
        std::memcpy(&v, c + j, sizeof v);
        std::memcpy(&t, tot + j, sizeof t);
        t += v;
        std::memcpy(tot + j, &t, sizeof t);
        sum_lanes += v;
        const v8::L above = v > top_lanes;
        top_lanes = (v8::D)(((v8::L)v & above) | ((v8::L)top_lanes & ~above));
        quiet_lanes -= v == zero;
        std::memcpy(c + j, &zero, sizeof zero);
    }
    for (int k = 0; k < 4; ++k) {
        sum += sum_lanes[k];
        top = top_lanes[k] > top ? top_lanes[k] : top;
        quiet += quiet_lanes[k];
    }
#endif
    for (; j < w; ++j) {
        const double v = c[j];
        tot[j] += v;
        sum += v;
        top = v > top ? v : top;
        quiet += v == 0;
        c[j] = 0;
    }
    p.lanes += sum;
    p.peak = top > p.peak ? top : p.peak;
    p.quiet += quiet;
}

#if defined(__GNUC__)
// The rows of one short bin (uint8 or bool, sums within int16) added and closed
// in registers, 32 neurons a step: no cell goes through memory. Returns how many
// neurons of the block it did (a multiple of 32).
template <bool Bool>
inline int64_t add_and_close_bytes(const uint8_t* const* rows, int64_t m, int64_t at, int64_t w, int32_t* tot, Part& p) {
    typedef uint8_t B __attribute__((vector_size(16)));  // widened straight from memory
    typedef int16_t H __attribute__((vector_size(32)));
    typedef int32_t S __attribute__((vector_size(32)));
    const H lowest = H{} + std::numeric_limits<int16_t>::lowest();
    H top = lowest, quiet = {};
    S sum = {};
    int64_t j = 0;
    for (; j + 32 <= w; j += 32) {
        H lo = {}, hi = {};
        for (int64_t i = 0; i < m; ++i) {
            B r0, r1;
            std::memcpy(&r0, rows[i] + at + j, sizeof r0);
            std::memcpy(&r1, rows[i] + at + j + 16, sizeof r1);
            if constexpr (Bool) {  // a bool byte other than 0 and 1 counts once
                r0 = (B)(r0 != 0) & 1;
                r1 = (B)(r1 != 0) & 1;
            }
            lo += __builtin_convertvector(r0, H);
            hi += __builtin_convertvector(r1, H);
        }
        H up = lo > top;
        top = (lo & up) | (top & ~up);
        up = hi > top;
        top = (hi & up) | (top & ~up);
        quiet -= (lo == 0);
        quiet -= (hi == 0);
        S parts[4] = {
            __builtin_convertvector(__builtin_shufflevector(lo, lo, 0, 1, 2, 3, 4, 5, 6, 7), S),
            __builtin_convertvector(__builtin_shufflevector(lo, lo, 8, 9, 10, 11, 12, 13, 14, 15), S),
            __builtin_convertvector(__builtin_shufflevector(hi, hi, 0, 1, 2, 3, 4, 5, 6, 7), S),
            __builtin_convertvector(__builtin_shufflevector(hi, hi, 8, 9, 10, 11, 12, 13, 14, 15), S)};
        for (int q = 0; q < 4; ++q) {
            S t;
            std::memcpy(&t, tot + j + 8 * q, sizeof t);
            t += parts[q];
            std::memcpy(tot + j + 8 * q, &t, sizeof t);
            sum += parts[q];
        }
    }
    int32_t sums[8];
    int16_t quiets[16], tops[16];
    std::memcpy(sums, &sum, sizeof sums);
    std::memcpy(quiets, &quiet, sizeof quiets);
    std::memcpy(tops, &top, sizeof tops);
    fold_lanes(p, sums, quiets, tops, j);
    return j;
}
#endif

#if defined(__GNUC__)
// The rows of one short bin of float32 added in float lanes in registers, 8
// neurons a step, into `sums`. Whole values >= 0 whose sums stay below 2**24
// add exactly in floats, so the sums are the bits that doubles would give;
// returns false (the block then takes the double path) for any other value.
inline bool add_whole_floats(const float* const* rows, int64_t m, int64_t at, int64_t w, float* sums) {
    v8::I odd = {};
    for (int64_t j = 0; j < w; j += 8) {
        v8::F acc = {};
        for (int64_t i = 0; i < m; ++i) {
            if ((j & 15) == 0) __builtin_prefetch(rows[i] + at + j + kAhead / 4);
            v8::F v;
            std::memcpy(&v, rows[i] + at + j, sizeof v);
            acc += v;
            const v8::I bits = (v8::I)v;
            const v8::F small = (v8::F)(bits & ((v8::F)(bits & 0x7fffffff) < 8388608.0f));
            odd |= ~(v >= 0.0f) | (__builtin_convertvector(__builtin_convertvector(small, v8::I), v8::F) != small);
        }
        odd |= acc >= 16777216.0f;  // 2**24 (an infinity too)
        std::memcpy(sums + j, &acc, sizeof acc);
    }
    int32_t any = 0;
    for (int k = 0; k < 8; ++k) any |= odd[k];
    return any == 0;
}

// close_floats for sums held as floats (w a multiple of 8).
inline void close_whole_floats(const float* sums, double* tot, int64_t w, Part& p) {
    v8::D sum_lanes = {}, top_lanes = {-INFINITY, -INFINITY, -INFINITY, -INFINITY};
    v8::L quiet_lanes = {};
    const v8::D zero = {};
    for (int64_t j = 0; j < w; j += 4) {
        v8::D t;
        float four[4];
        std::memcpy(four, sums + j, sizeof four);
        const v8::D v = {four[0], four[1], four[2], four[3]};
        std::memcpy(&t, tot + j, sizeof t);
        t += v;
        std::memcpy(tot + j, &t, sizeof t);
        sum_lanes += v;
        const v8::L above = v > top_lanes;
        top_lanes = (v8::D)(((v8::L)v & above) | ((v8::L)top_lanes & ~above));
        quiet_lanes -= v == zero;
    }
    for (int k = 0; k < 4; ++k) {
        p.lanes += sum_lanes[k];
        p.peak = top_lanes[k] > p.peak ? top_lanes[k] : p.peak;
        p.quiet += quiet_lanes[k];
    }
}
#endif

#if defined(__x86_64__) && defined(__GNUC__)
// add_and_close_bytes in AVX2 intrinsics: the vector types above widen bytes
// half a register at a time.
template <bool Bool>
__attribute__((target("avx2"))) int64_t add_and_close_bytes_avx2(const uint8_t* const* rows, int64_t m, int64_t at,
                                                                 int64_t w, int32_t* tot, Part& p) {
    __m256i top = _mm256_set1_epi16(std::numeric_limits<int16_t>::lowest()), quiet = _mm256_setzero_si256();
    __m256i sum = _mm256_setzero_si256();
    const __m256i zero = _mm256_setzero_si256(), ones = _mm256_set1_epi16(1);
    const __m128i zero8 = _mm_setzero_si128(), one8 = _mm_set1_epi8(1);
    int64_t j = 0;
    for (; j + 32 <= w; j += 32) {
        __m256i lo = zero, hi = zero;
        for (int64_t i = 0; i < m; ++i) {
            // The rows stream side by side; fetched ahead, each reads at about the speed of one alone.
            if ((j & 63) == 0) _mm_prefetch(reinterpret_cast<const char*>(rows[i] + at + j + kAhead), _MM_HINT_T0);
            __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[i] + at + j));
            __m128i r1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[i] + at + j + 16));
            if constexpr (Bool) {  // a bool byte other than 0 and 1 counts once
                r0 = _mm_andnot_si128(_mm_cmpeq_epi8(r0, zero8), one8);
                r1 = _mm_andnot_si128(_mm_cmpeq_epi8(r1, zero8), one8);
            }
            lo = _mm256_add_epi16(lo, _mm256_cvtepu8_epi16(r0));
            hi = _mm256_add_epi16(hi, _mm256_cvtepu8_epi16(r1));
        }
        top = _mm256_max_epi16(top, _mm256_max_epi16(lo, hi));
        quiet = _mm256_sub_epi16(quiet, _mm256_cmpeq_epi16(lo, zero));
        quiet = _mm256_sub_epi16(quiet, _mm256_cmpeq_epi16(hi, zero));
        sum = _mm256_add_epi32(sum, _mm256_add_epi32(_mm256_madd_epi16(lo, ones), _mm256_madd_epi16(hi, ones)));
        const __m256i wide[4] = {_mm256_cvtepi16_epi32(_mm256_castsi256_si128(lo)), _mm256_cvtepi16_epi32(_mm256_extracti128_si256(lo, 1)),
                                 _mm256_cvtepi16_epi32(_mm256_castsi256_si128(hi)), _mm256_cvtepi16_epi32(_mm256_extracti128_si256(hi, 1))};
        for (int q = 0; q < 4; ++q) {
            __m256i* t = reinterpret_cast<__m256i*>(tot + j + 8 * q);
            _mm256_storeu_si256(t, _mm256_add_epi32(_mm256_loadu_si256(t), wide[q]));
        }
    }
    alignas(32) int16_t tops[16], quiets[16];
    alignas(32) int32_t sums[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(tops), top);
    _mm256_store_si256(reinterpret_cast<__m256i*>(quiets), quiet);
    _mm256_store_si256(reinterpret_cast<__m256i*>(sums), sum);
    fold_lanes(p, sums, quiets, tops, j);
    return j;
}
#endif

// Whether a sequential sum that stands at `start` and then adds whole values
// >= 0 totalling `more` is exact, and so equals start + more.
inline bool exact_sum(double start, double more) {
    return start >= 0 && std::trunc(start) == start && start + more < kExactBelow;
}

struct Pass {
    const Strided& a;
    ActivitySummary& s;
    int64_t n, steps, bins, per;
    int threads;
    std::vector<Part> parts;  // thread-major: parts[k * bins + b]
    std::vector<double>& totals;
    std::vector<uint8_t> odd;  // per thread: a value that is not a whole number >= 0 was seen

    Part& part(int k, int64_t b) { return parts[static_cast<size_t>(k) * static_cast<size_t>(bins) + static_cast<size_t>(b)]; }

    // The population sum of bin b over the slices up to k, once they are done;
    // none where it cannot be given exactly.
    std::optional<double> end_of(int k, int64_t b) {
        Part& p = part(k, b);
        while (!p.ready.load(std::memory_order_acquire)) std::this_thread::yield();
        if (p.lost) return std::nullopt;
        if (p.sequential) return p.chain;
        return carried(k, b, p.lanes);
    }
    // The slices before k, continued by `more` of whole values >= 0.
    std::optional<double> carried(int k, int64_t b, double more) {
        const std::optional<double> start = k == 0 ? std::optional<double>(0.0) : end_of(k - 1, b);
        if (!start) return std::nullopt;
        if (more == 0) return start;
        if (!exact_sum(*start, more)) return std::nullopt;
        return *start + more;
    }
};

inline constexpr int64_t kRows = 32;  // rows of one bin added a block at a time

// Thread k's slice, every bin, one pass. T: uint8 or float; C cells; W totals.
template <typename T, typename C, typename W, bool Bool, bool Avx2>
inline void slice_pass(Pass& ps, int k) {
    const int64_t j0 = std::min(ps.n, k * ps.per), len = std::min(ps.n, j0 + ps.per) - j0;
    constexpr int64_t kBlock = std::is_same_v<C, double> ? 1024 : 2048;  // cells and totals within L1
    std::vector<C> cells(static_cast<size_t>(std::max<int64_t>(len, 1)), C{0});
    std::vector<W> own_totals;
    W* tot;
    if constexpr (std::is_same_v<W, double>) tot = ps.totals.data() + j0;
    else {
        own_totals.assign(static_cast<size_t>(std::max<int64_t>(len, 1)), W{0});
        tot = own_totals.data();
    }
    bool odd = false;
    const T* rows[kRows];
    float sums[std::is_same_v<T, float> ? kBlock : 1];  // a block's sums as floats, while they are exact
    const int64_t raster = ps.s.raster_neurons;
    for (int64_t b = 0, first = 0; b < ps.bins; ++b) {
        int64_t end = first;
        while (end < ps.steps && bin_of_step(end, ps.steps, ps.bins) == b) ++end;
        const double inv = 1.0 / static_cast<double>(end - first);
        Part& part = ps.part(k, b);
        for (int64_t g = first; g < end; g += kRows) {
            const int64_t m = std::min(kRows, end - g);
            const bool last = g + m == end;
            for (int64_t i = 0; i < m; ++i)
                rows[i] = reinterpret_cast<const T*>(ps.a.base + (g + i) * ps.a.strides[0]) + j0;
            for (int64_t jb = 0; jb < len; jb += kBlock) {
                int64_t at = jb, w = std::min(kBlock, len - jb);
#if defined(__GNUC__)
                // A short bin past the raster: straight from the rows to the results.
                if constexpr (std::is_same_v<C, int16_t> && std::is_same_v<W, int32_t>)
                    if (last && g == first && j0 + jb >= raster) {
                        int64_t done;
#if defined(__x86_64__)
                        if constexpr (Avx2) done = add_and_close_bytes_avx2<Bool>(rows, m, jb, w, tot + jb, part);
                        else
#endif
                            done = add_and_close_bytes<Bool>(rows, m, jb, w, tot + jb, part);
                        at += done;
                        w -= done;
                    }
                if constexpr (std::is_same_v<T, float>)
                    if (last && g == first && j0 + jb >= raster && !odd && !part.sequential) {
                        const int64_t whole = w / 8 * 8;
                        if (whole && add_whole_floats(rows, m, at, whole, sums)) {
                            close_whole_floats(sums, tot + at, whole, part);
                            at += whole;
                            w -= whole;
                        }
                    }
#endif
                C* c = cells.data() + at;
                for (int64_t i = 0; i < m; ++i) {
                    if constexpr (std::is_same_v<T, float>) {
                        if (odd) add_floats(rows[i] + at, c, w);
                        else odd = add_floats_noting(rows[i] + at, c, w);
                    } else add_bytes<C, Bool>(rows[i] + at, c, w);
                }
                if (!last) continue;
                float* r = ps.s.raster.data() + b * raster;
                for (int64_t j = j0 + at; j < std::min(raster, j0 + at + w); ++j)
                    r[j] = static_cast<float>(static_cast<double>(c[j - j0 - at]) * inv);
                if constexpr (std::is_same_v<C, double>) {
                    if (odd && !part.sequential) {
                        // From here the sum runs in order: it continues the slices
                        // before this one, and this slice's blocks so far.
                        const std::optional<double> start = ps.carried(k, b, part.lanes);
                        part.sequential = true;
                        if (start) part.chain = *start;
                        else part.lost = true;
                    }
                    close_floats(c, tot + at, w, part);
                } else close_counts(c, tot + at, w, part);
            }
        }
        part.ready.store(1, std::memory_order_release);
        first = end;
    }
    if constexpr (!std::is_same_v<W, double>)
        for (int64_t j = 0; j < len; ++j) ps.totals[static_cast<size_t>(j0 + j)] = static_cast<double>(tot[j]);
    ps.odd[static_cast<size_t>(k)] = odd;
}

template <typename T, typename C, typename W, bool Bool>
void slice_pass_plain(Pass& ps, int k) { slice_pass<T, C, W, Bool, false>(ps, k); }

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
template <typename T, typename C, typename W, bool Bool>
__attribute__((target("avx2"), flatten)) void slice_pass_avx2(Pass& ps, int k) { slice_pass<T, C, W, Bool, true>(ps, k); }

inline bool cpu_has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

// The population sum of one bin counted again in order, for the rare bin
// whose sum the slices could not carry exactly.
template <typename T>
double population_in_order(const Strided& a, int64_t first, int64_t end, int64_t n) {
    constexpr int64_t kBlock = 1024;
    double cells[kBlock], sum = 0;
    for (int64_t jb = 0; jb < n; jb += kBlock) {
        const int64_t w = std::min(kBlock, n - jb);
        std::fill(cells, cells + w, 0.0);
        for (int64_t t = first; t < end; ++t) {
            const T* row = reinterpret_cast<const T*>(a.base + t * a.strides[0]) + jb;
            for (int64_t j = 0; j < w; ++j) cells[j] += static_cast<double>(row[j]);
        }
        for (int64_t j = 0; j < w; ++j) sum += cells[j];
    }
    return sum;
}

// Summarises contiguous rows of T (uint8, bool as uint8, float32) into s,
// whose sizes are set; cells of type C, totals of type W. Returns the flags of all values.
template <typename T, typename C, typename W, bool Bool>
Flags summarise_rows(const Strided& a, ActivitySummary& s, std::vector<double>& totals, int threads) {
    const int64_t n = s.neurons, bins = s.bins;
    // Slices of whole cache lines, and not more threads than slices of 32K neurons.
    const int64_t most = std::max<int64_t>(1, n / 32768);
    const int t_count = static_cast<int>(std::clamp<int64_t>(threads, 1, most));
    const int64_t per = ((n + t_count - 1) / t_count + 63) / 64 * 64;
    Pass ps{a, s, n, s.steps, bins, per, t_count,
            std::vector<Part>(static_cast<size_t>(t_count) * static_cast<size_t>(bins)), totals,
            std::vector<uint8_t>(static_cast<size_t>(t_count), 0)};
    void (*work)(Pass&, int) = slice_pass_plain<T, C, W, Bool>;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    if (cpu_has_avx2()) work = slice_pass_avx2<T, C, W, Bool>;
#endif
    // Slices are taken in order: a slice waits for the carries of the one before.
    run_tasks(static_cast<size_t>(t_count), static_cast<size_t>(t_count),
              [&](size_t k) { work(ps, static_cast<int>(k)); });

    for (int64_t b = 0, first = 0; b < bins; ++b) {
        int64_t end = first;
        while (end < s.steps && bin_of_step(end, s.steps, bins) == b) ++end;
        double peak = -INFINITY;
        int64_t quiet = 0, sum = 0;
        for (int k = 0; k < t_count; ++k) {
            const Part& p = ps.part(k, b);
            peak = p.peak > peak ? p.peak : peak;
            quiet += p.quiet;
            sum += p.sum;
        }
        const double inv = 1.0 / static_cast<double>(end - first);
        double total = static_cast<double>(sum);
        if constexpr (std::is_same_v<C, double>) {
            const std::optional<double> carried = ps.end_of(t_count - 1, b);
            total = carried ? *carried : population_in_order<T>(a, first, end, n);
        }
        s.population[b] = total * inv / static_cast<double>(n);
        s.peak[b] = peak * inv;
        s.silent[b] = static_cast<double>(quiet) / static_cast<double>(n);
        first = end;
    }
    Flags fl;
    for (uint8_t odd : ps.odd) fl.fraction |= odd != 0;  // negative or fraction: either way not counts
    if constexpr (std::is_same_v<C, double>)
        for (double v : totals) fl.nonfinite |= !(v - v == 0);  // a sum is finite exactly when its values are
    return fl;
}

}  // namespace fast

}  // namespace zv::kern::detail
