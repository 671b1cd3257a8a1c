"""From the model's coarse matte to a full-size alpha matte and foreground.

    model plane -> trimap (band along the edge) -> closed-form alpha in the band
    (about one megapixel) -> guided upsampling to full size -> foreground colours

For two networks' fused plane (`FUSED`) a pass comes first: its disputed
middle values are solved with the band and decided person or background.

Every pass over pixels runs in `portrait_studio._native`; this module picks
the sizes and settings and hands arrays between the passes (and, deciding
the disputed values, thresholds one).
"""

from __future__ import annotations

import math
from dataclasses import dataclass, replace

import cv2
import numpy as np

from .. import _native


@dataclass(frozen=True)
class Settings:
    """The refinement's knobs, chosen by measurement (bench/bench_refine.py)."""

    working_pixels: int = 1_000_000  # the solve's resolution
    # The band runs along the coarse matte's half-way contour: the model's
    # soft values are a poor guide to where the edge is unsure (a narrower
    # band with these thresholds measured best on the reference portraits).
    background_to: float = 0.5  # coarse matte values at most this are background...
    person_from: float = 0.5  # ... at least this person, when no pixel within the band disagrees
    band: float = 0.005  # the unknown band's half width, as a share of the working picture's longer side
    min_band: int = 2  # ... and never under this many working pixels
    epsilon: float = 1e-5  # the matting Laplacian's regularisation
    max_iterations: int = 60  # stopping early keeps more of the coarse guess and measured best
    tolerance: float = 1e-4  # the solver stops at |r| <= tolerance |b|
    guide_radius: int = 2  # the upsampling's window, in working pixels
    guide_epsilon: float = 1e-4
    # Coarse values strictly between these two are disputed: solved first as
    # a wide band and decided whole (above or below one half), before the
    # band above is laid along the edge that decision leaves. None: no such
    # pass (one network's plane).
    disputed: tuple[float, float] | None = None


DEFAULT = Settings()

# The fused plane of two networks (core.fusion) is their mean where they
# disagree, so its middle values mark where one network says person and the
# other does not: there the photograph's colours decide. Deciding them whole,
# rather than keeping the solve's values there, leaves no faint ghost of a
# piece of background one network took; the edge that results gets the
# usual narrow band. One network's soft values carry no such meaning (above).
# Chosen on the quality set's tuning part (bench/tune_fusion.py).
FUSED = replace(DEFAULT, disputed=(0.25, 0.75))


def working_size(rows: int, columns: int, pixels: int) -> tuple[int, int]:
    scale = min(1.0, math.sqrt(pixels / float(rows * columns)))
    return max(1, round(rows * scale)), max(1, round(columns * scale))


def band_radius(rows: int, columns: int, settings: Settings = DEFAULT) -> int:
    return max(settings.min_band, round(settings.band * max(rows, columns)))


def trimap(matte: np.ndarray, radius: int, settings: Settings = DEFAULT) -> np.ndarray:
    """0 sure background, 255 sure person, 128 the band to solve."""
    out = np.empty(matte.shape, np.uint8)
    _native.trimap(np.ascontiguousarray(matte, np.float32), out, settings.background_to, settings.person_from, radius)
    return out


def solve(image: np.ndarray, trimap: np.ndarray, guess: np.ndarray, settings: Settings = DEFAULT) -> tuple[np.ndarray, int]:
    """Closed-form alpha where the trimap is 128, starting from `guess`;
    (alpha, iterations)."""
    alpha = np.array(guess, np.float32, order="C")
    iterations, _ = _native.solve_alpha(
        np.ascontiguousarray(image), np.ascontiguousarray(trimap), alpha,
        settings.epsilon, settings.max_iterations, settings.tolerance,
    )
    return alpha, iterations


def decide_disputed(photo: np.ndarray, coarse: np.ndarray, usual: np.ndarray, radius: int,
                    settings: Settings) -> np.ndarray:
    """`coarse` with its disputed values beyond the `usual` trimap's band set
    to 0 or 1 by a closed-form solve over them and the band together; `coarse`
    itself where there are none."""
    low, high = settings.disputed
    if not (0.0 <= low <= settings.background_to and settings.person_from <= high <= 1.0):
        raise ValueError(f"disputed values {settings.disputed} must take in the band's own thresholds")
    broad = trimap(coarse, radius, replace(settings, background_to=low, person_from=high))
    ring = (broad == 128) & (usual != 128)
    if not ring.any():
        return coarse
    alpha, _ = solve(photo, broad, coarse, settings)
    decided = coarse.copy()
    decided[ring] = alpha[ring] > 0.5
    return decided


def refine(photo: np.ndarray, plane: np.ndarray, settings: Settings = DEFAULT,
           foreground: bool = True) -> tuple[np.ndarray, np.ndarray | None]:
    """(alpha, foreground) at the photograph's size for the model's `plane`
    (values in [0, 1]); alpha is float32 in [0, 1], foreground uint8 B, G, R,
    or None unless asked for (a mask or an ID photo needs only the alpha, and
    the foreground is a third of the work)."""
    photo = np.ascontiguousarray(photo)
    rows, columns = photo.shape[:2]
    work_rows, work_columns = working_size(rows, columns, settings.working_pixels)
    if (work_rows, work_columns) == (rows, columns):
        working_photo = photo
    else:
        working_photo = cv2.resize(photo, (work_columns, work_rows), interpolation=cv2.INTER_AREA)
    coarse = cv2.resize(np.ascontiguousarray(plane, np.float32), (work_columns, work_rows), interpolation=cv2.INTER_LINEAR)

    radius = band_radius(work_rows, work_columns, settings)
    regions = trimap(coarse, radius, settings)
    if settings.disputed is not None:
        decided = decide_disputed(working_photo, coarse, regions, radius, settings)
        if decided is not coarse:  # the band follows the edge the decision left
            coarse, regions = decided, trimap(decided, radius, settings)
    working_alpha, _ = solve(working_photo, regions, coarse, settings)

    # The guided filter reaches `guide_radius` beyond the band; sure pixels
    # further out are copied as they are.
    band = np.empty_like(regions)
    _native.dilate((regions == 128).view(np.uint8), band, settings.guide_radius)
    alpha = np.empty((rows, columns), np.float32)
    _native.guided_upsample(working_photo, working_alpha, band, settings.guide_radius, settings.guide_epsilon, photo, alpha)

    if not foreground:
        return alpha, None
    working_foreground = np.empty((work_rows, work_columns, 3), np.float32)
    _native.estimate_foreground(working_photo, working_alpha, working_foreground)
    colours = np.empty_like(photo)
    _native.full_size_foreground(working_foreground, working_photo, photo, alpha, colours)
    return alpha, colours
