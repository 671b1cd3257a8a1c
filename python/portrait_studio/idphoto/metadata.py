"""The print resolution in the file, so that printing at 100 % gives the true size.

OpenCV writes a JFIF header with an aspect ratio only (density 1:1, no unit)
and no pHYs chunk in PNG, so the bytes are patched here: both are tiny,
fixed-layout records, which is less to install than an imaging library.
TIFF takes its resolution from OpenCV's own encoder parameters.
"""

from __future__ import annotations

import struct
import zlib

import cv2

METRES_PER_INCH = 0.0254
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def jpeg_with_dpi(data: bytes, dpi: int) -> bytes:
    """JPEG bytes with JFIF density `dpi` dots per inch (an APP0 JFIF segment
    is added after SOI when the encoder wrote none)."""
    if data[:2] != b"\xff\xd8":
        raise ValueError("not a JPEG stream")
    density = struct.pack(">BHH", 1, dpi, dpi)  # unit 1 = dots per inch
    if data[2:4] == b"\xff\xe0" and data[6:11] == b"JFIF\x00":
        # APP0: marker, length, "JFIF\0", version (2), unit, x density, y density, ...
        return data[:13] + density + data[18:]
    segment = b"JFIF\x00\x01\x01" + density + b"\x00\x00"
    return data[:2] + b"\xff\xe0" + struct.pack(">H", len(segment) + 2) + segment + data[2:]


def _png_chunk(kind: bytes, payload: bytes) -> bytes:
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


def png_with_dpi(data: bytes, dpi: int) -> bytes:
    """PNG bytes with a pHYs chunk (pixels per metre) right after IHDR, any
    previous pHYs dropped."""
    if data[:8] != PNG_SIGNATURE:
        raise ValueError("not a PNG stream")
    per_metre = round(dpi / METRES_PER_INCH)
    chunks = []
    position = 8
    while position < len(data):
        (length,) = struct.unpack(">I", data[position:position + 4])
        end = position + 12 + length
        kind = data[position + 4:position + 8]
        if kind != b"pHYs":
            chunks.append(data[position:end])
        if kind == b"IHDR":
            chunks.append(_png_chunk(b"pHYs", struct.pack(">IIB", per_metre, per_metre, 1)))
        position = end
    return PNG_SIGNATURE + b"".join(chunks)


def tiff_parameters(dpi: int) -> list[int]:
    return [cv2.IMWRITE_TIFF_RESUNIT, 2, cv2.IMWRITE_TIFF_XDPI, dpi, cv2.IMWRITE_TIFF_YDPI, dpi]


def with_dpi(data: bytes, extension: str, dpi: int) -> bytes:
    """Encoded bytes with their print resolution set, for the formats that hold one."""
    extension = extension.lower().lstrip(".")
    if extension in ("jpg", "jpeg", "jpe"):
        return jpeg_with_dpi(data, dpi)
    if extension == "png":
        return png_with_dpi(data, dpi)
    return data


def holds_dpi(extension: str) -> bool:
    return extension.lower().lstrip(".") in ("jpg", "jpeg", "jpe", "png", "tif", "tiff")
