"""Guide lines over a framed ID photo, for a person to check it by eye.

The lines are where the framing put the head and where the document wants
the eyes: the crown and chin rows (chin to crown is the head height an
office measures), the document's eye band where it has one, with the eye
line the framing placed inside it, and the vertical centre line the face is
centred on. A legend in the corner names them. The photo itself is not
changed; the overlay is a copy.

Rows follow the framing's continuous coordinates (pixel edges on integers):
a line at height y is drawn on pixel row floor(y), so a line is on the row
whose pixels it crosses.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import cv2
import numpy as np

from . import framing

# B, G, R: apart from each other and from skin, hair and the usual backgrounds.
CROWN = (255, 0, 255)
CHIN = (0, 140, 255)
EYE_BAND = (0, 190, 0)
EYE_LINE = (0, 120, 0)
CENTRE = (255, 200, 0)
EYE_BAND_SHADE = 0.18  # how much of the band's colour is mixed into the photo inside it


@dataclass(frozen=True)
class Guides:
    """Where the guide lines go, in the picture's continuous coordinates."""

    crown: float  # row
    chin: float  # row
    centre: float  # column
    eye: float | None = None  # row of the eye line the framing placed
    eye_band: tuple[float, float] | None = None  # (upper row, lower row) the document allows


def guides(preset, where: framing.Geometry) -> Guides:
    """The guide lines for `preset`'s picture framed by `where`."""
    width, height = preset.size
    s, dy = where.scale, where.offset[1]
    band = None
    if preset.eye_line:
        band = (height - preset.pixels(preset.eye_line[1]), height - preset.pixels(preset.eye_line[0]))
    eye = None if where.eye is None else s * where.eye + dy
    return Guides(s * where.crown + dy, s * where.chin + dy, width / 2, eye, band)


def row_of(y: float, rows: int) -> int:
    """The pixel row a line at continuous height `y` is drawn on (kept inside the picture)."""
    return int(min(max(math.floor(y), 0), rows - 1))


def draw(picture: np.ndarray, lines: Guides) -> np.ndarray:
    """A copy of `picture` (B, G, R or B, G, R, A) with `lines` drawn on it."""
    out = np.array(picture, copy=True)
    rows, columns = out.shape[:2]
    thick = max(1, round(rows / 500))
    opaque = out.ndim == 3 and out.shape[2] == 4

    def colour(bgr):
        return (*bgr, 255) if opaque else bgr

    def across(y, bgr):
        r = row_of(y, rows)
        cv2.line(out, (0, r), (columns - 1, r), colour(bgr), thick, cv2.LINE_8)

    if lines.eye_band is not None:
        top, bottom = (row_of(y, rows) for y in lines.eye_band)
        band = out[top:bottom + 1, :, :3].astype(np.float32)
        shade = np.array(EYE_BAND, np.float32)
        out[top:bottom + 1, :, :3] = np.round(band * (1 - EYE_BAND_SHADE) + shade * EYE_BAND_SHADE).astype(np.uint8)
    _legend(out, lines, colour)
    # the lines last, over the shading and the legend, each on its own row
    if lines.eye_band is not None:
        across(lines.eye_band[0], EYE_BAND)
        across(lines.eye_band[1], EYE_BAND)
    if lines.eye is not None:
        r = row_of(lines.eye, rows)
        dash = max(4, columns // 40)
        for x in range(0, columns, 2 * dash):
            cv2.line(out, (x, r), (min(x + dash, columns) - 1, r), colour(EYE_LINE), thick, cv2.LINE_8)
    column = int(min(max(math.floor(lines.centre), 0), columns - 1))
    cv2.line(out, (column, 0), (column, rows - 1), colour(CENTRE), thick, cv2.LINE_8)
    across(lines.crown, CROWN)
    across(lines.chin, CHIN)
    return out


def _legend(out: np.ndarray, lines: Guides, colour) -> None:
    """The lines' names in the bottom-left corner, on a dark box so that
    they read on any photograph."""
    entries = [("crown", CROWN), ("chin", CHIN), ("centre", CENTRE)]
    if lines.eye_band is not None:
        entries.append(("eye band", EYE_BAND))
    if lines.eye is not None:
        entries.append(("eyes", EYE_LINE))
    rows, columns = out.shape[:2]
    font = cv2.FONT_HERSHEY_SIMPLEX
    scale = max(0.3, rows / 1500)
    weight = max(1, round(rows / 700))
    (text_w, text_h), base = cv2.getTextSize("eye band", font, scale, weight)
    step = text_h + base + 2
    pad = max(2, text_h // 3)
    box_w, box_h = text_w + 3 * pad + text_h, len(entries) * step + pad
    x0, y0 = pad, rows - box_h - pad
    if x0 + box_w >= columns or y0 < 0:
        return  # a picture too small for a legend still gets its lines
    region = out[y0:y0 + box_h, x0:x0 + box_w, :3]
    region[:] = (region.astype(np.float32) * 0.35).astype(np.uint8)
    for i, (name, bgr) in enumerate(entries):
        y = y0 + pad + i * step + text_h
        cv2.rectangle(out, (x0 + pad, y - text_h), (x0 + pad + text_h, y), colour(bgr), -1)
        cv2.putText(out, name, (x0 + 2 * pad + text_h, y), font, scale, colour((255, 255, 255)), weight, cv2.LINE_AA)
