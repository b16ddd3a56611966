// The shapes of an activity summary: the recorded array (time x neurons, read
// in place through its strides), the summary record the graph page shows, and
// the rule that maps time steps onto its bins. Shared by the generic pass in
// activity.hpp and the contiguous-rows pass in activity_rows.hpp.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

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

// What the values of a pass were: any negative, any not a whole number, any not finite.
struct Flags {
    bool negative = false, fraction = false, nonfinite = false;
};

}  // namespace detail

}  // namespace zv::kern
