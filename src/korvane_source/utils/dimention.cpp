// korvane.utils.dimention: layout inference, image(s) to NCHW batch and back, and the
// sub-pixel pixel-shift split and fusion. The module's description (strings, constants,
// function table, body) and its function bodies.
#include <Python.h>

#include <functional>
#include <initializer_list>
#include <utility>

#include "../../module_foundation/binder.hpp"
#include "../../module_foundation/calls.hpp"
#include "../../module_foundation/errors.hpp"
#include "../../module_foundation/function.hpp"
#include "../../module_foundation/imports.hpp"
#include "../../module_foundation/module_record.hpp"
#include "../../module_foundation/ref.hpp"

namespace {

using kv::Call;
using kv::Ref;

// ---- the string table --------------------------------------------------------------

#define DIMENTION_NAMES(X)                                                                            \
    X(typing, "typing") X(Literal, "Literal") X(cupy, "cupy") X(cp, "cp")                                  \
    X(color_bgr, "color.bgr") X(bgr_to_rgb, "bgr_to_rgb") X(rgb_to_bgr, "rgb_to_bgr")                    \
    X(transform_resize, "transform.resize") X(INTER_AUTO, "INTER_AUTO") X(resize, "resize")               \
    X(utils_dtypes, "utils.dtypes") X(to_float32, "to_float32") X(Layout, "Layout") X(test, "__test__")   \
    X(ValueError, "ValueError") X(range, "range")                                                          \
    X(guess_image_layout, "guess_image_layout") X(batch_to_images, "batch_to_images")                     \
    X(images_to_batch, "images_to_batch") X(image_to_batch, "image_to_batch")                             \
    X(image_to_batch_pixelshift, "image_to_batch_pixelshift") X(pixelshift_fuse, "pixelshift_fuse")       \
    X(image, "image") X(images, "images") X(batch, "batch") X(scalefactor, "scalefactor") X(size, "size") \
    X(mean, "mean") X(swap_rb, "swap_rb") X(layout, "layout") X(dim, "dim") X(preds, "preds")             \
    X(acc, "acc") X(hits, "hits") X(start_idx, "start_idx")                                                \
    X(ndim, "ndim") X(shape, "shape") X(transpose, "transpose") X(newaxis, "newaxis") X(array, "array")   \
    X(dtype, "dtype") X(stack, "stack") X(axis, "axis") X(empty, "empty") X(repeat, "repeat")             \
    X(roll, "roll") X(shift, "shift") X(astype, "astype") X(float32, "float32") X(dsize, "dsize")         \
    X(interpolation, "interpolation") X(ascontiguousarray, "ascontiguousarray")                          \
    X(HW, "HW") X(HWC, "HWC") X(CHW, "CHW") X(NHWC, "NHWC") X(NCHW, "NCHW") X(ambiguous, "ambiguous")     \
    X(unsupported, "unsupported")                                                                          \
    X(a_ndarray, "cp.ndarray") X(a_float_or_none, "float | None")                                          \
    X(a_mean, "float | tuple[float, float, float] | None") X(a_bool, "bool") X(a_layout, "Layout")        \
    X(a_list_of_arrays, "list[cp.ndarray]") X(a_images, "cp.ndarray | list[cp.ndarray]")                  \
    X(a_size, "int | tuple[int, int] | None") X(a_int, "int") X(a_none, "None")                           \
    X(msg_mean, "Mean must be a single value or a tuple of three values.")                                \
    X(msg_layout, "Unsupported image layout: ") X(msg_dim, "dim must be \u2265 1")                        \
    X(empty_text, "") X(msg_image, "Image ") X(msg_times, "\u00d7") X(msg_not_divisible, " not divisible by dim=")                                                                                       \
    X(doc_guess_image_layout,                                                                              \
      "\n    Infer the layout of an image array.\n\n    Args:\n        image (cp.ndarray): The input image "  \
      "array.\n    Returns:\n        Layout: The inferred layout of the image array.\n    ")                   \
    X(doc_batch_to_images,                                                                                 \
      "\n    Convert a batch of images to a list of images.\n\n    Args:\n        batch (cp.ndarray): The "   \
      "input batch of images with shape (N, C, H, W) or (N, H, W, C).\n\n    Returns:\n        "             \
      "list[cp.ndarray]: A list of images, each with shape (H, W, C).\n    ")                                  \
    X(doc_images_to_batch, "\n    Convert a list of images to batches.\n    ")                              \
    X(doc_image_to_batch, "\n    Convert a single image to a batch.\n    ")                                 \
    X(doc_image_to_batch_pixelshift,                                                                       \
      "\n    (H, W, C) \u753b\u50cf\u304b\u3089\u30b5\u30d6\u30d4\u30af\u30bb\u30eb\u4f4d\u7f6e\u3054\u3068"   \
      "\u306b dim\u00b2 \u679a\u3092\u53d6\u308a\u51fa\u3057\u3001\n    (dim\u00b2, C, H/dim, W/dim) "       \
      "\u306e CHW \u30c6\u30f3\u30bd\u30eb\u3092\u8fd4\u3059\u3002\n    ")                                     \
    X(doc_pixelshift_fuse,                                                                                 \
      "\n    128\u00b2\u21924\u00d7Nearest\u2192roll\u2192accumulate \u3060\u3051\u3092\u884c\u3044\u3001"   \
      "\n    \u5e73\u5747\u306f\u6700\u5f8c\u306b acc / hits \u3067\u8a08\u7b97\u3002\n    "                  \
      "\u30e1\u30e2\u30ea\u6d88\u8cbb\u306f acc+hits (~ 8 MiB for dim=8) \u3068\n    "                       \
      "\u30d0\u30c3\u30c1\u5206 (\u6700\u592716\u679a) \u306e\u307f\u3002\n    ")

namespace n {
#define X(id, text) id,
enum : int { DIMENTION_NAMES(X) count };
#undef X
}  // namespace n

#define X(id, text) text,
const char* const texts[] = {DIMENTION_NAMES(X)};
#undef X

// ---- constants ---------------------------------------------------------------------

// clang-format off: one line per kind of constant
namespace c {
enum : int {
    int0, int1, int2, int3, int4, int_minus1,
    axes_0231, axes_120, axes_0312, axes_201, axes_12,
    layout_names,
    defaults_batch_to_images, defaults_image_to_batch, defaults_pixelshift,
    kw_resize, kw_options, kw_axis, kw_dtype, kw_roll,
    count
};
// clang-format on
}  // namespace c

const int cached_builtins[] = {n::ValueError, n::range};
enum : int { b_ValueError, b_range };

/// The integer constants' values, by constant index (c::int0 to c::int_minus1): known here,
/// so that comparisons with them and indexing by them need no conversion at run time.
constexpr long int_values[] = {0, 1, 2, 3, 4, -1};
static_assert(c::int0 == 0 && c::int4 == 4 && c::int_minus1 == 5, "int_values is indexed by the constants");

int make_numbers(kv::ModuleRecord& r) {
    for (int slot = c::int0; slot <= c::int_minus1; ++slot) {
        Ref v = kv::integer(int_values[slot]);
        if (!v) return -1;
        r.set_constant(slot, std::move(v));
    }
    return 0;
}

/// A tuple of constants / names, stored as a constant.
int store_tuple(kv::ModuleRecord& r, int slot, Ref t) {
    if (!t) return -1;
    r.set_constant(slot, std::move(t));
    return 0;
}

int make_tuples(kv::ModuleRecord& r) {
    auto k = [&](int i) { return r.constant(i); };
    auto s = [&](int i) { return r.name(i); };
    // clang-format off: one constant a line
    bool failed = store_tuple(r, c::axes_0231, kv::tuple({k(c::int0), k(c::int2), k(c::int3), k(c::int1)})) < 0 ||
           store_tuple(r, c::axes_120, kv::tuple({k(c::int1), k(c::int2), k(c::int0)})) < 0 ||
           store_tuple(r, c::axes_0312, kv::tuple({k(c::int0), k(c::int3), k(c::int1), k(c::int2)})) < 0 ||
           store_tuple(r, c::axes_201, kv::tuple({k(c::int2), k(c::int0), k(c::int1)})) < 0 ||
           store_tuple(r, c::axes_12, kv::tuple({k(c::int1), k(c::int2)})) < 0 ||
           store_tuple(r, c::layout_names, kv::tuple({s(n::HW), s(n::HWC), s(n::CHW), s(n::NHWC), s(n::NCHW),
                                                     s(n::ambiguous), s(n::unsupported)})) < 0 ||
           store_tuple(r, c::defaults_batch_to_images, kv::tuple({Py_None, Py_None, Py_True, s(n::NCHW)})) < 0 ||
           store_tuple(r, c::defaults_image_to_batch, kv::tuple({Py_None, Py_None, Py_None, Py_True, s(n::HWC)})) < 0 ||
           store_tuple(r, c::defaults_pixelshift, kv::tuple({k(c::int4), Py_None, Py_None, Py_True})) < 0 ||
           store_tuple(r, c::kw_resize, kv::tuple({s(n::dsize), s(n::interpolation)})) < 0 ||
           store_tuple(r, c::kw_options,
                       kv::tuple({s(n::scalefactor), s(n::size), s(n::mean), s(n::swap_rb), s(n::layout)})) < 0 ||
           store_tuple(r, c::kw_axis, kv::tuple({s(n::axis)})) < 0 ||
           store_tuple(r, c::kw_dtype, kv::tuple({s(n::dtype)})) < 0 ||
           store_tuple(r, c::kw_roll, kv::tuple({s(n::shift), s(n::axis)})) < 0;
    // clang-format on
    return failed ? -1 : 0;
}

// ---- helpers shared by the bodies ----------------------------------------------------

PyObject* name(const Call& call, int i) { return call.record.name(i); }
PyObject* constant(const Call& call, int i) { return call.record.constant(i); }

/// `value <op> constant` for an extent: exact ints of one digit compare in C, anything else
/// (a large int too, whose comparison is as plain) as Python does.
inline int compare(const Call& call, PyObject* value, int constant_index, int op) {
    if (PyLong_CheckExact(value) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
        Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value));
        long k = int_values[constant_index];
        switch (op) {
            case Py_EQ: return v == k;
            case Py_LT: return v < k;
            case Py_LE: return v <= k;
            case Py_GT: return v > k;
            default: break;
        }
    }
    return PyObject_RichCompareBool(value, constant(call, constant_index), op);
}

/// Whether an extent is a plausible channel count: equal to 1, 3 or 4, tested in that order.
inline int is_channel_count(const Call& call, PyObject* extent) {
    for (int k : {c::int1, c::int3, c::int4}) {
        int eq = compare(call, extent, k, Py_EQ);
        if (eq != 0) return eq;
    }
    return 0;
}

/// shape[index] (index given as a constant): tuples directly, anything else by subscription.
inline Ref shape_item(const Call& call, PyObject* shape, int constant_index) {
    if (PyTuple_CheckExact(shape)) {
        Py_ssize_t i = int_values[constant_index];
        if (i < 0) i += PyTuple_GET_SIZE(shape);
        if (i >= 0 && i < PyTuple_GET_SIZE(shape)) return Ref::borrow(PyTuple_GET_ITEM(shape, i));
    }
    return kv::item(shape, constant(call, constant_index));
}

/// A Ref to a string of the table (the layout names are returned as these very objects).
Ref text(const Call& call, int i) { return Ref::borrow(name(call, i)); }

// ---- guess_image_layout ---------------------------------------------------------------

/// Three dimensions: a single plausible channel count decides; size tests break ties.
PyObject* guess_three_dimensions(const Call& call, PyObject* shape) {
    Ref c_first = shape_item(call, shape, c::int0);
    if (!c_first) return nullptr;
    Ref c_last = shape_item(call, shape, c::int_minus1);
    if (!c_last) return nullptr;
    int chw = is_channel_count(call, c_first.get());
    if (chw < 0) return nullptr;
    int hwc = is_channel_count(call, c_last.get());
    if (hwc < 0) return nullptr;
    if (chw + hwc == 1) return text(call, chw ? n::CHW : n::HWC).release();

    // A small first extent followed by two large ones: channel first (wins the tie).
    int rule = compare(call, c_first.get(), c::int4, Py_LE);
    for (int axis : {c::int1, c::int2}) {
        if (rule != 1) break;
        Ref extent = shape_item(call, shape, axis);
        if (!extent) return nullptr;
        rule = compare(call, extent.get(), c::int4, Py_GT);
    }
    if (rule < 0) return nullptr;
    if (rule) return text(call, n::CHW).release();

    rule = compare(call, c_last.get(), c::int4, Py_LE);
    for (int axis : {c::int0, c::int1}) {
        if (rule != 1) break;
        Ref extent = shape_item(call, shape, axis);
        if (!extent) return nullptr;
        rule = compare(call, extent.get(), c::int4, Py_GT);
    }
    if (rule < 0) return nullptr;
    return text(call, rule ? n::HWC : n::ambiguous).release();
}

/// Four dimensions: shape[channel] is a channel count and both spatial extents exceed 4.
int batch_rule(const Call& call, PyObject* shape, int channel, int spatial_a, int spatial_b) {
    Ref extent = shape_item(call, shape, channel);
    if (!extent) return -1;
    int rule = is_channel_count(call, extent.get());
    for (int axis : {spatial_a, spatial_b}) {
        if (rule != 1) break;
        extent = shape_item(call, shape, axis);
        if (!extent) return -1;
        rule = compare(call, extent.get(), c::int4, Py_GT);
    }
    return rule;
}

PyObject* guess_image_layout(const Call& call) {
    Ref nd = kv::attr(call.arg(0), name(call, n::ndim));
    if (!nd) return nullptr;
    int is = compare(call, nd.get(), c::int2, Py_EQ);
    if (is < 0) return nullptr;
    if (is) return text(call, n::HW).release();

    is = compare(call, nd.get(), c::int3, Py_EQ);
    if (is < 0) return nullptr;
    if (is) {
        Ref shape = kv::attr(call.arg(0), name(call, n::shape));
        if (!shape) return nullptr;
        return guess_three_dimensions(call, shape.get());
    }

    is = compare(call, nd.get(), c::int4, Py_EQ);
    if (is < 0) return nullptr;
    if (is) {
        Ref shape = kv::attr(call.arg(0), name(call, n::shape));
        if (!shape) return nullptr;
        int rule = batch_rule(call, shape.get(), c::int1, c::int2, c::int3);
        if (rule < 0) return nullptr;
        if (rule) return text(call, n::NCHW).release();
        rule = batch_rule(call, shape.get(), c::int_minus1, c::int1, c::int2);
        if (rule < 0) return nullptr;
        return text(call, rule ? n::NHWC : n::ambiguous).release();
    }
    return text(call, n::unsupported).release();
}

// ---- shared by the converters ------------------------------------------------------------

/// Raise the module's cached ValueError with one of the table's messages.
KV_COLD PyObject* raise_value_error(const Call& call, PyObject* message) {
    Ref type = call.record.builtin(b_ValueError);
    PyErr_SetObject(type.get(), message);
    return nullptr;
}

/// ValueError "Unsupported image layout: <layout>", the layout formatted as text.
KV_COLD PyObject* raise_unsupported_layout(const Call& call, PyObject* layout) {
    Ref shown = Ref::steal(PyObject_Format(layout, name(call, n::empty_text)));
    if (!shown) return nullptr;
    Ref message = kv::join2(name(call, n::msg_layout), shown.get());
    if (!message) return nullptr;
    return raise_value_error(call, message.get());
}

/// `layout == name` for a layout value and one of the layout names. Only an object other than
/// None or an exact str can answer the comparison with code of its own; for the others the
/// answer is known without asking.
inline int is_layout(const Call& call, PyObject* layout, int layout_name) {
    PyObject* known = name(call, layout_name);
    if (layout == known) return 1;
    if (layout == Py_None) return 0;
    if (PyUnicode_CheckExact(layout)) return kv::same_text(layout, known);
    return kv::equals(layout, known);
}

/// isinstance(value, type), as Python tests it: subclasses count, and so does an object whose
/// __class__ names the type (a mock, say). 1, 0 or -1.
int is_instance(PyObject* value, PyTypeObject* type) {
    if (Py_IS_TYPE(value, type)) return 1;
    return PyObject_IsInstance(value, reinterpret_cast<PyObject*>(type));
}

/// isinstance(value, (int, float)).
int is_number(PyObject* value) {
    int is = is_instance(value, &PyLong_Type);
    return is == 0 ? is_instance(value, &PyFloat_Type) : is;
}

/// The mean as three per-channel values: a number becomes (float(m), float(m), float(m)),
/// a one-element sequence (m[0], m[0], m[0]); a sequence of three is kept as it is.
/// `single`, when given, tells whether the mean was one value for all channels.
Ref mean_triple(const Call& call, PyObject* mean, bool* single = nullptr) {
    int number = is_number(mean);
    if (number < 0) return Ref();
    if (single) *single = true;
    if (number) {
        Ref a = Ref::steal(PyNumber_Float(mean));
        if (!a) return a;
        Ref b = Ref::steal(PyNumber_Float(mean));
        if (!b) return b;
        Ref c = Ref::steal(PyNumber_Float(mean));
        if (!c) return c;
        return kv::tuple({a.get(), b.get(), c.get()});
    }
    Py_ssize_t length = PyObject_Size(mean);
    if (length < 0) return Ref();
    if (length == 1) {
        Ref items[3];
        for (Ref& it : items) {
            it = kv::item(mean, constant(call, c::int0));
            if (!it) return Ref();
        }
        return kv::tuple({items[0].get(), items[1].get(), items[2].get()});
    }
    // Asked again, as the check reads: a sequence may answer differently the second time.
    length = PyObject_Size(mean);
    if (length < 0) return Ref();
    if (length != 3) return raise_value_error(call, name(call, n::msg_mean)), Ref();
    if (single) *single = false;
    return Ref::borrow(mean);
}

/// `cp.array`, looked up at this use.
Ref cupy_array(const Call& call) {
    Ref cp = kv::global(call, n::cp);
    if (!cp) return cp;
    return kv::attr(cp.get(), name(call, n::array));
}

/// cp.array(mean, dtype=dtype): the mean as a one-dimensional device array.
Ref mean_array(const Call& call, PyObject* mean, PyObject* dtype) {
    Ref array = cupy_array(call);
    if (!array) return array;
    return kv::call(array.get(), {mean, dtype}, constant(call, c::kw_dtype));
}

/// image[..., cp.newaxis] or image[cp.newaxis, ...]: one new axis of extent 1.
Ref with_new_axis(const Call& call, PyObject* image, bool leading) {
    Ref cp = kv::global(call, n::cp);
    if (!cp) return cp;
    Ref newaxis = kv::attr(cp.get(), name(call, n::newaxis));
    if (!newaxis) return newaxis;
    Ref index = leading ? kv::tuple({newaxis.get(), Py_Ellipsis}) : kv::tuple({Py_Ellipsis, newaxis.get()});
    if (!index) return index;
    return kv::item(image, index.get());
}

Ref transposed(const Call& call, PyObject* array, int axes) {
    return kv::call_method(array, name(call, n::transpose), {constant(call, axes)});
}

/// Call a module global with positional values (and keyword values named by `kwnames`).
Ref call_global(const Call& call, int global, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
    Ref fn = kv::global(call, global);
    if (!fn) return fn;
    return kv::call(fn.get(), args, kwnames);
}

// ---- image_to_batch ---------------------------------------------------------------------

PyObject* image_to_batch(const Call& call) {
    PyObject* scalefactor = call.arg(1);
    PyObject* size = call.arg(2);
    PyObject* mean = call.arg(3);
    PyObject* swap_rb = call.arg(4);
    Ref image = Ref::borrow(call.arg(0));
    Ref layout = Ref::borrow(call.arg(5));

    // 1. Layout selection: anything but the five concrete names asks for inference.
    bool concrete = false;
    for (int known : {n::HWC, n::HW, n::CHW, n::NHWC, n::NCHW}) {
        int is = is_layout(call, layout.get(), known);
        if (is < 0) return nullptr;
        if (is) {
            concrete = true;
            break;
        }
    }
    if (!concrete) {
        layout = call_global(call, n::guess_image_layout, {image.get()});
        if (!layout) return nullptr;
    }

    // 2. Batches pass through.
    int is = is_layout(call, layout.get(), n::NCHW);
    if (is < 0) return nullptr;
    if (is) return image.release();
    is = is_layout(call, layout.get(), n::NHWC);
    if (is < 0) return nullptr;
    if (is) return transposed(call, image.get(), c::axes_0312).release();

    // 3. A two-dimensional image gets a trailing channel axis.
    is = is_layout(call, layout.get(), n::HW);
    if (is < 0) return nullptr;
    if (is) {
        image = with_new_axis(call, image.get(), false);
        if (!image) return nullptr;
        layout = Ref::borrow(name(call, n::HWC));
    }

    // 4. The element type, before the swap and the resize.
    Ref array_dtype = kv::attr(image.get(), name(call, n::dtype));
    if (!array_dtype) return nullptr;

    // 5. Colour swap, for channel-last images only.
    is = kv::truth(swap_rb);
    if (is > 0) is = is_layout(call, layout.get(), n::HWC);
    if (is < 0) return nullptr;
    if (is) {
        image = call_global(call, n::bgr_to_rgb, {image.get()});
        if (!image) return nullptr;
    }

    // 6. Resize; an int n means (n, n).
    if (size != Py_None) {
        int is_int = is_instance(size, &PyLong_Type);
        if (is_int < 0) return nullptr;
        Ref dsize = is_int ? kv::tuple({size, size}) : Ref::borrow(size);
        if (!dsize) return nullptr;
        Ref resize = kv::global(call, n::resize);
        if (!resize) return nullptr;
        Ref interpolation = kv::global(call, n::INTER_AUTO);
        if (!interpolation) return nullptr;
        image = kv::call(resize.get(), {image.get(), dsize.get(), interpolation.get()}, constant(call, c::kw_resize));
        if (!image) return nullptr;
    }

    // 7. Mean, subtracted in place; per channel also for a channel-first image.
    if (mean != Py_None) {
        bool single = false;
        Ref triple = mean_triple(call, mean, &single);
        if (!triple) return nullptr;
        Ref values = mean_array(call, triple.get(), array_dtype.get());
        if (!values) return nullptr;
        is = is_layout(call, layout.get(), n::CHW);
        if (is < 0) return nullptr;
        if (is) {
            // (3, 1, 1), one value per channel plane; a single value as (1, 1, 1), which fits
            // any number of channels.
            Ref cp = kv::global(call, n::cp);
            if (!cp) return nullptr;
            Ref newaxis = kv::attr(cp.get(), name(call, n::newaxis));
            if (!newaxis) return nullptr;
            Ref channels = kv::slice(Py_None, single ? constant(call, c::int1) : Py_None);
            if (!channels) return nullptr;
            Ref index = kv::tuple({channels.get(), newaxis.get(), newaxis.get()});
            if (!index) return nullptr;
            values = kv::item(values.get(), index.get());
            if (!values) return nullptr;
        }
        if (kv::inplace_subtract(image, values.get()) < 0) return nullptr;
    }

    // 8. Scale, in place.
    if (scalefactor != Py_None && kv::inplace_multiply(image, scalefactor) < 0) return nullptr;

    // 9. Final permutation to (1, C, H, W), or the layout error after all of the above.
    is = is_layout(call, layout.get(), n::HWC);
    if (is < 0) return nullptr;
    if (is) {
        Ref chw = transposed(call, image.get(), c::axes_201);
        if (!chw) return nullptr;
        return with_new_axis(call, chw.get(), true).release();
    }
    is = is_layout(call, layout.get(), n::CHW);
    if (is < 0) return nullptr;
    if (is) return with_new_axis(call, image.get(), true).release();
    return raise_unsupported_layout(call, layout.get());
}

// ---- images_to_batch --------------------------------------------------------------------

/// image_to_batch(image, scalefactor=..., size=..., mean=..., swap_rb=..., layout=...).
Ref convert_one(const Call& call, PyObject* image) {
    return call_global(call, n::image_to_batch,
                       {image, call.arg(1), call.arg(2), call.arg(3), call.arg(4), call.arg(5)},
                       constant(call, c::kw_options));
}

PyObject* images_to_batch(const Call& call) {
    PyObject* images = call.arg(0);
    int is_list = is_instance(images, &PyList_Type);
    if (is_list < 0) return nullptr;
    if (!is_list) return convert_one(call, images).release();

    Ref results = Ref::steal(PyList_New(0));
    if (!results) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(images));
    if (!it) return nullptr;
    while (Ref element = Ref::steal(PyIter_Next(it.get()))) {
        Ref batch = convert_one(call, element.get());
        if (!batch || PyList_Append(results.get(), batch.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;

    Ref cp = kv::global(call, n::cp);
    if (!cp) return nullptr;
    Ref stack = kv::attr(cp.get(), name(call, n::stack));
    if (!stack) return nullptr;
    return kv::call(stack.get(), {results.get(), constant(call, c::int0)}, constant(call, c::kw_axis)).release();
}

// ---- batch_to_images --------------------------------------------------------------------

PyObject* batch_to_images(const Call& call) {
    PyObject* scalefactor = call.arg(1);
    PyObject* swap_rb = call.arg(3);
    Ref batch = Ref::borrow(call.arg(0));
    Ref mean = Ref::borrow(call.arg(2));
    Ref layout = Ref::borrow(call.arg(4));

    // 1. "NCHW" is trusted; anything else is inferred and brought to NHWC.
    int given_nchw = is_layout(call, layout.get(), n::NCHW);
    if (given_nchw < 0) return nullptr;
    if (!given_nchw) {
        layout = call_global(call, n::guess_image_layout, {batch.get()});
        if (!layout) return nullptr;
        int is = is_layout(call, layout.get(), n::NCHW);
        if (is < 0) return nullptr;
        if (is) {
            batch = transposed(call, batch.get(), c::axes_0231);
            if (!batch) return nullptr;
        } else {
            is = is_layout(call, layout.get(), n::NHWC);
            if (is < 0) return nullptr;
            if (!is) return raise_unsupported_layout(call, layout.get());
        }
    }

    // 2-4. One HWC image per element, swapped back, unscaled and with the mean restored.
    Ref results = Ref::steal(PyList_New(0));
    if (!results) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(batch.get()));
    if (!it) return nullptr;
    while (Ref image = Ref::steal(PyIter_Next(it.get()))) {
        if (given_nchw) {
            image = transposed(call, image.get(), c::axes_120);
            if (!image) return nullptr;
        }
        int swap = kv::truth(swap_rb);
        if (swap < 0) return nullptr;
        if (swap) {
            image = call_global(call, n::rgb_to_bgr, {image.get()});
            if (!image) return nullptr;
        }
        if (scalefactor != Py_None) {
            // A multiplication by the reciprocal, computed in double precision.
            Ref reciprocal = kv::true_divide(constant(call, c::int1), scalefactor);
            if (!reciprocal || kv::inplace_multiply(image, reciprocal.get()) < 0) return nullptr;
        }
        if (mean.get() != Py_None) {
            mean = mean_triple(call, mean.get());
            if (!mean) return nullptr;
            // cp.array(mean, dtype=image.dtype): cp.array is read before the image's dtype.
            Ref array = cupy_array(call);
            if (!array) return nullptr;
            Ref dtype = kv::attr(image.get(), name(call, n::dtype));
            if (!dtype) return nullptr;
            Ref values = kv::call(array.get(), {mean.get(), dtype.get()}, constant(call, c::kw_dtype));
            if (!values) return nullptr;
            if (swap) {
                // The mean was taken from RGB channels: after the swap back to BGR each
                // value belongs to the mirrored channel.
                Ref reverse = Ref::steal(PySlice_New(Py_None, Py_None, constant(call, c::int_minus1)));
                if (!reverse) return nullptr;
                values = kv::item(values.get(), reverse.get());
                if (!values) return nullptr;
            }
            if (kv::inplace_add(image, values.get()) < 0) return nullptr;
        }
        if (PyList_Append(results.get(), image.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return results.release();
}

// ---- image_to_batch_pixelshift ---------------------------------------------------------

/// ValueError "Image <h>×<w> not divisible by dim=<dim>".
KV_COLD PyObject* raise_not_divisible(const Call& call, PyObject* h, PyObject* w, PyObject* dim) {
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) return nullptr;
    std::initializer_list<std::pair<int, PyObject*>> parts = {
        {n::msg_image, nullptr}, {-1, h}, {n::msg_times, nullptr}, {-1, w}, {n::msg_not_divisible, nullptr}, {-1, dim}};
    for (auto [text_index, value] : parts) {
        Ref piece = value ? Ref::steal(PyObject_Format(value, name(call, n::empty_text)))
                          : Ref::borrow(name(call, text_index));
        if (!piece || PyList_Append(pieces.get(), piece.get()) < 0) return nullptr;
    }
    Ref message = Ref::steal(PyUnicode_Join(name(call, n::empty_text), pieces.get()));
    if (!message) return nullptr;
    return raise_value_error(call, message.get());
}

PyObject* image_to_batch_pixelshift(const Call& call) {
    PyObject* dim = call.arg(1);
    PyObject* scalefactor = call.arg(2);
    PyObject* mean = call.arg(3);
    PyObject* swap_rb = call.arg(4);
    Ref image = Ref::borrow(call.arg(0));

    // 2. The step must be at least 1, checked before the image is looked at.
    int small = compare(call, dim, c::int1, Py_LT);
    if (small < 0) return nullptr;
    if (small) return raise_value_error(call, name(call, n::msg_dim));

    // 3-4. (h, w, c), both spatial extents divisible by dim.
    Ref shape = kv::attr(image.get(), name(call, n::shape));
    if (!shape) return nullptr;
    Ref hwc[3];
    if (kv::unpack(shape.get(), hwc, 3) < 0) return nullptr;
    for (const Ref& extent : {std::cref(hwc[0]), std::cref(hwc[1])}) {
        Ref rest = kv::remainder(extent.get(), dim);
        if (!rest) return nullptr;
        int nonzero = kv::truth(rest.get());
        if (nonzero < 0) return nullptr;
        if (nonzero) return raise_not_divisible(call, hwc[0].get(), hwc[1].get(), dim);
    }

    // 5-8. Colour swap, then mean and scale in place.
    int swap = kv::truth(swap_rb);
    if (swap < 0) return nullptr;
    if (swap) {
        image = call_global(call, n::bgr_to_rgb, {image.get()});
        if (!image) return nullptr;
    }
    Ref array_dtype = kv::attr(image.get(), name(call, n::dtype));
    if (!array_dtype) return nullptr;
    if (mean != Py_None) {
        Ref triple = mean_triple(call, mean);
        if (!triple) return nullptr;
        Ref values = mean_array(call, triple.get(), array_dtype.get());
        if (!values || kv::inplace_subtract(image, values.get()) < 0) return nullptr;
    }
    if (scalefactor != Py_None && kv::inplace_multiply(image, scalefactor) < 0) return nullptr;

    // 9-10. The output, uninitialised: every slot is written below. In the order of
    // cp.empty((dim * dim, c, h_sub, w_sub), dtype=image.dtype).
    Ref h_sub = kv::floor_divide(hwc[0].get(), dim);
    if (!h_sub) return nullptr;
    Ref w_sub = kv::floor_divide(hwc[1].get(), dim);
    if (!w_sub) return nullptr;
    Ref cp = kv::global(call, n::cp);
    if (!cp) return nullptr;
    Ref empty = kv::attr(cp.get(), name(call, n::empty));
    if (!empty) return nullptr;
    Ref count = kv::multiply(dim, dim);
    if (!count) return nullptr;
    Ref out_shape = kv::tuple({count.get(), hwc[2].get(), h_sub.get(), w_sub.get()});
    if (!out_shape) return nullptr;
    Ref dtype = kv::attr(image.get(), name(call, n::dtype));
    if (!dtype) return nullptr;
    Ref out = kv::call(empty.get(), {out_shape.get(), dtype.get()}, constant(call, c::kw_dtype));
    if (!out) return nullptr;

    // 11. Slot i*dim + j holds rows i, i+dim, ... and columns j, j+dim, ... in CHW order.
    Ref idx = Ref::borrow(constant(call, c::int0));
    Ref rows = kv::call(call.record.builtin(b_range).get(), {dim});
    if (!rows) return nullptr;
    Ref row_it = Ref::steal(PyObject_GetIter(rows.get()));
    if (!row_it) return nullptr;
    while (Ref i = Ref::steal(PyIter_Next(row_it.get()))) {
        if (kv::check_int_local(i.get()) < 0) return nullptr;
        Ref columns = kv::call(call.record.builtin(b_range).get(), {dim});
        if (!columns) return nullptr;
        Ref column_it = Ref::steal(PyObject_GetIter(columns.get()));
        if (!column_it) return nullptr;
        while (Ref j = Ref::steal(PyIter_Next(column_it.get()))) {
            if (kv::check_int_local(j.get()) < 0) return nullptr;
            Ref row_slice = Ref::steal(PySlice_New(i.get(), Py_None, dim));
            Ref column_slice = Ref::steal(PySlice_New(j.get(), Py_None, dim));
            if (!row_slice || !column_slice) return nullptr;
            Ref index = kv::tuple({row_slice.get(), column_slice.get()});
            if (!index) return nullptr;
            Ref block = kv::item(image.get(), index.get());
            if (!block) return nullptr;
            cp = kv::global(call, n::cp);
            if (!cp) return nullptr;
            Ref contiguous_fn = kv::attr(cp.get(), name(call, n::ascontiguousarray));
            if (!contiguous_fn) return nullptr;
            Ref contiguous = kv::call(contiguous_fn.get(), {block.get()});
            if (!contiguous) return nullptr;
            // .transpose(2, 0, 1), the axes as separate arguments.
            Ref slot = kv::call_method(contiguous.get(), name(call, n::transpose),
                                       {constant(call, c::int2), constant(call, c::int0), constant(call, c::int1)});
            if (!slot || PyObject_SetItem(out.get(), idx.get(), slot.get()) < 0) return nullptr;
            idx = kv::add(idx.get(), constant(call, c::int1));
            if (!idx) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return out.release();
}

// ---- pixelshift_fuse ---------------------------------------------------------------------

PyObject* pixelshift_fuse(const Call& call) {
    PyObject* preds = call.arg(0);
    PyObject* start_idx = call.arg(3);
    PyObject* dim = call.arg(4);
    Ref acc = Ref::borrow(call.arg(1));
    Ref hits = Ref::borrow(call.arg(2));

    Ref shape = kv::attr(preds, name(call, n::shape));
    if (!shape) return nullptr;
    Ref count = kv::item(shape.get(), constant(call, c::int0));
    if (!count) return nullptr;
    Ref positions = kv::call(call.record.builtin(b_range).get(), {count.get()});
    if (!positions) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(positions.get()));
    if (!it) return nullptr;
    while (Ref k = Ref::steal(PyIter_Next(it.get()))) {
        // (i, j): the sub-image's row and column offset, with floor semantics.
        Ref idx = kv::add(start_idx, k.get());
        if (!idx) return nullptr;
        Ref offsets = Ref::steal(PyNumber_Divmod(idx.get(), dim));
        if (!offsets) return nullptr;
        Ref ij[2];
        if (kv::unpack(offsets.get(), ij, 2) < 0) return nullptr;
        if (kv::check_int_local(ij[0].get()) < 0 || kv::check_int_local(ij[1].get()) < 0) return nullptr;

        // Enlarge by repetition, roll into place, accumulate; one result at a time.
        Ref up = kv::item(preds, k.get());
        if (!up) return nullptr;
        up = kv::call_method(up.get(), name(call, n::repeat), {dim, constant(call, c::int1)},
                             constant(call, c::kw_axis));
        if (!up) return nullptr;
        up = kv::call_method(up.get(), name(call, n::repeat), {dim, constant(call, c::int2)},
                             constant(call, c::kw_axis));
        if (!up) return nullptr;
        Ref shift = kv::tuple({ij[0].get(), ij[1].get()});
        if (!shift) return nullptr;
        Ref cp = kv::global(call, n::cp);
        if (!cp) return nullptr;
        Ref roll = kv::attr(cp.get(), name(call, n::roll));
        if (!roll) return nullptr;
        up = kv::call(roll.get(), {up.get(), shift.get(), constant(call, c::axes_12)}, constant(call, c::kw_roll));
        if (!up) return nullptr;
        // up.astype(cp.float32): the method is read before cp.float32.
        Ref astype = kv::attr(up.get(), name(call, n::astype));
        if (!astype) return nullptr;
        cp = kv::global(call, n::cp);
        if (!cp) return nullptr;
        Ref float32 = kv::attr(cp.get(), name(call, n::float32));
        if (!float32) return nullptr;
        Ref contribution = kv::call(astype.get(), {float32.get()});
        if (!contribution) return nullptr;
        up.reset();
        if (kv::inplace_add(acc, contribution.get()) < 0) return nullptr;
        if (kv::inplace_add(hits, constant(call, c::int1)) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// ---- the function table ----------------------------------------------------------------

using kv::Check;
using kv::Parameter;

const Parameter p_guess[] = {{n::image, n::a_ndarray}};
const Parameter p_batch_to_images[] = {
    {n::batch, n::a_ndarray}, {n::scalefactor, n::a_float_or_none, Check::exact_float_or_none},
    {n::mean, n::a_mean},     {n::swap_rb, n::a_bool},
    {n::layout, n::a_layout},
};
const Parameter p_images_to_batch[] = {
    {n::images, n::a_images}, {n::scalefactor, n::a_float_or_none, Check::exact_float_or_none},
    {n::size, n::a_size},     {n::mean, n::a_mean},
    {n::swap_rb, n::a_bool},  {n::layout, n::a_layout},
};
const Parameter p_image_to_batch[] = {
    {n::image, n::a_ndarray}, {n::scalefactor, n::a_float_or_none, Check::exact_float_or_none},
    {n::size, n::a_size},     {n::mean, n::a_mean},
    {n::swap_rb, n::a_bool},  {n::layout, n::a_layout},
};
const Parameter p_pixelshift[] = {
    {n::image, n::a_ndarray},
    {n::dim, n::a_int, Check::exact_int},
    {n::scalefactor, n::a_float_or_none, Check::exact_float_or_none},
    {n::mean, n::a_mean},
    {n::swap_rb, n::a_bool},
};
const Parameter p_fuse[] = {
    {n::preds, n::a_ndarray},
    {n::acc, n::a_ndarray},
    {n::hits, n::a_ndarray},
    {n::start_idx, n::a_int, Check::exact_int},
    {n::dim, n::a_int, Check::exact_int},
};

// Definition order; `line` numbers the functions in that order.
enum : int { f_guess, f_batch_to_images, f_images_to_batch, f_image_to_batch, f_pixelshift, f_fuse, f_count };
const kv::FunctionSpec functions[] = {
    {n::guess_image_layout, n::doc_guess_image_layout, p_guess, 1, n::a_layout, -1, guess_image_layout, 1},
    {n::batch_to_images, n::doc_batch_to_images, p_batch_to_images, 5, n::a_list_of_arrays, c::defaults_batch_to_images,
     batch_to_images, 2},
    {n::images_to_batch, n::doc_images_to_batch, p_images_to_batch, 6, n::a_ndarray, c::defaults_image_to_batch,
     images_to_batch, 3},
    {n::image_to_batch, n::doc_image_to_batch, p_image_to_batch, 6, n::a_ndarray, c::defaults_image_to_batch,
     image_to_batch, 4},
    {n::image_to_batch_pixelshift, n::doc_image_to_batch_pixelshift, p_pixelshift, 5, n::a_ndarray,
     c::defaults_pixelshift, image_to_batch_pixelshift, 5},
    {n::pixelshift_fuse, n::doc_pixelshift_fuse, p_fuse, 5, n::a_none, -1, pixelshift_fuse, 6},
};

// ---- the module body -------------------------------------------------------------------

int module_body(kv::ModuleRecord& r) {
    if (r.from_import(n::typing, {n::Literal}, 0) < 0) return -1;
    Ref cupy = kv::import_module(r.name(n::cupy), r.dict());
    if (!cupy || r.bind(n::cp, cupy.get()) < 0) return -1;
    if (r.from_import(n::color_bgr, {n::bgr_to_rgb, n::rgb_to_bgr}, 2) < 0) return -1;
    if (r.from_import(n::transform_resize, {n::INTER_AUTO, n::resize}, 2) < 0) return -1;
    if (r.from_import(n::utils_dtypes, {n::to_float32}, 2) < 0) return -1;

    Ref literal = kv::lookup_global(r.dict(), r.builtins_dict(), r.name(n::Literal));
    if (!literal) return -1;
    Ref layout = kv::item(literal.get(), r.constant(c::layout_names));
    if (!layout || r.bind(n::Layout, layout.get()) < 0) return -1;

    if (r.define_functions() < 0) return -1;
    Ref test = Ref::steal(PyDict_New());
    if (!test) return -1;
    return r.bind(n::test, test.get());
}

const kv::ModuleDescription description = {
    "dimention",
    "korvane.utils.dimention",
    "src/korvane_source/utils/dimention",
    texts,
    n::count,
    cached_builtins,
    2,
    c::count,
    make_numbers,
    make_tuples,
    functions,
    f_count,
    module_body,
};

}  // namespace

KV_DEFINE_MODULE(dimention, description)
