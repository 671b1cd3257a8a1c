#include "traceback.h"

#include "../module_state.h"
#include "ref.h"

#include <Python.h>
#include <frameobject.h>

namespace pm {

void add_traceback_entry(const char* function_name) {
    // The code and frame are built with the exception put aside, so that a
    // failure to build them cannot replace the exception being reported.
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (!exception)
        return;

    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(traceback_file, function_name, 1)));
    Ref frame_globals = state().module_dict;
    if (code && !frame_globals)
        frame_globals = Ref::steal(PyDict_New());
    Ref frame;
    if (code && frame_globals) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), frame_globals.get(), nullptr)));
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exception.release());
    if (frame)
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace pm
