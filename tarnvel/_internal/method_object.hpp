// The function type of InternalClass's methods: binding, attributes, tracebacks.
#pragma once

#include "py_ref.hpp"

namespace tarnvel {

struct MethodObject {
    PyObject_HEAD
    PyMethodDef* definition;
    PyObject* module;        // __module__
    PyObject* weakreflist;
    vectorcallfunc vectorcall;
    PyObject* dict;          // __dict__, made on first use
    PyObject* name;          // __name__, interned on first read
    PyObject* qualname;
    PyObject* doc;           // __doc__, decoded on first read
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;      // stored only; calls never use them
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* is_coroutine;  // False, made on first read
};

extern PyTypeObject method_object_type;

// The three method definitions, in the order the class lists them.
extern PyMethodDef init_definition;
extern PyMethodDef validate_token_definition;
extern PyMethodDef search_query_definition;

// Exec step 9.
int method_object_type_ready();

// A new method object holding new references to the four objects; null with
// MemoryError when it cannot be allocated.
PyObject* method_object_new(PyMethodDef* definition, PyObject* qualname, PyObject* module,
                            PyObject* globals, PyObject* code);

// Stores `annotations` (one reference taken, no copy) into a method object.
void method_object_set_annotations(PyObject* method, PyObject* annotations);

// Adds a traceback entry "function_name" at `line` of the module's source file
// to the pending exception. Keeps the pending exception when the entry cannot
// be made only if making it raised nothing else.
enum class TracebackFunction { init_module, init, validate_token, search_query };
void add_traceback(TracebackFunction function, int line);

}  // namespace tarnvel
