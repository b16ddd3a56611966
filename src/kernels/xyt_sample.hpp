// The space-time view's points: an even subsample of the events in [t0, t1), in
// the order they come.
//
// Contract:
// - The events of [t0, t1) are counted from 0 as they come; the ones whose
//   index is a multiple of `step` are kept. `step` starts at 1 and doubles
//   (every other kept event let go) whenever more than `cap` are kept.
// - So the step ends as the least power of two that keeps at most `cap` of all
//   the events seen, and the result does not depend on how the events were cut
//   into pieces.
// - x and y are kept clipped to 0..65535, t as given, the polarity as on/off.
// Memory: at most `cap` + 1 points.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zv::kern {

class XytSample {
public:
    XytSample(int64_t t0, int64_t t1, size_t cap) : t0_(t0), t1_(t1), cap_(std::max<size_t>(cap, 1)) {}

    void add(int64_t x, int64_t y, int64_t t, bool on) {
        if (t < t0_ || t >= t1_) return;
        const uint64_t i = seen_++;
        if (i & (step_ - 1)) return;
        index_.push_back(i);
        x_.push_back(clipped(x));
        y_.push_back(clipped(y));
        t_.push_back(t);
        on_.push_back(on ? 1 : 0);
        if (index_.size() > cap_) thin();
    }

    uint64_t seen() const { return seen_; }
    uint64_t step() const { return step_; }
    const std::vector<uint16_t>& x() const { return x_; }
    const std::vector<uint16_t>& y() const { return y_; }
    const std::vector<int64_t>& t() const { return t_; }
    const std::vector<uint8_t>& on() const { return on_; }

private:
    static uint16_t clipped(int64_t v) { return static_cast<uint16_t>(std::clamp<int64_t>(v, 0, 65535)); }

    // Doubles the step until at most `cap` points are kept.
    void thin() {
        while (index_.size() > cap_) {
            step_ *= 2;
            size_t kept = 0;
            for (size_t k = 0; k < index_.size(); ++k) {
                if (index_[k] & (step_ - 1)) continue;
                index_[kept] = index_[k];
                x_[kept] = x_[k];
                y_[kept] = y_[k];
                t_[kept] = t_[k];
                on_[kept] = on_[k];
                ++kept;
            }
            for (auto* v : {&x_, &y_}) v->resize(kept);
            index_.resize(kept);
            t_.resize(kept);
            on_.resize(kept);
        }
    }

    int64_t t0_, t1_;
    size_t cap_;
    uint64_t seen_ = 0, step_ = 1;
    std::vector<uint64_t> index_;
    std::vector<uint16_t> x_, y_;
    std::vector<int64_t> t_;
    std::vector<uint8_t> on_;
};

}  // namespace zv::kern
