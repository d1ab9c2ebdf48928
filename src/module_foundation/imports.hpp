// Imports made by module bodies.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace kv {

/// `import <name>` for a top-level module: an already-loaded module is reused unless its
/// `__spec__._initializing` is true; otherwise a full import with `globals` as context.
Ref import_module(PyObject* name, PyObject* globals);

/// `from <level dots><path> import <fromlist...>`: returns the imported module.
Ref import_from_module(PyObject* path, PyObject* fromlist, int level, PyObject* globals);

/// Read `name` from an imported module: its attribute, else the module-table entry
/// "<module name>.<name>", else ImportError "cannot import name <name>".
Ref import_name(PyObject* module, PyObject* name);

}  // namespace kv
