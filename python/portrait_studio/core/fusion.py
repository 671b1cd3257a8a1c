"""One coarse plane from the two networks, and how far to trust the cut-out.

The person segmenter (the engine's model) knows what a person is but draws
soft, blocky outlines; the saliency network (u2netp) draws sharp outlines,
but of whatever stands out: a cup, a cat, a second person, or the person.
Each network's mask is its plane above one half. The rule, chosen by
measurement on real portraits and on composites over cluttered backgrounds
(bench/bench_quality.py):

1. Where the masks agree, and along every thin strip where they do not (the
   outline: hair, a sleeve), the plane is the mean of the two planes. Where
   both agree the mean is their common answer; at the outline it measured
   better than either network alone and better than a band that favours one.
2. A disagreement wide enough to be a thing rather than an outline (it
   survives an opening of radius `opening`, and is at least `least_region`
   of the area both call person) is decided as a whole, not averaged:
   a. seen by the saliency network alone: kept (the mean) where the
      segmenter half sees a person there too (its mean value at least
      `segmenter_support`: a limb it drew faintly), else dropped to the
      segmenter's value (a cup, a cat: the segmenter is the judge of what is
      a person, and averaging it in draws a ghost of the object);
   b. seen by the segmenter alone: kept at the segmenter's value (a part of
      the person the saliency network missed) unless the segmenter itself is
      unsure of it (less than `segmenter_sure` of it above 0.9: a patch of
      clutter), or the saliency network is looking at this person (at least
      `saliency_inside` of its mask inside the segmenter's) and the region
      is larger than what both call person: the segmenter has merged a
      second figure with the one the saliency network singles out.
   Dropped regions take the other network's value, so they end below one
   half and the refinement's trimap puts them in the background.

The confidence falls with the share of the picture where the fused plane is
unsure (between 0.1 and 0.9), and by a quarter as much with the share the
rule dropped, reaching zero at `unsure_limit`. When the networks agree the
plane is near 0 or 1 everywhere but a thin outline; a second person, a cup
the segmenter half takes, a disagreement the rule could only average, all
leave wide unsure areas. Among the cheap signals measured (the networks'
IoU, the segmenter's own unsure share) the unsure share of the fused plane
ranked the worst cut-outs lowest. A dropped object is usually dropped
rightly (measured), so it weighs less; but a cut-out that needed the rule
to overrule a network deserves a lower grade than one both agreed on
(any weight from 0.1 to 0.5 ranked the same worst fifth).

Everything runs at the saliency network's 320 x 320 with a few OpenCV passes
and per-region sums (a few milliseconds); no native pass is needed.
"""

from __future__ import annotations

from dataclasses import dataclass

import cv2
import numpy as np

SIZE = 320  # the working resolution: the saliency plane's own


@dataclass(frozen=True)
class FusionSettings:
    opening: int = 3  # radius, in working pixels, below which a disagreement is outline
    least_region: float = 0.02  # ... and the least area, as a share of what both call person
    segmenter_support: float = 0.3  # the segmenter's mean value that keeps a saliency-only region
    segmenter_sure: float = 0.6  # the share above 0.9 for the segmenter to be sure of a region
    saliency_inside: float = 0.9  # the share of the saliency mask inside the segmenter's: it is on the person
    # Confidence: the share of the picture unsure at which it reaches zero,
    # what a dropped share counts against it, and the review threshold.
    unsure_limit: float = 0.25
    dropped_weight: float = 0.25
    review_below: float = 0.5


# Below this confidence a cut-out is marked for a person to look at.
REVIEW_BELOW = FusionSettings.review_below


DEFAULT = FusionSettings()


@dataclass(frozen=True)
class FusedMatte:
    plane: np.ndarray  # float32 (SIZE, SIZE) in [0, 1], covering the whole photograph
    confidence: float  # in [0, 1]; low means the cut-out deserves a look
    agreement: float  # IoU of the two networks' masks (over the whole picture)
    unsure: float  # share of the picture where the fused plane is between 0.1 and 0.9
    dropped: float  # share of the picture that one network called person and the rule dropped
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


def iou(a: np.ndarray, b: np.ndarray) -> float:
    union = np.count_nonzero(a | b)
    return float(np.count_nonzero(a & b) / union) if union else 1.0


def unsure_share(plane: np.ndarray) -> float:
    return float(np.count_nonzero((plane > 0.1) & (plane < 0.9)) / plane.size)


def _regions(mask: np.ndarray, least: float, settings: FusionSettings):
    """The disagreement regions wide and large enough to be decided: (labels
    of their cores, count, per-region core areas), and a function growing a
    set of cores back to their regions' full extent within `mask` (the
    opening trims each region's rim)."""
    core = cv2.morphologyEx(mask.view(np.uint8), cv2.MORPH_OPEN, _disc(settings.opening))
    count, labels, stats, _ = cv2.connectedComponentsWithStats(core, connectivity=8)
    areas = stats[:, cv2.CC_STAT_AREA].astype(np.float64)
    large = areas >= least
    large[0] = False  # the background label

    def extent(chosen: np.ndarray) -> np.ndarray:
        cores = (chosen & large)[labels]
        return cv2.dilate(cores.view(np.uint8), _disc(settings.opening + 1)).astype(bool) & mask

    return labels, count, areas, extent


def _region_means(labels: np.ndarray, count: int, areas: np.ndarray, values: np.ndarray) -> np.ndarray:
    sums = np.bincount(labels.ravel(), weights=values.ravel(), minlength=count)
    return sums / np.maximum(areas, 1.0)


def fuse(segmenter_plane: np.ndarray, saliency_plane: np.ndarray, settings: FusionSettings = DEFAULT) -> FusedMatte:
    """The fused coarse plane at SIZE x SIZE for `refine.refine`, and the
    confidence. Both planes cover the whole photograph (any size; brought to
    SIZE x SIZE bilinearly), values in [0, 1]."""
    s = _as_plane(segmenter_plane, "segmenter plane")
    u = _as_plane(saliency_plane, "saliency plane")
    person, salient = s > 0.5, u > 0.5
    both = person & salient
    agreed = np.count_nonzero(both)
    least = max(1.0, settings.least_region * agreed)
    plane = 0.5 * (s + u)

    # 2a: saliency alone, where the segmenter gives it too little support.
    only = salient & ~person
    labels, count, areas, extent = _regions(only, least, settings)
    drop_salient = extent(_region_means(labels, count, areas, s) < settings.segmenter_support)

    # 2b: the segmenter alone, where it is unsure or has merged two figures.
    only = person & ~salient
    labels, count, areas, extent = _regions(only, least, settings)
    sure = _region_means(labels, count, areas, (s > 0.9).astype(np.float32))
    on_person = agreed >= settings.saliency_inside * max(1, np.count_nonzero(salient))
    drop = (sure < settings.segmenter_sure) | (on_person & (areas > agreed))
    drop_person = extent(drop)
    keep_person = extent(~drop) & ~drop_person

    plane[drop_salient] = s[drop_salient]
    plane[drop_person] = u[drop_person]
    plane[keep_person] = s[keep_person]
    plane = np.clip(plane, 0.0, 1.0).astype(np.float32)

    unsure = unsure_share(plane)
    dropped = float(np.count_nonzero(drop_salient | drop_person) / plane.size)
    confidence = confidence_of(unsure + settings.dropped_weight * dropped, settings)
    return FusedMatte(plane, confidence, iou(person, salient), unsure, dropped, confidence < settings.review_below)


def confidence_of(unsure: float, settings: FusionSettings = DEFAULT) -> float:
    """One minus the (weighted) unsure share of the picture over the limit, in [0, 1]."""
    return float(np.clip(1.0 - unsure / settings.unsure_limit, 0.0, 1.0))


def segmenter_confidence(segmenter_plane: np.ndarray, settings: FusionSettings = DEFAULT) -> float:
    """The confidence without the second network (the fast and model mattes):
    the segmenter's own unsure share, on the same scale."""
    return confidence_of(unsure_share(_as_plane(segmenter_plane, "segmenter plane")), settings)
