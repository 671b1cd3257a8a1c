// Letting other threads run while native code works on memory that no
// Python object can move or free in the meantime.
#pragma once

#include <Python.h>

namespace pm {

class ReleasedGil {
public:
    ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() { PyEval_RestoreThread(state_); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace pm
