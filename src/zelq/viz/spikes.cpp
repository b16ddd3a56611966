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

#include <bit>
#include <cstring>
#include <cmath>
#include <cstdio>
#include <limits>
#include <tuple>
#include <string_view>
#include <type_traits>
#include <vector>

#include "binding/args.hpp"
#include "binding/py.hpp"
#include "binding/json.hpp"
#include "binding/event_fields.hpp"
#include "binding/events.hpp"
#include "binding/frame_stack.hpp"
#include "binding/numpy.hpp"
#include "binding/page_file.hpp"
#include "binding/png_text.hpp"
#include "binding/templates.hpp"
#include "binding/text.hpp"
#include "kernels/binning.hpp"
#include "kernels/base64.hpp"
#include "kernels/colour.hpp"
#include "kernels/escape.hpp"
#include "kernels/full_raster.hpp"
#include "kernels/png.hpp"
#include "kernels/record_raster.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zv;

namespace {

PyObject* g_module = nullptr;  // this module, for call-time lookups of its names
// Never destroyed: a static destructor would release them after the interpreter is gone.
nb::object &g_zeros = *new nb::object, &g_empty = *new nb::object, &g_float32 = *new nb::object,
           &g_uint8 = *new nb::object;
nb::object& g_detect = *new nb::object;  // this module's own _detect_sensor_size

nb::handle module() { return g_module; }

// ---------------------------------------------------------------- helpers

nb::object zeros(nb::object shape, const nb::object& dtype) { return g_zeros(shape, dtype); }

using py::length;

void require_positive(const Args& a, size_t i, const char* name) {
    if (a.is_none(i)) return;
    if (PyObject_RichCompareBool(a[i].ptr(), nb::int_(1).ptr(), Py_LT) == 1)
        raise(PyExc_ValueError, "%s must be at least 1 (got %R)", name, a[i].ptr());
}

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

kern::EventColumns columns(const EventView& view, const Fields& f, bool with_polarity) {
    kern::EventColumns ev;
    ev.n = view.size();
    ev.t = view.column(f.t);
    ev.x = view.column(f.x);
    if (!f.y.is_none()) ev.y = view.column(f.y);
    if (with_polarity && !f.p.is_none()) ev.p = view.column(f.p);
    return ev;
}

// ---------------------------------------------------------------- field roles

nb::object get_event_fields(const Args& a) { return event_fields::roles(a[0]); }

nb::object detect_sensor_size(const Args& a) {
    return event_fields::sensor_size(module().attr("_get_event_fields"), a[0]);
}


// ---------------------------------------------------------------- framing

nb::object frames_native(const Args& a) {
    nb::handle events = a[0];
    require_positive(a, 2, "n_frames");
    Fields f = event_fields(events);
    if (f.t.is_none() || f.x.is_none()) raise_missing_fields();
    auto wh = unpack(a[1], 2);
    nb::object n_frames = nb::borrow(a[2]);
    nb::object shape = nb::make_tuple(n_frames, 2, wh[1], wh[0]);
    if (length(events) == 0) return zeros(shape, g_float32);
    // Unwritten: the counting clears what it does not store (count_frames).
    nb::object out = g_empty(shape, g_float32);

    EventView view(events);
    event_fields::require_elements(view, "minimum");
    const kern::EventColumns ev = columns(view, f, true);
    const int64_t frames = a.integer(2), width = dimension(wh[0]), height = dimension(wh[1]);
    const bool accumulate = a.truth(3);
    OutBuffer buf(out);
    {
        nb::gil_scoped_release release;
        kern::with_cells(
            buf.data(), buf.items(), ev.n,
            [&](auto& cells) {
                kern::count_frames(ev, frames, width, height, cells);
                if (accumulate) cells.finish_cumulative(static_cast<size_t>(frames), 2 * static_cast<size_t>(width * height));
                else cells.finish();
            },
            false);
    }
    return out;
}

// Whether framing and binning use their AVX2 loops where the CPU has them; returns
// the setting before. Off: the scalar pass alone, which must give the same arrays.
nb::object binning_avx2(const Args& a) {
#ifdef ZV_RECORD_BINNING_AVX2
    return nb::bool_(kern::records::avx2::allowed().exchange(a.truth(0)));
#else
    return nb::bool_(false);
#endif
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

// The raster of a given neuron count whose width the binning pass finds itself
// (or, without a y field, needs none): the sensor size would come from this
// module's own detection over two 16-bit coordinates or one integer x, which
// reads the same view and columns first and cannot fail after.
nb::object raster_own_width(const Args& a, const Fields& f) {
    nb::handle events = a[0], n_neurons = a[1], time_bins = a[2];
    EventView view(events);
    event_fields::require_elements(view, "maximum");
    view.column(f.x);
    if (!f.y.is_none()) view.column(f.y);
    nb::object raster = zeros(nb::make_tuple(time_bins, n_neurons), g_float32);
    const kern::EventColumns ev = columns(view, f, false);
    const int64_t bins = a.integer(2), neurons = dimension(n_neurons);
    OutBuffer buf(raster);
    {
        nb::gil_scoped_release release;
        kern::count_raster_own_width(ev, bins, neurons, static_cast<float*>(buf.data()), buf.items());
    }
    return raster;
}

// The full raster of two 16-bit coordinates in one pass where the kernel can
// (kernels/full_raster.hpp), its sensor the one detection finds; a null object
// when the plain order must take it. The view and columns are read first, as
// for raster_own_width.
nb::object full_raster(const Args& a, const Fields& f) {
    nb::handle events = a[0], time_bins = a[2];
    EventView view(events);
    event_fields::require_elements(view, "maximum");
    view.column(f.x);
    view.column(f.y);
    const kern::EventColumns ev = columns(view, f, false);
    const int64_t bins = a.integer(2);
    const std::optional<kern::records::Extent> guess = kern::full_raster::guess(ev, bins);
    if (!guess) return {};
    nb::object raster = zeros(nb::make_tuple(time_bins, guess->width * guess->height), g_float32);
    kern::records::Seen seen;
    {
        OutBuffer buf(raster);
        nb::gil_scoped_release release;
        seen = kern::full_raster::count(ev, bins, *guess, static_cast<float*>(buf.data()));
    }
    if (kern::full_raster::stands(seen, *guess)) return raster;
    const std::optional<kern::records::Extent> sensor = kern::full_raster::found(seen);
    if (!sensor) return {};
    raster.reset();  // before the raster of the sensor found
    const int64_t neurons = sensor->width * sensor->height;
    raster = zeros(nb::make_tuple(time_bins, neurons), g_float32);
    OutBuffer buf(raster);
    {
        nb::gil_scoped_release release;
        kern::with_cells(buf.data(), buf.items(), ev.n, [&](auto& cells) {
            kern::count_raster(ev, bins, neurons, sensor->width, cells);
            cells.finish();
        });
    }
    return raster;
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
    nb::object detect = module().attr("_detect_sensor_size");
    if (!a.is_none(1) && detect.is(g_detect) && !f.t.is_none() && !f.x.is_none() &&
        (f.y.is_none() ? event_fields::integer(events, f.x)
                       : event_fields::short_int(events, f.x) && event_fields::short_int(events, f.y)))
        return raster_own_width(a, f);
    if (a.is_none(1) && detect.is(g_detect) && !f.t.is_none() && !f.x.is_none() && !f.y.is_none() &&
        event_fields::short_int(events, f.x) && event_fields::short_int(events, f.y))
        if (nb::object raster = full_raster(a, f); raster.is_valid()) return raster;
    auto wh = unpack(detect(events), 2);
    nb::object n_neurons = nb::borrow(a[1]);
    if (n_neurons.is_none())
        n_neurons = f.y.is_none() ? wh[0] : checked(PyNumber_Multiply(wh[0].ptr(), wh[1].ptr()));
    if (f.t.is_none() || f.x.is_none()) raise_missing_fields();
    nb::object raster = zeros(nb::make_tuple(time_bins, n_neurons), g_float32);

    EventView view(events);
    event_fields::require_elements(view, "minimum");
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

nb::object encode_image_base64(const Args& a) { return png_text::encode_image(module().attr("io"), g_uint8, a[0]); }

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

nb::object event_document(const Args& a, nb::handle events, nb::handle sensor_size) {
    nb::object serialize = module().attr("serialize_events");
    nb::object args = nb::make_tuple(events, sensor_size);
    return checked(PyObject_Call(serialize.ptr(), args.ptr(), a.kwargs().ptr()));
}

nb::object plot_events(const Args& a) {
    nb::object data = event_document(a, a[0], a[1]);
    nb::object html = module().attr("_render_spike_html")(data, "title"_a = a[2]);
    return page_file::show_page(module(), html);
}

nb::object export_events_html(const Args& a) {
    nb::object data = event_document(a, a[0], a[2]);
    nb::object html = module().attr("_render_spike_html")(data, "title"_a = a[3]);
    // The path only now, so a failed rendering touches no file.
    nb::object path = module().attr("Path")(a[1]);
    path.attr("write_text")(html, "encoding"_a = "utf-8");
    return nb::str(path);
}

nb::object plot_frames(const Args& a) {
    nb::object doc = frame_stack::frames_document(module().attr("np"), module().attr("_encode_image_base64"), a[0]);
    nb::object html = module().attr("_render_spike_html")(doc, "title"_a = a[1]);
    return page_file::show_page(module(), html);
}

// ---------------------------------------------------------------- module

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
    g_empty = np.attr("empty");
    g_float32 = np.attr("float32");
    g_uint8 = np.attr("uint8");
    load_optional_libraries(m);

    def(m, "_get_event_fields", {arg("events")}, get_event_fields,
        "Names of the (x, y, t, p) fields of an event array; None for a role without a field.\n\n"
        "An object without a dtype raises AttributeError.");
    def(m, "_detect_sensor_size", {arg("events")}, detect_sensor_size,
        "Sensor size (width, height) inferred from the largest coordinates; (128, 128) without an x field.\n\n"
        "An object without a dtype raises AttributeError.");
    g_detect = m.attr("_detect_sensor_size");
    def(m, "_events_to_frames_numpy",
        {arg("events"), arg("sensor_size", Kind::Tuple), arg("n_frames", Kind::Int), arg("accumulate", Kind::Truth)},
        frames_native,
        "Native binning into a float32 stack (n_frames, 2, height, width), channel 0 ON.\n\n"
        "Raises ValueError without time and x fields, or for n_frames below 1.");
    def(m, "_binning_avx2", {arg("enabled", Kind::Truth)}, binning_avx2,
        "Let framing and binning use their AVX2 loops where the CPU has them (the default), or not;\n"
        "returns the setting before. For tests: both ways give the same arrays.\n\n"
        "Raises what bool(enabled) raises.");
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
}
