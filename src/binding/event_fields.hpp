// The roles of an event array's fields: which field holds x, y, time and
// polarity, found by name among the names each role accepts, in priority order.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <initializer_list>

#include "binding/args.hpp"

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

}  // namespace zv::event_fields
