// Traceback entries and fixed-word errors.
#include "errors.hpp"

#include <frameobject.h>

#include <cstring>

#include "calls.hpp"

namespace kv {

void add_traceback_entry(PyObject* function_name, PyObject* file, PyObject* globals, int line, PyObject** code_cache) {
    // The exception in flight is set aside while the code object and frame are built:
    // those calls must neither see it nor replace it.
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    Ref code = Ref::borrow(code_cache ? *code_cache : nullptr);
    if (!code) {
        const char* file_text = PyUnicode_AsUTF8(file);
        const char* name_text = file_text ? PyUnicode_AsUTF8(function_name) : nullptr;
        if (name_text) code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_text, name_text, line)));
        if (code && code_cache) *code_cache = code.copy().release();
    }
    Ref frame;
    if (code) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    }
    // Setting the exception back drops whatever error building the entry left.
    if (!frame) {
        PyErr_SetRaisedException(exc);
        return;
    }
    // PyTraceBack_Here chains its own failure onto the exception: drop that, keep the original.
    Ref held = Ref::borrow(exc);
    PyErr_SetRaisedException(exc);
    if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) < 0) {
        PyErr_Clear();
        PyErr_SetRaisedException(held.release());
    }
}

Ref refuse_method_call(PyObject* obj, PyObject* name) {
    PyObject* refusal = PyErr_GetRaisedException();
    Ref method = Ref::steal(PyObject_GetAttr(obj, name));
    if (!method) {
        Py_XDECREF(refusal);
        return Ref();
    }
    PyErr_SetRaisedException(refusal);
    return Ref();
}

Ref assemble(std::initializer_list<Piece> pieces) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 127;
    for (const Piece& p : pieces) {
        if (p.text) {
            length += PyUnicode_GET_LENGTH(p.text);
            Py_UCS4 piece_max = PyUnicode_MAX_CHAR_VALUE(p.text);
            if (piece_max > maxchar) maxchar = piece_max;
        } else {
            length += p.size;
        }
    }
    // The pieces are canonical strings, so the result's kind is the widest of theirs, as the
    // interpreter's own string building would make it.
    Ref result = Ref::steal(PyUnicode_New(length, maxchar));
    if (!result) return result;
    const int kind = PyUnicode_KIND(result.get());
    void* data = PyUnicode_DATA(result.get());
    Py_ssize_t at = 0;
    for (const Piece& p : pieces) {
        if (p.text) {
            const Py_ssize_t n = PyUnicode_GET_LENGTH(p.text);
            const int piece_kind = PyUnicode_KIND(p.text);
            const void* piece_data = PyUnicode_DATA(p.text);
            if (piece_kind == kind) {
                std::memcpy(static_cast<char*>(data) + at * kind, piece_data, static_cast<std::size_t>(n) * kind);
            } else {
                for (Py_ssize_t i = 0; i < n; ++i)
                    PyUnicode_WRITE(kind, data, at + i, PyUnicode_READ(piece_kind, piece_data, i));
            }
            at += n;
        } else if (kind == PyUnicode_1BYTE_KIND) {
            std::memcpy(static_cast<char*>(data) + at, p.bytes, static_cast<std::size_t>(p.size));
            at += p.size;
        } else {
            for (Py_ssize_t i = 0; i < p.size; ++i)
                PyUnicode_WRITE(kind, data, at++, static_cast<unsigned char>(p.bytes[i]));
        }
    }
    return result;
}

Piece decimal(Py_ssize_t value, char* buffer) {
    char* end = buffer + 24;
    char* at = end;
    std::size_t v = value < 0 ? std::size_t{0} - static_cast<std::size_t>(value) : static_cast<std::size_t>(value);
    do {
        *--at = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    if (value < 0) *--at = '-';
    return Piece(at, end - at);
}

Piece type_name(PyTypeObject* type, Ref& holder) {
    const char* name = type->tp_name;
    Py_ssize_t n = 0;
    bool ascii = true;
    while (n < 200 && name[n]) {
        if (static_cast<unsigned char>(name[n]) >= 0x80) ascii = false;
        ++n;
    }
    if (ascii) return Piece(name, n);
    // A cut through a multi-byte sequence becomes one replacement character, as in %.200s.
    holder = Ref::steal(PyUnicode_DecodeUTF8(name, n, "replace"));
    return Piece(holder.get());
}

PyObject* raise_unpack_too_many(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    return nullptr;
}

PyObject* raise_unpack_too_few(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    return nullptr;
}

PyObject* raise_expected_int(PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "int", Py_TYPE(value)->tp_name);
    return nullptr;
}

PyObject* raise_index_overflow(PyObject* index) {
    PyErr_Format(PyExc_IndexError, "cannot fit '%.200s' into an index-sized integer", Py_TYPE(index)->tp_name);
    return nullptr;
}

PyObject* raise_name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

PyObject* raise_null_result() {
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    return nullptr;
}

PyObject* raise_join_overflow() {
    PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
    return nullptr;
}

int unpack(PyObject* seq, Ref* out, Py_ssize_t k) {
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
        if (n > k) return raise_unpack_too_many(k), -1;
        if (n < k) return raise_unpack_too_few(n), -1;
        PyObject** items = PySequence_Fast_ITEMS(seq);
        // Take all references first: a list cannot change under us while we only incref.
        for (Py_ssize_t i = 0; i < k; ++i) out[i] = Ref::borrow(items[i]);
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return -1;
    for (Py_ssize_t i = 0; i < k; ++i) {
        out[i] = Ref::steal(PyIter_Next(it.get()));
        if (!out[i]) {
            if (PyErr_Occurred()) return -1;
            return raise_unpack_too_few(i), -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) return raise_unpack_too_many(k), -1;
    return PyErr_Occurred() ? -1 : 0;
}

int as_index(PyObject* value, Py_ssize_t* out) {
    Py_ssize_t v = PyNumber_AsSsize_t(value, nullptr);
    if (v == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
        PyErr_Clear();
        return raise_index_overflow(value), -1;
    }
    *out = v;
    return 0;
}

Ref join2(PyObject* a, PyObject* b) {
    Py_ssize_t la = PyUnicode_GetLength(a), lb = PyUnicode_GetLength(b);
    if (la < 0 || lb < 0) return Ref();
    if (lb > PY_SSIZE_T_MAX - la) return raise_join_overflow(), Ref();
    return Ref::steal(PyUnicode_Concat(a, b));
}

}  // namespace kv
