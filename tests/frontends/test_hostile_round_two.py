"""The second round of hostile inputs: paths that would replace what the
user did not name, pictures that claim more than they are, and clients that
hold the service's places. Each row here is one way a file, a path or a
client broke the tool before; the tables put the front ends side by side."""

from __future__ import annotations

import json
import os
import resource
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

from portrait_studio.core import imageio

SAMPLE = Path(__file__).resolve().parents[2] / "samples" / "astronaut.png"
PHOTO = cv2.resize(cv2.imread(str(SAMPLE)), (64, 48))
PNG = cv2.imencode(".png", PHOTO)[1].tobytes()
JPEG = cv2.imencode(".jpg", PHOTO)[1].tobytes()
RAW_TEXT = ("Traceback", "cv2.error", imageio.TEMPORARY_PREFIX)


def snapshot(folder: Path) -> dict[str, bytes]:
    return {str(p.relative_to(folder)): p.read_bytes() if p.is_file() else oct(p.lstat().st_mode)
            for p in sorted(folder.rglob("*"))}


# ---- name it, own it: nothing the user did not name as an output is replaced ----------------------


def lay_out(tmp_path: Path) -> dict[str, Path]:
    """A photograph, a background picture, a folder of photographs and an
    output folder that already holds a picture."""
    (tmp_path / "photos").mkdir()
    (tmp_path / "out").mkdir()
    for name in ("a.jpg", "b.png"):
        (tmp_path / "photos" / name).write_bytes(JPEG if name.endswith("jpg") else PNG)
    (tmp_path / "photo.png").write_bytes(PNG)
    (tmp_path / "beach.jpg").write_bytes(JPEG)
    (tmp_path / "out" / "a.jpg").write_bytes(JPEG)
    os.link(tmp_path / "photo.png", tmp_path / "hard.png")
    os.mkfifo(tmp_path / "fifo.png")  # what a device or a pipe is: replacing it would break whoever reads it
    return {"fifo": tmp_path / "fifo.png", "photo": tmp_path / "photo.png", "beach": tmp_path / "beach.jpg", "photos": tmp_path / "photos",
            "out": tmp_path / "out", "hard": tmp_path / "hard.png"}


# what is run (paths by name from lay_out), words the refusal says
NEVER_REPLACED = {
    "--report names the photograph": (["photo", "-o", "T/o.png", "--report", "photo"], "overwrite the photograph"),
    "--report is a hard link to it": (["photo", "-o", "T/o.png", "--report", "hard"], "overwrite the photograph"),
    "--report names the background": (["photo", "-o", "T/o.png", "--background", "beach", "--report", "beach"],
                                      "overwrite the background picture"),
    "-o names the background": (["photo", "-o", "beach", "--background", "beach"], "overwrite the background picture"),
    "--report names -o": (["photo", "-o", "T/o.png", "--report", "T/o.png"], "each output needs a file of its own"),
    "--report names the model": (["photo", "-o", "T/o.png", "--report", "MODEL"], "overwrite the model"),
    "--report is a pipe": (["photo", "-o", "T/o.png", "--report", "fifo"], "is a pipe"),
    "-o is a pipe": (["photo", "-o", "fifo"], "is a pipe"),
    "folder: --report names an input": (["photos", "-o", "out", "--report", "photos/a.jpg"], "overwrite the photograph"),
    "folder: --report names an output": (["photos", "-o", "out", "--report", "out/b.png"], "each output needs"),
    "folder: --report, resumed, names an output": (["photos", "-o", "out", "--skip-existing", "--report", "out/a.jpg"],
                                                   "each output needs"),
    "folder: an output names the background": (["photos", "-o", "out", "--background", "out/a.jpg"],
                                               "overwrite the background picture"),
    "folder: --report names the background": (["photos", "-o", "out", "--background", "beach", "--report", "beach"],
                                              "overwrite the background picture"),
}


@pytest.mark.parametrize("case", NEVER_REPLACED)
def test_no_output_replaces_an_input_another_output_or_a_special_file(run_cli, tmp_path, red_model, case):
    arguments, says = NEVER_REPLACED[case]
    paths = lay_out(tmp_path)
    (tmp_path / "T").mkdir()

    def path_of(word: str) -> str:
        if word == "MODEL":
            return str(red_model)
        if word in paths:
            return str(paths[word])
        return str(tmp_path / word) if "/" in word and not word.startswith("/") else word

    before = snapshot(tmp_path)
    model_before = Path(red_model).read_bytes()
    result = run_cli(*map(path_of, arguments), "--model", red_model)
    assert result.returncode == 1, result.stdout
    assert says in result.stderr, result.stderr
    assert not any(text in result.stderr for text in RAW_TEXT), result.stderr
    assert snapshot(tmp_path) == before  # nothing replaced, nothing new: refused before any work
    assert Path(red_model).read_bytes() == model_before


def test_an_overlay_that_cannot_be_written_is_refused_before_the_photo(run_cli, tmp_path):
    """The guide lines under /proc: refused before any work, so no ID photo
    is left on disk under a failure."""
    report = tmp_path / "run.jsonl"
    result = run_cli(SAMPLE, "-o", tmp_path / "passport.jpg", "--id", "passport", "--overlay", "/proc/guides.png",
                     "--report", report)
    assert result.returncode == 1 and "--overlay /proc/guides.png: cannot be written" in result.stderr, result.stderr
    assert not (tmp_path / "passport.jpg").exists() and not report.exists()


def test_the_photo_and_its_guide_lines_are_written_both_or_neither(tmp_path, monkeypatch):
    """When the guide lines fail at the very end, the photo is not left behind."""
    from portrait_studio import Cutout
    from portrait_studio.core.request import request_from_fields

    request = request_from_fields({"id": "passport"})
    real_replace = os.replace

    def replace(source, target):
        if str(target).endswith("guides.png"):
            raise OSError(28, "No space left on device")
        return real_replace(source, target)

    monkeypatch.setattr(os, "replace", replace)
    with pytest.raises(imageio.ImageError, match="guides.png: cannot be written"):
        Cutout().write(SAMPLE, tmp_path / "passport.jpg", request, overlay=tmp_path / "guides.png")
    assert os.listdir(tmp_path) == []


# ---- the report: opened first, resumed whole, its errors said plainly ----------------------------------


def read_lines(path: Path) -> list[dict]:
    return [json.loads(text) for text in path.read_text(encoding="utf-8").splitlines()]


def test_resuming_keeps_every_photograph_already_on_disk_in_the_report(run_cli, tmp_path, red_model):
    photos, out, report = tmp_path / "photos", tmp_path / "out", tmp_path / "run.jsonl"
    photos.mkdir()
    for index in range(3):
        cv2.imwrite(str(photos / f"p{index}.png"), np.roll(PHOTO, 9 * index, axis=1))
    first = run_cli(photos, "-o", out, "--matte", "fast", "--model", red_model, "--report", report)
    assert first.returncode == 0, first.stderr
    earlier = {line["output"]: line for line in read_lines(report)}
    # a run killed outright left its temporary: its line is salvaged, the file removed
    cv2.imwrite(str(photos / "p3.png"), PHOTO[:, ::-1])
    killed_line = {"input": str(photos / "p3.png"), "output": str(out / "p3.png"), "ok": True, "confidence": 0.75,
                   "review": False}
    run_cli(photos / "p3.png", "-o", out / "p3.png", "--matte", "fast", "--model", red_model)
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    leftover = tmp_path / f"{imageio.TEMPORARY_PREFIX}report-{dead.stdout.strip()}-0123abcd-run.jsonl"
    leftover.write_text(json.dumps(killed_line) + "\n" + '{"input": "cut sh', encoding="utf-8")
    cv2.imwrite(str(photos / "p4.png"), PHOTO[::-1])
    second = run_cli(photos, "-o", out, "--matte", "fast", "--model", red_model, "--report", report, "--skip-existing")
    assert second.returncode == 0, second.stderr
    lines = {line["output"]: line for line in read_lines(report)}
    assert set(lines) == {str(out / f"p{index}.png") for index in range(5)}
    for output, line in earlier.items():
        assert lines[output] == line  # confidence and review as measured the first time
    assert lines[str(out / "p3.png")] == killed_line
    assert lines[str(out / "p4.png")]["confidence"] is not None
    assert not leftover.exists()
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(imageio.TEMPORARY_PREFIX)]


def test_a_report_that_cannot_be_written_is_said_plainly(run_cli, tmp_path, red_model):
    photos = tmp_path / "photos"
    photos.mkdir()
    for index in range(24):
        cv2.imwrite(str(photos / f"p{index:02d}.jpg"), np.roll(PHOTO[:16, :16], index, axis=0))
    (tmp_path / "taken").mkdir()
    refused = run_cli(photos, "-o", tmp_path / "out", "--model", red_model, "--report", tmp_path / "taken")
    assert refused.returncode == 1 and "taken is a folder" in refused.stderr, refused.stderr
    assert not (tmp_path / "out").exists()  # refused before any work

    def small_files():  # a file system that fills up: no file may pass 2 KB
        resource.setrlimit(resource.RLIMIT_FSIZE, (2048, 2048))

    report = tmp_path / "run.jsonl"
    full = subprocess.run([sys.executable, "-m", "portrait_studio.frontends.cli", str(photos), "-o",
                           str(tmp_path / "out"), "--matte", "model", "--model", str(red_model), "--report",
                           str(report), "-j", "1"], capture_output=True, text=True, timeout=300, preexec_fn=small_files)
    assert full.returncode == 1
    assert "run.jsonl: the report stops short" in full.stderr and "could not be written" in full.stderr, full.stderr
    assert "Traceback" not in full.stderr
    assert len(list((tmp_path / "out").iterdir())) == 24  # the pictures are all there
    lines = read_lines(report)  # the lines that fitted, each whole
    assert 0 < len(lines) < 24 and all(line["ok"] for line in lines)
