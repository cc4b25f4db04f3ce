// The service call: posting JSON through `requests`, testing the status,
// decoding the answer, looking up its members and composing the message.
#include "service_client.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

#include "equality.hpp"
#include "method_object.hpp"
#include "module_state.hpp"

namespace tarnvel {
namespace {

// Source lines that a failure's traceback entry carries.
namespace validate_line {
constexpr int payload = 16, headers = 17, post = 19, status = 20, decode = 21, success = 22, type = 23,
              match_credits_data = 24, lookup_credits = 25, credits_message = 26, match_no_credits = 27,
              match_invalid = 29, failure_message = 34, status_message = 36;
}
namespace search_line {
constexpr int payload = 47, headers = 49, post = 53, status = 54, decode = 56, success = 57, first_type = 58,
              second_type = 60, results_message = 63, failure_message = 65, take_over = 66, raw_text = 67,
              status_message = 69;
}

// Marks a failure at `line`; the caller adds the traceback entry.
PyObject* fail_at(int* failed_line, int line)
{
    *failed_line = line;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Calls into Python code

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

// Calls `callable` as the tuple-and-dict protocol does (guarded against
// runaway recursion; a callable that returns nothing without an error gives
// SystemError), but through its vectorcall entry where it has one, so that
// no argument tuple or keyword dict is built for it. `prebuilt_args`, when
// given, is a tuple holding exactly the positional arguments.
PyObject* call_guarded(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject* prebuilt_args = nullptr)
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
    PyObject* result = vectorcall != nullptr
                           ? vectorcall(callable, args, static_cast<size_t>(nargs), kwnames)
                           : call_with_tuple(call, callable, args, nargs, kwnames, prebuilt_args);
    Py_LeaveRecursiveCall();
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return result;
}

// `object.name(*args)` with the attribute fetched afresh, without making a bound method.
PyObject* call_method(PyObject* object, PyObject* name, PyObject* argument = nullptr)
{
    PyObject* args[3] = {nullptr, object, argument};
    size_t nargs = argument != nullptr ? 2 : 1;
    return PyObject_VectorcallMethod(name, args + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// `dict.get(key, default)` on an exact dict, as dict's own `get` answers it;
// guarded like the call of that method descriptor, which an exact dict always
// finds: it has no instance dictionary and its type cannot be changed.
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

// `value.get(key)`.
PyObject* lookup(PyObject* value, PyObject* key)
{
    if (PyDict_CheckExact(value)) {
        return exact_dict_get(value, key, Py_None);
    }
    return call_method(value, state.get, key);
}

// The attribute `get` of `value` as `value.get(...)` in Python code finds it:
// 1 when it is a method that takes `value` as its first argument (no bound
// method is made), 0 when it is the attribute itself, -1 with an exception.
int find_get(PyObject* value, Ref* get)
{
    PyObject* found = nullptr;
    int unbound = _PyObject_GetMethod(value, state.get, &found);
    *get = Ref::steal(found);
    return found == nullptr ? -1 : unbound;
}

// `value.get(key, default)` as the tuple-and-dict protocol calls it, the pair
// held in one prebuilt tuple.
PyObject* lookup_with_default(PyObject* value, PyObject* key_and_default)
{
    PyObject* const* pair = &PyTuple_GET_ITEM(key_and_default, 0);
    if (PyDict_CheckExact(value)) {
        return exact_dict_get(value, pair[0], pair[1]);
    }
    Ref get;
    int unbound = find_get(value, &get);
    if (unbound < 0) {
        return nullptr;
    }
    if (unbound) {
        PyObject* args[] = {value, pair[0], pair[1]};
        return call_guarded(get.get(), args, 3, nullptr);
    }
    return call_guarded(get.get(), pair, 2, nullptr, key_and_default);
}

// The dictionary version under which a name was last found, with what was
// found: valid while the dictionary is unchanged, since every change of any
// dictionary gives it a new version, never handed out before. The value is
// borrowed from the dictionary. Read and written with the interpreter lock held.
struct VersionedLookup {
    uint64_t version = 0;
    PyObject* value = nullptr;
};

PyObject* lookup_and_cache(PyDictObject* dict, PyObject* name, VersionedLookup& cache);

// `dict[name]` borrowed, or null (with an exception set only on an error).
PyObject* cached_item(PyDictObject* dict, PyObject* name, VersionedLookup& cache)
{
    if (dict->ma_version_tag == cache.version && cache.version != 0) {
        return cache.value;
    }
    return lookup_and_cache(dict, name, cache);
}

PyObject* lookup_and_cache(PyDictObject* dict, PyObject* name, VersionedLookup& cache)
{
    PyObject* found = PyDict_GetItemWithError(reinterpret_cast<PyObject*>(dict), name);
    if (found != nullptr) {
        cache = {dict->ma_version_tag, found};
    }
    return found;
}

VersionedLookup requests_in_namespace;
VersionedLookup post_in_requests;

// The global name `requests`: the module's namespace first, then builtins.
PyObject* resolve_requests()
{
    PyObject* found = cached_item(reinterpret_cast<PyDictObject*>(state.namespace_dict), state.requests,
                                  requests_in_namespace);
    if (found != nullptr) {
        return Py_NewRef(found);
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    found = PyObject_GetAttr(state.builtins, state.requests);
    if (found == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", state.requests);
    }
    return found;
}

// `requests.post`. On a plain module, attribute lookup finds a name that its
// type lacks in the module's dictionary, so look there first; a module
// without it takes the ordinary road to its __getattr__ and error. The
// module type cannot be changed, so what it lacks is checked only when the
// dictionary has changed.
PyObject* get_post(PyObject* requests)
{
    if (Py_TYPE(requests) == &PyModule_Type) {
        auto* dict = reinterpret_cast<PyDictObject*>(PyModule_GetDict(requests));
        if (dict->ma_version_tag == post_in_requests.version && post_in_requests.version != 0) {
            return Py_NewRef(post_in_requests.value);
        }
        if (_PyType_Lookup(&PyModule_Type, state.post) == nullptr) {
            PyObject* found = lookup_and_cache(dict, state.post, post_in_requests);
            if (found != nullptr) {
                return Py_NewRef(found);
            }
            if (PyErr_Occurred()) {
                return nullptr;
            }
        }
    }
    return PyObject_GetAttr(requests, state.post);
}

// A copy of `template_dict` with `key` set to `value`.
PyObject* from_template(PyObject* template_dict, PyObject* key, PyObject* value)
{
    Ref copy = Ref::steal(PyDict_Copy(template_dict));
    if (copy && PyDict_SetItem(copy.get(), key, value) < 0) {
        return nullptr;
    }
    return copy.release();
}

// `requests.post(url, headers=headers, json=payload)`.
PyObject* post(PyObject* url, PyObject* headers, PyObject* payload)
{
    Ref requests = Ref::steal(resolve_requests());
    if (!requests) {
        return nullptr;
    }
    Ref post = Ref::steal(get_post(requests.get()));
    if (!post) {
        return nullptr;
    }
    requests.reset();
    PyObject* args[] = {url, headers, payload};
    return call_guarded(post.get(), args, 1, state.post_kwnames);
}

// `object.name` by ordinary attribute lookup, entering the type's own
// lookup directly: what PyObject_GetAttr does for a str name.
PyObject* get_attribute(PyObject* object, PyObject* name)
{
    getattrofunc getattro = Py_TYPE(object)->tp_getattro;
    return getattro != nullptr ? getattro(object, name) : PyObject_GetAttr(object, name);
}

// `response.status_code == 200`: 1, 0, or -1 with an exception set.
int status_is_200(PyObject* response)
{
    Ref status = Ref::steal(get_attribute(response, state.status_code));
    if (!status) {
        return -1;
    }
    PyObject* code = status.get();
    if (code == state.int_200) {
        return 1;
    }
    if (PyLong_CheckExact(code)) {
        int overflow;
        long value = PyLong_AsLongAndOverflow(code, &overflow);
        return overflow == 0 && value == 200;
    }
    if (PyFloat_CheckExact(code)) {
        return PyFloat_AS_DOUBLE(code) == 200.0;
    }
    return rich_equal(code, state.int_200);
}

// The text of a value as a message shows it.
PyObject* render(PyObject* value)
{
    if (PyUnicode_CheckExact(value)) {
        return Py_NewRef(value);
    }
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) {
        return PyObject_Repr(value);
    }
    return PyObject_Format(value, state.empty_str);
}

// `prefix` followed by `text`, as PyUnicode_Concat makes it. The usual case,
// an ASCII prefix and a non-empty exact str of one byte per character, is
// copied straight into the new string.
PyObject* concat(PyObject* prefix, PyObject* text)
{
    if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_READY(text) || PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND ||
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

// `prefix` (ASCII) followed by the decimal text of `number`, made in one piece:
// what the representation of an int of that value gives.
PyObject* concat_decimal(PyObject* prefix, long number)
{
    unsigned long magnitude = number < 0 ? 0UL - static_cast<unsigned long>(number) : static_cast<unsigned long>(number);
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

// `prefix` followed by the rendered `value`.
PyObject* compose(PyObject* prefix, PyObject* value)
{
    if (PyLong_CheckExact(value) && PyUnicode_IS_ASCII(prefix)) {
        int overflow;
        long number = PyLong_AsLongAndOverflow(value, &overflow);
        if (overflow == 0) {
            return concat_decimal(prefix, number);
        }
    }
    if (PyUnicode_CheckExact(value)) {
        return concat(prefix, value);
    }
    Ref text = Ref::steal(render(value));
    if (!text) {
        return nullptr;
    }
    return concat(prefix, text.get());
}

// `prefix` followed by the rendered `response.text`.
PyObject* compose_from_text(PyObject* prefix, PyObject* response)
{
    Ref text = Ref::steal(get_attribute(response, state.text));
    if (!text) {
        return nullptr;
    }
    return compose(prefix, text.get());
}

// ---------------------------------------------------------------------------
// Token validation

PyObject* validate_token_steps(PyObject* token, int* failed_line)
{
    using namespace validate_line;
    Ref response;
    {
        Ref payload = Ref::steal(PyDict_New());
        if (!payload || PyDict_SetItem(payload.get(), state.token, token) < 0) {
            return fail_at(failed_line, validate_line::payload);
        }
        Ref headers = Ref::steal(PyDict_New());
        if (!headers || PyDict_SetItem(headers.get(), state.content_type, state.application_json) < 0) {
            return fail_at(failed_line, validate_line::headers);
        }
        response = Ref::steal(tarnvel::post(state.validate_url, headers.get(), payload.get()));
        if (!response) {
            return fail_at(failed_line, validate_line::post);
        }
    }
    int ok = status_is_200(response.get());
    if (ok < 0) {
        return fail_at(failed_line, status);
    }
    if (!ok) {
        PyObject* message = compose_from_text(state.msg_validation_error, response.get());
        return message != nullptr ? message : fail_at(failed_line, status_message);
    }
    Ref data = Ref::steal(call_method(response.get(), state.json));
    if (!data) {
        return fail_at(failed_line, decode);
    }
    int succeeded;
    {
        Ref value = Ref::steal(lookup(data.get(), state.success));
        succeeded = value ? truth(value.get()) : -1;
    }
    if (succeeded < 0) {
        return fail_at(failed_line, success);
    }
    if (!succeeded) {
        Ref message = Ref::steal(lookup(data.get(), state.message));
        PyObject* result = message ? compose(state.msg_validation_failed, message.get()) : nullptr;
        return result != nullptr ? result : fail_at(failed_line, failure_message);
    }
    Ref response_type = Ref::steal(lookup(data.get(), state.type));
    if (!response_type) {
        return fail_at(failed_line, type);
    }
    int equal = equals_literal(response_type.get(), state.credits_data);
    if (equal < 0) {
        return fail_at(failed_line, match_credits_data);
    }
    if (equal) {
        Ref credits;
        {
            // `data.get("data", {})`: `get` is fetched before the default is made.
            Ref inner;
            if (PyDict_CheckExact(data.get())) {
                Ref empty = Ref::steal(PyDict_New());
                if (!empty) {
                    return fail_at(failed_line, lookup_credits);
                }
                inner = Ref::steal(exact_dict_get(data.get(), state.data, empty.get()));
            } else {
                Ref get;
                int unbound = find_get(data.get(), &get);
                if (unbound < 0) {
                    return fail_at(failed_line, lookup_credits);
                }
                Ref empty = Ref::steal(PyDict_New());
                if (!empty) {
                    return fail_at(failed_line, lookup_credits);
                }
                PyObject* args[] = {data.get(), state.data, empty.get()};
                size_t nargs = unbound ? 3 : 2;
                inner = Ref::steal(PyObject_Vectorcall(get.get(), args + (3 - nargs), nargs, nullptr));
            }
            if (!inner) {
                return fail_at(failed_line, lookup_credits);
            }
            credits = Ref::steal(lookup_with_default(inner.get(), state.credits_lookup));
            if (!credits) {
                return fail_at(failed_line, lookup_credits);
            }
        }
        PyObject* message = compose(state.msg_credits, credits.get());
        return message != nullptr ? message : fail_at(failed_line, credits_message);
    }
    equal = equals_literal(response_type.get(), state.no_credits);
    if (equal < 0) {
        return fail_at(failed_line, match_no_credits);
    }
    if (equal) {
        return Py_NewRef(state.msg_no_credits_validate);
    }
    equal = equals_literal(response_type.get(), state.invalid);
    if (equal < 0) {
        return fail_at(failed_line, match_invalid);
    }
    return Py_NewRef(equal ? state.msg_invalid : state.msg_unexpected_type);
}

// ---------------------------------------------------------------------------
// Search

// The steps that the ValueError handler guards: decoding and reading a 200 answer.
PyObject* read_search_answer(PyObject* response, int* failed_line)
{
    using namespace search_line;
    Ref data = Ref::steal(call_method(response, state.json));
    if (!data) {
        return fail_at(failed_line, decode);
    }
    int succeeded;
    {
        Ref value = Ref::steal(lookup(data.get(), state.success));
        succeeded = value ? truth(value.get()) : -1;
    }
    if (succeeded < 0) {
        return fail_at(failed_line, success);
    }
    if (!succeeded) {
        Ref message = Ref::steal(lookup_with_default(data.get(), state.message_lookup));
        PyObject* result = message ? compose(state.msg_search_failed, message.get()) : nullptr;
        return result != nullptr ? result : fail_at(failed_line, failure_message);
    }
    // "type" is looked up twice: the second answer decides the match with "error".
    const struct {
        PyObject* literal;
        PyObject* message;
        int line;
    } type_matches[] = {
        {state.no_credits, state.msg_no_credits_search, first_type},
        {state.error, state.msg_nothing_found, second_type},
    };
    for (const auto& match : type_matches) {
        Ref response_type = Ref::steal(lookup(data.get(), state.type));
        int equal = response_type ? equals_literal(response_type.get(), match.literal) : -1;
        if (equal < 0) {
            return fail_at(failed_line, match.line);
        }
        if (equal) {
            return Py_NewRef(match.message);
        }
    }
    Ref results = Ref::steal(lookup_with_default(data.get(), state.data_lookup));
    PyObject* message = results ? compose(state.msg_search_results, results.get()) : nullptr;
    return message != nullptr ? message : fail_at(failed_line, results_message);
}

// Restores the calling thread's handled exception (what sys.exc_info() reports)
// as it was when the guarded steps began, whichever way they end.
class HandledExceptionGuard {
public:
    HandledExceptionGuard() : item_(PyThreadState_Get()->exc_info), saved_(Py_XNewRef(item_->exc_value)) {}
    HandledExceptionGuard(const HandledExceptionGuard&) = delete;
    HandledExceptionGuard& operator=(const HandledExceptionGuard&) = delete;
    ~HandledExceptionGuard()
    {
        PyObject* current = item_->exc_value;
        item_->exc_value = saved_;
        Py_XDECREF(current);
    }

private:
    _PyErr_StackItem* item_;
    PyObject* saved_;
};

// An exception as raised from Python code: an instance of exactly the raised
// class, whose metaclass is `type`. Normalising it would change nothing and
// run no code, and matching its class is matching the instance.
bool is_plain_instance(PyObject* type, PyObject* value)
{
    return value != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(value)) == type && PyExceptionInstance_Check(value) &&
           Py_IS_TYPE(Py_TYPE(type), &PyType_Type);
}

// The caught ValueError, normalised, becomes the handled exception while the
// answer's raw text is returned as the results.
PyObject* handle_value_error(PyObject* response, Ref, Ref value, Ref traceback, int* failed_line)
{
    if (traceback && PyException_SetTraceback(value.get(), traceback.get()) < 0) {
        return fail_at(failed_line, search_line::take_over);
    }
    PyErr_SetHandledException(value.get());
    PyObject* message = compose_from_text(state.msg_search_results, response);
    return message != nullptr ? message : fail_at(failed_line, search_line::raw_text);
}

// The ValueError handler: the pending ValueError becomes the handled
// exception while the answer's raw text is returned as the results.
//
// An exception raised from C code can still be pending as a class and its
// arguments; normalising it calls the class, which may hand back an instance
// of another class. As an `except ValueError:` clause does, the instance is
// what is matched: one that is not a ValueError propagates as it is, with its
// own class, so that nothing normalises it a second time. Returns null with
// `failed_line` left alone in that case, which adds no second entry.
PyObject* answer_with_raw_text(PyObject* response, int* failed_line)
{
    PyObject *fetched_type, *fetched_value, *fetched_traceback;
    PyErr_Fetch(&fetched_type, &fetched_value, &fetched_traceback);
    Ref raised_type = Ref::borrow(fetched_type);
    PyErr_NormalizeException(&fetched_type, &fetched_value, &fetched_traceback);
    Ref type = Ref::steal(fetched_type);
    Ref value = Ref::steal(fetched_value);
    Ref traceback = Ref::steal(fetched_traceback);
    // A failed normalisation leaves the error it raised in place of the
    // exception, and that error is no longer of the raised class.
    if (!value || !PyExceptionInstance_Check(value.get()) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.get()),
                          reinterpret_cast<PyTypeObject*>(raised_type.get()))) {
        PyErr_Restore(type.release(), value.release(), traceback.release());
        return fail_at(failed_line, search_line::take_over);
    }
    if (!PyErr_GivenExceptionMatches(value.get(), state.value_error)) {
        PyObject* instance_class = Py_NewRef(PyExceptionInstance_Class(value.get()));
        PyErr_Restore(instance_class, value.release(), traceback.release());
        return nullptr;
    }
    return handle_value_error(response, std::move(type), std::move(value), std::move(traceback), failed_line);
}

PyObject* search_query_steps(PyObject* token, PyObject* query, int* failed_line)
{
    using namespace search_line;
    Ref response;
    {
        Ref payload = Ref::steal(from_template(state.search_payload_template, state.s, query));
        if (!payload) {
            return fail_at(failed_line, search_line::payload);
        }
        Ref headers = Ref::steal(from_template(state.search_headers_template, state.authToken, token));
        if (!headers) {
            return fail_at(failed_line, search_line::headers);
        }
        response = Ref::steal(tarnvel::post(state.search_url, headers.get(), payload.get()));
        if (!response) {
            return fail_at(failed_line, search_line::post);
        }
    }
    int ok = status_is_200(response.get());
    if (ok < 0) {
        return fail_at(failed_line, status);
    }
    if (!ok) {
        PyObject* message = compose_from_text(state.msg_search_error, response.get());
        return message != nullptr ? message : fail_at(failed_line, status_message);
    }
    HandledExceptionGuard handled;
    int read_line = 0;
    PyObject* message = read_search_answer(response.get(), &read_line);
    if (message != nullptr) {
        return message;
    }
    // The raising step's entry comes first, caught or not.
    add_traceback(TracebackFunction::search_query, read_line);
    PyObject *raised_type, *raised_value, *raised_traceback;
    PyErr_Fetch(&raised_type, &raised_value, &raised_traceback);
    if (!is_plain_instance(raised_type, raised_value)) {
        PyErr_Restore(raised_type, raised_value, raised_traceback);
        if (!PyErr_ExceptionMatches(state.value_error)) {
            return fail_at(failed_line, 0);
        }
        return answer_with_raw_text(response.get(), failed_line);
    }
    if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(raised_type),
                          reinterpret_cast<PyTypeObject*>(state.value_error))) {
        PyErr_Restore(raised_type, raised_value, raised_traceback);
        return fail_at(failed_line, 0);
    }
    return handle_value_error(response.get(), Ref::steal(raised_type), Ref::steal(raised_value),
                     Ref::steal(raised_traceback), failed_line);
}

}  // namespace

PyObject* validate_token_body(PyObject* token)
{
    int failed_line = 0;
    PyObject* message = validate_token_steps(token, &failed_line);
    if (message == nullptr) {
        add_traceback(TracebackFunction::validate_token, failed_line);
    }
    return message;
}

PyObject* search_query_body(PyObject* token, PyObject* query)
{
    int failed_line = 0;
    PyObject* message = search_query_steps(token, query, &failed_line);
    if (message == nullptr && failed_line != 0) {
        add_traceback(TracebackFunction::search_query, failed_line);
    }
    return message;
}

}  // namespace tarnvel
