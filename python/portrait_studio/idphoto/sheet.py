"""Print sheets: as many copies of an ID photo as fit on a standard paper
size, at the photo's own resolution, with gaps and light cut guides."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from ..core.documents import SHEETS, find_sheet

GAP_INCH = 2 / 25.4  # room for the cut between copies
MARGIN_INCH = 3 / 25.4  # printers rarely reach the paper's edge
GUIDE_COLOUR = 200  # light grey, faint once printed


@dataclass(frozen=True)
class Layout:
    size: tuple[int, int]  # the sheet (width, height) in pixels
    columns: int
    rows: int
    gap: int
    origins: tuple[tuple[int, int], ...]  # each copy's top-left (x, y)

    @property
    def count(self) -> int:
        return self.columns * self.rows


def layout(sheet: str, photo_size: tuple[int, int], dpi: int) -> Layout:
    """The grid of copies of a (width, height) photo on `sheet` at `dpi`."""
    long, short = SHEETS[find_sheet(sheet)]
    gap = round(GAP_INCH * dpi)
    margin = round(MARGIN_INCH * dpi)
    width, height = photo_size
    best = None
    for sheet_w, sheet_h in ((long, short), (short, long)):
        size = (round(sheet_w * dpi), round(sheet_h * dpi))
        columns = max(0, (size[0] - 2 * margin + gap) // (width + gap))
        rows = max(0, (size[1] - 2 * margin + gap) // (height + gap))
        if best is None or columns * rows > best[1] * best[2]:
            best = (size, columns, rows)
    size, columns, rows = best
    if columns * rows == 0:
        raise ValueError(f"a {width}x{height} px photo does not fit on a {sheet} sheet at {dpi} dpi")
    grid_w = columns * width + (columns - 1) * gap
    grid_h = rows * height + (rows - 1) * gap
    left, top = (size[0] - grid_w) // 2, (size[1] - grid_h) // 2
    origins = tuple((left + c * (width + gap), top + r * (height + gap)) for r in range(rows) for c in range(columns))
    return Layout(size, columns, rows, gap, origins)


def compose(picture: np.ndarray, sheet: str, dpi: int) -> tuple[np.ndarray, Layout]:
    """The sheet picture (white paper, same channels as `picture`) and its layout.
    Each copy gets a one-pixel light grey frame just outside it to cut along."""
    rows, columns = picture.shape[:2]
    plan = layout(sheet, (columns, rows), dpi)
    channels = picture.shape[2] if picture.ndim == 3 else 1
    paper = np.full((plan.size[1], plan.size[0], channels), 255, np.uint8)
    guide = np.full(channels, GUIDE_COLOUR, np.uint8)
    if channels == 4:
        guide[3] = 255
    for x, y in plan.origins:
        paper[y - 1:y + rows + 1, x - 1:x + columns + 1] = guide
        paper[y:y + rows, x:x + columns] = picture.reshape(rows, columns, channels)
    return (paper if picture.ndim == 3 else paper[..., 0]), plan
