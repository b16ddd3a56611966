// Argument binding shared by every public function of the four modules.
//
// Functions are registered as plain builtin functions (vectorcall), so that
// `inspect.signature` reads their text signature and every call error and
// refusal carries one fixed wording, whatever the module.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

namespace zv {

namespace nb = nanobind;

// Raise a Python exception from C++: set it, then unwind as nb::python_error.
[[noreturn]] inline void raise(PyObject* type, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    PyErr_FormatV(type, fmt, ap);
    va_end(ap);
    throw nb::python_error();
}

// Turn a pending Python error (a failed C-API call) into a C++ unwind.
[[noreturn]] inline void rethrow() { throw nb::python_error(); }

inline nb::object checked(PyObject* result) {
    if (!result) rethrow();
    return nb::steal(result);
}

inline const char* tp_name(nb::handle h) { return Py_TYPE(h.ptr())->tp_name; }

[[noreturn]] inline void refuse(const char* param, const char* expected, nb::handle got) {
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
          param, expected, tp_name(got));
}

// How a parameter is accepted. A typed parameter whose default is None also
// accepts None; nothing else is loosened.
enum class Kind {
    Any,      // any object, unchanged
    Tuple,    // exactly a tuple
    Dict,     // exactly a dict
    Str,      // exactly a str
    Int,      // any number, truncated to a Python int
    Truth,    // any object, reduced to True or False
    OptBool,  // exactly a bool (or None)
};

struct Param {
    const char* name;
    Kind kind = Kind::Any;
    nb::object fallback{};  // default value; invalid handle = required
    bool kw_only = false;   // declared after `*`: never taken by position
    bool required() const { return !fallback.is_valid(); }
};

inline Param arg(const char* name, Kind kind = Kind::Any) { return Param{name, kind, {}}; }

template <typename T>
Param arg(const char* name, Kind kind, T&& fallback) {
    return Param{name, kind, nb::cast(std::forward<T>(fallback))};
}

inline Param arg_none(const char* name, Kind kind = Kind::Any) { return Param{name, kind, nb::none()}; }

// `p` as a keyword-only parameter. Keyword-only parameters follow every
// positional one in the list.
inline Param kw_only(Param p) {
    p.kw_only = true;
    return p;
}

// Raised by wrong positional counts and missing arguments, in the
// traditional wording of compiled extension functions.
[[noreturn]] inline void raise_arg_count(const char* func, Py_ssize_t min, Py_ssize_t max, Py_ssize_t found) {
    Py_ssize_t expected = found < min ? min : max;
    const char* more_or_less = found < min ? "at least" : "at most";
    if (min == max) more_or_less = "exactly";
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, more_or_less,
          expected, expected == 1 ? "" : "s", found);
}

// The values of one call, in parameter order, after conversion.
class Args {
public:
    nb::handle operator[](size_t i) const { return values_[i]; }
    bool is_none(size_t i) const { return values_[i].is_none(); }
    bool truth(size_t i) const { return values_[i].ptr() == Py_True; }
    // A converted Int parameter as a C integer; OverflowError when it does not fit.
    long long integer(size_t i) const {
        long long v = PyLong_AsLongLong(values_[i].ptr());
        if (v == -1 && PyErr_Occurred()) rethrow();
        return v;
    }
    nb::dict kwargs() const { return extra_; }

private:
    friend class Function;
    std::vector<nb::object> values_;
    nb::dict extra_;
};

using Impl = nb::object (*)(const Args&);

class Function {
public:
    Function(const char* name, std::vector<Param> params, Impl impl, bool var_kwargs)
        : name_(name), params_(std::move(params)), impl_(impl), var_kwargs_(var_kwargs) {
        for (const Param& p : params_) {
            if (p.kw_only) continue;
            ++n_positional_;
            n_required_ += p.required() ? 1 : 0;
        }
    }

    Args bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
        const Py_ssize_t n_params = n_positional_;
        if (nargs > n_params) raise_arg_count(name_, n_required_, n_params, nargs);

        Args out;
        out.values_.resize(params_.size());
        for (Py_ssize_t i = 0; i < nargs; ++i) out.values_[i] = nb::borrow(args[i]);

        const Py_ssize_t n_kw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        std::vector<bool> used(n_kw, false);
        // Required parameters first, in order: a missing one is reported
        // before any keyword problem.
        for (Py_ssize_t i = nargs; i < n_required_; ++i) {
            Py_ssize_t k = find_keyword(kwnames, params_[i].name);
            if (k < 0) raise_arg_count(name_, n_required_, n_params, i);
            out.values_[i] = nb::borrow(args[nargs + k]);
            used[k] = true;
        }
        if (var_kwargs_) out.extra_ = nb::dict();
        for (Py_ssize_t k = 0; k < n_kw; ++k) {
            if (used[k]) continue;
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t i = find_param(key);
            if (i >= 0 && out.values_[i].is_valid()) {
                raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name_, key);
            } else if (i >= 0) {
                out.values_[i] = nb::borrow(args[nargs + k]);
            } else if (var_kwargs_) {
                if (PyDict_SetItem(out.extra_.ptr(), key, args[nargs + k]) < 0) rethrow();
            } else {
                raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name_, key);
            }
        }
        for (size_t i = 0; i < params_.size(); ++i) {
            if (out.values_[i].is_valid()) continue;
            if (params_[i].required())
                raise(PyExc_TypeError, "%s() missing required keyword-only argument: '%s'", name_, params_[i].name);
            out.values_[i] = params_[i].fallback;
        }

        // Numbers and truth values are converted first, then exact types are
        // tested, each in parameter order; all of it before any work.
        for (size_t i = 0; i < params_.size(); ++i) convert(params_[i], out.values_[i]);
        for (size_t i = 0; i < params_.size(); ++i) check_type(params_[i], out.values_[i]);
        return out;
    }

    nb::object call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
        return impl_(bind(args, nargs, kwnames));
    }

    const char* name() const { return name_; }

    // "name(a, b=None, *, c='x', **kwargs)\n--\n\n" + doc, for inspect.signature.
    std::string docstring(const char* doc) const {
        std::string s = std::string(name_) + "(";
        for (size_t i = 0; i < params_.size(); ++i) {
            if (i) s += ", ";
            if (params_[i].kw_only && (i == 0 || !params_[i - 1].kw_only)) s += "*, ";
            s += params_[i].name;
            if (!params_[i].required()) {
                nb::str r = nb::repr(params_[i].fallback);
                s += "=";
                s += r.c_str();
            }
        }
        if (var_kwargs_) s += params_.empty() ? "**kwargs" : ", **kwargs";
        s += ")\n--\n\n";
        s += doc;
        return s;
    }

private:
    static Py_ssize_t find_keyword(PyObject* kwnames, const char* name) {
        if (!kwnames) return -1;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) return k;
        }
        return -1;
    }

    Py_ssize_t find_param(PyObject* key) const {
        if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%s() keywords must be strings", name_);
        for (size_t i = 0; i < params_.size(); ++i)
            if (PyUnicode_CompareWithASCIIString(key, params_[i].name) == 0) return static_cast<Py_ssize_t>(i);
        return -1;
    }

    static bool none_allowed(const Param& p) { return !p.required() && p.fallback.is_none(); }

    static void convert(const Param& p, nb::object& v) {
        if (p.kind == Kind::Int) {
            if (v.is_none() && none_allowed(p)) return;
            if (PyLong_CheckExact(v.ptr())) return;
            // Text is not a number here, even though int() would parse it.
            if (PyUnicode_Check(v.ptr()) || PyBytes_Check(v.ptr()) || PyByteArray_Check(v.ptr()) ||
                !PyNumber_Check(v.ptr()))
                refuse(p.name, "int", v);
            v = checked(PyNumber_Long(v.ptr()));
        } else if (p.kind == Kind::Truth) {
            int t = PyObject_IsTrue(v.ptr());
            if (t < 0) rethrow();
            v = nb::borrow(t ? Py_True : Py_False);
        }
    }

    static void check_type(const Param& p, const nb::object& v) {
        PyTypeObject* want = nullptr;
        const char* want_name = nullptr;
        switch (p.kind) {
            case Kind::Tuple: want = &PyTuple_Type; want_name = "tuple"; break;
            case Kind::Dict: want = &PyDict_Type; want_name = "dict"; break;
            case Kind::Str: want = &PyUnicode_Type; want_name = "str"; break;
            case Kind::OptBool: want = &PyBool_Type; want_name = "bool"; break;
            default: return;
        }
        if (Py_TYPE(v.ptr()) == want) return;
        if (v.is_none() && (none_allowed(p) || p.kind == Kind::OptBool)) return;
        refuse(p.name, want_name, v);
    }

    const char* name_;
    std::vector<Param> params_;
    Impl impl_;
    bool var_kwargs_;
    Py_ssize_t n_positional_ = 0;
    Py_ssize_t n_required_ = 0;
};

namespace detail {

struct Registered {
    Function fn;
    std::string doc;
    PyMethodDef def{};
};

// Each function's `self` is a small module object whose state holds its Registered record:
// with a module as `self`, help() and __qualname__ show a plain module-level function.
inline Registered** state_of(PyObject* holder) { return static_cast<Registered**>(PyModule_GetState(holder)); }

inline void release_holder(void* holder) {
    Registered** slot = state_of(static_cast<PyObject*>(holder));
    if (slot) {
        delete *slot;
        *slot = nullptr;
    }
}

inline PyModuleDef holder_def = {
    PyModuleDef_HEAD_INIT, "zelqviz.function", nullptr, sizeof(Registered*),
    nullptr, nullptr, nullptr, nullptr, &release_holder,
};

inline PyObject* trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Registered** slot = state_of(self);
    Registered* reg = slot ? *slot : nullptr;
    if (!reg) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "function record is gone");
        return nullptr;
    }
    try {
        return reg->fn.call(args, PyVectorcall_NARGS(nargs), kwnames).release().ptr();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const nb::cast_error&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "value of an unexpected type");
    } catch (const std::exception& e) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

}  // namespace detail

// Register `impl` as the module-level function `name`.
inline void def(nb::module_& m, const char* name, std::vector<Param> params, Impl impl, const char* doc,
                bool var_kwargs = false) {
    auto* reg = new detail::Registered{Function(name, std::move(params), impl, var_kwargs), {}, {}};
    reg->doc = reg->fn.docstring(doc);
    reg->def.ml_name = name;
    reg->def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::trampoline));
    reg->def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    reg->def.ml_doc = reg->doc.c_str();
    PyObject* raw = PyModule_Create2(&detail::holder_def, PYTHON_API_VERSION);
    if (!raw) {
        delete reg;
        throw nb::python_error();
    }
    nb::object holder = nb::steal(raw);
    *detail::state_of(holder.ptr()) = reg;  // owned by the holder from here on
    nb::object module_name = m.attr("__name__");
    nb::object fn = checked(PyCFunction_NewEx(&reg->def, holder.ptr(), module_name.ptr()));
    m.attr(name) = fn;
}

// Look a name up in the module's namespace at call time, so that a caller who
// replaces a module attribute (a table, a helper) is seen by the next call.
inline nb::object global(nb::handle module, const char* name) { return module.attr(name); }

// Unpack exactly `n` values from an iterable, with the traditional messages.
inline std::vector<nb::object> unpack(nb::handle iterable, Py_ssize_t n) {
    std::vector<nb::object> out;
    if (PyTuple_CheckExact(iterable.ptr()) || PyList_CheckExact(iterable.ptr())) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(iterable.ptr());
        if (size > n) raise(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        if (size < n)
            raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", size, size == 1 ? "" : "s");
        for (Py_ssize_t i = 0; i < n; ++i) out.push_back(nb::borrow(PySequence_Fast_GET_ITEM(iterable.ptr(), i)));
        return out;
    }
    nb::object it = checked(PyObject_GetIter(iterable.ptr()));
    for (Py_ssize_t i = 0; i <= n; ++i) {
        PyObject* item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred()) rethrow();
            if (i < n) raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", i, i == 1 ? "" : "s");
            return out;
        }
        if (i == n) {
            Py_DECREF(item);
            raise(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        }
        out.push_back(nb::steal(item));
    }
    return out;
}

}  // namespace zv
