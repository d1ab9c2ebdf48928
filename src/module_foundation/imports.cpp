// Imports made by module bodies.
#include "imports.hpp"

#include "compat.hpp"
#include "errors.hpp"

namespace kv {

namespace {

/// Whether a loaded module is still being initialised (its __spec__ says so): 1, 0 or -1.
int is_initializing(PyObject* module) {
    // Made at each use (only module bodies import): a static left NULL by a failed first
    // attempt would fail every later one without an exception.
    Ref spec_name = Ref::steal(PyUnicode_InternFromString("__spec__"));
    Ref init_name = Ref::steal(PyUnicode_InternFromString("_initializing"));
    if (!spec_name || !init_name) return -1;
    PyObject* spec = nullptr;
    int rc = compat::optional_attr(module, spec_name.get(), &spec);
    if (rc <= 0) return rc;
    Ref spec_ref = Ref::steal(spec);
    PyObject* value = nullptr;
    rc = compat::optional_attr(spec, init_name.get(), &value);
    if (rc <= 0) return rc;
    Ref value_ref = Ref::steal(value);
    return PyObject_IsTrue(value);
}

KV_COLD PyObject* raise_cannot_import(PyObject* name) {
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return nullptr;
}

}  // namespace

Ref import_module(PyObject* name, PyObject* globals) {
    Ref loaded = Ref::steal(PyImport_GetModule(name));
    if (!loaded && PyErr_Occurred()) return Ref();
    // None in the module table blocks the import: the full import reports that.
    if (loaded && loaded.get() != Py_None) {
        int initializing = is_initializing(loaded.get());
        if (initializing < 0) return Ref();
        if (!initializing) return loaded;
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return Ref();
    return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, locals.get(), nullptr, 0));
}

Ref import_from_module(PyObject* path, PyObject* fromlist, int level, PyObject* globals) {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return Ref();
    return Ref::steal(PyImport_ImportModuleLevelObject(path, globals, locals.get(), fromlist, level));
}

Ref import_name(PyObject* module, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    // A submodule that is loaded but not (yet) set as an attribute of its package.
    Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (!module_name || !PyUnicode_Check(module_name.get())) {
        PyErr_Clear();
        return raise_cannot_import(name), Ref();
    }
    Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), name));
    if (!full) return Ref();
    Ref entry = Ref::steal(PyImport_GetModule(full.get()));
    if (entry) return entry;
    if (PyErr_Occurred()) return Ref();
    return raise_cannot_import(name), Ref();
}

}  // namespace kv
