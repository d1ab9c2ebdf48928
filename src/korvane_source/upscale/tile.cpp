// korvane.upscale.tile: reflection padding to a tile grid, cutting an image into
// overlapping square tiles, the Gaussian blending map, and merging upscaled tiles back.
// The module's description (strings, constants, function table, body) and its function bodies.
#include <Python.h>

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

#define TILE_NAMES(X)                                                                                    \
    X(cupy, "cupy") X(cp, "cp") X(utils_dtypes, "utils.dtypes") X(to_float32, "to_float32")                \
    X(test, "__test__") X(range, "range")                                                                  \
    X(tile_image, "tile_image") X(add_padding, "add_padding") X(merge_tiles, "merge_tiles")                 \
    X(create_gaussian_weights, "create_gaussian_weights")                                                  \
    X(input_image, "input_image") X(tile_size, "tile_size") X(overlap, "overlap")                          \
    X(patch_size, "patch_size") X(tiles, "tiles") X(original_shape, "original_shape")                      \
    X(padded_shape, "padded_shape") X(scale, "scale") X(size, "size") X(sigma, "sigma")                    \
    X(shape, "shape") X(pad, "pad") X(mode, "mode") X(reflect, "reflect") X(zeros, "zeros")               \
    X(dtype, "dtype") X(float32, "float32") X(meshgrid, "meshgrid") X(linspace, "linspace")               \
    X(sqrt, "sqrt") X(exp, "exp") X(sum, "sum") X(newaxis, "newaxis")                                     \
    X(a_ndarray, "cp.ndarray") X(a_int, "int") X(a_tile_result, "tuple[list[cp.ndarray], tuple]")        \
    X(a_tiles, "list[cp.ndarray]") X(a_shape, "tuple[int, int, int]")                                      \
    X(msg_sigma_zero, "sigma must not be 0")                                                               \
    X(doc_tile_image,                                                                                      \
      "\n    Split the input image into overlapping tiles.\n\n    Parameters\n    ----------\n"              \
      "    input_image : cp.ndarray\n        Input image in the shape (height, width, channel) in RGB "     \
      "format.\n    tile_size : int, optional\n        Size of each tile, by default 128.\n"               \
      "    overlap : int, optional\n        Overlap between tiles, by default 16.\n\n    Returns\n"        \
      "    -------\n    list[cp.ndarray]\n        List of image tiles, each in the shape (tile_size, "      \
      "tile_size, channel) in RGB format.\n    ")                                                          \
    X(doc_create_gaussian_weights,                                                                         \
      "\n    Create a Gaussian weight map for tile blending.\n\n    Parameters\n    ----------\n"           \
      "    size : int\n        Size of the weight map.\n    sigma : int\n        Standard deviation for "  \
      "the Gaussian distribution.\n\n    Returns\n    -------\n    cp.ndarray\n        Gaussian weight "  \
      "map in the shape (size, size, 1).\n    ")

namespace n {
#define X(id, text) id,
enum : int { TILE_NAMES(X) count };
#undef X
}  // namespace n

#define X(id, text) text,
const char* const texts[] = {TILE_NAMES(X)};
#undef X

// ---- constants ---------------------------------------------------------------------

// clang-format off: one line per kind of constant
namespace c {
enum : int {
    int0, int1, int2, int4, int16, int128, int_minus1,
    float2, epsilon,
    pair_00, full_slice, defaults,
    kw_mode, kw_padding, kw_dtype, kw_sigma,
    count
};
// clang-format on
}  // namespace c

const int cached_builtins[] = {n::range};
enum : int { b_range };

/// The integer constants' values, by constant index (c::int0 to c::int_minus1): known here,
/// so that indexing by them needs no conversion at run time.
constexpr long int_values[] = {0, 1, 2, 4, 16, 128, -1};
static_assert(c::int0 == 0 && c::int_minus1 == 6, "int_values is indexed by the constants");

int make_numbers(kv::ModuleRecord& r) {
    for (int slot = c::int0; slot <= c::int_minus1; ++slot) {
        Ref v = kv::integer(int_values[slot]);
        if (!v) return -1;
        r.set_constant(slot, std::move(v));
    }
    // The weights canvas gets 1e-08 added before the division, so uncovered pixels divide to 0.
    for (auto [slot, value] : {std::pair{c::float2, 2.0}, std::pair{c::epsilon, 1e-08}}) {
        Ref v = kv::number(value);
        if (!v) return -1;
        r.set_constant(slot, std::move(v));
    }
    return 0;
}

int store_constant(kv::ModuleRecord& r, int slot, Ref value) {
    if (!value) return -1;
    r.set_constant(slot, std::move(value));
    return 0;
}

int make_tuples(kv::ModuleRecord& r) {
    auto k = [&](int i) { return r.constant(i); };
    auto s = [&](int i) { return r.name(i); };
    bool failed = store_constant(r, c::pair_00, kv::tuple({k(c::int0), k(c::int0)})) < 0 ||
                  store_constant(r, c::full_slice, Ref::steal(PySlice_New(nullptr, nullptr, nullptr))) < 0 ||
                  // One tuple shared by tile_image, add_padding and merge_tiles.
                  store_constant(r, c::defaults, kv::tuple({k(c::int128), k(c::int16)})) < 0 ||
                  store_constant(r, c::kw_mode, kv::tuple({s(n::mode)})) < 0 ||
                  store_constant(r, c::kw_padding, kv::tuple({s(n::patch_size), s(n::overlap)})) < 0 ||
                  store_constant(r, c::kw_dtype, kv::tuple({s(n::dtype)})) < 0 ||
                  store_constant(r, c::kw_sigma, kv::tuple({s(n::sigma)})) < 0;
    return failed ? -1 : 0;
}

// ---- helpers shared by the bodies ----------------------------------------------------

PyObject* name(const Call& call, int i) { return call.record.name(i); }
PyObject* constant(const Call& call, int i) { return call.record.constant(i); }

/// `cp.<attribute>`, with `cp` looked up in the module at this use.
Ref cupy_attr(const Call& call, int attribute) {
    Ref cp = kv::global(call, n::cp);
    if (!cp) return cp;
    return kv::attr(cp.get(), name(call, attribute));
}

/// `obj.shape[index]` (index given as a constant); a tuple shape is read directly.
Ref shape_item(const Call& call, PyObject* obj, int constant_index) {
    Ref shape = kv::attr(obj, name(call, n::shape));
    if (!shape) return shape;
    if (PyTuple_CheckExact(shape.get())) {
        Py_ssize_t i = int_values[constant_index];
        if (i >= 0 && i < PyTuple_GET_SIZE(shape.get())) return Ref::borrow(PyTuple_GET_ITEM(shape.get(), i));
    }
    return kv::item(shape.get(), constant(call, constant_index));
}

/// The index pair (start:start + length, start2:start2 + length) of a square region.
Ref square_region(PyObject* y, PyObject* x, PyObject* length) {
    Ref y_end = kv::add(y, length);
    if (!y_end) return y_end;
    Ref x_end = kv::add(x, length);
    if (!x_end) return x_end;
    Ref rows = kv::slice(y, y_end.get());
    if (!rows) return rows;
    Ref cols = kv::slice(x, x_end.get());
    if (!cols) return cols;
    return kv::tuple({rows.get(), cols.get()});
}

/// range(0, extent - tile_size + 1, step): the corners of one axis of the tile grid.
Ref grid_range(const Call& call, PyObject* extent, PyObject* tile_size, PyObject* step) {
    Ref last = kv::subtract(extent, tile_size);
    if (!last) return last;
    Ref stop = kv::add(last.get(), constant(call, c::int1));
    if (!stop) return stop;
    Ref corners = kv::call(call.record.builtin(b_range).get(), {constant(call, c::int0), stop.get(), step});
    if (!corners) return corners;
    return Ref::steal(PyObject_GetIter(corners.get()));
}

/// The next grid corner; an empty Ref either ends the axis or carries an error.
Ref next_corner(PyObject* corners) { return Ref::steal(PyIter_Next(corners)); }

/// The amount `extent` needs to reach the next `overlap + k * step` (0 when it has that form).
Ref pad_amount(PyObject* extent, PyObject* patch_size, PyObject* overlap) {
    Ref step = kv::subtract(patch_size, overlap);
    if (!step) return step;
    Ref excess = kv::subtract(extent, overlap);
    if (!excess) return excess;
    Ref rest = kv::remainder(excess.get(), step.get());
    if (!rest) return rest;
    return kv::subtract(step.get(), rest.get());
}

/// An amount of a whole step means the extent already fits the grid: nothing to pad.
int drop_full_step(const Call& call, Ref& amount, PyObject* patch_size, PyObject* overlap) {
    Ref step = kv::subtract(patch_size, overlap);
    if (!step) return -1;
    int full = kv::equals(amount.get(), step.get());
    if (full < 0) return -1;
    if (full) amount = Ref::borrow(constant(call, c::int0));
    return 0;
}

/// Shapes are read at items 0, 1 and 2; a shorter tuple is refused before any is read.
KV_COLD PyObject* raise_short_shape(PyObject* parameter, Py_ssize_t length) {
    PyErr_Format(PyExc_ValueError, "%U must have at least three items (height, width, channels), got %zd", parameter,
                 length);
    return nullptr;
}

/// (shape[0] * scale, shape[1] * scale, shape[2]) of a tuple known to hold three items or more.
Ref scaled_shape(PyObject* shape, PyObject* scale) {
    Ref height = kv::multiply(PyTuple_GET_ITEM(shape, 0), scale);
    if (!height) return height;
    Ref width = kv::multiply(PyTuple_GET_ITEM(shape, 1), scale);
    if (!width) return width;
    return kv::tuple({height.get(), width.get(), PyTuple_GET_ITEM(shape, 2)});
}

/// `cp.zeros(shape, dtype=cp.float32)`.
Ref float32_canvas(const Call& call, PyObject* shape) {
    Ref zeros = cupy_attr(call, n::zeros);
    if (!zeros) return zeros;
    Ref float32 = cupy_attr(call, n::float32);
    if (!float32) return float32;
    return kv::call(zeros.get(), {shape, float32.get()}, constant(call, c::kw_dtype));
}

// ---- add_padding ---------------------------------------------------------------------

PyObject* add_padding(const Call& call) {
    PyObject* input_image = call.arg(0);
    PyObject* patch_size = call.arg(1);
    PyObject* overlap = call.arg(2);

    Ref height = shape_item(call, input_image, c::int0);
    if (!height) return nullptr;
    Ref pad_height = pad_amount(height.get(), patch_size, overlap);
    if (!pad_height) return nullptr;
    Ref width = shape_item(call, input_image, c::int1);
    if (!width) return nullptr;
    Ref pad_width = pad_amount(width.get(), patch_size, overlap);
    if (!pad_width) return nullptr;
    if (drop_full_step(call, pad_height, patch_size, overlap) < 0) return nullptr;
    if (drop_full_step(call, pad_width, patch_size, overlap) < 0) return nullptr;

    Ref pad = cupy_attr(call, n::pad);
    if (!pad) return nullptr;
    Ref rows = kv::tuple({constant(call, c::int0), pad_height.get()});
    if (!rows) return nullptr;
    Ref cols = kv::tuple({constant(call, c::int0), pad_width.get()});
    if (!cols) return nullptr;
    Ref pad_width_spec = kv::tuple({rows.get(), cols.get(), constant(call, c::pair_00)});
    if (!pad_width_spec) return nullptr;
    return kv::call(pad.get(), {input_image, pad_width_spec.get(), name(call, n::reflect)}, constant(call, c::kw_mode))
        .release();
}

// ---- tile_image ----------------------------------------------------------------------

PyObject* tile_image(const Call& call) {
    PyObject* tile_size = call.arg(1);
    PyObject* overlap = call.arg(2);

    Ref padding = kv::global(call, n::add_padding);
    if (!padding) return nullptr;
    Ref padded = kv::call(padding.get(), {call.arg(0), tile_size, overlap}, constant(call, c::kw_padding));
    if (!padded) return nullptr;
    Ref shape = kv::attr(padded.get(), name(call, n::shape));
    if (!shape) return nullptr;
    Ref extents[3];  // height, width, channels
    if (kv::unpack(shape.get(), extents, 3) < 0) return nullptr;
    Ref tiles = Ref::steal(PyList_New(0));
    if (!tiles) return nullptr;
    Ref step = kv::subtract(tile_size, overlap);
    if (!step) return nullptr;

    Ref rows = grid_range(call, extents[0].get(), tile_size, step.get());
    if (!rows) return nullptr;
    while (Ref y = next_corner(rows.get())) {
        Ref cols = grid_range(call, extents[1].get(), tile_size, step.get());
        if (!cols) return nullptr;
        while (Ref x = next_corner(cols.get())) {
            Ref region = square_region(y.get(), x.get(), tile_size);
            if (!region) return nullptr;
            Ref tile = kv::item(padded.get(), region.get());
            if (!tile || PyList_Append(tiles.get(), tile.get()) < 0) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;

    shape = kv::attr(padded.get(), name(call, n::shape));
    if (!shape) return nullptr;
    return kv::tuple({tiles.get(), shape.get()}).release();
}

// ---- merge_tiles ---------------------------------------------------------------------

PyObject* merge_tiles(const Call& call) {
    PyObject* tiles = call.arg(0);
    PyObject* scale = call.arg(3);
    for (auto [i, parameter] : {std::pair{1, n::original_shape}, std::pair{2, n::padded_shape}}) {
        Py_ssize_t length = PyTuple_GET_SIZE(call.arg(i));
        if (length < 3) return raise_short_shape(name(call, parameter), length);
    }

    Ref tile_size = kv::multiply(call.arg(4), scale);
    if (!tile_size) return nullptr;
    Ref overlap = kv::multiply(call.arg(5), scale);
    if (!overlap) return nullptr;
    Ref original_shape = scaled_shape(call.arg(1), scale);
    if (!original_shape) return nullptr;
    Ref padded_shape = scaled_shape(call.arg(2), scale);
    if (!padded_shape) return nullptr;
    Ref extents[3];  // height, width, channels
    if (kv::unpack(padded_shape.get(), extents, 3) < 0) return nullptr;

    Ref merged_image = float32_canvas(call, padded_shape.get());
    if (!merged_image) return nullptr;
    Ref weights = float32_canvas(call, padded_shape.get());
    if (!weights) return nullptr;
    Ref step = kv::subtract(tile_size.get(), overlap.get());
    if (!step) return nullptr;
    Py_ssize_t tile_index = 0;

    Ref create_weights = kv::global(call, n::create_gaussian_weights);
    if (!create_weights) return nullptr;
    Ref sigma = kv::floor_divide(tile_size.get(), constant(call, c::int4));
    if (!sigma) return nullptr;
    Ref gaussian_weights = kv::call(create_weights.get(), {tile_size.get(), sigma.get()}, constant(call, c::kw_sigma));
    if (!gaussian_weights) return nullptr;

    Ref rows = grid_range(call, extents[0].get(), tile_size.get(), step.get());
    if (!rows) return nullptr;
    while (Ref y = next_corner(rows.get())) {
        Ref cols = grid_range(call, extents[1].get(), tile_size.get(), step.get());
        if (!cols) return nullptr;
        while (Ref x = next_corner(cols.get())) {
            // Indexed afresh each time: a collaborator may have changed the list meanwhile.
            Ref tile = Ref::steal(PySequence_GetItem(tiles, tile_index));
            if (!tile) return nullptr;
            Ref convert = kv::global(call, n::to_float32);
            if (!convert) return nullptr;
            tile = kv::call(convert.get(), {tile.get()});
            if (!tile) return nullptr;
            Ref weighted_tile = kv::multiply(tile.get(), gaussian_weights.get());
            if (!weighted_tile) return nullptr;
            Ref region = square_region(y.get(), x.get(), tile_size.get());
            if (!region) return nullptr;
            if (kv::augmented_add_item(merged_image.get(), region.get(), weighted_tile.get()) < 0) return nullptr;
            if (kv::augmented_add_item(weights.get(), region.get(), gaussian_weights.get()) < 0) return nullptr;
            ++tile_index;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;

    Ref denominator = kv::add(weights.get(), constant(call, c::epsilon));
    if (!denominator) return nullptr;
    merged_image = kv::true_divide(merged_image.get(), denominator.get());
    if (!merged_image) return nullptr;
    Ref rows_kept = kv::slice(Py_None, PyTuple_GET_ITEM(original_shape.get(), 0));
    if (!rows_kept) return nullptr;
    Ref cols_kept = kv::slice(Py_None, PyTuple_GET_ITEM(original_shape.get(), 1));
    if (!cols_kept) return nullptr;
    Ref crop = kv::tuple({rows_kept.get(), cols_kept.get()});
    if (!crop) return nullptr;
    return kv::item(merged_image.get(), crop.get()).release();
}

// ---- create_gaussian_weights -----------------------------------------------------------

PyObject* create_gaussian_weights(const Call& call) {
    PyObject* size = call.arg(0);
    PyObject* sigma = call.arg(1);
    // A zero sigma divides by zero and fills the map with NaN, which would poison a merge. An
    // empty map holds no NaN (and a negative size is CuPy's to refuse).
    int zero = PyObject_Not(sigma);
    if (zero > 0) zero = PyObject_RichCompareBool(size, constant(call, c::int1), Py_GE);
    if (zero < 0) return nullptr;
    if (zero) {
        PyErr_SetObject(PyExc_ValueError, name(call, n::msg_sigma_zero));
        return nullptr;
    }

    // 1. Coordinate grids over [-1, 1].
    Ref meshgrid = cupy_attr(call, n::meshgrid);
    if (!meshgrid) return nullptr;
    Ref axis[2];
    for (Ref& a : axis) {
        Ref linspace = cupy_attr(call, n::linspace);
        if (!linspace) return nullptr;
        a = kv::call(linspace.get(), {constant(call, c::int_minus1), constant(call, c::int1), size});
        if (!a) return nullptr;
    }
    Ref grids = kv::call(meshgrid.get(), {axis[0].get(), axis[1].get()});
    if (!grids) return nullptr;
    Ref xy[2];
    if (kv::unpack(grids.get(), xy, 2) < 0) return nullptr;

    // 2. Distance from the centre.
    Ref sqrt = cupy_attr(call, n::sqrt);
    if (!sqrt) return nullptr;
    Ref xx = kv::multiply(xy[0].get(), xy[0].get());
    if (!xx) return nullptr;
    Ref yy = kv::multiply(xy[1].get(), xy[1].get());
    if (!yy) return nullptr;
    Ref squares = kv::add(xx.get(), yy.get());
    if (!squares) return nullptr;
    Ref d = kv::call(sqrt.get(), {squares.get()});
    if (!d) return nullptr;

    // 3. exp(-(d ** 2 / (2.0 * sigma ** 2))).
    Ref exp = cupy_attr(call, n::exp);
    if (!exp) return nullptr;
    Ref d2 = kv::power(d.get(), constant(call, c::int2));
    if (!d2) return nullptr;
    Ref sigma2 = kv::power(sigma, constant(call, c::int2));
    if (!sigma2) return nullptr;
    Ref divisor = kv::multiply(constant(call, c::float2), sigma2.get());
    if (!divisor) return nullptr;
    Ref quotient = kv::true_divide(d2.get(), divisor.get());
    if (!quotient) return nullptr;
    Ref exponent = kv::negative(quotient.get());
    if (!exponent) return nullptr;
    Ref gaussian = kv::call(exp.get(), {exponent.get()});
    if (!gaussian) return nullptr;

    // 4. Normalise to a total of 1.
    Ref sum = cupy_attr(call, n::sum);
    if (!sum) return nullptr;
    Ref total = kv::call(sum.get(), {gaussian.get()});
    if (!total) return nullptr;
    gaussian = kv::true_divide(gaussian.get(), total.get());
    if (!gaussian) return nullptr;

    // 5. A trailing channel axis, so the map broadcasts over an HWC tile.
    Ref newaxis = cupy_attr(call, n::newaxis);
    if (!newaxis) return nullptr;
    Ref key = kv::tuple({constant(call, c::full_slice), constant(call, c::full_slice), newaxis.get()});
    if (!key) return nullptr;
    return kv::item(gaussian.get(), key.get()).release();
}

// ---- the function table ----------------------------------------------------------------

using kv::Check;
using kv::Parameter;

const Parameter p_tile_image[] = {
    {n::input_image, n::a_ndarray},
    {n::tile_size, n::a_int, Check::exact_int},
    {n::overlap, n::a_int, Check::exact_int},
};
const Parameter p_add_padding[] = {
    {n::input_image, n::a_ndarray},
    {n::patch_size, n::a_int, Check::exact_int},
    {n::overlap, n::a_int, Check::exact_int},
};
// clang-format off: one parameter a line
const Parameter p_merge_tiles[] = {
    {n::tiles, n::a_tiles, Check::exact_list},
    {n::original_shape, n::a_shape, Check::exact_tuple},
    {n::padded_shape, n::a_shape, Check::exact_tuple},
    {n::scale, n::a_int, Check::exact_int},
    {n::tile_size, n::a_int, Check::exact_int},
    {n::overlap, n::a_int, Check::exact_int},
};
// clang-format on
const Parameter p_gaussian[] = {
    {n::size, n::a_int, Check::exact_int},
    {n::sigma, n::a_int, Check::exact_int},
};

// Definition order; `line` numbers the functions in that order.
enum : int { f_tile_image, f_add_padding, f_merge_tiles, f_gaussian, f_count };
const kv::FunctionSpec functions[] = {
    {n::tile_image, n::doc_tile_image, p_tile_image, 3, n::a_tile_result, c::defaults, tile_image, 1},
    {n::add_padding, -1, p_add_padding, 3, n::a_ndarray, c::defaults, add_padding, 2},
    {n::merge_tiles, -1, p_merge_tiles, 6, n::a_ndarray, c::defaults, merge_tiles, 3},
    {n::create_gaussian_weights, n::doc_create_gaussian_weights, p_gaussian, 2, n::a_ndarray, -1,
     create_gaussian_weights, 4},
};

// ---- the module body -------------------------------------------------------------------

int module_body(kv::ModuleRecord& r) {
    Ref cupy = kv::import_module(r.name(n::cupy), r.dict());
    if (!cupy || r.bind(n::cp, cupy.get()) < 0) return -1;

    if (r.from_import(n::utils_dtypes, {n::to_float32}, 2) < 0) return -1;
    if (r.define_functions() < 0) return -1;
    Ref test = Ref::steal(PyDict_New());
    if (!test) return -1;
    return r.bind(n::test, test.get());
}

const kv::ModuleDescription description = {
    "tile",
    "korvane.upscale.tile",
    "src/korvane_source/upscale/tile",
    texts,
    n::count,
    cached_builtins,
    1,
    c::count,
    make_numbers,
    make_tuples,
    functions,
    f_count,
    module_body,
};

}  // namespace

KV_DEFINE_MODULE(tile, description)
