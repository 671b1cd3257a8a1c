"""Checking an existing ID photo: `portrait-main check`, `check_id_photo` and
`POST /v1/check` measure the same picture the same way; a photo of ours
passes, and the same photo moved, shrunk, off centre or on another colour
fails with the rule an office would name."""

import json

import cv2
import httpx
import pytest

import portrait_studio
from portrait_studio.idphoto import passed

DOCUMENT = "us-passport"


def spoil(picture, how):
    rows, columns = picture.shape[:2]
    if how == "blue":
        out = picture.copy()
        out[(picture >= 250).all(axis=2)] = (200, 120, 40)  # the painted white becomes blue
        return out
    shift = {"moved up": (0, -0.12, 1.0), "shrunk": (0, 0, 0.75), "off centre": (0.12, 0, 1.0)}[how]
    m = cv2.getRotationMatrix2D((columns / 2, rows / 2), 0, shift[2])
    m[:, 2] += (shift[0] * columns, shift[1] * rows)
    return cv2.warpAffine(picture, m, (columns, rows), borderMode=cv2.BORDER_CONSTANT, borderValue=(255, 255, 255))


# what is done to our photo, the rule that must fail (None: it must pass)
CASES = [("ours", None), ("moved up", "head inside the picture"), ("shrunk", "head height"),
         ("off centre", "centring"), ("blue", "background colour")]


@pytest.fixture(scope="module")
def pictures(data_dir, tmp_path_factory):
    from portrait_studio import Cutout
    from portrait_studio.idphoto import make_id_photo

    folder = tmp_path_factory.mktemp("check")
    made = make_id_photo(Cutout(threads=1), cv2.imread(str(data_dir / "astronaut.png")), DOCUMENT)
    paths = {}
    for how, _ in CASES:
        picture = made.picture if how == "ours" else spoil(made.picture, how)
        path = folder / f"{how.replace(' ', '_')}.png"  # lossless: the three front ends read the same pixels
        cv2.imwrite(str(path), picture)
        paths[how] = path
    return paths


@pytest.mark.parametrize("how, rule", CASES)
def test_cli_check_exits_0_only_when_every_rule_passes(run_cli, pictures, how, rule):
    result = run_cli("check", pictures[how], "--id", DOCUMENT, "--json")
    answer = json.loads(result.stdout)
    failed = {c["name"] for c in answer["checks"] if not c["passed"]}
    assert answer["document"] == DOCUMENT and answer["passed"] is (rule is None)
    if rule is None:
        assert result.returncode == 0 and not failed
    else:
        assert result.returncode == 1 and rule in failed
    # the same checks from the Python API, from the file's bytes
    same = portrait_studio.check_id_photo(pictures[how], DOCUMENT)
    assert [c.__dict__ for c in same] == answer["checks"] and passed(same) is answer["passed"]


def test_cli_check_prints_each_rule_and_says_what_is_wrong(run_cli, pictures, tmp_path):
    shown = run_cli("check", pictures["shrunk"], "--id", "us")
    assert shown.returncode == 1
    assert "head height:" in shown.stdout and "FAIL" in shown.stdout and "fails" in shown.stdout.splitlines()[-1]
    missing = run_cli("check", tmp_path / "nothing.jpg", "--id", "us")
    assert missing.returncode == 2 and "no such file" in missing.stderr
    unknown = run_cli("check", pictures["ours"], "--id", "nowhere")
    assert unknown.returncode == 2 and "unknown ID preset" in unknown.stderr


def test_service_check_answers_as_the_command_line(serve_process, tmp_path_factory, run_cli, pictures):
    with serve_process("--workers", "1", cwd=tmp_path_factory.mktemp("check_cwd")) as live, \
            httpx.Client(base_url=live.url, timeout=120) as client:
        for how in ("ours", "off centre"):
            data = pictures[how].read_bytes()
            answer = client.post("/v1/check", files={"image": ("p.png", data)}, data={"id": DOCUMENT})
            assert answer.status_code == 200, answer.text
            cli = json.loads(run_cli("check", pictures[how], "--id", DOCUMENT, "--json").stdout)
            assert answer.json() == {k: cli[k] for k in ("document", "passed", "checks")}
        refused = client.post("/v1/check", files={"image": ("p.png", b"not a picture")}, data={"id": DOCUMENT})
        assert refused.status_code in (400, 415, 422)
        assert client.post("/v1/check", files={"image": ("p.png", data)}).status_code == 422  # no id


def test_api_check_takes_arrays_and_refuses_other_things(pictures):
    picture = cv2.imread(str(pictures["off centre"]))
    checks = portrait_studio.check_id_photo(picture, DOCUMENT)
    assert "centring" in {c.name for c in checks if not c.passed}
    assert "file size" not in {c.name for c in checks}  # no file, no file size
    with pytest.raises(TypeError, match="check_id_photo takes"):
        portrait_studio.check_id_photo(3, DOCUMENT)



def test_an_online_forms_file_cap_is_the_default_for_its_jpeg(data_dir):
    # the one encoder every front end calls writes a form's JPEG under the
    # form's own cap when no --max-kb is given; other formats are as asked
    import dataclasses

    from portrait_studio import Cutout, encode
    from portrait_studio.idphoto import make_id_photo
    from portrait_studio.pipeline import Output

    made = make_id_photo(Cutout(threads=1), cv2.imread(str(data_dir / "astronaut.png")), "cn-visa-online",
                         "white", force=True)
    uncapped = len(encode(Output(made.picture, made.dpi), ".jpg"))
    tight = dataclasses.replace(made.preset, max_kb=uncapped / 1024 / 2, min_kb=None)
    made = dataclasses.replace(made, preset=tight)
    output = Output(made.picture, made.dpi, details=made)
    assert len(encode(output, ".jpg")) <= tight.max_kb * 1024 < uncapped
    assert len(encode(output, ".jpg", max_kb=tight.max_kb * 3)) > tight.max_kb * 1024  # --max-kb said outright wins
    assert len(encode(output, ".png")) > tight.max_kb * 1024
    sizes = {c.name: c for c in portrait_studio.check_id_photo(encode(output, ".jpg"), tight)}
    assert sizes["file size"].passed, sizes["file size"]
