// The process-wide record of one extension module and its create/exec slot logic.
//
// A module is a ModuleDescription (names, constants, functions, body) plus its function
// bodies; the record turns the description into a module object once per process.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "function.hpp"
#include "names.hpp"
#include "ref.hpp"

namespace kv {

struct ModuleDescription {
    const char* short_name;     // "dimention"
    const char* full_name;      // "korvane.utils.dimention"
    const char* source_path;    // "src/korvane_source/utils/dimention"
    const char* const* texts;   // the string table, indexed by the module's name enum
    std::size_t text_count;
    const int* builtins;        // string-table indices of the built-ins cached at exec
    std::size_t builtin_count;
    std::size_t constant_count;
    int (*make_numbers)(ModuleRecord&);   // integer and float constants
    int (*make_tuples)(ModuleRecord&);    // constant tuples and slices
    const FunctionSpec* functions;
    std::size_t function_count;
    int (*body)(ModuleRecord&);           // the module body: imports, names, functions
};

class ModuleRecord {
public:
    explicit ModuleRecord(const ModuleDescription& desc) : desc_(desc) {}

    /// The create slot.
    PyObject* create(PyObject* spec);
    /// The exec slot.
    int exec(PyObject* module);

    const ModuleDescription& description() const noexcept { return desc_; }
    PyObject* name(int i) const noexcept { return names_[static_cast<std::size_t>(i)]; }
    PyObject* constant(int i) const noexcept { return constants_[static_cast<std::size_t>(i)].get(); }
    /// A built-in cached at exec, by its position in the description's list. A new reference:
    /// code run while it is in use (its own call, say) can re-run a failed exec, which
    /// replaces the cache.
    Ref builtin(int i) const noexcept { return cached_builtins_[static_cast<std::size_t>(i)].copy(); }
    PyObject* builtins_dict() const noexcept { return builtins_dict_.get(); }
    PyObject* dict() const noexcept { return dict_.get(); }
    PyObject* full_name() const noexcept { return full_name_.get(); }
    PyObject* source_path() const noexcept { return source_path_.get(); }

    /// Store a constant (used by the description's make_numbers/make_tuples).
    void set_constant(int i, Ref value) { constants_[static_cast<std::size_t>(i)] = std::move(value); }

    /// Bind `name` in the module dictionary (a module-body statement).
    int bind(int name, PyObject* value) { return PyDict_SetItem(dict_.get(), this->name(name), value); }

    /// Define the function with the given index in the description's function table.
    int define_function(std::size_t index);
    /// Define every function of the table, in table order.
    int define_functions();

    /// `from <level dots><path> import <wanted...>` (string-table indices), binding each
    /// name under itself in the module dictionary.
    int from_import(int path, std::initializer_list<int> wanted, int level);

private:
    int prepare_tables();
    int cache_builtins();
    int make_code_objects();

    const ModuleDescription& desc_;
    std::int64_t interpreter_id_ = -1;
    Ref module_;
    Ref dict_;
    Ref builtins_dict_;
    Ref full_name_;
    Ref source_path_;
    Ref init_name_;
    NameTable names_;
    bool numbers_ready_ = false;
    bool tuples_ready_ = false;
    std::vector<Ref> constants_;
    std::vector<Ref> cached_builtins_;
    std::vector<Ref> code_objects_;
};

/// Module-global lookup at the time of use: module dictionary, then builtins, else NameError.
/// Both dictionaries are held for the whole lookup.
Ref lookup_global(PyObject* globals, PyObject* builtins_dict, PyObject* name);

}  // namespace kv

/// Define the module's PyModuleDef (create and exec slots only) and its PyInit_ entry.
/// The record is allocated once and never destroyed: it lives for the whole process,
/// and releasing its references after the interpreter is gone would be unsafe.
#define KV_DEFINE_MODULE(short_name, description)                                          \
    static kv::ModuleRecord& short_name##_record() {                                       \
        static kv::ModuleRecord* record = new kv::ModuleRecord(description);              \
        return *record;                                                                    \
    }                                                                                      \
    static PyObject* short_name##_create(PyObject* spec, PyModuleDef*) {                   \
        return short_name##_record().create(spec);                                         \
    }                                                                                      \
    static int short_name##_exec(PyObject* module) { return short_name##_record().exec(module); } \
    static PyModuleDef_Slot short_name##_slots[] = {                                       \
        {Py_mod_create, reinterpret_cast<void*>(short_name##_create)},                     \
        {Py_mod_exec, reinterpret_cast<void*>(short_name##_exec)},                         \
        {0, nullptr},                                                                      \
    };                                                                                     \
    static PyModuleDef short_name##_def = {                                                \
        PyModuleDef_HEAD_INIT, #short_name, nullptr, 0, nullptr,                           \
        short_name##_slots, nullptr, nullptr, nullptr,                                     \
    };                                                                                     \
    PyMODINIT_FUNC PyInit_##short_name() { return PyModuleDef_Init(&short_name##_def); }

namespace kv {

/// A module global as seen by a running function: its module dictionary, then builtins.
inline Ref global(const Call& call, int name) {
    return lookup_global(call.function->globals, call.record.builtins_dict(), call.record.name(name));
}

}  // namespace kv
