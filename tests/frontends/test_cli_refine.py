"""What the command line writes with each matte: the engine's own picture for
the model matte, transparency and masks that agree, clear refusals."""

from pathlib import Path

import cv2
import numpy as np
import pytest

SAMPLE = Path(__file__).resolve().parents[2] / "samples" / "astronaut.png"


def test_model_matte_over_white_is_what_the_engine_writes(run_cli, tmp_path):
    import portrait_main

    engine = portrait_main.QuorinPortraitMain(None)
    for size, name in [(None, "a.png"), ("200x300", "b.jpg")]:
        expected, written = tmp_path / f"engine_{name}", tmp_path / name
        engine._image(str(SAMPLE), str(expected), tuple(map(int, size.split("x"))) if size else None)
        result = run_cli(SAMPLE, "-o", written, "--matte", "model", *(["--size", size] if size else []))
        assert result.returncode == 0, result.stderr
        assert written.read_bytes() == expected.read_bytes()


@pytest.mark.parametrize("matte", ["refined", "model"])
def test_transparent_alpha_is_the_mask_and_colours_follow_the_formula(run_cli, tmp_path, matte):
    outputs = {name: tmp_path / f"{name}.png" for name in ("clear", "mask", "blue")}
    for name, extra in [("clear", ["--background", "transparent"]), ("mask", ["--mask"]), ("blue", ["--background", "blue"])]:
        result = run_cli(SAMPLE, "-o", outputs[name], "--matte", matte, *extra)
        assert result.returncode == 0, result.stderr
    clear = cv2.imread(str(outputs["clear"]), cv2.IMREAD_UNCHANGED)
    mask = cv2.imread(str(outputs["mask"]), cv2.IMREAD_UNCHANGED)
    assert clear.shape == (512, 512, 4) and mask.shape == (512, 512)
    np.testing.assert_array_equal(clear[:, :, 3], mask)
    assert 0 < (mask == 255).mean() < 1 and (mask == 0).any()
    blue = cv2.imread(str(outputs["blue"]))
    a = (mask.astype(np.float32) / 255)[..., None]
    expected = a * clear[:, :, :3] + (1 - a) * np.float32([255, 0, 0])
    assert np.abs(blue - expected).max() <= 1.01  # the mask is alpha rounded to 8 bits


BAD_RUNS = {  # what is wrong: (arguments given tmp_path, what the message must say)
    "transparent JPEG": (lambda t: [SAMPLE, "-o", t / "out.jpg", "--background", "transparent"], "cannot hold transparency"),
    "unreadable photograph": (lambda t: [t / "notes.txt", "-o", t / "out.png"], "not an image"),
    "missing model": (lambda t: [SAMPLE, "-o", t / "out.png", "--model", t / "gone.onnx"], "no such model file"),
    "output under a file": (lambda t: [SAMPLE, "-o", t / "notes.txt" / "out.png"], "cannot make its folder"),
    "unknown colour": (lambda t: [SAMPLE, "-o", t / "out.png", "--background", "blurple"], "blurple"),
    "unreadable background picture": (lambda t: [SAMPLE, "-o", t / "out.png", "--background", t / "notes.txt"],
                                      "the background picture"),
    "missing background picture": (lambda t: [SAMPLE, "-o", t / "out.png", "--background", t / "beach.jpg"],
                                   "beach.jpg: no such file"),
    "blur too strong": (lambda t: [SAMPLE, "-o", t / "out.png", "--background", "blur:500"], "blur:STRENGTH"),
}


@pytest.mark.parametrize("arguments, message", BAD_RUNS.values(), ids=BAD_RUNS.keys())
def test_bad_requests_get_a_clear_message_and_no_file(run_cli, tmp_path, arguments, message):
    (tmp_path / "notes.txt").write_text("not a photograph")
    result = run_cli(*arguments(tmp_path))
    assert result.returncode in (1, 2) and message in result.stderr and "Traceback" not in result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["notes.txt"]
