// Every use of CPython that is private or differs between interpreter
// versions, each with the reason the documented API does not serve.
//
// Depends on nothing of the module's own beyond the owned-reference type, so
// that a new interpreter version means reading this file and no other.
#pragma once

#include <Python.h>

#include "py_ref.hpp"

namespace tarnvel::compat {

// ---------------------------------------------------------------------------
// The pending exception

// Sets the pending exception aside while it lives and puts it back when it
// ends, unless `drop()` was called (the error raised meanwhile then stands).
// 3.12 replaced PyErr_Fetch and PyErr_Restore, deprecated since, by
// PyErr_GetRaisedException and PyErr_SetRaisedException, which 3.11 lacks.
class PendingException {
public:
    PendingException() noexcept;
    ~PendingException();
    PendingException(const PendingException&) = delete;
    PendingException& operator=(const PendingException&) = delete;
    void drop() noexcept { dropped_ = true; }

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exception_;
#else
    PyObject *type_, *value_, *traceback_;
#endif
    bool dropped_ = false;
};

// The pending exception as an `except` clause receives it: taken out of the
// error indicator, normalised to an instance, its traceback attached. A
// normalisation that fails leaves its own error pending (with the old
// traceback when it has none) and returns null. From 3.12 a pending
// exception is always normalised; 3.11's PyErr_NormalizeException does not
// report a failure of its own, so its steps are written out there.
PyObject* take_pending_exception();

// Raises `exception`, an instance, as it stands: it is not normalised again.
void raise_instance(Ref&& exception);

// ---------------------------------------------------------------------------
// The handled exception

// Keeps the calling thread's handled exception (what sys.exc_info() reports)
// as it was when the guard was made, whichever way the scope ends.
//
// PyErr_GetHandledException reports the innermost exception that is set,
// looking through a running generator's empty item to its caller's, so
// setting back what it reported with PyErr_SetHandledException would hand
// the generator its caller's exception, which the generator would then keep
// across its next yield. Only the thread state's own item (_PyErr_StackItem,
// the same layout in every supported version) keeps the generator case exact.
class HandledExceptionGuard {
public:
    HandledExceptionGuard() noexcept;
    ~HandledExceptionGuard();
    HandledExceptionGuard(const HandledExceptionGuard&) = delete;
    HandledExceptionGuard& operator=(const HandledExceptionGuard&) = delete;

private:
    _PyErr_StackItem* item_;
    PyObject* saved_;
};

// ---------------------------------------------------------------------------
// Code objects

// A code object with the given signature and place, whose body is that of
// the interpreter's own empty code objects, so that running it raises
// AssertionError. The constructor that takes a signature,
// PyCode_NewWithPosOnlyArgs, is PyUnstable_Code_NewWithPosOnlyArgs from
// 3.12 (the old name a deprecated wrapper); no stable function makes a code
// object with parameters.
PyObject* new_code_object(int argument_count, PyObject* local_names, PyObject* name, PyObject* file_name,
                          int first_line, PyObject* empty_tuple);

}  // namespace tarnvel::compat

// The module definition's slots that exist only from some version on, for
// its slot table: what the module supports of sub-interpreters (3.12) and of
// free-threaded builds (3.13). The state is process-wide, so an interpreter
// with a GIL of its own is refused by the import system, any other by the
// create step's guard; and the module relies on the GIL, so a free-threaded
// interpreter turns it on to import it.
#if PY_VERSION_HEX >= 0x030D0000
#define TARNVEL_VERSION_MODULE_SLOTS \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED}, {Py_mod_gil, Py_MOD_GIL_USED},
#elif PY_VERSION_HEX >= 0x030C0000
#define TARNVEL_VERSION_MODULE_SLOTS {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#else
#define TARNVEL_VERSION_MODULE_SLOTS
#endif
