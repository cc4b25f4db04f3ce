// The function type of InternalClass's methods: a method object calls its
// definition's entry and carries the attributes of a Python function.
#pragma once

#include <Python.h>

#include "py_ref.hpp"

namespace tarnvel {

// The entry of a method definition (METH_FASTCALL | METH_KEYWORDS): the
// method object, the arguments, their count and the keyword names.
using FastEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

inline PyCFunction as_definition_entry(FastEntry entry)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// The method object type, ready for use: 0, or -1 with the exception.
int method_object_type_ready();

// A new method object holding new references to the four objects; null with
// MemoryError when it cannot be allocated.
PyObject* method_object_new(PyMethodDef* definition, PyObject* qualname, PyObject* module, PyObject* globals,
                            PyObject* code);

// Stores `annotations` into a method object, without a copy.
void method_object_set_annotations(PyObject* method, Ref&& annotations);

}  // namespace tarnvel
