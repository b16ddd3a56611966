// A recording's health, gathered in one pass over its events in file order.
//
// Contract:
// - Gaps: every stretch of at least kGapUs with no event, between the first and
//   the last event, as (latest time before, next time). Times are compared with
//   the latest time so far, so a jump back does not open a gap of its own.
// - Backwards: events whose time is below the previous event's time (file
//   order); the first one's 0-based index.
// - Bursts: 10 ms bins counted from the first event in file order (earlier
//   events fall in bins before it); a bin is a burst when its count is at least
//   kBurstFactor times the median count of the non-empty bins.
// - Per-row, per-column and per-pixel counts over the sensor, which grows to
//   the largest coordinates seen when the caller gives none (at most 2048 a side
//   once it would pass 2048² pixels). Events outside the sensor (or at negative
//   coordinates) count in `outside` only.
// Memory: the sensor's counts, plus one count per non-empty 10 ms bin.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "kernels/memory.hpp"

namespace zv::kern {

inline constexpr int64_t kGapUs = 100'000;
inline constexpr int64_t kBurstBinUs = 10'000;
inline constexpr uint64_t kBurstFactor = 20;
inline constexpr uint64_t kDeadRowMean = 100;
// A sensor grown from the events stops at this many pixels a side once it passes this squared.
inline constexpr int64_t kMaxInferred = 2048;  // events per row (or column) before dead lines are reported

class HealthCheck {
public:
    // width and height of 0: grow with the events.
    HealthCheck(int64_t width, int64_t height) : fixed_(width > 0 && height > 0), w_(width), h_(height) {
        if (fixed_) {
            pixels_.assign(static_cast<size_t>(w_ * h_), 0);
            rows_.assign(static_cast<size_t>(h_), 0);
            cols_.assign(static_cast<size_t>(w_), 0);
        }
    }

    void add(int64_t x, int64_t y, int64_t t) {
        if (x < 0 || y < 0 || (fixed_ && (x >= w_ || y >= h_))) {
            ++outside_;
            return;
        }
        if (!fixed_ && (x >= w_ || y >= h_)) {
            // Coordinates past any real sensor's (flipped bits) never size the counts.
            const int64_t nw = std::max(w_, x + 1), nh = std::max(h_, y + 1);
            if (nw * nh > kMaxInferred * kMaxInferred && (x >= kMaxInferred || y >= kMaxInferred)) {
                ++outside_;
                return;
            }
            grow(nw, nh);
        }
        ++pixels_[static_cast<size_t>(y * w_ + x)];
        max_x_ = std::max(max_x_, x);
        max_y_ = std::max(max_y_, y);
        ++rows_[static_cast<size_t>(y)];
        ++cols_[static_cast<size_t>(x)];
        if (n_ == 0) {
            first_ = latest_ = prev_ = t;
        } else {
            if (t < prev_) {
                if (backwards_++ == 0) {
                    first_back_ = n_;
                    first_back_t_ = t;
                }
            }
            if (t > latest_) {
                if (t - latest_ >= kGapUs) gaps_.emplace_back(latest_, t);
                latest_ = t;
            }
            prev_ = t;
        }
        add_to_bin(t);
        ++n_;
    }

    // A hint: fetches the count an event at (x, y) will touch (events land all over a
    // large sensor, so many misses are better in flight at once than one at a time).
    void prefetch(int64_t x, int64_t y) const {
        if (static_cast<uint64_t>(x) < static_cast<uint64_t>(w_) && static_cast<uint64_t>(y) < static_cast<uint64_t>(h_))
            __builtin_prefetch(&pixels_[static_cast<size_t>(y * w_ + x)], 1);
    }

    int64_t events() const { return n_; }
    int64_t outside() const { return outside_; }
    int64_t backwards() const { return backwards_; }
    int64_t first_backwards() const { return first_back_; }
    int64_t first_backwards_time() const { return first_back_t_; }
    int64_t first_time() const { return first_; }
    int64_t latest_time() const { return latest_; }
    // The sensor: the given one, else the largest coordinates seen plus one.
    int64_t width() const { return fixed_ ? w_ : max_x_ + 1; }
    int64_t height() const { return fixed_ ? h_ : max_y_ + 1; }
    const std::vector<std::pair<int64_t, int64_t>>& gaps() const { return gaps_; }

    // The per-pixel counts over width() x height(), row-major.
    std::vector<uint64_t> pixel_counts() const {
        const int64_t w = width(), h = height();
        std::vector<uint64_t> out(static_cast<size_t>(std::max<int64_t>(w, 0) * std::max<int64_t>(h, 0)));
        for (int64_t y = 0; y < h; ++y) std::copy_n(pixels_.begin() + y * w_, w, out.begin() + y * w);
        return out;
    }

    // (bin start time, count) of every burst, in time order.
    std::vector<std::pair<int64_t, uint64_t>> bursts() const {
        std::vector<uint64_t> filled;
        for (uint64_t c : bins_) if (c) filled.push_back(c);
        for (const auto& [_, c] : far_) filled.push_back(c);
        std::vector<std::pair<int64_t, uint64_t>> out;
        if (filled.empty()) return out;
        // The median, doubled to stay in integers: (a + b) for an even count, 2m for an odd one.
        const size_t k = filled.size() / 2;
        std::nth_element(filled.begin(), filled.begin() + k, filled.end());
        unsigned __int128 twice = static_cast<unsigned __int128>(filled[k]) * 2;
        if (filled.size() % 2 == 0) {
            const uint64_t below = *std::max_element(filled.begin(), filled.begin() + k);
            twice = static_cast<unsigned __int128>(below) + filled[k];
        }
        const auto burst = [&](uint64_t c) { return static_cast<unsigned __int128>(c) * 2 >= twice * kBurstFactor; };
        for (const auto& [bin, c] : far_)
            if (bin < 0 && burst(c)) out.emplace_back(start_of(bin), c);
        for (size_t i = 0; i < bins_.size(); ++i)
            if (bins_[i] && burst(bins_[i])) out.emplace_back(start_of(static_cast<int64_t>(i)), bins_[i]);
        for (const auto& [bin, c] : far_)
            if (bin >= 0 && burst(c)) out.emplace_back(start_of(bin), c);
        return out;
    }

    // Rows (or columns) without an event, when there are at least kDeadRowMean events per line.
    std::vector<int64_t> dead_rows() const { return dead(rows_, height()); }
    std::vector<int64_t> dead_columns() const { return dead(cols_, width()); }

private:
    // Bins within this many of the first event's are counted densely; others sparsely.
    static constexpr int64_t kDenseBins = int64_t{1} << 22;  // about 11.6 hours

    int64_t start_of(int64_t bin) const { return first_ + bin * kBurstBinUs; }

    void add_to_bin(int64_t t) {
        // Times mostly rise: the running dense bin takes most events with no division.
        if (t >= bin_lo_ && t < bin_hi_) {
            ++bins_[bin_at_];
            return;
        }
        // Floor division of a difference that cannot overflow in 128 bits.
        const __int128 d = static_cast<__int128>(t) - first_;
        __int128 bin = d / kBurstBinUs;
        if (d % kBurstBinUs < 0) --bin;
        if (bin >= 0 && bin < kDenseBins) {
            const size_t i = static_cast<size_t>(bin);
            if (i >= bins_.size()) bins_.resize(std::max(i + 1, bins_.size() * 2), 0);
            ++bins_[i];
            const __int128 lo = static_cast<__int128>(first_) + bin * kBurstBinUs;
            bin_lo_ = static_cast<int64_t>(lo);  // at most t: within int64
            bin_hi_ = lo + kBurstBinUs > INT64_MAX ? INT64_MAX : static_cast<int64_t>(lo + kBurstBinUs);
            bin_at_ = i;
        } else {
            ++far_[static_cast<int64_t>(bin)];
        }
    }

    std::vector<int64_t> dead(const std::vector<uint64_t>& lines, int64_t used) const {
        std::vector<int64_t> out;
        const size_t count = static_cast<size_t>(std::max<int64_t>(used, 0));
        if (count == 0 || static_cast<uint64_t>(n_) < kDeadRowMean * count) return out;
        for (size_t i = 0; i < count; ++i)
            if (!lines[i]) out.push_back(static_cast<int64_t>(i));
        return out;
    }

    void grow(int64_t w, int64_t h) {
        // Doubling keeps regrowth rare as coordinates creep up.
        const int64_t nw = w > w_ ? std::max(w, std::min(2 * w_, kMaxInferred)) : w_;
        const int64_t nh = h > h_ ? std::max(h, std::min(2 * h_, kMaxInferred)) : h_;
        HugePageVector<uint64_t> px(static_cast<size_t>(nw * nh), 0);
        for (int64_t y = 0; y < h_; ++y)
            std::copy_n(pixels_.begin() + y * w_, w_, px.begin() + y * nw);
        pixels_.swap(px);
        rows_.resize(static_cast<size_t>(nh), 0);
        cols_.resize(static_cast<size_t>(nw), 0);
        w_ = nw;
        h_ = nh;
    }

    bool fixed_;
    int64_t w_, h_;
    HugePageVector<uint64_t> pixels_;
    std::vector<uint64_t> rows_, cols_;
    std::vector<uint64_t> bins_;
    std::map<int64_t, uint64_t> far_;
    std::vector<std::pair<int64_t, int64_t>> gaps_;
    int64_t n_ = 0, outside_ = 0, backwards_ = 0, first_back_ = -1;
    int64_t first_ = 0, latest_ = 0, prev_ = 0;
    int64_t max_x_ = -1, max_y_ = -1;
    int64_t first_back_t_ = 0;
    int64_t bin_lo_ = 0, bin_hi_ = 0;  // the running dense bin's span, empty until the first event
    size_t bin_at_ = 0;
};

}  // namespace zv::kern
