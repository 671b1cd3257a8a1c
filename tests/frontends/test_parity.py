"""Every front end, one answer: for each request field and each output
format, the command line, `cut_out` and the service give the same bytes, the
same warnings, confidence and review, and the same refusal in the same words
(each field spelled as that front end's user types it)."""

import contextlib
import json
import re
from dataclasses import dataclass
from pathlib import Path

import pytest

import portrait_studio
from portrait_studio.core import fields, imageio
from portrait_studio.frontends import cli
from portrait_studio.pipeline import format_of

SAMPLE = Path(__file__).resolve().parents[2] / "samples" / "astronaut.png"
FORMATS = ("png", "jpg", "webp", "tif", "bmp", "avif")


@dataclass
class Answer:
    data: bytes | None = None
    warnings: tuple[str, ...] = ()
    confidence: float | None = None
    review: bool | None = None
    refusal: str | None = None  # the words, the file names left out


def without_names(message: str, *paths) -> str:
    """The message without the file names the command line puts before it,
    the photograph named as the service names it (it has no file name)."""
    for path in paths:
        message = message.replace(f"{imageio.shown(path)}: ", "")
    return message.replace(imageio.shown(paths[0]), "the image")


def command_line(photo: Path, fmt: str, request: dict, tmp_path: Path, capsys) -> Answer:
    target, report = tmp_path / f"cli.{fmt}", tmp_path / "report.jsonl"
    args = [str(photo), "-o", str(target), "--report", str(report)]
    for name, value in request.items():
        field = fields.FIELD_BY_NAME[name]
        if field.kind is bool:
            args += [fields.COMMAND_LINE(name)] if value else []
        else:
            args += [fields.COMMAND_LINE(name), str(value)]
    capsys.readouterr()
    try:
        status = cli.main(args)
    except SystemExit as exit:  # argparse refuses a value its type cannot parse
        status = exit.code
    said = capsys.readouterr().err.strip().splitlines()
    if status != 0:
        assert not target.exists()
        last = re.sub(r"^portrait-main: (error: argument [^:]+: )?", "", said[-1])
        return Answer(refusal=without_names(last, photo, target))
    entry = json.loads(report.read_text())
    told = [without_names(line.removeprefix("portrait-main: "), photo, target) for line in said]
    warnings = tuple(line for line in told if "marked for review" not in line)
    return Answer(target.read_bytes(), warnings, entry["confidence"], entry["review"])


def python(photo: Path, fmt: str, request: dict) -> Answer:
    try:
        made = portrait_studio.cut_out(photo, details=True, format=fmt, **request)
    except (portrait_studio.RequestError, imageio.ImageError) as error:
        return Answer(refusal=without_names(str(error), photo))
    return Answer(made.picture, made.warnings, round4(made.confidence), made.review)


def service(client, photo: Path, fmt: str, request: dict) -> Answer:
    if "max_pixels" in request:  # the operator's setting, not the client's
        with service_client(max_pixels=request["max_pixels"]) as limited:
            return service(limited, photo, fmt, {k: v for k, v in request.items() if k != "max_pixels"})
    form = {name: ("true" if value is True else "false" if value is False else str(value))
            for name, value in request.items()}
    answer = client.post("/v1/cutout", files={"image": ("photo", photo.read_bytes())}, data={**form, "format": fmt})
    if answer.status_code != 200:
        return Answer(refusal=answer.json()["error"])
    warnings = tuple(json.loads(answer.headers.get("X-Portrait-Warnings", "[]")))
    confidence = answer.headers.get("X-Portrait-Confidence")
    return Answer(answer.content, warnings, round4(float(confidence)) if confidence else None,
                  answer.headers.get("X-Portrait-Review") == "true" if confidence else False)


def respelled(words: str, spelling) -> str:
    for field in fields.FIELDS:
        words = words.replace("{" + field.name + "}", spelling(field.name))
    return words


def round4(value):
    return None if value is None else round(value, 4)


@contextlib.contextmanager
def service_client(**settings):
    from fastapi.testclient import TestClient

    from portrait_studio.frontends.server import Settings, create_app

    with TestClient(create_app(Settings(workers=1, **settings))) as client:
        yield client


@pytest.fixture(scope="module")
def client():
    with service_client() as client:
        yield client


PHOTO = "photograph"  # a case's own photograph, instead of the sample


@pytest.fixture(scope="module")
def blank(tmp_path_factory):
    """A plain grey photograph: no face in it."""
    import cv2
    import numpy as np

    path = tmp_path_factory.mktemp("blank") / "blank.png"
    cv2.imwrite(str(path), np.full((400, 300, 3), 90, np.uint8))
    return path


# Each field of the table at a value other than its default, and the cases
# where the fields meet. A format that cannot hold the picture must be refused
# alike by all three.
REQUESTS = {
    "default": {},
    "fast": {"matte": "fast"},
    "engine's own": {"matte": "model"},
    "background": {"matte": "fast", "background": "#2050a0"},
    "transparent": {"matte": "fast", "background": "transparent"},
    "blur": {"matte": "fast", "background": "blur:20"},
    "size": {"matte": "model", "size": "300x420"},
    "size that cannot fit": {"matte": "fast", "size": "4000x1", PHOTO: "blank"},
    "mask": {"matte": "fast", "mask": True},
    "quality": {"matte": "fast", "quality": 70},
    "max_pixels": {"matte": "fast", "max_pixels": 100_000},
    "id forced": {"id": "passport", "force": True, "matte": "fast"},
    "id forced, no face": {"id": "passport", "force": True, "matte": "fast", PHOTO: "blank"},
    "id, no face": {"id": "passport", "matte": "fast", PHOTO: "blank"},
    "id capped": {"id": "passport", "max_kb": 1, "matte": "fast"},
    "id sheet": {"id": "passport", "sheet": "6x4in", "matte": "fast"},
    "id without id": {"force": True},
    "size with id": {"id": "passport", "size": "300x400"},
    "keep without id": {"background": "keep"},
    "bad quality": {"quality": 0},
}


def all_fields_walked():
    walked = {name for request in REQUESTS.values() for name in request} - {PHOTO}
    return walked | {"format"}


def test_the_table_is_walked_whole():
    assert all_fields_walked() == {field.name for field in fields.FIELDS}


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("case", list(REQUESTS))
def test_every_front_end_gives_the_same_answer(case, fmt, client, tmp_path, capsys, blank):
    request = dict(REQUESTS[case])
    photo = blank if request.pop(PHOTO, None) else SAMPLE
    if fmt in ("tif", "bmp", "avif") and request.get("id") and (request.get("max_kb") or request.get("sheet")):
        pytest.skip("one ID case per format beyond the common three")
    answers = {
        fields.COMMAND_LINE: command_line(photo, fmt, request, tmp_path, capsys),
        fields.PYTHON: python(photo, fmt, request),
        fields.SERVICE: service(client, photo, fmt, request),
    }
    first = answers[fields.COMMAND_LINE]
    # The command line's words with each of its options (unmistakable: --name) as a slot to spell.
    words = fields.unspelled(first.refusal, fields.COMMAND_LINE) if first.refusal is not None else None
    for spelling, answer in answers.items():
        name = spelling.front_end
        expected = None if words is None else respelled(words, spelling)
        assert answer.refusal == expected, f"{name}: {answer.refusal!r}, not {expected!r}"
        assert answer.data == first.data, f"{name}: other bytes than the command line's"
        assert answer.warnings == first.warnings, name
        assert (answer.confidence, answer.review) == (first.confidence, first.review), name
    if first.refusal is not None:  # each front end's own spelling, no other's
        assert "--" not in answers[fields.SERVICE].refusal + answers[fields.PYTHON].refusal
    else:
        assert format_of(first.data) == fmt
    if case == "id forced, no face":  # said by every front end, not only the command line
        assert any("no face" in warning for warning in first.warnings)


def test_words_spelled_per_front_end():
    message = "{force} makes it anyway; raise the limit ({max_pixels}) or drop {max_kb}"
    spelled = {spelling: message.format(**{f.name: spelling(f.name) for f in fields.FIELDS})
               for spelling in fields.SPELLINGS}
    assert spelled[fields.COMMAND_LINE] == "--force makes it anyway; raise the limit (--max-pixels) or drop --max-kb"
    assert spelled[fields.SERVICE] == ("force=true makes it anyway; raise the limit (the service's max_pixels "
                                       "setting) or drop max_kb")
    assert spelled[fields.PYTHON] == "force=True makes it anyway; raise the limit (max_pixels=) or drop max_kb="
    for spelling, text in spelled.items():
        assert fields.unspelled(text, spelling) == message


@pytest.mark.parametrize("built, given", [
    ({"id_photo": "passport", "size": (300, 400)}, {"id": "passport", "size": "300x400"}),
    ({"id_photo": "passport", "mask": True}, {"id": "passport", "mask": "true"}),
    ({"background": "keep"}, {"background": "keep"}),
    ({"id_photo": "passport", "background": "blur"}, {"id": "passport", "background": "blur"}),
    ({"quality": 0}, {"quality": 0}),
])
def test_the_rules_between_fields_are_one(built, given):
    """A Request built in Python and one parsed from fields are refused by the same rule, in the same words."""
    from portrait_studio.core.background import parse_background
    from portrait_studio.core.request import IdPhotoRequest, Request, RequestError, request_from_fields

    arguments = dict(built)
    if "id_photo" in arguments:
        arguments["id_photo"] = IdPhotoRequest(arguments["id_photo"])
    if "background" in arguments:
        arguments["background"] = parse_background(arguments["background"])
    with pytest.raises(RequestError) as from_fields:
        request_from_fields(given)
    with pytest.raises(RequestError) as from_python:
        Request(**arguments)
    if "quality" in given:  # text and numbers meet one parser; a Request takes numbers as they are
        assert "quality" in str(from_python.value) and "1 to 100" in str(from_python.value)
    else:
        assert str(from_python.value) == str(from_fields.value)
