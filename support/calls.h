// Calls and attribute probes that take the most direct route the callee's
// type offers.
//
// Argument vectors passed to fast_call have one writable slot before args[0]
// and their count carries PY_VECTORCALL_ARGUMENTS_OFFSET, so a vectorcall
// callee may use that slot.
#pragma once

#include <Python.h>

namespace callback_model {

// New reference, or NULL with an exception set.  nargsf counts 1 to 3
// arguments; no keyword arguments.
PyObject *fast_call(PyObject *callable, PyObject *const *args, size_t nargsf);

// tp_call inside the recursion guard; new reference or NULL.
PyObject *call_object(PyObject *callable, PyObject *args);

// Calls a METH_O builtin function through its C entry.
PyObject *call_builtin_direct(PyObject *function, PyObject *argument);

// New reference; NULL with no exception when the attribute is absent
// (AttributeError and its subclasses are swallowed); NULL with an exception
// for any other failure.
PyObject *getattr_no_error(PyObject *obj, PyObject *name);

// pending: the pending exception type; target: an exception class.
bool exception_matches(PyObject *pending, PyObject *target);

bool is_subtype(PyTypeObject *a, PyTypeObject *b);

}  // namespace callback_model
