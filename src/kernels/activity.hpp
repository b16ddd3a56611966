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
#include <thread>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kernels/columns.hpp"

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
// usual recording) take this path: the neurons are cut into one slice per
// thread, and each thread adds its slice of every step with plain loops over
// contiguous memory that the compiler turns into vector code. The per-bin
// population sum is the same sequential chain over the neurons as on one
// thread: thread k continues the sum that thread k-1 ends for that bin, so the
// result is bit for bit the one of the single-threaded pass.
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

struct Masks {
    uint32_t nonfinite = 0, negative = 0, fraction = 0;
};

template <typename C>
inline void add(const uint8_t* row, C* c, int64_t n, Masks&) {
    for (int64_t j = 0; j < n; ++j) c[j] = static_cast<C>(c[j] + row[j]);
}
// A bool byte other than 0 and 1 still counts once.
template <typename C>
inline void add_bool(const uint8_t* row, C* c, int64_t n, Masks&) {
    for (int64_t j = 0; j < n; ++j) c[j] = static_cast<C>(c[j] + (row[j] != 0));
}
inline void add(const float* row, double* c, int64_t n, Masks& m) {
    int64_t j = 0;
#if defined(__SSE2__)
    // Four values at a time: two double cells each half; the three tests as lane masks.
    const __m128 zero = _mm_setzero_ps(), whole = _mm_set1_ps(8388608.0f);
    const __m128 no_sign = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    __m128 bad = zero, neg = zero, frac = zero;
    for (; j + 4 <= n; j += 4) {
        const __m128 v = _mm_loadu_ps(row + j);
        _mm_storeu_pd(c + j, _mm_add_pd(_mm_loadu_pd(c + j), _mm_cvtps_pd(v)));
        _mm_storeu_pd(c + j + 2, _mm_add_pd(_mm_loadu_pd(c + j + 2), _mm_cvtps_pd(_mm_movehl_ps(v, v))));
        bad = _mm_or_ps(bad, _mm_cmpneq_ps(_mm_sub_ps(v, v), zero));
        neg = _mm_or_ps(neg, _mm_cmplt_ps(v, zero));
        const __m128 small = _mm_and_ps(v, _mm_cmplt_ps(_mm_and_ps(v, no_sign), whole));
        frac = _mm_or_ps(frac, _mm_cmpneq_ps(_mm_cvtepi32_ps(_mm_cvttps_epi32(small)), small));
    }
    m.nonfinite |= static_cast<uint32_t>(_mm_movemask_ps(bad));
    m.negative |= static_cast<uint32_t>(_mm_movemask_ps(neg));
    m.fraction |= static_cast<uint32_t>(_mm_movemask_ps(frac));
#endif
    uint32_t bad1 = 0, neg1 = 0, frac1 = 0;
    for (; j < n; ++j) {
        const float v = row[j];
        c[j] += static_cast<double>(v);
        bad1 |= !(v - v == 0.0f);
        neg1 |= v < 0.0f;
        // Floats of magnitude 2**23 and more are whole; below, a round trip
        // through int32 tells (NaN and infinities are caught above).
        const float small = std::fabs(v) < 8388608.0f ? v : 0.0f;
        frac1 |= static_cast<float>(static_cast<int32_t>(small)) != small;
    }
    m.nonfinite |= bad1;
    m.negative |= neg1;
    m.fraction |= frac1;
}

// Summarises contiguous rows of T (uint8, bool as uint8, float32) into s,
// whose sizes are set; cells of type A. Returns the flags of all values.
template <typename T, typename A, bool Bool>
Flags summarise_rows(const Strided& a, ActivitySummary& s, std::vector<double>& totals, int threads) {
    const int64_t n = s.neurons, steps = s.steps, bins = s.bins;
    // Slices of whole cache lines, and not more threads than slices of 32K neurons.
    const int64_t most = std::max<int64_t>(1, n / 32768);
    const int t_count = static_cast<int>(std::clamp<int64_t>(threads, 1, most));
    const int64_t per = ((n + t_count - 1) / t_count + 63) / 64 * 64;
    struct Part {
        double inv = 0;        // 1 / the bin's steps
        double chain = 0;      // float cells: the population sum up to the end of this slice
        int64_t sum = 0;       // integer cells: the population sum of this slice
        double peak = -INFINITY;
        int64_t quiet = 0;
    };
    std::vector<Part> parts(static_cast<size_t>(t_count) * static_cast<size_t>(bins));
    std::vector<std::atomic<int>> ready(static_cast<size_t>(t_count) * static_cast<size_t>(bins));
    for (auto& r : ready) r.store(0, std::memory_order_relaxed);
    std::vector<Masks> masks(static_cast<size_t>(t_count));

    auto work = [&](int k) {
        const int64_t j0 = std::min(n, k * per), j1 = std::min(n, j0 + per), len = j1 - j0;
        std::vector<A> cells(static_cast<size_t>(std::max<int64_t>(len, 1)), A{0});
        Masks& m_ = masks[static_cast<size_t>(k)];
        auto close = [&](int64_t b, int64_t count) {
            const size_t at = static_cast<size_t>(k) * static_cast<size_t>(bins) + static_cast<size_t>(b);
            Part& part = parts[at];
            const double inv = 1.0 / static_cast<double>(count);
            double* tot = totals.data() + j0;
            int64_t quiet = 0;
            if constexpr (std::is_integral_v<A>) {
                // Integer cells: the sum is exact in any order, so no thread waits.
                int64_t sum = 0;
                A top = std::numeric_limits<A>::lowest();
                for (int64_t j = 0; j < len; ++j) {
                    const A v = cells[j];
                    sum += v;
                    top = v > top ? v : top;
                    quiet += v == 0;
                    tot[j] += static_cast<double>(v);
                }
                part.sum = sum;
                part.peak = len ? static_cast<double>(top) : -INFINITY;
            } else {
                double peak = -INFINITY;
                for (int64_t j = 0; j < len; ++j) {
                    const double v = cells[j];
                    tot[j] += v;
                    peak = v > peak ? v : peak;
                    quiet += v == 0;
                }
                // The population sum continues the chain of the slices before this one.
                double sum = 0;
                if (k > 0) {
                    const std::atomic<int>& before = ready[at - static_cast<size_t>(bins)];
                    while (!before.load(std::memory_order_acquire)) std::this_thread::yield();
                    sum = parts[at - static_cast<size_t>(bins)].chain;
                }
                for (int64_t j = 0; j < len; ++j) sum += cells[j];
                part.chain = sum;
                part.peak = peak;
            }
            float* r = s.raster.data() + b * s.raster_neurons;
            for (int64_t j = 0; j < std::min(len, s.raster_neurons - j0); ++j)
                r[j0 + j] = static_cast<float>(static_cast<double>(cells[j]) * inv);
            std::fill(cells.begin(), cells.begin() + len, A{0});
            part.inv = inv;
            part.quiet = quiet;
            ready[at].store(1, std::memory_order_release);
        };
        // A bin's steps are added a block of neurons at a time, so that the
        // block's cells stay in the first-level cache while its rows stream by;
        // each cell still takes its steps in order.
        constexpr int64_t kBlock = 1024 / sizeof(A) * 2, kRows = 32;
        const T* rows[kRows];
        for (int64_t b = 0, first = 0; b < bins; ++b) {
            int64_t end = first;
            while (end < steps && bin_of_step(end, steps, bins) == b) ++end;
            for (int64_t g = first; g < end; g += kRows) {
                const int64_t m = std::min(kRows, end - g);
                for (int64_t i = 0; i < m; ++i) rows[i] = reinterpret_cast<const T*>(a.base + (g + i) * a.strides[0]) + j0;
                for (int64_t jb = 0; jb < len; jb += kBlock) {
                    const int64_t w = std::min(kBlock, len - jb);
                    for (int64_t i = 0; i < m; ++i) {
                        if constexpr (Bool) add_bool(rows[i] + jb, cells.data() + jb, w, m_);
                        else add(rows[i] + jb, cells.data() + jb, w, m_);
                    }
                }
            }
            close(b, end - first);
            first = end;
        }
    };
    std::vector<std::thread> pool;
    try {
        for (int k = 1; k < t_count; ++k) pool.emplace_back(work, k);
    } catch (...) {  // no thread to be had: this one does the remaining slices in order
    }
    const int started = static_cast<int>(pool.size()) + 1;
    work(0);
    for (int k = started; k < t_count; ++k) work(k);
    for (auto& th : pool) th.join();

    const int last = t_count - 1;
    for (int64_t b = 0; b < bins; ++b) {
        double peak = -INFINITY;
        int64_t quiet = 0, sum = 0;
        for (int k = 0; k < t_count; ++k) {
            const Part& part = parts[static_cast<size_t>(k) * static_cast<size_t>(bins) + static_cast<size_t>(b)];
            peak = part.peak > peak ? part.peak : peak;
            quiet += part.quiet;
            sum += part.sum;
        }
        const Part& end = parts[static_cast<size_t>(last) * static_cast<size_t>(bins) + static_cast<size_t>(b)];
        const double inv = end.inv;
        const double total = std::is_integral_v<A> ? static_cast<double>(sum) : end.chain;
        s.population[b] = total * inv / static_cast<double>(n);
        s.peak[b] = peak * inv;
        s.silent[b] = static_cast<double>(quiet) / static_cast<double>(n);
    }
    Flags fl;
    for (const Masks& m : masks) {
        fl.nonfinite |= m.nonfinite != 0;
        fl.negative |= m.negative != 0;
        fl.fraction |= m.fraction != 0;
    }
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
        auto bytes = [&]<typename C>() {
            return a.kind == NumKind::Bool ? detail::fast::summarise_rows<uint8_t, C, true>(a, s, totals, threads)
                                           : detail::fast::summarise_rows<uint8_t, C, false>(a, s, totals, threads);
        };
        fl = narrow == 16 ? bytes.template operator()<int16_t>()
           : narrow == 32 ? bytes.template operator()<int32_t>() : bytes.template operator()<int64_t>();
    } else if (rows && a.kind == NumKind::Float && a.size == 4) {
        fl = detail::fast::summarise_rows<float, double, false>(a, s, totals, threads);
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
