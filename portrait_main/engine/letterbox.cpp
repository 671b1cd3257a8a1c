// _process_image: fits an image into the target size held in _input_size.
//
// A (width, height) pair scales the image to fit, keeping its aspect ratio,
// and borders it with white to exactly that size; a single number scales the
// longer side to it, with no border; anything else leaves the image as it is.
// All size arithmetic is Python's own (true division, int() truncating), so
// int and float targets behave as they would in Python code.

#include "../module_state.h"
#include "../support/globals.h"
#include "../support/object.h"
#include "../support/unpack.h"
#include "engine.h"

namespace pm::engine {
namespace {

Ref to_int(Handle value) { return own(PyNumber_Long(value.get())); }
Ref to_float(Handle value) { return own(PyNumber_Float(value.get())); }

// max(a, b) as the builtin decides it: b only when b > a.
Ref larger(const Ref& a, const Ref& b) { return check(PyObject_RichCompareBool(b.get(), a.get(), Py_GT)) ? b : a; }

bool is_odd(Handle total) {
    Ref remainder = own(PyNumber_Remainder(total.get(), constants().two.get()));
    return check(PyObject_RichCompareBool(remainder.get(), constants().zero.get(), Py_NE)) != 0;
}

struct Borders {
    Ref top, bottom, left, right;
};

// Splits each border total in two, the odd pixel going to the top and left.
Borders split_borders(Handle border_width, Handle border_height) {
    const Constants& k = constants();
    Ref half_width = true_divide(border_width, k.two);
    Ref half_height = true_divide(border_height, k.two);
    const bool odd_width = is_odd(border_width);
    const bool odd_height = is_odd(border_height);
    return Borders{
        .top = odd_height ? add(half_height, k.one) : half_height,
        .bottom = half_height,
        .left = odd_width ? add(half_width, k.one) : half_width,
        .right = half_width,
    };
}

Ref resize_to(Handle image, Handle new_w, Handle new_h) {
    const Names& n = names();
    Ref resize = getattr(globals::lookup(n.cv2), n.resize);
    return call(resize, image, tuple_of(new_w, new_h));
}

Ref letterbox_to_pair(PyObject* self, Handle resize_img, const Ref& h, const Ref& w) {
    const Names& n = names();
    const Constants& k = constants();

    auto [width, height] = unpack<2>(getattr(self, n.input_size));
    Ref height_ratio = true_divide(h, to_float(height));
    Ref width_ratio = true_divide(w, to_float(width));
    Ref scale = larger(height_ratio, width_ratio);
    Ref new_w = to_int(true_divide(w, scale));
    Ref new_h = to_int(true_divide(h, scale));
    Ref scaled = resize_to(resize_img, new_w, new_h);

    // What the scaled image leaves free across and down, to be bordered.
    Ref border_width = subtract(width, new_w);
    Ref border_height = subtract(height, new_h);
    Borders borders = split_borders(border_width, border_height);

    Ref copy_make_border = getattr(globals::lookup(n.cv2), n.copyMakeBorder);
    Ref top = to_int(borders.top);
    Ref bottom = to_int(borders.bottom);
    Ref left = to_int(borders.left);
    Ref right = to_int(borders.right);
    Ref border_type = getattr(globals::lookup(n.cv2), n.BORDER_CONSTANT);
    Ref white = list_of(k.border_level, k.border_level, k.border_level);
    return call_with_keywords(copy_make_border, n.value_keyword, scaled, top, bottom, left, right, border_type, white);
}

Ref scale_longer_side(PyObject* self, Handle resize_img, const Ref& h, const Ref& w) {
    Ref scale = true_divide(larger(w, h), to_float(getattr(self, names().input_size)));
    Ref new_w = to_int(true_divide(w, scale));
    Ref new_h = to_int(true_divide(h, scale));
    return resize_to(resize_img, new_w, new_h);
}

// The kind tests read the attribute afresh, as `isinstance(self._input_size, ...)` does.
bool target_is(PyObject* self, int (*kind)(PyObject*)) { return kind(getattr(self, names().input_size).get()) != 0; }
int is_list(PyObject* o) { return PyList_Check(o); }
int is_tuple(PyObject* o) { return PyTuple_Check(o); }
int is_int(PyObject* o) { return PyLong_Check(o); }
int is_float(PyObject* o) { return PyFloat_Check(o); }

}  // namespace

Ref process_image(Arguments args) {
    PyObject* self = args[0];
    PyObject* resize_img = args[1];
    const Constants& k = constants();

    Ref size = getattr(resize_img, names().shape);
    Ref h = item(size, k.zero);
    Ref w = item(size, k.one);

    if (target_is(self, is_list) || target_is(self, is_tuple))
        return letterbox_to_pair(self, resize_img, h, w);
    if (target_is(self, is_int) || target_is(self, is_float))
        return scale_longer_side(self, resize_img, h, w);
    return Ref::borrow(resize_img);
}

}  // namespace pm::engine
