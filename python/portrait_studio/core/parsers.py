"""Each request field's parser: text as a user types it -> the value, or
ValueError saying what to send instead."""

from __future__ import annotations

from .letterbox import parse_size

# refined: both networks' planes fused, then refined; fast: the segmenter's
# plane refined; model: the segmenter's matte as the engine uses it.
MATTE_KINDS = ("refined", "fast", "model")

FORMAT_ALIASES = {"jpeg": "jpg", "jpe": "jpg", "tiff": "tif"}


def parse_matte(text: str) -> str:
    kind = text.strip().lower()
    if kind not in MATTE_KINDS:
        raise ValueError(f"bad matte {text!r}: expected {' or '.join(MATTE_KINDS)}")
    return kind


def parse_optional_size(text: str) -> tuple[int, int] | None:
    """As `parse_size`; "original" keeps the photograph's size."""
    if text.strip().lower() in ("original", "own"):
        return None
    return parse_size(text)


def parse_flag(text: str) -> bool:
    value = text.strip().lower()
    if value in ("", "0", "false", "no", "off"):
        return False
    if value in ("1", "true", "yes", "on"):
        return True
    raise ValueError(f"bad flag {text!r}: expected true or false")


def parse_max_kb(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not value > 0 or value != value or value == float("inf"):
        raise ValueError(f"bad size cap {text!r}: expected a positive number of kilobytes, e.g. 240")
    return value


def parse_preset(text: str) -> str | None:
    from .documents import find_document as find_preset

    return find_preset(text).name if text.strip() else None


def parse_sheet(text: str) -> str | None:
    from .documents import find_sheet

    return find_sheet(text) if text.strip() else None


def parse_positive_int(text: str) -> int:
    """A count people type (`4`): ASCII digits, at least 1."""
    text = text.strip()
    if not (text.isascii() and text.isdigit()) or int(text) < 1:
        raise ValueError(f"bad number {text!r}: expected a whole number of at least 1, e.g. 4")
    return int(text)


def parse_max_pixels(text: str) -> int:
    try:
        return parse_positive_int(text)
    except ValueError:
        raise ValueError(f"bad max_pixels {text!r}: expected a positive whole number, e.g. 40000000") from None


def parse_quality(text: str) -> int:
    text = text.strip()
    if not (text.isascii() and text.isdigit()) or not 1 <= int(text) <= 100:
        raise ValueError(f"bad quality {text!r}: expected a whole number from 1 to 100")
    return int(text)


def parse_format(text: str) -> str | None:
    """A writable format's extension without its dot (`png`, `jpg`)."""
    from . import imageio

    name = text.strip().lower().lstrip(".")
    if not name:
        return None
    name = FORMAT_ALIASES.get(name, name)
    if not imageio.writable_extension(name):
        raise ValueError(f"bad format {text!r}: no writer for it; use one of {', '.join(imageio.WRITABLE_HINT)}")
    return name
