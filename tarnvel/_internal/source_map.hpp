// Where the module's failures are reported: the source file that traceback
// entries name, each function's name in them, and the line of every step.
//
// The one place these facts live. The code reads them from here, and the
// tests read this file (tests/source_map.py), so keep each fact on a line
// of its own in the form `inline constexpr int step = line;` inside the
// function's namespace.
#pragma once

namespace tarnvel::source {

inline constexpr char file[] = "tarnvel/_internal/api_logic";

// The module's top level, run by the exec step.
namespace module_body {
inline constexpr char function[] = "init tarnvel._internal.api_logic";
// `import requests`; also the steps with no statement of their own:
// __name__, sys.modules, ValueError, the constants, __test__.
inline constexpr int import_requests = 1;
inline constexpr int import_optional = 2;
inline constexpr int class_statement = 4;
}  // namespace module_body

namespace init {
inline constexpr char function[] = "tarnvel._internal.api_logic.InternalClass.__init__";
inline constexpr int def = 5;
inline constexpr int assignment = 6;
}  // namespace init

namespace validate_token {
inline constexpr char function[] = "tarnvel._internal.api_logic.InternalClass.validate_token";
inline constexpr int def = 8;
inline constexpr int payload = 16;
inline constexpr int headers = 17;
inline constexpr int post = 19;
inline constexpr int status = 20;
inline constexpr int decode = 21;
inline constexpr int success = 22;
inline constexpr int type = 23;
inline constexpr int match_credits_data = 24;
inline constexpr int lookup_credits = 25;
inline constexpr int credits_message = 26;
inline constexpr int match_no_credits = 27;
inline constexpr int match_invalid = 29;
inline constexpr int failure_message = 34;
inline constexpr int status_message = 36;
}  // namespace validate_token

namespace search_query {
inline constexpr char function[] = "tarnvel._internal.api_logic.InternalClass.search_query";
inline constexpr int def = 38;
inline constexpr int payload = 47;
inline constexpr int headers = 49;
inline constexpr int post = 53;
inline constexpr int status = 54;
inline constexpr int decode = 56;
inline constexpr int success = 57;
inline constexpr int first_type = 58;
inline constexpr int second_type = 60;
inline constexpr int results_message = 63;
inline constexpr int failure_message = 65;
inline constexpr int take_over = 66;
inline constexpr int raw_text = 67;
inline constexpr int status_message = 69;
}  // namespace search_query

}  // namespace tarnvel::source
