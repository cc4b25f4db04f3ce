// The interpreter shortcuts (see shortcuts.hpp for what each one stands for).
#include <Python.h>

#include <cstddef>
#include <cstring>

#include "shortcuts.hpp"

#include "method_object.hpp"
#include "module_state.hpp"

namespace tarnvel {
namespace {

// ---------------------------------------------------------------------------
// What differs between the interpreter versions

// 3.11 still has legacy strings, which must be readied before their length
// and data are read; 3.12 removed them and made readying a deprecated no-op.
int ready(PyObject* str)
{
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(str);
#else
    static_cast<void>(str);
    return 0;
#endif
}

bool is_ready(PyObject* str)
{
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_IS_READY(str);
#else
    static_cast<void>(str);
    return true;
#endif
}

// Whether a cached lookup still holds. Up to 3.11 every dict has a version
// that every change renews, never handing one out twice. 3.12 deprecates it
// (3.14 removes it); there a dict watcher, called before any change of a
// watched dict, its deallocation included, drops the caches that read it.
#if PY_VERSION_HEX < 0x030C0000
uint64_t dict_version(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }

bool still_valid(const CachedLookup& cache, PyObject* dict)
{
    return cache.version != 0 && dict_version(dict) == cache.version;
}

void remember(CachedLookup& cache, PyObject* dict, PyObject* found)
{
    cache.version = dict_version(dict);
    cache.value = found;
}
#else
// Renewed whenever any watched dict changes: a cache made under an older one
// no longer holds. The watched dicts (the module's and requests') rarely do.
uint64_t watched_generation = 1;
int dict_watcher = -1;
bool dict_watcher_refused = false;

int forget_dict(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*)
{
    ++watched_generation;
    return 0;
}

bool still_valid(const CachedLookup& cache, PyObject* dict)
{
    return cache.dict == dict && cache.version == watched_generation;
}

// Caches `found` when the dict can be watched; else the next call looks again.
void remember(CachedLookup& cache, PyObject* dict, PyObject* found)
{
    if (dict_watcher < 0 && !dict_watcher_refused) {
        dict_watcher = PyDict_AddWatcher(forget_dict);
        // Every watcher of the interpreter taken: look up each time.
        dict_watcher_refused = dict_watcher < 0;
        if (dict_watcher_refused) {
            PyErr_Clear();
        }
    }
    if (dict_watcher < 0) {
        return;
    }
    if (PyDict_Watch(dict_watcher, dict) < 0) {
        PyErr_Clear();
        return;
    }
    cache = {watched_generation, dict, found};
}
#endif

}  // namespace

// ---------------------------------------------------------------------------
// Equality

int exact_str_equal(PyObject* a, PyObject* b)
{
    if (ready(a) < 0 || ready(b) < 0) {
        return -1;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b)) {
        return 0;
    }
    // The cached hash, -1 until computed; there is no public reader that
    // does not compute it.
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

namespace {

int equals_str(PyObject* left, PyObject* right, PyObject* other)
{
    if (left == right) {
        return 1;
    }
    if (PyUnicode_CheckExact(other)) {
        return exact_str_equal(left, right);
    }
    if (other == Py_None) {
        return 0;
    }
    return PyObject_RichCompareBool(left, right, Py_EQ);
}

}  // namespace

int equals_literal(PyObject* value, PyObject* literal) { return equals_str(value, literal, value); }

int literal_equals(PyObject* literal, PyObject* value) { return equals_str(literal, value, value); }

int same_length(PyObject* a, PyObject* b)
{
    if (ready(a) < 0 || ready(b) < 0) {
        return -1;
    }
    return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b);
}

// ---------------------------------------------------------------------------
// Calls

namespace {

PyObject* call_with_tuple(ternaryfunc call, PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, PyObject* prebuilt_args)
{
    Ref tuple = prebuilt_args != nullptr ? Ref::borrow(prebuilt_args) : Ref::steal(PyTuple_New(nargs));
    if (!tuple) {
        return nullptr;
    }
    if (prebuilt_args == nullptr) {
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
        }
    }
    Ref keywords;
    if (kwnames != nullptr) {
        keywords = Ref::steal(PyDict_New());
        if (!keywords) {
            return nullptr;
        }
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) {
                return nullptr;
            }
        }
    }
    return call(callable, tuple.get(), keywords.get());
}

// `dict.get(key, default)` on an exact dict, guarded like the call of that
// method descriptor.
PyObject* exact_dict_get(PyObject* dict, PyObject* key, PyObject* default_value)
{
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject* found = PyDict_GetItemWithError(dict, key);
    Py_LeaveRecursiveCall();
    if (found != nullptr) {
        return Py_NewRef(found);
    }
    return PyErr_Occurred() ? nullptr : Py_NewRef(default_value);
}

// The attribute `name` of `object` as `object.name(...)` in Python code finds
// it: 1 when it is a method that takes `object` as its first argument (no
// bound method is made), 0 when it is the attribute itself, -1 with an
// exception. _PyObject_GetMethod, the interpreter's own LOAD_METHOD, which
// 3.13 made internal: from there the attribute itself is fetched, a bound
// method where it is a function.
int find_method(PyObject* object, PyObject* name, Ref* found)
{
#if PY_VERSION_HEX < 0x030D0000
    PyObject* method = nullptr;
    int unbound = _PyObject_GetMethod(object, name, &method);
    *found = Ref::steal(method);
    return method == nullptr ? -1 : unbound;
#else
    *found = Ref::steal(PyObject_GetAttr(object, name));
    return *found ? 0 : -1;
#endif
}

}  // namespace

PyObject* call_guarded(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject* prebuilt_args)
{
    ternaryfunc call = Py_TYPE(callable)->tp_call;
    if (call == nullptr) {
        // Raises the interpreter's "object is not callable".
        return PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs), kwnames);
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    vectorcallfunc vectorcall = PyVectorcall_Function(callable);
    PyObject* result = vectorcall != nullptr ? vectorcall(callable, args, static_cast<size_t>(nargs), kwnames)
                                             : call_with_tuple(call, callable, args, nargs, kwnames, prebuilt_args);
    Py_LeaveRecursiveCall();
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return result;
}

PyObject* call_get(PyObject* value, PyObject* key)
{
    if (PyDict_CheckExact(value)) {
        return exact_dict_get(value, key, Py_None);
    }
    PyObject* args[] = {value, key};
    return PyObject_VectorcallMethod(state.get, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* call_get_with_default(PyObject* value, PyObject* key_and_default)
{
    PyObject* const* pair = &PyTuple_GET_ITEM(key_and_default, 0);
    if (PyDict_CheckExact(value)) {
        return exact_dict_get(value, pair[0], pair[1]);
    }
    Ref get;
    int unbound = find_method(value, state.get, &get);
    if (unbound < 0) {
        return nullptr;
    }
    if (unbound) {
        PyObject* args[] = {value, pair[0], pair[1]};
        return call_guarded(get.get(), args, 3, nullptr);
    }
    return call_guarded(get.get(), pair, 2, nullptr, key_and_default);
}

PyObject* call_get_with_new_dict(PyObject* value, PyObject* key)
{
    if (PyDict_CheckExact(value)) {
        Ref empty = Ref::steal(PyDict_New());
        return empty ? exact_dict_get(value, key, empty.get()) : nullptr;
    }
    Ref get;
    int unbound = find_method(value, state.get, &get);
    if (unbound < 0) {
        return nullptr;
    }
    Ref empty = Ref::steal(PyDict_New());
    if (!empty) {
        return nullptr;
    }
    PyObject* args[] = {value, key, empty.get()};
    return unbound ? PyObject_Vectorcall(get.get(), args, 3, nullptr)
                   : PyObject_Vectorcall(get.get(), args + 1, 2, nullptr);
}

// ---------------------------------------------------------------------------
// Construction

namespace {

// The class's version tag when its __init__ was last found to be the
// module's own; 0 for none. The interpreter sets a class's tag to 0 when an
// attribute of the class or of a base changes, and never hands a tag out
// twice: while the tag stands, so does the answer (its own specialised calls
// rely on the same).
unsigned int own_init_version = 0;

// Whether `__init__`, as the lookup on `type` finds it, is the module's own.
bool has_own_init(PyTypeObject* type)
{
    unsigned int version = type->tp_version_tag;
    if (version != 0 && version == own_init_version) {
        return true;
    }
    if (_PyType_Lookup(type, state.dunder_init) != state.init_method) {
        return false;
    }
    // The lookup gave the class a tag where it could.
    own_init_version = type->tp_version_tag;
    return true;
}

// Type's own call of the class without arguments while its __new__ is
// object's: the instance from object's __new__ (which also readies the
// instance's attribute storage and refuses an abstract class), then
// __init__ as slot_tp_init finds it. Looked up only once the instance
// exists, as there: a collection run by the allocation may have run code
// that replaced it.
PyObject* construct_without_arguments(PyTypeObject* type)
{
    Ref instance = Ref::steal(PyBaseObject_Type.tp_new(type, state.empty_tuple, nullptr));
    if (!instance) {
        return nullptr;
    }
    if (has_own_init(type)) {
        return init_body(instance.get()) < 0 ? nullptr : instance.release();
    }
    initproc init = type->tp_init;
    if (init != nullptr && init(instance.get(), state.empty_tuple, nullptr) < 0) {
        return nullptr;
    }
    return instance.release();
}

}  // namespace

PyObject* internal_class_vectorcall(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) == 0) {
        kwnames = nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    bool without_arguments = nargs == 0 && kwnames == nullptr && cls == state.internal_class &&
                             type->tp_new == PyBaseObject_Type.tp_new;
    // The interpreter guards its call of type's own call against runaway
    // recursion. Up to 3.11 the guard's counter is the one that Python calls
    // count too, so going without it would move where deep recursion fails.
    // From 3.12 it counts nested C calls only, and the construction calls
    // nothing that does not count itself (the evaluation loop of a Python
    // __setattr__ or __init__ does), as with the vectorcall entries of the
    // interpreter's own types.
#if PY_VERSION_HEX >= 0x030C0000
    if (without_arguments) {
        return construct_without_arguments(type);
    }
#endif
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject* result = without_arguments ? construct_without_arguments(type)
                                         : call_with_tuple(PyType_Type.tp_call, cls, args, nargs, kwnames, nullptr);
    Py_LeaveRecursiveCall();
    return result;
}

// ---------------------------------------------------------------------------
// Names

namespace {

PyObject* find_and_cache(PyObject* dict, PyObject* name, CachedLookup& cache)
{
    PyObject* found = PyDict_GetItemWithError(dict, name);
    if (found != nullptr) {
        remember(cache, dict, found);
    }
    return found;
}

}  // namespace

void raise_name_error(PyObject* name)
{
    Ref message = Ref::steal(PyUnicode_FromFormat("name '%U' is not defined", name));
    if (!message) {
        return;
    }
    Ref error = Ref::steal(PyObject_CallOneArg(PyExc_NameError, message.get()));
    if (!error || PyObject_SetAttrString(error.get(), "name", name) < 0) {
        return;
    }
    PyErr_SetObject(PyExc_NameError, error.get());
}

PyObject* lookup_global(PyObject* globals, PyObject* builtins, PyObject* name, CachedLookup& cache)
{
    PyObject* found = still_valid(cache, globals) ? cache.value : find_and_cache(globals, name, cache);
    if (found != nullptr) {
        return Py_NewRef(found);
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    found = PyObject_GetAttr(builtins, name);
    if (found == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        raise_name_error(name);
    }
    return found;
}

PyObject* module_attribute(PyObject* object, PyObject* name, CachedLookup& cache)
{
    // The module type cannot be changed, so a name it lacks now it lacks
    // for good; checked only when the dict has changed.
    if (Py_TYPE(object) == &PyModule_Type) {
        PyObject* dict = PyModule_GetDict(object);
        if (still_valid(cache, dict)) {
            return Py_NewRef(cache.value);
        }
        if (_PyType_Lookup(&PyModule_Type, name) == nullptr) {
            PyObject* found = find_and_cache(dict, name, cache);
            if (found != nullptr) {
                return Py_NewRef(found);
            }
            if (PyErr_Occurred()) {
                return nullptr;
            }
        }
    }
    // Not there: the ordinary road to the module's __getattr__ and its error.
    return PyObject_GetAttr(object, name);
}

// ---------------------------------------------------------------------------
// Strings

PyObject* concat(PyObject* prefix, PyObject* text)
{
    if (!PyUnicode_CheckExact(text) || !is_ready(text) || PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND ||
        !PyUnicode_IS_ASCII(prefix)) {
        return PyUnicode_Concat(prefix, text);
    }
    Py_ssize_t prefix_length = PyUnicode_GET_LENGTH(prefix);
    Py_ssize_t text_length = PyUnicode_GET_LENGTH(text);
    // An empty text gives the prefix itself there; a huge one, its error.
    if (text_length == 0 || text_length > PY_SSIZE_T_MAX - prefix_length) {
        return PyUnicode_Concat(prefix, text);
    }
    PyObject* joined = PyUnicode_New(prefix_length + text_length, PyUnicode_IS_ASCII(text) ? 127 : 255);
    if (joined == nullptr) {
        return nullptr;
    }
    Py_UCS1* data = PyUnicode_1BYTE_DATA(joined);
    std::memmove(data, PyUnicode_1BYTE_DATA(prefix), static_cast<std::size_t>(prefix_length));
    std::memmove(data + prefix_length, PyUnicode_1BYTE_DATA(text), static_cast<std::size_t>(text_length));
    return joined;
}

PyObject* concat_decimal(PyObject* prefix, long number)
{
    unsigned long magnitude = number < 0 ? 0UL - static_cast<unsigned long>(number)
                                         : static_cast<unsigned long>(number);
    Py_ssize_t digit_count = 1;
    for (unsigned long rest = magnitude / 10; rest != 0; rest /= 10) {
        ++digit_count;
    }
    Py_ssize_t prefix_length = PyUnicode_GET_LENGTH(prefix);
    Py_ssize_t sign = number < 0 ? 1 : 0;
    PyObject* message = PyUnicode_New(prefix_length + sign + digit_count, 127);
    if (message == nullptr) {
        return nullptr;
    }
    Py_UCS1* data = PyUnicode_1BYTE_DATA(message);
    std::memmove(data, PyUnicode_1BYTE_DATA(prefix), static_cast<std::size_t>(prefix_length));
    if (sign) {
        data[prefix_length] = '-';
    }
    // The digits are written from the last one back.
    Py_UCS1* digit = data + prefix_length + sign + digit_count;
    do {
        *--digit = static_cast<Py_UCS1>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    return message;
}

// ---------------------------------------------------------------------------
// Exceptions

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
#endif

void PendingException::drop() noexcept { dropped_ = true; }

// The item is written directly rather than through PyErr_SetHandledException:
// PyErr_GetHandledException reports the innermost exception that is set,
// looking through a generator's empty item to its caller's, so setting back
// what it reported would hand a running generator its caller's exception,
// which the generator would then keep across its next yield.
HandledExceptionGuard::HandledExceptionGuard() noexcept
    : item_(PyThreadState_Get()->exc_info), saved_(Py_XNewRef(item_->exc_value))
{}

HandledExceptionGuard::~HandledExceptionGuard()
{
    PyObject* current = item_->exc_value;
    item_->exc_value = saved_;
    Py_XDECREF(current);
}

#if PY_VERSION_HEX < 0x030C0000
namespace {

// An exception as raised from Python code: an instance of exactly the raised
// class, whose own metaclass is `type`. Normalising it would change nothing
// and run no code.
bool is_plain_instance(PyObject* type, PyObject* value)
{
    return value != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(value)) == type &&
           PyExceptionInstance_Check(value) && Py_IS_TYPE(type, &PyType_Type);
}

// PyErr_NormalizeException's steps, which that function does not report the
// failure of: it puts the error raised in their place silently. -1 with that
// error pending.
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
#endif

PyObject* take_pending_exception()
{
#if PY_VERSION_HEX >= 0x030C0000
    // Pending exceptions are always normalised, their traceback attached.
    return PyErr_GetRaisedException();
#else
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
        // The error raised instead, with the old traceback when it has none.
        PyErr_Fetch(&fetched_type, &fetched_value, &fetched_traceback);
        PyErr_Restore(fetched_type, fetched_value,
                      fetched_traceback != nullptr ? fetched_traceback : traceback.release());
        return nullptr;
    }
    if (traceback && PyException_SetTraceback(value.get(), traceback.get()) < 0) {
        return nullptr;
    }
    return value.release();
#endif
}

void raise_instance(Ref&& exception)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
    PyObject* traceback = PyException_GetTraceback(exception.get());
    PyErr_Restore(type, exception.release(), traceback);
#endif
}

// ---------------------------------------------------------------------------
// Code objects

PyObject* new_code_object(int argument_count, PyObject* local_names, PyObject* name, int first_line)
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
    // One stack slot: the body pushes the exception class it raises.
    constexpr int stack_size = 1;
#if PY_VERSION_HEX >= 0x030C0000
    // Renamed in 3.12, the old name a deprecated wrapper.
    auto* const new_code = PyUnstable_Code_NewWithPosOnlyArgs;
#else
    auto* const new_code = PyCode_NewWithPosOnlyArgs;
#endif
    return reinterpret_cast<PyObject*>(new_code(
        argument_count, 0, 0, static_cast<int>(PyTuple_GET_SIZE(local_names)), stack_size, CO_OPTIMIZED | CO_NEWLOCALS,
        body.get(), state.empty_tuple, state.empty_tuple, local_names, state.empty_tuple, state.empty_tuple,
        state.file_name, name, name, first_line, line_table.get(), exception_table.get()));
}

}  // namespace tarnvel
