// The small vocabulary that function bodies use to speak to CuPy and Python objects.
//
// Each helper returns an empty Ref (or -1) with the exception set on failure, so a body
// is a list of steps, each followed by `if (!x) return nullptr;`.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>

#include "errors.hpp"
#include "ref.hpp"

namespace kv {

/// Call `callable` with positional values followed by keyword values named by the
/// tuple `kwnames` (or nullptr). Passes the interpreter's recursion guard.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    size_t npos = args.size() - static_cast<size_t>(nkw);
    if (Py_EnterRecursiveCall(" while calling a Python object")) return Ref();
    PyObject* r = PyObject_Vectorcall(callable, const_cast<PyObject**>(args.begin()), npos, kwnames);
    Py_LeaveRecursiveCall();
    if (!r && !PyErr_Occurred()) raise_null_result();
    return Ref::steal(r);
}

/// Call the method `name` of `obj`: obj.name(*args, **kw) with kwnames as in call().
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args,
                       PyObject* kwnames = nullptr) {
    Ref method = Ref::steal(PyObject_GetAttr(obj, name));
    if (!method) return Ref();
    return call(method.get(), args, kwnames);
}

inline Ref attr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }
inline Ref item(PyObject* obj, PyObject* key) { return Ref::steal(PyObject_GetItem(obj, key)); }
inline Ref integer(Py_ssize_t v) { return Ref::steal(PyLong_FromSsize_t(v)); }
inline Ref number(double v) { return Ref::steal(PyFloat_FromDouble(v)); }

/// A new tuple of the given objects (references added); empty Ref on failure.
inline Ref tuple(std::initializer_list<PyObject*> items) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!t) return t;
    Py_ssize_t i = 0;
    for (PyObject* o : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
    return t;
}

/// A new slice start:stop (no step).
inline Ref slice(PyObject* start, PyObject* stop) { return Ref::steal(PySlice_New(start, stop, nullptr)); }

inline Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }
inline Ref multiply(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Multiply(a, b)); }
inline Ref floor_divide(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_FloorDivide(a, b)); }
inline Ref remainder(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Remainder(a, b)); }
inline Ref subtract(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Subtract(a, b)); }
inline Ref true_divide(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_TrueDivide(a, b)); }
inline Ref power(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Power(a, b, Py_None)); }
inline Ref negative(PyObject* a) { return Ref::steal(PyNumber_Negative(a)); }

/// `target op= value`: the result replaces `target` (which may be the same object).
inline int inplace_add(Ref& target, PyObject* value) {
    target = Ref::steal(PyNumber_InPlaceAdd(target.get(), value));
    return target ? 0 : -1;
}
inline int inplace_subtract(Ref& target, PyObject* value) {
    target = Ref::steal(PyNumber_InPlaceSubtract(target.get(), value));
    return target ? 0 : -1;
}
inline int inplace_multiply(Ref& target, PyObject* value) {
    target = Ref::steal(PyNumber_InPlaceMultiply(target.get(), value));
    return target ? 0 : -1;
}

/// `obj[key] += value`: read the region, add in place, store the result back.
inline int augmented_add_item(PyObject* obj, PyObject* key, PyObject* value) {
    Ref region = item(obj, key);
    if (!region || inplace_add(region, value) < 0) return -1;
    return PyObject_SetItem(obj, key, region.get());
}

/// Truth of an object (-1 on error).
inline int truth(PyObject* obj) { return PyObject_IsTrue(obj); }

/// Rich comparison `a == b` (-1 on error).
inline int equals(PyObject* a, PyObject* b) { return PyObject_RichCompareBool(a, b, Py_EQ); }

}  // namespace kv
