"""ID photos from the command line: the preset list, a folder where some
photographs are refused, and the option errors."""

import cv2
import numpy as np
import pytest

from portrait_studio.idphoto import PRESETS


def test_cli_lists_presets(run_cli):
    result = run_cli("--id", "list")
    assert result.returncode == 0
    assert [line.split()[0] for line in result.stdout.splitlines()] == list(PRESETS)


def test_cli_folder_writes_what_it_can_and_refuses_the_rest(run_cli, data_dir, tmp_path):
    photos = tmp_path / "in"
    photos.mkdir()
    cv2.imwrite(str(photos / "a.png"), cv2.imread(str(data_dir / "astronaut.png")))
    cv2.imwrite(str(photos / "b.png"), np.full((300, 300, 3), 180, np.uint8))
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
    refused = run_cli(turned, "-o", out, "--id", "passport", "--check")
    assert refused.returncode == 1 and "yaw fails" in refused.stderr and not out.exists()
    rules = dict(line.split(": ", 1) for line in refused.stdout.splitlines())
    assert rules["yaw"].endswith("FAIL") and rules["head height"].endswith("pass")
    assert {"centring", "pitch", "eyes open", "enlargement", "face lighting", "sharpness"} <= set(rules)

    forced = run_cli(turned, "-o", out, "--id", "passport", "--check", "--force")
    assert forced.returncode == 0 and out.exists()
    assert "written anyway: yaw fails" in forced.stderr
    assert [line for line in forced.stdout.splitlines() if line.startswith("yaw:")] == [f"yaw: {rules['yaw']}"]
