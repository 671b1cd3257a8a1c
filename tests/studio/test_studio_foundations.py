"""The product layer's shared pieces: backgrounds, the letterbox, atomic writes."""

import os

import cv2
import numpy as np
import pytest

from portrait_studio.core import imageio
from portrait_studio.core.background import TRANSPARENT, WHITE, parse_background
from portrait_studio.core.letterbox import letterbox


@pytest.mark.parametrize(
    "text, bgr",
    [
        ("white", (255, 255, 255)),
        ("WHITE", (255, 255, 255)),
        ("#2050a0", (0xA0, 0x50, 0x20)),
        ("#fff", (255, 255, 255)),
        (" blue ", (255, 0, 0)),
        ("red", (0, 0, 255)),
        ("light grey", (0xD3, 0xD3, 0xD3)),
        ("transparent", None),
    ],
)
def test_backgrounds_people_type(text, bgr):
    background = parse_background(text)
    assert background.bgr == bgr
    assert parse_background(str(background)) == background  # round-trips


@pytest.mark.parametrize("text", ["", "#12345", "#gggggg", "bleu", "rgb(1,2,3)", "#1234567"])
def test_bad_backgrounds_say_what_to_type(text):
    with pytest.raises(ValueError, match="#RRGGBB"):
        parse_background(text)


@pytest.mark.parametrize(
    "text, kind, strength",
    [("blur", "blur", 12.0), ("Blur:5", "blur", 5.0), ("blur:0.5", "blur", 0.5), ("keep", "keep", None)],
)
def test_backgrounds_made_from_the_photograph(text, kind, strength):
    background = parse_background(text)
    assert (background.kind, background.strength, background.uses_photo) == (kind, strength, True)
    assert not (background.transparent or background.is_colour)
    assert parse_background(str(background)) == background


@pytest.mark.parametrize("text", ["blur:0", "blur:-2", "blur:x", "blur:nan", "blur:101"])
def test_bad_blur_strengths(text):
    with pytest.raises(ValueError, match="blur:STRENGTH"):
        parse_background(text)


def test_a_picture_background_carries_its_bytes(tmp_path):
    path = tmp_path / "beach.png"
    cv2.imwrite(str(path), np.full((4, 6, 3), 90, np.uint8))
    background = parse_background(str(path))
    assert background.kind == "picture" and background.picture == path.read_bytes()
    assert not (background.is_colour or background.transparent or background.uses_photo)
    with pytest.raises(ValueError, match="no such file"):
        parse_background(str(tmp_path / "missing.jpg"))
    (tmp_path / "notes.txt").write_text("not a picture")
    with pytest.raises(ValueError, match="notes.txt"):
        parse_background(str(tmp_path / "notes.txt"))


def test_white_and_transparent_constants():
    assert WHITE.is_white and not WHITE.transparent
    assert TRANSPARENT.transparent and not TRANSPARENT.is_white


@pytest.mark.parametrize(
    "shape, size",
    [
        ((600, 1000), (512, 512)),
        ((21, 17), (500, 500)),
        ((480, 640), (413, 531)),
        ((531, 413), (413, 531)),
        ((333, 777), (601, 599)),
        ((100, 100), (37, 91)),
        ((512, 512), (512, 512)),
    ],
)
def test_letterbox_over_white_is_the_engines(pm, red_model, shape, size):
    """Same geometry and bytes as the engine's _process_image, so a coloured or
    transparent letterbox puts the picture exactly where a white one does."""
    rng = np.random.default_rng(sum(shape) + sum(size))
    image = rng.integers(0, 256, (*shape, 3), dtype=np.uint8)
    engine = pm.QuorinPortraitMain(str(red_model))
    engine._input_size = size
    expected = engine._process_image(image)
    assert np.array_equal(letterbox(image, size, (255, 255, 255)), expected)

    # The same placement with a transparent border on B, G, R, A.
    rgba = letterbox(np.dstack([image, np.full(shape, 255, np.uint8)]), size, (0, 0, 0, 0))
    assert rgba.shape == (size[1], size[0], 4)
    assert np.array_equal(rgba[..., :3][rgba[..., 3] == 255], expected[rgba[..., 3] == 255])
    inside = (expected != 255).any(axis=2)
    assert (rgba[..., 3][inside] > 0).all()


def test_atomic_target_leaves_nothing_on_failure(tmp_path):
    target = tmp_path / "out.png"
    with pytest.raises(RuntimeError):
        with imageio.atomic_target(target) as temporary:
            with open(temporary, "wb") as file:
                file.write(b"half")
            raise RuntimeError("interrupted")
    assert os.listdir(tmp_path) == []

    imageio.write_image(target, np.zeros((4, 4, 3), np.uint8))
    assert cv2.imread(str(target)).shape == (4, 4, 3)
    assert os.listdir(tmp_path) == ["out.png"]


def test_formats_without_alpha_refuse_transparency():
    with pytest.raises(imageio.ImageError, match="transparency"):
        imageio.encode(np.zeros((2, 2, 4), np.uint8), ".jpg")
    assert imageio.encode(np.zeros((2, 2, 4), np.uint8), ".png")[:4] == b"\x89PNG"


@pytest.mark.parametrize("size", [None, (300, 200), (413, 531)])
@pytest.mark.parametrize("name", ["astronaut.png", "wide_1000x500.png", "small_17x21.png"])
def test_model_matte_over_white_renders_what_the_engine_writes(tmp_path, photo_files, name, size):
    """The service and ID photos render in memory; over white with the model's
    matte that must be the engine's picture, byte for byte."""
    from portrait_studio import Cutout, Request

    cutout = Cutout()
    written = tmp_path / "engine.png"
    cutout.engine._image(photo_files[name], str(written), size)
    rendered = cutout.render(cv2.imread(photo_files[name]), Request(matte="model", size=size))
    assert np.array_equal(rendered, cv2.imread(str(written)))
