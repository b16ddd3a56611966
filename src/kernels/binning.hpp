// Event binning: time bins, ON/OFF frame counts and neuron rasters.
//
// Counts are whole numbers kept as uint32 in the caller's float32 output
// buffer while counting (with a side table for the rare cell that passes
// 2**32 events), then turned into float32 in place. So a cell never stalls at
// 2**24 as float32 additions would, and no per-event array is allocated.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "kernels/columns.hpp"

namespace zv::kern {

inline constexpr size_t kChunk = 2048;

// Counting cells that live in a float32 buffer of n_cells elements.
class CellCounter {
public:
    CellCounter(void* cells, size_t n_cells) : cells_(static_cast<std::byte*>(cells)), n_cells_(n_cells) {
        std::memset(cells_, 0, n_cells_ * 4);
    }
    void add(size_t i) {
        uint32_t c;
        std::memcpy(&c, cells_ + i * 4, 4);
        if (++c == 0) ++carry_[i];
        std::memcpy(cells_ + i * 4, &c, 4);
    }
    uint64_t count(size_t i) const {
        uint32_t c;
        std::memcpy(&c, cells_ + i * 4, 4);
        uint64_t total = c;
        if (!carry_.empty()) {
            auto it = carry_.find(i);
            if (it != carry_.end()) total += it->second << 32;
        }
        return total;
    }
    void store(size_t i, uint64_t total) {
        const float f = static_cast<float>(total);  // rounds to nearest
        std::memcpy(cells_ + i * 4, &f, 4);
    }
    // Every cell becomes its count as float32.
    void finish() {
        for (size_t i = 0; i < n_cells_; ++i) store(i, count(i));
    }
    // Cells form `planes` consecutive planes of `plane` cells; plane k becomes
    // the running total of planes 0..k (a prefix sum over frames).
    void finish_cumulative(size_t planes, size_t plane) {
        uint64_t running[kChunk];
        for (size_t j0 = 0; j0 < plane; j0 += kChunk) {
            const size_t n = std::min(kChunk, plane - j0);
            std::fill_n(running, n, 0);
            for (size_t k = 0; k < planes; ++k) {
                const size_t base = k * plane + j0;
                for (size_t j = 0; j < n; ++j) {
                    running[j] += count(base + j);
                    store(base + j, running[j]);
                }
            }
        }
    }

private:
    std::byte* cells_;
    size_t n_cells_;
    std::unordered_map<size_t, uint64_t> carry_;
};

// Smallest and largest finite timestamp; false when there is none.
inline bool finite_time_range(const Column& t, size_t n, double& lo, double& hi) {
    lo = INFINITY;
    hi = -INFINITY;
    double buf[kChunk];
    for (size_t b = 0; b < n; b += kChunk) {
        const size_t m = std::min(kChunk, n - b);
        decode_doubles(t, b, m, buf);
        for (size_t i = 0; i < m; ++i) {
            const double v = buf[i];
            if (!std::isfinite(v)) continue;
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        }
    }
    return lo <= hi;
}

// The bin of timestamp t: trunc((t - t_min) / t_range * (n - 0.001)),
// clipped to 0..n-1, in this order of double operations.
struct TimeBinning {
    double t_min, t_range, scale;
    int64_t n;
    TimeBinning(double lo, double hi, int64_t bins)
        : t_min(lo), t_range(std::max(hi - lo, 1e-9)), scale(static_cast<double>(bins) - 0.001), n(bins) {}
    int64_t operator()(double t) const {
        const double v = (t - t_min) / t_range * scale;
        int64_t k = static_cast<int64_t>(v);  // v is finite and in [0, scale]
        return k < 0 ? 0 : (k >= n ? n - 1 : k);
    }
};

struct EventColumns {
    size_t n = 0;
    Column t, x;
    std::optional<Column> y, p;
};

// Per-chunk decoded values; fixed size, reused for the whole pass.
struct Chunk {
    double t[kChunk];
    int64_t x[kChunk];
    int64_t y[kChunk];
    uint8_t on[kChunk];

    void load(const EventColumns& ev, size_t begin, size_t m, bool want_polarity) {
        decode_doubles(ev.t, begin, m, t);
        decode_coordinates(ev.x, begin, m, x);
        if (ev.y) decode_coordinates(*ev.y, begin, m, y);
        else std::fill_n(y, m, 0);
        if (!want_polarity) return;
        if (ev.p) decode_positive(*ev.p, begin, m, on);
        else std::fill_n(on, m, 1);
    }
};

// ON/OFF counts into cells of shape (n_frames, 2, height, width); events with
// a non-finite timestamp or outside the sensor are dropped.
inline void count_frames(const EventColumns& ev, int64_t n_frames, int64_t width, int64_t height,
                         CellCounter& cells) {
    double lo, hi;
    if (!finite_time_range(ev.t, ev.n, lo, hi)) return;
    const TimeBinning bin(lo, hi, n_frames);
    auto chunk = std::make_unique<Chunk>();
    for (size_t b = 0; b < ev.n; b += kChunk) {
        const size_t m = std::min(kChunk, ev.n - b);
        chunk->load(ev, b, m, true);
        for (size_t i = 0; i < m; ++i) {
            const int64_t x = chunk->x[i], y = chunk->y[i];
            if (x < 0 || x >= width || y < 0 || y >= height || !std::isfinite(chunk->t[i])) continue;
            const int64_t frame = bin(chunk->t[i]);
            const int64_t channel = chunk->on[i] ? 0 : 1;
            cells.add(static_cast<size_t>(((frame * 2 + channel) * height + y) * width + x));
        }
    }
}

// Neuron index y * width + x (or x alone), computed in 64 bits; nullopt when
// the event has no valid index.
inline std::optional<int64_t> neuron_index(int64_t x, int64_t y, bool has_y, int64_t width) {
    if (x == kNoCoordinate || y == kNoCoordinate) return std::nullopt;
    if (!has_y) return x;
    int64_t row;
    if (__builtin_mul_overflow(y, width, &row)) return std::nullopt;  // far outside any raster
    int64_t idx;
    if (__builtin_add_overflow(row, x, &idx)) return std::nullopt;
    return idx;
}

// Spike counts into cells of shape (time_bins, n_neurons).
inline void count_raster(const EventColumns& ev, int64_t time_bins, int64_t n_neurons, int64_t width,
                         CellCounter& cells) {
    double lo, hi;
    if (!finite_time_range(ev.t, ev.n, lo, hi)) return;
    const TimeBinning bin(lo, hi, time_bins);
    const bool has_y = ev.y.has_value();
    auto chunk = std::make_unique<Chunk>();
    for (size_t b = 0; b < ev.n; b += kChunk) {
        const size_t m = std::min(kChunk, ev.n - b);
        chunk->load(ev, b, m, false);
        for (size_t i = 0; i < m; ++i) {
            const auto neuron = neuron_index(chunk->x[i], chunk->y[i], has_y, width);
            if (!neuron || *neuron < 0 || *neuron >= n_neurons || !std::isfinite(chunk->t[i])) continue;
            cells.add(static_cast<size_t>(bin(chunk->t[i]) * n_neurons + *neuron));
        }
    }
}

// Largest value of a column, for sensor-size detection: exact for integer
// types, NaN-propagating for floats (as a whole-array maximum is).
struct ColumnMax {
    bool is_float;
    double f;
    int64_t i;
    uint64_t u;
    bool is_unsigned;
};

inline ColumnMax column_max(const Column& c, size_t n) {
    ColumnMax r{};
    if (c.kind == NumKind::Float) {
        r.is_float = true;
        r.f = -INFINITY;
        double buf[kChunk];
        for (size_t b = 0; b < n; b += kChunk) {
            const size_t m = std::min(kChunk, n - b);
            decode_doubles(c, b, m, buf);
            for (size_t k = 0; k < m; ++k) {
                if (std::isnan(buf[k])) { r.f = buf[k]; return r; }
                r.f = buf[k] > r.f ? buf[k] : r.f;
            }
        }
        return r;
    }
    if (c.kind == NumKind::UInt) {
        r.is_unsigned = true;
        visit(c, [&]<typename L>() {
            if constexpr (requires(const std::byte* p) { L::value(p); }) {
                const std::byte* p = c.base;
                for (size_t k = 0; k < n; ++k, p += c.stride) {
                    const uint64_t v = static_cast<uint64_t>(L::value(p));
                    r.u = v > r.u ? v : r.u;
                }
            }
        });
        return r;
    }
    r.i = INT64_MIN;
    visit(c, [&]<typename L>() {
        const std::byte* p = c.base;
        for (size_t k = 0; k < n; ++k, p += c.stride) {
            int64_t v;
            if constexpr (requires(const std::byte* q) { L::value(q); }) v = static_cast<int64_t>(L::value(p));
            else v = L::as_coordinate(p);  // bool
            r.i = v > r.i ? v : r.i;
        }
    });
    return r;
}

}  // namespace zv::kern
