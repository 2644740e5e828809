// _callback_model_probe: a test-only extension that reaches the module's
// internals, linked from the same objects as callback_model itself.  It runs
// them against its own copy of the process-wide state and is never installed.
#include <Python.h>
#include <frameobject.h>
#include <stddef.h>

#include "calls.h"
#include "class_construction.h"
#include "module_state.h"
#include "name_import.h"
#include "py_compat.h"
#include "ref.h"

using namespace callback_model;

extern "C" PyObject *PyInit_callback_model(void);

namespace {

GlobalLookupCache probe_cache;

// --- allocation failure injection -----------------------------------------

// Fails exactly the nth allocation (counting from 0) made through the
// object and mem domains while armed; every other allocation goes through.
struct CountdownAllocator {
    PyMemAllocatorEx saved_obj;
    PyMemAllocatorEx saved_mem;
    long remaining;
    bool fired;
};

CountdownAllocator countdown;

bool countdown_hit() {
    if (countdown.fired) {
        return false;
    }
    if (countdown.remaining-- == 0) {
        countdown.fired = true;
        return true;
    }
    return false;
}

void *countdown_malloc(void *ctx, size_t size) {
    auto *saved = static_cast<PyMemAllocatorEx *>(ctx);
    return countdown_hit() ? NULL : saved->malloc(saved->ctx, size);
}
void *countdown_calloc(void *ctx, size_t n, size_t size) {
    auto *saved = static_cast<PyMemAllocatorEx *>(ctx);
    return countdown_hit() ? NULL : saved->calloc(saved->ctx, n, size);
}
void *countdown_realloc(void *ctx, void *ptr, size_t size) {
    auto *saved = static_cast<PyMemAllocatorEx *>(ctx);
    return countdown_hit() ? NULL : saved->realloc(saved->ctx, ptr, size);
}
void countdown_free(void *ctx, void *ptr) {
    auto *saved = static_cast<PyMemAllocatorEx *>(ctx);
    saved->free(saved->ctx, ptr);
}

// While alive, the nth allocation from now fails; fired() tells whether it
// was reached.
class AllocationFailure {
public:
    explicit AllocationFailure(long n) {
        PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &countdown.saved_obj);
        PyMem_GetAllocator(PYMEM_DOMAIN_MEM, &countdown.saved_mem);
        countdown.remaining = n;
        countdown.fired = false;
        PyMemAllocatorEx obj = {&countdown.saved_obj, countdown_malloc, countdown_calloc,
                                countdown_realloc, countdown_free};
        PyMemAllocatorEx mem = {&countdown.saved_mem, countdown_malloc, countdown_calloc,
                                countdown_realloc, countdown_free};
        PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &obj);
        PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &mem);
    }
    ~AllocationFailure() {
        PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &countdown.saved_obj);
        PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &countdown.saved_mem);
    }
    AllocationFailure(const AllocationFailure &) = delete;
    AllocationFailure &operator=(const AllocationFailure &) = delete;
    bool fired() const { return countdown.fired; }
};

// --- version check -----------------------------------------------------------

PyObject *probe_parse_version(PyObject *, PyObject *arg) {
    const char *text = PyUnicode_AsUTF8(arg);
    if (text == NULL) {
        return NULL;
    }
    return PyLong_FromUnsignedLong(parse_runtime_version(text));
}

// Runs the version check as if the interpreter reported the given version.
PyObject *probe_check_version(PyObject *, PyObject *arg) {
    const char *text = PyUnicode_AsUTF8(arg);
    if (text == NULL) {
        return NULL;
    }
    const uint32_t saved = module_state().runtime_version;
    module_state().runtime_version = parse_runtime_version(text);
    const int rc = check_runtime_version();
    module_state().runtime_version = saved;
    if (rc < 0) {
        return NULL;
    }
    Py_RETURN_NONE;
}

// Keeps the given version for every later check in this process.
PyObject *probe_set_runtime_version(PyObject *, PyObject *arg) {
    const char *text = PyUnicode_AsUTF8(arg);
    if (text == NULL) {
        return NULL;
    }
    module_state().runtime_version = parse_runtime_version(text);
    Py_RETURN_NONE;
}

// --- the module definition, driven directly -----------------------------------

PyModuleDef *probe_definition_of_module() {
    return reinterpret_cast<PyModuleDef *>(PyInit_callback_model());
}

// Runs the create slot (and the interpreter guard) with any module spec object.
PyObject *probe_definition_create(PyObject *, PyObject *spec) {
    return PyModule_FromDefAndSpec(probe_definition_of_module(), spec);
}

// Runs the exec slot on any module object.
PyObject *probe_definition_exec(PyObject *, PyObject *module) {
    if (PyModule_ExecDef(module, probe_definition_of_module()) < 0) {
        return NULL;
    }
    Py_RETURN_NONE;
}

// exec_failing_at(module, n): runs the exec slot with the nth allocation
// failing.  Returns whether that allocation was reached; the exec's own
// exception, if any, propagates.
PyObject *probe_exec_failing_at(PyObject *, PyObject *args) {
    PyObject *module;
    long n;
    if (!PyArg_ParseTuple(args, "Ol", &module, &n)) {
        return NULL;
    }
    int rc;
    bool fired;
    {
        AllocationFailure failure(n);
        rc = PyModule_ExecDef(module, probe_definition_of_module());
        fired = failure.fired();
    }
    if (rc < 0) {
        return NULL;
    }
    return PyBool_FromLong(fired);
}

// --- name import -----------------------------------------------------------------

PyObject *probe_import_names(PyObject *, PyObject *args) {
    PyObject *module_name;
    PyObject *names;
    PyObject *globals;
    if (!PyArg_ParseTuple(args, "UO!O!", &module_name, &PyTuple_Type, &names, &PyDict_Type,
                          &globals)) {
        return NULL;
    }
    if (import_names(module_name, &PyTuple_GET_ITEM(names, 0), PyTuple_GET_SIZE(names), globals,
                     module_state().strings[S_dot]) < 0) {
        return NULL;
    }
    Py_RETURN_NONE;
}

// --- code cache and traceback -----------------------------------------------

PyObject *probe_code_cache_insert(PyObject *, PyObject *args) {
    int line;
    PyObject *code;
    int fail_alloc = 0;
    if (!PyArg_ParseTuple(args, "iO!|p", &line, &PyCode_Type, &code, &fail_alloc)) {
        return NULL;
    }
    // With fail_alloc, the insertion's first allocation fails.
    AllocationFailure failure(fail_alloc ? 0 : -1);
    code_cache_insert(line, reinterpret_cast<PyCodeObject *>(code));
    Py_RETURN_NONE;
}

PyObject *probe_code_cache_find(PyObject *, PyObject *arg) {
    const long line = PyLong_AsLong(arg);
    if (line == -1 && PyErr_Occurred()) {
        return NULL;
    }
    PyCodeObject *code = code_cache_find(static_cast<int>(line));
    if (code == NULL) {
        Py_RETURN_NONE;
    }
    return reinterpret_cast<PyObject *>(code);
}

// (count, capacity, [lines in order])
PyObject *probe_code_cache_state(PyObject *, PyObject *) {
    const CodeObjectCache &cache = module_state().code_cache;
    Ref lines = Ref::steal(PyList_New(cache.count));
    if (!lines) {
        return NULL;
    }
    for (int32_t i = 0; i < cache.count; ++i) {
        PyObject *line = PyLong_FromLong(cache.entries[i].line);
        if (line == NULL) {
            return NULL;
        }
        PyList_SET_ITEM(lines.get(), i, line);
    }
    return Py_BuildValue("iiO", cache.count, cache.capacity, lines.get());
}

// Raises exc with one traceback entry added at line.
PyObject *probe_raise_with_traceback(PyObject *, PyObject *args) {
    int line;
    PyObject *exc;
    int fail_code = 0;
    if (!PyArg_ParseTuple(args, "iO|p", &line, &exc, &fail_code)) {
        return NULL;
    }
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
    // With fail_code, the first allocation (that of the code object) fails.
    AllocationFailure failure(fail_code ? 0 : -1);
    add_traceback(line);
    return NULL;
}

// --- calls and probes ----------------------------------------------------------

// fast_call(callable, *args) with the vector layout the module uses.
PyObject *probe_fast_call(PyObject *, PyObject *args) {
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n < 2 || n > 4) {
        PyErr_SetString(PyExc_TypeError, "fast_call takes a callable and 1 to 3 arguments");
        return NULL;
    }
    PyObject *argv[4] = {NULL, NULL, NULL, NULL};
    for (Py_ssize_t i = 1; i < n; ++i) {
        argv[i] = PyTuple_GET_ITEM(args, i);
    }
    return fast_call(PyTuple_GET_ITEM(args, 0), argv + 1,
                     static_cast<size_t>(n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET);
}

// (found, value); raises what the probe left pending.
PyObject *probe_getattr_no_error(PyObject *, PyObject *args) {
    PyObject *obj;
    PyObject *name;
    if (!PyArg_ParseTuple(args, "OU", &obj, &name)) {
        return NULL;
    }
    Ref value = Ref::steal(getattr_no_error(obj, name));
    if (!value) {
        if (PyErr_Occurred()) {
            return NULL;
        }
        return Py_BuildValue("(OO)", Py_False, Py_None);
    }
    return Py_BuildValue("(OO)", Py_True, value.get());
}

PyObject *probe_is_subtype(PyObject *, PyObject *args) {
    PyObject *a;
    PyObject *b;
    if (!PyArg_ParseTuple(args, "O!O!", &PyType_Type, &a, &PyType_Type, &b)) {
        return NULL;
    }
    return PyBool_FromLong(is_subtype(reinterpret_cast<PyTypeObject *>(a),
                                      reinterpret_cast<PyTypeObject *>(b)));
}

// --- class construction -------------------------------------------------------

PyObject *probe_get_module_global(PyObject *, PyObject *args) {
    PyObject *globals;
    PyObject *builtins;
    PyObject *name;
    if (!PyArg_ParseTuple(args, "O!OU", &PyDict_Type, &globals, &builtins, &name) ||
        PyObject_Hash(name) == -1) {
        return NULL;
    }
    return get_module_global(globals, builtins, name, &probe_cache);
}

// (version, value) of the probe's lookup cache.
PyObject *probe_lookup_cache(PyObject *, PyObject *) {
    return Py_BuildValue("(KO)", static_cast<unsigned long long>(probe_cache.version),
                         probe_cache.value != NULL ? probe_cache.value : Py_None);
}

// Replaces the cached value, keeping the version: a later hit returns it.
PyObject *probe_set_lookup_cache_value(PyObject *self, PyObject *value) {
    // The cache borrows; the probe module keeps the object alive.
    if (PyObject_SetAttrString(self, "_cached_value", value) < 0) {
        return NULL;
    }
    probe_cache.value = value;
    Py_RETURN_NONE;
}

PyObject *probe_dict_version(PyObject *, PyObject *arg) {
    if (!PyDict_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "dict expected");
        return NULL;
    }
    uint64_t version;
    if (!compat_dict_version(arg, &version)) {
        Py_RETURN_NONE;  // the interpreter keeps no usable version tag
    }
    return PyLong_FromUnsignedLongLong(version);
}

PyObject *probe_update_bases(PyObject *, PyObject *arg) {
    if (!PyTuple_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "tuple expected");
        return NULL;
    }
    return update_bases(arg, &module_state().strings);
}

PyObject *probe_calculate_metaclass(PyObject *, PyObject *arg) {
    if (!PyTuple_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "tuple expected");
        return NULL;
    }
    return calculate_metaclass(arg);
}

// run_class_statement(globals, builtins, name, base_name, doc, [(field, text)])
// with a lookup cache of its own.
PyObject *probe_run_class_statement(PyObject *, PyObject *args) {
    PyObject *globals;
    PyObject *builtins;
    PyObject *name;
    PyObject *base_name;
    PyObject *doc;
    PyObject *fields;
    if (!PyArg_ParseTuple(args, "O!OUUOO!", &PyDict_Type, &globals, &builtins, &name, &base_name,
                          &doc, &PyList_Type, &fields)) {
        return NULL;
    }
    Annotation annotations[8];
    const Py_ssize_t count = PyList_GET_SIZE(fields);
    if (count > 8) {
        PyErr_SetString(PyExc_ValueError, "at most 8 fields");
        return NULL;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PyList_GET_ITEM(fields, i);
        if (!PyArg_ParseTuple(item, "UU", &annotations[i].name, &annotations[i].text) ||
            PyObject_Hash(annotations[i].name) == -1) {
            return NULL;
        }
    }
    if (PyObject_Hash(name) == -1 || PyObject_Hash(base_name) == -1) {
        return NULL;
    }
    GlobalLookupCache cache = {0, NULL};
    ClassStatement statement;
    statement.globals = globals;
    statement.builtins = builtins;
    statement.cache = &cache;
    statement.strings = &module_state().strings;
    statement.name = name;
    statement.base_name = base_name;
    statement.module_name = module_state().strings[S_module_name];
    statement.doc = doc == Py_None ? NULL : doc;
    statement.annotations = annotations;
    statement.annotation_count = count;
    if (run_class_statement(&statement) < 0) {
        return NULL;
    }
    Py_RETURN_NONE;
}

// --- string table ---------------------------------------------------------------

PyObject *probe_string_table(PyObject *, PyObject *) {
    Ref list = Ref::steal(PyList_New(kStringCount));
    if (!list) {
        return NULL;
    }
    for (int i = 0; i < kStringCount; ++i) {
        PyObject *s = module_state().strings[static_cast<StringId>(i)];
        Py_INCREF(s);
        PyList_SET_ITEM(list.get(), i, s);
    }
    return list.release();
}

PyObject *probe_string_init(PyObject *, PyObject *) {
    if (string_table_init(&module_state().strings) < 0) {
        return NULL;
    }
    Py_RETURN_NONE;
}

PyObject *probe_string_stream(PyObject *, PyObject *) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(kStringStream),
                                     static_cast<Py_ssize_t>(sizeof kStringStream));
}

// The compiled sizes of the interpreter structures the module reads, keyed by
// the type whose __basicsize__ they must equal; None where opaque.
PyObject *probe_struct_sizes(PyObject *, PyObject *) {
    const Py_ssize_t frame = compat_frame_object_size();
    PyObject *frame_size = frame < 0 ? (Py_INCREF(Py_None), Py_None) : PyLong_FromSsize_t(frame);
    if (frame_size == NULL) {
        return NULL;
    }
    return Py_BuildValue("{snsnsnsnsnsN}",
                         "type", static_cast<Py_ssize_t>(sizeof(PyHeapTypeObject)),
                         "dict", static_cast<Py_ssize_t>(sizeof(PyDictObject)),
                         "str", static_cast<Py_ssize_t>(sizeof(PyUnicodeObject)),
                         "builtin_function_or_method", static_cast<Py_ssize_t>(sizeof(PyCFunctionObject)),
                         "code", compat_code_object_size(),
                         "frame", frame_size);
}

PyMethodDef probe_methods[] = {
    {"struct_sizes", probe_struct_sizes, METH_NOARGS, NULL},
    {"parse_version", probe_parse_version, METH_O, NULL},
    {"check_version", probe_check_version, METH_O, NULL},
    {"set_runtime_version", probe_set_runtime_version, METH_O, NULL},
    {"definition_create", probe_definition_create, METH_O, NULL},
    {"definition_exec", probe_definition_exec, METH_O, NULL},
    {"exec_failing_at", probe_exec_failing_at, METH_VARARGS, NULL},
    {"import_names", probe_import_names, METH_VARARGS, NULL},
    {"code_cache_insert", probe_code_cache_insert, METH_VARARGS, NULL},
    {"code_cache_find", probe_code_cache_find, METH_O, NULL},
    {"code_cache_state", probe_code_cache_state, METH_NOARGS, NULL},
    {"raise_with_traceback", probe_raise_with_traceback, METH_VARARGS, NULL},
    {"fast_call", probe_fast_call, METH_VARARGS, NULL},
    {"getattr_no_error", probe_getattr_no_error, METH_VARARGS, NULL},
    {"is_subtype", probe_is_subtype, METH_VARARGS, NULL},
    {"get_module_global", probe_get_module_global, METH_VARARGS, NULL},
    {"lookup_cache", probe_lookup_cache, METH_NOARGS, NULL},
    {"set_lookup_cache_value", probe_set_lookup_cache_value, METH_O, NULL},
    {"dict_version", probe_dict_version, METH_O, NULL},
    {"update_bases", probe_update_bases, METH_O, NULL},
    {"calculate_metaclass", probe_calculate_metaclass, METH_O, NULL},
    {"run_class_statement", probe_run_class_statement, METH_VARARGS, NULL},
    {"string_table", probe_string_table, METH_NOARGS, NULL},
    {"string_init", probe_string_init, METH_NOARGS, NULL},
    {"string_stream", probe_string_stream, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

// --- callees for fast_call ------------------------------------------------------

// Callee(vectorcall): with vectorcall set, calls arrive through the vector
// entry and report ("vectorcall", offset_bit_set, args); otherwise through
// tp_call as ("tp_call", args).  Callee(None) returns NULL without an error.
struct CalleeObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    int return_null;
};

PyObject *callee_vectorcall(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    Ref tuple = Ref::steal(PyTuple_New(n));
    if (!tuple) {
        return NULL;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple.get(), i, args[i]);
    }
    return Py_BuildValue("(sOOO)", "vectorcall",
                         (nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET) ? Py_True : Py_False,
                         tuple.get(), kwnames != NULL ? kwnames : Py_None);
}

PyObject *callee_call(PyObject *self, PyObject *args, PyObject *) {
    if (reinterpret_cast<CalleeObject *>(self)->return_null) {
        return NULL;
    }
    return Py_BuildValue("(sO)", "tp_call", args);
}

PyObject *callee_new(PyTypeObject *type, PyObject *args, PyObject *) {
    PyObject *mode;
    if (!PyArg_ParseTuple(args, "O", &mode)) {
        return NULL;
    }
    auto *self = reinterpret_cast<CalleeObject *>(type->tp_alloc(type, 0));
    if (self == NULL) {
        return NULL;
    }
    self->vectorcall = PyObject_IsTrue(mode) ? callee_vectorcall : NULL;
    self->return_null = mode == Py_None;
    return reinterpret_cast<PyObject *>(self);
}

PyTypeObject CalleeType;  // filled in by probe_exec

int probe_exec(PyObject *module) {
    compat_set_refcount(reinterpret_cast<PyObject *>(&CalleeType), 1);
    CalleeType.tp_name = "_callback_model_probe.Callee";
    CalleeType.tp_basicsize = sizeof(CalleeObject);
    CalleeType.tp_flags = Py_TPFLAGS_DEFAULT | kCompatVectorcallFlag;
    CalleeType.tp_vectorcall_offset = offsetof(CalleeObject, vectorcall);
    CalleeType.tp_call = callee_call;
    CalleeType.tp_new = callee_new;
    if (PyType_Ready(&CalleeType) < 0) {
        return -1;
    }
    Py_INCREF(&CalleeType);
    if (PyModule_AddObject(module, "Callee", reinterpret_cast<PyObject *>(&CalleeType)) < 0) {
        Py_DECREF(&CalleeType);
        return -1;
    }
    // Traceback entries made through the probe use its own module globals.
    module_state().dict = PyModule_GetDict(module);
    Py_INCREF(module_state().dict);
    if (PyDict_SetItemString(module_state().dict, "__builtins__", PyEval_GetBuiltins()) < 0) {
        return -1;
    }
    return string_table_init(&module_state().strings);
}

PyModuleDef_Slot probe_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(probe_exec)},
    CALLBACK_MODEL_COMPAT_GIL_SLOT
    {0, NULL},
};

PyModuleDef probe_definition = {
    PyModuleDef_HEAD_INIT, "_callback_model_probe", NULL, 0, probe_methods, probe_slots,
    NULL, NULL, NULL,
};

}  // namespace

// PyMODINIT_FUNC of this interpreter version does not mark the symbol visible
// on its own; everything else in the library stays hidden.
#if defined(_WIN32)
PyMODINIT_FUNC PyInit__callback_model_probe(void) {
#else
extern "C" __attribute__((visibility("default"))) PyObject *PyInit__callback_model_probe(void) {
#endif
    return PyModuleDef_Init(&probe_definition);
}
