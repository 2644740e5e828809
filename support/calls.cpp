#include "calls.h"

#include "py_compat.h"
#include "ref.h"

namespace callback_model {

namespace {

const char kCallRecursionWhere[] = " while calling a Python object";

// The result check shared by both tp_call routes: a callee that returns NULL
// must have set an error.
PyObject *calls_check_result(PyObject *result) {
    if (result == NULL && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return result;
}

}  // namespace

PyObject *call_object(PyObject *callable, PyObject *args) {
    ternaryfunc call = Py_TYPE(callable)->tp_call;
    if (call == NULL) {
        // Reports the interpreter's own "object is not callable" error.
        return PyObject_Call(callable, args, NULL);
    }
    if (Py_EnterRecursiveCall(kCallRecursionWhere)) {
        return NULL;
    }
    PyObject *result = call(callable, args, NULL);
    Py_LeaveRecursiveCall();
    return calls_check_result(result);
}

PyObject *call_builtin_direct(PyObject *function, PyObject *argument) {
    PyCFunction cfunc = PyCFunction_GET_FUNCTION(function);
    PyObject *self = (PyCFunction_GET_FLAGS(function) & METH_STATIC) ? NULL
                                                                      : PyCFunction_GET_SELF(function);
    if (Py_EnterRecursiveCall(kCallRecursionWhere)) {
        return NULL;
    }
    PyObject *result = cfunc(self, argument);
    Py_LeaveRecursiveCall();
    return calls_check_result(result);
}

PyObject *fast_call(PyObject *callable, PyObject *const *args, size_t nargsf) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyTypeObject *type = Py_TYPE(callable);

    if (nargs == 1 && type == &PyCFunction_Type && (PyCFunction_GET_FLAGS(callable) & METH_O)) {
        return call_builtin_direct(callable, args[0]);
    }
    if (PyType_HasFeature(type, kCompatVectorcallFlag)) {
        vectorcallfunc func;
        memcpy(&func, reinterpret_cast<char *>(callable) + type->tp_vectorcall_offset, sizeof func);
        if (func != NULL) {
            return func(callable, args, nargsf, NULL);
        }
    }
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) {
        return NULL;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple.get(), i, args[i]);
    }
    return call_object(callable, tuple.get());
}

bool is_subtype(PyTypeObject *a, PyTypeObject *b) {
    if (a == b) {
        return true;
    }
    PyObject *mro = a->tp_mro;  // borrowed
    if (mro != NULL) {
        const Py_ssize_t n = PyTuple_GET_SIZE(mro);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (PyTuple_GET_ITEM(mro, i) == reinterpret_cast<PyObject *>(b)) {
                return true;
            }
        }
        return false;
    }
    for (PyTypeObject *t = a->tp_base; t != NULL; t = t->tp_base) {
        if (t == b) {
            return true;
        }
    }
    return b == &PyBaseObject_Type;
}

bool exception_matches(PyObject *pending, PyObject *target) {
    if (pending == target) {
        return true;
    }
    if (PyExceptionClass_Check(pending) && PyExceptionClass_Check(target)) {
        return is_subtype(reinterpret_cast<PyTypeObject *>(pending),
                          reinterpret_cast<PyTypeObject *>(target));
    }
    return PyErr_GivenExceptionMatches(pending, target) != 0;
}

PyObject *getattr_no_error(PyObject *obj, PyObject *name) {
    getattrofunc getattro = Py_TYPE(obj)->tp_getattro;
    if (getattro == PyObject_GenericGetAttr) {
        // Suppresses AttributeError without ever creating one.
        return compat_generic_getattr_optional(obj, name);
    }
    PyObject *value = getattro != NULL ? getattro(obj, name) : PyObject_GetAttr(obj, name);
    if (value != NULL) {
        return value;
    }
    PyThreadState *tstate = compat_thread_state();
    PyObject *pending = compat_pending_type(tstate);  // borrowed
    if (pending != NULL &&
        (pending == PyExc_AttributeError || exception_matches(pending, PyExc_AttributeError))) {
        compat_discard_pending(tstate);
    }
    return NULL;
}

}  // namespace callback_model
