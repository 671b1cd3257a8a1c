"""Reading photographs, encoding pictures and writing them atomically.

Every file the product layer writes goes to a temporary name in the target's
own folder and is renamed into place, so a reader never sees half a file and
an interrupted run leaves none behind.
"""

from __future__ import annotations

import contextlib
import functools
import io
import os
import re
import stat
import struct
import uuid
import warnings
import zlib
from pathlib import Path

import cv2
import numpy as np

from .fields import spell

# Extensions whose OpenCV encoders keep a fourth (alpha) channel.
ALPHA_EXTENSIONS = {".png", ".webp", ".tif", ".tiff", ".avif", ".exr"}
ALPHA_HINT = ".png, .webp, .tif or .avif"

# Where temporary outputs are recognisable, so a resumed run can clear them.
TEMPORARY_PREFIX = ".portrait-tmp-"
# This process's mark in its temporaries' names: a resumed run removes its
# own, and another's only once they are old enough to be a killed run's.
RUN_ID = uuid.uuid4().hex[:12]


# 40 megapixels takes any camera's full-size photograph; past that one
# photograph's float planes alone run to gigabytes.
DEFAULT_MAX_PIXELS = 40_000_000

READABLE = "PNG, JPEG, WebP, BMP, TIFF, HEIC or AVIF"

EXIF_ORIENTATION = 0x0112

# ISO base media files (HEIC, AVIF) say so by the brands in their first box.
HEIF_BRANDS = (b"heic", b"heix", b"heim", b"heis", b"hevc", b"hevx", b"mif1", b"msf1")
AVIF_BRANDS = (b"avif", b"avis")
# OpenCV builds with libavif read and write AVIF; the writer tells of the reader.
OPENCV_READS_AVIF = cv2.haveImageWriter("x.avif")
# Formats OpenCV decodes: through it whenever its decode is the right one.
OPENCV_FORMATS = {"JPEG", "PNG", "WEBP", "TIFF", "BMP", "DIB", "PPM", "JPEG2000", "SUN"} | (
    {"AVIF"} if OPENCV_READS_AVIF else set())
# Formats only Pillow decodes here: HEIC through pillow-heif, AVIF through
# Pillow's own plugin where OpenCV lacks one.
PILLOW_ONLY = {"HEIF", "AVIF"} - OPENCV_FORMATS


class ImageError(Exception):
    """A photograph that cannot be read, or a picture that cannot be written."""


class NotAPicture(ImageError):
    """Bytes that no reader recognises as a picture."""


class TooManyPixels(ImageError):
    """A picture whose header claims more pixels than the limit."""


class DamagedPicture(ImageError):
    """A picture whose header reads but whose data is cut short or broken."""


def extension_of(path: str | os.PathLike) -> str:
    return Path(path).suffix.lower()


def keeps_alpha(path: str | os.PathLike) -> bool:
    """Whether the format a path (or a bare extension: "png", ".webp") names holds transparency."""
    text = str(path)
    extension = Path(text).suffix.lower() or "." + text.lower().lstrip(".")
    return extension in ALPHA_EXTENSIONS


# -- what a file claims, before anything is decoded ------------------------------


@functools.cache
def pillow():
    """Pillow's Image module with the HEIC/HEIF opener registered, once."""
    import pillow_heif
    from PIL import Image

    pillow_heif.register_heif_opener(thumbnails=False, depth_images=False, aux_images=False)
    return Image


def is_isobmff_picture(data: bytes) -> bool:
    return data[4:8] == b"ftyp" and data[8:12] in HEIF_BRANDS + AVIF_BRANDS


def can_read_isobmff(data: bytes) -> bool:
    """HEIC always (pillow-heif); AVIF where OpenCV or Pillow was built with libavif."""
    if data[8:12] not in AVIF_BRANDS:
        return True
    from PIL import features

    return OPENCV_READS_AVIF or bool(features.check("avif"))


# Pillow refuses a PNG whose colour profile passes 1 MB (its cap on text
# chunks); cameras and editors rarely write more, but a 2 MB profile is a
# valid file, and OpenCV and JPEG take one. Profiles up to this size are
# taken out of the PNG before Pillow sees it and applied as usual.
MAX_PROFILE_BYTES = 16 * 1024 * 1024
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def _png_profile_chunk(data: bytes) -> tuple[int, int] | None:
    """Where the iCCP chunk of a PNG is (start, end), if it comes before the image data."""
    if data[:8] != PNG_MAGIC:
        return None
    position = 8
    while position + 12 <= len(data):
        (length,) = struct.unpack_from(">I", data, position)
        kind = data[position + 4 : position + 8]
        if kind == b"iCCP":
            return position, position + 12 + length
        if kind in (b"IDAT", b"IEND"):
            return None
        position += 12 + length
    return None


def large_png_profile(data: bytes, name: str = "the image") -> tuple[bytes, bytes | None]:
    """(the PNG as Pillow takes it, the profile taken out of it), for a
    profile past Pillow's cap; (data, None) for every other file."""
    from PIL import PngImagePlugin

    chunk = _png_profile_chunk(data)
    if chunk is None or chunk[1] > len(data):
        return data, None
    payload = data[chunk[0] + 8 : chunk[1] - 4]
    separator = payload.find(b"\x00")
    if separator < 0 or separator + 2 > len(payload):
        return data, None
    inflater = zlib.decompressobj()
    try:
        profile = inflater.decompress(payload[separator + 2 :], MAX_PROFILE_BYTES + 1)
    except zlib.error:
        return data, None  # Pillow says what is wrong with it
    if len(profile) <= PngImagePlugin.MAX_TEXT_CHUNK:
        return data, None
    if len(profile) > MAX_PROFILE_BYTES or inflater.unconsumed_tail:
        raise DamagedPicture(f"{name}: its colour profile is over {MAX_PROFILE_BYTES >> 20} MB; "
                             "save it with a smaller profile (sRGB)")
    return data[: chunk[0]] + data[chunk[1] :], profile


def header_size(data: bytes, name: str = "the image", max_pixels: int | None = None) -> tuple[int, int] | None:
    """(width, height) as the header states it; None where Pillow does not
    know the format (OpenCV may still). Pillow's open reads the header only."""
    from PIL import UnidentifiedImageError

    Image = pillow()
    if not data:
        raise DamagedPicture(f"{name}: the file is empty")
    with warnings.catch_warnings():
        # Pillow's own bomb threshold warns and then refuses; the limit
        # checked by the caller decides instead.
        warnings.simplefilter("ignore", Image.DecompressionBombWarning)
        try:
            with Image.open(io.BytesIO(large_png_profile(data, name)[0])) as picture:
                return picture.size
        except Image.DecompressionBombError as error:
            # Pillow stops before saying the size; its message holds the count.
            found = re.search(r"\((\d+) pixels\)", str(error))
            claimed = f"{int(found.group(1)) / 1e6:.1f} MP" if found else "more pixels than can be decoded safely"
            limit = DEFAULT_MAX_PIXELS if max_pixels is None else max_pixels
            if found and int(found.group(1)) <= limit:
                return None  # a limit raised past Pillow's own: the decoded size is checked instead
            raise TooManyPixels(f"{name}: its header claims {claimed}, over the limit of {limit / 1e6:g} MP: "
                                f"scale it down first, or raise the limit ({spell('max_pixels')})") from None
        except UnidentifiedImageError:
            if is_isobmff_picture(data) and can_read_isobmff(data):  # HEIC or AVIF, but no box to follow
                raise DamagedPicture(f"{name}: the file is cut short or damaged; copy or download it again") from None
            return None
        except (OSError, SyntaxError, ValueError, EOFError, IndexError, KeyError, TypeError, struct.error) as error:
            # Pillow's plugins report a broken header in many ways.
            raise DamagedPicture(f"{name}: a damaged image header ({type(error).__name__}); "
                                 "send the original file again") from None


def check_pixels(width: int, height: int, max_pixels: int, name: str = "the image") -> None:
    if width < 1 or height < 1:
        raise DamagedPicture(f"{name}: its header claims {width} x {height} pixels")
    if width * height > max_pixels:
        raise TooManyPixels(
            f"{name} is {width} x {height} pixels ({width * height / 1e6:.1f} MP), over the limit of "
            f"{max_pixels / 1e6:g} MP: scale it down first, or raise the limit ({spell('max_pixels')})"
        )


def _jpeg_complete(data: bytes) -> bool:
    """True when the JPEG's markers run from SOI to EOI. Entropy-coded data
    never holds 0xFF followed by anything but 0x00 or a restart marker, so
    the walk only stops where a 0xFF is: a few thousand steps for a photo."""
    size = len(data)
    position = 2
    while position + 4 <= size:
        if data[position] != 0xFF:
            return False
        marker = data[position + 1]
        if marker == 0xFF:  # fill byte
            position += 1
            continue
        if marker == 0xD9:
            return True
        if marker == 0x01 or 0xD0 <= marker <= 0xD7:
            position += 2
            continue
        length = (data[position + 2] << 8) | data[position + 3]
        if length < 2:
            return False
        position += 2 + length
        if marker == 0xDA:  # start of scan: skip the entropy-coded data
            while True:
                position = data.find(b"\xff", position)
                if position < 0 or position + 1 >= size:
                    return False
                following = data[position + 1]
                if following == 0x00 or 0xD0 <= following <= 0xD7:
                    position += 2
                    continue
                if following == 0xFF:
                    position += 1
                    continue
                break
    return position + 2 <= size and data[position : position + 2] == b"\xff\xd9"


def _png_complete(data: bytes) -> bool:
    """True when the PNG's chunks, by their lengths, reach an IEND chunk."""
    position, size = 8, len(data)
    while position + 12 <= size:
        (length,) = struct.unpack_from(">I", data, position)
        kind = data[position + 4 : position + 8]
        position += 12 + length
        if kind == b"IEND":
            return position <= size
    return False


def _webp_complete(data: bytes) -> bool:
    return len(data) >= 12 and len(data) >= 8 + struct.unpack_from("<I", data, 4)[0]


def check_complete(data: bytes, name: str = "the image") -> None:
    """DamagedPicture where the file is cut short: its decoder would fill the
    missing rows with grey and call it a success. Reads the structure only."""
    if data[:3] == b"\xff\xd8\xff":
        complete = _jpeg_complete(data)
    elif data[:8] == b"\x89PNG\r\n\x1a\n":
        complete = _png_complete(data)
    elif data[:4] == b"RIFF" and data[8:12] == b"WEBP":
        complete = _webp_complete(data)
    else:
        return
    if not complete:
        raise DamagedPicture(f"{name}: the file is cut short or damaged; copy or download it again")


def check_photo_bytes(data: bytes, name: str = "the image", max_pixels: int | None = None) -> tuple[int, int] | None:
    """Everything that can be told without decoding: a picture at all, within
    the pixel limit, and whole. Returns the header's (width, height) where
    Pillow reads it."""
    size = header_size(data, name, max_pixels)
    if size is not None:
        check_pixels(*size, DEFAULT_MAX_PIXELS if max_pixels is None else max_pixels, name)
    check_complete(data, name)
    return size


# No picture file holds more than its pixels uncompressed (16-bit R, G, B, A:
# 8 bytes each) and some metadata: past that a file is refused by its size,
# before a byte of it is read.
BYTES_PER_PIXEL_AT_MOST = 8
METADATA_ALLOWANCE = 32 * 1024 * 1024


def max_file_bytes(max_pixels: int | None = None) -> int:
    limit = DEFAULT_MAX_PIXELS if max_pixels is None else max_pixels
    return limit * BYTES_PER_PIXEL_AT_MOST + METADATA_ALLOWANCE


# What is read of a file first, for its header: a photograph's header (its
# EXIF and colour profile included) is rarely longer.
HEAD_BYTES = 256 * 1024


def read_bytes(path: str | os.PathLike, max_pixels: int | None = None, *, header: bool = True) -> bytes:
    """The file's bytes, with what went wrong said in the user's terms. Only
    a regular file is read (a device or a pipe could be read for ever), only
    one no bigger than a picture of `max_pixels` can be, and (with `header`)
    one whose header claims more pixels than that is refused from its first
    bytes, before the rest is read."""
    try:
        # O_NONBLOCK: opening a pipe with no writer would wait for one.
        descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
        with open(descriptor, "rb", closefd=True) as file:
            info = os.fstat(descriptor)
            if stat.S_ISDIR(info.st_mode):
                raise IsADirectoryError
            if not stat.S_ISREG(info.st_mode):
                raise ImageError(f"{shown(path)}: not a regular file (a device or a pipe); "
                                 "save the picture to a file and name that")
            limit = max_file_bytes(max_pixels)
            if info.st_size > limit:
                raise ImageError(f"{shown(path)}: {info.st_size / 1e6:.0f} MB is more than a picture within the "
                                 f"pixel limit can take ({limit / 1e6:.0f} MB); is it a picture?")
            if header and info.st_size > HEAD_BYTES:
                check_head(os.pread(descriptor, HEAD_BYTES, 0), shown(path), max_pixels)
            return file.read(limit + 1)
    except FileNotFoundError:
        raise ImageError(f"{shown(path)}: no such file") from None
    except PermissionError:
        raise ImageError(f"{shown(path)}: permission denied; make the file readable") from None
    except IsADirectoryError:
        raise ImageError(f"{shown(path)}: a folder, not a photograph") from None
    except OSError as error:
        raise ImageError(f"{shown(path)}: cannot be read ({error.strerror or error})") from None


def check_head(head: bytes, name: str, max_pixels: int | None) -> None:
    """TooManyPixels where the first bytes of a file already claim too many
    pixels; anything else about them (a header cut off by the end of the
    head, say) is for the whole file's checks to say."""
    try:
        size = header_size(head, name, max_pixels)
        if size is not None:
            check_pixels(*size, DEFAULT_MAX_PIXELS if max_pixels is None else max_pixels, name)
    except TooManyPixels:
        raise
    except ImageError:
        pass


def shown(path: str | os.PathLike) -> str:
    """A path as it can be printed, whatever bytes its name holds."""
    return os.fsdecode(path).encode("utf-8", "backslashreplace").decode("utf-8")


def opencv_can_take(path: str | os.PathLike) -> bool:
    """False for a name OpenCV would crash on: one that is not valid UTF-8
    (Python carries its stray bytes as lone surrogates)."""
    name = os.fspath(path)
    if isinstance(name, bytes):
        return False
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def same_file(a: str | os.PathLike, b: str | os.PathLike) -> bool:
    """True when two paths name one file, through links or other spellings."""
    try:
        if os.path.exists(a) and os.path.exists(b) and os.path.samefile(a, b):
            return True
        return os.path.realpath(a) == os.path.realpath(b)
    except (OSError, ValueError):
        return False


def read_photo(path: str | os.PathLike, max_pixels: int | None = None, *, as_engine: bool = False) -> np.ndarray:
    """The photograph as 8-bit sRGB B, G, R, upright; the file is read by
    Python, so any name works, and checked before it is decoded."""
    return decode_photo(read_bytes(path, max_pixels), max_pixels, name=shown(path), as_engine=as_engine)


def decode_photo(data: bytes, max_pixels: int | None = None, name: str = "the image", *,
                 as_engine: bool = False, checked: bool = False) -> np.ndarray:
    """Encoded bytes (an upload, say) to 8-bit sRGB B, G, R, upright, a
    transparent photograph over white; ImageError if they are no picture,
    too many pixels or cut short.

    `as_engine` gives the numbers the engine itself reads (OpenCV's decode,
    no colour management, transparency dropped), for the engine's own
    picture; HEIC (and AVIF where OpenCV lacks it), which the engine cannot
    read, decode as Pillow reads them, without conversion. `checked`: the
    caller has had `check_photo_bytes` say yes already."""
    if not checked:
        check_photo_bytes(data, name, max_pixels)
    limit = DEFAULT_MAX_PIXELS if max_pixels is None else max_pixels
    viewed, profile = large_png_profile(data, name)
    image = _decode_with_pillow(viewed, name, as_engine, profile)
    if image is None:
        try:
            image = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR)
        except cv2.error:
            image = None
    if image is None:
        raise NotAPicture(f"{name}: not an image that can be read; send {READABLE}")
    check_pixels(image.shape[1], image.shape[0], limit, name)  # formats Pillow does not read
    return image


def engine_reads(data: bytes) -> bool:
    """Whether the engine (OpenCV's decoder) reads this format: never HEIC;
    AVIF where OpenCV was built with libavif."""
    if data[4:8] != b"ftyp":
        return True
    # OpenCV would leave a turned AVIF sideways: it takes the in-memory path
    head = data[:65536]
    return data[8:12] in AVIF_BRANDS and OPENCV_READS_AVIF and b"irot" not in head and b"imir" not in head


def _open_header(data: bytes):
    """Pillow's view of the header, or None where Pillow does not know the
    format or refuses its size (the checks before have spoken for both)."""
    Image = pillow()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", Image.DecompressionBombWarning)
        try:
            return Image.open(io.BytesIO(data))
        except Exception:  # any failure leaves the photograph to OpenCV, as before
            return None


def _wants_pillow(picture, as_engine: bool, icc: bytes | None = None) -> bool:
    """Pillow decodes what OpenCV would get wrong: a format it lacks, a
    profile other than sRGB, transparency, CMYK. Plain photographs stay
    OpenCV's, bit for bit as they always were."""
    if picture.format in PILLOW_ONLY or turned_avif(picture):
        return True
    if as_engine or picture.format not in OPENCV_FORMATS:
        return False
    from . import colour

    icc = icc or picture.info.get("icc_profile")
    return (bool(icc) and not colour.is_srgb(icc)) or has_transparency(picture) or picture.mode == "CMYK"


def turned_avif(picture) -> bool:
    """An AVIF whose irot or imir box turns it (Pillow reads them as an EXIF
    orientation); OpenCV's reader ignores both."""
    return picture.format == "AVIF" and picture.getexif().get(EXIF_ORIENTATION, 1) not in (0, 1)


def has_transparency(picture) -> bool:
    return picture.mode in ("RGBA", "LA", "PA", "La", "RGBa") or "transparency" in picture.info


def _decode_with_pillow(data: bytes, name: str, as_engine: bool, profile: bytes | None = None) -> np.ndarray | None:
    """B, G, R from Pillow where it should decode the photograph; None where
    OpenCV should. `profile`: the colour profile taken out of `data`."""
    picture = _open_header(data)
    if picture is None:
        return None
    with picture:
        if not _wants_pillow(picture, as_engine, profile):
            return None
        from PIL import ImageOps

        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # Pillow's notes on odd EXIF or palettes
                turned = picture.getexif().get(EXIF_ORIENTATION, 1) not in (0, 1)
                upright = ImageOps.exif_transpose(picture) if turned else picture
                image = pil_to_bgr(upright, None if as_engine else profile or picture.info.get("icc_profile"))
        except Exception as error:  # Pillow's decoders and pillow-heif fail in many ways
            raise DamagedPicture(f"{name}: the file is cut short or damaged ({type(error).__name__}); "
                                 "copy or download it again") from None
        if picture.format == "HEIF":
            check_heic_data(data, picture, name)
        return image


def check_heic_data(data: bytes, decoded, name: str = "the image") -> None:
    """DamagedPicture where a HEIC's coded image is broken inside, which
    libheif's decoder conceals; a second decoder (PyAV's FFmpeg) tells. Without
    PyAV such damage goes unnoticed, as the README says."""
    from . import heif_check

    if heif_check.available() and heif_check.damaged(data, decoded):
        raise DamagedPicture(f"{name}: the file is cut short or damaged; copy or download it again")


def grey_to_bytes(picture) -> np.ndarray:
    """A grey image of more than 8 bits (Pillow's I;16, I or F) as 8 bits.
    I;16 holds 16-bit values: their high byte, as an 8-bit reader sees them.
    I and F say nothing of their range: values that fit in 0-255 are taken
    as they are (as Pillow's own conversion to L takes them), larger ones as
    16-bit."""
    grey = np.asarray(picture, dtype=np.float64)
    grey = np.nan_to_num(grey, nan=0.0, posinf=65535.0, neginf=0.0)
    if picture.mode.startswith("I;16") or (grey.size and grey.max() > 255.0):
        grey = grey / 256.0
    return np.clip(np.rint(grey) if picture.mode == "F" else np.floor(grey), 0, 255).astype(np.uint8)


def pil_to_bgr(picture, icc: bytes | None = None) -> np.ndarray:
    """A Pillow image of any mode as 8-bit B, G, R: the profile `icc` (when
    given) brought to sRGB, more than 8 bits cut to 8, transparency and
    palettes laid over white."""
    from . import colour

    alpha = None
    if has_transparency(picture):
        picture = picture.convert("LA" if picture.mode in ("L", "LA", "La") else "RGBA")
        alpha = np.asarray(picture.getchannel("A"), dtype=np.uint16)
        picture = picture.convert("L" if picture.mode == "LA" else "RGB")
    elif picture.mode.startswith("I") or picture.mode == "F":
        picture = pillow().fromarray(grey_to_bytes(picture))
    elif picture.mode not in ("L", "RGB", "CMYK"):
        picture = picture.convert("RGB")
    if icc and not colour.is_srgb(icc):
        picture = colour.to_srgb(picture, icc)
    rgb = np.asarray(picture if picture.mode == "RGB" else picture.convert("RGB"), dtype=np.uint8)
    if alpha is not None:
        # Over white with rounding: v * a / 255 + 255 * (1 - a / 255).
        over = (rgb.astype(np.uint16) * alpha[..., None] + 255 * (255 - alpha[..., None]) + 127) // 255
        rgb = over.astype(np.uint8)
    return cv2.cvtColor(rgb, cv2.COLOR_RGB2BGR)


def quality_parameters(extension: str, quality: int | None) -> list[int]:
    """OpenCV's parameters for a JPEG or WebP quality; none for other formats."""
    extension = extension.lower().lstrip(".")
    if quality is None:
        return []
    if extension in ("jpg", "jpeg", "jpe"):
        return [cv2.IMWRITE_JPEG_QUALITY, int(quality)]
    if extension == "webp":
        return [cv2.IMWRITE_WEBP_QUALITY, int(quality)]
    return []


def encode(image: np.ndarray, extension: str, params: list[int] | None = None) -> bytes:
    """The picture in the format that `extension` (".png", "jpg", ...) names."""
    extension = "." + extension.lower().lstrip(".")
    if image.ndim == 3 and image.shape[2] == 4 and extension not in ALPHA_EXTENSIONS:
        raise ImageError(f"{extension[1:].upper()} cannot hold transparency")
    if not writable_extension(extension):
        raise ImageError(f"no writer for {extension[1:].upper() or 'files without an extension'}: "
                         f"use one of {', '.join(WRITABLE_HINT)}")
    try:
        ok, buffer = cv2.imencode(extension, image, params or [])
    except cv2.error:
        ok = False
    if not ok:
        rows, columns = image.shape[:2]
        raise ImageError(f"cannot encode a {columns} x {rows} picture as {extension[1:].upper()}: "
                         "choose another format or a smaller size")
    return buffer.tobytes()


# Every format a picture can be written in here, as the errors list them.
WRITABLE_HINT = tuple(name for name in ("png", "jpg", "webp", "tif", "avif", "bmp", "jp2", "ppm", "pgm", "pnm",
                                        "pbm", "sr", "ras", "hdr", "pfm", "exr")
                      if cv2.haveImageWriter("x." + name))


def picture_name(photo_name: str) -> str:
    """The name a photograph's picture takes by default: its own, or with
    .png where no writer takes its format (HEIC, AVIF)."""
    path = Path(photo_name)
    return photo_name if writable_extension(path.suffix) else path.stem + ".png"


def writable_extension(extension: str) -> bool:
    """True when OpenCV has an encoder for `extension` (".png", "jpg")."""
    extension = "." + extension.lower().lstrip(".")
    if not extension[1:].isascii() or not extension[1:].isalnum():
        return False
    return cv2.haveImageWriter("x" + extension)


@contextlib.contextmanager
def atomic_target(path: str | os.PathLike):
    """Yields a temporary path beside `path` with the same extension; renames it
    onto `path` when the block succeeds and removes it when it does not."""
    target = Path(path)
    # A fresh name, not a file: whoever writes creates it, under the user's
    # umask, as a plain write would (mkstemp would make it private).
    temporary = str(target.parent / f"{TEMPORARY_PREFIX}{RUN_ID}-{uuid.uuid4().hex}{target.suffix}")
    try:
        try:
            yield temporary
            if not os.path.exists(temporary) or os.path.getsize(temporary) == 0:
                raise ImageError(f"{shown(path)}: nothing was written; is its folder writable?")
            os.replace(temporary, target)
        except OSError as error:
            # Said of the output the user named, not of the temporary.
            raise ImageError(f"{shown(path)}: cannot be written ({error.strerror or type(error).__name__})") from None
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def write_bytes_atomically(path: str | os.PathLike, data: bytes) -> None:
    with atomic_target(path) as temporary, open(temporary, "xb") as file:
        file.write(data)


def write_all_atomically(files: list[tuple[str | os.PathLike, bytes]]) -> None:
    """Each (path, bytes) written under a temporary name; renamed into place
    last first, so that when any of them fails the first is not renamed
    and every temporary is removed."""
    with contextlib.ExitStack() as stack:
        for path, data in files:
            temporary = stack.enter_context(atomic_target(path))
            with open(temporary, "xb") as file:
                file.write(data)


def write_image(path: str | os.PathLike, image: np.ndarray, params: list[int] | None = None) -> None:
    """Encodes by the path's extension and writes atomically."""
    write_bytes_atomically(path, encode(image, extension_of(path), params))
