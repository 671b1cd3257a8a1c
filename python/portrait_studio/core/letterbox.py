"""Fitting a picture into an exact size, bordered in any background.

The geometry is the engine's own letterbox (`_process_image`): scale so the
picture fits, truncate the new size, and give the odd border pixel to the top
and the left. With a white background on a three-channel picture the result
is byte for byte what the engine writes; here the border can also be a
colour, or transparent on a picture with an alpha channel.
"""

from __future__ import annotations

from typing import NamedTuple

import cv2
import numpy as np


def parse_size(text: str) -> tuple[int, int]:
    """`WIDTHxHEIGHT` as people type it (`640x480`); ValueError saying what to type."""
    width, sep, height = text.strip().lower().partition("x")
    # int() takes any script's digits and underscores; a size is ASCII digits.
    digits = width.strip().isascii() and width.strip().isdigit() and height.strip().isascii() and height.strip().isdigit()
    size = (int(width), int(height)) if digits else None
    if not sep or size is None or min(size) <= 0:
        raise ValueError(f"bad size {text!r}: expected WIDTHxHEIGHT with positive whole numbers, e.g. 640x480")
    return size


class LetterboxError(ValueError):
    """A picture too thin for the asked size: it would scale to nothing."""


class Fit(NamedTuple):
    width: int  # the scaled picture's size
    height: int
    top: int  # the border on each side
    bottom: int
    left: int
    right: int


def fit(rows: int, columns: int, width: int, height: int) -> Fit:
    scale = max(rows / float(height), columns / float(width))
    new_w, new_h = int(columns / scale), int(rows / scale)
    border_w, border_h = width - new_w, height - new_h
    return Fit(
        new_w, new_h,
        (border_h + 1) // 2, border_h // 2,
        (border_w + 1) // 2, border_w // 2,
    )


def check_fits(columns: int, rows: int, size: tuple[int, int]) -> None:
    """LetterboxError where a columns x rows picture would scale to nothing in `size`."""
    width, height = size
    f = fit(rows, columns, width, height)
    if f.width < 1 or f.height < 1:
        raise LetterboxError(f"a {columns} x {rows} picture cannot be fitted into {width} x {height}: "
                             "it would scale to less than a pixel; ask for a size nearer its shape")


def letterbox(image: np.ndarray, size: tuple[int, int], fill: tuple[int, ...]) -> np.ndarray:
    """`image` scaled into `size` (width, height), bordered with `fill`: one
    value per channel (B, G, R or B, G, R, A)."""
    width, height = size
    check_fits(image.shape[1], image.shape[0], size)
    f = fit(image.shape[0], image.shape[1], width, height)
    scaled = cv2.resize(image, (f.width, f.height))
    return cv2.copyMakeBorder(
        scaled, f.top, f.bottom, f.left, f.right, cv2.BORDER_CONSTANT, value=list(fill)
    )
