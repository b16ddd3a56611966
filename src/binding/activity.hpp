// Recorded activity for the graph page: each node's spike or value array read
// in place (any NumPy-compatible array, any strides and byte order), summarised
// by kernels/activity.hpp without the GIL, and written as the page's activity
// document (rates, per-bin curves, histogram, a uint8 raster).
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "binding/args.hpp"
#include "binding/py.hpp"
#include "binding/text.hpp"
#include "kernels/activity.hpp"
#include "kernels/base64.hpp"

namespace zv::activity {

namespace nb = nanobind;

using kern::cores;

inline nb::object numpy() { return nb::module_::import_("numpy"); }


// A NumPy view of `obj`: the buffer protocol and __array__ through asarray,
// tensors that only speak DLPack through from_dlpack. No copy where NumPy
// can avoid one.
inline nb::object as_array(nb::handle obj) {
    nb::object np = numpy();
    if (!PyObject_CheckBuffer(obj.ptr()) && !py::hasattr(obj, "__array__") && py::hasattr(obj, "__dlpack__"))
        return np.attr("from_dlpack")(obj);
    return np.attr("asarray")(obj);
}

// A held read-only view of an activity array and its layout for the kernel.
class ActivityView {
public:
    ActivityView(nb::handle obj, nb::handle node) {
        array_ = as_array(obj);
        nb::object dtype = array_.attr("dtype");
        const std::string kind = nb::cast<std::string>(dtype.attr("kind"));
        const Py_ssize_t size = nb::cast<Py_ssize_t>(dtype.attr("itemsize"));
        kern::Strided& a = layout_;
        if (kind == "b" && size == 1) a.kind = kern::NumKind::Bool;
        else if (kind == "i" && (size == 1 || size == 2 || size == 4 || size == 8)) a.kind = kern::NumKind::Int;
        else if (kind == "u" && (size == 1 || size == 2 || size == 4 || size == 8)) a.kind = kern::NumKind::UInt;
        else if (kind == "f" && (size == 2 || size == 4 || size == 8)) a.kind = kern::NumKind::Float;
        else {
            nb::str shown = nb::str(dtype);
            raise(PyExc_TypeError, "Activity of node %R must hold real numbers, not %s", node.ptr(), shown.c_str());
        }
        a.size = static_cast<uint8_t>(size);
        const std::string order = nb::cast<std::string>(dtype.attr("byteorder"));
        const bool little = std::endian::native == std::endian::little;
        a.swapped = (order == ">" && little) || (order == "<" && !little);
        buffer_.require(array_, PyBUF_STRIDES);
        const Py_buffer& view_ = *buffer_;
        if (view_.ndim == 0) raise(PyExc_ValueError, "Activity of node %R has no time axis (a 0-d array)", node.ptr());
        for (int d = 0; d < view_.ndim; ++d) {
            a.shape.push_back(view_.shape[d]);
            a.strides.push_back(view_.strides[d]);
        }
        if (a.shape[0] == 0) raise(PyExc_ValueError, "Activity of node %R has no time steps", node.ptr());
        for (size_t d = 1; d < a.shape.size(); ++d)
            if (a.shape[d] == 0) raise(PyExc_ValueError, "Activity of node %R has no neurons", node.ptr());
        a.base = static_cast<const std::byte*>(view_.buf);
    }

    const kern::Strided& strided() const { return layout_; }

    nb::object dtype_name() const { return checked(PyObject_Str(nb::object(array_.attr("dtype")).ptr())); }

    kern::ActivitySummary summarize(nb::handle node) const {
        kern::ActivitySummary s;
        {
            nb::gil_scoped_release release;
            s = kern::summarize_activity(layout_, static_cast<int>(cores()));
        }
        if (!s.finite) raise(PyExc_ValueError, "Activity of node %R holds non-finite values", node.ptr());
        return s;
    }

private:
    nb::object array_;
    py::Buffer buffer_;  // after array_: released before it
    kern::Strided layout_;
};

inline nb::list float_list(const std::vector<double>& v, double scale) {
    nb::list out;
    for (double x : v) out.append(nb::float_(x * scale));
    return out;
}

// Six significant digits: what the page can show, at a third of the JSON.
inline nb::object short_float(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return nb::float_(std::strtod(buf, nullptr));
}

inline nb::list short_list(const std::vector<double>& v, double scale) {
    nb::list out;
    for (double x : v) out.append(short_float(x * scale));
    return out;
}

inline nb::object summarize_activity(const Args& a) {
    ActivityView view(a[0], a[1]);
    const kern::ActivitySummary s = view.summarize(a[1]);
    nb::bytes raster(reinterpret_cast<const char*>(s.raster.data()), s.raster.size() * sizeof(float));
    nb::dict out;
    out["steps"] = s.steps;
    out["neurons"] = s.neurons;
    out["counts"] = s.counts;
    out["mean"] = s.mean;
    out["population"] = float_list(s.population, 1);
    out["peak"] = float_list(s.peak, 1);
    out["silent"] = float_list(s.silent, 1);
    out["silent_all"] = s.silent_all;
    out["raster"] = numpy().attr("frombuffer")(raster, "float32").attr("reshape")(s.bins, s.raster_neurons);
    out["hist_lo"] = s.hist_lo;
    out["hist_hi"] = s.hist_hi;
    nb::list hist;
    for (int64_t c : s.histogram) hist.append(c);
    out["histogram"] = hist;
    return out;
}

// The raster cells as bytes 0..255 over [lo, hi], base64.
inline nb::dict raster_record(const kern::ActivitySummary& s, double scale) {
    double lo = INFINITY, hi = -INFINITY;
    for (float v : s.raster) {
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    if (s.counts) lo = 0;
    std::string bytes(s.raster.size(), '\0');
    const double span = hi - lo;
    if (span > 0)
        for (size_t i = 0; i < s.raster.size(); ++i)
            bytes[i] = static_cast<char>(static_cast<uint8_t>(std::lround((s.raster[i] - lo) / span * 255.0)));
    std::string text(kern::b64::encoded_size(bytes.size()), '\0');
    kern::b64::encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), text.data());
    nb::dict r;
    r["bins"] = s.bins;
    r["neurons"] = s.raster_neurons;
    r["lo"] = short_float(lo * scale);
    r["hi"] = short_float(hi * scale);
    r["data"] = from_utf8(text);
    return r;
}

inline double time_step(nb::handle dt) {
    if (dt.is_none()) return 0;
    if (PyUnicode_Check(dt.ptr()) || PyBool_Check(dt.ptr()) || !PyNumber_Check(dt.ptr())) refuse("dt", "float", dt);
    const double v = PyFloat_AsDouble(dt.ptr());
    if (v == -1 && PyErr_Occurred()) rethrow();
    if (!(v > 0) || !std::isfinite(v))
        raise(PyExc_ValueError, "dt must be a positive number of seconds (got %R)", dt.ptr());
    if (!std::isfinite(1.0 / v))
        raise(PyExc_ValueError, "dt of %R seconds is too small: one spike a step would be an infinite rate", dt.ptr());
    return v;
}

// The node identifiers of viewer document `data`, each mapped to itself (an
// unhashable identifier names nothing).
inline nb::dict document_node_ids(nb::handle data) {
    nb::dict known;
    nb::object nodes = nb::borrow(PyDict_GetItemString(data.ptr(), "nodes"));
    if (nodes.is_valid() && !nodes.is_none()) {
        nb::object it = checked(PyObject_GetIter(nodes.ptr()));
        while (PyObject* rec = PyIter_Next(it.ptr())) {
            nb::object r = nb::steal(rec);
            if (!PyDict_Check(rec)) continue;
            PyObject* id = PyDict_GetItemString(rec, "id");
            if (!id) continue;
            if (PyDict_SetItem(known.ptr(), id, id) < 0) PyErr_Clear();
        }
        if (PyErr_Occurred()) rethrow();
    }
    return known;
}

// The neuron counts a step that each node's declared output shape allows: all its
// neurons (the product of its sides) or a summary per leading side (per channel, per row),
// for the nodes that declare it as a list or tuple of whole numbers; and the shape itself.
struct DeclaredShape {
    nb::object shape;
    std::vector<int64_t> allowed;
};

inline std::unordered_map<PyObject*, DeclaredShape> declared_neurons(nb::handle data, nb::dict known) {
    std::unordered_map<PyObject*, DeclaredShape> out;
    PyObject* nodes = PyDict_GetItemString(data.ptr(), "nodes");
    if (!nodes || !PyList_Check(nodes)) return out;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes); ++i) {
        PyObject* rec = PyList_GET_ITEM(nodes, i);
        if (!PyDict_Check(rec)) continue;
        PyObject* id = PyDict_GetItemString(rec, "id");
        PyObject* shape = PyDict_GetItemString(rec, "output_shape");
        if (!id || !shape || !(PyList_Check(shape) || PyTuple_Check(shape))) continue;
        PyObject* canon = PyDict_GetItemWithError(known.ptr(), id);  // the identifier the activity is keyed by
        if (!canon) { PyErr_Clear(); continue; }
        nb::object seq = nb::steal(PySequence_Fast(shape, ""));
        if (!seq.is_valid()) { PyErr_Clear(); continue; }
        DeclaredShape d{nb::borrow(shape), {}};
        int64_t n = 1;
        bool whole = PySequence_Fast_GET_SIZE(seq.ptr()) > 0;
        for (Py_ssize_t k = 0; whole && k < PySequence_Fast_GET_SIZE(seq.ptr()); ++k) {
            PyObject* side = PySequence_Fast_GET_ITEM(seq.ptr(), k);
            const long long v = PyLong_Check(side) && !PyBool_Check(side) ? PyLong_AsLongLong(side) : -1;
            if (v == -1 && PyErr_Occurred()) PyErr_Clear();
            if (v < 1 || n > (int64_t{1} << 40) / v) whole = false;
            else d.allowed.push_back(n *= v);
        }
        if (whole) out[canon] = std::move(d);
    }
    return out;
}

inline nb::object activity_document(const Args& a) {
    const double dt = time_step(a[2]);
    const double rate = dt > 0 ? 1.0 / dt : 1.0;
    nb::dict known = document_node_ids(a[0]);
    const auto declared = declared_neurons(a[0], known);
    nb::list out_nodes;
    int64_t max_bins = 0;
    for (auto [key, value] : nb::borrow<nb::dict>(a[1])) {
        PyObject* id = PyDict_GetItemWithError(known.ptr(), key.ptr());
        if (!id) {
            if (PyErr_Occurred()) rethrow();
            raise(PyExc_ValueError, "Activity names node %R, which is not in the document", key.ptr());
        }
        ActivityView view(value, key);
        const kern::ActivitySummary s = view.summarize(key);
        if (auto it = declared.find(id); it != declared.end() &&
            std::find(it->second.allowed.begin(), it->second.allowed.end(), s.neurons) == it->second.allowed.end())
            raise(PyExc_ValueError, "Activity of node %R holds %lld neurons a step, which does not fit the node's "
                  "output shape %R (%lld neurons)", key.ptr(), static_cast<long long>(s.neurons),
                  it->second.shape.ptr(), static_cast<long long>(it->second.allowed.back()));
        const double scale = s.counts ? rate : 1.0;
        double peak = -INFINITY;
        for (double p : s.peak) peak = p > peak ? p : peak;
        if (!std::isfinite(s.mean * scale) || !std::isfinite(peak * scale) || !std::isfinite(s.hist_hi * scale))
            raise(PyExc_ValueError, "Activity of node %R: its rates overflow (a peak of %R a step at dt=%R s)",
                  key.ptr(), nb::float_(peak).ptr(), a[2].ptr());
        max_bins = std::max(max_bins, s.bins);
        nb::dict n;
        n["id"] = nb::borrow(id);
        n["kind"] = s.counts ? "counts" : "values";
        n["steps"] = s.steps;
        n["neurons"] = s.neurons;
        n["dtype"] = view.dtype_name();
        n["mean"] = short_float(s.mean * scale);
        n["peak"] = short_float(peak * scale);
        n["silent"] = s.counts ? short_float(s.silent_all) : nb::none();
        n["population"] = short_list(s.population, scale);
        n["peak_bins"] = short_list(s.peak, scale);
        n["silent_bins"] = s.counts ? nb::object(short_list(s.silent, 1)) : nb::none();
        nb::dict h;
        h["lo"] = short_float(s.hist_lo * scale);
        h["hi"] = short_float(s.hist_hi * scale);
        nb::list counts;
        for (int64_t c : s.histogram) counts.append(c);
        h["counts"] = counts;
        n["histogram"] = h;
        n["raster"] = raster_record(s, scale);
        out_nodes.append(n);
    }
    nb::dict doc;
    doc["unit"] = dt > 0 ? "Hz" : "spikes/step";
    doc["dt"] = dt > 0 ? nb::object(nb::float_(dt)) : nb::none();
    doc["bins"] = max_bins;
    doc["nodes"] = out_nodes;
    return doc;
}

}  // namespace zv::activity
