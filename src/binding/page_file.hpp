// A page shown in the user's browser from a new temporary file. The host's
// facilities (`tempfile`, `webbrowser`) are looked up in the calling module's
// namespace at each call, so a replaced one is honoured.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include "binding/args.hpp"

namespace zv::page_file {

namespace nb = nanobind;
using namespace nb::literals;

// The page in a new temporary .html file (kept for the browser), written as
// UTF-8 since the template declares it; returns the file's path.
inline nb::object write_temporary_page(nb::handle module, nb::handle html) {
    nb::object file = module.attr("tempfile").attr("NamedTemporaryFile")(
        "mode"_a = "w", "suffix"_a = ".html", "delete"_a = false, "encoding"_a = "utf-8");
    nb::object path;
    try {
        file.attr("write")(html);
        path = file.attr("name");
    } catch (nb::python_error&) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    return path;
}

// A headless server or a remote kernel has no browser to open: say where the page
// is rather than stay silent. The path is returned all the same.
inline nb::object show_page(nb::handle module, nb::handle html) {
    nb::object path = write_temporary_page(module, html);
    nb::object url = checked(PyNumber_Add(nb::str("file://").ptr(), path.ptr()));
    int opened = 0;
    nb::object reason;
    try {
        nb::object result = module.attr("webbrowser").attr("open")(url);
        opened = PyObject_IsTrue(result.ptr());
        if (opened < 0) rethrow();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        opened = 0;
        reason = nb::borrow(e.value());
    }
    if (!opened) {
        const int failed = reason.is_valid()
            ? PyErr_WarnFormat(PyExc_UserWarning, 1, "could not open a browser (%S); the page was written to %S",
                               reason.ptr(), path.ptr())
            : PyErr_WarnFormat(PyExc_UserWarning, 1, "could not open a browser; the page was written to %S",
                               path.ptr());
        if (failed < 0) rethrow();
    }
    return path;
}

}  // namespace zv::page_file
