// Base64 PNG text of packed RGB images, for the engine's frames, overview
// images and thumbnails: one writer per thread, its buffers reused from image
// to image. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kernels/base64.hpp"
#include "kernels/png.hpp"

namespace zv::kern::stream {

// Base64 text of PNGs of packed RGB images. Its buffers are reused from image
// to image: one writer per thread.
class PngWriter {
public:
    std::string base64(const uint8_t* rgb, size_t width, size_t height) {
        rows_.resize(png_scanline_bytes(width, height));
        png_scanlines(rgb, width, height, static_cast<std::ptrdiff_t>(3 * width), 3, 1, rows_.data());
        return base64_scanlines(rows_.data(), width, height);
    }

    // The same of an image already laid out as PNG scanlines (png_scanline_bytes(width, height) bytes).
    // `zeros`: spans known to be zero, if any.
    std::string base64_scanlines(const uint8_t* rows, size_t width, size_t height, const ZeroSpans* zeros = nullptr) {
        const auto [z, n] = zlib_.compress(rows, png_scanline_bytes(width, height), zeros);
        const std::string png = png_file(static_cast<uint32_t>(width), static_cast<uint32_t>(height), z, n);
        std::string text(b64::encoded_size(png.size()), '\0');
        b64::encode(reinterpret_cast<const uint8_t*>(png.data()), png.size(), text.data());
        return text;
    }

private:
    std::vector<uint8_t> rows_;
    ZlibWriter zlib_;
};

inline std::string png_base64(const uint8_t* rgb, size_t width, size_t height) {
    return PngWriter().base64(rgb, width, height);
}

}  // namespace zv::kern::stream
