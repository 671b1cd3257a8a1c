"""Makes the docs' before/after crops at 100 %.

    python tools/hair_crops.py [PHOTO] [--box X Y W H] [--name hair] [--mattes model refined]

Writes docs/images/NAME_MATTE.png for each matte kind (model: the engine's
matte; fast: the segmenter's plane refined; refined: both networks fused,
then refined), all over the same colour so the edge shows, cropped from the
full-size result without scaling. The docs' crops:

    python tools/hair_crops.py --mattes model refined
    python tools/hair_crops.py bench/data/matting/photos/p_819ea202.jpg --box 278 780 300 300 \
        --name networks --mattes fast refined
"""

from __future__ import annotations

import argparse
from pathlib import Path

import cv2

from portrait_studio import Cutout, Request, parse_background

REPOSITORY = Path(__file__).resolve().parent.parent


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("photo", nargs="?", default=str(REPOSITORY / "bench/data/matting/photos/p_bd6af989.jpg"))
    parser.add_argument("--box", nargs=4, type=int, default=[600, 440, 300, 300], metavar=("X", "Y", "W", "H"))
    parser.add_argument("--background", default="#2050a0")
    parser.add_argument("--name", default="hair")
    parser.add_argument("--mattes", nargs="+", default=["model", "refined"])
    args = parser.parse_args()
    photo = cv2.imread(args.photo)
    x, y, w, h = args.box
    cutout = Cutout()
    background = parse_background(args.background)
    for matte in args.mattes:
        picture = cutout.render(photo, Request(matte=matte, background=background))
        cv2.imwrite(str(REPOSITORY / "docs/images" / f"{args.name}_{matte}.png"), picture[y:y + h, x:x + w])


if __name__ == "__main__":
    main()
