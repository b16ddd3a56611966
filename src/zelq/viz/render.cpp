// zelq.viz.render: a viewer document into the standalone graph page.
//
// The page is written straight into one str of its final size: the template
// pieces, and the document walked natively (binding/json.hpp). Tensors may be
// summarised (kernels/summary.hpp) so that the page stays loadable.
// load_template, _escape_html and TEMPLATES_DIR are looked up in the module
// namespace at each call, so a replaced attribute is honoured.
#include <Python.h>
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "binding/args.hpp"
#include "binding/json.hpp"
#include "binding/text.hpp"
#include "kernels/base64.hpp"
#include "kernels/escape.hpp"
#include "kernels/summary.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zv;

namespace {

PyObject* g_module = nullptr;

nb::handle module() { return g_module; }

nb::object load_template(const Args& a) {
    nb::object dir = module().attr("TEMPLATES_DIR");
    nb::object path = checked(PyNumber_TrueDivide(dir.ptr(), a[0].ptr()));
    if (!nb::cast<bool>(path.attr("exists")())) {
        nb::object text = checked(PyObject_Str(path.ptr()));
        raise(PyExc_FileNotFoundError, "Template not found: %U", text.ptr());
    }
    return path.attr("read_text")("encoding"_a = "utf-8");
}

nb::object escape_html(const Args& a) { return escaped_html(a[0]); }

enum class Payloads { Auto, Full, Summary };

Payloads payload_mode(nb::handle value) {
    if (PyUnicode_CompareWithASCIIString(value.ptr(), "auto") == 0) return Payloads::Auto;
    if (PyUnicode_CompareWithASCIIString(value.ptr(), "full") == 0) return Payloads::Full;
    if (PyUnicode_CompareWithASCIIString(value.ptr(), "summary") == 0) return Payloads::Summary;
    raise(PyExc_ValueError, "payloads must be 'auto', 'full' or 'summary', not %R", value.ptr());
}

std::u32string ucs4(nb::handle s) {
    std::u32string out(static_cast<size_t>(PyUnicode_GET_LENGTH(s.ptr())), U'\0');
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char32_t>(PyUnicode_READ_CHAR(s.ptr(), static_cast<Py_ssize_t>(i)));
    return out;
}

nb::object replaced(nb::handle text, const char* from, nb::handle to) {
    return checked(PyUnicode_Replace(text.ptr(), nb::str(from).ptr(), to.ptr(), -1));
}

// ---------------------------------------------------------------- summaries

kern::summary::Layout layout_of(nb::handle dtype_text, bool& known) {
    using kern::summary::Elem;
    static const struct { const char* name; Elem type; size_t size; } kNames[] = {
        {"bool", Elem::Bool, 1},      {"int8", Elem::I8, 1},         {"int16", Elem::I16, 2},
        {"int32", Elem::I32, 4},      {"int64", Elem::I64, 8},       {"uint8", Elem::U8, 1},
        {"uint16", Elem::U16, 2},     {"uint32", Elem::U32, 4},      {"uint64", Elem::U64, 8},
        {"float16", Elem::F16, 2},    {"float32", Elem::F32, 4},     {"float64", Elem::F64, 8},
        {"float128", Elem::F128, 16}, {"complex64", Elem::C64, 8},   {"complex128", Elem::C128, 16},
        {"complex256", Elem::C256, 32},
    };
    known = false;
    kern::summary::Layout l;
    if (!PyUnicode_Check(dtype_text.ptr())) return l;
    Py_ssize_t n = 0;
    const char* t = PyUnicode_AsUTF8AndSize(dtype_text.ptr(), &n);
    if (!t) {
        PyErr_Clear();
        return l;
    }
    const std::string_view name(t, static_cast<size_t>(n));
    for (const auto& e : kNames)
        if (name == e.name) return known = true, kern::summary::Layout{e.type, e.size, false};
    // A byte-swapped type shows as its type string, e.g. ">f4".
    if (name.size() < 3 || (name[0] != '>' && name[0] != '<')) return l;
    const bool little = std::endian::native == std::endian::little;
    const bool swapped = (name[0] == '>') == little;
    const char k = name[1];
    const std::string_view size_text = name.substr(2);
    size_t size = 0;
    for (char c : size_text) {
        if (c < '0' || c > '9' || size > 64) return l;
        size = size * 10 + static_cast<size_t>(c - '0');
    }
    for (const auto& e : kNames) {
        const char ek = e.type == Elem::Bool ? 'b' : e.name[0] == 'i' ? 'i' : e.name[0] == 'u' ? 'u'
                      : e.name[0] == 'f' ? 'f' : 'c';
        if (ek == k && e.size == size && e.type != Elem::Bool) return known = true, kern::summary::Layout{e.type, e.size, swapped};
    }
    return l;
}

// (rows, cols) of the record's shape list: shape[0] by the product of the rest.
bool rows_cols(nb::handle shape, kern::summary::Shape2& out) {
    if (!PyList_Check(shape.ptr())) return false;
    const Py_ssize_t n = PyList_GET_SIZE(shape.ptr());
    size_t dims[2] = {1, 1};
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* d = PyList_GET_ITEM(shape.ptr(), i);
        if (!PyLong_Check(d)) return false;
        const long long v = PyLong_AsLongLong(d);
        if (v < 0) {
            PyErr_Clear();
            return false;
        }
        size_t& into = dims[i == 0 || n == 1 ? (n == 1 ? 1 : 0) : 1];
        if (v && into > SIZE_MAX / static_cast<size_t>(v)) return false;
        into *= static_cast<size_t>(v);
    }
    out = {dims[0], dims[1]};
    return true;
}

nb::object float_list_base64(const std::vector<float>& v) {
    std::vector<uint8_t> bytes(v.size() * 4);
    for (size_t i = 0; i < v.size(); ++i) {
        uint32_t bits;
        std::memcpy(&bits, &v[i], 4);
        for (int b = 0; b < 4; ++b) bytes[i * 4 + b] = static_cast<uint8_t>(bits >> (8 * b));  // little-endian
    }
    nb::object text = checked(PyUnicode_New(static_cast<Py_ssize_t>(kern::b64::encoded_size(bytes.size())), 127));
    kern::b64::encode(bytes.data(), bytes.size(), reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.ptr())));
    return text;
}

void set(nb::handle d, const char* key, nb::handle value) {
    if (PyDict_SetItemString(d.ptr(), key, value.ptr()) < 0) rethrow();
}

// The summary record written in place of the encoded array record `rec`.
nb::object summary_record(PyObject* rec, const char* reason) {
    PyObject* shape = PyDict_GetItemString(rec, "shape");
    PyObject* dtype = PyDict_GetItemString(rec, "dtype");
    PyObject* data = PyDict_GetItemString(rec, "data");
    bool known = false;
    const kern::summary::Layout layout = layout_of(dtype, known);
    kern::summary::Shape2 dims{0, 0};
    const bool shaped = rows_cols(shape, dims);
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(data));
    std::vector<char> whole;  // the text as ASCII bytes when it is not of kind 1
    const char* text = nullptr;
    if (PyUnicode_KIND(data) == PyUnicode_1BYTE_KIND) {
        text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(data));
    } else {
        whole.resize(n);
        for (size_t i = 0; i < n; ++i) {
            const Py_UCS4 c = PyUnicode_READ_CHAR(data, static_cast<Py_ssize_t>(i));
            whole[i] = c < 128 ? static_cast<char>(c) : '\x01';
        }
        text = whole.data();
    }
    // The record's own min and max, when they are plain finite floats, are
    // likely the range of its finite values: a guess that saves a pass.
    double guess_lo = NAN, guess_hi = NAN;
    PyObject* stats = PyDict_GetItemString(rec, "stats");
    if (stats && PyDict_Check(stats) && layout.type != kern::summary::Elem::C64 &&
        layout.type != kern::summary::Elem::C128 && layout.type != kern::summary::Elem::C256) {
        PyObject* mn = PyDict_GetItemString(stats, "min");
        PyObject* mx = PyDict_GetItemString(stats, "max");
        if (mn && mx && PyFloat_CheckExact(mn) && PyFloat_CheckExact(mx))
            guess_lo = PyFloat_AS_DOUBLE(mn), guess_hi = PyFloat_AS_DOUBLE(mx);
    }
    long long raw_bytes = 0;
    kern::summary::Result r;
    {
        nb::object keep = nb::borrow(data);
        nb::gil_scoped_release release;
        std::vector<uint8_t> decoded;
        bool streamed = known && kern::b64::clean_size(text, n) >= 0;
        if (!streamed) {
            decoded.resize(n / 4 * 3 + 3);
            decoded.resize(kern::b64::decode_lenient(text, n, decoded.data()).written);
            raw_bytes = static_cast<long long>(decoded.size());
        } else {
            raw_bytes = kern::b64::clean_size(text, n);
        }
        if (known && shaped) {
            auto numbers = [&](auto&& f) {
                auto each = [&](const uint8_t* p, size_t m) { kern::summary::for_each_value(layout, p, m, f); };
                if (!streamed || !kern::summary::stream(text, n, layout.itemsize, each)) {
                    if (decoded.empty() && raw_bytes) {
                        decoded.resize(n / 4 * 3 + 3);
                        decoded.resize(kern::b64::decode_lenient(text, n, decoded.data()).written);
                        streamed = false;
                    }
                    each(decoded.data(), decoded.size());
                }
            };
            r = kern::summary::summarise(numbers, dims, guess_lo, guess_hi);
        }
    }
    nb::object counts = checked(PyList_New(kern::summary::kBins));
    for (size_t i = 0; i < kern::summary::kBins; ++i)
        PyList_SET_ITEM(counts.ptr(), static_cast<Py_ssize_t>(i), checked(PyLong_FromLongLong(r.counts[i])).release().ptr());
    nb::object hist = checked(PyDict_New());
    set(hist, "min", checked(PyFloat_FromDouble(r.min)));
    set(hist, "max", checked(PyFloat_FromDouble(r.max)));
    set(hist, "counts", counts);
    nb::object heat = checked(PyDict_New());
    set(heat, "rows", checked(PyLong_FromSize_t(r.rows)));
    set(heat, "cols", checked(PyLong_FromSize_t(r.cols)));
    set(heat, "dtype", nb::str("float32"));
    set(heat, "data", float_list_base64(r.heat));
    nb::object omitted = checked(PyDict_New());
    set(omitted, "reason", nb::str(reason));
    set(omitted, "bytes", checked(PyLong_FromLongLong(raw_bytes)));
    nb::object out = checked(PyDict_New());
    set(out, "shape", shape);
    set(out, "dtype", dtype);
    set(out, "data", nb::str(""));
    set(out, "stats", PyDict_GetItemString(rec, "stats"));
    set(out, "size", PyDict_GetItemString(rec, "size"));
    set(out, "omitted", omitted);
    set(out, "histogram", hist);
    set(out, "heatmap", heat);
    return out;
}

// ---------------------------------------------------------------- the page

// Huge pages over a large fresh page text: otherwise page faults cost more
// than writing it.
void prefer_huge_pages(void* p, size_t n) {
    constexpr uintptr_t kHuge = 2u << 20;
    if (n < 4 * kHuge) return;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // advice only
}

template <typename D>
void write_json(json::Walker& walker, PyObject* data, D* at, size_t length, bool checked_mode) {
    json::Emitter<D> e{at, at + length, checked_mode};
    walker.walk(data, e, false);
    if (e.out != at + length) raise(PyExc_RuntimeError, "the document changed while its page was being written");
}

nb::object render_html(const Args& a) {
    const Payloads mode = payload_mode(a[4]);
    nb::object template_text = module().attr("load_template")("viewer.html");
    if (!PyUnicode_Check(template_text.ptr()))
        raise(PyExc_TypeError, "load_template() returned %.200s, not str", tp_name(template_text));
    nb::object title = module().attr("_escape_html")(a[1]);
    if (!PyUnicode_Check(title.ptr()))
        raise(PyExc_TypeError, "_escape_html() returned %.200s, not str", tp_name(title));
    nb::object width = checked(PyObject_Str(a[2].ptr()));
    nb::object height = checked(PyObject_Str(a[3].ptr()));

    // The title goes in first; the JSON then fills every {{DATA_JSON}} of that
    // text, and {{WIDTH}} then {{HEIGHT}} are replaced over the whole result.
    // Neither of those can match across the JSON's edges or tokens (it starts
    // with '{' and '"' or '}', ends in '}' after no 'H', and has the letters
    // W, I, D, T only inside strings), so they are replaced in each template
    // piece and in each JSON string as it is written.
    nb::object filled = replaced(template_text, "{{TITLE}}", title);
    nb::object pieces = checked(PyUnicode_Split(filled.ptr(), nb::str("{{DATA_JSON}}").ptr(), -1));
    const Py_ssize_t n_pieces = PyList_GET_SIZE(pieces.ptr());
    size_t pieces_length = 0;
    Py_UCS4 max_char = 0x7f;
    for (Py_ssize_t i = 0; i < n_pieces; ++i) {
        nb::object p = replaced(replaced(nb::borrow(PyList_GET_ITEM(pieces.ptr(), i)), "{{WIDTH}}", width),
                                "{{HEIGHT}}", height);
        pieces_length += static_cast<size_t>(PyUnicode_GET_LENGTH(p.ptr()));
        max_char = std::max<Py_UCS4>(max_char, json::max_char_of(p.ptr()));
        if (PyList_SetItem(pieces.ptr(), i, p.release().ptr()) < 0) rethrow();
    }
    const size_t copies = static_cast<size_t>(n_pieces - 1);

    const json::Replacements repl = {{U"{{WIDTH}}", ucs4(width)}, {U"{{HEIGHT}}", ucs4(height)}};
    json::Walker walker(false, &repl);
    walker.collect = mode != Payloads::Full;
    json::Counter measured;
    walker.walk(a[0].ptr(), measured, true);
    walker.collect = false;

    nb::object limit_obj = module().attr("_MAX_PAGE_CHARS");
    const long long limit_ll = PyLong_AsLongLong(limit_obj.ptr());
    if (limit_ll == -1 && PyErr_Occurred()) rethrow();
    const size_t limit = limit_ll < 0 ? 0 : static_cast<size_t>(limit_ll);
    size_t total = pieces_length + copies * measured.length;

    // Records by identity: the length of one occurrence and how many there are.
    std::vector<std::pair<PyObject*, std::pair<size_t, size_t>>> records;
    {
        std::unordered_map<PyObject*, size_t> at;
        for (const auto& rec : walker.records) {
            auto [it, fresh] = at.emplace(rec.dict, records.size());
            if (fresh) records.push_back({rec.dict, {rec.length, 0}});
            ++records[it->second].second.second;
        }
    }
    std::vector<nb::object> summaries;  // owners of the substituted records
    if (copies && (mode == Payloads::Summary || total > limit)) {
        if (mode == Payloads::Full)
            raise(PyExc_ValueError,
                  "the page would be %zu characters, over the %zu that a browser can load "
                  "(render._MAX_PAGE_CHARS); payloads=\"summary\" or payloads=\"auto\" leave raw "
                  "tensor values out so that it fits",
                  total, limit);
        std::string reason = mode == Payloads::Summary
            ? std::string("left out on request (payloads=\"summary\")")
            : "left out: the page would exceed the " + std::to_string(limit / 1000000) +
                  " MB that a browser can load";
        std::stable_sort(records.begin(), records.end(),
                         [](const auto& x, const auto& y) { return x.second.first > y.second.first; });
        json::Walker sizer(false, &repl);
        for (const auto& [dict, len_count] : records) {
            if (mode == Payloads::Auto && total <= limit) break;
            summaries.push_back(nb::borrow(dict));  // alive, and its address its own, while the GIL is released
            nb::object s = summary_record(dict, reason.c_str());
            json::Counter c;
            sizer.walk(s.ptr(), c, true);
            // In "auto" a summary that saves nothing (a tensor smaller than its
            // heat map) is not worth its values.
            if (mode == Payloads::Auto && c.length >= len_count.first) continue;
            walker.substitutes[dict] = s.ptr();
            summaries.push_back(s);
            const size_t saved = len_count.first > c.length ? len_count.first - c.length : 0;
            total -= std::min(total, saved * len_count.second * copies);
        }
        if (!walker.substitutes.empty()) {
            measured = json::Counter{};
            walker.walk(a[0].ptr(), measured, true);
            total = pieces_length + copies * measured.length;
        }
        if (total > limit)
            raise(PyExc_ValueError,
                  "the page would be %zu characters even with every tensor summarised, over the %zu "
                  "that a browser can load (render._MAX_PAGE_CHARS)",
                  total, limit);
    }
    if (copies) max_char = std::max<Py_UCS4>(max_char, measured.max_char);

    nb::object page = checked(PyUnicode_New(static_cast<Py_ssize_t>(total), max_char));
    const int kind = PyUnicode_KIND(page.ptr());
    char* base = static_cast<char*>(PyUnicode_DATA(page.ptr()));
    prefer_huge_pages(base, total * static_cast<size_t>(kind));
    size_t pos = 0, json_at = 0;
    const bool careful = walker.ran_user_code();
    for (Py_ssize_t i = 0; i < n_pieces; ++i) {
        PyObject* p = PyList_GET_ITEM(pieces.ptr(), i);
        const Py_ssize_t len = PyUnicode_GET_LENGTH(p);
        if (len && PyUnicode_CopyCharacters(page.ptr(), static_cast<Py_ssize_t>(pos), p, 0, len) < 0) rethrow();
        pos += static_cast<size_t>(len);
        if (i + 1 == n_pieces) break;
        if (i == 0) {
            json_at = pos;
            char* at = base + pos * static_cast<size_t>(kind);
            if (kind == PyUnicode_1BYTE_KIND)
                write_json(walker, a[0].ptr(), reinterpret_cast<uint8_t*>(at), measured.length, careful);
            else if (kind == PyUnicode_2BYTE_KIND)
                write_json(walker, a[0].ptr(), reinterpret_cast<uint16_t*>(at), measured.length, careful);
            else
                write_json(walker, a[0].ptr(), reinterpret_cast<uint32_t*>(at), measured.length, careful);
        } else {
            std::memcpy(base + pos * kind, base + json_at * kind, measured.length * kind);
        }
        pos += measured.length;
    }
    return page;
}

}  // namespace

NB_MODULE(render, m) {
    g_module = m.ptr();
    nb::module_ json = nb::module_::import_("json");
    nb::object path_cls = nb::module_::import_("pathlib").attr("Path");
    m.attr("Path") = path_cls;
    m.attr("json") = json;

    // The directory of this module's own file, as the import system located it
    // (__file__ is only set once initialisation returns).
    nb::object name = m.attr("__name__");
    nb::object found = nb::module_::import_("importlib.util").attr("find_spec")(name);
    nb::object origin = found.is_none() ? nb::object(nb::none()) : nb::object(found.attr("origin"));
    if (origin.is_none()) raise(PyExc_ImportError, "cannot locate the module file of %U", name.ptr());
    nb::object parent = path_cls(origin).attr("parent");
    // The longest page written. A script's text in V8 holds at most 2**29 - 24
    // characters: headless Chromium opened a 531 MB full page (18 s to ready) and
    // a 759 MB one as an empty graph; this leaves a quarter of margin.
    m.attr("_MAX_PAGE_CHARS") = 400'000'000;
    m.attr("TEMPLATES_DIR") = checked(PyNumber_TrueDivide(parent.ptr(), nb::str("templates").ptr()));

    def(m, "load_template", {arg("name", Kind::Str)}, load_template,
        "Text of the template `name` in TEMPLATES_DIR (UTF-8, universal newlines).\n\n"
        "Refuses a name that is not exactly a str with TypeError; raises FileNotFoundError\n"
        "\"Template not found: <path>\" when nothing exists there.");
    def(m, "render_html",
        {arg("data", Kind::Dict), arg("title", Kind::Str, "ZELQ-Viz"), arg("width", Kind::Int, 1200),
         arg("height", Kind::Int, 800), kw_only(arg("payloads", Kind::Str, "auto"))},
        render_html,
        "The viewer page (a str) for the viewer document `data`.\n\n"
        "Fills {{TITLE}} (HTML-escaped), {{DATA_JSON}}, {{WIDTH}}, {{HEIGHT}} of viewer.html in\n"
        "order; the JSON is json.dumps' (non-ASCII kept) with <, > and & as \\u escapes.\n"
        "payloads: \"full\" embeds encoded arrays as they are; \"summary\" writes each as a\n"
        "summary record (histogram, heat map, why its data was left out); \"auto\" summarises,\n"
        "largest first, only when the page would exceed _MAX_PAGE_CHARS. The document is not\n"
        "modified. Refuses with TypeError a data that is not exactly a dict, a title or payloads\n"
        "not exactly a str, a width or height not a number; raises json.dumps' errors for data\n"
        "JSON cannot write, and ValueError for another payloads value or a page over the limit.");
    def(m, "_escape_html", {arg("text", Kind::Str)}, escape_html,
        "`text` with & < > \" ' replaced by &amp; &lt; &gt; &quot; &#x27;. Refuses anything but a str\n"
        "with TypeError.");
}
