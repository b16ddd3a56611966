// The noise filters (filters.hpp) as a stage over the documented event records
// (x, y int16, t int64, p int8; 13 bytes, packed) in file order.
//
// Contract: apply() moves the records that survive to the front of a piece, in
// order, and returns how many there are; the filters' state carries from piece
// to piece, so a recording fed in pieces of any size filters as a whole. Each
// removed event counts in its timeline bin ([start + k * bin_us, + bin_us), k <
// bins; times outside the bins count in none). No Python here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "kernels/filters.hpp"

namespace zv::kern {

class FilterStage {
public:
    static constexpr size_t kRecord = 13;

    FilterStage(FilterSettings s, int64_t bin_start, int64_t bin_us, int64_t bins)
        : filter_(std::move(s)), bin_start_(bin_start), bin_us_(std::max<int64_t>(1, bin_us)),
          removed_(static_cast<size_t>(std::max<int64_t>(0, bins))) {}

    size_t apply(uint8_t* base, size_t n) {
        constexpr size_t kAhead = 16;
        size_t kept = 0;
        for (size_t i = 0; i < n; ++i) {
            const uint8_t* r = base + i * kRecord;
            int16_t x, y;
            int64_t t;
            if (i + kAhead < n) {  // a later event's memories on their way while this one is filtered
                std::memcpy(&x, r + kAhead * kRecord, 2);
                std::memcpy(&y, r + kAhead * kRecord + 2, 2);
                filter_.prefetch(x, y);
            }
            std::memcpy(&x, r, 2);
            std::memcpy(&y, r + 2, 2);
            std::memcpy(&t, r + 4, 8);
            if (filter_.keep(x, y, t)) {
                if (kept != i) std::memcpy(base + kept * kRecord, r, kRecord);
                ++kept;
            } else if (!removed_.empty()) {
                count_removed(t);
            }
        }
        return kept;
    }

    const FilterCounts& counts() const { return filter_.counts(); }
    const std::vector<uint32_t>& removed() const { return removed_; }

private:
    // A removed event's timeline bin; times mostly rise, so the running bin saves the division.
    void count_removed(int64_t t) {
        if (t >= lo_ && t < hi_) {
            ++removed_[at_];
            return;
        }
        const __int128 d = static_cast<__int128>(t) - bin_start_;
        if (d < 0 || d / bin_us_ >= static_cast<__int128>(removed_.size())) return;
        at_ = static_cast<size_t>(d / bin_us_);
        ++removed_[at_];
        const __int128 lo = static_cast<__int128>(bin_start_) + static_cast<__int128>(at_) * bin_us_;
        lo_ = static_cast<int64_t>(lo);  // at most t
        hi_ = lo + bin_us_ > INT64_MAX ? INT64_MAX : static_cast<int64_t>(lo + bin_us_);
    }

    EventFilter filter_;
    int64_t bin_start_, bin_us_;
    std::vector<uint32_t> removed_;
    int64_t lo_ = 0, hi_ = 0;  // the running bin's span, empty until a removed event
    size_t at_ = 0;
};

}  // namespace zv::kern
