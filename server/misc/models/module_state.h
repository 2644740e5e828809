// Process-wide state of the callback_model extension module and the
// operations of its execution frame.  There is no per-module-object state:
// the module lives in one interpreter per process.
#pragma once

#include <Python.h>
#include <stdint.h>

#include <atomic>

#include "class_construction.h"
#include "string_table.h"

namespace callback_model {

struct CodeCacheEntry {
    PyCodeObject *code;  // strong
    int32_t line;
};

// Code objects for traceback entries, sorted by line, never freed.
struct CodeObjectCache {
    int32_t count;
    int32_t capacity;
    CodeCacheEntry *entries;  // PyMem_Malloc'd, NULL before the first insertion
};

// What the module keeps of one runtime.  Every reference is strong and kept
// until a later exec of the same runtime replaces it, except module, which a
// failed exec releases, and base_lookup_cache.value, which is borrowed from
// dict.
struct ModuleState {
    PyObject *module;
    PyObject *dict;
    PyObject *builtins;
    PyObject *runtime_module;
    StringTable strings;
    uint32_t runtime_version;  // 0 until parsed
    CodeObjectCache code_cache;
    GlobalLookupCache base_lookup_cache;
};

// One runtime (Py_Initialize to Py_FinalizeEx) of the process.  The rules,
// one per field:
//   interpreter_id  atomic: the interpreter that created the module first in
//                   this runtime, -1 before; set once, by compare-and-set,
//                   after the runtime has been marked (callback_model.cpp).
//   exec_thread     atomic: the thread that runs this runtime's exec, 0 when
//                   none; claimed by compare-and-set and released by that
//                   thread.  Nobody waits for it: another thread's import
//                   waits on the import system's lock of the full name.
//   ready           atomic: the module once an exec has succeeded, NULL
//                   before; stored once, by the thread that holds exec_thread.
//   state           written only by the thread that holds exec_thread; read
//                   by it, and by anyone once ready is set (nothing writes it
//                   after that).
//   retired         the record of the runtime before this one, if any:
//                   written before the record is published, then constant.
// A runtime that has ended is retired, never reset: its record, and what a
// thread it left behind may still hold, stay as they were, reachable from
// the next one (their objects are gone or leaked by the runtime itself).
struct Runtime {
    std::atomic<int64_t> interpreter_id{-1};
    std::atomic<unsigned long> exec_thread{0};
    std::atomic<PyObject *> ready{nullptr};
    ModuleState state{};
    Runtime *retired{nullptr};
};

// The record of the current runtime (the one a new import belongs to).  The
// pointer behind it is atomic: the first import of a new runtime replaces it
// by compare-and-set (the record it replaces is retired, see above).
Runtime *current_runtime();

// Its module state.
inline ModuleState &module_state() { return current_runtime()->state; }

// Parses "3.8.10 (...)" into 0x03080A00: up to four dot-separated components.
uint32_t parse_runtime_version(const char *version);

// Issues a RuntimeWarning when the running interpreter's major.minor is not
// the one the module was built for.  0 to go on, -1 when the warnings filter
// turned the warning into an exception.
int check_runtime_version();

// Adds one traceback entry at source_line to the pending exception.
void add_traceback(int source_line);

PyCodeObject *code_cache_find(int line);
void code_cache_insert(int line, PyCodeObject *code);

}  // namespace callback_model
