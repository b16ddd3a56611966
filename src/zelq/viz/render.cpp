// zelq.viz.render: a viewer document into the standalone graph page.
//
// The page text is assembled as UTF-8 by the kernels of kernels/escape.hpp.
// load_template, _escape_html and TEMPLATES_DIR are looked up in the module
// namespace at each call, so a replaced attribute is honoured.
#include <Python.h>
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "binding/args.hpp"
#include "binding/text.hpp"
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
         arg("height", Kind::Int, 800), kw_only(arg("payloads", Kind::Str, "auto"))},
        render_html,
        "The viewer page for the viewer document `data`.\n\n"
        "Fills {{TITLE}} (HTML-escaped), {{DATA_JSON}}, {{WIDTH}} and {{HEIGHT}} of viewer.html, in\n"
        "this order. The JSON keeps non-ASCII characters and writes <, > and & as \\u003c, \\u003e\n"
        "and \\u0026, so no document string can close the script that holds it. Refuses with\n"
        "TypeError a data that is not exactly a dict, a title that is not exactly a str, and a\n"
        "width or height that is not a number.");
    def(m, "_escape_html", {arg("text", Kind::Str)}, escape_html,
        "`text` with & < > \" ' replaced by &amp; &lt; &gt; &quot; &#x27;. Refuses anything but a str\n"
        "with TypeError.");
}
