// Typed, strided access to one numeric field of a record array.
//
// A Column describes where a field's values lie in memory; `visit` picks the
// loader for its element type once, so that hot loops are monomorphic.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "kernels/half.hpp"

namespace zv::kern {

enum class NumKind : uint8_t { Bool, Int, UInt, Float };

struct Column {
    const std::byte* base = nullptr;  // the field in the first record
    std::ptrdiff_t stride = 0;        // bytes from one record to the next
    NumKind kind = NumKind::Int;
    uint8_t size = 0;                 // bytes per value
    bool swapped = false;             // stored in the non-native byte order
};

// Marks a coordinate that has no 32-bit integer value (out of range, NaN).
inline constexpr int64_t kNoCoordinate = std::numeric_limits<int64_t>::min();

template <typename U>
inline U byteswap_uint(U v) {
    if constexpr (sizeof(U) == 1) return v;
    else if constexpr (sizeof(U) == 2) return __builtin_bswap16(v);
    else if constexpr (sizeof(U) == 4) return __builtin_bswap32(v);
    else return __builtin_bswap64(v);
}

template <typename U, bool Swap>
inline U load_bits(const std::byte* p) {
    U v;
    std::memcpy(&v, p, sizeof v);  // fields may be unaligned in packed records
    if constexpr (Swap) v = byteswap_uint(v);
    return v;
}

// One loader per stored type. Each gives the value as a double, as a
// coordinate truncated to the 32-bit range, and as a polarity test (> 0).
template <typename T, bool Swap>
struct Loader {
    using Bits = std::conditional_t<sizeof(T) == 1, uint8_t,
                 std::conditional_t<sizeof(T) == 2, uint16_t,
                 std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>>;
    static T value(const std::byte* p) { return std::bit_cast<T>(load_bits<Bits, Swap>(p)); }
    static double as_double(const std::byte* p) { return static_cast<double>(value(p)); }
    static bool positive(const std::byte* p) { return value(p) > 0; }
    static int64_t as_coordinate(const std::byte* p) {
        const T v = value(p);
        if constexpr (std::is_floating_point_v<T>) {
            return float_coordinate(static_cast<double>(v));
        } else if constexpr (std::is_signed_v<T>) {
            const int64_t w = v;
            return (w >= INT32_MIN && w <= INT32_MAX) ? w : kNoCoordinate;
        } else {
            const uint64_t w = v;
            return w <= static_cast<uint64_t>(INT32_MAX) ? static_cast<int64_t>(w) : kNoCoordinate;
        }
    }
    static int64_t float_coordinate(double v) {
        if (!(v > -2147483649.0 && v < 2147483648.0)) return kNoCoordinate;  // also NaN
        return static_cast<int64_t>(v);  // truncation toward zero
    }
};

struct BoolLoader {
    static double as_double(const std::byte* p) { return *reinterpret_cast<const uint8_t*>(p) ? 1.0 : 0.0; }
    static bool positive(const std::byte* p) { return *reinterpret_cast<const uint8_t*>(p) != 0; }
    static int64_t as_coordinate(const std::byte* p) { return *reinterpret_cast<const uint8_t*>(p) ? 1 : 0; }
};

template <bool Swap>
struct HalfLoader {
    static double as_double(const std::byte* p) { return half_to_double(load_bits<uint16_t, Swap>(p)); }
    static bool positive(const std::byte* p) { return as_double(p) > 0; }
    static int64_t as_coordinate(const std::byte* p) {
        return Loader<double, false>::float_coordinate(as_double(p));
    }
};

template <bool Swap, typename Fn>
inline void visit_order(const Column& c, Fn&& fn) {
    switch (c.kind) {
        case NumKind::Bool: fn.template operator()<BoolLoader>(); return;
        case NumKind::Int:
            switch (c.size) {
                case 1: fn.template operator()<Loader<int8_t, Swap>>(); return;
                case 2: fn.template operator()<Loader<int16_t, Swap>>(); return;
                case 4: fn.template operator()<Loader<int32_t, Swap>>(); return;
                default: fn.template operator()<Loader<int64_t, Swap>>(); return;
            }
        case NumKind::UInt:
            switch (c.size) {
                case 1: fn.template operator()<Loader<uint8_t, Swap>>(); return;
                case 2: fn.template operator()<Loader<uint16_t, Swap>>(); return;
                case 4: fn.template operator()<Loader<uint32_t, Swap>>(); return;
                default: fn.template operator()<Loader<uint64_t, Swap>>(); return;
            }
        case NumKind::Float:
            switch (c.size) {
                case 2: fn.template operator()<HalfLoader<Swap>>(); return;
                case 4: fn.template operator()<Loader<float, Swap>>(); return;
                default: fn.template operator()<Loader<double, Swap>>(); return;
            }
    }
}

// Call fn.template operator()<L>() with the loader L of the column's type.
template <typename Fn>
inline void visit(const Column& c, Fn&& fn) {
    if (c.swapped && c.size > 1) visit_order<true>(c, fn);
    else visit_order<false>(c, fn);
}

// Decoders for a run of records [begin, begin + count), one type switch each.
inline void decode_doubles(const Column& c, size_t begin, size_t count, double* out) {
    visit(c, [&]<typename L>() {
        const std::byte* p = c.base + static_cast<std::ptrdiff_t>(begin) * c.stride;
        for (size_t i = 0; i < count; ++i, p += c.stride) out[i] = L::as_double(p);
    });
}

inline void decode_coordinates(const Column& c, size_t begin, size_t count, int64_t* out) {
    visit(c, [&]<typename L>() {
        const std::byte* p = c.base + static_cast<std::ptrdiff_t>(begin) * c.stride;
        for (size_t i = 0; i < count; ++i, p += c.stride) out[i] = L::as_coordinate(p);
    });
}

inline void decode_positive(const Column& c, size_t begin, size_t count, uint8_t* out) {
    visit(c, [&]<typename L>() {
        const std::byte* p = c.base + static_cast<std::ptrdiff_t>(begin) * c.stride;
        for (size_t i = 0; i < count; ++i, p += c.stride) out[i] = L::positive(p) ? 1 : 0;
    });
}

}  // namespace zv::kern
