"""One coarse plane from the two networks, and how far to trust the cut-out.

The person segmenter (the engine's model) knows what a person is but draws
soft, blocky outlines; the saliency network (u2netp) draws sharp outlines,
but of whatever stands out: a cup, a cat, a second person, or the person.
Each network's mask is its plane above one half. The rule and every
constant below were chosen on the tuning part of the quality set (real
portraits and composites over cluttered, greyscale and cropped backgrounds;
bench/tune_fusion.py) and are reported on its held-out part
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
      the person the saliency network missed: the body under a head it
      singled out on a low-contrast or greyscale photograph, an arm) unless
      the segmenter itself is unsure of it (less than `segmenter_sure` of it
      above 0.9: a patch of clutter), or it is shown to be a second figure:
      the saliency network is looking at one person (at least
      `saliency_inside` of its mask inside the segmenter's), the region is
      at least `figure_least` of what both call person, and it is separate
      from that person by a gap: the segmenter's sure mask (above 0.9) does
      not run from it into the person both see. A second figure the
      segmenter draws joined to the person is kept, and the confidence
      (below) sends the cut-out to review. That the saliency
      network ignores a region is never evidence on its own: it singles out
      a head as readily as a second person.
   c. seen by the segmenter alone, sure, kept by (b), and reaching both the
      frame's top edge and one of its sides: the body leaves the frame at the
      bottom or a side, and the head both networks see is under the top, so
      a sure region wrapping over the top corner is the segmenter running on
      into the background (bokeh, coins, a textured wall on a greyscale
      photograph). It is neither kept nor dropped: it stays the mean, a
      disputed value, which the refinement decides pixel by pixel: from the
      photograph's colours within the solve's reach of the sure person and
      background, and further in by which network is the surer there (the
      mean above or below one half).
   Dropped regions take the other network's value, so they end below one
   half and the refinement's trimap puts them in the background.
3. Where the segmenter sees next to no person (its mask less than
   `segmenter_least` of the saliency network's), there is no person for the
   rules above to judge against, and keeping its answer would hand back an
   empty cut-out: a person seen from the neck down, a greyscale photograph
   it reads as texture. The plane is then the saliency network's own; so
   too where the rules above leave next to nothing (the segmenter's few
   pixels a patch it is unsure of, the saliency network's figure without
   its support). The networks' agreement is near nothing, so the confidence
   (below) sends the cut-out to review.

The confidence grades the result, not the plan that made it: the product of
four grades in [0, 1], so that any one failing sinks it. How little of the
picture is unsure (between 0.1 and 0.9 in the fused plane), reaching zero at
`unsure_limit`; how little of the person the rule decided against one
network (a region kept or dropped whole), reaching zero at
`overruled_limit`; how much of the segmenter's person the fused plane keeps,
falling below `kept_full`; and how far the networks agree on where the
person is (their masks' IoU), falling below `agreement_full`.

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
    figure_least: float = 0.2  # a region apart from the person, at least this share of it, is a second figure
    segmenter_least: float = 0.03  # the segmenter's mask below this share of the saliency mask sees no person
    dispute_wrapping: bool = True  # a kept region over the top and a side is left to the colours (2c)
    # Confidence: the share of the picture unsure at which it reaches zero;
    # the share of the person decided against a network at which it does; the
    # kept share of the segmenter's person and the networks' IoU below which
    # it falls; and the review threshold.
    unsure_limit: float = 0.2
    overruled_limit: float = 1.0
    kept_full: float = 0.8
    agreement_full: float = 0.5
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
    overruled: float = 0.0  # share of the person either network saw that the rule decided against one of them
    kept: float = 1.0  # share of the segmenter's person the fused plane keeps


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
    of their cores, count, per-region core areas, which are large), and a
    function growing a set of cores back to their regions' full extent within
    `mask` (the opening trims each region's rim)."""
    core = cv2.morphologyEx(mask.view(np.uint8), cv2.MORPH_OPEN, _disc(settings.opening))
    count, labels, stats, _ = cv2.connectedComponentsWithStats(core, connectivity=8)
    areas = stats[:, cv2.CC_STAT_AREA].astype(np.float64)
    large = areas >= least
    large[0] = False  # the background label

    def extent(chosen: np.ndarray) -> np.ndarray:
        cores = (chosen & large)[labels]
        return cv2.dilate(cores.view(np.uint8), _disc(settings.opening + 1)).astype(bool) & mask

    return labels, count, areas, large, extent


def _region_means(labels: np.ndarray, count: int, areas: np.ndarray, values: np.ndarray) -> np.ndarray:
    sums = np.bincount(labels.ravel(), weights=values.ravel(), minlength=count)
    return sums / np.maximum(areas, 1.0)


def _joined(labels: np.ndarray, count: int, sure: np.ndarray, both: np.ndarray) -> np.ndarray:
    """Per region: whether the segmenter's sure mask runs unbroken from it into
    the person both networks see. A body under a head, an arm beside a torso
    are joined so; a second person standing apart is not, even where the
    segmenter's half-way mask merges the two, once its values dip between them."""
    _, pieces = cv2.connectedComponents(sure.view(np.uint8), connectivity=8)
    agreed_pieces = np.unique(pieces[both & sure])
    touching = np.isin(pieces, agreed_pieces[agreed_pieces > 0])
    return np.bincount(labels[touching].ravel(), minlength=count) > 0


def fuse(segmenter_plane: np.ndarray, saliency_plane: np.ndarray, settings: FusionSettings = DEFAULT) -> FusedMatte:
    """The fused coarse plane at SIZE x SIZE for `refine.refine`, and the
    confidence. Both planes cover the whole photograph (any size; brought to
    SIZE x SIZE bilinearly), values in [0, 1]."""
    s = _as_plane(segmenter_plane, "segmenter plane")
    u = _as_plane(saliency_plane, "saliency plane")
    person, salient = s > 0.5, u > 0.5
    lost = settings.segmenter_least * np.count_nonzero(salient)  # 3: so few pixels kept lose the person
    if np.count_nonzero(person) < lost:
        return _saliency_alone(u, person, salient, settings)
    both = person & salient
    agreed = np.count_nonzero(both)
    least = max(1.0, settings.least_region * agreed)
    plane = 0.5 * (s + u)

    # 2a: saliency alone, where the segmenter gives it too little support.
    only = salient & ~person
    labels, count, areas, large, extent = _regions(only, least, settings)
    drop_salient = extent(_region_means(labels, count, areas, s) < settings.segmenter_support)

    # 2b: the segmenter alone: kept unless it is unsure of it, or it is a
    # second figure standing apart from the person both see.
    only = person & ~salient
    labels, count, areas, large, extent = _regions(only, least, settings)
    sure_mask = s > 0.9
    sure = _region_means(labels, count, areas, sure_mask.astype(np.float32))
    on_person = agreed > 0 and agreed >= settings.saliency_inside * np.count_nonzero(salient)
    figure = large & (sure >= settings.segmenter_sure) & (areas >= settings.figure_least * agreed)
    separate = ~_joined(labels, count, sure_mask, both)
    drop = (sure < settings.segmenter_sure) | (on_person & figure & separate)
    # 2c: kept regions that wrap over the top and a side are left disputed.
    wraps = np.zeros(count, bool)
    for k in np.flatnonzero(large & ~drop) if settings.dispute_wrapping else ():
        region = extent(np.arange(count) == k)
        wraps[k] = region[0].any() and (region[:, 0].any() or region[:, -1].any())
    drop_person = extent(drop)
    disputed = extent(wraps) & ~drop_person
    keep_person = extent(~drop & ~wraps) & ~drop_person & ~disputed

    plane[drop_salient] = s[drop_salient]
    plane[drop_person] = u[drop_person]
    plane[keep_person] = s[keep_person]
    if np.count_nonzero(plane > 0.5) < lost:
        return _saliency_alone(u, person, salient, settings)
    # A wide region dropped, kept at the segmenter's value or disputed
    # against its sure answer overrules one network there. One u2netp alone
    # sees and the segmenter half supports is averaged (hair, mostly) and
    # already counts as unsure.
    return _graded(plane, person, salient, drop_salient | drop_person,
                   drop_salient | drop_person | keep_person | disputed, settings)


def _saliency_alone(u: np.ndarray, person: np.ndarray, salient: np.ndarray, settings: FusionSettings) -> FusedMatte:
    """The saliency network's plane as the cut-out, against the segmenter
    on all of the person it sees (rule 3)."""
    return _graded(u.copy(), person, salient, person & ~salient, salient & ~person, settings)


def _graded(plane: np.ndarray, person: np.ndarray, salient: np.ndarray, dropped_mask: np.ndarray,
            against: np.ndarray, settings: FusionSettings) -> FusedMatte:
    """The fused plane with its confidence, every grade read off the result:
    `dropped_mask` is what one network called person and the plane dropped,
    `against` what the plane decided against one of the networks."""
    plane = np.clip(plane, 0.0, 1.0).astype(np.float32)
    kept_mask = plane > 0.5
    unsure = unsure_share(plane)
    dropped = float(np.count_nonzero(dropped_mask) / plane.size)
    overruled = float(np.count_nonzero(against) / max(1, np.count_nonzero(person | salient)))
    kept = float(np.count_nonzero(kept_mask & person) / np.count_nonzero(person)) if person.any() else 1.0
    agreement = iou(person, salient)
    confidence = confidence_of(unsure, settings, overruled=overruled, kept=kept, agreement=agreement)
    return FusedMatte(plane, confidence, agreement, unsure, dropped, confidence < settings.review_below,
                      overruled, kept)


def confidence_of(unsure: float, settings: FusionSettings = DEFAULT, *, overruled: float = 0.0,
                  kept: float = 1.0, agreement: float = 1.0) -> float:
    """The product of four grades of the result, each in [0, 1], so that any
    one failing sinks it: how little of the picture is unsure, how little of
    the person the rule decided against a network, how much of the
    segmenter's person is kept, and how far the networks agree on where the
    person is."""
    grades = (1.0 - unsure / settings.unsure_limit,
              1.0 - overruled / settings.overruled_limit,
              kept / settings.kept_full,
              agreement / settings.agreement_full)
    return float(np.prod(np.clip(grades, 0.0, 1.0)))


def segmenter_confidence(segmenter_plane: np.ndarray, settings: FusionSettings = DEFAULT) -> float:
    """The confidence without the second network (the fast and model mattes):
    the segmenter's own unsure share, on the same scale."""
    return confidence_of(unsure_share(_as_plane(segmenter_plane, "segmenter plane")), settings)
