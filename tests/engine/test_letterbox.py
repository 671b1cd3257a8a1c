"""_process_image: fitting a picture into the target held in _input_size."""

import collections
import traceback
import types

import cv2
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

WHITE = 255


def entries(error):
    return [(f.filename, f.name) for f in traceback.extract_tb(error.__traceback__) if f.filename == "portrait_main"]


@pytest.fixture(scope="module")
def boxer(pm, red_model):
    """An engine of its own: these tests set _input_size freely."""
    return pm.QuorinPortraitMain(str(red_model))


def fit(engine, image, target):
    engine._input_size = target
    return engine._process_image(image)


def picture(rows, cols, channels=3, seed=0):
    """Random pixels that are never white, so a border shows where it is."""
    shape = (rows, cols) if channels is None else (rows, cols, channels)
    return np.random.default_rng(seed).integers(0, 255, shape, dtype=np.uint8)


# (columns, rows, target, scaled columns, scaled rows, top, bottom, left, right)
GEOMETRY = [
    pytest.param(1000, 600, (512, 512), 512, 307, 103, 102, 0, 0, id="wide-odd-height-border"),
    pytest.param(600, 1000, (512, 512), 307, 512, 0, 0, 103, 102, id="tall-odd-width-border"),
    pytest.param(100, 50, (512, 512), 512, 256, 128, 128, 0, 0, id="enlarged"),
    pytest.param(1920, 1080, (640, 480), 640, 360, 60, 60, 0, 0, id="full-hd-into-vga"),
    pytest.param(17, 21, (500, 500), 404, 499, 1, 0, 48, 48, id="truncated-one-short"),
    pytest.param(17, 21, (501, 500), 404, 499, 1, 0, 49, 48, id="both-totals-odd"),
    pytest.param(10, 10, (101, 100), 100, 100, 0, 0, 1, 0, id="odd-width-total-only"),
    pytest.param(1000, 600, (511, 511), 511, 306, 103, 102, 0, 0, id="not-a-power-of-two"),
    pytest.param(1000, 600, [512, 512], 512, 307, 103, 102, 0, 0, id="list-target"),
    pytest.param(1000, 600, (512.0, 512.0), 512, 307, 103, 102, 0, 0, id="float-target"),
    pytest.param(1000, 600, collections.namedtuple("Size", "w h")(512, 512), 512, 307, 103, 102, 0, 0,
                 id="tuple-subclass"),
]


@pytest.mark.parametrize("cols, rows, target, new_w, new_h, top, bottom, left, right", GEOMETRY)
@pytest.mark.parametrize("channels", [3, None], ids=["colour", "single-channel"])
def test_pair_scales_to_fit_and_borders_with_white(boxer, cols, rows, target, new_w, new_h,
                                                    top, bottom, left, right, channels):
    image = picture(rows, cols, channels)
    result = fit(boxer, image, target)

    height, width = int(target[1]), int(target[0])
    assert result.dtype == np.uint8
    assert result.shape == ((height, width) if channels is None else (height, width, 3))
    assert top + new_h + bottom == height and left + new_w + right == width

    inside = result[top:top + new_h, left:left + new_w]
    assert np.array_equal(inside, cv2.resize(image, (new_w, new_h)))
    border = np.ones(result.shape[:2], dtype=bool)
    border[top:top + new_h, left:left + new_w] = False
    assert (result[border] == WHITE).all()
    # The picture itself has no white pixel, so the border ends exactly where it starts.
    assert (inside != WHITE).all()


def test_worked_example_rows_of_white(boxer):
    image = picture(600, 1000)
    result = fit(boxer, image, (512, 512))
    white_rows = [r for r in range(512) if (result[r] == WHITE).all()]
    assert white_rows == list(range(103)) + list(range(410, 512))


def test_already_at_target_gives_an_equal_new_array(boxer):
    image = picture(512, 512)
    result = fit(boxer, image, (512, 512))
    assert result is not image and not np.shares_memory(result, image)
    assert result.dtype == image.dtype and np.array_equal(result, image)


@pytest.mark.parametrize(
    "target, shape",
    [
        (256, (153, 256, 3)),
        (300.0, (180, 300, 3)),
        (np.float64(300.0), (180, 300, 3)),  # a float subclass is a number
        (512, (307, 512, 3)),
    ],
)
def test_number_scales_the_longer_side_without_border(boxer, target, shape):
    image = picture(600, 1000)
    result = fit(boxer, image, target)
    assert result.shape == shape
    assert np.array_equal(result, cv2.resize(image, (shape[1], shape[0])))


@pytest.mark.parametrize("target", [None, "512", {0: 512, 1: 512}, np.int64(512), object()],
                         ids=["none", "str", "dict", "numpy-int", "object"])
def test_other_targets_hand_back_the_same_object(boxer, target):
    image = picture(6, 10)
    before = image.copy()
    assert fit(boxer, image, target) is image
    assert np.array_equal(image, before)


@pytest.mark.parametrize(
    "image, target, error, message",
    [
        (picture(6, 10), (512, 512, 3), ValueError, "too many values to unpack (expected 2)"),
        (picture(6, 10), [512], ValueError, "need more than 1 value to unpack"),
        (picture(6, 10), (), ValueError, "need more than 0 values to unpack"),
        (picture(6, 10), (0, 512), ZeroDivisionError, None),
        (picture(6, 10), (512, 0), ZeroDivisionError, None),
        (picture(6, 10), 0, ZeroDivisionError, None),
        (np.zeros((0, 0, 3), np.uint8), (512, 512), ZeroDivisionError, None),
        (picture(1000, 1), (512, 512), cv2.error, None),  # int(0.512) columns
        (picture(6, 10), ("wide", 512), ValueError, None),  # float() refuses it
        (picture(6, 10), (512, None), TypeError, None),
        ([[1, 2], [3, 4]], (512, 512), AttributeError, None),  # no shape
    ],
    ids=["three-items", "one-item", "no-items", "zero-width", "zero-height", "zero-number",
         "empty-image", "below-one-pixel", "text-width", "none-height", "no-shape"],
)
def test_failures_pass_through_with_a_method_entry(boxer, image, target, error, message):
    with pytest.raises(error) as caught:
        fit(boxer, image, target)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message
    assert entries(caught.value)[-1] == ("portrait_main", "portrait_main.QuorinPortraitMain._process_image")
    assert boxer._input_size is target


def test_target_never_set_is_an_attribute_error(pm, red_model):
    fresh = pm.QuorinPortraitMain(str(red_model))
    with pytest.raises(AttributeError, match="_input_size"):
        fresh._process_image(picture(6, 10))
    assert "_input_size" not in vars(fresh)


def test_calls_into_opencv(pm, boxer, monkeypatch):
    calls = []

    def recording(name):
        real = getattr(cv2, name)

        def call(*args, **kwargs):
            calls.append((name, args, kwargs))
            return real(*args, **kwargs)

        return call

    monkeypatch.setattr(pm, "cv2", types.SimpleNamespace(
        resize=recording("resize"), copyMakeBorder=recording("copyMakeBorder"),
        BORDER_CONSTANT=cv2.BORDER_CONSTANT))
    image = picture(600, 1000)
    for target in [(512, 512), (512.0, 512.0), [512, 512]]:
        calls.clear()
        result = fit(boxer, image, target)
        (resize, border) = calls
        assert resize[0] == "resize" and resize[2] == {}
        assert resize[1][0] is image and resize[1][1] == (512, 307) and type(resize[1][1]) is tuple
        name, args, kwargs = border
        assert name == "copyMakeBorder"
        assert args[0].shape == (307, 512, 3)
        assert args[1:] == (103, 102, 0, 0, cv2.BORDER_CONSTANT)
        assert all(type(width) is int for width in args[1:5])
        assert kwargs == {"value": [WHITE, WHITE, WHITE]} and type(kwargs["value"]) is list
        assert result.shape == (512, 512, 3)

    calls.clear()
    fit(boxer, image, 256)
    assert [(name, args[1], kwargs) for name, args, kwargs in calls] == [("resize", (256, 153), {})]


# A target as _image can hold it, or as a direct caller may set it: pairs of
# any length and item type, numbers, and things that are neither.
_side = st.one_of(st.integers(-2, 48), st.floats(0.0, 48.0),
                  st.sampled_from([float("nan"), float("inf"), True]))
_positive_pair = st.tuples(st.integers(1, 48), st.integers(1, 48))
_targets = st.one_of(
    _positive_pair,
    _positive_pair.map(list),
    st.tuples(_side, _side),
    st.lists(_side, max_size=3),
    st.lists(_side, max_size=3).map(tuple),
    st.integers(-2, 48),
    st.floats(0.0, 48.0),
    st.booleans(),
    st.sampled_from([None, "48", {0: 4, 1: 4}, float("nan")]),
)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    rows=st.integers(0, 32),
    cols=st.integers(0, 32),
    channels=st.sampled_from([None, 1, 3, 4]),
    dtype=st.sampled_from([np.uint8, np.float32]),
    target=_targets,
    seed=st.integers(0, 2**16),
)
def test_matches_the_reference_letterbox(reference, boxer, rows, cols, channels, dtype, target, seed):
    image = picture(rows, cols, channels, seed).astype(dtype)
    before = image.copy()
    try:
        expected = reference.letterbox(image, target)
    except Exception as error:  # noqa: BLE001 - the engine must fail the same way
        with pytest.raises(type(error)):
            fit(boxer, image, target)
    else:
        result = fit(boxer, image, target)
        if expected is image:
            assert result is image
        else:
            assert result.dtype == expected.dtype and result.shape == expected.shape
            assert np.array_equal(result, expected)
            assert not np.shares_memory(result, image)
    assert np.array_equal(image, before)
    assert boxer._input_size is target  # read, never written


def test_failure_from_image_run_has_both_entries(pm, red_model, photo_files, tmp_path):
    engine = pm.QuorinPortraitMain(str(red_model))
    out = tmp_path / "out.png"
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)") as caught:
        engine._image(photo_files["small_17x21.png"], str(out), [40, 30, 3])
    assert entries(caught.value) == [
        ("portrait_main", "portrait_main.QuorinPortraitMain._image"),
        ("portrait_main", "portrait_main.QuorinPortraitMain._process_image"),
    ]
    assert not out.exists()
