#include "name_import.h"

#include "py_compat.h"
#include "ref.h"

namespace callback_model {

namespace {

// The loaded submodule "<module name>.<name>", or NULL.  Never imports.
Ref name_import_loaded_submodule(PyObject *module, PyObject *name, PyObject *dot) {
    const char *module_name = PyModule_GetName(module);
    if (module_name == NULL) {
        return Ref();
    }
    Ref full = Ref::steal(PyUnicode_FromString(module_name));
    if (!full) {
        return Ref();
    }
    full = Ref::steal(PyUnicode_Concat(full.get(), dot));
    if (!full) {
        return Ref();
    }
    full = Ref::steal(PyUnicode_Concat(full.get(), name));
    if (!full) {
        return Ref();
    }
    return Ref::steal(PyImport_GetModule(full.get()));
}

// Fast path: the module is in the module table and has every name already.
// An attribute test that raises counts as a missing name.
Ref name_import_loaded(PyObject *module_name, PyObject *const *names, Py_ssize_t count) {
    Ref module = Ref::steal(PyImport_GetModule(module_name));
    if (!module) {
        return module;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!compat_has_attr(module.get(), names[i])) {
            return Ref();
        }
    }
    return module;
}

Ref name_import_full(PyObject *module_name, PyObject *const *names, Py_ssize_t count,
                     PyObject *globals) {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) {
        return Ref();
    }
    Ref fromlist = Ref::steal(PyList_New(count));
    if (!fromlist) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_INCREF(names[i]);
        PyList_SET_ITEM(fromlist.get(), i, names[i]);
    }
    return Ref::steal(
        PyImport_ImportModuleLevelObject(module_name, globals, locals.get(), fromlist.get(), 0));
}

}  // namespace

PyObject *import_from(PyObject *module, PyObject *name, PyObject *dot) {
    getattrofunc getattro = Py_TYPE(module)->tp_getattro;
    PyObject *value = getattro != NULL ? getattro(module, name) : PyObject_GetAttr(module, name);
    if (value == NULL && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        value = name_import_loaded_submodule(module, name, dot).release();
    }
    if (value == NULL) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

int import_names(PyObject *module_name, PyObject *const *names, Py_ssize_t count,
                 PyObject *globals, PyObject *dot) {
    Ref module = name_import_loaded(module_name, names, count);
    if (!module) {
        if (PyErr_Occurred()) {
            return -1;
        }
        module = name_import_full(module_name, names, count, globals);
        if (!module) {
            return -1;
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref value = Ref::steal(import_from(module.get(), names[i], dot));
        if (!value || PyDict_SetItem(globals, names[i], value.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace callback_model
