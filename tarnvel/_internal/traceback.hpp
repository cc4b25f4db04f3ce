// Traceback entries: the frame that a function of the module adds to an
// exception that leaves it, naming the function and its source line.
#pragma once

namespace tarnvel {

// Adds an entry for `function` (a name of source_map.hpp) at `line` of the
// module's source file to the pending exception. When the entry cannot be
// made, the error of making it replaces the pending exception.
void add_traceback(const char* function, int line);

}  // namespace tarnvel
