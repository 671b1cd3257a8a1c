"""Putting the person on a background: the pictures' arithmetic.

Every pass over pixels runs in `portrait_studio._native`; the engine's own
blend over white is the engine's kernel, shared, so that picture is the
engine's byte for byte whatever the model's values (out of [0, 1], NaN).
"""

from __future__ import annotations

import cv2
import numpy as np

from .. import _native
from . import backdrop
from .background import BLUR, KEEP, PICTURE, Background
from .letterbox import fit, letterbox


def as_photo(photo: np.ndarray) -> np.ndarray:
    photo = np.asarray(photo)
    if photo.dtype != np.uint8 or photo.ndim != 3 or photo.shape[2] != 3:
        raise ValueError(f"a photograph is a (rows, columns, 3) uint8 B, G, R array, not {photo.dtype} {photo.shape}")
    if min(photo.shape[:2]) < 1:
        raise ValueError("the photograph is empty")
    return photo


def sanitise_alpha(matte: np.ndarray) -> np.ndarray:
    """Any model output made into a matte: NaN counts as background and
    values are clipped to [0, 1]."""
    return np.clip(np.nan_to_num(matte.astype(np.float32, copy=False), nan=0.0, posinf=1.0, neginf=0.0), 0.0, 1.0)


def blend_over_white_as_engine(photo: np.ndarray, matte: np.ndarray) -> np.ndarray:
    """The engine's own blend, bit for bit: float32 matte x photo plus float64
    white, saturated to the byte range and truncated. The matte goes in as the
    model gave it, as in the engine: a value above 1 or below 0 saturates after
    the blend, NaN becomes 255."""
    out = np.empty(photo.shape, np.uint8)
    _native.blend_over_white(np.ascontiguousarray(photo), np.ascontiguousarray(matte, np.float32), out)
    return out


def alpha_to_byte(alpha: np.ndarray) -> np.ndarray:
    """The matte as 8 bits, 255 = person, rounded to nearest (half to even)."""
    alpha = np.ascontiguousarray(alpha, np.float32)
    out = np.empty(alpha.shape, np.uint8)
    _native.alpha_to_bytes(alpha, out)
    return out


def composite(foreground: np.ndarray, alpha: np.ndarray, background: Background) -> np.ndarray:
    """alpha x foreground + (1 - alpha) x colour in float32, rounded to nearest
    (half to even) and clipped; with a transparent background, the foreground
    colours with alpha as a fourth channel; over a picture, the picture
    scaled to cover. A blurred background is made from the photograph: see
    `compose`."""
    foreground = np.ascontiguousarray(foreground, np.uint8)
    alpha = np.ascontiguousarray(alpha, np.float32)
    rows, columns = alpha.shape
    if background.kind == PICTURE:
        return composite_over(foreground, alpha, backdrop.covered_picture(background, columns, rows))
    if background.kind == BLUR:
        raise ValueError("a blurred background is made from the photograph itself: use compose(photo, ...)")
    if background.transparent:
        out = np.empty((rows, columns, 4), np.uint8)
        _native.composite_with_alpha(foreground, alpha, out)
    else:
        out = np.empty((rows, columns, 3), np.uint8)
        _native.composite(foreground, alpha, *(float(v) for v in background.bgr), out)
    return out


def composite_over(foreground: np.ndarray, alpha: np.ndarray, behind: np.ndarray) -> np.ndarray:
    """alpha x foreground + (1 - alpha) x behind, pixel by pixel, in the
    colour composite's arithmetic."""
    out = np.empty(foreground.shape, np.uint8)
    _native.composite_over_picture(np.ascontiguousarray(foreground, np.uint8), np.ascontiguousarray(alpha, np.float32),
                                   np.ascontiguousarray(behind, np.uint8), out)
    return out


def behind_the_person(photo: np.ndarray, alpha: np.ndarray, background: Background, width: int,
                      height: int) -> np.ndarray:
    """The picture or the blurred photograph, covering width x height."""
    if background.kind == PICTURE:
        return backdrop.covered_picture(background, width, height)
    blurred = backdrop.blurred_background(photo, alpha, background.strength)
    return blurred if blurred.shape[:2] == (height, width) else backdrop.cover(blurred, width, height)


def compose(photo: np.ndarray, foreground: np.ndarray, alpha: np.ndarray, background: Background,
            size: tuple[int, int] | None = None) -> np.ndarray:
    """The person (`foreground` colours, `alpha`) cut out of `photo` and put
    on `background`, letterboxed to `size` when given. A picture or a blur
    covers the whole of `size`, the letterboxed person composed over it; a
    colour or transparency borders the person's picture instead."""
    if background.kind == KEEP:
        raise ValueError("keep (the photograph's own background as it is) goes with ID photos; "
                         "for a cut-out choose blur, a colour or a picture")
    if background.kind not in (PICTURE, BLUR):
        return fit_to(composite(foreground, alpha, background), size, background)
    rows, columns = alpha.shape
    if size is None:
        return composite_over(foreground, alpha, behind_the_person(photo, alpha, background, columns, rows))
    width, height = size
    f = fit(rows, columns, width, height)
    out = np.array(behind_the_person(photo, alpha, background, width, height))  # a copy: the cache's is read-only
    window = np.s_[f.top : f.top + f.height, f.left : f.left + f.width]
    # Scaled as the letterbox scales a picture; alpha with it, so the edge stays soft.
    out[window] = composite_over(cv2.resize(foreground, (f.width, f.height)), cv2.resize(alpha, (f.width, f.height)),
                                 out[window])
    return out


def border_fill(background: Background, mask: bool = False) -> tuple[int, ...]:
    """What a letterbox's border is painted with."""
    if mask:
        return (0,)
    if background.kind in (PICTURE, BLUR):
        raise ValueError(f"a {background.kind} background covers the letterbox's border: use compose(..., size)")
    return (0, 0, 0, 0) if background.transparent else background.bgr


def fit_to(picture: np.ndarray, size: tuple[int, int] | None, background: Background, mask: bool = False) -> np.ndarray:
    """The picture letterboxed to `size`, or as it is without one."""
    return letterbox(picture, size, border_fill(background, mask)) if size else picture
