"""The upload form of `POST /v1/cutout`, read as it streams in.

The body is counted chunk by chunk against the byte limit and parsed into
memory, part by part: nothing is spooled to disk, and a too-large upload is
refused as soon as it passes the limit, not after it has all arrived.

The optional fields are the request's, from `core.fields.FIELDS` (all but
the operator's `max_pixels`), and the reply's own `overlay`.
"""

from __future__ import annotations

import dataclasses
from collections.abc import AsyncIterator
from dataclasses import dataclass

from python_multipart.exceptions import FormParserError
from python_multipart.multipart import MultipartParser, MultipartState, parse_options_header

from ...core.background import PICTURE, Background, parse_background
from ...core.fields import FIELDS, SERVICE, spelled_as
from ...core.request import Request, parse_flag, request_from_fields
from ...pipeline import MEDIA_TYPES, output_format
from .errors import BadField, ClientError, NotAPicture, TooLarge

IMAGE_FIELD = "image"
BACKGROUND_PICTURE_FIELD = "background_picture"  # a file: the picture to put the person on
FILE_FIELDS = (IMAGE_FIELD, BACKGROUND_PICTURE_FIELD)
MAX_TEXT_FIELD_BYTES = 1000
MAX_PARTS = 16

# The formats a reply comes in (the request's format field), with their media types.
FORMATS = {name: MEDIA_TYPES[name] for name in ("png", "jpg", "webp", "tif", "avif", "bmp")}
DEFAULT_FORMAT = "png"

# The request's own fields, as the form spells them; `overlay` is the reply's.
REQUEST_FIELDS = tuple(field.name for field in FIELDS if field.service)
REPLY_FIELDS = ("overlay",)


@dataclass(frozen=True)
class CutoutForm:
    image: bytes
    request: Request  # its format always set
    overlay: bool = False  # an ID photo: answer its guide lines instead of the photo
    background_picture: bytes | None = None  # the upload, also inside the request's background
    header: tuple[int, int] | None = None  # the photograph's (width, height), once its bytes are checked

    @property
    def format(self) -> str:
        return self.request.format

    @property
    def media_type(self) -> str:
        return MEDIA_TYPES[self.format]


def cutout_form(parts: dict[str, bytes], max_side: int, max_pixels: int | None = None) -> CutoutForm:
    """The parsed fields, checked against each other; BadField says what is wrong.
    `max_pixels` is the operator's limit, put into the request."""
    with spelled_as(SERVICE):
        return _cutout_form(parts, max_side, max_pixels)


def _cutout_form(parts, max_side, max_pixels) -> CutoutForm:
    if IMAGE_FIELD not in parts:
        raise BadField(f"no photograph: send it as the file field {IMAGE_FIELD!r}")
    unknown = sorted(set(parts) - set(REQUEST_FIELDS) - {*FILE_FIELDS, *REPLY_FIELDS})
    if unknown:
        raise BadField(f"unknown field {unknown[0]!r}: the fields are {IMAGE_FIELD}, "
                       f"{', '.join(REQUEST_FIELDS)}, {BACKGROUND_PICTURE_FIELD}, {', '.join(REPLY_FIELDS)}")
    texts = {}
    for name in (*REQUEST_FIELDS, *REPLY_FIELDS):
        if name in parts:
            try:
                texts[name] = parts[name].decode("utf-8")
            except UnicodeDecodeError:
                raise BadField(f"bad {name}: not UTF-8 text") from None
    # The page sends an empty size for the photograph's own.
    if not texts.get("size", "x").strip():
        del texts["size"]
    picture = parts.get(BACKGROUND_PICTURE_FIELD)
    fields: dict = dict(texts)
    fields["background"] = form_background(texts.get("background"), picture)
    fields["max_pixels"] = max_pixels
    try:
        overlay = parse_flag(fields.pop("overlay", ""))
        request = request_from_fields(fields)
        format = output_format(request, None, b"") if request.format else DEFAULT_FORMAT
        if format not in FORMATS:
            raise ValueError(f"bad format {format!r}: the service answers {', '.join(FORMATS)}")
        request = dataclasses.replace(request, format=format)
    except ValueError as error:
        raise BadField(str(error)) from None
    if overlay and request.id_photo is None:
        raise BadField("overlay applies to ID photos: add the field id (GET /v1/documents lists the documents)")
    if request.size and max(request.size) > max_side:
        raise BadField(f"bad size {request.size[0]}x{request.size[1]}: each side at most {max_side} pixels")
    return CutoutForm(image=parts[IMAGE_FIELD], request=request, overlay=overlay,
                      background_picture=bytes(picture) if picture is not None else None)


def form_background(text: str | None, picture: bytes | None) -> Background | None:
    """The background field, or the uploaded picture (with the field empty
    or `picture`). No text is ever taken as a path on the server."""
    spec = (text or "").strip().lower()
    if picture is not None:
        if spec not in ("", PICTURE):
            raise BadField(f"bad background {text!r} with a {BACKGROUND_PICTURE_FIELD} file: send one or the other "
                           f"(background=picture, or leave it out, goes with the file)")
        if not picture:
            raise BadField(f"the file field {BACKGROUND_PICTURE_FIELD!r} is empty: choose the picture again")
        return Background(kind=PICTURE, picture=bytes(picture), name=BACKGROUND_PICTURE_FIELD)
    if spec == PICTURE:
        raise BadField(f"background=picture needs the picture: send it as the file field {BACKGROUND_PICTURE_FIELD!r}")
    if text is None:
        return None
    try:
        return parse_background(text, pictures=False)
    except ValueError as error:
        raise BadField(f"{error}; a picture goes in the file field {BACKGROUND_PICTURE_FIELD!r}") from None


class _Parts:
    """python-multipart's callbacks, collecting each part's name and bytes."""

    def __init__(self):
        self.parts: dict[str, bytearray] = {}
        self._header_name = b""
        self._header_value = b""
        self._disposition = b""
        self._name: str | None = None
        self._is_file = False
        self._data = bytearray()

    def callbacks(self):
        return {
            "on_part_begin": self.part_begin,
            "on_header_field": self.header_field,
            "on_header_value": self.header_value,
            "on_header_end": self.header_end,
            "on_headers_finished": self.headers_finished,
            "on_part_data": self.part_data,
            "on_part_end": self.part_end,
        }

    def part_begin(self):
        self._disposition, self._name, self._is_file = b"", None, False
        self._data = bytearray()

    def header_field(self, data, start, end):
        self._header_name += data[start:end]

    def header_value(self, data, start, end):
        self._header_value += data[start:end]

    def header_end(self):
        if self._header_name.lower() == b"content-disposition":
            self._disposition = self._header_value
        self._header_name = self._header_value = b""

    def headers_finished(self):
        _, options = parse_options_header(self._disposition)
        if b"name" not in options:
            raise BadField("a form part without a name")
        # The client's filename, if any, is only a sign that this part is a
        # file; it never becomes a path or a name on the server.
        self._is_file = b"filename" in options
        self._name = options[b"name"].decode("utf-8", "replace")
        if self._name in self.parts:
            raise BadField(f"the field {self._name!r} is sent twice")
        if len(self.parts) >= MAX_PARTS:
            raise BadField("too many form fields")

    def part_data(self, data, start, end):
        self._data += data[start:end]
        if not self._is_file and self._name not in FILE_FIELDS and len(self._data) > MAX_TEXT_FIELD_BYTES:
            raise BadField(f"the field {self._name!r} is too long")

    def part_end(self):
        assert self._name is not None
        # Handed over, not copied: a photograph can be tens of megabytes.
        self.parts[self._name] = self._data
        self._data = bytearray()


def boundary_of(content_type: str | None) -> bytes:
    kind, options = parse_options_header(content_type or "")
    if kind != b"multipart/form-data" or not options.get(b"boundary"):
        raise NotAPicture(f"send a multipart/form-data form with the photograph in the file field {IMAGE_FIELD!r}")
    return options[b"boundary"]


async def read_parts(content_type: str | None, chunks: AsyncIterator[bytes], max_bytes: int) -> dict[str, bytes]:
    """The form's parts by name; TooLarge as soon as the body passes `max_bytes`."""
    boundary = boundary_of(content_type)
    collector = _Parts()
    try:
        parser = MultipartParser(boundary, collector.callbacks())
    except ValueError as error:
        raise ClientError(f"a malformed form: {error}") from None
    received = 0
    async for chunk in chunks:
        received += len(chunk)
        if received > max_bytes:
            raise TooLarge(f"the upload is over {max_bytes / 1e6:g} MB")
        try:
            parser.write(chunk)
        except FormParserError as error:
            raise ClientError(f"a malformed form: {error}") from None
    if parser.state != MultipartState.END:
        raise ClientError("the form ends before its closing boundary: a truncated upload?")
    return collector.parts
