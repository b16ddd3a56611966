// PNG files of 8-bit RGB images, minus the deflate step.
//
// The caller compresses the scanlines (zlib stream) and hands the result to
// png_file. Every scanline uses filter type 0 (None): event images are mostly
// runs of equal bytes, and unfiltered rows under run-length deflate are both
// the fastest and the smallest of the settings measured (Sub/Up filters and
// full LZ77 matching were larger and slower on sparse and dense recordings).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace zv::kern {

// Bytes of the filtered image data: one filter byte, then 3 * width bytes, per row.
inline size_t png_scanline_bytes(size_t width, size_t height) { return height * (1 + 3 * width); }

// Rows of an RGB image given by strides (in bytes) into `out`, each behind
// its filter byte 0. `out` holds png_scanline_bytes(width, height) bytes.
inline void png_scanlines(const uint8_t* img, size_t width, size_t height, std::ptrdiff_t row_stride,
                          std::ptrdiff_t col_stride, std::ptrdiff_t chan_stride, uint8_t* out) {
    const size_t row_bytes = 3 * width;
    const bool packed_rows = col_stride == 3 && chan_stride == 1;
    for (size_t y = 0; y < height; ++y) {
        const uint8_t* row = img + static_cast<std::ptrdiff_t>(y) * row_stride;
        *out++ = 0;
        if (packed_rows) {
            std::memcpy(out, row, row_bytes);
            out += row_bytes;
            continue;
        }
        for (size_t x = 0; x < width; ++x) {
            const uint8_t* px = row + static_cast<std::ptrdiff_t>(x) * col_stride;
            *out++ = px[0];
            *out++ = px[chan_stride];
            *out++ = px[2 * chan_stride];
        }
    }
}

namespace detail {

// CRC-32 (ISO 3309, reflected polynomial 0xEDB88320), eight table lanes.
inline const std::array<std::array<uint32_t, 256>, 8>& crc_tables() {
    static const auto tables = [] {
        std::array<std::array<uint32_t, 256>, 8> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][n] = c;
        }
        for (uint32_t n = 0; n < 256; ++n)
            for (size_t k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
        return t;
    }();
    return tables;
}

inline void put_be32(std::string& s, uint32_t v) {
    const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
    s.append(b, 4);
}

}  // namespace detail

// Running CRC-32: crc32(b, crc32(a)) == crc32(a + b); start from 0.
inline uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc = 0) {
    const auto& t = detail::crc_tables();
    uint32_t c = ~crc;
    while (std::endian::native == std::endian::little && n >= 8) {
        uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        lo ^= c;
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n--) c = t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return ~c;
}

// Appends one chunk: length, type, data, CRC of type and data.
inline void png_chunk(std::string& out, const char type[4], const uint8_t* data, size_t n) {
    detail::put_be32(out, static_cast<uint32_t>(n));
    out.append(type, 4);
    if (n) out.append(reinterpret_cast<const char*>(data), n);
    uint32_t crc = crc32(reinterpret_cast<const uint8_t*>(type), 4);
    crc = crc32(data, n, crc);
    detail::put_be32(out, crc);
}

// A complete PNG file: 8-bit RGB, no interlace, the zlib stream as one IDAT.
inline std::string png_file(uint32_t width, uint32_t height, const uint8_t* zlib_stream, size_t n) {
    std::string out;
    out.reserve(n + 64);
    out.append("\x89PNG\r\n\x1a\n", 8);
    uint8_t ihdr[13];
    for (int i = 0; i < 4; ++i) {
        ihdr[i] = static_cast<uint8_t>(width >> (24 - 8 * i));
        ihdr[4 + i] = static_cast<uint8_t>(height >> (24 - 8 * i));
    }
    ihdr[8] = 8;   // bit depth
    ihdr[9] = 2;   // colour type: truecolour
    ihdr[10] = 0;  // deflate
    ihdr[11] = 0;  // adaptive filtering (per-row filter bytes)
    ihdr[12] = 0;  // no interlace
    png_chunk(out, "IHDR", ihdr, sizeof ihdr);
    png_chunk(out, "IDAT", zlib_stream, n);
    png_chunk(out, "IEND", nullptr, 0);
    return out;
}

}  // namespace zv::kern
