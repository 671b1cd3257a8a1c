"""The model that ships with the package really cuts out a portrait."""

from pathlib import Path

import cv2
import numpy as np
import onnxruntime

SAMPLE = Path(__file__).resolve().parents[2] / "samples" / "astronaut.png"

# Regions of the 512 x 512 sample portrait, as (rows, columns).
FACE = (slice(100, 160), slice(190, 260))
SUIT = (slice(350, 450), slice(60, 130))
BACKGROUND = (slice(0, 80), slice(400, 512))


def test_bundled_model_is_installed_beside_the_module(pm):
    path = Path(pm.__file__).parent / "modnet.onnx"
    assert path.is_file()
    engine = pm.QuorinPortraitMain(None)
    assert engine._session._model_path == str(path)
    session = engine._session
    (tensor_in,) = session.get_inputs()
    (tensor_out,) = session.get_outputs()
    assert (tensor_in.name, tensor_in.type) == ("input", "tensor(float)")
    assert tensor_in.shape[:2] == [1, 3] and all(isinstance(d, str) for d in tensor_in.shape[2:])
    assert (tensor_out.name, tensor_out.type) == ("output", "tensor(float)")
    assert tensor_out.shape[:2] == [1, 1]


def test_bundled_model_cuts_out_the_sample_portrait(pm, tmp_path):
    engine = pm.QuorinPortraitMain("")
    out = tmp_path / "portrait.png"
    engine._image(str(SAMPLE), str(out))
    photo = cv2.imread(str(SAMPLE))
    portrait = cv2.imread(str(out))
    assert portrait.shape == photo.shape

    # The person keeps their own colours...
    for region in (FACE, SUIT):
        assert np.abs(portrait[region].astype(int) - photo[region]).mean() < 2
    # ...and the (dark, textured) background turns white.
    assert photo[BACKGROUND].mean() < 160
    assert portrait[BACKGROUND].mean() > 250
    # The matte is not trivial: a good share of the picture is background.
    white = (portrait == 255).all(axis=2).mean()
    assert 0.15 < white < 0.7


def test_bundled_model_matte_is_in_range(pm):
    session = onnxruntime.InferenceSession(str(Path(pm.__file__).parent / "modnet.onnx"))
    photo = cv2.cvtColor(cv2.imread(str(SAMPLE)), cv2.COLOR_BGR2RGB).astype(np.float32) / 255.0
    tensor = ((photo - 0.5) / 0.5).transpose(2, 0, 1)[None]
    (matte,) = session.run(["output"], {"input": np.ascontiguousarray(tensor)})
    assert matte.dtype == np.float32 and matte.ndim == 4 and matte.shape[:2] == (1, 1)
    assert 0.0 <= matte.min() and matte.max() <= 1.0
    assert matte.min() < 0.01 and matte.max() > 0.99
    # Any input size is accepted.
    for height, width in [(300, 200), (17, 21)]:
        (small,) = session.run(["output"], {"input": np.zeros((1, 3, height, width), np.float32)})
        assert small.shape[:2] == (1, 1)
