// AEDAT 4 polarity events (the event table of a decompressed packet: t <i8,
// x <i2, y <i2, p u1 and 3 bytes of padding; 16 bytes each) to packed records
// (evt_state.hpp), polarity 1 where p is not 0 and -1 where it is; with a sensor
// (width > 0), events outside it are left out. Returns the records written. The
// caller gives whole events and room for all of them. A window's variant also
// leaves out the events outside lo <= t < hi, and counts those inside it that
// lie outside the sensor. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/evt_state.hpp"

namespace zv::kern {

constexpr size_t kAedat4EventSize = 16;

// Whether an event lies inside a width x height sensor (any event, where width is 0 or less).
inline bool aedat4_inside(const uint8_t* event, int64_t width, int64_t height) {
    if (width <= 0) return true;
    int16_t x, y;
    std::memcpy(&x, event + 8, 2);
    std::memcpy(&y, event + 10, 2);
    // Unsigned compares also catch negative coordinates.
    return static_cast<uint64_t>(x) < static_cast<uint64_t>(width) &&
           static_cast<uint64_t>(y) < static_cast<uint64_t>(height);
}

inline size_t aedat4_records(const uint8_t* events, size_t n, uint8_t* out, int64_t width = 0, int64_t height = 0) {
    const uint8_t* start = out;
    const bool any = width <= 0;
    for (size_t i = 0; i < n; ++i, events += kAedat4EventSize) {
        std::memcpy(out, events + 8, 4);
        std::memcpy(out + 4, events, 8);
        out[12] = events[12] ? 1 : 0xFF;
        out += (any || aedat4_inside(events, width, height)) ? evt::kRecordSize : 0;
    }
    return static_cast<size_t>(out - start) / evt::kRecordSize;
}

// The events of a window: those with lo <= t < hi and inside the sensor become
// records; those in the window outside the sensor are counted into `outside`,
// and the index of the first of them (n where there is none) is returned in `first`.
inline size_t aedat4_window_records(const uint8_t* events, size_t n, uint8_t* out, int64_t width, int64_t height,
                                    int64_t lo, int64_t hi, uint64_t& outside, size_t& first) {
    const uint8_t* start = out;
    first = n;
    for (size_t i = 0; i < n; ++i, events += kAedat4EventSize) {
        int64_t t;
        std::memcpy(&t, events, 8);
        if (t < lo || t >= hi) continue;
        if (!aedat4_inside(events, width, height)) {
            if (first == n) first = i;
            ++outside;
            continue;
        }
        std::memcpy(out, events + 8, 4);
        std::memcpy(out + 4, events, 8);
        out[12] = events[12] ? 1 : 0xFF;
        out += evt::kRecordSize;
    }
    return static_cast<size_t>(out - start) / evt::kRecordSize;
}

// Whether the events' times rise (never fall) and lie in [lo, hi].
inline bool aedat4_times_within(const uint8_t* events, size_t n, int64_t lo, int64_t hi) {
    int64_t last = lo;
    for (size_t i = 0; i < n; ++i, events += kAedat4EventSize) {
        int64_t t;
        std::memcpy(&t, events, 8);
        if (t < last || t > hi) return false;
        last = t;
    }
    return true;
}

}  // namespace zv::kern
