// Argument binding and exact-type validation.
#include "binder.hpp"

#include "compat.hpp"
#include "errors.hpp"
#include "module_record.hpp"

namespace kv {

namespace {

const char* plural(Py_ssize_t n) { return n == 1 ? "" : "s"; }

// The function's defined name is formatted as an object (%U), so no UTF-8 conversion can fail here.
PyObject* function_name(FunctionObject* fn) { return fn->record->name(fn->definition->name); }

KV_COLD int raise_count(FunctionObject* fn, const char* bound_word, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200U() takes %.8s %zd positional argument%.1s (%zd given)", function_name(fn),
                 bound_word, expected, plural(expected), given);
    return -1;
}

KV_COLD int raise_keyword_not_string(FunctionObject* fn) {
    PyErr_Format(PyExc_TypeError, "%.200U() keywords must be strings", function_name(fn));
    return -1;
}

KV_COLD int raise_multiple(FunctionObject* fn, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%U() got multiple values for keyword argument '%U'", function_name(fn), key);
    return -1;
}

KV_COLD int raise_unexpected(FunctionObject* fn, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", function_name(fn), key);
    return -1;
}

PyObject* param_name(FunctionObject* fn, int i) { return fn->record->name(fn->definition->params[i].name); }

/// Index of the parameter in [first, last) named `key`: identity first, then string equality.
int find_parameter(FunctionObject* fn, PyObject* key, int first, int last) {
    for (int i = first; i < last; ++i) {
        if (param_name(fn, i) == key) return i;
    }
    for (int i = first; i < last; ++i) {
        if (PyUnicode_Compare(param_name(fn, i), key) == 0) return i;
    }
    return -1;
}

/// The error for a keyword that matches no unbound parameter: a duplicate of a bound
/// one, or an unknown name.
KV_COLD int raise_bad_keyword(FunctionObject* fn, PyObject* key, int nbound) {
    if (find_parameter(fn, key, 0, nbound) >= 0) return raise_multiple(fn, key);
    return raise_unexpected(fn, key);
}

int check_positional_count(FunctionObject* fn, Py_ssize_t nargs) {
    int k = fn->definition->nparams;
    if (nargs > k) return raise_count(fn, fn->ndefaults == 0 ? "exactly" : "at most", k, nargs);
    return 0;
}

/// Steps 5 and 6: report the first missing required parameter, then take defaults.
int finish(FunctionObject* fn, Py_ssize_t nargs, BoundArgs& out) {
    int k = fn->definition->nparams;
    int required = k - fn->ndefaults;
    for (int i = static_cast<int>(nargs); i < required; ++i) {
        if (!out.values[i]) return raise_count(fn, fn->ndefaults == 0 ? "exactly" : "at least", required, i);
    }
    for (int i = required; i < k; ++i) {
        if (!out.values[i]) out.values[i] = PyTuple_GET_ITEM(fn->call_defaults, i - required);
    }
    return 0;
}

}  // namespace

int bind_vector(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out) {
    if (check_positional_count(fn, nargs) < 0) return -1;
    for (Py_ssize_t i = 0; i < nargs; ++i) out.values[i] = args[i];
    if (kwnames) {
        int n = static_cast<int>(nargs), k = fn->definition->nparams;
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            if (!PyUnicode_Check(key)) return raise_keyword_not_string(fn);
            int index = find_parameter(fn, key, n, k);
            // A name given twice among the keywords counts as given twice.
            if (index < 0 || out.values[index]) {
                return index < 0 ? raise_bad_keyword(fn, key, n) : raise_multiple(fn, key);
            }
            out.values[index] = args[nargs + j];
        }
    }
    return finish(fn, nargs, out);
}

int bind_tuple_dict(FunctionObject* fn, PyObject* args, PyObject* kwargs, BoundArgs& out) {
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (check_positional_count(fn, nargs) < 0) return -1;
    for (Py_ssize_t i = 0; i < nargs; ++i) out.values[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        int n = static_cast<int>(nargs), k = fn->definition->nparams;
        // The interpreter's own rule for keyword dictionaries.
        if (!PyArg_ValidateKeywordArguments(kwargs)) return -1;
        Py_ssize_t found = 0;
        for (int i = n; i < k; ++i) {
            PyObject* value = nullptr;
            int rc = compat::dict_get_ref(kwargs, param_name(fn, i), &value);
            if (rc < 0) return -1;
            if (rc > 0) {
                out.owned[i] = Ref::steal(value);
                out.values[i] = value;
                ++found;
            }
        }
        if (found < PyDict_GET_SIZE(kwargs)) {
            // Report the first key, in dictionary order, that names no unbound parameter.
            Ref keys = Ref::steal(PyDict_Keys(kwargs));
            if (!keys) return -1;
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(keys.get()); ++j) {
                PyObject* key = PyList_GET_ITEM(keys.get(), j);
                // A key's __eq__ may have changed the dictionary during the lookups above.
                if (!PyUnicode_Check(key)) {
                    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                    return -1;
                }
                if (find_parameter(fn, key, n, k) < 0) return raise_bad_keyword(fn, key, n);
            }
        }
    }
    return finish(fn, nargs, out);
}

namespace {

KV_COLD int raise_incorrect_type(FunctionObject* fn, int i, PyTypeObject* expected, PyObject* value) {
    PyObject* pname = param_name(fn, i);
    Ref message = Ref::steal(PyUnicode_FromFormat("Argument '%.200U' has incorrect type (expected %.200s, got %.200s)",
                                                  pname, expected->tp_name, Py_TYPE(value)->tp_name));
    if (!message) return -1;
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!exc) return -1;
    if (PyObject_TypeCheck(value, expected)) {
        Ref note = Ref::steal(PyUnicode_FromFormat(
            "Subclasses of built-in types are rejected here: '%.200U' needs an exact %.200s, not a %.200s.", pname,
            expected->tp_name, Py_TYPE(value)->tp_name));
        if (!note) return -1;
        Ref added = Ref::steal(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()));
        if (!added) return -1;
    }
    PyErr_SetObject(PyExc_TypeError, exc.get());
    return -1;
}

}  // namespace

int validate(FunctionObject* fn, const BoundArgs& bound) {
    const FunctionSpec& definition = *fn->definition;
    for (int i = 0; i < definition.nparams; ++i) {
        PyObject* v = bound.values[i];
        switch (definition.params[i].check) {
            case Check::any:
                break;
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
