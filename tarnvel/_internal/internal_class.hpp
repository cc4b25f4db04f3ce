// InternalClass's three methods: their definitions (name, entry, calling
// convention, docstring), from which the exec step makes the method objects.
#pragma once

#include <Python.h>

namespace tarnvel {

extern PyMethodDef init_definition;
extern PyMethodDef validate_token_definition;
extern PyMethodDef search_query_definition;

}  // namespace tarnvel
