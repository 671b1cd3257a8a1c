"""Refined cut-outs against the model's matte and the usual add-on.

    python bench/bench_refine.py [--data DIR] [--quick]

DIR holds photos/NAME.jpg (or .png) and mattes/NAME.png (8-bit reference
mattes, 255 = person); by default the five portraits in bench/data/matting.
Three tables, every case in a fresh process (peak MB is that process's
high-water mark: interpreter, ONNX Runtime and the work):

1. Quality per method, medians over the portraits: SAD (sum of absolute
   differences to the reference, in thousands, alpha in [0, 1]), edge-band
   error (mean absolute difference where the reference is neither 0 nor 1),
   seconds for the matte and foreground (model included), peak MB.
     model-only  the engine's matte: the model plane stretched by nearest neighbour
     fast        this package's refinement of the segmenter's plane alone
     refined     the default: both networks' planes fused, then refined
     add-on      pymatting closed-form + foreground on a 240/10 trimap with 10 px
                 erosion at 1000 px (bench/addon.py)
2. End to end from the command line: a 12 MP JPEG to a white-background JPEG,
   the best of five runs of each, taken in turn.
3. The solver alone against pymatting's, at the same working size and trimap.

Ratios are within this run, on one machine.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import tempfile
import time
from pathlib import Path

from measure import peak_resident_mb, twelve_megapixel_jpeg
from measure import spawn as spawn_worker

HERE = Path(__file__).resolve().parent
DEFAULT_DATA = HERE / "data" / "matting"
METHODS = ["model-only", "fast", "refined", "add-on"]




def portraits(data: Path) -> list[tuple[Path, Path]]:
    pairs = []
    for photo in sorted((data / "photos").iterdir()):
        matte = data / "mattes" / (photo.stem + ".png")
        if matte.exists():
            pairs.append((photo, matte))
    if not pairs:
        raise SystemExit(f"{data}: no photos/NAME.* with mattes/NAME.png")
    return pairs


def errors(alpha, reference) -> tuple[float, float]:
    import numpy as np

    difference = np.abs(alpha.astype(np.float64) - reference)
    band = (reference > 0) & (reference < 1)
    return float(difference.sum() / 1000), float(difference[band].mean()) if band.any() else 0.0


def timed(job, repeat: int = 3):
    """The job's result and its median seconds over `repeat` calls, after one
    call that warms ONNX Runtime and pymatting's compiled kernels."""
    job()
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = job()
        times.append(time.perf_counter() - start)
    return result, statistics.median(times)


# ---- workers, one per process -------------------------------------------------------------


def quality_worker(method: str, photo_path: str, matte_path: str) -> dict:
    import cv2
    import numpy as np

    sys.path.insert(0, str(HERE))
    from portrait_studio.pipeline import Cutout

    cutout = Cutout()
    photo = cv2.imread(photo_path)
    reference = cv2.imread(matte_path, cv2.IMREAD_GRAYSCALE).astype(np.float64) / 255.0
    if method == "add-on":
        import addon

        job = lambda: addon.addon_matte(photo, cutout.matte(photo, "model"))[0]  # noqa: E731
    else:
        kind = "model" if method == "model-only" else method
        job = lambda: cutout.alpha(photo, kind, foreground=kind != "model")[0]  # noqa: E731
    alpha, seconds = timed(job)
    sad, edge = errors(alpha, reference)
    return {"sad": sad, "edge": edge, "seconds": seconds, "peak_mb": peak_resident_mb()}


def cli_worker(method: str, photo: str, out: str) -> dict:
    if method == "add-on":
        import cv2

        sys.path.insert(0, str(HERE))
        import addon

        from portrait_studio.pipeline import Cutout

        photo_array = cv2.imread(photo)
        cv2.imwrite(out, addon.addon_white(photo_array, Cutout().matte(photo_array, "model")))
    else:
        from portrait_studio.frontends.cli import main

        main([photo, "-o", out, "-q", *({"model-only": ["--matte", "model"], "fast": ["--matte", "fast"]}.get(method, []))])
    return {"peak_mb": peak_resident_mb()}


def solver_worker(method: str, photo_path: str, matte_path: str) -> dict:
    import cv2
    import numpy as np

    from portrait_studio import Cutout
    from portrait_studio.core import refine
    from portrait_studio.core.compose import sanitise_alpha

    photo = cv2.imread(photo_path)
    rows, columns = photo.shape[:2]
    work_rows, work_columns = refine.working_size(rows, columns, refine.DEFAULT.working_pixels)
    image = cv2.resize(photo, (work_columns, work_rows), interpolation=cv2.INTER_AREA)
    coarse = cv2.resize(sanitise_alpha(Cutout().model_plane(photo)), (work_columns, work_rows))
    trimap = refine.trimap(coarse, refine.band_radius(work_rows, work_columns))
    reference = cv2.resize(cv2.imread(matte_path, cv2.IMREAD_GRAYSCALE), (work_columns, work_rows),
                           interpolation=cv2.INTER_AREA).astype(np.float64) / 255.0
    if method == "pymatting":
        from pymatting import estimate_alpha_cf

        rgb, known = image[:, :, ::-1] / 255.0, trimap / 255.0
        job = lambda: estimate_alpha_cf(rgb, known, laplacian_kwargs={"epsilon": refine.DEFAULT.epsilon})  # noqa: E731
    else:
        job = lambda: refine.solve(image, trimap, coarse)[0]  # noqa: E731
    alpha, seconds = timed(job)
    sad, edge = errors(alpha, reference)
    return {"sad": sad, "edge": edge, "seconds": seconds, "unknown": float((trimap == 128).mean())}


WORKERS = {"quality": quality_worker, "cli": cli_worker, "solver": solver_worker}


def spawn(kind: str, *args: str) -> dict:
    return spawn_worker(__file__, kind, *args)


# ---- the tables ------------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA, help="photos/ and mattes/ of other portraits")
    parser.add_argument("--quick", action="store_true", help="one run per command-line case instead of five")
    parser.add_argument("--worker", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        kind, *rest = args.worker
        print(json.dumps(WORKERS[kind](*rest)))
        return

    pairs = portraits(args.data)
    print(f"Quality on {len(pairs)} portraits from {args.data} (medians; ratios against model-only):\n")
    rows = {}
    for method in METHODS:
        runs = [spawn("quality", method, str(photo), str(matte)) for photo, matte in pairs]
        rows[method] = {key: statistics.median(run[key] for run in runs) for key in ("sad", "edge", "seconds", "peak_mb")}
        rows[method]["per_photo"] = [round(run["sad"], 2) for run in runs]
    base = rows["model-only"]
    print("| method | SAD | x model | edge-band error | seconds | peak MB | SAD per portrait |")
    print("|---|---|---|---|---|---|---|")
    for method, row in rows.items():
        print(f"| {method} | {row['sad']:.2f} | {row['sad'] / base['sad']:.2f} | {row['edge']:.4f} | "
              f"{row['seconds']:.2f} | {row['peak_mb']:.0f} | {' '.join(map(str, row['per_photo']))} |")
    print(f"\nrefined / add-on: SAD {rows['refined']['sad'] / rows['add-on']['sad']:.2f}, "
          f"edge-band {rows['refined']['edge'] / rows['add-on']['edge']:.2f}")

    repeat = 1 if args.quick else 5
    with tempfile.TemporaryDirectory() as folder:
        photo = twelve_megapixel_jpeg(Path(folder), pairs[0][0])
        print(f"\nCommand line, 12 MP JPEG (4000 x 3000) to a white-background JPEG, best of {repeat} runs taken "
              "in turn (whole process: start, read, model, matte, composite, write):\n")
        runs = {method: [] for method in METHODS}
        for _ in range(repeat):  # in turn, so a busy spell on a shared machine hits every method alike
            for method in METHODS:
                runs[method].append(spawn("cli", method, str(photo), str(Path(folder) / f"out_{method}.jpg")))
        cli = {method: {"seconds": min(r["wall"] for r in done), "peak_mb": max(r["peak_mb"] for r in done)}
               for method, done in runs.items()}
        names = {"model-only": "--matte model", "fast": "--matte fast", "refined": "refined (default)", "add-on": "add-on"}
        print("| run | seconds | peak MB | x --matte model time | x add-on time | x add-on peak |")
        print("|---|---|---|---|---|---|")
        for method, row in cli.items():
            print(f"| {names[method]} | {row['seconds']:.2f} | {row['peak_mb']:.0f} | "
                  f"{row['seconds'] / cli['model-only']['seconds']:.2f} | {row['seconds'] / cli['add-on']['seconds']:.2f} | "
                  f"{row['peak_mb'] / cli['add-on']['peak_mb']:.2f} |")

    print("\nThe solver alone at the working size (about 1 MP), same trimap, against pymatting's "
          "closed form (ichol + CG), medians:\n")
    solver = {}
    for method in ("ours", "pymatting"):
        runs = [spawn("solver", method, str(photo), str(matte)) for photo, matte in pairs]
        solver[method] = {key: statistics.median(run[key] for run in runs) for key in ("sad", "edge", "seconds", "unknown")}
    print("| solver | seconds | SAD at working size | edge-band error | unknown share | x pymatting time |")
    print("|---|---|---|---|---|---|")
    for method, row in solver.items():
        print(f"| {method} | {row['seconds']:.3f} | {row['sad']:.2f} | {row['edge']:.4f} | {row['unknown']:.3f} | "
              f"{row['seconds'] / solver['pymatting']['seconds']:.2f} |")


if __name__ == "__main__":
    main()
