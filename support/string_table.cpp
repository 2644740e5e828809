#include "string_table.h"

#include "ref.h"

namespace callback_model {

namespace {

// Imports zlib.decompress.  A failed import or a missing attribute is reported
// as one ImportError naming the module, whatever the underlying error was.
Ref string_table_get_decompress() {
    Ref method_name = Ref::steal(PyUnicode_FromString("decompress"));
    if (!method_name) {
        return Ref();
    }
    Ref decompress;
    Ref zlib_module = Ref::steal(PyImport_ImportModule("zlib"));
    if (zlib_module) {
        decompress = Ref::steal(PyObject_GetAttr(zlib_module.get(), method_name.get()));
    }
    if (!decompress) {
        PyErr_Format(PyExc_ImportError,
                     "Failed to import '%.20s.decompress' - cannot initialise module strings. "
                     "String compression was configured with the C macro "
                     "'CYTHON_COMPRESS_STRINGS=%d'.",
                     "zlib", 1);
    }
    return decompress;
}

// Runs decompress over a read-only view of the stream (no copy) and checks
// that the result is bytes of exactly the table's total length.
Ref string_table_decompress(PyObject *decompress) {
    Ref view = Ref::steal(PyMemoryView_FromMemory(
        reinterpret_cast<char *>(const_cast<unsigned char *>(kStringStream)),
        static_cast<Py_ssize_t>(sizeof kStringStream), PyBUF_READ));
    if (!view) {
        return Ref();
    }
    Ref data = Ref::steal(PyObject_CallFunctionObjArgs(decompress, view.get(), NULL));
    if (!data) {
        return Ref();
    }
    if (!PyBytes_Check(data.get())) {
        PyErr_Format(PyExc_TypeError,
                     "zlib.decompress returned '%.200s', not bytes - cannot initialise module strings.",
                     Py_TYPE(data.get())->tp_name);
        return Ref();
    }
    if (PyBytes_GET_SIZE(data.get()) != kStringTotalBytes) {
        PyErr_Format(PyExc_ValueError,
                     "zlib.decompress returned %zd bytes, expected %ld - cannot initialise module strings.",
                     PyBytes_GET_SIZE(data.get()), kStringTotalBytes);
        return Ref();
    }
    return data;
}

}  // namespace

int string_table_init(StringTable *table) {
    Ref data;
    {
        Ref decompress = string_table_get_decompress();
        if (!decompress) {
            return -1;
        }
        data = string_table_decompress(decompress.get());
        if (!data) {
            return -1;
        }
    }
    const char *bytes = PyBytes_AS_STRING(data.get());
    Py_ssize_t offset = 0;
    for (int i = 0; i < kStringCount; ++i) {
        const Py_ssize_t length = static_cast<Py_ssize_t>(kStringLengths[i] & 0x3Fu);
        PyObject *s = PyUnicode_DecodeUTF8(bytes + offset, length, NULL);
        if (s == NULL) {
            return -1;
        }
        if (i >= kStringFirstInterned) {
            PyUnicode_InternInPlace(&s);
            if (s == NULL) {
                return -1;
            }
        }
        // An entry left by an earlier failed run is released once replaced.
        Py_XSETREF(table->entry[i], s);
        offset += length;
    }
    for (int i = 0; i < kStringCount; ++i) {
        if (PyObject_Hash(table->entry[i]) == -1) {
            return -1;
        }
    }
    return 0;
}

}  // namespace callback_model
