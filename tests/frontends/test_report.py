"""The per-photograph report (`--report FILE.jsonl`) and the confidence it
carries: its lines say exactly what is on disk, in every mode and after
Ctrl-C, and the service sends the same confidence in a header."""

import json
import signal
import subprocess
import time

import cv2
import numpy as np
import pytest
from fastapi.testclient import TestClient

from portrait_studio.frontends import batch
from portrait_studio.frontends.server import Settings, create_app

SAMPLE = batch.Path(__file__).resolve().parents[2] / "samples" / "astronaut.png"


def read_report(path):
    lines = [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]
    for line in lines:
        assert {"input", "output", "ok", "confidence", "review"} <= set(line)
        assert line["ok"] == ("error" not in line)
        assert line["confidence"] is None or 0.0 <= line["confidence"] <= 1.0
        assert line["review"] is (line["confidence"] is not None and line["confidence"] < 0.5)
    return lines


def written(out):
    return {str(p) for p in out.rglob("*") if p.is_file() and not batch.is_temporary(p)}


def assert_report_matches_disk(lines, out):
    assert {line["output"] for line in lines if line["ok"]} == written(out)
    assert all(line["output"] is None for line in lines if not line["ok"])


@pytest.mark.parametrize("matte, pool", [("fast", []), ("model", ["--jobs", "2"]), ("refined", ["--jobs", "1"])])
def test_folder_report_says_what_is_on_disk(run_cli, make_photos, tmp_path, matte, pool):
    source = make_photos(tmp_path / "in", 5, corrupt=True)
    out, report = tmp_path / "out", tmp_path / "run.jsonl"
    result = run_cli(source, "-o", out, "-r", "--matte", matte, "--report", report, *pool)
    assert result.returncode == 1  # the corrupt one
    lines = read_report(report)
    assert len(lines) == len(list(source.rglob("*.*")))
    assert_report_matches_disk(lines, out)
    assert all(line["confidence"] is not None for line in lines if line["ok"])  # the engine's picture too
    reviews = sum(line["review"] for line in lines if line["ok"])
    assert (f"{reviews} marked for review" in result.stdout) == (reviews > 0)


def test_single_photograph_report_and_review_warning(run_cli, red_model, tmp_path):
    report = tmp_path / "one.jsonl"
    result = run_cli(SAMPLE, "-o", tmp_path / "o.png", "--matte", "fast", "--model", red_model, "--report", report)
    assert result.returncode == 0, result.stderr
    (line,) = read_report(report)
    assert line["ok"] and line["output"] == str(tmp_path / "o.png") and line["input"] == str(SAMPLE)
    assert line["review"] == ("marked for review" in result.stderr)
    junk = tmp_path / "junk.png"
    junk.write_bytes(b"not a picture")
    failed = run_cli(junk, "-o", tmp_path / "j.png", "--report", report)
    (line,) = read_report(report)
    assert failed.returncode == 1 and not line["ok"] and line["output"] is None and line["error"] in failed.stderr
    assert not (tmp_path / "j.png").exists()


def test_report_after_ctrl_c_matches_disk(cli, make_photos, tmp_path, modnet_model):
    source = make_photos(tmp_path / "in", 30, width=1200, height=900)
    out, report = tmp_path / "out", tmp_path / "run.jsonl"
    child = subprocess.Popen(
        [cli, str(source), "-o", str(out), "-r", "--matte", "model", "--model", str(modnet_model), "--report", str(report)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    deadline = time.monotonic() + 60
    while not (out.exists() and any(not batch.is_temporary(p) for p in out.rglob("*.*"))):
        assert time.monotonic() < deadline and child.poll() is None
        time.sleep(0.01)
    child.send_signal(signal.SIGINT)
    _, stderr = child.communicate(timeout=30)
    assert child.returncode == 130, stderr
    lines = read_report(report)
    assert 0 < len(lines) < 30
    assert_report_matches_disk(lines, out)
    assert not [p for p in report.parent.iterdir() if batch.is_temporary(p)]


def test_service_sends_the_confidence(photo_files):
    with TestClient(create_app(Settings(workers=1))) as client:
        for matte in ("refined", "fast", "model"):
            answer = client.post("/v1/cutout", files={"image": ("p.png", open(photo_files["astronaut.png"], "rb").read())},
                                 data={"matte": matte})
            assert answer.status_code == 200, answer.text
            confidence = float(answer.headers["X-Portrait-Confidence"])
            assert 0.0 <= confidence <= 1.0
            assert answer.headers["X-Portrait-Review"] == ("true" if confidence < 0.5 else "false")
            assert cv2.imdecode(np.frombuffer(answer.content, np.uint8), cv2.IMREAD_COLOR) is not None
