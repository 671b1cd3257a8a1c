"""The ID-photo document table: every row's geometry checked against an
independent computation from its printed size, its ranges against each
other, the names and aliases, and the JSON form."""

import json
import re

import pytest

from portrait_studio.core import documents
from portrait_studio.core.background import parse_background
from portrait_studio.core.documents import ALIASES, DOCUMENTS, Document, find_document, listing, listing_json
from portrait_studio.idphoto.presets import PRESETS, find_preset

NAME = re.compile(r"^(icao|[a-z]+(-[a-z0-9]+)+)$")


def printed_pixels(length, unit, dpi):
    return {"mm": round(length / 25.4 * dpi), "in": round(length * dpi), "px": length}[unit]


@pytest.mark.parametrize("name", list(DOCUMENTS))
def test_row_is_consistent(name):
    d = DOCUMENTS[name]
    assert NAME.match(d.name) and d.name == name
    assert d.unit in ("mm", "in", "px") and d.dpi in (300, 600)
    assert d.size == (printed_pixels(d.width, d.unit, d.dpi), printed_pixels(d.height, d.unit, d.dpi))
    if d.unit == "px":
        assert d.size == (d.width, d.height)  # a file cap only where the office gives one
    if d.min_pixels:
        assert d.size[0] >= d.min_pixels[0] and d.size[1] >= d.min_pixels[1]
    if d.max_pixels:
        assert d.size[0] <= d.max_pixels[0] and d.size[1] <= d.max_pixels[1]

    # ranges: ordered, and any head framed in its range under any allowed top
    # margin keeps the chin inside the picture
    head, top = d.head, d.top
    assert 0 < head[0] < head[1] < d.height
    assert 0 < top[0] < top[1] and top[1] + head[1] <= d.height
    # the framing aims at the middles: the head's share of the height sits
    # where ID rules put it (two fifths, for the forms that want the upper
    # body, to India's 80-85 % abroad)
    assert 0.4 <= (head[0] + head[1]) / 2 / d.height <= 0.85
    if d.eye_line:
        low, high = d.eye_line
        assert 0 < low < high < d.height
        assert low >= head[0] / 2  # the eyes cannot sit lower than half the smallest head
        # at the framing's targets the eyes land inside the rule's band
        top_mid, head_mid = sum(top) / 2, sum(head) / 2
        eyes = d.height - top_mid - (1 - documents.EYE_SHARE) * head_mid
        assert low <= eyes <= high, (eyes, d.eye_line)

    assert d.backgrounds and d.background == d.backgrounds[0]
    assert all(not parse_background(colour).transparent for colour in d.backgrounds)
    assert len(d.source) > 60


def test_enough_official_documents_and_the_required_ones():
    official = [n for n in DOCUMENTS if not n.startswith("generic-")]
    assert len(official) >= 20
    required = {"us-passport", "us-visa", "uk-passport", "schengen-visa", "de-passport", "fr-passport",
                "ca-passport", "au-passport", "in-passport", "cn-passport", "jp-passport", "icao"}
    assert required <= set(DOCUMENTS)


# the earlier table's names keep their pictures
EARLIER = {"passport": (413, 531), "us": (600, 600), "25x35": (295, 413), "35x49": (413, 579),
           "online": (600, 600), "2x2": (600, 600), "35x45": (413, 531), "1inch": (295, 413),
           "2inch": (413, 579), "600x600": (600, 600), "us-2x2": (600, 600)}


def test_aliases_resolve():
    assert set(EARLIER) <= set(ALIASES)
    for alias, target in ALIASES.items():
        assert alias not in DOCUMENTS  # an alias never hides a document
        assert find_document(alias) is DOCUMENTS[target] is find_preset(f"  {alias.upper()} ") is PRESETS[alias]
        assert alias in DOCUMENTS[target].aliases
    for alias, size in EARLIER.items():
        assert find_preset(alias).size == size
    with pytest.raises(ValueError, match="unknown ID preset 'visa'.*us-passport"):
        find_document("visa")
    assert PRESETS is DOCUMENTS
    with pytest.raises(KeyError):
        PRESETS["visa"]


def test_listing_and_json_round_trip():
    assert [line.split()[0] for line in listing().splitlines()] == list(DOCUMENTS)
    rows = json.loads(listing_json())
    assert [row["name"] for row in rows] == list(DOCUMENTS)
    for row in rows:
        d = DOCUMENTS[row["name"]]
        assert row["pixels"] == list(d.size) and row["aliases"] == d.aliases
        rebuilt = Document(
            row["name"], row["title"], row["unit"], row["width"], row["height"], row["dpi"],
            tuple(row["head"]), tuple(row["eye_line"]) if row["eye_line"] else None, tuple(row["top"]),
            tuple(row["backgrounds"]), row["source"], row["max_kb"],
            tuple(row["min_pixels"]) if row["min_pixels"] else None,
            tuple(row["max_pixels"]) if row["max_pixels"] else None,
            row["min_kb"], row["hair_in_head"], row["edits"], tuple(row["chin"]) if row["chin"] else None,
            row["top_given"], row["head_given"], row["read"],
            tuple(row["head_accepted"]) if row["head_accepted"] else None, row["no_prints"], row["note"],
        )
        assert rebuilt == d


@pytest.mark.parametrize("height, head, eye_line", [
    (2.0, (1.0, 1.375), (1.125, 1.375)),  # US: the floor decides the lower end
    (45.0, (25.0, 35.0), (22.0, 32.0)),
    (600.0, (300.0, 414.0), (336.0, 414.0)),
])
def test_top_from_eye_line_brackets_the_eye_band(height, head, eye_line):
    low, high = documents.top_from_eye_line(height, head, eye_line)
    above_eyes = (1 - documents.EYE_SHARE) * sum(head) / 2
    assert low >= documents.MIN_TOP_SHARE * height
    # the crown at either end puts the eyes at, or inside, the band's ends
    assert height - high - above_eyes == pytest.approx(eye_line[0])
    assert height - low - above_eyes <= eye_line[1] + 1e-9


def test_core_never_imports_the_id_photo_code():
    # the arrow points down only: core (the request parser among it) reads the
    # table from core/documents.py and never reaches up into idphoto
    import ast
    from pathlib import Path

    import portrait_studio.core as core

    upward = []
    for path in Path(core.__file__).parent.glob("*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and "idphoto" in (node.module or ""):
                upward.append(f"{path.name}:{node.lineno}")
    assert not upward
    from portrait_studio.core import request

    assert request.parse_preset("uk") == "uk-passport" and request.parse_sheet("a4") == "A4"
