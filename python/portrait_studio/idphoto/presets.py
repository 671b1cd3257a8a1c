"""ID-photo standards, as data: one table, each entry with its public source.

Sizes, head heights (chin to crown, hair included) and top margins (crown to
the picture's top edge) are in the preset's own unit: millimetres, inches or
pixels. Printed sizes become pixels at `dpi` (300 unless stated). The framing
aims at the middle of each range, so a few per cent of error in finding the
chin or the crown still lands inside it.
"""

from __future__ import annotations

from dataclasses import dataclass

UNITS_PER_INCH = {"mm": 25.4, "in": 1.0}


@dataclass(frozen=True)
class Preset:
    name: str
    title: str
    unit: str  # "mm", "in" or "px"
    width: float
    height: float
    head: tuple[float, float]  # chin to crown, in `unit`
    top: tuple[float, float]  # crown to the top edge, in `unit`
    background: str  # a colour parse_background understands
    source: str
    dpi: int = 300

    def pixels(self, length: float) -> float:
        if self.unit == "px":
            return length
        return length / UNITS_PER_INCH[self.unit] * self.dpi

    @property
    def size(self) -> tuple[int, int]:
        """(width, height) in pixels."""
        return round(self.pixels(self.width)), round(self.pixels(self.height))

    @property
    def head_fraction(self) -> tuple[float, float]:
        """The head's allowed height as fractions of the picture's height."""
        return self.head[0] / self.height, self.head[1] / self.height

    @property
    def top_fraction(self) -> tuple[float, float]:
        return self.top[0] / self.height, self.top[1] / self.height

    def describe(self) -> str:
        width, height = self.size
        unit = "" if self.unit == "px" else f" {self.unit}"
        printed = f"{self.width:g}x{self.height:g}{unit}, " if self.unit != "px" else ""
        return (f"{self.name:<10} {self.title}: {printed}{width}x{height} px at {self.dpi} dpi, "
                f"head {self.head[0]:g}-{self.head[1]:g}{unit or ' px'}, background {self.background}")


PRESETS: dict[str, Preset] = {p.name: p for p in (
    Preset(
        "passport", "passport and visa photo (ICAO), most countries", "mm", 35, 45,
        head=(32, 36), top=(2, 6), background="white",
        source="ICAO Doc 9303 Part 3 and ISO/IEC 19794-5 (face image: chin to crown 70-80 % "
               "of the height, i.e. 32-36 mm of 45 mm); the EU/Schengen and UK photo guides "
               "print the same 35 x 45 mm with a 32-36 mm head. The top margin is not fixed "
               "there; 2-6 mm keeps the crown clear of the edge and the chin well above the bottom.",
    ),
    Preset(
        "us", "US passport and visa photo, 2 x 2 in", "in", 2, 2,
        head=(1, 1.375), top=(0.1, 0.4), background="white",
        source="US Department of State, travel.state.gov 'Photo requirements': 2 x 2 inches, "
               "head 1 to 1 3/8 inches from chin to top of hair, eyes 1 1/8 to 1 3/8 inches "
               "above the bottom, plain white or off-white background. The top margin range "
               "follows from that eye height.",
    ),
    Preset(
        "25x35", "\"1-inch\" photo, 25 x 35 mm (ID cards, forms)", "mm", 25, 35,
        head=(24.5, 28), top=(1.5, 4.5), background="white",
        source="The common '1-inch' print size (25 x 35 mm) of Chinese and Japanese ID and "
               "application photos; no single official head rule, so the head follows "
               "ISO/IEC 19794-5's 70-80 % of the height.",
    ),
    Preset(
        "35x49", "\"2-inch\" photo, 35 x 49 mm", "mm", 35, 49,
        head=(34.3, 39.2), top=(2, 6), background="white",
        source="The common '2-inch' print size (35 x 49 mm); head 70-80 % of the height "
               "as ISO/IEC 19794-5.",
    ),
    Preset(
        "online", "online-form square, 600 x 600 px", "px", 600, 600,
        head=(300, 414), top=(30, 110), background="white",
        source="US Department of State digital photo rules (DV lottery and online passport "
               "renewal): 600 x 600 pixels, head 50-69 % of the image height, eyes 56-69 % "
               "of the height above the bottom; the top margin range follows from that.",
    ),
)}

ALIASES = {"2x2": "us", "us-2x2": "us", "35x45": "passport", "1inch": "25x35", "2inch": "35x49", "600x600": "online"}


def find_preset(name: str) -> Preset:
    """The preset called `name` (or one of its aliases); ValueError naming the choices."""
    key = name.strip().lower()
    key = ALIASES.get(key, key)
    if key not in PRESETS:
        raise ValueError(f"unknown ID preset {name!r}: choose one of {', '.join(PRESETS)} (--id list describes them)")
    return PRESETS[key]


def listing() -> str:
    return "\n".join(p.describe() for p in PRESETS.values())
