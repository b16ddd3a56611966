// Read-only, zero-copy access to the fields of a NumPy record array through
// the buffer protocol. No NumPy headers: the dtype is read through Python.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <string>

#include "binding/args.hpp"
#include "binding/py.hpp"
#include "kernels/columns.hpp"

namespace zv {

class EventView {
public:
    // `events` must be an array; arrays of more than one dimension are
    // flattened (a view where NumPy can make one).
    explicit EventView(nb::handle events) {
        nb::object arr = nb::borrow(events);
        nb::object ndim = arr.attr("ndim");
        if (nb::cast<long>(ndim) != 1) arr = arr.attr("reshape")(-1);
        dtype_ = arr.attr("dtype");
        buffer_.require(arr, PyBUF_STRIDES);
        array_ = arr;
        n_ = static_cast<size_t>(view_.shape[0]);
    }
    EventView(const EventView&) = delete;
    EventView& operator=(const EventView&) = delete;

    size_t size() const { return n_; }

    // The column of a numeric field; TypeError for any other kind of field.
    kern::Column column(nb::handle name) const {
        nb::object entry = dtype_.attr("fields")[name];
        nb::object fdtype = entry[0];
        const Py_ssize_t offset = nb::cast<Py_ssize_t>(entry[1]);
        const std::string kind = nb::cast<std::string>(fdtype.attr("kind"));
        const Py_ssize_t size = nb::cast<Py_ssize_t>(fdtype.attr("itemsize"));
        const bool sub = nb::len(nb::object(fdtype.attr("shape"))) != 0;
        kern::Column c;
        if (!sub && kind == "b" && size == 1) c.kind = kern::NumKind::Bool;
        else if (!sub && kind == "i" && (size == 1 || size == 2 || size == 4 || size == 8)) c.kind = kern::NumKind::Int;
        else if (!sub && kind == "u" && (size == 1 || size == 2 || size == 4 || size == 8)) c.kind = kern::NumKind::UInt;
        else if (!sub && kind == "f" && (size == 2 || size == 4 || size == 8)) c.kind = kern::NumKind::Float;
        else {
            nb::str shown = nb::str(fdtype);
            raise(PyExc_TypeError, "Event field '%U' must hold real numbers, not %s", name.ptr(), shown.c_str());
        }
        if (offset < 0 || offset + size > view_.itemsize)
            raise(PyExc_ValueError, "Event field '%U' lies outside its record", name.ptr());
        const std::string order = nb::cast<std::string>(fdtype.attr("byteorder"));
        const bool little = std::endian::native == std::endian::little;
        c.swapped = (order == ">" && little) || (order == "<" && !little);
        c.size = static_cast<uint8_t>(size);
        c.base = static_cast<const std::byte*>(view_.buf) + offset;
        c.stride = view_.strides[0];
        return c;
    }

private:
    nb::object array_;
    nb::object dtype_;
    py::Buffer buffer_;
    const Py_buffer& view_ = *buffer_;
    size_t n_ = 0;
};

}  // namespace zv
