"""What goes behind the person: white, a colour, or nothing (transparency).

Colours are given as `#RRGGBB`, `#RGB` or a common colour name, the way web
pages and ImageMagick's `-background` take them, and held in OpenCV's B, G, R
order, ready to paint with.
"""

from __future__ import annotations

from dataclasses import dataclass

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


@dataclass(frozen=True)
class Background:
    """A plain colour (`bgr`, OpenCV's channel order) or transparency (`bgr` None)."""

    bgr: tuple[int, int, int] | None

    @property
    def transparent(self) -> bool:
        return self.bgr is None

    @property
    def is_white(self) -> bool:
        return self.bgr == (255, 255, 255)

    def __str__(self) -> str:
        if self.bgr is None:
            return "transparent"
        b, g, r = self.bgr
        return f"#{r:02x}{g:02x}{b:02x}"


WHITE = Background((255, 255, 255))
TRANSPARENT = Background(None)


def parse_background(text: str) -> Background:
    """`white`, `transparent`, `#RRGGBB`, `#RGB` or a colour name; ValueError otherwise."""
    spec = text.strip().lower().replace(" ", "")
    if spec in ("transparent", "none", "alpha"):
        return TRANSPARENT
    spec = COLOUR_NAMES.get(spec, spec)
    digits = spec[1:] if spec.startswith("#") else None
    if digits is not None and len(digits) == 3:
        digits = "".join(c * 2 for c in digits)
    # int(..., 16) would take "-1", "+f", "_" and any script's digits too.
    if digits is not None and len(digits) == 6 and all(c in HEX_DIGITS for c in digits):
        r, g, b = (int(digits[i : i + 2], 16) for i in (0, 2, 4))
        return Background((b, g, r))
    raise ValueError(
        f"bad background {text!r}: expected white, transparent, #RRGGBB or a colour name "
        f"such as {', '.join(sorted(n for n in COLOUR_NAMES if n not in ('gray', 'lightgray'))[:8])}"
    )
