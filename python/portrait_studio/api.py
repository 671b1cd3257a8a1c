"""The one-call Python API: a photograph in, the cut-out out, as the same kind.

    cut_out("photo.jpg")                               -> encoded bytes, the photograph's own format
    cut_out(open("photo.jpg", "rb").read(), format="png") -> PNG bytes
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
from .core.request import Request, RequestError, request_from_fields
from .pipeline import Cutout, encode

# Formats told apart by their first bytes, for bytes that come without a name.
SIGNATURES = (
    (b"\x89PNG\r\n\x1a\n", "png"),
    (b"\xff\xd8\xff", "jpg"),
    (b"BM", "bmp"),
    (b"II*\x00", "tif"),
    (b"MM\x00*", "tif"),
)

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


def cut_out(image, background: str = "white", size: tuple[int, int] | str | None = None, matte: str = "refined",
            *, mask: bool = False, id: str | None = None, force: bool = False, format: str | None = None,
            model: str | os.PathLike | None = None, max_pixels: int | None = None, checks: bool = False):
    """The person cut out of `image`: a path or encoded bytes give encoded
    bytes (the photograph's own format unless `format` names another; PNG
    when the picture is transparent and that format cannot hold it), a
    B, G, R NumPy array gives an array. `background`, `size`, `matte`,
    `mask`, `id` and `force` are the command line's options of those names.
    A photograph over `max_pixels` (default 40 million) is refused from its
    header. With `checks=True` (an ID photo) the answer is a pair: the
    picture and the office's rules as measured (idphoto.Check: name,
    measured, allowed, passed). Raises RequestError for a bad option and
    ImageError for a photograph that cannot be read or used; an ID photo
    refused by its rules raises idphoto.IdPhotoRefused, whose `checks` are
    every rule measured."""
    request = request_from_fields(
        {"background": background, "size": size, "matte": matte, "mask": mask, "id": id, "force": force},
        spell=lambda name: f"{name}=",
    )
    if max_pixels is not None:
        request = dataclasses.replace(request, max_pixels=max_pixels)
    if checks and request.id_photo is None:
        raise RequestError("checks= applies to ID photos: add id=DOCUMENT")
    cutout = cutout_for(model)
    if isinstance(image, np.ndarray):
        if format is not None:
            raise RequestError("format= applies to paths and bytes; an array gives an array")
        return _with_checks(cutout.produce(image, request), None, checks)
    if isinstance(image, (str, os.PathLike)):
        photo = imageio.read_photo(image, request.max_pixels)
        given = imageio.extension_of(image).lstrip(".") or None
    elif isinstance(image, (bytes, bytearray, memoryview)):
        data = bytes(image)
        photo = imageio.decode_photo(data, request.max_pixels)
        given = format_of(data)
    else:
        raise TypeError(f"cut_out takes a path, encoded bytes or a NumPy array, not {type(image).__name__}")
    extension = output_format(request, format, given)
    return _with_checks(cutout.produce(photo, request), extension, checks)


def _with_checks(output, extension: str | None, checks: bool):
    """The picture (encoded when `extension` is given), with the ID photo's checks when asked."""
    picture = output.picture if extension is None else encode(output, extension)
    return (picture, list(output.details.checks)) if checks else picture


def output_format(request: Request, asked: str | None, given: str | None) -> str:
    if asked is not None:
        request.check_format(asked, spell=lambda name: f"{name}=")
        return asked
    extension = given or "png"
    if request.has_alpha and not imageio.keeps_alpha(extension):
        return "png"
    return extension

