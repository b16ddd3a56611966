// Frame stacks binned elsewhere, shown on the spike page: each (K, H, W) frame
// coloured into an RGB image (ON blue, OFF red, one scale per frame) and
// encoded as base64 PNG, in the frame document the page reads.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "binding/args.hpp"
#include "binding/numpy.hpp"
#include "kernels/colour.hpp"

namespace zv::frame_stack {

namespace nb = nanobind;

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

inline StackColourer stack_colourer(nb::handle dtype) {
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
inline nb::object frame_rgb_numpy(nb::handle np, nb::handle frames, int64_t i, bool two_channels, nb::handle height,
                                  nb::handle width) {
    nb::object builtins = nb::module_::import_("builtins");
    nb::object uint8 = np.attr("uint8");
    nb::object rgb = np.attr("zeros")(nb::make_tuple(height, width, 3), uint8);
    nb::object on = frames[nb::make_tuple(i, 0)];
    nb::object off = two_channels ? nb::object(frames[nb::make_tuple(i, 1)]) : np.attr("zeros_like")(on);
    nb::object max_val = builtins.attr("max")(on.attr("max")(), off.attr("max")(), 1);
    auto scaled = [&](nb::handle ch) {
        nb::object q = checked(PyNumber_TrueDivide(ch.ptr(), max_val.ptr()));
        q = checked(PyNumber_Multiply(q.ptr(), nb::int_(255).ptr()));
        return np.attr("clip")(q, 0, 255).attr("astype")(uint8);
    };
    rgb[nb::make_tuple(nb::ellipsis(), 2)] = scaled(on);
    rgb[nb::make_tuple(nb::ellipsis(), 0)] = scaled(off);
    return rgb;
}

// The frame document of a (T, K, H, W) or (T, H, W) stack: the page data of
// plot_frames. `np` is NumPy, `encode` the image encoder (the spike page's).
inline nb::object frames_document(nb::handle np, nb::handle encode, nb::handle frames_in) {
    nb::object frames = nb::borrow(frames_in);
    const int three = PyObject_RichCompareBool(frames.attr("ndim").ptr(), nb::int_(3).ptr(), Py_EQ);
    if (three < 0) rethrow();
    if (three) frames = np.attr("expand_dims")(frames, 1);
    auto shape = unpack(frames.attr("shape"), 4);
    const int64_t n_frames = dimension(shape[0]);
    const size_t channels = static_cast<size_t>(dimension(shape[1]));
    const size_t plane = static_cast<size_t>(dimension(shape[2]) * dimension(shape[3]));
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
                frame_rgb = np.attr("empty")(nb::make_tuple(shape[2], shape[3], 3), np.attr("uint8"));  // every byte written
                OutBuffer rgb(frame_rgb);
                nb::gil_scoped_release release;
                colour((*stack).buf, i, channels, plane, static_cast<uint8_t*>(rgb.data()));
            } else {
                frame_rgb = frame_rgb_numpy(np, frames, i, channels >= 2, shape[2], shape[3]);
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

}  // namespace zv::frame_stack
