// Images as base64 PNG text, the form the pages embed them in: (H, W, 3)
// uint8 images are written natively (kernels/png.hpp), any other through Pillow.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "binding/args.hpp"
#include "binding/numpy.hpp"
#include "kernels/base64.hpp"
#include "kernels/png.hpp"

namespace zv::png_text {

namespace nb = nanobind;
using namespace nb::literals;

inline constexpr const char* kPillowMissing =
    "Pillow is required for spike visualization but was not found. This is a required dependency of "
    "zelqviz. Install with: pip install pillow>=9.0";

// Raise `type(message)` as a `raise` inside an `except` block for `handled`
// would: the handled error becomes the new one's context.
[[noreturn]] inline void raise_while_handling(nb::handle handled, PyObject* type, const char* message) {
    PyObject* previous = PyErr_GetHandledException();
    PyErr_SetHandledException(handled.ptr());
    PyErr_SetString(type, message);
    PyErr_SetHandledException(previous);
    Py_XDECREF(previous);
    throw nb::python_error();
}

// Pillow's Image module, imported at every call (the flag is not consulted).
inline nb::object import_pillow() {
    try {
        return nb::module_::import_("PIL.Image");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        raise_while_handling(e.value(), PyExc_ImportError, kPillowMissing);
    }
}

// Base64 text of n bytes, as a str.
inline nb::object base64_text(const uint8_t* data, size_t n) {
    nb::object text = checked(PyUnicode_New(static_cast<Py_ssize_t>(kern::b64::encoded_size(n)), 127));
    kern::b64::encode(data, n, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.ptr())));
    return text;
}

// Base64 PNG text of an (H, W, 3) uint8 buffer, written natively (see kernels/png.hpp:
// unfiltered rows, run-length deflate; several times faster than Pillow's
// defaults and smaller on event images). An invalid handle when the object
// is no such image; Pillow then decides.
inline nb::object png_base64(nb::handle img) {
    BufferView buffer;
    if (!buffer.acquire(img)) return {};
    const Py_buffer& v = *buffer;
    const char* fmt = v.format ? v.format : "B";
    if (*fmt == '<' || *fmt == '>' || *fmt == '=' || *fmt == '@' || *fmt == '!') ++fmt;
    if (v.ndim != 3 || v.itemsize != 1 || std::strcmp(fmt, "B") != 0 || v.shape[2] != 3 || v.shape[0] <= 0 ||
        v.shape[1] <= 0 || v.shape[0] > INT32_MAX || v.shape[1] > INT32_MAX)
        return {};
    const size_t height = static_cast<size_t>(v.shape[0]), width = static_cast<size_t>(v.shape[1]);
    std::string png;
    {
        nb::gil_scoped_release release;
        std::vector<uint8_t> rows(kern::png_scanline_bytes(width, height));
        kern::png_scanlines(static_cast<const uint8_t*>(v.buf), width, height, v.strides[0], v.strides[1],
                            v.strides[2], rows.data());
        const std::string stream = kern::zlib_rle(rows.data(), rows.size());
        png = kern::png_file(static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                             reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
    }
    return base64_text(reinterpret_cast<const uint8_t*>(png.data()), png.size());
}

// Base64 PNG text of an image: non-uint8 images are multiplied by 255 and
// truncated; Pillow is imported at every call, or with `pillow_first` false only for
// the images it writes (a page's own images never need it, nor the 20 ms its import
// takes). `io` is the host's io module and `uint8` NumPy's, both as the caller's
// namespace holds them.
inline nb::object encode_image(nb::handle io, nb::handle uint8, nb::handle image, bool pillow_first = true) {
    nb::object image_module = pillow_first ? import_pillow() : nb::object();
    nb::object img = nb::borrow(image);
    const int other = PyObject_RichCompareBool(img.attr("dtype").ptr(), uint8.ptr(), Py_NE);
    if (other < 0) rethrow();
    if (other) img = checked(PyNumber_Multiply(img.ptr(), nb::int_(255).ptr())).attr("astype")(uint8);
    nb::object text = png_base64(img);
    if (text.is_valid()) return text;
    // Other shapes and layouts: Pillow picks the mode, or refuses.
    if (!image_module.is_valid()) image_module = import_pillow();
    nb::object buffer = io.attr("BytesIO")();
    image_module.attr("fromarray")(img).attr("save")(buffer, "format"_a = "PNG");
    nb::object png = buffer.attr("getvalue")();
    return base64_text(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(png.ptr())),
                       static_cast<size_t>(PyBytes_GET_SIZE(png.ptr())));
}

}  // namespace zv::png_text
