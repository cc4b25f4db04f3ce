// Argument binding of InternalClass's methods: positional and keyword
// arguments to parameters as a Python function binds them, the texts of a
// wrong call, and the type tests of the arguments.
#pragma once

#include <Python.h>

namespace tarnvel {

// Binds a vectorcall (`args`, `nargs`, `kwnames`) to the `count` parameters
// named `parameters` (interned str) of the method `name`: `bound` receives
// borrowed references into the caller's argument array, and nothing is
// allocated. 0, or -1 with the TypeError of a wrong call or the error of a
// keyword comparison.
int bind_arguments(const char* name, PyObject* const* parameters, Py_ssize_t count, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** bound);

// Whether `value`, the argument of `parameter`, is exactly a str; false with
// the TypeError that says so.
bool is_exact_str(PyObject* value, const char* parameter);

}  // namespace tarnvel
