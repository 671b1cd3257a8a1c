"""What stands behind the person when it is more than one colour: another
picture scaled to cover the output, or the photograph's own background
blurred like a wide-open lens.

A picture is decoded once per process, not once per photograph: a folder
run or a Dask worker makes every photograph over the same few bytes, and the
last decoded picture and its last few coverings (a folder's photographs come
in a few sizes) are kept, keyed by those bytes (their hash, then their
equality, so a copy unpickled for each task hits too). One picture, not
more: a decoded 40 MP picture is 120 MB that a service would otherwise hold
on to. What is kept is read-only.

The blur is a normalised convolution: the photograph's colours weighted by
how surely each pixel is background, blurred, divided by the blurred
weights. The person's colours carry no weight, so none of them is smeared
into the background beside their edge, as a plain blur of the whole
photograph would; where the person hides every background pixel within the
blur's reach, a wider blur's ratio fills in.
"""

from __future__ import annotations

import functools
import math

import cv2
import numpy as np

from .. import _native
from . import imageio
from .background import PICTURE, Background

# The blur runs on a copy scaled down so that its sigma is this many pixels
# there: a Gaussian that wide holds nothing a bilinear scale-up back loses,
# and a 12-megapixel photograph blurs in a few milliseconds.
WORKING_SIGMA = 3.0
# Matte edges are rarely exact: the person is widened by this share of the
# picture's diagonal (at least a working pixel) before their pixels lose
# their weight, so an unmatted fringe is not blurred into the background.
EDGE_MARGIN = 0.003
# Below this share of background weight within the blur's reach, a pixel's
# ratio is trusted less and the wide blur's more (linearly).
WEIGHT_FLOOR = 0.1
WIDE_BLUR = 4.0  # the wide blur's sigma, in near sigmas


def frozen(array: np.ndarray) -> np.ndarray:
    array.flags.writeable = False
    return array


@functools.lru_cache(maxsize=1)
def decoded_picture(data: bytes, name: str, max_pixels: int | None = None) -> np.ndarray:
    """The picture's B, G, R pixels, decoded on first use; ImageError
    naming the picture when its bytes are none or more than `max_pixels`."""
    return frozen(imageio.decode_photo(data, max_pixels, name=f"the background picture {name}"))


def picture_of(background: Background) -> np.ndarray:
    return decoded_picture(background.picture, background.name or "sent", background.max_pixels)


def check_picture(request) -> None:
    """RequestError, before any work, where the request's background picture
    is over its pixel limit or does not decode (decoded now, and kept)."""
    from .request import RequestError

    background = request.picture_background
    if background.kind != PICTURE:
        return
    try:
        picture_of(background)
    except imageio.ImageError as error:
        raise RequestError(f"bad background: {error}") from None


def cover(picture: np.ndarray, width: int, height: int) -> np.ndarray:
    """`picture` scaled to cover width x height, centred, the overflow cropped.
    The crop comes first, in the picture's own pixels, and only the part
    that shows is scaled: memory is bounded by the output, however far the
    picture's shape is from it (1 x 3000 covering 512 x 512 would otherwise
    be scaled to 512 x 1,536,000 first)."""
    rows, columns = picture.shape[:2]
    scale = max(width / columns, height / rows)
    # the window of the picture that, scaled, is exactly width x height
    window_w = min(columns, max(1, round(width / scale)))
    window_h = min(rows, max(1, round(height / scale)))
    top, left = (rows - window_h) // 2, (columns - window_w) // 2
    window = picture[top : top + window_h, left : left + window_w]
    if (window_w, window_h) == (width, height):
        return np.ascontiguousarray(window)
    shrinking = window_w > width
    return cv2.resize(np.ascontiguousarray(window), (width, height),
                      interpolation=cv2.INTER_AREA if shrinking else cv2.INTER_LINEAR)


@functools.lru_cache(maxsize=4)
def _covered_picture(data: bytes, name: str, width: int, height: int, max_pixels: int | None) -> np.ndarray:
    return frozen(cover(decoded_picture(data, name, max_pixels), width, height))


def covered_picture(background: Background, width: int, height: int) -> np.ndarray:
    """The background's picture covering width x height, from the cache."""
    return _covered_picture(background.picture, background.name or "sent", width, height, background.max_pixels)


def blur_sigma(strength: float, rows: int, columns: int) -> float:
    """The blur's Gaussian sigma in pixels: `strength` thousandths of the diagonal."""
    return strength / 1000.0 * math.hypot(rows, columns)


def wide_blur(plane: np.ndarray, sigma: float) -> np.ndarray:
    """A Gaussian blur of `sigma`, run on the plane scaled down as far as
    WORKING_SIGMA allows and scaled back up."""
    rows, columns = plane.shape[:2]
    scale = min(1.0, WORKING_SIGMA / sigma)
    if scale == 1.0:
        return cv2.GaussianBlur(plane, (0, 0), sigma)
    size = (max(1, round(columns * scale)), max(1, round(rows * scale)))
    small = cv2.GaussianBlur(cv2.resize(plane, size, interpolation=cv2.INTER_AREA), (0, 0), sigma * scale)
    return cv2.resize(small, (columns, rows), interpolation=cv2.INTER_LINEAR)


def blurred_background(photo: np.ndarray, alpha: np.ndarray, strength: float) -> np.ndarray:
    """The photograph's background blurred with the person taken out, at
    the photograph's size (B, G, R bytes)."""
    rows, columns = alpha.shape
    sigma = blur_sigma(strength, rows, columns)
    scale = min(1.0, WORKING_SIGMA / sigma)
    size = (max(1, round(columns * scale)), max(1, round(rows * scale)))
    if scale < 1.0:
        photo = cv2.resize(photo, size, interpolation=cv2.INTER_AREA)
        alpha = cv2.resize(alpha, size, interpolation=cv2.INTER_AREA)
    margin = max(1, round(EDGE_MARGIN * math.hypot(rows, columns) * scale))
    alpha = cv2.dilate(alpha, cv2.getStructuringElement(cv2.MORPH_RECT, (2 * margin + 1, 2 * margin + 1)))
    weighted = np.empty(photo.shape, np.float32)
    weight = np.empty(alpha.shape, np.float32)
    _native.weigh_background(np.ascontiguousarray(photo), np.ascontiguousarray(alpha, np.float32), weighted, weight)
    total = cv2.sumElems(weight)[0]
    if total > 0:
        mean = [value / total for value in cv2.sumElems(weighted)[:3]]
    else:  # the person fills the photograph: nothing of the background to blur
        mean = cv2.mean(photo)[:3]
    near_sigma = sigma * scale
    near = [cv2.GaussianBlur(plane, (0, 0), near_sigma) for plane in (weighted, weight)]
    wide = [wide_blur(plane, near_sigma * WIDE_BLUR) for plane in (weighted, weight)]
    out = np.empty(photo.shape, np.uint8)
    _native.normalise_background(*near, *wide, *mean, WEIGHT_FLOOR, out)
    if scale < 1.0:
        out = cv2.resize(out, (columns, rows), interpolation=cv2.INTER_LINEAR)
    return out
