// Noise filters over events in file order: hot pixels, then background
// activity (denoise), then the refractory period.
//
// Contract:
// - The definitions are the field's reference ones (Tonic's Denoise and
//   RefractoryPeriod), including their arithmetic: per-pixel memories are
//   doubles, as there, so results agree on any input, large times included.
// - Denoise: each event first sets its own pixel's memory to t + filter_time;
//   it is kept when one of its four neighbours (left, right, up, down; those
//   inside the denoise bounds) holds a memory strictly greater than t. Every
//   memory starts at filter_time, so early events (t < filter_time) pass where
//   a neighbour exists. The bounds are the largest x and y (plus one) among
//   the events that reach this filter, as in the reference.
// - Refractory: an event is kept when t - memory > period; its pixel's memory
//   becomes t whether it is kept or not. Memories start at -period, so a first
//   event passes only when t > 0.
// - Hot pixels: a mask over the sensor, made by the caller (hot_pixels.hpp).
// - Events outside the sensor have no pixel and are removed.
// - Each stage sees only what the stages before it kept; state carries from
//   one call to the next, so a recording fed in pieces filters as a whole.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace zv::kern {

// A filter time: its value as the reference holds it, and whether it is whole
// (then t + time is summed in integers before it becomes a double).
struct FilterTime {
    double value = 0;
    int64_t whole = 0;
    bool is_whole = false;
    bool on() const { return value > 0; }
};

struct FilterSettings {
    int64_t width = 0, height = 0;        // the sensor
    int64_t denoise_width = 0, denoise_height = 0;  // the denoise bounds (see above)
    FilterTime denoise, refractory;
    std::vector<uint8_t> hot;             // 1 per hot pixel, y * width + x; empty: none
};

// How many events each stage removed.
struct FilterCounts {
    int64_t outside = 0, hot = 0, denoise = 0, refractory = 0;
    int64_t kept = 0;
};

class EventFilter {
public:
    explicit EventFilter(FilterSettings s) : s_(std::move(s)) {
        if (s_.denoise.on()) {
            dw_ = s_.denoise_width;
            dh_ = s_.denoise_height;
            denoise_.assign(static_cast<size_t>(dw_ * dh_), s_.denoise.value);
        }
        if (s_.refractory.on())
            refractory_.assign(static_cast<size_t>(s_.width * s_.height), -s_.refractory.value);
    }

    bool active() const { return !s_.hot.empty() || s_.denoise.on() || s_.refractory.on(); }

    // A hint: fetches the memories an event at (x, y) will read and write. Events land all
    // over a large sensor; with this called some events ahead, their misses overlap.
    void prefetch(int64_t x, int64_t y) const {
        if (static_cast<uint64_t>(x) >= static_cast<uint64_t>(s_.width) ||
            static_cast<uint64_t>(y) >= static_cast<uint64_t>(s_.height))
            return;
        const size_t pixel = static_cast<size_t>(y * s_.width + x);
        if (!s_.hot.empty()) __builtin_prefetch(&s_.hot[pixel]);
        if (!denoise_.empty() && x < dw_ && y < dh_) {
            const size_t at = static_cast<size_t>(y * dw_ + x);
            __builtin_prefetch(&denoise_[at], 1);
            if (y > 0) __builtin_prefetch(&denoise_[at - static_cast<size_t>(dw_)]);
            if (y + 1 < dh_) __builtin_prefetch(&denoise_[at + static_cast<size_t>(dw_)]);
        }
        if (!refractory_.empty()) __builtin_prefetch(&refractory_[pixel], 1);
    }
    const FilterCounts& counts() const { return counts_; }

    // Whether the event survives every stage; `t` is the stored time (an
    // integer type or a floating one), used as the reference uses it.
    template <typename T>
    bool keep(int64_t x, int64_t y, T t) {
        if (static_cast<uint64_t>(x) >= static_cast<uint64_t>(s_.width) ||
            static_cast<uint64_t>(y) >= static_cast<uint64_t>(s_.height)) {
            ++counts_.outside;
            return false;
        }
        const int64_t pixel = y * s_.width + x;
        if (!s_.hot.empty() && s_.hot[static_cast<size_t>(pixel)]) {
            ++counts_.hot;
            return false;
        }
        const double td = static_cast<double>(t);
        if (s_.denoise.on() && !denoise(x, y, t, td)) {
            ++counts_.denoise;
            return false;
        }
        if (s_.refractory.on()) {
            double& last = refractory_[static_cast<size_t>(pixel)];
            const bool rested = td - last > s_.refractory.value;
            last = td;
            if (!rested) {
                ++counts_.refractory;
                return false;
            }
        }
        ++counts_.kept;
        return true;
    }

private:
    template <typename T>
    bool denoise(int64_t x, int64_t y, T t, double td) {
        // Outside the bounds only when the caller's bounds are narrower than the
        // sensor and the bounds do not matter (no early events): such a pixel
        // has no memory of its own, and its neighbours inside still count.
        const bool inside = x < dw_ && y < dh_;
        if (inside) denoise_[static_cast<size_t>(y * dw_ + x)] = sum(t);
        const auto fresh = [&](int64_t nx, int64_t ny) {
            return denoise_[static_cast<size_t>(ny * dw_ + nx)] > td;
        };
        // Every neighbour is read, not just until one is fresh: the reads then overlap, where a
        // branch on each comparison would wait for one miss before it starts the next.
        bool any = false;
        if (x > 0 && x - 1 < dw_ && y < dh_) any |= fresh(x - 1, y);
        if (x < dw_ - 1 && y < dh_) any |= fresh(x + 1, y);
        if (y > 0 && x < dw_ && y - 1 < dh_) any |= fresh(x, y - 1);
        if (y < dh_ - 1 && x < dw_) any |= fresh(x, y + 1);
        return any;
    }

    template <typename T>
    double sum(T t) const {
        if constexpr (std::is_integral_v<T>) {
            if (s_.denoise.is_whole) {
                int64_t out;
                if (!__builtin_add_overflow(static_cast<int64_t>(t), s_.denoise.whole, &out))
                    return static_cast<double>(out);
            }
        }
        return static_cast<double>(t) + s_.denoise.value;
    }

    FilterSettings s_;
    int64_t dw_ = 0, dh_ = 0;
    std::vector<double> denoise_;     // indexed y * width + x: left and right neighbours share a cache line
    std::vector<double> refractory_;  // indexed y * width + x
    FilterCounts counts_;
};

}  // namespace zv::kern
