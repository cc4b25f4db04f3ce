// Equality and truth as the interpreter's own `==` and `if` give them, with
// the fast cases that need no call into Python code.
#pragma once

#include <cstddef>
#include <cstring>

#include "py_ref.hpp"

namespace tarnvel {

// Two exact str: the same code points. -1 only if a legacy string cannot be readied.
inline int exact_str_equal(PyObject* a, PyObject* b)
{
    if (PyUnicode_READY(a) < 0 || PyUnicode_READY(b) < 0) {
        return -1;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b)) {
        return 0;
    }
    Py_hash_t hash_a = reinterpret_cast<PyASCIIObject*>(a)->hash;
    Py_hash_t hash_b = reinterpret_cast<PyASCIIObject*>(b)->hash;
    if (hash_a != -1 && hash_b != -1 && hash_a != hash_b) {
        return 0;
    }
    // Strings are stored in their narrowest kind, so equal strings share it.
    unsigned int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) {
        return 0;
    }
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(length) * kind) == 0;
}

// The truth of a value: 1, 0, or -1 with an exception set.
inline int truth(PyObject* value)
{
    if (value == Py_True) {
        return 1;
    }
    if (value == Py_False || value == Py_None) {
        return 0;
    }
    return PyObject_IsTrue(value);
}

// `left == right` by rich comparison, its result judged like an `if` would.
inline int rich_equal(PyObject* left, PyObject* right)
{
    PyObject* result = PyObject_RichCompare(left, right, Py_EQ);
    if (result == nullptr) {
        return -1;
    }
    int equal = truth(result);
    Py_DECREF(result);
    return equal;
}

// `value == literal` where `literal` is an exact str.
inline int equals_literal(PyObject* value, PyObject* literal)
{
    if (value == literal) {
        return 1;
    }
    if (PyUnicode_CheckExact(value)) {
        return exact_str_equal(value, literal);
    }
    if (value == Py_None) {
        return 0;
    }
    return rich_equal(value, literal);
}

}  // namespace tarnvel
