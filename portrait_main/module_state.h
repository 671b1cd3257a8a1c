// Everything the module keeps between calls, in one object.
//
// The module definition declares no per-module state (its size is 0): the
// module serves one interpreter per process, so its state is process-wide,
// created on first use and never destroyed (the interpreter may be gone by
// the time static destructors would run). Every part is reached through
// state(); forgetting the module after a failed exec step is one reset.
#pragma once

#include "constants.h"
#include "engine/native_path.h"
#include "support/ref.h"

#include <cstdint>

namespace pm {

struct ModuleState {
    // The interpreter that first created the module; -1 until one has. It
    // outlives a failed exec step, so that a retry in another interpreter is
    // still refused.
    std::int64_t interpreter_id = -1;

    // The module object, from its exec step on.
    Ref module;

    // What module-level names are read from: the module's dictionary, then
    // the builtins module.
    Ref module_dict;
    Ref builtins;

    // The shared names and constants, read-only after the exec step.
    Names names;
    Constants constants;
    bool names_exist = false;

    // The libraries the native passes stand in for, as the exec step found them.
    engine::native::Libraries libraries;

    // The type of the engine's native methods.
    Ref function_type;

    // Drops everything but the interpreter identifier.
    void forget();
};

ModuleState& state();

// Valid from the module's exec step on.
inline const Names& names() { return state().names; }
inline const Constants& constants() { return state().constants; }

}  // namespace pm
