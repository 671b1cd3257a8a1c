"""The one-call Python API: a photograph in, the cut-out out, as the same kind.

    cut_out("photo.jpg")                               -> encoded bytes, the photograph's own format
    cut_out(open("photo.jpg", "rb").read(), format="png") -> PNG bytes
    cut_out(Image.open("photo.jpg"), background="beach.jpg") -> a PIL image
    cut_out(bgr_array, background="transparent")       -> a B, G, R, A array
    cut_out("photo.jpg", id="uk-passport", checks=True) -> (JPEG bytes, [Check, ...])

A front end like the command line: it parses the arguments into a
`Request`, runs the one path on this thread's `Cutout` and delivers.
"""

from __future__ import annotations

import dataclasses
import os
import threading

import numpy as np

from .core import imageio
from .core.background import PICTURE, Background, picture_background
from .core.request import Request, RequestError, request_from_fields
from .pipeline import Cutout, Output, encode

# Formats told apart by their first bytes, for bytes that come without a name.
SIGNATURES = (
    (b"\x89PNG\r\n\x1a\n", "png"),
    (b"\xff\xd8\xff", "jpg"),
    (b"BM", "bmp"),
    (b"II*\x00", "tif"),
    (b"MM\x00*", "tif"),
)

TAKES = "a path, encoded bytes, a PIL image or a NumPy B, G, R array"

_local = threading.local()


def cutout_for(model: str | os.PathLike | None) -> Cutout:
    """This thread's Cutout for `model`, opened on first use."""
    cutouts = _local.__dict__.setdefault("cutouts", {})
    key = str(model) if model else None
    if key not in cutouts:
        cutouts[key] = Cutout(model)
    return cutouts[key]


def format_of(data: bytes) -> str | None:
    if data[:4] == b"RIFF" and data[8:12] == b"WEBP":
        return "webp"
    return next((name for signature, name in SIGNATURES if data.startswith(signature)), None)


def is_pil_image(value) -> bool:
    """A PIL image, told without importing Pillow for callers who never use it."""
    return any(cls.__module__.startswith("PIL.") and cls.__name__ == "Image" for cls in type(value).__mro__)


def photo_to_pil(picture: np.ndarray, dpi: int | None = None):
    """The product's picture as a PIL image: RGB, RGBA when it has an alpha channel, L for a mask."""
    from PIL import Image

    if picture.ndim == 2:
        image = Image.fromarray(picture, "L")
    elif picture.shape[2] == 4:
        image = Image.fromarray(np.ascontiguousarray(picture[:, :, [2, 1, 0, 3]]), "RGBA")
    else:
        image = Image.fromarray(np.ascontiguousarray(picture[:, :, ::-1]), "RGB")
    if dpi is not None:
        image.info["dpi"] = (dpi, dpi)
    return image


def background_from(value) -> Background | str | None:
    """The background as the request takes it: text is the command line's;
    a path, encoded bytes, a PIL image or an array is a picture, carried as
    its encoded bytes and checked now, before any photograph is read."""
    if value is None or isinstance(value, (str, Background)):
        return value
    if isinstance(value, os.PathLike):
        try:
            return picture_background(value)
        except (ValueError, imageio.ImageError) as error:
            raise RequestError(f"bad background {imageio.shown(value)!r}: {error}") from None
    if isinstance(value, (bytes, bytearray, memoryview)):
        data, name = bytes(value), "given as bytes"
    elif is_pil_image(value) or isinstance(value, np.ndarray):
        # Lossless and fast both ways: the picture is decoded once per process.
        kind = "a PIL image" if is_pil_image(value) else "an array"
        try:
            pixels = imageio.pil_to_bgr(value) if is_pil_image(value) else as_bgr(value, "the background picture")
        except ValueError as error:
            raise RequestError(f"bad background: {error}") from None
        data, name = imageio.encode(pixels, "bmp"), f"given as {kind}"
    else:
        raise TypeError(f"background= takes a colour's name, transparent, blur[:STRENGTH], or a picture as {TAKES}; "
                        f"not {type(value).__name__}")
    background = Background(kind=PICTURE, picture=data, name=name)
    from .core.backdrop import picture_of

    try:
        picture_of(background)
    except imageio.ImageError as error:
        raise RequestError(f"bad background: {error}") from None
    return background


def as_bgr(array: np.ndarray, what: str) -> np.ndarray:
    if array.dtype != np.uint8 or array.ndim != 3 or array.shape[2] != 3 or min(array.shape[:2]) < 1:
        raise ValueError(f"{what} is a (rows, columns, 3) uint8 B, G, R array, not {array.dtype} {array.shape}")
    return np.ascontiguousarray(array)


def cut_out(image, background="white", size: tuple[int, int] | str | None = None, matte: str = "refined",
            *, mask: bool = False, id: str | None = None, force: bool = False, format: str | None = None,
            model: str | os.PathLike | None = None, max_pixels: int | None = None, checks: bool = False):
    """The person cut out of `image`, given back as the kind it came as:
    a path or encoded bytes give encoded bytes (the photograph's own format
    unless `format` names another; PNG when the picture is transparent and
    that format cannot hold it); a PIL image gives a PIL image (RGBA when
    transparent, L for a mask, RGB otherwise; transparency and palettes in
    it are put on white first); a B, G, R NumPy array gives an array.
    `background` is what `--background` takes (a colour, transparent,
    blur[:STRENGTH], a picture's path) or a picture as a path, encoded
    bytes, a PIL image or an array. `size`, `matte`, `mask`, `id` and
    `force` are the command line's options of those names. A photograph
    over `max_pixels` (default 40 million) is refused from its header.
    With `checks=True` (an ID photo) the answer is a pair: the picture and
    the office's rules as measured (idphoto.Check: name, measured, allowed,
    passed). Raises RequestError for a bad option and ImageError for a
    photograph that cannot be read or used; an ID photo refused by its
    rules raises idphoto.IdPhotoRefused, whose `checks` are every rule
    measured."""
    request = request_from_fields(
        {"background": background_from(background), "size": size, "matte": matte, "mask": mask, "id": id,
         "force": force},
        spell=lambda name: f"{name}=",
    )
    if max_pixels is not None:
        request = dataclasses.replace(request, max_pixels=max_pixels)
    if checks and request.id_photo is None:
        raise RequestError("checks= applies to ID photos: add id=DOCUMENT")
    given_array, given_pil = isinstance(image, np.ndarray), is_pil_image(image)
    if (given_array or given_pil) and format is not None:
        raise RequestError(f"format= applies to paths and bytes; {'an array' if given_array else 'a PIL image'} "
                           "gives the same kind back")
    cutout = cutout_for(model)
    if given_array:
        return _with_checks(cutout.produce(image, request), lambda output: output.picture, checks)
    if given_pil:
        photo = imageio.pil_to_bgr(image)
        imageio.check_pixels(photo.shape[1], photo.shape[0], request.max_pixels or imageio.DEFAULT_MAX_PIXELS,
                             "the PIL image")
        return _with_checks(cutout.produce(photo, request), lambda output: photo_to_pil(output.picture, output.dpi),
                            checks)
    if isinstance(image, (str, os.PathLike)):
        photo = imageio.read_photo(image, request.max_pixels, as_engine=request.is_engine_output)
        given = imageio.extension_of(image).lstrip(".") or None
    elif isinstance(image, (bytes, bytearray, memoryview)):
        data = bytes(image)
        photo = imageio.decode_photo(data, request.max_pixels, as_engine=request.is_engine_output)
        given = format_of(data)
    else:
        raise TypeError(f"cut_out takes {TAKES}, not {type(image).__name__}")
    extension = output_format(request, format, given)
    return _with_checks(cutout.produce(photo, request), lambda output: encode(output, extension), checks)


def _with_checks(output: Output, deliver, checks: bool):
    """The picture as `deliver` gives it back, with the ID photo's checks when asked."""
    picture = deliver(output)
    return (picture, list(output.details.checks)) if checks else picture


def output_format(request: Request, asked: str | None, given: str | None) -> str:
    if asked is not None:
        request.check_format(asked, spell=lambda name: f"{name}=")
        if not imageio.writable_extension(asked):
            raise RequestError(f"bad format= {asked!r}: no writer for it; use one of {', '.join(imageio.WRITABLE_HINT)}")
        return asked
    extension = given or "png"
    # A photograph in a format nothing here writes (a phone's HEIC) comes back as PNG.
    if (request.has_alpha and not imageio.keeps_alpha(extension)) or not imageio.writable_extension(extension):
        return "png"
    return extension


def check_id_photo(image, id: str, *, matte: str = "refined", model: str | os.PathLike | None = None) -> list:
    """An existing ID photo (a path, encoded bytes, a PIL image or a B, G, R
    array), whoever made it, measured against the document `id`: the list of
    idphoto.Check, the same rules `portrait-main check` prints. It passes when
    `idphoto.passed(checks)`. A file's size is checked when it comes as a
    path or bytes."""
    from .idphoto.verify import check_photo

    if isinstance(image, (str, os.PathLike)):
        image = imageio.read_bytes(image)
    elif is_pil_image(image):
        image = imageio.pil_to_bgr(image)
    elif isinstance(image, np.ndarray):
        image = as_bgr(image, "the photo")
    elif not isinstance(image, (bytes, bytearray, memoryview)):
        raise TypeError(f"check_id_photo takes {TAKES}, not {type(image).__name__}")
    return check_photo(cutout_for(model), image, id, matte)
