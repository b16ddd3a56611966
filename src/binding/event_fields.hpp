// The roles of an event array's fields: which field holds x, y, time and
// polarity, found by name among the names each role accepts, in priority order.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "binding/args.hpp"
#include "binding/events.hpp"
#include "binding/py.hpp"
#include "kernels/binning.hpp"

namespace zv::event_fields {

namespace nb = nanobind;

// (x_field, y_field, t_field, p_field), each a str or None. An object without
// a dtype raises the host's AttributeError.
inline nb::object roles(nb::handle events) {
    nb::object names = events.attr("dtype").attr("names");
    auto first_present = [&](std::initializer_list<const char*> candidates) -> nb::object {
        if (names.is_none()) return nb::none();
        for (const char* c : candidates) {
            nb::str s(c);
            int found = PySequence_Contains(names.ptr(), s.ptr());
            if (found < 0) rethrow();
            if (found) return s;
        }
        return nb::none();
    };
    nb::object t = first_present({"t", "ts", "time", "timestamp"});
    nb::object x = first_present({"x", "channel", "addr", "address"});
    nb::object y = first_present({"y", "row"});
    nb::object p = first_present({"p", "pol", "polarity", "on"});
    return nb::make_tuple(x, y, t, p);
}

// A whole-array reduction over zero elements has no identity.
inline void require_elements(const EventView& view, const char* reduction) {
    if (view.size() == 0)
        raise(PyExc_ValueError, "zero-size array to reduction operation %s which has no identity", reduction);
}

// The largest value of a field as a Python int, as int(field.max()) gives it.
inline nb::object field_max_int(nb::handle events, nb::handle name) {
    EventView view(events);
    nb::object fdtype = events.attr("dtype").attr("fields")[name][0];
    const std::string kind = nb::cast<std::string>(fdtype.attr("kind"));
    if (kind.size() != 1 || std::string("biuf").find(kind) == std::string::npos ||
        nb::len(nb::object(fdtype.attr("shape"))) != 0) {
        // Not a plain number: let NumPy and int() decide.
        nb::object mx = events[name].attr("max")();
        return checked(PyNumber_Long(mx.ptr()));
    }
    require_elements(view, "maximum");
    const kern::Column col = view.column(name);
    kern::ColumnMax m;
    {
        nb::gil_scoped_release release;
        m = kern::column_max(col, view.size());
    }
    if (m.is_float) return checked(PyNumber_Long(nb::float_(m.f).ptr()));
    if (m.is_unsigned) return checked(PyLong_FromUnsignedLongLong(m.u));
    return checked(PyLong_FromLongLong(m.i));
}

// A 16-bit integer field.
inline bool short_int(nb::handle events, nb::handle name) {
    nb::object fdtype = events.attr("dtype").attr("fields")[name][0];
    const std::string kind = nb::cast<std::string>(fdtype.attr("kind"));
    return (kind == "i" || kind == "u") && nb::cast<int>(fdtype.attr("itemsize")) == 2 &&
           nb::len(nb::object(fdtype.attr("shape"))) == 0;
}

// A plain integer or bool field, whose largest value always has an integer value.
inline bool integer(nb::handle events, nb::handle name) {
    nb::object fdtype = events.attr("dtype").attr("fields")[name][0];
    const std::string kind = nb::cast<std::string>(fdtype.attr("kind"));
    const int size = nb::cast<int>(fdtype.attr("itemsize"));
    const bool sized = kind == "b" ? size == 1 : (kind == "i" || kind == "u") && (size == 1 || size == 2 || size == 4 || size == 8);
    return sized && nb::len(nb::object(fdtype.attr("shape"))) == 0;
}

// The largest x and y as Python ints, in one pass over the records.
inline std::pair<nb::object, nb::object> xy_max_ints(nb::handle events, nb::handle x, nb::handle y) {
    EventView view(events);
    require_elements(view, "maximum");
    const kern::Column cx = view.column(x), cy = view.column(y);
    std::pair<kern::ColumnMax, kern::ColumnMax> m;
    {
        nb::gil_scoped_release release;
        m = kern::column_max_xy(cx, cy, view.size());
    }
    auto as_int = [](const kern::ColumnMax& c) {
        return c.is_unsigned ? checked(PyLong_FromUnsignedLongLong(c.u)) : checked(PyLong_FromLongLong(c.i));
    };
    return {as_int(m.first), as_int(m.second)};
}

// Sensor size (width, height) from the largest coordinates, (128, 128) without
// an x field; `roles` is the field finder of the caller's namespace.
inline nb::object sensor_size(nb::handle roles, nb::handle events) {
    auto f = unpack(roles(events), 4);  // x, y, t, p
    if (f[0].is_none()) return nb::make_tuple(128, 128);
    const bool empty = py::length(events) == 0;
    nb::object one = nb::int_(1);
    if (!empty && !f[1].is_none() && short_int(events, f[0]) && short_int(events, f[1])) {
        auto [mx, my] = xy_max_ints(events, f[0], f[1]);
        return nb::make_tuple(checked(PyNumber_Add(mx.ptr(), one.ptr())), checked(PyNumber_Add(my.ptr(), one.ptr())));
    }
    nb::object width = empty ? nb::object(nb::int_(128)) : checked(PyNumber_Add(field_max_int(events, f[0]).ptr(), one.ptr()));
    nb::object height;
    if (f[1].is_none()) height = one;
    else height = empty ? nb::object(nb::int_(128)) : checked(PyNumber_Add(field_max_int(events, f[1]).ptr(), one.ptr()));
    return nb::make_tuple(width, height);
}

}  // namespace zv::event_fields
