// Python text to and from UTF-8 for the text kernels. Lone surrogates, which
// JSON text and titles may carry, pass through both ways unchanged.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "binding/args.hpp"
#include "kernels/escape.hpp"

namespace zv {

inline std::string utf8(nb::handle s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (p) return std::string(p, static_cast<size_t>(n));
    PyErr_Clear();
    nb::object b = checked(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
}

inline nb::object from_utf8(std::string_view s) {
    return checked(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass"));
}

// The page-title escape of a str: & < > " ' as entities.
inline nb::object escaped_html(nb::handle text) { return from_utf8(kern::html_escape(utf8(text))); }

}  // namespace zv
