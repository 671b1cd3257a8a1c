"""ID photos from the command line: the preset list, a folder where some
photographs are refused, and the option errors."""

from pathlib import Path

import cv2
import numpy as np
import pytest

from portrait_studio.idphoto import PRESETS


def test_cli_lists_presets(run_cli):
    result = run_cli("--id", "list")
    assert result.returncode == 0
    assert [line.split()[0] for line in result.stdout.splitlines()] == list(PRESETS)


def face_and_blank_folder(data_dir, tmp_path):
    """A folder of two photographs: a.png with a face, b.png without one."""
    photos = tmp_path / "in"
    photos.mkdir()
    cv2.imwrite(str(photos / "a.png"), cv2.imread(str(data_dir / "astronaut.png")))
    cv2.imwrite(str(photos / "b.png"), np.full((300, 300, 3), 180, np.uint8))
    return photos


def test_cli_folder_writes_what_it_can_and_refuses_the_rest(run_cli, data_dir, tmp_path):
    photos = face_and_blank_folder(data_dir, tmp_path)
    out = tmp_path / "out"
    result = run_cli(photos, "-o", out, "--id", "passport", "--ext", "jpg", "--max-kb", "30")
    assert result.returncode == 1
    assert "b.png: no face found" in result.stderr and "--force" in result.stderr
    assert sorted(p.name for p in out.iterdir()) == ["a.jpg"]  # nothing else, no temporaries
    assert (out / "a.jpg").stat().st_size <= 30 * 1024
    assert "1 of 2 photographs" in result.stdout

    forced = run_cli(photos, "-o", out, "--id", "passport", "--ext", "jpg", "--force")
    assert forced.returncode == 0
    assert "b.png: written anyway: no face found" in forced.stderr


@pytest.mark.parametrize("args, message", [
    (["--id", "passport", "--size", "100x100"], "--size does not go with --id"),
    (["--id", "visa"], "unknown ID preset 'visa'"),
    (["--id", "passport", "--sheet", "A3"], "unknown sheet 'A3'"),
    (["--sheet", "A6"], "add --id PRESET"),
    (["--id", "passport", "--max-kb", "1"], "over the 1 KB cap"),
    (["--check"], "--check goes with --id"),
])
def test_cli_errors_say_what_to_type_and_write_nothing(run_cli, data_dir, tmp_path, args, message):
    out = tmp_path / "id.jpg"
    result = run_cli(data_dir / "astronaut.png", "-o", out, *args)
    assert result.returncode != 0 and message in result.stderr
    assert list(tmp_path.iterdir()) == []


def test_cli_lists_the_documents_as_json(run_cli):
    import json

    from portrait_studio.idphoto import listing_json

    listed = run_cli("--id", "list", "--json")
    assert listed.returncode == 0 and json.loads(listed.stdout) == json.loads(listing_json())
    misplaced = run_cli("--id", "passport", "--json")
    assert misplaced.returncode == 2 and "--json goes with --id list" in misplaced.stderr


def test_cli_check_prints_every_rule_on_refusal_and_when_forced(run_cli, data_dir, tmp_path):
    # the cameraman mirrored and enlarged: a half-profile, refused for the turn alone among size rules
    turned = tmp_path / "turned.png"
    photo = cv2.imread(str(data_dir / "camera.png"))[:, ::-1]
    cv2.imwrite(str(turned), cv2.resize(photo, None, fx=1.5, fy=1.5, interpolation=cv2.INTER_CUBIC))
    out = tmp_path / "out" / "id.jpg"
    # a document whose head counts the hair: the skull's top, estimated from
    # the eyes, is not to be had from a half-profile
    refused = run_cli(turned, "-o", out, "--id", "us", "--check")
    assert refused.returncode == 1 and "yaw fails" in refused.stderr and not out.exists()
    rules = dict(line.split(": ", 1) for line in refused.stdout.splitlines())
    assert rules["yaw"].endswith("FAIL") and rules["head height"].endswith("pass")
    assert {"centring", "pitch", "eyes open", "enlargement", "face lighting", "sharpness"} <= set(rules)

    forced = run_cli(turned, "-o", out, "--id", "us", "--check", "--force")
    assert forced.returncode == 0 and out.exists()
    assert "written anyway: yaw fails" in forced.stderr
    assert [line for line in forced.stdout.splitlines() if line.startswith("yaw:")] == [f"yaw: {rules['yaw']}"]


def test_cli_overlay_is_written_beside_the_photo_only_when_asked(run_cli, data_dir, tmp_path):
    from PIL import Image

    photo = data_dir / "astronaut.png"
    plain = run_cli(photo, "-o", tmp_path / "plain" / "id.jpg", "--id", "us-passport")
    assert plain.returncode == 0 and sorted(p.name for p in (tmp_path / "plain").iterdir()) == ["id.jpg"]

    out, guides = tmp_path / "with" / "id.jpg", tmp_path / "guides" / "id_guides.png"
    asked = run_cli(photo, "-o", out, "--id", "us-passport", "--overlay", guides, "--check")
    assert asked.returncode == 0, asked.stderr
    assert f"wrote {guides}" in asked.stdout
    assert sorted(p.name for p in guides.parent.iterdir()) == ["id_guides.png"]  # no temporaries left
    with Image.open(out) as written, Image.open(guides) as drawn:
        assert drawn.size == written.size == (600, 600)
        assert drawn.info["dpi"] == pytest.approx((300, 300), abs=0.01)
    # the photo itself is the one written without the overlay
    assert out.read_bytes() == (tmp_path / "plain" / "id.jpg").read_bytes()


@pytest.mark.parametrize("args, message", [
    (["--background", "keep"], "keep applies to ID photos: add --id DOCUMENT"),
    (["--id", "passport", "--background", "blur:8"], "a blurred background does not go with an ID photo"),
    (["--overlay", "{tmp}/g.png"], "--overlay goes with --id"),
    (["--id", "passport", "--overlay", "{photo}"], "a file of their own"),
    (["--id", "passport", "--overlay", "{tmp}/g.xyz"], "no writer for this extension"),
    (["--id", "passport", "--background", "transparent", "--overlay", "{tmp}/g.jpg", "-o", "{tmp}/id.png"],
     "JPG cannot hold transparency"),
])
def test_cli_keep_and_overlay_refusals_write_nothing(run_cli, data_dir, tmp_path, args, message):
    photo = tmp_path / "in" / "astronaut.png"
    photo.parent.mkdir()
    photo.write_bytes((data_dir / "astronaut.png").read_bytes())
    args = [a.format(tmp=tmp_path, photo=photo) for a in args]
    output = [] if "-o" in args else ["-o", tmp_path / "id.jpg"]
    result = run_cli(photo, *output, *args)
    assert result.returncode == 1 and message in result.stderr, result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in"]


def test_cli_a_refused_photo_writes_no_overlay_and_folders_take_none(run_cli, data_dir, tmp_path):
    blank = tmp_path / "blank.png"
    cv2.imwrite(str(blank), np.full((300, 300, 3), 180, np.uint8))
    refused = run_cli(blank, "-o", tmp_path / "id.jpg", "--id", "passport", "--overlay", tmp_path / "g.png")
    assert refused.returncode == 1 and "no face found" in refused.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["blank.png"]
    folder = run_cli(data_dir, "-o", tmp_path / "out", "--id", "passport", "--overlay", tmp_path / "g.png")
    assert folder.returncode == 1 and "--overlay applies to one photograph" in folder.stderr


def test_cli_folder_report_holds_each_photographs_checks(run_cli, data_dir, tmp_path):
    import json

    photos = face_and_blank_folder(data_dir, tmp_path)
    report = tmp_path / "report.jsonl"
    result = run_cli(photos, "-o", tmp_path / "out", "--id", "passport", "--background", "keep", "--report", report)
    assert result.returncode == 1  # b.png has no face
    lines = {Path(entry["input"]).name: entry for entry in map(json.loads, report.read_text().splitlines())}
    checks = {c["name"]: c for c in lines["a.png"]["checks"]}
    assert lines["a.png"]["ok"] and all(c["passed"] is True for c in checks.values())
    assert {"head height", "yaw", "sharpness", "background evenness"} <= set(checks)
    assert not lines["b.png"]["ok"] and "checks" not in lines["b.png"]  # no face: no rule was measured
