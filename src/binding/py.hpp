// Small Python C-API helpers shared by every module: each raises through
// rethrow() on a Python error, so callers never test return codes.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstddef>
#include <unordered_map>

#include "binding/args.hpp"

namespace zv::py {

namespace nb = nanobind;

// The interned str of a literal, made once per process: building and hashing
// the same key and attribute names again for every record costs a fifth of a
// walk over many small objects.
inline PyObject* interned(const char* s) {
    static std::unordered_map<const char*, PyObject*>& cache = *new std::unordered_map<const char*, PyObject*>;
    auto it = cache.find(s);
    if (it != cache.end()) return it->second;
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) rethrow();
    cache.emplace(s, o);  // kept for the life of the process
    return o;
}

// len(obj).
inline Py_ssize_t length(nb::handle obj) {
    const Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0) rethrow();
    return n;
}

// bool(v).
inline bool truth(nb::handle v) {
    const int t = PyObject_IsTrue(v.ptr());
    if (t < 0) rethrow();
    return t != 0;
}

// d[key] = value, for a dict d.
inline void set_item(nb::handle d, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0) rethrow();
}
inline void set_item(nb::handle d, const char* key, nb::handle value) { set_item(d, interned(key), value); }

// hasattr(obj, name): only AttributeError means "absent".
inline bool hasattr(nb::handle obj, const char* name) {
    PyObject* v = PyObject_GetAttr(obj.ptr(), interned(name));
    if (v) {
        Py_DECREF(v);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) rethrow();
    PyErr_Clear();
    return false;
}

// A global of `module`, read at call time; a deleted one is a NameError, as
// for any global name.
inline nb::object module_global(nb::handle module, const char* name) {
    PyObject* v = PyObject_GetAttr(module.ptr(), interned(name));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) rethrow();
        PyErr_Clear();
        raise(PyExc_NameError, "name '%s' is not defined", name);
    }
    return nb::steal(v);
}

// A buffer of an object, released however its holder's scope ends.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    // False, with no error pending, when `obj` does not export such a buffer.
    bool acquire(nb::handle obj, int flags) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, flags) < 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }
    // The buffer, or the exporter's error.
    void require(nb::handle obj, int flags) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, flags) < 0) rethrow();
        held_ = true;
    }
    const Py_buffer& operator*() const { return view_; }
    void* data() const { return view_.buf; }
    size_t size() const { return static_cast<size_t>(view_.len); }
    size_t items() const { return static_cast<size_t>(view_.len / (view_.itemsize ? view_.itemsize : 1)); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace zv::py
