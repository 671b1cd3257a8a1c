"""One coarse plane from the two networks, and how far to trust the cut-out.

The person segmenter (the engine's model) finds people but draws soft,
blocky outlines; the saliency network (u2netp) draws sharp outlines but of
whatever stands out. The rule, measured on real portraits and on composites
over cluttered backgrounds (bench/bench_quality.py):

1. The person is the segmenter's largest connected region above one half;
   its other regions (a cat, a patch of background) are dropped, beyond a
   margin around the person, unless the saliency network finds them too.
2. The saliency plane is used at all only when its mask overlaps that person
   well (intersection over union at least `agreement_floor`): below that it
   has picked another object, and mixing it in measured worse than leaving
   it out.
3. Where it is used, it only moves the outline: within `band` pixels of the
   person's edge the plane is a weighted mean of the two; inside and outside
   that band the segmenter's answer stands. Letting saliency decide the
   inside or the far background (its whole plane, or gated by a dilated
   person mask) measured worse on cluttered backgrounds.

Everything runs at the saliency network's 320 x 320 on a few OpenCV passes
(about 4 ms measured on a shared two-core machine); NumPy is enough at
this size, no native pass is needed.
"""

from __future__ import annotations

from dataclasses import dataclass

import cv2
import numpy as np

SIZE = 320  # the working resolution: the saliency plane's own


@dataclass(frozen=True)
class FusionSettings:
    band: int = 8  # half width of the outline band, in working pixels
    weight: float = 0.5  # the saliency plane's share inside the band
    agreement_floor: float = 0.7  # least IoU of the two masks for saliency to be used
    margin: int = 12  # how far beyond the person the segmenter's soft edge is kept
    # Confidence: the segmenter's unsure share (values in (0.1, 0.9)) at
    # which confidence reaches zero, and the review threshold.
    unsure_limit: float = 0.25
    review_below: float = 0.5


# Below this confidence a cut-out is marked for a person to look at.
REVIEW_BELOW = FusionSettings.review_below


DEFAULT = FusionSettings()


@dataclass(frozen=True)
class FusedMatte:
    plane: np.ndarray  # float32 (SIZE, SIZE) in [0, 1], covering the whole photograph
    confidence: float  # in [0, 1]; low means the cut-out deserves a look
    agreement: float  # IoU of the two networks' masks (over the whole picture)
    unsure: float  # share of the picture where the segmenter is between 0.1 and 0.9
    used_saliency: bool
    review: bool  # confidence below the settings' review threshold


def _disc(radius: int) -> np.ndarray:
    return cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (2 * radius + 1, 2 * radius + 1))


def _as_plane(plane: np.ndarray, name: str) -> np.ndarray:
    plane = np.asarray(plane, np.float32)
    if plane.ndim != 2 or plane.size == 0:
        raise ValueError(f"{name}: expected a non-empty 2-D plane, got shape {plane.shape}")
    if not np.isfinite(plane).all():
        raise ValueError(f"{name}: values must be finite")
    if plane.shape != (SIZE, SIZE):
        plane = cv2.resize(plane, (SIZE, SIZE), interpolation=cv2.INTER_LINEAR)
    return np.clip(plane, 0.0, 1.0)


def main_person(mask: np.ndarray) -> np.ndarray:
    """The largest 8-connected region of a boolean mask (empty stays empty)."""
    count, labels, stats, _ = cv2.connectedComponentsWithStats(mask.astype(np.uint8), connectivity=8)
    if count <= 1:
        return np.zeros(mask.shape, bool)
    return labels == 1 + int(np.argmax(stats[1:, cv2.CC_STAT_AREA]))


def _unsupported_regions(mask: np.ndarray, person: np.ndarray, salient: np.ndarray, floor: float) -> np.ndarray:
    """The segmenter's regions besides the person that the saliency network
    does not also find (at least `floor` of the region salient): a second
    figure both networks see stays, a spurious blob goes."""
    count, labels = cv2.connectedComponents((mask & ~person).view(np.uint8), connectivity=8)
    out = np.zeros(mask.shape, bool)
    for label in range(1, count):
        region = labels == label
        if np.count_nonzero(region & salient) < floor * np.count_nonzero(region):
            out |= region
    return out


def iou(a: np.ndarray, b: np.ndarray) -> float:
    union = np.count_nonzero(a | b)
    return float(np.count_nonzero(a & b) / union) if union else 1.0


def fuse(segmenter_plane: np.ndarray, saliency_plane: np.ndarray, settings: FusionSettings = DEFAULT) -> FusedMatte:
    """The fused coarse plane at SIZE x SIZE for `refine.refine`, and the
    confidence. Both planes cover the whole photograph (any size; brought to
    SIZE x SIZE bilinearly), values in [0, 1]."""
    s = _as_plane(segmenter_plane, "segmenter plane")
    u = _as_plane(saliency_plane, "saliency plane")
    person = main_person(s > 0.5)
    agreement = iou(s > 0.5, u > 0.5)
    unsure = float(np.count_nonzero((s > 0.1) & (s < 0.9)) / s.size)

    near = cv2.dilate(person.view(np.uint8), _disc(settings.margin)).astype(bool)
    unsupported = _unsupported_regions(s > 0.5, person, u > 0.5, settings.agreement_floor)
    drop = cv2.dilate(unsupported.view(np.uint8), _disc(settings.margin)).astype(bool) & ~near
    plane = np.where(drop, 0.0, s).astype(np.float32)
    used = bool(person.any()) and iou(person, u > 0.5) >= settings.agreement_floor
    if used:
        disc = _disc(settings.band)
        grown = cv2.dilate(person.view(np.uint8), disc)
        shrunk = cv2.erode(person.view(np.uint8), disc)
        band = (grown > 0) & (shrunk == 0)
        # A soft band edge, so that no step appears where the blend starts.
        share = cv2.GaussianBlur(band.astype(np.float32), (0, 0), 2.0) * np.float32(settings.weight)
        plane = (1.0 - share) * plane + share * u

    confidence = confidence_of(agreement, unsure, settings)
    return FusedMatte(np.clip(plane, 0.0, 1.0).astype(np.float32), confidence, agreement, unsure, used,
                      confidence < settings.review_below)


def confidence_of(agreement: float, unsure: float, settings: FusionSettings = DEFAULT) -> float:
    """The segmenter's own certainty, discounted by how far the two networks
    disagree. The unsure share ranked the worst composites (a second person,
    a cat beside the face) best of the cheap signals tried; agreement alone
    flags every photograph with a big salient object, good cut-outs too, so
    it only halves the confidence at worst."""
    certainty = max(0.0, 1.0 - unsure / settings.unsure_limit)
    return float(np.clip(certainty * (0.5 + 0.5 * agreement), 0.0, 1.0))


def segmenter_confidence(segmenter_plane: np.ndarray, settings: FusionSettings = DEFAULT) -> float:
    """The confidence without the second network (the fast and model mattes):
    the segmenter's own certainty alone."""
    s = _as_plane(segmenter_plane, "segmenter plane")
    unsure = float(np.count_nonzero((s > 0.1) & (s < 0.9)) / s.size)
    return float(max(0.0, 1.0 - unsure / settings.unsure_limit))
