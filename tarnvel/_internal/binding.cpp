// Argument binding (see binding.hpp).
#include "binding.hpp"

namespace tarnvel {
namespace {

// The names are ASCII, so C's formatting gives the text that PyErr_Format
// would, at a fraction of its cost.
int count_error(const char* name, Py_ssize_t expected, Py_ssize_t given)
{
    char text[320];
    PyOS_snprintf(text, sizeof text, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, "exactly",
                  expected, expected == 1 ? "" : "s", given);
    PyErr_SetString(PyExc_TypeError, text);
    return -1;
}

// The keyword test of the scan: 1 when `key`, a str, spells `parameter`.
int spells(PyObject* key, PyObject* parameter)
{
    int order = PyUnicode_Compare(key, parameter);
    if (order == -1 && PyErr_Occurred()) {
        return -1;
    }
    return order == 0;
}

// Every keyword name, once the open parameters are all filled and some names
// are left over: each must name an open parameter again.
int scan_keywords(const char* name, PyObject* const* parameters, Py_ssize_t count, Py_ssize_t nargs,
                  PyObject* const* keyword_values, PyObject* kwnames, PyObject** bound)
{
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        bool taken = false;
        for (Py_ssize_t p = nargs; p < count && !taken; ++p) {
            if (key == parameters[p]) {
                bound[p] = keyword_values[k];
                taken = true;
            }
        }
        if (taken) {
            continue;
        }
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            return -1;
        }
        for (Py_ssize_t p = nargs; p < count && !taken; ++p) {
            int equal = spells(key, parameters[p]);
            if (equal < 0) {
                return -1;
            }
            if (equal) {
                bound[p] = keyword_values[k];
                taken = true;
            }
        }
        if (taken) {
            continue;
        }
        for (Py_ssize_t p = 0; p < nargs; ++p) {
            int equal = key == parameters[p] ? 1 : spells(key, parameters[p]);
            if (equal < 0) {
                return -1;
            }
            if (equal) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
                return -1;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
        return -1;
    }
    return 0;
}

// The keyword that gives `parameter` its value: by identity first (the
// interpreter interns the keyword names of source code), then by equality
// with the parameter's name on the left. Its index, -1 for none, or -2 with
// the error a comparison raised.
Py_ssize_t find_keyword(PyObject* parameter, PyObject* kwnames)
{
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) == parameter) {
            return k;
        }
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        int equal = PyObject_RichCompareBool(parameter, PyTuple_GET_ITEM(kwnames, k), Py_EQ);
        if (equal != 0) {
            return equal < 0 ? -2 : k;
        }
    }
    return -1;
}

}  // namespace

int bind_arguments(const char* name, PyObject* const* parameters, Py_ssize_t count, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** bound)
{
    if (kwnames == nullptr ? nargs != count : nargs > count) {
        return count_error(name, count, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[i] = args[i];
    }
    if (kwnames == nullptr) {
        return 0;
    }
    PyObject* const* keyword_values = args + nargs;
    Py_ssize_t unused = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t p = nargs; p < count; ++p) {
        Py_ssize_t hit = find_keyword(parameters[p], kwnames);
        if (hit == -2) {
            return -1;
        }
        if (hit < 0) {
            return count_error(name, count, p);
        }
        bound[p] = keyword_values[hit];
        --unused;
    }
    return unused > 0 ? scan_keywords(name, parameters, count, nargs, keyword_values, kwnames, bound) : 0;
}

bool is_exact_str(PyObject* value, const char* parameter)
{
    if (PyUnicode_CheckExact(value)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", parameter,
                 "str", Py_TYPE(value)->tp_name);
    return false;
}

}  // namespace tarnvel
