// Synthetic traceback entries for native code.
//
// A failure leaving one of the module's native functions gains an entry that
// names the function, so a user's traceback shows which method failed even
// though no Python source ran there.
#pragma once

#include "../portrait_main.h"

namespace pm {

// The file name every synthetic entry carries.
inline constexpr const char* traceback_file = module_name;

// Adds an entry named `function_name` (UTF-8) to the traceback of the exception
// currently set. The exception is left set and unchanged if the entry cannot
// be built.
void add_traceback_entry(const char* function_name);

}  // namespace pm
