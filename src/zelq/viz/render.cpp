// zelq.viz.render: a viewer document into the standalone graph page.
//
// The page text is assembled as UTF-8 by the kernels of kernels/escape.hpp.
// load_template, _escape_html and TEMPLATES_DIR are looked up in the module
// namespace at each call, so a replaced attribute is honoured.
#include <Python.h>
#include <nanobind/nanobind.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "binding/args.hpp"
#include "binding/text.hpp"
#include "kernels/activity.hpp"
#include "kernels/base64.hpp"
#include "kernels/escape.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zv;

namespace {

PyObject* g_module = nullptr;
PyObject* g_dumps = nullptr;  // owned for the life of the process, never released

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

// ---------------------------------------------------------------- activity

// The element in the page that carries the activity summary; render_html puts
// the summary's JSON in place of its "null".
constexpr std::string_view kActivityMarker = "<script id=\"zelq-activity\" type=\"application/json\">null</script>";

nb::object numpy() { return nb::module_::import_("numpy"); }

bool has_attr(nb::handle h, const char* name) {
    return PyObject_HasAttrString(h.ptr(), name) == 1;
}

// A NumPy view of `obj`: the buffer protocol and __array__ through asarray,
// tensors that only speak DLPack through from_dlpack. No copy where NumPy
// can avoid one.
nb::object as_array(nb::handle obj) {
    nb::object np = numpy();
    if (!PyObject_CheckBuffer(obj.ptr()) && !has_attr(obj, "__array__") && has_attr(obj, "__dlpack__"))
        return np.attr("from_dlpack")(obj);
    return np.attr("asarray")(obj);
}

// A buffer released however its holder's construction ends.
struct HeldBuffer {
    Py_buffer view{};
    bool held = false;
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held) PyBuffer_Release(&view);
    }
};

// A held read-only view of an activity array and its layout for the kernel.
class ActivityView {
public:
    ActivityView(nb::handle obj, nb::handle node) {
        array_ = as_array(obj);
        nb::object dtype = array_.attr("dtype");
        const std::string kind = nb::cast<std::string>(dtype.attr("kind"));
        const Py_ssize_t size = nb::cast<Py_ssize_t>(dtype.attr("itemsize"));
        kern::Strided& a = layout_;
        if (kind == "b" && size == 1) a.kind = kern::NumKind::Bool;
        else if (kind == "i" && (size == 1 || size == 2 || size == 4 || size == 8)) a.kind = kern::NumKind::Int;
        else if (kind == "u" && (size == 1 || size == 2 || size == 4 || size == 8)) a.kind = kern::NumKind::UInt;
        else if (kind == "f" && (size == 2 || size == 4 || size == 8)) a.kind = kern::NumKind::Float;
        else {
            nb::str shown = nb::str(dtype);
            raise(PyExc_TypeError, "Activity of node %R must hold real numbers, not %s", node.ptr(), shown.c_str());
        }
        a.size = static_cast<uint8_t>(size);
        const std::string order = nb::cast<std::string>(dtype.attr("byteorder"));
        const bool little = std::endian::native == std::endian::little;
        a.swapped = (order == ">" && little) || (order == "<" && !little);
        if (PyObject_GetBuffer(array_.ptr(), &buffer_.view, PyBUF_STRIDES) < 0) rethrow();
        buffer_.held = true;
        const Py_buffer& view_ = buffer_.view;
        if (view_.ndim == 0) raise(PyExc_ValueError, "Activity of node %R has no time axis (a 0-d array)", node.ptr());
        for (int d = 0; d < view_.ndim; ++d) {
            a.shape.push_back(view_.shape[d]);
            a.strides.push_back(view_.strides[d]);
        }
        if (a.shape[0] == 0) raise(PyExc_ValueError, "Activity of node %R has no time steps", node.ptr());
        for (size_t d = 1; d < a.shape.size(); ++d)
            if (a.shape[d] == 0) raise(PyExc_ValueError, "Activity of node %R has no neurons", node.ptr());
        a.base = static_cast<const std::byte*>(view_.buf);
    }

    nb::object dtype_name() const { return checked(PyObject_Str(nb::object(array_.attr("dtype")).ptr())); }

    kern::ActivitySummary summarize(nb::handle node) const {
        kern::ActivitySummary s;
        {
            nb::gil_scoped_release release;
            s = kern::summarize_activity(layout_);
        }
        if (!s.finite) raise(PyExc_ValueError, "Activity of node %R holds non-finite values", node.ptr());
        return s;
    }

private:
    nb::object array_;
    HeldBuffer buffer_;  // after array_: released before it
    kern::Strided layout_;
};

nb::list float_list(const std::vector<double>& v, double scale) {
    nb::list out;
    for (double x : v) out.append(nb::float_(x * scale));
    return out;
}

// Six significant digits: what the page can show, at a third of the JSON.
nb::object short_float(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return nb::float_(std::strtod(buf, nullptr));
}

nb::list short_list(const std::vector<double>& v, double scale) {
    nb::list out;
    for (double x : v) out.append(short_float(x * scale));
    return out;
}

nb::object summarize_activity(const Args& a) {
    ActivityView view(a[0], a[1]);
    const kern::ActivitySummary s = view.summarize(a[1]);
    nb::bytes raster(reinterpret_cast<const char*>(s.raster.data()), s.raster.size() * sizeof(float));
    nb::dict out;
    out["steps"] = s.steps;
    out["neurons"] = s.neurons;
    out["counts"] = s.counts;
    out["mean"] = s.mean;
    out["population"] = float_list(s.population, 1);
    out["peak"] = float_list(s.peak, 1);
    out["silent"] = float_list(s.silent, 1);
    out["silent_all"] = s.silent_all;
    out["raster"] = numpy().attr("frombuffer")(raster, "float32").attr("reshape")(s.bins, s.raster_neurons);
    out["hist_lo"] = s.hist_lo;
    out["hist_hi"] = s.hist_hi;
    nb::list hist;
    for (int64_t c : s.histogram) hist.append(c);
    out["histogram"] = hist;
    return out;
}

// The raster cells as bytes 0..255 over [lo, hi], base64.
nb::dict raster_record(const kern::ActivitySummary& s, double scale) {
    double lo = INFINITY, hi = -INFINITY;
    for (float v : s.raster) {
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    if (s.counts) lo = 0;
    std::string bytes(s.raster.size(), '\0');
    const double span = hi - lo;
    if (span > 0)
        for (size_t i = 0; i < s.raster.size(); ++i)
            bytes[i] = static_cast<char>(static_cast<uint8_t>(std::lround((s.raster[i] - lo) / span * 255.0)));
    std::string text(kern::b64::encoded_size(bytes.size()), '\0');
    kern::b64::encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), text.data());
    nb::dict r;
    r["bins"] = s.bins;
    r["neurons"] = s.raster_neurons;
    r["lo"] = short_float(lo * scale);
    r["hi"] = short_float(hi * scale);
    r["data"] = from_utf8(text);
    return r;
}

double time_step(nb::handle dt) {
    if (dt.is_none()) return 0;
    if (PyUnicode_Check(dt.ptr()) || PyBool_Check(dt.ptr()) || !PyNumber_Check(dt.ptr())) refuse("dt", "float", dt);
    const double v = PyFloat_AsDouble(dt.ptr());
    if (v == -1 && PyErr_Occurred()) rethrow();
    if (!(v > 0) || !std::isfinite(v))
        raise(PyExc_ValueError, "dt must be a positive number of seconds (got %R)", dt.ptr());
    return v;
}

nb::object activity_document(const Args& a) {
    const double dt = time_step(a[2]);
    const double rate = dt > 0 ? 1.0 / dt : 1.0;
    // Node identifiers of the document, each mapped to itself.
    nb::dict known;
    nb::object nodes = nb::borrow(PyDict_GetItemString(a[0].ptr(), "nodes"));
    if (nodes.is_valid() && !nodes.is_none()) {
        nb::object it = checked(PyObject_GetIter(nodes.ptr()));
        while (PyObject* rec = PyIter_Next(it.ptr())) {
            nb::object r = nb::steal(rec);
            if (!PyDict_Check(rec)) continue;
            PyObject* id = PyDict_GetItemString(rec, "id");
            if (!id) continue;
            if (PyDict_SetItem(known.ptr(), id, id) < 0) PyErr_Clear();  // an unhashable id names no activity
        }
        if (PyErr_Occurred()) rethrow();
    }
    nb::list out_nodes;
    int64_t max_bins = 0;
    for (auto [key, value] : nb::borrow<nb::dict>(a[1])) {
        PyObject* id = PyDict_GetItemWithError(known.ptr(), key.ptr());
        if (!id) {
            if (PyErr_Occurred()) rethrow();
            raise(PyExc_ValueError, "Activity names node %R, which is not in the document", key.ptr());
        }
        ActivityView view(value, key);
        const kern::ActivitySummary s = view.summarize(key);
        const double scale = s.counts ? rate : 1.0;
        double peak = -INFINITY;
        for (double p : s.peak) peak = p > peak ? p : peak;
        max_bins = std::max(max_bins, s.bins);
        nb::dict n;
        n["id"] = nb::borrow(id);
        n["kind"] = s.counts ? "counts" : "values";
        n["steps"] = s.steps;
        n["neurons"] = s.neurons;
        n["dtype"] = view.dtype_name();
        n["mean"] = short_float(s.mean * scale);
        n["peak"] = short_float(peak * scale);
        n["silent"] = s.counts ? short_float(s.silent_all) : nb::none();
        n["population"] = short_list(s.population, scale);
        n["peak_bins"] = short_list(s.peak, scale);
        n["silent_bins"] = s.counts ? nb::object(short_list(s.silent, 1)) : nb::none();
        nb::dict h;
        h["lo"] = short_float(s.hist_lo * scale);
        h["hi"] = short_float(s.hist_hi * scale);
        nb::list counts;
        for (int64_t c : s.histogram) counts.append(c);
        h["counts"] = counts;
        n["histogram"] = h;
        n["raster"] = raster_record(s, scale);
        out_nodes.append(n);
    }
    nb::dict doc;
    doc["unit"] = dt > 0 ? "Hz" : "spikes/step";
    doc["dt"] = dt > 0 ? nb::object(nb::float_(dt)) : nb::none();
    doc["bins"] = max_bins;
    doc["nodes"] = out_nodes;
    return doc;
}

// The summary's JSON, escaped for a script element as the document is.
std::string activity_json(nb::handle summary) {
    return json_for_script(nb::handle(g_dumps)(summary, "ensure_ascii"_a = false));
}

// The JSON in place of the "null" of the first activity element; a template
// without one is left as it is. Titles and the document cannot spell the
// element (their < are escaped), so the first one is the template's.
void put_activity(std::string& html, const std::string& json) {
    const size_t at = html.find(kActivityMarker);
    if (at == std::string::npos) return;
    html.replace(at + kActivityMarker.size() - std::string_view("null</script>").size(), 4, json);
}



enum class Payloads { Auto, Full, Summary };

Payloads payload_mode(nb::handle value) {
    if (PyUnicode_CompareWithASCIIString(value.ptr(), "auto") == 0) return Payloads::Auto;
    if (PyUnicode_CompareWithASCIIString(value.ptr(), "full") == 0) return Payloads::Full;
    if (PyUnicode_CompareWithASCIIString(value.ptr(), "summary") == 0) return Payloads::Summary;
    raise(PyExc_ValueError, "payloads must be 'auto', 'full' or 'summary', not %R", value.ptr());
}

nb::object render_html(const Args& a) {
    const Payloads mode = payload_mode(a[4]);
    if (mode == Payloads::Summary) raise(PyExc_NotImplementedError, "payloads='summary'");
    time_step(a[6]);
    std::string activity;
    if (!a.is_none(5)) activity = activity_json(module().attr("_activity_document")(a[0], a[5], a[6]));
    nb::object template_text = module().attr("load_template")("viewer.html");
    if (!PyUnicode_Check(template_text.ptr()))
        raise(PyExc_TypeError, "load_template() returned %.200s, not str", tp_name(template_text));
    nb::object json = nb::handle(g_dumps)(a[0], "ensure_ascii"_a = false);
    nb::object title = module().attr("_escape_html")(a[1]);
    if (!PyUnicode_Check(title.ptr()))
        raise(PyExc_TypeError, "_escape_html() returned %.200s, not str", tp_name(title));
    nb::object width = checked(PyObject_Str(a[2].ptr()));
    nb::object height = checked(PyObject_Str(a[3].ptr()));

    const std::string data_json = json_for_script(json);
    std::string html = utf8(template_text);
    const std::string title_text = utf8(title), width_text = utf8(width), height_text = utf8(height);
    {
        nb::gil_scoped_release release;
        html = kern::replace_all(html, "{{TITLE}}", title_text);
        html = kern::replace_all(html, "{{DATA_JSON}}", data_json);
        html = kern::replace_all(html, "{{WIDTH}}", width_text);
        html = kern::replace_all(html, "{{HEIGHT}}", height_text);
        if (!activity.empty()) put_activity(html, activity);
    }
    return from_utf8(html);
}

}  // namespace

NB_MODULE(render, m) {
    g_module = m.ptr();
    nb::module_ json = nb::module_::import_("json");
    g_dumps = nb::object(json.attr("dumps")).release().ptr();
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
    m.attr("TEMPLATES_DIR") = checked(PyNumber_TrueDivide(parent.ptr(), nb::str("templates").ptr()));

    def(m, "load_template", {arg("name", Kind::Str)}, load_template,
        "Text of the template `name` in TEMPLATES_DIR (UTF-8, universal newlines).\n\n"
        "Refuses a name that is not exactly a str with TypeError; raises FileNotFoundError\n"
        "\"Template not found: <path>\" when nothing exists there.");
    def(m, "render_html",
        {arg("data", Kind::Dict), arg("title", Kind::Str, "ZELQ-Viz"), arg("width", Kind::Int, 1200),
         arg("height", Kind::Int, 800), kw_only(arg("payloads", Kind::Str, "auto")),
         kw_only(arg_none("activity", Kind::Dict)), kw_only(arg_none("dt"))},
        render_html,
        "The viewer page for the viewer document `data`.\n\n"
        "Fills {{TITLE}} (HTML-escaped), {{DATA_JSON}}, {{WIDTH}} and {{HEIGHT}} of viewer.html, in\n"
        "this order. The JSON keeps non-ASCII characters and writes <, > and & as \\u003c, \\u003e\n"
        "and \\u0026, so no document string can close the script that holds it. Refuses with\n"
        "TypeError a data that is not exactly a dict, a title that is not exactly a str, and a\n"
        "width or height that is not a number.\n\n"
        "activity: node id -> recorded array (time first; counts, bools or values), summarised\n"
        "into the page; dt (seconds) gives rates in Hz. Raises ValueError/TypeError naming the node\n"
        "for an unknown id, a 0-d, empty, non-numeric or non-finite array.");
    def(m, "_summarize_activity", {arg("array"), arg_none("node")}, summarize_activity,
        "The raw activity summary of one array (time first, neurons flattened), for checking.\n\n"
        "Raises as render_html does for its activity arrays, naming `node`.");
    def(m, "_activity_document", {arg("data", Kind::Dict), arg("activity", Kind::Dict), arg_none("dt")},
        activity_document,
        "The page's activity summary: per node of `activity` (identifier -> array, time first), its mean,\n"
        "peak and silent measures, per-bin curves, rate histogram and a uint8 raster.\n\n"
        "Raises ValueError for an identifier not among the document's nodes, an array with no time\n"
        "axis, no steps or no neurons, non-finite values and a dt that is not positive; TypeError for\n"
        "a non-numeric dtype or a dt that is not a number.");
    def(m, "_escape_html", {arg("text", Kind::Str)}, escape_html,
        "`text` with & < > \" ' replaced by &amp; &lt; &gt; &quot; &#x27;. Refuses anything but a str\n"
        "with TypeError.");
}
