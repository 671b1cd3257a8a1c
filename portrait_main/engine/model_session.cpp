// Opening the matting model: __init__ and _set_model.

#include "../module_state.h"
#include "../support/globals.h"
#include "../support/object.h"
#include "engine.h"

namespace pm::engine {
namespace {

// os.path.join(os.path.dirname(os.path.abspath(__file__)), "modnet.onnx"),
// each name read at this moment and in the order Python evaluates them.
Ref default_model_path() {
    const Names& n = names();
    Ref join = getattr(getattr(globals::lookup(n.os), n.path), n.join);
    Ref dirname = getattr(getattr(globals::lookup(n.os), n.path), n.dirname);
    Ref abspath = getattr(getattr(globals::lookup(n.os), n.path), n.abspath);
    Ref module_file = globals::lookup(n.dunder_file);
    Ref directory = call(dirname, call(abspath, module_file));
    return call(join, directory, constants().model_file_name);
}

}  // namespace

Ref init(Arguments args) {
    PyObject* self = args[0];
    PyObject* onnx_path = args[1];
    call_method(self, names().set_model, onnx_path);
    return none();
}

Ref set_model(Arguments args) {
    PyObject* self = args[0];
    const Names& n = names();

    Ref default_model = default_model_path();
    Ref path = truth(args[1]) ? Ref::borrow(args[1]) : default_model;
    Ref session = call(getattr(globals::lookup(n.rt), n.InferenceSession), path);
    setattr(self, n.session, session);
    return none();
}

}  // namespace pm::engine
