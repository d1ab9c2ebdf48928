// The function-object type of the korvane extension modules.
//
// A module-level function whose parameters are all positional-or-keyword. Calls bind
// their arguments (binder.hpp), validate the typed parameters and run the body; the
// object itself looks to callers much like a Python function (attribute table below).
#pragma once

#include <Python.h>

#include <cstdint>

#include "ref.hpp"

namespace kv {

class ModuleRecord;
struct FunctionObject;

/// Which exact built-in type a parameter accepts (checked after binding).
enum class Check : std::uint8_t { any, exact_int, exact_float_or_none, exact_list, exact_tuple };

/// One parameter: indices into the module's string table for its name and annotation.
struct Parameter {
    int name;
    int annotation;
    Check check = Check::any;
};

/// What a body sees: the function, its module record and the bound values in parameter order.
struct Call {
    FunctionObject* function;
    ModuleRecord& record;
    PyObject* const* args;

    PyObject* arg(int i) const noexcept { return args[i]; }
};

using Body = PyObject* (*)(const Call&);

inline constexpr int kMaxParameters = 8;

/// A function's static description; the module's string table gives its texts.
struct FunctionSpec {
    int name;                 // string-table index
    int doc;                  // string-table index, or -1 for none
    const Parameter* params;
    int nparams;
    int return_annotation;    // string-table index
    int defaults;             // constant index of the defaults tuple, or -1
    Body body;
    int line;                 // first line reported by the code object and traceback entries
};

/// The garbage collector's clear slot drops only the fields that can hold a cycle (the mutable
/// or caller-set ones, NULL afterwards); the rest stays, so that an object a finaliser hands
/// out again after the clear still has a name, a code object and its call defaults.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* definition;
    ModuleRecord* record;
    PyObject* name;            // kept (an exact str; a str subclass is replaced by the defined name)
    PyObject* qualname;        // kept, likewise
    PyObject* doc;             // cleared
    PyObject* module;          // cleared
    PyObject* globals;         // cleared: NULL marks a cleared function, which refuses calls
    PyObject* dict;            // cleared
    PyObject* code;            // kept
    PyObject* defaults;        // cleared; what __defaults__ reports
    PyObject* kwdefaults;      // cleared; what __kwdefaults__ reports
    PyObject* annotations;     // cleared
    PyObject* call_defaults;   // kept; fixed at definition: what calls use
    PyObject* traceback_name;  // kept; "<module>.<name>", made at definition so errors need no allocation
    PyObject* traceback_code;  // kept; the traceback entry's code object, made on the first failure
    PyObject* messages;        // kept; exact strs the binding and type errors are put together from
    PyObject* weakreflist;
    int ndefaults;
    unsigned checked;          // bit i set: parameter i has a type check
    /// The parameter names, borrowed from the module's string table (which lives as long as
    /// the process): what keywords are matched against by pointer.
    PyObject* param_names[kMaxParameters];
};

/// The type object (readied on first use); nullptr with an exception on failure.
PyTypeObject* function_type();

/// "add_note", interned when the type is readied (borrowed).
PyObject* add_note_name();

/// Create a function object for `definition` in the module held by `record`.
Ref new_function(ModuleRecord& record, const FunctionSpec& definition, PyObject* code, PyObject* defaults,
                 PyObject* annotations);

/// The dotted name of a function ("korvane.utils.dimention.image_to_batch"), for tracebacks.
void add_function_traceback(FunctionObject* fn);

}  // namespace kv
