// The health check's results and the space-time sample as Python values, for each module
// that gathers them: the inspection module's check, and the page pass of the streaming engine.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "kernels/health.hpp"
#include "kernels/hot_pixels.hpp"
#include "kernels/xyt_sample.hpp"

namespace zv::health {

namespace nb = nanobind;

// events, outside, times, backwards, sensor, gaps, bursts, dead lines, hot pixels (x, y, count)
// and the extents with and without the hot pixels (the filters' denoise bounds).
inline nb::dict result_of(const kern::HealthCheck& check) {
    nb::dict d;
    d["events"] = check.events();
    d["outside"] = check.outside();
    d["t_first"] = check.first_time();
    d["t_latest"] = check.latest_time();
    d["backwards"] = check.backwards();
    d["first_backwards"] = check.first_backwards();
    d["first_backwards_t"] = check.first_backwards_time();
    d["width"] = check.width();
    d["height"] = check.height();
    nb::list gaps, bursts;
    for (const auto& [a, b] : check.gaps()) gaps.append(nb::make_tuple(a, b));
    for (const auto& [a, c] : check.bursts()) bursts.append(nb::make_tuple(a, c));
    d["gaps"] = gaps;
    d["bursts"] = bursts;
    d["dead_rows"] = check.dead_rows();
    d["dead_columns"] = check.dead_columns();
    const std::vector<uint64_t> counts = check.pixel_counts();
    nb::list hot;
    const int64_t w = check.width();
    for (int64_t i : kern::hot_pixels(counts.data(), w, check.height()))
        hot.append(nb::make_tuple(i % w, i / w, counts[static_cast<size_t>(i)]));
    d["hot_pixels"] = hot;
    // The largest x and y (plus one) of the pixels with events that are not hot, and of all.
    std::vector<uint8_t> is_hot(counts.size(), 0);
    for (nb::handle p : hot) is_hot[static_cast<size_t>(nb::cast<int64_t>(p[1]) * w + nb::cast<int64_t>(p[0]))] = 1;
    int64_t cw = 0, ch = 0, aw = 0, ah = 0;
    for (int64_t y = 0; y < check.height(); ++y)
        for (int64_t x = 0; x < w; ++x) {
            const size_t i = static_cast<size_t>(y * w + x);
            if (!counts[i]) continue;
            aw = std::max(aw, x + 1);
            ah = std::max(ah, y + 1);
            if (!is_hot[i]) {
                cw = std::max(cw, x + 1);
                ch = std::max(ch, y + 1);
            }
        }
    d["cool_extent"] = nb::make_tuple(cw, ch);
    d["extent"] = nb::make_tuple(aw, ah);
    return d;
}

// (events in the window, step, x, y, t, on) of the sample; `copy(vector, dtype)` makes each array.
template <typename Copy>
nb::tuple sample_of(const kern::XytSample& s, Copy&& copy) {
    return nb::make_tuple(s.seen(), s.step(), copy(s.x(), "<u2"), copy(s.y(), "<u2"), copy(s.t(), "<i8"),
                          copy(s.on(), "u1"));
}

}  // namespace zv::health
