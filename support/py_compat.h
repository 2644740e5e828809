// Every difference between the CPython versions the module builds for lives
// here, behind small inline functions named for what they do.  No other file
// tests PY_VERSION_HEX or Py_GIL_DISABLED: each sees one API on every version.
// Which versions a build accepts is the build's business (the one list of
// targets, read by CMake); 3.8 is the oldest API this header knows.
#pragma once

#include <Python.h>
#include <frameobject.h>
#include <stddef.h>
#include <stdint.h>

#if PY_VERSION_HEX < 0x03080000
#error "callback_model needs CPython 3.8 or newer"
#endif

// Set by the build for a debug interpreter: the headers must then count
// references as that interpreter does, or every count the module changes
// would be missing from (or extra in) sys.gettotalrefcount().
#if defined(CALLBACK_MODEL_DEBUG_INTERPRETER) && !defined(Py_REF_DEBUG)
#error "building for a debug interpreter with a release pyconfig.h"
#endif

namespace callback_model {

// --- build target ---------------------------------------------------------

// major.minor of the interpreter this build targets, as 0xMMmm0000.
constexpr uint32_t kBuildVersion =
    (static_cast<uint32_t>(PY_MAJOR_VERSION) << 24) | (static_cast<uint32_t>(PY_MINOR_VERSION) << 16);

// --- threads and interpreters ---------------------------------------------

// The current thread state without the "no thread state" fatal check.
inline PyThreadState *compat_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

// The interpreter of the calling thread (which holds the GIL).
inline PyInterpreterState *compat_current_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get();
#else
    return PyThreadState_Get()->interp;
#endif
}

// Identity of the calling OS thread, for telling a thread that comes back
// into the module (through the body's own imports) from another one.
inline unsigned long compat_thread_id() noexcept {
    return PyThread_get_thread_ident();
}

// The dictionary an interpreter keeps for extensions' data (borrowed), or
// NULL.  The interpreter makes it at the first call and stores it without a
// lock.  With the GIL one thread makes that call at a time; free-threaded
// threads racing through it each make a dictionary, and a mark written into
// one that another thread's store then replaces is lost.  There every call
// takes this mutex, held for that lookup alone; a thread waiting for it is
// detached from the interpreter, as in the interpreter's own locks.
inline PyObject *compat_interpreter_dict(PyInterpreterState *interp) noexcept {
#if defined(Py_GIL_DISABLED)
    static PyMutex first_call;  // zero: unlocked, with no initialiser to run
    PyMutex_Lock(&first_call);
    PyObject *dict = PyInterpreterState_GetDict(interp);
    PyMutex_Unlock(&first_call);
    return dict;
#else
    return PyInterpreterState_GetDict(interp);
#endif
}

// --- the pending exception ------------------------------------------------

// Borrowed type of the exception pending in tstate, or NULL: read straight
// from the thread state, without the checks of PyErr_Occurred.
inline PyObject *compat_pending_type(PyThreadState *tstate) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *exc = tstate->current_exception;
    return exc != NULL ? reinterpret_cast<PyObject *>(Py_TYPE(exc)) : NULL;
#else
    return tstate->curexc_type;
#endif
}

// Drops the exception pending in tstate, taking it out of the thread state
// before releasing it (a destructor may then raise and clear freely).
inline void compat_discard_pending(PyThreadState *tstate) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *exc = tstate->current_exception;
    tstate->current_exception = NULL;
    Py_XDECREF(exc);
#else
    PyObject *type = tstate->curexc_type;
    PyObject *value = tstate->curexc_value;
    PyObject *traceback = tstate->curexc_traceback;
    tstate->curexc_type = NULL;
    tstate->curexc_value = NULL;
    tstate->curexc_traceback = NULL;
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
#endif
}

// The pending exception taken out of the thread state: it holds strong
// references until compat_restore_error puts them back or
// compat_drop_error releases them.  Exactly one of the two ends each save.
struct SavedError {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *exc;
#else
    PyObject *type;
    PyObject *value;
    PyObject *traceback;
#endif
};

inline SavedError compat_save_error() noexcept {
    SavedError saved;
#if PY_VERSION_HEX >= 0x030C0000
    saved.exc = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&saved.type, &saved.value, &saved.traceback);
#endif
    return saved;
}

// Puts the saved exception back, replacing (and releasing) whatever was
// raised in between.
inline void compat_restore_error(SavedError *saved) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(saved->exc);
    saved->exc = NULL;
#else
    PyErr_Restore(saved->type, saved->value, saved->traceback);
    saved->type = saved->value = saved->traceback = NULL;
#endif
}

inline void compat_drop_error(SavedError *saved) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    Py_CLEAR(saved->exc);
#else
    Py_CLEAR(saved->type);
    Py_CLEAR(saved->value);
    Py_CLEAR(saved->traceback);
#endif
}

// --- frames ---------------------------------------------------------------

// Sets the line a traceback entry made from frame reports.  From 3.11 the
// frame is opaque and an entry of a frame that never ran reports its code
// object's first line, which the callers make equal to line.
inline void compat_frame_set_line(PyFrameObject *frame, int line) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    (void)frame;
    (void)line;
#else
    frame->f_lineno = line;
#endif
}

// Size of the fixed part of a frame and of a code object as compiled here
// (what the types' __basicsize__ says), or -1 where the frame is opaque.
inline Py_ssize_t compat_frame_object_size() noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    return -1;
#else
    return static_cast<Py_ssize_t>(sizeof(PyFrameObject));
#endif
}

inline Py_ssize_t compat_code_object_size() noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    return static_cast<Py_ssize_t>(offsetof(PyCodeObject, co_code_adaptive));
#else
    return static_cast<Py_ssize_t>(sizeof(PyCodeObject));
#endif
}

// --- dictionaries ---------------------------------------------------------

// The dictionary's version tag, where the interpreter keeps one that changes
// on every modification and is never shared by two dictionaries: an equal tag
// then means "unchanged since".  3.12 and 3.13 still keep it (deprecated);
// 3.14 removed it, and a free-threaded build cannot read it consistently
// with the dictionary's contents.  Returns false where there is no such tag.
#if PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#if PY_VERSION_HEX >= 0x030C0000 && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
inline bool compat_dict_version(PyObject *dict, uint64_t *version) noexcept {
    *version = reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
    return true;
}
#if PY_VERSION_HEX >= 0x030C0000 && defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
#else
inline bool compat_dict_version(PyObject *, uint64_t *version) noexcept {
    *version = 0;
    return false;
}
#endif

// Looks key up in an exact dict with its already computed hash.  1 with a
// new reference in *value, 0 when absent, -1 with an exception set.  From
// 3.13 PyDict_GetItemRef does this (it reads the hash cached in an str key)
// and hands out a strong reference, which a free-threaded build needs.
inline int compat_dict_get_known_hash_ref(PyObject *dict, PyObject *key, Py_hash_t hash,
                                          PyObject **value) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    (void)hash;
    return PyDict_GetItemRef(dict, key, value);
#else
    PyObject *found = _PyDict_GetItem_KnownHash(dict, key, hash);  // borrowed
    if (found == NULL) {
        *value = NULL;
        return PyErr_Occurred() ? -1 : 0;
    }
    Py_INCREF(found);
    *value = found;
    return 1;
#endif
}

// dict[key] as a strong reference: 1, 0 when absent, -1 with an exception.
inline int compat_dict_get_item_ref(PyObject *dict, PyObject *key, PyObject **value) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, value);
#else
    PyObject *found = PyDict_GetItemWithError(dict, key);  // borrowed
    if (found == NULL) {
        *value = NULL;
        return PyErr_Occurred() ? -1 : 0;
    }
    Py_INCREF(found);
    *value = found;
    return 1;
#endif
}

// Stores into an exact dict with the key's already computed hash.  3.13 no
// longer declares the known-hash store; PyDict_SetItem reads the hash cached
// in the str key, so it does not hash again either.
inline int compat_dict_set_known_hash(PyObject *dict, PyObject *key, PyObject *value,
                                      Py_hash_t hash) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    (void)hash;
    return PyDict_SetItem(dict, key, value);
#else
    return _PyDict_SetItem_KnownHash(dict, key, value, hash);
#endif
}

// --- modules ----------------------------------------------------------------

// The module of that name in the module table, added when absent, as a new
// reference (PyImport_AddModuleRef from 3.13; before it the table's borrowed
// entry, taken while the GIL is held).
inline PyObject *compat_import_add_module_ref(const char *name) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyImport_AddModuleRef(name);
#else
    PyObject *module = PyImport_AddModule(name);  // borrowed
    Py_XINCREF(module);
    return module;
#endif
}

// --- the module definition ----------------------------------------------------

// Frees the per-module state block the interpreter allocated when it ran the
// exec of a module that create now hands out again: the interpreter resets
// that pointer without freeing it, and allocates a new block at the next
// exec.  With the GIL both happen in one step with this call.  A
// free-threaded build writes the pointer outside any lock, so there the
// block (the allocation of zero bytes) is left to the interpreter.
inline void compat_free_state_of_reused_module(PyObject *module) noexcept {
#if defined(Py_GIL_DISABLED)
    (void)module;
#else
    PyMem_Free(PyModule_GetState(module));
#endif
}

// The slot entry that declares the module safe without the GIL, so that a
// free-threaded build keeps the GIL off when it loads the module.  Written in
// the slot table as CALLBACK_MODEL_COMPAT_GIL_SLOT (an entry and its comma,
// or nothing before 3.13, whose slot table is unchanged).
#if PY_VERSION_HEX >= 0x030D0000
#define CALLBACK_MODEL_COMPAT_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define CALLBACK_MODEL_COMPAT_GIL_SLOT
#endif

// --- attributes -----------------------------------------------------------

// True when obj has the attribute.  A lookup that raises counts as absent and
// leaves nothing pending; 3.13's PyObject_HasAttr would also report such an
// error as unraisable, so 3.13 probes and clears instead.
inline bool compat_has_attr(PyObject *obj, PyObject *name) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *value;
    const int found = PyObject_GetOptionalAttr(obj, name, &value);
    if (found < 0) {
        PyErr_Clear();
        return false;
    }
    Py_XDECREF(value);
    return found == 1;
#else
    return PyObject_HasAttr(obj, name) != 0;
#endif
}

// Generic attribute lookup that reports a missing attribute as absent (NULL
// with nothing pending) without creating an AttributeError.  From 3.13 the
// official PyObject_GetOptionalAttr takes that route for generic types.
inline PyObject *compat_generic_getattr_optional(PyObject *obj, PyObject *name) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *value;
    (void)PyObject_GetOptionalAttr(obj, name, &value);
    return value;
#else
    return _PyObject_GenericGetAttrWithDict(obj, name, NULL, 1);
#endif
}

// --- types and calls ------------------------------------------------------

#if PY_VERSION_HEX >= 0x03090000
constexpr unsigned long kCompatVectorcallFlag = Py_TPFLAGS_HAVE_VECTORCALL;
#else
constexpr unsigned long kCompatVectorcallFlag = _Py_TPFLAGS_HAVE_VECTORCALL;
#endif

// Sets the count of a statically allocated object before it is readied.
inline void compat_set_refcount(PyObject *obj, Py_ssize_t count) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    Py_SET_REFCNT(obj, count);
#else
    Py_REFCNT(obj) = count;
#endif
}

}  // namespace callback_model
