// Summaries of a recorded activity array (time x neurons) for the graph page.
//
// One strided pass over the array in place: each element is added to its
// neuron's cell of the current time bin; when a bin closes, the cells feed the
// per-neuron totals, the bin's population mean, its busiest neuron, its count
// of silent neurons and the downsampled raster. Nothing per element is kept.
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

#include "kernels/columns.hpp"
#include "kernels/threads.hpp"

namespace zv::kern {

// An n-d array: dimension 0 is time, the rest are neurons in C order.
struct Strided {
    const std::byte* base = nullptr;
    std::vector<int64_t> shape;
    std::vector<int64_t> strides;  // bytes
    NumKind kind = NumKind::Float;
    uint8_t size = 8;
    bool swapped = false;
};

inline constexpr int64_t kMaxActivityBins = 200;
inline constexpr int64_t kMaxRasterNeurons = 256;
inline constexpr int kHistogramBins = 32;

struct ActivitySummary {
    int64_t steps = 0, neurons = 0, bins = 0, raster_neurons = 0;
    bool counts = true;      // every value a finite non-negative integer (or a bool)
    bool finite = true;
    double mean = 0;         // mean over all elements (per step and neuron)
    std::vector<double> population;  // per bin: mean over its steps and all neurons
    std::vector<double> peak;        // per bin: the busiest neuron's mean over its steps
    std::vector<double> silent;      // per bin: fraction of neurons with a zero sum
    double silent_all = 0;           // fraction of neurons whose whole sum is zero
    std::vector<float> raster;       // bins x raster_neurons, mean per step in each cell
    double hist_lo = 0, hist_hi = 0; // histogram range of the per-neuron means
    std::vector<int64_t> histogram;  // kHistogramBins counts
};

// Step s lies in bin s * bins / steps: bins of equal length, within one step.
inline int64_t activity_bins(int64_t steps) { return std::min(steps, kMaxActivityBins); }
inline int64_t bin_of_step(int64_t s, int64_t steps, int64_t bins) {
    return static_cast<int64_t>((static_cast<__int128>(s) * bins) / steps);
}

namespace detail {

template <typename L>
constexpr bool has_value = requires(const std::byte* p) { L::value(p); };

// Sums: exact integers for narrow integer types, doubles otherwise.
template <typename L>
struct AccFor {
    using type = double;
};
template <typename T, bool S>
    requires(std::is_integral_v<T> && sizeof(T) <= 4)
struct AccFor<Loader<T, S>> {
    using type = int64_t;
};
template <>
struct AccFor<BoolLoader> {
    using type = int64_t;
};

template <typename L, typename A>
inline A read(const std::byte* p) {
    if constexpr (std::is_same_v<L, BoolLoader>) return *reinterpret_cast<const uint8_t*>(p) ? 1 : 0;
    else if constexpr (has_value<L>) return static_cast<A>(L::value(p));
    else return static_cast<A>(L::as_double(p));
}

struct Flags {
    bool negative = false, fraction = false, nonfinite = false;
};

// Bytes per stored value, for the contiguous fast path.
template <typename L>
constexpr std::ptrdiff_t width_of = 1;
template <typename T, bool S>
constexpr std::ptrdiff_t width_of<Loader<T, S>> = sizeof(T);
template <bool S>
constexpr std::ptrdiff_t width_of<HalfLoader<S>> = 2;

// Adds `inner` values at p, p + stride, ... into c and notes what they are.
template <typename L, typename A, typename Stride>
inline void add_run(const std::byte* p, Stride stride, int64_t inner, A* c, Flags& fl) {
    if constexpr (std::is_floating_point_v<A>) {
        bool bad = false, neg = false, frac = false;
        for (int64_t i = 0; i < inner; ++i) {
            const A v = read<L, A>(p + i * stride);
            c[i] += v;
            bad |= !(v - v == 0);
            neg |= v < 0;
            frac |= std::trunc(v) != v;
        }
        fl.nonfinite |= bad;
        fl.negative |= neg;
        fl.fraction |= frac;
    } else {
        A lo = 0;
        for (int64_t i = 0; i < inner; ++i) {
            const A v = read<L, A>(p + i * stride);
            c[i] += v;
            lo = v < lo ? v : lo;
        }
        fl.negative |= lo < 0;
    }
}

// Adds one step (all neurons of one row of time) into cells.
template <typename L, typename A>
void add_row(const Strided& a, const std::byte* row, A* cells, Flags& fl) {
    const size_t nd = a.shape.size();
    if (nd == 1) {
        add_run<L, A>(row, std::ptrdiff_t{0}, 1, cells, fl);
        return;
    }
    const int64_t inner = a.shape[nd - 1];
    const std::ptrdiff_t istride = a.strides[nd - 1];
    constexpr std::ptrdiff_t W = width_of<L>;
    std::vector<int64_t> idx(nd, 0);  // odometer over the dimensions between time and the last
    int64_t j = 0;
    const std::byte* p = row;
    while (true) {
        if (istride == W) add_run<L, A>(p, std::integral_constant<std::ptrdiff_t, W>{}, inner, cells + j, fl);
        else add_run<L, A>(p, istride, inner, cells + j, fl);
        j += inner;
        size_t d = nd - 2;
        while (d >= 1) {
            p += a.strides[d];
            if (++idx[d] < a.shape[d]) break;
            p -= a.strides[d] * a.shape[d];
            idx[d] = 0;
            --d;
        }
        if (d == 0) return;
    }
}

// ---------------------------------------------------------------- contiguous rows, all cores
//
// uint8, bool and float32 arrays whose neurons lie contiguous in each step (the
// usual recording) take this path, in one pass over memory. The neurons are cut
// into one slice per thread; each thread walks its slice a block of neurons at
// a time, adds the block's steps of one bin into first-level-cache cells with
// plain loops that the compiler turns into vector code, and closes the block at
// once (totals, peak, silent count, population sum) while it is still in cache.
// The loops are compiled twice, for plain x86-64 and for AVX2, and the CPU picks.
//
// Bit for bit the single-threaded pass: integer cells sum exactly in any order;
// float cells keep the one sequential population sum over the neurons unless
// every value is a whole number >= 0 and the sum stays below 2**53, where every
// partial sum is exact, so lanes and slices may add in any order.
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
    int64_t total = 0, silent = 0;
    int16_t peak = -32768;
    for (int k = 0; k < 8; ++k) total += sum[k];
    for (int k = 0; k < 16; ++k) {
        silent += quiet[k];
        peak = top[k] > peak ? top[k] : peak;
    }
    p.sum += total;
    p.quiet += silent;
    if (j) p.peak = std::max(p.peak, static_cast<double>(peak));
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
    int64_t total = 0, silent = 0;
    int16_t peak = std::numeric_limits<int16_t>::lowest();
    for (int k = 0; k < 8; ++k) total += sums[k];
    for (int k = 0; k < 16; ++k) {
        silent += static_cast<uint16_t>(quiets[k]);
        peak = tops[k] > peak ? tops[k] : peak;
    }
    p.sum += total;
    p.quiet += silent;
    if (j) p.peak = std::max(p.peak, static_cast<double>(peak));
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

}  // namespace detail

// Summarise `a` (shape[0] >= 1 steps, at least one neuron) on up to `threads`
// threads. Scratch: one bin cell and one running total per neuron.
inline ActivitySummary summarize_activity(const Strided& a, int threads = 1) {
    ActivitySummary s;
    s.steps = a.shape[0];
    int64_t n = 1;
    for (size_t d = 1; d < a.shape.size(); ++d) n *= a.shape[d];
    s.neurons = n;
    s.bins = activity_bins(s.steps);
    s.raster_neurons = std::min(n, kMaxRasterNeurons);
    s.population.assign(s.bins, 0);
    s.peak.assign(s.bins, 0);
    s.silent.assign(s.bins, 0);
    s.raster.assign(static_cast<size_t>(s.bins * s.raster_neurons), 0.0f);
    std::vector<double> totals(static_cast<size_t>(n), 0.0);
    detail::Flags fl;

    auto run = [&]<typename L, typename A>() {
        std::vector<A> cells(static_cast<size_t>(n), A{0});
        int64_t bin = 0, first = 0;
        auto close = [&](int64_t b, int64_t count) {
            double sum = 0, peak = -INFINITY;
            int64_t quiet = 0;
            const double inv = 1.0 / static_cast<double>(count);
            float* r = s.raster.data() + b * s.raster_neurons;
            for (int64_t j = 0; j < n; ++j) {
                const double v = static_cast<double>(cells[j]);
                sum += v;
                totals[j] += v;
                peak = v > peak ? v : peak;
                quiet += cells[j] == A{0};
                if (j < s.raster_neurons) r[j] = static_cast<float>(v * inv);
                cells[j] = A{0};
            }
            s.population[b] = sum * inv / static_cast<double>(n);
            s.peak[b] = peak * inv;
            s.silent[b] = static_cast<double>(quiet) / static_cast<double>(n);
        };
        for (int64_t t = 0; t < s.steps; ++t) {
            const int64_t b = bin_of_step(t, s.steps, s.bins);
            if (b != bin) {
                close(bin, t - first);
                bin = b;
                first = t;
            }
            detail::add_row<L, A>(a, a.base + t * a.strides[0], cells.data(), fl);
        }
        close(bin, s.steps - first);
    };
    // Narrow integers sum in the narrowest cell that cannot overflow within
    // one bin: int16 cells quadruple the throughput of int64 ones.
    const int64_t longest_bin = (s.steps + s.bins - 1) / s.bins + 1;
    int64_t bound = 0;  // largest magnitude of one value; 0 = not a narrow integer
    if (a.kind == NumKind::Bool) bound = 1;
    else if (a.kind == NumKind::UInt && a.size <= 2) bound = a.size == 1 ? 255 : 65535;
    else if (a.kind == NumKind::Int && a.size <= 2) bound = a.size == 1 ? 128 : 32768;
    const int narrow = bound == 0 ? 0 : longest_bin * bound < 32768 ? 16 : longest_bin * bound < (int64_t{1} << 31) ? 32 : 64;

    const bool rows = !a.swapped && a.shape.size() >= 2 && detail::fast::rows_contiguous(a);
    if (rows && (a.kind == NumKind::Bool || (a.kind == NumKind::UInt && a.size == 1))) {
        // Totals in int32 while a neuron's whole sum fits.
        const bool wide_totals = s.steps >= ((int64_t{1} << 31) - 1) / bound;
        auto bytes = [&]<typename C, typename W>() {
            return a.kind == NumKind::Bool ? detail::fast::summarise_rows<uint8_t, C, W, true>(a, s, totals, threads)
                                           : detail::fast::summarise_rows<uint8_t, C, W, false>(a, s, totals, threads);
        };
        fl = narrow == 16   ? bytes.template operator()<int16_t, int32_t>()
           : narrow == 64   ? bytes.template operator()<int64_t, int64_t>()
           : wide_totals    ? bytes.template operator()<int32_t, int64_t>()
                            : bytes.template operator()<int32_t, int32_t>();
    } else if (rows && a.kind == NumKind::Float && a.size == 4) {
        fl = detail::fast::summarise_rows<float, double, double, false>(a, s, totals, threads);
    } else visit(Column{a.base, 0, a.kind, a.size, a.swapped}, [&]<typename L>() {
        using Wide = typename detail::AccFor<L>::type;
        if constexpr (std::is_integral_v<Wide>) {
            if (narrow == 16) return run.template operator()<L, int16_t>();
            if (narrow == 32) return run.template operator()<L, int32_t>();
        }
        run.template operator()<L, Wide>();
    });

    s.finite = !fl.nonfinite;
    s.counts = s.finite && !fl.negative && !fl.fraction;
    double grand = 0, lo = INFINITY, hi = -INFINITY;
    int64_t quiet = 0;
    const double inv_steps = 1.0 / static_cast<double>(s.steps);
    for (double& v : totals) {
        grand += v;
        quiet += v == 0;
        v *= inv_steps;
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    s.mean = grand * inv_steps / static_cast<double>(n);
    s.silent_all = static_cast<double>(quiet) / static_cast<double>(n);
    if (s.counts) lo = 0;
    if (!std::isfinite(lo) || !std::isfinite(hi)) lo = hi = 0;
    s.hist_lo = lo;
    s.hist_hi = hi;
    s.histogram.assign(kHistogramBins, 0);
    const double width = hi - lo;
    for (double v : totals) {
        int64_t k = 0;
        if (width > 0) {
            const double f = (v - lo) / width * kHistogramBins;
            k = f >= kHistogramBins ? kHistogramBins - 1 : f > 0 ? static_cast<int64_t>(f) : 0;
        }
        ++s.histogram[static_cast<size_t>(k)];
    }
    return s;
}

}  // namespace zv::kern
