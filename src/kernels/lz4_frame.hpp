// One LZ4 frame (the frame format over LZ4 blocks, linked or independent) from
// a byte buffer into a growable buffer, for data from files that may be hostile.
//
// Contract: `decode_frame(src, n, out, limit)` reads the frame at the start of
// [src, src + n) (bytes after it are ignored, as are the contents of a skippable
// frame, which decodes to nothing) and leaves its content in out[0, size).
// Every length and offset is checked against the input and the output before it
// is used; nothing is read or written outside them. The header checksum is
// always checked, block and content checksums where the frame descriptor says
// they are present, and a stored content size must match what was decoded. A
// dictionary ID is read and no dictionary given, so a block that refers back
// before the frame's first byte is refused as damaged. Output is refused past
// `limit` bytes (checked after each block, so at most one block beyond it is
// ever held). Errors carry the names the reference library gives them, so a
// message reads the same whichever decoder made it; `kEndsEarly` is input that
// stops before the frame does. No Python here.
//
// Why our own: the frame and block formats are small and frozen, and a system
// header would be one more thing every build from source must find.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <algorithm>

namespace zv::kern::lz4 {

enum class Error : uint8_t {
    kNone,
    kEndsEarly,
    kTooLarge,
    kFrameTypeUnknown,
    kReservedFlagSet,
    kHeaderVersionWrong,
    kMaxBlockSizeInvalid,
    kHeaderChecksumInvalid,
    kDecompressionFailed,
    kBlockChecksumInvalid,
    kFrameSizeWrong,
    kContentChecksumInvalid,
    kNoMemory,
};

// The reference library's name of a format error ("" for kNone, kEndsEarly, kTooLarge, kNoMemory).
inline const char* error_name(Error e) {
    switch (e) {
        case Error::kFrameTypeUnknown: return "ERROR_frameType_unknown";
        case Error::kReservedFlagSet: return "ERROR_reservedFlag_set";
        case Error::kHeaderVersionWrong: return "ERROR_headerVersion_wrong";
        case Error::kMaxBlockSizeInvalid: return "ERROR_maxBlockSize_invalid";
        case Error::kHeaderChecksumInvalid: return "ERROR_headerChecksum_invalid";
        case Error::kDecompressionFailed: return "ERROR_decompressionFailed";
        case Error::kBlockChecksumInvalid: return "ERROR_blockChecksum_invalid";
        case Error::kFrameSizeWrong: return "ERROR_frameSize_wrong";
        case Error::kContentChecksumInvalid: return "ERROR_contentChecksum_invalid";
        default: return "";
    }
}

// Bytes without initialisation (a packet buffer is written before it is read), kept
// from one frame to the next.
class Bytes {
public:
    Bytes() = default;
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    Bytes(Bytes&& o) noexcept : p_(o.p_), cap_(o.cap_) { o.p_ = nullptr, o.cap_ = 0; }
    Bytes& operator=(Bytes&& o) noexcept {
        std::swap(p_, o.p_);
        std::swap(cap_, o.cap_);
        return *this;
    }
    ~Bytes() { std::free(p_); }

    // Room for at least n bytes, keeping the first `keep`; false when memory runs out.
    bool reserve(size_t n, size_t keep) {
        if (n <= cap_) return true;
        const size_t want = std::max(n, cap_ + cap_ / 2);
        void* q = keep ? std::realloc(p_, want) : std::malloc(want);
        if (q == nullptr) return false;
        if (!keep) std::free(p_);
        p_ = static_cast<uint8_t*>(q);
        cap_ = want;
        return true;
    }
    uint8_t* data() const { return p_; }
    size_t capacity() const { return cap_; }

private:
    uint8_t* p_ = nullptr;
    size_t cap_ = 0;
};

namespace detail {

inline uint32_t le32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline uint16_t le16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

constexpr uint32_t kP1 = 2654435761U, kP2 = 2246822519U, kP3 = 3266489917U, kP4 = 668265263U, kP5 = 374761393U;

inline uint32_t rotl(uint32_t v, int r) { return (v << r) | (v >> (32 - r)); }
inline uint32_t round(uint32_t acc, uint32_t in) { return rotl(acc + in * kP2, 13) * kP1; }

}  // namespace detail

// XXH32 of [p, p + n) with seed 0: the frame format's checksum.
inline uint32_t xxh32(const uint8_t* p, size_t n) {
    using namespace detail;
    const uint8_t* const end = p + n;
    uint32_t h;
    if (n >= 16) {
        uint32_t v1 = kP1 + kP2, v2 = kP2, v3 = 0, v4 = 0u - kP1;
        for (; end - p >= 16; p += 16) {
            v1 = round(v1, le32(p));
            v2 = round(v2, le32(p + 4));
            v3 = round(v3, le32(p + 8));
            v4 = round(v4, le32(p + 12));
        }
        h = rotl(v1, 1) + rotl(v2, 7) + rotl(v3, 12) + rotl(v4, 18);
    } else {
        h = kP5;
    }
    h += static_cast<uint32_t>(n);
    for (; end - p >= 4; p += 4) h = rotl(h + le32(p) * kP3, 17) * kP4;
    for (; p < end; ++p) h = rotl(h + *p * kP5, 11) * kP1;
    h ^= h >> 15;
    h *= kP2;
    h ^= h >> 13;
    h *= kP3;
    h ^= h >> 16;
    return h;
}

// Room past a block's largest output for copies that run over by up to 32 bytes.
constexpr size_t kSlack = 64;

// One LZ4 block [ip, iend) decoded at out + at, where out holds at least at +
// max_block + kSlack bytes; `history` bytes before `at` may be referred back to.
// The block format's end conditions hold as the reference decoder takes them:
// the last sequence is literals alone and ends the input exactly, a match ends
// at least 5 bytes before the block's largest output, and literals that reach
// within 12 bytes of it (or 8 of the input's end) are the last. Returns the
// bytes written, or -1 for a damaged block.
inline ptrdiff_t decode_block(const uint8_t* ip, const uint8_t* const iend, uint8_t* const out, size_t at,
                              size_t history, size_t max_block) {
    uint8_t* op = out + at;
    uint8_t* const oend = op + max_block;
    const uint8_t* const low = op - history;
    for (;;) {
        if (ip >= iend) return -1;
        const unsigned token = *ip++;
        size_t lit = token >> 4;
        if (lit == 15) {
            if (iend - ip <= 15) return -1;
            unsigned s;
            do {
                s = *ip++;
                lit += s;
                if (iend - ip < 15) return -1;
            } while (s == 255);
        }
        const size_t in_room = static_cast<size_t>(iend - ip), out_room = static_cast<size_t>(oend - op);
        if (lit + 12 > out_room || lit + 8 > in_room) {  // the last sequence
            if (lit != in_room || lit > out_room) return -1;
            std::memcpy(op, ip, lit);
            return (op + lit) - (out + at);
        }
        if (lit <= 16 && in_room >= 16) std::memcpy(op, ip, 16);  // the output's over-run is inside the slack
        else std::memcpy(op, ip, lit);
        op += lit;
        ip += lit;
        const size_t offset = detail::le16(ip);
        ip += 2;
        size_t length = token & 15;
        if (length == 15) {
            unsigned s;
            do {
                s = *ip++;
                length += s;
                if (iend - ip < 4) return -1;
            } while (s == 255);
        }
        length += 4;
        if (offset == 0 || offset > static_cast<size_t>(op - low) || length + 5 > static_cast<size_t>(oend - op))
            return -1;
        const uint8_t* match = op - offset;
        uint8_t* const stop = op + length;
        if (length <= 18 && offset >= 8) {
            // In 8-byte pieces: the match of an event packet reads what the last copies
            // have just stored, and an 8-byte load is served from one store where a
            // 16-byte load across two waits for them (6% of decoding such packets).
            std::memcpy(op, match, 8);
            std::memcpy(op + 8, match + 8, 8);
            std::memcpy(op + 16, match + 16, 2);
        } else if (offset >= 16) {
            do {  // may run past stop by up to 15 bytes: inside the slack
                std::memcpy(op, match, 16);
                op += 16;
                match += 16;
            } while (op < stop);
        } else if (offset >= 8) {
            do {
                std::memcpy(op, match, 8);
                op += 8;
                match += 8;
            } while (op < stop);
        } else {
            while (op < stop) *op++ = *match++;
        }
        op = stop;
    }
}

struct Result {
    Error error = Error::kNone;
    size_t size = 0;  // bytes decoded
};

// The frame at the start of [src, src + n) into out (see the contract at the top).
inline Result decode_frame(const uint8_t* src, size_t n, Bytes& out, size_t limit) {
    using detail::le32;
    constexpr uint32_t kMagic = 0x184D2204U, kSkippable = 0x184D2A50U;
    Result r;
    auto fail = [&r](Error e) {
        r.error = e;
        return r;
    };
    if (n < 4) return fail(Error::kEndsEarly);
    const uint32_t magic = le32(src);
    if ((magic & 0xFFFFFFF0U) == kSkippable) {
        if (n < 8 || n - 8 < le32(src + 4)) return fail(Error::kEndsEarly);
        return r;
    }
    if (n < 7) return fail(Error::kEndsEarly);
    if (magic != kMagic) return fail(Error::kFrameTypeUnknown);
    const unsigned flags = src[4], bd = src[5];
    if (flags & 2) return fail(Error::kReservedFlagSet);
    if ((flags >> 6) != 1) return fail(Error::kHeaderVersionWrong);
    const bool independent = flags & 0x20, block_sums = flags & 0x10, has_size = flags & 0x08,
               content_sum = flags & 0x04, has_dict = flags & 0x01;
    const size_t header = 7 + (has_size ? 8 : 0) + (has_dict ? 4 : 0);
    if (n < header) return fail(Error::kEndsEarly);
    const unsigned size_id = (bd >> 4) & 7;
    if (bd & 0x80) return fail(Error::kReservedFlagSet);
    if (size_id < 4) return fail(Error::kMaxBlockSizeInvalid);
    if (bd & 0x0F) return fail(Error::kReservedFlagSet);
    if (((xxh32(src + 4, header - 5) >> 8) & 0xFF) != src[header - 1]) return fail(Error::kHeaderChecksumInvalid);
    uint64_t content = 0;
    if (has_size) std::memcpy(&content, src + 6, 8);
    const size_t max_block = size_t{1} << (8 + 2 * size_id);
    const size_t sum_bytes = block_sums ? 4 : 0;
    size_t pos = header, size = 0;
    for (;;) {
        if (n - pos < 4) return fail(Error::kEndsEarly);
        const uint32_t word = le32(src + pos);
        pos += 4;
        if (word == 0) break;
        const size_t block = word & 0x7FFFFFFFU;
        if (block > max_block) return fail(Error::kMaxBlockSizeInvalid);
        const bool stored = word & 0x80000000U;
        if (n - pos < block + sum_bytes) return fail(Error::kEndsEarly);
        const uint8_t* data = src + pos;
        if (!stored && block_sums && xxh32(data, block) != le32(data + block))
            return fail(Error::kBlockChecksumInvalid);
        if (!out.reserve(size + max_block + kSlack, size)) return fail(Error::kNoMemory);
        if (stored) {
            std::memcpy(out.data() + size, data, block);
            if (block_sums && xxh32(data, block) != le32(data + block)) return fail(Error::kBlockChecksumInvalid);
            size += block;
        } else {
            const ptrdiff_t got = decode_block(data, data + block, out.data(), size, independent ? 0 : size, max_block);
            if (got < 0) return fail(Error::kDecompressionFailed);
            size += static_cast<size_t>(got);
        }
        pos += block + sum_bytes;
        if (size > limit) return fail(Error::kTooLarge);
    }
    if (has_size && content != 0 && content != size) return fail(Error::kFrameSizeWrong);
    if (content_sum) {
        if (n - pos < 4) return fail(Error::kEndsEarly);
        if (xxh32(out.data(), size) != le32(src + pos)) return fail(Error::kContentChecksumInvalid);
    }
    r.size = size;
    return r;
}

}  // namespace zv::kern::lz4
