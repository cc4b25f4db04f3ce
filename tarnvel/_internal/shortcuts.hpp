// The interpreter shortcuts: operations that the module needs to behave as
// the interpreter's own, done with less work than the general C API call.
//
// Each function names the operation it stands for, why it is not simply that
// operation, and what it saves on 3.11 (bench/callgrind_bench.py: instructions
// per call against the plain operation in its place). Everything that reaches
// into the interpreter's private or version-specific parts lives behind this
// header (shortcuts.cpp), so that the rest of the module uses only CPython's
// documented API.
#pragma once

#include <Python.h>

#include <cstdint>

#include "py_ref.hpp"

namespace tarnvel {

// ---------------------------------------------------------------------------
// Equality

// `a == b` for two exact str, as str's own comparison answers it: the same
// code points. Not PyObject_RichCompareBool, which makes and judges a bool
// object; known hashes that differ settle it at once. Saves about 90 per
// comparison (search's two "type" matches).
int exact_str_equal(PyObject* a, PyObject* b);

// `value == literal` judged as an `if` judges it, `literal` an exact str:
// the same object is equal, an exact str is compared as above, None is
// unequal without a comparison; anything else is the rich comparison with
// `value` on the left. 1, 0, or -1 with an exception set.
int equals_literal(PyObject* value, PyObject* literal);

// The same with the literal on the left: `literal == value`.
int literal_equals(PyObject* literal, PyObject* value);

// Whether two str have the same length: 1, 0, or -1 with an exception set.
// PyUnicode_GET_LENGTH alone, but a legacy string of 3.11 must be readied first.
int same_length(PyObject* a, PyObject* b);

// ---------------------------------------------------------------------------
// Calls

// PyObject_Call(callable, args, kwargs): guarded against runaway recursion,
// and a callable that returns nothing without an error gives SystemError.
// Not PyObject_Call itself, which needs the argument tuple and keyword dict
// made first: the callable's vectorcall entry is used where it has one.
// Saves about 1,500 per post.
// `prebuilt_args`, when given, is a tuple holding exactly the positional
// arguments, used for a callable without a vectorcall entry.
PyObject* call_guarded(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject* prebuilt_args = nullptr);

// `value.get(key)`, `get` fetched afresh. An exact dict answers directly, as
// dict.get would (its type and the method cannot be changed); else no bound
// method is made. The exact dict saves about 180 per lookup.
PyObject* call_get(PyObject* value, PyObject* key);

// `value.get(key, default)` with the two arguments held in one tuple, which a
// callable without a vectorcall entry receives as it is.
PyObject* call_get_with_default(PyObject* value, PyObject* key_and_default);

// `value.get(key, {})`: `get` is fetched before the new dict is made.
PyObject* call_get_with_new_dict(PyObject* value, PyObject* key);

// ---------------------------------------------------------------------------
// Construction

// `InternalClass(*args, **kwargs)` as type's own call runs it: the class's
// tp_vectorcall, which a subclass never inherits. Not type's own call, which
// a class without this entry reaches through an argument tuple, and which
// then finds __init__ in slot_tp_init and calls it with the instance put in
// front of the arguments, to be bound again: called with no arguments, `cls`
// the class itself and its __new__ still object's, the instance is made by
// object's __new__ and, while __init__ is still the module's own, its body
// runs on it directly. Any other call is type's own, given the tuple and
// dict it expects. Saves about 300 per construction on 3.11 and 380 on
// 3.12 and 3.13.
PyObject* internal_class_vectorcall(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// ---------------------------------------------------------------------------
// Names

// What a name was last found as in a dict, valid while the dict is unchanged.
// Read and written with the interpreter lock held.
struct CachedLookup {
    uint64_t version = 0;       // the dict's version then; from 3.12, the watcher's generation
    PyObject* dict = nullptr;   // from 3.12: the watched dict
    PyObject* value = nullptr;  // borrowed from the dict
};

// The global `name` as code with `globals` finds it: new reference, or null
// with NameError "name '%U' is not defined". Not a plain dict lookup each
// time: the dict's version tells when the last answer still holds (about
// 110 per post).
PyObject* lookup_global(PyObject* globals, PyObject* builtins, PyObject* name, CachedLookup& cache);

// PyObject_GetAttr(object, name), which for a plain module finds a name that
// the module type lacks in the module's dict: read from there directly,
// cached by the dict's version (about 280 per post).
PyObject* module_attribute(PyObject* object, PyObject* name, CachedLookup& cache);

// Raises NameError "name '%U' is not defined" with its `name` set, as the
// interpreter's own does for a missing global (its suggestions read it).
void raise_name_error(PyObject* name);

// ---------------------------------------------------------------------------
// Strings

// PyUnicode_Concat(prefix, text). The usual case, an ASCII prefix and an
// exact str of one byte per character, is copied straight into the result
// (about 110 per message).
PyObject* concat(PyObject* prefix, PyObject* text);

// `prefix` (an ASCII str) followed by repr(number), made in one piece instead
// of a repr and a concatenation (about 620 per message).
PyObject* concat_decimal(PyObject* prefix, long number);

// ---------------------------------------------------------------------------
// Exceptions

// A guard that lives for one scope: not copied, not moved.
class ScopeGuard {
public:
    ScopeGuard() = default;
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;
};

// Sets the pending exception aside while it lives and puts it back when it
// ends, unless `drop()` was called (the error raised meanwhile then stands).
class PendingException : ScopeGuard {
public:
    PendingException() noexcept;
    ~PendingException();
    void drop() noexcept;

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exception_;
#else
    PyObject *type_, *value_, *traceback_;
#endif
    bool dropped_ = false;
};

// Keeps the calling thread's handled exception (what sys.exc_info() reports)
// as it was when the guard was made, whichever way the scope ends.
class HandledExceptionGuard : ScopeGuard {
public:
    HandledExceptionGuard() noexcept;
    ~HandledExceptionGuard();

private:
    _PyErr_StackItem* item_;
    PyObject* saved_;
};

// The pending exception as an `except` clause receives it: taken out of the
// error indicator, normalised to an instance, its traceback attached. A
// normalisation that fails leaves its own error pending (with the old
// traceback when it has none) and returns null.
PyObject* take_pending_exception();

// Raises `exception`, an instance, as it stands: it is not normalised again.
void raise_instance(Ref&& exception);

// ---------------------------------------------------------------------------
// Code objects

// A code object of the module's file with the given signature and place, whose body is that of the
// interpreter's own empty code objects: running it raises AssertionError.
// Made with PyCode_NewWithPosOnlyArgs, whose name and status change between
// versions.
PyObject* new_code_object(int argument_count, PyObject* local_names, PyObject* name, int first_line);

}  // namespace tarnvel
