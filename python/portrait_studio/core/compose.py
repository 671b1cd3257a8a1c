"""Putting the person on a background: the pictures' arithmetic.

Every pass over pixels runs in `portrait_studio._native`; the engine's own
blend over white is the engine's kernel, shared, so that picture is the
engine's byte for byte whatever the model's values (out of [0, 1], NaN).
"""

from __future__ import annotations

import numpy as np

from .. import _native
from .background import Background
from .letterbox import letterbox


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
    colours with alpha as a fourth channel."""
    foreground = np.ascontiguousarray(foreground, np.uint8)
    alpha = np.ascontiguousarray(alpha, np.float32)
    rows, columns = alpha.shape
    if background.transparent:
        out = np.empty((rows, columns, 4), np.uint8)
        _native.composite_with_alpha(foreground, alpha, out)
    else:
        out = np.empty((rows, columns, 3), np.uint8)
        _native.composite(foreground, alpha, *(float(v) for v in background.bgr), out)
    return out


def border_fill(background: Background, mask: bool = False) -> tuple[int, ...]:
    """What a letterbox's border is painted with."""
    if mask:
        return (0,)
    return (0, 0, 0, 0) if background.transparent else background.bgr


def fit_to(picture: np.ndarray, size: tuple[int, int] | None, background: Background, mask: bool = False) -> np.ndarray:
    """The picture letterboxed to `size`, or as it is without one."""
    return letterbox(picture, size, border_fill(background, mask)) if size else picture
