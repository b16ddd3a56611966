// zelq.viz.encode: arrays to base64 records with statistics and back, any
// value to JSON-ready form, and short display texts for shapes and sizes.
//
// Statistics and base64 run natively (kernels/stats.hpp, kernels/base64.hpp)
// over the array's memory with the GIL released. Element types whose values
// are not real numbers (complex, datetime, timedelta, structured, text) get
// NumPy's own np.min/np.max/np.mean/np.std, each converted with float(); what
// NumPy or float() refuses propagates. Arrays of Python objects are refused
// both ways: their bytes are pointers.
#include <Python.h>
#include <nanobind/nanobind.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "binding/args.hpp"
#include "binding/py.hpp"
#include "kernels/base64.hpp"
#include "kernels/memory.hpp"
#include "kernels/stats.hpp"

namespace nb = nanobind;
using namespace zv;

namespace {

PyObject* g_module = nullptr;
PyTypeObject* g_ndarray = nullptr;
PyTypeObject* g_np_integer = nullptr;
PyTypeObject* g_np_floating = nullptr;
PyTypeObject* g_np_bool = nullptr;
// Module-lifetime references, deliberately never released: static
// destructors would run after the interpreter is gone.
struct Refs {
    nb::object ascontiguousarray, frombuffer, dtype, uint8, min, max, mean, std;
    nb::object binascii_error;
    nb::object own_encode_value, own_encode_array;  // to recognise unreplaced module attributes
    // Interned names and keys.
    nb::object encode_value, encode_array, item, items, shape, dtype_key, data, stats, size, min_key, max_key,
        mean_key, std_key, kind, isbuiltin, itemsize, byteorder, hasobject, tolist, reshape;
};
Refs& R = *new Refs;

nb::object intern(const char* s) { return checked(PyUnicode_InternFromString(s)); }

// Buffers of this size and above are worth releasing the GIL for.
constexpr size_t kReleaseBytes = 1 << 14;


// ---------------------------------------------------------------- recursion guard

// The interpreter's recursion limit bounds the depth; the distance to the end
// of this thread's stack bounds it too, in case the limit has been raised
// beyond what the stack holds.
const char* stack_floor() {
    thread_local const char* floor = [] {
        pthread_attr_t attr;
        void* addr = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return static_cast<const char*>(nullptr);
        pthread_attr_getstack(&attr, &addr, &size);
        pthread_attr_destroy(&attr);
        const size_t margin = std::min<size_t>(size / 4, 512 * 1024);
        return static_cast<const char*>(addr) + margin;
    }();
    return floor;
}

class DepthGuard {
public:
    DepthGuard() {
        if (Py_EnterRecursiveCall(" while encoding a value")) rethrow();
        const char* floor = stack_floor();
        if (floor && static_cast<const char*>(__builtin_frame_address(0)) < floor) {
            Py_LeaveRecursiveCall();
            raise(PyExc_RecursionError, "maximum recursion depth exceeded while encoding a value");
        }
    }
    ~DepthGuard() { Py_LeaveRecursiveCall(); }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
};

// ---------------------------------------------------------------- helpers

nb::object attr(nb::handle obj, const nb::object& name) { return checked(PyObject_GetAttr(obj.ptr(), name.ptr())); }

nb::object call1(const nb::object& fn, nb::handle arg) { return checked(PyObject_CallOneArg(fn.ptr(), arg.ptr())); }

using py::set_item;

double to_double(const nb::object& v) {
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) rethrow();
    return d;
}

nb::object make_float(double d) { return checked(PyFloat_FromDouble(d)); }


// ---------------------------------------------------------------- encode_array

struct DtypeInfo {
    kern::ElemType type{};
    bool native_stats = false;  // a real number type the kernel reads
    bool swapped = false;
};

DtypeInfo classify(const nb::object& dtype) {
    DtypeInfo info;
    nb::object kind_obj = attr(dtype, R.kind), order_obj = attr(dtype, R.byteorder);
    const char* kind = PyUnicode_AsUTF8(kind_obj.ptr());
    const char* order = PyUnicode_AsUTF8(order_obj.ptr());
    if (!kind || !order) rethrow();
    const long size = PyLong_AsLong(attr(dtype, R.itemsize).ptr());
    if (size == -1 && PyErr_Occurred()) rethrow();
    using kern::ElemType;
    const char k = kind[0];
    auto pick = [&](ElemType t) { info.type = t, info.native_stats = true; };
    if (k == 'b' && size == 1) pick(ElemType::Bool);
    else if (k == 'i' && size == 1) pick(ElemType::I8);
    else if (k == 'i' && size == 2) pick(ElemType::I16);
    else if (k == 'i' && size == 4) pick(ElemType::I32);
    else if (k == 'i' && size == 8) pick(ElemType::I64);
    else if (k == 'u' && size == 1) pick(ElemType::U8);
    else if (k == 'u' && size == 2) pick(ElemType::U16);
    else if (k == 'u' && size == 4) pick(ElemType::U32);
    else if (k == 'u' && size == 8) pick(ElemType::U64);
    else if (k == 'f' && size == 2) pick(ElemType::F16);
    else if (k == 'f' && size == 4) pick(ElemType::F32);
    else if (k == 'f' && size == 8) pick(ElemType::F64);
    else if (k == 'f' && size == static_cast<long>(sizeof(long double))) pick(ElemType::LongDouble);
    const bool little = std::endian::native == std::endian::little;
    info.swapped = (order[0] == '>' && little) || (order[0] == '<' && !little);
    return info;
}

// Object references anywhere in the element type, fields included: their
// bytes are addresses, meaningless (and dangerous) outside this process.
bool holds_objects(const nb::object& dtype) {
    const int yes = PyObject_IsTrue(attr(dtype, R.hasobject).ptr());
    if (yes < 0) rethrow();
    return yes != 0;
}

kern::Stats numpy_stats(const nb::object& arr) {
    kern::Stats s;
    s.min = to_double(call1(R.min, arr));
    s.max = to_double(call1(R.max, arr));
    s.mean = to_double(call1(R.mean, arr));
    s.std = to_double(call1(R.std, arr));
    return s;
}

// str() of a dtype, remembered for NumPy's built-in dtypes: those are shared
// singletons, and their str() in Python costs more than encoding a small array.
nb::object dtype_str(const nb::object& dtype) {
    static std::vector<std::pair<nb::object, nb::object>>& seen = *new std::vector<std::pair<nb::object, nb::object>>;
    for (const auto& [d, text] : seen)
        if (d.ptr() == dtype.ptr()) return text;
    nb::object text = checked(PyObject_Str(dtype.ptr()));
    const long builtin = PyLong_AsLong(attr(dtype, R.isbuiltin).ptr());
    if (builtin == -1 && PyErr_Occurred()) rethrow();
    if (builtin == 1 && seen.size() < 64) seen.emplace_back(dtype, text);
    return text;
}

nb::object encode_array_impl(nb::handle value) {
    // Contiguous in row-major order; a 0-d input becomes shape (1,).
    nb::object arr = call1(R.ascontiguousarray, value);
    nb::object dtype = attr(arr, R.dtype_key);
    if (holds_objects(dtype)) {
        nb::object shown = checked(PyObject_Str(dtype.ptr()));
        raise(PyExc_TypeError, "encode_array cannot encode an array of dtype %U: its elements are Python objects",
              shown.ptr());
    }
    nb::object shape_tuple = attr(arr, R.shape);
    nb::object shape = checked(PySequence_List(shape_tuple.ptr()));
    nb::object dtype_text = dtype_str(dtype);
    nb::object size_obj = attr(arr, R.size);
    const Py_ssize_t n = PyLong_AsSsize_t(size_obj.ptr());
    if (n == -1 && PyErr_Occurred()) rethrow();

    py::Buffer buf;
    nb::object bytes_owner = arr;
    if (!buf.acquire(arr, PyBUF_SIMPLE)) {
        // Some element types have no buffer format; their bytes do.
        bytes_owner = checked(PyObject_CallMethod(arr.ptr(), "view", "O", R.uint8.ptr()));
        buf.require(bytes_owner, PyBUF_SIMPLE);
    }
    const DtypeInfo info = classify(dtype);
    const size_t nbytes = buf.size();
    nb::object text = checked(PyUnicode_New(static_cast<Py_ssize_t>(kern::b64::encoded_size(nbytes)), 127));
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.ptr()));
    kern::Stats stats;
    {
        kern::PagesAhead ahead(out, kern::b64::encoded_size(nbytes));
        auto work = [&] {
            if (info.native_stats) stats = kern::compute_stats(info.type, info.swapped, buf.data(), static_cast<size_t>(n));
            kern::b64::encode(static_cast<const uint8_t*>(buf.data()), nbytes, out);
        };
        if (nbytes >= kReleaseBytes) {
            nb::gil_scoped_release release;
            work();
        } else {
            work();
        }
    }
    if (!info.native_stats && n > 0) stats = numpy_stats(arr);

    nb::object st = checked(PyDict_New());
    set_item(st, R.min_key, make_float(stats.min));
    set_item(st, R.max_key, make_float(stats.max));
    set_item(st, R.mean_key, make_float(stats.mean));
    set_item(st, R.std_key, make_float(stats.std));
    nb::object rec = checked(PyDict_New());
    set_item(rec, R.shape, shape);
    set_item(rec, R.dtype_key, dtype_text);
    set_item(rec, R.data, text);
    set_item(rec, R.stats, st);
    set_item(rec, R.size, checked(PyNumber_Index(size_obj.ptr())));
    return rec;
}

nb::object encode_array(const Args& a) { return encode_array_impl(a[0]); }

// ---------------------------------------------------------------- encode_value

nb::object encode_value_impl(nb::handle v);

// The module's current `encode_value` / `encode_array`: a replaced attribute
// is called, our own is entered directly.
nb::object recurse_value(nb::handle v) {
    nb::object fn = checked(PyObject_GetAttr(g_module, R.encode_value.ptr()));
    if (fn.ptr() == R.own_encode_value.ptr()) return encode_value_impl(v);
    return call1(fn, v);
}

nb::object via_encode_array(nb::handle v) {
    nb::object fn = checked(PyObject_GetAttr(g_module, R.encode_array.ptr()));
    if (fn.ptr() == R.own_encode_array.ptr()) return encode_array_impl(v);
    return call1(fn, v);
}

nb::object encode_dict(nb::handle v) {
    DepthGuard guard;
    nb::object out = checked(PyDict_New());
    if (PyDict_CheckExact(v.ptr())) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(v.ptr(), &pos, &key, &value)) {
            nb::object k = nb::borrow(key), item = nb::borrow(value);
            set_item(out, k, recurse_value(item));
        }
        return out;
    }
    // A subclass may define its own iteration order.
    nb::object items = checked(PyObject_CallMethodNoArgs(v.ptr(), R.items.ptr()));
    nb::object it = checked(PyObject_GetIter(items.ptr()));
    while (PyObject* pair = PyIter_Next(it.ptr())) {
        nb::object p = nb::steal(pair);
        auto kv = unpack(p, 2);
        set_item(out, kv[0], recurse_value(kv[1]));
    }
    if (PyErr_Occurred()) rethrow();
    return out;
}

nb::object encode_sequence(nb::handle v) {
    DepthGuard guard;
    if (PyTuple_CheckExact(v.ptr())) {
        const Py_ssize_t n = PyTuple_GET_SIZE(v.ptr());
        nb::object out = checked(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            nb::object item = recurse_value(PyTuple_GET_ITEM(v.ptr(), i));
            PyList_SET_ITEM(out.ptr(), i, item.release().ptr());
        }
        return out;
    }
    nb::object out = checked(PyList_New(0));
    if (PyList_CheckExact(v.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v.ptr()); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(v.ptr(), i));
            if (PyList_Append(out.ptr(), recurse_value(item).ptr()) < 0) rethrow();
        }
        return out;
    }
    nb::object it = checked(PyObject_GetIter(v.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        if (PyList_Append(out.ptr(), recurse_value(item).ptr()) < 0) rethrow();
    }
    if (PyErr_Occurred()) rethrow();
    return out;
}

nb::object encode_value_impl(nb::handle v) {
    PyObject* o = v.ptr();
    if (PyObject_TypeCheck(o, g_ndarray)) return via_encode_array(v);
    if (PyObject_TypeCheck(o, g_np_integer)) return checked(PyObject_CallMethodNoArgs(o, R.item.ptr()));
    if (PyObject_TypeCheck(o, g_np_floating)) {
        nb::object plain = checked(PyObject_CallMethodNoArgs(o, R.item.ptr()));
        // long double has no plain equivalent and item() returns it unchanged;
        // a floating scalar still becomes a double, as JSON needs.
        if (PyObject_TypeCheck(plain.ptr(), g_np_floating)) return checked(PyNumber_Float(plain.ptr()));
        return plain;
    }
    if (PyObject_TypeCheck(o, g_np_bool)) {
        const int t = PyObject_IsTrue(o);
        if (t < 0) rethrow();
        return nb::borrow(t ? Py_True : Py_False);
    }
    if (PyDict_Check(o)) return encode_dict(v);
    if (PyList_Check(o) || PyTuple_Check(o)) return encode_sequence(v);
    if (PyBytes_Check(o)) return checked(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o), "replace"));
    return nb::borrow(v);
}

nb::object encode_value(const Args& a) { return encode_value_impl(a[0]); }

// ---------------------------------------------------------------- decode_array

nb::object required(nb::handle dict, const nb::object& key) {
    PyObject* v = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (!v) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.ptr());
        rethrow();
    }
    return nb::borrow(v);
}

[[noreturn]] void raise_b64(const char* fmt, Py_ssize_t count = 0) {
    PyErr_Format(R.binascii_error.ptr(), fmt, count);
    rethrow();
}

// Decode base64 text (str or bytes-like) into a new bytes object.
nb::object b64decode(const nb::object& data) {
    const char* text = nullptr;
    size_t len = 0;
    py::Buffer buf;
    if (PyUnicode_Check(data.ptr())) {
        if (!PyUnicode_IS_ASCII(data.ptr()))
            raise(PyExc_ValueError, "string argument should contain only ASCII characters");
        text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(data.ptr()));
        len = static_cast<size_t>(PyUnicode_GET_LENGTH(data.ptr()));
    } else if (buf.acquire(data, PyBUF_SIMPLE)) {
        text = static_cast<const char*>(buf.data());
        len = buf.size();
    } else {
        raise(PyExc_TypeError, "argument should be a bytes-like object or ASCII string, not '%.200s'",
              Py_TYPE(data.ptr())->tp_name);
    }

    const std::ptrdiff_t exact = kern::b64::clean_size(text, len);
    if (exact >= 0) {
        nb::object out = checked(PyBytes_FromStringAndSize(nullptr, exact));
        auto* dst = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.ptr()));
        bool ok;
        kern::PagesAhead ahead(dst, static_cast<size_t>(exact));
        if (len >= kReleaseBytes) {
            nb::gil_scoped_release release;
            ok = kern::b64::decode_clean(text, len, dst);
        } else {
            ok = kern::b64::decode_clean(text, len, dst);
        }
        if (ok) return out;
    }
    std::vector<uint8_t> tmp(len / 4 * 3 + 3);
    kern::b64::Lenient r;
    {
        nb::gil_scoped_release release;
        r = kern::b64::decode_lenient(text, len, tmp.data());
    }
    if (r.status == kern::b64::Status::OneExtra)
        raise_b64("Invalid base64-encoded string: number of data characters (%zd) cannot be 1 more than a multiple of 4",
                  static_cast<Py_ssize_t>(r.written / 3 * 4 + 1));
    if (r.status == kern::b64::Status::Padding) raise_b64("Incorrect padding");
    return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(tmp.data()),
                                             static_cast<Py_ssize_t>(r.written)));
}

nb::object decode_array(const Args& a) {
    nb::handle encoded = a[0];
    nb::object raw = b64decode(required(encoded, R.data));
    nb::object dtype = call1(R.dtype, required(encoded, R.dtype_key));
    if (holds_objects(dtype)) {
        nb::object shown = checked(PyObject_Str(dtype.ptr()));
        raise(PyExc_TypeError,
              "decode_array cannot rebuild an array of dtype %U: its elements would be Python objects", shown.ptr());
    }
    nb::object flat = checked(PyObject_CallFunctionObjArgs(R.frombuffer.ptr(), raw.ptr(), dtype.ptr(), nullptr));
    nb::object shape = required(encoded, R.shape);
    return checked(PyObject_CallMethodOneArg(flat.ptr(), R.reshape.ptr(), shape.ptr()));
}

// ---------------------------------------------------------------- display texts

nb::object format_shape(const Args& a) {
    nb::object shape = nb::borrow(a[0]);
    if (PyObject_TypeCheck(shape.ptr(), g_ndarray)) shape = checked(PyObject_CallMethodNoArgs(shape.ptr(), R.tolist.ptr()));
    nb::object it = checked(PyObject_GetIter(shape.ptr()));
    std::string out = "[";
    bool first = true;
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        nb::object number = checked(PyNumber_Long(item.ptr()));
        if (!first) out += ", ";
        first = false;
        int overflow = 0;
        const long long small = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
        if (!overflow) {
            out += std::to_string(small);
        } else {
            nb::object text = checked(PyObject_Str(number.ptr()));
            out += PyUnicode_AsUTF8(text.ptr());
        }
    }
    if (PyErr_Occurred()) rethrow();
    out += "]";
    return checked(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

nb::object format_size(const Args& a) {
    nb::handle size = a[0];  // already an int
    struct Unit {
        long long divisor;
        int decimals;
        const char* suffix;
    };
    static const Unit units[] = {{1024LL, 1, " KB"}, {1048576LL, 1, " MB"}, {1073741824LL, 2, " GB"}};
    nb::object limit = checked(PyLong_FromLong(1024));
    int below = PyObject_RichCompareBool(size.ptr(), limit.ptr(), Py_LT);
    if (below < 0) rethrow();
    if (below) {
        nb::object text = checked(PyObject_Str(size.ptr()));
        return checked(PyUnicode_FromFormat("%U B", text.ptr()));
    }
    const Unit* unit = &units[2];
    for (const Unit& u : {units[0], units[1]}) {
        nb::object bound = checked(PyLong_FromLongLong(u.divisor * 1024));
        below = PyObject_RichCompareBool(size.ptr(), bound.ptr(), Py_LT);
        if (below < 0) rethrow();
        if (below) {
            unit = u.divisor == units[0].divisor ? &units[0] : &units[1];
            break;
        }
    }
    // Python's true division of ints is correctly rounded, also beyond 2**53.
    nb::object divisor = checked(PyLong_FromLongLong(unit->divisor));
    nb::object quotient = checked(PyNumber_TrueDivide(size.ptr(), divisor.ptr()));
    const double q = to_double(quotient);
    char* digits = PyOS_double_to_string(q, 'f', unit->decimals, 0, nullptr);
    if (!digits) rethrow();
    std::string text = std::string(digits) + unit->suffix;
    PyMem_Free(digits);
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyTypeObject* type_of(const nb::object& np, const char* name) {
    nb::object t = np.attr(name);
    if (!PyType_Check(t.ptr())) raise(PyExc_ImportError, "numpy.%s is not a type", name);
    return reinterpret_cast<PyTypeObject*>(t.release().ptr());  // kept for the life of the process
}

}  // namespace

NB_MODULE(encode, m) {
    g_module = m.ptr();
    nb::object base64 = nb::module_::import_("base64");
    nb::object np = nb::module_::import_("numpy");
    m.attr("base64") = base64;
    m.attr("np") = np;
    R.binascii_error = nb::module_::import_("binascii").attr("Error");
    g_ndarray = type_of(np, "ndarray");
    g_np_integer = type_of(np, "integer");
    g_np_floating = type_of(np, "floating");
    g_np_bool = type_of(np, "bool_");
    R.ascontiguousarray = np.attr("ascontiguousarray");
    R.frombuffer = np.attr("frombuffer");
    R.dtype = np.attr("dtype");
    R.uint8 = np.attr("uint8");
    R.min = np.attr("min");
    R.max = np.attr("max");
    R.mean = np.attr("mean");
    R.std = np.attr("std");
    R.encode_value = intern("encode_value");
    R.encode_array = intern("encode_array");
    R.item = intern("item");
    R.items = intern("items");
    R.shape = intern("shape");
    R.dtype_key = intern("dtype");
    R.data = intern("data");
    R.stats = intern("stats");
    R.size = intern("size");
    R.min_key = intern("min");
    R.max_key = intern("max");
    R.mean_key = intern("mean");
    R.std_key = intern("std");
    R.kind = intern("kind");
    R.isbuiltin = intern("isbuiltin");
    R.itemsize = intern("itemsize");
    R.byteorder = intern("byteorder");
    R.hasobject = intern("hasobject");
    R.tolist = intern("tolist");
    R.reshape = intern("reshape");

    def(m, "encode_array", {arg("arr")}, encode_array,
        "Encode an array as {\"shape\", \"dtype\", \"data\", \"stats\", \"size\"}.\n\n"
        "The array is made C-contiguous (a 0-d input becomes shape [1]); \"data\" is the base64 text\n"
        "of its raw bytes and \"stats\" holds min, max, mean and population std as floats (all 0.0\n"
        "when empty, all NaN when any element is NaN). Real numbers and bool are reduced natively;\n"
        "complex, datetime, timedelta, structured and text arrays get float() of NumPy's own\n"
        "np.min/np.max/np.mean/np.std, and errors of those propagate. Arrays holding Python\n"
        "objects raise TypeError.");
    def(m, "encode_value", {arg("value")}, encode_value,
        "Turn a value into JSON-ready form: arrays become encoded arrays, NumPy numbers plain\n"
        "numbers, NumPy bools plain bools, dicts new dicts, lists and tuples new lists (values\n"
        "converted at every depth), bytes UTF-8 text with U+FFFD for invalid sequences; anything\n"
        "else is returned itself. Cyclic or too deep input raises RecursionError.");
    def(m, "decode_array", {arg("encoded", Kind::Dict)}, decode_array,
        "Rebuild the array of an encoded record (reads \"data\", \"dtype\", \"shape\", in that order).\n\n"
        "The result is read-only and shares the decoded bytes. Characters outside the base64\n"
        "alphabet are skipped. Refuses anything but a dict, and element types holding Python\n"
        "objects, with TypeError.");
    def(m, "format_shape", {arg("shape")}, format_shape,
        "Shape as text, e.g. \"[128, 784]\"; elements are converted with int(), whose errors propagate\n"
        "(TypeError for a non-iterable shape).");
    def(m, "format_size", {arg("size", Kind::Int)}, format_size,
        "Byte count as text in powers of 1024: \"1023 B\", \"1.5 KB\", \"1.0 MB\", \"1.00 GB\".\n\n"
        "Rounded to nearest from the exact quotient, ties to even. A size whose quotient does not fit\n"
        "a double raises OverflowError.");
    R.own_encode_value = m.attr("encode_value");
    R.own_encode_array = m.attr("encode_array");
}

