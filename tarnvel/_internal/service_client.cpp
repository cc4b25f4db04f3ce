// The service's two operations: what each posts, and the decision table that
// turns its answer into a message. The steps they share (posting, the status
// test, decoding, member lookup, rendering) are the short functions first.
#include "service_client.hpp"

#include <utility>

#include "compat.hpp"
#include "module_state.hpp"
#include "py_ref.hpp"
#include "source_map.hpp"
#include "traceback.hpp"

namespace tarnvel {
namespace {

constexpr auto& validate_line = source::validate_token;
constexpr auto& search_line = source::search_query;

// Marks a failure at `line`; the caller adds the traceback entry.
PyObject* fail_at(int* failed_line, int line)
{
    *failed_line = line;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Steps shared by both operations

// A call as PyObject_Call makes it, without the argument tuple and keyword
// dict where the callable has a vectorcall entry: guarded against runaway
// recursion, and a result of null without an error is a SystemError.
// `prebuilt_args`, when given, is a tuple of exactly the positional
// arguments, handed as it is to a callable without a vectorcall entry.
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
    PyObject* result;
    vectorcallfunc vectorcall = PyVectorcall_Function(callable);
    if (vectorcall != nullptr) {
        result = vectorcall(callable, args, static_cast<size_t>(nargs), kwnames);
    } else {
        Ref tuple = prebuilt_args != nullptr ? Ref::borrow(prebuilt_args) : Ref::steal(PyTuple_New(nargs));
        for (Py_ssize_t i = 0; tuple && prebuilt_args == nullptr && i < nargs; ++i) {
            PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
        }
        Ref keywords = tuple && kwnames != nullptr ? Ref::steal(PyDict_New()) : Ref();
        for (Py_ssize_t k = 0; keywords && k < PyTuple_GET_SIZE(kwnames); ++k) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) {
                keywords.reset();
            }
        }
        bool ready = tuple && (kwnames == nullptr || keywords);
        result = ready ? call(callable, tuple.get(), keywords.get()) : nullptr;
    }
    Py_LeaveRecursiveCall();
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return result;
}

// The global `name` as the module's code finds it: in the module's
// namespace, else in builtins, else NameError.
PyObject* lookup_global(PyObject* name)
{
    PyObject* found = PyDict_GetItemWithError(state.namespace_dict, name);
    if (found != nullptr) {
        return Py_NewRef(found);
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    found = PyObject_GetAttr(state.builtins, name);
    if (found == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        raise_name_error(name);
    }
    return found;
}

// `module.name`. The module type cannot be changed and has no attribute of
// the names asked for here, so for a plain module an entry of its dict is
// what the attribute lookup would find; anything else takes the ordinary
// road, which also leads to a module's __getattr__ and its error.
PyObject* module_attribute(PyObject* module, PyObject* name)
{
    if (PyModule_CheckExact(module)) {
        PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(module), name);
        if (found != nullptr) {
            return Py_NewRef(found);
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
    }
    return PyObject_GetAttr(module, name);
}

// `requests.post(url, headers=headers, json=payload)`, `requests` being the
// module's global of that name.
PyObject* post(PyObject* url, PyObject* headers, PyObject* payload)
{
    Ref requests = Ref::steal(lookup_global(state.requests));
    if (!requests) {
        return nullptr;
    }
    Ref post = Ref::steal(module_attribute(requests.get(), state.post));
    if (!post) {
        return nullptr;
    }
    requests.reset();
    PyObject* args[] = {url, headers, payload};
    return call_guarded(post.get(), args, 1, state.post_kwnames);
}

// A request dict: a copy of `template_dict` with `key` set to `value`, in
// the template's place for it or after its members.
PyObject* request_dict(PyObject* template_dict, PyObject* key, PyObject* value)
{
    Ref copy = Ref::steal(PyDict_Copy(template_dict));
    if (copy && PyDict_SetItem(copy.get(), key, value) < 0) {
        return nullptr;
    }
    return copy.release();
}

// `dict.get(key, default)` on an exact dict, whose `get` cannot be replaced:
// the lookup itself, under the recursion guard of a call of that method.
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

// `value.get(key)`, `get` looked up afresh.
PyObject* call_get(PyObject* value, PyObject* key)
{
    if (PyDict_CheckExact(value)) {
        return exact_dict_get(value, key, Py_None);
    }
    PyObject* args[] = {value, key};
    return PyObject_VectorcallMethod(state.get, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// `value.get(key, default)`, the two arguments held in one tuple, which a
// `get` without a vectorcall entry receives as it is.
PyObject* call_get_with_default(PyObject* value, PyObject* key_and_default)
{
    PyObject* const* pair = &PyTuple_GET_ITEM(key_and_default, 0);
    if (PyDict_CheckExact(value)) {
        return exact_dict_get(value, pair[0], pair[1]);
    }
    Ref get = Ref::steal(PyObject_GetAttr(value, state.get));
    return get ? call_guarded(get.get(), pair, 2, nullptr, key_and_default) : nullptr;
}

// `value.get(key, {})`: `get` is looked up before the new dict is made.
PyObject* call_get_with_new_dict(PyObject* value, PyObject* key)
{
    if (PyDict_CheckExact(value)) {
        Ref empty = Ref::steal(PyDict_New());
        return empty ? exact_dict_get(value, key, empty.get()) : nullptr;
    }
    Ref get = Ref::steal(PyObject_GetAttr(value, state.get));
    Ref empty = get ? Ref::steal(PyDict_New()) : Ref();
    if (!empty) {
        return nullptr;
    }
    // The slot before the arguments is free for a bound method's instance.
    PyObject* args[] = {nullptr, key, empty.get()};
    return PyObject_Vectorcall(get.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// `value == literal` as an `if` judges it: 1, 0, or -1 with an exception.
int equals_literal(PyObject* value, PyObject* literal) { return PyObject_RichCompareBool(value, literal, Py_EQ); }

// `response.status_code == 200`: 1, 0, or -1 with an exception set.
int status_is_200(PyObject* response)
{
    Ref status = Ref::steal(PyObject_GetAttr(response, state.status_code));
    // The status is usually the very object 200, which this tries first.
    return status ? PyObject_RichCompareBool(status.get(), state.int_200, Py_EQ) : -1;
}

// `response.json()`.
PyObject* decode_answer(PyObject* response)
{
    PyObject* args[] = {response};
    return PyObject_VectorcallMethod(state.json, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// `data = response.json()`, then the truth of `data.get("success")`: 1 or 0
// with `*data` set, or -1 with the failing step's line.
int decode_and_test_success(PyObject* response, int decode_line, int success_line, Ref* data, int* failed_line)
{
    *data = Ref::steal(decode_answer(response));
    if (!*data) {
        *failed_line = decode_line;
        return -1;
    }
    Ref value = Ref::steal(call_get(data->get(), state.success));
    int succeeded = value ? PyObject_IsTrue(value.get()) : -1;
    if (succeeded < 0) {
        *failed_line = success_line;
    }
    return succeeded;
}

// `prefix` followed by the text of `value` as a message shows it:
// format(value, ""), which gives an exact str unchanged and an exact int or
// float by its digits.
PyObject* compose(PyObject* prefix, PyObject* value)
{
    Ref text = Ref::steal(PyObject_Format(value, state.empty_str));
    return text ? PyUnicode_Concat(prefix, text.get()) : nullptr;
}

// `prefix` followed by the rendered `response.text`.
PyObject* compose_from_text(PyObject* prefix, PyObject* response)
{
    Ref text = Ref::steal(PyObject_GetAttr(response, state.text));
    return text ? compose(prefix, text.get()) : nullptr;
}

// `prefix` followed by the rendered `value`, which a failed lookup left null;
// null with the line when either failed.
PyObject* message_or_fail(PyObject* prefix, Ref&& value, int line, int* failed_line)
{
    PyObject* message = value ? compose(prefix, value.get()) : nullptr;
    return message != nullptr ? message : fail_at(failed_line, line);
}

// Reads a 200 answer: the message, or null with the failing step's line.
using ReadAnswer = PyObject* (*)(PyObject* response, int* failed_line);

// What the exchange of one operation needs: where it posts, the prefix of its
// message for a status other than 200, and the lines of its three steps.
struct Endpoint {
    PyObject* url;
    PyObject* refused_prefix;
    int post_line, status_line, status_message_line;
};

// Posts the request (the two dicts are released once it is sent), tests the
// status and answers with the message for it, `read_answer` reading a 200
// answer (a template argument, so that it is inlined).
template <ReadAnswer read_answer>
PyObject* exchange(const Endpoint& endpoint, Ref&& headers, Ref&& payload, int* failed_line)
{
    Ref response = Ref::steal(post(endpoint.url, headers.get(), payload.get()));
    headers.reset();
    payload.reset();
    if (!response) {
        return fail_at(failed_line, endpoint.post_line);
    }
    int ok = status_is_200(response.get());
    if (ok < 0) {
        return fail_at(failed_line, endpoint.status_line);
    }
    if (!ok) {
        PyObject* message = compose_from_text(endpoint.refused_prefix, response.get());
        return message != nullptr ? message : fail_at(failed_line, endpoint.status_message_line);
    }
    return read_answer(response.get(), failed_line);
}

// ---------------------------------------------------------------------------
// Token validation

// The decision table of a 200 answer.
PyObject* read_validation_answer(PyObject* response, int* failed_line)
{
    Ref data;
    int succeeded = decode_and_test_success(response, validate_line.decode, validate_line.success, &data, failed_line);
    if (succeeded < 0) {
        return nullptr;
    }
    if (!succeeded) {
        return message_or_fail(state.msg_validation_failed, Ref::steal(call_get(data.get(), state.message)),
                               validate_line.failure_message, failed_line);
    }
    Ref response_type = Ref::steal(call_get(data.get(), state.type));
    if (!response_type) {
        return fail_at(failed_line, validate_line.type);
    }
    int equal = equals_literal(response_type.get(), state.credits_data);
    if (equal < 0) {
        return fail_at(failed_line, validate_line.match_credits_data);
    }
    if (equal) {
        Ref inner = Ref::steal(call_get_with_new_dict(data.get(), state.data));
        Ref credits = inner ? Ref::steal(call_get_with_default(inner.get(), state.credits_lookup)) : Ref();
        if (!credits) {
            return fail_at(failed_line, validate_line.lookup_credits);
        }
        PyObject* message = compose(state.msg_credits, credits.get());
        return message != nullptr ? message : fail_at(failed_line, validate_line.credits_message);
    }
    equal = equals_literal(response_type.get(), state.no_credits);
    if (equal < 0) {
        return fail_at(failed_line, validate_line.match_no_credits);
    }
    if (equal) {
        return Py_NewRef(state.msg_no_credits_validate);
    }
    equal = equals_literal(response_type.get(), state.invalid);
    if (equal < 0) {
        return fail_at(failed_line, validate_line.match_invalid);
    }
    return Py_NewRef(equal ? state.msg_invalid : state.msg_unexpected_type);
}

PyObject* validate_token_steps(PyObject* token, int* failed_line)
{
    Ref payload = Ref::steal(request_dict(state.validate_payload_template, state.token, token));
    if (!payload) {
        return fail_at(failed_line, validate_line.payload);
    }
    Ref headers = Ref::steal(PyDict_Copy(state.headers_template));
    if (!headers) {
        return fail_at(failed_line, validate_line.headers);
    }
    const Endpoint endpoint = {state.validate_url, state.msg_validation_error, validate_line.post, validate_line.status,
                               validate_line.status_message};
    return exchange<read_validation_answer>(endpoint, std::move(headers), std::move(payload), failed_line);
}

// ---------------------------------------------------------------------------
// Search

// The steps that the ValueError handler guards: decoding and reading a 200 answer.
PyObject* read_search_answer(PyObject* response, int* failed_line)
{
    Ref data;
    int succeeded = decode_and_test_success(response, search_line.decode, search_line.success, &data, failed_line);
    if (succeeded < 0) {
        return nullptr;
    }
    if (!succeeded) {
        return message_or_fail(state.msg_search_failed,
                               Ref::steal(call_get_with_default(data.get(), state.message_lookup)),
                               search_line.failure_message, failed_line);
    }
    // "type" is looked up twice: the second answer decides the match with "error".
    const struct {
        PyObject* literal;
        PyObject* message;
        int line;
    } type_matches[] = {
        {state.no_credits, state.msg_no_credits_search, search_line.first_type},
        {state.error, state.msg_nothing_found, search_line.second_type},
    };
    for (const auto& match : type_matches) {
        Ref response_type = Ref::steal(call_get(data.get(), state.type));
        int equal = response_type ? equals_literal(response_type.get(), match.literal) : -1;
        if (equal < 0) {
            return fail_at(failed_line, match.line);
        }
        if (equal) {
            return Py_NewRef(match.message);
        }
    }
    return message_or_fail(state.msg_search_results, Ref::steal(call_get_with_default(data.get(), state.data_lookup)),
                           search_line.results_message, failed_line);
}

// The ValueError handler, with the exception that the guarded steps raised
// pending and their entry added. As an `except ValueError:` clause does, it
// matches the normalised instance: normalising calls the raised class, which
// may make an instance of another class. A ValueError becomes the handled
// exception while the answer's raw text is returned as the results; anything
// else propagates as that instance, with no second entry (`failed_line` 0).
PyObject* answer_with_raw_text(PyObject* response, int* failed_line)
{
    Ref caught = Ref::steal(compat::take_pending_exception());
    if (!caught) {
        return fail_at(failed_line, search_line.take_over);
    }
    if (!PyErr_GivenExceptionMatches(caught.get(), state.value_error)) {
        compat::raise_instance(std::move(caught));
        return fail_at(failed_line, 0);
    }
    PyErr_SetHandledException(caught.get());
    PyObject* message = compose_from_text(state.msg_search_results, response);
    return message != nullptr ? message : fail_at(failed_line, search_line.raw_text);
}

// Reads a 200 answer under the ValueError handler, the caller's handled
// exception kept as it was on every way out.
PyObject* read_guarded_answer(PyObject* response, int* failed_line)
{
    compat::HandledExceptionGuard handled;
    int read_line = 0;
    PyObject* message = read_search_answer(response, &read_line);
    if (message != nullptr) {
        return message;
    }
    // The raising step's entry comes first, caught or not.
    add_traceback(source::search_query.function, read_line);
    return answer_with_raw_text(response, failed_line);
}

PyObject* search_query_steps(PyObject* token, PyObject* query, int* failed_line)
{
    Ref payload = Ref::steal(request_dict(state.search_payload_template, state.s, query));
    if (!payload) {
        return fail_at(failed_line, search_line.payload);
    }
    Ref headers = Ref::steal(request_dict(state.headers_template, state.authToken, token));
    if (!headers) {
        return fail_at(failed_line, search_line.headers);
    }
    const Endpoint endpoint = {state.search_url, state.msg_search_error, search_line.post, search_line.status,
                               search_line.status_message};
    return exchange<read_guarded_answer>(endpoint, std::move(headers), std::move(payload), failed_line);
}

}  // namespace

void raise_name_error(PyObject* name)
{
    Ref message = Ref::steal(PyUnicode_FromFormat("name '%U' is not defined", name));
    Ref error = message ? Ref::steal(PyObject_CallOneArg(PyExc_NameError, message.get())) : Ref();
    if (error && PyObject_SetAttrString(error.get(), "name", name) == 0) {
        PyErr_SetObject(PyExc_NameError, error.get());
    }
}

PyObject* validate_token_body(PyObject* token)
{
    int failed_line = 0;
    PyObject* message = validate_token_steps(token, &failed_line);
    if (message == nullptr) {
        add_traceback(source::validate_token.function, failed_line);
    }
    return message;
}

PyObject* search_query_body(PyObject* token, PyObject* query)
{
    int failed_line = 0;
    PyObject* message = search_query_steps(token, query, &failed_line);
    if (message == nullptr && failed_line != 0) {
        add_traceback(source::search_query.function, failed_line);
    }
    return message;
}

}  // namespace tarnvel
