// The private and version-specific uses of CPython (see compat.hpp for why
// each one is here).
#include "compat.hpp"

namespace tarnvel::compat {

// ---------------------------------------------------------------------------
// The pending exception

#if PY_VERSION_HEX >= 0x030C0000
PendingException::PendingException() noexcept : exception_(PyErr_GetRaisedException()) {}

PendingException::~PendingException()
{
    if (dropped_) {
        Py_XDECREF(exception_);
    } else {
        PyErr_SetRaisedException(exception_);
    }
}

PyObject* take_pending_exception() { return PyErr_GetRaisedException(); }

void raise_instance(Ref&& exception) { PyErr_SetRaisedException(exception.release()); }

#else
PendingException::PendingException() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }

PendingException::~PendingException()
{
    if (dropped_) {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    } else {
        PyErr_Restore(type_, value_, traceback_);
    }
}

namespace {

// An exception as raised from Python code: an instance of exactly the raised
// class, whose own metaclass is `type`. Normalising it would change nothing
// and run no code.
bool is_plain_instance(PyObject* type, PyObject* value)
{
    return value != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(value)) == type &&
           PyExceptionInstance_Check(value) && Py_IS_TYPE(type, &PyType_Type);
}

// PyErr_NormalizeException's steps: -1 with the error raised in their place
// pending. A tuple value holds the arguments (C code raises KeyError so).
int normalize(PyObject* type, Ref& value)
{
    if (value && PyExceptionInstance_Check(value.get())) {
        int is_subclass = PyObject_IsSubclass(reinterpret_cast<PyObject*>(Py_TYPE(value.get())), type);
        if (is_subclass != 0) {
            return is_subclass < 0 ? -1 : 0;
        }
    }
    PyObject* made = !value || value.get() == Py_None ? PyObject_CallNoArgs(type)
                     : PyTuple_Check(value.get())     ? PyObject_Call(type, value.get(), nullptr)
                                                      : PyObject_CallOneArg(type, value.get());
    if (made == nullptr) {
        return -1;
    }
    if (!PyExceptionInstance_Check(made)) {
        PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s", type,
                     Py_TYPE(made)->tp_name);
        Py_DECREF(made);
        return -1;
    }
    value = Ref::steal(made);
    return 0;
}

}  // namespace

PyObject* take_pending_exception()
{
    PyObject *fetched_type, *fetched_value, *fetched_traceback;
    PyErr_Fetch(&fetched_type, &fetched_value, &fetched_traceback);
    Ref type = Ref::steal(fetched_type);
    Ref value = Ref::steal(fetched_value);
    Ref traceback = Ref::steal(fetched_traceback);
    if (!PyExceptionClass_Check(type.get())) {
        PyErr_Restore(type.release(), value.release(), traceback.release());
        return nullptr;
    }
    if (!is_plain_instance(type.get(), value.get()) && normalize(type.get(), value) < 0) {
        PyErr_Fetch(&fetched_type, &fetched_value, &fetched_traceback);
        PyErr_Restore(fetched_type, fetched_value,
                      fetched_traceback != nullptr ? fetched_traceback : traceback.release());
        return nullptr;
    }
    if (traceback && PyException_SetTraceback(value.get(), traceback.get()) < 0) {
        return nullptr;
    }
    return value.release();
}

void raise_instance(Ref&& exception)
{
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
    PyObject* traceback = PyException_GetTraceback(exception.get());
    PyErr_Restore(type, exception.release(), traceback);
}
#endif

// ---------------------------------------------------------------------------
// The handled exception

HandledExceptionGuard::HandledExceptionGuard() noexcept
    : item_(PyThreadState_Get()->exc_info), saved_(Py_XNewRef(item_->exc_value))
{}

HandledExceptionGuard::~HandledExceptionGuard()
{
    PyObject* current = item_->exc_value;
    item_->exc_value = saved_;
    Py_XDECREF(current);
}

// ---------------------------------------------------------------------------
// Code objects

PyObject* new_code_object(int argument_count, PyObject* local_names, PyObject* name, PyObject* file_name,
                          int first_line, PyObject* empty_tuple)
{
    // The interpreter's own empty code object lends its body and line table.
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("", "", first_line)));
    if (!empty) {
        return nullptr;
    }
    Ref body = Ref::steal(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(empty.get())));
    Ref line_table = body ? Ref::steal(PyObject_GetAttrString(empty.get(), "co_linetable")) : Ref();
    Ref exception_table = line_table ? Ref::steal(PyBytes_FromStringAndSize(nullptr, 0)) : Ref();
    if (!exception_table) {
        return nullptr;
    }
    // The body's stack needs are the empty code object's: it pushes the
    // exception class it raises.
    Ref stack_size = Ref::steal(PyObject_GetAttrString(empty.get(), "co_stacksize"));
    if (!stack_size) {
        return nullptr;
    }
    long stack_slots = PyLong_AsLong(stack_size.get());
    if (stack_slots == -1 && PyErr_Occurred()) {
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030C0000
    auto* const new_code = PyUnstable_Code_NewWithPosOnlyArgs;
#else
    auto* const new_code = PyCode_NewWithPosOnlyArgs;
#endif
    return reinterpret_cast<PyObject*>(
        new_code(argument_count, 0, 0, static_cast<int>(PyTuple_GET_SIZE(local_names)), static_cast<int>(stack_slots),
                 CO_OPTIMIZED | CO_NEWLOCALS, body.get(), empty_tuple, empty_tuple, local_names, empty_tuple,
                 empty_tuple, file_name, name, name, first_line, line_table.get(), exception_table.get()));
}

}  // namespace tarnvel::compat
