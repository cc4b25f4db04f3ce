// The function type of InternalClass's methods: binding, attributes, tracebacks.
#pragma once

#include <Python.h>

#include "py_ref.hpp"

namespace tarnvel {

// The three method definitions, in the order the class lists them.
extern PyMethodDef init_definition;
extern PyMethodDef validate_token_definition;
extern PyMethodDef search_query_definition;

// Exec step 9: the method object type, ready for use.
int method_object_type_ready();

// A new method object holding new references to the four objects; null with
// MemoryError when it cannot be allocated.
PyObject* method_object_new(PyMethodDef* definition, PyObject* qualname, PyObject* module, PyObject* globals,
                            PyObject* code);

// Stores `annotations` into a method object, without a copy.
void method_object_set_annotations(PyObject* method, Ref&& annotations);

// The body of InternalClass.__init__ on `self`, its one argument: 0, or -1
// with the exception and the entry for the failing line.
int init_body(PyObject* self);

// Adds a traceback entry for `function` (a name of source_map.hpp) at `line`
// of the module's source file to the pending exception. When the entry
// cannot be made, the error of making it replaces the pending exception.
void add_traceback(const char* function, int line);

}  // namespace tarnvel
