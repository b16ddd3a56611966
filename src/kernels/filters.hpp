// Noise filters over events in file order: hot pixels, then background
// activity (denoise), then the refractory period.
//
// Contract:
// - The definitions are the field's reference ones (Tonic's Denoise and
//   RefractoryPeriod), including their arithmetic: per-pixel memories behave
//   as the reference's doubles, so results agree on any input, large times
//   included. They are held in 32 bits where that is exact (see Mode below).
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

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "kernels/memory.hpp"

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
        dw_ = s_.denoise.on() ? s_.denoise_width : 0;
        dh_ = s_.denoise.on() ? s_.denoise_height : 0;
    }

    bool active() const { return !s_.hot.empty() || s_.denoise.on() || s_.refractory.on(); }

    // A hint: fetches the memories an event at (x, y) will read and write. Events land all
    // over a large sensor; with this called some events ahead, their misses overlap.
    void prefetch(int64_t x, int64_t y) const {
        if (static_cast<uint64_t>(x) >= static_cast<uint64_t>(s_.width) ||
            static_cast<uint64_t>(y) >= static_cast<uint64_t>(s_.height))
            return;
        const size_t pixel = static_cast<size_t>(y * s_.width + x), w = static_cast<size_t>(s_.width);
        if (mode_ == Mode::compact) {
            __builtin_prefetch(&cells_[pixel], 1);
            if (dw_ && x < dw_) {
                if (y > 0) __builtin_prefetch(&cells_[pixel - w]);
                if (y + 1 < dh_) __builtin_prefetch(&cells_[pixel + w]);
            }
            return;
        }
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
        if (mode_ == Mode::fresh) start<T>(static_cast<double>(t), t);
        if constexpr (std::is_integral_v<T>) {
            if (mode_ == Mode::compact) {
                // t - base, wrapping for times far off: those fall outside the window.
                const uint64_t rel = static_cast<uint64_t>(static_cast<int64_t>(t)) - static_cast<uint64_t>(base_);
                if (rel - 1 < window_) return keep_compact(x, y, static_cast<size_t>(pixel), static_cast<uint32_t>(rel));
                to_doubles();
            }
        }
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
    // The memories live in one of two forms. Compact: per pixel, two 32-bit times relative to a
    // base near the first event, in one cell (half the bytes, one cache line for a pixel's own
    // memories): exact while every time lies within the window after the base, integer times
    // and whole filter times under kMaxStep, where the reference's doubles hold integers
    // exactly. Otherwise, or from the first event outside the window on, doubles as the
    // reference holds them (the compact memories carried over exactly).
    enum class Mode { fresh, compact, doubles };
    struct Cell {
        uint32_t recent;  // denoise: t + filter_time of the pixel's latest event, relative to the base
        uint32_t rest;    // refractory: t + period of the pixel's latest event (kept when t is later)
    };
    static constexpr uint32_t kHot = 0xFFFFFFFFu;       // `rest` of a hot pixel (its events never reach it)
    static constexpr uint32_t kCeiling = 0xFFFFFFFEu;   // memories past the window, clamped
    static constexpr int64_t kMaxStep = int64_t{1} << 26, kSlack = int64_t{1} << 28, kNear = int64_t{1} << 51;

    // A filter time as a whole number of µs the compact form takes, or -1.
    static int64_t whole_step(const FilterTime& f) {
        if (!f.on()) return 0;
        if (f.is_whole) return f.whole <= kMaxStep ? f.whole : -1;
        return f.value <= static_cast<double>(kMaxStep) && f.value == static_cast<double>(static_cast<int64_t>(f.value))
                   ? static_cast<int64_t>(f.value) : -1;
    }

    // A memory's value relative to the base, clamped: below the base or past the window it
    // compares with any time in the window as its true value does.
    uint32_t relative(int64_t value) const {
        const __int128 d = static_cast<__int128>(value) - base_;
        return d <= 0 ? 0u : d >= kCeiling ? kCeiling : static_cast<uint32_t>(d);
    }

    // The memories' form, chosen at the first event on the sensor (time t, as stored).
    template <typename T>
    void start(double td, T t) {
        const int64_t den = whole_step(s_.denoise), ref = whole_step(s_.refractory);
        bool compact = std::is_integral_v<T> && den >= 0 && ref >= 0 && std::abs(td) < static_cast<double>(kNear);
        if (compact) {
            // The base lies kSlack before the first time: times may step back that far.
            base_ = static_cast<int64_t>(t) - 1 - kSlack;
            den_step_ = static_cast<uint32_t>(den);
            ref_step_ = static_cast<uint32_t>(ref);
            window_ = static_cast<uint64_t>(kCeiling) - static_cast<uint64_t>(std::max(den, ref)) - 1;
            den_init_ = relative(s_.denoise.on() ? den : 0);
            ref_init_ = relative(0);  // memory -period, plus the period
            cells_.assign(static_cast<size_t>(s_.width * s_.height), Cell{den_init_, ref_init_});
            for (size_t i = 0; i < s_.hot.size(); ++i)
                if (s_.hot[i]) cells_[i].rest = kHot;
            mode_ = Mode::compact;
            return;
        }
        if (s_.denoise.on()) denoise_.assign(static_cast<size_t>(dw_ * dh_), s_.denoise.value);
        if (s_.refractory.on()) refractory_.assign(static_cast<size_t>(s_.width * s_.height), -s_.refractory.value);
        mode_ = Mode::doubles;
    }

    // The compact memories as the reference's doubles: the same values exactly (a clamped
    // memory is one no event wrote, the initial one).
    void to_doubles() {
        const size_t w = static_cast<size_t>(s_.width);
        if (s_.denoise.on()) {
            denoise_.assign(static_cast<size_t>(dw_ * dh_), s_.denoise.value);
            for (size_t y = 0; y < static_cast<size_t>(dh_); ++y)
                for (size_t x = 0; x < static_cast<size_t>(dw_); ++x) {
                    const uint32_t r = cells_[y * w + x].recent;
                    if (r != 0 && r != kCeiling) denoise_[y * static_cast<size_t>(dw_) + x] = static_cast<double>(base_ + r);
                }
        }
        if (s_.refractory.on()) {
            refractory_.assign(cells_.size(), -s_.refractory.value);
            for (size_t i = 0; i < cells_.size(); ++i) {
                const uint32_t r = cells_[i].rest;
                if (r != 0 && r != kCeiling && r != kHot)
                    refractory_[i] = static_cast<double>(base_ + r - static_cast<int64_t>(ref_step_));
            }
        }
        HugePageVector<Cell>().swap(cells_);  // its memory back now
        mode_ = Mode::doubles;
    }

    // keep() in the compact form; `rel` is t - base, within the window.
    bool keep_compact(int64_t x, int64_t y, size_t pixel, uint32_t rel) {
        Cell& cell = cells_[pixel];
        if (cell.rest == kHot) {
            ++counts_.hot;
            return false;
        }
        if (s_.denoise.on()) {
            if (x < dw_ && y < dh_) cell.recent = rel + den_step_;
            const size_t w = static_cast<size_t>(s_.width);
            // Every neighbour is read (no early exit): the reads overlap rather than wait in turn.
            bool any = false;
            if (x > 0 && x - 1 < dw_ && y < dh_) any |= cells_[pixel - 1].recent > rel;
            if (x + 1 < dw_ && y < dh_) any |= cells_[pixel + 1].recent > rel;
            if (y > 0 && x < dw_ && y - 1 < dh_) any |= cells_[pixel - w].recent > rel;
            if (y + 1 < dh_ && x < dw_) any |= cells_[pixel + w].recent > rel;
            if (!any) {
                ++counts_.denoise;
                return false;
            }
        }
        if (s_.refractory.on()) {
            const bool rested = rel > cell.rest;
            cell.rest = rel + ref_step_;
            if (!rested) {
                ++counts_.refractory;
                return false;
            }
        }
        ++counts_.kept;
        return true;
    }

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
    int64_t dw_ = 0, dh_ = 0;          // the denoise bounds; 0 when denoise is off
    Mode mode_ = Mode::fresh;
    // Compact form.
    HugePageVector<Cell> cells_;       // indexed y * width + x
    int64_t base_ = 0;
    uint64_t window_ = 0;              // t - base lies in [1, window_]
    uint32_t den_step_ = 0, ref_step_ = 0, den_init_ = 0, ref_init_ = 0;
    // Doubles form.
    std::vector<double> denoise_;     // indexed y * denoise width + x: left and right neighbours share a cache line
    std::vector<double> refractory_;  // indexed y * width + x
    FilterCounts counts_;
};

}  // namespace zv::kern
