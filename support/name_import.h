// Module-level "from M import a, b" at level 0.
#pragma once

#include <Python.h>

namespace callback_model {

// Binds each of names[0..count) from module module_name in globals.  Uses the
// already loaded module without entering the import system when it has every
// name; otherwise runs a full import with the names as from-list.  dot is the
// "." separator used for the submodule fallback.  Returns 0, or -1 with an
// exception set; names bound before a failure stay bound.
int import_names(PyObject *module_name, PyObject *const *names, Py_ssize_t count,
                 PyObject *globals, PyObject *dot);

// Fetches name from module, falling back to an already loaded submodule
// "<module>.<name>".  New reference, or NULL with ImportError
// "cannot import name <name>".
PyObject *import_from(PyObject *module, PyObject *name, PyObject *dot);

}  // namespace callback_model
