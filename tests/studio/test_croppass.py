"""The second look on a crop around the person: the box and the pasting."""

from pathlib import Path

import cv2
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from portrait_studio import Cutout
from portrait_studio.core import croppass, fusion
from portrait_studio.core.compose import sanitise_alpha
from portrait_studio.core.saliency import Saliency, preprocess

DATA = Path(__file__).resolve().parents[1] / "data"


def plane_with(rows, columns, top, bottom, left, right, shape=(100, 100)):
    plane = np.zeros(shape, np.float32)
    plane[top:bottom, left:right] = 1.0
    return plane, rows, columns


@pytest.mark.parametrize("case, margin, expected", [
    # plane pixels 40..60 of 100 on a 1000 x 500 photograph: rows 400..600, columns 200..300
    (plane_with(1000, 500, 40, 60, 40, 60), 0.0, (400, 600, 200, 300)),
    (plane_with(1000, 500, 40, 60, 40, 60), 0.25, (350, 650, 175, 325)),
    # padding runs off the frame: clipped to it
    (plane_with(1000, 500, 0, 20, 90, 100), 0.25, (0, 250, 437, 500)),
    # a person filling the frame, and nobody: no second look
    (plane_with(1000, 500, 5, 100, 0, 100), 0.25, None),
    (plane_with(1000, 500, 0, 0, 0, 0), 0.25, None),
])
def test_person_box(case, margin, expected):
    plane, rows, columns = case
    assert croppass.person_box(plane, rows, columns, margin) == expected


@settings(max_examples=60, deadline=None)
@given(st.integers(4, 40), st.integers(4, 40), st.integers(40, 900), st.integers(40, 900), st.integers(0, 10**6),
       st.floats(0.0, 0.5))
def test_the_box_holds_every_person_pixel_and_stays_in_the_frame(height, width, rows, columns, seed, margin):
    plane = (np.random.default_rng(seed).random((height, width)) > 0.93).astype(np.float32)
    box = croppass.person_box(plane, rows, columns, margin)
    # The plane stretched to the photograph, as the networks' planes cover it.
    person = cv2.resize(plane, (columns, rows), interpolation=cv2.INTER_NEAREST) > 0.5
    if box is None:  # nobody, or a person whose padded extent reaches every edge
        if plane.any():
            ys, xs = np.flatnonzero(person.any(1)), np.flatnonzero(person.any(0))
            reach_y, reach_x = margin * (ys[-1] + 1 - ys[0]) + 2, margin * (xs[-1] + 1 - xs[0]) + 2
            assert ys[0] <= reach_y and rows - 1 - ys[-1] <= reach_y
            assert xs[0] <= reach_x and columns - 1 - xs[-1] <= reach_x
        return
    assert 0 <= box.top < box.bottom <= rows and 0 <= box.left < box.right <= columns
    assert box != (0, rows, 0, columns)
    inside = np.zeros_like(person)
    inside[box.top:box.bottom, box.left:box.right] = True
    assert not (person & ~inside).any()


@pytest.mark.parametrize("box", [croppass.Box(100, 700, 50, 300), croppass.Box(0, 1000, 0, 250),
                                 croppass.Box(333, 334, 10, 490)])
def test_the_pasted_plane_is_the_first_pass_outside_the_box_and_the_crop_inside(box):
    rows, columns, size = 1000, 500, 320
    rng = np.random.default_rng(box.top)
    full, crop = rng.random((256, 256)).astype(np.float32), rng.random((320, 320)).astype(np.float32)
    pasted = croppass.paste(full, crop, box, rows, columns, size)
    first = cv2.resize(full, (size, size), interpolation=cv2.INTER_LINEAR)
    y0, y1 = round(box.top * size / rows), round(box.bottom * size / rows)
    x0, x1 = round(box.left * size / columns), round(box.right * size / columns)
    outside = np.ones((size, size), bool)
    outside[y0:y1, x0:x1] = False
    assert pasted.shape == (size, size) and pasted.dtype == np.float32
    np.testing.assert_array_equal(pasted[outside], first[outside])
    if y1 > y0 and x1 > x0:
        np.testing.assert_array_equal(pasted[y0:y1, x0:x1],
                                      cv2.resize(crop, (x1 - x0, y1 - y0), interpolation=cv2.INTER_LINEAR))


@pytest.fixture(scope="module")
def cutout():
    return Cutout(threads=1)


def test_a_small_person_gets_a_second_look_and_the_rest_is_the_first_pass(cutout):
    """Differential: the product's planes against both passes run by hand."""
    person = cv2.imread(str(DATA / "p_22fc0130.jpg"))
    rows, columns = 2 * person.shape[0], 3 * person.shape[1]
    photo = np.full((rows, columns, 3), 90, np.uint8)
    photo[rows // 2:, columns // 3:2 * columns // 3] = cv2.resize(person, (columns // 3, rows // 2))
    size = (256, 256)
    first = sanitise_alpha(cutout.segmenter.plane(photo, size))
    box = croppass.person_box(first, rows, columns)
    assert box is not None and box.left > 0 and box.top > 0  # the plain wall on either side is left out
    crop = np.ascontiguousarray(photo[box.top:box.bottom, box.left:box.right])
    second = Saliency(threads=1)
    expected = (croppass.paste(first, sanitise_alpha(cutout.segmenter.plane(crop, size)), box, rows, columns, 320),
                croppass.paste(second.plane(photo), second.plane_of_input(preprocess(crop)), box, rows, columns, 320))
    planes = cutout.network_planes(photo, size)
    for got, want in zip(planes, expected, strict=True):
        np.testing.assert_array_equal(got, want)
    # The second look saw something the first did not, and the fusion takes the planes as they are.
    assert not np.array_equal(planes[0], cv2.resize(first, (320, 320)))
    assert fusion.fuse(*planes).plane.shape == (fusion.SIZE, fusion.SIZE)


def test_a_person_filling_the_frame_keeps_the_first_pass(cutout):
    photo = cv2.imread(str(DATA / "p_22fc0130.jpg"))
    first = sanitise_alpha(cutout.segmenter.plane(photo, (256, 256)))
    if croppass.person_box(first, *photo.shape[:2]) is not None:
        pytest.skip("the reference portrait leaves room around its person")
    planes = cutout.network_planes(photo, (256, 256))
    np.testing.assert_array_equal(planes[0], first)
