"""Folder mode: the pool of engines and Dask against a plain loop of `_image`.

    python bench/bench_batch.py [--quick]

16 photographs of 12 megapixels (JPEG, made from samples/astronaut.png,
each shifted and with its own grain), `--matte model` over white, the
bundled model. Each case runs in a fresh process and is timed from the
first photograph to the last, engine start-up included for the pool and
cluster start-up included for Dask; the baseline is one engine calling
`_image` on each photograph in turn (its one engine opened before the
clock starts). Every case must write the baseline's bytes.

Then the peak resident memory of a 1,000-photograph run against a
10-photograph run, default jobs, on 640 x 480 JPEGs (ten sizes around that,
repeated, so both runs see the same photographs).
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from measure import peak_resident_mb

REPO = Path(__file__).resolve().parent.parent
SAMPLE = REPO / "samples" / "astronaut.png"

# (label, workers, threads per worker or None for the default share); "dask" = --dask local
CASES = [
    ("loop of _image", "loop", None),
    ("default jobs", None, None),
    ("jobs 1", 1, None),
    ("jobs 2", 2, None),
    ("jobs 4", 4, None),
    ("dask local", "dask", None),
    ("  its start-up alone", "dask-start", None),
]
# Against the default share of the cores (cores / jobs threads per engine).
THREAD_CASES = [("jobs 1 x 1 thread", 1, 1), ("jobs 2 x 2 threads", 2, 2)]


def make_photos(folder: Path, count: int, width: int, height: int, sizes: int = 1) -> Path:
    import cv2
    import numpy as np

    folder.mkdir(parents=True, exist_ok=True)
    sample = cv2.imread(str(SAMPLE))
    base = [cv2.resize(sample, (width + 16 * k, height + 12 * k), interpolation=cv2.INTER_CUBIC) for k in range(sizes)]
    rng = np.random.default_rng(0)
    for index in range(count):
        photo = np.roll(base[index % sizes], 97 * index, axis=1)
        grain = rng.integers(-6, 7, photo.shape, dtype=np.int16)
        photo = np.clip(photo + grain, 0, 255).astype(np.uint8)
        cv2.imwrite(str(folder / f"photo{index:04d}.jpg"), photo, [cv2.IMWRITE_JPEG_QUALITY, 92])
    return folder




def run_case(workers: str, threads: str, source: str, target: str) -> dict:
    from portrait_studio.frontends import batch
    from portrait_studio.pipeline import Request

    request = Request(matte="model")
    if workers == "loop":
        import portrait_main

        engine = portrait_main.QuorinPortraitMain(None)
        paths = batch.find_photographs(Path(source))
        Path(target).mkdir(parents=True, exist_ok=True)
        start = time.perf_counter()
        for path in paths:
            engine._image(str(path), str(Path(target) / path.name))
        seconds = time.perf_counter() - start
    else:
        start = time.perf_counter()
        jobs = batch.plan(Path(source), Path(target))
        if workers.startswith("dask"):
            from portrait_studio.frontends import cluster

            jobs = jobs if workers == "dask" else []
            outcome = cluster.run_dask(jobs, request, "local")
        else:
            outcome = batch.run_local(
                jobs, request, workers=int(workers) if workers != "None" else None,
                threads=int(threads) if threads != "None" else None,
            )
        seconds = time.perf_counter() - start
        assert outcome.written == len(jobs) and not outcome.failures, outcome.failures
    return {"seconds": seconds, "peak_mb": peak_resident_mb()}


def measure(workers, threads, source: Path, target: Path) -> dict:
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    result = subprocess.run(
        [sys.executable, __file__, "--worker", str(workers), str(threads), str(source), str(target)],
        capture_output=True, text=True, check=False,
    )
    if result.returncode != 0:
        raise SystemExit(f"case {workers} x {threads} failed:\n{result.stderr}")
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    return json.loads(result.stdout.strip().splitlines()[-1]) | {"cpu": cpu}


def load() -> str:
    return " ".join(f"{x:.1f}" for x in os.getloadavg())


def same_bytes(a: Path, b: Path) -> bool:
    names = sorted(p.name for p in a.iterdir())
    return names == sorted(p.name for p in b.iterdir()) and all((a / n).read_bytes() == (b / n).read_bytes() for n in names)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="one round instead of three, 300 photographs for memory")
    parser.add_argument("--rounds", type=int, help="rounds of the 12 MP cases (default 3)")
    parser.add_argument("--headline", action="store_true", help="only the loop and default jobs, no memory run")
    parser.add_argument("--worker", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(run_case(*args.worker)))
        return

    from portrait_studio.frontends import batch

    cases = CASES[:2] if args.headline else CASES + THREAD_CASES
    rounds = args.rounds or (1 if args.quick else 3)
    many = 300 if args.quick else 1000
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        photos = make_photos(folder / "12mp", 16, 4000, 3000)
        print(f"{batch.cores()} cores; 16 x 12 MP JPEG, --matte model; wall seconds and ratio to the "
              f"loop of the same round, medians of {rounds} round(s), each case in a fresh process; "
              f"peak MB of the process that ran it (for Dask, the client only)\n")
        print(f"load average before: {load()}")
        header = f"{'case':<22}{'seconds':>9}{'photos/s':>10}{'x loop':>8}{'range':>11}{'CPU s':>7}{'peak MB':>9}{'same bytes':>12}"
        print(header)
        print("-" * len(header))
        timings: dict[str, list[dict]] = {}
        for round_ in range(rounds):  # interleaved, so drift on a shared machine hits every case alike
            for label, workers, threads in cases:
                target = folder / f"out-{label.replace(' ', '_')}-{round_}"
                timings.setdefault(label, []).append(measure(workers, threads, photos, target))
        baseline = folder / "out-loop_of__image-0"
        loops = [r["seconds"] for r in timings["loop of _image"]]
        for label, _, _ in cases:
            seconds = statistics.median(r["seconds"] for r in timings[label])
            ratios = [r["seconds"] / loop for r, loop in zip(timings[label], loops)]
            ratio, spread = statistics.median(ratios), f"{min(ratios):.2f}-{max(ratios):.2f}"
            peak = max(r["peak_mb"] for r in timings[label])
            same = label.endswith("alone") or all(  # the start-up writes nothing
                same_bytes(baseline, folder / f"out-{label.replace(' ', '_')}-{r}") for r in range(rounds))
            cpu = statistics.median(r["cpu"] for r in timings[label])
            rate = "" if label.endswith("alone") else f"{16 / seconds:.2f}"
            shown = f"default jobs ({batch.cores()})" if label == "default jobs" else label
            print(f"{shown:<22}{seconds:>9.2f}{rate:>10}{ratio:>8.2f}{spread:>11}{cpu:>7.1f}{peak:>9.0f}{'yes' if same else 'NO':>12}")
        print(f"load average after: {load()} (other work on the machine slows every case alike only roughly)")

        if args.headline:
            return
        print("\nPeak resident memory, default jobs, 640 x 480 JPEG, --matte model\n")
        small = make_photos(folder / "small", many, 640, 480, sizes=10)
        few = folder / "few"
        few.mkdir()
        for path in sorted(small.iterdir())[:10]:
            os.link(path, few / path.name)
        runs = {n: measure(None, None, src, folder / f"mem-{n}") for n, src in ((10, few), (many, small))}
        print(f"{'photographs':>12}{'seconds':>9}{'peak MB':>9}")
        for n, run in runs.items():
            print(f"{n:>12}{run['seconds']:>9.2f}{run['peak_mb']:>9.0f}")
        print(f"peak {many} / peak 10: {runs[many]['peak_mb'] / runs[10]['peak_mb']:.2f}")


if __name__ == "__main__":
    main()
