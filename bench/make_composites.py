"""Composite test photographs whose matte is the truth by construction.

    python bench/make_composites.py [--out DIR]   (default bench/.cache/composites)

Each of the reference portraits (bench/data/matting: photo and matte) gives
its foreground colours (pymatting's estimate_foreground_ml on the photo and
its matte) and is laid over every background below, scaled to cover the
photograph and centre-cropped:

    photo = matte * foreground + (1 - matte) * background

Writes DIR/photos/NAME.png and DIR/mattes/NAME.png (the portrait's matte
unchanged), lossless, so that the set is the same on every run; files that
are already there with the same recipe are kept. Backgrounds come from
scikit-image's data module (a bench dependency), all free to reuse:

    coffee     a coffee cup on a table; CC0 (photographer Rachel Michetti)
    chelsea    a cat; CC0 (photographer Stefan van der Walt)
    rocket     a Falcon 9 launch; public domain (SpaceX)
    astronaut  Eileen Collins, a second person; public domain (NASA)
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
BACKGROUNDS = ("coffee", "chelsea", "rocket", "astronaut")
RECIPE = "cover-crop, area/cubic resize, estimate_foreground_ml defaults, v1"


def background(name: str, rows: int, columns: int) -> np.ndarray:
    import skimage.data

    rgb = getattr(skimage.data, name)()
    scale = max(rows / rgb.shape[0], columns / rgb.shape[1])
    size = (max(columns, round(rgb.shape[1] * scale)), max(rows, round(rgb.shape[0] * scale)))
    grown = cv2.resize(rgb, size, interpolation=cv2.INTER_CUBIC if scale > 1 else cv2.INTER_AREA)
    top, left = (grown.shape[0] - rows) // 2, (grown.shape[1] - columns) // 2
    return np.ascontiguousarray(grown[top:top + rows, left:left + columns, ::-1])  # B, G, R


def write_atomic(path: Path, image: np.ndarray) -> None:
    temporary = path.with_name(f".{path.stem}.tmp{path.suffix}")
    if not cv2.imwrite(str(temporary), image):
        raise OSError(f"could not write {temporary}")
    os.replace(temporary, path)


def build(out: Path = DEFAULT_OUT) -> Path:
    """The folder (photos/, mattes/), made if not already made by this recipe."""
    stamp = out / "RECIPE"
    sources = sorted((SOURCE / "photos").glob("*.jpg"))
    key = hashlib.sha256((RECIPE + "".join(p.name for p in sources)).encode()).hexdigest()
    if stamp.exists() and stamp.read_text().strip() == key:
        return out
    from pymatting import estimate_foreground_ml

    (out / "photos").mkdir(parents=True, exist_ok=True)
    (out / "mattes").mkdir(parents=True, exist_ok=True)
    for photo_path in sources:
        photo = cv2.imread(str(photo_path))
        matte = cv2.imread(str(SOURCE / "mattes" / (photo_path.stem + ".png")), cv2.IMREAD_GRAYSCALE)
        alpha = matte.astype(np.float64) / 255.0
        foreground = estimate_foreground_ml(photo.astype(np.float64) / 255.0, alpha) * 255.0
        for name in BACKGROUNDS:
            back = background(name, *photo.shape[:2]).astype(np.float64)
            picture = alpha[..., None] * foreground + (1 - alpha[..., None]) * back
            target = f"{photo_path.stem}_{name}.png"
            write_atomic(out / "photos" / target, np.clip(np.rint(picture), 0, 255).astype(np.uint8))
            write_atomic(out / "mattes" / target, matte)
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
