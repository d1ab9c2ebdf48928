// The function-object type: attribute table, descriptor binding, repr and calls.
#include "function.hpp"

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "binder.hpp"
#include "errors.hpp"
#include "module_record.hpp"

namespace kv {

namespace {

FunctionObject* as_function(PyObject* op) { return reinterpret_cast<FunctionObject*>(op); }

// ---- the recursion guard ---------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
#define KV_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KV_ASAN 1
#endif
#endif

/// Stack that must be left when a call starts: enough for the body, the collaborators it calls
/// outside any korvane function, NumPy's or CuPy's own frames and the error path (the deepest
/// recursion tests pass with a sixteenth of it). The sanitiser's frames are several times
/// larger. A small thread stack keeps three quarters of itself for calls.
#ifdef KV_ASAN
constexpr std::uintptr_t kStackMargin = 512 * 1024;
#else
constexpr std::uintptr_t kStackMargin = 256 * 1024;
#endif

/// Per-thread call state, kept together so that a call reaches it with one TLS lookup.
struct ThreadCalls {
    /// Nesting of korvane function calls on this thread. A collaborator can call back into
    /// the module (through functools.partial, say) without passing any Python frame, so the
    /// interpreter's frame limit never triggers; this depth counts our calls like frames.
    int depth = 0;
    /// The lowest address of this thread's stack, and the part above it that calls must leave
    /// free. Until the bounds are known the margin is the whole address space, so that the
    /// first call of a thread takes the slow path, which finds them.
    std::uintptr_t stack_low = 0;
    std::uintptr_t stack_margin = UINTPTR_MAX;
    bool stack_known = false;
};

thread_local ThreadCalls thread_calls;

/// This thread's call state. The address is computed once per call and kept: the compiler
/// would otherwise compute it again (a call into the TLS resolver) at every use.
inline ThreadCalls& this_thread_calls() {
    ThreadCalls* calls = &thread_calls;
    __asm__("" : "+r"(calls));
    return *calls;
}

/// Find the calling thread's stack bounds (once per thread). A platform that does not tell
/// leaves no margin: only the depth limit applies there.
KV_COLD void find_stack(ThreadCalls& calls) {
    calls.stack_known = true;
    calls.stack_low = 0;
    calls.stack_margin = 0;
    void* low = nullptr;
    std::size_t size = 0;
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    int rc = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0) return;
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    size = pthread_get_stacksize_np(self);
    low = static_cast<char*>(pthread_get_stackaddr_np(self)) - size;
#else
    return;
#endif
    calls.stack_low = reinterpret_cast<std::uintptr_t>(low);
    calls.stack_margin = size / 4 < kStackMargin ? size / 4 : kStackMargin;
}

/// Whether a call starting at `here` would leave less than the margin of this thread's stack.
/// The interpreter's own C recursion counter does not depend on the stack size, so with a
/// raised recursion limit or a small thread stack only the stack itself tells when to stop.
/// Unsigned: a frame outside this thread's stack (a coroutine library's own stack) is never
/// taken for a full one.
inline bool below_margin(const ThreadCalls& calls, std::uintptr_t here) {
    return here - calls.stack_low < calls.stack_margin;
}

KV_COLD bool stack_nearly_full_slow(ThreadCalls& calls, std::uintptr_t here) {
    if (!calls.stack_known) find_stack(calls);
    return below_margin(calls, here);
}

inline bool stack_nearly_full(ThreadCalls& calls) {
    auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return below_margin(calls, here) && stack_nearly_full_slow(calls, here);
}

KV_COLD PyObject* raise_recursion() {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
    return nullptr;
}

/// Entered for the duration of one call: the stack and depth limits, undone on scope exit.
/// One check: the calls a body makes pass the interpreter's own guard, so the entry needs
/// only what that guard cannot see (calls back into the module that pass no Python frame).
class CallGuard {
public:
    CallGuard() : calls_(this_thread_calls()) {
        if (stack_nearly_full(calls_) || calls_.depth >= Py_GetRecursionLimit()) {
            raise_recursion();
            return;
        }
        ++calls_.depth;
        entered_ = true;
    }
    ~CallGuard() {
        if (entered_) --calls_.depth;
    }
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;
    explicit operator bool() const { return entered_; }

private:
    ThreadCalls& calls_;
    bool entered_ = false;
};

// ---- calls -------------------------------------------------------------------------

/// A function that the garbage collector cleared (a finaliser may hand one out again) has no
/// globals left for its body to look names up in: it refuses calls.
KV_COLD PyObject* raise_cleared(FunctionObject* fn) {
    PyErr_Format(PyExc_RuntimeError, "%U() was cleared by the garbage collector and can no longer be called",
                 fn->record->name(fn->definition->name));
    return nullptr;
}

/// A binding failure gets the function's traceback entry.
KV_COLD PyObject* binding_failed(FunctionObject* fn) {
    add_function_traceback(fn);
    return nullptr;
}

/// A body that failed gets the function's traceback entry; one that returned NULL without an
/// exception gets the interpreter's SystemError first.
KV_COLD PyObject* body_failed(FunctionObject* fn) {
    if (!PyErr_Occurred()) raise_null_result();
    add_function_traceback(fn);
    return nullptr;
}

/// Validation and the body, shared by both conventions; binding failures were handled before.
inline PyObject* run_bound(FunctionObject* fn, PyObject* const* values) {
    if (validate(fn, values) < 0) return nullptr;
    Call call{fn, *fn->record, values};
    PyObject* result = fn->definition->body(call);
    if (!result) return body_failed(fn);
    return result;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* fn = as_function(self);
    if (!fn->globals) return raise_cleared(fn);
    CallGuard guard;
    if (!guard) return nullptr;
    PyObject* storage[kMaxParameters];
    PyObject* const* values = bind_vector(fn, args, PyVectorcall_NARGS(nargsf), kwnames, storage);
    if (!values) return binding_failed(fn);
    return run_bound(fn, values);
}

PyObject* function_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    FunctionObject* fn = as_function(self);
    if (!fn->globals) return raise_cleared(fn);
    CallGuard guard;
    if (!guard) return nullptr;
    PyObject* values[kMaxParameters];
    Ref owned[kMaxParameters];
    if (bind_tuple_dict(fn, args, kwargs, values, owned) < 0) return binding_failed(fn);
    return run_bound(fn, values);
}

// ---- lifecycle ---------------------------------------------------------------------

int function_tp_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->module);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->dict);
    Py_VISIT(fn->code);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->call_defaults);
    Py_VISIT(fn->traceback_name);
    Py_VISIT(fn->traceback_code);
    Py_VISIT(fn->messages);
    return 0;
}

/// Drops what can take part in a reference cycle and keeps what calls, repr and the error
/// path read (see FunctionObject). A name set to a str subclass could reach back to the
/// function, so it gives way to the defined name, an exact str that holds nothing.
int function_tp_clear(PyObject* self) {
    FunctionObject* fn = as_function(self);
    Py_CLEAR(fn->globals);  // first: code run by the decrefs below already sees a cleared function
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->annotations);
    PyObject* defined = fn->record->name(fn->definition->name);
    if (!PyUnicode_CheckExact(fn->name)) Py_SETREF(fn->name, Py_NewRef(defined));
    if (!PyUnicode_CheckExact(fn->qualname)) Py_SETREF(fn->qualname, Py_NewRef(defined));
    return 0;
}

void function_tp_dealloc(PyObject* self) {
    FunctionObject* fn = as_function(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakreflist) PyObject_ClearWeakRefs(self);
    function_tp_clear(self);
    // What the clear slot keeps.
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->code);
    Py_CLEAR(fn->call_defaults);
    Py_CLEAR(fn->traceback_name);
    Py_CLEAR(fn->traceback_code);
    Py_CLEAR(fn->messages);
    PyObject_GC_Del(self);
}

PyObject* function_tp_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

/// Read through an instance, the function binds as a method; otherwise it is itself.
PyObject* function_tp_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

// ---- attributes --------------------------------------------------------------------

/// Store `value` into `slot` (reference added), releasing the old one after the store.
void store(PyObject** slot, PyObject* value) { Py_XSETREF(*slot, Py_XNewRef(value)); }

/// A field the clear slot dropped reads as None.
PyObject* or_none(PyObject* value) { return Py_NewRef(value ? value : Py_None); }

PyObject* get_doc(PyObject* self, void*) { return or_none(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    store(&as_function(self)->doc, value ? value : Py_None);
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    store(&as_function(self)->name, value);
    return 0;
}

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    store(&as_function(self)->qualname, value);
    return 0;
}

PyObject* get_dict(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    if (!fn->dict) {
        fn->dict = PyDict_New();
        if (!fn->dict) return nullptr;
    }
    return Py_NewRef(fn->dict);
}
int set_dict(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    store(&as_function(self)->dict, value);
    return 0;
}

PyObject* get_globals(PyObject* self, void*) { return or_none(as_function(self)->globals); }
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->code); }
PyObject* get_is_coroutine(PyObject*, void*) { Py_RETURN_FALSE; }

PyObject* get_defaults(PyObject* self, void*) { return or_none(as_function(self)->defaults); }
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning,
                     "changes to __defaults__ of a korvane function are not used by its calls, "
                     "which keep the defaults it was defined with",
                     1) < 0) {
        return -1;
    }
    store(&as_function(self)->defaults, value);
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) { return or_none(as_function(self)->kwdefaults); }
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning,
                     "changes to __kwdefaults__ of a korvane function are not used by its calls, "
                     "which keep the keyword defaults it was defined with",
                     1) < 0) {
        return -1;
    }
    store(&as_function(self)->kwdefaults, value);
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    if (!fn->annotations) {
        fn->annotations = PyDict_New();
        if (!fn->annotations) return nullptr;
    }
    return Py_NewRef(fn->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    store(&as_function(self)->annotations, value);
    return 0;
}

PyObject* get_module(PyObject* self, void*) { return or_none(as_function(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) {
    store(&as_function(self)->module, value ? value : Py_None);
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

/// Held for the process's life, like the type.
PyObject* add_note = nullptr;

// clang-format off: the head macro ends without a comma
PyTypeObject function_type_object = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "korvane_function",                           // tp_name
    sizeof(FunctionObject),                       // tp_basicsize
};
// clang-format on

}  // namespace

PyObject* add_note_name() { return add_note; }

PyTypeObject* function_type() {
    PyTypeObject* t = &function_type_object;
    if (t->tp_flags & Py_TPFLAGS_READY) return t;
    if (!add_note) {
        add_note = PyUnicode_InternFromString("add_note");
        if (!add_note) return nullptr;
    }
    t->tp_dealloc = function_tp_dealloc;
    t->tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t->tp_repr = function_tp_repr;
    t->tp_call = function_tp_call;
    t->tp_getattro = PyObject_GenericGetAttr;
    t->tp_setattro = PyObject_GenericSetAttr;
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t->tp_doc = "Function of a korvane extension module.";
    t->tp_traverse = function_tp_traverse;
    t->tp_clear = function_tp_clear;
    t->tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    t->tp_methods = function_methods;
    t->tp_getset = function_getset;
    t->tp_descr_get = function_tp_descr_get;
    t->tp_dictoffset = offsetof(FunctionObject, dict);
    if (PyType_Ready(t) < 0) return nullptr;
    return t;
}

Ref new_function(ModuleRecord& record, const FunctionSpec& definition, PyObject* code, PyObject* defaults,
                 PyObject* annotations) {
    PyTypeObject* type = function_type();
    if (!type) return Ref();
    if (definition.nparams > kMaxParameters) {
        PyErr_SetString(PyExc_SystemError, "korvane function with more parameters than the binder holds");
        return Ref();
    }
    Ref traceback_name = Ref::steal(PyUnicode_FromFormat("%U.%U", record.full_name(), record.name(definition.name)));
    if (!traceback_name) return Ref();
    Ref messages = make_message_pieces(record, definition);
    if (!messages) return Ref();
    FunctionObject* fn = PyObject_GC_New(FunctionObject, type);
    if (!fn) return Ref();
    PyObject* name = record.name(definition.name);
    fn->vectorcall = function_vectorcall;
    fn->definition = &definition;
    fn->record = &record;
    fn->name = Py_NewRef(name);
    fn->qualname = Py_NewRef(name);
    fn->doc = Py_NewRef(definition.doc >= 0 ? record.name(definition.doc) : Py_None);
    fn->module = Py_NewRef(record.full_name());
    fn->globals = Py_NewRef(record.dict());
    fn->dict = nullptr;
    fn->code = Py_NewRef(code);
    fn->defaults = Py_XNewRef(defaults);
    fn->kwdefaults = nullptr;
    fn->annotations = Py_XNewRef(annotations);
    fn->call_defaults = Py_XNewRef(defaults);
    fn->traceback_name = traceback_name.release();
    fn->traceback_code = nullptr;
    fn->messages = messages.release();
    fn->weakreflist = nullptr;
    fn->ndefaults = defaults ? static_cast<int>(PyTuple_GET_SIZE(defaults)) : 0;
    fn->checked = 0;
    for (int i = 0; i < definition.nparams; ++i) {
        if (definition.params[i].check != Check::any) fn->checked |= 1u << i;
    }
    for (int i = 0; i < kMaxParameters; ++i) {
        fn->param_names[i] = i < definition.nparams ? record.name(definition.params[i].name) : nullptr;
    }
    PyObject_GC_Track(reinterpret_cast<PyObject*>(fn));
    return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

void add_function_traceback(FunctionObject* fn) {
    // Held for the entry's making: building the frame can look names up in the dictionary.
    Ref globals = Ref::borrow(fn->globals ? fn->globals : fn->record->dict());
    if (globals) {
        add_traceback_entry(fn->traceback_name, fn->record->source_path(), globals.get(), fn->definition->line,
                            &fn->traceback_code);
    }
}

}  // namespace kv
