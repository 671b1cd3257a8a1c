"""The one-call API gives back what it was given, with the command line's bytes."""

import cv2
import numpy as np
import pytest

import portrait_studio
from portrait_studio import RequestError
from portrait_studio.core.imageio import ImageError


@pytest.mark.parametrize(
    "kind, options, signature",
    [
        ("path", {"matte": "fast"}, b"\x89PNG"),
        ("bytes", {"matte": "fast", "background": "blue"}, b"\x89PNG"),
        ("jpeg path", {"matte": "model"}, b"\xff\xd8\xff"),
        ("jpeg path", {"matte": "fast", "background": "transparent"}, b"\x89PNG"),  # JPEG holds no alpha
        ("bytes", {"matte": "model", "format": "webp"}, b"RIFF"),
    ],
)
def test_cut_out_gives_back_the_kind_it_was_given(run_cli, photo_files, tmp_path, kind, options, signature):
    path = photo_files["astronaut.jpg" if kind == "jpeg path" else "astronaut.png"]
    given = open(path, "rb").read() if kind == "bytes" else path
    data = portrait_studio.cut_out(given, **options)
    assert isinstance(data, bytes) and data.startswith(signature)
    extension = {b"\x89PNG": "png", b"\xff\xd8\xff": "jpg", b"RIFF": "webp"}[signature]
    if extension != "webp":  # the command line writes WebP losslessly, the API at the format's default
        target = tmp_path / f"cli.{extension}"
        args = [path, "-o", target, "-q"] + [a for k, v in options.items() for a in (f"--{k}", v)]
        assert run_cli(*args).returncode == 0
        assert target.read_bytes() == data


def test_cut_out_on_an_array_and_its_refusals(photo_files):
    photo = cv2.imread(photo_files["astronaut.png"])
    picture = portrait_studio.cut_out(photo, background="transparent", size=(100, 80), matte="fast")
    assert isinstance(picture, np.ndarray) and picture.shape == (80, 100, 4)
    with pytest.raises(RequestError, match="format= applies to paths and bytes"):
        portrait_studio.cut_out(photo, format="png")
    with pytest.raises(RequestError, match="bad background"):
        portrait_studio.cut_out(photo, background="nonsense")
    with pytest.raises(RequestError, match="size= does not go with id="):
        portrait_studio.cut_out(photo, id="us-passport", size=(10, 10))
    with pytest.raises(ImageError):
        portrait_studio.cut_out(b"not a picture")
    with pytest.raises(TypeError, match="a path, encoded bytes or a NumPy array"):
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
