// Small shims over C API that differs between CPython 3.12 and 3.13.
#pragma once

#include <Python.h>

namespace kv::compat {

/// Dictionary lookup giving a new reference: 1 found, 0 absent, -1 error.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, result);
#else
    PyObject* item = PyDict_GetItemWithError(dict, key);
    if (item) {
        *result = Py_NewRef(item);
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

/// Attribute lookup where a missing attribute is not an error: 1 found, 0 absent, -1 error.
inline int optional_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    *result = PyObject_GetAttr(obj, name);
    if (*result) return 1;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
#endif
}

}  // namespace kv::compat
