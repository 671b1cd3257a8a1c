"""The README's before and after of the backgrounds: the sample portrait as
it is, on its own background blurred, and on another picture.

    python tools/background_examples.py [OUTPUT_FOLDER]   (default docs/images)

The other picture is drawn here (a dusk sky over hills, with out-of-focus
lights), so no third party's photograph ships with the documentation.
Writes backgrounds.jpg: the three side by side, each 384 pixels high.
"""

from __future__ import annotations

import sys
from pathlib import Path

import cv2
import numpy as np

import portrait_studio

REPO = Path(__file__).resolve().parent.parent
SAMPLE = REPO / "samples" / "astronaut.png"


def dusk(width: int, height: int) -> np.ndarray:
    """A B, G, R picture: a sky from deep blue to orange, two hills, soft lights."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    t = (y / height)[..., None]
    sky = (1 - t) * np.float32([120, 60, 30]) + t * np.float32([90, 150, 250])
    picture = sky.copy()
    for base, depth, colour in ((0.72, 0.10, (60, 80, 50)), (0.82, 0.07, (40, 55, 35))):
        ridge = height * (base - depth * np.sin(x / width * 5.5 + base * 9))
        picture[y > ridge] = colour
    rng = np.random.default_rng(3)
    lights = np.zeros((height, width, 3), np.float32)
    for _ in range(40):
        cx, cy = rng.uniform(0, width), rng.uniform(0.15, 0.65) * height
        radius = rng.uniform(0.01, 0.035) * width
        colour = rng.choice([[150, 220, 255], [200, 240, 255], [120, 180, 255]])
        disc = ((x - cx) ** 2 + (y - cy) ** 2) < radius**2
        lights[disc] = np.maximum(lights[disc], np.float32(colour) * 0.45)
    picture = picture + cv2.GaussianBlur(lights, (0, 0), width / 400)
    return np.clip(picture, 0, 255).astype(np.uint8)


def main() -> None:
    folder = Path(sys.argv[1]) if len(sys.argv) > 1 else REPO / "docs" / "images"
    photo = cv2.imread(str(SAMPLE))
    rows, columns = photo.shape[:2]
    blurred = portrait_studio.cut_out(photo, background="blur")
    on_picture = portrait_studio.cut_out(photo, background=dusk(3 * columns // 2, rows))
    height = 384
    gap = np.full((height, 8, 3), 255, np.uint8)
    tiles = [cv2.resize(p, (columns * height // rows, height), interpolation=cv2.INTER_AREA)
             for p in (photo, blurred, on_picture)]
    row = np.hstack([tiles[0], gap, tiles[1], gap, tiles[2]])
    target = folder / "backgrounds.jpg"
    portrait_studio.core.imageio.write_image(target, row, [cv2.IMWRITE_JPEG_QUALITY, 90])
    print(f"wrote {target}")


if __name__ == "__main__":
    main()
