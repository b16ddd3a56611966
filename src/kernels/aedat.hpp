// Decoders of the jAER and cAER recording formats, AEDAT 2.0 and 3.1, over a
// byte buffer, into the same packed records and State as the other decoders
// (evt.hpp). Contract:
// - AEDAT 2.0: big-endian 8-byte records (u32 address, u32 time in µs). The
//   time is unsigned and wraps at 2^32; each wrap adds 2^32 (kept in State.loops,
//   the last raw time in State.last). Two address layouts:
//   - DVS128: polarity in bit 0 (1 = OFF), x mirrored in bits 1..7
//     (x = 127 - field), y in bits 8..14;
//   - DAVIS: bit 31 set marks an APS sample (an IMU sample where the address
//     matches 0x80000C00); bits 10..11 = 01 an external input; otherwise a DVS
//     event with y in bits 22..30, x mirrored in bits 12..21
//     (x = State.mirror - 1 - field) and the polarity in bit 11 (1 = ON).
//     APS, IMU and external events are counted in skip_frame, skip_imu and
//     skip_special, never recorded.
// - AEDAT 3.1: little-endian packets, a 28-byte header (type i16, source i16,
//   size i32, ts offset i32, ts overflow i32, capacity i32, number i32,
//   valid i32) and `number` events of `size` bytes. Polarity events (type 1)
//   are a u32 (bit 0 valid, bit 1 polarity 1 = ON, y in bits 2..16, x in bits
//   17..31) and an i32 time at the ts offset; t = overflow << 31 | time.
//   Invalid events are dropped (skip_invalid); other types are skipped whole
//   (skip_special, skip_frame, skip_imu, skip_other by type). A header is
//   decoded only whole, and a polarity event only whole: the bytes of a part
//   are left unconsumed for the caller to hand again with what follows, so a
//   file can be fed in pieces of any size. State.packet_left holds the bytes
//   of the current packet still to come, State.packet_at where it began
//   (in the numbering of State.pos); a header that is no packet's stops with
//   kBadPacket (error_word says which field: see PacketFault).
// No Python here.
#pragma once

#include "evt.hpp"

namespace zv::kern::evt {

inline uint32_t load_be32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}

// The 32-bit clock of an AEDAT 2.0 record: a drop of more than half its range is a wrap.
ZV_EVT_INLINE bool aedat2_time(State& s, int64_t raw, int64_t& t) {
    if (s.has_time && raw < s.last && s.last - raw > (int64_t{1} << 31) &&
        !add_loop(s, int64_t{1} << 32, int64_t{1} << 32))
        return false;
    s.last = raw;
    s.has_time = 1;
    t = raw + s.loops + s.t0;
    return true;
}

template <typename S>
ZV_EVT_INLINE size_t decode_aedat2(bool davis, const uint8_t* buf, size_t n, State& s, S& sink) {
    const size_t records = n / 8;
    for (size_t i = 0; i < records; ++i) {
        if (!sink.room(1, 8 * i)) return 8 * i;
        const uint32_t a = load_be32(buf + 8 * i);
        int64_t t;
        if (!aedat2_time(s, load_be32(buf + 8 * i + 4), t)) return stop(s, 8 * i, a, kTimeOverflow);
        int64_t x, y;
        bool on;
        if (!davis) {
            x = 127 - ((a >> 1) & 127);
            y = (a >> 8) & 127;
            on = (a & 1) == 0;
        } else if (a >> 31) {
            ++((a & 0x80000C00u) == 0x80000C00u ? s.skip_imu : s.skip_frame);
            continue;
        } else if (((a >> 10) & 3) == 1) {
            ++s.skip_special;
            continue;
        } else {
            x = s.mirror - 1 - ((a >> 12) & 1023);
            y = (a >> 22) & 511;
            on = (a >> 11) & 1;
        }
        if (sink.past(t)) {
            s.done = 1;
            return 8 * i;
        }
        sink.push(x, y, t, on);
        if (sink.refused()) return stop(s, 8 * i, a, kOutside);
    }
    return 8 * records;
}

// Why a 3.1 packet header was refused (State.error_word).
enum PacketFault : int64_t {
    kPacketSize = 1,      // event size below 1, or a polarity event below 8 bytes
    kPacketNumber = 2,    // event count negative, or valid events more than events
    kPacketTsOffset = 3,  // the time does not lie inside the event
};

constexpr size_t kPacketHeader = 28;

inline int32_t load_le_i32(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Reads the header at p into the state; 0 when it is a packet's, else the fault.
inline int64_t aedat31_header(const uint8_t* p, State& s) {
    const int64_t type = static_cast<int16_t>(load_le(p, 2));
    const int64_t size = load_le_i32(p + 4), ts_offset = load_le_i32(p + 8), overflow = load_le_i32(p + 12);
    const int64_t number = load_le_i32(p + 20), valid = load_le_i32(p + 24);
    if (size < 1 || (type == 1 && size < 8)) return kPacketSize;
    if (number < 0 || valid < 0 || valid > number) return kPacketNumber;
    if (ts_offset < 0 || ts_offset + 4 > size) return kPacketTsOffset;
    s.packet_type = type;
    s.event_size = size;
    s.ts_offset = ts_offset;
    s.ts_overflow = overflow < 0 ? 0 : overflow;
    s.packet_left = size * number;
    switch (type) {
        case 1: break;
        case 0: s.skip_special += number; break;
        case 2: s.skip_frame += number; break;
        case 3: case 4: s.skip_imu += number; break;
        default: s.skip_other += number; break;
    }
    return 0;
}

template <typename S>
ZV_EVT_INLINE size_t decode_aedat31(const uint8_t* buf, size_t n, State& s, S& sink) {
    size_t i = 0;
    while (i < n) {
        if (s.packet_left == 0) {
            if (n - i < kPacketHeader) return i;
            s.packet_at = s.pos + static_cast<int64_t>(i);
            if (const int64_t fault = aedat31_header(buf + i, s)) return stop(s, i, static_cast<uint64_t>(fault), kBadPacket);
            i += kPacketHeader;
            continue;
        }
        if (s.packet_type != 1) {  // skipped whole, as far as this buffer reaches
            const size_t skip = static_cast<size_t>(std::min<int64_t>(s.packet_left, static_cast<int64_t>(n - i)));
            i += skip;
            s.packet_left -= static_cast<int64_t>(skip);
            continue;
        }
        const size_t size = static_cast<size_t>(s.event_size);
        const int64_t high = s.ts_overflow << 31;
        while (s.packet_left > 0 && n - i >= size) {
            if (!sink.room(1, i)) return i;
            const uint32_t d = static_cast<uint32_t>(load_le(buf + i, 4));
            const int64_t t = high + static_cast<uint32_t>(load_le(buf + i + s.ts_offset, 4)) + s.t0;
            if (!(d & 1)) {
                ++s.skip_invalid;
            } else {
                if (sink.past(t)) {
                    s.done = 1;
                    return i;
                }
                sink.push((d >> 17) & 0x7FFF, (d >> 2) & 0x7FFF, t, (d >> 1) & 1);
                if (sink.refused()) return stop(s, i, d, kOutside);
            }
            i += size;
            s.packet_left -= static_cast<int64_t>(size);
        }
        if (s.packet_left > 0) return i;  // a part of an event: wait for the rest
    }
    return i;
}

}  // namespace zv::kern::evt
