// Min, max, mean and population std of a contiguous run of real numbers.
//
// One pass over memory: the data is read in blocks that fit in L1; each block
// is scanned twice while cached (its sum, then its squared deviations from
// its own mean) and blocks are merged with Chan's update. Doubles are summed
// with error-free transformations (TwoSum per lane, Neumaier across lanes
// and blocks), so the mean is compensated, beyond NumPy's pairwise sum;
// half and single precision are widened to double, where plain summation is
// already far finer than their own. Integers are summed exactly in 128 bits.
// A NaN anywhere makes all four results NaN.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "kernels/columns.hpp"

namespace zv::kern {

struct Stats {
    double min = 0.0, max = 0.0, mean = 0.0, std = 0.0;
};

enum class ElemType : uint8_t { Bool, I8, I16, I32, I64, U8, U16, U32, U64, F16, F32, F64, LongDouble };

namespace stats_detail {

inline constexpr size_t kBlock = 128;  // 16 per lane: the leaf size of NumPy's pairwise sum
inline constexpr size_t kLanes = 8;

// IEEE binary16 to float, exactly, without branches on the common path.
inline float half_to_float(uint16_t h) {
    const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
    const uint32_t em = h & 0x7fffu;
    uint32_t bits = std::bit_cast<uint32_t>(std::bit_cast<float>(em << 13) * 0x1p112f);  // rebias
    if (em >= 0x7c00u) bits = (em << 13) | 0x7f800000u;                                 // inf, NaN
    return std::bit_cast<float>(bits | sign);
}

template <typename T, bool Swap>
inline T load_one(const std::byte* p) {
    if constexpr (sizeof(T) == 1) {
        T v;
        std::memcpy(&v, p, 1);
        return v;
    } else if constexpr (std::is_same_v<T, long double>) {
        std::byte tmp[sizeof(long double)];
        if constexpr (Swap) std::reverse_copy(p, p + sizeof tmp, tmp);
        else std::memcpy(tmp, p, sizeof tmp);
        long double v;
        std::memcpy(&v, tmp, sizeof v);
        return v;
    } else {
        using Bits = std::conditional_t<sizeof(T) == 2, uint16_t,
                     std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>;
        return std::bit_cast<T>(load_bits<Bits, Swap>(p));
    }
}

// A loader as a type, so that the hot loops inline it.
template <typename T, bool Swap>
struct Load {
    static constexpr size_t size = sizeof(T);
    T operator()(const std::byte* p) const { return load_one<T, Swap>(p); }
};

struct LoadBool {
    static constexpr size_t size = 1;
    uint8_t operator()(const std::byte* p) const { return *p != std::byte{0}; }
};

template <bool Swap>
struct LoadHalf {
    static constexpr size_t size = 2;
    float operator()(const std::byte* p) const { return half_to_float(load_one<uint16_t, Swap>(p)); }
};

// Neumaier's compensated sum.
template <typename A>
struct Compensated {
    A sum = 0, carry = 0;
    void add(A x) {
        const A t = sum + x;
        if (std::fabs(sum) >= std::fabs(x)) carry += (sum - t) + x;
        else carry += (x - t) + sum;
        sum = t;
    }
    A value() const { return std::isfinite(sum) ? sum + carry : sum; }  // inf - inf in carry is no error
};

// Running count, mean and sum of squared deviations, merged block by block.
template <typename A>
struct Moments {
    A count = 0, mean = 0, m2 = 0;
    void merge(A n, A block_mean, A block_m2) {
        if (count == 0) {
            count = n, mean = block_mean, m2 = block_m2;
            return;
        }
        const A total = count + n, delta = block_mean - mean;
        mean += delta * (n / total);
        m2 += block_m2 + delta * delta * (count * n / total);
        count = total;
    }
};

// Eight double lanes as four SSE2 vectors of two: GCC does not vectorize the
// lane loops by itself without reassociation, which would change results.
typedef double Vec2 __attribute__((vector_size(16)));
inline constexpr size_t kVecs = 4;

inline void load_lanes(Vec2* v, const double* p) { std::memcpy(v, p, kVecs * sizeof(Vec2)); }
inline void store_lanes(double* p, const Vec2* v) { std::memcpy(p, v, kVecs * sizeof(Vec2)); }

template <typename A>
inline A lane_sum(const A* acc) {
    return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

// Sum of squared deviations of buf[0..m) from `mean`, in lanes.
template <typename A>
inline A squared_deviations(const A* buf, size_t m, A mean) {
    A acc[kLanes] = {};
    size_t j = 0;
    if constexpr (std::is_same_v<A, double>) {
        Vec2 a[kVecs] = {}, v[kVecs];
        const Vec2 mu = {mean, mean};
        for (; j + kLanes <= m; j += kLanes) {
            load_lanes(v, buf + j);
            for (size_t k = 0; k < kVecs; ++k) a[k] += (v[k] - mu) * (v[k] - mu);
        }
        store_lanes(acc, a);
    }
    for (; j + kLanes <= m; j += kLanes)
        for (size_t k = 0; k < kLanes; ++k) {
            const A d = buf[j + k] - mean;
            acc[k] += d * d;
        }
    for (; j < m; ++j) {
        const A d = buf[j] - mean;
        acc[j % kLanes] += d * d;
    }
    return lane_sum(acc);
}

inline Stats all_nan() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan, nan, nan};
}

// Floating types: values are widened to A (exactly) before any arithmetic.
template <typename A, typename Loader>
Stats float_stats(const std::byte* p, size_t n, Loader load) {
    constexpr size_t itemsize = Loader::size;
    constexpr bool kTwoSum = itemsize >= 8;  // doubles and long doubles
    alignas(64) A buf[kBlock];
    A lo = std::numeric_limits<A>::infinity(), hi = -lo;
    Compensated<A> total;
    Moments<A> moments;
    for (size_t i = 0; i < n; i += kBlock) {
        const size_t m = std::min(kBlock, n - i);
        const std::byte* q = p + i * itemsize;
        for (size_t j = 0; j < m; ++j) buf[j] = static_cast<A>(load(q + j * itemsize));
        A acc[kLanes] = {}, err[kLanes] = {}, mn[kLanes], mx[kLanes];
        for (size_t k = 0; k < kLanes; ++k) mn[k] = lo, mx[k] = hi;
        auto step = [&](size_t k, A v) {
            if constexpr (kTwoSum) {
                const A s = acc[k] + v, b = s - acc[k];
                err[k] += (acc[k] - (s - b)) + (v - b);
                acc[k] = s;
            } else {
                acc[k] += v;
            }
            mn[k] = v < mn[k] ? v : mn[k];
            mx[k] = v > mx[k] ? v : mx[k];
        };
        size_t j = 0;
        if constexpr (std::is_same_v<A, double>) {
            Vec2 sum[kVecs], e[kVecs] = {}, lo_v[kVecs], hi_v[kVecs], v[kVecs];
            load_lanes(sum, acc), load_lanes(lo_v, mn), load_lanes(hi_v, mx);
            for (; j + kLanes <= m; j += kLanes) {
                load_lanes(v, buf + j);
                for (size_t k = 0; k < kVecs; ++k) {
                    if constexpr (kTwoSum) {
                        const Vec2 t = sum[k] + v[k], b = t - sum[k];
                        e[k] += (sum[k] - (t - b)) + (v[k] - b);
                        sum[k] = t;
                    } else {
                        sum[k] += v[k];
                    }
                    lo_v[k] = v[k] < lo_v[k] ? v[k] : lo_v[k];
                    hi_v[k] = v[k] > hi_v[k] ? v[k] : hi_v[k];
                }
            }
            store_lanes(acc, sum), store_lanes(err, e), store_lanes(mn, lo_v), store_lanes(mx, hi_v);
        } else {
            for (; j + kLanes <= m; j += kLanes)
                for (size_t k = 0; k < kLanes; ++k) step(k, buf[j + k]);
        }
        for (; j < m; ++j) step(0, buf[j]);
        const A lanes = lane_sum(acc), errors = lane_sum(err);
        if (std::isnan(lanes)) {
            // NaN propagates through the sum; so does inf - inf, which is no NaN input.
            for (size_t k = 0; k < m; ++k)
                if (std::isnan(buf[k])) return all_nan();
        }
        for (size_t k = 0; k < kLanes; ++k) {
            lo = mn[k] < lo ? mn[k] : lo;
            hi = mx[k] > hi ? mx[k] : hi;
            if constexpr (kTwoSum) total.add(acc[k]);
        }
        // Errors of an infinite sum are NaN and mean nothing.
        if constexpr (kTwoSum) {
            if (std::isfinite(errors)) total.add(errors);
        } else {
            total.add(lanes);
        }
        const A block_sum = std::isfinite(errors) ? lanes + errors : lanes;
        const A block_mean = block_sum / static_cast<A>(m);
        moments.merge(static_cast<A>(m), block_mean, squared_deviations(buf, m, block_mean));
    }
    const A mean = total.value() / static_cast<A>(n);
    return {static_cast<double>(lo), static_cast<double>(hi), static_cast<double>(mean),
            static_cast<double>(std::sqrt(moments.m2 / static_cast<A>(n)))};
}

// Integer types (and bool as 0/1): exact min, max and sum.
template <typename T, typename Loader>
Stats int_stats(const std::byte* p, size_t n, Loader load) {
    constexpr size_t itemsize = Loader::size;
    using Wide = std::conditional_t<std::is_signed_v<T>, __int128, unsigned __int128>;
    using Block = std::conditional_t<(sizeof(T) < 8), std::conditional_t<std::is_signed_v<T>, int64_t, uint64_t>, Wide>;
    alignas(64) T raw[kBlock];
    alignas(64) double buf[kBlock];
    T lo = std::numeric_limits<T>::max(), hi = std::numeric_limits<T>::lowest();
    Wide total = 0;
    Moments<double> moments;
    for (size_t i = 0; i < n; i += kBlock) {
        const size_t m = std::min(kBlock, n - i);
        const std::byte* q = p + i * itemsize;
        for (size_t j = 0; j < m; ++j) raw[j] = load(q + j * itemsize);
        Block block_sum = 0;
        T mn = lo, mx = hi;
        for (size_t j = 0; j < m; ++j) {
            block_sum += raw[j];
            mn = std::min(mn, raw[j]);
            mx = std::max(mx, raw[j]);
        }
        lo = mn, hi = mx;
        for (size_t j = 0; j < m; ++j) buf[j] = static_cast<double>(raw[j]);
        const double block_mean = static_cast<double>(block_sum) / static_cast<double>(m);
        moments.merge(static_cast<double>(m), block_mean, squared_deviations(buf, m, block_mean));
        total += block_sum;
    }
    const double mean = static_cast<double>(total) / static_cast<double>(n);
    return {static_cast<double>(lo), static_cast<double>(hi), mean, std::sqrt(moments.m2 / static_cast<double>(n))};
}

template <bool Swap>
Stats dispatch(ElemType type, const std::byte* p, size_t n) {
    switch (type) {
        case ElemType::Bool:
            return int_stats<uint8_t>(p, n, LoadBool{});
        case ElemType::I8: return int_stats<int8_t>(p, n, Load<int8_t, Swap>{});
        case ElemType::I16: return int_stats<int16_t>(p, n, Load<int16_t, Swap>{});
        case ElemType::I32: return int_stats<int32_t>(p, n, Load<int32_t, Swap>{});
        case ElemType::I64: return int_stats<int64_t>(p, n, Load<int64_t, Swap>{});
        case ElemType::U8: return int_stats<uint8_t>(p, n, Load<uint8_t, Swap>{});
        case ElemType::U16: return int_stats<uint16_t>(p, n, Load<uint16_t, Swap>{});
        case ElemType::U32: return int_stats<uint32_t>(p, n, Load<uint32_t, Swap>{});
        case ElemType::U64: return int_stats<uint64_t>(p, n, Load<uint64_t, Swap>{});
        case ElemType::F16:
            return float_stats<double>(p, n, LoadHalf<Swap>{});
        case ElemType::F32: return float_stats<double>(p, n, Load<float, Swap>{});
        case ElemType::F64: return float_stats<double>(p, n, Load<double, Swap>{});
        case ElemType::LongDouble:
            return float_stats<long double>(p, n, Load<long double, Swap>{});
    }
    return all_nan();
}

}  // namespace stats_detail

// Statistics of n elements stored contiguously at p; all zero when n is 0.
inline Stats compute_stats(ElemType type, bool swapped, const void* p, size_t n) {
    if (n == 0) return {};
    const auto* bytes = static_cast<const std::byte*>(p);
    return swapped ? stats_detail::dispatch<true>(type, bytes, n) : stats_detail::dispatch<false>(type, bytes, n);
}

}  // namespace zv::kern
