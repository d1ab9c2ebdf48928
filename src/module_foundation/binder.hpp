// Argument binding for both calling conventions, and the exact-type validators.
//
// The messages are this package's own formats (they differ from CPython's on purpose). The
// vectorcall fast path (positional values, keywords matched by pointer, defaults) and the
// validators are inline, so that each call site compiles them into the function type's entry;
// everything that fails or needs a string comparison is out of line.
#pragma once

#include <Python.h>

#include "errors.hpp"
#include "function.hpp"
#include "ref.hpp"

namespace kv {

/// The texts that a function's binding and type errors are put together from, made once when
/// the function is defined: a tuple, indexed as below (a parameter without a check has None).
enum MessagePiece : int { msg_takes, msg_multiple, msg_unexpected, msg_params };
inline int msg_incorrect(int param) { return msg_params + 2 * param; }
inline int msg_subclass(int param) { return msg_params + 2 * param + 1; }
Ref make_message_pieces(ModuleRecord& record, const FunctionSpec& definition);

/// TypeError "<name>() takes exactly|at most <k> positional argument(s) (<n> given)".
KV_COLD int raise_too_many_positional(FunctionObject* fn, Py_ssize_t nargs);
/// TypeError "<name>() takes exactly|at least <required> ... (<index> given)" for the first
/// required parameter left unbound.
KV_COLD int raise_missing(FunctionObject* fn, int index);
/// A keyword name that is no parameter of [nargs, k) by pointer, or one whose parameter is
/// bound already (bit i of `bound`): its index by string equality, or -1 with the binding
/// error set.
KV_COLD int match_keyword(FunctionObject* fn, PyObject* key, int nargs, unsigned bound);
/// The "has incorrect type" TypeError for parameter `i` (with the note for a subclass).
KV_COLD int raise_incorrect_type(FunctionObject* fn, int i, PyTypeObject* expected, PyObject* value);

/// Bind vectorcall arguments (positional values, then values named by `kwnames`): the bound
/// values in parameter order, borrowed from the caller's arguments or the call defaults, or
/// nullptr with the error set. All parameters given by position need no copy: the caller's
/// array is the answer; otherwise `storage` is filled.
inline PyObject* const* bind_vector(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                    PyObject** storage) {
    const int k = fn->definition->nparams;
    if (nargs > k) return raise_too_many_positional(fn, nargs), nullptr;
    const int n = static_cast<int>(nargs);
    if (!kwnames && n == k) return args;
    const int required = k - fn->ndefaults;
    if (!kwnames && n < required) return raise_missing(fn, n), nullptr;
    // Positional values, then the defaults of the parameters after them, which keywords may
    // replace. Loops bounded by the slot count: the compiler writes them out instead of
    // calling memcpy.
    for (int i = 0; i < kMaxParameters && i < n; ++i) storage[i] = args[i];
    for (int i = n > required ? n : required; i < kMaxParameters && i < k; ++i) {
        storage[i] = PyTuple_GET_ITEM(fn->call_defaults, i - required);
    }
    if (!kwnames) return storage;
    unsigned bound = (1u << n) - 1;  // bit i: parameter i has a value from the caller
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        int index = n;
        while (index < k && fn->param_names[index] != key) ++index;
        // A name given twice among the keywords counts as given twice.
        if (index == k || (bound >> index & 1u)) {
            index = match_keyword(fn, key, n, bound);
            if (index < 0) return nullptr;
        }
        storage[index] = args[nargs + j];
        bound |= 1u << index;
    }
    unsigned missing = ~bound & ((1u << required) - 1);
    if (missing) return raise_missing(fn, __builtin_ctz(missing)), nullptr;
    return storage;
}

/// Bind an argument tuple and keyword dictionary (either may be nullptr). Values found in the
/// dictionary are new references, which `owned` keeps for the call.
int bind_tuple_dict(FunctionObject* fn, PyObject* args, PyObject* kwargs, PyObject** values, Ref* owned);

/// Validate typed parameters in order; the first failure raises (no traceback entry).
inline int validate(FunctionObject* fn, PyObject* const* values) {
    const FunctionSpec& definition = *fn->definition;
    for (unsigned checked = fn->checked; checked; checked &= checked - 1) {
        int i = __builtin_ctz(checked);
        PyObject* v = values[i];
        switch (definition.params[i].check) {
            case Check::any: break;
            case Check::exact_int:
                if (!PyLong_CheckExact(v)) return raise_incorrect_type(fn, i, &PyLong_Type, v);
                break;
            case Check::exact_float_or_none:
                if (v != Py_None && !PyFloat_CheckExact(v)) return raise_incorrect_type(fn, i, &PyFloat_Type, v);
                break;
            case Check::exact_list:
                if (!PyList_CheckExact(v)) return raise_incorrect_type(fn, i, &PyList_Type, v);
                break;
            case Check::exact_tuple:
                if (!PyTuple_CheckExact(v)) return raise_incorrect_type(fn, i, &PyTuple_Type, v);
                break;
        }
    }
    return 0;
}

}  // namespace kv
