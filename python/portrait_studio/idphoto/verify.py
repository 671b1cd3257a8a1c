"""Checking an ID photo from anywhere: a finished picture (whoever made it)
measured against a document with the rules our own photos are held to.
The picture is the whole print, so nothing is assumed about how it was
framed; its person matte comes from the cut-out's networks, and its file's
size is measured where the bytes are given."""

from __future__ import annotations

import numpy as np

from ..core import imageio
from ..core.compose import as_photo
from ..core.documents import Document, find_document
from .checks import Check
from .inspection import inspect_picture


def check_photo(cutout, photo: bytes | np.ndarray, document: Document | str, matte: str = "refined",
                max_pixels: int | None = None, name: str = "the picture") -> list[Check]:
    """Every rule of `document` measured on `photo`: encoded bytes (its file
    size is then checked too) or a B, G, R array."""
    if isinstance(document, str):
        document = find_document(document)
    data = None
    if isinstance(photo, (bytes, bytearray, memoryview)):
        data = bytes(photo)
        photo = imageio.decode_photo(data, max_pixels, name=name)
    picture = as_photo(photo)
    alpha, _, _ = cutout.alpha(picture, matte)
    return inspect_picture(picture, document, alpha, data=data)
