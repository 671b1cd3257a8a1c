// Module-level names, looked up when they are used.
//
// The engine never keeps its own copy of `os`, `cv2`, `np`, `rt` or
// `__file__`: each use reads the module's dictionary afresh (falling back to
// the builtins), so rebinding a module attribute changes what the next call
// does.
#pragma once

#include "ref.h"

namespace pm::globals {

// Installs the dictionary and builtins module that lookups read from; called
// with nullptrs to forget them when the module is dropped.
void install(PyObject* module_dict, PyObject* builtins_module);

// The installed module dictionary (borrowed), or nullptr.
PyObject* module_dict();

// The value of a module-level name. Raises NameError "name '...' is not
// defined" when neither the module nor the builtins have it.
Ref lookup(Handle name);

}  // namespace pm::globals
