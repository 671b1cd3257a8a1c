"""The engine's pipeline written out in plain Python, NumPy and OpenCV.

This is the oracle for the byte-for-byte tests: `letterbox` is what
`QuorinPortraitMain._process_image` does to an image for a given target, and
`matting_run` is the picture that `QuorinPortraitMain._image` writes. Both are
written from the algorithm, step by step, and share no code with the engine.
"""

from __future__ import annotations

import cv2
import numpy as np

DEFAULT_INPUT_SIZE = (512, 512)


def letterbox(resize_img, target):
    """Fits `resize_img` into `target`.

    A (width, height) list or tuple: scale to fit keeping the aspect ratio,
    then a white border up to exactly that size (the odd pixel of a border
    goes to the top and to the left). An int or float: scale so that the
    longer side has that length, no border. Anything else: the very same
    object back.
    """
    size = resize_img.shape
    h = size[0]
    w = size[1]
    if isinstance(target, (list, tuple)):
        width, height = target
        scale = max(h / float(height), w / float(width))
        new_w = int(w / scale)
        new_h = int(h / scale)
        resize_img = cv2.resize(resize_img, (new_w, new_h))
        new_width = width - new_w
        new_height = height - new_h
        if new_width % 2 != 0 and new_height % 2 == 0:
            top, bottom = new_height / 2, new_height / 2
            left, right = new_width / 2 + 1, new_width / 2
        elif new_width % 2 == 0 and new_height % 2 != 0:
            top, bottom = new_height / 2 + 1, new_height / 2
            left, right = new_width / 2, new_width / 2
        elif new_width % 2 == 0 and new_height % 2 == 0:
            top, bottom = new_height / 2, new_height / 2
            left, right = new_width / 2, new_width / 2
        else:
            top, bottom = new_height / 2 + 1, new_height / 2
            left, right = new_width / 2 + 1, new_width / 2
        return cv2.copyMakeBorder(
            resize_img, int(top), int(bottom), int(left), int(right),
            cv2.BORDER_CONSTANT, value=[255, 255, 255],
        )
    if isinstance(target, (int, float)):
        scale = max(w, h) / float(target)
        new_w = int(w / scale)
        new_h = int(h / scale)
        return cv2.resize(resize_img, (new_w, new_h))
    return resize_img


def model_input(img, input_size):
    """The (1, 3, h2, w2) float32 tensor fed to the model as "input"."""
    raw_image = cv2.cvtColor(img, cv2.COLOR_BGR2RGB)
    image = raw_image.astype(np.float32) / 255.0
    image -= [0.5, 0.5, 0.5]
    image /= [0.5, 0.5, 0.5]
    w2, h2 = input_size[0], input_size[1]
    image = cv2.resize(image, (w2, h2), interpolation=cv2.INTER_LINEAR)
    image = np.transpose(image, [2, 0, 1])[None, :, :, :]
    return image.astype(np.float32)


def blend_over_white(img, matte):
    """Blends the photograph (in its own channel order) over white by a matte
    plane of the photograph's size, saturating to 8 bits: below 0 to 0, above
    255 and NaN to 255; in-range values are truncated."""
    matte = np.expand_dims(matte, axis=-1)
    blended = matte * img + (1 - matte) * np.full(img.shape, 255.0)
    with np.errstate(invalid="ignore"):
        blended = np.where(np.isnan(blended), 255.0, np.clip(blended, 0.0, 255.0))
    return blended.astype("uint8")


def matting_run(image_path, run, input_size=None):
    """The picture `_image(image_path, save_path, input_size)` writes, given
    `run`, a callable with the signature of an inference session's `run`."""
    img = cv2.imread(image_path)
    h1, w1, _ = img.shape
    size = input_size if input_size else DEFAULT_INPUT_SIZE
    mask = run(["output"], {"input": model_input(img, size)})[0]
    pred = mask[0, 0]
    matte = cv2.resize(pred, (w1, h1), interpolation=cv2.INTER_NEAREST)
    picture = blend_over_white(img, matte)
    if input_size:
        picture = letterbox(picture, input_size)
    return picture
