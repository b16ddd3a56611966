// NumPy arrays through the buffer protocol: read views of any strided array,
// writable views of arrays a module has just made, and small conversions.
// No NumPy headers: NumPy itself is reached through Python.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <limits>

#include "binding/args.hpp"
#include "binding/py.hpp"

namespace zv {

// Any strided read-only buffer, records included.
struct BufferView : py::Buffer {
    bool acquire(nb::handle obj) { return py::Buffer::acquire(obj, PyBUF_RECORDS_RO); }
    void require(nb::handle obj) { py::Buffer::require(obj, PyBUF_RECORDS_RO); }
};

// A writable, C-contiguous buffer of an array the module just created.
struct OutBuffer : py::Buffer {
    explicit OutBuffer(nb::handle arr) { require(arr, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS); }
};

// An array dimension (already accepted by NumPy as one) as int64, saturated.
inline int64_t dimension(nb::handle v) {
    nb::object i = checked(PyNumber_Index(v.ptr()));
    int overflow = 0;
    long long r = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (overflow > 0) return std::numeric_limits<int64_t>::max();
    if (overflow < 0) return std::numeric_limits<int64_t>::min();
    if (r == -1 && PyErr_Occurred()) rethrow();
    return r;
}

// A new array (numpy.empty, given) of `n` elements of `dtype` holding a copy of `data`.
template <typename T>
nb::object numpy_copy(nb::handle empty, const T* data, size_t n, const char* dtype) {
    nb::object arr = empty(n, dtype);
    if (n) {
        OutBuffer out(arr);
        std::memcpy(out.data(), data, n * sizeof(T));
    }
    return arr;
}

}  // namespace zv
