import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

import onnx_models  # noqa: E402


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
