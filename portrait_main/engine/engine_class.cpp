#include "engine.h"

#include "../module_state.h"
#include "../portrait_main.h"
#include "../support/object.h"

namespace pm::engine {
namespace {

constexpr const char* model_parameters[] = {"self", "onnx_path"};
constexpr const char* image_parameters[] = {"self", "image_path", "save_path", "input_size"};
constexpr const char* letterbox_parameters[] = {"self", "resize_img"};

// In the order they are stored into the class namespace.
const FunctionDef methods[] = {
    {"__init__", model_parameters, 2, "QuorinPortraitMain.__init__(self, onnx_path)", init},
    {"_set_model", model_parameters, 2, "QuorinPortraitMain._set_model(self, onnx_path)", set_model},
    {"_image", image_parameters, 3, "QuorinPortraitMain._image(self, image_path, save_path, input_size=None)", image},
    {"_process_image", letterbox_parameters, 2, "QuorinPortraitMain._process_image(self, resize_img)", process_image},
};

}  // namespace

Ref build_class() {
    Ref namespace_dict = own(PyDict_New());
    check(PyDict_SetItemString(namespace_dict.get(), "__module__", str_from(module_name).get()));
    check(PyDict_SetItemString(namespace_dict.get(), "__qualname__", str_from(engine_class_name).get()));
    for (const FunctionDef& method : methods) {
        Ref function = make_function(method, engine_class_name, module_name);
        check(PyDict_SetItemString(namespace_dict.get(), method.name, function.get()));
    }
    Ref bases = own(PyTuple_New(0));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), str_from(engine_class_name), bases, namespace_dict);
}

}  // namespace pm::engine
