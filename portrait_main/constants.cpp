#include "constants.h"

#include "support/object.h"

namespace pm {
namespace {

Ref keyword_tuple(const char* name) { return tuple_of(interned(name)); }

}  // namespace

void create_names(Names& n, Constants& c) {
    n.os = interned("os");
    n.cv2 = interned("cv2");
    n.np = interned("np");
    n.rt = interned("rt");
    n.dunder_file = interned("__file__");
    n.set_model = interned("_set_model");
    n.process_image = interned("_process_image");
    n.session = interned("_session");
    n.input_size = interned("_input_size");
    n.path = interned("path");
    n.join = interned("join");
    n.dirname = interned("dirname");
    n.abspath = interned("abspath");
    n.InferenceSession = interned("InferenceSession");
    n.run = interned("run");
    n.imread = interned("imread");
    n.imwrite = interned("imwrite");
    n.cvtColor = interned("cvtColor");
    n.COLOR_BGR2RGB = interned("COLOR_BGR2RGB");
    n.resize = interned("resize");
    n.INTER_LINEAR = interned("INTER_LINEAR");
    n.INTER_NEAREST = interned("INTER_NEAREST");
    n.copyMakeBorder = interned("copyMakeBorder");
    n.BORDER_CONSTANT = interned("BORDER_CONSTANT");
    n.shape = interned("shape");
    n.astype = interned("astype");
    n.float32 = interned("float32");
    n.transpose = interned("transpose");
    n.expand_dims = interned("expand_dims");
    n.full = interned("full");
    n.uint8 = interned("uint8");
    n.copy_keyword = keyword_tuple("copy");
    n.interpolation_keyword = keyword_tuple("interpolation");
    n.axis_keyword = keyword_tuple("axis");
    n.value_keyword = keyword_tuple("value");

    c.model_file_name = interned("modnet.onnx");
    c.input_tensor = interned("input");
    c.output_tensor = interned("output");
}

void create_numbers(Constants& c) {
    c.half = float_from(0.5);
    c.full_scale = float_from(255.0);
    c.border_level = int_from(255);
    c.zero = int_from(0);
    c.one = int_from(1);
    c.two = int_from(2);
    c.minus_one = int_from(-1);
}

void create_tuples(Constants& c) {
    Ref side = int_from(512);
    c.default_input_size = tuple_of(side, side);
    Ref full_slice = own(PySlice_New(nullptr, nullptr, nullptr));
    c.batch_index = tuple_of(Py_None, full_slice, full_slice, full_slice);
    c.zero_pair = tuple_of(c.zero, c.zero);
}

}  // namespace pm
