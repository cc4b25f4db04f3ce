// The process-wide state of tarnvel._internal.api_logic.
//
// Everything here is made once by the module's exec step and then only read,
// from any thread that holds the interpreter lock. Nothing is ever released:
// the module has no teardown. A failed exec step leaves what it made in place
// and the next attempt replaces it item by item (releasing the old value).
#pragma once

#include <Python.h>

#include "source_map.hpp"

#ifndef TARNVEL_SERVICE_BASE_URL
#error "TARNVEL_SERVICE_BASE_URL must name the search service's https origin"
#endif

namespace tarnvel {

inline constexpr char full_module_name[] = "tarnvel._internal.api_logic";

// Identifier-like names, qualified names and the module name: interned, so that
// attribute, keyword and dictionary lookups by them compare by identity first.
#define TARNVEL_INTERNED_STRINGS(X)                            \
    X(requests, "requests")                                    \
    X(typing, "typing")                                        \
    X(Optional, "Optional")                                    \
    X(ValueError, "ValueError")                                \
    X(dunder_spec, "__spec__")                                 \
    X(initializing, "_initializing")                           \
    X(dunder_name, "__name__")                                 \
    X(dunder_main, "__main__")                                 \
    X(dunder_module, "__module__")                             \
    X(dunder_qualname, "__qualname__")                         \
    X(dunder_test, "__test__")                                 \
    X(InternalClass, "InternalClass")                          \
    X(dunder_init, "__init__")                                 \
    X(validate_token, "validate_token")                        \
    X(search_query, "search_query")                            \
    X(qualname_init, "InternalClass.__init__")                 \
    X(qualname_validate_token, "InternalClass.validate_token") \
    X(qualname_search_query, "InternalClass.search_query")     \
    X(module_name, full_module_name)                           \
    X(str, "str")                                              \
    X(return_, "return")                                       \
    X(self, "self")                                            \
    X(token, "token")                                          \
    X(query, "query")                                          \
    X(url, "url")                                              \
    X(payload, "payload")                                      \
    X(headers, "headers")                                      \
    X(response, "response")                                    \
    X(data, "data")                                            \
    X(response_type, "response_type")                          \
    X(credits, "credits")                                      \
    X(api_key, "_api_key")                                     \
    X(api_key_value, "zefrun")                                 \
    X(post, "post")                                            \
    X(json, "json")                                            \
    X(status_code, "status_code")                              \
    X(get, "get")                                              \
    X(text, "text")                                            \
    X(authToken, "authToken")                                  \
    X(s, "s")                                                  \
    X(l, "l")                                                  \
    X(o, "o")                                                  \
    X(en, "en")                                                \
    X(content, "content")                                      \
    X(success, "success")                                      \
    X(type, "type")                                            \
    X(credits_data, "credits_data")                            \
    X(no_credits, "no_credits")                                \
    X(invalid, "invalid")                                      \
    X(error, "error")                                          \
    X(message, "message")                                      \
    X(Credits, "Credits")

// Texts: plain strings, hashed once.
#define TARNVEL_PLAIN_STRINGS(X)                                                                              \
    X(content_type, "Content-Type")                                                                           \
    X(application_json, "application/json")                                                                   \
    X(not_available, "N/A")                                                                                   \
    X(dot, ".")                                                                                               \
    X(file_name, source::file)                                                                                \
    X(validate_url, TARNVEL_SERVICE_BASE_URL "/api/v2/0EA1B4B0")                                              \
    X(search_url, TARNVEL_SERVICE_BASE_URL "/api/v2/F6DBDEC5")                                                \
    X(no_data_available, "No data available")                                                                 \
    X(no_error_message, "No error message provided")                                                          \
    X(msg_credits, "Token validated successfully. Credits available: ")                                       \
    X(msg_no_credits_validate, "Token is valid but no credits are available. Please buy credits to proceed.") \
    X(msg_invalid, "Invalid token. Please try again or exit.")                                                \
    X(msg_unexpected_type, "Unexpected response type.")                                                       \
    X(msg_validation_failed, "Token validation failed: ")                                                     \
    X(msg_validation_error, "Error validating token: ")                                                       \
    X(msg_no_credits_search, "You have used all credits. Please purchase more.")                              \
    X(msg_nothing_found, "Sorry, couldn't find the results. Try again with a different input.")               \
    X(msg_search_results, "Search results: ")                                                                 \
    X(msg_search_failed, "Search failed: ")                                                                   \
    X(msg_search_error, "Error during search: ")

struct ModuleState {
    PyObject* namespace_dict;  // the module's __dict__, globals of every method
    PyObject* builtins;        // the module "builtins"
    PyObject* empty_tuple;
    PyObject* empty_bytes;
    PyObject* empty_str;

#define TARNVEL_DECLARE_STRING(member, text) PyObject* member;
    TARNVEL_INTERNED_STRINGS(TARNVEL_DECLARE_STRING)
    TARNVEL_PLAIN_STRINGS(TARNVEL_DECLARE_STRING)
#undef TARNVEL_DECLARE_STRING

    PyObject* int_200;
    PyObject* value_error;  // builtins.ValueError, fetched once

    // Argument pairs of the lookups with a default, and __init__'s local names.
    PyObject* credits_lookup;  // ("Credits", "N/A")
    PyObject* data_lookup;     // ("data", "No data available")
    PyObject* message_lookup;  // ("message", "No error message provided")
    PyObject* init_locals;     // ("self",)

    PyObject* validate_token_locals;
    PyObject* search_query_locals;
    PyObject* init_code;
    PyObject* validate_token_code;
    PyObject* search_query_code;

    // Keyword names of the call of `post`: ("headers", "json").
    PyObject* post_kwnames;

    // Every request dict is a copy of one of these, the call's value then set
    // (in place of None) or added: the same keys in the same order, and fewer
    // allocations than one a member.
    PyObject* headers_template;           // {"Content-Type": "application/json"}
    PyObject* validate_payload_template;  // {}
    PyObject* search_payload_template;    // {"s": None, "l": "en", "o": "content"}
};

// Static storage, zero at load: one definition for every file that reads it.
inline ModuleState state;

}  // namespace tarnvel
