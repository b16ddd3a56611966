// AEDAT 4 polarity events (the event table of a decompressed packet: t <i8,
// x <i2, y <i2, p u1 and 3 bytes of padding; 16 bytes each) to packed records
// (evt_state.hpp), polarity 1 where p is not 0 and -1 where it is. The caller
// gives whole events and room for them. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/evt_state.hpp"

namespace zv::kern {

constexpr size_t kAedat4EventSize = 16;

inline void aedat4_records(const uint8_t* events, size_t n, uint8_t* out) {
    for (size_t i = 0; i < n; ++i, events += kAedat4EventSize, out += evt::kRecordSize) {
        uint32_t xy;
        std::memcpy(&xy, events + 8, 4);
        std::memcpy(out, &xy, 4);
        std::memcpy(out + 4, events, 8);
        out[12] = events[12] ? 1 : 0xFF;
    }
}

}  // namespace zv::kern
