// Summaries of a recorded activity array (time x neurons) for the graph page.
//
// One strided pass over the array in place: each element is added to its
// neuron's cell of the current time bin; when a bin closes, the cells feed the
// per-neuron totals, the bin's population mean, its busiest neuron, its count
// of silent neurons and the downsampled raster. Nothing per element is kept.
// Arrays whose neurons lie contiguous in each step take the pass of
// activity_rows.hpp instead, with the same results.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "kernels/activity_rows.hpp"
#include "kernels/activity_types.hpp"
#include "kernels/columns.hpp"

namespace zv::kern {

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
