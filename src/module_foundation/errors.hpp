// Traceback entries and the errors that module code raises with fixed words.
//
// Every helper that raises returns nullptr (or -1 through raise_int) so that a caller
// can write `return raise_...(...)`. They are cold: formatting stays out of the fast path.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>

#include "ref.hpp"

#define KV_COLD __attribute__((cold, noinline))

namespace kv {

/// Add one traceback entry (function name, file, globals) to the exception in flight,
/// leaving the exception itself unchanged. Failures while building the entry are dropped.
/// `code_cache`, when given, keeps the entry's code object for the next failure of the
/// same function, so that only the frame is new each time.
KV_COLD void add_traceback_entry(PyObject* function_name, PyObject* file, PyObject* globals, int line,
                                 PyObject** code_cache = nullptr);

/// ValueError "too many values to unpack (expected k)".
KV_COLD PyObject* raise_unpack_too_many(Py_ssize_t expected);
/// ValueError "need more than n value(s) to unpack".
KV_COLD PyObject* raise_unpack_too_few(Py_ssize_t got);
/// TypeError for a value stored into a local typed as int.
KV_COLD PyObject* raise_expected_int(PyObject* value);
/// IndexError for an integer too large for Py_ssize_t.
KV_COLD PyObject* raise_index_overflow(PyObject* index);
/// NameError for a module global found nowhere.
KV_COLD PyObject* raise_name_error(PyObject* name);
/// SystemError for a callee that returned NULL without setting an exception.
KV_COLD PyObject* raise_null_result();
/// OverflowError for a string join whose length does not fit.
KV_COLD PyObject* raise_join_overflow();

/// One piece of a message: a string object, or ASCII text.
struct Piece {
    Piece(PyObject* s) : text(s) {}  // NOLINT: pieces are written as a list of both kinds
    template <std::size_t N>
    Piece(const char (&ascii)[N]) : bytes(ascii), size(N - 1) {}  // NOLINT
    Piece(const char* ascii, Py_ssize_t n) : bytes(ascii), size(n) {}

    PyObject* text = nullptr;  // a str (or subclass); nullptr for ASCII text
    const char* bytes = nullptr;
    Py_ssize_t size = 0;
};

/// The concatenation of the pieces, made in one allocation (messages of the error paths,
/// where parsing a format string would cost more than everything else the error does).
Ref assemble(std::initializer_list<Piece> pieces);

/// Decimal digits of `value`, written into `buffer` (24 bytes at least); returns them as a piece.
Piece decimal(Py_ssize_t value, char* buffer);

/// A type's name as `%.200s` shows it: at most 200 bytes of tp_name, decoded as UTF-8 with
/// replacement. ASCII needs no object; other names are decoded into `holder`. Empty `text`
/// and `bytes` mean the decoding failed (with the exception set).
Piece type_name(PyTypeObject* type, Ref& holder);

/// Unpack exactly `k` items of a tuple, list or other iterable into `out`.
int unpack(PyObject* seq, Ref* out, Py_ssize_t k);

/// A local typed `int`: accept exactly a Python int (any size), else the typed-local TypeError.
inline int check_int_local(PyObject* value) {
    if (PyLong_CheckExact(value)) return 0;
    raise_expected_int(value);
    return -1;
}

/// Convert an int-like object to Py_ssize_t; overflow raises the index-sized IndexError.
int as_index(PyObject* value, Py_ssize_t* out);

/// Concatenate two strings, with the join overflow check.
Ref join2(PyObject* a, PyObject* b);

}  // namespace kv
