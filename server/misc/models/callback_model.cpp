// The callback_model extension module: entry point, module definition,
// create and exec slots, and the module body that defines
// VelTarnCallbackModel.
#include <stdlib.h>

#include <atomic>

#include "module_state.h"
#include "name_import.h"
#include "py_compat.h"
#include "ref.h"

namespace callback_model {

ModuleState module_state;

namespace {

const char kFullModuleName[] = "vel_tarn.server.misc.models.callback_model";

// How threads, interpreters and runtimes share the module.  One rule per
// field:
//   exec_lock            held for the whole of an exec by the thread that runs
//                        it, and taken by create; module_state (module_state.h)
//                        is written only by its holder.
//   exec_owner           atomic: the thread that holds exec_lock for an exec,
//                        0 when none; written only by that thread.  A thread
//                        that finds itself here came back into the module
//                        through the body's own imports.
//   main_interpreter_id  atomic: the interpreter that created the module first
//                        in this runtime, -1 before; set once, by compare-and-set.
// forget_runtime, run by the runtime itself once it is finalised (no other
// thread runs Python then), resets all of it for the next runtime.
// Every member has a constant initialiser, so the record is set up at load
// time with no code of its own (the library has no constructors).
struct Lifecycle {
    CompatMutex exec_lock{};
    std::atomic<unsigned long> exec_owner{0};
    std::atomic<int64_t> main_interpreter_id{-1};
};

Lifecycle lifecycle;

// What the module held in runtimes that have ended: parked, never released
// (their objects are gone or leaked by the runtime), and kept reachable so
// that a leak checker tells them from memory nobody points to any more.
struct RetiredState {
    ModuleState state;
    RetiredState *next;
};

RetiredState *retired_states;  // written only by forget_runtime

// Registered with Py_AtExit by the thread that pins the first interpreter of
// a runtime; the runtime calls it once, at the end of its Py_FinalizeEx, when
// no other thread runs Python.  Nothing is released: the module forgets what
// it held, and the next runtime's import builds a complete new module.
void forget_runtime() {
    auto *retired = static_cast<RetiredState *>(malloc(sizeof(RetiredState)));
    if (retired != NULL) {
        retired->state = module_state;
        retired->next = retired_states;
        retired_states = retired;
    }
    module_state = ModuleState();
    lifecycle.exec_owner.store(0);
    lifecycle.main_interpreter_id.store(-1);
}

int check_single_interpreter() {
    const int64_t id = PyInterpreterState_GetID(compat_current_interpreter());
    if (id == -1) {
        return -1;
    }
    int64_t pinned = -1;
    if (lifecycle.main_interpreter_id.compare_exchange_strong(pinned, id)) {
        // First in this runtime: its end must make the module start over.
        if (Py_AtExit(forget_runtime) < 0) {
            lifecycle.main_interpreter_id.store(-1);
            PyErr_SetString(PyExc_ImportError,
                            "callback_model cannot register its finalisation hook: Py_AtExit has "
                            "no room left.");
            return -1;
        }
        return 0;
    }
    if (id == pinned) {
        return 0;
    }
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return -1;
}

// Copies the module spec's <attribute> into dict[key].  A missing attribute is skipped;
// so is None when skip_none is set.
int module_copy_spec_attr(PyObject *spec, PyObject *dict, const char *attribute, const char *key,
                          bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (skip_none && value.get() == Py_None) {
        return 0;
    }
    return PyDict_SetItemString(dict, key, value.get());
}

// A new module object for spec, with the spec's attributes copied in.
Ref module_new(PyObject *spec) {
    Ref module;
    {
        Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
        if (!name) {
            return Ref();
        }
        module = Ref::steal(PyModule_NewObject(name.get()));
    }
    if (!module) {
        return Ref();
    }
    PyObject *dict = PyModule_GetDict(module.get());  // borrowed
    if (dict == NULL ||
        module_copy_spec_attr(spec, dict, "loader", "__loader__", false) < 0 ||
        module_copy_spec_attr(spec, dict, "origin", "__file__", false) < 0 ||
        module_copy_spec_attr(spec, dict, "parent", "__package__", false) < 0 ||
        module_copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true) < 0) {
        return Ref();
    }
    return module;
}

// create, for the thread that holds exec_lock (or came back into its own
// exec).  A new object is never shared before its exec has run: the
// interpreter's exec_module skips the exec of a module object whose exec
// has begun, so a second thread would get it unfinished.
PyObject *module_create_locked(PyObject *spec) {
    if (module_state.module != NULL) {
        // The interpreter resets the per-module state pointer of whatever
        // create returns without freeing it, and allocates a new one on the
        // next exec: free the one from the earlier exec here, or each import
        // after a removal from sys.modules would leak it.
        compat_free_state_of_reused_module(module_state.module);
        Py_INCREF(module_state.module);
        return module_state.module;
    }
    return module_new(spec).release();
}

// The create slot.  Waits while another thread runs an exec, then hands out
// the finished module, or a new one when that exec failed.
PyObject *module_create(PyObject *spec, PyModuleDef *) {
    if (check_single_interpreter() < 0) {
        return NULL;
    }
    if (lifecycle.exec_owner.load() == compat_thread_id()) {
        // Back through the body's own imports: the module being initialised.
        return module_create_locked(spec);
    }
    if (compat_mutex_lock(&lifecycle.exec_lock) < 0) {
        return NULL;
    }
    PyObject *module = module_create_locked(spec);
    compat_mutex_unlock(&lifecycle.exec_lock);
    return module;
}

// The sys.modules key of the full dotted name: always the constant's text,
// whatever the string table decoded.
Ref module_full_name_key() {
    return Ref::steal(PyUnicode_InternFromString(kFullModuleName));
}

// Registers module under its full dotted name unless that name is taken.
// *added tells whether this call made the entry.
int module_register(PyObject *module, bool *added) {
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    if (modules == NULL) {
        return -1;
    }
    Ref key = module_full_name_key();
    if (!key) {
        return -1;
    }
    PyObject *existing;
    const int found = compat_dict_get_item_ref(modules, key.get(), &existing);
    Py_XDECREF(existing);  // only its presence matters
    if (found != 0) {
        return found < 0 ? -1 : 0;
    }
    if (PyDict_SetItem(modules, key.get(), module) < 0) {
        return -1;
    }
    *added = true;
    return 0;
}

// Takes back the entry module_register made, if it still maps to module, so
// that a later import under the full name does not find a failed module.
void module_unregister(PyObject *module) {
    PendingError keep;
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    Ref key = module_full_name_key();
    PyObject *entry = NULL;
    if (modules != NULL && key && compat_dict_get_item_ref(modules, key.get(), &entry) > 0 &&
        entry == module) {
        (void)PyDict_DelItem(modules, key.get());
    }
    Py_XDECREF(entry);
    // Whatever the clean-up raised gives way to the import's own error.
    PyErr_Clear();
}

int module_body_imports(int *line) {
    const StringTable &s = module_state.strings;
    PyObject *const typing_names[] = {s[S_Any], s[S_Dict]};
    *line = 18;
    if (import_names(s[S_typing], typing_names, 2, module_state.dict, s[S_dot]) < 0) {
        return -1;
    }
    PyObject *const pydantic_names[] = {s[S_BaseModel]};
    *line = 20;
    return import_names(s[S_pydantic], pydantic_names, 1, module_state.dict, s[S_dot]);
}

// class VelTarnCallbackModel(BaseModel):
//     """Callback Data Model for kernels to send data to server"""
//     procedure: str
//     status: str
//     msg: str
//     successful: Dict[str, Any]
//     failed: Dict[str, Any]
int module_body_class(int *line) {
    const StringTable &s = module_state.strings;
    const Annotation fields[] = {
        {s[S_procedure], s[S_str]},
        {s[S_status], s[S_str]},
        {s[S_msg], s[S_str]},
        {s[S_successful], s[S_dict_str_any]},
        {s[S_failed], s[S_dict_str_any]},
    };
    ClassStatement statement;
    statement.globals = module_state.dict;
    statement.builtins = module_state.builtins;
    statement.cache = &module_state.base_lookup_cache;
    statement.strings = &module_state.strings;
    statement.name = s[S_VelTarnCallbackModel];
    statement.base_name = s[S_BaseModel];
    statement.module_name = s[S_module_name];
    statement.doc = s[S_model_doc];
    statement.annotations = fields;
    statement.annotation_count = sizeof fields / sizeof fields[0];
    *line = 23;
    return run_class_statement(&statement);
}

int module_bind_test_dict() {
    Ref test = Ref::steal(PyDict_New());
    if (!test) {
        return -1;
    }
    return PyDict_SetItem(module_state.dict, module_state.strings[S_test_key], test.get());
}

// Stores the new reference owned (which may be NULL) in *field and releases
// what the field held.  -1 when owned is NULL.
int module_state_store(PyObject **field, PyObject *owned) {
    Py_XSETREF(*field, owned);
    return owned != NULL ? 0 : -1;
}

// An exec once module_state.module is set: nothing to do for that very
// module, a refusal for any other.
int module_exec_settled(PyObject *module) {
    if (module_state.module == module) {
        return 0;
    }
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'callback_model' has already been imported. Re-initialisation is "
                    "not supported.");
    return -1;
}

// The exec proper, run by the holder of exec_lock on a module that is not
// initialised.  Receives a borrowed module.  Each set-up step stores its
// result in module_state before testing it; on failure the fields of earlier
// steps keep their values until a later run replaces them.
int module_exec_locked(PyObject *module) {
    int line = 1;
    bool string_table_ready = false;
    bool registered = false;

    Py_INCREF(module);
    module_state.module = module;

    // A reference left by an earlier failed run is released only once its
    // replacement is in place.
    if (module_state_store(&module_state.dict, Ref::borrow(PyModule_GetDict(module)).release()) < 0 ||
        module_state_store(&module_state.builtins, compat_import_add_module_ref("builtins")) < 0 ||
        module_state_store(&module_state.runtime_module, compat_import_add_module_ref("cython_runtime")) < 0) {
        goto error;
    }
    if (PyObject_SetAttrString(module, "__builtins__", module_state.builtins) < 0 ||
        check_runtime_version() < 0 ||
        string_table_init(&module_state.strings) < 0) {
        goto error;
    }
    string_table_ready = true;
    if (module_register(module, &registered) < 0 ||
        module_body_imports(&line) < 0 ||
        module_body_class(&line) < 0) {
        goto error;
    }
    line = 1;
    if (module_bind_test_dict() < 0) {
        goto error;
    }
    return 0;

error:
    if (module_state.dict != NULL && string_table_ready) {
        add_traceback(line);
    }
    if (registered) {
        module_unregister(module);
    }
    Py_CLEAR(module_state.module);
    return -1;
}

// The exec slot.  One exec runs at a time: another thread's create or exec
// waits for it, then sees the finished module or, after a failure, starts
// over.  The running thread itself, back through the body's imports, gets
// the module being initialised at once.
int module_exec(PyObject *module) {
    const unsigned long self = compat_thread_id();
    if (lifecycle.exec_owner.load() == self) {
        return module_exec_settled(module);
    }
    if (compat_mutex_lock(&lifecycle.exec_lock) < 0) {
        return -1;
    }
    int rc;
    if (module_state.module != NULL) {
        rc = module_exec_settled(module);
    } else {
        lifecycle.exec_owner.store(self);
        rc = module_exec_locked(module);
        lifecycle.exec_owner.store(0);
    }
    compat_mutex_unlock(&lifecycle.exec_lock);
    return rc;
}

}  // namespace

uint32_t parse_runtime_version(const char *version) {
    uint32_t result = 0;
    uint32_t factor = 0x01000000u;
    const char *p = version;
    while (factor != 0) {
        uint32_t component = 0;
        while (*p >= '0' && *p <= '9') {
            component = component * 10u + static_cast<uint32_t>(*p - '0');
            ++p;
        }
        result += factor * component;
        if (*p != '.') {
            break;
        }
        ++p;
        factor >>= 8;
    }
    return result;
}

int check_runtime_version() {
    if (module_state.runtime_version == 0) {
        module_state.runtime_version = parse_runtime_version(Py_GetVersion());
    }
    const uint32_t version = module_state.runtime_version;
    if ((version & 0xFFFF0000u) == kBuildVersion) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, kFullModuleName, "does not match",
                  static_cast<int>(version >> 24), static_cast<int>((version >> 16) & 0xFFu));
    return PyErr_WarnEx(NULL, message, 1) < 0 ? -1 : 0;
}

}  // namespace callback_model

namespace {

PyMethodDef callback_model_methods[] = {
    {NULL, NULL, 0, NULL},  // sentinel: the module exports no functions
};

PyModuleDef_Slot callback_model_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(callback_model::module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(callback_model::module_exec)},
    CALLBACK_MODEL_COMPAT_GIL_SLOT
    {0, NULL},
};

PyModuleDef callback_model_definition = {
    PyModuleDef_HEAD_INIT,
    "callback_model",        // m_name
    NULL,                    // m_doc: the module's __doc__ is None
    0,                       // m_size: all state is process-wide
    callback_model_methods,  // m_methods
    callback_model_slots,    // m_slots
    NULL,                    // m_traverse
    NULL,                    // m_clear
    NULL,                    // m_free
};

// PyModuleDef_Init writes the definition's header the first time: threads
// that import at once must not do that together, so the first call runs
// under a lock, and every later one only reads.
std::atomic<bool> definition_ready{false};
callback_model::CompatMutex definition_lock{};

PyObject *definition_init() {
    if (!definition_ready.load()) {
        if (callback_model::compat_mutex_lock(&definition_lock) < 0) {
            return NULL;
        }
        if (!definition_ready.load()) {
            PyModuleDef_Init(&callback_model_definition);
            definition_ready.store(true);
        }
        callback_model::compat_mutex_unlock(&definition_lock);
    }
    return PyModuleDef_Init(&callback_model_definition);
}

}  // namespace

// PyMODINIT_FUNC of this interpreter version does not mark the symbol visible
// on its own; everything else in the library stays hidden.
#if defined(_WIN32)
PyMODINIT_FUNC PyInit_callback_model(void) {
#else
extern "C" __attribute__((visibility("default"))) PyObject *PyInit_callback_model(void) {
#endif
    return definition_init();
}
