"""Numeric passes of the product layer (C++, bound with nanobind).

Arrays are NumPy, C-contiguous, never converted: a wrong dtype, number of
dimensions, channel count, a strided view or a read-only output raises
TypeError naming the argument; extents that must agree between arguments
raise ValueError naming both. Outputs (`out`, and `alpha` of solve_alpha) are
written in place. Every pass runs with the GIL released, on at most
`thread_budget()` threads of the calling Python thread's budget.

Colours are B, G, R; a matte or alpha is float32 with 1 = person.
"""

import numpy as np
from numpy.typing import NDArray

U8 = NDArray[np.uint8]
F32 = NDArray[np.float32]

def model_input(photo: U8, out: F32) -> None:
    """The model's input values of a B, G, R photograph (rows, columns, 3): R, G, B float32
    (v / 255 - 0.5) / 0.5, bit for bit the engine's NumPy steps."""

def blend_over_white(photo: U8, matte: F32, out: U8) -> None:
    """The engine's blend of the photograph over white by the matte, saturated and truncated to
    bytes as its own pictures are."""

def trimap(matte: F32, out: U8, background_to: float, person_from: float, radius: int) -> None:
    """Trimap of a float32 matte: 255 (sure person) where every matte value within `radius`
    (a square window) is at least `person_from`, 0 (sure background) where every one is at most
    `background_to`, 128 (to solve) elsewhere; NaN is neither."""

def dilate(mask: U8, out: U8, radius: int) -> None:
    """Square dilation by `radius` of a uint8 mask; out is 0 / 1."""

def solve_alpha(
    image: U8, trimap: U8, alpha: F32, epsilon: float, max_iterations: int, tolerance: float
) -> tuple[int, float]:
    """Closed-form matting (Levin et al.) in the trimap's unknown band: conjugate gradients on the
    matting Laplacian's rows (3 x 3 windows, regularised by `epsilon`) with the trimap's 0 / 255
    as hard constraints, starting from `alpha`'s values, which it overwrites with the result,
    clipped to [0, 1]. Stops at |r| <= tolerance |b| or after `max_iterations`;
    returns (iterations, relative residual)."""

def guided_upsample(
    guide: U8, alpha: F32, band: U8, radius: int, epsilon: float, photo: U8, out: F32
) -> None:
    """The full-size matte (photo's size) from the working one: the fast guided filter's
    coefficients of `alpha` under `guide`, (2 radius + 1)^2 windows, found where `band` is
    nonzero, sampled bilinearly and applied to the full-size photo's colours, clipped to [0, 1].
    Where the band is absent the nearest working alpha is copied as it is."""

def estimate_foreground(
    image: U8,
    alpha: F32,
    out: F32,
    regularisation: float = 1e-5,
    gradient_weight: float = 1.0,
    small_sweeps: int = 10,
    large_sweeps: int = 2,
    small_size: int = 32,
) -> None:
    """Foreground colours in [0, 1] (float32, rows x columns x 3) such that
    image = alpha F + (1 - alpha) B with smooth F and B: multilevel red-black sweeps, coarse to
    fine, `small_sweeps` on levels up to `small_size` across, `large_sweeps` above."""

def full_size_foreground(
    working_foreground: F32, working_photo: U8, photo: U8, alpha: F32, out: U8
) -> None:
    """The uint8 foreground at the photograph's size: the photo plus the working foreground's
    correction (foreground - working photo) sampled bilinearly, where alpha is strictly between
    0 and 1; elsewhere the photo as it is."""

def composite(foreground: U8, alpha: F32, blue: float, green: float, red: float, out: U8) -> None:
    """alpha foreground + (1 - alpha) colour, rounded half to even into bytes."""

def composite_over_picture(foreground: U8, alpha: F32, picture: U8, out: U8) -> None:
    """alpha foreground + (1 - alpha) picture, pixel by pixel, in the colour composite's float32
    arithmetic: a picture of one colour gives that colour's composite byte for byte."""

def weigh_background(photo: U8, alpha: F32, weighted: F32, weight: F32) -> None:
    """How surely each pixel is background, weight = 1 - clip(alpha, 0, 1) (NaN: 1), and the
    photograph's colours times it (float32, rows x columns x 3): the two planes a normalised
    convolution blurs."""

def normalise_background(
    near_weighted: F32,
    near_weight: F32,
    wide_weighted: F32,
    wide_weight: F32,
    mean_blue: float,
    mean_green: float,
    mean_red: float,
    floor: float,
    out: U8,
) -> None:
    """The blurred background in bytes (half to even): near_weighted / near_weight where
    near_weight >= floor, fading linearly below it into the wide blur's ratio, and that in turn
    into the mean colour, so pixels with no background near them take it from further away."""

def composite_with_alpha(foreground: U8, alpha: F32, out: U8) -> None:
    """B, G, R, A (rows, columns, 4): the foreground with round(alpha * 255) as its alpha."""

def alpha_to_bytes(alpha: F32, out: U8) -> None:
    """round(alpha * 255), half to even, clipped to [0, 255]."""

def set_thread_budget(threads: int) -> None:
    """The most threads any pass started from this Python thread runs on (1: the calling thread
    alone); 0, the default, is the machine's cores (at most 8). Each Python thread has its own."""

def thread_budget() -> int:
    """This Python thread's budget (0: the machine's cores)."""
