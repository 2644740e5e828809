// Process-wide state of the callback_model extension module and the
// operations of its execution frame.  There is no per-module-object state:
// the module lives in one interpreter per process.
#pragma once

#include <Python.h>
#include <stdint.h>

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

// Every reference here is strong and kept until a later exec replaces it, except
// module, which a failed exec releases, and base_lookup_cache.value, which is
// borrowed from dict (and used only under the GIL, see GlobalLookupCache).
//
// One rule for every field: it is read and written only by the thread that
// holds the exec lock (callback_model.cpp), that is inside the one exec that
// runs at a time, or by create while it holds the same lock.  A thread that
// comes back into create or exec through the body's own imports already
// holds it.  The runtime's finalisation resets the whole record (no other
// thread runs Python then), so that a new runtime starts over.
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

extern ModuleState module_state;

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
