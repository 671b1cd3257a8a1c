"""Every request field, declared once, and how each front end spells it.

The command line's options, the service's form fields and OpenAPI schema,
and `cut_out`'s keywords are all built from `FIELDS`. A message that names a
field (`--force makes it anyway`) asks `spell(name)` while it is written, so
each front end's user reads the name they type: `--force` on the command
line, `force=true` in a form, `force=True` from Python. The spelling in force
is the calling front end's, set around its call with `spelled_as`.
"""

from __future__ import annotations

import contextlib
import contextvars
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from . import parsers
from .background import parse_background


@dataclass(frozen=True)
class Field:
    name: str
    parse: Callable[[str], Any]  # text -> value, or ValueError saying what to send instead
    help: str
    kind: type = str  # what a caller from Python passes: str, bool, int, float
    id_only: bool = False  # only an ID photo takes it
    metavar: str | None = None  # the command line's placeholder
    choices: tuple[str, ...] | None = None
    default: str | None = None  # as text, for the schema; None: the field's absence means its default
    service: bool = True  # a client of the service may send it (max_pixels is the operator's)


# -- spelling ----------------------------------------------------------------------


@dataclass(frozen=True)
class Spelling:
    """How one front end names a request field to its user."""

    front_end: str
    option: Callable[[Field], str]  # a field with a value
    flag: Callable[[Field], str]  # a true/false field, said as switched on

    def __call__(self, name: str) -> str:
        field = FIELD_BY_NAME.get(name)
        if field is None:  # the front end's own options (overlay, checks): spelled as a field with a value
            return self.option(Field(name, str, ""))
        return self.flag(field) if field.kind is bool else self.option(field)


COMMAND_LINE = Spelling("command line", lambda f: "--" + f.name.replace("_", "-"),
                        lambda f: "--" + f.name.replace("_", "-"))
SERVICE = Spelling("service", lambda f: f.name if f.service else f"the service's {f.name} setting",
                   lambda f: f"{f.name}=true")
PYTHON = Spelling("Python", lambda f: f"{f.name}=", lambda f: f"{f.name}=True")
SPELLINGS = (COMMAND_LINE, SERVICE, PYTHON)

_spelling: contextvars.ContextVar[Spelling] = contextvars.ContextVar("spelling", default=COMMAND_LINE)


def spell(name: str) -> str:
    """The field `name` as the calling front end's user types it."""
    return _spelling.get()(name)


@contextlib.contextmanager
def spelled_as(spelling: Spelling):
    token = _spelling.set(spelling)
    try:
        yield
    finally:
        _spelling.reset(token)


def unspelled(message: str, spelling: Spelling) -> str:
    """The message with each field named as `{name}`: the same words, whichever
    front end said them (what the parity test compares)."""
    names = sorted(FIELDS, key=lambda f: -len(spelling(f.name)))  # --max-kb before --max, say
    for field in names:
        message = message.replace(spelling(field.name), "{" + field.name + "}")
    return message


# -- the table -------------------------------------------------------------------


FIELDS: tuple[Field, ...] = (
    Field("background", parse_background,
          "white (default; with {id} the document's colour), transparent (PNG, WebP, TIFF, AVIF), #RRGGBB, "
          "a colour name such as blue, a PICTURE (scaled to cover the portrait, centred), or "
          "blur[:STRENGTH]: the photograph's own background blurred like a wide-open lens (STRENGTH: the "
          "blur's width in thousandths of the diagonal, default 12); with {id} also keep: the photographed "
          "background as it is (framed and levelled only, its evenness checked), for offices that refuse "
          "edited photos", metavar="BACKGROUND", default="white"),
    Field("size", parsers.parse_optional_size,
          "letterbox the portrait to exactly W x H pixels (and run the model at that size); "
          "original: the photograph's own", metavar="WxH"),
    Field("matte", parsers.parse_matte,
          "refined (default): two networks' mattes fused, clean edges and hair; fast: the same refinement "
          "on the person segmenter alone, for throughput; model: the segmenter's matte as the engine uses it",
          choices=parsers.MATTE_KINDS, default="refined"),
    Field("mask", parsers.parse_flag,
          "the matte itself, one channel, 255 = person (the alpha of a transparent background)",
          kind=bool, default="false"),
    Field("format", parsers.parse_format,
          "the picture's format: png, jpg, webp, tif, bmp or avif (default: the output file's extension, "
          "else the photograph's own format where it can be written, else png)", metavar="FORMAT"),
    Field("quality", parsers.parse_quality,
          "JPEG, WebP or AVIF quality, 1 to 100 (default: JPEG 95, WebP lossless, AVIF 95)",
          kind=int, metavar="N"),
    Field("max_pixels", parsers.parse_max_pixels,
          "refuse photographs of more than N pixels, from their headers, before decoding "
          "(default: 40000000; each megapixel costs about 60 MB while it is cut out)",
          kind=int, metavar="N", service=False),
    Field("id", parsers.parse_preset,
          "frame an ID photo around the face to a document (an official one such as uk-passport, "
          "or passport, us, 25x35, 35x49, online)", metavar="DOCUMENT"),
    Field("force", parsers.parse_flag,
          "with {id}: make the best effort even when the photograph does not meet the document, saying what is off",
          kind=bool, id_only=True, default="false"),
    Field("max_kb", parsers.parse_max_kb,
          "with {id}: keep the file under N kilobytes (JPEG: the highest quality that fits)",
          kind=float, id_only=True, metavar="N"),
    Field("sheet", parsers.parse_sheet,
          "with {id}: a print sheet of as many copies as fit: 6x4in, 5x7in, A6, A4 or letter",
          id_only=True, metavar="PAPER"),
)


FIELD_BY_NAME: dict[str, Field] = {field.name: field for field in FIELDS}
ID_ONLY = tuple(field.name for field in FIELDS if field.id_only)


def described(field: Field, spelling: Spelling) -> str:
    """The field's help text with the fields it names spelled for `spelling`'s users."""
    return field.help.format(**{name: spelling(name) for name in FIELD_BY_NAME})
