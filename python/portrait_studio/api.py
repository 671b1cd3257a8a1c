"""The one-call Python API: a photograph in, the cut-out out, as the same kind.

    cut_out("photo.jpg")                               -> encoded bytes, the photograph's own format
    cut_out(open("photo.jpg", "rb").read(), format="png") -> PNG bytes
    cut_out(Image.open("photo.jpg"), background="beach.jpg") -> a PIL image
    cut_out(bgr_array, background="transparent")       -> a B, G, R, A array
    cut_out("photo.jpg", id="uk-passport", checks=True) -> (JPEG bytes, [Check, ...])
    cut_out("photo.jpg", details=True).review          -> True when a person should look first

A front end like the command line: it parses the keywords (the fields of
`core.fields.FIELDS`) into a `Request` and calls the one path,
`Cutout.make`, on this thread's `Cutout`; arrays and PIL images, which come
decoded, go to `Cutout.produce`.
"""

from __future__ import annotations

import os
import threading
from dataclasses import dataclass

import numpy as np

from .core import backdrop, imageio
from .core.background import PICTURE, UNLIMITED, Background, picture_background
from .core.fields import FIELD_BY_NAME, FIELDS, PYTHON, spell, spelled_as
from .core.request import RequestError, request_from_fields
from .pipeline import Cutout, format_of, needs_review  # noqa: F401  (format_of: its old home)

TAKES = "a path, encoded bytes, a PIL image or a NumPy B, G, R array"

_local = threading.local()


def cutout_for(model: str | os.PathLike | None) -> Cutout:
    """This thread's Cutout for `model`, opened on first use."""
    cutouts = _local.__dict__.setdefault("cutouts", {})
    key = str(model) if model else None
    if key not in cutouts:
        cutouts[key] = Cutout(model)
    return cutouts[key]


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
        try:  # empty is refused now; the pixel limit, cut_out's max_pixels, once it is known
            check_pixels_of(value, UNLIMITED, f"the background picture ({kind})")
        except imageio.ImageError as error:
            raise RequestError(f"bad background: {error}") from None
        try:
            pixels = imageio.pil_to_bgr(value) if is_pil_image(value) else as_bgr(value, "the background picture")
        except ValueError as error:
            raise RequestError(f"bad background: {error}") from None
        data, name = imageio.encode(pixels, "bmp"), f"given as {kind}"
    else:
        raise TypeError(f"background= takes a colour's name, transparent, blur[:STRENGTH], or a picture as {TAKES}; "
                        f"not {type(value).__name__}")
    return Background(kind=PICTURE, picture=data, name=name)  # decoded by cut_out, under its max_pixels


def as_bgr(array: np.ndarray, what: str) -> np.ndarray:
    if array.dtype != np.uint8 or array.ndim != 3 or array.shape[2] != 3 or min(array.shape[:2]) < 1:
        raise ValueError(f"{what} is a (rows, columns, 3) uint8 B, G, R array, not {array.dtype} {array.shape}")
    return np.ascontiguousarray(array)


@dataclass(frozen=True)
class CutOut:
    """What `cut_out(..., details=True)` gives back: the picture as the kind
    the photograph came as, and what the other front ends tell beside it."""

    picture: object  # bytes, a PIL image or an array
    warnings: tuple[str, ...] = ()  # made anyway, but something is off
    confidence: float | None = None  # how far the cut-out can be trusted, in [0, 1]
    checks: tuple = ()  # an ID photo's rules as measured (idphoto.Check)
    format: str | None = None  # the encoding of bytes given back ("png"); None for a picture object

    @property
    def review(self) -> bool:
        """True when a person should look at this cut-out before it is used."""
        return needs_review(self.confidence)


# Keyword-only beside the request's fields: the model, and what comes back.
OWN_KEYWORDS = ("model", "checks", "details")


def cut_out(image, background="white", size: tuple[int, int] | str | None = None, matte: str = "refined",
            *, model: str | os.PathLike | None = None, checks: bool = False, details: bool = False, **fields):
    """The person cut out of `image`, given back as the kind it came as:
    a path or encoded bytes give encoded bytes (the format `format` names,
    else the photograph's own, PNG when the picture is transparent and that
    format cannot hold it, or nothing here writes it); a PIL image gives a
    PIL image (RGBA when transparent, L for a mask, RGB otherwise;
    transparency and palettes in it are put on white first); a B, G, R
    NumPy array gives an array.

    Every request field is a keyword (`portrait_studio.core.fields.FIELDS`:
    background, size, matte, mask, format, quality, max_pixels, id, force,
    max_kb, sheet), taking what the command line's option of that name
    takes; `background` also takes a picture as a path, encoded bytes, a
    PIL image or an array. With `details=True` the answer is a `CutOut`
    (the picture, warnings, confidence, review, checks); with `checks=True`
    (an ID photo) a pair: the picture and the office's rules as measured
    (idphoto.Check: name, measured, allowed, passed). Raises RequestError
    for a bad field and ImageError for a photograph that cannot be read or
    used; an ID photo refused by its rules raises idphoto.IdPhotoRefused,
    whose `checks` are every rule measured."""
    with spelled_as(PYTHON):
        made = _cut_out(image, background, size, matte, model, checks, fields)
    if details:
        return made
    return (made.picture, list(made.checks)) if checks else made.picture


def _cut_out(image, background, size, matte, model, checks, fields) -> CutOut:
    unknown = sorted(set(fields) - set(FIELD_BY_NAME))
    if unknown:
        raise TypeError(f"cut_out() got an unexpected keyword argument {unknown[0]!r}; it takes "
                        f"{', '.join(f.name for f in FIELDS)}, {', '.join(OWN_KEYWORDS)}")
    request = request_from_fields({"background": background_from(background), "size": size, "matte": matte,
                                   **fields})
    backdrop.check_picture(request)
    if checks and request.id_photo is None:
        raise RequestError(f"checks= applies to ID photos: add {spell('id')}DOCUMENT")
    given_array, given_pil = isinstance(image, np.ndarray), is_pil_image(image)
    if (given_array or given_pil) and request.format is not None:
        raise RequestError(f"{spell('format')} applies to paths and bytes; "
                           f"{'an array' if given_array else 'a PIL image'} gives the same kind back")
    cutout = cutout_for(model)
    if given_array or given_pil:
        # before Pillow converts a single pixel
        check_pixels_of(image, request.max_pixels or imageio.DEFAULT_MAX_PIXELS,
                        "the array" if given_array else "the PIL image")
        photo = as_bgr(image, "the photograph") if given_array else imageio.pil_to_bgr(image)
        output = cutout.produce(photo, request)
        picture = output.picture if given_array else photo_to_pil(output.picture, output.dpi)
        measured = tuple(getattr(output.details, "checks", ()) or ())
        return CutOut(picture, tuple(output.warnings), output.confidence, measured)
    if isinstance(image, (str, os.PathLike)):
        data, name = imageio.read_bytes(image, request.max_pixels), image
        given = imageio.extension_of(image).lstrip(".") or None
        if given is not None and not imageio.writable_extension(given):
            given = None  # a HEIC photograph comes back as PNG
    elif isinstance(image, (bytes, bytearray, memoryview)):
        data, name, given = bytes(image), None, None
    else:
        raise TypeError(f"cut_out takes {TAKES}, not {type(image).__name__}")
    if given is not None and request.has_alpha and not imageio.keeps_alpha(given):
        given = None  # a JPEG's transparent cut-out comes back as PNG
    made = cutout.make(data, request, name=name, format=given)
    return CutOut(made.data, made.warnings, made.confidence, made.checks, made.format)


def check_pixels_of(image, limit: int, what: str) -> None:
    """ImageError for an in-memory picture that is empty or over the pixel
    limit, as a file's header would be refused."""
    if is_pil_image(image):
        columns, rows = image.size
    else:
        rows, columns = (tuple(image.shape) + (0, 0))[:2]
    if columns < 1 or rows < 1:
        raise imageio.ImageError(f"{what} is empty ({columns} x {rows} pixels): give a picture with pixels in it")
    imageio.check_pixels(columns, rows, limit, what)


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
