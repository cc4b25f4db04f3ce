// Where the module's failures are reported: the source file that traceback
// entries name, each function's name in them, and the line of every step.
//
// The one place these facts live. The code reads them from here and the
// tests read this file (tests/source_map.py): keep every function a
// `SourceFunction` whose members are given as `name = value`.
#pragma once

namespace tarnvel::source {

inline constexpr char file[] = "tarnvel/_internal/api_logic";

// The module's top level, run by the exec step. `import requests` is line 1,
// which also stands for the steps with no statement of their own (__name__,
// sys.modules, ValueError, the constants and __test__).
inline constexpr struct {
    const char* function = "init tarnvel._internal.api_logic";
    int import_requests = 1, import_optional = 2, class_statement = 4;
} module_body;

inline constexpr struct {
    const char* function = "tarnvel._internal.api_logic.InternalClass.__init__";
    int def = 5, assignment = 6;
} init;

inline constexpr struct {
    const char* function = "tarnvel._internal.api_logic.InternalClass.validate_token";
    int def = 8, payload = 16, headers = 17, post = 19, status = 20, decode = 21, success = 22, type = 23,
        match_credits_data = 24, lookup_credits = 25, credits_message = 26, match_no_credits = 27, match_invalid = 29,
        failure_message = 34, status_message = 36;
} validate_token;

inline constexpr struct {
    const char* function = "tarnvel._internal.api_logic.InternalClass.search_query";
    int def = 38, payload = 47, headers = 49, post = 53, status = 54, decode = 56, success = 57, first_type = 58,
        second_type = 60, results_message = 63, failure_message = 65, take_over = 66, raw_text = 67,
        status_message = 69;
} search_query;

}  // namespace tarnvel::source
