// InternalClass's three methods: each entry binds and type-tests the call's
// arguments, then runs the body (__init__'s here, the working methods' in
// service_client.cpp).
#include "internal_class.hpp"

#include "binding.hpp"
#include "method_object.hpp"
#include "module_state.hpp"
#include "service_client.hpp"
#include "source_map.hpp"
#include "traceback.hpp"

namespace tarnvel {
namespace {

// `self._api_key = "zefrun"`, through the type's own assignment so that a
// subclass's __setattr__ runs.
int init_body(PyObject* self)
{
    setattrofunc setattro = Py_TYPE(self)->tp_setattro;
    int status = setattro != nullptr ? setattro(self, state.api_key, state.api_key_value)
                                     : PyObject_SetAttr(self, state.api_key, state.api_key_value);
    if (status < 0) {
        add_traceback(source::init.function, source::init.assignment);
        return -1;
    }
    return 0;
}

PyObject* init_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* const parameters[] = {state.self};
    PyObject* bound[1];
    if (bind_arguments("__init__", parameters, 1, args, nargs, kwnames, bound) < 0) {
        add_traceback(source::init.function, source::init.def);
        return nullptr;
    }
    if (init_body(bound[0]) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* validate_token_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* const parameters[] = {state.self, state.token};
    PyObject* bound[2];
    if (bind_arguments("validate_token", parameters, 2, args, nargs, kwnames, bound) < 0) {
        add_traceback(source::validate_token.function, source::validate_token.def);
        return nullptr;
    }
    if (!is_exact_str(bound[1], "token")) {
        return nullptr;
    }
    return validate_token_body(bound[1]);
}

PyObject* search_query_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* const parameters[] = {state.self, state.token, state.query};
    PyObject* bound[3];
    if (bind_arguments("search_query", parameters, 3, args, nargs, kwnames, bound) < 0) {
        add_traceback(source::search_query.function, source::search_query.def);
        return nullptr;
    }
    if (!is_exact_str(bound[1], "token") || !is_exact_str(bound[2], "query")) {
        return nullptr;
    }
    return search_query_body(bound[1], bound[2]);
}

}  // namespace

PyMethodDef init_definition = {"__init__", as_definition_entry(init_entry), METH_FASTCALL | METH_KEYWORDS, nullptr};

PyMethodDef validate_token_definition = {"validate_token", as_definition_entry(validate_token_entry),
                                         METH_FASTCALL | METH_KEYWORDS,
                                         "\n"
                                         "        Validates the given API token.\n"
                                         "        \n"
                                         "        :param token: The API token to validate.\n"
                                         "        :return: Validation status message.\n"
                                         "        "};

PyMethodDef search_query_definition = {"search_query", as_definition_entry(search_query_entry),
                                       METH_FASTCALL | METH_KEYWORDS,
                                       "\n"
                                       "        Executes a search query using the provided token.\n"
                                       "\n"
                                       "        :param token: The API token to authenticate the search.\n"
                                       "        :param query: The search query.\n"
                                       "        :return: Search results or error message.\n"
                                       "        "};

}  // namespace tarnvel
