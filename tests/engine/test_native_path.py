"""The native path gives the step-by-step path's bytes, and knows when to stand aside.

The step-by-step path is forced by rebinding the module's `np` to a
transparent stand-in: it behaves exactly like NumPy, but it is not the object
bound at import, so the engine takes the NumPy route for every step.
"""

import subprocess
import sys
import textwrap
import tracemalloc
import types

import cv2
import numpy as np
import pytest

SPECIAL_MATTES = np.array(
    [0.0, 1.0, 0.5, 1e-9, np.nextafter(np.float32(1), np.float32(0)), 1e-40, 1e-45, 1.5, 2.0,
     -0.25, -1e-9, -0.0, np.nan, np.inf, -np.inf, 0.3, 0.7, 0.999, 0.001, 3e-8],
    dtype=np.float32,
)


def numpy_stand_in():
    stand_in = types.ModuleType("numpy")
    stand_in.__getattr__ = lambda name: getattr(np, name)
    return stand_in


class PlaneSession:
    """Answers every run with a fixed matte plane and keeps what it was fed."""

    def __init__(self, plane):
        self.plane = np.asarray(plane, dtype=np.float32)[None, None]
        self.fed = []

    def run(self, names, feed):
        self.fed.append(feed["input"])
        return [self.plane]


def both_paths(pm, engine, monkeypatch, photo, out_dir, input_size=None, ext="png"):
    """Runs the same call natively and step by step; returns both pictures."""
    native_out = out_dir / f"native.{ext}"
    steps_out = out_dir / f"steps.{ext}"
    engine._image(str(photo), str(native_out), input_size)
    with monkeypatch.context() as patch:
        patch.setattr(pm, "np", numpy_stand_in())
        engine._image(str(photo), str(steps_out), input_size)
    return native_out.read_bytes(), steps_out.read_bytes()


@pytest.fixture
def engine(pm, red_model):
    return pm.QuorinPortraitMain(str(red_model))


@pytest.fixture(scope="module")
def every_value_photo(tmp_path_factory):
    """Every 8-bit value in every channel, in every row: 20 rows by 256 columns,
    the channels offset so that B, G and R differ in each pixel."""
    values = np.arange(256, dtype=np.uint8)
    row = np.stack([values, np.roll(values, 85), np.roll(values, 170)], axis=-1)
    photo = np.repeat(row[None], len(SPECIAL_MATTES), axis=0)
    path = tmp_path_factory.mktemp("every_value") / "every_value.png"
    assert cv2.imwrite(str(path), photo)
    return path


# NumPy warns about inf * 0 on the step-by-step path; the native path is silent.
@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")
def test_every_source_value_under_every_kind_of_matte(reference, pm, engine, monkeypatch, every_value_photo, tmp_path):
    # One row per special matte value, at the photograph's own size, so the
    # nearest-neighbour stretch is the identity and each value meets each matte.
    plane = np.repeat(SPECIAL_MATTES[:, None], 256, axis=1)
    engine._session = PlaneSession(plane)
    native, steps = both_paths(pm, engine, monkeypatch, every_value_photo, tmp_path)
    assert native == steps
    photo = cv2.imread(str(every_value_photo))
    expected = reference.blend_over_white(photo, plane)
    assert np.array_equal(cv2.imread(str(tmp_path / "native.png")), expected)


def test_model_input_is_the_same_for_every_value(pm, engine, monkeypatch, every_value_photo, tmp_path):
    session = PlaneSession(np.zeros((4, 4)))
    engine._session = session
    for size in [None, (256, 20), (97, 13), (640, 480)]:
        session.fed.clear()
        both_paths(pm, engine, monkeypatch, every_value_photo, tmp_path, size)
        native_fed, steps_fed = session.fed
        assert native_fed.dtype == steps_fed.dtype == np.float32
        assert native_fed.shape == steps_fed.shape
        assert native_fed.tobytes() == np.ascontiguousarray(steps_fed).tobytes()
        # The native tensor is laid out planes first, as the model reads it.
        assert native_fed.flags["C_CONTIGUOUS"] and native_fed.flags["OWNDATA"]


@pytest.mark.parametrize("name", ["astronaut.png", "camera.png", "four_channel.png", "small_17x21.png",
                                  "wide_1000x500.png", "large_1201x701.png", "astronaut.jpg"])
@pytest.mark.parametrize("size", [None, (512, 512), [640, 480], (511, 511), (33, 65)],
                         ids=["default", "512", "640x480", "511", "33x65"])
def test_photographs_through_a_real_model(pm, monkeypatch, modnet_model, photo_files, tmp_path, name, size):
    engine = pm.QuorinPortraitMain(str(modnet_model))
    native, steps = both_paths(pm, engine, monkeypatch, photo_files[name], tmp_path, size)
    assert native == steps


@pytest.mark.parametrize("plane_shape", [(7, 5), (300, 200), (1, 1), (701, 1201)])
def test_random_mattes_in_and_out_of_range(pm, engine, monkeypatch, photo_files, tmp_path, plane_shape):
    rng = np.random.default_rng(sum(plane_shape))
    plane = rng.normal(0.5, 0.6, plane_shape).astype(np.float32)  # about a quarter outside [0, 1]
    plane[rng.random(plane_shape) < 0.05] = np.nan
    engine._session = PlaneSession(plane)
    native, steps = both_paths(pm, engine, monkeypatch, photo_files["large_1201x701.png"], tmp_path, ext="bmp")
    assert native == steps


def test_a_patched_numpy_or_opencv_function_turns_the_native_path_off(pm, engine, monkeypatch, tmp_path):
    photo = tmp_path / "photo.png"
    cv2.imwrite(str(photo), np.full((6, 8, 3), 90, np.uint8))
    calls = []
    real_expand_dims = np.expand_dims
    engine._image(str(photo), str(tmp_path / "a.png"))

    def recording_expand_dims(*args, **kwargs):
        calls.append(kwargs)
        return real_expand_dims(*args, **kwargs)

    # Patched on NumPy itself, not on the engine's module.
    monkeypatch.setattr(np, "expand_dims", recording_expand_dims)
    engine._image(str(photo), str(tmp_path / "b.png"))
    assert calls == [{"axis": -1}]
    monkeypatch.undo()

    resizes = []
    real_resize = cv2.resize
    monkeypatch.setattr(cv2, "resize", lambda *a, **k: resizes.append(k) or real_resize(*a, **k))
    engine._image(str(photo), str(tmp_path / "c.png"))
    assert resizes == [{"interpolation": cv2.INTER_LINEAR}, {"interpolation": cv2.INTER_NEAREST}]
    assert (tmp_path / "a.png").read_bytes() == (tmp_path / "b.png").read_bytes() == (tmp_path / "c.png").read_bytes()


@pytest.mark.parametrize("unusual", [
    pytest.param(lambda img: img[:, ::-1], id="reversed-columns"),
    pytest.param(lambda img: np.asfortranarray(img), id="fortran-order"),
    pytest.param(lambda img: img.astype(np.uint16) * 256, id="uint16"),
    pytest.param(lambda img: img.astype(np.float32) / 255, id="float32"),
    pytest.param(lambda img: img.view(type("Photo", (np.ndarray,), {})), id="subclass"),
])
def test_unusual_photograph_arrays_take_the_step_by_step_path(reference, pm, engine, monkeypatch, photo_files, tmp_path,
                                                              unusual):
    source = photo_files["small_17x21.png"]
    wrapper = types.ModuleType("cv2")
    wrapper.__getattr__ = lambda name: getattr(cv2, name)
    wrapper.imread = lambda path: unusual(cv2.imread(path))
    monkeypatch.setattr(pm, "cv2", wrapper)
    session = PlaneSession(np.linspace(-0.2, 1.2, 40, dtype=np.float32).reshape(5, 8))
    engine._session = session
    engine._image(source, str(tmp_path / "out.png"), (40, 30))
    img = unusual(cv2.imread(source))
    expected = reference.letterbox(reference.blend_over_white(img, cv2.resize(
        session.plane[0, 0], (img.shape[1], img.shape[0]), interpolation=cv2.INTER_NEAREST)), (40, 30))
    assert np.array_equal(cv2.imread(str(tmp_path / "out.png"), cv2.IMREAD_UNCHANGED), expected)


def test_native_path_runs_and_stays_light(pm, engine, monkeypatch, tmp_path):
    """Traced peak memory tells the paths apart: the step-by-step path makes
    several float64 copies of the photograph, the native path none."""
    photo = tmp_path / "photo.png"
    cv2.imwrite(str(photo), np.random.default_rng(1).integers(0, 256, (1000, 1000, 3), dtype=np.uint8))
    engine._session = PlaneSession(np.full((64, 64), 0.5))
    photo_bytes = 1000 * 1000 * 3

    def traced_peak():
        tracemalloc.start()
        try:
            engine._image(str(photo), str(tmp_path / "out.bmp"))
            return tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()

    native_peak = traced_peak()
    monkeypatch.setattr(pm, "np", numpy_stand_in())
    steps_peak = traced_peak()
    # Native: the photograph, its float32 model values, the matte and the result.
    assert native_peak < 8 * photo_bytes
    assert steps_peak > 20 * photo_bytes


class Recorder:
    """Stand-ins that behave like the library's own object and count their uses."""

    def __init__(self):
        self.uses = 0

    def function(self, original):
        def stand_in(*args, **kwargs):
            self.uses += 1
            return original(*args, **kwargs)
        return stand_in

    def dtype_like(self, original):
        recorder = self

        class DtypeLike:  # NumPy reads a dtype-like object's `dtype` attribute
            @property
            def dtype(self):
                recorder.uses += 1
                return np.dtype(original)
        return DtypeLike()


# Every cv2 and np name that the steps a native pass replaces read. The colour
# code is swapped for another three-channel conversion: a pass that ignored it
# would feed the model R, G, B values.
WATCHED = [
    pytest.param(cv2, "cvtColor", Recorder.function, id="cv2.cvtColor"),
    pytest.param(cv2, "COLOR_BGR2RGB", lambda recorder, _: cv2.COLOR_BGR2YCrCb, id="cv2.COLOR_BGR2RGB"),
    pytest.param(np, "float32", Recorder.dtype_like, id="np.float32"),
    pytest.param(np, "transpose", Recorder.function, id="np.transpose"),
    pytest.param(np, "expand_dims", Recorder.function, id="np.expand_dims"),
    pytest.param(np, "full", Recorder.function, id="np.full"),
]


@pytest.mark.parametrize(("library", "name", "make_stand_in"), WATCHED)
def test_each_watched_name_replaced_is_used_not_bypassed(pm, engine, monkeypatch, photo_files, tmp_path,
                                                         library, name, make_stand_in):
    rng = np.random.default_rng(7)
    session = PlaneSession(rng.uniform(-0.1, 1.1, (9, 13)))
    engine._session = session
    photo = photo_files["small_17x21.png"]
    engine._image(photo, str(tmp_path / "genuine.png"))

    recorder = Recorder()
    monkeypatch.setattr(library, name, make_stand_in(recorder, getattr(library, name)))
    engine._image(photo, str(tmp_path / "native.png"))
    uses_in_the_run = recorder.uses
    with monkeypatch.context() as patch:
        patch.setattr(pm, "np", numpy_stand_in())
        engine._image(photo, str(tmp_path / "steps.png"))
    genuine_fed, native_fed, steps_fed = session.fed
    native = (tmp_path / "native.png").read_bytes()
    # The run with the stand-in in place does exactly what the step-by-step path does with it.
    assert native == (tmp_path / "steps.png").read_bytes()
    assert native_fed.tobytes() == np.ascontiguousarray(steps_fed).tobytes()
    if name == "COLOR_BGR2RGB":
        assert native_fed.tobytes() != genuine_fed.tobytes()
    else:
        assert uses_in_the_run > 0
        assert native_fed.tobytes() == genuine_fed.tobytes()
        assert native == (tmp_path / "genuine.png").read_bytes()


def test_functions_wrapped_before_the_import_are_called(photo_files, tmp_path):
    """A host that wraps cv2 and NumPy functions before importing the module
    keeps its wrappers; once the genuine functions are back, the bytes are the same."""
    code = f"""
        import collections, functools, cv2, numpy as np
        calls = collections.Counter()
        originals = {{}}
        for owner, name in [(cv2, "cvtColor"), (cv2, "resize"), (np, "full"), (np, "transpose")]:
            originals[owner, name] = original = getattr(owner, name)
            def wrapper(*args, _original=original, _name=name, **kwargs):
                calls[_name] += 1
                return _original(*args, **kwargs)
            setattr(owner, name, functools.wraps(original)(wrapper))

        import portrait_main
        engine = portrait_main.QuorinPortraitMain(None)
        engine._image({photo_files["small_17x21.png"]!r}, {str(tmp_path / "wrapped.png")!r})
        print(sorted(calls.items()))
        for (owner, name), original in originals.items():
            setattr(owner, name, original)
        engine._image({photo_files["small_17x21.png"]!r}, {str(tmp_path / "genuine.png")!r})
        print(sum(calls.values()))
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["[('cvtColor', 1), ('full', 1), ('resize', 2), ('transpose', 1)]", "5"]
    assert (tmp_path / "wrapped.png").read_bytes() == (tmp_path / "genuine.png").read_bytes()
