// The names and values shared by every call: created once when the module
// initialises and read-only afterwards.
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
    Ref imread, imwrite, cvtColor, COLOR_BGR2RGB, resize, INTER_LINEAR, INTER_NEAREST,
        copyMakeBorder, BORDER_CONSTANT;
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
    Ref batch_index;         // (None, :, :, :)
    Ref zero_pair;           // (0, 0)
    Ref model_file_name;     // "modnet.onnx"
    Ref input_tensor;        // "input"
    Ref output_tensor;       // "output"
};

// Valid from the module's exec step on.
const Names& names();
const Constants& constants();

// The steps of initialisation that make them, in the order the exec step
// calls them; each throws PyError on failure.
void create_names();
void create_numbers();
void create_tuples();

// Drops everything created, after a failed initialisation.
void release_constants();

// Whether create_names() has completed.
bool names_exist();

}  // namespace pm
