// refcount_control: the yardstick for reference totals under debug
// interpreters whose import system and caches drift by themselves.  A
// minimal multi-phase module of callback_model's shape, written the plain
// way: create hands back the module it built before; exec refuses another
// module object, keeps a reference to this one, imports zlib.decompress and
// runs the same body (two from-imports and the class statement, compiled
// once from source) in the module's globals; a failed exec forgets the
// module.  Whatever its total changes by is the interpreter's, so the real
// module must change it by exactly as much in the same scenario.
#include <Python.h>

#include "ref.h"

using callback_model::Ref;

namespace {

const char kBody[] =
    "from typing import Any, Dict\n"
    "from pydantic import BaseModel\n"
    "class VelTarnCallbackModel(BaseModel):\n"
    "    \"\"\"Callback Data Model for kernels to send data to server\"\"\"\n"
    "    procedure: str\n"
    "    status: str\n"
    "    msg: str\n"
    "    successful: Dict[str, Any]\n"
    "    failed: Dict[str, Any]\n";

PyObject *control_module;  // strong while initialised or initialising
PyObject *control_body;    // the compiled body, kept once made

PyObject *control_create(PyObject *spec, PyModuleDef *) {
    if (control_module != NULL) {
        Py_INCREF(control_module);
        return control_module;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return NULL;
    }
    return PyModule_NewObject(name.get());
}

int control_run(PyObject *module) {
    PyObject *dict = PyModule_GetDict(module);  // borrowed
    Ref zlib = Ref::steal(PyImport_ImportModule("zlib"));
    Ref decompress = zlib ? Ref::steal(PyObject_GetAttrString(zlib.get(), "decompress")) : Ref();
    if (!decompress) {
        PyErr_SetString(PyExc_ImportError, "Failed to import 'zlib.decompress'");
        return -1;
    }
    if (control_body == NULL) {
        control_body = Py_CompileString(kBody, "refcount_control.py", Py_file_input);
        if (control_body == NULL) {
            return -1;
        }
    }
    if (PyDict_SetItemString(dict, "__builtins__", PyEval_GetBuiltins()) < 0) {
        return -1;
    }
    Ref result = Ref::steal(PyEval_EvalCode(control_body, dict, dict));
    if (!result) {
        return -1;
    }
    Ref test = Ref::steal(PyDict_New());
    return test ? PyDict_SetItemString(dict, "__test__", test.get()) : -1;
}

int control_exec(PyObject *module) {
    if (control_module != NULL) {
        if (control_module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError, "refcount_control has already been imported");
        return -1;
    }
    Py_INCREF(module);
    control_module = module;
    if (control_run(module) < 0) {
        Py_CLEAR(control_module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot control_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(control_create)},
    {Py_mod_exec, reinterpret_cast<void *>(control_exec)},
    {0, NULL},
};

PyMethodDef control_methods[] = {{NULL, NULL, 0, NULL}};

PyModuleDef control_definition = {
    PyModuleDef_HEAD_INIT, "refcount_control", NULL, 0, control_methods, control_slots, NULL, NULL, NULL,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject *PyInit_refcount_control(void) {
    return PyModuleDef_Init(&control_definition);
}
