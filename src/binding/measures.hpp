// Per-node measures for the graph page ({measure name: {node id: number}}):
// checked against the document and written as the page's measures document,
// which the viewer offers as colour modes.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cmath>

#include "binding/activity.hpp"
#include "binding/args.hpp"

namespace zv::measures {

namespace nb = nanobind;

// A measure's value as a float, or None for no value (None or NaN).
inline nb::object measure_value(nb::handle measure, nb::handle node, nb::handle value) {
    if (value.is_none()) return nb::none();
    if (PyBool_Check(value.ptr()) || PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
        !(PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr()) || PyNumber_Check(value.ptr())))
        raise(PyExc_TypeError, "Node data %R of node %R must be a number, not %.200s", measure.ptr(), node.ptr(),
              tp_name(value));
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1 && PyErr_Occurred()) rethrow();
    if (std::isnan(v)) return nb::none();
    if (!std::isfinite(v))
        raise(PyExc_ValueError, "Node data %R of node %R is not finite (%R)", measure.ptr(), node.ptr(), value.ptr());
    return nb::float_(v);
}

// {name: {id: float or None}} in the given order, each id as the document spells it.
inline nb::object measures_document(const Args& a) {
    nb::dict known = activity::document_node_ids(a[0]);
    nb::dict out;
    for (auto [name, values] : nb::borrow<nb::dict>(a[1])) {
        if (!PyUnicode_Check(name.ptr()))
            raise(PyExc_TypeError, "Node data names its measures with str, not %.200s", tp_name(name));
        if (!PyDict_Check(values.ptr()))
            raise(PyExc_TypeError, "Node data %R must be a dict of node identifier to number, not %.200s",
                  name.ptr(), tp_name(values));
        nb::dict per_node;
        for (auto [key, value] : nb::borrow<nb::dict>(values)) {
            PyObject* id = PyDict_GetItemWithError(known.ptr(), key.ptr());
            if (!id) {
                if (PyErr_Occurred()) rethrow();
                raise(PyExc_ValueError, "Node data %R names node %R, which is not in the document", name.ptr(),
                      key.ptr());
            }
            nb::object v = measure_value(name, key, value);
            if (PyDict_SetItem(per_node.ptr(), id, v.ptr()) < 0) rethrow();
        }
        if (PyDict_SetItem(out.ptr(), name.ptr(), per_node.ptr()) < 0) rethrow();
    }
    return out;
}

}  // namespace zv::measures
