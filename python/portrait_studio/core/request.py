"""What to make of a photograph: one request type and the one parser of its fields.

The command line's options and the service's form fields are the same
fields (`background`, `size`, `matte`, `mask`, `id`, `force`, `max_kb`,
`sheet`), parsed and checked against each other here, once. Front ends only
say how a field is spelled to their users (`--size` or `size`), so that an
error message names what the user typed.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

from . import imageio
from .background import BLUR, KEEP, WHITE, Background, parse_background
from .letterbox import parse_size

# refined: both networks' planes fused, then refined; fast: the segmenter's
# plane refined; model: the segmenter's matte as the engine uses it.
MATTE_KINDS = ("refined", "fast", "model")
DEFAULT_INPUT_SIZE = (512, 512)  # the engine's own default for the model's input


class RequestError(ValueError):
    """A request that cannot be made as asked; the message says what to send instead."""


@dataclass(frozen=True)
class IdPhotoRequest:
    """An ID photo: framed around the face to a document instead of letterboxed."""

    preset: str  # a document's name or alias (core.documents)
    force: bool = False  # make the best effort where the photograph falls short, with warnings
    max_kb: float | None = None  # keep the file under this many kilobytes
    sheet: str | None = None  # a print sheet of copies instead of one photo (6x4in, 5x7in, A6, A4, letter)


@dataclass(frozen=True)
class Request:
    """What to make of one photograph."""

    matte: str = "refined"  # "refined", "fast", or "model": the engine's matte as it is
    background: Background | None = None  # None: white, or an ID document's own colour
    size: tuple[int, int] | None = None  # letterbox to (width, height); the model runs at it too
    mask: bool = False  # the matte itself (255 = person) instead of a picture
    id_photo: IdPhotoRequest | None = None
    max_pixels: int | None = None  # refuse bigger photographs from their headers; None: imageio's default

    def __post_init__(self):
        if self.max_pixels is not None and (int(self.max_pixels) != self.max_pixels or self.max_pixels < 1):
            raise RequestError(f"bad max_pixels {self.max_pixels!r}: expected a positive whole number")
        if self.matte not in MATTE_KINDS:
            raise RequestError(f"bad matte {self.matte!r}: expected one of {', '.join(MATTE_KINDS)}")
        if self.id_photo is not None and (self.size or self.mask):
            raise RequestError(f"{'size' if self.size else 'mask'} does not go with an ID photo: the preset sets the picture")
        if self.id_photo is None and self.background is not None and self.background.kind == KEEP:
            raise RequestError(KEEP_NEEDS_ID.format(id="id_photo"))
        if self.id_photo is not None and self.background is not None and self.background.kind == BLUR:
            raise RequestError(NO_BLUR_FOR_ID.format(background="background"))
        if self.size is not None:
            width, height = self.size
            if int(width) != width or int(height) != height or width <= 0 or height <= 0:
                raise RequestError(f"bad size {self.size!r}: expected positive whole numbers")

    @property
    def model_input_size(self) -> tuple[int, int]:
        return self.size or DEFAULT_INPUT_SIZE

    @property
    def picture_background(self) -> Background:
        """The background the picture is made on."""
        if self.background is not None:
            return self.background
        if self.id_photo is not None:
            from .documents import find_document as find_preset

            document = find_preset(self.id_photo.preset)
            # an office that forbids edited photographs: its own background, framed only
            return Background(kind=KEEP) if document.edits else parse_background(document.background)
        return WHITE

    @property
    def is_engine_output(self) -> bool:
        """True when this is the engine's own picture: `_image` writes exactly it."""
        return (self.matte == "model" and self.picture_background.is_white and not self.mask
                and self.id_photo is None)

    @property
    def has_alpha(self) -> bool:
        return self.picture_background.transparent and not self.mask

    def check_format(self, extension: str, spell: Callable[[str], str] = str) -> None:
        """Refuses, before any work, an output format that cannot hold the picture."""
        if self.has_alpha and not imageio.keeps_alpha(extension):
            name = extension.lower().lstrip(".").upper() or "this format"
            raise RequestError(f"{name} cannot hold transparency: write .png, .webp or .tif, "
                               f"or choose another {spell('background')}")


# -- parsing the fields --------------------------------------------------------


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


# Each field's parser: text -> value, or ValueError saying what to send instead.
FIELDS: dict[str, Callable[[str], Any]] = {
    "background": parse_background,
    "size": parse_optional_size,
    "matte": parse_matte,
    "mask": parse_flag,
    "id": parse_preset,
    "force": parse_flag,
    "max_kb": parse_max_kb,
    "sheet": parse_sheet,
}

ID_ONLY = ("force", "max_kb", "sheet")
# Left as photographed, a background is only framed with the face: a cut-out
# would show it unchanged, so keeping it is for ID photos alone.
KEEP_NEEDS_ID = "the background keep applies to ID photos: add {id} DOCUMENT, or choose another background"
# Offices ask for a plain, even background; a blurred room is neither.
NO_BLUR_FOR_ID = ("a blurred background does not go with an ID photo: offices ask for a plain one; "
                  "choose a colour, or keep for the photographed background, with {background}")


def parse_field(name: str, value: Any) -> Any:
    """One field's value: text is parsed, anything else taken as already parsed."""
    return FIELDS[name](value) if isinstance(value, str) else value


def request_from_fields(fields: Mapping[str, Any], spell: Callable[[str], str] = str) -> Request:
    """The request the fields ask for, each field parsed and the fields checked
    against each other. `spell(name)` is how the front end names a field to
    its user (`--max-kb` on the command line, `max_kb` in a form)."""
    values: dict[str, Any] = {}
    for name, value in fields.items():
        if name not in FIELDS:
            raise RequestError(f"unknown field {name!r}: the fields are {', '.join(FIELDS)}")
        if value is None:
            continue
        try:
            values[name] = parse_field(name, value)
        except ValueError as error:
            raise RequestError(str(error)) from None
    preset = values.get("id")
    if preset is not None:
        for name in ("size", "mask"):
            if values.get(name):
                raise RequestError(f"{spell(name)} does not go with {spell('id')}: the preset sets the picture; "
                                   f"drop it, or drop {spell('id')}")
        background = values.get("background")
        if background is not None and background.kind == BLUR:
            raise RequestError(NO_BLUR_FOR_ID.format(background=spell("background")))
        id_photo = IdPhotoRequest(preset, bool(values.get("force")), values.get("max_kb"), values.get("sheet"))
    else:
        given = [name for name in ID_ONLY if values.get(name)]
        if given:
            names = [spell(n) for n in ID_ONLY]
            raise RequestError(f"{', '.join(names[:-1])} and {names[-1]} apply to ID photos; "
                               f"add {spell('id')} PRESET ({spell('id')} list shows them)")
        id_photo = None
        background = values.get("background")
        if background is not None and background.kind == KEEP:
            raise RequestError(KEEP_NEEDS_ID.format(id=spell("id")))
    return Request(matte=values.get("matte", "refined"), background=values.get("background"),
                   size=values.get("size"), mask=bool(values.get("mask")), id_photo=id_photo)


def parse_positive_int(text: str) -> int:
    """A count people type (`4`): ASCII digits, at least 1."""
    if not (text.isascii() and text.isdigit()) or int(text) < 1:
        raise ValueError(f"bad number {text!r}: expected a whole number of at least 1, e.g. 4")
    return int(text)
