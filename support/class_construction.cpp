#include "class_construction.h"

#include "calls.h"
#include "py_compat.h"
#include "ref.h"

namespace callback_model {

namespace {

// Hash cached in an str by string_table_init.
Py_hash_t class_cached_hash(PyObject *str) {
    return reinterpret_cast<PyASCIIObject *>(str)->hash;
}

}  // namespace

PyObject *get_module_global(PyObject *globals, PyObject *builtins, PyObject *name,
                            GlobalLookupCache *cache) {
    uint64_t version;
    const bool versioned = compat_dict_version(globals, &version);
    bool probe_builtins = false;
    if (versioned && cache->version == version) {
        // Unchanged since the last probe, so the dict still holds the
        // cached value (or still lacks the name).
        if (cache->value != NULL) {
            Py_INCREF(cache->value);
            return cache->value;
        }
        probe_builtins = true;
    }
    if (!probe_builtins) {
        PyObject *value;
        const int found = compat_dict_get_known_hash_ref(globals, name, class_cached_hash(name), &value);
        if (versioned) {
            // Borrowed: trusted only while the tag stays the one read now.
            (void)compat_dict_version(globals, &cache->version);
            cache->value = value;
        }
        if (found > 0) {
            return value;
        }
        PyErr_Clear();
    }
    PyObject *value = getattr_no_error(builtins, name);
    if (value == NULL && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

PyObject *update_bases(PyObject *bases, const StringTable *strings) {
    const Py_ssize_t count = PyTuple_GET_SIZE(bases);
    Ref new_bases;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *base = PyTuple_GET_ITEM(bases, i);  // borrowed
        Ref meth;
        if (!PyType_Check(base)) {
            meth = Ref::steal(getattr_no_error(base, (*strings)[S_mro_entries]));
            if (!meth && PyErr_Occurred()) {
                return NULL;
            }
        }
        if (!meth) {
            if (new_bases && PyList_Append(new_bases.get(), base) < 0) {
                return NULL;
            }
            continue;
        }
        PyObject *argv[2] = {NULL, bases};
        Ref result = Ref::steal(fast_call(meth.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET));
        meth.reset();
        if (!result) {
            return NULL;
        }
        if (!PyTuple_Check(result.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            return NULL;
        }
        if (!new_bases) {
            new_bases = Ref::steal(PyList_New(i));
            if (!new_bases) {
                return NULL;
            }
            for (Py_ssize_t j = 0; j < i; ++j) {
                PyObject *earlier = PyTuple_GET_ITEM(bases, j);
                Py_INCREF(earlier);
                PyList_SET_ITEM(new_bases.get(), j, earlier);
            }
        }
        const Py_ssize_t end = PyList_GET_SIZE(new_bases.get());
        if (PyList_SetSlice(new_bases.get(), end, end, result.get()) < 0) {
            return NULL;
        }
    }
    if (!new_bases) {
        Py_INCREF(bases);
        return bases;
    }
    return PyList_AsTuple(new_bases.get());
}

PyObject *calculate_metaclass(PyObject *bases) {
    PyTypeObject *winner = NULL;
    const Py_ssize_t count = PyTuple_GET_SIZE(bases);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTypeObject *t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (winner == NULL) {
            winner = t;
        } else if (PyType_IsSubtype(winner, t)) {
            // winner is already at least as derived.
        } else if (PyType_IsSubtype(t, winner)) {
            winner = t;
        } else {
            PyErr_SetString(PyExc_TypeError,
                            "metaclass conflict: the metaclass of a derived class must be a "
                            "(non-strict) subclass of the metaclasses of all its bases");
            return NULL;
        }
    }
    if (winner == NULL) {
        winner = &PyType_Type;
    }
    Py_INCREF(winner);
    return reinterpret_cast<PyObject *>(winner);
}

PyObject *prepare_namespace(PyObject *metaclass, PyObject *bases, PyObject *name,
                            PyObject *qualname, PyObject *module_name, PyObject *doc,
                            const StringTable *strings) {
    Ref ns;
    {
        Ref prep = Ref::steal(getattr_no_error(metaclass, (*strings)[S_prepare]));
        if (prep) {
            PyObject *argv[3] = {NULL, name, bases};
            ns = Ref::steal(fast_call(prep.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET));
        } else if (!PyErr_Occurred()) {
            ns = Ref::steal(PyDict_New());
        }
    }
    if (!ns) {
        return NULL;
    }
    if (PyObject_SetItem(ns.get(), (*strings)[S_module_key], module_name) < 0 ||
        PyObject_SetItem(ns.get(), (*strings)[S_qualname_key], qualname) < 0 ||
        (doc != NULL && PyObject_SetItem(ns.get(), (*strings)[S_doc_key], doc) < 0)) {
        return NULL;
    }
    return ns.release();
}

PyObject *create_class(PyObject *metaclass, PyObject *name, PyObject *bases, PyObject *ns) {
    PyObject *argv[4] = {NULL, name, bases, ns};
    return fast_call(metaclass, argv + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET);
}

namespace {

// Builds the __annotations__ dict and stores it in ns, through the known-hash
// store when ns is an exact dict.
int class_store_annotations(PyObject *ns, const ClassStatement *st) {
    Ref ann = Ref::steal(PyDict_New());
    if (!ann) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < st->annotation_count; ++i) {
        if (PyDict_SetItem(ann.get(), st->annotations[i].name, st->annotations[i].text) < 0) {
            return -1;
        }
    }
    PyObject *key = (*st->strings)[S_annotations_key];
    if (Py_TYPE(ns) == &PyDict_Type) {
        return compat_dict_set_known_hash(ns, key, ann.get(), class_cached_hash(key));
    }
    return PyObject_SetItem(ns, key, ann.get());
}

}  // namespace

int run_class_statement(const ClassStatement *st) {
    Ref orig_bases;
    {
        Ref base = Ref::steal(get_module_global(st->globals, st->builtins, st->base_name, st->cache));
        if (!base) {
            return -1;
        }
        orig_bases = Ref::steal(PyTuple_Pack(1, base.get()));
        if (!orig_bases) {
            return -1;
        }
    }
    Ref bases = Ref::steal(update_bases(orig_bases.get(), st->strings));
    if (!bases) {
        return -1;
    }
    Ref meta = Ref::steal(calculate_metaclass(bases.get()));
    if (!meta) {
        return -1;
    }
    Ref ns = Ref::steal(prepare_namespace(meta.get(), bases.get(), st->name, st->name,
                                          st->module_name, st->doc, st->strings));
    if (!ns) {
        return -1;
    }
    // A dict store on purpose: a namespace that is not a dict fails here with
    // the interpreter's SystemError once the bases were rewritten.
    if (bases.get() != orig_bases.get() &&
        PyDict_SetItemString(ns.get(), "__orig_bases__", orig_bases.get()) < 0) {
        return -1;
    }
    orig_bases.reset();
    if (class_store_annotations(ns.get(), st) < 0) {
        return -1;
    }
    Ref cls = Ref::steal(create_class(meta.get(), st->name, bases.get(), ns.get()));
    if (!cls) {
        return -1;
    }
    return PyDict_SetItem(st->globals, st->name, cls.get());
}

}  // namespace callback_model
