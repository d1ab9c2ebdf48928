// Create and exec slots, driven by a module's description.
#include "module_record.hpp"

#include <cstdio>

#include "calls.hpp"
#include "compat.hpp"
#include "errors.hpp"
#include "imports.hpp"

namespace kv {

namespace {

KV_COLD PyObject* raise_interpreter_change() {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
}

/// Copy the module spec's <attr> into the module dictionary as <key>; a missing one is skipped.
int copy_spec_attr(PyObject* spec, const char* attr, PyObject* dict, const char* key, bool skip_none) {
    Ref name = Ref::steal(PyUnicode_InternFromString(attr));
    if (!name) return -1;
    PyObject* value = nullptr;
    int rc = compat::optional_attr(spec, name.get(), &value);
    if (rc <= 0) return rc;
    Ref held = Ref::steal(value);
    if (skip_none && value == Py_None) return 0;
    return PyDict_SetItemString(dict, key, value);
}

/// The version check: a module built for one minor version warns on another.
int check_version(const char* full_name) {
    int run_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    int run_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (run_major == PY_MAJOR_VERSION && run_minor == PY_MINOR_VERSION) return 0;
    char message[240];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION, full_name, "does not match", run_major, run_minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

KV_COLD int raise_builtins_not_a_module(PyObject* builtins) {
    PyErr_Format(PyExc_TypeError, "sys.modules['builtins'] must be a module, not %.200s", Py_TYPE(builtins)->tp_name);
    return -1;
}

/// Remove the sys.modules entry that a failed exec made, if it still is that module; the
/// exception in flight stays as it is.
void unregister(PyObject* modules, PyObject* name, PyObject* module) {
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* entry = nullptr;
    if (compat::dict_get_ref(modules, name, &entry) > 0 && entry == module) {
        if (PyDict_DelItem(modules, name) < 0) PyErr_Clear();
    }
    Py_XDECREF(entry);
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

}  // namespace

PyObject* ModuleRecord::create(PyObject* spec) {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (interpreter_id_ == -1) {
        interpreter_id_ = id;
    } else if (interpreter_id_ != id) {
        return raise_interpreter_change();
    }
    if (module_) return module_.copy().release();

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!dict) return nullptr;
    if (copy_spec_attr(spec, "loader", dict, "__loader__", false) < 0 ||
        copy_spec_attr(spec, "origin", dict, "__file__", false) < 0 ||
        copy_spec_attr(spec, "parent", dict, "__package__", false) < 0 ||
        copy_spec_attr(spec, "submodule_search_locations", dict, "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

int ModuleRecord::exec(PyObject* module) {
    // 1. Run once per process.
    if (module_) {
        if (module_.get() == module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     desc_.short_name);
        return -1;
    }
    // 2. Record the module and its dictionary.
    PyObject* dict = PyModule_GetDict(module);
    if (!dict) return -1;
    module_ = Ref::borrow(module);
    dict_ = Ref::borrow(dict);

    bool tables_ready = false;
    Ref modules;  // set once the registration below has put the module into sys.modules itself
    int rc = [&]() -> int {
        // 3. __builtins__; its dictionary is where globals missing from the module are found.
        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        if (!builtins || PyDict_SetItemString(dict_.get(), "__builtins__", builtins.get()) < 0) return -1;
        if (!PyModule_Check(builtins.get())) return raise_builtins_not_a_module(builtins.get());
        PyObject* builtins_dict = PyModule_GetDict(builtins.get());
        if (!builtins_dict) return -1;
        builtins_dict_ = Ref::borrow(builtins_dict);
        // 4. Version check.
        if (check_version(desc_.full_name) < 0) return -1;
        // 5. String table and numeric constants.
        if (prepare_tables() < 0) return -1;
        tables_ready = true;
        // 6. Register under the full name unless an entry is already there.
        Ref table = Ref::borrow(PyImport_GetModuleDict());
        PyObject* existing = nullptr;
        int found = compat::dict_get_ref(table.get(), full_name_.get(), &existing);
        if (found < 0) return -1;
        Py_XDECREF(existing);
        if (!found) {
            PyObject* entry = PyDict_SetDefault(table.get(), full_name_.get(), module);
            if (!entry) return -1;
            if (entry == module) modules = std::move(table);
        }
        // 7. Cached built-ins.
        if (cache_builtins() < 0) return -1;
        // 8. Constant tuples and slices, code objects.
        if (!tuples_ready_) {
            if (desc_.make_tuples(*this) < 0) return -1;
            tuples_ready_ = true;
        }
        if (make_code_objects() < 0) return -1;
        // 9. The module body.
        return desc_.body(*this);
    }();
    if (rc == 0) return 0;

    // A failed exec leaves no record behind, so the next import starts afresh: neither in the
    // record nor in sys.modules, where a half-built module would be found by the next import.
    if (tables_ready) {
        add_traceback_entry(init_name_.get(), source_path_.get(), dict_.get(), 1);
    }
    if (modules) unregister(modules.get(), full_name_.get(), module);
    module_.reset();
    dict_.reset();
    return -1;
}

int ModuleRecord::prepare_tables() {
    if (names_.create(desc_.texts, desc_.text_count) < 0) return -1;
    if (!full_name_) {
        full_name_ = Ref::steal(PyUnicode_InternFromString(desc_.full_name));
        if (!full_name_) return -1;
    }
    if (!init_name_) {
        init_name_ = Ref::steal(PyUnicode_FromFormat("init %s", desc_.full_name));
        if (!init_name_) return -1;
    }
    if (!source_path_) {
        source_path_ = Ref::steal(PyUnicode_InternFromString(desc_.source_path));
        if (!source_path_) return -1;
    }
    if (!numbers_ready_) {
        constants_.resize(desc_.constant_count);
        if (desc_.make_numbers(*this) < 0) return -1;
        numbers_ready_ = true;
    }
    return 0;
}

int ModuleRecord::cache_builtins() {
    std::vector<Ref> cached;
    Ref builtins = builtins_dict_.copy();  // a lookup can run code that replaces the record's
    for (std::size_t i = 0; i < desc_.builtin_count; ++i) {
        PyObject* name = this->name(desc_.builtins[i]);
        PyObject* value = nullptr;
        int rc = compat::dict_get_ref(builtins.get(), name, &value);
        if (rc < 0) return -1;
        if (rc == 0) return raise_name_error(name), -1;
        cached.push_back(Ref::steal(value));
    }
    cached_builtins_ = std::move(cached);
    return 0;
}

int ModuleRecord::make_code_objects() {
    if (!code_objects_.empty()) return 0;
    std::vector<Ref> codes;
    Ref replace = Ref::steal(PyUnicode_InternFromString("replace"));
    Ref kwnames = Ref::steal(Py_BuildValue("(ssss)", "co_argcount", "co_varnames", "co_nlocals", "co_flags"));
    Ref flags = integer(CO_OPTIMIZED | CO_NEWLOCALS);
    if (!replace || !kwnames || !flags) return -1;
    const char* file = desc_.source_path;
    for (std::size_t f = 0; f < desc_.function_count; ++f) {
        const FunctionSpec& definition = desc_.functions[f];
        const char* fname = PyUnicode_AsUTF8(name(definition.name));
        if (!fname) return -1;
        Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, fname, definition.line)));
        Ref varnames = Ref::steal(PyTuple_New(definition.nparams));
        Ref argcount = integer(definition.nparams);
        if (!empty || !varnames || !argcount) return -1;
        for (int i = 0; i < definition.nparams; ++i)
            PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(name(definition.params[i].name)));
        Ref code = call_method(empty.get(), replace.get(),
                               {argcount.get(), varnames.get(), argcount.get(), flags.get()}, kwnames.get());
        if (!code) return -1;
        codes.push_back(std::move(code));
    }
    code_objects_ = std::move(codes);
    return 0;
}

int ModuleRecord::define_function(std::size_t index) {
    const FunctionSpec& definition = desc_.functions[index];
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return -1;
    for (int i = 0; i < definition.nparams; ++i) {
        const Parameter& param = definition.params[i];
        if (PyDict_SetItem(annotations.get(), name(param.name), name(param.annotation)) < 0) return -1;
    }
    if (PyDict_SetItemString(annotations.get(), "return", name(definition.return_annotation)) < 0) return -1;
    PyObject* defaults = definition.defaults >= 0 ? constant(definition.defaults) : nullptr;
    Ref fn = new_function(*this, definition, code_objects_[index].get(), defaults, annotations.get());
    if (!fn) return -1;
    return bind(definition.name, fn.get());
}

int ModuleRecord::define_functions() {
    for (std::size_t f = 0; f < desc_.function_count; ++f) {
        if (define_function(f) < 0) return -1;
    }
    return 0;
}

int ModuleRecord::from_import(int path, std::initializer_list<int> wanted, int level) {
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) return -1;
    for (int w : wanted) {
        if (PyList_Append(fromlist.get(), name(w)) < 0) return -1;
    }
    Ref module = import_from_module(name(path), fromlist.get(), level, dict());
    if (!module) return -1;
    for (int w : wanted) {
        Ref value = import_name(module.get(), name(w));
        if (!value || bind(w, value.get()) < 0) return -1;
    }
    return 0;
}

Ref lookup_global(PyObject* globals, PyObject* builtins_dict, PyObject* name) {
    // A key's __eq__ can run any code during the first lookup, even a re-run of a failed exec
    // that replaces (and frees) the record's builtins dictionary: hold both first.
    Ref module_dict = Ref::borrow(globals);
    Ref builtins = Ref::borrow(builtins_dict);
    PyObject* value = nullptr;
    int rc = module_dict ? compat::dict_get_ref(module_dict.get(), name, &value) : 0;
    if (rc == 0 && builtins) rc = compat::dict_get_ref(builtins.get(), name, &value);
    if (rc < 0) return Ref();
    if (rc == 0) return raise_name_error(name), Ref();
    return Ref::steal(value);
}

}  // namespace kv
