"""What goes behind the person: white, a colour, nothing (transparency),
another picture, the photograph's own background blurred, or the
photograph's own background as it is.

Colours are given as `#RRGGBB`, `#RGB` or a common colour name, the way web
pages and ImageMagick's `-background` take them, and held in OpenCV's B, G, R
order, ready to paint with. A picture is given as a path to an image file
(or, from Python, as its encoded bytes); its bytes travel with the request,
so folder workers and Dask tasks need no access to the file.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, field

# Common colour names (CSS values) that people type for ID and profile photos.
COLOUR_NAMES: dict[str, str] = {
    "white": "#ffffff",
    "black": "#000000",
    "red": "#ff0000",
    "green": "#008000",
    "lime": "#00ff00",
    "blue": "#0000ff",
    "navy": "#000080",
    "yellow": "#ffff00",
    "orange": "#ffa500",
    "purple": "#800080",
    "pink": "#ffc0cb",
    "grey": "#808080",
    "gray": "#808080",
    "lightgrey": "#d3d3d3",
    "lightgray": "#d3d3d3",
    "silver": "#c0c0c0",
    "lightblue": "#add8e6",
    "skyblue": "#87ceeb",
    "cyan": "#00ffff",
    "magenta": "#ff00ff",
    "teal": "#008080",
    "maroon": "#800000",
    "beige": "#f5f5dc",
    "ivory": "#fffff0",
    "offwhite": "#f8f8f8",
}


HEX_DIGITS = frozenset("0123456789abcdef")


# What a background can be.
COLOUR, TRANSPARENT_KIND, PICTURE, BLUR, KEEP = "colour", "transparent", "picture", "blur", "keep"
KINDS = (COLOUR, TRANSPARENT_KIND, PICTURE, BLUR, KEEP)

DEFAULT_BLUR = 12.0  # the blur's strength (the Gaussian's sigma, in 1/1000ths of the picture's diagonal)
MAX_BLUR = 100.0


@dataclass(frozen=True)
class Background:
    """What the person is put on. `Background((b, g, r))` is a plain colour
    (OpenCV's channel order) and `Background(None)` transparency; the other
    kinds are named: `Background(kind="picture", picture=encoded_bytes)`,
    `Background(kind="blur", strength=12)`, `Background(kind="keep")`."""

    bgr: tuple[int, int, int] | None = None
    kind: str = ""  # one of KINDS; empty: a colour when bgr is given, else transparency
    picture: bytes | None = field(default=None, repr=False)  # the encoded picture, for "picture"
    name: str | None = None  # where the picture came from, for messages
    # The picture's file, where it came from one: an input no output may replace.
    path: str | os.PathLike | None = field(default=None, repr=False, compare=False)
    # The pixel limit its picture is decoded under: the request's (None: imageio's default).
    max_pixels: int | None = field(default=None, repr=False, compare=False)
    strength: float | None = None  # for "blur"

    def __post_init__(self):
        kind = self.kind or (COLOUR if self.bgr is not None else TRANSPARENT_KIND)
        object.__setattr__(self, "kind", kind)
        if kind not in KINDS:
            raise ValueError(f"bad background kind {kind!r}: expected one of {', '.join(KINDS)}")
        if (kind == COLOUR) != (self.bgr is not None):
            raise ValueError("a colour background takes bgr, and only a colour background does")
        if (kind == PICTURE) != (self.picture is not None):
            raise ValueError("a picture background takes the picture's encoded bytes, and only it does")
        if kind == BLUR:
            strength = DEFAULT_BLUR if self.strength is None else self.strength
            if not (0 < strength <= MAX_BLUR) or math.isnan(strength):
                raise ValueError(f"bad blur strength {strength!r}: expected a number above 0 and at most {MAX_BLUR:g}")
            object.__setattr__(self, "strength", float(strength))
        elif self.strength is not None:
            raise ValueError("only a blur background takes a strength")

    @property
    def transparent(self) -> bool:
        return self.kind == TRANSPARENT_KIND

    @property
    def is_white(self) -> bool:
        return self.bgr == (255, 255, 255)

    @property
    def is_colour(self) -> bool:
        """A plain colour: one value to paint every background pixel with."""
        return self.kind == COLOUR

    @property
    def uses_photo(self) -> bool:
        """Made from the photograph itself (blurred or kept)."""
        return self.kind in (BLUR, KEEP)

    def __str__(self) -> str:
        if self.kind == COLOUR:
            b, g, r = self.bgr
            return f"#{r:02x}{g:02x}{b:02x}"
        if self.kind == BLUR:
            return f"blur:{self.strength:g}"
        if self.kind == PICTURE:
            return self.name or "picture"
        return self.kind


# Only the picture's shape is checked while the command line is parsed.
UNLIMITED = 1 << 62

WHITE = Background((255, 255, 255))
TRANSPARENT = Background(None)


KEEP_BACKGROUND = Background(kind=KEEP)


def parse_blur(spec: str) -> Background:
    """`blur` or `blur:STRENGTH`."""
    _, _, given = spec.partition(":")
    if not given:
        return Background(kind=BLUR)
    try:
        strength = float(given)
    except ValueError:
        strength = float("nan")
    if not (0 < strength <= MAX_BLUR):
        raise ValueError(f"bad blur strength {given!r}: expected blur:STRENGTH with STRENGTH above 0 and at most "
                         f"{MAX_BLUR:g} (default {DEFAULT_BLUR:g})")
    return Background(kind=BLUR, strength=strength)


def looks_like_path(text: str) -> bool:
    """A background that names a file: a path with a folder or an extension."""
    return os.sep in text or "/" in text or os.path.splitext(text)[1] != "" or os.path.isfile(text)


def picture_background(path: str | os.PathLike) -> Background:
    """The picture at `path`, its bytes read now and checked to be a whole
    picture, so a bad file is refused before any work. Its pixels are
    checked against the run's limit once that is known
    (`backdrop.check_picture`): `--max-pixels` comes after the background."""
    from . import imageio

    data = imageio.read_bytes(path, header=False)  # its pixels are the run's limit's, checked later
    name = imageio.shown(path)
    try:
        if imageio.check_photo_bytes(data, f"the background picture {name}", max_pixels=UNLIMITED) is None:
            imageio.decode_photo(data, name=f"the background picture {name}")  # a format Pillow does not know
    except imageio.ImageError as error:
        raise ValueError(str(error)) from None
    return Background(kind=PICTURE, picture=data, name=name, path=path)


def parse_background(text: str, *, pictures: bool = True) -> Background:
    """`white`, `transparent`, `#RRGGBB`, `#RGB`, a colour name, `blur`,
    `blur:STRENGTH`, `keep` or the path of a picture; ValueError otherwise.
    With `pictures` false no text is taken as a path (a service must never
    read its own files for a client)."""
    from . import imageio

    spec = text.strip().lower().replace(" ", "")
    if spec in ("transparent", "none", "alpha"):
        return TRANSPARENT
    if spec == KEEP:
        return KEEP_BACKGROUND
    if spec == BLUR or spec.startswith(BLUR + ":"):
        return parse_blur(spec)
    if pictures and spec not in COLOUR_NAMES and not spec.startswith("#") and looks_like_path(text.strip()):
        try:
            return picture_background(text.strip())
        except imageio.ImageError as error:
            raise ValueError(f"bad background {text!r}: {error}") from None
    spec = COLOUR_NAMES.get(spec, spec)
    digits = spec[1:] if spec.startswith("#") else None
    if digits is not None and len(digits) == 3:
        digits = "".join(c * 2 for c in digits)
    # int(..., 16) would take "-1", "+f", "_" and any script's digits too.
    if digits is not None and len(digits) == 6 and all(c in HEX_DIGITS for c in digits):
        r, g, b = (int(digits[i : i + 2], 16) for i in (0, 2, 4))
        return Background((b, g, r))
    raise ValueError(
        f"bad background {text!r}: expected white, transparent, #RRGGBB, blur[:STRENGTH], keep, "
        f"{'the path of a picture, ' if pictures else ''}or a colour name such as {', '.join(sorted(n for n in COLOUR_NAMES if n not in ('gray', 'lightgray'))[:8])}"
    )
