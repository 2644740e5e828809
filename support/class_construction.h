// A module-level class statement with no body code, built through the
// interpreter's class-creation protocol.
#pragma once

#include <Python.h>
#include <stdint.h>

#include "string_table.h"

namespace callback_model {

// Cache of one global-lookup site: the module dict's version tag at the last
// probe and the value found then (borrowed; NULL when the name was absent).
// Used only where the interpreter keeps a version tag that is read under the
// GIL (see compat_dict_version); elsewhere the site probes every time and the
// cache stays empty.
struct GlobalLookupCache {
    uint64_t version;
    PyObject *value;
};

struct Annotation {
    PyObject *name;  // field name
    PyObject *text;  // annotation text, stored unevaluated
};

struct ClassStatement {
    PyObject *globals;            // module dict; receives the class
    PyObject *builtins;           // builtins module, for the lookup fallback
    GlobalLookupCache *cache;     // the base lookup site's cache
    const StringTable *strings;   // namespace keys and hook names
    PyObject *name;               // class name, also the qualified name
    PyObject *base_name;          // global holding the single base
    PyObject *module_name;        // value of __module__
    PyObject *doc;                // docstring, or NULL for none
    const Annotation *annotations;
    Py_ssize_t annotation_count;
};

// New reference to globals[name], falling back to builtins; NameError when
// neither has it.
PyObject *get_module_global(PyObject *globals, PyObject *builtins, PyObject *name,
                            GlobalLookupCache *cache);

// Resolves __mro_entries__ of non-class bases.  Returns bases itself (a new
// reference) when nothing changes.
PyObject *update_bases(PyObject *bases, const StringTable *strings);

// New reference to the most derived metaclass of the bases' types.
PyObject *calculate_metaclass(PyObject *bases);

// New reference to the namespace from metaclass.__prepare__ (or a new dict),
// seeded with __module__, __qualname__ and, when doc is set, __doc__.
PyObject *prepare_namespace(PyObject *metaclass, PyObject *bases, PyObject *name,
                            PyObject *qualname, PyObject *module_name, PyObject *doc,
                            const StringTable *strings);

// metaclass(name, bases, ns): new reference to the class.
PyObject *create_class(PyObject *metaclass, PyObject *name, PyObject *bases, PyObject *ns);

// Runs the whole statement and binds the class in globals.  0, or -1 with an
// exception set and no binding made.
int run_class_statement(const ClassStatement *statement);

}  // namespace callback_model
