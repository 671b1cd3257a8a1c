"""Refusing pictures too large to decode, or cut short, from their bytes alone.

A few kilobytes of PNG or JPEG can claim a picture of ten billion pixels;
decoding it would take the server's memory. The checks are the product's
shared reader's (imageio); here they become the service's answers.
"""

from __future__ import annotations

from ...core import imageio
from ...core.fields import SERVICE, spelled_as
from .errors import ClientError, NotAPicture, TooLarge

READABLE = imageio.READABLE


def check_pixels(data: bytes, max_pixels: int, name: str = "the image") -> tuple[int, int]:
    """(width, height) of an upload within `max_pixels` and whole; the
    service's error otherwise."""
    try:
        with spelled_as(SERVICE):
            size = imageio.check_photo_bytes(data, name, max_pixels)
    except imageio.TooManyPixels as error:
        raise TooLarge(str(error)) from None
    except imageio.NotAPicture as error:
        raise NotAPicture(f"{error}; send {READABLE}") from None
    except imageio.ImageError as error:
        raise ClientError(str(error)) from None
    if size is None:
        said_of = "" if name == "the image" else f"{name}: "
        raise NotAPicture(f"{said_of}not a picture this service reads; send {READABLE}")
    return size
