"""A second look at the person: both networks run again on a crop around it.

The first pass sees the whole photograph at the networks' few hundred pixels,
so a person standing small in a wide picture gets few of them, and u2netp
singles out whatever else stands out in the frame. The person segmenter's
first-pass mask gives a box; run again on that box (padded by `MARGIN` of its
own size on each side), the networks see the person larger and the distant
clutter not at all. The crop's planes replace the first pass's inside the box
in the full-frame planes the fusion works on; outside it the first pass stays.

The margin was chosen on the tuning part of the quality set (bench/crop_pass.py):
a tight box cut off hair and hands the first pass had missed and measured worse
than one pass.
"""

from __future__ import annotations

from typing import NamedTuple

import cv2
import numpy as np

MARGIN = 0.25  # padding on each side, as a share of the person's box


class Box(NamedTuple):
    top: int  # photograph rows [top, bottom) and columns [left, right)
    bottom: int
    left: int
    right: int


def person_box(plane: np.ndarray, rows: int, columns: int, margin: float = MARGIN) -> Box | None:
    """The padded box, in the photograph's pixels, around every plane pixel
    above one half (the plane covers the whole rows x columns photograph), or
    None where there is no person or the box is the whole frame: a second
    pass there would see what the first saw."""
    mask = np.asarray(plane) > 0.5
    if not mask.any():
        return None
    height, width = mask.shape
    ys, xs = np.flatnonzero(mask.any(axis=1)), np.flatnonzero(mask.any(axis=0))
    # The plane pixels' extent, outer edges included, in photograph pixels.
    top, bottom = ys[0] * rows / height, (ys[-1] + 1) * rows / height
    left, right = xs[0] * columns / width, (xs[-1] + 1) * columns / width
    pad_y, pad_x = margin * (bottom - top), margin * (right - left)
    box = Box(max(0, int(np.floor(top - pad_y))), min(rows, int(np.ceil(bottom + pad_y))),
              max(0, int(np.floor(left - pad_x))), min(columns, int(np.ceil(right + pad_x))))
    return None if box == (0, rows, 0, columns) else box


def paste(full: np.ndarray, crop: np.ndarray, box: Box, rows: int, columns: int, size: int) -> np.ndarray:
    """`full` (covering the rows x columns photograph) at size x size, with
    `crop` (covering `box`) stretched into the box's place; float32."""
    out = cv2.resize(np.asarray(full, np.float32), (size, size), interpolation=cv2.INTER_LINEAR)
    y0, y1 = round(box.top * size / rows), round(box.bottom * size / rows)
    x0, x1 = round(box.left * size / columns), round(box.right * size / columns)
    if y1 > y0 and x1 > x0:
        out[y0:y1, x0:x1] = cv2.resize(np.asarray(crop, np.float32), (x1 - x0, y1 - y0), interpolation=cv2.INTER_LINEAR)
    return out
