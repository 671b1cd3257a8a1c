"""The second network's input and the fused matte built from both networks."""

from pathlib import Path

import cv2
import numpy as np
import pytest

from portrait_studio import Cutout
from portrait_studio.core import fusion, saliency
from portrait_studio.core.compose import sanitise_alpha
from portrait_studio.core.saliency import Saliency, SaliencyModelError

DATA = Path(__file__).resolve().parents[1] / "data"


def reference_input(photo: np.ndarray) -> np.ndarray:
    """Written from the network's documented recipe, for shrinks by whole
    factors, where area averaging is a plain block mean (rounded to 8 bits,
    as the shrunk picture is kept)."""
    rows, columns = photo.shape[:2]
    fy, fx = rows // 320, columns // 320
    rgb = photo[:, :, ::-1].astype(np.float64)
    small = np.floor(rgb.reshape(320, fy, 320, fx, 3).mean(axis=(1, 3)) + 0.5)
    peak = small.max() or 1.0
    std = np.array([0.229, 0.224, 0.225])
    small = (small / peak - [0.485, 0.456, 0.406]) / std
    # One 8-bit step of the shrunk picture, per channel: OpenCV's fixed-point
    # shrink may round a block mean the other way.
    return small.transpose(2, 0, 1)[None], (1 / (peak * std))[None, :, None, None]


@pytest.mark.parametrize("rows, columns, scale", [(640, 960, 255), (320, 320, 255), (960, 640, 40), (640, 640, 0)])
def test_preprocessing_matches_the_recipe(rows, columns, scale):
    # scale 40: a dark picture is stretched by its own maximum; 0: all black stays finite.
    photo = (np.random.default_rng(rows + columns).random((rows, columns, 3)) * scale).astype(np.uint8)
    tensor = saliency.preprocess(photo)
    assert tensor.shape == (1, 3, 320, 320) and tensor.dtype == np.float32
    expected, step = reference_input(photo)
    difference = np.abs(tensor - expected)
    assert (difference <= 1.01 * step + 1e-5).all()
    assert np.abs((tensor - expected) / step).mean() < 0.1  # a tie here and there, no drift


def test_normalise_stretches_and_a_flat_output_is_background():
    raw = np.linspace(-3, 5, 320 * 320, dtype=np.float32).reshape(1, 1, 320, 320)
    plane = saliency.normalise(raw)
    assert plane.min() == 0 and plane.max() == 1 and plane.dtype == np.float32
    assert not saliency.normalise(np.full((1, 1, 320, 320), 0.3, np.float32)).any()


@pytest.fixture(scope="module")
def networks():
    return Cutout(), Saliency(threads=1)


def fused_of(networks, photo):
    cutout, second = networks
    return fusion.fuse(sanitise_alpha(cutout.model_plane(photo)), second.plane(photo))


@pytest.mark.parametrize("content", ["missing", "garbage", "empty"])
def test_a_missing_or_broken_model_file_is_named(tmp_path, content):
    path = tmp_path / "u2netp.onnx"
    if content != "missing":
        path.write_bytes(b"" if content == "empty" else b"\x08\x07not a graph" * 50)
    with pytest.raises(SaliencyModelError, match="u2netp.onnx"):
        Saliency(path)


def blob(rows=320, columns=320, centre=(170, 160), radius=90, softness=6.0):
    yy, xx = np.mgrid[:rows, :columns]
    distance = np.hypot(yy - centre[0], xx - centre[1]) - radius
    return (1 / (1 + np.exp(np.clip(distance / softness, -50, 50)))).astype(np.float32)


def test_where_both_networks_agree_the_fused_plane_is_their_answer():
    person = blob()
    fused = fusion.fuse(person, person)
    assert fused.used_saliency and fused.agreement == 1.0
    np.testing.assert_allclose(fused.plane, person, atol=1e-5)
    assert not fusion.fuse(np.zeros((256, 256)), np.zeros((320, 320))).plane.any()


def test_saliency_moves_only_the_outline_and_only_when_it_found_the_person():
    person = blob()
    sharp = (person > 0.5).astype(np.float32)
    cup = blob(centre=(60, 280), radius=35, softness=1.0)
    fused = fusion.fuse(person, np.maximum(sharp, cup))
    inside = cv2.erode((person > 0.5).astype(np.uint8), np.ones((41, 41), np.uint8)) > 0
    far = blob(radius=90 + 20, softness=0.01) < 0.5
    np.testing.assert_array_equal(fused.plane[inside], person[inside])
    np.testing.assert_array_equal(fused.plane[far], person[far])  # the cup only saliency found stays out
    edge = np.abs(person - 0.5) < 0.3
    assert np.abs(fused.plane - sharp)[edge].mean() < np.abs(person - sharp)[edge].mean()
    # Saliency on another object entirely: the segmenter's answer alone.
    elsewhere = fusion.fuse(person, blob(centre=(60, 60), radius=50))
    assert not elsewhere.used_saliency
    np.testing.assert_array_equal(elsewhere.plane, np.where(elsewhere.plane > 0, person, 0))


@pytest.mark.parametrize("seed", range(4))
def test_fused_values_and_confidence_are_bounded_and_repeatable(seed):
    rng = np.random.default_rng(seed)
    first, second = rng.random((256, 256)) * 1.4 - 0.2, rng.random((320, 320))
    one, two = fusion.fuse(first, second), fusion.fuse(first.copy(), second.copy())
    assert one.plane.shape == (320, 320) and one.plane.dtype == np.float32
    assert 0 <= one.plane.min() and one.plane.max() <= 1
    assert 0 <= one.confidence <= 1 and one.confidence == two.confidence
    np.testing.assert_array_equal(one.plane, two.plane)
    with pytest.raises(ValueError, match="finite"):
        fusion.fuse(np.full((8, 8), np.nan), second)


def test_confidence_drops_when_a_large_object_competes_with_the_person(networks):
    photo = cv2.imread(str(DATA / "p_22fc0130.jpg"))
    rows, columns = photo.shape[:2]
    # The person shrunk into a corner of a plain room with a big bright disc:
    # the saliency network takes the disc, the segmenter the person.
    scene = np.full_like(photo, 60)
    yy, xx = np.mgrid[:rows, :columns]
    scene[np.hypot(yy - rows / 2, xx - columns / 2) < 0.4 * min(rows, columns)] = (0, 140, 255)
    scene[rows // 2:, :columns // 2] = cv2.resize(photo, (columns // 2, rows // 2), interpolation=cv2.INTER_AREA)
    plain, competing = fused_of(networks, photo), fused_of(networks, scene)
    assert plain.confidence == fused_of(networks, photo).confidence
    assert plain.used_saliency and not competing.used_saliency
    assert competing.confidence < plain.confidence - 0.1
    assert not plain.review


def test_the_saliency_plane_of_a_portrait_covers_the_person(networks):
    photo = cv2.imread(str(DATA / "p_22fc0130.jpg"))
    plane = networks[1].plane(photo)
    assert plane.shape == (320, 320) and plane.dtype == np.float32
    assert plane.min() == 0 and plane.max() == 1
    person = cv2.resize(sanitise_alpha(networks[0].model_plane(photo)), (320, 320)) > 0.5
    assert fusion.iou(person, plane > 0.5) > 0.8


@pytest.mark.parametrize("saliency_sees_it", [True, False])
def test_a_second_segmenter_region_stays_only_if_saliency_finds_it_too(saliency_sees_it):
    person, other = blob(), blob(centre=(40, 40), radius=25, softness=1.0)
    segmenter = np.maximum(person, other)
    fused = fusion.fuse(segmenter, segmenter if saliency_sees_it else person)
    spot = other > 0.5
    assert (fused.plane[spot] > 0.5).all() if saliency_sees_it else not fused.plane[spot].any()
