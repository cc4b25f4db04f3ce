// The method object type: a function type written in C that binds and
// type-tests its arguments like a Python function before the body runs, and
// carries the usual function attributes so that help(), inspect and pickle
// treat InternalClass's methods as ordinary functions.
#include <Python.h>

#include <frameobject.h>
#include <structmember.h>

#include <cstddef>
#include <limits>
#include <string_view>
#include <utility>

#include "method_object.hpp"

#include "module_state.hpp"
#include "service_client.hpp"
#include "shortcuts.hpp"

namespace tarnvel {
namespace {

struct MethodObject {
    PyObject_HEAD
    PyMethodDef* definition;
    PyObject* module;  // __module__
    PyObject* weakreflist;
    vectorcallfunc vectorcall;
    PyObject* dict;  // __dict__, made on first use
    PyObject* name;  // __name__, interned on first read
    PyObject* qualname;
    PyObject* doc;  // __doc__, decoded on first read
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;  // stored only; calls never use them
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* is_coroutine;  // False, made on first read
};

// ---------------------------------------------------------------------------
// Traceback entries

// One code object per (function, line), made on the first failure there and
// kept: the entry it gives is the same every time. Written only with the
// interpreter lock held.
struct CachedCode {
    const char* function;
    int line;
    PyObject* code;
};
constexpr std::size_t traceback_cache_size = 64;
CachedCode traceback_cache[traceback_cache_size];
std::size_t traceback_cache_used = 0;

// The code object of an entry: borrowed from the cache, or owned by `uncached`
// once the cache is full.
PyObject* entry_code(const char* function, int line, Ref& uncached)
{
    for (std::size_t i = 0; i < traceback_cache_used; ++i) {
        // The same name is usually the same pointer; by text otherwise, since
        // each file that names a function may hold its own copy of the name.
        const char* cached = traceback_cache[i].function;
        if (traceback_cache[i].line == line && (cached == function || std::string_view(cached) == function)) {
            return traceback_cache[i].code;
        }
    }
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(source::file, function, line));
    if (code == nullptr || traceback_cache_used == traceback_cache_size) {
        uncached = Ref::steal(code);
        return code;
    }
    traceback_cache[traceback_cache_used++] = {function, line, code};
    return code;
}

}  // namespace

void add_traceback(const char* function, int line)
{
    Ref uncached;
    PyFrameObject* frame;
    {
        PendingException pending;
        PyObject* code = entry_code(function, line, uncached);
        frame = code != nullptr ? PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                                              state.namespace_dict, nullptr)
                                : nullptr;
        if (frame == nullptr) {
            // The failure to make the entry replaces the exception set aside.
            pending.drop();
            return;
        }
    }
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

// ---------------------------------------------------------------------------
// The body of __init__, shared by its entry and InternalClass's constructor

int init_body(PyObject* self)
{
    // Ordinary assignment, so that a subclass's __setattr__ runs.
    setattrofunc setattro = Py_TYPE(self)->tp_setattro;
    int status = setattro != nullptr ? setattro(self, state.api_key, state.api_key_value)
                                     : PyObject_SetAttr(self, state.api_key, state.api_key_value);
    if (status < 0) {
        add_traceback(source::init.function, source::init.assignment);
        return -1;
    }
    return 0;
}

namespace {

// ---------------------------------------------------------------------------
// Argument binding

using FastEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <std::size_t N>
char* append_text(char* out, const char (&text)[N])
{
    for (std::size_t i = 0; i + 1 < N; ++i) {
        *out++ = text[i];
    }
    return out;
}

constexpr std::size_t name_limit = 200;  // "%.200s"
// The digits of any Py_ssize_t (digits10 counts only those that can all be 9) and a sign.
constexpr std::size_t decimal_limit = std::numeric_limits<Py_ssize_t>::digits10 + 2;

char* append_decimal(char* out, Py_ssize_t value)
{
    char digits[decimal_limit];
    int count = 0;
    std::size_t magnitude = value < 0 ? 0 - static_cast<std::size_t>(value) : static_cast<std::size_t>(value);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        *out++ = '-';
    }
    while (count > 0) {
        *out++ = digits[--count];
    }
    return out;
}

// What PyErr_Format makes of "%.200s() takes %.8s %zd positional argument%.1s
// (%zd given)", put together here: formatting costs more than all the rest
// of a failed call. A failure to make the text leaves TypeError without a
// value, as PyErr_Format does.
PyObject* count_error(const char* name, Py_ssize_t expected, Py_ssize_t given)
{
    constexpr char takes[] = "() takes exactly ";
    constexpr char argument[] = " positional argument";
    constexpr char given_open[] = " (";
    constexpr char given_close[] = " given)";
    // Sized from its parts; each sizeof counts one NUL more than it needs.
    char text[name_limit + sizeof takes + decimal_limit + sizeof argument + 1 + sizeof given_open + decimal_limit +
              sizeof given_close];
    char* end = text;
    for (std::size_t i = 0; i < name_limit && name[i] != '\0'; ++i) {
        *end++ = name[i];
    }
    end = append_text(end, takes);
    end = append_decimal(end, expected);
    end = append_text(end, argument);
    if (expected != 1) {
        *end++ = 's';
    }
    end = append_text(end, given_open);
    end = append_decimal(end, given);
    end = append_text(end, given_close);
    PyObject* message = PyUnicode_DecodeUTF8(text, end - text, nullptr);
    PyErr_SetObject(PyExc_TypeError, message);
    Py_XDECREF(message);
    return nullptr;
}

// The keyword test of the scan: same length, then PyUnicode_Compare.
int keyword_names_parameter(PyObject* key, PyObject* parameter)
{
    int same = same_length(key, parameter);
    if (same <= 0) {
        return same;
    }
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
        for (Py_ssize_t p = nargs; p < count; ++p) {
            if (key == parameters[p]) {
                bound[p] = keyword_values[k];
                taken = true;
                break;
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
            int equal = keyword_names_parameter(key, parameters[p]);
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
            int equal = key == parameters[p] ? 1 : keyword_names_parameter(key, parameters[p]);
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

// Binds a call to `count` parameters; `bound` receives borrowed references
// into the caller's argument array. Allocates nothing.
int bind_arguments(const char* name, PyObject* const* parameters, Py_ssize_t count, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** bound)
{
    if (kwnames == nullptr) {
        if (nargs != count) {
            count_error(name, count, nargs);
            return -1;
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            bound[i] = args[i];
        }
        return 0;
    }
    if (nargs > count) {
        count_error(name, count, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[i] = args[i];
    }
    PyObject* const* keyword_values = args + nargs;
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    Py_ssize_t remaining = nkw;
    for (Py_ssize_t p = nargs; p < count; ++p) {
        PyObject* parameter = parameters[p];
        Py_ssize_t hit = -1;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (PyTuple_GET_ITEM(kwnames, k) == parameter) {
                hit = k;
                break;
            }
        }
        for (Py_ssize_t k = 0; hit < 0 && k < nkw; ++k) {
            // The parameter's name on the left, whatever the caller passed on the right.
            int equal = literal_equals(parameter, PyTuple_GET_ITEM(kwnames, k));
            if (equal < 0) {
                return -1;
            }
            if (equal) {
                hit = k;
            }
        }
        if (hit < 0) {
            count_error(name, count, p);
            return -1;
        }
        bound[p] = keyword_values[hit];
        --remaining;
    }
    if (remaining > 0) {
        return scan_keywords(name, parameters, count, nargs, keyword_values, kwnames, bound);
    }
    return 0;
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

// ---------------------------------------------------------------------------
// Entries of the three methods: binding, type tests, body

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

PyCFunction as_method_entry(FastEntry entry)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// ---------------------------------------------------------------------------
// Calls

MethodObject* as_method(PyObject* self) { return reinterpret_cast<MethodObject*>(self); }

PyObject* method_object_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    auto entry = reinterpret_cast<FastEntry>(reinterpret_cast<void (*)()>(as_method(callable)->definition->ml_meth));
    return entry(callable, args, PyVectorcall_NARGS(nargsf), kwnames);
}

PyObject* method_object_descr_get(PyObject* self, PyObject* instance, PyObject*)
{
    if (instance == nullptr || instance == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

PyObject* method_object_repr(PyObject* self)
{
    return PyUnicode_FromFormat("<function %U at %p>", as_method(self)->qualname, self);
}

// ---------------------------------------------------------------------------
// Lifetime and garbage collection

// Every reference a method object holds.
constexpr PyObject* MethodObject::*held_references[] = {
    &MethodObject::module,     &MethodObject::dict,        &MethodObject::name,         &MethodObject::qualname,
    &MethodObject::doc,        &MethodObject::globals,     &MethodObject::code,         &MethodObject::defaults,
    &MethodObject::kwdefaults, &MethodObject::annotations, &MethodObject::is_coroutine,
};

int method_object_traverse(PyObject* self, visitproc visit, void* arg)
{
    // Instances hold their type; a Python subclass's traverse leaves it to this one.
    Py_VISIT(Py_TYPE(self));
    MethodObject* m = as_method(self);
    for (auto member : held_references) {
        Py_VISIT(m->*member);
    }
    return 0;
}

int method_object_clear(PyObject* self)
{
    MethodObject* m = as_method(self);
    for (auto member : held_references) {
        Py_CLEAR(m->*member);
    }
    return 0;
}

void method_object_dealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    if (as_method(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    method_object_clear(self);
    // Instances hold their type, this one or a Python subclass of it.
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Attributes

PyObject* method_object_get_name(PyObject* self, void*)
{
    MethodObject* m = as_method(self);
    if (m->name == nullptr) {
        m->name = PyUnicode_InternFromString(m->definition->ml_name);
        if (m->name == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(m->name);
}

// Assigns a str attribute that cannot be deleted; TypeError `error` otherwise.
int assign_str(PyObject*& slot, PyObject* value, const char* error)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, error);
        return -1;
    }
    replace(slot, Ref::borrow(value));
    return 0;
}

int method_object_set_name(PyObject* self, PyObject* value, void*)
{
    return assign_str(as_method(self)->name, value, "__name__ must be set to a string object");
}

PyObject* method_object_get_qualname(PyObject* self, void*) { return Py_NewRef(as_method(self)->qualname); }

int method_object_set_qualname(PyObject* self, PyObject* value, void*)
{
    return assign_str(as_method(self)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* method_object_get_module(PyObject* self, void*)
{
    PyObject* module = as_method(self)->module;
    return Py_NewRef(module != nullptr ? module : Py_None);
}

int method_object_set_module(PyObject* self, PyObject* value, void*)
{
    replace(as_method(self)->module, Ref::borrow(value));
    return 0;
}

PyObject* method_object_get_doc(PyObject* self, void*)
{
    MethodObject* m = as_method(self);
    if (m->doc == nullptr) {
        if (m->definition->ml_doc == nullptr) {
            Py_RETURN_NONE;
        }
        m->doc = PyUnicode_FromString(m->definition->ml_doc);
        if (m->doc == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(m->doc);
}

int method_object_set_doc(PyObject* self, PyObject* value, void*)
{
    replace(as_method(self)->doc, Ref::borrow(value != nullptr ? value : Py_None));
    return 0;
}

// A dict attribute made empty on its first read and kept.
PyObject* made_on_first_read(PyObject*& slot)
{
    if (slot == nullptr) {
        slot = PyDict_New();
        if (slot == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(slot);
}

PyObject* method_object_get_dict(PyObject* self, void*) { return made_on_first_read(as_method(self)->dict); }

int method_object_set_dict(PyObject* self, PyObject* value, void*)
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    replace(as_method(self)->dict, Ref::borrow(value));
    return 0;
}

PyObject* method_object_get_closure(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* method_object_get_defaults(PyObject* self, void*)
{
    PyObject* defaults = as_method(self)->defaults;
    return Py_NewRef(defaults != nullptr ? defaults : Py_None);
}

bool is_tuple(PyObject* value) { return PyTuple_Check(value); }
bool is_dict(PyObject* value) { return PyDict_Check(value); }

// Assigns an attribute that None or deletion clears; anything else must pass
// `is_valid`, or TypeError `error`. Stored defaults are introspection only:
// binding never reads them, so assigning `ignored_attribute` says so.
int assign_or_clear(PyObject*& slot, PyObject* value, bool (*is_valid)(PyObject*), const char* error,
                    const char* ignored_attribute)
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !is_valid(value)) {
        PyErr_SetString(PyExc_TypeError, error);
        return -1;
    }
    if (ignored_attribute != nullptr &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "changes to %s have no effect on the values used in calls of this function",
                         ignored_attribute) < 0) {
        return -1;
    }
    replace(slot, Ref::borrow(value));
    return 0;
}

int method_object_set_defaults(PyObject* self, PyObject* value, void*)
{
    return assign_or_clear(as_method(self)->defaults, value, is_tuple, "__defaults__ must be set to a tuple object",
                           "__defaults__");
}

PyObject* method_object_get_kwdefaults(PyObject* self, void*)
{
    PyObject* kwdefaults = as_method(self)->kwdefaults;
    return Py_NewRef(kwdefaults != nullptr ? kwdefaults : Py_None);
}

int method_object_set_kwdefaults(PyObject* self, PyObject* value, void*)
{
    return assign_or_clear(as_method(self)->kwdefaults, value, is_dict, "__kwdefaults__ must be set to a dict object",
                           "__kwdefaults__");
}

PyObject* method_object_get_annotations(PyObject* self, void*)
{
    return made_on_first_read(as_method(self)->annotations);
}

int method_object_set_annotations(PyObject* self, PyObject* value, void*)
{
    return assign_or_clear(as_method(self)->annotations, value, is_dict, "__annotations__ must be set to a dict object",
                           nullptr);
}

PyObject* method_object_get_is_coroutine(PyObject* self, void*)
{
    MethodObject* m = as_method(self);
    if (m->is_coroutine == nullptr) {
        m->is_coroutine = Py_NewRef(Py_False);
    }
    return Py_NewRef(m->is_coroutine);
}

// Pickled by reference: the module and the qualified name lead back here.
PyObject* method_object_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_method(self)->qualname); }

PyGetSetDef method_object_getset[] = {
    {"__name__", method_object_get_name, method_object_set_name, nullptr, nullptr},
    {"func_name", method_object_get_name, method_object_set_name, nullptr, nullptr},
    {"__qualname__", method_object_get_qualname, method_object_set_qualname, nullptr, nullptr},
    {"__module__", method_object_get_module, method_object_set_module, nullptr, nullptr},
    {"__doc__", method_object_get_doc, method_object_set_doc, nullptr, nullptr},
    {"func_doc", method_object_get_doc, method_object_set_doc, nullptr, nullptr},
    {"__dict__", method_object_get_dict, method_object_set_dict, nullptr, nullptr},
    {"func_dict", method_object_get_dict, method_object_set_dict, nullptr, nullptr},
    {"__closure__", method_object_get_closure, nullptr, nullptr, nullptr},
    {"func_closure", method_object_get_closure, nullptr, nullptr, nullptr},
    {"__defaults__", method_object_get_defaults, method_object_set_defaults, nullptr, nullptr},
    {"func_defaults", method_object_get_defaults, method_object_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", method_object_get_kwdefaults, method_object_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", method_object_get_annotations, method_object_set_annotations, nullptr, nullptr},
    {"_is_coroutine", method_object_get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr} /* sentinel */
};

PyMemberDef method_object_members[] = {
    // How a type made from a spec learns where these fields are.
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodObject, vectorcall), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(MethodObject, weakreflist), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(MethodObject, dict), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(MethodObject, globals), READONLY, nullptr},
    {"func_globals", T_OBJECT, offsetof(MethodObject, globals), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(MethodObject, code), READONLY, nullptr},
    {"func_code", T_OBJECT, offsetof(MethodObject, code), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr} /* sentinel */
};

PyMethodDef method_object_methods[] = {
    {"__reduce__", method_object_reduce, METH_VARARGS, nullptr}, {nullptr, nullptr, 0, nullptr} /* sentinel */
};

}  // namespace

// ---------------------------------------------------------------------------
// Definitions of InternalClass's methods

PyMethodDef init_definition = {"__init__", as_method_entry(init_entry), METH_FASTCALL | METH_KEYWORDS, nullptr};

PyMethodDef validate_token_definition = {"validate_token", as_method_entry(validate_token_entry),
                                         METH_FASTCALL | METH_KEYWORDS,
                                         "\n"
                                         "        Validates the given API token.\n"
                                         "        \n"
                                         "        :param token: The API token to validate.\n"
                                         "        :return: Validation status message.\n"
                                         "        "};

PyMethodDef search_query_definition = {"search_query", as_method_entry(search_query_entry),
                                       METH_FASTCALL | METH_KEYWORDS,
                                       "\n"
                                       "        Executes a search query using the provided token.\n"
                                       "\n"
                                       "        :param token: The API token to authenticate the search.\n"
                                       "        :param query: The search query.\n"
                                       "        :return: Search results or error message.\n"
                                       "        "};

namespace {

// No Py_tp_doc: a heap type's own docstring would take the place of the
// instances' __doc__ in the type's dict.
PyType_Slot method_object_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(method_object_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(method_object_repr)},
    // The tuple-and-dict form, flattened into the vectorcall one; also what a
    // Python subclass, which loses the vectorcall flag, is called through.
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getattro, reinterpret_cast<void*>(PyObject_GenericGetAttr)},
    {Py_tp_setattro, reinterpret_cast<void*>(PyObject_GenericSetAttr)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_object_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_object_clear)},
    {Py_tp_methods, method_object_methods},
    {Py_tp_members, method_object_members},
    {Py_tp_getset, method_object_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_object_descr_get)},
    {0, nullptr} /* sentinel */
};

PyType_Spec method_object_spec = {
    "tarnvel._internal.method_object",
    sizeof(MethodObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    method_object_slots,
};

// A heap type, made whole or not at all: a static type whose readying fails
// half-way cannot be readied again. Made once and kept for the process.
PyTypeObject* method_object_type = nullptr;

}  // namespace

int method_object_type_ready()
{
    if (method_object_type == nullptr) {
        method_object_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&method_object_spec));
        // 3.11 can fail to copy the type's name without saying why.
        if (method_object_type == nullptr && !PyErr_Occurred()) {
            PyErr_NoMemory();
        }
    }
    return method_object_type != nullptr ? 0 : -1;
}

PyObject* method_object_new(PyMethodDef* definition, PyObject* qualname, PyObject* module, PyObject* globals,
                            PyObject* code)
{
    MethodObject* m = PyObject_GC_New(MethodObject, method_object_type);
    if (m == nullptr) {
        return nullptr;
    }
    m->definition = definition;
    m->module = Py_NewRef(module);
    m->weakreflist = nullptr;
    m->vectorcall = method_object_vectorcall;
    m->dict = nullptr;
    m->name = nullptr;
    m->qualname = Py_NewRef(qualname);
    m->doc = nullptr;
    m->globals = Py_NewRef(globals);
    m->code = Py_NewRef(code);
    m->defaults = nullptr;
    m->kwdefaults = nullptr;
    m->annotations = nullptr;
    m->is_coroutine = nullptr;
    PyObject_GC_Track(m);
    return reinterpret_cast<PyObject*>(m);
}

void method_object_set_annotations(PyObject* method, Ref&& annotations)
{
    replace(as_method(method)->annotations, std::move(annotations));
}

}  // namespace tarnvel
