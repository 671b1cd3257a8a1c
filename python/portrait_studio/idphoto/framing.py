"""Framing a photograph around its face to an ID preset.

With the face mesh, the photograph is first turned about the eyes so that
they are level (an office measures a tilted head as a fault), and the head is
measured in those levelled coordinates: the chin is the mesh's chin, the crown
- which no face network sees under hair - the top of the person in the matte,
followed upwards from the face. The scale puts the head inside the preset's
height range and the offset puts the eyes inside its eye band where it has
one (else the crown in the middle of the top margin), the face on the
vertical centre line; whatever the photograph does not cover is background.
Without a mesh (a face it cannot read) the detector's box gives the chin and
nothing is turned.
"""

from __future__ import annotations

from dataclasses import dataclass

import cv2
import numpy as np

from .crown import skull_crown_row
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
# A face cut by a side of the photograph is refused: the framing would fill
# half a face with background. This much is the mesh's own wobble at an edge.
ALLOWED_SIDE_CUT = 0.01


@dataclass(frozen=True)
class Geometry:
    """Where the head is and how the photograph maps into the picture. The
    photograph is first turned by `angle` degrees about `pivot` so that the
    eyes are level ("levelled" coordinates; `crown`, `chin`, `eye` and
    `centre_x` are measured there), then picture (x, y) = scale * levelled
    (x, y) + offset. `matrix` is the whole mapping as one 2 x 3 affine."""

    crown: float
    chin: float
    centre_x: float
    scale: float
    offset: tuple[float, float]
    cut_off: float  # the share of the head above the photograph's top edge
    angle: float = 0.0  # degrees, positive turns the photograph anticlockwise as seen
    pivot: tuple[float, float] = (0.0, 0.0)
    eye: float | None = None  # the eye line's row, levelled
    hair: float | None = None  # the top of the hair, levelled, where `crown` leaves it out; else None

    @property
    def level(self) -> np.ndarray:
        """2 x 3 affine, photograph -> levelled."""
        return rotation(self.angle, self.pivot)

    @property
    def matrix(self) -> np.ndarray:
        """2 x 3 affine, photograph -> picture (continuous coordinates, pixel
        edges on integers)."""
        level = self.level
        return np.vstack([self.scale * level[0], self.scale * level[1]]) + np.array(
            [[0, 0, self.offset[0]], [0, 0, self.offset[1]]])


def rotation(angle: float, pivot: tuple[float, float]) -> np.ndarray:
    """2 x 3 affine turning the photograph by `angle` degrees about `pivot`:
    a line at `angle` degrees (y down, clockwise as seen) comes out level."""
    t = np.radians(angle)
    c, s = np.cos(t), np.sin(t)
    px, py = pivot
    return np.array([[c, s, px - c * px - s * py],
                     [-s, c, py + s * px - c * py]])


def apply(matrix: np.ndarray, points) -> np.ndarray:
    points = np.asarray(points, np.float64).reshape(-1, 2)
    return points @ matrix[:, :2].T + matrix[:, 2]


def find_crown(alpha: np.ndarray, box, valid: np.ndarray | None = None) -> tuple[float, float]:
    """(crown row, share of the head cut off by the photograph's edge). Follows
    the person in the matte upwards from the face's top until the band over the
    face runs out of person. `valid` marks the pixels the photograph covers (a
    levelled photograph has corners it does not): reaching uncovered rows is
    reaching the edge."""
    rows, columns = alpha.shape
    x0, y0, x1, y1 = box
    face_width, face_height = x1 - x0, y1 - y0
    left = int(np.clip(round(x0 + 0.15 * face_width), 0, columns - 1))
    right = int(np.clip(round(x1 - 0.15 * face_width), left + 1, columns))
    start = int(np.clip(round(y0 + 0.25 * face_height), 1, rows))
    coverage = (alpha[:start, left:right] > 0.5).mean(axis=1)
    edge = 0
    if valid is not None:
        covered = valid[:start, left:right].mean(axis=1) > 0.99
        outside = np.flatnonzero(~covered)
        edge = int(outside[-1] + 1) if len(outside) else 0
    empty = np.flatnonzero(coverage[edge:] < HEAD_COVERAGE)
    if len(empty):
        return float(edge + empty[-1] + 1), 0.0
    # the head reaches the edge: estimate how far it goes on
    estimate = y1 - HEAD_PER_FACE * face_height
    if estimate >= edge:
        return float(edge), 0.0
    head = y1 - estimate
    return estimate, (edge - estimate) / head


def side_cut(shape: tuple[int, ...], face: Face, marks=None) -> tuple[float, str]:
    """(share of the face's width beyond the photograph's left or right edge,
    which edge): from the mesh's outline, which runs on past the edge where
    the face is cut, else from the detector's box."""
    columns = shape[1]
    if marks is not None:
        x0, x1 = float(marks.points[:, 0].min()), float(marks.points[:, 0].max())
    else:
        x0, x1 = face.box[0], face.box[2]
    width = max(x1 - x0, 1e-9)
    left, right = max(0.0, -x0) / width, max(0.0, x1 - columns) / width
    return (left, "left") if left >= right else (right, "right")


def vertical_placement(crown: float, chin: float, eye: float | None, preset: Preset,
                       top: float | None = None) -> tuple[float, float]:
    """(scale, vertical offset). Without an eye band: the head at the middle of
    its range, the crown at the middle of the top margin. With one, the eyes
    must land in the band as well; the scale moves within the head range to
    make room, the nearest to the middle that lets both the eye band and the
    top margin hold, else the one that keeps the eyes in the band and the
    crown nearest its margin (the band is what an office measures). The head
    is measured from `crown`; the top margin to `top` (the top of the hair,
    where the document's crown leaves the hair out), by default the crown."""
    height = preset.size[1]
    top = crown if top is None else top
    head = max(chin - crown, 1.0)
    head_low, head_high = (f * height for f in preset.head_fraction)
    top_low, top_high = (f * height for f in preset.top_fraction)
    middle = (head_low + head_high) / 2 / head
    if eye is None or preset.eye_line is None:
        return middle, (top_low + top_high) / 2 - middle * top
    eye_low = height - preset.pixels(preset.eye_line[1])
    eye_high = height - preset.pixels(preset.eye_line[0])
    best = None
    for scale in np.linspace(head_low / head, head_high / head, 81):
        e0, e1 = eye_low - scale * eye, eye_high - scale * eye
        t0, t1 = top_low - scale * top, top_high - scale * top
        lo, hi = max(e0, t0), min(e1, t1)
        if lo <= hi:
            cost, dy = abs(scale - middle) / middle, (lo + hi) / 2
        else:
            # keep a little inside the band rather than on its edge
            margin = min(0.15 * (e1 - e0), (e1 - e0) / 2)
            dy = float(np.clip((t0 + t1) / 2, e0 + margin, e1 - margin))
            gap = max(t0 - dy, dy - t1, 0.0)
            cost = 1 + gap / height + abs(scale - middle) / middle
        if best is None or cost < best[0]:
            best = (cost, float(scale), float(dy))
    return best[1], best[2]


def geometry(alpha: np.ndarray, face: Face, preset: Preset, marks=None) -> Geometry:
    """The mapping for `face`. With `marks` (the face's Landmarks) the head is
    levelled first, about the eyes, and the chin and eye line are the mesh's;
    without, the detector's box gives the chin and nothing is turned."""
    width, height = preset.size
    if marks is None:
        crown, cut_off = find_crown(alpha, face.box)
        chin = face.box[3]
        # the box's centre, not the key points: on a blurred or turned face the
        # key points wander while the box stays on the head
        centre_x = (face.box[0] + face.box[2]) / 2
        scale, dy = vertical_placement(crown, chin, None, preset)
        return Geometry(crown, chin, centre_x, scale, (width / 2 - scale * centre_x, dy), cut_off)
    angle = marks.roll
    pivot = marks.eye_centre
    level = rotation(angle, pivot)
    points = apply(level, marks.points[:, :2])
    chin = float(apply(level, marks.chin)[0, 1])
    eye = float(pivot[1])  # the pivot stays put and the eyes are level through it
    # the face's box, levelled: the mesh's extent across, forehead top to chin
    x0, x1 = float(points[:, 0].min()), float(points[:, 0].max())
    box = (x0, float(points[:, 1].min()), x1, chin)
    rows, columns = alpha.shape
    levelled = cv2.warpAffine(alpha.astype(np.float32), _pixel_centred(level), (columns, rows),
                              flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT, borderValue=0.0)
    valid = cv2.warpAffine(np.ones((rows, columns), np.uint8), _pixel_centred(level), (columns, rows),
                           flags=cv2.INTER_NEAREST, borderMode=cv2.BORDER_CONSTANT, borderValue=0) > 0
    hair, cut_off = find_crown(levelled, box, valid)
    # where the document leaves the hair out, the head is measured to the
    # skull's top; the top margin still keeps the hair clear of the edge
    crown = hair if preset.hair_in_head else skull_crown_row(eye, chin)
    # the midline of the mesh's outline, which on a turned head sits nearer
    # the head's middle than the nose does
    centre_x = (x0 + x1) / 2
    scale, dy = vertical_placement(crown, chin, eye, preset, top=hair)
    return Geometry(crown, chin, centre_x, scale, (width / 2 - scale * centre_x, dy), cut_off,
                    float(angle), (float(pivot[0]), float(pivot[1])), eye,
                    None if preset.hair_in_head else hair)


def _pixel_centred(matrix: np.ndarray) -> np.ndarray:
    """A continuous-coordinate affine as cv2.warpAffine wants it (pixel
    centres on integers)."""
    m = np.array(matrix, np.float64)
    m[:, 2] += m[:, :2].sum(axis=1) * 0.5 - 0.5
    return m


def whole_photograph(shape: tuple[int, ...], preset: Preset) -> Geometry:
    """Best effort without a face: the photograph scaled to cover the picture,
    centred."""
    width, height = preset.size
    rows, columns = shape[:2]
    scale = max(width / columns, height / rows)
    offset = ((width - scale * columns) / 2, (height - scale * rows) / 2)
    return Geometry(0.0, float(rows), columns / 2, scale, offset, 0.0)


def warp(image: np.ndarray, geometry: Geometry, size: tuple[int, int], border: float = 0,
         repeat_edge: bool = False) -> np.ndarray:
    """`image` under the geometry's mapping, at `size` (width, height); outside
    the photograph `border`, or with `repeat_edge` its edge pixels repeated.
    Shrinking goes through an area-averaging resize first, so a large
    photograph does not alias."""
    matrix = geometry.matrix
    scale = geometry.scale
    width, height = size
    rows, columns = image.shape[:2]
    # the part of the photograph the picture shows, with a margin for the filter
    corners = apply(cv2.invertAffineTransform(matrix), [(0, 0), (width, 0), (0, height), (width, height)])
    (x0, y0), (x1, y1) = np.floor(corners.min(axis=0)) - 2, np.ceil(corners.max(axis=0)) + 2
    x0, y0 = int(np.clip(x0, 0, columns)), int(np.clip(y0, 0, rows))
    x1, y1 = int(np.clip(x1, x0, columns)), int(np.clip(y1, y0, rows))
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
    # region (continuous) -> photograph -> picture
    to_photo = np.array([[1 / sx, 0, x0], [0, 1 / sy, y0], [0, 0, 1]])
    full = np.vstack([matrix, [0, 0, 1]]) @ to_photo
    value = border if channels is None else (border,) * channels
    return cv2.warpAffine(region, _pixel_centred(full[:2]), (width, height), flags=interpolation,
                          borderMode=cv2.BORDER_REPLICATE if repeat_edge else cv2.BORDER_CONSTANT, borderValue=value)


def covered(shape: tuple[int, ...], geometry: Geometry, size: tuple[int, int]) -> np.ndarray:
    """The picture's pixels (rows, columns of `size`) whose whole neighbourhood
    the photograph of `shape` covers under the mapping: True where no edge
    pixel was repeated or border filled in."""
    rows, columns = shape[:2]
    ones = np.ones((rows, columns), np.uint8)
    width, height = size
    inside = cv2.warpAffine(ones, _pixel_centred(geometry.matrix), (width, height), flags=cv2.INTER_NEAREST,
                            borderMode=cv2.BORDER_CONSTANT, borderValue=0)
    # the interpolation reaches a pixel or two past its nearest source pixel
    return cv2.erode(inside, np.ones((5, 5), np.uint8), borderType=cv2.BORDER_CONSTANT, borderValue=1) > 0
