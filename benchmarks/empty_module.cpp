// The floor for import cost: an extension module that does nothing, built
// with the same flags as callback_model and placed in the same package.
#include <Python.h>

namespace {

PyModuleDef empty_definition = {
    PyModuleDef_HEAD_INIT,
    "empty_module",  // m_name
    NULL,            // m_doc
    0,               // m_size
    NULL,            // m_methods
    NULL,            // m_slots
    NULL,            // m_traverse
    NULL,            // m_clear
    NULL,            // m_free
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject *PyInit_empty_module(void) {
    return PyModuleDef_Init(&empty_definition);
}
