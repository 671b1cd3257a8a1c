"""Framing a photograph around its face to an ID preset.

The head runs from the chin (the bottom of the detector's face box, which the
network places on the chin) to the crown, which no face detector sees under
hair: it is the top of the person in the matte, followed upwards from the
face. The photograph is then scaled so that the head height sits in the
middle of the preset's range, placed so that the crown sits in the middle of
the top-margin range and the face on the vertical centre line, and whatever
the photograph does not cover is background.
"""

from __future__ import annotations

from dataclasses import dataclass

import cv2
import numpy as np

from .faces import Face
from .presets import Preset

# A second face at least this wide, relative to the largest, is another
# sitter, not a face in the background.
SIMILAR_FACE = 0.6
# Enlarging the photograph more than this makes a visibly soft picture;
# such a face is too small for the preset.
MAX_UPSCALE = 3.0
# Of the band above the face, the share of columns that must be person for a
# row to still count as head.
HEAD_COVERAGE = 0.1
# A head of typical proportions reaches this many face-box heights above
# the chin; it estimates the crown when the photograph cuts it off.
HEAD_PER_FACE = 1.6
# How much of the head the top edge may cut off before the photograph is
# refused (a little hair is fine: the framing fills it with background).
ALLOWED_CUT = 0.05


@dataclass(frozen=True)
class Geometry:
    """Where the head is in the photograph, and how it maps into the picture:
    picture (x, y) = scale * photograph (x, y) + offset."""

    crown: float
    chin: float
    centre_x: float
    scale: float
    offset: tuple[float, float]
    cut_off: float  # the share of the head above the photograph's top edge


def find_crown(alpha: np.ndarray, face: Face) -> tuple[float, float]:
    """(crown row, share of the head cut off by the top edge). Follows the
    person in the matte upwards from the face's top until the band over the
    face runs out of person."""
    rows, columns = alpha.shape
    left = int(np.clip(round(face.box[0] + 0.15 * face.width), 0, columns - 1))
    right = int(np.clip(round(face.box[2] - 0.15 * face.width), left + 1, columns))
    start = int(np.clip(round(face.box[1] + 0.25 * face.height), 1, rows))
    coverage = (alpha[:start, left:right] > 0.5).mean(axis=1)
    empty = np.flatnonzero(coverage < HEAD_COVERAGE)
    if len(empty):
        return float(empty[-1] + 1), 0.0
    # the head reaches the top edge: estimate how far it goes on
    estimate = face.box[3] - HEAD_PER_FACE * face.height
    if estimate >= 0:
        return 0.0, 0.0
    head = face.box[3] - estimate
    return estimate, -estimate / head


def geometry(alpha: np.ndarray, face: Face, preset: Preset) -> Geometry:
    width, height = preset.size
    crown, cut_off = find_crown(alpha, face)
    chin = face.box[3]
    # the box's centre, not the key points: on a blurred or turned face the
    # key points wander while the box stays on the head
    centre_x = (face.box[0] + face.box[2]) / 2
    head_target = sum(preset.head_fraction) / 2 * height
    top_target = sum(preset.top_fraction) / 2 * height
    scale = head_target / max(chin - crown, 1.0)
    offset = (width / 2 - scale * centre_x, top_target - scale * crown)
    return Geometry(crown, chin, centre_x, scale, offset, cut_off)


def whole_photograph(shape: tuple[int, ...], preset: Preset) -> Geometry:
    """Best effort without a face: the photograph scaled to cover the picture,
    centred."""
    width, height = preset.size
    rows, columns = shape[:2]
    scale = max(width / columns, height / rows)
    offset = ((width - scale * columns) / 2, (height - scale * rows) / 2)
    return Geometry(0.0, float(rows), columns / 2, scale, offset, 0.0)


def warp(image: np.ndarray, geometry: Geometry, size: tuple[int, int], border: float = 0) -> np.ndarray:
    """`image` under the geometry's mapping, at `size` (width, height); outside
    the photograph `border`. Shrinking goes through an area-averaging resize
    first, so a large photograph does not alias."""
    scale, (dx, dy) = geometry.scale, geometry.offset
    width, height = size
    rows, columns = image.shape[:2]
    # the part of the photograph the picture shows, with a margin for the filter
    x0 = int(np.clip(np.floor((0 - dx) / scale) - 2, 0, columns))
    x1 = int(np.clip(np.ceil((width - dx) / scale) + 2, x0, columns))
    y0 = int(np.clip(np.floor((0 - dy) / scale) - 2, 0, rows))
    y1 = int(np.clip(np.ceil((height - dy) / scale) + 2, y0, rows))
    channels = image.shape[2] if image.ndim == 3 else None
    if x1 - x0 < 1 or y1 - y0 < 1:
        shape = (height, width) if channels is None else (height, width, channels)
        return np.full(shape, border, image.dtype)
    region = image[y0:y1, x0:x1]
    sx = sy = 1.0  # region pixels per photograph pixel
    if scale < 1:
        target = (max(1, round((x1 - x0) * scale)), max(1, round((y1 - y0) * scale)))
        region = cv2.resize(region, target, interpolation=cv2.INTER_AREA)
        sx, sy = target[0] / (x1 - x0), target[1] / (y1 - y0)
        interpolation = cv2.INTER_LINEAR
    else:
        interpolation = cv2.INTER_CUBIC
    # Coordinates are continuous with pixel edges on integers; OpenCV maps pixel
    # centres as integers, hence the half-pixel terms.
    matrix = np.array([
        [scale / sx, 0, scale * x0 + dx + 0.5 * scale / sx - 0.5],
        [0, scale / sy, scale * y0 + dy + 0.5 * scale / sy - 0.5],
    ], dtype=np.float64)
    value = border if channels is None else (border,) * channels
    return cv2.warpAffine(region, matrix, (width, height), flags=interpolation,
                          borderMode=cv2.BORDER_CONSTANT, borderValue=value)
