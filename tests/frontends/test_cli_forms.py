"""The command line as people use it: several inputs, pipes, the report on
the standard output, the version and help, a model that does not fit."""

import json
import subprocess
from pathlib import Path

import cv2
import numpy as np
import pytest

SAMPLE = Path(__file__).resolve().parents[2] / "samples" / "astronaut.png"


def test_several_inputs_mix_files_and_folders(run_cli, make_photos, tmp_path, outputs):
    folder = make_photos(tmp_path / "photos", 3)
    out = tmp_path / "out"
    result = run_cli(SAMPLE, folder, "-o", out, "--matte", "fast", "-r")
    assert result.returncode == 0, result.stderr
    alone = tmp_path / "alone"
    assert run_cli(folder, "-o", alone, "--matte", "fast", "-r").returncode == 0
    # the union of what each input writes alone
    assert outputs(out) == {**outputs(alone), "astronaut.png": (out / "astronaut.png").read_bytes()}
    assert "4 of 4 photographs written" in result.stdout


def test_several_inputs_that_would_share_an_output_write_nothing(run_cli, tmp_path):
    twin = tmp_path / "twin"
    twin.mkdir()
    (twin / "astronaut.png").write_bytes(SAMPLE.read_bytes())
    result = run_cli(SAMPLE, twin / "astronaut.png", "-o", tmp_path / "out", "--matte", "fast")
    assert result.returncode == 1 and "would both be written to" in result.stderr
    assert not (tmp_path / "out").exists() or not any((tmp_path / "out").iterdir())


@pytest.mark.parametrize("given, output, asked, signature", [
    ("stdin", "-", ["--format", "png"], b"\x89PNG"),
    ("stdin", "-", ["--ext", "webp"], b"RIFF"),
    ("stdin", "-", [], b"\x89PNG"),  # the photograph's own format
    ("file", "-", ["--format", "jpg"], b"\xff\xd8\xff"),
    ("stdin", "file", [], b"\x89PNG"),
])
def test_the_standard_input_and_output(cli, run_cli, tmp_path, given, output, asked, signature):
    extension = {b"\x89PNG": "png", b"RIFF": "webp", b"\xff\xd8\xff": "jpg"}[signature]
    reference = tmp_path / f"reference.{extension}"
    assert run_cli(SAMPLE, "-o", reference, "--matte", "fast", "-q").returncode == 0
    target = tmp_path / f"out.{extension}"
    args = [cli, "-" if given == "stdin" else str(SAMPLE), "-o", "-" if output == "-" else str(target),
            "--matte", "fast", *asked]
    result = subprocess.run(args, input=SAMPLE.read_bytes() if given == "stdin" else None,
                            capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr
    written = result.stdout if output == "-" else target.read_bytes()
    assert written.startswith(signature) and written == reference.read_bytes()


def test_report_to_the_standard_output(run_cli, make_photos, tmp_path):
    folder = make_photos(tmp_path / "photos", 2)
    result = run_cli(folder, "-o", tmp_path / "out", "--matte", "fast", "--report", "-")
    assert result.returncode == 0, result.stderr
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    assert len(lines) == 2 and all(line["ok"] and 0 <= line["confidence"] <= 1 for line in lines)
    assert "photographs written" in result.stderr  # the summary keeps out of the JSON


def test_a_closed_pipe_ends_quietly(cli):
    process = subprocess.Popen([cli, str(SAMPLE), "-o", "-", "--matte", "fast", "--format", "bmp"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.close()  # a reader that has gone before the picture comes (`| head` done)
    assert process.wait(120) == 141
    assert process.stderr.read() == b""


def test_version_usage_and_help_speak_of_the_product(run_cli):
    version = run_cli("--version")
    assert version.returncode == 0 and version.stdout.startswith("portrait-main ") and version.stdout.strip()[-1].isdigit()
    usage = run_cli()
    assert usage.returncode == 2 and "portrait-main serve" in usage.stderr
    help = run_cli("--help").stdout
    assert "_image" not in help and "modnet.onnx" not in help and "selfie segmentation" in help
    for option in ("--format", "--quality", "--max-pixels", "--max-kb", "--sheet", "--force", "--mask"):
        assert option in help


def test_the_folder_summary_names_the_photographs_marked_for_review(run_cli, make_photos, other_model, tmp_path):
    folder = make_photos(tmp_path / "photos", 7)  # a flat half matte: every cut-out is doubtful
    result = run_cli(folder, "-o", tmp_path / "out", "--model", other_model, "--matte", "fast", "-r")
    assert result.returncode == 0, result.stderr
    line = next(line for line in result.stderr.splitlines() if "marked for review" in line)
    assert line.count(str(tmp_path / "out")) == 5 and line.endswith("and 2 more; --report FILE.jsonl lists them all")
    assert "7 marked for review" in result.stdout


def test_avif_holds_transparency_and_errors_list_every_writable_format(run_cli, tmp_path):
    target = tmp_path / "cutout.avif"
    assert run_cli(SAMPLE, "-o", target, "--matte", "fast", "--background", "transparent").returncode == 0
    picture = cv2.imdecode(np.frombuffer(target.read_bytes(), np.uint8), cv2.IMREAD_UNCHANGED)
    assert picture.shape[2] == 4 and picture[..., 3].min() < 20 and picture[..., 3].max() > 235
    refused = run_cli(SAMPLE, "-o", tmp_path / "cutout.xyz", "--matte", "fast")
    assert refused.returncode == 1 and "cutout.xyz: no writer for this extension" in refused.stderr
    for name in ("png", "jpg", "webp", "tif", "avif", "bmp"):
        assert name in refused.stderr


def test_a_model_for_other_inputs_is_refused_naming_it(run_cli, repository, tmp_path):
    result = run_cli(SAMPLE, "-o", tmp_path / "out.png", "--model", repository / "models" / "u2netp.onnx")
    assert result.returncode == 1
    assert "u2netp.onnx is not a person segmenter" in result.stderr and "expected one input 'input'" in result.stderr
    assert "astronaut" not in result.stderr and not (tmp_path / "out.png").exists()


def test_the_command_line_says_so_before_any_work(run_cli, tmp_path, repository):
    result = run_cli(SAMPLE, "-o", tmp_path / "out.png", "--device", "cuda")
    assert result.returncode == 1 and "--device cuda: no CUDA here" in result.stderr
    assert "portrait-main[gpu]" in result.stderr and not (tmp_path / "out.png").exists()


def test_format_names_a_folders_outputs_and_must_agree_with_ext(run_cli, make_photos, tmp_path):
    folder = make_photos(tmp_path / "photos", 2)
    result = run_cli(folder, "-o", tmp_path / "out", "--matte", "fast", "--format", "webp")
    assert result.returncode == 0, result.stderr
    written = sorted(path.suffix for path in (tmp_path / "out").rglob("*") if path.is_file())
    assert written == [".webp", ".webp"]
    clash = run_cli(folder, "-o", tmp_path / "other", "--format", "webp", "--ext", "png")
    assert clash.returncode == 1 and "disagree" in clash.stderr and not (tmp_path / "other").exists()
