// Layer statistics for Python: each activity array read in place once
// (kernels/layer_stats.hpp, without the GIL) into exact per-neuron totals, and
// the tap-weighted total of such sums that gives a convolution's SynOps.
// The statistics themselves are assembled in zelq.viz.network.statistics.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstring>

#include "binding/activity.hpp"
#include "binding/args.hpp"
#include "binding/py.hpp"
#include "kernels/layer_stats.hpp"

namespace zv::layer_stats {

namespace nb = nanobind;

// An exact Python int of a 128-bit count.
inline nb::object py_int(unsigned __int128 v) {
    nb::object hi = checked(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v >> 64)));
    nb::object lo = checked(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v)));
    nb::object shift = checked(PyLong_FromLong(64));
    nb::object up = checked(PyNumber_Lshift(hi.ptr(), shift.ptr()));
    return checked(PyNumber_Or(up.ptr(), lo.ptr()));
}

// _count_totals(array, node): {"steps", "neurons", "sums", "carries", "spikes", "zeros", "silent",
// "saturated"}; "sums" is uint32 where every sum fits it, else uint64; "carries" (the bits of each
// sum above 64, as uint64) is None when every sum fits. The kernel writes the sums straight into
// the returned array.
inline nb::object count_totals(const Args& a) {
    const nb::handle node = a[1];
    activity::ActivityView view(a[0], node);
    const kern::Strided& s = view.strided();
    const int64_t n = kern::layer::neurons_of(s);
    const bool narrow = kern::layer::sums_fit_32(s);
    nb::object sums = activity::numpy().attr("empty")(n, narrow ? "uint32" : "uint64");
    py::Buffer out;
    out.require(sums, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    kern::layer::Totals t;
    unsigned __int128 spikes = 0;
    {
        nb::gil_scoped_release release;
        const int threads = static_cast<int>(activity::cores());
        if (narrow) {
            auto* p = static_cast<uint32_t*>(out.data());
            t = kern::layer::count_totals(s, p, threads);
            spikes = kern::layer::grand_total(p, static_cast<size_t>(n));
        } else {
            auto* p = static_cast<uint64_t*>(out.data());
            t = kern::layer::count_totals(s, p, threads);
            spikes = kern::layer::grand_total(p, static_cast<size_t>(n));
        }
    }
    if (t.nonfinite) raise(PyExc_ValueError, "Activity of node %R holds non-finite values", node.ptr());
    if (t.negative) raise(PyExc_ValueError, "Activity of node %R holds negative counts", node.ptr());
    if (t.fraction) raise(PyExc_ValueError, "Activity of node %R holds counts that are not whole numbers", node.ptr());
    if (t.huge) raise(PyExc_ValueError, "Activity of node %R holds counts of 2**128 or more", node.ptr());
    nb::dict result;
    result["steps"] = kern::layer::steps_of(s);
    result["neurons"] = n;
    result["sums"] = sums;
    nb::object total = py_int(spikes);
    nb::object carries = nb::none();
    if (!t.carries.empty()) {  // sums past 64 bits: the carries count 2**64 each
        nb::bytes c(reinterpret_cast<const char*>(t.carries.data()), t.carries.size() * sizeof(uint64_t));
        carries = activity::numpy().attr("frombuffer")(c, "uint64");
        nb::object high = checked(PyNumber_Lshift(
            py_int(kern::layer::grand_total(t.carries.data(), t.carries.size())).ptr(), nb::int_(64).ptr()));
        total = checked(PyNumber_Add(total.ptr(), high.ptr()));
    }
    result["carries"] = carries;
    result["spikes"] = total;
    result["zeros"] = nb::int_(t.zeros);
    result["silent"] = t.silent;
    result["saturated"] = t.saturated;
    return result;
}

// The items of a contiguous uint32 or uint64 array of exactly `n` items, held while the buffer is.
struct Sums {
    const void* data = nullptr;
    bool narrow = false;  // uint32
};

inline bool format_is(const Py_buffer& v, std::initializer_list<const char*> names) {
    if (!v.format) return false;
    for (const char* f : names)
        if (std::strcmp(v.format, f) == 0) return true;
    return false;
}

inline Sums sum_items(py::Buffer& buf, nb::handle obj, const char* what, size_t n) {
    buf.require(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    const Py_buffer& v = *buf;
    const bool wide = v.itemsize == 8 && format_is(v, {"Q", "L", "<Q", "=Q", "<L", "=L"});
    const bool narrow = v.itemsize == 4 && format_is(v, {"I", "L", "<I", "=I", "<L", "=L"});
    if (!wide && !narrow) raise(PyExc_TypeError, "%s must be a uint32 or uint64 array", what);
    if (buf.items() != n) raise(PyExc_ValueError, "%s holds %zu items, not %zu", what, buf.items(), n);
    return {v.buf, narrow};
}

// A contiguous uint64 array of exactly `n` items, held while the buffer is.
inline const uint64_t* u64_items(py::Buffer& buf, nb::handle obj, const char* what, size_t n) {
    buf.require(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    const Py_buffer& v = *buf;
    if (v.itemsize != 8 || !format_is(v, {"Q", "L", "<Q", "=Q", "<L", "=L"}))
        raise(PyExc_TypeError, "%s must be a uint64 array", what);
    if (buf.items() != n) raise(PyExc_ValueError, "%s holds %zu items, not %zu", what, buf.items(), n);
    return static_cast<const uint64_t*>(v.buf);
}

// _tap_total(sums, channels, rows, cols): the sum of sums (C, H, W) weighted by rows[y] * cols[x]
// (sums uint32 or uint64).
inline nb::object tap_total(const Args& a) {
    py::Buffer rows_buf, cols_buf, sums_buf;
    const long long C = a.integer(1);
    const Py_ssize_t H = py::length(a[2]), W = py::length(a[3]);
    if (C < 0) raise(PyExc_ValueError, "channels must be >= 0");
    const uint64_t* rows = u64_items(rows_buf, a[2], "rows", static_cast<size_t>(H));
    const uint64_t* cols = u64_items(cols_buf, a[3], "cols", static_cast<size_t>(W));
    const Sums sums = sum_items(sums_buf, a[0], "sums", static_cast<size_t>(C * H * W));
    unsigned __int128 total;
    {
        nb::gil_scoped_release release;
        total = sums.narrow ? kern::layer::tap_total(static_cast<const uint32_t*>(sums.data), C, H, W, rows, cols)
                            : kern::layer::tap_total(static_cast<const uint64_t*>(sums.data), C, H, W, rows, cols);
    }
    return py_int(total);
}

inline void define(nb::module_& m) {
    def(m, "_count_totals", {arg("array"), arg_none("node")}, count_totals,
        "Exact totals of one activity array (time first): per-neuron sums over every step (uint32\n"
        "where every sum fits, else uint64, with their bits above 64 in \"carries\", None when none),\n"
        "all spikes, zero entries, silent and saturated neurons. Raises ValueError naming `node` for\n"
        "negative, fractional or non-finite counts, TypeError for a non-numeric dtype.");
    def(m, "_tap_total", {arg("sums"), arg("channels", Kind::Int), arg("rows"), arg("cols")}, tap_total,
        "Sum over (c, y, x) of sums[c, y, x] * rows[y] * cols[x], as an exact int; sums is a\n"
        "contiguous uint32 or uint64 array, rows and cols contiguous uint64 arrays. Raises TypeError for another array type, ValueError for\n"
        "arrays whose lengths disagree.");
}

}  // namespace zv::layer_stats
