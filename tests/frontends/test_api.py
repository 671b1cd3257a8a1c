"""The one-call API gives back what it was given, with the command line's bytes."""

from pathlib import Path

import cv2
import numpy as np
import pytest
from PIL import Image

import portrait_studio
from portrait_studio import RequestError
from portrait_studio.core.fusion import REVIEW_BELOW
from portrait_studio.core.imageio import ImageError

PICTURE = "the background picture"  # stands for photo_files["camera.png"] in the tables


@pytest.mark.parametrize(
    "kind, options, signature",
    [
        ("path", {"matte": "fast"}, b"\x89PNG"),
        ("bytes", {"matte": "fast", "background": "blue"}, b"\x89PNG"),
        ("jpeg path", {"matte": "model"}, b"\xff\xd8\xff"),
        ("jpeg path", {"matte": "fast", "background": "transparent"}, b"\x89PNG"),  # JPEG holds no alpha
        ("bytes", {"matte": "model", "format": "webp"}, b"RIFF"),
        ("path", {"matte": "model", "background": PICTURE, "size": "300x420"}, b"\x89PNG"),
        ("jpeg path", {"matte": "fast", "background": "blur:20"}, b"\xff\xd8\xff"),
        ("heic path", {"matte": "fast"}, b"\x89PNG"),  # nothing writes HEIC: PNG comes back
        ("heic bytes", {"matte": "model"}, b"\x89PNG"),
    ],
)
def test_cut_out_gives_back_the_kind_it_was_given(run_cli, photo_files, tmp_path, kind, options, signature):
    options = {k: photo_files["camera.png"] if v == PICTURE else v for k, v in options.items()}
    path = photo_files["astronaut.jpg" if kind == "jpeg path" else "astronaut.png"]
    if kind.startswith("heic"):
        from portrait_studio.core import imageio

        imageio.pillow()  # the HEIF saver registered
        path = tmp_path / "IMG_0001.heic"
        Image.open(photo_files["astronaut.png"]).convert("RGB").save(path, quality=90)
    given = open(path, "rb").read() if kind.endswith("bytes") else path
    data = portrait_studio.cut_out(given, **options)
    assert isinstance(data, bytes) and data.startswith(signature)
    extension = {b"\x89PNG": "png", b"\xff\xd8\xff": "jpg", b"RIFF": "webp"}[signature]
    target = tmp_path / f"cli.{extension}"
    args = [path, "-o", target, "-q"] + [a for k, v in options.items() if k != "format" for a in (f"--{k}", v)]
    assert run_cli(*args).returncode == 0
    assert target.read_bytes() == data


def pil(photo: np.ndarray, mode: str) -> Image.Image:
    rgb = Image.fromarray(np.ascontiguousarray(photo[:, :, ::-1]), "RGB")
    if mode == "RGBA":
        rgb.putalpha(Image.linear_gradient("L").resize(rgb.size))
        return rgb
    if mode == "I;16":
        return Image.fromarray(cv2.cvtColor(photo, cv2.COLOR_BGR2GRAY).astype(np.uint16) * 257)
    return rgb.convert(mode) if mode != "P" else rgb.quantize(64)


# What each input kind gives back: (kind, mode or channels) for an input, per background.
@pytest.mark.parametrize(
    "given, options, expected",
    [
        ("array", {}, ("array", 3)),
        ("array", {"background": "transparent"}, ("array", 4)),
        ("array", {"mask": True}, ("array", None)),
        ("PIL RGB", {}, ("PIL", "RGB")),
        ("PIL RGB", {"background": "transparent"}, ("PIL", "RGBA")),
        ("PIL RGB", {"mask": True}, ("PIL", "L")),
        ("PIL RGBA", {"background": "blur"}, ("PIL", "RGB")),
        ("PIL P", {}, ("PIL", "RGB")),
        ("PIL L", {"background": PICTURE}, ("PIL", "RGB")),
        ("PIL I;16", {}, ("PIL", "RGB")),
        ("PIL CMYK", {}, ("PIL", "RGB")),
    ],
)
def test_each_input_kind_round_trips_to_its_kind(photo_files, given, options, expected):
    options = {"matte": "fast", **{k: photo_files["camera.png"] if v == PICTURE else v for k, v in options.items()}}
    photo = cv2.imread(photo_files["astronaut.png"])
    image = photo if given == "array" else pil(photo, given.split()[1])
    out = portrait_studio.cut_out(image, **options)
    kind, shape = expected
    if kind == "array":
        assert isinstance(out, np.ndarray) and out.shape[:2] == photo.shape[:2]
        assert (out.ndim == 2) if shape is None else (out.shape[2] == shape)
        return
    assert isinstance(out, Image.Image) and (out.mode, out.size) == (shape, image.size)
    if given == "PIL RGB":  # the same picture the array route makes, in PIL's order
        as_array = portrait_studio.cut_out(photo, **options)
        channels = {"RGB": [2, 1, 0], "RGBA": [2, 1, 0, 3]}.get(shape)
        np.testing.assert_array_equal(np.asarray(out), as_array if channels is None else as_array[:, :, channels])


def test_a_background_picture_is_the_same_however_it_is_given(photo_files):
    path = photo_files["camera.png"]
    picture = cv2.imread(path)
    photo = cv2.imread(photo_files["astronaut.png"])
    ways = [path, Path(path), Path(path).read_bytes(), Image.open(path), picture]
    outs = [portrait_studio.cut_out(photo, background=way, matte="model", size=(200, 260)) for way in ways]
    for out in outs[1:]:
        np.testing.assert_array_equal(out, outs[0])


def test_refusals_say_what_to_send(photo_files, tmp_path):
    photo = cv2.imread(photo_files["astronaut.png"])
    with pytest.raises(RequestError, match="format= applies to paths and bytes"):
        portrait_studio.cut_out(photo, format="png")
    with pytest.raises(RequestError, match="format= applies to paths and bytes; a PIL image"):
        portrait_studio.cut_out(pil(photo, "RGB"), format="png")
    with pytest.raises(RequestError, match="bad background"):
        portrait_studio.cut_out(photo, background="nonsense")
    with pytest.raises(RequestError, match="no such file"):
        portrait_studio.cut_out(photo, background=tmp_path / "missing.png")
    with pytest.raises(RequestError, match="the background picture given as bytes: not an image"):
        portrait_studio.cut_out(photo, background=b"not a picture at all")
    with pytest.raises(RequestError, match="uint8 B, G, R array"):
        portrait_studio.cut_out(photo, background=np.zeros((4, 4), np.float32))
    with pytest.raises(TypeError, match="background= takes"):
        portrait_studio.cut_out(photo, background=42)
    with pytest.raises(RequestError, match="size= does not go with id="):
        portrait_studio.cut_out(photo, id="us-passport", size=(10, 10))
    with pytest.raises(ImageError):
        portrait_studio.cut_out(b"not a picture")
    with pytest.raises(TypeError, match="a path, encoded bytes, a PIL image or a NumPy"):
        portrait_studio.cut_out(42)


def test_cut_out_offers_an_id_photos_checks(photo_files):
    from portrait_studio import Cutout
    from portrait_studio.idphoto import IdPhotoRefused, make_id_photo

    path = photo_files["astronaut.png"]
    photo = cv2.imread(path)
    expected = make_id_photo(Cutout(), photo, "uk-passport", "keep", matte="fast")
    data, checks = portrait_studio.cut_out(path, id="uk-passport", background="keep", matte="fast", checks=True)
    assert data == portrait_studio.cut_out(path, id="uk-passport", background="keep", matte="fast")
    assert checks == expected.checks and "background evenness" in {c.name for c in checks}
    picture, same = portrait_studio.cut_out(photo, id="uk-passport", background="keep", matte="fast", checks=True)
    np.testing.assert_array_equal(picture, expected.picture)
    assert same == checks

    with pytest.raises(RequestError, match="checks= applies to ID photos: add id=DOCUMENT"):
        portrait_studio.cut_out(photo, checks=True)
    with pytest.raises(RequestError, match="keep applies to ID photos: add id= DOCUMENT"):
        portrait_studio.cut_out(photo, background="keep")
    turned = cv2.resize(cv2.imread(photo_files["camera.png"])[:, ::-1], None, fx=1.5, fy=1.5)  # a half-profile
    with pytest.raises(IdPhotoRefused) as refused:
        portrait_studio.cut_out(turned, id="passport", checks=True)
    assert refused.value.checks and not all(c.passed for c in refused.value.checks)


@pytest.mark.parametrize("given", ["array", "PIL", "bytes"])
def test_details_tell_what_the_other_front_ends_tell(photo_files, given):
    """details=True: the picture as the plain call gives it, with warnings, confidence and review beside it."""
    path = photo_files["astronaut.png"]
    image = {"array": lambda: cv2.imread(path), "PIL": lambda: Image.open(path).convert("RGB"),
             "bytes": lambda: open(path, "rb").read()}[given]()
    made = portrait_studio.cut_out(image, matte="fast", details=True)
    plain = portrait_studio.cut_out(image, matte="fast")
    if given == "array":
        np.testing.assert_array_equal(made.picture, plain)
    elif given == "PIL":
        assert made.picture.tobytes() == plain.tobytes()
    else:
        assert made.picture == plain and made.format == "png"
    assert 0 <= made.confidence <= 1 and made.review == (made.confidence < REVIEW_BELOW) and made.warnings == ()


def test_an_unknown_keyword_names_the_fields():
    with pytest.raises(TypeError, match="unexpected keyword argument 'colour'.*max_kb, sheet"):
        portrait_studio.cut_out(b"", colour="blue")
