// _image: one photograph in, one white-background portrait out.
//
// Each step goes through cv2, np, the arrays' own methods and the engine's
// session and methods, looked up at the moment of use, so that rebinding a
// module name or overriding a method changes what the run does. Where cv2
// and np are untouched and the arrays ordinary, the per-pixel passes run
// natively instead (native_path.h), with the same results.

#include "../module_state.h"
#include "../support/globals.h"
#include "../support/object.h"
#include "../support/unpack.h"
#include "engine.h"
#include "native_path.h"
#include "saturate_blend.h"

#include <optional>

namespace pm::engine {
namespace {

Ref module_attribute(Handle module_name, Handle attribute) { return getattr(globals::lookup(module_name), attribute); }

// The photograph's size and its model values at full size: (v / 255.0 - 0.5)
// / 0.5 for every 8-bit value v, in float32, channels in order R, G, B.
struct NormalisedPhoto {
    Ref h1, w1;
    Ref image;
};

// cv2.cvtColor to R, G, B, then NumPy: the subtraction and division work in
// place on the quotient.
NormalisedPhoto normalise_in_steps(Handle img) {
    const Names& n = names();
    const Constants& k = constants();
    Ref cvt_color = module_attribute(n.cv2, n.cvtColor);
    Ref raw_image = call(cvt_color, img, module_attribute(n.cv2, n.COLOR_BGR2RGB));
    auto [h1, w1, c] = unpack<3>(getattr(raw_image, n.shape));
    Ref astype = getattr(raw_image, n.astype);
    Ref as_float = call_with_keywords(astype, n.copy_keyword, module_attribute(n.np, n.float32), Py_False);
    raw_image.reset();
    Ref image = true_divide(as_float, k.full_scale);
    as_float.reset();
    image = inplace_subtract(image, list_of(k.half, k.half, k.half));
    image = inplace_true_divide(image, list_of(k.half, k.half, k.half));
    return {std::move(h1), std::move(w1), std::move(image)};
}

NormalisedPhoto normalise(Handle img) {
    if (std::optional<Ref> image = native::try_normalise_photo(img.get())) {
        auto [h1, w1, c] = unpack<3>(getattr(img, names().shape));
        return {std::move(h1), std::move(w1), std::move(*image)};
    }
    return normalise_in_steps(img);
}

// Stretches the normalised photograph to the input size, read back from the
// engine: (h2, w2, 3).
Ref resize_for_model(PyObject* self, Ref image) {
    const Names& n = names();
    const Constants& k = constants();
    Ref w2 = item(getattr(self, n.input_size), k.zero);
    Ref h2 = item(getattr(self, n.input_size), k.one);
    Ref resize = module_attribute(n.cv2, n.resize);
    Ref size = tuple_of(w2, h2);
    return call_with_keywords(resize, n.interpolation_keyword, image, size, module_attribute(n.cv2, n.INTER_LINEAR));
}

// Channels first with a batch axis: (1, 3, h2, w2). The float32 copy that
// is fed is made as the model is called.
Ref channels_first(Handle image) {
    const Names& n = names();
    const Constants& k = constants();
    Ref transpose = module_attribute(n.np, n.transpose);
    Ref planes = call(transpose, image, list_of(k.two, k.zero, k.one));
    return item(planes, k.batch_index);
}

// self._session.run(["output"], {"input": tensor})[0], where the tensor is
// made by `feed_tensor` once the method has been looked up.
template <typename MakeTensor>
Ref run_model(PyObject* self, MakeTensor feed_tensor) {
    const Names& n = names();
    const Constants& k = constants();
    Ref run = getattr(getattr(self, n.session), n.run);
    Ref wanted = list_of(k.output_tensor);
    Ref feed = dict_of(k.input_tensor, feed_tensor());
    Ref outputs = call(run, wanted, feed);
    return item(outputs, k.zero);
}

Ref run_model_on(PyObject* self, Ref image) {
    if (const native::ModelInputPacking packing(image.get()); packing)
        return run_model(self, [&] { return packing.run(); });
    Ref tensor = channels_first(image);
    image.reset();
    return run_model(
        self, [&] { return call(getattr(tensor, names().astype), module_attribute(names().np, names().float32)); });
}

// The matte plane mask[0, 0], stretched back to the photograph's size with
// nearest neighbour.
Ref matte_at_photo_size(Handle mask, Handle w1, Handle h1) {
    const Names& n = names();
    const Constants& k = constants();
    Ref pred = item(mask, k.zero_pair);
    Ref resize = module_attribute(n.cv2, n.resize);
    Ref size = tuple_of(w1, h1);
    return call_with_keywords(resize, n.interpolation_keyword, pred, size, module_attribute(n.cv2, n.INTER_NEAREST));
}

// matte * img + (1 - matte) * white, with a trailing axis on the matte to
// broadcast over the channels, then saturated and truncated to uint8.
Ref blend_in_steps(Handle matte, Handle img) {
    const Names& n = names();
    const Constants& k = constants();
    Ref expand_dims = module_attribute(n.np, n.expand_dims);
    Ref matte_np = call_with_keywords(expand_dims, n.axis_keyword, matte, k.minus_one);
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

// OpenCV takes a path as UTF-8 and dies on a str it cannot encode (a file
// name in another encoding, which Python carries as lone surrogates), so such
// a path is refused here, before OpenCV sees it.
void require_utf8_path(Handle path, const char* role) {
    if (!PyUnicode_Check(path.get()) || PyUnicode_AsUTF8AndSize(path.get(), nullptr) != nullptr)
        return;
    PyErr_Clear();
    raise(PyExc_ValueError,
          "%s %R cannot be passed to OpenCV: it is not valid UTF-8 (a file name in another encoding?)", role,
          path.get());
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
    require_utf8_path(image_path, "image_path");
    require_utf8_path(save_path, "save_path");

    Ref img = call(module_attribute(n.cv2, n.imread), image_path);
    NormalisedPhoto photo = normalise(img);

    Ref mask = run_model_on(self, resize_for_model(self, std::move(photo.image)));
    Ref matte = matte_at_photo_size(mask, photo.w1, photo.h1);
    mask.reset();

    std::optional<Ref> blended = native::try_blend_over_white(img.get(), matte.get());
    Ref matting_frame = blended ? std::move(*blended) : blend_in_steps(matte, img);
    matte.reset();
    img.reset();

    if (truth(input_size))
        matting_frame = call_method(self, n.process_image, matting_frame);
    write_picture(save_path, matting_frame);
    return none();
}

}  // namespace pm::engine
