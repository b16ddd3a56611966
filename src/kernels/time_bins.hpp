// Time bins of events: the bin of timestamp t is
// trunc((t - t_min) / t_range * (n - 0.001)), clipped to 0..n-1, with
// t_range = max(t_max - t_min, 1e-9), in this order of double operations.
//
// The map is monotonic in t, so for a modest bin count the first timestamp of
// every bin is found once by bisection; time-ordered events then need a
// compare or two each instead of a division. TimeBinning keeps those edges as
// doubles; IntegerEdges keeps them as the integers of a 64-bit integer time
// field, so that such timestamps are never converted per event.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

namespace zv::kern {

// The rule itself, for one range and bin count.
struct BinRule {
    double t_min, t_range, scale;
    int64_t n;

    BinRule(double lo, double hi, int64_t bins)
        : t_min(lo), t_range(std::max(hi - lo, 1e-9)), scale(static_cast<double>(bins) - 0.001), n(bins) {}

    int64_t exact(double t) const {
        const double v = (t - t_min) / t_range * scale;
        // Clip before converting: a timestamp outside a guessed range may give
        // any value, and converting one beyond int64 is undefined.
        if (!(v >= 1.0)) return 0;
        if (!(v < static_cast<double>(n))) return n - 1;
        return static_cast<int64_t>(v);  // truncation toward zero
    }
};

class TimeBinning {
public:
    TimeBinning(double lo, double hi, int64_t bins) : rule_(lo, hi, bins) {
        if (bins > kMaxCachedEdges) return;
        edges_.resize(static_cast<size_t>(bins) + 1);
        edges_[0] = -INFINITY;
        edges_[static_cast<size_t>(bins)] = INFINITY;
        for (int64_t k = 1; k < bins; ++k) edges_[static_cast<size_t>(k)] = first_time_in_bin(k, lo, hi);
    }

    int64_t operator()(double t) {
        if (edges_.empty()) return exact(t);
        const size_t k = static_cast<size_t>(hint_);
        if (t >= edges_[k] && t < edges_[k + 1]) return hint_;
        hint_ = exact(t);
        return hint_;
    }

    int64_t exact(double t) const { return rule_.exact(t); }

private:
    static constexpr int64_t kMaxCachedEdges = 16384;

    // Doubles as integers in the same order (finite values only).
    static int64_t key(double d) {
        const uint64_t u = std::bit_cast<uint64_t>(d);
        return (u >> 63) ? -static_cast<int64_t>(u & ~(uint64_t{1} << 63)) : static_cast<int64_t>(u);
    }
    static double unkey(int64_t k) {
        return k >= 0 ? std::bit_cast<double>(static_cast<uint64_t>(k))
                      : std::bit_cast<double>(static_cast<uint64_t>(-k) | (uint64_t{1} << 63));
    }

    // Smallest double in [lo, hi] whose bin is at least k (exact(hi) is n-1 >= k).
    double first_time_in_bin(int64_t k, double lo, double hi) const {
        int64_t a = key(lo), b = key(hi);
        while (a < b) {
            // b - a can exceed int64 (keys of large negative and positive times): halve it unsigned.
            const int64_t mid = a + static_cast<int64_t>((static_cast<uint64_t>(b) - static_cast<uint64_t>(a)) / 2);
            if (exact(unkey(mid)) >= k) b = mid;
            else a = mid + 1;
        }
        return unkey(a);
    }

    BinRule rule_;
    std::vector<double> edges_;
    int64_t hint_ = 0;
};

// The bins of an int64 or uint64 time field over [lo, hi] (the true range of
// the events, or a guess of it). Timestamps are handled as keys: unsigned
// integers in the same order, so that "t lies in bin k" is one unsigned
// compare, (key - start(k)) < span(k), and "t lies in [lo, hi]" another.
template <typename T>
class IntegerEdges {
    static_assert(std::is_same_v<T, int64_t> || std::is_same_v<T, uint64_t>);

public:
    static constexpr int64_t kMaxBins = 1 << 16;

    static uint64_t key(T t) {
        if constexpr (std::is_signed_v<T>) return static_cast<uint64_t>(t) ^ (uint64_t{1} << 63);
        else return t;
    }

    IntegerEdges(T lo, T hi, int64_t bins)
        : rule_(static_cast<double>(lo), static_cast<double>(hi), bins), lo_(key(lo)), hi_(key(hi)) {
        const size_t n = static_cast<size_t>(bins);
        starts_.resize(n + 1);
        starts_[0] = lo_;
        starts_[n] = hi_ + 1;  // wraps to 0 past the largest key: spans stay right modulo 2**64
        for (size_t k = 1; k < n; ++k) starts_[k] = first_key_in_bin(static_cast<int64_t>(k), starts_[k - 1]);
    }

    bool contains(uint64_t u) const { return u - lo_ <= hi_ - lo_; }
    // The bin of a key in [lo, hi].
    size_t find(uint64_t u) const {
        const auto it = std::upper_bound(starts_.begin(), starts_.end() - 1, u);
        return static_cast<size_t>(it - starts_.begin()) - 1;
    }
    uint64_t start(size_t k) const { return starts_[k]; }
    // Keys in bin k; 0 for an empty bin, and for one bin over all 2**64 keys (which
    // then takes the slow path every time, still right).
    uint64_t span(size_t k) const { return starts_[k + 1] - starts_[k]; }

private:
    static T value(uint64_t u) {
        if constexpr (std::is_signed_v<T>) return static_cast<T>(u ^ (uint64_t{1} << 63));
        else return u;
    }
    int64_t bin(uint64_t u) const { return rule_.exact(static_cast<double>(value(u))); }

    // The key of an estimate of where bin k begins, within [lo, hi].
    uint64_t estimate(int64_t k) const {
        const double e = rule_.t_min + static_cast<double>(k) / rule_.scale * rule_.t_range;
        const T lo = value(lo_), hi = value(hi_);
        if (!(e > static_cast<double>(lo))) return lo_;
        if (!(e < static_cast<double>(hi))) return hi_;
        return std::clamp(key(static_cast<T>(e)), lo_, hi_);
    }

    // Smallest key in [from, hi] whose bin is at least k; hi + 1 when there is
    // none (all timestamps convert to one double). Gallops out from the
    // estimate, then bisects: a few evaluations per bin, however wide the range.
    uint64_t first_key_in_bin(int64_t k, uint64_t from) const {
        if (bin(hi_) < k) return hi_ + 1;
        if (bin(from) >= k) return from;
        uint64_t a = from, b = hi_;  // bin(a) < k <= bin(b)
        const uint64_t g = std::clamp(estimate(k), a, b);
        if (g != a && g != b) {
            const bool down = bin(g) >= k;
            (down ? b : a) = g;
            for (uint64_t s = 1; b - a > 1 && s < b - a && s <= kMaxStep; s *= 2) {
                const uint64_t m = down ? b - s : a + s;
                if (bin(m) >= k) {
                    b = m;
                    if (!down) break;
                } else {
                    a = m;
                    if (down) break;
                }
            }
        }
        while (b - a > 1) {
            const uint64_t m = a + (b - a) / 2;
            (bin(m) >= k ? b : a) = m;
        }
        return b;
    }

    static constexpr uint64_t kMaxStep = uint64_t{1} << 62;  // doubling stays below 2**64

    BinRule rule_;
    uint64_t lo_, hi_;
    std::vector<uint64_t> starts_;
};

}  // namespace zv::kern
