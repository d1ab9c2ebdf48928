// The floor of the host-overhead benchmark: the least work a call of a metadata path must do.
//
// benchmarks/host_overhead.py compiles this file at run time and times it beside the native
// modules. Each function here enters like the native ones (an object of its own type with a
// vectorcall slot, so the interpreter's call site is the same), binds its arguments by the
// same rules and with the same messages, validates the typed parameters with the same
// TypeError and note, and adds the same traceback entry on a binding failure. Its body does
// what no implementation can skip: the attribute reads of `ndim` and `shape`, the integer
// comparisons, the module-global lookup of `guess_image_layout` at each use (module
// dictionary, then builtins), the recursion guard around that call, the interned result.
//
// What it leaves out is only what the native modules may legally leave out too: there is
// no recursion check at entry (the guard at each outgoing call bounds any recursion through
// these functions), compact ints are read directly, a layout is compared by identity, None
// or exact-str equality before any rich comparison, unused argument slots are not cleared,
// and a message is put together from pieces made at import instead of being formatted from
// a format string. It caches nothing that a call could observe: every global is looked up
// afresh, and every error is a new exception with a new message.
//
// Bodies exist only for the paths the benchmark measures: guess_image_layout, and the batch
// pass-through of image_to_batch. The other functions are here for their binding and type
// checks; a call that gets past those raises NotImplementedError.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <stddef.h>
#include <string.h>

#define MAX_PARAMS 8

enum check { ANY, EXACT_INT, EXACT_FLOAT_OR_NONE, EXACT_LIST, EXACT_TUPLE };

/// A function's fixed description: known at compile time, so the binder specialises on it.
typedef struct {
    const char* name;
    const char* traceback_name;
    const char* file;
    int line;
    int nparams;
    int ndefaults;
    const char* params[MAX_PARAMS];
    unsigned char checks[MAX_PARAMS];
} Signature;

/// What the module creates at import for a function: interned names, defaults, entry code,
/// and the fixed pieces of its messages.
typedef struct {
    PyObject* params[MAX_PARAMS];
    PyObject* defaults[MAX_PARAMS];
    PyObject* code;
    PyObject* takes;          // "<name>() takes "
    PyObject* multiple;       // "<name>() got multiple values for keyword argument '"
    PyObject* unexpected;     // "<name>() got an unexpected keyword argument '"
    PyObject* incorrect[MAX_PARAMS];  // "Argument '<param>' has incorrect type (expected <type>, got "
    PyObject* subclass[MAX_PARAMS];   // "Subclasses ... '<param>' needs an exact <type>, not a "
} Prepared;

typedef struct {
    PyObject_HEAD
    vectorcallfunc vectorcall;
} FloorFunction;

static PyObject* globals;        // this module's dictionary (borrowed: the module lives on)
static PyObject* builtins_dict;  // owned
static PyObject *str_add_note, *str_transpose, *str_guess_image_layout, *str_ndim, *str_shape;
static PyObject *str_HW, *str_HWC, *str_CHW, *str_NHWC, *str_NCHW, *str_ambiguous, *str_unsupported;
static PyObject* axes_0312;
// Message pieces shared by all functions.
static PyObject *str_exactly, *str_at_most, *str_at_least, *str_positional, *str_positionals, *str_open, *str_given,
    *str_quote, *str_close, *str_full_stop;

// ---- errors (out of line: only failing calls reach them) ------------------------------------
//
// The messages are put together from pieces made at import and the parts that vary (a count,
// a keyword, a type's name), in one allocation; parsing a format string at each failure is
// work that no implementation has to do.

static Py_NO_INLINE void add_entry(const Prepared* p) {
    PyObject* exc = PyErr_GetRaisedException();
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), (PyCodeObject*)p->code, globals, NULL);
    PyErr_SetRaisedException(exc);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

/// The concatenation of `n` strings, or NULL with an error (a NULL piece is an error already set).
static PyObject* join(PyObject* const* pieces, int n) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 127;
    for (int i = 0; i < n; ++i) {
        if (!pieces[i]) return NULL;
        length += PyUnicode_GET_LENGTH(pieces[i]);
        if (PyUnicode_MAX_CHAR_VALUE(pieces[i]) > maxchar) maxchar = PyUnicode_MAX_CHAR_VALUE(pieces[i]);
    }
    PyObject* text = PyUnicode_New(length, maxchar);
    if (!text) return NULL;
    Py_ssize_t at = 0;
    for (int i = 0; i < n; ++i) {
        Py_ssize_t piece = PyUnicode_GET_LENGTH(pieces[i]);
        if (PyUnicode_CopyCharacters(text, at, pieces[i], 0, piece) < 0) {
            Py_DECREF(text);
            return NULL;
        }
        at += piece;
    }
    return text;
}

/// The decimal text of `value`.
static PyObject* decimal(Py_ssize_t value) {
    char digits[24];
    int n = 0;
    size_t v = value < 0 ? (size_t)0 - (size_t)value : (size_t)value;
    do {
        digits[sizeof digits - 1 - n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    if (value < 0) digits[sizeof digits - 1 - n++] = '-';
    return PyUnicode_FromStringAndSize(digits + sizeof digits - n, n);
}

/// A type's C-level name as `%.200s` gives it.
static PyObject* type_name(PyTypeObject* type) {
    size_t length = strlen(type->tp_name);
    if (length > 200) return PyUnicode_FromFormat("%.200s", type->tp_name);
    return PyUnicode_DecodeUTF8(type->tp_name, (Py_ssize_t)length, "replace");
}

static void release(PyObject** objects, int n) {
    for (int i = 0; i < n; ++i) Py_XDECREF(objects[i]);
}

/// TypeError with `message` (which it consumes), or the error that made it fail.
static int raise_message(PyObject* message) {
    if (message) {
        PyErr_SetObject(PyExc_TypeError, message);
        Py_DECREF(message);
    }
    return -1;
}

static Py_NO_INLINE int raise_count(const Prepared* p, PyObject* word, Py_ssize_t expected, Py_ssize_t given) {
    PyObject* numbers[2] = {decimal(expected), decimal(given)};
    PyObject* pieces[] = {p->takes, word,       numbers[0], expected == 1 ? str_positional : str_positionals,
                          str_open, numbers[1], str_given};
    int rc = raise_message(join(pieces, 7));
    release(numbers, 2);
    return rc;
}

static Py_NO_INLINE int raise_keyword(PyObject* prefix, PyObject* key) {
    PyObject* pieces[] = {prefix, key, str_quote};
    return raise_message(join(pieces, 3));
}

/// A keyword that matched no parameter by pointer: not a string, equal to a parameter name,
/// a duplicate of a positional value, or unknown. Returns the index, or -1 with the error set.
static Py_NO_INLINE int match_slow(const Signature* s, const Prepared* p, PyObject* key, Py_ssize_t nargs,
                                   PyObject** v) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s->name);
        return -1;
    }
    for (int i = (int)nargs; i < s->nparams; ++i) {
        if (PyUnicode_Compare(p->params[i], key) == 0) {
            if (v[i]) break;
            return i;
        }
    }
    for (int i = 0; i < s->nparams; ++i) {
        if (p->params[i] == key || PyUnicode_Compare(p->params[i], key) == 0) return raise_keyword(p->multiple, key);
    }
    return raise_keyword(p->unexpected, key);
}

static Py_NO_INLINE int raise_incorrect_type(const Prepared* p, int i, PyTypeObject* expected, PyObject* value) {
    PyObject* got = type_name(Py_TYPE(value));
    PyObject* pieces[] = {p->incorrect[i], got, str_close};
    PyObject* message = join(pieces, 3);
    if (!PyObject_TypeCheck(value, expected)) {
        Py_XDECREF(got);
        return raise_message(message);
    }
    PyObject* exc = message ? PyObject_CallOneArg(PyExc_TypeError, message) : NULL;
    Py_XDECREF(message);
    PyObject* note_pieces[] = {p->subclass[i], got, str_full_stop};
    PyObject* note = exc ? join(note_pieces, 3) : NULL;
    Py_XDECREF(got);
    if (note) {
        PyObject* argv[3] = {NULL, exc, note};
        PyObject* added = PyObject_VectorcallMethod(str_add_note, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
        Py_DECREF(note);
        if (added) {
            Py_DECREF(added);
            PyErr_SetObject(PyExc_TypeError, exc);
        }
    }
    Py_XDECREF(exc);
    return -1;
}

// ---- binding and validation (inlined into each entry, specialised on its signature) ----------

static inline __attribute__((always_inline)) int bind(const Signature* s, const Prepared* p, PyObject* const* args,
                                                      Py_ssize_t nargs, PyObject* kwnames, PyObject** v) {
    const int k = s->nparams;
    if (nargs > k) return raise_count(p, s->ndefaults ? str_at_most : str_exactly, k, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) v[i] = args[i];
    for (int i = (int)nargs; i < k; ++i) v[i] = NULL;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            int index = -1;
            for (int i = (int)nargs; i < k; ++i) {
                if (p->params[i] == key) {
                    index = i;
                    break;
                }
            }
            if (index < 0 || v[index]) {
                index = match_slow(s, p, key, nargs, v);
                if (index < 0) return -1;
            }
            v[index] = args[nargs + j];
        }
    }
    const int required = k - s->ndefaults;
    for (int i = (int)nargs; i < required; ++i) {
        if (!v[i]) return raise_count(p, s->ndefaults ? str_at_least : str_exactly, required, i);
    }
    for (int i = required; i < k; ++i) {
        if (!v[i]) v[i] = p->defaults[i - required];
    }
    return 0;
}

static inline __attribute__((always_inline)) int validate(const Signature* s, const Prepared* p, PyObject** v) {
    for (int i = 0; i < s->nparams; ++i) {
        PyObject* x = v[i];
        switch (s->checks[i]) {
            case EXACT_INT:
                if (!PyLong_CheckExact(x)) return raise_incorrect_type(p, i, &PyLong_Type, x);
                break;
            case EXACT_FLOAT_OR_NONE:
                if (x != Py_None && !PyFloat_CheckExact(x)) return raise_incorrect_type(p, i, &PyFloat_Type, x);
                break;
            case EXACT_LIST:
                if (!PyList_CheckExact(x)) return raise_incorrect_type(p, i, &PyList_Type, x);
                break;
            case EXACT_TUPLE:
                if (!PyTuple_CheckExact(x)) return raise_incorrect_type(p, i, &PyTuple_Type, x);
                break;
            default: break;
        }
    }
    return 0;
}

#define FLOOR_ENTRY(fname, body)                                                                             \
    static PyObject *fname##_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) { \
        (void)self;                                                                                          \
        PyObject *v[MAX_PARAMS];                                                                             \
        if (bind(&fname##_signature, &fname##_prepared, args, PyVectorcall_NARGS(nargsf), kwnames, v) < 0) { \
            add_entry(&fname##_prepared);                                                                    \
            return NULL;                                                                                     \
        }                                                                                                    \
        if (validate(&fname##_signature, &fname##_prepared, v) < 0) return NULL;                                                \
        PyObject *result = body(v);                                                                          \
        if (!result) add_entry(&fname##_prepared);                                                           \
        return result;                                                                                       \
    }

// ---- helpers of the bodies ---------------------------------------------------------------------

static Py_NO_INLINE int compare_slow(PyObject* value, long constant, int op) {
    PyObject* k = PyLong_FromLong(constant);
    if (!k) return -1;
    int r = PyObject_RichCompareBool(value, k, op);
    Py_DECREF(k);
    return r;
}

/// `value <op> constant` for an extent or a rank: compact ints in C, anything else as Python does.
static inline int compare(PyObject* value, long constant, int op) {
    if (PyLong_CheckExact(value) && PyUnstable_Long_IsCompact((PyLongObject*)value)) {
        Py_ssize_t x = PyUnstable_Long_CompactValue((PyLongObject*)value);
        switch (op) {
            case Py_EQ: return x == constant;
            case Py_LE: return x <= constant;
            default: return x > constant;
        }
    }
    return compare_slow(value, constant, op);
}

static inline int is_channel_count(PyObject* extent) {
    int r = compare(extent, 1, Py_EQ);
    if (r == 0) r = compare(extent, 3, Py_EQ);
    if (r == 0) r = compare(extent, 4, Py_EQ);
    return r;
}

static Py_NO_INLINE PyObject* item_slow(PyObject* shape, Py_ssize_t index) {
    PyObject* key = PyLong_FromSsize_t(index);
    if (!key) return NULL;
    PyObject* r = PyObject_GetItem(shape, key);
    Py_DECREF(key);
    return r;
}

/// shape[index], a new reference: tuples directly, anything else by subscription.
static inline PyObject* shape_item(PyObject* shape, Py_ssize_t index) {
    if (PyTuple_CheckExact(shape)) {
        Py_ssize_t i = index < 0 ? index + PyTuple_GET_SIZE(shape) : index;
        if (i >= 0 && i < PyTuple_GET_SIZE(shape)) return Py_NewRef(PyTuple_GET_ITEM(shape, i));
    }
    return item_slow(shape, index);
}

/// shape[index] > 4, or -1 with an error.
static inline int extent_above_4(PyObject* shape, Py_ssize_t index) {
    PyObject* e = shape_item(shape, index);
    if (!e) return -1;
    int r = compare(e, 4, Py_GT);
    Py_DECREF(e);
    return r;
}

/// Whether a layout value equals one of the layout names.
static inline int is_layout(PyObject* layout, PyObject* name) {
    if (layout == name) return 1;
    if (layout == Py_None) return 0;
    if (PyUnicode_CheckExact(layout)) return PyUnicode_Compare(layout, name) == 0;
    return PyObject_RichCompareBool(layout, name, Py_EQ);
}

/// A module global at the time of use: the module dictionary, then builtins.
static inline PyObject* global(PyObject* name) {
    PyObject* value;
    int rc = PyDict_GetItemRef(globals, name, &value);
    if (rc == 0) rc = PyDict_GetItemRef(builtins_dict, name, &value);
    if (rc == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return rc > 0 ? value : NULL;
}

static PyObject* not_measured(PyObject** v) {
    (void)v;
    PyErr_SetString(PyExc_NotImplementedError, "the floor has a body only for the paths the benchmark measures");
    return NULL;
}

// ---- guess_image_layout ------------------------------------------------------------------------

static const Signature guess_image_layout_signature = {"guess_image_layout",
                                                       "korvane.utils.dimention.guess_image_layout",
                                                       "src/korvane_source/utils/dimention",
                                                       1,
                                                       1,
                                                       0,
                                                       {"image"},
                                                       {ANY}};
static Prepared guess_image_layout_prepared;

static PyObject* guess_three(PyObject* shape) {
    PyObject* c_first = shape_item(shape, 0);
    if (!c_first) return NULL;
    PyObject* c_last = shape_item(shape, -1);
    PyObject* result = NULL;
    int chw, hwc, rule;
    if (!c_last) goto done;
    if ((chw = is_channel_count(c_first)) < 0 || (hwc = is_channel_count(c_last)) < 0) goto done;
    if (chw + hwc == 1) {
        result = Py_NewRef(chw ? str_CHW : str_HWC);
        goto done;
    }
    rule = compare(c_first, 4, Py_LE);
    if (rule == 1) rule = extent_above_4(shape, 1);
    if (rule == 1) rule = extent_above_4(shape, 2);
    if (rule < 0) goto done;
    if (rule) {
        result = Py_NewRef(str_CHW);
        goto done;
    }
    rule = compare(c_last, 4, Py_LE);
    if (rule == 1) rule = extent_above_4(shape, 0);
    if (rule == 1) rule = extent_above_4(shape, 1);
    if (rule >= 0) result = Py_NewRef(rule ? str_HWC : str_ambiguous);
done:
    Py_DECREF(c_first);
    Py_XDECREF(c_last);
    return result;
}

static int batch_rule(PyObject* shape, Py_ssize_t channel, Py_ssize_t a, Py_ssize_t b) {
    PyObject* e = shape_item(shape, channel);
    if (!e) return -1;
    int rule = is_channel_count(e);
    Py_DECREF(e);
    if (rule == 1) rule = extent_above_4(shape, a);
    if (rule == 1) rule = extent_above_4(shape, b);
    return rule;
}

static PyObject* guess_four(PyObject* shape) {
    int rule = batch_rule(shape, 1, 2, 3);
    if (rule < 0) return NULL;
    if (rule) return Py_NewRef(str_NCHW);
    rule = batch_rule(shape, -1, 1, 2);
    if (rule < 0) return NULL;
    return Py_NewRef(rule ? str_NHWC : str_ambiguous);
}

static PyObject* guess_image_layout_body(PyObject** v) {
    PyObject* nd = PyObject_GetAttr(v[0], str_ndim);
    if (!nd) return NULL;
    PyObject* result = NULL;
    int is = compare(nd, 2, Py_EQ);
    if (is != 0) {
        if (is > 0) result = Py_NewRef(str_HW);
        goto done;
    }
    for (long rank = 3; rank <= 4; ++rank) {
        is = compare(nd, rank, Py_EQ);
        if (is < 0) goto done;
        if (is) {
            PyObject* shape = PyObject_GetAttr(v[0], str_shape);
            if (!shape) goto done;
            result = rank == 3 ? guess_three(shape) : guess_four(shape);
            Py_DECREF(shape);
            goto done;
        }
    }
    result = Py_NewRef(str_unsupported);
done:
    Py_DECREF(nd);
    return result;
}
FLOOR_ENTRY(guess_image_layout, guess_image_layout_body)

// ---- image_to_batch: layout selection and the batch pass-through ---------------------------------

static const Signature image_to_batch_signature = {"image_to_batch",
                                                   "korvane.utils.dimention.image_to_batch",
                                                   "src/korvane_source/utils/dimention",
                                                   4,
                                                   6,
                                                   5,
                                                   {"image", "scalefactor", "size", "mean", "swap_rb", "layout"},
                                                   {ANY, EXACT_FLOAT_OR_NONE, ANY, ANY, ANY, ANY}};
static Prepared image_to_batch_prepared;

static PyObject* image_to_batch_body(PyObject** v) {
    PyObject *image = v[0], *layout = v[5], *inferred = NULL, *result = NULL;
    PyObject* const known[] = {str_HWC, str_HW, str_CHW, str_NHWC, str_NCHW};
    int concrete = 0;
    for (int i = 0; i < 5 && !concrete; ++i) {
        concrete = is_layout(layout, known[i]);
        if (concrete < 0) return NULL;
    }
    if (!concrete) {
        PyObject* guess = global(str_guess_image_layout);
        if (!guess) return NULL;
        if (Py_EnterRecursiveCall(" while calling a Python object")) {
            Py_DECREF(guess);
            return NULL;
        }
        inferred = PyObject_Vectorcall(guess, &image, 1, NULL);
        Py_LeaveRecursiveCall();
        Py_DECREF(guess);
        if (!inferred) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
            return NULL;
        }
        layout = inferred;
    }
    int is = is_layout(layout, str_NCHW);
    if (is > 0) result = Py_NewRef(image);
    if (is == 0) is = is_layout(layout, str_NHWC);
    if (is > 0 && !result) {
        PyObject* argv[3] = {NULL, image, axes_0312};
        if (!Py_EnterRecursiveCall(" while calling a Python object")) {
            result = PyObject_VectorcallMethod(str_transpose, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
            Py_LeaveRecursiveCall();
        }
    }
    if (is == 0) not_measured(v);
    Py_XDECREF(inferred);
    return result;
}
FLOOR_ENTRY(image_to_batch, image_to_batch_body)

// ---- functions measured for their binding and type checks only -----------------------------------

static const Signature image_to_batch_pixelshift_signature = {"image_to_batch_pixelshift",
                                                              "korvane.utils.dimention.image_to_batch_pixelshift",
                                                              "src/korvane_source/utils/dimention",
                                                              5,
                                                              5,
                                                              4,
                                                              {"image", "dim", "scalefactor", "mean", "swap_rb"},
                                                              {ANY, EXACT_INT, EXACT_FLOAT_OR_NONE, ANY, ANY}};
static Prepared image_to_batch_pixelshift_prepared;
FLOOR_ENTRY(image_to_batch_pixelshift, not_measured)

static const Signature pixelshift_fuse_signature = {"pixelshift_fuse",
                                                    "korvane.utils.dimention.pixelshift_fuse",
                                                    "src/korvane_source/utils/dimention",
                                                    6,
                                                    5,
                                                    0,
                                                    {"preds", "acc", "hits", "start_idx", "dim"},
                                                    {ANY, ANY, ANY, EXACT_INT, EXACT_INT}};
static Prepared pixelshift_fuse_prepared;
FLOOR_ENTRY(pixelshift_fuse, not_measured)

static const Signature tile_image_signature = {"tile_image",
                                               "korvane.upscale.tile.tile_image",
                                               "src/korvane_source/upscale/tile",
                                               1,
                                               3,
                                               2,
                                               {"input_image", "tile_size", "overlap"},
                                               {ANY, EXACT_INT, EXACT_INT}};
static Prepared tile_image_prepared;
FLOOR_ENTRY(tile_image, not_measured)

static const Signature merge_tiles_signature = {
    "merge_tiles",
    "korvane.upscale.tile.merge_tiles",
    "src/korvane_source/upscale/tile",
    3,
    6,
    2,
    {"tiles", "original_shape", "padded_shape", "scale", "tile_size", "overlap"},
    {EXACT_LIST, EXACT_TUPLE, EXACT_TUPLE, EXACT_INT, EXACT_INT, EXACT_INT}};
static Prepared merge_tiles_prepared;
FLOOR_ENTRY(merge_tiles, not_measured)

static const Signature create_gaussian_weights_signature = {"create_gaussian_weights",
                                                            "korvane.upscale.tile.create_gaussian_weights",
                                                            "src/korvane_source/upscale/tile",
                                                            4,
                                                            2,
                                                            0,
                                                            {"size", "sigma"},
                                                            {EXACT_INT, EXACT_INT}};
static Prepared create_gaussian_weights_prepared;
FLOOR_ENTRY(create_gaussian_weights, not_measured)

// ---- the module -----------------------------------------------------------------------------------

static PyTypeObject FloorFunction_Type = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "korvane_floor.function",
    .tp_basicsize = sizeof(FloorFunction),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_vectorcall_offset = offsetof(FloorFunction, vectorcall),
    .tp_call = PyVectorcall_Call,
};

/// Defaults of the trailing parameters, in the modules' order.
static PyObject* default_value(const char* param) {
    if (strcmp(param, "layout") == 0) return PyUnicode_InternFromString("HWC");
    if (strcmp(param, "swap_rb") == 0) return Py_NewRef(Py_True);
    if (strcmp(param, "dim") == 0) return PyLong_FromLong(4);
    if (strcmp(param, "tile_size") == 0) return PyLong_FromLong(128);
    if (strcmp(param, "overlap") == 0) return PyLong_FromLong(16);
    return Py_NewRef(Py_None);
}

static int define(PyObject* module, const Signature* s, Prepared* p, vectorcallfunc entry) {
    for (int i = 0; i < s->nparams; ++i) {
        p->params[i] = PyUnicode_InternFromString(s->params[i]);
        if (!p->params[i]) return -1;
    }
    for (int i = s->nparams - s->ndefaults; i < s->nparams; ++i) {
        p->defaults[i - (s->nparams - s->ndefaults)] = default_value(s->params[i]);
        if (!p->defaults[i - (s->nparams - s->ndefaults)]) return -1;
    }
    p->code = (PyObject*)PyCode_NewEmpty(s->file, s->traceback_name, s->line);
    p->takes = PyUnicode_FromFormat("%.200s() takes ", s->name);
    p->multiple = PyUnicode_FromFormat("%s() got multiple values for keyword argument '", s->name);
    p->unexpected = PyUnicode_FromFormat("%s() got an unexpected keyword argument '", s->name);
    if (!p->code || !p->takes || !p->multiple || !p->unexpected) return -1;
    for (int i = 0; i < s->nparams; ++i) {
        static const char* const expected[] = {NULL, "int", "float", "list", "tuple"};
        if (s->checks[i] == ANY) continue;
        p->incorrect[i] = PyUnicode_FromFormat("Argument '%.200s' has incorrect type (expected %.200s, got ",
                                               s->params[i], expected[s->checks[i]]);
        p->subclass[i] = PyUnicode_FromFormat(
            "Subclasses of built-in types are rejected here: '%.200s' needs an exact %.200s, not a ", s->params[i],
            expected[s->checks[i]]);
        if (!p->incorrect[i] || !p->subclass[i]) return -1;
    }
    FloorFunction* fn = PyObject_New(FloorFunction, &FloorFunction_Type);
    if (!fn) return -1;
    fn->vectorcall = entry;
    return PyModule_Add(module, s->name, (PyObject*)fn);
}

static struct PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, .m_name = "korvane_floor", .m_size = -1};

#define DEFINE(fname) define(module, &fname##_signature, &fname##_prepared, fname##_vectorcall)

PyMODINIT_FUNC PyInit_korvane_floor(void) {
    if (PyType_Ready(&FloorFunction_Type) < 0) return NULL;
    PyObject* module = PyModule_Create(&floor_module);
    if (!module) return NULL;
    globals = PyModule_GetDict(module);
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (!builtins) goto fail;
    builtins_dict = Py_NewRef(PyModule_GetDict(builtins));
    Py_DECREF(builtins);
    if (!(str_add_note = PyUnicode_InternFromString("add_note")) ||
        !(str_transpose = PyUnicode_InternFromString("transpose")) ||
        !(str_guess_image_layout = PyUnicode_InternFromString("guess_image_layout")) ||
        !(str_ndim = PyUnicode_InternFromString("ndim")) || !(str_shape = PyUnicode_InternFromString("shape")) ||
        !(str_HW = PyUnicode_InternFromString("HW")) || !(str_HWC = PyUnicode_InternFromString("HWC")) ||
        !(str_CHW = PyUnicode_InternFromString("CHW")) || !(str_NHWC = PyUnicode_InternFromString("NHWC")) ||
        !(str_NCHW = PyUnicode_InternFromString("NCHW")) ||
        !(str_ambiguous = PyUnicode_InternFromString("ambiguous")) ||
        !(str_unsupported = PyUnicode_InternFromString("unsupported")) ||
        !(axes_0312 = Py_BuildValue("(iiii)", 0, 3, 1, 2)) || !(str_exactly = PyUnicode_FromString("exactly ")) ||
        !(str_at_most = PyUnicode_FromString("at most ")) || !(str_at_least = PyUnicode_FromString("at least ")) ||
        !(str_positional = PyUnicode_FromString(" positional argument")) ||
        !(str_positionals = PyUnicode_FromString(" positional arguments")) ||
        !(str_open = PyUnicode_FromString(" (")) || !(str_given = PyUnicode_FromString(" given)")) ||
        !(str_quote = PyUnicode_FromString("'")) || !(str_close = PyUnicode_FromString(")")) ||
        !(str_full_stop = PyUnicode_FromString(".")))
        goto fail;
    if (DEFINE(guess_image_layout) < 0 || DEFINE(image_to_batch) < 0 || DEFINE(image_to_batch_pixelshift) < 0 ||
        DEFINE(pixelshift_fuse) < 0 || DEFINE(tile_image) < 0 || DEFINE(merge_tiles) < 0 ||
        DEFINE(create_gaussian_weights) < 0)
        goto fail;
    return module;
fail:
    Py_DECREF(module);
    return NULL;
}
