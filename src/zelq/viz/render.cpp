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
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <bit>
#include <cstring>
#include <unordered_map>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

#include "binding/activity.hpp"
#include "binding/args.hpp"
#include "binding/json.hpp"
#include "binding/templates.hpp"
#include "binding/text.hpp"
#include "kernels/base64.hpp"
#include "kernels/escape.hpp"
#include "kernels/memory.hpp"
#include "kernels/summary.hpp"
#include "kernels/threads.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zv;

namespace {

PyObject* g_module = nullptr;

nb::handle module() { return g_module; }

// A missing template is named in the message; the directory is read anew each call.
nb::object load_template(const Args& a) {
    return templates::read(module().attr("TEMPLATES_DIR"), a[0], templates::Missing::Named);
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

// A summary in the making: what the kernel needs, read from the record with
// the GIL held, so that several can be computed at once without it.
struct SummaryJob {
    PyObject* rec = nullptr;
    nb::object keep;  // the payload str, alive while the GIL is released
    kern::summary::Layout layout;
    bool known = false, shaped = false;
    kern::summary::Shape2 dims{0, 0};
    const char* text = nullptr;
    size_t n = 0;
    std::vector<char> whole;  // the text as ASCII bytes when it is not of kind 1
    double guess_lo = NAN, guess_hi = NAN;
    long long raw_bytes = 0;
    kern::summary::Result r;
    std::exception_ptr failed;

    // Without the GIL.
    void compute() {
        try {
            std::vector<uint8_t> decoded;
            bool streamed = known && kern::b64::clean_size(text, n) >= 0;
            if (!streamed) {
                decoded.resize(n / 4 * 3 + 3);
                decoded.resize(kern::b64::decode_lenient(text, n, decoded.data()).written);
                raw_bytes = static_cast<long long>(decoded.size());
            } else {
                raw_bytes = kern::b64::clean_size(text, n);
            }
            if (!known || !shaped) return;
            auto numbers = [&](auto&& f) {
                auto each = [&](const uint8_t* p, size_t m) { kern::summary::for_each_span(layout, p, m, f); };
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
        } catch (...) {
            failed = std::current_exception();
        }
    }
};

void prepare(SummaryJob& job, PyObject* rec) {
    job.rec = rec;
    PyObject* dtype = PyDict_GetItemString(rec, "dtype");
    PyObject* data = PyDict_GetItemString(rec, "data");
    job.layout = layout_of(dtype, job.known);
    job.shaped = rows_cols(PyDict_GetItemString(rec, "shape"), job.dims);
    job.keep = nb::borrow(data);
    job.n = static_cast<size_t>(PyUnicode_GET_LENGTH(data));
    if (PyUnicode_KIND(data) == PyUnicode_1BYTE_KIND) {
        job.text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(data));
    } else {
        job.whole.resize(job.n);
        for (size_t i = 0; i < job.n; ++i) {
            const Py_UCS4 c = PyUnicode_READ_CHAR(data, static_cast<Py_ssize_t>(i));
            job.whole[i] = c < 128 ? static_cast<char>(c) : '\x01';
        }
        job.text = job.whole.data();
    }
    // The record's own min and max, when they are plain finite floats, are
    // likely the range of its finite values: a guess that saves a pass.
    PyObject* stats = PyDict_GetItemString(rec, "stats");
    const auto type = job.layout.type;
    if (stats && PyDict_Check(stats) && type != kern::summary::Elem::C64 && type != kern::summary::Elem::C128 &&
        type != kern::summary::Elem::C256) {
        PyObject* mn = PyDict_GetItemString(stats, "min");
        PyObject* mx = PyDict_GetItemString(stats, "max");
        if (mn && mx && PyFloat_CheckExact(mn) && PyFloat_CheckExact(mx))
            job.guess_lo = PyFloat_AS_DOUBLE(mn), job.guess_hi = PyFloat_AS_DOUBLE(mx);
    }
}

using kern::cores;

// Computes the jobs on up to as many threads as there are cores, the GIL released.
void compute_all(std::vector<SummaryJob>& jobs) {
    {
        nb::gil_scoped_release release;
        kern::run_tasks(jobs.size(), cores(), [&](size_t k) { jobs[k].compute(); });
    }
    for (auto& job : jobs)
        if (job.failed) std::rethrow_exception(job.failed);
}

// The summary record written in place of the encoded array record of `job`.
nb::object summary_record(const SummaryJob& job, const char* reason) {
    PyObject* rec = job.rec;
    const kern::summary::Result& r = job.r;
    const long long raw_bytes = job.raw_bytes;
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
    set(out, "shape", PyDict_GetItemString(rec, "shape"));
    set(out, "dtype", PyDict_GetItemString(rec, "dtype"));
    set(out, "data", nb::str(""));
    set(out, "stats", PyDict_GetItemString(rec, "stats"));
    set(out, "size", PyDict_GetItemString(rec, "size"));
    set(out, "omitted", omitted);
    set(out, "histogram", hist);
    set(out, "heatmap", heat);
    return out;
}

// ---------------------------------------------------------------- the page

// A page length setting of this module, read at each call (tests lower it).
size_t page_chars_setting(const char* name) {
    nb::object value = module().attr(name);
    const long long v = PyLong_AsLongLong(value.ptr());
    if (v == -1 && PyErr_Occurred()) rethrow();
    return v < 0 ? 0 : static_cast<size_t>(v);
}

template <typename D>
void write_json(json::Walker& walker, D* at, size_t length) {
    json::Emitter<D> e{at, at + length};
    walker.write(e);
    if (e.out != at + length) raise(PyExc_RuntimeError, "the document changed while its page was being written");
}

// ---------------------------------------------------------------- render_html, step by step

// The arguments of render_html, checked, with the recorded activity and the
// node measures already turned into their page documents.
struct PageRequest {
    PyObject* data = nullptr;
    Payloads mode = Payloads::Auto;
    nb::handle title, width, height;
    nb::object activity, measures;   // page documents, or unset
    nb::object net_style, net_script;  // the network parts (zelq.viz.network.page), or unset
};

// Keywords of the network parts: statistics, states, trace_neurons, inputs, t0,
// sensor_size, classes, label, output (arguments 8 to 16).
constexpr size_t kFirstNetArg = 8, kNetArgs = 9;

bool wants_network(const Args& a) {
    for (size_t i = kFirstNetArg; i < kFirstNetArg + kNetArgs; ++i)
        if (!a.is_none(i)) return true;
    return false;
}

// Both extras are computed before the page is written: a refused recording or
// measure costs no page.
PageRequest bind(const Args& a) {
    PageRequest r;
    r.data = a[0].ptr();
    r.mode = payload_mode(a[4]);
    activity::time_step(a[6]);
    nb::object engine;
    if (!a.is_none(5) || !a.is_none(7) || wants_network(a)) engine = nb::module_::import_("zelq.viz._activity");
    if (!a.is_none(5)) r.activity = engine.attr("_activity_document")(a[0], a[5], a[6]);
    nb::object node_data = nb::borrow(a[7]);
    if (wants_network(a)) {
        // Written in Python: the parts' document and the measures that the statistics add.
        nb::object part = nb::module_::import_("zelq.viz.network.page").attr("network_part")(
            a[0], a[5], a[6], a[8], a[9], a[10], a[11], a[12], a[13], a[14], a[15], a[16], a[7]);
        r.net_style = part["style"];
        r.net_script = part["script"];
        node_data = part["node_data"];
    }
    if (!node_data.is_none()) r.measures = engine.attr("_measures_document")(a[0], node_data);
    r.title = a[1];
    r.width = a[2];
    r.height = a[3];
    return r;
}

// The elements of the page that carry the extras: their "null" is replaced by
// the extra's JSON (escaped for a script element, as the document is). Titles
// and the document cannot spell them (their < are escaped), so the first one
// in the template pieces is the template's own.
constexpr std::string_view kActivitySlot = "<script id=\"zelq-activity\" type=\"application/json\">null</script>";
constexpr std::string_view kMeasuresSlot = "<script id=\"zelq-measures\" type=\"application/json\">null</script>";

// `piece` with the first `slot` filled by `extra`, when `extra` is set and the
// slot has not been filled in an earlier piece.
nb::object fill_slot(nb::object piece, std::string_view slot, nb::handle extra, bool& done) {
    if (done || !extra.is_valid()) return piece;
    const nb::str marker(slot.data(), slot.size());
    const Py_ssize_t at = PyUnicode_Find(piece.ptr(), marker.ptr(), 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) rethrow();
    if (at < 0) return piece;
    done = true;
    const std::string open(slot.substr(0, slot.size() - std::string_view("null</script>").size()));
    const std::string filled = open + utf8(json::to_str(extra.ptr(), false)) + "</script>";
    return piece.attr("replace")(marker, from_utf8(filled), 1);
}

// `piece` with `text` inserted before (or after) the first `mark`, once over all pieces.
nb::object insert_at(nb::object piece, std::string_view mark, nb::handle text, bool after, bool& done) {
    if (done || !text.is_valid()) return piece;
    const nb::str marker(mark.data(), mark.size());
    const Py_ssize_t at = PyUnicode_Find(piece.ptr(), marker.ptr(), 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) rethrow();
    if (at < 0) return piece;
    done = true;
    nb::object joined = after ? checked(PyUnicode_Concat(marker.ptr(), text.ptr()))
                              : checked(PyUnicode_Concat(text.ptr(), marker.ptr()));
    return piece.attr("replace")(marker, joined, 1);
}

constexpr std::string_view kHeadEnd = "</head>";
constexpr std::string_view kPartsMark = "// ---- further parts, in the order they are made:\n";

// The template around the document: its text split at each {{DATA_JSON}},
// every piece with the title, width, height and the extras in place.
struct PageTemplate {
    nb::object pieces;  // list of str
    nb::object width, height;  // as text
    size_t length = 0;  // of all pieces
    Py_UCS4 max_char = 0x7f;
    size_t copies() const { return static_cast<size_t>(PyList_GET_SIZE(pieces.ptr()) - 1); }
};

PageTemplate fill(const PageRequest& r) {
    nb::object template_text = module().attr("load_template")("viewer.html");
    if (!PyUnicode_Check(template_text.ptr()))
        raise(PyExc_TypeError, "load_template() returned %.200s, not str", tp_name(template_text));
    nb::object title = module().attr("_escape_html")(r.title);
    if (!PyUnicode_Check(title.ptr()))
        raise(PyExc_TypeError, "_escape_html() returned %.200s, not str", tp_name(title));
    // The title goes in first; the JSON then fills every {{DATA_JSON}} of that
    // text, and {{WIDTH}} then {{HEIGHT}} are replaced over the whole result.
    // Neither of those can match across the JSON's edges or tokens (it starts
    // with '{' and '"' or '}', ends in '}' after no 'H', and has the letters
    // W, I, D, T only inside strings), so they are replaced in each template
    // piece and in each JSON string as it is written. The extras go in last,
    // so that no placeholder is looked for inside them.
    PageTemplate t;
    t.width = checked(PyObject_Str(r.width.ptr()));
    t.height = checked(PyObject_Str(r.height.ptr()));
    nb::object filled = replaced(template_text, "{{TITLE}}", title);
    t.pieces = checked(PyUnicode_Split(filled.ptr(), nb::str("{{DATA_JSON}}").ptr(), -1));
    bool activity_done = false, measures_done = false, style_done = false, script_done = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(t.pieces.ptr()); ++i) {
        nb::object p = replaced(replaced(nb::borrow(PyList_GET_ITEM(t.pieces.ptr(), i)), "{{WIDTH}}", t.width),
                                "{{HEIGHT}}", t.height);
        p = fill_slot(p, kActivitySlot, r.activity, activity_done);
        p = fill_slot(p, kMeasuresSlot, r.measures, measures_done);
        p = insert_at(p, kHeadEnd, r.net_style, false, style_done);
        p = insert_at(p, kPartsMark, r.net_script, true, script_done);
        t.length += static_cast<size_t>(PyUnicode_GET_LENGTH(p.ptr()));
        t.max_char = std::max<Py_UCS4>(t.max_char, json::max_char_of(p.ptr()));
        if (PyList_SetItem(t.pieces.ptr(), i, p.release().ptr()) < 0) rethrow();
    }
    return t;
}

// The document's JSON as the page will hold it: its exact length and widest
// character, with large tensors replaced by summaries where `mode` asks for it
// or the page would not load otherwise. `summaries` owns the substitutes.
json::Counter choose_summaries(PyObject* data, Payloads mode, const PageTemplate& tpl, json::Walker& walker,
                               const json::Replacements& repl, std::vector<nb::object>& summaries) {
    const size_t pieces_length = tpl.length, copies = tpl.copies();
    walker.collect = mode != Payloads::Full;
    json::Counter measured;
    walker.measure(data, measured);
    walker.collect = false;

    const size_t limit = page_chars_setting("_MAX_PAGE_CHARS");
    // A page that must be summarised anyway is summarised down to this, so
    // that it opens in about half the time of one at the limit.
    const size_t summarised_goal = std::min(limit, page_chars_setting("_SUMMARISED_PAGE_CHARS"));
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
        // Summaries are computed a batch at a time on every core (in "auto" one
        // per core: the last batch may hold a few that are not needed).
        const size_t batch = mode == Payloads::Summary ? 64 * cores() : cores();
        for (size_t first = 0; first < records.size(); first += batch) {
            if (mode == Payloads::Auto && total <= summarised_goal) break;
            std::vector<SummaryJob> jobs(std::min(batch, records.size() - first));
            for (size_t k = 0; k < jobs.size(); ++k) {
                summaries.push_back(nb::borrow(records[first + k].first));  // alive, its address its own
                prepare(jobs[k], records[first + k].first);
            }
            compute_all(jobs);
            for (size_t k = 0; k < jobs.size(); ++k) {
                if (mode == Payloads::Auto && total <= summarised_goal) break;
                const auto& [dict, len_count] = records[first + k];
                nb::object s = summary_record(jobs[k], reason.c_str());
                json::Counter c;
                sizer.measure(s.ptr(), c);
                // In "auto" a summary that saves nothing (a tensor smaller than its
                // heat map) is not worth its values.
                if (mode == Payloads::Auto && c.length >= len_count.first) continue;
                walker.substitutes[dict] = s.ptr();
                summaries.push_back(s);
                const size_t saved = len_count.first > c.length ? len_count.first - c.length : 0;
                total -= std::min(total, saved * len_count.second * copies);
            }
        }
        if (!walker.substitutes.empty()) {
            measured = json::Counter{};
            walker.measure(data, measured);
            total = pieces_length + copies * measured.length;
        }
        if (total > limit)
            raise(PyExc_ValueError,
                  "the page would be %zu characters even with every tensor summarised, over the %zu "
                  "that a browser can load (render._MAX_PAGE_CHARS)",
                  total, limit);
    }
    return measured;
}

// The page: the template pieces with the document's JSON written once between
// the first two and copied between the others, into one str of its final size.
nb::object write(const PageTemplate& tpl, json::Walker& walker, const json::Counter& measured) {
    const size_t copies = tpl.copies();
    const size_t total = tpl.length + copies * measured.length;
    const Py_UCS4 max_char = copies ? std::max<Py_UCS4>(tpl.max_char, measured.max_char) : tpl.max_char;
    nb::object page = checked(PyUnicode_New(static_cast<Py_ssize_t>(total), max_char));
    const int kind = PyUnicode_KIND(page.ptr());
    char* base = static_cast<char*>(PyUnicode_DATA(page.ptr()));
    kern::PagesAhead ahead(base, total * static_cast<size_t>(kind));
    const Py_ssize_t n_pieces = PyList_GET_SIZE(tpl.pieces.ptr());
    size_t pos = 0, json_at = 0;
    for (Py_ssize_t i = 0; i < n_pieces; ++i) {
        PyObject* p = PyList_GET_ITEM(tpl.pieces.ptr(), i);
        const Py_ssize_t len = PyUnicode_GET_LENGTH(p);
        if (len && PyUnicode_CopyCharacters(page.ptr(), static_cast<Py_ssize_t>(pos), p, 0, len) < 0) rethrow();
        pos += static_cast<size_t>(len);
        if (i + 1 == n_pieces) break;
        if (i == 0) {
            json_at = pos;
            char* at = base + pos * static_cast<size_t>(kind);
            if (kind == PyUnicode_1BYTE_KIND)
                write_json(walker, reinterpret_cast<uint8_t*>(at), measured.length);
            else if (kind == PyUnicode_2BYTE_KIND)
                write_json(walker, reinterpret_cast<uint16_t*>(at), measured.length);
            else
                write_json(walker, reinterpret_cast<uint32_t*>(at), measured.length);
        } else {
            std::memcpy(base + pos * kind, base + json_at * kind, measured.length * kind);
        }
        pos += measured.length;
    }
    return page;
}

nb::object render_html(const Args& a) {
    const PageRequest request = bind(a);
    const PageTemplate tpl = fill(request);
    const json::Replacements repl = {{U"{{WIDTH}}", ucs4(tpl.width)}, {U"{{HEIGHT}}", ucs4(tpl.height)}};
    json::Walker walker(false, &repl);
    std::vector<nb::object> summaries;  // owners of the substituted records
    const json::Counter measured = choose_summaries(request.data, request.mode, tpl, walker, repl, summaries);
    return write(tpl, walker, measured);
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
    // The longest page written. Chromium's strings hold at most 2**29 - 24
    // characters: headless Chromium opened a 531 MB full page (4.7 s to ready),
    // and one of 569 MB ended the tab; this leaves a quarter of margin.
    m.attr("_MAX_PAGE_CHARS") = 400'000'000;
    // What "auto" summarises a page down to once it is over the limit: Chromium
    // passes about 110 MB of page a second here, so such a page opens in about
    // 2 s instead of 4 to 5.
    m.attr("_SUMMARISED_PAGE_CHARS") = 200'000'000;
    m.attr("TEMPLATES_DIR") = checked(PyNumber_TrueDivide(parent.ptr(), nb::str("templates").ptr()));

    def(m, "load_template", {arg("name", Kind::Str)}, load_template,
        "Text of the template `name` in TEMPLATES_DIR (UTF-8, universal newlines).\n\n"
        "Refuses a name that is not exactly a str with TypeError; raises FileNotFoundError\n"
        "\"Template not found: <path>\" when nothing exists there.");
    def(m, "render_html",
        {arg("data", Kind::Dict), arg("title", Kind::Str, "ZELQ-Viz"), arg("width", Kind::Int, 1200),
         arg("height", Kind::Int, 800), kw_only(arg("payloads", Kind::Str, "auto")),
         kw_only(arg_none("activity", Kind::Dict)), kw_only(arg_none("dt")),
         kw_only(arg_none("node_data", Kind::Dict)), kw_only(arg_none("statistics", Kind::Dict)),
         kw_only(arg_none("states", Kind::Dict)), kw_only(arg_none("trace_neurons", Kind::Dict)),
         kw_only(arg_none("inputs")), kw_only(arg_none("t0", Kind::Int)), kw_only(arg_none("sensor_size", Kind::Tuple)),
         kw_only(arg_none("classes")), kw_only(arg_none("label", Kind::Int)), kw_only(arg_none("output", Kind::Str))},
        render_html,
        "The viewer page (a str) for the viewer document `data`, from viewer.html.\n\n"
        "payloads: \"full\" embeds arrays; \"summary\" summarises each; \"auto\" only over\n"
        "_MAX_PAGE_CHARS. activity, dt: activity by node id. node_data: {measure: {id: number}}.\n"
        "statistics: layer_statistics' result, as a layer table and measures. states: {id: (T, ...)}\n"
        "traced (64 neurons a node; trace_neurons={id: [i]} names some). inputs (t0 us, sensor_size):\n"
        "a recording for the Input node, step by step. classes, label, output: the classes' names,\n"
        "the true one, the node of the classes (default: the Output's input).\n"
        "TypeError: wrong types; ValueError: a bad payloads, a page over the limit, an unknown id,\n"
        "a shape unlike its node's, NaN in states (naming the node).");
    def(m, "_escape_html", {arg("text", Kind::Str)}, escape_html,
        "`text` with & < > \" ' replaced by &amp; &lt; &gt; &quot; &#x27;. Refuses anything but a str\n"
        "with TypeError.");
}
