// The callback_model extension module: entry point, module definition,
// create and exec slots, and the module body that defines
// VelTarnCallbackModel.
#include <stdlib.h>

#include <atomic>
#include <new>

#include "calls.h"
#include "module_state.h"
#include "name_import.h"
#include "py_compat.h"
#include "ref.h"

namespace callback_model {

namespace {

const char kFullModuleName[] = "vel_tarn.server.misc.models.callback_model";

// The first runtime's record, and the current one (module_state.h).  Both
// have constant initialisers, so they are set up at load time with no code
// of their own (the library has no constructors).
Runtime first_runtime;
std::atomic<Runtime *> runtime{&first_runtime};

}  // namespace

Runtime *current_runtime() {
    return runtime.load();
}

namespace {

// The full dotted name as a new str: the key of the module table entry
// (always the constant's text, whatever the string table decoded), of the
// runtime mark and of an adoption (module_exec_through_import).
Ref full_name() {
    return Ref::steal(PyUnicode_FromString(kFullModuleName));
}

// The module table's entry under the full dotted name: 1 with *entry set, 0
// when there is none, or -1 with an exception set.
int full_name_entry(Ref *entry) {
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    Ref key = full_name();
    if (modules == NULL || !key) {
        return -1;
    }
    PyObject *found = NULL;
    const int rc = compat_dict_get_item_ref(modules, key.get(), &found);
    *entry = Ref::steal(found);
    return rc;
}

// Whether the running runtime has been marked as one the module has met: 1,
// 0, or -1 with an exception set.  The mark is an entry in the main
// interpreter's own dictionary, which the runtime clears when it is
// finalised, so a runtime that follows starts unmarked.
int runtime_marked(bool mark) {
    PyObject *dict = compat_interpreter_dict(PyInterpreterState_Main());  // borrowed
    Ref key = full_name();
    if (dict == NULL || !key) {
        if (!PyErr_Occurred()) {
            PyErr_NoMemory();
        }
        return -1;
    }
    if (mark) {
        return PyDict_SetItem(dict, key.get(), Py_None) < 0 ? -1 : 1;
    }
    PyObject *found;
    const int rc = compat_dict_get_item_ref(dict, key.get(), &found);
    Py_XDECREF(found);
    return rc;
}

// The record of the runtime an import runs in.  A record whose interpreter
// is pinned but whose runtime left no mark belongs to a runtime that has
// ended: a new record takes its place and keeps the old one reachable.
// NULL with an exception set on failure.
Runtime *runtime_of_this_import() {
    Runtime *current = runtime.load();
    if (current->interpreter_id.load() == -1) {
        return current;
    }
    const int marked = runtime_marked(false);
    if (marked != 0) {
        return marked > 0 ? current : NULL;
    }
    void *memory = malloc(sizeof(Runtime));
    if (memory == NULL) {
        PyErr_NoMemory();
        return NULL;
    }
    Runtime *fresh = new (memory) Runtime();
    fresh->retired = current;
    if (!runtime.compare_exchange_strong(current, fresh)) {
        free(memory);  // another thread of this runtime made the new record first
    }
    return runtime.load();
}

// Releases what the module holds of the interpreter it is pinned to, while
// that interpreter can still free it: called by the atexit module when the
// interpreter ends (the runtime's end, or a sub-interpreter's).  The module
// objects themselves live on in the module table until the interpreter
// tears it down.  Skipped while an exec runs (a thread left inside it).  A
// later import in the ending interpreter builds the module anew.
PyObject *runtime_release(PyObject *, PyObject *) {
    Runtime *rt = current_runtime();
    unsigned long idle = 0;
    if (rt->exec_thread.compare_exchange_strong(idle, compat_thread_id())) {
        ModuleState &st = rt->state;
        rt->ready.store(nullptr);
        Py_CLEAR(st.module);
        Py_CLEAR(st.dict);
        Py_CLEAR(st.builtins);
        Py_CLEAR(st.runtime_module);
        for (PyObject *&entry : st.strings.entry) {
            Py_CLEAR(entry);
        }
        for (int32_t i = 0; i < st.code_cache.count; ++i) {
            Py_CLEAR(st.code_cache.entries[i].code);
        }
        PyMem_Free(st.code_cache.entries);
        st.code_cache = CodeObjectCache();
        st.base_lookup_cache = GlobalLookupCache();
        rt->exec_thread.store(0);
    }
    Py_RETURN_NONE;
}

PyMethodDef runtime_release_method = {"callback_model_release", runtime_release, METH_NOARGS, NULL};

// Has the calling interpreter's atexit module run runtime_release.  Where
// that cannot be done, the module works all the same and only keeps what it
// holds past the interpreter's end.
void runtime_release_at_exit() {
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref release = atexit ? Ref::steal(PyCFunction_New(&runtime_release_method, NULL)) : Ref();
    Ref done = release ? Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", release.get())) : Ref();
    if (!done) {
        PyErr_Clear();
    }
}

// Pins the module to the calling interpreter, the first time in a runtime:
// 0, or -1 with an exception set.  The runtime is marked before the pin is
// published, so whoever sees the pin also sees the mark.
int pin_interpreter(Runtime *rt) {
    const int64_t id = PyInterpreterState_GetID(compat_current_interpreter());
    if (id == -1) {
        return -1;
    }
    int64_t pinned = rt->interpreter_id.load();
    if (pinned == -1) {
        if (runtime_marked(true) < 0) {
            return -1;
        }
        if (rt->interpreter_id.compare_exchange_strong(pinned, id)) {
            runtime_release_at_exit();
            return 0;
        }
    }
    if (id == pinned) {
        return 0;
    }
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return -1;
}

// obj.<name> into *value: 0 (*value empty when there is no such attribute),
// or -1 with an exception set.
int optional_attr(PyObject *obj, const char *name, Ref *value) {
    *value = Ref::steal(PyObject_GetAttrString(obj, name));
    if (*value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return *value ? 0 : -1;
    }
    PyErr_Clear();
    return 0;
}

// Whether the full dotted name resolves to the file at origin: the module
// table's entry under that name if there is one, else what the import system
// finds for it, must be a module of that same file.  1, 0 (another file, or
// nothing: a parent package that cannot be imported counts as nothing), or
// -1 with an exception set.
int full_name_resolves_to(PyObject *origin) {
    if (origin == NULL || !PyUnicode_Check(origin)) {
        return 0;
    }
    Ref owner;
    const int found = full_name_entry(&owner);
    if (found < 0) {
        return -1;
    }
    Ref file;
    if (found > 0) {
        if (optional_attr(owner.get(), "__file__", &file) < 0) {
            return -1;
        }
    } else {
        Ref util = Ref::steal(PyImport_ImportModule("importlib.util"));
        Ref spec = util ? Ref::steal(PyObject_CallMethod(util.get(), "find_spec", "s", kFullModuleName)) : Ref();
        if (!spec) {
            if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
                return -1;
            }
            PyErr_Clear();  // a parent package that cannot be imported
            return 0;
        }
        if (spec.get() != Py_None && optional_attr(spec.get(), "origin", &file) < 0) {
            return -1;
        }
    }
    if (!file || !PyUnicode_Check(file.get())) {
        return 0;
    }
    const int equal = PyUnicode_Compare(file.get(), origin);
    if (equal == 0 || PyErr_Occurred()) {
        return equal == 0 ? 1 : -1;
    }
    Ref path = Ref::steal(PyImport_ImportModule("os.path"));
    Ref same = path ? Ref::steal(PyObject_CallMethod(path.get(), "samefile", "OO", origin, file.get())) : Ref();
    if (!same) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) {
            return -1;
        }
        PyErr_Clear();  // one of them is no file
        return 0;
    }
    return PyObject_IsTrue(same.get());
}

// The module as an import of the full dotted name gets it, through the
// import system: a thread waits there, as for any module, while another
// thread imports that name; the wait answers to signals and to the import
// system's deadlock detection.  What it waited for counts only while it is
// still the entry: an import that failed has left the module table (and
// another may have begun since), and its module object must never be handed
// out, since the interpreter skips the exec of an object whose exec has run.
// It then imports again.  New reference, or NULL with an exception set.
Ref import_full_name() {
    Ref key = full_name();
    Ref fromlist = key ? Ref::steal(PyTuple_Pack(1, key.get())) : Ref();
    Ref module;
    for (int attempt = 0; fromlist && attempt < 8; ++attempt) {
        // A from-list makes the import hand back the module itself.
        module = Ref::steal(PyImport_ImportModuleLevelObject(key.get(), NULL, NULL, fromlist.get(), 0));
        Ref current;
        if (!module || full_name_entry(&current) < 0) {
            return Ref();
        }
        if (current.get() == module.get()) {
            return module;
        }
    }
    if (fromlist) {
        PyErr_Format(PyExc_ImportError, "import of %s failed in other threads", kFullModuleName);
    }
    return Ref();
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

// A new module object for spec, named name, with the spec's attributes
// copied in.
Ref module_new(PyObject *spec, PyObject *name) {
    Ref module = Ref::steal(PyModule_NewObject(name));
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

// A module object that create hands out again (an initialised one, or the
// one this thread is initialising).  The interpreter resets the per-module
// state pointer of whatever create returns without freeing it, and allocates
// a new one at the next exec: the one from the earlier exec is freed here,
// or each import after a removal from sys.modules would leak it.
PyObject *module_reused(Ref module) {
    if (module && PyModule_Check(module.get())) {
        compat_free_state_of_reused_module(module.get());
    }
    return module.release();
}

// The module object this thread has the import system initialise under the
// full dotted name (module_exec_through_import), or NULL.  1 when found, 0,
// or -1 with an exception set; *module is a new reference.
int module_adopted_by_this_thread(PyObject *key, PyObject **module) {
    PyObject *adoptions = PyThreadState_GetDict();  // borrowed
    *module = NULL;
    return adoptions != NULL ? compat_dict_get_item_ref(adoptions, key, module) : 0;
}

// Whether create defers to the import of the full dotted name: for a
// module spec of another name (the short name), and for one of the full
// name while that name's entry exists (the loader called directly), wherever
// the full name resolves to the module spec's own file.  1, 0, or -1 with
// an exception set.
int module_create_defers(PyObject *spec, bool full) {
    if (full) {
        Ref entry;  // only its presence matters
        const int found = full_name_entry(&entry);
        if (found <= 0) {
            return found;
        }
    }
    Ref origin;
    if (optional_attr(spec, "origin", &origin) < 0) {
        return -1;
    }
    return full_name_resolves_to(origin.get());
}

// The create slot.  Hands out the runtime's initialised module, or, to the
// thread that runs the exec, the module it is initialising.  An import under
// another name defers to the import of the full name, which waits where the
// import system can see it; otherwise a new object, which is never shared
// before its exec has run (the interpreter's exec_module skips the exec of a
// module object whose exec has begun, so a second thread would get it
// unfinished).
PyObject *module_create(PyObject *spec, PyModuleDef *) {
    Runtime *rt = runtime_of_this_import();
    if (rt == NULL || pin_interpreter(rt) < 0) {
        return NULL;
    }
    if (PyObject *ready = rt->ready.load()) {
        return module_reused(Ref::borrow(ready));
    }
    if (rt->exec_thread.load() == compat_thread_id() && rt->state.module != NULL) {
        return module_reused(Ref::borrow(rt->state.module));  // back through the body's own imports
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref key = name ? full_name() : Ref();
    if (!key) {
        return NULL;
    }
    const int full = PyUnicode_Check(name.get()) ? PyUnicode_Compare(name.get(), key.get()) == 0 : 0;
    if (PyErr_Occurred()) {
        return NULL;
    }
    if (full) {
        PyObject *adopted;
        const int found = module_adopted_by_this_thread(key.get(), &adopted);
        if (found != 0) {
            return found > 0 ? module_reused(Ref::steal(adopted)) : NULL;
        }
    }
    const int defers = module_create_defers(spec, full != 0);
    if (defers != 0) {
        return defers > 0 ? module_reused(import_full_name()) : NULL;
    }
    return module_new(spec, name.get()).release();
}

// Registers module under its full dotted name unless that name is taken.
// *added tells whether this call made the entry.
int module_register(PyObject *module, bool *added) {
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    if (modules == NULL) {
        return -1;
    }
    Ref key = full_name();
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
    Ref key = full_name();
    PyObject *entry = NULL;
    if (modules != NULL && key && compat_dict_get_item_ref(modules, key.get(), &entry) > 0 &&
        entry == module) {
        (void)PyDict_DelItem(modules, key.get());
    }
    Py_XDECREF(entry);
    // Whatever the clean-up raised gives way to the import's own error.
    PyErr_Clear();
}

int module_body_imports(const ModuleState &st, int *line) {
    const StringTable &s = st.strings;
    PyObject *const typing_names[] = {s[S_Any], s[S_Dict]};
    *line = 18;
    if (import_names(s[S_typing], typing_names, 2, st.dict, s[S_dot]) < 0) {
        return -1;
    }
    PyObject *const pydantic_names[] = {s[S_BaseModel]};
    *line = 20;
    return import_names(s[S_pydantic], pydantic_names, 1, st.dict, s[S_dot]);
}

// class VelTarnCallbackModel(BaseModel):
//     """Callback Data Model for kernels to send data to server"""
//     procedure: str
//     status: str
//     msg: str
//     successful: Dict[str, Any]
//     failed: Dict[str, Any]
int module_body_class(ModuleState &st, int *line) {
    const StringTable &s = st.strings;
    const Annotation fields[] = {
        {s[S_procedure], s[S_str]},
        {s[S_status], s[S_str]},
        {s[S_msg], s[S_str]},
        {s[S_successful], s[S_dict_str_any]},
        {s[S_failed], s[S_dict_str_any]},
    };
    ClassStatement statement;
    statement.globals = st.dict;
    statement.builtins = st.builtins;
    statement.cache = &st.base_lookup_cache;
    statement.strings = &st.strings;
    statement.name = s[S_VelTarnCallbackModel];
    statement.base_name = s[S_BaseModel];
    statement.module_name = s[S_module_name];
    statement.doc = s[S_model_doc];
    statement.annotations = fields;
    statement.annotation_count = sizeof fields / sizeof fields[0];
    *line = 23;
    return run_class_statement(&statement);
}

int module_bind_test_dict(const ModuleState &st) {
    Ref test = Ref::steal(PyDict_New());
    if (!test) {
        return -1;
    }
    return PyDict_SetItem(st.dict, st.strings[S_test_key], test.get());
}

// Stores the new reference owned (which may be NULL) in *field and releases
// what the field held.  -1 when owned is NULL.
int module_state_store(PyObject **field, PyObject *owned) {
    Py_XSETREF(*field, owned);
    return owned != NULL ? 0 : -1;
}

// An exec in a runtime whose module is already there (initialised, or being
// initialised by this thread): nothing to do for that very object, a refusal
// for any other.
int module_exec_refused_unless(PyObject *module, PyObject *existing) {
    if (module == existing) {
        return 0;
    }
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'callback_model' has already been imported. Re-initialisation is "
                    "not supported.");
    return -1;
}

// The exec proper, run by the thread that holds rt->exec_thread.  Receives
// a borrowed module.  Each set-up step stores its result in the state before
// testing it; on failure the fields of earlier steps keep their values until
// a later run replaces them.
int module_exec_claimed(Runtime *rt, PyObject *module) {
    ModuleState &st = rt->state;
    int line = 1;
    bool string_table_ready = false;
    bool registered = false;

    Py_INCREF(module);
    st.module = module;

    // A reference left by an earlier failed run is released only once its
    // replacement is in place.
    if (module_state_store(&st.dict, Ref::borrow(PyModule_GetDict(module)).release()) < 0 ||
        module_state_store(&st.builtins, compat_import_add_module_ref("builtins")) < 0 ||
        module_state_store(&st.runtime_module, compat_import_add_module_ref("cython_runtime")) < 0) {
        goto error;
    }
    if (PyObject_SetAttrString(module, "__builtins__", st.builtins) < 0 ||
        check_runtime_version() < 0 ||
        string_table_init(&st.strings) < 0) {
        goto error;
    }
    string_table_ready = true;
    if (module_register(module, &registered) < 0 ||
        module_body_imports(st, &line) < 0 ||
        module_body_class(st, &line) < 0) {
        goto error;
    }
    line = 1;
    if (module_bind_test_dict(st) < 0) {
        goto error;
    }
    rt->ready.store(module);
    return 0;

error:
    if (st.dict != NULL && string_table_ready) {
        add_traceback(line);
    }
    if (registered) {
        module_unregister(module);
    }
    Py_CLEAR(st.module);
    return -1;
}

// Whether module is the module table's entry under the full dotted name,
// as it is inside the import system's import of that name: 1, 0, or -1
// with an exception set.
int module_is_full_name_entry(PyObject *module) {
    Ref entry;  // only its identity matters
    const int found = full_name_entry(&entry);
    return found < 0 ? -1 : entry.get() == module;
}

// Whether an exec outside the import of the full dotted name (the loader
// called directly) has to run inside one: where that name resolves to the
// module's own file.  1, 0, or -1 with an exception set.
int module_exec_belongs_to_import(PyObject *module) {
    Ref file;
    if (optional_attr(module, "__file__", &file) < 0) {
        return -1;
    }
    return full_name_resolves_to(file.get());
}

// Has the import system import the full dotted name with module as the
// object that import's create hands out (module_create), so that its exec
// runs inside that import, under the import system's lock of the name.  An
// import that finds another object there has the exec of this one refused.
int module_exec_through_import(PyObject *module) {
    PyObject *adoptions = PyThreadState_GetDict();  // borrowed
    Ref key = full_name();
    if (adoptions == NULL || !key) {
        if (!PyErr_Occurred()) {
            PyErr_NoMemory();
        }
        return -1;
    }
    if (PyDict_SetItem(adoptions, key.get(), module) < 0) {
        return -1;
    }
    Ref imported = import_full_name();
    {
        PendingError keep;
        if (PyDict_DelItem(adoptions, key.get()) < 0) {
            PyErr_Clear();
        }
    }
    return imported ? module_exec_refused_unless(module, imported.get()) : -1;
}

// The exec slot.  Does nothing for a module its runtime already has; inside
// the import of the full name (or of a name that the full name does not
// stand for) it runs the exec, one thread at a time; a direct call has the
// import system run it instead.  Nobody waits here.
int module_exec(PyObject *module) {
    Runtime *rt = current_runtime();
    if (PyObject *ready = rt->ready.load()) {
        return module_exec_refused_unless(module, ready);
    }
    const unsigned long self = compat_thread_id();
    if (rt->exec_thread.load() == self) {
        return module_exec_refused_unless(module, rt->state.module);
    }
    const int entry = module_is_full_name_entry(module);
    const int belongs = entry == 0 ? module_exec_belongs_to_import(module) : 0;
    if (entry < 0 || belongs != 0) {
        return belongs > 0 ? module_exec_through_import(module) : -1;
    }
    unsigned long idle = 0;
    if (!rt->exec_thread.compare_exchange_strong(idle, self)) {
        // Another thread runs the exec.  Under the full name the import
        // system allows one object, so this is that thread's module, reached
        // through an import cycle: it is handed out partial, as a plain
        // module would be.  Any other object is refused.
        return entry > 0 ? 0 : module_exec_refused_unless(module, NULL);
    }
    const int rc = module_exec_claimed(rt, module);
    rt->exec_thread.store(0);
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
    ModuleState &st = module_state();
    if (st.runtime_version == 0) {
        st.runtime_version = parse_runtime_version(Py_GetVersion());
    }
    const uint32_t version = st.runtime_version;
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
// that import at once must not do that together (own-GIL sub-interpreters
// and free-threaded builds run PyInit_ in parallel), so the first caller
// does it and the others spin for the few instructions it takes; it runs no
// Python code and cannot block.  Every later call only reads.
std::atomic<int> definition_state{0};  // 0 untouched, 1 being readied, 2 ready

PyObject *definition_init() {
    int state = definition_state.load();
    if (state != 2) {
        if (state == 0 && definition_state.compare_exchange_strong(state, 1)) {
            PyModuleDef_Init(&callback_model_definition);
            definition_state.store(2);
        }
        while (definition_state.load() != 2) {
        }
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
