// The noise filters' settings from Python values, for each module that filters:
// the inspection module's stage and the streaming engine's native feed.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "binding/args.hpp"
#include "kernels/filters.hpp"

namespace zv::filter_binding {

namespace nb = nanobind;

// Sensors beyond this many pixels would need gigabytes of per-pixel memory.
inline constexpr int64_t kMaxPixels = int64_t{1} << 26;

// A filter time from None (off), an int (summed in integers, as the reference does) or a float.
inline kern::FilterTime filter_time(nb::handle v) {
    kern::FilterTime ft;
    if (v.is_none()) return ft;
    if (PyLong_Check(v.ptr())) {
        ft.whole = PyLong_AsLongLong(v.ptr());
        if (ft.whole == -1 && PyErr_Occurred()) rethrow();
        ft.is_whole = true;
        ft.value = static_cast<double>(ft.whole);
    } else {
        ft.value = PyFloat_AsDouble(v.ptr());
        if (ft.value == -1.0 && PyErr_Occurred()) rethrow();
    }
    return ft;
}

// The filters on a w x h sensor: hot pixels by index (y * w + x), the denoise bounds dw x dh.
inline kern::FilterSettings settings(int64_t w, int64_t h, nb::handle denoise, nb::handle refractory,
                                     const std::vector<int64_t>& hot, int64_t dw, int64_t dh) {
    if (w < 1 || h < 1 || w > kMaxPixels / h)
        raise(PyExc_ValueError, "a sensor of %lld x %lld pixels is too large to filter", static_cast<long long>(w),
              static_cast<long long>(h));
    kern::FilterSettings s;
    s.width = w;
    s.height = h;
    s.denoise = filter_time(denoise);
    s.refractory = filter_time(refractory);
    s.denoise_width = std::clamp<int64_t>(dw, 0, w);
    s.denoise_height = std::clamp<int64_t>(dh, 0, h);
    if (!hot.empty()) {
        s.hot.assign(static_cast<size_t>(w * h), 0);
        for (int64_t i : hot)
            if (i >= 0 && i < w * h) s.hot[static_cast<size_t>(i)] = 1;
    }
    return s;
}

// How many events each stage removed, and how many it kept, as a dict.
inline nb::dict counts_of(const kern::FilterCounts& c) {
    nb::dict d;
    d["outside"] = c.outside;
    d["hot"] = c.hot;
    d["denoise"] = c.denoise;
    d["refractory"] = c.refractory;
    d["kept"] = c.kept;
    return d;
}

}  // namespace zv::filter_binding
