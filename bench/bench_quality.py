"""Quality of the cut-outs with one network and with two, against rembg.

    python bench/bench_quality.py [--quick]

Two sets: the five reference portraits (bench/data/matting) and composites of
them over cluttered backgrounds (bench/make_composites.py, built into
bench/.cache on first use). Methods, each in its own process over a whole
set (seconds: per photograph after one warm-up call, median; peak MB: that
process's high-water mark):

    model-only   the engine's matte: the segmenter's plane stretched by nearest neighbour
    fast         today's refinement on the segmenter's plane alone
    refined      the refinement on the fused plane of both networks (core.fusion)
    rembg        rembg's u2netp session, its mask as the matte
    rembg -a     the same with rembg's alpha-matting add-on

SAD: sum |alpha - reference| / 1000 (alpha in [0, 1]); edge: mean absolute
error where the reference is neither 0 nor 1. Then the confidence check
(the lowest fifth by confidence against the photographs whose SAD is above
twice the median, and how many are marked for review) and a 12 MP JPEG to a
white JPEG from the command line (`--matte model`, `fast` and the default),
whole processes, best of three taken in turn. rembg (`pip install "rembg[cpu]"`) and scikit-image are
benchmark dependencies only; rembg runs offline on a copy of the bundled
u2netp.onnx in a temporary U2NET_HOME.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from measure import peak_resident_mb

HERE = Path(__file__).resolve().parent
METHODS = ["model-only", "fast", "refined", "rembg", "rembg -a"]


def pairs_of(data: Path) -> list[tuple[Path, Path]]:
    return [(photo, data / "mattes" / (photo.stem + ".png")) for photo in sorted((data / "photos").iterdir())
            if (data / "mattes" / (photo.stem + ".png")).exists()]


def errors(alpha, reference) -> tuple[float, float]:
    import numpy as np

    difference = np.abs(alpha.astype(np.float64) - reference)
    band = (reference > 0) & (reference < 1)
    return float(difference.sum() / 1000), float(difference[band].mean()) if band.any() else 0.0


def fused_cutout(cutout, saliency, photo):
    """The one path with both networks: (alpha, foreground, FusedMatte)."""
    from portrait_studio.core.compose import sanitise_alpha
    from portrait_studio.core.fusion import fuse
    from portrait_studio.core.refine import refine

    fused = fuse(sanitise_alpha(cutout.model_plane(photo)), saliency.plane(photo))
    alpha, foreground = refine(photo, fused.plane)
    return alpha, foreground, fused


def matte_job(method: str):
    """A function photo -> (alpha, confidence or None)."""
    from portrait_studio import Cutout

    if method.startswith("rembg"):
        from PIL import Image
        from rembg import new_session, remove

        session = new_session("u2netp")
        matting = method.endswith("-a")

        def job(photo):
            rgba = remove(Image.fromarray(photo[:, :, ::-1].copy()), session=session, alpha_matting=matting)
            import numpy as np

            return np.asarray(rgba)[:, :, 3].astype(np.float32) / 255.0, None
        return job
    cutout = Cutout()
    if method == "model-only":
        return lambda photo: (cutout.matte(photo, "model"), None)
    if method == "fast":
        return lambda photo: (cutout.matte(photo, "fast"), None)
    from portrait_studio.core.saliency import Saliency

    saliency = Saliency()

    def fused(photo):
        alpha, _, matte = fused_cutout(cutout, saliency, photo)
        return alpha, matte.confidence
    return fused


def quality_worker(method: str, data: str) -> dict:
    import cv2
    import numpy as np

    job = matte_job(method)
    pairs = pairs_of(Path(data))
    job(cv2.imread(str(pairs[0][0])))  # warms ONNX Runtime and the compiled kernels
    runs = []
    for photo_path, matte_path in pairs:
        photo = cv2.imread(str(photo_path))
        reference = cv2.imread(str(matte_path), cv2.IMREAD_GRAYSCALE).astype(np.float64) / 255.0
        start = time.perf_counter()
        alpha, confidence = job(photo)
        seconds = time.perf_counter() - start
        sad, edge = errors(alpha, reference)
        runs.append({"name": photo_path.stem, "sad": sad, "edge": edge, "seconds": seconds, "confidence": confidence})
    return {"runs": runs, "peak_mb": peak_resident_mb()}


def white_worker(method: str, source: str, target: str) -> dict:
    """The command line in this process, as a user runs it."""
    from portrait_studio.frontends.cli import main

    matte = {"model-only": "model"}.get(method, method)
    if main([source, "-o", target, "-q", "--matte", matte]) not in (0, None):
        raise SystemExit(f"portrait-main --matte {matte} failed")
    return {"peak_mb": peak_resident_mb()}


WORKERS = {"quality": quality_worker, "white": white_worker}


def spawn(kind: str, *args: str, env=None) -> dict:
    start = time.perf_counter()
    result = subprocess.run([sys.executable, __file__, "--worker", kind, *args], capture_output=True, text=True, env=env)
    wall = time.perf_counter() - start
    if result.returncode != 0:
        raise SystemExit(f"{kind} {' '.join(args)} failed:\n{result.stderr}")
    return {**json.loads(result.stdout.strip().splitlines()[-1]), "wall": wall}


def table(title: str, results: dict) -> None:
    base = statistics.median(r["sad"] for r in results["model-only"]["runs"])
    print(f"\n{title}\n")
    print("| method | median SAD | x model-only | mean SAD | edge-band error | seconds | peak MB |")
    print("|---|---|---|---|---|---|---|")
    for method, result in results.items():
        runs = result["runs"]
        median = statistics.median(r["sad"] for r in runs)
        print(f"| {method} | {median:.1f} | {median / base:.2f} | {statistics.mean(r['sad'] for r in runs):.1f} | "
              f"{statistics.median(r['edge'] for r in runs):.4f} | {statistics.median(r['seconds'] for r in runs):.2f} | "
              f"{result['peak_mb']:.0f} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="one run per 12 MP case instead of three")
    parser.add_argument("--worker", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        kind, *rest = args.worker
        print(json.dumps(WORKERS[kind](*rest)))
        return

    sys.path.insert(0, str(HERE))
    import make_composites

    from portrait_studio.core.fusion import REVIEW_BELOW
    from portrait_studio.core.saliency import bundled_path

    sets = {"real portraits": HERE / "data" / "matting", "composites": make_composites.build()}
    with tempfile.TemporaryDirectory() as home:
        shutil.copy(bundled_path(), Path(home) / "u2netp.onnx")
        env = {**os.environ, "U2NET_HOME": home}
        results = {name: {m: spawn("quality", m, str(data), env=env) for m in METHODS} for name, data in sets.items()}
    for name, result in results.items():
        table(f"{name} ({len(result['model-only']['runs'])} photographs):", result)

    every = {m: [r for name in sets for r in results[name][m]["runs"]] for m in METHODS}
    means = {m: statistics.mean(r["sad"] for r in runs) for m, runs in every.items()}
    print(f"\nAll {len(every['refined'])} photographs, mean SAD: "
          + ", ".join(f"{m} {v:.1f}" for m, v in means.items())
          + f"; refined / model-only {means['refined'] / means['model-only']:.2f}")

    runs = every["refined"]
    median = statistics.median(r["sad"] for r in runs)
    bad = {r["name"] for r in runs if r["sad"] > 2 * median}
    fifth = math.ceil(len(runs) / 5)
    lowest = sorted(runs, key=lambda r: r["confidence"])[:fifth]
    caught = sum(r["name"] in bad for r in lowest)
    print(f"\nConfidence: {len(bad)} photographs above twice the median SAD ({2 * median:.1f}); the lowest fifth "
          f"({fifth}) by confidence holds {caught} of them ({caught / max(1, len(bad)):.0%}; at most "
          f"{min(fifth, len(bad)) / max(1, len(bad)):.0%} possible with {fifth} places).\n")
    reviewed = [r for r in runs if r["confidence"] < REVIEW_BELOW]
    print(f"Marked for review (confidence below {REVIEW_BELOW}): {len(reviewed)}, holding "
          f"{sum(r['name'] in bad for r in reviewed)} of the {len(bad)}.\n")
    print("| photograph | confidence | SAD | above 2x median |")
    print("|---|---|---|---|")
    for r in sorted(runs, key=lambda r: r["confidence"]):
        print(f"| {r['name']} | {r['confidence']:.2f} | {r['sad']:.1f} | {'yes' if r['name'] in bad else ''} |")

    repeat = 1 if args.quick else 3
    with tempfile.TemporaryDirectory() as folder:
        import cv2
        import numpy as np

        source = next(iter(pairs_of(sets["real portraits"])))[0]
        photo = cv2.resize(cv2.imread(str(source)), (4000, 3000), interpolation=cv2.INTER_CUBIC)
        grain = np.random.default_rng(0).normal(0, 3, photo.shape)
        path = Path(folder) / "portrait_12mp.jpg"
        cv2.imwrite(str(path), np.clip(photo + grain, 0, 255).astype(np.uint8), [cv2.IMWRITE_JPEG_QUALITY, 92])
        walls = {"model-only": [], "fast": [], "refined": []}
        for _ in range(repeat):
            for method in walls:
                walls[method].append(spawn("white", method, str(path), str(Path(folder) / f"{method}.jpg")))
    print(f"\n12 MP JPEG to a white JPEG, whole process, best of {repeat}:\n")
    print("| run | seconds | peak MB | x --matte model |")
    print("|---|---|---|---|")
    base = min(r["wall"] for r in walls["model-only"])
    for method, done in walls.items():
        best = min(r["wall"] for r in done)
        print(f"| {method} | {best:.2f} | {max(r['peak_mb'] for r in done):.0f} | {best / base:.2f} |")


if __name__ == "__main__":
    main()
