"""Composite test photographs whose matte is the truth by construction, split
into a tuning part and a held-out part.

    python bench/make_composites.py [--out DIR]   (default bench/.cache/composites)

Each of the reference portraits (bench/data/matting: photo and matte) gives
its foreground colours (pymatting's estimate_foreground_ml on the photo and
its matte) and is laid over backgrounds, scaled to cover the photograph and
centre-cropped:

    photo = matte * foreground + (1 - matte) * background

then shrunk to at most `LONGEST` pixels on its longer side (the machine is
slow; ratios between methods are what the benchmark compares), and made in
three variants per person and background: in colour as it is; in greyscale
(flipped left to right every other pair); and cropped so that the body runs
out of the frame (through the bottom or through a side, in turn; some of
those greyscale, some flipped). Writes DIR/photos/NAME.png and
DIR/mattes/NAME.png, lossless, so that the set is the same on every run;
files already there from the same recipe are kept.

**The split** is fixed here by name, by person and by background: a
composite is in the tuning part when both its person and its background
are, in the held-out part when both are held out, and is not made
otherwise. The rules' constants (core/fusion.py) are chosen on the tuning
part alone; the held-out part is only reported. The real portraits split by
person the same way (`part_of_portrait`).

Backgrounds: scikit-image's data module (a bench dependency), every one
public domain or CC0 by its own documentation, and two drawn here:

    astronaut   Eileen Collins, a second person; public domain (NASA)
    brick       a brick wall, greyscale; CC0 (CC0Textures)
    camera      a man with a camera, greyscale; CC0 (Lav Varshney)
    cell        a cell under a microscope, greyscale; CC0
    chelsea     a cat; CC0 (Stefan van der Walt)
    clock       a clock in motion, greyscale; public domain (Stefan van der Walt)
    coffee      a coffee cup on a table; CC0 (Rachel Michetti)
    coins       coins, greyscale; no known copyright restrictions
    grass       grass, greyscale; CC0 (CC0Textures)
    gravel      gravel, greyscale; CC0 (CC0Textures)
    horse       a horse's silhouette, binary; CC0 (Andreas Preuss)
    hubble_deep_field   a sky of galaxies; public domain (NASA)
    immunohistochemistry  stained tissue; no known copyright restrictions
    microaneurysms  a retina's vessels, greyscale; CC0 (Andreas Maier)
    retina      a human retina; CC0
    rocket      a Falcon 9 launch; public domain (SpaceX)
    text        printed text, greyscale; public domain
    flat        a plain mid-grey wall with faint noise (drawn here)
    gradient    a soft dark-to-light vignette (drawn here)

**The fresh part**: the held-out people over seven everyday scenes drawn
here (`scene`), added after the tuning and held-out parts had been run and
never looked at while anything was chosen: a room with a window and a door,
window blinds, a bookcase, foliage out of focus, city lights at night, a tiled
wall, a sky over a field. Drawn by this script from fixed seeds, so they are
the project's own.
"""

from __future__ import annotations

import argparse
import hashlib
import os
from pathlib import Path

import cv2
import numpy as np

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "data" / "matting"
DEFAULT_OUT = HERE / ".cache" / "composites"
LONGEST = 1080

TUNING_PEOPLE = ("p_015cd10e", "p_22fc0130", "p_819ea202")
HELD_OUT_PEOPLE = ("p_0865636e", "p_bd6af989")
TUNING_BACKGROUNDS = ("astronaut", "brick", "chelsea", "coffee", "coins", "grass", "horse", "hubble_deep_field",
                      "microaneurysms", "retina", "text", "flat")
HELD_OUT_BACKGROUNDS = ("camera", "cell", "clock", "gravel", "immunohistochemistry", "rocket", "gradient")
FRESH_BACKGROUNDS = ("room", "blinds", "bookcase", "foliage", "city_lights", "tiles", "sky")
PARTS = {"tuning": (TUNING_PEOPLE, TUNING_BACKGROUNDS), "held-out": (HELD_OUT_PEOPLE, HELD_OUT_BACKGROUNDS),
         "fresh": (HELD_OUT_PEOPLE, FRESH_BACKGROUNDS)}
RECIPE = "cover-crop, area/cubic resize, estimate_foreground_ml defaults, longest 1080, 3 variants, v2"


def part_of_portrait(person: str) -> str:
    return "tuning" if person in TUNING_PEOPLE else "held-out"


def part_of(name: str) -> str:
    """The part a composite or a real portrait belongs to, from its name alone."""
    person, rest = name[:10], name[11:]
    if person not in TUNING_PEOPLE + HELD_OUT_PEOPLE:
        raise ValueError(f"{name}: not one of the shared people")
    if not rest:
        return part_of_portrait(person)
    for part, (people, backgrounds) in PARTS.items():
        if person in people and any(rest.startswith(back + "_") for back in backgrounds):
            return part
    raise ValueError(f"{name}: not a composite of any part")


def variants(index: int) -> list[tuple[str, bool, bool, str | None]]:
    """(suffix, greyscale, flipped, crop) for the index-th pair of a part:
    every pair in colour, in greyscale, and cropped, the flips and the crops'
    sides taken in turn."""
    crop = ("bottom", "side")[index % 2]
    crop_grey, crop_flip = index % 3 == 0, index % 4 in (1, 2)
    return [("colour", False, False, None),
            ("grey" + ("-flip" if index % 2 else ""), True, bool(index % 2), None),
            (f"crop-{crop}" + ("-grey" if crop_grey else "") + ("-flip" if crop_flip else ""), crop_grey, crop_flip, crop)]


def names() -> dict[str, list[str]]:
    """Every composite's name, by part, in a fixed order."""
    out = {}
    for part, (people, backgrounds) in PARTS.items():
        out[part] = [f"{person}_{back}_{suffix}"
                     for index, (person, back) in enumerate((p, b) for p in people for b in backgrounds)
                     for suffix, *_ in variants(index)]
    return out


def drawn(name: str, rows: int, columns: int) -> np.ndarray:
    yy, xx = np.mgrid[:rows, :columns].astype(np.float64)
    if name == "flat":
        grain = np.random.default_rng(7).normal(0, 2.0, (rows, columns))
        return np.clip(128 + grain, 0, 255).astype(np.uint8)
    distance = np.hypot((yy - rows / 2) / rows, (xx - columns / 2) / columns)
    return np.clip(200 - 260 * distance, 0, 255).astype(np.uint8)


def _soft_noise(rng, rows: int, columns: int, scale: float) -> np.ndarray:
    """Smooth noise in [0, 1] with features about `scale` pixels across."""
    small = rng.random((max(2, round(rows / scale)), max(2, round(columns / scale))))
    grown = cv2.resize(small, (columns, rows), interpolation=cv2.INTER_CUBIC)
    return np.clip(cv2.GaussianBlur(grown, (0, 0), scale / 4), 0, 1)


def scene(name: str, rows: int, columns: int) -> np.ndarray:
    """An everyday scene drawn from a fixed seed: B, G, R uint8."""
    rng = np.random.default_rng(sum(map(ord, name)))
    yy, xx = np.mgrid[:rows, :columns].astype(np.float64)
    out = np.zeros((rows, columns, 3), np.float64)
    unit = max(rows, columns)
    if name == "room":
        out[:] = (170, 196, 214)  # a warm wall
        floor = int(0.68 * rows)
        planks = 0.85 + 0.15 * np.sin(yy[floor:] / (0.012 * unit)) * _soft_noise(rng, rows - floor, columns, unit / 8)
        out[floor:] = np.array((60, 95, 140)) * planks[..., None]
        x0, x1, y0, y1 = int(0.06 * columns), int(0.38 * columns), int(0.12 * rows), int(0.5 * rows)
        out[y0:y1, x0:x1] = (250, 236, 214)  # daylight through a window
        cv2.rectangle(out, (x0, y0), (x1, y1), (235, 235, 235), max(2, unit // 90))
        cv2.line(out, ((x0 + x1) // 2, y0), ((x0 + x1) // 2, y1), (235, 235, 235), max(2, unit // 120))
        cv2.line(out, (x0, (y0 + y1) // 2), (x1, (y0 + y1) // 2), (235, 235, 235), max(2, unit // 120))
        cv2.rectangle(out, (int(0.7 * columns), int(0.18 * rows)), (int(0.92 * columns), floor), (80, 110, 150), -1)
        out *= (1.05 - 0.25 * np.hypot((yy - rows / 2) / rows, (xx - columns / 2) / columns))[..., None]
    elif name == "blinds":
        slat = 0.5 + 0.5 * np.sin(2 * np.pi * yy / (0.035 * unit)) ** 2
        light = 0.6 + 0.4 * (xx / columns)
        out[:] = np.array((190, 215, 235)) * (slat * light)[..., None]
    elif name == "bookcase":
        out[:] = (30, 50, 80)  # dark wood
        shelves = 5
        for shelf in range(shelves):
            top, bottom = int(rows * (shelf + 0.08) / shelves), int(rows * (shelf + 0.92) / shelves)
            x = int(0.02 * columns)
            while x < columns:
                width = int(rng.uniform(0.018, 0.05) * columns) + 1
                height = int(rng.uniform(0.6, 1.0) * (bottom - top))
                colour = rng.uniform(30, 230, 3)
                cv2.rectangle(out, (x, bottom - height), (x + width - 2, bottom), colour.tolist(), -1)
                x += width
    elif name == "foliage":
        out[:] = (40, 90, 50)
        for _ in range(140):
            centre = (int(rng.uniform(0, columns)), int(rng.uniform(0, rows)))
            radius = int(rng.uniform(0.02, 0.09) * unit)
            green = (rng.uniform(20, 90), rng.uniform(90, 210), rng.uniform(40, 150))
            cv2.circle(out, centre, radius, green, -1)
        out = cv2.GaussianBlur(out, (0, 0), 0.012 * unit)
    elif name == "city_lights":
        out[:] = (60, 30, 20)
        for _ in range(90):
            centre = (int(rng.uniform(0, columns)), int(rng.uniform(0, rows)))
            radius = int(rng.uniform(0.01, 0.05) * unit)
            warm = rng.random() < 0.6
            colour = (rng.uniform(40, 120), rng.uniform(140, 220), 255) if warm else (255, rng.uniform(180, 240), rng.uniform(120, 200))
            cv2.circle(out, centre, radius, colour, -1)
        out = cv2.GaussianBlur(out, (0, 0), 0.008 * unit)
    elif name == "tiles":
        size = max(8, int(0.08 * unit))
        tint = rng.uniform(-12, 12, (rows // size + 1, columns // size + 1))
        out[:] = np.array((222, 216, 205))
        out += tint[(yy // size).astype(int), (xx // size).astype(int)][..., None]
        grout = (yy % size < max(2, size // 16)) | (xx % size < max(2, size // 16))
        out[grout] = (150, 150, 150)
    elif name == "sky":
        horizon = int(0.72 * rows)
        blue = np.array((235, 170, 90)) + np.array((20, 50, 110)) * (yy / rows)[..., None]
        clouds = np.clip((_soft_noise(rng, rows, columns, unit / 6) - 0.45) * 3, 0, 1)
        out[:] = blue * (1 - clouds[..., None]) + 245 * clouds[..., None]
        out[horizon:] = np.array((50, 150, 90)) * (0.8 + 0.4 * _soft_noise(rng, rows - horizon, columns, unit / 30))[..., None]
    else:
        raise ValueError(f"no scene {name!r}")
    grain = rng.normal(0, 2.0, out.shape)
    return np.clip(out + grain, 0, 255).astype(np.uint8)


def background(name: str, rows: int, columns: int) -> np.ndarray:
    if name in FRESH_BACKGROUNDS:
        return scene(name, rows, columns)
    if name in ("flat", "gradient"):
        grey = drawn(name, rows, columns)
        return np.repeat(grey[:, :, None], 3, axis=2)
    import skimage.data

    picture = getattr(skimage.data, name)()
    if picture.dtype == bool:
        picture = picture.astype(np.uint8) * 255
    if picture.ndim == 2:
        picture = np.repeat(picture[:, :, None], 3, axis=2)
    rgb = np.ascontiguousarray(picture[:, :, :3])
    scale = max(rows / rgb.shape[0], columns / rgb.shape[1])
    size = (max(columns, round(rgb.shape[1] * scale)), max(rows, round(rgb.shape[0] * scale)))
    grown = cv2.resize(rgb, size, interpolation=cv2.INTER_CUBIC if scale > 1 else cv2.INTER_AREA)
    top, left = (grown.shape[0] - rows) // 2, (grown.shape[1] - columns) // 2
    return np.ascontiguousarray(grown[top:top + rows, left:left + columns, ::-1])  # B, G, R


def cropped(picture: np.ndarray, matte: np.ndarray, side: str) -> tuple[np.ndarray, np.ndarray]:
    """The body cut by the frame: the bottom 35 % of the person's height gone,
    or the frame's right edge through the person, a quarter of their width in."""
    rows, columns = np.nonzero(matte > 127)
    if side == "bottom":
        bottom = int(rows.min() + 0.65 * (rows.max() - rows.min()))
        return picture[:bottom], matte[:bottom]
    right = int(columns.max() - 0.25 * (columns.max() - columns.min()))
    return picture[:, :right], matte[:, :right]


def write_atomic(path: Path, image: np.ndarray) -> None:
    temporary = path.with_name(f".{path.stem}.tmp{path.suffix}")
    if not cv2.imwrite(str(temporary), image):
        raise OSError(f"could not write {temporary}")
    os.replace(temporary, path)


def build(out: Path = DEFAULT_OUT) -> Path:
    """The folder (photos/, mattes/), made if not already made by this recipe."""
    for part in PARTS:
        _build_part(out, part)
    return out


def _build_part(out: Path, part: str) -> None:
    """One part's composites, made unless this recipe already made them (a
    part added later costs only its own)."""
    stamp = out / f"RECIPE-{part}"
    key = hashlib.sha256((RECIPE + repr(names()[part])).encode()).hexdigest()
    if stamp.exists() and stamp.read_text().strip() == key:
        return
    from pymatting import estimate_foreground_ml

    (out / "photos").mkdir(parents=True, exist_ok=True)
    (out / "mattes").mkdir(parents=True, exist_ok=True)
    people, backgrounds = PARTS[part]
    index = 0
    for person in people:
        photo = cv2.imread(str(SOURCE / "photos" / f"{person}.jpg"))
        matte = cv2.imread(str(SOURCE / "mattes" / f"{person}.png"), cv2.IMREAD_GRAYSCALE)
        scale = min(1.0, LONGEST / max(photo.shape[:2]))
        if scale < 1:
            size = (round(photo.shape[1] * scale), round(photo.shape[0] * scale))
            photo = cv2.resize(photo, size, interpolation=cv2.INTER_AREA)
            matte = cv2.resize(matte, size, interpolation=cv2.INTER_AREA)
        alpha = matte.astype(np.float64) / 255.0
        foreground = estimate_foreground_ml(photo.astype(np.float64) / 255.0, alpha) * 255.0
        for back_name in backgrounds:
            back = background(back_name, *photo.shape[:2]).astype(np.float64)
            picture = np.clip(np.rint(alpha[..., None] * foreground + (1 - alpha[..., None]) * back), 0, 255)
            picture = picture.astype(np.uint8)
            for suffix, grey, flip, crop in variants(index):
                image, truth = picture, matte
                if crop:
                    image, truth = cropped(image, truth, crop)
                if grey:
                    image = cv2.cvtColor(cv2.cvtColor(image, cv2.COLOR_BGR2GRAY), cv2.COLOR_GRAY2BGR)
                if flip:
                    image, truth = image[:, ::-1], truth[:, ::-1]
                target = f"{person}_{back_name}_{suffix}.png"
                write_atomic(out / "photos" / target, np.ascontiguousarray(image))
                write_atomic(out / "mattes" / target, np.ascontiguousarray(truth))
            index += 1
    temporary = stamp.with_name(f".{stamp.name}.tmp")
    temporary.write_text(key + "\n")
    os.replace(temporary, stamp)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT)
    print(build(parser.parse_args().out))


if __name__ == "__main__":
    main()
