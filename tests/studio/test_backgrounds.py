"""Pictures and blurs behind the person.

A picture is checked against the smooth scene it was sampled from, not
against the resize it goes through; the blur against the true background
of a synthetic portrait whose person is strongly red on a blue-green
texture, and against a plain blur of the whole photograph (the halo it must
beat)."""

import pickle

import cv2
import numpy as np
import pytest

from portrait_studio.core import backdrop, compose
from portrait_studio.core.background import Background, parse_background
from portrait_studio.core.imageio import ImageError
from portrait_studio.core.letterbox import fit
from portrait_studio.core.request import Request
from portrait_studio.pipeline import Cutout

RNG = np.random.default_rng(18)


def scene(x, y):
    """A smooth B, G, R scene over [0, 1]^2: what a picture samples."""
    return np.stack([60 + 150 * x, 40 + 170 * y, 90 + 60 * np.sin(3 * x + 2 * y)], axis=-1)


def sampled(width, height, x0=0.0, x1=1.0, y0=0.0, y1=1.0):
    """The scene over [x0, x1] x [y0, y1] sampled at pixel centres."""
    x = x0 + (np.arange(width) + 0.5) / width * (x1 - x0)
    y = y0 + (np.arange(height) + 0.5) / height * (y1 - y0)
    return scene(*np.meshgrid(x, y))


def encoded(picture):
    return cv2.imencode(".png", np.clip(np.rint(picture), 0, 255).astype(np.uint8))[1].tobytes()


def covered_scene(picture_w, picture_h, width, height):
    """What covering width x height with a picture_w x picture_h sampling of
    the scene shows: the central window of the scene of the output's shape."""
    scale = max(width / picture_w, height / picture_h)
    span_x, span_y = width / (picture_w * scale), height / (picture_h * scale)
    return sampled(width, height, (1 - span_x) / 2, (1 + span_x) / 2, (1 - span_y) / 2, (1 + span_y) / 2)


def random_case(rows, columns):
    foreground = RNG.integers(0, 256, (rows, columns, 3), dtype=np.uint8)
    alpha = RNG.random((rows, columns), dtype=np.float32)
    alpha[:, ::7] = 0.0
    alpha[::5] = 1.0
    odd = np.array([np.nan, -0.5, 1.5], np.float32)  # what a model may give: the arithmetic, not a clip, decides
    alpha.flat[-3:] = odd[-alpha.size :]
    return foreground, alpha


@pytest.mark.parametrize("rows, columns", [(1, 1), (37, 53), (301, 499)])  # 301 x 499: split over threads
def test_a_picture_of_one_colour_is_the_colour_composite(rows, columns):
    foreground, alpha = random_case(rows, columns)
    for bgr in [(0, 0, 0), (255, 255, 255), (12, 200, 77), tuple(int(v) for v in RNG.integers(0, 256, 3))]:
        flat = Background(kind="picture", picture=encoded(np.full((13, 29, 3), bgr)), name="flat")
        assert np.array_equal(compose.composite(foreground, alpha, flat),
                              compose.composite(foreground, alpha, Background(bgr)))


@pytest.mark.parametrize(
    "picture_w, picture_h, width, height",
    [(400, 300, 200, 200), (300, 500, 320, 240), (120, 90, 640, 480), (500, 500, 333, 101)],
)
def test_a_picture_covers_the_output_centred(picture_w, picture_h, width, height):
    picture = sampled(picture_w, picture_h)
    shown = backdrop.cover(np.clip(np.rint(picture), 0, 255).astype(np.uint8), width, height)
    assert shown.shape == (height, width, 3)
    error = np.abs(shown - covered_scene(picture_w, picture_h, width, height))
    assert error.mean() < 1.0 and error.max() <= 3.0


def red_person_photo(width, height):
    """A strongly red person on a non-red scene: the red model's matte is
    exactly the person, 0 elsewhere."""
    photo = np.clip(np.rint(sampled(width, height)), 0, 255).astype(np.uint8)
    photo[..., 2] = np.minimum(photo[..., 2], photo[..., :2].max(axis=2))  # no red stands out of the scene
    y, x = np.mgrid[0:height, 0:width]
    person = (x - width / 2) ** 2 / (width / 5) ** 2 + (y - height * 0.6) ** 2 / (height / 3) ** 2 < 1
    photo[person] = (0, 0, 255)
    return photo, person


@pytest.mark.parametrize("size", [None, (300, 300), (200, 400)])
def test_outside_the_person_the_output_is_the_covering_picture(red_model, tmp_path, size):
    picture_path = tmp_path / "scene.png"
    picture_path.write_bytes(encoded(sampled(360, 240)))
    photo, person = red_person_photo(512, 512)  # the model's own input size: its matte needs no resize
    request = Request(matte="model", background=parse_background(str(picture_path)), size=size)
    out = Cutout(str(red_model)).produce(photo, request).picture
    width, height = size or (512, 512)
    assert out.shape == (height, width, 3)
    # Where the person lands once letterboxed, widened by the scale-down's reach.
    f = fit(512, 512, width, height)
    landed = np.zeros((height, width), np.uint8)
    landed[f.top : f.top + f.height, f.left : f.left + f.width] = cv2.resize(person.astype(np.uint8), (f.width, f.height))
    outside = cv2.dilate(landed, np.ones((5, 5), np.uint8)) == 0
    error = np.abs(out[outside] - covered_scene(360, 240, width, height)[outside])
    assert error.mean() < 1.0 and error.max() <= 3.0  # the borders too: no plain letterbox
    assert (out[landed.astype(bool) & ~cv2.dilate(1 - landed, np.ones((5, 5), np.uint8)).astype(bool)]
            == (0, 0, 255)).all()


def synthetic_portrait(rows=360, columns=480):
    """(photo, true background, alpha): a red person, soft-edged, on a
    blue-green checked and noisy texture that continues behind them."""
    grain = np.random.default_rng(rows * columns)  # the same portrait whichever tests run first
    y, x = np.mgrid[0:rows, 0:columns]
    texture = np.empty((rows, columns, 3), np.float32)
    checks = ((x // 12 + y // 12) % 2).astype(np.float32)
    texture[..., 0] = 150 + 70 * checks + grain.normal(0, 12, (rows, columns))
    texture[..., 1] = 170 - 60 * checks + grain.normal(0, 12, (rows, columns))
    texture[..., 2] = 30 + grain.normal(0, 6, (rows, columns))
    background = np.clip(texture, 0, 255)
    inside = ((x - columns / 2) ** 2 / (columns / 6) ** 2 + (y - rows * 0.65) ** 2 / (rows / 3) ** 2 < 1) | (
        (x - columns / 2) ** 2 + (y - rows * 0.28) ** 2 < (rows / 9) ** 2)
    alpha = cv2.GaussianBlur(inside.astype(np.float32), (0, 0), 1.5)  # a soft edge, as a refined matte has
    alpha[alpha < 1e-3], alpha[alpha > 1 - 1e-3] = 0.0, 1.0
    person = np.array([20, 10, 235], np.float32)
    photo = alpha[..., None] * person + (1 - alpha[..., None]) * background
    return np.rint(photo).astype(np.uint8), np.rint(background).astype(np.uint8), alpha


def laplacian_variance(picture, where):
    grey = cv2.cvtColor(picture, cv2.COLOR_BGR2GRAY)
    return float(cv2.Laplacian(grey, cv2.CV_64F)[where].var())


def halo(blurred, background, alpha, sigma):
    """Mean B, G, R distance, in the band within 2 sigma outside the person,
    between a blurred background and the true background blurred alone."""
    truth = cv2.GaussianBlur(background, (0, 0), sigma).astype(np.float64)
    distance = cv2.distanceTransform((alpha == 0).astype(np.uint8), cv2.DIST_L2, 5)
    band = (distance > 0) & (distance <= 2 * sigma)
    return float(np.linalg.norm(blurred.astype(np.float64) - truth, axis=2)[band].mean())


# A narrow blur barely reaches past the matte's soft edge, so a plain blur's
# halo is small too; the margin asked grows with the blur.
@pytest.mark.parametrize("strength, margin", [(4.0, 1.5), (12.0, 5.0), (30.0, 5.0)])
def test_the_blur_keeps_the_person_and_leaves_no_halo(strength, margin):
    photo, background, alpha = synthetic_portrait()
    blur = Background(kind="blur", strength=strength)
    out = compose.compose(photo, photo, alpha, blur)
    sure = alpha == 1
    assert np.array_equal(out[sure], photo[sure])
    away = cv2.distanceTransform((alpha == 0).astype(np.uint8), cv2.DIST_L2, 5) > 3
    assert laplacian_variance(out, away) < 0.2 * laplacian_variance(photo, away)

    sigma = backdrop.blur_sigma(strength, *alpha.shape)
    ours = halo(backdrop.blurred_background(photo, alpha, strength), background, alpha, sigma)
    naive = halo(cv2.GaussianBlur(photo, (0, 0), sigma), background, alpha, sigma)
    assert ours < 4.0 and ours < naive / margin, (ours, naive)


def test_with_no_person_the_blur_is_a_plain_blur_and_with_no_background_the_photograph():
    photo, _, _ = synthetic_portrait()
    nobody = np.zeros(photo.shape[:2], np.float32)
    sigma = backdrop.blur_sigma(12.0, *nobody.shape)
    difference = np.abs(backdrop.blurred_background(photo, nobody, 12.0).astype(int)
                        - cv2.GaussianBlur(photo, (0, 0), sigma).astype(int))
    assert difference.mean() < 1.5
    everyone = np.ones(photo.shape[:2], np.float32)
    blur = Background(kind="blur")
    assert np.array_equal(compose.compose(photo, photo, everyone, blur), photo)
    # Letterboxed, the blur covers the whole size: no plain border above and below.
    letterboxed = compose.compose(photo, photo, nobody, blur, (300, 500))
    assert np.array_equal(letterboxed, backdrop.cover(backdrop.blurred_background(photo, nobody, 12.0), 300, 500))


def test_a_picture_is_decoded_once_per_process_and_refused_by_name():
    photo, _, alpha = synthetic_portrait(60, 80)
    picture = Background(kind="picture", picture=encoded(sampled(90, 70)), name="beach.png")
    before = backdrop.decoded_picture.cache_info().misses
    for copy in (picture, picture, pickle.loads(pickle.dumps(picture))):  # as each Dask task unpickles it
        compose.compose(photo, photo, alpha, copy)
        compose.compose(photo, photo, alpha, copy, (40, 40))
    assert backdrop.decoded_picture.cache_info().misses == before + 1
    broken = Background(kind="picture", picture=b"\x89PNG\r\n\x1a\n not really", name="holiday.png")
    with pytest.raises(ImageError, match="the background picture holiday.png"):
        compose.compose(photo, photo, alpha, broken)
