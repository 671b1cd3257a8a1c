"""Colour spaces in and out: photographs brought to sRGB, pictures tagged as sRGB.

A photograph's embedded ICC profile says what its numbers mean; OpenCV
ignores it, so an Adobe RGB or Display P3 photograph would be cut out as if
its numbers were sRGB, duller than it looks anywhere colour-managed. It is
converted once, by LittleCMS through Pillow's ImageCms, before anything else.

The pictures the product writes are sRGB and say so where the format holds
a profile: PNG gets an sRGB chunk, JPEG an APP2 ICC_PROFILE segment, WebP an
ICCP chunk and TIFF an ICC tag, each put into OpenCV's encoded bytes without
touching the pixels. The profile is LittleCMS's own sRGB.
"""

from __future__ import annotations

import functools
import io
import struct
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
ICC_TAG = 34675  # TIFF's InterColorProfile
PERCEPTUAL = 0


# LittleCMS stamps a profile with the time it was made; a fixed date keeps
# the same picture the same bytes from one run (or process) to the next.
PROFILE_DATE = struct.pack(">6H", 2024, 1, 1, 0, 0, 0)


@functools.cache
def srgb_profile() -> bytes:
    from PIL import ImageCms

    made = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    return made[:24] + PROFILE_DATE + made[36:]  # the header's creation date; its profile ID is unset


def is_srgb(icc: bytes) -> bool:
    """True for a profile that names itself sRGB (cameras embed one of
    several): no conversion, so those photographs decode as they always did."""
    from PIL import ImageCms

    try:
        description = ImageCms.getProfileDescription(ImageCms.ImageCmsProfile(io.BytesIO(icc)))
    except (ImageCms.PyCMSError, OSError, TypeError, ValueError):
        return False
    return description.strip().lower().startswith("srgb")


def to_srgb(picture, icc: bytes):
    """The Pillow image `picture` (L, RGB or CMYK, as its profile `icc`
    describes) in sRGB, mode RGB. A profile LittleCMS cannot use, or one for
    another kind of picture, is ignored: the numbers are taken as sRGB."""
    from PIL import ImageCms

    try:
        source = ImageCms.ImageCmsProfile(io.BytesIO(icc))
        return ImageCms.profileToProfile(picture, source, ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")),
                                         renderingIntent=ImageCms.Intent.PERCEPTUAL, outputMode="RGB")
    except (ImageCms.PyCMSError, OSError, TypeError, ValueError):
        return picture.convert("RGB")


# -- the sRGB tag in encoded bytes ------------------------------------------------


def tag_srgb(data: bytes, extension: str) -> bytes:
    """Encoded colour-picture bytes marked as sRGB, for the formats that hold
    a profile; other formats' bytes come back as they are."""
    extension = extension.lower().lstrip(".")
    if extension == "png":
        return _png_with_srgb(data)
    if extension in ("jpg", "jpeg", "jpe"):
        return _jpeg_with_icc(data, srgb_profile())
    if extension == "webp":
        return _webp_with_icc(data, srgb_profile())
    if extension in ("tif", "tiff"):
        return _tiff_with_icc(data, srgb_profile())
    return data


def _png_chunk(kind: bytes, payload: bytes) -> bytes:
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


def _png_with_srgb(data: bytes) -> bytes:
    """An sRGB chunk (perceptual) right after IHDR; any earlier colour-space chunk dropped."""
    if data[:8] != PNG_SIGNATURE:
        raise ValueError("not a PNG stream")
    chunks, position = [], 8
    while position + 12 <= len(data):
        (length,) = struct.unpack_from(">I", data, position)
        end = position + 12 + length
        kind = data[position + 4 : position + 8]
        if kind not in (b"sRGB", b"iCCP"):
            chunks.append(data[position:end])
        if kind == b"IHDR":
            chunks.append(_png_chunk(b"sRGB", bytes([PERCEPTUAL])))
        position = end
    return PNG_SIGNATURE + b"".join(chunks)


def _jpeg_with_icc(data: bytes, icc: bytes) -> bytes:
    """An APP2 ICC_PROFILE segment after SOI and the JFIF header, which must stay first."""
    if data[:2] != b"\xff\xd8":
        raise ValueError("not a JPEG stream")
    payload = b"ICC_PROFILE\x00\x01\x01" + icc  # one segment of one: the profile fits in 64 KB
    segment = b"\xff\xe2" + struct.pack(">H", len(payload) + 2) + payload
    position = 2
    if data[2:4] == b"\xff\xe0":
        position += 2 + struct.unpack_from(">H", data, 4)[0]
    return data[:position] + segment + data[position:]


def _riff_chunk(kind: bytes, payload: bytes) -> bytes:
    return kind + struct.pack("<I", len(payload)) + payload + (b"\x00" if len(payload) % 2 else b"")


def _webp_with_icc(data: bytes, icc: bytes) -> bytes:
    """An ICCP chunk after VP8X, which is made from the bitstream's size when
    the encoder wrote the simple format."""
    if data[:4] != b"RIFF" or data[8:12] != b"WEBP":
        raise ValueError("not a WebP stream")
    body = data[12:]
    kind = body[:4]
    if kind == b"VP8X":
        flags = body[8] | 0x20  # the ICC profile flag
        extended, rest = body[:8] + bytes([flags]) + body[9:18], body[18:]
    else:
        width, height, alpha = _webp_canvas(body)
        header = bytes([0x20 | (0x10 if alpha else 0)]) + b"\x00\x00\x00"
        header += (width - 1).to_bytes(3, "little") + (height - 1).to_bytes(3, "little")
        extended, rest = _riff_chunk(b"VP8X", header), body
    riff = b"WEBP" + extended + _riff_chunk(b"ICCP", icc) + rest
    return b"RIFF" + struct.pack("<I", len(riff)) + riff


def _webp_canvas(body: bytes) -> tuple[int, int, bool]:
    """(width, height, has alpha) from a simple WebP's VP8 or VP8L chunk."""
    kind, frame = body[:4], body[8:]
    if kind == b"VP8L":
        (bits,) = struct.unpack_from("<I", frame, 1)
        return (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1, bool((bits >> 28) & 1)
    if kind == b"VP8 ":
        width, height = struct.unpack_from("<HH", frame, 6)
        return width & 0x3FFF, height & 0x3FFF, False
    raise ValueError("not a simple WebP stream")


def _tiff_with_icc(data: bytes, icc: bytes) -> bytes:
    """The profile and a copy of the first IFD with an ICC entry added at the
    end of the file, the header pointed at the new IFD; the old one is left
    unreferenced. Classic TIFF only (OpenCV writes it for pictures this size)."""
    order = {b"II": "<", b"MM": ">"}.get(data[:2])
    if order is None or struct.unpack_from(order + "H", data, 2)[0] != 42:
        return data
    (first,) = struct.unpack_from(order + "I", data, 4)
    (count,) = struct.unpack_from(order + "H", data, first)
    entries = {}
    for index in range(count):
        entry = data[first + 2 + 12 * index : first + 14 + 12 * index]
        entries[struct.unpack_from(order + "H", entry)[0]] = entry
    (following,) = struct.unpack_from(order + "I", data, first + 2 + 12 * count)
    out = bytearray(data + b"\x00" * (len(data) % 2))
    profile_at = len(out)
    out += icc + b"\x00" * (len(icc) % 2)
    entries[ICC_TAG] = struct.pack(order + "HHII", ICC_TAG, 7, len(icc), profile_at)  # 7: UNDEFINED bytes
    ifd_at = len(out)
    out += struct.pack(order + "H", len(entries)) + b"".join(entries[tag] for tag in sorted(entries))
    out += struct.pack(order + "I", following)
    struct.pack_into(order + "I", out, 4, ifd_at)
    return bytes(out)
