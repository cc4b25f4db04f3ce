// The search service's two operations, run after their arguments are bound
// and type-tested. Each returns the message for the caller, or null with the
// exception set and the method's traceback entry added.
#pragma once

#include <Python.h>

namespace tarnvel {

PyObject* validate_token_body(PyObject* token);
PyObject* search_query_body(PyObject* token, PyObject* query);

}  // namespace tarnvel
