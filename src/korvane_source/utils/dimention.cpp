// korvane.utils.dimention: layout inference, image(s) to NCHW batch and back, and the
// sub-pixel pixel-shift split and fusion. The module's description (strings, constants,
// function table, body) and its function bodies.
#include <Python.h>

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
    X(empty_text, "")                                                                                       \
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

namespace c {
enum : int {
    int0, int1, int2, int3, int4, int_minus1,
    axes_0231, axes_120, axes_0312, axes_201, axes_12,
    layout_names,
    defaults_batch_to_images, defaults_image_to_batch, defaults_pixelshift,
    kw_resize, kw_options, kw_axis, kw_dtype, kw_roll,
    count
};
}  // namespace c

const int cached_builtins[] = {n::ValueError, n::range};
enum : int { b_ValueError, b_range };

int make_numbers(kv::ModuleRecord& r) {
    const long values[] = {0, 1, 2, 3, 4, -1};
    const int slots[] = {c::int0, c::int1, c::int2, c::int3, c::int4, c::int_minus1};
    for (int i = 0; i < 6; ++i) {
        Ref v = kv::integer(values[i]);
        if (!v) return -1;
        r.set_constant(slots[i], std::move(v));
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
    return failed ? -1 : 0;
}

// ---- helpers shared by the bodies ----------------------------------------------------

PyObject* name(const Call& call, int i) { return call.record.name(i); }
PyObject* constant(const Call& call, int i) { return call.record.constant(i); }

/// `value <op> constant` for an extent: exact ints compare in C, anything else as Python does.
int compare(const Call& call, PyObject* value, int constant_index, int op) {
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(value, &overflow);
        long k = PyLong_AsLong(constant(call, constant_index));
        if (overflow) v = overflow > 0 ? LONG_MAX : LONG_MIN;
        switch (op) {
            case Py_EQ: return !overflow && v == k;
            case Py_LE: return v <= k;
            case Py_GT: return v > k;
            default: break;
        }
    }
    return PyObject_RichCompareBool(value, constant(call, constant_index), op);
}

/// Whether an extent is a plausible channel count: equal to 1, 3 or 4, tested in that order.
int is_channel_count(const Call& call, PyObject* extent) {
    for (int k : {c::int1, c::int3, c::int4}) {
        int eq = compare(call, extent, k, Py_EQ);
        if (eq != 0) return eq;
    }
    return 0;
}

/// shape[index] (index given as a constant): tuples directly, anything else by subscription.
Ref shape_item(const Call& call, PyObject* shape, int constant_index) {
    if (PyTuple_CheckExact(shape)) {
        Py_ssize_t i = PyLong_AsSsize_t(constant(call, constant_index));
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

// ---- the other functions -------------------------------------------------------------

KV_COLD PyObject* not_implemented(const Call& call) {
    PyErr_Format(PyExc_NotImplementedError, "%U is not implemented yet", name(call, call.function->spec->name));
    return nullptr;
}

PyObject* batch_to_images(const Call& call) { return not_implemented(call); }
PyObject* images_to_batch(const Call& call) { return not_implemented(call); }
PyObject* image_to_batch(const Call& call) { return not_implemented(call); }
PyObject* image_to_batch_pixelshift(const Call& call) { return not_implemented(call); }
PyObject* pixelshift_fuse(const Call& call) { return not_implemented(call); }

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
    {n::batch_to_images, n::doc_batch_to_images, p_batch_to_images, 5, n::a_list_of_arrays,
     c::defaults_batch_to_images, batch_to_images, 2},
    {n::images_to_batch, n::doc_images_to_batch, p_images_to_batch, 6, n::a_ndarray, c::defaults_image_to_batch,
     images_to_batch, 3},
    {n::image_to_batch, n::doc_image_to_batch, p_image_to_batch, 6, n::a_ndarray, c::defaults_image_to_batch,
     image_to_batch, 4},
    {n::image_to_batch_pixelshift, n::doc_image_to_batch_pixelshift, p_pixelshift, 5, n::a_ndarray,
     c::defaults_pixelshift, image_to_batch_pixelshift, 5},
    {n::pixelshift_fuse, n::doc_pixelshift_fuse, p_fuse, 5, n::a_none, -1, pixelshift_fuse, 6},
};

// ---- the module body -------------------------------------------------------------------

/// `from <level 2><path> import a[, b]`, binding each name under itself.
int from_import(kv::ModuleRecord& r, int path, std::initializer_list<int> wanted, int level) {
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) return -1;
    for (int w : wanted) {
        if (PyList_Append(fromlist.get(), r.name(w)) < 0) return -1;
    }
    Ref module = kv::import_from_module(r.name(path), fromlist.get(), level, r.dict());
    if (!module) return -1;
    for (int w : wanted) {
        Ref value = kv::import_name(module.get(), r.name(w));
        if (!value || r.bind(w, value.get()) < 0) return -1;
    }
    return 0;
}

int module_body(kv::ModuleRecord& r) {
    if (from_import(r, n::typing, {n::Literal}, 0) < 0) return -1;
    Ref cupy = kv::import_module(r.name(n::cupy), r.dict());
    if (!cupy || r.bind(n::cp, cupy.get()) < 0) return -1;
    if (from_import(r, n::color_bgr, {n::bgr_to_rgb, n::rgb_to_bgr}, 2) < 0) return -1;
    if (from_import(r, n::transform_resize, {n::INTER_AUTO, n::resize}, 2) < 0) return -1;
    if (from_import(r, n::utils_dtypes, {n::to_float32}, 2) < 0) return -1;

    Ref literal = kv::lookup_global(r.dict(), r.builtins_dict(), r.name(n::Literal));
    if (!literal) return -1;
    Ref layout = kv::item(literal.get(), r.constant(c::layout_names));
    if (!layout || r.bind(n::Layout, layout.get()) < 0) return -1;

    for (int f = 0; f < f_count; ++f) {
        if (r.define_function(static_cast<std::size_t>(f)) < 0) return -1;
    }
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
