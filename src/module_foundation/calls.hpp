// The small vocabulary that function bodies use to speak to CuPy and Python objects.
//
// Each helper returns an empty Ref (or -1) with the exception set on failure, so a body
// is a list of steps, each followed by `if (!x) return nullptr;`.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>
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

inline constexpr std::size_t kMaxMethodArguments = 8;

/// The recursion guard refused a method call: the attribute is still looked up first, as a
/// call through the attribute would do, and an error of that lookup is the one reported.
KV_COLD Ref refuse_method_call(PyObject* obj, PyObject* name);

/// Call the method `name` of `obj`: obj.name(*args, **kw) with kwnames as in call(). The
/// method is looked up as the attribute would be, but a function found on the type is called
/// with `obj` prepended instead of through a bound-method object made for the call.
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args,
                       PyObject* kwnames = nullptr) {
    // One slot in front of the arguments, which the callee may borrow (ARGUMENTS_OFFSET).
    PyObject* stack[kMaxMethodArguments + 2];
    stack[1] = obj;
    std::size_t n = 0;
    for (PyObject* a : args) stack[2 + n++] = a;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    size_t npos = 1 + n - static_cast<size_t>(nkw);
    if (Py_EnterRecursiveCall(" while calling a Python object")) return refuse_method_call(obj, name);
    PyObject* r = PyObject_VectorcallMethod(name, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
    Py_LeaveRecursiveCall();
    if (!r && !PyErr_Occurred()) raise_null_result();
    return Ref::steal(r);
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

/// Whether both are exact ints of one digit: their sum or difference is then computed in C,
/// with the same result the int type would give (grid corners, tile indices).
inline bool both_compact_ints(PyObject* a, PyObject* b) {
    return PyLong_CheckExact(a) && PyLong_CheckExact(b) &&
           PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(a)) &&
           PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(b));
}
inline Py_ssize_t compact_value(PyObject* v) {
    return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v));
}

inline Ref add(PyObject* a, PyObject* b) {
    if (both_compact_ints(a, b)) return Ref::steal(PyLong_FromSsize_t(compact_value(a) + compact_value(b)));
    return Ref::steal(PyNumber_Add(a, b));
}
inline Ref multiply(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Multiply(a, b)); }
inline Ref floor_divide(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_FloorDivide(a, b)); }
inline Ref remainder(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Remainder(a, b)); }
inline Ref subtract(PyObject* a, PyObject* b) {
    if (both_compact_ints(a, b)) return Ref::steal(PyLong_FromSsize_t(compact_value(a) - compact_value(b)));
    return Ref::steal(PyNumber_Subtract(a, b));
}
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

/// Whether two exact strs hold the same text. They are canonical: a different kind means a
/// different text.
inline int same_text(PyObject* a, PyObject* b) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b)) return 0;
    int kind = PyUnicode_KIND(a);
    if (kind != static_cast<int>(PyUnicode_KIND(b))) return 0;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(n) * kind) == 0;
}

/// Rich comparison `a == b` (-1 on error).
inline int equals(PyObject* a, PyObject* b) { return PyObject_RichCompareBool(a, b, Py_EQ); }

}  // namespace kv
