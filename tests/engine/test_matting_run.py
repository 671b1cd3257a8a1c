"""_image: a photograph file in, a white-background portrait file out."""

import math
import traceback

import cv2
import numpy as np
import onnxruntime
import pytest

SIZES = [None, (512, 512), [640, 480], (511, 511)]
SIZE_IDS = ["default", "512x512", "list-640x480", "511x511"]
PHOTOS = ["astronaut.png", "camera.png", "four_channel.png", "small_17x21.png", "wide_1000x500.png",
          "astronaut.jpg"]
IMAGE_ENTRY = ("portrait_main", "portrait_main.QuorinPortraitMain._image")


def entries(error):
    return [(f.filename, f.name) for f in traceback.extract_tb(error.__traceback__) if f.filename == "portrait_main"]


def read_back(path):
    return cv2.imread(str(path), cv2.IMREAD_UNCHANGED)


def write_photo(path, array):
    assert cv2.imwrite(str(path), array)
    return str(path)


class FakeSession:
    """Stands in for the inference session: records what `run` is given and
    answers with a matte made by `matte_for(input_tensor)`."""

    def __init__(self, matte_for):
        self.matte_for = matte_for
        self.calls = []

    def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return [self.matte_for(args[1]["input"])]

    def input_shapes(self):
        return [args[1]["input"].shape for args, _ in self.calls]


def constant(value):
    """A matte of `value` everywhere, on a plane of its own size."""
    return lambda tensor: np.full((1, 1, 8, 8), value, dtype=np.float32)


@pytest.fixture(scope="module")
def sessions(red_model, gradient_model, modnet_model):
    """Separate reference sessions, so the engine's own are never shared."""
    return {name: onnxruntime.InferenceSession(str(path)) for name, path in
            {"red": red_model, "gradient": gradient_model, "modnet": modnet_model}.items()}


@pytest.fixture(scope="module")
def engines(pm, red_model, gradient_model, modnet_model):
    return {name: pm.QuorinPortraitMain(str(path)) for name, path in
            {"red": red_model, "gradient": gradient_model, "modnet": modnet_model}.items()}


@pytest.fixture
def fresh(pm, red_model):
    return pm.QuorinPortraitMain(str(red_model))


@pytest.fixture
def small_photo(tmp_path):
    """30 columns by 20 rows of varied colour."""
    rng = np.random.default_rng(7)
    return write_photo(tmp_path / "small.png", rng.integers(0, 256, (20, 30, 3), dtype=np.uint8))


# --- the written file against the reference pipeline, byte for byte -------

CASES = (
    [pytest.param("red", photo, size, id=f"red-{photo}-{sid}")
     for photo in PHOTOS for size, sid in zip(SIZES, SIZE_IDS)]
    + [pytest.param("red", "large_1201x701.png", size, id=f"red-large_1201x701.png-{sid}")
       for size, sid in zip(SIZES[::3], SIZE_IDS[::3])]
    + [pytest.param("modnet", photo, size, id=f"modnet-{photo}-{sid}")
       for photo in ("astronaut.png", "camera.png") for size, sid in zip(SIZES, SIZE_IDS)]
    + [pytest.param("gradient", photo, size, id=f"gradient-{photo}-{sid}")
       for photo in ("astronaut.png", "wide_1000x500.png", "small_17x21.png")
       for size, sid in zip(SIZES[::2], SIZE_IDS[::2])]
)


@pytest.mark.parametrize("model, photo, size", CASES)
def test_written_file_matches_the_reference(reference, engines, sessions, photo_files, tmp_path, model, photo, size):
    out = tmp_path / "out.png"
    assert engines[model]._image(photo_files[photo], str(out), size) is None
    written = read_back(out)
    expected = reference.matting_run(photo_files[photo], sessions[model].run, size)
    assert written.dtype == np.uint8 and expected.dtype == np.uint8
    assert written.shape == expected.shape
    assert written.shape[2] == 3
    if size:
        assert written.shape[:2] == (size[1], size[0])
    assert np.array_equal(written, expected)


def test_real_model_cuts_the_astronaut_out(engines, photo_files, tmp_path):
    # Guards the comparisons above against a trivial matte: the portrait keeps
    # much of its own colour and gains a good deal of white.
    out = tmp_path / "out.png"
    engines["modnet"]._image(photo_files["astronaut.png"], str(out))
    written, photo = read_back(out), cv2.imread(photo_files["astronaut.png"])
    kept = (written == photo).all(axis=2).mean()
    whitened = ((written == 255).all(axis=2) & (photo != 255).any(axis=2)).mean()
    assert 0.1 < kept < 0.9 and 0.1 < whitened < 0.9


def test_large_photograph_is_fed_and_blended_exactly(reference, fresh, photo_files, tmp_path):
    photo = photo_files["large_1201x701.png"]
    plane = np.random.default_rng(9).random((1, 1, 333, 257), dtype=np.float32)
    fake = FakeSession(lambda tensor: plane)
    fresh._session = fake
    out = tmp_path / "out.png"
    fresh._image(photo, str(out), [1001, 700])
    (tensor,) = [args[1]["input"] for args, _ in fake.calls]
    assert np.array_equal(tensor, reference.model_input(cv2.imread(photo), [1001, 700]))
    assert np.array_equal(read_back(out), reference.matting_run(photo, fake.run, [1001, 700]))


@pytest.mark.parametrize("make_plane", [
    pytest.param(lambda p: p, id="float32"),
    pytest.param(lambda p: p[:, :, :1, :1], id="one-pixel"),
    pytest.param(lambda p: np.concatenate([p, p], axis=1)[:, :, :7, :5], id="two-planes-7x5"),
    pytest.param(lambda p: np.tile(p, (2, 1, 25, 1))[:, :, :, :3], id="two-batches-600x3"),
    pytest.param(lambda p: p.astype(np.float64), id="float64"),
    pytest.param(lambda p: np.asfortranarray(p), id="fortran-order"),
    pytest.param(lambda p: np.repeat(p, 2, axis=3)[..., ::2], id="strided-view"),
    pytest.param(lambda p: p.astype(np.float64)[..., :20] * 1.5 - 0.25, id="float64-out-of-range"),
])
def test_any_matte_plane_is_stretched_back(reference, fresh, small_photo, tmp_path, make_plane):
    plane = make_plane(np.random.default_rng(2).random((1, 1, 24, 36), dtype=np.float32))
    fake = FakeSession(lambda tensor: plane)
    fresh._session = fake
    out = tmp_path / "out.png"
    fresh._image(small_photo, str(out), [16, 12])
    assert np.array_equal(read_back(out), reference.matting_run(small_photo, fake.run, [16, 12]))


class Passthrough:
    """A module in all but identity."""

    def __init__(self, module):
        self._module = module

    def __getattr__(self, name):
        return getattr(self._module, name)


@pytest.mark.parametrize("photo", ["astronaut.png", "small_17x21.png", "large_1201x701.png"])
@pytest.mark.parametrize("rebound", ["cv2", "np"])
def test_rebound_modules_give_the_same_bytes(reference, pm, engines, sessions, photo_files, tmp_path, monkeypatch,
                                             photo, rebound):
    monkeypatch.setattr(pm, rebound, Passthrough(getattr(pm, rebound)))
    out = tmp_path / "out.png"
    engines["red"]._image(photo_files[photo], str(out), (511, 511))
    expected = reference.matting_run(photo_files[photo], sessions["red"].run, (511, 511))
    assert np.array_equal(read_back(out), expected)


@pytest.mark.parametrize("module, name", [(cv2, "imread"), (cv2, "cvtColor"), (cv2, "resize"),
                                          (cv2, "imwrite"), (np, "transpose"), (np, "expand_dims"),
                                          (np, "full")])
def test_replaced_library_functions_are_called(reference, fresh, small_photo, tmp_path, monkeypatch, module, name):
    real = getattr(module, name)
    calls = []
    monkeypatch.setattr(module, name, lambda *args, **kwargs: calls.append(name) or real(*args, **kwargs))
    out = tmp_path / "out.png"
    fresh._image(small_photo, str(out))
    assert calls == [name] * (2 if name == "resize" else 1)
    monkeypatch.undo()
    assert np.array_equal(read_back(out), reference.matting_run(small_photo, fresh._session.run))


# --- what the run calls, in order -----------------------------------------

class Recorder:
    """Wraps a module: logs each attribute read and each call of a function
    read through it."""

    def __init__(self, module, log):
        self._module, self._log = module, log

    def __getattr__(self, name):
        value = getattr(self._module, name)
        self._log.append(("get", name))
        if callable(value) and not isinstance(value, type):
            def call(*args, **kwargs):
                self._log.append(("call", name, args, kwargs))
                return value(*args, **kwargs)
            return call
        return value


def calls_of(log):
    return [entry[1:] for entry in log if entry[0] == "call"]


def reads_of(log):
    return [entry[1] for entry in log if entry[0] == "get"]


def test_calls_into_opencv_in_order(pm, fresh, small_photo, tmp_path, monkeypatch):
    log = []
    monkeypatch.setattr(pm, "cv2", Recorder(cv2, log))
    out = str(tmp_path / "out.png")
    fresh._image(small_photo, out, (64, 48))

    assert reads_of(log) == ["imread", "cvtColor", "COLOR_BGR2RGB", "resize", "INTER_LINEAR",
                             "resize", "INTER_NEAREST", "resize", "copyMakeBorder", "BORDER_CONSTANT",
                             "imwrite"]
    imread, cvt, model_resize, matte_resize, box_resize, border, imwrite = calls_of(log)
    assert imread == ("imread", (small_photo,), {})
    assert cvt[0] == "cvtColor" and cvt[1][1] == cv2.COLOR_BGR2RGB and cvt[2] == {}
    assert cvt[1][0].shape == (20, 30, 3) and cvt[1][0].dtype == np.uint8

    name, (image, size), kwargs = model_resize
    assert name == "resize" and size == (64, 48) and type(size) is tuple
    assert kwargs == {"interpolation": cv2.INTER_LINEAR}
    # the normalisation runs at the photograph's size, before the stretch
    rgb = cv2.cvtColor(cv2.imread(small_photo), cv2.COLOR_BGR2RGB)
    assert image.dtype == np.float32 and image.shape == (20, 30, 3)
    assert np.array_equal(image, (rgb.astype(np.float32) / 255.0 - 0.5) / 0.5)

    name, (pred, size), kwargs = matte_resize
    assert name == "resize" and size == (30, 20) and type(size) is tuple
    assert kwargs == {"interpolation": cv2.INTER_NEAREST} and pred.shape == (48, 64)

    name, (frame, size), kwargs = box_resize
    assert name == "resize" and frame.shape == (20, 30, 3) and frame.dtype == np.uint8
    assert size == (64, 42) and kwargs == {}
    name, args, kwargs = border
    assert name == "copyMakeBorder" and args[1:] == (3, 3, 0, 0, cv2.BORDER_CONSTANT)
    assert kwargs == {"value": [255, 255, 255]}

    name, (path, picture), kwargs = imwrite
    assert name == "imwrite" and path == out and kwargs == {}
    assert np.array_equal(picture, read_back(out)) and picture.shape == (48, 64, 3)


def test_calls_into_numpy_in_order(pm, fresh, small_photo, tmp_path, monkeypatch):
    log = []
    monkeypatch.setattr(pm, "np", Recorder(np, log))
    fresh._image(small_photo, str(tmp_path / "out.png"), [40, 24])

    assert reads_of(log) == ["float32", "transpose", "float32", "expand_dims", "full"]
    transpose, expand_dims, full = calls_of(log)
    name, (image, axes), kwargs = transpose
    assert name == "transpose" and axes == [2, 0, 1] and type(axes) is list and kwargs == {}
    assert image.shape == (24, 40, 3) and image.dtype == np.float32
    name, (matte,), kwargs = expand_dims
    assert name == "expand_dims" and matte.shape == (20, 30) and kwargs == {"axis": -1}
    assert full == ("full", ((20, 30, 3), 255.0), {})
    assert type(full[1][1]) is float


def test_array_conversions(reference, pm, fresh, small_photo, tmp_path, monkeypatch):
    """The float32 conversion of the photograph is asked not to copy, and the
    blended picture is quantised by the dtype name."""
    conversions = []

    class Tracked(np.ndarray):
        def astype(self, *args, **kwargs):
            conversions.append((args, kwargs))
            return np.asarray(self).astype(*args, **kwargs)

    class TrackingCv2:
        def __getattr__(self, name):
            value = getattr(cv2, name)
            if name in ("imread", "cvtColor"):
                return lambda *args: value(*args).view(Tracked)
            return value

    monkeypatch.setattr(pm, "cv2", TrackingCv2())
    out = tmp_path / "out.png"
    fresh._image(small_photo, str(out))
    assert conversions == [((np.float32,), {"copy": False}), (("uint8",), {})]
    assert np.array_equal(read_back(out), reference.matting_run(small_photo, fresh._session.run))


def test_module_names_are_looked_up_at_each_use(pm, fresh, small_photo, tmp_path, monkeypatch):
    for name in ("cv2", "np"):
        with monkeypatch.context() as patch:
            patch.delattr(pm, name)
            with pytest.raises(NameError) as caught:
                fresh._image(small_photo, str(tmp_path / "out.png"))
            assert str(caught.value) == f"name '{name}' is not defined"
            assert entries(caught.value) == [IMAGE_ENTRY]
    fresh._image(small_photo, str(tmp_path / "out.png"))
    assert (tmp_path / "out.png").exists()


def test_session_is_looked_up_and_fed_at_each_call(reference, fresh, small_photo, tmp_path):
    fake = FakeSession(constant(1.0))
    fresh._session = fake
    fresh._image(small_photo, str(tmp_path / "out.png"), (48, 36))

    (args, kwargs), = fake.calls
    assert kwargs == {} and len(args) == 2
    names, feed = args
    assert names == ["output"] and type(names) is list
    assert type(feed) is dict and list(feed) == ["input"]
    tensor = feed["input"]
    assert type(tensor) is np.ndarray and tensor.dtype == np.float32
    assert tensor.shape == (1, 3, 36, 48)
    expected = reference.model_input(cv2.imread(small_photo), (48, 36))
    assert np.array_equal(tensor, expected)
    assert tensor.flags["OWNDATA"]  # a copy of its own
    assert -1.0 <= tensor.min() and tensor.max() <= 1.0

    # a matte of 1 everywhere keeps the photograph as it is, inside the letterbox
    written = read_back(tmp_path / "out.png")
    assert np.array_equal(written[2:34], cv2.resize(cv2.imread(small_photo), (48, 32)))

    other = FakeSession(constant(0.0))
    fresh._session = other
    fresh._image(small_photo, str(tmp_path / "out.png"))
    assert len(fake.calls) == 1 and other.input_shapes() == [(1, 3, 512, 512)]
    assert (read_back(tmp_path / "out.png") == 255).all()


def test_subclass_letterbox_is_the_one_called(reference, pm, red_model, small_photo, tmp_path):
    class Engine(pm.QuorinPortraitMain):
        def _process_image(self, resize_img):
            self.seen.append(resize_img)
            return resize_img[:5, :7]

    engine = Engine(str(red_model))
    engine.seen = []
    planes = np.random.default_rng(5).random((1, 1, 9, 9), dtype=np.float32)
    engine._session = FakeSession(lambda tensor: planes)
    out = tmp_path / "out.png"
    engine._image(small_photo, str(out))
    assert engine.seen == [] and read_back(out).shape == (20, 30, 3)

    engine._image(small_photo, str(out), (64, 48))
    (frame,) = engine.seen
    assert frame.shape == (20, 30, 3) and frame.dtype == np.uint8
    blended = reference.matting_run(small_photo, engine._session.run)
    assert np.array_equal(frame, blended)
    assert np.array_equal(read_back(out), blended[:5, :7])


def test_instance_letterbox_is_the_one_called(fresh, small_photo, tmp_path):
    seen = []
    fresh._process_image = lambda frame: seen.append(frame.shape) or np.zeros((3, 4, 3), np.uint8)
    out = tmp_path / "out.png"
    fresh._image(small_photo, str(out), [64, 48])
    assert seen == [(20, 30, 3)]
    assert np.array_equal(read_back(out), np.zeros((3, 4, 3), np.uint8))


# --- sizes -----------------------------------------------------------------

FALSY_SIZES = [pytest.param({}, id="omitted"), pytest.param({"input_size": None}, id="None"),
               pytest.param({"input_size": False}, id="False"), pytest.param({"input_size": 0}, id="zero"),
               pytest.param({"input_size": ()}, id="empty-tuple"),
               pytest.param({"input_size": []}, id="empty-list")]


@pytest.mark.parametrize("size_argument", FALSY_SIZES)
def test_false_size_runs_at_512_with_no_letterbox(fresh, engines, photo_files, tmp_path, size_argument):
    fake = FakeSession(constant(0.5))
    fresh._session = fake
    letterboxed = []
    fresh._process_image = letterboxed.append
    out = tmp_path / "out.png"
    fresh._image(photo_files["wide_1000x500.png"], str(out), **size_argument)
    assert fake.input_shapes() == [(1, 3, 512, 512)]
    assert letterboxed == []
    assert read_back(out).shape == (500, 1000, 3)
    assert fresh._input_size == (512, 512) and type(fresh._input_size) is tuple
    # the one shared default, whichever engine ran
    engines["red"]._image(photo_files["small_17x21.png"], str(out))
    assert fresh._input_size is engines["red"]._input_size


def test_explicit_512_is_letterboxed(fresh, photo_files, tmp_path):
    fake = FakeSession(constant(0.0))
    fresh._session = fake
    out = tmp_path / "out.png"
    size = (512, 512)
    fresh._image(photo_files["wide_1000x500.png"], str(out), size)
    assert fake.input_shapes() == [(1, 3, 512, 512)]
    assert fresh._input_size is size
    assert read_back(out).shape == (512, 512, 3)


def test_list_size_is_width_then_height(fresh, photo_files, tmp_path):
    fake = FakeSession(constant(1.0))
    fresh._session = fake
    out = tmp_path / "out.png"
    size = [640, 480]
    fresh._image(photo_files["wide_1000x500.png"], str(out), size)
    assert fake.input_shapes() == [(1, 3, 480, 640)]
    assert fresh._input_size is size and size == [640, 480]
    written = read_back(out)
    assert written.shape == (480, 640, 3)
    # 1000 x 500 fits as 640 x 320 with 80 white rows above and below
    assert (written[:80] == 255).all() and (written[400:] == 255).all()
    assert np.array_equal(written[80:400], cv2.resize(cv2.imread(photo_files["wide_1000x500.png"]), (640, 320)))


def test_mapping_size_runs_the_model_but_skips_the_letterbox(fresh, small_photo, tmp_path):
    fake = FakeSession(constant(0.5))
    fresh._session = fake
    out = tmp_path / "out.png"
    fresh._image(small_photo, str(out), {0: 40, 1: 24})
    assert fake.input_shapes() == [(1, 3, 24, 40)]
    assert read_back(out).shape == (20, 30, 3)


def test_two_calls_each_use_their_own_size(fresh, small_photo, tmp_path):
    fake = FakeSession(constant(0.5))
    fresh._session = fake
    first, second = tmp_path / "first.png", tmp_path / "second.png"
    fresh._image(small_photo, str(first), (64, 48))
    size = [40, 30]
    fresh._image(small_photo, str(second), size)
    assert fake.input_shapes() == [(1, 3, 48, 64), (1, 3, 30, 40)]
    assert read_back(first).shape == (48, 64, 3) and read_back(second).shape == (30, 40, 3)
    assert fresh._input_size is size


# --- the blend and its quantisation ----------------------------------------

def every_value_photo(tmp_path):
    """All 256 values in every channel, each channel in another order."""
    ramp = np.arange(256, dtype=np.uint8).reshape(16, 16)
    return write_photo(tmp_path / "ramp.png", np.dstack([ramp, ramp.T, 255 - ramp]))


def blend_by_formula(m, v):
    """The 8-bit value of source byte v under matte m, with NumPy's type rules."""
    m = np.float32(m)
    blended = np.float64(m * np.float32(v)) + np.float64(np.float32(1) - m) * 255.0
    return int(blended)


@pytest.mark.parametrize("matte", [1.0, 0.0, 0.5, 0.3, 0.7, 1 / 3, 0.999, 1e-6])
def test_blend_over_white_by_the_matte(fresh, tmp_path, matte):
    photo = every_value_photo(tmp_path)
    fresh._session = FakeSession(constant(matte))
    out = tmp_path / "out.png"
    fresh._image(photo, str(out))
    source = cv2.imread(photo)
    table = np.array([blend_by_formula(matte, v) for v in range(256)], dtype=np.uint8)
    written = read_back(out)
    assert np.array_equal(written, table[source])
    # a source value of 100: kept under a matte of 1, white under 0, and
    # 0.5 * 100 + 0.5 * 255 = 177.5 truncated under 0.5
    known = {1.0: 100, 0.0: 255, 0.5: 177}
    if matte in known:
        assert (written[source == 100] == known[matte]).all()


@pytest.mark.parametrize("b, g, r, expected", [
    (0, 0, 255, (0, 0, 255)),    # red is foreground for the model and keeps its colour
    (255, 0, 0, (255, 255, 255)),  # blue is not: read in the wrong order it would be kept
])
def test_channel_order_is_kept(engines, tmp_path, b, g, r, expected):
    photo = write_photo(tmp_path / "flat.png", np.full((10, 12, 3), (b, g, r), np.uint8))
    out = tmp_path / "out.png"
    engines["red"]._image(photo, str(out))
    assert (read_back(out) == expected).all()


@pytest.mark.parametrize("value, expected", [
    (2.0, lambda v: np.maximum(2 * v.astype(int) - 255, 0)),
    (-1.0, lambda v: np.full_like(v, 255)),
    (math.nan, lambda v: np.full_like(v, 255)),
    (math.inf, lambda v: np.full_like(v, 255)),
    (-math.inf, lambda v: np.full_like(v, 255)),
    (1.5, lambda v: np.maximum((1.5 * v - 127.5).astype(int), 0)),
], ids=["two", "minus-one", "nan", "inf", "minus-inf", "one-and-a-half"])
def test_mattes_out_of_range_saturate(make_model, reference, pm, model_dir, tmp_path, value, expected):
    model = make_model.constant_matte(model_dir / f"constant_{value}.onnx", value)
    engine = pm.QuorinPortraitMain(str(model))
    photo = every_value_photo(tmp_path)
    out = tmp_path / "out.png"
    with np.errstate(all="ignore"):
        engine._image(photo, str(out))
        source = cv2.imread(photo)
        written = read_back(out)
        assert np.array_equal(written, expected(source).astype(np.uint8))
        assert np.array_equal(written, reference.matting_run(photo, engine._session.run))


def test_mixed_matte_saturates_pixel_by_pixel(reference, fresh, small_photo, tmp_path):
    rng = np.random.default_rng(11)
    plane = rng.uniform(-2.0, 3.0, (1, 1, 20, 30)).astype(np.float32)
    plane[0, 0, ::3, ::4] = np.nan
    plane[0, 0, 1::5, ::2] = rng.random((4, 15), dtype=np.float32)
    fake = FakeSession(lambda tensor: plane)
    fresh._session = fake
    out = tmp_path / "out.png"
    fresh._image(small_photo, str(out))
    with np.errstate(all="ignore"):
        expected = reference.matting_run(small_photo, fake.run)
    assert np.array_equal(read_back(out), expected)
    assert (expected == 0).any() and (expected == 255).any()


# --- failures --------------------------------------------------------------

def test_missing_photograph_fails_in_the_colour_conversion(fresh, tmp_path):
    out = tmp_path / "out.png"
    size = (64, 48)
    with pytest.raises(cv2.error, match="cvtColor") as caught:
        fresh._image(str(tmp_path / "missing.png"), str(out), size)
    assert fresh._input_size is size
    assert not out.exists()
    assert entries(caught.value) == [IMAGE_ENTRY]


def test_size_that_cannot_be_indexed(fresh, small_photo, tmp_path):
    out = tmp_path / "out.png"
    with pytest.raises(TypeError, match="not subscriptable") as caught:
        fresh._image(small_photo, str(out), 5)
    assert fresh._input_size == 5
    assert not out.exists()
    assert entries(caught.value) == [IMAGE_ENTRY]


def test_size_whose_truth_is_ambiguous_changes_nothing(pm, fresh, small_photo, tmp_path, monkeypatch):
    log = []
    monkeypatch.setattr(pm, "cv2", Recorder(cv2, log))
    before = fresh._input_size = object()
    with pytest.raises(ValueError, match="ambiguous") as caught:
        fresh._image(small_photo, str(tmp_path / "out.png"), np.array([64, 48]))
    assert fresh._input_size is before
    assert log == []
    assert entries(caught.value) == [IMAGE_ENTRY]


@pytest.mark.parametrize("size", [(0, 48), (64, -1)], ids=["zero-width", "negative-height"])
def test_size_that_opencv_refuses(fresh, small_photo, tmp_path, size):
    with pytest.raises(cv2.error) as caught:
        fresh._image(small_photo, str(tmp_path / "out.png"), size)
    assert fresh._input_size is size
    assert entries(caught.value) == [IMAGE_ENTRY]


@pytest.mark.parametrize("build", [
    pytest.param(lambda models, path: models.red_matte(path, height=256, width=256), id="fixed-size"),
    pytest.param(lambda models, path: models.red_matte(path, input_name="image"), id="other-input-name"),
])
def test_model_that_refuses_the_input(make_model, pm, small_photo, tmp_path, build):
    model = build(make_model, tmp_path / "model.onnx")
    engine = pm.QuorinPortraitMain(str(model))
    with pytest.raises(Exception) as direct:
        engine._session.run(["output"], {"input": np.zeros((1, 3, 512, 512), np.float32)})
    out = tmp_path / "out.png"
    with pytest.raises(Exception) as caught:
        engine._image(small_photo, str(out))
    assert type(caught.value) is type(direct.value)
    assert "onnxruntime" in traceback.extract_tb(caught.value.__traceback__)[-1].filename
    assert entries(caught.value) == [IMAGE_ENTRY]
    assert not out.exists()


def test_fixed_size_model_runs_at_its_own_size(make_model, reference, pm, small_photo, tmp_path):
    model = make_model.red_matte(tmp_path / "model.onnx", height=32, width=48)
    engine = pm.QuorinPortraitMain(str(model))
    out = tmp_path / "out.png"
    engine._image(small_photo, str(out), (48, 32))
    assert np.array_equal(read_back(out), reference.matting_run(small_photo, engine._session.run, (48, 32)))


def test_output_without_a_plane(make_model, pm, model_dir, small_photo, tmp_path):
    engine = pm.QuorinPortraitMain(str(make_model.flat_output(model_dir / "flat.onnx")))
    out = tmp_path / "out.png"
    with pytest.raises(IndexError) as caught:
        engine._image(small_photo, str(out))
    assert entries(caught.value) == [IMAGE_ENTRY]
    assert not out.exists()


def test_failed_write_is_reported_with_the_path(fresh, small_photo, tmp_path):
    save_path = str(tmp_path / "no such folder" / "out.png")
    size = [64, 48]
    with pytest.raises(OSError) as caught:
        fresh._image(small_photo, save_path, size)
    assert save_path in str(caught.value)
    assert str(caught.value) == f"could not write the image to {save_path!r}"
    assert fresh._input_size is size
    assert not (tmp_path / "no such folder").exists()
    assert entries(caught.value) == [IMAGE_ENTRY]


def test_unknown_extension_is_opencvs_own_error(fresh, small_photo, tmp_path):
    with pytest.raises(cv2.error, match="could not find a writer") as caught:
        fresh._image(small_photo, str(tmp_path / "out.xyz"))
    assert type(caught.value) is cv2.error
    assert entries(caught.value) == [IMAGE_ENTRY]
    assert list(tmp_path.iterdir()) == [tmp_path / "small.png"]


def test_jpeg_output_is_encoded_by_its_extension(engines, photo_files, tmp_path):
    out = tmp_path / "out.jpg"
    engines["red"]._image(photo_files["astronaut.png"], str(out), (64, 64))
    assert out.read_bytes()[:3] == b"\xff\xd8\xff"
    assert read_back(out).shape == (64, 64, 3)
