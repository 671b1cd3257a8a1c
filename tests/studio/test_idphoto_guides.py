"""A kept background and the guide lines: the kept pixels against an
independent warp of the photograph, the evenness rule on an even and a busy
background, and the overlay's lines on the rows the framing reports."""

import cv2
import numpy as np
import pytest

from portrait_studio.idphoto import PRESETS, framing, make_id_photo
from portrait_studio.idphoto import overlay as guide_lines


def turned(photo, degrees):
    """`photo` turned about its centre on a canvas with room, edges repeated:
    a tilted sitter the framing has to level."""
    pad = photo.shape[0] // 3
    big = cv2.copyMakeBorder(photo, pad, pad, pad, pad, cv2.BORDER_REPLICATE)
    m = cv2.getRotationMatrix2D((big.shape[1] / 2, big.shape[0] / 2), degrees, 1.0)
    return cv2.warpAffine(big, m, (big.shape[1], big.shape[0]), flags=cv2.INTER_CUBIC, borderMode=cv2.BORDER_REPLICATE)


def on_background(photo, alpha, background):
    """The sitter put on `background` by the matte: a photograph as if taken
    against it."""
    a = alpha[..., None]
    return np.round(photo * a + background * (1 - a)).astype(np.uint8)


def independent_warp(photo, geometry, size):
    """The photograph under the reported mapping by one plain warpAffine
    (pixel centres on integers), with the enlargement's filter."""
    m = geometry.matrix.copy()
    m[:, 2] += m[:, :2].sum(axis=1) * 0.5 - 0.5
    assert geometry.scale >= 1  # the framing enlarges these: one cubic warp, no area pass first
    return cv2.warpAffine(photo, m, size, flags=cv2.INTER_CUBIC, borderMode=cv2.BORDER_REPLICATE)


@pytest.mark.parametrize("preset", ["passport", "us-passport", "uk-passport", "au-passport"])
@pytest.mark.parametrize("degrees", [0, 9, -7])
def test_a_kept_background_is_the_photograph_under_the_framing(cutout, astronaut, preset, degrees):
    photo = turned(astronaut, degrees) if degrees else astronaut
    kept = make_id_photo(cutout, photo, preset, background="keep", force=True)
    size = PRESETS[preset].size
    assert kept.picture.shape == (size[1], size[0], 3)
    assert not degrees or abs(kept.geometry.angle) > 3  # levelled: the mapping turns the photograph
    reference = independent_warp(photo, kept.geometry, size)
    # outside the person, where a replaced background would show, and in
    # fact everywhere: nothing was composited
    alpha = framing.warp(cutout.matte(photo).astype(np.float32), kept.geometry, size)
    outside = alpha < 0.02
    assert outside.sum() > 0.05 * outside.size
    difference = np.abs(kept.picture.astype(int) - reference)
    assert difference[outside].max() <= 1
    assert difference.max() <= 1
    # the same framing on a replaced background differs exactly there
    replaced = make_id_photo(cutout, photo, preset, background="#ff0000", force=True)
    assert replaced.geometry == kept.geometry
    assert np.abs(replaced.picture.astype(int) - reference)[outside].mean() > 40


def busy(shape, seed=0):
    """Shelves and posters: blocks of unrelated colours."""
    rng = np.random.default_rng(seed)
    blocks = rng.integers(0, 256, (shape[0] // 24 + 1, shape[1] // 24 + 1, 3)).astype(np.uint8)
    return cv2.resize(blocks, (shape[1], shape[0]), interpolation=cv2.INTER_NEAREST)[: shape[0], : shape[1]]


@pytest.mark.parametrize("scene, passes", [
    ("flat grey wall", True),
    ("grey wall, sensor noise", True),
    ("wall lit from one side", True),
    ("busy room", False),
    ("strong stripes", False),
])
def test_evenness_of_a_kept_background(cutout, astronaut, scene, passes):
    rows, columns = astronaut.shape[:2]
    rng = np.random.default_rng(1)
    x = np.linspace(0, 1, columns)[None, :, None]
    walls = {
        "flat grey wall": np.full((rows, columns, 3), 200.0),
        "grey wall, sensor noise": 200 + rng.normal(0, 3, (rows, columns, 3)),
        "wall lit from one side": np.broadcast_to(185 + 25 * x, (rows, columns, 3)),
        "busy room": busy((rows, columns)).astype(np.float64),
        "strong stripes": np.broadcast_to(np.where((np.arange(columns) // 12) % 2, 230.0, 90.0)[None, :, None],
                                          (rows, columns, 3)),
    }
    photo = on_background(astronaut, cutout.matte(astronaut), np.clip(walls[scene], 0, 255))
    made = make_id_photo(cutout, photo, "passport", background="keep", force=True)
    evenness = next(c for c in made.checks if c.name == "background evenness")
    assert evenness.passed is passes, evenness
    assert any(w.startswith("background evenness fails") for w in made.warnings) is not passes
    # a replaced background is not the photograph's: no evenness to measure
    replaced = make_id_photo(cutout, photo, "passport", force=True)
    assert "background evenness" not in {c.name for c in replaced.checks}


def colour_rows(picture, bgr):
    """The rows where at least half the pixels are exactly `bgr`."""
    return set(np.flatnonzero((picture[..., :3] == bgr).all(axis=2).mean(axis=1) >= 0.5).tolist())


@pytest.mark.parametrize("preset", ["passport", "us-passport", "kr-passport", "cn-passport", "us-online"])
def test_guide_lines_lie_on_the_framings_rows(cutout, astronaut, preset):
    made = make_id_photo(cutout, turned(astronaut, 6), preset, force=True)
    picture, drawn = made.picture, made.overlay()
    assert drawn.shape == picture.shape and drawn is not picture
    height = picture.shape[0]
    g = made.geometry
    standard = PRESETS[preset]
    # worked out here from the reported mapping, not taken from the overlay module
    crown, chin = (int(np.floor(g.scale * y + g.offset[1])) for y in (g.crown, g.chin))
    assert crown in colour_rows(drawn, guide_lines.CROWN)
    assert chin in colour_rows(drawn, guide_lines.CHIN)
    band = set()
    if standard.eye_line:
        band = {min(max(int(np.floor(height - standard.pixels(e))), 0), height - 1) for e in standard.eye_line}
        assert band <= colour_rows(drawn, guide_lines.EYE_BAND)
    else:
        assert not colour_rows(drawn, guide_lines.EYE_BAND)
    centre = int(np.floor(standard.size[0] / 2))
    assert (drawn[:, centre, :3] == guide_lines.CENTRE).all(axis=1).mean() > 0.9
    # beside the centre line, nothing above the topmost line is touched
    left = slice(0, centre - 3)
    changed = np.flatnonzero((drawn[:, left] != picture[:, left]).any(axis=(1, 2)))
    assert changed[0] == min({crown, *band})

def test_a_sheet_has_no_guide_lines_of_its_own(cutout, astronaut):
    made = make_id_photo(cutout, astronaut, "passport")
    assert made.sheet("6x4in").overlay() is None
