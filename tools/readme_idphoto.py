"""Makes the README's ID-photo pictures: a portrait tilted by about 10
degrees and its levelled passport photo with the guide lines drawn on it,
through the command line as a user would run it; prints the check list
`--check` gives.

    .venv/bin/python tools/readme_idphoto.py [--photo PORTRAIT] [--degrees 10] [--id passport]

Writes docs/images/idphoto_tilted.png and docs/images/idphoto_levelled_overlay.png.
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import cv2

ROOT = Path(__file__).resolve().parents[1]
IMAGES = ROOT / "docs" / "images"


def tilted(photo, degrees: float):
    """`photo` turned anticlockwise by `degrees` about its centre, on a canvas
    an eighth larger each way so that no hair is cut, the edges carried on."""
    pad = photo.shape[0] // 16
    big = cv2.copyMakeBorder(photo, pad, pad, pad, pad, cv2.BORDER_REPLICATE)
    turn = cv2.getRotationMatrix2D((big.shape[1] / 2, big.shape[0] / 2), degrees, 1.0)
    return cv2.warpAffine(big, turn, (big.shape[1], big.shape[0]), flags=cv2.INTER_CUBIC,
                          borderMode=cv2.BORDER_REPLICATE)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--photo", type=Path, default=ROOT / "samples" / "astronaut.png",
                        help="the portrait (default: the bundled sample, a copy of the shared astronaut.png)")
    parser.add_argument("--degrees", type=float, default=10.0)
    parser.add_argument("--id", default="passport", help="the document (default: passport, ICAO 35 x 45 mm)")
    args = parser.parse_args(argv)
    photo = cv2.imread(str(args.photo))
    if photo is None:
        parser.error(f"{args.photo}: not a picture")
    command = shutil.which("portrait-main", path=str(Path(sys.executable).parent)) or "portrait-main"
    IMAGES.mkdir(parents=True, exist_ok=True)
    tilted_path = IMAGES / "idphoto_tilted.png"
    overlay_path = IMAGES / "idphoto_levelled_overlay.png"
    cv2.imwrite(str(tilted_path), tilted(photo, args.degrees))
    with tempfile.TemporaryDirectory() as scratch:
        run = subprocess.run([command, str(tilted_path), "-o", str(Path(scratch) / "id.jpg"), "--id", args.id,
                              "--check", "--overlay", str(overlay_path), "-q"], capture_output=True, text=True)
    print(f"$ portrait-main {tilted_path.name} -o passport.jpg --id {args.id} --check --overlay "
          f"{overlay_path.name}")
    print(run.stdout, end="")
    print(run.stderr, end="", file=sys.stderr)
    return run.returncode


if __name__ == "__main__":
    sys.exit(main())
