// A video's frames: per pixel and polarity the decayed sum S = a S + C, shown
// through the tone curve 1 - exp(-S / gain) and a palette, scaled up by an
// integer factor. No Python here.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/stream/accumulators.hpp"

namespace zv::kern::stream {

// What a frame shows: S = a S + C per pixel and polarity, level = 1 - exp(-S / gain),
// colour = background + level_on (on - background) + level_off (off - background),
// clamped and rounded; each pixel drawn as scale x scale output pixels.
struct Palette {
    double background[3], on[3], off[3];
};

class FrameRenderer {
public:
    FrameRenderer(size_t width, size_t height, double a, double gain, const Palette& palette, size_t scale)
        : width_(width), height_(height), scale_(scale), a_(a), gain_(gain), palette_(palette),
          s_(2 * width * height, 0.0) {
        for (int ch = 0; ch < 3; ++ch) {
            const double b = palette.background[ch];
            reach_on_ = std::max(reach_on_, std::abs(palette.on[ch] - b));
            reach_off_ = std::max(reach_off_, std::abs(palette.off[ch] - b));
            background_[ch] = static_cast<uint8_t>(std::floor(std::clamp(b, 0.0, 255.0) + 0.5));
        }
    }

    size_t out_width() const { return width_ * scale_; }
    size_t out_height() const { return height_ * scale_; }

    // One frame from its count image (red OFF, green ON) into out (out_height x out_width x 3).
    void render(const uint8_t* counts, uint8_t* out) {
        const size_t ow = out_width();
        std::vector<uint8_t> row(3 * width_);
        for (size_t y = 0; y < height_; ++y) {
            for (size_t x = 0; x < width_; ++x) {
                const size_t i = y * width_ + x;
                double& s_on = s_[2 * i];
                double& s_off = s_[2 * i + 1];
                s_on = a_ * s_on + counts[3 * i + 1];
                s_off = a_ * s_off + counts[3 * i];
                // level <= S / gain, so a surface this faint moves no channel by half a step.
                if ((s_on * reach_on_ + s_off * reach_off_) < 0.5 * gain_) {
                    std::memcpy(&row[3 * x], background_, 3);
                    continue;
                }
                const double l_on = s_on == 0.0 ? 0.0 : 1.0 - std::exp(-s_on / gain_);
                const double l_off = s_off == 0.0 ? 0.0 : 1.0 - std::exp(-s_off / gain_);
                for (int ch = 0; ch < 3; ++ch) {
                    const double b = palette_.background[ch];
                    const double v = b + l_on * (palette_.on[ch] - b) + l_off * (palette_.off[ch] - b);
                    row[3 * x + ch] = static_cast<uint8_t>(std::floor(std::clamp(v, 0.0, 255.0) + 0.5));
                }
            }
            for (size_t ry = 0; ry < scale_; ++ry) {
                uint8_t* dst = out + ((y * scale_ + ry) * ow) * 3;
                if (scale_ == 1) {
                    std::memcpy(dst, row.data(), row.size());
                    continue;
                }
                for (size_t x = 0; x < width_; ++x)
                    for (size_t rx = 0; rx < scale_; ++rx) std::memcpy(dst + 3 * (x * scale_ + rx), &row[3 * x], 3);
            }
        }
    }

private:
    size_t width_, height_, scale_;
    double a_, gain_;
    Palette palette_;
    std::vector<double> s_;
    double reach_on_ = 0.0, reach_off_ = 0.0;  // the most a fully lit pixel moves a channel
    uint8_t background_[3] = {0, 0, 0};
};

}  // namespace zv::kern::stream
