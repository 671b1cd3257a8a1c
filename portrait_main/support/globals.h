// Module-level names, looked up when they are used.
//
// The engine never keeps its own copy of `os`, `cv2`, `np`, `rt` or
// `__file__`: each use reads the module's dictionary afresh (falling back to
// the builtins), so rebinding a module attribute changes what the next call
// does. The dictionary and the builtins are those held in the module state.
#pragma once

#include "ref.h"

namespace pm::globals {

// The module's own binding of `name`, without the builtins; empty when it
// has none (or before the exec step has installed the dictionary).
Ref find(Handle name);

// The value of a module-level name. Raises NameError "name '...' is not
// defined" when neither the module nor the builtins have it.
Ref lookup(Handle name);

}  // namespace pm::globals
