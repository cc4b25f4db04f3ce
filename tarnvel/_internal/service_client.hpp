// The search service's two operations, run after their arguments are bound
// and type-tested. Each returns the message for the caller, or null with the
// exception set and the method's traceback entry added.
#pragma once

#include <Python.h>

namespace tarnvel {

PyObject* validate_token_body(PyObject* token);
PyObject* search_query_body(PyObject* token, PyObject* query);

// Raises NameError "name '%U' is not defined" with its `name` set, as the
// interpreter does for a missing global (its suggestions read it).
void raise_name_error(PyObject* name);

}  // namespace tarnvel
