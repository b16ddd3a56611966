// zelq.viz.spikes: event recordings to frames, grids, rasters and spike pages.
//
// The binning runs natively over the record array in place (see
// kernels/binning.hpp); this file binds arguments, reads buffers and builds
// the NumPy results. Functions that call each other look the callee up in the
// module namespace, so a replaced module attribute is honoured.
#include <Python.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <bit>
#include <sys/mman.h>
#include <unistd.h>
#include <cstring>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <tuple>
#include <string_view>
#include <type_traits>
#include <vector>

#include "binding/args.hpp"
#include "binding/py.hpp"
#include "binding/json.hpp"
#include "binding/events.hpp"
#include "binding/templates.hpp"
#include "binding/text.hpp"
#include "kernels/binning.hpp"
#include "kernels/base64.hpp"
#include "kernels/colour.hpp"
#include "kernels/escape.hpp"
#include "kernels/evt.hpp"
#include "kernels/evt_count.hpp"
#include "kernels/evt_index.hpp"
#include "kernels/file_summary.hpp"
#include "kernels/png.hpp"
#include "kernels/stream.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zv;

namespace {

PyObject* g_module = nullptr;  // this module, for call-time lookups of its names
// Never destroyed: a static destructor would release them after the interpreter is gone.
nb::object &g_zeros = *new nb::object, &g_float32 = *new nb::object, &g_uint8 = *new nb::object;
nb::object& g_record = *new nb::object;  // the documented event record dtype

nb::handle module() { return g_module; }

// ---------------------------------------------------------------- helpers

nb::object zeros(nb::object shape, const nb::object& dtype) { return g_zeros(shape, dtype); }

using py::length;

void require_positive(const Args& a, size_t i, const char* name) {
    if (a.is_none(i)) return;
    if (PyObject_RichCompareBool(a[i].ptr(), nb::int_(1).ptr(), Py_LT) == 1)
        raise(PyExc_ValueError, "%s must be at least 1 (got %R)", name, a[i].ptr());
}

// A sensor dimension (already accepted by NumPy as an array dimension).
int64_t dimension(nb::handle v) {
    nb::object i = checked(PyNumber_Index(v.ptr()));
    int overflow = 0;
    long long r = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (overflow > 0) return std::numeric_limits<int64_t>::max();
    if (overflow < 0) return std::numeric_limits<int64_t>::min();
    if (r == -1 && PyErr_Occurred()) rethrow();
    return r;
}

// A writable, C-contiguous buffer of an array this module just created.
struct OutBuffer : py::Buffer {
    explicit OutBuffer(nb::handle arr) { require(arr, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS); }
};

struct Fields {
    nb::object x, y, t, p;
};

Fields event_fields(nb::handle events) {
    nb::object result = module().attr("_get_event_fields")(events);
    auto v = unpack(result, 4);
    return {v[0], v[1], v[2], v[3]};
}

[[noreturn]] void raise_missing_fields() {
    raise(PyExc_ValueError, "Events must have time and x coordinate fields");
}

// A whole-array reduction over zero elements has no identity.
void require_elements(const EventView& view, const char* reduction) {
    if (view.size() == 0)
        raise(PyExc_ValueError, "zero-size array to reduction operation %s which has no identity", reduction);
}

kern::EventColumns columns(const EventView& view, const Fields& f, bool with_polarity) {
    kern::EventColumns ev;
    ev.n = view.size();
    ev.t = view.column(f.t);
    ev.x = view.column(f.x);
    if (!f.y.is_none()) ev.y = view.column(f.y);
    if (with_polarity && !f.p.is_none()) ev.p = view.column(f.p);
    return ev;
}

// The largest value of a field as a Python int, as int(field.max()) gives it.
nb::object field_max_int(nb::handle events, nb::handle name) {
    EventView view(events);
    nb::object fdtype = events.attr("dtype").attr("fields")[name][0];
    const std::string kind = nb::cast<std::string>(fdtype.attr("kind"));
    if (kind.size() != 1 || std::string("biuf").find(kind) == std::string::npos ||
        nb::len(nb::object(fdtype.attr("shape"))) != 0) {
        // Not a plain number: let NumPy and int() decide.
        nb::object mx = events[name].attr("max")();
        return checked(PyNumber_Long(mx.ptr()));
    }
    require_elements(view, "maximum");
    const kern::Column col = view.column(name);
    kern::ColumnMax m;
    {
        nb::gil_scoped_release release;
        m = kern::column_max(col, view.size());
    }
    if (m.is_float) return checked(PyNumber_Long(nb::float_(m.f).ptr()));
    if (m.is_unsigned) return checked(PyLong_FromUnsignedLongLong(m.u));
    return checked(PyLong_FromLongLong(m.i));
}

// ---------------------------------------------------------------- field roles

nb::object get_event_fields(const Args& a) {
    nb::object names = a[0].attr("dtype").attr("names");
    auto first_present = [&](std::initializer_list<const char*> candidates) -> nb::object {
        if (names.is_none()) return nb::none();
        for (const char* c : candidates) {
            nb::str s(c);
            int found = PySequence_Contains(names.ptr(), s.ptr());
            if (found < 0) rethrow();
            if (found) return s;
        }
        return nb::none();
    };
    nb::object t = first_present({"t", "ts", "time", "timestamp"});
    nb::object x = first_present({"x", "channel", "addr", "address"});
    nb::object y = first_present({"y", "row"});
    nb::object p = first_present({"p", "pol", "polarity", "on"});
    return nb::make_tuple(x, y, t, p);
}

nb::object detect_sensor_size(const Args& a) {
    nb::handle events = a[0];
    Fields f = event_fields(events);
    if (f.x.is_none()) return nb::make_tuple(128, 128);
    const bool empty = length(events) == 0;
    nb::object one = nb::int_(1);
    nb::object width = empty ? nb::object(nb::int_(128)) : checked(PyNumber_Add(field_max_int(events, f.x).ptr(), one.ptr()));
    nb::object height;
    if (f.y.is_none()) height = one;
    else height = empty ? nb::object(nb::int_(128)) : checked(PyNumber_Add(field_max_int(events, f.y).ptr(), one.ptr()));
    return nb::make_tuple(width, height);
}

// ---------------------------------------------------------------- framing

nb::object frames_native(const Args& a) {
    nb::handle events = a[0];
    require_positive(a, 2, "n_frames");
    Fields f = event_fields(events);
    if (f.t.is_none() || f.x.is_none()) raise_missing_fields();
    auto wh = unpack(a[1], 2);
    nb::object n_frames = nb::borrow(a[2]);
    nb::object out = zeros(nb::make_tuple(n_frames, 2, wh[1], wh[0]), g_float32);
    if (length(events) == 0) return out;

    EventView view(events);
    require_elements(view, "minimum");
    const kern::EventColumns ev = columns(view, f, true);
    const int64_t frames = a.integer(2), width = dimension(wh[0]), height = dimension(wh[1]);
    const bool accumulate = a.truth(3);
    OutBuffer buf(out);
    {
        nb::gil_scoped_release release;
        kern::with_cells(buf.data(), buf.items(), ev.n, [&](auto& cells) {
            kern::count_frames(ev, frames, width, height, cells);
            if (accumulate) cells.finish_cumulative(static_cast<size_t>(frames), 2 * static_cast<size_t>(width * height));
            else cells.finish();
        });
    }
    return out;
}

nb::object frames_tonic(const Args& a) {
    nb::handle events = a[0];
    require_positive(a, 2, "n_frames");
    if (!PyObject_IsTrue(module().attr("TONIC_AVAILABLE").ptr())) raise(PyExc_ImportError, "Tonic not available");
    auto wh = unpack(a[1], 2);
    nb::object n_frames = nb::borrow(a[2]);
    if (length(events) == 0) return zeros(nb::make_tuple(n_frames, 2, wh[1], wh[0]), g_float32);

    nb::object t_field = event_fields(events).t;
    nb::object t_vals = events[t_field];
    nb::object t_min = t_vals.attr("min")(), t_max = t_vals.attr("max")();
    nb::object span = checked(PyNumber_Subtract(t_max.ptr(), t_min.ptr()));
    nb::object builtins = nb::module_::import_("builtins");
    nb::object t_range = builtins.attr("max")(span, 1);
    nb::object window = checked(PyNumber_FloorDivide(t_range.ptr(), n_frames.ptr()));
    window = checked(PyNumber_Add(window.ptr(), nb::int_(1).ptr()));

    nb::object to_frame = module().attr("tonic").attr("transforms").attr("ToFrame");
    nb::object transform = to_frame("sensor_size"_a = nb::make_tuple(wh[0], wh[1], 2), "time_window"_a = window);
    nb::object frames = transform(events);
    const Py_ssize_t m = length(frames), n = a.integer(2);
    if (m < n) {
        nb::object padding = zeros(nb::make_tuple(n - m, 2, wh[1], wh[0]), frames.attr("dtype"));
        nb::object np = module().attr("np");
        frames = np.attr("concatenate")(nb::make_tuple(frames, padding), "axis"_a = 0);
    } else if (m > n) {
        frames = frames[nb::slice(nb::none(), n_frames, nb::none())];
    }
    return frames.attr("astype")(g_float32);
}

bool is_true(nb::handle v) {
    int t = PyObject_IsTrue(v.ptr());
    if (t < 0) rethrow();
    return t != 0;
}

nb::object events_to_frames(const Args& a) {
    nb::handle events = a[0];
    require_positive(a, 2, "n_frames");
    nb::object sensor_size = nb::borrow(a[1]);
    if (sensor_size.is_none()) sensor_size = module().attr("_detect_sensor_size")(events);
    const bool accumulate = a.truth(3);
    // The native engine is the automatic choice: it is exact and faster than
    // Tonic, whose channel order and int16 counts differ from ours.
    const bool use_tonic = !a.is_none(4) && a.truth(4);
    if (use_tonic && !is_true(module().attr("TONIC_AVAILABLE")))
        raise(PyExc_ImportError,
              "Tonic not installed. Install with: uv add zelqviz[tonic] or use use_tonic=False for NumPy fallback.");
    if (use_tonic && !accumulate) {
        try {
            return module().attr("_events_to_frames_tonic")(events, sensor_size, a[2]);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    return module().attr("_events_to_frames_numpy")(events, sensor_size, a[2], nb::bool_(accumulate));
}

// ---------------------------------------------------------------- grid and raster

// The frame stack as float32 C-contiguous memory of the expected shape.
nb::object checked_stack(nb::object frames, nb::handle n, nb::handle height, nb::handle width) {
    nb::object np = module().attr("np");
    frames = np.attr("ascontiguousarray")(frames, "dtype"_a = g_float32);
    nb::object want = nb::make_tuple(n, 2, height, width);
    if (!frames.attr("shape").equal(want))
        raise(PyExc_ValueError, "frame stack has shape %S, expected %S", frames.attr("shape").ptr(), want.ptr());
    return frames;
}

nb::object events_to_grid(const Args& a) {
    nb::handle events = a[0];
    require_positive(a, 2, "n_bins");
    nb::object sensor_size = nb::borrow(a[1]);
    if (sensor_size.is_none()) sensor_size = module().attr("_detect_sensor_size")(events);
    nb::object frames = module().attr("events_to_frames")(events, sensor_size, "n_frames"_a = a[2]);
    auto wh = unpack(sensor_size, 2);
    nb::object grid = zeros(nb::make_tuple(a[2], wh[1], wh[0], 3), g_uint8);
    frames = checked_stack(frames, a[2], wh[1], wh[0]);
    const size_t bins = static_cast<size_t>(a.integer(2));
    const size_t plane = static_cast<size_t>(dimension(wh[0]) * dimension(wh[1]));
    OutBuffer in(frames), out(grid);
    {
        nb::gil_scoped_release release;
        const float* f = static_cast<const float*>(in.data());
        uint8_t* rgb = static_cast<uint8_t*>(out.data());
        for (size_t i = 0; i < bins; ++i)
            kern::colour_separate(f + (2 * i) * plane, f + (2 * i + 1) * plane, plane, rgb + i * plane * 3);
    }
    return grid;
}

nb::object events_to_raster(const Args& a) {
    nb::handle events = a[0];
    require_positive(a, 2, "time_bins");
    Fields f = event_fields(events);
    nb::object time_bins = nb::borrow(a[2]);
    if (length(events) == 0) {
        const bool some = !a.is_none(1) && is_true(a[1]);
        return zeros(nb::make_tuple(time_bins, some ? nb::borrow(a[1]) : nb::object(nb::int_(1))), g_float32);
    }
    auto wh = unpack(module().attr("_detect_sensor_size")(events), 2);
    nb::object n_neurons = nb::borrow(a[1]);
    if (n_neurons.is_none())
        n_neurons = f.y.is_none() ? wh[0] : checked(PyNumber_Multiply(wh[0].ptr(), wh[1].ptr()));
    if (f.t.is_none() || f.x.is_none()) raise_missing_fields();
    nb::object raster = zeros(nb::make_tuple(time_bins, n_neurons), g_float32);

    EventView view(events);
    require_elements(view, "minimum");
    const kern::EventColumns ev = columns(view, f, false);
    const int64_t bins = a.integer(2), neurons = dimension(n_neurons), width = dimension(wh[0]);
    OutBuffer buf(raster);
    {
        nb::gil_scoped_release release;
        kern::with_cells(buf.data(), buf.items(), ev.n, [&](auto& cells) {
            kern::count_raster(ev, bins, neurons, width, cells);
            cells.finish();
        });
    }
    return raster;
}

// ---------------------------------------------------------------- spike page

constexpr const char* kPillowMissing =
    "Pillow is required for spike visualization but was not found. This is a required dependency of "
    "zelqviz. Install with: pip install pillow>=9.0";

// Raise `type(message)` as a `raise` inside an `except` block for `handled`
// would: the handled error becomes the new one's context.
[[noreturn]] void raise_while_handling(nb::handle handled, PyObject* type, const char* message) {
    PyObject* previous = PyErr_GetHandledException();
    PyErr_SetHandledException(handled.ptr());
    PyErr_SetString(type, message);
    PyErr_SetHandledException(previous);
    Py_XDECREF(previous);
    throw nb::python_error();
}

// Pillow's Image module, imported at every call (the flag is not consulted).
nb::object import_pillow() {
    try {
        return nb::module_::import_("PIL.Image");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        raise_while_handling(e.value(), PyExc_ImportError, kPillowMissing);
    }
}

// Any strided read-only buffer, records included.
struct BufferView : py::Buffer {
    bool acquire(nb::handle obj) { return py::Buffer::acquire(obj, PyBUF_RECORDS_RO); }
    void require(nb::handle obj) { py::Buffer::require(obj, PyBUF_RECORDS_RO); }
};

// Base64 text of n bytes, as a str.
nb::object base64_text(const uint8_t* data, size_t n) {
    nb::object text = checked(PyUnicode_New(static_cast<Py_ssize_t>(kern::b64::encoded_size(n)), 127));
    kern::b64::encode(data, n, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.ptr())));
    return text;
}

// Base64 PNG text of an (H, W, 3) uint8 buffer, written natively (see kernels/png.hpp:
// unfiltered rows, run-length deflate; several times faster than Pillow's
// defaults and smaller on event images). An invalid handle when the object
// is no such image; Pillow then decides.
nb::object png_base64(nb::handle img) {
    BufferView buffer;
    if (!buffer.acquire(img)) return {};
    const Py_buffer& v = *buffer;
    const char* fmt = v.format ? v.format : "B";
    if (*fmt == '<' || *fmt == '>' || *fmt == '=' || *fmt == '@' || *fmt == '!') ++fmt;
    if (v.ndim != 3 || v.itemsize != 1 || std::strcmp(fmt, "B") != 0 || v.shape[2] != 3 || v.shape[0] <= 0 ||
        v.shape[1] <= 0 || v.shape[0] > INT32_MAX || v.shape[1] > INT32_MAX)
        return {};
    const size_t height = static_cast<size_t>(v.shape[0]), width = static_cast<size_t>(v.shape[1]);
    std::string png;
    {
        nb::gil_scoped_release release;
        std::vector<uint8_t> rows(kern::png_scanline_bytes(width, height));
        kern::png_scanlines(static_cast<const uint8_t*>(v.buf), width, height, v.strides[0], v.strides[1],
                            v.strides[2], rows.data());
        const std::string stream = kern::zlib_rle(rows.data(), rows.size());
        png = kern::png_file(static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                             reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
    }
    return base64_text(reinterpret_cast<const uint8_t*>(png.data()), png.size());
}

nb::object encode_image_base64(const Args& a) {
    nb::object image_module = import_pillow();
    nb::object img = nb::borrow(a[0]);
    const int other = PyObject_RichCompareBool(img.attr("dtype").ptr(), g_uint8.ptr(), Py_NE);
    if (other < 0) rethrow();
    if (other) img = checked(PyNumber_Multiply(img.ptr(), nb::int_(255).ptr())).attr("astype")(g_uint8);
    nb::object text = png_base64(img);
    if (text.is_valid()) return text;
    // Other shapes and layouts: Pillow picks the mode, or refuses.
    nb::object buffer = module().attr("io").attr("BytesIO")();
    image_module.attr("fromarray")(img).attr("save")(buffer, "format"_a = "PNG");
    nb::object png = buffer.attr("getvalue")();
    return base64_text(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(png.ptr())),
                       static_cast<size_t>(PyBytes_GET_SIZE(png.ptr())));
}

// The spike page lets the read's own error through for a missing template.
nb::object load_template(const Args& a) {
    nb::object dir = templates::beside(module().attr("Path"), module().attr("__file__"));
    return templates::read(dir, a[0], templates::Missing::Host);
}

nb::object html_escape(const Args& a) { return escaped_html(a[0]); }

nb::object render_spike_html(const Args& a) {
    nb::object template_class = nb::module_::import_("string").attr("Template");
    nb::object safe_title = module().attr("_html_escape")(a[1]);
    nb::object data_json = json::to_str(a[0].ptr(), true);
    nb::object template_str = module().attr("_load_template")("spikes.html");
    return template_class(template_str).attr("substitute")("title"_a = safe_title, "data_json"_a = data_json);
}

// ---------------------------------------------------------------- event document

// Encodes every image of an iterable through the module's encoder, in order.
nb::list encode_all(nb::handle images) {
    nb::object encode = module().attr("_encode_image_base64");
    nb::list out;
    nb::object it = checked(PyObject_GetIter(images.ptr()));
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object image = nb::steal(item);
        out.append(encode(image));
    }
    if (PyErr_Occurred()) rethrow();
    return out;
}

// max - min of the time field, truncated to an int, in the field's own
// arithmetic (NumPy scalars), as the reductions give it.
nb::object time_span(nb::handle events, nb::handle t_field) {
    nb::object t = events[t_field];
    nb::object span = checked(PyNumber_Subtract(t.attr("max")().ptr(), t.attr("min")().ptr()));
    return checked(PyNumber_Long(span.ptr()));
}

nb::object item(nb::handle seq, Py_ssize_t i) { return checked(PySequence_GetItem(seq.ptr(), i)); }

nb::object serialize_events(const Args& a) {
    nb::handle events = a[0];
    nb::object n_frames = nb::borrow(a[2]), n_grid_bins = nb::borrow(a[3]);
    nb::object raster_time_bins = nb::borrow(a[4]), max_raster_neurons = nb::borrow(a[5]);
    nb::object sensor_size = nb::borrow(a[1]);
    if (sensor_size.is_none()) {
        sensor_size = module().attr("_detect_sensor_size")(events);
        if (!sensor_size.is_none() && !PyTuple_CheckExact(sensor_size.ptr()))
            raise(PyExc_TypeError, "Expected %s, got %.200s", "tuple", tp_name(sensor_size));
    }
    Fields f = event_fields(events);
    const Py_ssize_t event_count = length(events);
    nb::object duration = nb::int_(0);
    if (event_count > 0 && is_true(f.t)) duration = time_span(events, f.t);

    nb::object grid = module().attr("events_to_grid")(events, sensor_size, "n_bins"_a = n_grid_bins);
    nb::list grid_frames = encode_all(grid);

    nb::object frames = module().attr("events_to_frames")(events, sensor_size, "n_frames"_a = n_frames);
    nb::object width_obj = item(sensor_size, 0), height_obj = item(sensor_size, 1);
    nb::object encode = module().attr("_encode_image_base64");
    nb::list animation_frames;
    const int64_t n = a.integer(2);
    if (n > 0) {
        frames = checked_stack(frames, n_frames, height_obj, width_obj);
        const size_t plane = static_cast<size_t>(dimension(width_obj) * dimension(height_obj));
        BufferView stack;
        stack.require(frames);
        const float* counts = static_cast<const float*>((*stack).buf);
        for (int64_t i = 0; i < n; ++i) {
            // Uninitialised: the colouring writes every byte, green included.
            nb::object frame_rgb = module().attr("np").attr("empty")(nb::make_tuple(height_obj, width_obj, 3), g_uint8);
            {
                OutBuffer rgb(frame_rgb);
                nb::gil_scoped_release release;
                kern::colour_common(counts + (2 * i) * plane, counts + (2 * i + 1) * plane, plane,
                                    static_cast<uint8_t*>(rgb.data()));
            }
            animation_frames.append(encode(frame_rgb));
        }
    }

    auto wh = unpack(sensor_size, 2);
    nb::object total_neurons = is_true(f.y) ? checked(PyNumber_Multiply(wh[0].ptr(), wh[1].ptr())) : wh[0];
    const int smaller = PyObject_RichCompareBool(max_raster_neurons.ptr(), total_neurons.ptr(), Py_LT);
    if (smaller < 0) rethrow();
    nb::object raster_neurons = smaller ? max_raster_neurons : total_neurons;
    nb::object raster = module().attr("events_to_raster")(events, "n_neurons"_a = raster_neurons,
                                                          "time_bins"_a = raster_time_bins);
    nb::object raster_list = raster.attr("tolist")();

    nb::dict doc;
    doc["event_count"] = nb::int_(event_count);
    doc["duration_us"] = duration;
    doc["sensor_size"] = sensor_size;
    doc["grid_frames"] = grid_frames;
    doc["animation_frames"] = animation_frames;
    doc["raster"] = raster_list;
    return doc;
}

// ---------------------------------------------------------------- entry points

// The page in a new temporary .html file (kept for the browser), written as
// UTF-8 since the template declares it; returns the file's path.
nb::object write_temporary_page(nb::handle html) {
    nb::object file = module().attr("tempfile").attr("NamedTemporaryFile")(
        "mode"_a = "w", "suffix"_a = ".html", "delete"_a = false, "encoding"_a = "utf-8");
    nb::object path;
    try {
        file.attr("write")(html);
        path = file.attr("name");
    } catch (nb::python_error&) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    return path;
}

// A headless server or a remote kernel has no browser to open: say where the page
// is rather than stay silent. The path is returned all the same.
nb::object show_page(nb::handle html) {
    nb::object path = write_temporary_page(html);
    nb::object url = checked(PyNumber_Add(nb::str("file://").ptr(), path.ptr()));
    int opened = 0;
    nb::object reason;
    try {
        nb::object result = module().attr("webbrowser").attr("open")(url);
        opened = PyObject_IsTrue(result.ptr());
        if (opened < 0) rethrow();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        opened = 0;
        reason = nb::borrow(e.value());
    }
    if (!opened) {
        const int failed = reason.is_valid()
            ? PyErr_WarnFormat(PyExc_UserWarning, 1, "could not open a browser (%S); the page was written to %S",
                               reason.ptr(), path.ptr())
            : PyErr_WarnFormat(PyExc_UserWarning, 1, "could not open a browser; the page was written to %S",
                               path.ptr());
        if (failed < 0) rethrow();
    }
    return path;
}

nb::object event_document(const Args& a, nb::handle events, nb::handle sensor_size) {
    nb::object serialize = module().attr("serialize_events");
    nb::object args = nb::make_tuple(events, sensor_size);
    return checked(PyObject_Call(serialize.ptr(), args.ptr(), a.kwargs().ptr()));
}

nb::object plot_events(const Args& a) {
    nb::object data = event_document(a, a[0], a[1]);
    nb::object html = module().attr("_render_spike_html")(data, "title"_a = a[2]);
    return show_page(html);
}

nb::object export_events_html(const Args& a) {
    nb::object data = event_document(a, a[0], a[2]);
    nb::object html = module().attr("_render_spike_html")(data, "title"_a = a[3]);
    // The path only now, so a failed rendering touches no file.
    nb::object path = module().attr("Path")(a[1]);
    path.attr("write_text")(html, "encoding"_a = "utf-8");
    return nb::str(path);
}

// RGB images of a (T, K, H, W) stack, one scale per frame for both channels.
// float32 keeps float32 arithmetic; other real types divide in double, as
// NumPy's true division of them does; anything else goes through NumPy.
template <typename T>
void colour_stack(const void* data, int64_t index, size_t channels, size_t plane, uint8_t* rgb) {
    const T* on = static_cast<const T*>(data) + static_cast<size_t>(index) * channels * plane;
    const T* off = channels >= 2 ? on + plane : nullptr;
    if constexpr (std::is_same_v<T, float>) {
        if (off) {
            kern::colour_common(on, off, plane, rgb);
        } else {
            std::vector<float> zero(plane, 0.0f);
            kern::colour_common(on, zero.data(), plane, rgb);
        }
    } else {
        kern::colour_common_double(on, off, plane, rgb);
    }
}

using StackColourer = void (*)(const void*, int64_t, size_t, size_t, uint8_t*);

StackColourer stack_colourer(nb::handle dtype) {
    const std::string kind = nb::cast<std::string>(dtype.attr("kind"));
    const long size = nb::cast<long>(dtype.attr("itemsize"));
    if (kind == "f" && size == 4) return colour_stack<float>;
    if (kind == "f" && size == 8) return colour_stack<double>;
    if (kind == "b" && size == 1) return colour_stack<uint8_t>;
    if (kind == "i") {
        switch (size) {
            case 1: return colour_stack<int8_t>;
            case 2: return colour_stack<int16_t>;
            case 4: return colour_stack<int32_t>;
            case 8: return colour_stack<int64_t>;
        }
    }
    if (kind == "u") {
        switch (size) {
            case 1: return colour_stack<uint8_t>;
            case 2: return colour_stack<uint16_t>;
            case 4: return colour_stack<uint32_t>;
            case 8: return colour_stack<uint64_t>;
        }
    }
    return nullptr;
}

// The array-expression colouring, for element types without a native path.
nb::object frame_rgb_numpy(nb::handle frames, int64_t i, bool two_channels, nb::handle height, nb::handle width) {
    nb::object np = module().attr("np");
    nb::object builtins = nb::module_::import_("builtins");
    nb::object rgb = zeros(nb::make_tuple(height, width, 3), g_uint8);
    nb::object on = frames[nb::make_tuple(i, 0)];
    nb::object off = two_channels ? nb::object(frames[nb::make_tuple(i, 1)]) : np.attr("zeros_like")(on);
    nb::object max_val = builtins.attr("max")(on.attr("max")(), off.attr("max")(), 1);
    auto scaled = [&](nb::handle ch) {
        nb::object q = checked(PyNumber_TrueDivide(ch.ptr(), max_val.ptr()));
        q = checked(PyNumber_Multiply(q.ptr(), nb::int_(255).ptr()));
        return np.attr("clip")(q, 0, 255).attr("astype")(g_uint8);
    };
    rgb[nb::make_tuple(nb::ellipsis(), 2)] = scaled(on);
    rgb[nb::make_tuple(nb::ellipsis(), 0)] = scaled(off);
    return rgb;
}

// The frame document of a (T, K, H, W) or (T, H, W) stack: the page data of plot_frames.
nb::object frames_document(nb::handle frames_in) {
    nb::object frames = nb::borrow(frames_in);
    nb::object np = module().attr("np");
    const int three = PyObject_RichCompareBool(frames.attr("ndim").ptr(), nb::int_(3).ptr(), Py_EQ);
    if (three < 0) rethrow();
    if (three) frames = np.attr("expand_dims")(frames, 1);
    auto shape = unpack(frames.attr("shape"), 4);
    const int64_t n_frames = dimension(shape[0]);
    const size_t channels = static_cast<size_t>(dimension(shape[1]));
    const size_t plane = static_cast<size_t>(dimension(shape[2]) * dimension(shape[3]));
    nb::object encode = module().attr("_encode_image_base64");
    nb::list animation_frames;
    if (n_frames > 0) {
        if (plane == 0 && channels > 0)
            raise(PyExc_ValueError, "zero-size array to reduction operation maximum which has no identity");
        nb::object dtype = frames.attr("dtype");
        StackColourer colour = channels > 0 ? stack_colourer(dtype) : nullptr;
        // Contiguous, native order and aligned: the colouring reads elements through typed pointers.
        if (colour) frames = np.attr("require")(frames, dtype.attr("newbyteorder")("="), nb::make_tuple("C", "A"));
        BufferView stack;
        if (colour && !stack.acquire(frames)) colour = nullptr;
        for (int64_t i = 0; i < n_frames; ++i) {
            nb::object frame_rgb;
            if (colour) {
                frame_rgb = np.attr("empty")(nb::make_tuple(shape[2], shape[3], 3), g_uint8);  // every byte written
                OutBuffer rgb(frame_rgb);
                nb::gil_scoped_release release;
                colour((*stack).buf, i, channels, plane, static_cast<uint8_t*>(rgb.data()));
            } else {
                frame_rgb = frame_rgb_numpy(frames, i, channels >= 2, shape[2], shape[3]);
            }
            animation_frames.append(encode(frame_rgb));
        }
    }
    nb::object grid_frames = checked(PyList_GetSlice(animation_frames.ptr(), 0, 5));
    nb::dict doc;
    doc["event_count"] = nb::int_(0);
    doc["duration_us"] = nb::int_(0);
    doc["sensor_size"] = nb::make_tuple(shape[3], shape[2]);
    doc["grid_frames"] = grid_frames;
    doc["animation_frames"] = animation_frames;
    doc["raster"] = nb::list();
    return doc;
}

nb::object frames_document_fn(const Args& a) { return frames_document(a[0]); }

nb::object plot_frames(const Args& a) {
    nb::object doc = frames_document(a[0]);
    nb::object html = module().attr("_render_spike_html")(doc, "title"_a = a[1]);
    return show_page(html);
}

// One chunk of a recording file decoded into the record array `out` from
// index `count` on. `state` is the decoder's int64 state array, updated in
// place, so the next call continues where this one stopped; returns
// (records now in out, bytes consumed). A full `out` stops early.
nb::object decode_events(const Args& a) {
    namespace evt = kern::evt;
    const long long format = a.integer(0);
    if (format < 0 || format >= evt::kFormatCount) raise(PyExc_ValueError, "unknown event format %lld", format);
    BufferView data;
    data.require(a[1]);
    OutBuffer state_buf(a[2]);
    if (nb::cast<std::string>(a[2].attr("dtype").attr("str")) != "<i8" || state_buf.items() != evt::kStateSlots)
        raise(PyExc_ValueError, "state must be %zd int64 values", evt::kStateSlots);
    if (!a[3].attr("dtype").equal(g_record)) raise(PyExc_ValueError, "out must be a record array of the event dtype");
    OutBuffer out(a[3]);
    const long long count = a.integer(4);
    const size_t cap = out.items();
    if (count < 0 || static_cast<size_t>(count) > cap) raise(PyExc_ValueError, "count %lld lies outside out", count);
    evt::State state;
    std::memcpy(&state, state_buf.data(), sizeof state);
    evt::Progress done;
    {
        nb::gil_scoped_release release;
        done = evt::decode(static_cast<evt::Format>(format), static_cast<const uint8_t*>((*data).buf),
                           static_cast<size_t>((*data).len), state, static_cast<uint8_t*>(out.data()), cap,
                           static_cast<size_t>(count));
    }
    std::memcpy(state_buf.data(), &state, sizeof state);
    return nb::make_tuple(done.count, done.consumed);
}

nb::object most_events(const Args& a) {
    namespace evt = kern::evt;
    const long long format = a.integer(0);
    if (format < 0 || format >= evt::kFormatCount) raise(PyExc_ValueError, "unknown event format %lld", format);
    BufferView data;
    data.require(a[1]);
    uint64_t n;
    {
        nb::gil_scoped_release release;
        n = evt::most_events(static_cast<evt::Format>(format), static_cast<const uint8_t*>((*data).buf),
                             static_cast<size_t>((*data).len));
    }
    return nb::int_(n);
}

// ---------------------------------------------------------------- streaming engine

// A NumPy array of `n` elements of `dtype` holding a copy of `data`.
template <typename T>
nb::object numpy_copy(const T* data, size_t n, const char* dtype) {
    nb::object arr = module().attr("np").attr("empty")(n, dtype);
    if (n) {
        OutBuffer out(arr);
        std::memcpy(out.data(), data, n * sizeof(T));
    }
    return arr;
}

// The engine over one recording, fed by the caller chunk by chunk (file bytes
// decoded here, or ready records), with the GIL released while it counts.
class Stream {
public:
    Stream(int mode, int64_t width, int64_t height, int64_t t0, int64_t t1, int64_t period_us, int64_t lead,
           double decay_us, int64_t timeline_bin, int64_t timeline_bins, int64_t raster_bin, int64_t raster_bins,
           std::vector<std::tuple<int64_t, int64_t, int64_t>> segments, nb::object spool_path, int64_t frame_budget,
           int64_t overview_step, int64_t overview_scale, int64_t overview_budget, double gain,
           std::vector<double> palette, int64_t scale, int64_t format, nb::object state)
        : format_(static_cast<kern::evt::Format>(format)) {
        namespace st = kern::stream;
        if (mode < st::kSurvey || mode > st::kSummary) raise(PyExc_ValueError, "unknown stream mode %d", mode);
        if (width < 1 || height < 1 || width > 32767 || height > 32767)
            raise(PyExc_ValueError, "sensor size %lld x %lld out of range", (long long)width, (long long)height);
        if (period_us < 1 || lead < 0 || !(decay_us > 0) || !(gain > 0) || scale < 1 || overview_scale < 1 ||
            overview_step < 1 || timeline_bin < 1 || raster_bin < 1 || timeline_bins < 0 || raster_bins < 0 ||
            timeline_bins > (1 << 24) || raster_bins > (1 << 20) || t1 < t0 ||
            lead > (std::numeric_limits<int64_t>::max() / 4) / period_us || t0 - lead * period_us > t0)
            raise(PyExc_ValueError, "stream settings out of range");
        if (format < kern::evt::kEvt2 || format >= kern::evt::kFormatCount) raise(PyExc_ValueError, "unknown event format");
        st::Config c;
        c.mode = static_cast<st::Mode>(mode);
        c.width = width;
        c.height = height;
        c.t0 = t0;
        c.t1 = t1;
        c.period_us = period_us;
        c.lead = lead;
        c.a = std::exp(-static_cast<double>(period_us) / decay_us);
        c.timeline_bin = timeline_bin;
        c.timeline_bins = timeline_bins;
        c.raster_bin = raster_bin;
        c.raster_bins = raster_bins;
        for (auto [first, seg_lead, end] : segments) c.segments.push_back({first, seg_lead, end});
        c.frame_budget = frame_budget;
        c.overview_step = overview_step;
        c.overview_scale = overview_scale;
        c.overview_budget = overview_budget;
        c.gain = gain;
        if (palette.size() == 9)
            for (int k = 0; k < 3; ++k) {
                c.palette.background[k] = palette[k];
                c.palette.on[k] = palette[3 + k];
                c.palette.off[k] = palette[6 + k];
            }
        c.scale = scale;
        if (c.mode == st::kPage) {
            // A path as bytes (os.fsencode) reaches the file system whatever its encoding.
            const std::string path = PyBytes_Check(spool_path.ptr())
                ? std::string(PyBytes_AS_STRING(spool_path.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(spool_path.ptr())))
                : nb::cast<std::string>(nb::str(spool_path));
            spool_ = std::fopen(path.c_str(), "wb");
            if (!spool_) raise(PyExc_OSError, "cannot write the frame spool %s", path.c_str());
            c.spool = spool_;
        }
        if (!state.is_none()) {
            OutBuffer sb(state);
            if (nb::cast<std::string>(state.attr("dtype").attr("str")) != "<i8" || sb.items() != kern::evt::kStateSlots)
                raise(PyExc_ValueError, "state must be %zd int64 values", kern::evt::kStateSlots);
            std::memcpy(&state_, sb.data(), sizeof state_);
            state_array_ = state;
        }
        records_.resize(kRecords * kern::evt::kRecordSize);
        engine_.emplace(std::move(c));
    }
    ~Stream() {
        engine_.reset();  // joins the encoder before its spool closes
        if (spool_) std::fclose(spool_);
    }

    // Decodes and counts file bytes; returns (bytes used, paused): paused when
    // rendered frames wait to be taken before more can be counted.
    nb::tuple feed_bytes(nb::handle buffer) {
        BufferView data;
        data.require(buffer);
        const uint8_t* buf = static_cast<const uint8_t*>((*data).buf);
        const size_t n = static_cast<size_t>((*data).len);
        size_t used = 0;
        bool paused = false;
        // Large buffers of a pass that never pauses decode on a second thread while this one counts.
        const bool two_threads = engine_->mode() != kern::stream::kRender && pos_ == count_ && n >= kTwoThreads &&
                                 !state_.done && !state_.error;
        if (two_threads) {
            nb::gil_scoped_release release;
            used = kern::stream::decode_while_counting(format_, buf, n, state_, *engine_);
        } else {
            nb::gil_scoped_release release;
            for (;;) {
                if (pos_ < count_) {
                    pos_ += engine_->feed(records_.data() + pos_ * kern::evt::kRecordSize, count_ - pos_);
                    if (pos_ < count_) {
                        paused = true;
                        break;
                    }
                }
                pos_ = count_ = 0;
                if (used == n || state_.done || state_.error) break;
                const bool was_back = state_.back;
                const kern::evt::Progress p = kern::evt::decode(format_, buf + used, n - used, state_, records_.data(), kRecords, 0);
                // Offsets the decoder reports are within the buffer given to feed_bytes.
                if (state_.error) state_.error_at += static_cast<int64_t>(used);
                if (state_.back && !was_back) state_.back_at += static_cast<int64_t>(used);
                used += p.consumed;
                count_ = p.count;
                if (p.consumed == 0 && p.count == 0) break;  // a partial word
            }
        }
        if (state_array_.is_valid()) {  // the caller's array follows the decoder (errors, outside counts)
            OutBuffer sb(state_array_);
            std::memcpy(sb.data(), &state_, sizeof state_);
        }
        return nb::make_tuple(used, paused);
    }

    // Counts ready records (the event dtype); returns how many were used.
    size_t feed_records(nb::handle records) {
        if (!records.attr("dtype").equal(g_record)) raise(PyExc_ValueError, "records must be of the event dtype");
        BufferView data;
        data.require(records);
        const size_t n = static_cast<size_t>((*data).len) / kern::evt::kRecordSize;
        nb::gil_scoped_release release;
        return engine_->feed(static_cast<const uint8_t*>((*data).buf), n);
    }

    bool finish() {
        nb::gil_scoped_release release;
        return engine_->finish();
    }

    nb::list take_frames() {
        nb::list out;
        auto& pending = engine_->pending();
        const size_t h = engine_->out_height(), w = engine_->out_width();
        while (!pending.empty()) {
            auto& [t, rgb] = pending.front();
            nb::object arr = module().attr("np").attr("empty")(nb::make_tuple(h, w, 3), g_uint8);
            OutBuffer ob(arr);
            std::memcpy(ob.data(), rgb.data(), rgb.size());
            out.append(nb::make_tuple(t, arr));
            pending.pop_front();
        }
        return out;
    }

    // The pass's results; the overview images move out of the engine (they can be most of a page).
    nb::dict result() {
        auto& e = *engine_;
        nb::dict d;
        d["have_events"] = e.have_events();
        d["t_first"] = e.t_first();
        d["t_last"] = e.t_last();
        d["event_count"] = e.count();
        d["on_count"] = e.on_count();
        d["max_x"] = e.max_x();
        d["max_y"] = e.max_y();
        d["beyond"] = e.beyond();
        d["outside"] = e.outside();
        const auto& f = e.first_outside();
        d["first_outside"] = nb::make_tuple(f.x, f.y, f.t, f.on ? 1 : -1);
        d["peak_10ms"] = e.peak_10ms();
        if (const auto* tl = e.timeline()) {
            std::vector<uint32_t> on(tl->bins()), off(tl->bins());
            for (size_t i = 0; i < tl->bins(); ++i) on[i] = tl->at(0, i), off[i] = tl->at(1, i);
            d["timeline"] = nb::make_tuple(numpy_copy(on.data(), on.size(), "<u4"),
                                           numpy_copy(off.data(), off.size(), "<u4"));
        }
        if (const auto* r = e.raster()) {
            std::vector<uint32_t> counts(r->rows() * r->bins());
            for (size_t y = 0; y < r->rows(); ++y)
                for (size_t i = 0; i < r->bins(); ++i) counts[y * r->bins() + i] = r->at(y, i);
            d["raster"] = numpy_copy(counts.data(), counts.size(), "<u4");
        }
        if (const auto* px = e.pixels())
            d["pixels"] = nb::make_tuple(numpy_copy(px->on().data(), px->on().size(), "<u4"),
                                         numpy_copy(px->off().data(), px->off().size(), "<u4"));
        if (const auto* enc = e.encoder()) {
            nb::list accepted;
            for (auto [seg, len] : enc->accepted()) accepted.append(nb::make_tuple(seg, len));
            d["frames"] = accepted;
            d["frame_bytes"] = enc->bytes();
            d["spool_failed"] = enc->failed();
            nb::list images;
            for (std::string& s : e.overview_images()) {
                images.append(nb::str(s.data(), s.size()));
                std::string().swap(s);
            }
            d["overview"] = nb::make_tuple(e.overview_step(), e.overview_width(), e.overview_height(), images);
        }
        return d;
    }

private:
    static constexpr size_t kRecords = 1 << 16;
    static constexpr size_t kTwoThreads = 1 << 18;  // bytes: below this a second thread costs more than it saves
    kern::evt::Format format_;
    kern::evt::State state_{};
    nb::object state_array_;
    std::vector<uint8_t> records_;
    size_t pos_ = 0, count_ = 0;
    std::FILE* spool_ = nullptr;
    std::optional<kern::stream::Engine> engine_;
};
// One native recording file's summary (dataset overviews): the header's facts
// in, the engine's counts, hot pixels and thumbnail out, the GIL released for
// the whole pass. Each thread keeps its decode buffers from file to file.
nb::object summarize_file(const Args& a) {
    namespace fs = kern::file_summary;
    const long long format = a.integer(0);
    if (format < kern::evt::kEvt2 || format >= kern::evt::kFormatCount) raise(PyExc_ValueError, "unknown event format");
    BufferView head;
    head.require(a[1]);
    if (!PyBytes_Check(a[2].ptr())) raise(PyExc_TypeError, "path must be bytes (os.fsencode)");
    fs::Request r;
    r.format = static_cast<kern::evt::Format>(format);
    r.path = PyBytes_AS_STRING(a[2].ptr());
    r.head = static_cast<const uint8_t*>((*head).buf);
    r.head_size = static_cast<size_t>((*head).len);
    r.offset = a.integer(3);
    r.size = a.integer(4);
    r.t0 = a.integer(5);
    r.width = a.integer(6);
    r.height = a.integer(7);
    if (r.offset < 0 || r.width < 0 || r.height < 0 || r.width > 32767 || r.height > 32767)
        raise(PyExc_ValueError, "file summary settings out of range");
    thread_local fs::FileSummarizer summarizer;
    fs::Summary s;
    {
        nb::gil_scoped_release release;
        s = summarizer.summarize(r);
    }
    nb::dict d;
    d["state"] = numpy_copy(reinterpret_cast<const int64_t*>(&s.state), kern::evt::kStateSlots, "<i8");
    d["error_pos"] = s.error_pos;
    d["errno"] = s.read_errno;
    d["cut"] = s.cut < 0 ? nb::none() : nb::cast(s.cut);
    d["width"] = s.width;
    d["height"] = s.height;
    d["have_events"] = s.have_events;
    d["t_first"] = s.t_first;
    d["t_last"] = s.t_last;
    d["event_count"] = s.count;
    d["on_count"] = s.on_count;
    d["peak_10ms"] = s.peak_10ms;
    d["outside"] = s.outside;
    const auto& f = s.first_outside;
    d["first_outside"] = nb::make_tuple(f.x, f.y, f.t, f.on ? 1 : -1);
    nb::list hot;
    for (const fs::HotPixel& p : s.hot) hot.append(nb::make_tuple(p.x, p.y, p.on, p.off));
    d["hot_pixels"] = hot;
    d["hot_count"] = s.hot_count;
    d["thumbnail"] = nb::str(s.thumbnail.data(), s.thumbnail.size());
    return d;
}

// For a buffer that views a file mapping (Python's mmap): drops the whole pages of
// a finished byte range from the resident set; the page cache keeps them, and a
// later read faults them back. Any other buffer is left alone (nothing to drop,
// and dropping anonymous memory would zero it).
kern::evt_index::Done drop_mapped_pages(nb::handle buffer, const uint8_t* base) {
    if (!PyMemoryView_Check(buffer.ptr())) return {};
    PyObject* owner = PyMemoryView_GET_BUFFER(buffer.ptr())->obj;
    if (owner == nullptr || std::string_view(Py_TYPE(owner)->tp_name) != "mmap.mmap") return {};
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    return [base, page](size_t from, size_t to) {
        const uintptr_t lo = (reinterpret_cast<uintptr_t>(base + from) + page - 1) / page * page;
        const uintptr_t hi = reinterpret_cast<uintptr_t>(base + to) / page * page;
        if (hi > lo) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_DONTNEED);
    };
}

// Where to start decoding an EVT 2.0/2.1/3.0 data buffer (the words after the
// header) so that no event at or after `target` (µs on the file's own clock) is
// skipped: (byte offset of a time-high word, the decoder's loops there).
nb::object evt_seek(const Args& a) {
    namespace evt = kern::evt;
    const long long format = a.integer(0);
    if (format < evt::kEvt2 || format > evt::kEvt3) raise(PyExc_ValueError, "not an EVT format %lld", format);
    BufferView data;
    data.require(a[1]);
    const long long target = a.integer(2);
    const auto* buf = static_cast<const uint8_t*>((*data).buf);
    const auto done = drop_mapped_pages(a[1], buf);
    kern::evt_index::Seek at;
    {
        nb::gil_scoped_release release;
        at = kern::evt_index::seek(static_cast<evt::Format>(format), buf, static_cast<size_t>((*data).len), target,
                                   done);
    }
    return nb::make_tuple(at.offset, at.loops);
}

// The last time-high word of an EVT data buffer: (byte offset, unwrapped counter
// value), or None when there is none.
nb::object evt_last_high(const Args& a) {
    namespace evt = kern::evt;
    const long long format = a.integer(0);
    if (format < evt::kEvt2 || format > evt::kEvt3) raise(PyExc_ValueError, "not an EVT format %lld", format);
    BufferView data;
    data.require(a[1]);
    const size_t n = static_cast<size_t>((*data).len);
    const auto* buf = static_cast<const uint8_t*>((*data).buf);
    const auto done = drop_mapped_pages(a[1], buf);
    kern::evt_index::Index::Probe last;
    {
        nb::gil_scoped_release release;
        last = kern::evt_index::last_high(static_cast<evt::Format>(format), buf, n, done);
    }
    if (last.at >= n - n % kern::evt_index::clock_of(static_cast<evt::Format>(format)).word) return nb::none();
    return nb::make_tuple(last.at, last.high);
}

// ---------------------------------------------------------------- module

// The decoders' tables, so that Python callers hold no copy of them: the formats
// (name, word bytes, most records per word, x range, y range) by format number,
// the state's slot names and initial values, and the error kinds.
void export_decoder_tables(nb::module_& m) {
    namespace evt = kern::evt;
    nb::list formats, names, initial;
    for (const evt::FormatInfo& f : evt::kFormats)
        formats.append(nb::make_tuple(f.name, f.word, f.max_per_word, f.x_range, f.y_range));
    const evt::State fresh;
    int64_t slots[evt::kStateSlots];
    std::memcpy(slots, &fresh, sizeof fresh);
    for (size_t i = 0; i < evt::kStateSlots; ++i) {
        names.append(evt::kStateNames[i]);
        initial.append(slots[i]);
    }
    nb::dict errors;
    errors["unknown_type"] = static_cast<int64_t>(evt::kUnknownType);
    errors["outside"] = static_cast<int64_t>(evt::kOutside);
    errors["time_overflow"] = static_cast<int64_t>(evt::kTimeOverflow);
    errors["bad_packet"] = static_cast<int64_t>(evt::kBadPacket);
    errors["bad_line"] = static_cast<int64_t>(evt::kBadLine);
    m.attr("_EVT_FORMATS") = nb::tuple(formats);
    m.attr("_EVT_STATE") = nb::tuple(names);
    m.attr("_EVT_STATE_INITIAL") = nb::tuple(initial);
    m.attr("_EVT_ERRORS") = errors;
}

void import_into(nb::module_& m, const char* module_name, const char* as) {
    m.attr(as) = nb::module_::import_(module_name);
}

void load_optional_libraries(nb::module_& m) {
    try {
        nb::object tonic = nb::module_::import_("tonic");
        nb::module_::import_("tonic.transforms");
        m.attr("tonic") = tonic;
        m.attr("TONIC_AVAILABLE") = true;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        m.attr("TONIC_AVAILABLE") = false;
        m.attr("tonic") = nb::none();
    }
    try {
        m.attr("_PILImage") = nb::module_::import_("PIL.Image");
        m.attr("PIL_AVAILABLE") = true;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        m.attr("PIL_AVAILABLE") = false;
    }
}

}  // namespace

NB_MODULE(spikes, m) {
    g_module = m.ptr();
    for (const char* name : {"base64", "io", "json", "tempfile", "webbrowser"}) import_into(m, name, name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    nb::object typing = nb::module_::import_("typing");
    for (const char* name : {"Any", "Dict", "List", "Optional", "Tuple", "Union"}) m.attr(name) = typing.attr(name);
    nb::object np = nb::module_::import_("numpy");
    m.attr("np") = np;
    g_zeros = np.attr("zeros");
    g_float32 = np.attr("float32");
    g_uint8 = np.attr("uint8");
    nb::list record;
    for (auto [name, type] : {std::pair{"x", "<i2"}, {"y", "<i2"}, {"t", "<i8"}, {"p", "i1"}})
        record.append(nb::make_tuple(name, type));
    g_record = np.attr("dtype")(record);
    load_optional_libraries(m);
    export_decoder_tables(m);

    def(m, "_get_event_fields", {arg("events")}, get_event_fields,
        "Names of the (x, y, t, p) fields of an event array; None for a role without a field.\n\n"
        "An object without a dtype raises AttributeError.");
    def(m, "_detect_sensor_size", {arg("events")}, detect_sensor_size,
        "Sensor size (width, height) inferred from the largest coordinates; (128, 128) without an x field.\n\n"
        "An object without a dtype raises AttributeError.");
    def(m, "_events_to_frames_numpy",
        {arg("events"), arg("sensor_size", Kind::Tuple), arg("n_frames", Kind::Int), arg("accumulate", Kind::Truth)},
        frames_native,
        "Native binning into a float32 stack (n_frames, 2, height, width), channel 0 ON.\n\n"
        "Raises ValueError without time and x fields, or for n_frames below 1.");
    def(m, "_events_to_frames_tonic",
        {arg("events"), arg("sensor_size", Kind::Tuple), arg("n_frames", Kind::Int)}, frames_tonic,
        "Binning by Tonic's ToFrame, padded or cut to n_frames, as float32.\n\n"
        "Raises ImportError when Tonic is not available.");
    def(m, "events_to_frames",
        {arg("events"), arg_none("sensor_size", Kind::Tuple), arg("n_frames", Kind::Int, 10),
         arg("accumulate", Kind::Truth, false), arg_none("use_tonic", Kind::OptBool)},
        events_to_frames,
        "Bin events into a float32 frame stack (n_frames, 2, height, width); channel 0 ON, channel 1 OFF.\n\n"
        "use_tonic=None and False use the native engine; True uses Tonic (falling back to the native\n"
        "engine if Tonic fails). Refuses a non-tuple sensor_size, a non-numeric n_frames and a\n"
        "non-bool use_tonic with TypeError; n_frames below 1 with ValueError.");
    def(m, "events_to_grid",
        {arg("events"), arg_none("sensor_size", Kind::Tuple), arg("n_bins", Kind::Int, 5)}, events_to_grid,
        "Bin events into n_bins RGB images, uint8 (n_bins, height, width, 3): ON in blue, OFF in red,\n"
        "each scaled to its own maximum. Refuses a non-tuple sensor_size and a non-numeric n_bins with\n"
        "TypeError; n_bins below 1 with ValueError.");
    def(m, "events_to_raster",
        {arg("events"), arg_none("n_neurons", Kind::Int), arg("time_bins", Kind::Int, 100)}, events_to_raster,
        "Spike counts, float32 (time_bins, n_neurons), neuron y * width + x (or x without a y field).\n\n"
        "Refuses non-numeric n_neurons and time_bins with TypeError; time_bins below 1 with ValueError.");
    def(m, "_encode_image_base64", {arg("img")}, encode_image_base64,
        "Base64 text of a PNG of an (H, W, 3) image; non-uint8 images are multiplied by 255 and\n"
        "truncated. Pillow is imported at every call (ImportError when it is missing).");
    def(m, "_load_template", {arg("name", Kind::Str)}, load_template,
        "Text of a file in the templates directory beside this module, read as UTF-8.\n\n"
        "Refuses a name that is not exactly a str with TypeError; a missing file raises\n"
        "FileNotFoundError.");
    def(m, "_html_escape", {arg("text", Kind::Str)}, html_escape,
        "Text with & < > \" ' replaced by their HTML entities. Refuses anything but a str with TypeError.");
    def(m, "_render_spike_html", {arg("data", Kind::Dict), arg("title", Kind::Str, "Spike Visualization")},
        render_spike_html,
        "The spike page: spikes.html with $title (escaped) and $data_json (ASCII JSON of data) substituted.\n\n"
        "Refuses a data that is not exactly a dict or a title that is not exactly a str with TypeError;\n"
        "data that JSON cannot write raises the JSON writer's TypeError or ValueError.");
    def(m, "serialize_events",
        {arg("events"), arg_none("sensor_size", Kind::Tuple), arg("n_frames", Kind::Int, 20),
         arg("n_grid_bins", Kind::Int, 5), arg("raster_time_bins", Kind::Int, 100),
         arg("max_raster_neurons", Kind::Int, 1000)},
        serialize_events,
        "The event document: event_count, duration_us, sensor_size, grid_frames and animation_frames\n"
        "(base64 PNGs) and raster (nested lists, at most max_raster_neurons columns).\n\n"
        "Refuses a non-tuple sensor_size and non-numeric counts with TypeError; a sensor_size that is\n"
        "not two values, n_frames, n_grid_bins or raster_time_bins below 1, and events without time\n"
        "and x fields raise ValueError.");
    def(m, "plot_events",
        {arg("events"), arg_none("sensor_size", Kind::Tuple), arg("title", Kind::Str, "Spike Visualization")},
        plot_events,
        "Write the spike page of events to a new temporary .html file, open it in the browser and\n"
        "return its path. Further keyword arguments go to serialize_events, which refuses unknown ones.\n"
        "When no browser opens (a headless server, a remote kernel), warns with a UserWarning naming\n"
        "the file.\n\n"
        "Refuses a non-tuple sensor_size and a non-str title with TypeError, before any file exists.",
        true);
    def(m, "export_events_html",
        {arg("events"), arg("output_path"), arg_none("sensor_size", Kind::Tuple),
         arg("title", Kind::Str, "Spike Visualization")},
        export_events_html,
        "Write the spike page of events to output_path (UTF-8) and return the path as text.\n"
        "Further keyword arguments go to serialize_events, which refuses unknown ones.\n\n"
        "Refuses a non-tuple sensor_size and a non-str title with TypeError; a failed page touches no\n"
        "file, and a missing directory raises FileNotFoundError.",
        true);
    def(m, "plot_frames", {arg("frames"), arg("title", Kind::Str, "Frame Visualization")}, plot_frames,
        "Show a (T, K, H, W) or (T, H, W) frame stack (channel 0 ON, 1 OFF) on the spike page, from a\n"
        "new temporary .html file opened in the browser; returns its path. When no browser opens,\n"
        "warns with a UserWarning naming the file.\n\n"
        "Refuses a non-str title with TypeError; a stack of other than 3 or 4 dimensions raises ValueError.");
    def(m, "_frames_document", {arg("frames")}, frames_document_fn,
        "The page data plot_frames shows for a (T, K, H, W) or (T, H, W) stack, as a dict.\n\n"
        "A stack of other than 3 or 4 dimensions raises ValueError.");
    def(m, "_decode_events",
        {arg("fmt", Kind::Int), arg("buffer"), arg("state"), arg("out"), arg("count", Kind::Int)}, decode_events,
        "Decode one chunk of a recording (fmt 0 EVT 2.0, 1 EVT 2.1, 2 EVT 3.0, 3 DAT, 4 N-MNIST)\n"
        "into the record array out from index count; returns (records in out, bytes consumed).\n\n"
        "Raises ValueError for an unknown fmt, a state that is not its int64 array, an out of\n"
        "another dtype or a count outside it; a non-buffer buffer raises TypeError.");
    def(m, "_most_events", {arg("fmt", Kind::Int), arg("buffer")}, most_events,
        "The most records the whole words of buffer can yield in fmt (the event words, each as if\n"
        "inside the sensor): what a whole read reserves before decoding.\n\n"
        "Raises ValueError for an unknown fmt; a non-buffer buffer raises TypeError.");
    nb::class_<Stream>(m, "_Stream",
                       "The streaming engine over one recording (see stream.py): feed it file bytes or event\n"
                       "records in order, then finish() and read result(). A file's decoder state, when given, is\n"
                       "the readers' int64 state array, written back after every feed_bytes.")
        .def(nb::init<int, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t, double, int64_t, int64_t, int64_t,
                      int64_t, std::vector<std::tuple<int64_t, int64_t, int64_t>>, nb::object, int64_t, int64_t,
                      int64_t, int64_t, double, std::vector<double>, int64_t, int64_t, nb::object>(),
             "mode"_a, "width"_a, "height"_a, "t0"_a, "t1"_a, "period_us"_a, "lead"_a, "decay_us"_a,
             "timeline_bin"_a, "timeline_bins"_a, "raster_bin"_a, "raster_bins"_a, "segments"_a,
             "spool_path"_a.none(), "frame_budget"_a, "overview_step"_a, "overview_scale"_a, "overview_budget"_a,
             "gain"_a, "palette"_a, "scale"_a, "format"_a, "state"_a.none())
        .def("feed_bytes", &Stream::feed_bytes, "buffer"_a)
        .def("feed_records", &Stream::feed_records, "records"_a)
        .def("finish", &Stream::finish)
        .def("take_frames", &Stream::take_frames)
        .def("result", &Stream::result);
    def(m, "_summarize_file",
        {arg("fmt", Kind::Int), arg("head"), arg("path"), arg("offset", Kind::Int), arg("size", Kind::Int),
         arg("t0", Kind::Int), arg("width", Kind::Int), arg("height", Kind::Int)},
        summarize_file,
        "Summary of a native recording (fmt 0 EVT 2.0, 1 EVT 2.1, 2 EVT 3.0, 3 DAT, 4 N-MNIST) whose data\n"
        "starts at byte offset: head holds the file's first bytes, the rest is read from path (bytes).\n"
        "width and height are the header's sensor, 0 when it gives none (the largest coordinates then\n"
        "give it). Returns a dict: the decoder state, error_pos, errno, cut, width, height, have_events,\n"
        "t_first, t_last, event_count, on_count, peak_10ms, outside, first_outside, hot_pixels\n"
        "((x, y, on, off), at most 16), hot_count and thumbnail (base64 PNG).\n\n"
        "Raises ValueError for an unknown fmt or settings out of range; TypeError for a path that is\n"
        "not bytes or a head that is not a buffer.");
    def(m, "_evt_seek", {arg("fmt", Kind::Int), arg("buffer"), arg("target", Kind::Int)}, evt_seek,
        "Where to start decoding EVT data words (fmt 0 EVT 2.0, 1 EVT 2.1, 2 EVT 3.0) so that no event\n"
        "at or after target (us, the file's clock before t0) is skipped: (byte offset, loops), the\n"
        "decoder state's loops to start with there. Assumes time-high words that rise.\n\n"
        "Raises ValueError for a fmt that is not EVT; a non-buffer buffer raises TypeError.");
    def(m, "_evt_last_high", {arg("fmt", Kind::Int), arg("buffer")}, evt_last_high,
        "(byte offset, unwrapped value) of the last time-high word of EVT data words, or None.\n\n"
        "Raises ValueError for a fmt that is not EVT; a non-buffer buffer raises TypeError.");
}
