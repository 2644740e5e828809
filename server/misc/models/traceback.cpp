// Traceback entries for failures during module execution, with a cache of one
// code object per source line.
#include <Python.h>
#include <frameobject.h>

#include "module_state.h"
#include "py_compat.h"
#include "ref.h"

namespace callback_model {

namespace {

const char kTracebackFunction[] = "init vel_tarn.server.misc.models.callback_model";
const char kTracebackFile[] = "vel_tarn/server/misc/models/callback_model.py";
constexpr int32_t kCodeCacheStep = 64;

// Index of line in the sorted entries, or where it would be inserted.
int32_t code_cache_position(const CodeObjectCache *cache, int32_t line) {
    const int32_t count = cache->count;
    const CodeCacheEntry *entries = cache->entries;
    if (count > 0 && line > entries[count - 1].line) {
        return count;
    }
    int32_t lo = 0;
    int32_t hi = count - 1;
    int32_t mid = 0;
    while (lo < hi) {
        mid = lo + (hi - lo) / 2;
        if (line < entries[mid].line) {
            hi = mid;
        } else if (line > entries[mid].line) {
            lo = mid + 1;
        } else {
            return mid;
        }
    }
    return line <= entries[mid].line ? mid : mid + 1;
}

}  // namespace

PyCodeObject *code_cache_find(int line) {
    CodeObjectCache *cache = &module_state().code_cache;
    if (line == 0 || cache->entries == NULL) {
        return NULL;
    }
    const int32_t pos = code_cache_position(cache, line);
    if (pos >= cache->count || cache->entries[pos].line != line) {
        return NULL;
    }
    PyCodeObject *code = cache->entries[pos].code;
    Py_INCREF(code);
    return code;
}

void code_cache_insert(int line, PyCodeObject *code) {
    CodeObjectCache *cache = &module_state().code_cache;
    if (line == 0) {
        return;
    }
    if (cache->entries == NULL) {
        auto *entries = static_cast<CodeCacheEntry *>(PyMem_Malloc(kCodeCacheStep * sizeof(CodeCacheEntry)));
        if (entries == NULL) {
            return;
        }
        Py_INCREF(code);
        entries[0].code = code;
        entries[0].line = line;
        cache->entries = entries;
        cache->capacity = kCodeCacheStep;
        cache->count = 1;
        return;
    }
    const int32_t pos = code_cache_position(cache, line);
    if (pos < cache->count && cache->entries[pos].line == line) {
        PyCodeObject *old = cache->entries[pos].code;
        Py_INCREF(code);
        cache->entries[pos].code = code;
        Py_DECREF(old);
        return;
    }
    if (cache->count == cache->capacity) {
        const int32_t capacity = cache->capacity + kCodeCacheStep;
        auto *entries = static_cast<CodeCacheEntry *>(
            PyMem_Realloc(cache->entries, static_cast<size_t>(capacity) * sizeof(CodeCacheEntry)));
        if (entries == NULL) {
            return;
        }
        cache->entries = entries;
        cache->capacity = capacity;
    }
    memmove(&cache->entries[pos + 1], &cache->entries[pos],
            static_cast<size_t>(cache->count - pos) * sizeof(CodeCacheEntry));
    Py_INCREF(code);
    cache->entries[pos].code = code;
    cache->entries[pos].line = line;
    cache->count += 1;
}

void add_traceback(int source_line) {
    PyThreadState *tstate = compat_thread_state();
    PyCodeObject *code = code_cache_find(source_line);
    if (code == NULL) {
        SavedError saved = compat_save_error();
        code = PyCode_NewEmpty(kTracebackFile, kTracebackFunction, source_line);
        if (code == NULL) {
            // The creation error is reported in place of the saved one.
            compat_drop_error(&saved);
            return;
        }
        compat_restore_error(&saved);
        code_cache_insert(source_line, code);
    }
    Ref code_ref = Ref::steal(reinterpret_cast<PyObject *>(code));
    PyFrameObject *frame = PyFrame_New(tstate, code, module_state().dict, NULL);
    if (frame != NULL) {
        compat_frame_set_line(frame, source_line);
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace callback_model
