// Argument binding for both calling conventions, and the exact-type validators.
//
// The messages are this package's own formats (they differ from CPython's on purpose).
#pragma once

#include <Python.h>

#include "function.hpp"
#include "ref.hpp"

namespace kv {

/// Bound values in parameter order. Values are borrowed from the caller's arguments or the
/// function's defaults, except those taken from a keyword dictionary, which `owned` keeps.
struct BoundArgs {
    PyObject* values[kMaxParameters] = {};
    Ref owned[kMaxParameters];
};

/// Bind vectorcall arguments (positional values, then values named by `kwnames`).
int bind_vector(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out);

/// Bind an argument tuple and keyword dictionary (either may be nullptr).
int bind_tuple_dict(FunctionObject* fn, PyObject* args, PyObject* kwargs, BoundArgs& out);

/// Validate typed parameters in order; the first failure raises (no traceback entry).
int validate(FunctionObject* fn, const BoundArgs& bound);

}  // namespace kv
