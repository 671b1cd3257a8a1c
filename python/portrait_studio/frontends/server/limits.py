"""Refusing pictures too large to decode, from their headers alone.

A few kilobytes of PNG or JPEG can claim a picture of ten billion pixels;
decoding it would take the server's memory. Pillow's `Image.open` reads the
header and stops, so the size is known before a single pixel is decoded.
"""

from __future__ import annotations

import io
import warnings

from PIL import Image, UnidentifiedImageError

from .errors import ClientError, NotAPicture, TooLarge

READABLE = "PNG, JPEG, WebP, BMP or TIFF"


def picture_size(data: bytes) -> tuple[int, int]:
    """(width, height) as the file's header states it."""
    if not data:
        raise ClientError("the image is empty")
    with warnings.catch_warnings():
        # Past Pillow's own bomb threshold it warns, and further on refuses;
        # either way our limit below decides.
        warnings.simplefilter("ignore", Image.DecompressionBombWarning)
        try:
            with Image.open(io.BytesIO(data)) as picture:
                return picture.size
        except Image.DecompressionBombError:
            raise TooLarge("the image's header claims more pixels than this service decodes") from None
        except UnidentifiedImageError:
            raise NotAPicture(f"not a picture this service reads; send {READABLE}") from None
        except (OSError, SyntaxError, ValueError, EOFError, IndexError, KeyError, TypeError) as error:
            # Pillow's plugins report a broken header in many ways.
            raise ClientError(f"a damaged image header ({type(error).__name__})") from None


def check_pixels(data: bytes, max_pixels: int) -> tuple[int, int]:
    width, height = picture_size(data)
    if width < 1 or height < 1:
        raise ClientError(f"the image's header claims {width} x {height} pixels")
    if width * height > max_pixels:
        raise TooLarge(
            f"the image is {width} x {height} pixels ({width * height / 1e6:.1f} MP); "
            f"this service takes up to {max_pixels / 1e6:g} MP: scale it down first"
        )
    return width, height
