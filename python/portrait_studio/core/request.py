"""What to make of a photograph: one request type, built from the fields of `fields.FIELDS`.

Every front end takes every field of that table (the command line as
options, the service as form fields, `cut_out` as keywords); they are parsed
and checked against each other here, once. A message names a field as the
calling front end's user types it (`fields.spell`).
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

from . import imageio
from .background import BLUR, KEEP, PICTURE, WHITE, Background, parse_background
from .fields import FIELD_BY_NAME, FIELDS, ID_ONLY, spell
from .parsers import (  # noqa: F401  (the parsers' old home)
    MATTE_KINDS,
    parse_flag,
    parse_format,
    parse_matte,
    parse_max_kb,
    parse_optional_size,
    parse_positive_int,
    parse_preset,
    parse_quality,
    parse_sheet,
)

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
    format: str | None = None  # the picture's format ("png"); None: the output's name, else the photograph's
    quality: int | None = None  # JPEG, WebP or AVIF quality; None: the format's default

    def __post_init__(self):
        check_rules(self.fields())

    def fields(self) -> dict[str, Any]:
        """The request as the table's fields (name -> parsed value; absent: the default)."""
        values = {"matte": self.matte, "background": self.background, "size": self.size, "mask": self.mask,
                  "max_pixels": self.max_pixels, "format": self.format, "quality": self.quality}
        if self.id_photo is not None:
            values.update(id=self.id_photo.preset, force=self.id_photo.force, max_kb=self.id_photo.max_kb,
                          sheet=self.id_photo.sheet)
        return {name: value for name, value in values.items() if value is not None}

    @property
    def model_input_size(self) -> tuple[int, int]:
        return self.size or DEFAULT_INPUT_SIZE

    @property
    def picture_background(self) -> Background:
        """The background the picture is made on."""
        if self.background is not None:
            if self.background.kind == PICTURE and self.background.max_pixels != self.max_pixels:
                return dataclasses.replace(self.background, max_pixels=self.max_pixels)  # decoded under our limit
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

    def check_format(self, extension: str, spell: Callable[[str], str] | None = None) -> None:
        """Refuses, before any work, an output format that cannot hold the picture."""
        spell = spell or globals()["spell"]
        if self.has_alpha and not imageio.keeps_alpha(extension):
            name = extension.lower().lstrip(".").upper() or "this format"
            raise RequestError(f"{name} cannot hold transparency: write {imageio.ALPHA_HINT}, "
                               f"or choose another {spell('background')}")


# -- the fields, parsed and checked against each other ---------------------------------

# Left as photographed, a background is only framed with the face: a cut-out
# would show it unchanged, so keeping it is for ID photos alone.
KEEP_NEEDS_ID = "the background keep applies to ID photos: add {id} DOCUMENT, or choose another background"
# Offices ask for a plain, even background; a blurred room is neither.
NO_BLUR_FOR_ID = ("a blurred background does not go with an ID photo: offices ask for a plain one; "
                  "choose a colour, or keep for the photographed background, with {background}")


def check_rules(values: Mapping[str, Any]) -> None:
    """The rules between fields, the one place they are written: `values`
    are parsed fields, an absent or None one taking its default."""
    given = {name: value for name, value in values.items() if value is not None and value is not False}
    max_pixels = given.get("max_pixels")
    if max_pixels is not None and (int(max_pixels) != max_pixels or max_pixels < 1):
        raise RequestError(f"bad {spell('max_pixels')} {max_pixels!r}: expected a positive whole number")
    quality = given.get("quality")
    if quality is not None and (int(quality) != quality or not 1 <= quality <= 100):
        raise RequestError(f"bad {spell('quality')} {quality!r}: expected a whole number from 1 to 100")
    if given.get("matte", "refined") not in MATTE_KINDS:
        raise RequestError(f"bad {spell('matte')} {given['matte']!r}: expected one of {', '.join(MATTE_KINDS)}")
    size = given.get("size")
    if size is not None:
        width, height = size
        if int(width) != width or int(height) != height or width <= 0 or height <= 0:
            raise RequestError(f"bad {spell('size')} {size!r}: expected positive whole numbers")
    background = given.get("background")
    if "id" in given:
        for name in ("size", "mask"):
            if name in given:
                raise RequestError(f"{spell(name)} does not go with {spell('id')}: the document sets the picture; "
                                   f"drop it, or drop {spell('id')}")
        if background is not None and background.kind == BLUR:
            raise RequestError(NO_BLUR_FOR_ID.format(background=spell("background")))
    else:
        if any(name in given for name in ID_ONLY):
            names = [spell(name) for name in ID_ONLY]
            raise RequestError(f"{', '.join(names[:-1])} and {names[-1]} apply to ID photos; "
                               f"add {spell('id')} PRESET ({spell('id')} list shows them)")
        if background is not None and background.kind == KEEP:
            raise RequestError(KEEP_NEEDS_ID.format(id=spell("id")))


def parse_field(name: str, value: Any) -> Any:
    """One field's value: text is parsed, and a number for a numeric field
    parsed as its text (one parser, one message); anything else taken as
    already parsed."""
    field = FIELD_BY_NAME[name]
    if field.kind in (int, float) and isinstance(value, (int, float)) and not isinstance(value, bool):
        value = str(value)
    return field.parse(value) if isinstance(value, str) else value


def request_from_fields(fields: Mapping[str, Any], spell: Callable[[str], str] | None = None) -> Request:
    """The request the fields ask for, each field parsed and the fields
    checked against each other. Fields are named as the calling front end
    spells them (`fields.spelled_as`); `spell`, where given, is used instead."""
    if spell is not None:
        from .fields import Spelling, spelled_as

        with spelled_as(Spelling("caller", lambda f: spell(f.name), lambda f: spell(f.name))):
            return request_from_fields(fields)
    values: dict[str, Any] = {}
    for name, value in fields.items():
        if name not in FIELD_BY_NAME:
            raise RequestError(f"unknown field {name!r}: the fields are {', '.join(f.name for f in FIELDS)}")
        if value is None:
            continue
        try:
            values[name] = parse_field(name, value)
        except ValueError as error:
            raise RequestError(str(error)) from None
    check_rules(values)
    preset = values.get("id")
    id_photo = None
    if preset is not None:
        id_photo = IdPhotoRequest(preset, bool(values.get("force")), values.get("max_kb"), values.get("sheet"))
    return Request(matte=values.get("matte", "refined"), background=values.get("background"),
                   size=values.get("size"), mask=bool(values.get("mask")), id_photo=id_photo,
                   max_pixels=values.get("max_pixels"), format=values.get("format"), quality=values.get("quality"))
