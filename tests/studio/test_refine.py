"""Refined cut-outs: the native passes against independent references, the
refinement's promises, and the default cut-out."""

from dataclasses import replace
from pathlib import Path

import cv2
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from portrait_studio import Cutout, Request, _native, alpha_to_byte, composite
from portrait_studio.core import refine
from portrait_studio.core.background import TRANSPARENT, parse_background
from portrait_studio.core.models import model_input_for_shrink

SAMPLE = Path(__file__).resolve().parents[2] / "samples" / "astronaut.png"
ASTRONAUT = cv2.imread(str(SAMPLE))


def disc_trimap(rows, columns, inner, outer):
    """Person inside `inner`, background outside `outer`, unknown between."""
    y, x = np.mgrid[:rows, :columns]
    distance = np.hypot(y - rows / 2, x - columns / 2)
    return np.where(distance < inner, 255, np.where(distance > outer, 0, 128)).astype(np.uint8)


# -- the solver against pymatting ------------------------------------------------------


@pytest.mark.parametrize("epsilon", [1e-7, 1e-5])
@pytest.mark.parametrize("crop", [(200, 230, 48, 40), (60, 300, 37, 53)])
def test_solver_matches_pymatting_closed_form(epsilon, crop):
    from pymatting import estimate_alpha_cf

    top, left, rows, columns = crop
    image = np.ascontiguousarray(ASTRONAUT[top:top + rows, left:left + columns])
    trimap = disc_trimap(rows, columns, rows / 5, rows / 2.5)
    expected = estimate_alpha_cf(image[:, :, ::-1] / 255.0, trimap / 255.0, laplacian_kwargs={"epsilon": epsilon},
                                 cg_kwargs={"rtol": 1e-12, "maxiter": 20000})
    alpha = np.full(trimap.shape, 0.5, np.float32)
    iterations, residual = _native.solve_alpha(image, trimap, alpha, epsilon, 20000, 1e-12)
    assert residual <= 1e-12 and iterations < 20000
    # float32 output of a float64 solve that both ran to 1e-12
    np.testing.assert_allclose(alpha, expected, atol=2e-5, rtol=0)


@settings(max_examples=25, deadline=None)
@given(
    image=hnp.arrays(np.uint8, st.tuples(st.integers(1, 24), st.integers(1, 24), st.just(3))),
    seed=st.integers(0, 2**32 - 1),
    cap=st.integers(0, 30),
    guess=st.sampled_from([0.5, np.nan, 7.0, -3.0]),
)
def test_solver_stays_in_range_keeps_knowns_and_stops(image, seed, cap, guess):
    trimap = np.random.default_rng(seed).choice(np.array([0, 128, 255], np.uint8), size=image.shape[:2])
    alpha = np.full(trimap.shape, guess, np.float32)
    iterations, _ = _native.solve_alpha(image, trimap, alpha, 1e-5, cap, 1e-9)
    assert iterations <= cap
    assert np.all((alpha >= 0) & (alpha <= 1))
    np.testing.assert_array_equal(alpha[trimap == 255], 1.0)
    np.testing.assert_array_equal(alpha[trimap == 0], 0.0)


@settings(max_examples=30, deadline=None)
@given(
    matte=hnp.arrays(np.float32, st.tuples(st.integers(1, 40), st.integers(1, 40)),
                     elements=st.sampled_from([0.0, 0.05, 0.5, 0.95, 1.0, np.nan])),
    radius=st.integers(0, 6),
)
def test_trimap_is_thresholding_then_square_erosion(matte, radius):
    square = np.ones((2 * radius + 1, 2 * radius + 1), np.uint8)
    erode = lambda mask: cv2.erode(mask.astype(np.uint8), square, borderType=cv2.BORDER_CONSTANT, borderValue=1)  # noqa: E731
    person, background = erode(matte >= 0.9), erode(matte <= 0.1)
    expected = np.where(person == 1, 255, np.where(background == 1, 0, 128)).astype(np.uint8)
    out = np.empty(matte.shape, np.uint8)
    _native.trimap(matte, out, 0.1, 0.9, radius)
    np.testing.assert_array_equal(out, expected)


def test_trimap_band_follows_the_edge_not_the_frame():
    matte = np.zeros((60, 80), np.float32)
    matte[20:, 30:50] = 1.0  # a person standing on the bottom edge
    trimap = refine.trimap(matte, 3)
    unknown = trimap == 128
    assert set(np.unique(trimap)) == {0, 128, 255}
    assert unknown[17:23, 30:50].all() and unknown[20:, 27:33].all()  # around the top and the sides
    assert not unknown[-1, 36:44].any()  # not along the bottom edge of the picture
    assert (trimap[:14] == 0).all() and (trimap[26:, 36:44] == 255).all()


def _read_only(array):
    array.flags.writeable = False
    return array


_IMAGE, _TRIMAP, _ALPHA = np.zeros((8, 9, 3), np.uint8), np.zeros((8, 9), np.uint8), np.zeros((8, 9), np.float32)
BAD_CALLS = {
    "float64 image": lambda: _native.solve_alpha(_IMAGE.astype(float), _TRIMAP, _ALPHA.copy(), 1e-5, 5, 1e-4),
    "trimap of another size": lambda: _native.solve_alpha(_IMAGE, _TRIMAP[:4], _ALPHA.copy(), 1e-5, 5, 1e-4),
    "read-only alpha": lambda: _native.solve_alpha(_IMAGE, _TRIMAP, _read_only(_ALPHA.copy()), 1e-5, 5, 1e-4),
    "zero epsilon": lambda: _native.solve_alpha(_IMAGE, _TRIMAP, _ALPHA.copy(), 0.0, 5, 1e-4),
    "strided matte": lambda: _native.trimap(np.zeros((8, 18), np.float32)[:, ::2], _TRIMAP.copy(), 0.5, 0.5, 1),
    "negative radius": lambda: _native.dilate(_TRIMAP, _TRIMAP.copy(), -1),
    "two-channel composite": lambda: _native.composite(_IMAGE[:, :, :2].copy(), _ALPHA, 1, 2, 3, _IMAGE.copy()),
    "empty working matte": lambda: _native.guided_upsample(_IMAGE[:0], _ALPHA[:0], _TRIMAP[:0], 1, 1e-4, _IMAGE, _ALPHA.copy()),
    "not an array": lambda: _native.alpha_to_bytes([0.5], _TRIMAP.copy()),
}


@pytest.mark.parametrize("call", BAD_CALLS.values(), ids=BAD_CALLS.keys())
def test_native_passes_refuse_bad_arrays(call):
    with pytest.raises((TypeError, ValueError, BufferError)):
        call()


def box_mean(planes, radius):
    """Means over (2 radius + 1)^2 windows clipped to the picture, by integral images."""
    rows, columns = planes.shape[:2]
    padded = np.zeros((rows + 1, columns + 1) + planes.shape[2:])
    padded[1:, 1:] = planes.cumsum(0).cumsum(1)
    y, x = np.mgrid[:rows, :columns]
    y0, y1 = np.maximum(y - radius, 0), np.minimum(y + radius + 1, rows)
    x0, x1 = np.maximum(x - radius, 0), np.minimum(x + radius + 1, columns)
    sums = padded[y1, x1] - padded[y0, x1] - padded[y1, x0] + padded[y0, x0]
    count = ((y1 - y0) * (x1 - x0)).reshape((rows, columns) + (1,) * (planes.ndim - 2))
    return sums / count


def guided_filter(guide, p, radius, epsilon):
    """He, Sun and Tang's guided filter with a colour guide, in NumPy."""
    mean_i, mean_p = box_mean(guide, radius), box_mean(p, radius)
    covariance = box_mean(guide[..., :, None] * guide[..., None, :], radius) - mean_i[..., :, None] * mean_i[..., None, :]
    cross = box_mean(guide * p[..., None], radius) - mean_i * mean_p[..., None]
    a = np.linalg.solve(covariance + epsilon * np.eye(3), cross[..., None])[..., 0]
    b = mean_p - (a * mean_i).sum(-1)
    return (box_mean(a, radius) * guide).sum(-1) + box_mean(b, radius)


# Taller pictures span several of the running sums' row strips, and a radius
# past a strip's height reaches across strips.
@pytest.mark.parametrize("radius, epsilon, rows", [(1, 1e-4, 40), (2, 1e-3, 40), (4, 1e-2, 40), (3, 1e-4, 150), (70, 1e-3, 150)])
def test_guided_upsampling_at_full_size_is_the_guided_filter(radius, epsilon, rows):
    guide = np.ascontiguousarray(ASTRONAUT[150 : 150 + rows, 200:255])
    alpha = person_plane(rows, 55)
    out = np.empty(alpha.shape, np.float32)
    _native.guided_upsample(guide, alpha, np.ones(alpha.shape, np.uint8), radius, epsilon, guide, out)
    expected = np.clip(guided_filter(guide / 255.0, alpha.astype(np.float64), radius, epsilon), 0, 1)
    np.testing.assert_allclose(out, expected, atol=2e-5)


# -- foreground and composite --------------------------------------------------------------


def test_foreground_recovers_known_colours_and_agrees_with_pymatting():
    from pymatting import estimate_foreground_ml

    rows, columns = 40, 64
    alpha = np.tile(np.linspace(0, 1, columns, dtype=np.float32), (rows, 1))
    person, backdrop = np.array([40, 180, 90]), np.array([230, 120, 20])  # B, G, R
    image = np.rint(alpha[..., None] * person + (1 - alpha[..., None]) * backdrop).astype(np.uint8)
    ours = np.empty((rows, columns, 3), np.float32)
    _native.estimate_foreground(image, alpha, ours)
    seen = alpha > 0.1
    assert np.abs(ours[seen] * 255 - person).max() < 3
    theirs = estimate_foreground_ml(image / 255.0, alpha.astype(np.float64))
    assert np.abs(ours[seen] - theirs[seen]).mean() < 2 / 255


def test_full_size_foreground_at_working_size_is_the_estimate():
    photo = np.ascontiguousarray(ASTRONAUT[100:160, 100:180])
    alpha = np.tile(np.linspace(0, 1, 80, dtype=np.float32), (60, 1))
    estimate = np.empty(photo.shape, np.float32)
    _native.estimate_foreground(photo, alpha, estimate)
    out = np.empty_like(photo)
    _native.full_size_foreground(estimate, photo, photo, alpha, out)
    soft = (alpha > 0) & (alpha < 1)
    assert np.abs(out[soft].astype(np.float32) - estimate[soft] * 255).max() <= 0.5 + 1e-3
    np.testing.assert_array_equal(out[~soft], photo[~soft])


@settings(max_examples=40, deadline=None)
@given(
    foreground=hnp.arrays(np.uint8, st.tuples(st.integers(1, 40), st.integers(1, 40), st.just(3))),
    data=st.data(),
    colour=st.tuples(*[st.integers(0, 255)] * 3),
)
def test_composites_equal_the_formula(foreground, data, colour):
    values = st.floats(0, 1, width=32) | st.sampled_from([0.0, 1.0, 0.5, 1 / 255, 254.5 / 255])
    alpha = data.draw(hnp.arrays(np.float32, foreground.shape[:2], elements=values))
    a = alpha[..., None]
    expected = np.clip(np.rint(a * foreground.astype(np.float32) + (np.float32(1) - a) * np.float32(colour)), 0, 255)
    background = parse_background("#{:02x}{:02x}{:02x}".format(*colour[::-1]))
    np.testing.assert_array_equal(composite(foreground, alpha, background), expected.astype(np.uint8))
    alpha_bytes = np.rint(alpha * np.float32(255)).astype(np.uint8)
    np.testing.assert_array_equal(alpha_to_byte(alpha), alpha_bytes)
    np.testing.assert_array_equal(composite(foreground, alpha, TRANSPARENT), np.dstack([foreground, alpha_bytes]))


@settings(max_examples=20, deadline=None)
@given(photo=hnp.arrays(np.uint8, st.tuples(st.integers(1, 300), st.integers(1, 300), st.just(3))))
def test_model_input_is_bit_identical_to_numpy(photo):
    expected = (cv2.cvtColor(photo, cv2.COLOR_BGR2RGB).astype(np.float32) / 255.0 - [0.5, 0.5, 0.5]) / [0.5, 0.5, 0.5]
    out = np.empty(photo.shape, np.float32)
    _native.model_input(photo, out)
    np.testing.assert_array_equal(out, expected.astype(np.float32))


@settings(max_examples=60, deadline=None)
@given(rows=st.integers(1, 2500), columns=st.integers(1, 40), target=st.integers(1, 300), width=st.integers(1, 60),
       seed=st.integers(0, 2**32 - 1))
def test_converting_only_the_rows_a_shrink_reads_gives_the_same_shrink(rows, columns, target, width, seed):
    """Rows left unconverted hold NaN here, so any that the resize reads would show."""
    photo = np.random.default_rng(seed).integers(0, 256, (rows, columns, 3), dtype=np.uint8)
    full = np.empty(photo.shape, np.float32)
    _native.model_input(photo, full)
    partial = model_input_for_shrink(photo, target, np.full(photo.shape, np.nan, np.float32))
    size = (width, target)
    np.testing.assert_array_equal(cv2.resize(partial, size, interpolation=cv2.INTER_LINEAR),
                                  cv2.resize(full, size, interpolation=cv2.INTER_LINEAR))
    assert np.array_equal(model_input_for_shrink(photo, target), full) == (rows < 3 * target)


# -- the refinement ------------------------------------------------------------------------------


def person_plane(rows=64, columns=64):
    y, x = np.mgrid[:rows, :columns]
    return (np.hypot(y - rows / 2, x - columns / 2) < rows / 3).astype(np.float32)


PLANES = {
    "person": person_plane(),
    "all person": np.ones((64, 64), np.float32),
    "all background": np.zeros((64, 64), np.float32),
    "half everywhere": np.full((64, 64), 0.5, np.float32),
    "NaN and out of range": np.where(person_plane() > 0, 7.0, np.where(np.eye(64) > 0, np.nan, -3.0)).astype(np.float32),
}


@pytest.mark.parametrize("size", [(512, 512), (3, 2), (1, 1), (1500, 900)])
@pytest.mark.parametrize("kind", list(PLANES))
def test_refinement_gives_a_sound_picture(kind, size):
    from portrait_studio.core.compose import sanitise_alpha

    photo = np.ascontiguousarray(cv2.resize(ASTRONAUT, size[::-1], interpolation=cv2.INTER_AREA))
    alpha, foreground = refine.refine(photo, sanitise_alpha(PLANES[kind]))
    assert alpha.shape == photo.shape[:2] and alpha.dtype == np.float32 and foreground.shape == photo.shape
    assert np.all((alpha >= 0) & (alpha <= 1))
    np.testing.assert_array_equal(foreground[alpha == 1], photo[alpha == 1])
    if kind == "all person":
        assert (alpha == 1).all()
    elif kind == "all background":
        assert (alpha == 0).all()
    elif kind == "half everywhere":  # no edge anywhere: one flat answer, not a pattern from nowhere
        assert alpha.min() == alpha.max()


def test_confident_regions_are_untouched():
    photo = ASTRONAUT
    plane = person_plane()
    alpha, _ = refine.refine(photo, plane)
    stretched = cv2.resize(plane, photo.shape[1::-1], interpolation=cv2.INTER_LINEAR)
    far = refine.trimap(stretched, refine.band_radius(*photo.shape[:2]) + 3)  # beyond the band and the guide
    np.testing.assert_array_equal(alpha[far == 255], 1.0)
    np.testing.assert_array_equal(alpha[far == 0], 0.0)
    assert 0.02 < ((alpha > 0) & (alpha < 1)).mean() < 0.2  # the edge is soft, the rest is not


@pytest.mark.parametrize("wider", [True, False])
def test_fused_refinement_decides_where_the_networks_disagree(wider):
    """A disc on a plain ground; one network draws it 10 px too wide (or too
    narrow), the other exactly, so their mean is one half on the ring
    between. The fused settings let the colours decide that ring, whole: no
    faint ghost of it is left. One network's settings call it all person
    (or all background)."""
    rows = columns = 240
    y, x = np.mgrid[:rows, :columns]
    distance = np.hypot(y - rows / 2, x - columns / 2)
    truth = (distance < 60).astype(np.float64)
    photo = np.where(truth[..., None] > 0, (40, 60, 200), (200, 190, 170)).astype(np.uint8)
    photo = np.clip(photo + np.random.default_rng(3).normal(0, 4, photo.shape), 0, 255).astype(np.uint8)
    other = (distance < (70 if wider else 50)).astype(np.float32)
    fused = 0.5 * (truth.astype(np.float32) + other)
    alphas = {name: refine.refine(photo, fused, chosen, foreground=False)[0]
              for name, chosen in (("fused", refine.FUSED), ("single", refine.DEFAULT))}
    errors = {name: np.abs(alpha - truth).sum() for name, alpha in alphas.items()}
    ring = (truth != other) & (np.abs(distance - 60) > 3)  # the disputed ring, away from the true edge
    assert errors["fused"] < 0.1 * ring.sum() < errors["single"]
    faint = (alphas["fused"][ring] > 0.05) & (alphas["fused"][ring] < 0.95)
    assert faint.mean() < 0.01


@pytest.mark.parametrize("level", [0.3, 0.4, 0.6])
def test_a_disputed_piece_is_decided_whole_not_left_faint(level):
    """A patch one network took and the other did not (the fused plane at
    `level` over it), of a colour of its own: solved and kept as it came out,
    it would stay a faint ghost (the solve stops early); decided, it is gone
    or whole."""
    rows = columns = 240
    y, x = np.mgrid[:rows, :columns]
    person, patch = np.hypot(y - 120, x - 90) < 50, np.hypot(y - 120, x - 190) < 35
    photo = np.where(person[..., None], (40, 60, 200), (200, 190, 170)).astype(np.float64)
    photo[patch] = (90, 120, 100)
    photo = np.clip(photo + np.random.default_rng(3).normal(0, 4, photo.shape), 0, 255).astype(np.uint8)
    fused = person.astype(np.float32)
    fused[patch] = level
    inner = np.hypot(y - 120, x - 190) < 30
    kept = refine.refine(photo, fused, replace(refine.DEFAULT, background_to=0.25, person_from=0.75), foreground=False)[0]
    decided = refine.refine(photo, fused, refine.FUSED, foreground=False)[0]
    assert ((kept[inner] > 0.05) & (kept[inner] < 0.95)).mean() > 0.5  # the ghost this guards against
    assert ((decided[inner] > 0.05) & (decided[inner] < 0.95)).mean() < 0.01
    assert decided[np.hypot(y - 120, x - 90) < 40].min() > 0.99  # the person is untouched


def test_disputed_values_must_take_in_the_band():
    plane = np.full((16, 16), 0.5, np.float32)
    photo = np.zeros((16, 16, 3), np.uint8)
    for disputed in ((0.6, 0.7), (0.3, 0.4), (-0.1, 0.9), (0.1, 1.2)):
        with pytest.raises(ValueError, match="disputed"):
            refine.refine(photo, plane, refine.Settings(disputed=disputed), foreground=False)


# -- what users get --------------------------------------------------------------------------------


def test_refined_cutout_is_the_default_and_stays_near_the_model_matte():
    cutout = Cutout()
    refined = cutout.render(ASTRONAUT, Request(mask=True))
    np.testing.assert_array_equal(refined, alpha_to_byte(cutout.matte(ASTRONAUT)))
    model = cutout.render(ASTRONAUT, Request(matte="model", mask=True))
    difference = np.abs(refined.astype(int) - model)
    assert difference.any() and difference.mean() < 20
