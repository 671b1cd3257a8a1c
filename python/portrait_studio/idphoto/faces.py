"""Finding faces: the MediaPipe short-range face detector (BlazeFace), run by
ONNX Runtime from the converted copy beside this file.

The network looks at a 128 x 128 letterbox of the photograph and answers, for
each of 896 fixed anchors, a score logit and a regression: box centre and size
and six key points (eyes, nose tip, mouth centre, ear tragions), in input
pixels relative to the anchor. Decoding that and merging overlapping answers
is a few small NumPy operations, so it lives here as glue.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass
from pathlib import Path

import cv2
import numpy as np

MODEL_PATH = Path(__file__).with_name("face_detection.onnx")
NET_SIZE = 128
MIN_SCORE = 0.5
# Overlap above which two answers are taken for the same face and averaged
# (MediaPipe's own setting for this network).
MERGE_IOU = 0.3
# Small tiles show the network textures it mistakes for faces at scores just
# over one half; a face found only there must be surer.
TILE_MIN_SCORE = 0.75


@dataclass(frozen=True)
class Face:
    """One face in photograph pixels. `box` is (left, top, right, bottom); the
    key points are (x, y); "right" and "left" are the subject's own."""

    box: tuple[float, float, float, float]
    score: float
    right_eye: tuple[float, float]
    left_eye: tuple[float, float]
    nose: tuple[float, float]
    mouth: tuple[float, float]
    right_ear: tuple[float, float]
    left_ear: tuple[float, float]

    @property
    def width(self) -> float:
        return self.box[2] - self.box[0]

    @property
    def height(self) -> float:
        return self.box[3] - self.box[1]

    @property
    def eye_centre(self) -> tuple[float, float]:
        return ((self.right_eye[0] + self.left_eye[0]) / 2, (self.right_eye[1] + self.left_eye[1]) / 2)


def anchors() -> np.ndarray:
    """(896, 2) anchor centres in [0, 1]: two per cell of a 16 x 16 grid, then
    six per cell of an 8 x 8 grid (the network's SSD layout)."""
    rows = []
    for grid, per_cell in ((16, 2), (8, 6)):
        centres = (np.arange(grid) + 0.5) / grid
        y, x = np.meshgrid(centres, centres, indexing="ij")
        cells = np.stack([x.ravel(), y.ravel()], axis=1)
        rows.append(np.repeat(cells, per_cell, axis=0))
    return np.concatenate(rows).astype(np.float32)


ANCHORS = anchors()


def decode(boxes: np.ndarray, scores: np.ndarray, min_score: float = MIN_SCORE):
    """The raw outputs as (n, 16) rows in [0, 1] network coordinates (box as
    left, top, right, bottom, then six x, y key points) and their (n,) scores."""
    boxes = boxes.reshape(-1, 16).astype(np.float64) / NET_SIZE
    probability = 1.0 / (1.0 + np.exp(-np.clip(scores.reshape(-1).astype(np.float64), -100, 100)))
    keep = probability >= min_score
    boxes, probability, anchor = boxes[keep], probability[keep], ANCHORS[keep].astype(np.float64)
    centre = boxes[:, 0:2] + anchor
    half = boxes[:, 2:4] / 2
    points = boxes[:, 4:16].reshape(-1, 6, 2) + anchor[:, None, :]
    rows = np.concatenate([centre - half, centre + half, points.reshape(-1, 12)], axis=1)
    return rows, probability


def iou(box: np.ndarray, others: np.ndarray) -> np.ndarray:
    left = np.maximum(box[0], others[:, 0])
    top = np.maximum(box[1], others[:, 1])
    right = np.minimum(box[2], others[:, 2])
    bottom = np.minimum(box[3], others[:, 3])
    inter = np.clip(right - left, 0, None) * np.clip(bottom - top, 0, None)
    area = (box[2] - box[0]) * (box[3] - box[1])
    areas = (others[:, 2] - others[:, 0]) * (others[:, 3] - others[:, 1])
    return inter / np.maximum(area + areas - inter, 1e-12)


def merge_overlapping(rows: np.ndarray, scores: np.ndarray, threshold: float = MERGE_IOU):
    """Weighted non-maximum suppression: each group of answers overlapping the
    best remaining one becomes their score-weighted mean (steadier than keeping
    only the best)."""
    order = np.argsort(-scores, kind="stable")
    rows, scores = rows[order], scores[order]
    merged = []
    while len(rows):
        group = iou(rows[0], rows) > threshold
        weights = scores[group]
        merged.append((np.average(rows[group], axis=0, weights=weights), float(scores[0])))
        rows, scores = rows[~group], scores[~group]
    return merged


class FaceDetector:
    """One ONNX Runtime session on the bundled detector. Thread-safe: the
    session may be shared."""

    _shared: FaceDetector | None = None
    _lock = threading.Lock()

    def __init__(self, model: str | Path = MODEL_PATH, threads: int | None = None):
        import onnxruntime as rt

        from ..core.models import providers, session_options

        self.session = rt.InferenceSession(str(model), session_options(threads), providers=providers())

    @classmethod
    def shared(cls) -> FaceDetector:
        with cls._lock:
            if cls._shared is None:
                cls._shared = cls(threads=1)
            return cls._shared

    def detect(self, photo: np.ndarray, min_score: float = MIN_SCORE, accept=None) -> list[Face]:
        """Faces in a B, G, R photograph, largest first; with `accept` (a
        predicate on a Face), only those it accepts, and a level whose
        sightings it all rejects does not stop the search for smaller tiles.

        The network sees 128 x 128 pixels and misses faces much under a sixth
        of that, so besides the whole photograph it looks at overlapping
        square tiles, each level half the side of the one before, down to a
        quarter of the photograph's long side (a face smaller than that is
        too small for any preset anyway)."""
        rows, columns = photo.shape[:2]
        found: list[Face] = []
        for level in tile_levels(rows, columns):
            if found:  # faces of similar size show at the level that found the first
                break
            for tile in level:
                left, top, side = tile
                window = photo[top:top + side, left:left + side]
                threshold = min_score if side >= max(rows, columns) else max(min_score, TILE_MIN_SCORE)
                found += [f for f in self._detect_square(window, left, top, threshold)
                          if not _touches(f, tile, rows, columns) and (accept is None or accept(f))]
        # the same face seen in several tiles: keep the most confident sighting
        found.sort(key=lambda f: -f.score)
        kept: list[Face] = []
        for face in found:
            if not any(_inside(face, k) or _inside(k, face) for k in kept):
                kept.append(face)
        kept.sort(key=lambda f: -f.width * f.height)
        return kept

    def _detect_square(self, photo, x_offset, y_offset, min_score):
        rows, columns = photo.shape[:2]
        side = max(rows, columns)
        # Letterbox into a square (as the network was trained), black around.
        scale = NET_SIZE / side
        fitted = cv2.resize(photo, (max(1, round(columns * scale)), max(1, round(rows * scale))),
                            interpolation=cv2.INTER_AREA)
        square = np.zeros((NET_SIZE, NET_SIZE, 3), np.uint8)
        top = (NET_SIZE - fitted.shape[0]) // 2
        left = (NET_SIZE - fitted.shape[1]) // 2
        square[top:top + fitted.shape[0], left:left + fitted.shape[1]] = fitted
        tensor = cv2.cvtColor(square, cv2.COLOR_BGR2RGB).astype(np.float32) / 127.5 - 1.0
        boxes, scores = self.session.run(["boxes", "scores"], {"input": tensor.transpose(2, 0, 1)[None]})
        decoded, probability = decode(boxes, scores, min_score)
        faces = []
        for row, score in merge_overlapping(decoded, probability):
            # network [0, 1] -> photograph pixels
            xy = row.reshape(-1, 2) * NET_SIZE
            xy = (xy - [left, top]) / scale + [x_offset, y_offset]
            (x0, y0), (x1, y1) = xy[0], xy[1]
            points = [tuple(float(v) for v in p) for p in xy[2:]]
            faces.append(Face((float(x0), float(y0), float(x1), float(y1)), score, *points))
        return faces


def tile_levels(rows: int, columns: int) -> list[list[tuple[int, int, int]]]:
    """Levels of (left, top, side) squares: the whole photograph, then
    half-overlapping tiles, each level half the side of the one before."""
    levels = [[(0, 0, max(rows, columns))]]
    side = min(rows, columns)
    if side == max(rows, columns):
        side //= 2
    floor = max(NET_SIZE * 2, max(rows, columns) // 4)
    while side >= floor:
        step = max(1, side // 2)
        levels.append([(left, top, side) for top in _starts(rows, side, step) for left in _starts(columns, side, step)])
        side //= 2
    return levels


def _starts(length: int, side: int, step: int) -> list[int]:
    if side >= length:
        return [0]
    starts = list(range(0, length - side, step))
    return starts + [length - side]


def _touches(face: Face, tile: tuple[int, int, int], rows: int, columns: int) -> bool:
    """True when the face box runs into an edge of the tile that is not the
    photograph's own edge: the face is cut there, and a larger tile sees it whole."""
    left, top, side = tile
    margin = 0.02 * side
    x0, y0, x1, y1 = face.box
    return ((left > 0 and x0 < left + margin) or (top > 0 and y0 < top + margin)
            or (left + side < columns and x1 > left + side - margin)
            or (top + side < rows and y1 > top + side - margin))


def _inside(face: Face, other: Face) -> bool:
    cx, cy = (face.box[0] + face.box[2]) / 2, (face.box[1] + face.box[3]) / 2
    return other.box[0] <= cx <= other.box[2] and other.box[1] <= cy <= other.box[3]
