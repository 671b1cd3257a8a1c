"""Damage inside a HEIC's coded image data. libheif's HEVC decoder
(libde265) conceals broken blocks and calls the picture a success, so the
coded image (or each tile of a grid) is decoded a second time with FFmpeg's
HEVC decoder, told to stop at the first bitstream error. Used only where
PyAV (the [video] extra) is installed; without it a HEIC is read as before."""

from __future__ import annotations

import struct

START_CODE = b"\x00\x00\x00\x01"


class Unreadable(ValueError):
    """The box structure cannot be followed; the ordinary reader judges it."""


def available() -> bool:
    try:
        import av  # noqa: F401
    except ImportError:
        return False
    return True


def _boxes(data: bytes, start: int, end: int):
    """(type, payload start, payload end) of each box between start and end."""
    position = start
    while position + 8 <= end:
        size, kind = struct.unpack_from(">I4s", data, position)
        header = 8
        if size == 1:
            if position + 16 > end:
                raise Unreadable("box")
            (size,) = struct.unpack_from(">Q", data, position + 8)
            header = 16
        elif size == 0:
            size = end - position
        if size < header or position + size > end:
            raise Unreadable("box")
        yield kind, position + header, position + size
        position += size


def _children(data: bytes, start: int, end: int) -> dict[bytes, tuple[int, int]]:
    found: dict[bytes, tuple[int, int]] = {}
    for kind, a, b in _boxes(data, start, end):
        found.setdefault(kind, (a, b))
    return found


def _uint(data: bytes, position: int, size: int) -> int:
    if size == 0:
        return 0
    if position + size > len(data):
        raise Unreadable("short")
    return int.from_bytes(data[position : position + size], "big")


def _items(data: bytes, meta: dict, start: int, end: int) -> dict[int, bytes]:
    """item id -> type, from iinf's infe boxes (versions 2 and 3)."""
    version = data[start]
    position = start + 4 + (2 if version == 0 else 4)
    types = {}
    for kind, a, _end in _boxes(data, position, end):
        if kind != b"infe":
            continue
        infe_version = data[a]
        if infe_version < 2:
            continue
        id_size = 2 if infe_version == 2 else 4
        item = _uint(data, a + 4, id_size)
        types[item] = data[a + 4 + id_size + 2 : a + 4 + id_size + 6]
    return types


def _locations(data: bytes, start: int, idat: tuple[int, int] | None) -> dict[int, list[tuple[int, int]]]:
    """item id -> [(absolute offset, length)] from iloc; idat-held extents
    are turned into file offsets."""
    version = data[start]
    position = start + 4
    sizes = data[position]
    offset_size, length_size = sizes >> 4, sizes & 15
    sizes = data[position + 1]
    base_size, index_size = sizes >> 4, (sizes & 15 if version in (1, 2) else 0)
    position += 2
    count_size = 2 if version < 2 else 4
    count = _uint(data, position, count_size)
    position += count_size
    found = {}
    for _ in range(count):
        item = _uint(data, position, count_size)
        position += count_size
        method = 0
        if version in (1, 2):
            method = _uint(data, position, 2) & 15
            position += 2
        position += 2  # data_reference_index
        base = _uint(data, position, base_size)
        position += base_size
        extents = _uint(data, position, 2)
        position += 2
        pieces = []
        for _ in range(extents):
            position += index_size
            offset = _uint(data, position, offset_size)
            position += offset_size
            length = _uint(data, position, length_size)
            position += length_size
            if method == 1:
                if idat is None:
                    raise Unreadable("idat")
                pieces.append((idat[0] + base + offset, length))
            elif method == 0:
                pieces.append((base + offset, length))
            else:
                raise Unreadable("construction method")
        found[item] = pieces
    return found


def _properties(data: bytes, iprp: tuple[int, int]) -> dict[int, list[tuple[bytes, int, int]]]:
    """item id -> its associated properties (type, payload start, end)."""
    boxes = _children(data, *iprp)
    if b"ipco" not in boxes or b"ipma" not in boxes:
        raise Unreadable("iprp")
    ipco = list(_boxes(data, *boxes[b"ipco"]))
    start, _ = boxes[b"ipma"]
    version, flags = data[start], _uint(data, start + 1, 3)
    position = start + 4
    count = _uint(data, position, 4)
    position += 4
    id_size = 2 if version < 1 else 4
    index_size = 2 if flags & 1 else 1
    found = {}
    for _ in range(count):
        item = _uint(data, position, id_size)
        position += id_size
        associations = _uint(data, position, 1)
        position += 1
        chosen = []
        for _ in range(associations):
            index = _uint(data, position, index_size) & (0x7FFF if index_size == 2 else 0x7F)
            position += index_size
            if 1 <= index <= len(ipco):
                chosen.append(ipco[index - 1])
        found[item] = chosen
    return found


def _references(data: bytes, iref: tuple[int, int] | None, kind: bytes) -> dict[int, list[int]]:
    if iref is None:
        return {}
    start, end = iref
    id_size = 2 if data[start] == 0 else 4
    found = {}
    for box, a, _ in _boxes(data, start + 4, end):
        if box != kind:
            continue
        source = _uint(data, a, id_size)
        count = _uint(data, a + id_size, 2)
        found[source] = [_uint(data, a + id_size + 2 + i * id_size, id_size) for i in range(count)]
    return found


def _parameter_sets(data: bytes, start: int, end: int) -> tuple[bytes, int]:
    """Annex B VPS, SPS and PPS from an hvcC box, and the NAL length size."""
    if end - start < 23:
        raise Unreadable("hvcC")
    length_size = (data[start + 21] & 3) + 1
    arrays = data[start + 22]
    position = start + 23
    out = bytearray()
    for _ in range(arrays):
        position += 1
        units = _uint(data, position, 2)
        position += 2
        for _ in range(units):
            size = _uint(data, position, 2)
            position += 2
            if position + size > end:
                raise Unreadable("hvcC")
            out += START_CODE + data[position : position + size]
            position += size
    return bytes(out), length_size


def _annex_b(coded: bytes, length_size: int) -> bytes:
    """Length-prefixed NAL units to start codes; Unreadable where a length
    runs past the item, which is damage in itself."""
    out = bytearray()
    position = 0
    while position < len(coded):
        size = _uint(coded, position, length_size)
        position += length_size
        if size == 0 or position + size > len(coded):
            raise ValueError("a NAL unit runs past the coded image")
        out += START_CODE + coded[position : position + size]
        position += size
    return bytes(out)


def _grid(data: bytes, pieces: list[tuple[int, int]]) -> tuple[int, int, int, int]:
    """(rows, columns, width, height) of a grid item's description."""
    body = b"".join(data[offset : offset + length] for offset, length in pieces)
    if len(body) < 8:
        raise Unreadable("grid")
    size = 4 if body[1] & 1 else 2
    return body[2] + 1, body[3] + 1, _uint(body, 4, size), _uint(body, 4 + size, size)


def _primary(data: bytes) -> tuple[list[bytes], tuple[int, int, int, int] | None, list[tuple[bytes, int]] | None]:
    """The primary image's HEVC bitstreams in Annex B form (one for a plain
    image, one per tile for a grid; [] where the primary image is no HEVC,
    an AVIF say), its grid (None for a single image), and the turns and
    mirrors shown after decoding, in order: (irot, quarter turns
    anticlockwise) or (imir, axis); None where a crop (clap) follows.
    Unreadable where the boxes cannot be followed."""
    try:
        top = _children(data, 0, len(data))
        if b"meta" not in top:
            raise Unreadable("meta")
        meta_start, meta_end = top[b"meta"]
        meta = _children(data, meta_start + 4, meta_end)
        for needed in (b"pitm", b"iinf", b"iloc", b"iprp"):
            if needed not in meta:
                raise Unreadable(needed.decode())
        pitm = meta[b"pitm"][0]
        primary = _uint(data, pitm + 4, 2 if data[pitm] == 0 else 4)
        types = _items(data, meta, *meta[b"iinf"])
        locations = _locations(data, meta[b"iloc"][0], meta.get(b"idat"))
        properties = _properties(data, meta[b"iprp"])
        tiles = {b"hvc1": [primary], b"grid": _references(data, meta.get(b"iref"), b"dimg").get(primary, [])}
        chosen = tiles.get(types.get(primary), [])
        shown = properties.get(primary, [])
        turns = None if any(kind == b"clap" for kind, _, _ in shown) else [
            (kind, data[a] & 3 if kind == b"irot" else data[a] & 1) for kind, a, b in shown
            if kind in (b"irot", b"imir") and b > a]
        streams = []
        for item in chosen:
            if types.get(item) != b"hvc1":
                return [], None, []
            hvcc = [(a, b) for kind, a, b in properties.get(item, []) if kind == b"hvcC"]
            if not hvcc or item not in locations:
                raise Unreadable("hvcC")
            header, length_size = _parameter_sets(data, *hvcc[0])
            coded = b"".join(data[offset : offset + length] for offset, length in locations[item])
            if sum(length for _, length in locations[item]) != len(coded):
                raise ValueError("the coded image runs past the end of the file")
            streams.append(header + _annex_b(coded, length_size))
        grid = _grid(data, locations.get(primary, [])) if types.get(primary) == b"grid" else None
        if grid is not None and grid[0] * grid[1] != len(streams):
            raise ValueError("the grid names another number of tiles than it holds")
        return streams, grid, turns
    except (IndexError, struct.error) as error:
        raise Unreadable(str(error)) from None


def _decode(stream: bytes):
    """FFmpeg's picture of the bitstream, or None at a bitstream error."""
    import av

    context = av.CodecContext.create("hevc", "r")
    context.options = {"err_detect": "crccheck+bitstream+buffer+explode", "threads": "1"}
    try:
        frames = list(context.decode(av.Packet(stream))) + list(context.decode(None))
    except av.error.FFmpegError:
        return None
    if len(frames) != 1 or frames[0].is_corrupt:
        return None
    return frames[0]


# Two decoders agree to a few levels (libheif's YUV to RGB and back) on a
# whole bitstream; once the arithmetic decoder has lost its place each goes
# its own way, and whole blocks differ.
DIFFERENT_LEVELS = 32
DIFFERENT_SHARE = 0.002


def damaged(data: bytes, decoded=None) -> bool:
    """Whether the HEIC's coded image is damaged: FFmpeg stops at an error,
    or (for an uncropped image) its picture differs from the one
    libheif made (`decoded`: that picture as Pillow holds it, or None)."""
    import numpy as np

    data = bytes(data)  # the service hands over a view of its upload; box types are looked up by value
    try:
        streams, grid, turns = _primary(data)
    except Unreadable:
        return False  # the ordinary reader reports the broken boxes
    except ValueError:
        return True
    frames = [_decode(stream) for stream in streams]
    if any(frame is None for frame in frames):
        return True
    if decoded is None or turns is None or not frames:
        return False
    tiles = [frame.to_ndarray(format="gray") for frame in frames]
    if grid is None:
        ours = tiles[0]
    else:
        rows, columns, width, height = grid
        if len({tile.shape for tile in tiles}) != 1:
            return True  # a grid's tiles are all one size
        ours = np.vstack([np.hstack(tiles[row * columns : (row + 1) * columns]) for row in range(rows)])
        ours = ours[:height, :width]
    for kind, amount in turns:
        # imir's axis 1 is the one libheif writes for a left-right mirror (EXIF orientation 2)
        ours = np.rot90(ours, amount) if kind == b"irot" else (ours[:, ::-1] if amount == 1 else ours[::-1])
    theirs = np.asarray(decoded.convert("L"))
    if ours.shape != theirs.shape:
        return False
    import cv2

    differing = cv2.threshold(cv2.absdiff(np.ascontiguousarray(ours), theirs), DIFFERENT_LEVELS, 1, cv2.THRESH_BINARY)[1]
    return cv2.countNonZero(differing) > DIFFERENT_SHARE * differing.size
