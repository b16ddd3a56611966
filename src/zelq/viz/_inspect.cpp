// zelq.viz._inspect: the native side of looking into a recording (noise
// filters, the local hot-pixel rule, health checks and box scoring).
//
// A thin layer over kernels/filters.hpp, hot_pixels.hpp, health.hpp and
// box_match.hpp: arguments are bound by the shared binder, record arrays are
// read in place, the GIL is released around the loops.
#include <Python.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>
#include <vector>

#include "binding/args.hpp"
#include "binding/health.hpp"
#include "binding/events.hpp"
#include "binding/filter_settings.hpp"
#include "binding/py.hpp"
#include "kernels/box_match.hpp"
#include "kernels/box_outlines.hpp"
#include "kernels/columns.hpp"
#include "kernels/filter_stage.hpp"
#include "kernels/filters.hpp"
#include "kernels/health.hpp"
#include "kernels/hot_pixels.hpp"
#include "kernels/xyt_sample.hpp"

namespace nb = nanobind;
using namespace zv;

namespace {

nb::object& g_numpy = *new nb::object;  // never destroyed: it would outlive the interpreter

using filter_binding::kMaxPixels;

struct OutBuffer : py::Buffer {
    explicit OutBuffer(nb::handle arr) { require(arr, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS); }
};

nb::object new_array(int64_t n, const char* dtype) { return g_numpy.attr("zeros")(n, dtype); }

using filter_binding::filter_time;

// Whether a time column holds integers (kept exact) rather than floating values.
bool integer_times(const kern::Column& ct) { return ct.kind == kern::NumKind::Int || ct.kind == kern::NumKind::UInt; }

// Integer times of records [begin, begin + count) as int64 (uint64 wraps, as NumPy's cast does).
void decode_integer_times(const kern::Column& c, size_t begin, size_t count, int64_t* out) {
    kern::visit(c, [&]<typename L>() {
        const std::byte* p = c.base + static_cast<std::ptrdiff_t>(begin) * c.stride;
        for (size_t i = 0; i < count; ++i, p += c.stride) {
            if constexpr (requires { L::value(p); }) {
                if constexpr (std::is_integral_v<decltype(L::value(p))>) out[i] = static_cast<int64_t>(L::value(p));
                else out[i] = static_cast<int64_t>(L::as_double(p));
            } else {
                out[i] = static_cast<int64_t>(L::as_double(p));
            }
        }
    });
}

// Calls fn(i, x, y, t) for every event, a block at a time: t as int64 for integer
// times, as double otherwise. Blocks are small and reused, never one per event.
// `ahead(x, y)` sees each event's coordinates a few events before `fn` does (a prefetch).
template <typename Fn, typename Ahead = void (*)(int64_t, int64_t)>
void for_each_event(const kern::Column& cx, const kern::Column& cy, bool has_y, const kern::Column& ct, size_t n,
                    Fn&& fn, Ahead&& ahead = [](int64_t, int64_t) {}) {
    constexpr size_t kAhead = 16;
    constexpr size_t kBlock = 4096;
    int64_t xs[kBlock], ys[kBlock], ti[kBlock];
    double td[kBlock];
    const bool whole = integer_times(ct);
    for (size_t b = 0; b < n; b += kBlock) {
        const size_t k = std::min(kBlock, n - b);
        kern::decode_coordinates(cx, b, k, xs);
        if (has_y) kern::decode_coordinates(cy, b, k, ys);
        else std::fill_n(ys, k, 0);
        if (whole) {
            decode_integer_times(ct, b, k, ti);
            for (size_t i = 0; i < k; ++i) {
                if (i + kAhead < k) ahead(xs[i + kAhead], ys[i + kAhead]);
                fn(b + i, xs[i], ys[i], ti[i]);
            }
        } else {
            kern::decode_doubles(ct, b, k, td);
            for (size_t i = 0; i < k; ++i) {
                if (i + kAhead < k) ahead(xs[i + kAhead], ys[i + kAhead]);
                fn(b + i, xs[i], ys[i], td[i]);
            }
        }
    }
}

bool inside(int64_t x, int64_t y, int64_t w, int64_t h) {
    return static_cast<uint64_t>(x) < static_cast<uint64_t>(w) && static_cast<uint64_t>(y) < static_cast<uint64_t>(h);
}

// _filter_mask(events, x, y, t, width, height, denoise, refractory, hot) ->
// (keep mask, (outside, hot, denoise, refractory, kept), hot pixel indices)
nb::object filter_mask(const Args& a) {
    EventView view(a[0]);
    const bool has_y = !a.is_none(2);
    const kern::Column cx = view.column(a[1]);
    const kern::Column cy = has_y ? view.column(a[2]) : kern::Column{};
    const kern::Column ct = view.column(a[3]);
    const int64_t w = a.integer(4), h = a.integer(5);
    if (w < 1 || h < 1 || w > kMaxPixels / h)
        raise(PyExc_ValueError, "a sensor of %lld x %lld pixels is too large to filter (at most %lld pixels)",
              static_cast<long long>(w), static_cast<long long>(h), static_cast<long long>(kMaxPixels));
    kern::FilterSettings s;
    s.width = w;
    s.height = h;
    s.denoise = filter_time(a[6]);
    s.refractory = filter_time(a[7]);
    const bool want_hot = a.truth(8);
    const size_t n = view.size();
    nb::object mask = new_array(static_cast<int64_t>(n), "bool");
    OutBuffer out(mask);
    auto* keep = static_cast<uint8_t*>(out.data());
    std::vector<int64_t> hot;
    kern::FilterCounts counts;
    {
        nb::gil_scoped_release release;
        // A first pass when the later stages need the whole input: the counts
        // for hot pixels, and the denoise bounds among what reaches denoise.
        if (want_hot || s.denoise.on()) {
            std::vector<uint64_t> per_pixel(static_cast<size_t>(w * h));
            for_each_event(cx, cy, has_y, ct, n, [&](size_t, int64_t x, int64_t y, auto) {
                if (inside(x, y, w, h)) ++per_pixel[static_cast<size_t>(y * w + x)];
            });
            if (want_hot) {
                hot = kern::hot_pixels(per_pixel.data(), w, h);
                s.hot.assign(static_cast<size_t>(w * h), 0);
                for (int64_t i : hot) s.hot[static_cast<size_t>(i)] = 1;
            }
            for (int64_t y = 0; y < h; ++y)
                for (int64_t x = 0; x < w; ++x) {
                    const size_t i = static_cast<size_t>(y * w + x);
                    if (per_pixel[i] && (s.hot.empty() || !s.hot[i])) {
                        s.denoise_width = std::max(s.denoise_width, x + 1);
                        s.denoise_height = std::max(s.denoise_height, y + 1);
                    }
                }
        }
        kern::EventFilter filter(std::move(s));
        for_each_event(cx, cy, has_y, ct, n, [&](size_t i, int64_t x, int64_t y, auto t) {
            keep[i] = filter.keep(x, y, t) ? 1 : 0;
        }, [&](int64_t x, int64_t y) { filter.prefetch(x, y); });
        counts = filter.counts();
    }
    nb::list hot_list;
    for (int64_t i : hot) hot_list.append(nb::int_(i));
    return nb::make_tuple(mask, nb::make_tuple(counts.outside, counts.hot, counts.denoise, counts.refractory, counts.kept),
                          hot_list);
}

// _local_hot_pixels(counts) -> indices (y * width + x) of the hot pixels of a 2-D count array
nb::object local_hot_pixels(const Args& a) {
    nb::object arr = g_numpy.attr("ascontiguousarray")(a[0], "uint64");
    if (nb::cast<long>(arr.attr("ndim")) != 2) raise(PyExc_ValueError, "counts must be a 2-D array (height, width)");
    nb::object shape = arr.attr("shape");
    const int64_t h = nb::cast<int64_t>(shape[0]), w = nb::cast<int64_t>(shape[1]);
    py::Buffer buf;
    buf.require(arr, PyBUF_C_CONTIGUOUS);
    std::vector<int64_t> hot;
    {
        nb::gil_scoped_release release;
        hot = kern::hot_pixels(static_cast<const uint64_t*>(buf.data()), w, h);
    }
    nb::object out = new_array(static_cast<int64_t>(hot.size()), "int64");
    OutBuffer ob(out);
    if (!hot.empty()) std::memcpy(ob.data(), hot.data(), hot.size() * sizeof(int64_t));
    return out;
}

// The streaming filter stage (kernels/filter_stage.hpp) over pieces of the documented records.
class Filter {
public:
    Filter(int64_t width, int64_t height, nb::object denoise, nb::object refractory, std::vector<int64_t> hot,
           int64_t denoise_width, int64_t denoise_height, int64_t bin_start, int64_t bin_us, int64_t bins)
        : stage_(filter_binding::settings(width, height, denoise, refractory, hot, denoise_width, denoise_height),
                 bin_start, bin_us, bins) {}

    // Compacts the kept records of `records` to its front; returns how many there are.
    int64_t apply(nb::handle records) {
        py::Buffer buf;
        buf.require(records, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
        if ((*buf).itemsize != kern::FilterStage::kRecord)
            raise(PyExc_ValueError, "records must be the documented 13-byte records");
        auto* base = static_cast<uint8_t*>(buf.data());
        const size_t n = buf.items();
        nb::gil_scoped_release release;
        return static_cast<int64_t>(stage_.apply(base, n));
    }

    nb::dict counts() const { return filter_binding::counts_of(stage_.counts()); }

    nb::bytes removed() const {
        const std::vector<uint32_t>& r = stage_.removed();
        return nb::bytes(reinterpret_cast<const char*>(r.data()), r.size() * sizeof(uint32_t));
    }

private:
    kern::FilterStage stage_;
};

// A contiguous buffer of `itemsize`-byte items of the format letter `code` ('q' int64, 'B' uint8).
void require_items(py::Buffer& b, nb::handle obj, char code, Py_ssize_t itemsize, const char* what, int flags = 0) {
    b.require(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | flags);
    const char* f = (*b).format;
    const char letter = f && (f[0] == '<' || f[0] == '=' || f[0] == '|') ? f[1] : f ? f[0] : 0;
    const bool same = letter == code || (code == 'q' && letter == 'l');  // 'l' is int64 on LP64
    if ((*b).itemsize != itemsize || !same)
        raise(PyExc_TypeError, "%s must be contiguous %s", what,
              code == 'q' ? "int64" : code == 'd' ? "float64" : "uint8");
}

// A contiguous column of n 8-byte numbers ('q' int64 or 'd' float64), or None.
template <typename T>
const T* key_column(py::Buffer& b, nb::handle obj, char code, const char* what, size_t& n) {
    if (obj.is_none()) return nullptr;
    require_items(b, obj, code, 8, what);
    if (n == SIZE_MAX) n = b.items();
    else if (b.items() != n) raise(PyExc_ValueError, "%s: the key columns differ in length", what);
    return static_cast<const T*>(b.data());
}

// Six contiguous columns (t, class as int64; x, y, w, h as float64) of one box set.
struct BoxBuffers {
    py::Buffer part[6];
    kern::BoxColumns cols;

    BoxBuffers(nb::handle tuple, const char* what) {
        auto v = unpack(tuple, 6);
        for (int k = 0; k < 6; ++k) {
            part[k].require(v[k], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
            const char want = k < 2 ? 'q' : 'd';
            const char* f = (*part[k]).format;
            if ((*part[k]).itemsize != 8 || !f || (f[0] != want && !(f[0] == '<' && f[1] == want) &&
                                                  !(f[0] == '=' && f[1] == want) && !(k < 2 && f[0] == 'l')))
                raise(PyExc_TypeError, "%s: column %d must be contiguous %s", what, k, k < 2 ? "int64" : "float64");
        }
        cols.n = part[0].items();
        for (int k = 1; k < 6; ++k)
            if (part[k].items() != cols.n) raise(PyExc_ValueError, "%s: columns of different lengths", what);
        cols.t = static_cast<const int64_t*>(part[0].data());
        cols.cls = static_cast<const int64_t*>(part[1].data());
        cols.x = static_cast<const double*>(part[2].data());
        cols.y = static_cast<const double*>(part[3].data());
        cols.w = static_cast<const double*>(part[4].data());
        cols.h = static_cast<const double*>(part[5].data());
    }
};

// The columns of a box set taken in the order of `rows` (int64 indices into them), gathered
// in one pass instead of one copy per column.
struct GatheredBoxes {
    std::vector<int64_t> t, cls;
    std::vector<double> x, y, w, h;
    kern::BoxColumns cols;

    GatheredBoxes(const kern::BoxColumns& from, const int64_t* rows, size_t n, const char* what) {
        for (size_t k = 0; k < n; ++k)
            if (rows[k] < 0 || static_cast<size_t>(rows[k]) >= from.n) raise(PyExc_IndexError, "%s: row %zu out of range", what, k);
        t.resize(n), cls.resize(n), x.resize(n), y.resize(n), w.resize(n), h.resize(n);
        for (size_t k = 0; k < n; ++k) {
            const auto r = static_cast<size_t>(rows[k]);
            t[k] = from.t[r], cls[k] = from.cls[r], x[k] = from.x[r], y[k] = from.y[r], w[k] = from.w[r], h[k] = from.h[r];
        }
        cols = {t.data(), cls.data(), x.data(), y.data(), w.data(), h.data(), n};
    }
};

// _match_boxes(truth, predictions, iou, truth_rows, prediction_rows) -> (hit per prediction, taken
// per truth box), both bool, in the order of the rows (all of each set when None)
nb::object match_boxes(const Args& a) {
    BoxBuffers truth(a[0], "truth"), pred(a[1], "predictions");
    const double iou = PyFloat_AsDouble(a[2].ptr());
    if (iou == -1.0 && PyErr_Occurred()) rethrow();
    py::Buffer truth_rows, pred_rows;
    size_t nt = SIZE_MAX, np_ = SIZE_MAX;
    const int64_t* tr = key_column<int64_t>(truth_rows, a[3], 'q', "truth_rows", nt);
    const int64_t* pr = key_column<int64_t>(pred_rows, a[4], 'q', "prediction_rows", np_);
    const size_t n_truth = tr ? nt : truth.cols.n, n_pred = pr ? np_ : pred.cols.n;
    nb::object hit = new_array(static_cast<int64_t>(n_pred), "bool");
    nb::object taken = new_array(static_cast<int64_t>(n_truth), "bool");
    OutBuffer hb(hit), tb(taken);
    std::optional<GatheredBoxes> gt, gp;
    if (tr) gt.emplace(truth.cols, tr, nt, "truth_rows");
    if (pr) gp.emplace(pred.cols, pr, np_, "prediction_rows");
    {
        nb::gil_scoped_release release;
        kern::match_boxes(gt ? gt->cols : truth.cols, gp ? gp->cols : pred.cols, iou, static_cast<uint8_t*>(hb.data()),
                          static_cast<uint8_t*>(tb.data()));
    }
    return nb::make_tuple(hit, taken);
}

// _draw_boxes(frame, edges, colours, labels, dashed, line, atlas, atlas_index): outlines and labels
// drawn into an (H, W, 3) uint8 frame in place
nb::object draw_boxes(const Args& a) {
    py::Buffer frame, edges, colours, labels, atlas, index;
    frame.require(a[0], PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_ND);
    const Py_buffer& fv = *frame;
    if (fv.itemsize != 1 || fv.ndim != 3 || fv.shape[2] != 3)
        raise(PyExc_ValueError, "frame must be a contiguous (height, width, 3) uint8 array");
    require_items(edges, a[1], 'q', 8, "edges");
    require_items(colours, a[2], 'B', 1, "colours");
    require_items(labels, a[3], 'q', 8, "labels");
    require_items(atlas, a[6], 'B', 1, "atlas");
    require_items(index, a[7], 'q', 8, "atlas_index");
    kern::BoxDrawing d;
    d.n = labels.items();
    if (edges.items() != 4 * d.n || colours.items() != 3 * d.n || index.items() % 8)
        raise(PyExc_ValueError, "edges, colours and labels must describe the same boxes");
    d.edges = static_cast<const int64_t*>(edges.data());
    d.colours = static_cast<const uint8_t*>(colours.data());
    d.label = static_cast<const int64_t*>(labels.data());
    d.dashed = a.truth(4);
    d.line = std::clamp<long long>(a.integer(5), 1, 64);
    const size_t n_masks = index.items() / 8;
    const auto* ix = static_cast<const int64_t*>(index.data());
    const auto* coverage = static_cast<const uint8_t*>(atlas.data());
    std::vector<kern::LabelMask> masks(n_masks);
    for (size_t k = 0; k < n_masks; ++k) {
        const int64_t* e = ix + 8 * k;
        const int64_t off = e[0], w = e[1], h = e[2], dx = e[4], dy = e[5], tw = e[6], th = e[7];
        const bool sizes = w >= 0 && h >= 0 && w <= (1 << 24) && h <= (1 << 24) && dx >= 0 && dy >= 0 && tw >= 0 && th >= 0 &&
                           dx + tw <= w && dy + th <= h;
        if (!sizes || off < 0 || static_cast<size_t>(off) > atlas.size() ||
            static_cast<size_t>(tw * th) > atlas.size() - static_cast<size_t>(off))
            raise(PyExc_ValueError, "atlas_index entry %zu lies outside the atlas", k);
        masks[k] = {coverage + off, w, h, e[3], dx, dy, tw, th};
    }
    for (size_t k = 0; k < d.n; ++k)
        if (d.label[k] >= static_cast<int64_t>(n_masks)) raise(PyExc_ValueError, "label %zu names no mask", k);
    kern::RgbFrame f{static_cast<uint8_t*>(frame.data()), fv.shape[1], fv.shape[0]};
    {
        nb::gil_scoped_release release;
        kern::draw_boxes(f, d, masks.data());
    }
    return nb::none();
}

// _order_boxes(t, class_id, confidence, tie) -> int64 indices sorted by t, class, descending
// confidence and tie (each None: not a key), index order among equals
nb::object order_boxes(const Args& a) {
    py::Buffer bt, bc, bf, bk;
    size_t n = SIZE_MAX;
    kern::OrderKeys k;
    k.t = key_column<int64_t>(bt, a[0], 'q', "t", n);
    k.cls = key_column<int64_t>(bc, a[1], 'q', "class_id", n);
    k.confidence = key_column<double>(bf, a[2], 'd', "confidence", n);
    k.tie = key_column<int64_t>(bk, a[3], 'q', "tie", n);
    k.n = n == SIZE_MAX ? 0 : n;
    std::vector<int64_t> order;
    {
        nb::gil_scoped_release release;
        order = kern::order_boxes(k);
    }
    nb::object out = new_array(static_cast<int64_t>(order.size()), "int64");
    OutBuffer ob(out);
    if (!order.empty()) std::memcpy(ob.data(), order.data(), order.size() * sizeof(int64_t));
    return out;
}

// The health pass's accumulator: fed record arrays in file order, read at the end.
class Health {
public:
    Health(int64_t width, int64_t height) : check_(width, height) {}
    // Also the space-time view's subsample of [t0, t1), at most `cap` points.
    Health(int64_t width, int64_t height, int64_t t0, int64_t t1, int64_t cap)
        : check_(width, height), sample_(std::in_place, t0, t1, static_cast<size_t>(std::max<int64_t>(cap, 1))) {}

    void add(nb::handle events, nb::handle x, nb::handle y, nb::handle t, nb::handle p) {
        EventView view(events);
        const bool has_y = !y.is_none();
        const kern::Column cx = view.column(x), ct = view.column(t);
        const kern::Column cy = has_y ? view.column(y) : kern::Column{};
        if (!sample_) {
            nb::gil_scoped_release release;
            for_each_event(cx, cy, has_y, ct, view.size(), [&](size_t, int64_t ex, int64_t ey, auto et) {
                check_.add(ex, ey, static_cast<int64_t>(et));
            }, [&](int64_t ex, int64_t ey) { check_.prefetch(ex, ey); });
            return;
        }
        // The sample compares and keeps times exactly: integer fields only (the caller's rule).
        const bool has_p = !p.is_none();
        const kern::Column cp = has_p ? view.column(p) : kern::Column{};
        for (const kern::Column* c : {&cx, &ct, has_y ? &cy : &cx})
            if (!integer_times(*c) || (c->kind == kern::NumKind::UInt && c->size == 8))
                raise(PyExc_ValueError, "a sampled piece needs integer x, y and t fields of at most 63 bits");
        nb::gil_scoped_release release;
        constexpr size_t kBlock = 4096, kAhead = 16;
        // The check takes coordinates as it reads them everywhere; the sample the values themselves.
        int64_t xs[kBlock], ys[kBlock], xv[kBlock], yv[kBlock], ts[kBlock];
        uint8_t on[kBlock];
        const size_t n = view.size();
        for (size_t b = 0; b < n; b += kBlock) {
            const size_t k = std::min(kBlock, n - b);
            kern::decode_coordinates(cx, b, k, xs);
            decode_integer_times(cx, b, k, xv);
            if (has_y) {
                kern::decode_coordinates(cy, b, k, ys);
                decode_integer_times(cy, b, k, yv);
            } else {
                std::fill_n(ys, k, 0);
                std::fill_n(yv, k, 0);
            }
            decode_integer_times(ct, b, k, ts);
            if (has_p) kern::decode_positive(cp, b, k, on);
            else std::fill_n(on, k, uint8_t{1});
            for (size_t i = 0; i < k; ++i) {
                if (i + kAhead < k) check_.prefetch(xs[i + kAhead], ys[i + kAhead]);
                check_.add(xs[i], ys[i], ts[i]);
                sample_->add(xv[i], yv[i], ts[i], on[i] != 0);
            }
        }
    }

    // (events in the window, step, x, y, t, on) of the subsample.
    nb::tuple sample() const {
        if (!sample_) raise(PyExc_ValueError, "this health check keeps no sample");
        return health::sample_of(*sample_, [](const auto& v, const char* dtype) {
            nb::object a = new_array(static_cast<int64_t>(v.size()), dtype);
            if (!v.empty()) std::memcpy(OutBuffer(a).data(), v.data(), v.size() * sizeof v[0]);
            return a;
        });
    }

    nb::dict result() const { return health::result_of(check_); }

private:
    kern::HealthCheck check_;
    std::optional<kern::XytSample> sample_;
};

}  // namespace

NB_MODULE(_inspect, m) {
    g_numpy = nb::module_::import_("numpy");
    def(m, "_filter_mask",
        {arg("events"), arg("x"), arg("y"), arg("t"), arg("width", Kind::Int), arg("height", Kind::Int),
         arg("denoise"), arg("refractory"), arg("hot", Kind::Truth)},
        filter_mask,
        "Which events survive the noise filters (hot pixels, denoise, refractory; a time of None is off),\n"
        "as a bool array; with the events each stage removed (outside, hot, denoise, refractory, kept)\n"
        "and the hot pixels' indices (y * width + x).\n\n"
        "Raises ValueError for a sensor too large to filter; TypeError for a field that is not numeric.");
    def(m, "_local_hot_pixels", {arg("counts")}, local_hot_pixels,
        "Indices (y * width + x) of the hot pixels of a (height, width) count array, by the local rule:\n"
        "at least 16 events and at least 10 times the median of the neighbours that exist.\n\n"
        "Raises ValueError for an array that is not 2-D.");
    def(m, "_match_boxes",
        {arg("truth", Kind::Tuple), arg("predictions", Kind::Tuple), arg("iou"), arg("truth_rows", Kind::Any, nb::none()),
         arg("prediction_rows", Kind::Any, nb::none())},
        match_boxes,
        "Greedy box matching: truth and predictions are (t, class, x, y, w, h) column tuples (int64,\n"
        "int64, then float64) taken in the order of truth_rows and prediction_rows (int64 indices; None:\n"
        "as they are), sorted by (t, class), predictions by descending confidence within each.\n"
        "Returns (true positive per prediction, matched per truth box) as bool arrays, in that order.\n\n"
        "Raises TypeError for columns of another type, ValueError for columns of different lengths,\n"
        "IndexError for rows out of range.");
    def(m, "_order_boxes", {arg("t"), arg("class_id"), arg("confidence"), arg("tie")}, order_boxes,
        "Indices (int64) that sort boxes by t, then class_id, then descending confidence, then tie (int64,\n"
        "int64, float64, int64 columns of one length; None leaves a key out); equal rows keep their order.\n\n"
        "Raises TypeError for columns of another type, ValueError for columns of different lengths.");
    def(m, "_draw_boxes",
        {arg("frame"), arg("edges"), arg("colours"), arg("labels"), arg("dashed", Kind::Truth), arg("line", Kind::Int),
         arg("atlas"), arg("atlas_index")},
        draw_boxes,
        "Box outlines and labels drawn, in order and clipped, into an (H, W, 3) uint8 frame in place: per box\n"
        "the edges (c0, r0, c1, r1) as int64, an RGB colour as uint8 and the index of its label mask in\n"
        "atlas_index (-1: none), whose rows are (offset in atlas, width, height, lift above r0, then the\n"
        "stored part's x, y, width and height within the mask).\n\n"
        "Raises TypeError for arrays of another type, ValueError for inconsistent lengths or indices.");
    nb::class_<Filter>(m, "_Filter",
                       "The noise filters as a stream stage (see filters.py): apply(records) keeps the survivors of\n"
                       "a piece of the documented records at its front and returns their number; counts() and\n"
                       "removed() (uint32 per timeline bin) say what went.")
        .def(nb::init<int64_t, int64_t, nb::object, nb::object, std::vector<int64_t>, int64_t, int64_t, int64_t,
                      int64_t, int64_t>(),
             nb::arg("width"), nb::arg("height"), nb::arg("denoise").none(), nb::arg("refractory").none(),
             nb::arg("hot"), nb::arg("denoise_width"), nb::arg("denoise_height"), nb::arg("bin_start"),
             nb::arg("bin_us"), nb::arg("bins"))
        .def("apply", &Filter::apply, nb::arg("records"))
        .def("counts", &Filter::counts)
        .def("removed", &Filter::removed);
    nb::class_<Health>(m, "_Health",
                       "A recording's health, gathered over record arrays fed in file order (see health.py).")
        .def(nb::init<int64_t, int64_t>(), nb::arg("width"), nb::arg("height"))
        .def(nb::init<int64_t, int64_t, int64_t, int64_t, int64_t>(), nb::arg("width"), nb::arg("height"),
             nb::arg("t0"), nb::arg("t1"), nb::arg("cap"))
        .def("add", &Health::add, nb::arg("events"), nb::arg("x"), nb::arg("y").none(), nb::arg("t"),
             nb::arg("p").none() = nb::none())
        .def("result", &Health::result)
        .def("sample", &Health::sample);
}
