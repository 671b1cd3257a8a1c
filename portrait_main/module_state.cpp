#include "module_state.h"

namespace pm {

ModuleState& state() {
    static ModuleState* const instance = new ModuleState;
    return *instance;
}

void ModuleState::forget() {
    const std::int64_t interpreter = interpreter_id;
    *this = ModuleState{};
    interpreter_id = interpreter;
}

}  // namespace pm
