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
PARTS = {"tuning": (TUNING_PEOPLE, TUNING_BACKGROUNDS), "held-out": (HELD_OUT_PEOPLE, HELD_OUT_BACKGROUNDS)}
RECIPE = "cover-crop, area/cubic resize, estimate_foreground_ml defaults, longest 1080, 3 variants, v2"


def part_of_portrait(person: str) -> str:
    return "tuning" if person in TUNING_PEOPLE else "held-out"


def part_of(name: str) -> str:
    """The part a composite or a real portrait belongs to, from its name alone."""
    person = name[:10]
    if person not in TUNING_PEOPLE + HELD_OUT_PEOPLE:
        raise ValueError(f"{name}: not one of the shared people")
    return part_of_portrait(person)


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


def background(name: str, rows: int, columns: int) -> np.ndarray:
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
    stamp = out / "RECIPE"
    key = hashlib.sha256((RECIPE + repr(names())).encode()).hexdigest()
    if stamp.exists() and stamp.read_text().strip() == key:
        return out
    from pymatting import estimate_foreground_ml

    (out / "photos").mkdir(parents=True, exist_ok=True)
    (out / "mattes").mkdir(parents=True, exist_ok=True)
    for people, backgrounds in PARTS.values():
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
    temporary = stamp.with_name(".RECIPE.tmp")
    temporary.write_text(key + "\n")
    os.replace(temporary, stamp)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT)
    print(build(parser.parse_args().out))


if __name__ == "__main__":
    main()
