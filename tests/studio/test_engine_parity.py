"""The engine's own picture (the model's matte over white) is the same bytes
whichever way in asks for it: the engine's `_image`, the command line, the
one-call API and the service, for models whose values leave [0, 1]."""

import math

import cv2
import numpy as np
import pytest
from fastapi.testclient import TestClient

import portrait_studio
from portrait_studio.core.compose import sanitise_alpha
from portrait_studio.frontends import cli
from portrait_studio.frontends.server import Settings, create_app

MODELS = {
    "above one": lambda models, d: models.constant_matte(d / "above.onnx", 1.5),
    "below zero": lambda models, d: models.constant_matte(d / "below.onnx", -0.5),
    "nan": lambda models, d: models.constant_matte(d / "nan.onnx", math.nan),
    "ramp -0.5..1.5": lambda models, d: models.ramp_matte(d / "ramp.onnx", -0.5, 1.5),
    "bundled": None,
}
SIZES = [None, (300, 400), (511, 511), (40, 9)]


@pytest.fixture(scope="module", params=list(MODELS))
def model(request, make_model, tmp_path_factory):
    make = MODELS[request.param]
    return None if make is None else str(make(make_model, tmp_path_factory.mktemp("parity")))


@pytest.fixture(scope="module")
def service(model):
    with TestClient(create_app(Settings(model=model, workers=1))) as client:
        yield client


@pytest.mark.parametrize("size", SIZES, ids=str)
@pytest.mark.parametrize("photo_name", ["astronaut.png", "camera.png"])
def test_every_way_in_writes_the_engines_bytes(pm, model, service, photo_files, tmp_path, size, photo_name):
    photo_path = photo_files[photo_name]
    photo = cv2.imread(photo_path)
    engine_file = tmp_path / "engine.png"
    pm.QuorinPortraitMain(model)._image(photo_path, str(engine_file), size)
    expected = cv2.imread(str(engine_file), cv2.IMREAD_UNCHANGED)

    cli_file = tmp_path / "cli.png"
    argv = [photo_path, "-o", str(cli_file), "--matte", "model", "-q"]
    argv += ["--model", model] if model else []
    argv += ["--size", f"{size[0]}x{size[1]}"] if size else []
    assert cli.main(argv) == 0
    assert cli_file.read_bytes() == engine_file.read_bytes()

    api = portrait_studio.cut_out(photo, matte="model", size=size, model=model)
    np.testing.assert_array_equal(api, expected)

    fields = {"matte": "model"} | ({"size": f"{size[0]}x{size[1]}"} if size else {})
    answer = service.post("/v1/cutout", files={"image": ("p.png", open(photo_path, "rb").read())}, data=fields)
    assert answer.status_code == 200, answer.text
    np.testing.assert_array_equal(cv2.imdecode(np.frombuffer(answer.content, np.uint8), cv2.IMREAD_UNCHANGED),
                                  expected)


def test_out_of_range_models_are_not_clipped_before_the_blend(make_model, pm, tmp_path, photo_files):
    """Clipping the matte first would give other bytes: the check above can fail."""
    model = str(make_model.ramp_matte(tmp_path / "ramp.onnx", -0.5, 1.5))
    photo = cv2.imread(photo_files["astronaut.png"])
    segmenter = portrait_studio.Cutout(model).segmenter
    matte = segmenter.matte(photo, (512, 512))
    clipped = portrait_studio.core.compose.blend_over_white_as_engine(photo, sanitise_alpha(matte))
    engine = portrait_studio.cut_out(photo, matte="model", model=model)
    assert np.count_nonzero(clipped != engine) > 1000


@pytest.mark.parametrize("shape", [(3000, 400), (1700, 2300), (769, 1025)], ids=str)
def test_large_photographs_shrunk_from_a_few_rows_keep_the_engines_bytes(pm, photo_files, tmp_path, shape):
    """Only the rows the model's shrink reads are converted for a large
    photograph; the engine converts them all."""
    rows, columns = shape
    photo = cv2.resize(cv2.imread(photo_files["astronaut.png"]), (columns, rows), interpolation=cv2.INTER_CUBIC)
    photo = (photo.astype(np.int16) + np.random.default_rng(rows).integers(-9, 10, photo.shape)).clip(0, 255)
    photo_path = tmp_path / "large.png"
    cv2.imwrite(str(photo_path), photo.astype(np.uint8))
    engine_file = tmp_path / "engine.png"
    pm.QuorinPortraitMain(None)._image(str(photo_path), str(engine_file), None)
    api = portrait_studio.cut_out(cv2.imread(str(photo_path)), matte="model")
    np.testing.assert_array_equal(api, cv2.imread(str(engine_file)))
