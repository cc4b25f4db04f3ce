// tarnvel._internal.api_logic: the entry point, the module definition and
// its create and exec steps.
//
// All state is process-wide (module_state.hpp): the module can be initialised
// once per process and imported into one interpreter per process only. The
// exec step does what the module's source does at import time, and a failure
// from its line-numbered steps on carries a traceback entry for that line.
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "compat.hpp"
#include "internal_class.hpp"
#include "method_object.hpp"
#include "module_state.hpp"
#include "py_ref.hpp"
#include "service_client.hpp"
#include "source_map.hpp"
#include "traceback.hpp"

#ifndef TARNVEL_BUILD_MINOR
#define TARNVEL_BUILD_MINOR PY_MINOR_VERSION
#endif

extern "C" {
// A host embedding the interpreter may set this before the import to have the
// module named "__main__". The module itself never writes it.
__attribute__((visibility("default"))) int32_t tarnvel_api_logic_embedded_as_main = 0;
}

namespace tarnvel {
namespace {

constexpr int build_major = PY_MAJOR_VERSION;
constexpr int build_minor = TARNVEL_BUILD_MINOR;

// The interpreter that first created the module; -1 until then.
int64_t recorded_interpreter = -1;
// The one module object, set while it is executing and once it is ready.
PyObject* the_module = nullptr;

// ---------------------------------------------------------------------------
// Constants

struct StringConstant {
    PyObject* ModuleState::*member;
    const char* text;
    bool interned;
};

constexpr StringConstant string_constants[] = {
#define TARNVEL_INTERNED_ROW(member, text) {&ModuleState::member, text, true},
#define TARNVEL_PLAIN_ROW(member, text) {&ModuleState::member, text, false},
    TARNVEL_INTERNED_STRINGS(TARNVEL_INTERNED_ROW) TARNVEL_PLAIN_STRINGS(TARNVEL_PLAIN_ROW)
#undef TARNVEL_INTERNED_ROW
#undef TARNVEL_PLAIN_ROW
};

// Hashed now so that no call pays for it later.
int set_constant(PyObject*& slot, Ref&& made)
{
    if (!made || PyObject_Hash(made.get()) == -1) {
        return -1;
    }
    replace(slot, std::move(made));
    return 0;
}

int set_tuple(PyObject*& slot, std::initializer_list<PyObject*> items)
{
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) {
        return -1;
    }
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
    }
    replace(slot, std::move(tuple));
    return 0;
}

int set_dict(PyObject*& slot, std::initializer_list<std::pair<PyObject*, PyObject*>> members)
{
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return -1;
    }
    for (const auto& [key, value] : members) {
        if (PyDict_SetItem(dict.get(), key, value) < 0) {
            return -1;
        }
    }
    replace(slot, std::move(dict));
    return 0;
}

int make_empty_objects()
{
    Ref tuple = Ref::steal(PyTuple_New(0));
    if (!tuple) {
        return -1;
    }
    replace(state.empty_tuple, std::move(tuple));
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!bytes) {
        return -1;
    }
    replace(state.empty_bytes, std::move(bytes));
    Ref str = Ref::steal(PyUnicode_New(0, 0));
    if (!str) {
        return -1;
    }
    replace(state.empty_str, std::move(str));
    return 0;
}

// Every constant string, 200, and what the calls build from them.
int make_constants()
{
    for (const StringConstant& constant : string_constants) {
        PyObject* made = constant.interned ? PyUnicode_InternFromString(constant.text)
                                           : PyUnicode_FromString(constant.text);
        if (set_constant(state.*constant.member, Ref::steal(made)) < 0) {
            return -1;
        }
    }
    if (set_constant(state.int_200, Ref::steal(PyLong_FromLong(200))) < 0) {
        return -1;
    }
    if (set_tuple(state.post_kwnames, {state.headers, state.json}) < 0 ||
        set_dict(state.headers_template, {{state.content_type, state.application_json}}) < 0 ||
        set_dict(state.validate_payload_template, {}) < 0) {
        return -1;
    }
    return set_dict(state.search_payload_template, {{state.s, Py_None}, {state.l, state.en}, {state.o, state.content}});
}

// ---------------------------------------------------------------------------
// Create step

PyObject* copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* attribute, const char* key,
                              bool skip_none)
{
    PyObject* value = PyObject_GetAttrString(spec, attribute);
    if (value == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return Py_None;
        }
        return nullptr;
    }
    int status = 0;
    if (!(skip_none && value == Py_None)) {
        status = PyDict_SetItemString(module_dict, key, value);
    }
    Py_DECREF(value);
    return status < 0 ? nullptr : Py_None;
}

PyObject* api_logic_create(PyObject* spec, PyModuleDef*)
{
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (recorded_interpreter == -1) {
        recorded_interpreter = interpreter;
    } else if (interpreter != recorded_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter "
                        "per process.");
        return nullptr;
    }
    if (the_module != nullptr) {
        return Py_NewRef(the_module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    name.reset();
    if (!module) {
        return nullptr;
    }
    PyObject* module_dict = PyModule_GetDict(module.get());
    if (module_dict == nullptr) {
        return nullptr;
    }
    struct {
        const char* attribute;
        const char* key;
        bool skip_none;
    } const copied[] = {
        {"loader", "__loader__", false},
        {"origin", "__file__", false},
        {"parent", "__package__", false},
        {"submodule_search_locations", "__path__", true},
    };
    for (const auto& row : copied) {
        if (copy_spec_attribute(spec, module_dict, row.attribute, row.key, row.skip_none) == nullptr) {
            return nullptr;
        }
    }
    return module.release();
}

// ---------------------------------------------------------------------------
// Exec step

// Source lines of the module that a failing exec step reports.
constexpr int line_import_requests = source::module_body.import_requests;
constexpr int line_import_optional = source::module_body.import_optional;
constexpr int line_class = source::module_body.class_statement;
constexpr int line_init = source::init.def;
constexpr int line_validate_token = source::validate_token.def;
constexpr int line_search_query = source::search_query.def;

int warn_on_version_mismatch()
{
    int running_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    int running_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (running_major == build_major && running_minor == build_minor) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", build_major,
                  build_minor, full_module_name, "does not match", running_major, running_minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// `object.name`, or null when it is missing or cannot be read: any error
// raised while reading it is cleared.
Ref optional_attribute(PyObject* object, PyObject* name)
{
    PyObject* value = PyObject_GetAttr(object, name);
    if (value == nullptr) {
        PyErr_Clear();
    }
    return Ref::steal(value);
}

// `requests` from sys.modules unless it is still being initialised; else
// the import system, without consulting builtins.__import__.
PyObject* import_requests()
{
    Ref entry = Ref::steal(PyImport_GetModule(state.requests));
    if (!entry) {
        PyErr_Clear();
    } else if (entry.get() == Py_None) {
        // None in sys.modules blocks the import: the import system raises for
        // it, where binding None would only fail later, at the first call.
        entry.reset();
    } else {
        Ref spec = optional_attribute(entry.get(), state.dunder_spec);
        Ref initializing = spec ? optional_attribute(spec.get(), state.initializing) : Ref();
        int still_initializing = initializing ? PyObject_IsTrue(initializing.get()) : 0;
        if (still_initializing < 0) {
            PyErr_Clear();
            still_initializing = 0;
        }
        if (!still_initializing) {
            return entry.release();
        }
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) {
        return nullptr;
    }
    return PyImport_ImportModuleLevelObject(state.requests, state.namespace_dict, locals.get(), nullptr, 0);
}

// `from typing import Optional`, with the sys.modules fallback for a submodule.
PyObject* import_optional()
{
    Ref from_list = Ref::steal(PyList_New(1));
    if (!from_list) {
        return nullptr;
    }
    PyList_SET_ITEM(from_list.get(), 0, Py_NewRef(state.Optional));
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) {
        return nullptr;
    }
    Ref typing = Ref::steal(
        PyImport_ImportModuleLevelObject(state.typing, state.namespace_dict, locals.get(), from_list.get(), 0));
    if (!typing) {
        return nullptr;
    }
    from_list.reset();
    locals.reset();
    PyObject* optional = PyObject_GetAttr(typing.get(), state.Optional);
    if (optional != nullptr) {
        return optional;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        const char* module_name = PyModule_GetName(typing.get());
        if (module_name != nullptr) {
            Ref full_name = Ref::steal(PyUnicode_FromFormat("%s%U%U", module_name, state.dot, state.Optional));
            if (full_name) {
                optional = PyImport_GetModule(full_name.get());
            }
        }
        if (optional != nullptr) {
            return optional;
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", state.Optional);
    return nullptr;
}

// Marks a failure at `line`; the exec step adds the traceback entry.
int fail_at(int* failed_line, int line)
{
    *failed_line = line;
    return -1;
}

// Makes one method object, with `annotations` when given, and stores it in
// the class namespace under `name`: 0, or -1 with the exception.
int add_method(PyObject* class_namespace, PyMethodDef* definition, PyObject* name, PyObject* qualname, PyObject* code,
               Ref&& annotations)
{
    Ref method = Ref::steal(method_object_new(definition, qualname, state.module_name, state.namespace_dict, code));
    if (!method) {
        return -1;
    }
    if (annotations) {
        method_object_set_annotations(method.get(), std::move(annotations));
    }
    return PyDict_SetItem(class_namespace, name, method.get());
}

// A new annotations dict: every parameter and the return value are "str".
Ref str_annotations(std::initializer_list<PyObject*> names)
{
    Ref annotations = Ref::steal(PyDict_New());
    for (PyObject* name : names) {
        if (annotations && PyDict_SetItem(annotations.get(), name, state.str) < 0) {
            annotations.reset();
        }
    }
    return annotations;
}

// class InternalClass, built by calling type(name, bases, namespace): 0, or
// -1 with `*failed_line` the source line of the failing statement.
int build_internal_class(int* failed_line)
{
    Ref class_namespace = Ref::steal(PyDict_New());
    if (!class_namespace || PyDict_SetItem(class_namespace.get(), state.dunder_module, state.module_name) < 0 ||
        PyDict_SetItem(class_namespace.get(), state.dunder_qualname, state.InternalClass) < 0) {
        return fail_at(failed_line, line_class);
    }
    if (add_method(class_namespace.get(), &init_definition, state.dunder_init, state.qualname_init, state.init_code,
                   Ref()) < 0) {
        return fail_at(failed_line, line_init);
    }
    Ref annotations = str_annotations({state.token, state.return_});
    if (!annotations ||
        add_method(class_namespace.get(), &validate_token_definition, state.validate_token,
                   state.qualname_validate_token, state.validate_token_code, std::move(annotations)) < 0) {
        return fail_at(failed_line, line_validate_token);
    }
    annotations = str_annotations({state.token, state.query, state.return_});
    if (!annotations || add_method(class_namespace.get(), &search_query_definition, state.search_query,
                                   state.qualname_search_query, state.search_query_code, std::move(annotations)) < 0) {
        return fail_at(failed_line, line_search_query);
    }
    PyObject* type_args[] = {state.InternalClass, state.empty_tuple, class_namespace.get()};
    Ref cls = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), type_args, 3, nullptr));
    if (!cls || PyDict_SetItem(state.namespace_dict, state.InternalClass, cls.get()) < 0) {
        return fail_at(failed_line, line_class);
    }
    return 0;
}

// A local-name tuple and the code object of one method: the signature and
// place behind its `__code__`.
int make_code_object(PyObject*& locals_slot, std::initializer_list<PyObject*> local_names, PyObject*& code_slot,
                     int argument_count, PyObject* name, int first_line)
{
    if (set_tuple(locals_slot, local_names) < 0) {
        return -1;
    }
    Ref code = Ref::steal(
        compat::new_code_object(argument_count, locals_slot, name, state.file_name, first_line, state.empty_tuple));
    if (!code) {
        return -1;
    }
    replace(code_slot, std::move(code));
    return 0;
}

int make_code_objects()
{
    if (make_code_object(state.init_locals, {state.self}, state.init_code, 1, state.dunder_init, line_init) < 0) {
        return -1;
    }
    if (make_code_object(state.validate_token_locals,
                         {state.self, state.token, state.url, state.payload, state.headers, state.response, state.data,
                          state.response_type, state.credits},
                         state.validate_token_code, 2, state.validate_token, line_validate_token) < 0) {
        return -1;
    }
    return make_code_object(
        state.search_query_locals,
        {state.self, state.token, state.query, state.url, state.payload, state.headers, state.response, state.data},
        state.search_query_code, 3, state.search_query, line_search_query);
}

// builtins.ValueError, kept for the search's handler; a missing one is a
// NameError, as for a global.
int fetch_value_error()
{
    Ref value_error = Ref::steal(PyObject_GetAttr(state.builtins, state.ValueError));
    if (!value_error) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            raise_name_error(state.ValueError);
        }
        return -1;
    }
    replace(state.value_error, std::move(value_error));
    return 0;
}

// The module's own entry in sys.modules, unless one is there already (in an
// ordinary import, this very module, put there by the import system).
// `*registered_here` tells whether this step added it.
int register_module(PyObject* module, bool* registered_here)
{
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* registered = PyDict_GetItemWithError(modules, state.module_name);
    if (registered != nullptr || PyErr_Occurred()) {
        return registered != nullptr ? 0 : -1;
    }
    if (PyDict_SetItem(modules, state.module_name, module) < 0) {
        return -1;
    }
    *registered_here = true;
    return 0;
}

// Binds `value` in the module's namespace under `name`; a null `value` is the
// failure of making it.
int bind_global(PyObject* name, Ref&& value)
{
    return value ? PyDict_SetItem(state.namespace_dict, name, value.get()) : -1;
}

// What the module's source does at import time, statement by statement.
// On failure `*failed_line` is the line of the failing statement (line 1
// also stands for the steps without a statement of their own), and
// `*registered_here` says whether the module was put into sys.modules here.
int run_module_source(PyObject* module, int* failed_line, bool* registered_here)
{
    if (tarnvel_api_logic_embedded_as_main != 0 && PyObject_SetAttr(module, state.dunder_name, state.dunder_main) < 0) {
        return fail_at(failed_line, line_import_requests);
    }
    if (register_module(module, registered_here) < 0 || fetch_value_error() < 0) {
        return fail_at(failed_line, line_import_requests);
    }
    if (set_tuple(state.credits_lookup, {state.Credits, state.not_available}) < 0 ||
        set_tuple(state.data_lookup, {state.data, state.no_data_available}) < 0 ||
        set_tuple(state.message_lookup, {state.message, state.no_error_message}) < 0 || make_code_objects() < 0) {
        return fail_at(failed_line, line_import_requests);
    }
    if (bind_global(state.requests, Ref::steal(import_requests())) < 0) {
        return fail_at(failed_line, line_import_requests);
    }
    if (bind_global(state.Optional, Ref::steal(import_optional())) < 0) {
        return fail_at(failed_line, line_import_optional);
    }
    if (build_internal_class(failed_line) < 0) {
        return -1;
    }
    if (bind_global(state.dunder_test, Ref::steal(PyDict_New())) < 0) {
        return fail_at(failed_line, line_import_requests);
    }
    return 0;
}

// The module state, before any statement runs: no traceback entry for these.
int make_module_state(PyObject* module)
{
    PyObject* namespace_dict = PyModule_GetDict(module);
    if (namespace_dict == nullptr) {
        return -1;
    }
    replace(state.namespace_dict, Ref::borrow(namespace_dict));
    PyObject* builtins = PyImport_AddModule("builtins");
    if (builtins == nullptr) {
        return -1;
    }
    replace(state.builtins, Ref::borrow(builtins));
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) {
        return -1;
    }
    if (warn_on_version_mismatch() < 0) {
        return -1;
    }
    if (make_empty_objects() < 0) {
        return -1;
    }
    if (method_object_type_ready() < 0) {
        return -1;
    }
    return make_constants();
}

// The import system removes a failed module only under its spec's name. An
// entry that the exec step added itself would hand the half-made module to
// every later import as if it had succeeded, so it goes too. Keeps the
// pending exception.
void unregister_failed_module(PyObject* module)
{
    compat::PendingException pending;
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemWithError(modules, state.module_name) == module) {
        PyDict_DelItem(modules, state.module_name);
    }
    PyErr_Clear();
}

int api_logic_exec(PyObject* module)
{
    if (the_module != nullptr) {
        if (the_module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'api_logic' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    the_module = Py_NewRef(module);
    int failed_line = 0;
    bool registered_here = false;
    if (make_module_state(module) == 0 && run_module_source(module, &failed_line, &registered_here) == 0) {
        return 0;
    }
    if (failed_line != 0) {
        add_traceback(source::module_body.function, failed_line);
    }
    if (registered_here) {
        unregister_failed_module(module);
    }
    Py_CLEAR(the_module);
    return -1;
}

PyModuleDef_Slot api_logic_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(api_logic_create)},
    {Py_mod_exec, reinterpret_cast<void*>(api_logic_exec)},
    TARNVEL_VERSION_MODULE_SLOTS  // those of the interpreter's version (compat.hpp)
    {0, nullptr}                  /* sentinel */
};

PyMethodDef api_logic_methods[] = {
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyModuleDef api_logic_definition = {
    PyModuleDef_HEAD_INIT,
    "api_logic",        // m_name: the last component; the import system gives the full name
    nullptr,            // m_doc: __doc__ stays None
    0,                  // m_size: no per-module state, all of it is process-wide
    api_logic_methods,  // m_methods: none
    api_logic_slots,    // m_slots: create and exec
    nullptr,            // m_traverse
    nullptr,            // m_clear
    nullptr,            // m_free: the state lives until the process ends
};

}  // namespace
}  // namespace tarnvel

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_api_logic()
{
    return PyModuleDef_Init(&tarnvel::api_logic_definition);
}
