"""The rules an office's check applies to an ID photo, measured on the
picture as made. Each rule gives a Check: what was measured, what is allowed
and whether it passed. The limits follow ICAO Doc 9303 / ISO/IEC 19794-5
style guidance for a frontal portrait:

* head height, eye line: the document's own ranges (documents.py);
* centring: the face's midline within 5 % of the width of the centre line;
* residual roll: eyes level within 1 degree, measured afresh on the picture;
* yaw and pitch: within +-10 degrees of facing the camera (ISO allows +-5
  for the best class; the mesh's depth is only good to a few degrees, so a
  tighter limit would refuse frontal faces on noise);
* eyes open: eye aspect ratio at least 0.18 (open eyes read 0.25-0.35,
  closed ones under 0.15);
* enlargement: the photograph enlarged at most MAX_UPSCALE times, beyond
  which the picture is visibly soft;
* face lighting: the darker half of the face (left/right) at least 70 % of
  the brighter half's mean luminance (the guidance asks for even lighting
  with no shadow across the face);
* sharpness: variance of the Laplacian on the face at least SHARPNESS (a
  focused face at print resolution reads in the hundreds, a blurred one
  under about 20);
* background evenness, when the photographed background is kept: the
  standard deviation of its luminance at most 12 grey levels.

Rules that need the face mesh are measured only where it read the face.
"""

from __future__ import annotations

from dataclasses import dataclass

import cv2
import numpy as np

from . import framing
from .faces import Face

CENTRING = 0.05
MAX_ROLL = 1.0
MAX_YAW = 10.0
MAX_PITCH = 10.0
MIN_EYES_OPEN = 0.18
MIN_LIGHTING = 0.7
SHARPNESS = 20.0
MAX_BACKGROUND_SPREAD = 12.0


@dataclass(frozen=True)
class Check:
    name: str
    measured: str
    allowed: str
    passed: bool

    def __post_init__(self):
        # measured with NumPy, a comparison is numpy.bool_, which JSON reports cannot hold
        object.__setattr__(self, "passed", bool(self.passed))

    def __str__(self) -> str:
        return f"{self.name}: {self.measured} (allowed {self.allowed}) {'pass' if self.passed else 'FAIL'}"


def _in(value, low, high) -> bool:
    return low - 1e-9 <= value <= high + 1e-9


def checks(picture: np.ndarray, preset, where: framing.Geometry, landmarks=None, mesh=None,
           background_mask: np.ndarray | None = None) -> list[Check]:
    """The rules measured on `picture` (B, G, R) framed by `where` from a
    photograph whose face mesh is `landmarks` (None: the rules that need it
    are left out). `background_mask` marks the picture's kept background."""
    width, height = preset.size
    s, (dx, dy) = where.scale, where.offset
    out = []
    head = s * (where.chin - where.crown) / height
    low, high = preset.head_fraction
    out.append(Check("head height", f"{head:.1%} of the height", f"{low:.1%}-{high:.1%}", _in(head, low, high)))
    if preset.eye_line and where.eye is not None:
        up = height - (s * where.eye + dy)
        unit = preset.unit
        length = up / preset.pixels(1.0)
        a, b = preset.eye_line
        out.append(Check("eye line", f"{length:.1f} {unit} above the bottom", f"{a:g}-{b:g} {unit}", _in(length, a, b)))
    off = abs(s * where.centre_x + dx - width / 2) / width
    out.append(Check("centring", f"{off:.1%} of the width off centre", f"at most {CENTRING:.0%}", off <= CENTRING))
    out.append(Check("enlargement", f"{s:.2f}x", f"at most {framing.MAX_UPSCALE:g}x", s <= framing.MAX_UPSCALE))
    if landmarks is not None:
        from .landmarks import FaceMesh

        seen = _mesh_on_picture(picture, where, landmarks, mesh or FaceMesh.shared())
        out.append(Check("residual roll", f"{seen.roll:+.1f} deg", f"within {MAX_ROLL:g} deg", abs(seen.roll) <= MAX_ROLL))
        out.append(Check("yaw", f"{landmarks.yaw:+.1f} deg", f"within {MAX_YAW:g} deg", abs(landmarks.yaw) <= MAX_YAW))
        out.append(Check("pitch", f"{landmarks.pitch:+.1f} deg", f"within {MAX_PITCH:g} deg",
                         abs(landmarks.pitch) <= MAX_PITCH))
        out.append(Check("eyes open", f"{landmarks.eyes_open:.3f} aspect", f"at least {MIN_EYES_OPEN:g}",
                         landmarks.eyes_open >= MIN_EYES_OPEN))
        grey = cv2.cvtColor(picture[..., :3], cv2.COLOR_BGR2GRAY).astype(np.float64)
        x0, y0, x1, y1 = _face_region(seen, grey.shape)
        if x1 - x0 >= 4 and y1 - y0 >= 4:
            face = grey[y0:y1, x0:x1]
            middle = face.shape[1] // 2
            halves = face[:, :middle].mean(), face[:, middle:].mean()
            ratio = min(halves) / max(max(halves), 1e-9)
            out.append(Check("face lighting", f"{ratio:.2f} darker/brighter half", f"at least {MIN_LIGHTING:g}",
                             ratio >= MIN_LIGHTING))
            sharp = float(cv2.Laplacian(face, cv2.CV_64F).var())
            out.append(Check("sharpness", f"{sharp:.0f} Laplacian variance", f"at least {SHARPNESS:g}",
                             sharp >= SHARPNESS))
    if background_mask is not None and background_mask.any():
        grey = cv2.cvtColor(picture[..., :3], cv2.COLOR_BGR2GRAY).astype(np.float64)
        spread = float(grey[background_mask].std())
        out.append(Check("background evenness", f"{spread:.1f} grey levels spread",
                         f"at most {MAX_BACKGROUND_SPREAD:g}", spread <= MAX_BACKGROUND_SPREAD))
    return out


def _mesh_on_picture(picture, where, landmarks, mesh):
    """The mesh run again on the picture, about the face the framing put
    there: roll read from the finished picture, not from the framing's plan."""
    points = framing.apply(where.matrix, landmarks.points[:, :2])
    (x0, y0), (x1, y1) = points.min(axis=0), points.max(axis=0)
    eyes = framing.apply(where.matrix, [landmarks.right_eye, landmarks.left_eye])
    face = Face((float(x0), float(y0), float(x1), float(y1)), 1.0, tuple(eyes[0]), tuple(eyes[1]),
                (0.0, 0.0), (0.0, 0.0), (0.0, 0.0), (0.0, 0.0))
    return mesh.landmarks(np.ascontiguousarray(picture[..., :3]), face)


def _face_region(seen, shape):
    """Eyes to mouth between the cheeks: skin, without hair or background."""
    points = seen.points[:, :2]
    rows, columns = shape
    x0, x1 = np.percentile(points[:, 0], [10, 90])
    y0 = seen.eye_centre[1]
    y1 = seen.points[[61, 291], 1].mean()
    def clip(v, n):
        return int(np.clip(round(v), 0, n))

    return clip(x0, columns), clip(y0, rows), clip(x1, columns), clip(y1, rows)
