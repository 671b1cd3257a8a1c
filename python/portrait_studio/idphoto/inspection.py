"""An ID photo measured as an office's checker would: on the picture alone.

Nothing here reads the framing's plan. The face detector and the face mesh
run again on the picture; the matte of the picture gives the top of the hair;
lengths are read in the document's unit at print size (the picture is the
whole print, so one pixel is the document's height over the picture's rows).
The same function checks our own photos and anyone else's
(`portrait-main check`), so a photo that is framed wrongly fails here however
it was made.

Limits beyond the document's own figures:

* centring: the face's midline within 5 % of the width of the centre line;
* roll: eyes level within 1 degree; yaw and pitch within 10 degrees (the
  mesh's depth is good to a few degrees, so a tighter limit refuses frontal
  faces on noise);
* upright: the detector, shown the face as it is and turned half a turn, is
  surer of it as it is (a face upside down reads level to the mesh);
* the head inside the picture: the top edge may cut at most 5 % of the head,
  the sides none of the face (a face the photograph did not reach counts as cut);
* eyes open: eye aspect ratio at least 0.18 (open 0.25-0.35, closed under
  0.15); mouth closed: inner-lip gap at most 0.3 of the inner mouth's width
  (a smile showing the teeth reads about 0.19 on the astronaut portrait,
  closed lips near 0; a mouth open as in speech well over 0.3);
* background colour: the mean of the background within 10 CIE76 units of
  one of the document's colours; its evenness: luminance spread at most 12
  grey levels;
* face lighting and sharpness as the office's guidance words them: the darker
  half of the face at least 70 % of the brighter, Laplacian variance at least 20.
"""

from __future__ import annotations

import math

import cv2
import numpy as np

from ..core.background import parse_background
from . import crown as skull
from . import framing
from .checks import Check
from .faces import Face, FaceDetector
from .landmarks import FaceMesh, Landmarks, meshed_faces

CENTRING = 0.05
MAX_ROLL = 1.0
MAX_YAW = 10.0
MAX_PITCH = 10.0
MIN_EYES_OPEN = 0.18
MAX_MOUTH_OPEN = 0.3
MIN_LIGHTING = 0.7
SHARPNESS = 20.0
MAX_BACKGROUND_SPREAD = 12.0
MAX_COLOUR_DISTANCE = 10.0
MAX_SIDE_CUT = 0.0
ASPECT_TOLERANCE = 0.01
# A face the mesh cannot read is sought with a lower detector score: blurred,
# the detector reads the same face between 0.4 and 0.7 at the different sizes
# a framing gives it.
UNREAD_FACE_SCORE = 0.35
SIMILAR_FACE = framing.SIMILAR_FACE
# Turned half a turn, the detector must be surer by this much to call the
# face upside down: upright faces read 0.2-0.35 surer as they are.
UPSIDE_DOWN_MARGIN = 0.1
# Background pixels must be this share of the height clear of the person:
# the matte's soft edge is the person's, not the background's.
BACKGROUND_CLEARANCE = 0.01
MIN_BACKGROUND_SHARE = 0.01
# Inner lips (upper, lower) and inner mouth corners in the mesh's topology.
INNER_LIPS = (13, 14)
INNER_CORNERS = (78, 308)


def _in(value, low, high) -> bool:
    return low - 1e-9 <= value <= high + 1e-9


def _length(value: float, unit: str) -> str:
    """A length as precisely as its unit is read: tenths of a mm, thousandths of an inch, whole pixels."""
    return f"{value:.{ {'mm': 1, 'in': 3}.get(unit, 0)}f} {unit}"


def _range(low, high, unit) -> str:
    return f"{low:g}-{high:g} {unit}"


def inspect_picture(picture: np.ndarray, document, alpha: np.ndarray, *, data: bytes | None = None,
            covered: np.ndarray | None = None, detector: FaceDetector | None = None,
            mesh: FaceMesh | None = None, evenness: bool = True) -> list[Check]:
    """Every rule of `document` measured on `picture` (B, G, R[, A]) whose
    person matte is `alpha` (float in [0, 1], the picture's size). `data` is
    the file as written, for its size; `covered` marks the pixels the
    photograph reached (a framing can leave some to the background), None
    when all are the photograph's. `evenness` False leaves out the
    background's evenness (a painted one is even by construction)."""
    picture = np.ascontiguousarray(picture[..., :3])
    rows, columns = picture.shape[:2]
    unit = "px" if document.unit == "px" else document.unit
    per_pixel = document.height / rows  # the document's unit per picture pixel
    out = _file_checks(document, columns, rows, data)
    detector = detector or FaceDetector.shared()
    faces, meshed = meshed_faces(picture, detector, mesh or FaceMesh.shared())
    marks = None
    if faces:
        marks = meshed[faces[0].box]
    else:
        # a face the mesh cannot read (blurred, in deep shadow) is measured by
        # the detector's box alone, and the rules that need the mesh are left out
        faces = detector.detect(picture, min_score=UNREAD_FACE_SCORE)
    if not faces:
        out.append(Check("face", "none found", "one face", False))
        out += _background_checks(picture, document, alpha, covered, evenness)
        return out
    similar = sum(f.width >= SIMILAR_FACE * faces[0].width for f in faces)
    if similar > 1:
        out.append(Check("one face", f"{similar} faces of similar size", "one", False))
    face = faces[0]
    out.append(upright(picture, face, detector))
    if marks is not None:
        points = marks.points[:, :2]
        chin = marks.chin[1]
        eye_row = marks.eye_centre[1]
    else:
        x0, y0, x1, y1 = face.box
        points = np.array([[x0, y0], [x1, y1]], np.float64)
        chin, eye_row = y1, None
    x0, x1 = float(points[:, 0].min()), float(points[:, 0].max())
    hair_top, cut_off = framing.find_crown(alpha, (x0, float(points[:, 1].min()), x1, chin))
    if document.hair_in_head or eye_row is None:
        crown, crown_kind = hair_top, "hair"
    else:
        crown, crown_kind = skull.skull_crown_row(eye_row, chin), "skull"
    head = (chin - crown) * per_pixel
    if document.head_given:
        low, high = document.head_accepted or document.head
        out.append(Check("head height", f"{_length(head, unit)} ({crown_kind})",
                         _range(low, high, unit), _in(head, low, high)))
    if document.eye_line and eye_row is not None:
        up = (rows - eye_row) * per_pixel
        out.append(Check("eye line", f"{_length(up, unit)} above the bottom", _range(*document.eye_line, unit),
                         _in(up, *document.eye_line)))
    off = abs((x0 + x1) / 2 - columns / 2) / columns
    out.append(Check("centring", f"{off:.1%} of the width off centre", f"at most {CENTRING:.0%}", off <= CENTRING))
    if document.top_given:
        top = max(hair_top, 0.0) * per_pixel
        out.append(Check("top margin", f"{_length(top, unit)} above the hair", _range(*document.top, unit),
                         _in(top, *document.top)))
    if document.chin:
        below = (rows - chin) * per_pixel
        out.append(Check("chin margin", f"{_length(below, unit)} below the chin", _range(*document.chin, unit),
                         _in(below, *document.chin)))
    side = _side_cut(points, columns, covered)
    out.append(Check("head inside the picture",
                     f"{cut_off:.0%} of the head above the top edge, {side:.0%} of the face beyond a side",
                     f"at most {framing.ALLOWED_CUT:.0%} above, none beyond a side",
                     cut_off <= framing.ALLOWED_CUT and side <= MAX_SIDE_CUT))
    if marks is not None:
        out += face_checks(marks)
        out += _lighting(picture, marks)
    out += _background_checks(picture, document, alpha, covered, evenness)
    return out


def face_checks(marks: Landmarks) -> list[Check]:
    """Pose and expression, from the mesh the picture gave."""
    mouth = mouth_open(marks)
    return [
        Check("residual roll", f"{marks.roll:+.1f} deg", f"within {MAX_ROLL:g} deg", abs(marks.roll) <= MAX_ROLL),
        Check("yaw", f"{marks.yaw:+.1f} deg", f"within {MAX_YAW:g} deg", abs(marks.yaw) <= MAX_YAW),
        Check("pitch", f"{marks.pitch:+.1f} deg", f"within {MAX_PITCH:g} deg", abs(marks.pitch) <= MAX_PITCH),
        Check("eyes open", f"{marks.eyes_open:.3f} aspect", f"at least {MIN_EYES_OPEN:g}",
              marks.eyes_open >= MIN_EYES_OPEN),
        Check("mouth closed", f"{mouth:.3f} lip gap / width", f"at most {MAX_MOUTH_OPEN:g}", mouth <= MAX_MOUTH_OPEN),
    ]


def mouth_open(marks: Landmarks) -> float:
    upper, lower = (marks.points[i, :2] for i in INNER_LIPS)
    left, right = (marks.points[i, :2] for i in INNER_CORNERS)
    return float(np.linalg.norm(upper - lower) / max(np.linalg.norm(left - right), 1e-9))


def _file_checks(document, columns: int, rows: int, data: bytes | None) -> list[Check]:
    out = []
    if document.unit == "px" and not (document.min_pixels or document.max_pixels):
        wanted = document.size
        out.append(Check("pixel size", f"{columns} x {rows} px", f"{wanted[0]} x {wanted[1]} px",
                         (columns, rows) == wanted))
    else:
        low = document.min_pixels or (document.size if document.unit != "px" else (1, 1))
        high = document.max_pixels
        allowed = f"at least {low[0]} x {low[1]} px" + (f", at most {high[0]} x {high[1]} px" if high else "")
        fits = columns >= low[0] and rows >= low[1] and (high is None or (columns <= high[0] and rows <= high[1]))
        out.append(Check("pixel size", f"{columns} x {rows} px", allowed, fits))
    aspect, wanted = columns / rows, document.width / document.height
    out.append(Check("shape", f"{aspect:.3f} width / height", f"{wanted:.3f} within {ASPECT_TOLERANCE:.0%}",
                     abs(aspect / wanted - 1) <= ASPECT_TOLERANCE))
    if data is not None and (document.min_kb or document.max_kb):
        kb = len(data) / 1024
        low, high = document.min_kb or 0, document.max_kb or math.inf
        allowed = " ".join(filter(None, [f"at least {low:g} KB" if document.min_kb else "",
                                         f"at most {high:g} KB" if document.max_kb else ""]))
        out.append(Check("file size", f"{kb:.0f} KB", allowed, _in(kb, low, high)))
    return out


def upright(picture, face: Face, detector: FaceDetector) -> Check:
    """The detector's confidence in the face as it is against the face turned
    half a turn, both in the same square about the face."""
    x0, y0, x1, y1 = face.box
    side = 2.0 * max(x1 - x0, y1 - y0)
    centre = ((x0 + x1) / 2, (y0 + y1) / 2)
    shift = np.array([[1, 0, side / 2 - centre[0]], [0, 1, side / 2 - centre[1]]])
    n = max(8, round(side))
    square = cv2.warpAffine(picture, shift, (n, n), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)

    def sureness(image) -> float:
        found = detector._detect_square(np.ascontiguousarray(image), 0, 0, 0.05)
        return max((f.score for f in found), default=0.0)

    upright, turned = sureness(square), sureness(square[::-1, ::-1])
    return Check("upright", f"detector {upright:.2f} as it is, {turned:.2f} turned over",
                 "surer as it is", turned <= upright + UPSIDE_DOWN_MARGIN)


def _side_cut(points: np.ndarray, columns: int, covered: np.ndarray | None) -> float:
    """The share of the face's width beyond the picture's sides or where the
    photograph did not reach."""
    x0, x1 = float(points[:, 0].min()), float(points[:, 0].max())
    width = max(x1 - x0, 1e-9)
    beyond = max(0.0, -x0) + max(0.0, x1 - columns)
    if covered is not None:
        inside = points[(points[:, 0] >= 0) & (points[:, 0] < columns)
                        & (points[:, 1] >= 0) & (points[:, 1] < covered.shape[0])]
        xs = inside[:, 0].astype(int), inside[:, 1].astype(int)
        lost = inside[~covered[xs[1], xs[0]]]
        if len(lost):
            # across the face, how far the uncovered points reach in from either side
            left = lost[lost[:, 0] < (x0 + x1) / 2]
            right = lost[lost[:, 0] >= (x0 + x1) / 2]
            if len(left):
                beyond += float(left[:, 0].max()) - max(x0, 0.0)
            if len(right):
                beyond += min(x1, columns) - float(right[:, 0].min())
    return float(min(1.0, beyond / width))


def _lighting(picture, marks: Landmarks) -> list[Check]:
    grey = cv2.cvtColor(picture, cv2.COLOR_BGR2GRAY).astype(np.float64)
    points = marks.points[:, :2]
    rows, columns = grey.shape
    x0, x1 = np.percentile(points[:, 0], [10, 90])
    y0, y1 = marks.eye_centre[1], marks.points[[61, 291], 1].mean()
    x0, x1 = (int(np.clip(round(v), 0, columns)) for v in (x0, x1))
    y0, y1 = (int(np.clip(round(v), 0, rows)) for v in (y0, y1))
    if x1 - x0 < 4 or y1 - y0 < 4:
        return []
    face = grey[y0:y1, x0:x1]
    middle = face.shape[1] // 2
    halves = face[:, :middle].mean(), face[:, middle:].mean()
    ratio = min(halves) / max(max(halves), 1e-9)
    sharp = float(cv2.Laplacian(face, cv2.CV_64F).var())
    return [Check("face lighting", f"{ratio:.2f} darker/brighter half", f"at least {MIN_LIGHTING:g}",
                  ratio >= MIN_LIGHTING),
            Check("sharpness", f"{sharp:.0f} Laplacian variance", f"at least {SHARPNESS:g}", sharp >= SHARPNESS)]


def background_pixels(alpha: np.ndarray, covered: np.ndarray | None) -> np.ndarray:
    """The picture's pixels that are background: clear of the person in the
    matte and, where given, inside what the photograph covers."""
    rows = alpha.shape[0]
    person = (alpha > 0.02).astype(np.uint8)
    reach = max(2, round(BACKGROUND_CLEARANCE * rows))
    near = cv2.dilate(person, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (2 * reach + 1,) * 2)) > 0
    return ~near if covered is None else (covered & ~near)


def _lab(bgr) -> np.ndarray:
    pixel = np.asarray(bgr, np.float32).reshape(1, 1, 3) / 255.0
    return cv2.cvtColor(pixel, cv2.COLOR_BGR2Lab).reshape(3).astype(np.float64)


def _background_checks(picture, document, alpha, covered, evenness) -> list[Check]:
    mask = background_pixels(alpha, covered)
    if mask.mean() < MIN_BACKGROUND_SHARE:
        return [Check("background colour", "too little background to measure", "/".join(document.backgrounds),
                      False)]
    values = picture[mask].astype(np.float64)
    mean = values.mean(axis=0)
    seen = _lab(mean)
    distances = {name: float(np.linalg.norm(seen - _lab(parse_background(name).bgr)))
                 for name in document.backgrounds}
    nearest = min(distances, key=distances.get)
    b, g, r = (int(round(v)) for v in mean)
    out = [Check("background colour", f"#{r:02x}{g:02x}{b:02x}, {distances[nearest]:.1f} from {nearest}",
                 f"{'/'.join(document.backgrounds)} within {MAX_COLOUR_DISTANCE:g}",
                 distances[nearest] <= MAX_COLOUR_DISTANCE)]
    if not evenness:
        return out
    grey = cv2.cvtColor(picture, cv2.COLOR_BGR2GRAY).astype(np.float64)[mask]
    spread = float(grey.std())
    out.append(Check("background evenness", f"{spread:.1f} grey levels spread", f"at most {MAX_BACKGROUND_SPREAD:g}",
                     spread <= MAX_BACKGROUND_SPREAD))
    return out
