"""ID photos: framing to each preset on real portraits, refusals, size caps,
print sheets and the print resolution in the file.

Head and margin are measured from hand-marked crown, chin and face axis in
the source photographs (tests/data/SOURCES.md), carried through the mapping
the result reports; that mapping is itself checked against the pixels.
"""

import io
from functools import cache

import cv2
import numpy as np
import pytest

from portrait_studio.core import colour
from portrait_studio.idphoto import (
    MIN_QUALITY,
    PRESETS,
    IdPhotoRefused,
    SizeCapError,
    encode_capped,
    framing,
    make_id_photo,
    metadata,
    sheet,
)

Image = pytest.importorskip("PIL.Image")

# Hand-marked: top of the hair, bottom of the chin, the face's vertical axis.
MARKS = {
    "astronaut": dict(crown=15, chin=175, axis=224, eyes=(216, 101.5)),
    "p_22fc0130": dict(crown=95, chin=1150, axis=590, eyes=None),  # eyes hidden by the anonymising blur
}


@pytest.fixture(scope="module")
def load(data_dir):
    """load(name): a committed photograph by name, read once."""

    @cache
    def read(name):
        return cv2.imread(str(data_dir / (name + (".png" if name == "astronaut" else ".jpg"))))

    return read


def astronaut_with_room(load):
    """The astronaut off centre on a larger grey canvas: the framing has to
    move her, and the canvas runs out below and beside her."""
    canvas = np.full((700, 900, 3), 128, np.uint8)
    canvas[120:632, 300:812] = load("astronaut")
    return canvas, dict(crown=15 + 120, chin=175 + 120, axis=224 + 300, eyes=(216 + 300, 101.5 + 120))


PHOTOS = {
    "astronaut": lambda load: (load("astronaut"), MARKS["astronaut"]),
    "p_22fc0130": lambda load: (load("p_22fc0130"), MARKS["p_22fc0130"]),
    "astronaut_with_room": astronaut_with_room,
}


@pytest.fixture(scope="module")
def photo_and_marks(load):
    """photo_and_marks(name): the photograph and its hand marks, made once."""
    return cache(lambda name: PHOTOS[name](load))


@pytest.mark.parametrize("preset", list(PRESETS))
@pytest.mark.parametrize("photo_name", list(PHOTOS))
def test_preset_frames_the_head_to_the_standard(photo_and_marks, cutout, photo_name, preset):
    photo, marks = photo_and_marks(photo_name)
    standard = PRESETS[preset]
    width, height = standard.size
    # a face too small for a large picture (600 dpi, big online forms) is refused,
    # not blown up; the marks say which side of the limit each pairing is on
    head = marks["chin"] - marks["crown"]
    if not standard.hair_in_head and marks["eyes"] is not None:
        head = 2 * (marks["chin"] - marks["eyes"][1])  # to the skull's top: eyes halfway up the head
    needed = sum(standard.head_fraction) / 2 * height / head
    if needed > 1.05 * framing.MAX_UPSCALE:
        with pytest.raises(IdPhotoRefused, match="too small"):
            make_id_photo(cutout, photo, preset)
        return
    if needed > 0.95 * framing.MAX_UPSCALE:
        pytest.skip("the head needs about the largest enlargement allowed: either outcome is right")
    # an office that forbids edits would keep the photographed background;
    # its own colour, asked for outright, is made with a warning naming the rule
    result = make_id_photo(cutout, photo, preset, background=standard.background if standard.edits else None)
    assert result.picture.shape == (height, width, 3)
    assert result.warnings == ([f"{standard.name}: the office does not accept edited photos ({standard.edits}), "
                                "and replacing the background is such an edit; keep the photographed background "
                                "to stay within it"] if standard.edits else [])

    # the reported mapping is what was drawn: the photograph warped by it
    # matches the picture on the face (alpha 1 there, so no background mixes in)
    m = result.geometry.matrix
    matrix = m.copy()
    matrix[:, 2] += m[:, :2].sum(axis=1) * 0.5 - 0.5
    warped = cv2.warpAffine(photo, matrix, (width, height), flags=cv2.INTER_LINEAR)
    face = result.face.box
    (x0, y0), (x1, y1) = framing.apply(m, [(face[0] + 0.3 * (face[2] - face[0]), face[1] + 0.3 * (face[3] - face[1])),
                                           (face[2] - 0.3 * (face[2] - face[0]), face[3] - 0.3 * (face[3] - face[1]))])
    x0, x1 = sorted((int(x0), int(x1)))
    y0, y1 = sorted((int(y0), int(y1)))
    difference = np.abs(warped[y0:y1, x0:x1].astype(int) - result.picture[y0:y1, x0:x1]).mean()
    assert difference < 6, difference

    # the hand marks, through the mapping: levelling turns them only by a few
    # degrees, so their rows still read as heights
    (_, crown), (_, chin), (axis, _) = framing.apply(m, [(marks["axis"], marks["crown"]), (marks["axis"], marks["chin"]),
                                                         (marks["axis"], (marks["crown"] + marks["chin"]) / 2)])
    head_low, head_high = standard.head_fraction
    slack = 0.01 * height
    if standard.hair_in_head or result.landmarks is None:  # without the mesh the hair's top is all there is
        assert head_low * height - slack <= chin - crown <= head_high * height + slack
    else:
        # the head is measured to the skull's top, which the hand-marked eyes
        # place (eyes halfway up the head); the hair only adds to it
        assert chin - crown >= head_low * height - slack
        if marks["eyes"] is not None:
            eye = framing.apply(m, [marks["eyes"]])[0, 1]
            assert head_low * height - slack <= 2 * (chin - eye) <= head_high * height + slack
    if standard.eye_line is None:
        top_low, top_high = standard.top_fraction
        assert top_low * height - slack <= crown <= top_high * height + slack
    elif marks["eyes"] is not None:
        eye = framing.apply(m, [marks["eyes"]])[0, 1]
        assert standard.pixels(standard.eye_line[0]) - slack <= height - eye <= standard.pixels(standard.eye_line[1]) + slack
    assert abs(axis - width / 2) <= 0.03 * width

    for extension in (".jpg", ".png"):
        with Image.open(io.BytesIO(result.encode(extension))) as written:
            assert written.size == (width, height)
            assert written.info["dpi"] == pytest.approx((standard.dpi, standard.dpi), abs=0.01)


def test_background_colour_fills_where_the_photograph_runs_out(load, cutout):
    # her hair is 15 px below the top edge, about 33 px once enlarged; the US
    # eye band puts the crown lower than that, so the picture's top rows lie
    # above the photograph
    photo = load("astronaut")
    result = make_id_photo(cutout, photo, "us", background="#2050a0", force=True)  # blue is not a US colour
    # levelled, the photograph's top edge runs at a slant: on the centre line
    # the rows that map above it lie outside it
    width, height = result.preset.size
    rows = np.arange(height) + 0.5
    back = framing.apply(cv2.invertAffineTransform(result.geometry.matrix), np.c_[np.full(height, width / 2), rows])
    outside = rows[back[:, 1] < -2].astype(int)
    assert len(outside) > 5
    assert (result.picture[outside, width // 2] == (0xA0, 0x50, 0x20)).all()


def side_by_side(photo, second_scale):
    other = cv2.resize(photo, None, fx=second_scale, fy=second_scale, interpolation=cv2.INTER_AREA)
    canvas = np.full((photo.shape[0], photo.shape[1] + other.shape[1], 3), 200, np.uint8)
    canvas[:, : photo.shape[1]] = photo
    canvas[: other.shape[0], photo.shape[1]:] = other
    return canvas


REFUSALS = {
    "no face": (lambda p: np.full((400, 300, 3), 180, np.uint8), "no face"),
    "two faces": (lambda p: side_by_side(p, 1.0), "2 faces of similar size"),
    "tiny face": (lambda p: cv2.resize(p, (224, 224), interpolation=cv2.INTER_AREA), "too small"),
    "head cut off": (lambda p: np.ascontiguousarray(p[70:]), "cuts off"),
}


@pytest.mark.parametrize("case", list(REFUSALS))
def test_refusals_and_force(load, cutout, case):
    make, message = REFUSALS[case]
    photo = make(load("astronaut"))
    with pytest.raises(IdPhotoRefused, match=message):
        make_id_photo(cutout, photo, "passport")
    forced = make_id_photo(cutout, photo, "passport", force=True)
    assert forced.picture.shape == (531, 413, 3)
    assert any(message in warning for warning in forced.warnings)


def test_a_small_second_face_is_not_a_second_sitter(load, cutout):
    result = make_id_photo(cutout, side_by_side(load("astronaut"), 0.4), "passport")
    assert result.warnings == []
    assert result.face.box[2] < 512  # the large one was framed


@pytest.fixture(scope="module")
def passport(load, cutout):
    return make_id_photo(cutout, load("astronaut"), "passport").picture


def jpeg_at(picture, quality):
    encoded = cv2.imencode(".jpg", picture, [cv2.IMWRITE_JPEG_QUALITY, quality])[1].tobytes()
    return metadata.jpeg_with_dpi(colour.tag_srgb(encoded, ".jpg"), 300)


@pytest.mark.parametrize("max_kb", [15, 25, 40, 80])
def test_size_cap_takes_the_highest_quality_that_fits(passport, max_kb):
    data = encode_capped(passport, ".jpg", 300, max_kb)
    assert len(data) <= max_kb * 1024
    quality = next(q for q in range(100, 0, -1) if jpeg_at(passport, q) == data)
    assert all(len(jpeg_at(passport, q)) > max_kb * 1024 for q in range(quality + 1, 101))


def test_size_cap_below_the_lowest_quality_is_an_error(passport):
    smallest = len(jpeg_at(passport, MIN_QUALITY)) / 1024
    with pytest.raises(SizeCapError, match=f"--max-kb {int(np.ceil(smallest))}"):
        encode_capped(passport, ".jpg", 300, smallest * 0.9)
    with pytest.raises(SizeCapError, match=r"\.jpg"):
        encode_capped(passport, ".png", 300, 1)


# (preset, sheet) -> copies, worked out by hand: 2 mm gaps, 3 mm margins, the better orientation
SHEETS = {
    ("passport", "6x4in"): 8,
    ("passport", "5x7in"): 9,
    ("passport", "A6"): 6,
    ("us", "6x4in"): 2,
    ("25x35", "6x4in"): 12,
    ("passport", "A4"): 30,
    ("passport", "letter"): 28,
}


@pytest.mark.parametrize("preset, paper", list(SHEETS))
def test_sheet_layout(preset, paper):
    standard = PRESETS[preset]
    width, height = standard.size
    # a photo with white at its edges, as ID photos have: the guides must still separate copies
    photo = np.full((height, width, 3), 255, np.uint8)
    photo[height // 4: -height // 4, width // 4: -width // 4] = (40, 90, 160)
    paper_image, plan = sheet.compose(photo, paper, standard.dpi)
    inches = {"6x4in": (6, 4), "5x7in": (7, 5), "A6": (148 / 25.4, 105 / 25.4), "A4": (297 / 25.4, 210 / 25.4),
              "letter": (11, 8.5)}[paper]
    expected = {(round(a * 300), round(b * 300)) for a, b in (inches, inches[::-1])}
    assert (paper_image.shape[1], paper_image.shape[0]) in expected

    guides = (paper_image == 200).all(axis=2).astype(np.uint8)
    count, _, stats, _ = cv2.connectedComponentsWithStats(guides, connectivity=8)
    boxes = stats[1:, :4]
    assert count - 1 == SHEETS[(preset, paper)] == plan.count
    assert all((w, h) == (width + 2, height + 2) for _, _, w, h in boxes)  # the copy and its guide
    for x, y, _, _ in boxes:
        assert (paper_image[y + 1: y + 1 + height, x + 1: x + 1 + width] == photo).all()
        assert (paper_image[y, x + 1: x + 1 + width] == 200).all()  # light, not black
    # copies stand at least 2 mm apart, and all sit inside the paper's margin
    for axis, size in ((0, width), (1, height)):
        starts = np.unique(boxes[:, axis])
        assert (np.diff(starts) - size >= round(2 / 25.4 * 300)).all()
    assert boxes[:, 0].min() >= 3 / 25.4 * 300 - 1 and boxes[:, 1].min() >= 3 / 25.4 * 300 - 1


@pytest.mark.parametrize("dpi", [72, 300, 600])
def test_print_resolution_is_what_an_independent_reader_sees(passport, dpi):
    for extension in ("jpg", "png", "tif"):
        data = encode_capped(passport, extension, dpi)
        with Image.open(io.BytesIO(data)) as written:
            assert written.info["dpi"] == pytest.approx((dpi, dpi), abs=0.01)
            pixels = cv2.cvtColor(np.asarray(written.convert("RGB")), cv2.COLOR_RGB2BGR)
        plain = cv2.imdecode(np.frombuffer(cv2.imencode("." + extension, passport)[1], np.uint8), cv2.IMREAD_COLOR)
        if extension != "jpg":  # lossless: the patch changed no pixel
            assert (pixels == plain).all()


def test_jfif_segment_is_added_when_the_encoder_wrote_none():
    bare = b"\xff\xd8\xff\xdb" + b"\x00" * 10
    patched = metadata.jpeg_with_dpi(bare, 300)
    assert patched[2:4] == b"\xff\xe0" and patched[6:11] == b"JFIF\x00"
    assert patched[13:18] == b"\x01\x01\x2c\x01\x2c" and patched.endswith(bare[2:])
