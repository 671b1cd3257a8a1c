"""ID photos: how well and how fast the bundled face detector finds faces, how
close the framing's head comes to hand-marked heads, and what an ID photo
costs next to the plain letterboxed cut-out of the same size.

    python bench/bench_idphoto.py [--photos DIR ...] [--repeat N]

By default it reads the repository's own photographs (samples/, tests/data/);
--photos adds folders, e.g. the shared portraits with reference mattes.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

import cv2

from portrait_studio import Cutout, Request
from portrait_studio.idphoto import PRESETS, IdPhotoRefused, make_id_photo
from portrait_studio.idphoto.faces import FaceDetector
from portrait_studio.idphoto.framing import geometry
from portrait_studio.idphoto.landmarks import FaceMesh

# The installed package, as the other benchmarks use it (its extension is built there).
ROOT = Path(__file__).resolve().parent.parent

# Faces a person counts in each photograph (frontal or profile, any size),
# and hand-marked crown and chin rows where the face is frontal.
TRUTH = {
    "astronaut": dict(faces=1, crown=15, chin=175),
    "camera": dict(faces=1),
    "p_22fc0130": dict(faces=1, crown=95, chin=1150),
    "p_015cd10e": dict(faces=1),  # profile
    "p_0865636e": dict(faces=0),  # shoulders down, no head in the picture
    "p_819ea202": dict(faces=1),  # a man walking, face about 100 px across
    "p_bd6af989": dict(faces=0),  # the face is hidden behind hair
}


def timed(function, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--photos", type=Path, action="append", default=[])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    folders = [ROOT / "samples", ROOT / "tests" / "data", *args.photos]
    paths = {}
    for folder in folders:
        for path in sorted(folder.iterdir()):
            if path.suffix.lower() in (".png", ".jpg", ".jpeg"):
                paths.setdefault(path.stem, path)

    detector = FaceDetector(threads=1)
    cutout = Cutout(threads=1)
    print("Face detection and framing (median of", args.repeat, "runs, one thread each)")
    print("| photo | size | faces found / expected | detector | matte | ID photo (passport) | letterboxed cut-out | ID / cut-out | head vs hand-marked |")
    print("|---|---|---|---|---|---|---|---|---|")
    found_right = total = 0
    for stem, path in paths.items():
        photo = cv2.imread(str(path))
        detect_s, faces = timed(lambda photo=photo: detector.detect(photo), args.repeat)
        matte_s, alpha = timed(lambda photo=photo: cutout.matte(photo), args.repeat)
        truth = TRUTH.get(stem, {})
        expected = truth.get("faces", "?")
        if expected != "?":
            total += 1
            found_right += len(faces) == expected

        def id_photo(photo=photo):
            try:
                return make_id_photo(cutout, photo, "passport", detector=detector)
            except IdPhotoRefused as refusal:
                return refusal

        id_s, result = timed(id_photo, args.repeat)
        plain_s, _ = timed(lambda photo=photo: cutout.render(photo, Request(size=(413, 531))), args.repeat)
        head = "-"
        if faces and "chin" in truth:
            where = geometry(alpha, faces[0], PRESETS["passport"])
            marked = truth["chin"] - truth["crown"]
            head = f"{(where.chin - where.crown) / marked - 1:+.1%}"
        id_text = f"{id_s * 1000:.0f} ms" if not isinstance(result, IdPhotoRefused) else f"refused ({id_s * 1000:.0f} ms)"
        print(f"| {path.name} | {photo.shape[1]}x{photo.shape[0]} | {len(faces)} / {expected} | "
              f"{detect_s * 1000:.1f} ms | {matte_s * 1000:.0f} ms | {id_text} | {plain_s * 1000:.0f} ms | "
              f"{id_s / plain_s:.2f} | {head} |")
    print(f"\nface count right on {found_right} of {total} photographs with a known count")
    landmark_times(paths, detector, args.repeat)
    return 0


def landmark_times(paths, detector, repeat):
    """Face mesh per detected face (both crop passes), one thread."""
    mesh = FaceMesh(threads=1)
    print("\nFace landmarks (median of", repeat, "runs, one thread)")
    print("| photo | face | mesh score | per face | roll | yaw | pitch | eyes open |")
    print("|---|---|---|---|---|---|---|---|")
    for path in paths.values():
        photo = cv2.imread(str(path))
        for k, face in enumerate(detector.detect(photo)):
            seconds, points = timed(lambda photo=photo, face=face: mesh.landmarks(photo, face), repeat)
            print(f"| {path.name} | {k} | {points.score:.3f} | {seconds * 1000:.1f} ms | {points.roll:+.1f} | "
                  f"{points.yaw:+.1f} | {points.pitch:+.1f} | {points.eyes_open:.2f} |")


if __name__ == "__main__":
    sys.exit(main())
