// The method object type: a function type written in C whose calls go
// straight to its definition's entry, and which carries the usual function
// attributes, so that help(), inspect and pickle treat InternalClass's
// methods as ordinary functions.
#include "method_object.hpp"

#include <structmember.h>

#include <cstddef>
#include <utility>

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
// Calls

MethodObject* as_method(PyObject* self) { return reinterpret_cast<MethodObject*>(self); }

PyObject* method_object_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    // METH_FASTCALL | METH_KEYWORDS, the only convention the module's definitions use.
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

// An exact, empty str put in place of the qualified name by a clear.
PyObject* cleared_qualname = nullptr;

// As a Python function's clear does: the code object and the qualified name
// stay readable (repr, __qualname__, __reduce__ and __code__ may run on a
// cleared object, from a finalizer in the same cycle), the qualified name
// as an exact str, since an assigned str subclass could be part of the cycle.
int method_object_clear(PyObject* self)
{
    MethodObject* m = as_method(self);
    for (auto member : held_references) {
        if (member != &MethodObject::code && member != &MethodObject::qualname) {
            Py_CLEAR(m->*member);
        }
    }
    if (!PyUnicode_CheckExact(m->qualname)) {
        replace(m->qualname, Ref::borrow(cleared_qualname));
    }
    return 0;
}

void method_object_dealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    if (as_method(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    MethodObject* m = as_method(self);
    for (auto member : held_references) {
        Py_CLEAR(m->*member);
    }
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
    if (cleared_qualname == nullptr) {
        cleared_qualname = PyUnicode_New(0, 0);
        if (cleared_qualname == nullptr) {
            return -1;
        }
    }
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
