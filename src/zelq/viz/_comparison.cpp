// zelq.viz._comparison: how far the tensors of two graphs lie apart.
//
// Each side of a pair is a buffer or the base64 payload of an encoded array,
// read in place; kernels/diff.hpp compares every pair on every core with the
// GIL released, and kernels/summary.hpp draws a difference as the pages do.

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cmath>
#include <memory>
#include <string_view>
#include <vector>

#include "binding/args.hpp"
#include "binding/py.hpp"
#include "kernels/base64.hpp"
#include "kernels/diff.hpp"
#include "kernels/summary.hpp"

namespace nb = nanobind;
using namespace zv;

namespace {

nb::object& g_binascii_error = *new nb::object;  // never destroyed: it would outlive the interpreter

using py::set_item;

nb::object intern(const char* s) { return nb::borrow(py::interned(s)); }

double to_double(const nb::object& v) {
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) rethrow();
    return d;
}

nb::object make_float(double d) { return checked(PyFloat_FromDouble(d)); }

// One side of a pair: a C-contiguous buffer, or base64 text (a payload).
struct DiffSide {
    std::unique_ptr<py::Buffer> buffer;
    nb::object text;                 // the payload str, alive while the GIL is released
    std::vector<uint8_t> decoded;    // a payload that is not clean base64, decoded whole
    size_t count = 0;
};

// Decodes a payload whole and leniently (skipping characters outside the
// alphabet): for text that is not of the encoder's form.
void decode_whole(DiffSide& side, kern::diff::Source& src) {
    side.decoded.resize(src.text_len / 4 * 3 + 3);
    const kern::b64::Lenient r = kern::b64::decode_lenient(src.text, src.text_len, side.decoded.data());
    if (r.status != kern::b64::Status::Ok) raise(g_binascii_error.ptr(), "Incorrect padding");
    if (r.written % src.layout.itemsize)
        raise(PyExc_ValueError, "a payload's byte count is not a multiple of its element size");
    side.decoded.resize(r.written);
    side.count = r.written / src.layout.itemsize;
    src.raw = side.decoded.data();
}

kern::diff::Source diff_source(nb::handle data, nb::handle dtype_name, DiffSide& side) {
    kern::diff::Source src;
    Py_ssize_t len = 0;
    const char* name = PyUnicode_Check(dtype_name.ptr()) ? PyUnicode_AsUTF8AndSize(dtype_name.ptr(), &len) : nullptr;
    if (!name || !kern::diff::layout_of(std::string_view(name, static_cast<size_t>(len)), src.layout)) {
        PyErr_Clear();
        raise(PyExc_TypeError, "_diff_tensors cannot read elements of dtype %R", dtype_name.ptr());
    }
    const size_t itemsize = src.layout.itemsize;
    if (PyUnicode_Check(data.ptr())) {
        if (!PyUnicode_IS_ASCII(data.ptr())) raise(PyExc_ValueError, "a payload must be ASCII base64 text");
        side.text = nb::borrow(data);
        src.text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(data.ptr()));
        src.text_len = static_cast<size_t>(PyUnicode_GET_LENGTH(data.ptr()));
        const std::ptrdiff_t bytes = kern::b64::clean_size(src.text, src.text_len);
        if (bytes < 0 || static_cast<size_t>(bytes) % itemsize) {
            decode_whole(side, src);  // not of the encoder's form: read as decode_array would
        } else {
            side.count = static_cast<size_t>(bytes) / itemsize;
        }
    } else {
        side.buffer = std::make_unique<py::Buffer>();
        side.buffer->require(data, PyBUF_SIMPLE);
        src.raw = static_cast<const uint8_t*>(side.buffer->data());
        side.count = side.buffer->size() / itemsize;
    }
    return src;
}

nb::object diff_tensors(const Args& a) {
    const double rtol = to_double(nb::borrow(a[1])), atol = to_double(nb::borrow(a[2]));
    if (!(rtol >= 0) || !(atol >= 0)) raise(PyExc_ValueError, "rtol and atol must be numbers of at least 0");
    nb::object seq = checked(PySequence_Fast(a[0].ptr(), "pairs must be a sequence"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    std::vector<DiffSide> sides(2 * static_cast<size_t>(n));
    std::vector<kern::diff::Pair> pairs(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), i));
        auto four = unpack(item, 4);
        DiffSide &sa = sides[2 * i], &sb = sides[2 * i + 1];
        kern::diff::Pair& p = pairs[static_cast<size_t>(i)];
        p.a = diff_source(four[0], four[1], sa);
        p.b = diff_source(four[2], four[3], sb);
        // A payload whose length only looked clean counts its elements wrongly.
        if (sa.count != sb.count && !p.a.raw) decode_whole(sa, p.a);
        if (sa.count != sb.count && !p.b.raw) decode_whole(sb, p.b);
        if (sa.count != sb.count)
            raise(PyExc_ValueError, "the two tensors hold different numbers of elements (%zu and %zu)", sa.count,
                  sb.count);
        p.count = sa.count;
    }
    std::vector<kern::diff::Result> results;
    {
        nb::gil_scoped_release release;
        results = kern::diff::compare_all(pairs, rtol, atol);
    }
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (!results[i].bad_text) continue;
        auto& p = pairs[i];
        if (!p.a.raw) decode_whole(sides[2 * i], p.a);
        if (!p.b.raw) decode_whole(sides[2 * i + 1], p.b);
        if (sides[2 * i].count != sides[2 * i + 1].count)
            raise(PyExc_ValueError, "the two tensors hold different numbers of elements (%zu and %zu)",
                  sides[2 * i].count, sides[2 * i + 1].count);
        p.count = sides[2 * i].count;
        nb::gil_scoped_release release;
        results[i] = kern::diff::compare_all({p}, rtol, atol)[0];
    }
    nb::object out = checked(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const kern::diff::Result& r = results[static_cast<size_t>(i)];
        nb::object t = checked(Py_BuildValue("(ddddK)", r.max_abs, std::sqrt(r.diff_sq), std::sqrt(r.a_sq),
                                             std::sqrt(r.b_sq), static_cast<unsigned long long>(r.not_close)));
        PyList_SET_ITEM(out.ptr(), i, t.release().ptr());
    }
    return out;
}


// The pair of (a_data, a_dtype, b_data, b_dtype) with its sides held.
struct HeldPair {
    DiffSide a, b;
    kern::diff::Pair pair;
};

void hold_pair(nb::handle item, HeldPair& h) {
    auto four = unpack(item, 4);
    h.pair.a = diff_source(four[0], four[1], h.a);
    h.pair.b = diff_source(four[2], four[3], h.b);
    if (h.a.count != h.b.count && !h.pair.a.raw) decode_whole(h.a, h.pair.a);
    if (h.a.count != h.b.count && !h.pair.b.raw) decode_whole(h.b, h.pair.b);
    if (h.a.count != h.b.count)
        raise(PyExc_ValueError, "the two tensors hold different numbers of elements (%zu and %zu)", h.a.count,
              h.b.count);
    h.pair.count = h.a.count;
}

nb::object b64_floats(const std::vector<float>& v) {
    const size_t bytes = v.size() * sizeof(float);  // little-endian, as the pages read them
    nb::object text = checked(PyUnicode_New(static_cast<Py_ssize_t>(kern::b64::encoded_size(bytes)), 127));
    kern::b64::encode(reinterpret_cast<const uint8_t*>(v.data()), bytes,
                      reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.ptr())));
    return text;
}

// {"histogram": {min, max, counts}} of b - a and {"heatmap": {rows, cols, dtype, data}}
// of |b - a| in block means, as the pages draw a summarised tensor.
nb::object diff_summary(const Args& a) {
    HeldPair h;
    hold_pair(a[0], h);
    const long long rows = a.integer(1), cols = a.integer(2);
    if (rows < 0 || cols < 0 || static_cast<unsigned long long>(rows) * static_cast<unsigned long long>(cols) != h.pair.count)
        raise(PyExc_ValueError, "rows x cols must be the tensors' element count (%zu)", h.pair.count);
    const kern::summary::Shape2 dims{static_cast<size_t>(rows), static_cast<size_t>(cols)};
    kern::summary::Result signed_r, magnitude_r;
    bool clean = true;
    {
        nb::gil_scoped_release release;
        for (int pass = 0; pass < 2 && clean; ++pass) {
            auto numbers = [&](auto&& f) { clean = clean && kern::diff::for_each_difference(h.pair, pass == 1, f); };
            (pass ? magnitude_r : signed_r) = kern::summary::summarise(numbers, dims);
        }
    }
    if (!clean) {
        if (!h.pair.a.raw) decode_whole(h.a, h.pair.a);
        if (!h.pair.b.raw) decode_whole(h.b, h.pair.b);
        nb::gil_scoped_release release;
        for (int pass = 0; pass < 2; ++pass) {
            auto numbers = [&](auto&& f) { kern::diff::for_each_difference(h.pair, pass == 1, f); };
            (pass ? magnitude_r : signed_r) = kern::summary::summarise(numbers, dims);
        }
    }
    nb::object counts = checked(PyList_New(kern::summary::kBins));
    for (size_t i = 0; i < kern::summary::kBins; ++i)
        PyList_SET_ITEM(counts.ptr(), static_cast<Py_ssize_t>(i),
                        checked(PyLong_FromLongLong(signed_r.counts[i])).release().ptr());
    nb::object hist = checked(PyDict_New());
    set_item(hist, intern("min"), make_float(signed_r.min));
    set_item(hist, intern("max"), make_float(signed_r.max));
    set_item(hist, intern("counts"), counts);
    nb::object heat = checked(PyDict_New());
    set_item(heat, intern("rows"), checked(PyLong_FromSize_t(magnitude_r.rows)));
    set_item(heat, intern("cols"), checked(PyLong_FromSize_t(magnitude_r.cols)));
    set_item(heat, intern("dtype"), intern("float32"));
    set_item(heat, intern("data"), b64_floats(magnitude_r.heat));
    nb::object out = checked(PyDict_New());
    set_item(out, intern("histogram"), hist);
    set_item(out, intern("heatmap"), heat);
    return out;
}

}  // namespace

NB_MODULE(_comparison, m) {
    g_binascii_error = nb::module_::import_("binascii").attr("Error");
    def(m, "_diff_tensors", {arg("pairs"), arg("rtol"), arg("atol")}, diff_tensors,
        "How far tensors lie apart: for each (a_data, a_dtype, b_data, b_dtype) of `pairs`, the tuple\n"
        "(max_abs_diff, l2 of a - b, l2 of a, l2 of b, elements not close).\n\n"
        "Each data is a C-contiguous buffer or the base64 payload of an encoded array, read in\n"
        "place; each dtype is a NumPy name of a native bool, integer or float type. Close is\n"
        "NumPy's isclose(a, b, rtol, atol, equal_nan=True); pairs holding a NaN are left out of the\n"
        "maximum and the norms. All pairs run at once on every core, the GIL released. TypeError\n"
        "for another dtype; ValueError for sides of different element counts.");
    def(m, "_diff_summary", {arg("pair"), arg("rows", Kind::Int), arg("cols", Kind::Int)}, diff_summary,
        "The difference of a pair (a_data, a_dtype, b_data, b_dtype) as the pages draw it: the 64-bin\n"
        "histogram of b - a over its finite range and a heat map of |b - a| in block means, the\n"
        "tensors viewed as rows x cols (at most 64 x 64 blocks). Sides are read as _diff_tensors reads\n"
        "them; ValueError when rows x cols is not their element count.");
}
