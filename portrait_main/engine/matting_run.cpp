// _image: one photograph in, one white-background portrait out.
//
// Each step goes through cv2, np, the arrays' own methods and the engine's
// session and methods, looked up at the moment of use, so that rebinding a
// module name or overriding a method changes what the run does.

#include "../constants.h"
#include "../support/globals.h"
#include "../support/object.h"
#include "../support/unpack.h"
#include "engine.h"
#include "quantise.h"

namespace pm::engine {
namespace {

Ref module_attribute(Handle module_name, Handle attribute) {
    return getattr(globals::lookup(module_name), attribute);
}

// cv2.imread, then the R, G, B copy the model is fed.
struct Photograph {
    Ref img;        // as read: B, G, R
    Ref raw_image;  // R, G, B
};

Photograph read_photograph(Handle image_path) {
    const Names& n = names();
    Photograph photo;
    photo.img = call(module_attribute(n.cv2, n.imread), image_path);
    Ref cvt_color = module_attribute(n.cv2, n.cvtColor);
    photo.raw_image = call(cvt_color, photo.img, module_attribute(n.cv2, n.COLOR_BGR2RGB));
    return photo;
}

// (v / 255.0 - 0.5) / 0.5 for every 8-bit value v, at full size, in float32;
// the subtraction and division work in place on the quotient.
Ref normalise(Handle raw_image) {
    const Names& n = names();
    const Constants& k = constants();
    Ref astype = getattr(raw_image, n.astype);
    Ref as_float = call_with_keywords(astype, n.copy_keyword, module_attribute(n.np, n.float32), Py_False);
    Ref image = true_divide(as_float, k.full_scale);
    as_float.reset();
    image = inplace_subtract(image, list_of(k.half, k.half, k.half));
    image = inplace_true_divide(image, list_of(k.half, k.half, k.half));
    return image;
}

// Stretches the normalised photograph to the input size and makes the
// (1, 3, h2, w2) float32 tensor the model is fed.
Ref model_input(PyObject* self, Ref image) {
    const Names& n = names();
    const Constants& k = constants();
    Ref w2 = item(getattr(self, n.input_size), k.zero);
    Ref h2 = item(getattr(self, n.input_size), k.one);
    Ref resize = module_attribute(n.cv2, n.resize);
    Ref size = tuple_of(w2, h2);
    image = call_with_keywords(resize, n.interpolation_keyword, image, size,
                               module_attribute(n.cv2, n.INTER_LINEAR));
    Ref transpose = module_attribute(n.np, n.transpose);
    image = call(transpose, image, list_of(k.two, k.zero, k.one));
    return item(image, k.batch_index);
}

// self._session.run(["output"], {"input": tensor.astype(np.float32)})[0]
Ref run_model(PyObject* self, Handle tensor) {
    const Names& n = names();
    const Constants& k = constants();
    Ref run = getattr(getattr(self, n.session), n.run);
    Ref wanted = list_of(k.output_tensor);
    Ref astype = getattr(tensor, n.astype);
    Ref feed = dict_of(k.input_tensor, call(astype, module_attribute(n.np, n.float32)));
    Ref outputs = call(run, wanted, feed);
    return item(outputs, k.zero);
}

// The matte plane mask[0, 0], stretched back to the photograph's size with
// nearest neighbour, with a trailing axis to broadcast over the channels.
Ref matte_at_photo_size(Handle mask, Handle w1, Handle h1) {
    const Names& n = names();
    const Constants& k = constants();
    Ref pred = item(mask, k.zero_pair);
    Ref resize = module_attribute(n.cv2, n.resize);
    Ref size = tuple_of(w1, h1);
    Ref matte_np = call_with_keywords(resize, n.interpolation_keyword, pred, size,
                                      module_attribute(n.cv2, n.INTER_NEAREST));
    Ref expand_dims = module_attribute(n.np, n.expand_dims);
    return call_with_keywords(expand_dims, n.axis_keyword, matte_np, k.minus_one);
}

// matte * img + (1 - matte) * white, then saturated and truncated to uint8.
Ref blend_over_white(Handle matte_np, Handle img) {
    const Names& n = names();
    const Constants& k = constants();
    Ref foreground = multiply(matte_np, img);
    Ref background_weight = subtract(k.one, matte_np);
    Ref full = module_attribute(n.np, n.full);
    Ref white = call(full, getattr(img, n.shape), k.full_scale);
    Ref background = multiply(background_weight, white);
    white.reset();
    background_weight.reset();
    Ref matting_frame = add(foreground, background);
    foreground.reset();
    background.reset();
    saturate_blend(matting_frame.get());
    return call(getattr(matting_frame, n.astype), n.uint8);
}

void write_picture(Handle save_path, Handle picture) {
    Ref imwrite = module_attribute(names().cv2, names().imwrite);
    Ref written = call(imwrite, save_path, picture);
    if (!truth(written))
        raise(PyExc_OSError, "could not write the image to %R", save_path.get());
}

}  // namespace

Ref image(Arguments args) {
    PyObject* self = args[0];
    PyObject* image_path = args[1];
    PyObject* save_path = args[2];
    PyObject* input_size = args[3];
    const Names& n = names();

    const bool letterbox = truth(input_size);
    setattr(self, n.input_size, letterbox ? Handle(input_size) : Handle(constants().default_input_size));

    Photograph photo = read_photograph(image_path);
    auto [h1, w1, c] = unpack<3>(getattr(photo.raw_image, n.shape));
    Ref normalised = normalise(photo.raw_image);
    photo.raw_image.reset();

    Ref mask = run_model(self, model_input(self, std::move(normalised)));
    Ref matte_np = matte_at_photo_size(mask, w1, h1);
    mask.reset();

    Ref matting_frame = blend_over_white(matte_np, photo.img);
    matte_np.reset();
    photo.img.reset();

    if (truth(input_size))
        matting_frame = call_method(self, n.process_image, matting_frame);
    write_picture(save_path, matting_frame);
    return none();
}

}  // namespace pm::engine
