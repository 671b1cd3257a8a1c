"""What each background costs once the matte is made: composing the person
over a colour, a picture (its first use, which decodes it, and the next,
from the cache) and the photograph's own background blurred, beside a plain
full-size blur of the photograph (the halo-prone way) for scale.

    python bench/bench_backgrounds.py [--repeats N] [--portraits DIR]

Photographs of 2 and 12 MP made from samples/astronaut.png, an elliptical
soft-edged matte; the picture is a 3000 x 2000 JPEG. Median of N runs
(default 5), on this machine's cores.

With --portraits DIR (DIR/photos/NAME.jpg, DIR/mattes/NAME.png: portraits
with reference mattes), the halo on real edges: each person is put, by the
reference matte, on a known blue-green checked texture; the product's own
refined matte of that composite (its errors and all) drives the blur, and
the halo is the mean B, G, R distance, within 2 sigma outside the person,
from the texture blurred on its own: this blur against a plain blur of the
composite.
"""

from __future__ import annotations

import argparse
import statistics
import time
from pathlib import Path

import cv2
import numpy as np

from portrait_studio.core import backdrop, compose
from portrait_studio.core.background import WHITE, Background

SAMPLE = Path(__file__).resolve().parent.parent / "samples" / "astronaut.png"


def portrait(width: int, height: int) -> tuple[np.ndarray, np.ndarray]:
    photo = cv2.resize(cv2.imread(str(SAMPLE)), (width, height), interpolation=cv2.INTER_CUBIC)
    y, x = np.mgrid[0:height, 0:width]
    inside = ((x - width / 2) / (width / 4)) ** 2 + ((y - height * 0.6) / (height / 2.5)) ** 2 < 1
    alpha = cv2.GaussianBlur(inside.astype(np.float32), (0, 0), max(1.0, width / 1000))
    return photo, alpha


def median_ms(run, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        run()
        times.append(time.perf_counter() - started)
    return 1000 * statistics.median(times)


def halo(blurred: np.ndarray, truth: np.ndarray, band: np.ndarray) -> float:
    return float(np.linalg.norm(blurred.astype(np.float64) - truth, axis=2)[band].mean())


def halo_on_real_edges(folder: Path) -> None:
    from portrait_studio import Cutout

    rng = np.random.default_rng(1)
    cutout = Cutout()
    print("\n| portrait | strength | sigma px | halo, this blur | halo, plain blur |")
    print("|---|---:|---:|---:|---:|")
    for path in sorted((folder / "photos").glob("*.jpg")):
        photo = cv2.imread(str(path))
        reference = cv2.imread(str(folder / "mattes" / f"{path.stem}.png"), cv2.IMREAD_GRAYSCALE) / np.float32(255)
        rows, columns = reference.shape
        y, x = np.mgrid[0:rows, 0:columns]
        checks = ((x // 24 + y // 24) % 2).astype(np.float32)
        texture = np.stack([160 + 60 * checks, 190 - 70 * checks, np.full_like(checks, 40)], axis=-1)
        texture = np.clip(texture + rng.normal(0, 10, texture.shape), 0, 255)
        a = reference[..., None]
        composite = np.rint(a * photo + (1 - a) * texture).astype(np.uint8)
        alpha = cutout.matte(composite)
        outside = cv2.distanceTransform((reference < 0.01).astype(np.uint8), cv2.DIST_L2, 5)
        for strength in (12, 30):
            sigma = backdrop.blur_sigma(strength, rows, columns)
            truth = cv2.GaussianBlur(texture, (0, 0), sigma)
            band = (outside > 0) & (outside <= 2 * sigma)
            ours = halo(backdrop.blurred_background(composite, alpha, strength), truth, band)
            plain = halo(cv2.GaussianBlur(composite, (0, 0), sigma), truth, band)
            print(f"| {path.stem} | {strength} | {sigma:.1f} | {ours:.1f} | {plain:.1f} |")


def cases(photo: np.ndarray, alpha: np.ndarray, picture_bytes: bytes) -> dict:
    """What is timed, by name."""

    def over(background):
        return lambda: compose.compose(photo, photo, alpha, background)

    def first_picture():
        backdrop.decoded_picture.cache_clear()
        backdrop._covered_picture.cache_clear()
        compose.compose(photo, photo, alpha, Background(kind="picture", picture=picture_bytes, name="p"))

    def plain_blur():
        sigma = backdrop.blur_sigma(12, *alpha.shape)
        compose.composite_over(photo, alpha, cv2.GaussianBlur(photo, (0, 0), sigma))

    return {
        "white": over(WHITE),
        "picture, first use (decode + cover)": first_picture,
        "picture, cached": over(Background(kind="picture", picture=picture_bytes, name="p")),
        "blur (12)": over(Background(kind="blur", strength=12)),
        "blur:40": over(Background(kind="blur", strength=40)),
        "plain full-size GaussianBlur (12), for scale": plain_blur,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--portraits", type=Path, help="DIR/photos/NAME.jpg with DIR/mattes/NAME.png")
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    scenery = cv2.GaussianBlur(rng.integers(0, 256, (2000, 3000, 3), dtype=np.uint8), (0, 0), 3)
    picture_bytes = cv2.imencode(".jpg", scenery)[1].tobytes()
    print("| photograph | background | ms |")
    print("|---|---|---:|")
    for width, height in ((1600, 1200), (4000, 3000)):
        photo, alpha = portrait(width, height)
        for name, run in cases(photo, alpha, picture_bytes).items():
            print(f"| {width * height / 1e6:.0f} MP | {name} | {median_ms(run, args.repeats):.0f} |")
    if args.portraits:
        halo_on_real_edges(args.portraits)


if __name__ == "__main__":
    main()
