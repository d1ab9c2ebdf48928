// Argument binding and exact-type validation: the out-of-line parts.
#include "binder.hpp"

#include "compat.hpp"
#include "errors.hpp"
#include "module_record.hpp"

namespace kv {

namespace {

// The function's defined name is formatted as an object (%U), so no UTF-8 conversion can fail here.
PyObject* function_name(FunctionObject* fn) { return fn->record->name(fn->definition->name); }

PyObject* piece(FunctionObject* fn, int i) { return PyTuple_GET_ITEM(fn->messages, i); }

/// TypeError with `message`, or the error that making it raised.
int raise_type_error(const Ref& message) {
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return -1;
}

/// "<name>() takes <word> <expected> positional argument<s> (<given> given)".
KV_COLD int raise_count(FunctionObject* fn, Piece word, Py_ssize_t expected, Py_ssize_t given) {
    char expected_digits[24], given_digits[24];
    return raise_type_error(assemble({piece(fn, msg_takes), word, " ", decimal(expected, expected_digits),
                                      expected == 1 ? Piece(" positional argument") : Piece(" positional arguments"),
                                      " (", decimal(given, given_digits), " given)"}));
}

KV_COLD int raise_keyword_not_string(FunctionObject* fn) {
    PyErr_Format(PyExc_TypeError, "%.200U() keywords must be strings", function_name(fn));
    return -1;
}

KV_COLD int raise_multiple(FunctionObject* fn, PyObject* key) {
    return raise_type_error(assemble({piece(fn, msg_multiple), key, "'"}));
}

KV_COLD int raise_unexpected(FunctionObject* fn, PyObject* key) {
    return raise_type_error(assemble({piece(fn, msg_unexpected), key, "'"}));
}

/// Index of the parameter in [first, last) named `key`: identity first, then string equality.
int find_parameter(FunctionObject* fn, PyObject* key, int first, int last) {
    for (int i = first; i < last; ++i) {
        if (fn->param_names[i] == key) return i;
    }
    for (int i = first; i < last; ++i) {
        if (PyUnicode_Compare(fn->param_names[i], key) == 0) return i;
    }
    return -1;
}

/// The error for a keyword that matches no unbound parameter: a duplicate of a bound
/// one, or an unknown name.
KV_COLD int raise_bad_keyword(FunctionObject* fn, PyObject* key, int nbound) {
    if (find_parameter(fn, key, 0, nbound) >= 0) return raise_multiple(fn, key);
    return raise_unexpected(fn, key);
}

/// After the keywords of a dictionary call: report the first missing required parameter, then take defaults.
int finish(FunctionObject* fn, Py_ssize_t nargs, PyObject** values) {
    int k = fn->definition->nparams;
    int required = k - fn->ndefaults;
    for (int i = static_cast<int>(nargs); i < required; ++i) {
        if (!values[i]) return raise_missing(fn, i);
    }
    for (int i = required; i < k; ++i) {
        if (!values[i]) values[i] = PyTuple_GET_ITEM(fn->call_defaults, i - required);
    }
    return 0;
}

const char* type_word(Check check) {
    switch (check) {
        case Check::exact_int: return "int";
        case Check::exact_float_or_none: return "float";
        case Check::exact_list: return "list";
        case Check::exact_tuple: return "tuple";
        case Check::any: break;
    }
    return nullptr;
}

}  // namespace

Ref make_message_pieces(ModuleRecord& record, const FunctionSpec& definition) {
    PyObject* name = record.name(definition.name);
    Ref pieces = Ref::steal(PyTuple_New(msg_params + 2 * definition.nparams));
    if (!pieces) return pieces;
    auto set = [&](int i, PyObject* text) {
        if (!text) return false;
        PyTuple_SET_ITEM(pieces.get(), i, text);
        return true;
    };
    bool made = set(msg_takes, PyUnicode_FromFormat("%.200U() takes ", name)) &&
                set(msg_multiple, PyUnicode_FromFormat("%U() got multiple values for keyword argument '", name)) &&
                set(msg_unexpected, PyUnicode_FromFormat("%U() got an unexpected keyword argument '", name));
    for (int i = 0; made && i < definition.nparams; ++i) {
        PyObject* param = record.name(definition.params[i].name);
        const char* expected = type_word(definition.params[i].check);
        if (!expected) {
            made = set(msg_incorrect(i), Py_NewRef(Py_None)) && set(msg_subclass(i), Py_NewRef(Py_None));
            continue;
        }
        made = set(msg_incorrect(i), PyUnicode_FromFormat("Argument '%.200U' has incorrect type (expected %.200s, got ",
                                                          param, expected)) &&
               set(msg_subclass(i), PyUnicode_FromFormat("Subclasses of built-in types are rejected here: '%.200U' "
                                                         "needs an exact %.200s, not a ",
                                                         param, expected));
    }
    return made ? std::move(pieces) : Ref();
}

int raise_too_many_positional(FunctionObject* fn, Py_ssize_t nargs) {
    return raise_count(fn, fn->ndefaults == 0 ? Piece("exactly") : Piece("at most"), fn->definition->nparams, nargs);
}

int raise_missing(FunctionObject* fn, int index) {
    int required = fn->definition->nparams - fn->ndefaults;
    return raise_count(fn, fn->ndefaults == 0 ? Piece("exactly") : Piece("at least"), required, index);
}

int match_keyword(FunctionObject* fn, PyObject* key, int nargs, unsigned bound) {
    if (!PyUnicode_Check(key)) return raise_keyword_not_string(fn);
    int index = find_parameter(fn, key, nargs, fn->definition->nparams);
    if (index < 0) return raise_bad_keyword(fn, key, nargs);
    if (bound >> index & 1u) return raise_multiple(fn, key);
    return index;
}

int bind_tuple_dict(FunctionObject* fn, PyObject* args, PyObject* kwargs, PyObject** values, Ref* owned) {
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    int k = fn->definition->nparams;
    if (nargs > k) return raise_too_many_positional(fn, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = PyTuple_GET_ITEM(args, i);
    for (int i = static_cast<int>(nargs); i < k; ++i) values[i] = nullptr;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        int n = static_cast<int>(nargs);
        // The interpreter's own rule for keyword dictionaries.
        if (!PyArg_ValidateKeywordArguments(kwargs)) return -1;
        Py_ssize_t found = 0;
        for (int i = n; i < k; ++i) {
            PyObject* value = nullptr;
            int rc = compat::dict_get_ref(kwargs, fn->param_names[i], &value);
            if (rc < 0) return -1;
            if (rc > 0) {
                owned[i] = Ref::steal(value);
                values[i] = value;
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
    return finish(fn, nargs, values);
}

int raise_incorrect_type(FunctionObject* fn, int i, PyTypeObject* expected, PyObject* value) {
    Ref holder;
    Piece got = type_name(Py_TYPE(value), holder);
    if (!got.text && !got.bytes) return -1;
    Ref message = assemble({piece(fn, msg_incorrect(i)), got, ")"});
    if (!message) return -1;
    if (!PyObject_TypeCheck(value, expected)) return raise_type_error(message);
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!exc) return -1;
    Ref note = assemble({piece(fn, msg_subclass(i)), got, "."});
    if (!note) return -1;
    PyObject* argv[] = {exc.get(), note.get()};
    Ref added = Ref::steal(PyObject_VectorcallMethod(add_note_name(), argv, 2, nullptr));
    if (!added) return -1;
    PyErr_SetObject(PyExc_TypeError, exc.get());
    return -1;
}

}  // namespace kv
