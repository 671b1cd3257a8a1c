"""Fixtures shared by every group: the extension, small ONNX models, the
photographs, the NumPy/OpenCV reference pipeline."""

from pathlib import Path

import pytest

from tests.support import clips as clip_builders
from tests.support import onnx_models
from tests.support import reference as reference_pipeline

DATA = Path(__file__).parent / "data"
REPOSITORY = Path(__file__).parent.parent


@pytest.fixture(scope="session")
def pm():
    import portrait_main

    return portrait_main


@pytest.fixture(scope="session")
def model_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("models")


@pytest.fixture(scope="session")
def red_model(model_dir):
    return onnx_models.red_matte(model_dir / "red.onnx")


@pytest.fixture(scope="session")
def other_model(model_dir):
    return onnx_models.constant_matte(model_dir / "half.onnx", 0.5)


@pytest.fixture(scope="session")
def engine(pm, red_model):
    return pm.QuorinPortraitMain(str(red_model))


@pytest.fixture(scope="session")
def make_model():
    """The builders of small ONNX matting models: each takes the path to
    write to and returns it (see tests/support/onnx_models.py)."""
    return onnx_models


@pytest.fixture(scope="session")
def reference():
    """The engine's pipeline written out in NumPy and OpenCV: the oracle of
    the byte-for-byte tests."""
    return reference_pipeline


@pytest.fixture(scope="session")
def repository():
    return REPOSITORY


@pytest.fixture(scope="session")
def data_dir():
    """The committed photographs (tests/data, with their sources)."""
    return DATA


@pytest.fixture(scope="session")
def modnet_model():
    """The bundled portrait network, from the source tree."""
    return REPOSITORY / "models" / "modnet.onnx"


@pytest.fixture(scope="session")
def gradient_model(model_dir):
    return onnx_models.gradient_matte(model_dir / "gradient.onnx")


@pytest.fixture(scope="session")
def photo_files(tmp_path_factory):
    """Photograph files by name: the two committed ones and inputs made from
    them (a four-channel PNG, odd and large sizes, a JPEG)."""
    import cv2
    import numpy as np

    folder = tmp_path_factory.mktemp("photos")
    astronaut = cv2.imread(str(DATA / "astronaut.png"))
    rows, cols = astronaut.shape[:2]
    alpha = np.tile(np.linspace(0, 255, cols).astype(np.uint8), (rows, 1))
    made = {
        "four_channel.png": np.dstack([astronaut, alpha]),
        "small_17x21.png": cv2.resize(astronaut, (17, 21), interpolation=cv2.INTER_AREA),
        "wide_1000x500.png": cv2.resize(astronaut, (1000, 500), interpolation=cv2.INTER_LINEAR),
        # large enough for the per-pixel passes to be split across threads,
        # with the split falling inside a row
        "large_1201x701.png": cv2.resize(astronaut, (1201, 701), interpolation=cv2.INTER_CUBIC),
        "astronaut.jpg": astronaut,
    }
    paths = {"astronaut.png": str(DATA / "astronaut.png"), "camera.png": str(DATA / "camera.png")}
    for name, array in made.items():
        assert cv2.imwrite(str(folder / name), array)
        paths[name] = str(folder / name)
    return paths


@pytest.fixture(scope="session")
def clips():
    """Tiny clips made with PyAV (`make_clip`) and read back on their own
    (`probe`): see tests/support/clips.py. Skips where PyAV is missing."""
    pytest.importorskip("av")
    return clip_builders
