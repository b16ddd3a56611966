// Page templates: one reader for every module. A template is a text file
// beside the modules, read whole as UTF-8 (strict) with universal newlines.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include "binding/args.hpp"
#include "binding/py.hpp"

namespace zv::templates {

namespace nb = nanobind;

// How a template that is not there fails.
enum class Missing {
    Named,  // FileNotFoundError "Template not found: <path>", tested before the read
    Host,   // the read's own error, with no test before it
};

// The text of `dir` / `name` (`name` may hold subdirectories or be absolute;
// ".." is not resolved).
inline nb::object read(nb::handle dir, nb::handle name, Missing missing) {
    nb::object path = checked(PyNumber_TrueDivide(dir.ptr(), name.ptr()));
    if (missing == Missing::Named && !py::truth(path.attr("exists")())) {
        nb::object shown = checked(PyObject_Str(path.ptr()));
        raise(PyExc_FileNotFoundError, "Template not found: %U", shown.ptr());
    }
    return path.attr("read_text")(nb::arg("encoding") = "utf-8");
}

// The "templates" directory beside `module_file`, through the module's own
// `path_type` (its Path), found anew at each call.
inline nb::object beside(nb::handle path_type, nb::handle module_file) {
    nb::object here = path_type(module_file).attr("parent");
    return checked(PyNumber_TrueDivide(here.ptr(), nb::str("templates").ptr()));
}

}  // namespace zv::templates
