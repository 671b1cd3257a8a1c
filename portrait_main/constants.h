// The names and values shared by every call: created once when the module
// initialises and read-only afterwards. They live in the module state
// (module_state.h), which also gives the accessors names() and constants().
#pragma once

#include "support/ref.h"

namespace pm {

struct Names {
    // Module-level names.
    Ref os, cv2, np, rt, dunder_file;
    // Engine attributes and methods.
    Ref set_model, process_image, session, input_size;
    // os.path
    Ref path, join, dirname, abspath;
    // onnxruntime
    Ref InferenceSession, run;
    // cv2
    Ref imread, imwrite, cvtColor, COLOR_BGR2RGB, resize, INTER_LINEAR, INTER_NEAREST, copyMakeBorder, BORDER_CONSTANT;
    // numpy and arrays
    Ref shape, astype, float32, transpose, expand_dims, full, uint8;
    // Keyword-name tuples for keyword calls.
    Ref copy_keyword, interpolation_keyword, axis_keyword, value_keyword;
};

struct Constants {
    Ref default_input_size;  // (512, 512)
    Ref half;                // 0.5
    Ref full_scale;          // 255.0
    Ref border_level;        // 255
    Ref zero, one, two, minus_one;
    Ref batch_index;      // (None, :, :, :)
    Ref zero_pair;        // (0, 0)
    Ref model_file_name;  // "modnet.onnx"
    Ref input_tensor;     // "input"
    Ref output_tensor;    // "output"
};

// The steps of initialisation that fill them in, in the order the exec step
// calls them; each throws PyError on failure.
void create_names(Names& names, Constants& constants);
void create_numbers(Constants& constants);
void create_tuples(Constants& constants);

}  // namespace pm
