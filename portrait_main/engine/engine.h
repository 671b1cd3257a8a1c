// The engine class QuorinPortraitMain and its methods.
//
// Each method body receives its bound arguments in parameter order, `self`
// first, and returns its result or throws PyError.
#pragma once

#include "../support/function.h"

namespace pm::engine {

// __init__(self, onnx_path) and _set_model(self, onnx_path).
Ref init(Arguments args);
Ref set_model(Arguments args);

// _process_image(self, resize_img): the letterbox.
Ref process_image(Arguments args);

// _image(self, image_path, save_path, input_size=None): the matting run.
Ref image(Arguments args);

// Builds the class object: type("QuorinPortraitMain", (), namespace).
Ref build_class();

}  // namespace pm::engine
