"""The portrait-main command line."""

import shutil
from pathlib import Path

import cv2
import pytest

SAMPLE = Path(__file__).resolve().parents[2] / "samples" / "astronaut.png"


@pytest.fixture
def photos(tmp_path):
    folder = tmp_path / "photos"
    folder.mkdir()
    photo = cv2.imread(str(SAMPLE))
    cv2.imwrite(str(folder / "a.png"), photo)
    cv2.imwrite(str(folder / "b.jpg"), cv2.resize(photo, (300, 200)))
    (folder / "notes.txt").write_text("not a photograph")
    return folder


def test_one_photograph(run_cli, tmp_path, red_model):
    out = tmp_path / "sub" / "out.png"
    result = run_cli(SAMPLE, "-o", out, "--model", red_model)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"wrote {out}"
    assert cv2.imread(str(out)).shape == (512, 512, 3)


def test_size_letterboxes_and_default_model_is_used(run_cli, tmp_path):
    out = tmp_path / "out.jpg"
    result = run_cli(SAMPLE, "-o", out, "--size", "300x200")
    assert result.returncode == 0, result.stderr
    assert cv2.imread(str(out)).shape == (200, 300, 3)


@pytest.mark.parametrize("size", ["640", "0x480", "640x-1", "axb", "640x480x3", ""])
def test_bad_size_is_refused(run_cli, tmp_path, size):
    result = run_cli(SAMPLE, "-o", tmp_path / "out.png", "--size", size)
    assert result.returncode == 2
    assert "bad size" in result.stderr and "WIDTHxHEIGHT" in result.stderr
    assert not (tmp_path / "out.png").exists()


def test_missing_and_unreadable_inputs(run_cli, tmp_path, red_model):
    result = run_cli(tmp_path / "nope.jpg", "-o", tmp_path / "out.png", "--model", red_model)
    assert result.returncode == 1 and "no such file" in result.stderr

    text = tmp_path / "fake.jpg"
    text.write_text("hello")
    result = run_cli(text, "-o", tmp_path / "out.png", "--model", red_model)
    assert result.returncode == 1 and "not an image that can be read" in result.stderr
    assert not (tmp_path / "out.png").exists()

    result = run_cli(SAMPLE, "-o", tmp_path / "out.png", "--model", tmp_path / "missing.onnx")
    assert result.returncode == 1 and "no such model file" in result.stderr


def test_never_overwrites_the_input(run_cli, tmp_path, red_model):
    photo = tmp_path / "photo.png"
    shutil.copy(SAMPLE, photo)
    before = photo.read_bytes()
    for target in (photo, tmp_path):  # the file itself, or its own folder
        result = run_cli(photo, "-o", target, "--model", red_model)
        assert result.returncode == 1 and "refusing to overwrite" in result.stderr
    assert photo.read_bytes() == before


def test_folder_in_folder_out(run_cli, tmp_path, photos, red_model):
    out = tmp_path / "out"
    result = run_cli(photos, "-o", out, "--model", red_model)
    assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in out.iterdir()) == ["a.png", "b.jpg"]
    assert cv2.imread(str(out / "b.jpg")).shape == (200, 300, 3)
    assert "2 of 2 photographs written" in result.stdout

    result = run_cli(photos, "-o", tmp_path / "png", "--ext", "png", "--model", red_model)
    assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in (tmp_path / "png").iterdir()) == ["a.png", "b.png"]


def test_folder_goes_on_past_failures_and_reports_them(run_cli, tmp_path, photos, red_model):
    (photos / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 20)
    out = tmp_path / "out"
    result = run_cli(photos, "-o", out, "--model", red_model)
    assert result.returncode == 1
    assert "broken.png" in result.stderr
    assert "2 of 3 photographs written" in result.stdout
    assert sorted(p.name for p in out.iterdir()) == ["a.png", "b.jpg"]


def test_folder_into_itself_keeps_every_input(run_cli, photos, red_model):
    before = {p.name: p.read_bytes() for p in photos.iterdir()}
    result = run_cli(photos, "-o", photos, "--model", red_model)
    assert result.returncode == 1
    assert {p.name: p.read_bytes() for p in photos.iterdir()} == before
    # With another extension the outputs are new files beside the inputs.
    result = run_cli(photos, "-o", photos, "--ext", "webp", "--model", red_model)
    assert result.returncode == 0, result.stderr
    assert (photos / "a.webp").exists() and (photos / "b.webp").exists()


def test_help_explains_the_options(run_cli):
    result = run_cli("--help")
    assert result.returncode == 0
    for word in ("--size", "--model", "--ext", "folder", "letterbox", "never overwritten", "PICTURE", "blur[:STRENGTH]"):
        assert word in result.stdout


def test_progress_bar_only_on_a_terminal(tmp_path, photos, red_model):
    from portrait_studio.frontends import cli as portrait_main_cli

    class Terminal:
        def __init__(self):
            self.text = ""

        def isatty(self):
            return True

        def write(self, text):
            self.text += text

        def flush(self):
            pass

    terminal = Terminal()
    bar = portrait_main_cli.Progress(2, stream=terminal)
    bar.step("a.png")
    bar.step("b.png")
    assert "1/2 a.png" in terminal.text and "2/2 b.png" in terminal.text
    piped = Terminal()
    piped.isatty = lambda: False
    portrait_main_cli.Progress(2, stream=piped).step("a.png")
    assert piped.text == ""
