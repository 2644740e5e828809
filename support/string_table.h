// The module's string constants: one zlib stream in the library, decoded at
// import into str objects addressed by StringId.
#pragma once

#include <Python.h>

#include "string_table_data.h"

namespace callback_model {

// Strong references, kept until a later run replaces them.
struct StringTable {
    PyObject *entry[kStringCount];

    // Borrowed reference to one constant.
    PyObject *operator[](StringId id) const noexcept { return entry[id]; }
};

// Decompresses the stream through the interpreter's zlib module, cuts it into
// str objects, interns the identifiers and computes every hash.  Returns 0, or
// -1 with an exception set.  Entries stored before a failure stay in place.
int string_table_init(StringTable *table);

}  // namespace callback_model
