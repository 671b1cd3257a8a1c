"""Face landmarks: the MediaPipe face mesh (468 3-D points) on one detected face,
run by ONNX Runtime from the converted copy beside this file.

The mesh network wants an upright face filling the middle of a 192 x 192 crop.
The crop is a square about the detector's box, 1.5 times its long side, turned
so that the detector's eye line is level (as MediaPipe crops it). A second
pass re-crops about the first pass's own mesh, whose eye line is steadier than
the detector's key points; its answer is the one kept. The points are mapped
back through the crop to photograph pixels.

Mesh indices used (the canonical face-mesh topology; "right"/"left" are the
subject's own, so on an unmirrored frontal photo the right eye is on the
image's left):

* eye centres: mean of the 16 eye-contour points (lid margins and corners;
  the network has no iris points, so this is the iris-free approximation of
  the pupil), RIGHT_EYE / LEFT_EYE below;
* eye openness: eye aspect ratio (Soukupova and Cech, 2016) of six contour
  points per eye, EYE_ASPECT;
* chin 152, forehead top 10 (the top of the mesh, about the hairline);
* roll from the two eye centres; yaw and pitch from the face's frame in 3-D
  built on the outer eye corners 33/263, mouth corners 61/291, cheeks
  234/454 and jaw 172/397 (`Landmarks._facing`).
"""

from __future__ import annotations

import math
import threading
from dataclasses import dataclass
from pathlib import Path

import cv2
import numpy as np

from .faces import Face

MODEL_PATH = Path(__file__).with_name("face_landmarks.onnx")
NET_SIZE = 192
# How much larger than the face the crop is: the mesh was trained on crops of
# this margin (MediaPipe's own value for both the detector and the mesh ROI).
ROI_SCALE = 1.5

RIGHT_EYE = (33, 7, 163, 144, 145, 153, 154, 155, 133, 173, 157, 158, 159, 160, 161, 246)
LEFT_EYE = (263, 249, 390, 373, 374, 380, 381, 382, 362, 398, 384, 385, 386, 387, 388, 466)
# (outer corner, upper lid x2, inner corner, lower lid x2) in the order of the
# aspect-ratio formula: (|p2 - p6| + |p3 - p5|) / (2 |p1 - p4|).
EYE_ASPECT = {"right": (33, 160, 158, 133, 153, 144), "left": (263, 387, 385, 362, 380, 373)}
CHIN = 152
FOREHEAD = 10
# Points that mirror each other across the face's midline (subject's right,
# left): outer eye corners, cheeks at the ears, mouth corners, jaw.
SYMMETRIC = ((33, 263), (234, 454), (61, 291), (172, 397))
EYE_CORNERS = (33, 263)
MOUTH_CORNERS = (61, 291)


def _sigmoid(v: float) -> float:
    return 1.0 / (1.0 + math.exp(-max(-60.0, min(60.0, v))))


@dataclass(frozen=True)
class Landmarks:
    """The 468 mesh points of one face in photograph pixels: `points[i]` is
    (x, y, z), z the depth relative to the face's centre on the same pixel
    scale (smaller is nearer the camera). `score` is the mesh's face-presence
    probability (the crop holds a face above 0.5)."""

    points: np.ndarray
    score: float

    def point(self, index: int) -> tuple[float, float]:
        return float(self.points[index, 0]), float(self.points[index, 1])

    def _mean(self, indices) -> np.ndarray:
        return self.points[list(indices)].mean(axis=0)

    @property
    def right_eye(self) -> tuple[float, float]:
        x, y, _ = self._mean(RIGHT_EYE)
        return float(x), float(y)

    @property
    def left_eye(self) -> tuple[float, float]:
        x, y, _ = self._mean(LEFT_EYE)
        return float(x), float(y)

    @property
    def eye_centre(self) -> tuple[float, float]:
        (rx, ry), (lx, ly) = self.right_eye, self.left_eye
        return (rx + lx) / 2, (ry + ly) / 2

    @property
    def chin(self) -> tuple[float, float]:
        return self.point(CHIN)

    @property
    def forehead(self) -> tuple[float, float]:
        return self.point(FOREHEAD)

    @property
    def face_height(self) -> float:
        """Forehead top to chin, in pixels."""
        return float(np.hypot(*np.subtract(self.chin, self.forehead)))

    @property
    def roll(self) -> float:
        """Degrees the eye line (subject's right eye to left eye) turns from level,
        positive clockwise as the photograph is seen (the left eye lower)."""
        (rx, ry), (lx, ly) = self.right_eye, self.left_eye
        return math.degrees(math.atan2(ly - ry, lx - rx))

    def _facing(self) -> np.ndarray:
        """Unit vector out of the face towards the viewer, in photograph axes
        (x right, y down, z away from the camera): the cross product of the
        face's down axis (eye corners' midpoint to mouth corners' midpoint) and
        its across axis (mean of the symmetric pairs, right to left). A face
        whose eye and mouth corners lie at one depth, square to the camera,
        gives (0, 0, -1). The forehead-to-chin line would do for roll but not
        here: the forehead slopes back, which reads as 10-15 degrees of pitch
        on faces that look straight at the camera."""
        right = self.points[[r for r, _ in SYMMETRIC]].mean(axis=0)
        left = self.points[[q for _, q in SYMMETRIC]].mean(axis=0)
        across = left - right
        down = self.points[list(MOUTH_CORNERS)].mean(axis=0) - self.points[list(EYE_CORNERS)].mean(axis=0)
        out = np.cross(down, across)
        return out / max(float(np.linalg.norm(out)), 1e-12)

    @property
    def yaw(self) -> float:
        """Degrees the face turns about the vertical, positive towards the
        photograph's right (the subject's left). Approximate: from the mesh's
        own depth estimate, good for its sign and for a few-degree threshold."""
        f = self._facing()
        return math.degrees(math.atan2(f[0], -f[2]))

    @property
    def pitch(self) -> float:
        """Degrees the face tilts about the horizontal, positive chin up; as
        approximate as `yaw`."""
        f = self._facing()
        return math.degrees(math.atan2(-f[1], -f[2]))

    def eye_aspect(self, eye: str) -> float:
        """Eye aspect ratio of the "right" or "left" eye: lid gap over eye width;
        about 0.25-0.35 open, under about 0.15 closed."""
        p1, p2, p3, p4, p5, p6 = (self.points[i, :2] for i in EYE_ASPECT[eye])
        width = float(np.linalg.norm(p1 - p4))
        return float(np.linalg.norm(p2 - p6) + np.linalg.norm(p3 - p5)) / max(2 * width, 1e-9)

    @property
    def eyes_open(self) -> float:
        """The smaller of the two eyes' aspect ratios (one closed eye counts)."""
        return min(self.eye_aspect("right"), self.eye_aspect("left"))


def crop_matrix(centre: tuple[float, float], side: float, angle: float) -> np.ndarray:
    """2 x 3 affine from photograph pixels to the NET_SIZE crop: the square of
    `side` pixels about `centre`, turned by `angle` radians (the eye line's
    angle, so the face comes out level). Pixel centres sit at integer
    coordinates, as cv2.warpAffine has them."""
    scale = NET_SIZE / side
    c, s = math.cos(angle) * scale, math.sin(angle) * scale
    cx, cy = centre[0] - 0.5, centre[1] - 0.5  # continuous -> pixel-centre coordinates
    half = NET_SIZE / 2 - 0.5
    return np.array([[c, s, half - c * cx - s * cy],
                     [-s, c, half + s * cx - c * cy]])


class FaceMesh:
    """One ONNX Runtime session on the bundled face mesh. Thread-safe: the
    session may be shared."""

    _shared: FaceMesh | None = None
    _lock = threading.Lock()

    def __init__(self, model: str | Path = MODEL_PATH, threads: int | None = None):
        import onnxruntime as rt

        from ..core.models import providers, session_options

        self.session = rt.InferenceSession(str(model), session_options(threads), providers=providers())

    @classmethod
    def shared(cls) -> FaceMesh:
        with cls._lock:
            if cls._shared is None:
                cls._shared = cls(threads=1)
            return cls._shared

    def landmarks(self, photo: np.ndarray, face: Face, passes: int = 2) -> Landmarks:
        """The mesh of `face` (from FaceDetector.detect on the same B, G, R
        photograph). The first pass crops about the detector's box and eye key
        points; each further pass about the previous mesh."""
        if photo.ndim != 3 or photo.shape[2] != 3:
            raise ValueError("expected a B, G, R photograph")
        x0, y0, x1, y1 = face.box
        centre = ((x0 + x1) / 2, (y0 + y1) / 2)
        side = max(x1 - x0, y1 - y0) * ROI_SCALE
        angle = math.atan2(face.left_eye[1] - face.right_eye[1], face.left_eye[0] - face.right_eye[0])
        result = None
        for _ in range(max(1, passes)):
            result = self._run(photo, centre, side, angle)
            lo, hi = result.points[:, :2].min(axis=0), result.points[:, :2].max(axis=0)
            centre = tuple((lo + hi) / 2)
            # the mesh's extent, measured level, as MediaPipe sizes its follow-up crop
            level = result.points[:, :2] @ np.array([[math.cos(angle), -math.sin(angle)],
                                                     [math.sin(angle), math.cos(angle)]])
            side = float((level.max(axis=0) - level.min(axis=0)).max()) * ROI_SCALE
            angle = math.radians(result.roll)
        return result

    def _run(self, photo, centre, side, angle) -> Landmarks:
        m = crop_matrix(centre, side, angle)
        crop = cv2.warpAffine(photo, m, (NET_SIZE, NET_SIZE), flags=cv2.INTER_LINEAR,
                              borderMode=cv2.BORDER_REPLICATE)
        tensor = cv2.cvtColor(crop, cv2.COLOR_BGR2RGB).astype(np.float32) / 255.0
        points, logit = self.session.run(["landmarks", "face"], {"input": tensor.transpose(2, 0, 1)[None]})
        p = points[0].astype(np.float64)
        back = cv2.invertAffineTransform(m)
        xy = (p[:, :2] - 0.5) @ back[:, :2].T + back[:, 2] + 0.5
        z = p[:, 2:3] * (side / NET_SIZE)
        return Landmarks(np.hstack([xy, z]), _sigmoid(float(logit.ravel()[0])))


def face_landmarks(photo: np.ndarray, face: Face, mesh: FaceMesh | None = None) -> Landmarks:
    """`FaceMesh.landmarks` on the shared session."""
    return (mesh or FaceMesh.shared()).landmarks(photo, face)


# The mesh's face-presence probability above which a detected box holds a face.
MESH_PRESENT = 0.5


def meshed_faces(picture: np.ndarray, detector, mesh: FaceMesh) -> tuple[list[Face], dict[tuple, Landmarks]]:
    """The detector's faces that the mesh sees a face in, and each one's mesh
    by its box. The detector can return a loose box on hair, a collar or a
    whole tilted photograph; the mesh's presence score tells those from
    faces, so boxes the mesh sees no face in are dropped (and the detector's
    search goes on to smaller tiles)."""
    meshed: dict[tuple, Landmarks] = {}

    def is_face(face: Face) -> bool:
        meshed[face.box] = mesh.landmarks(picture, face)
        return meshed[face.box].score >= MESH_PRESENT

    return detector.detect(picture, accept=is_face), meshed
