// zelq.viz.serialize: a ZELQ-IR graph into the viewer document.
//
// Everything the document is built from outside this file (the style tables
// and defaults, encode_value, the pattern functions, and the four public
// functions themselves when they call each other) is looked up in the module
// namespace at each call, so a caller or a test that replaces one is seen by
// the next call. The sibling imports run through the interpreter's own import
// machinery when the module loads.
#include <Python.h>
#include <nanobind/nanobind.h>

#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/args.hpp"
#include "binding/py.hpp"

namespace nb = nanobind;
using namespace zv;

namespace {

PyObject* g_module = nullptr;
// The functions as registered, to skip argument binding when graph_to_dict
// calls one that nobody replaced.
PyObject* g_own_serialize_node = nullptr;
PyObject* g_own_serialize_pattern = nullptr;
PyObject* g_own_compute_summary = nullptr;


using py::interned;

nb::handle key_of(const char* s) { return interned(s); }

// A global of this module, read at call time (NameError once deleted).
nb::object global(const char* name) { return py::module_global(g_module, name); }

nb::object str(const char* s) { return nb::borrow(interned(s)); }

// getattr(obj, name, None): only AttributeError means "absent".
nb::object getattr_or_none(nb::handle obj, PyObject* name) {
    PyObject* v = PyObject_GetAttr(obj.ptr(), name);
    if (v) return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) rethrow();
    PyErr_Clear();
    return nb::none();
}

using py::hasattr;
using py::truth;

bool is_instance(nb::handle v, nb::handle cls) {
    int r = PyObject_IsInstance(v.ptr(), cls.ptr());
    if (r < 0) rethrow();
    return r != 0;
}

bool contains(nb::handle container, nb::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) rethrow();
    return r != 0;
}

bool equals(nb::handle a, const char* text) {
    int r = PyObject_RichCompareBool(a.ptr(), interned(text), Py_EQ);
    if (r < 0) rethrow();
    return r != 0;
}

using py::length;
using py::set_item;

nb::object class_name(nb::handle obj) { return nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr(key_of("__name__")); }

nb::object table_get(const char* table, nb::handle key, nb::handle fallback) {
    nb::object get = global(table).attr(key_of("get"));
    return get(key, fallback);
}

nb::object table_get(const char* table, nb::handle key, const char* default_name) {
    nb::object get = global(table).attr(key_of("get"));
    return get(key, global(default_name));
}

nb::object new_list() { return checked(PyList_New(0)); }

// For (key, value) in mapping.items(): an exact dict is walked directly (and
// may not change size meanwhile); any other object's items() is iterated.
template <typename F>
void for_items(nb::handle mapping, F&& body) {
    if (PyDict_CheckExact(mapping.ptr())) {
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(mapping.ptr());
        PyObject *k, *v;
        while (PyDict_Next(mapping.ptr(), &pos, &k, &v)) {
            nb::object key = nb::borrow(k), value = nb::borrow(v);
            body(key, value);
            if (PyDict_GET_SIZE(mapping.ptr()) != size)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return;
    }
    nb::object items = mapping.attr(key_of("items"))();
    nb::object it = checked(PyObject_GetIter(items.ptr()));
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object pair = nb::steal(item);
        auto kv = unpack(pair, 2);
        body(kv[0], kv[1]);
    }
    if (PyErr_Occurred()) rethrow();
}

template <typename F>
void for_each(nb::handle iterable, F&& body) {
    if (PyList_CheckExact(iterable.ptr()) || PyTuple_CheckExact(iterable.ptr())) {
        // Indexed directly; a list may change while we call out.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(iterable.ptr()); ++i) {
            nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(iterable.ptr(), i));
            body(item);
        }
        return;
    }
    nb::object it = checked(PyObject_GetIter(iterable.ptr()));
    while (PyObject* item = PyIter_Next(it.ptr())) body(nb::steal(item));
    if (PyErr_Occurred()) rethrow();
}

// ---------------------------------------------------------------- nodes

// The shape under `key` of the mapping attribute `attr`, read afresh for each test.
nb::object declared_shape(nb::handle node, const char* attr, const char* key, nb::handle ndarray) {
    if (!hasattr(node, attr)) return nb::none();
    if (node.attr(key_of(attr)).is_none()) return nb::none();
    if (!PyDict_Check(node.attr(key_of(attr)).ptr())) return nb::none();
    nb::object k = str(key);
    if (!contains(node.attr(key_of(attr)), k)) return nb::none();
    nb::object shape = checked(PyObject_GetItem(nb::object(node.attr(key_of(attr))).ptr(), k.ptr()));
    if (is_instance(shape, ndarray)) return shape.attr(key_of("tolist"))();
    return shape;
}

// fields(node), remembered per fields function and per field table: it is the
// same tuple for every node of a class, and building it in Python cost a third
// of graph_to_dict on graphs of many small nodes.
nb::object dataclass_fields(nb::object fields_fn, nb::handle node) {
    struct Entry {
        nb::object fn, table, result;
        Py_ssize_t size;
    };
    static std::vector<Entry>& seen = *new std::vector<Entry>;
    nb::object table = node.attr(key_of("__dataclass_fields__"));
    const Py_ssize_t size = PyDict_Check(table.ptr()) ? PyDict_GET_SIZE(table.ptr()) : -1;
    if (size >= 0) {
        for (const Entry& e : seen)
            if (e.fn.ptr() == fields_fn.ptr() && e.table.ptr() == table.ptr() && e.size == size) return e.result;
    }
    nb::object result = fields_fn(node);
    if (size >= 0 && PyTuple_CheckExact(result.ptr()) && seen.size() < 256) seen.push_back({fields_fn, table, result, size});
    return result;
}

nb::object serialize_node_impl(nb::handle name, nb::handle node) {
    nb::object node_type = class_name(node);
    nb::object ndarray = global("np").attr(key_of("ndarray"));
    nb::object input_shape = declared_shape(node, "input_type", "input", ndarray);
    nb::object output_shape = declared_shape(node, "output_type", "output", ndarray);

    nb::object params = checked(PyDict_New()), config = checked(PyDict_New());
    nb::object param_count = checked(PyLong_FromLong(0));
    if (hasattr(node, "__dataclass_fields__")) {
        nb::object encode_value = global("encode_value");
        nb::object field_list = dataclass_fields(global("fields"), node);
        for_each(field_list, [&](nb::handle field) {
            nb::object field_name = field.attr(key_of("name"));
            if (equals(field_name, "input_type") || equals(field_name, "output_type")) return;
            nb::object value = getattr_or_none(node, field_name.ptr());
            if (value.is_none()) return;
            if (is_instance(value, ndarray)) {
                nb::object encoded = encode_value(value);
                if (PyObject_SetItem(params.ptr(), field_name.ptr(), encoded.ptr()) < 0) rethrow();
                nb::object size = value.attr(key_of("size"));
                param_count = checked(PyNumber_Add(param_count.ptr(), size.ptr()));
            } else if (PyDict_Check(value.ptr()) && !truth(value)) {
                return;
            } else {
                nb::object encoded = encode_value(value);
                if (PyObject_SetItem(config.ptr(), field_name.ptr(), encoded.ptr()) < 0) rethrow();
            }
        });
    }

    nb::object color = table_get("NODE_COLORS", node_type, "DEFAULT_NODE_COLOR");
    nb::object shape = table_get("NODE_SHAPES", node_type, "DEFAULT_NODE_SHAPE");
    nb::object display = table_get("NODE_DISPLAY_PARAMS", node_type, new_list());

    nb::object record = checked(PyDict_New());
    set_item(record, "id", name);
    set_item(record, "type", node_type);
    set_item(record, "input_shape", input_shape);
    set_item(record, "output_shape", output_shape);
    set_item(record, "params", params);
    set_item(record, "config", config);
    set_item(record, "param_count", param_count);
    set_item(record, "color", color);
    set_item(record, "shape", shape);
    set_item(record, "display_params", display);
    return record;
}

nb::object serialize_node(const Args& a) { return serialize_node_impl(a[0], a[1]); }

// ---------------------------------------------------------------- summary

// An Input's or Output's shape: mapping.get(key) of a truthy attribute.
nb::object io_shape(nb::handle node, const char* attr, const char* key, nb::handle ndarray) {
    if (!hasattr(node, attr) || !truth(node.attr(key_of(attr)))) return nb::none();
    nb::object shape = node.attr(key_of(attr)).attr(key_of("get"))(str(key));
    if (is_instance(shape, ndarray)) return shape.attr(key_of("tolist"))();
    return shape;
}

nb::object compute_summary_impl(nb::handle graph) {
    nb::object total = checked(PyLong_FromLong(0));
    nb::object counts = checked(PyDict_New());
    nb::object inputs = new_list(), outputs = new_list();
    nb::object ndarray = global("np").attr(key_of("ndarray"));
    nb::object one = checked(PyLong_FromLong(1));

    nb::object nodes = graph.attr(key_of("nodes"));
    for_items(nodes, [&](nb::handle name, nb::handle node) {
        nb::object node_type = class_name(node);
        PyObject* seen = PyDict_GetItemWithError(counts.ptr(), node_type.ptr());
        if (!seen && PyErr_Occurred()) rethrow();
        nb::object count = seen ? checked(PyNumber_Add(seen, one.ptr())) : one;
        if (PyDict_SetItem(counts.ptr(), node_type.ptr(), count.ptr()) < 0) rethrow();

        if (hasattr(node, "__dataclass_fields__")) {
            nb::object table = node.attr(key_of("__dataclass_fields__"));
            for_each(table, [&](nb::handle field_name) {
                nb::object value = getattr_or_none(node, field_name.ptr());
                if (is_instance(value, ndarray)) {
                    nb::object size = value.attr(key_of("size"));
                    total = checked(PyNumber_Add(total.ptr(), size.ptr()));
                }
            });
        }

        const bool is_input = equals(node_type, "Input");
        if (is_input || equals(node_type, "Output")) {
            nb::object shape = is_input ? io_shape(node, "input_type", "input", ndarray)
                                        : io_shape(node, "output_type", "output", ndarray);
            nb::object entry = checked(PyDict_New());
            set_item(entry, "id", name);
            set_item(entry, "shape", shape);
            if (PyList_Append((is_input ? inputs : outputs).ptr(), entry.ptr()) < 0) rethrow();
        }
    });

    nb::object summary = checked(PyDict_New());
    set_item(summary, "node_count", nb::int_(length(graph.attr(key_of("nodes")))));
    set_item(summary, "edge_count", nb::int_(length(graph.attr(key_of("edges")))));
    set_item(summary, "total_params", total);
    set_item(summary, "node_counts", counts);
    set_item(summary, "inputs", inputs);
    set_item(summary, "outputs", outputs);
    return summary;
}

nb::object compute_summary(const Args& a) { return compute_summary_impl(a[0]); }

// ---------------------------------------------------------------- patterns

nb::object join(const char* sep, nb::handle items) { return checked(PyUnicode_Join(str(sep).ptr(), items.ptr())); }

nb::object concat(nb::handle a, nb::handle b) { return checked(PyUnicode_Concat(a.ptr(), b.ptr())); }

nb::object format_text(nb::handle v) { return checked(PyObject_Format(v.ptr(), nullptr)); }

// "a×b" of a kernel value, "?" when it is false.
nb::object kernel_text(nb::handle k) {
    if (!truth(k)) return str("?");
    nb::object first = checked(PySequence_GetItem(k.ptr(), 0));
    nb::object second = checked(PySequence_GetItem(k.ptr(), 1));
    return concat(concat(format_text(first), str("\u00d7")), format_text(second));
}


nb::object meta_get(nb::handle pattern, const char* key, nb::handle fallback) {
    return pattern.attr(key_of("metadata")).attr(key_of("get"))(str(key), fallback);
}

nb::object meta_get(nb::handle pattern, const char* key) { return pattern.attr(key_of("metadata")).attr(key_of("get"))(str(key)); }

nb::object serialize_pattern_impl(nb::handle pattern) {
    nb::object pattern_type = pattern.attr(key_of("pattern_type"));
    nb::object label, subtitle;
    nb::object zero = checked(PyLong_FromLong(0));

    if (equals(pattern_type, "RepConv")) {
        nb::object branches = meta_get(pattern, "branches", new_list());
        nb::object types = new_list();
        nb::object type_key = str("type");
        for_each(branches, [&](nb::handle b) {
            nb::object t = checked(PyObject_GetItem(b.ptr(), type_key.ptr()));
            if (PyList_Append(types.ptr(), t.ptr()) < 0) rethrow();
        });
        label = checked(PyUnicode_FromFormat("RepConv (%zd branches)", length(branches)));
        subtitle = join(", ", types);
    } else if (equals(pattern_type, "SPP")) {
        nb::object num_scales = meta_get(pattern, "num_scales", zero);
        nb::object kernels = meta_get(pattern, "pool_kernels", new_list());
        nb::object texts = new_list();
        for_each(kernels, [&](nb::handle k) {
            if (PyList_Append(texts.ptr(), kernel_text(k).ptr()) < 0) rethrow();
        });
        label = checked(PyUnicode_FromFormat("SPP (%U scales)", format_text(num_scales).ptr()));
        subtitle = concat(str("parallel: "), join(", ", texts));
    } else if (equals(pattern_type, "SPPF")) {
        nb::object depth = meta_get(pattern, "chain_depth", zero);
        nb::object kernel = meta_get(pattern, "kernel_size");
        nb::object kernel_str = kernel_text(kernel);
        label = checked(PyUnicode_FromFormat("SPPF (depth=%U)", format_text(depth).ptr()));
        subtitle = concat(str("sequential: "), kernel_str);
    } else if (equals(pattern_type, "SkipConnection")) {
        nb::object depth = meta_get(pattern, "processing_depth", zero);
        nb::object path_types = meta_get(pattern, "path_types", new_list());
        label = checked(PyUnicode_FromFormat("Skip (%U layers)", format_text(depth).ptr()));
        subtitle = truth(path_types) ? concat(str("bypass: "), join(" \u2192 ", path_types)) : str("residual");
    } else {
        label = pattern_type;
        subtitle = checked(PyUnicode_FromFormat("%zd nodes", length(pattern.attr(key_of("nodes")))));
    }

    nb::object record = checked(PyDict_New());
    set_item(record, "id", pattern.attr(key_of("group_id")));
    set_item(record, "type", pattern_type);
    set_item(record, "label", label);
    set_item(record, "subtitle", subtitle);
    set_item(record, "nodes", pattern.attr(key_of("nodes")));
    set_item(record, "entry_nodes", pattern.attr(key_of("entry_nodes")));
    set_item(record, "exit_nodes", pattern.attr(key_of("exit_nodes")));
    set_item(record, "metadata", pattern.attr(key_of("metadata")));
    set_item(record, "color", table_get("GROUP_COLORS", pattern_type, "DEFAULT_GROUP_COLOR"));
    set_item(record, "shape", table_get("GROUP_SHAPES", pattern_type, "DEFAULT_GROUP_SHAPE"));
    set_item(record, "icon", table_get("GROUP_ICONS", pattern_type, nb::handle(str("\u25eb"))));
    set_item(record, "display_params", table_get("GROUP_DISPLAY_PARAMS", pattern_type, new_list()));
    return record;
}

nb::object serialize_pattern(const Args& a) { return serialize_pattern_impl(a[0]); }

// ---------------------------------------------------------------- document

// `from zelq import ir`, through the interpreter's import machinery.
nb::object import_ir() {
    nb::object fromlist = nb::make_tuple("ir");
    nb::object zelq = checked(PyImport_ImportModuleLevel("zelq", nullptr, nullptr, fromlist.ptr(), 0));
    PyObject* ir = PyObject_GetAttrString(zelq.ptr(), "ir");
    if (!ir) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) rethrow();
        PyErr_Clear();
        raise(PyExc_ImportError, "cannot import name 'ir' from 'zelq'");
    }
    return nb::steal(ir);
}

nb::object library_version() {
    try {
        return import_ir().attr(key_of("__version__"));
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_ImportError) || e.matches(PyExc_AttributeError)) return str("unknown");
        throw;
    }
}

// Calls the module's current `name`, directly when it is still our own.
nb::object call_node(nb::handle name, nb::handle node) {
    nb::object f = global("serialize_node");
    if (f.ptr() == g_own_serialize_node) {
        if (!PyUnicode_CheckExact(name.ptr())) refuse("name", "str", name);
        return serialize_node_impl(name, node);
    }
    return f(name, node);
}

nb::object call_pattern(nb::handle p) {
    nb::object f = global("serialize_pattern");
    return f.ptr() == g_own_serialize_pattern ? serialize_pattern_impl(p) : f(p);
}

nb::object call_summary(nb::handle graph) {
    nb::object f = global("compute_summary");
    return f.ptr() == g_own_compute_summary ? compute_summary_impl(graph) : f(graph);
}

// Each group record gains "parent": the id of the smallest group holding it, or
// None, as the hierarchy has it, so pages need not work the nesting out again.
// Records that are not dicts, and hierarchies without a "parent" map, are left alone.
void add_group_parents(nb::handle groups, nb::handle hierarchy) {
    if (!PyDict_Check(hierarchy.ptr())) return;
    PyObject* parents = PyDict_GetItemString(hierarchy.ptr(), "parent");  // borrowed
    if (!parents || !PyDict_Check(parents)) return;
    nb::object id_key = str("id"), parent_key = str("parent");
    for_each(groups, [&](nb::handle record) {
        if (!PyDict_Check(record.ptr())) return;
        PyObject* gid = PyDict_GetItemWithError(record.ptr(), id_key.ptr());  // borrowed
        if (!gid) {
            if (PyErr_Occurred()) rethrow();
            return;
        }
        PyObject* parent = PyDict_GetItemWithError(parents, gid);  // borrowed
        if (!parent && PyErr_Occurred()) rethrow();
        if (PyDict_SetItem(record.ptr(), parent_key.ptr(), parent ? parent : Py_None) < 0) rethrow();
    });
}

nb::object graph_to_dict(const Args& a) {
    nb::object graph = nb::borrow(a[0]);
    const bool detect = a.truth(1);
    if (PyUnicode_Check(graph.ptr()) || PyBytes_Check(graph.ptr())) graph = import_ir().attr(key_of("read"))(graph);
    nb::object version = library_version();

    nb::object groups = new_list();
    nb::object node_to_group = checked(PyDict_New());
    if (detect) {
        nb::object patterns = global("detect_all_patterns")(graph);
        nb::object hierarchy = global("build_group_hierarchy")(graph, patterns);
        for_each(patterns, [&](nb::handle p) {
            if (PyList_Append(groups.ptr(), call_pattern(p).ptr()) < 0) rethrow();
        });
        node_to_group = checked(PyObject_GetItem(hierarchy.ptr(), str("node_to_group").ptr()));
        add_group_parents(groups, hierarchy);
    }

    nb::object nodes = new_list();
    nb::object group_key = str("group");
    for_items(graph.attr(key_of("nodes")), [&](nb::handle name, nb::handle node) {
        nb::object record = call_node(name, node);
        if (contains(node_to_group, name)) {
            nb::object gid = checked(PyObject_GetItem(node_to_group.ptr(), name.ptr()));
            if (PyObject_SetItem(record.ptr(), group_key.ptr(), gid.ptr()) < 0) rethrow();
        }
        if (PyList_Append(nodes.ptr(), record.ptr()) < 0) rethrow();
    });

    nb::object edges = new_list();
    for_each(graph.attr(key_of("edges")), [&](nb::handle e) {
        auto ends = unpack(e, 2);
        nb::object edge = checked(PyDict_New());
        set_item(edge, "source", ends[0]);
        set_item(edge, "target", ends[1]);
        if (PyList_Append(edges.ptr(), edge.ptr()) < 0) rethrow();
    });

    nb::object metadata = checked(PyDict_New());
    if (hasattr(graph, "metadata") && truth(graph.attr(key_of("metadata"))))
        metadata = global("encode_value")(graph.attr(key_of("metadata")));

    nb::object doc = checked(PyDict_New());
    set_item(doc, "version", version);
    set_item(doc, "nodes", nodes);
    set_item(doc, "edges", edges);
    set_item(doc, "metadata", metadata);
    set_item(doc, "summary", call_summary(graph));
    set_item(doc, "groups", groups);
    set_item(doc, "node_to_group", node_to_group);
    return doc;
}

// The load-time imports, run as ordinary import statements in this module's
// namespace, so that failures are the interpreter's own ImportError.
const char* const kImports = R"(
from dataclasses import fields
import numpy as np
from .encode import encode_value, format_shape
from .constants import (NODE_COLORS, NODE_SHAPES, NODE_DISPLAY_PARAMS, GROUP_COLORS, GROUP_SHAPES,
                        GROUP_ICONS, GROUP_DISPLAY_PARAMS, DEFAULT_NODE_COLOR, DEFAULT_NODE_SHAPE,
                        DEFAULT_GROUP_COLOR, DEFAULT_GROUP_SHAPE)
from .patterns import detect_all_patterns, build_group_hierarchy, PatternMatch, detect_repconv_patterns
)";

}  // namespace

NB_MODULE(serialize, m) {
    g_module = m.ptr();
    nb::object ns = m.attr("__dict__");
    nb::str name = nb::borrow<nb::str>(m.attr("__name__"));
    std::string full = name.c_str();
    auto dot = full.rfind('.');
    m.attr("__package__") = nb::str(dot == std::string::npos ? "" : full.substr(0, dot).c_str());
    if (!hasattr(m, "__builtins__")) m.attr("__builtins__") = nb::module_::import_("builtins");
    if (PyObject* r = PyRun_String(kImports, Py_file_input, ns.ptr(), ns.ptr())) {
        Py_DECREF(r);
    } else {
        // Fail the load with the import's own message: a Python error
        // thrown from here would be wrapped in a generic ImportError.
        nb::python_error e;
        nb::object text = checked(PyObject_Str(e.value().ptr()));
        throw std::runtime_error(PyUnicode_AsUTF8(text.ptr()));
    }

    def(m, "serialize_node", {arg("name", Kind::Str), arg("node")}, serialize_node,
        "The node record of `node`: id, type, input_shape, output_shape, params (encoded arrays),\n"
        "config, param_count, color, shape, display_params. Refuses a name that is not exactly a\n"
        "str with TypeError.");
    def(m, "compute_summary", {arg("graph")}, compute_summary,
        "Counts of nodes, edges and parameters, nodes by type, and the Input and Output nodes.\n\n"
        "A graph without nodes or edges raises AttributeError; the graph is only read.");
    def(m, "serialize_pattern", {arg("pattern")}, serialize_pattern,
        "The group record of a detected pattern, with its label, subtitle and style.\n\n"
        "A pattern without pattern_type, group_id, nodes, entry_nodes, exit_nodes or metadata raises\n"
        "AttributeError.");
    def(m, "graph_to_dict", {arg("graph"), arg("detect_patterns", Kind::Truth, true)}, graph_to_dict,
        "The viewer document of a graph object, or of the .zelq file at a str or bytes path:\n"
        "version, nodes, edges, metadata, summary, groups, node_to_group.\n\n"
        "Errors of zelq.ir.read (FileNotFoundError, or ZelqFormatError for a malformed file) and of\n"
        "the graph's own attributes propagate.");
    g_own_serialize_node = PyObject_GetAttrString(m.ptr(), "serialize_node");
    g_own_serialize_pattern = PyObject_GetAttrString(m.ptr(), "serialize_pattern");
    g_own_compute_summary = PyObject_GetAttrString(m.ptr(), "compute_summary");
}
