"""The photographs people have, through the command line: phone formats,
colour profiles, transparency and depth; what the pictures carry out."""

from __future__ import annotations

import io
import struct

import cv2
import numpy as np
import pytest
from PIL import Image, ImageCms

from portrait_studio import Cutout, Request, encode, parse_background
from portrait_studio.core import imageio
from portrait_studio.frontends import cli

SRGB = ImageCms.createProfile("sRGB")


@pytest.fixture(scope="module")
def source(data_dir):
    """A small photograph, R, G, B, wider than tall so a turn shows in its size."""
    astronaut = cv2.imread(str(data_dir / "astronaut.png"))[:, :, ::-1]
    return np.ascontiguousarray(cv2.resize(astronaut, (96, 64), interpolation=cv2.INTER_AREA))


def heic(picture: Image.Image, path) -> None:
    imageio.pillow()  # the HEIF opener and saver registered
    picture.save(path, quality=95)


def over_white(rgba: np.ndarray) -> np.ndarray:
    """Pillow's own compositing: the reference for what the model sees."""
    white = Image.new("RGBA", (rgba.shape[1], rgba.shape[0]), (255, 255, 255, 255))
    return np.asarray(Image.alpha_composite(white, Image.fromarray(rgba)).convert("RGB"))


def transparent_red(rgb: np.ndarray) -> np.ndarray:
    """The photograph with its left third pure red and fully transparent."""
    rgba = np.dstack([rgb, np.full(rgb.shape[:2], 255, np.uint8)])
    rgba[:, :32] = (255, 0, 0, 0)
    rgba[:, 32:40, 3] = 128
    return rgba


def rotated_exif(picture: Image.Image) -> Image.Exif:
    exif = picture.getexif()
    exif[0x0112] = 6  # shown turned 90 degrees clockwise
    return exif


# kind -> (writes the file from the R, G, B photograph, the upright R, G, B it
# must decode to, mean error allowed for a lossy format)
KINDS = {
    "heic": (lambda rgb, p: heic(Image.fromarray(rgb), p), lambda rgb: rgb, 4.0),
    "avif": (lambda rgb, p: Image.fromarray(rgb).save(p, quality=95), lambda rgb: rgb, 4.0),
    "cmyk.jpg": (lambda rgb, p: Image.fromarray(rgb).convert("CMYK").save(p, quality=95), lambda rgb: rgb, 3.0),
    "grey.jpg": (lambda rgb, p: Image.fromarray(rgb).convert("L").save(p, quality=95),
                 lambda rgb: np.repeat(np.asarray(Image.fromarray(rgb).convert("L"))[..., None], 3, 2), 2.0),
    "16bit.png": (lambda rgb, p: cv2.imwrite(p, rgb[:, :, ::-1].astype(np.uint16) * 257), lambda rgb: rgb, 0.0),
    "16bit.tif": (lambda rgb, p: cv2.imwrite(p, rgb[:, :, ::-1].astype(np.uint16) * 257), lambda rgb: rgb, 0.0),
    "grey16.png": (lambda rgb, p: Image.fromarray(rgb[..., 1].astype(np.uint16) * 257).save(p),
                   lambda rgb: np.repeat(rgb[..., 1:2], 3, 2), 0.0),
    "palette.png": (lambda rgb, p: Image.fromarray(rgb).quantize(256).save(p),
                    lambda rgb: np.asarray(Image.fromarray(rgb).quantize(256).convert("RGB")), 0.0),
    "alpha.png": (lambda rgb, p: Image.fromarray(transparent_red(rgb)).save(p),
                  lambda rgb: over_white(transparent_red(rgb)), 0.01),
    "alpha.webp": (lambda rgb, p: Image.fromarray(transparent_red(rgb)).save(p, lossless=True),
                   lambda rgb: over_white(transparent_red(rgb)), 0.01),
    "rotated.jpg": (lambda rgb, p: Image.fromarray(rgb).save(p, quality=95, exif=rotated_exif(Image.fromarray(rgb))),
                    lambda rgb: np.rot90(rgb, -1), 4.0),
}


def suffix(kind: str) -> str:
    return "." + kind.rsplit(".", 1)[-1]


@pytest.mark.parametrize("kind", list(KINDS))
def test_every_kind_of_photograph_is_read_upright_and_cut_out(kind, source, red_model, tmp_path):
    write, upright, allowed = KINDS[kind]
    photo = str(tmp_path / f"photo{suffix(kind)}")
    write(source, photo)
    expected = upright(source)
    decoded = imageio.read_photo(photo)[:, :, ::-1]
    assert decoded.shape == expected.shape
    error = np.abs(decoded.astype(float) - expected).mean()
    assert error <= allowed, f"{kind}: decoded {error:.2f} levels from the photograph on average"

    picture, mask = tmp_path / "cut.png", tmp_path / "mask.png"
    assert cli.main([photo, "-o", str(picture), "--model", str(red_model), "--matte", "fast", "-q"]) == 0
    assert cli.main([photo, "-o", str(mask), "--model", str(red_model), "--matte", "fast", "--mask", "-q"]) == 0
    written = Image.open(picture)
    assert written.size == (expected.shape[1], expected.shape[0])
    assert written.info.get("srgb") is not None
    if kind.startswith("alpha"):
        # The red model marks red pixels: the transparent red third reached it as white.
        matte = cv2.imread(str(mask), cv2.IMREAD_UNCHANGED)
        assert matte[:, :24].max() == 0 and (np.asarray(written)[:, :24] == 255).all()


@pytest.mark.parametrize("kind", ["heic", "avif"])
@pytest.mark.parametrize("damage", ["cut short", "cut to its header", "boxes overwritten"])
def test_a_damaged_phone_photograph_gets_a_clear_error(kind, damage, source, red_model, tmp_path, capsys):
    photo = tmp_path / f"photo.{kind}"
    KINDS[kind][0](source, str(photo))
    data = photo.read_bytes()
    damaged = {"cut short": data[: len(data) * 2 // 3], "cut to its header": data[:300],
               "boxes overwritten": data[:24] + b"\xff" * 200 + data[224:]}[damage]
    photo.write_bytes(damaged)
    assert cli.main([str(photo), "-o", str(tmp_path / "out.png"), "--model", str(red_model)]) == 1
    said = capsys.readouterr().err
    assert "photo." + kind in said and ("damaged" in said or "not an image" in said), said
    assert "Traceback" not in said and not (tmp_path / "out.png").exists()


# ---- true colours --------------------------------------------------------------------------------


# The published Adobe RGB (1998) figures, as an oracle independent of how the
# profile is made: its D50 colorants (Bradford-adapted), its D65 RGB-to-XYZ
# matrix, and sRGB's XYZ-to-RGB matrix.
ADOBE_COLORANTS = {"red": (0.6097, 0.3111, 0.0195), "green": (0.2053, 0.6257, 0.0609), "blue": (0.1492, 0.0632, 0.7446)}
ADOBE_TO_XYZ = np.array([[0.57667, 0.18556, 0.18823], [0.29734, 0.62736, 0.07529], [0.02703, 0.07069, 0.99134]])
XYZ_TO_SRGB = np.array([[3.2406, -1.5372, -0.4986], [-0.9689, 1.8758, 0.0415], [0.0557, -0.2040, 1.0570]])


def adobe_to_srgb_by_hand(rgb: np.ndarray) -> np.ndarray:
    linear = np.clip((rgb / 255.0) ** (563 / 256) @ ADOBE_TO_XYZ.T @ XYZ_TO_SRGB.T, 0.0, 1.0)
    return 255 * np.where(linear <= 0.0031308, 12.92 * linear, 1.055 * linear ** (1 / 2.4) - 0.055)


def test_the_made_profile_is_a_wide_gamut_display_profile(adobe_rgb):
    # LittleCMS is lenient about a wrong size or a stray offset, so the layout is read here too.
    size, version, device, space, pcs = struct.unpack(">I4xI4s4s4s", adobe_rgb[:24])
    assert (size, version >> 24, device, space, pcs) == (len(adobe_rgb), 2, b"mntr", b"RGB ", b"XYZ ")
    assert adobe_rgb[36:40] == b"acsp"
    assert struct.unpack(">3i", adobe_rgb[68:80]) == (0xF6D6, 0x10000, 0xD32D)  # D50
    (count,) = struct.unpack(">I", adobe_rgb[128:132])
    tags = {}
    for index in range(count):
        signature, offset, length = struct.unpack(">4sII", adobe_rgb[132 + 12 * index: 144 + 12 * index])
        assert offset % 4 == 0 and offset >= 132 + 12 * count and offset + length <= size, signature
        tags[signature.decode()] = adobe_rgb[offset: offset + length]
    assert sorted(tags) == sorted(["desc", "cprt", "wtpt", "rXYZ", "gXYZ", "bXYZ", "rTRC", "gTRC", "bTRC"])
    for channel in "rgb":
        assert tags[channel + "TRC"] == b"curv\0\0\0\0\0\0\0\x01\x02\x33"  # one gamma, 563/256

    profile = ImageCms.ImageCmsProfile(io.BytesIO(adobe_rgb))
    assert ImageCms.getProfileDescription(profile).startswith("Wide-gamut RGB (Adobe RGB (1998) primaries)")
    assert profile.profile.is_matrix_shaper and profile.profile.device_class == "mntr"
    for name, published in ADOBE_COLORANTS.items():
        read_back = getattr(profile.profile, f"{name}_colorant")[0]
        np.testing.assert_allclose(read_back, published, atol=1e-4, err_msg=name)


@pytest.mark.parametrize("colour, expected", [
    ((0, 255, 0), (0, 255, 0)),  # beyond sRGB's green: clipped to the most it has
    ((128, 128, 128), (128, 128, 128)),  # grey is grey in both
    ((255, 255, 255), (255, 255, 255)),
    ((0, 0, 0), (0, 0, 0)),
], ids=["green", "grey", "white", "black"])
def test_the_made_profile_converts_to_srgb_as_adobe_rgb_does(adobe_rgb, colour, expected):
    profile = ImageCms.ImageCmsProfile(io.BytesIO(adobe_rgb))
    converted = ImageCms.profileToProfile(Image.new("RGB", (1, 1), colour), profile, SRGB, outputMode="RGB")
    assert np.abs(np.subtract(converted.getpixel((0, 0)), expected)).max() <= 1, converted.getpixel((0, 0))


def test_the_made_profile_agrees_with_the_published_matrices(adobe_rgb):
    levels = np.array([0, 1, 16, 32, 64, 100, 128, 160, 192, 224, 254, 255], np.uint8)
    grid = np.stack(np.meshgrid(levels, levels, levels, indexing="ij"), -1).reshape(1, -1, 3)
    profile = ImageCms.ImageCmsProfile(io.BytesIO(adobe_rgb))
    converted = np.asarray(ImageCms.profileToProfile(Image.fromarray(grid), profile, SRGB, outputMode="RGB"))
    error = np.abs(converted - adobe_to_srgb_by_hand(grid))
    worst = error.max(-1).argmax()
    assert error.max() <= 1.0, f"{grid[0, worst]} became {converted[0, worst]}, by hand {adobe_to_srgb_by_hand(grid)[0, worst]}"


def in_adobe_rgb(rgb: np.ndarray, path: str, profile: bytes, **options) -> None:
    adobe = ImageCms.ImageCmsProfile(io.BytesIO(profile))
    converted = ImageCms.profileToProfile(Image.fromarray(rgb), SRGB, adobe, outputMode="RGB")
    converted.save(path, icc_profile=profile, **options)


@pytest.mark.parametrize("extension", [".png", ".tif", ".jpg"])
def test_an_adobe_rgb_photograph_is_cut_out_in_its_true_colours(data_dir, modnet_model, adobe_rgb, tmp_path, extension):
    original = cv2.imread(str(data_dir / "astronaut.png"))[:, :, ::-1]
    srgb_photo, adobe_photo = tmp_path / f"srgb{extension}", tmp_path / f"adobe{extension}"
    options = {"quality": 95} if extension == ".jpg" else {}
    Image.fromarray(original).save(srgb_photo, **options)
    in_adobe_rgb(original, str(adobe_photo), adobe_rgb, **options)
    pictures = {}
    for name, photo in (("srgb", srgb_photo), ("adobe", adobe_photo)):
        pictures[name] = tmp_path / f"{name}_cut.png"
        assert cli.main([str(photo), "-o", str(pictures[name]), "--model", str(modnet_model),
                         "--matte", "fast", "-q"]) == 0
    mask = tmp_path / "mask.png"
    assert cli.main([str(srgb_photo), "-o", str(mask), "--model", str(modnet_model), "--mask", "-q"]) == 0
    person = cv2.imread(str(mask), cv2.IMREAD_UNCHANGED) > 250
    assert person.mean() > 0.2
    srgb, adobe = (cv2.imread(str(pictures[n])).astype(float) for n in ("srgb", "adobe"))
    assert np.abs(adobe - srgb)[person].mean() <= 2.0
    # The profile is what brings them together: read as sRGB numbers, they are far apart.
    ignored = cv2.imread(str(adobe_photo)).astype(float)
    assert np.abs(ignored - cv2.imread(str(srgb_photo)))[person].mean() > 4.0


def srgb_tag(data: bytes) -> bool:
    picture = Image.open(io.BytesIO(data))
    if "srgb" in picture.info:
        return True
    icc = picture.info.get("icc_profile")
    return bool(icc) and ImageCms.getProfileDescription(ImageCms.ImageCmsProfile(io.BytesIO(icc))).startswith("sRGB")


@pytest.mark.parametrize("extension, options", [
    (extension, options) for extension in (".png", ".jpg", ".webp", ".tif")
    for options in ([], ["--background", "transparent"], ["--background", "navy"])
    if not (extension == ".jpg" and "transparent" in options)  # JPEG holds no transparency
], ids=str)
def test_pictures_are_tagged_srgb_and_the_tag_changes_no_pixel(extension, options, red_model, photo_files, tmp_path):
    target = tmp_path / f"cut{extension}"
    assert cli.main([photo_files["astronaut.png"], "-o", str(target), "--model", str(red_model),
                     "--matte", "fast", "-q", *options]) == 0
    data = target.read_bytes()
    assert srgb_tag(data)
    request = Request(matte="fast", background=parse_background(options[1]) if options else None)
    untagged = imageio.encode(Cutout(str(red_model)).render(cv2.imread(photo_files["astronaut.png"]), request), extension)
    assert len(data) > len(untagged)
    decoded = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED)
    np.testing.assert_array_equal(decoded, cv2.imdecode(np.frombuffer(untagged, np.uint8), cv2.IMREAD_UNCHANGED))
    np.testing.assert_array_equal(np.asarray(Image.open(io.BytesIO(data))), np.asarray(Image.open(io.BytesIO(untagged))))


@pytest.mark.parametrize("kind", ["adobe.png", "heic", "avif", "alpha.png"])
def test_the_engines_own_picture_stays_the_engines_bytes(kind, pm, red_model, source, adobe_rgb, tmp_path):
    """Profile or not, HEIC or not: `--matte model` over white is `_image`
    on the photograph as the engine reads it, untagged; what the engine
    cannot read, it is given decoded."""
    photo = str(tmp_path / f"photo{suffix(kind)}")
    in_adobe_rgb(source, photo, adobe_rgb) if kind == "adobe.png" else KINDS[kind][0](source, photo)
    readable = photo
    if not imageio.engine_reads(open(photo, "rb").read()):
        readable = str(tmp_path / "decoded.png")
        cv2.imwrite(readable, imageio.read_photo(photo, as_engine=True))
    engine_file, cli_file = tmp_path / "engine.png", tmp_path / "cli.png"
    pm.QuorinPortraitMain(str(red_model))._image(readable, str(engine_file))
    assert cli.main([photo, "-o", str(cli_file), "--model", str(red_model), "--matte", "model", "-q"]) == 0
    assert cli_file.read_bytes() == engine_file.read_bytes()
    assert not srgb_tag(cli_file.read_bytes())
    # In memory, as the service and the API make it, from the same reading.
    in_memory = Cutout(str(red_model)).produce(imageio.read_photo(photo, as_engine=True), Request(matte="model"))
    assert encode(in_memory, ".png") == engine_file.read_bytes()


# ---- metadata ------------------------------------------------------------------------------------


def located_jpeg(rgb: np.ndarray, path) -> None:
    """A camera's JPEG: make, model, GPS position and an XMP packet."""
    picture = Image.fromarray(rgb)
    exif = picture.getexif()
    exif[0x010F], exif[0x0110] = "PhoneMaker", "Phone 15"
    exif.get_ifd(0x8825).update({1: "N", 2: (51.0, 30.0, 0.0), 3: "W", 4: (0.0, 7.0, 0.0)})
    xmp = b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF/></x:xmpmeta>'
    picture.save(path, quality=95, exif=exif, xmp=xmp)
    assert Image.open(path).getexif().get_ifd(0x8825)  # the input really carries a position


def carried_metadata(data: bytes) -> list[str]:
    picture = Image.open(io.BytesIO(data))
    found = [key for key in ("exif", "xmp", "XML:com.adobe.xmp") if picture.info.get(key)]
    return found + (["EXIF"] if picture.getexif() else []) + (["Exif"] if b"Exif\x00\x00" in data else [])


@pytest.mark.parametrize("options", [["--matte", "fast"], ["--matte", "model"], ["--id", "passport", "--matte", "model"]],
                         ids=["cut-out", "engine", "id photo"])
@pytest.mark.parametrize("extension", [".jpg", ".png"])
def test_outputs_carry_no_location_or_camera(options, extension, data_dir, modnet_model, tmp_path):
    photo = tmp_path / "located.jpg"
    located_jpeg(cv2.imread(str(data_dir / "astronaut.png"))[:, :, ::-1], photo)
    target = tmp_path / f"out{extension}"
    assert cli.main([str(photo), "-o", str(target), "--model", str(modnet_model), "-q", *options]) == 0
    data = target.read_bytes()
    assert carried_metadata(data) == []
    if "--id" in options:  # the print resolution stays, and so does the colour tag
        assert round(Image.open(target).info["dpi"][0]) == 300 and srgb_tag(data)


# ---- folders -------------------------------------------------------------------------------------


def test_folder_mode_finds_phone_photographs(source, red_model, tmp_path):
    photos, pictures = tmp_path / "photos", tmp_path / "pictures"
    photos.mkdir()
    for name in ("phone.heic", "phone2.HEIF", "web.avif", "camera.jpg"):
        KINDS["heic" if "hei" in name.lower() else "avif" if name.endswith("avif") else "cmyk.jpg"][0](source, str(photos / name))
    assert cli.main([str(photos), "-o", str(pictures), "--model", str(red_model), "--matte", "fast", "-q"]) == 0
    # No writer takes HEIC: its pictures are PNG; the others keep their kind where OpenCV writes it.
    web = "web.avif" if imageio.writable_extension(".avif") else "web.png"
    assert sorted(p.name for p in pictures.iterdir()) == sorted(["camera.jpg", "phone.png", "phone2.png", web])
    for picture in pictures.iterdir():
        assert Image.open(picture).size == (96, 64)
