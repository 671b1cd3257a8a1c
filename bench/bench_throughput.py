"""Throughput of each matte kind: the folder pool and the service against a
sequential loop in one process, beside the CPU floor.

    python bench/bench_throughput.py [--large] [--photos N] [--kinds model,fast,refined]

Photographs: by default 12 JPEGs of 2 MP (made from samples/astronaut.png,
each shifted and with its own grain); `--large` is 16 of 12 MP. Every case
runs in a fresh process and is timed from its first photograph to its last,
engine start-up included for the pool.

- loop: one Cutout with no share of the cores, one photograph after another
  (for `--matte model` the engine's own `_image`, the bytes everything else
  must match; for the others `Cutout.write`).
- pool: `run_local` with its default workers and share of the cores.
- floor: one thread, per photograph: decode, the networks (the segmenter;
  u2netp too for refined), encode; what no schedule can go under on one core,
  divided by the cores.
- service: `portrait-main serve` with one engine per core, the photographs
  posted 2 per engine at a time, against the same request in process
  (`produce` + `encode` in a loop on one Cutout).
- memory: the pool's peak resident memory on 1,000 photographs of 0.3 MP
  against 10 of them, `--matte model` (the plan holds paths only).
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import os
import re
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from measure import peak_resident_mb

REPO = Path(__file__).resolve().parent.parent
SAMPLE = REPO / "samples" / "astronaut.png"
KINDS = ("model", "fast", "refined")


def make_photos(folder: Path, count: int, width: int, height: int) -> Path:
    import cv2
    import numpy as np

    folder.mkdir(parents=True, exist_ok=True)
    base = cv2.resize(cv2.imread(str(SAMPLE)), (width, height), interpolation=cv2.INTER_CUBIC)
    rng = np.random.default_rng(0)
    for index in range(count):
        photo = np.roll(base, 97 * index, axis=1)
        photo = np.clip(photo + rng.integers(-6, 7, photo.shape, dtype=np.int16), 0, 255).astype(np.uint8)
        cv2.imwrite(str(folder / f"photo{index:04d}.jpg"), photo, [cv2.IMWRITE_JPEG_QUALITY, 92])
    return folder


# -- the cases, each in its own process ------------------------------------------


def case_loop(kind: str, source: Path, target: Path) -> dict:
    from portrait_studio import Cutout, Request
    from portrait_studio.frontends import batch

    request = Request(matte=kind)
    cutout = Cutout()
    paths = batch.find_photographs(source)
    target.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()
    for path in paths:
        if request.is_engine_output:
            cutout.engine._image(str(path), str(target / path.name))
        else:
            cutout.write(path, target / path.name, request)
    return {"seconds": time.perf_counter() - started}


def case_pool(kind: str, source: Path, target: Path) -> dict:
    from portrait_studio import Request
    from portrait_studio.frontends import batch

    started = time.perf_counter()
    outcome = batch.run_local(batch.plan(source, target), Request(matte=kind))
    assert outcome.written == outcome.total and not outcome.failures, outcome.failures
    return {"seconds": time.perf_counter() - started}


def case_floor(kind: str, source: Path, _target: Path) -> dict:
    import cv2

    from portrait_studio import Cutout, Request
    from portrait_studio.core import imageio
    from portrait_studio.frontends import batch

    cv2.setNumThreads(1)
    cutout = Cutout(threads=1)
    request = Request(matte=kind)
    size = request.model_input_size
    paths = batch.find_photographs(source)
    parts = {"decode": 0.0, "networks": 0.0, "encode": 0.0}
    photo = imageio.decode_photo(paths[0].read_bytes())
    cutout.model_plane(photo, size)  # sessions warmed, not counted
    if kind == "refined":
        cutout.saliency.plane(photo)
    picture = cutout.produce(photo, request).picture
    for path in paths:
        data = path.read_bytes()
        t0 = time.perf_counter()
        photo = imageio.decode_photo(data)
        t1 = time.perf_counter()
        cutout.model_plane(photo, size)
        if kind == "refined":
            cutout.saliency.plane(photo)
        t2 = time.perf_counter()
        imageio.encode(picture if picture.shape == photo.shape else photo, path.suffix)
        t3 = time.perf_counter()
        parts["decode"] += t1 - t0
        parts["networks"] += t2 - t1
        parts["encode"] += t3 - t2
    return {"seconds": sum(parts.values()), **parts}


def case_in_process(kind: str, source: Path, _target: Path) -> dict:
    from portrait_studio import Cutout, Request
    from portrait_studio.core import imageio
    from portrait_studio.frontends import batch
    from portrait_studio.pipeline import encode

    request = Request(matte=kind)
    cutout = Cutout()
    photos = [path.read_bytes() for path in batch.find_photographs(source)]
    encode(cutout.produce(imageio.decode_photo(photos[0]), request), ".png")  # warm-up
    started = time.perf_counter()
    for data in photos:
        encode(cutout.produce(imageio.decode_photo(data), request), ".png")
    return {"seconds": time.perf_counter() - started}


CASES = {"loop": case_loop, "pool": case_pool, "floor": case_floor, "in-process": case_in_process}


def measure(case: str, kind: str, source: Path, target: Path) -> dict:
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    result = subprocess.run([sys.executable, __file__, "--case", case, kind, str(source), str(target)],
                            capture_output=True, text=True, check=False)
    if result.returncode != 0:
        raise SystemExit(f"{case} {kind} failed:\n{result.stderr}")
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    return json.loads(result.stdout.strip().splitlines()[-1]) | {"cpu": cpu}


def serve(kind: str, source: Path, workers: int) -> dict:
    """Wall seconds for the service to answer every photograph, the server's
    CPU seconds and peak memory."""
    import httpx

    photos = [path.read_bytes() for path in sorted(source.iterdir())]
    process = subprocess.Popen(
        [sys.executable, "-m", "portrait_studio.frontends.cli", "serve", "--port", "0", "--workers", str(workers)],
        stdout=subprocess.PIPE, text=True,
    )
    try:
        url = re.search(r"http://\S+", process.stdout.readline()).group(0)
        with httpx.Client(base_url=url, timeout=600, limits=httpx.Limits(max_connections=2 * workers)) as client:

            def post(data: bytes) -> None:
                answer = client.post("/v1/cutout", files={"image": ("photo.jpg", data)}, data={"matte": kind})
                assert answer.status_code == 200, answer.text

            post(photos[0])  # its engines warmed, not counted
            cpu_before = cpu_seconds(process.pid)
            started = time.perf_counter()
            with concurrent.futures.ThreadPoolExecutor(2 * workers) as senders:
                list(senders.map(post, photos))
            seconds = time.perf_counter() - started
            cpu = cpu_seconds(process.pid) - cpu_before
            peak = int(re.search(r"VmHWM:\s+(\d+)", Path(f"/proc/{process.pid}/status").read_text()).group(1)) / 1024
    finally:
        process.terminate()
        process.wait(30)
    return {"seconds": seconds, "cpu": cpu, "peak_mb": peak}


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def same_bytes(a: Path, b: Path) -> bool:
    names = sorted(p.name for p in a.iterdir())
    return names == sorted(p.name for p in b.iterdir()) and all((a / n).read_bytes() == (b / n).read_bytes() for n in names)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--large", action="store_true", help="16 photographs of 12 MP instead of 12 of 2 MP")
    parser.add_argument("--photos", type=int, help="how many photographs")
    parser.add_argument("--kinds", default=",".join(KINDS), help="matte kinds, comma-separated")
    parser.add_argument("--no-service", action="store_true", help="leave the service out")
    parser.add_argument("--no-memory", action="store_true", help="leave the 1,000-photograph memory run out")
    parser.add_argument("--case", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        case, kind, source, target = args.case
        print(json.dumps(CASES[case](kind, Path(source), Path(target)) | {"peak_mb": peak_resident_mb()}))
        return

    from portrait_studio.core.threads import cores

    count = args.photos or (16 if args.large else 12)
    width, height = (4000, 3000) if args.large else (1600, 1200)
    kinds = [kind for kind in args.kinds.split(",") if kind]
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        photos = make_photos(folder / "in", count, width, height)
        print(f"{cores()} cores; {count} JPEGs of {width * height / 1e6:.1f} MP; load average "
              f"{' '.join(f'{x:.1f}' for x in os.getloadavg())}; each case in a fresh process\n")
        print("| kind | case | seconds | photos/s | CPU s | peak MB | x loop | same bytes |")
        print("|---|---|---:|---:|---:|---:|---:|---|")
        for kind in kinds:
            loop = measure("loop", kind, photos, folder / f"loop-{kind}")
            pool = measure("pool", kind, photos, folder / f"pool-{kind}")
            floor = measure("floor", kind, photos, folder / "unused")
            same = same_bytes(folder / f"loop-{kind}", folder / f"pool-{kind}")
            for label, run in (("loop", loop), ("pool", pool)):
                print(f"| {kind} | {label} | {run['seconds']:.2f} | {count / run['seconds']:.2f} | {run['cpu']:.1f} "
                      f"| {run['peak_mb']:.0f} | {run['seconds'] / loop['seconds']:.2f} "
                      f"| {'yes' if label == 'loop' or same else 'NO'} |")
            bound = floor["seconds"] / cores()
            print(f"| {kind} | floor / {cores()} cores (decode {1000 * floor['decode'] / count:.0f} ms, networks "
                  f"{1000 * floor['networks'] / count:.0f} ms, encode {1000 * floor['encode'] / count:.0f} ms "
                  f"per photograph on one thread) | {bound:.2f} | {count / bound:.2f} | | | "
                  f"{bound / loop['seconds']:.2f} | |")
        if not args.no_memory:
            small = make_photos(folder / "small", 10, 640, 480)
            many = folder / "many"
            many.mkdir()
            for index in range(1000):
                os.link(small / f"photo{index % 10:04d}.jpg", many / f"photo{index:04d}.jpg")
            print("\n| photographs (0.3 MP, model) | seconds | peak MB |")
            print("|---:|---:|---:|")
            for n, source in ((10, small), (1000, many)):
                run = measure("pool", "model", source, folder / f"mem-{n}")
                print(f"| {n} | {run['seconds']:.2f} | {run['peak_mb']:.0f} |")
        if args.no_service:
            return
        print("\n| kind | case | seconds | photos/s | CPU s | peak MB | x in-process |")
        print("|---|---|---:|---:|---:|---:|---:|")
        for kind in kinds:
            alone = measure("in-process", kind, photos, folder / "unused")
            service = serve(kind, photos, cores())
            for label, run in (("in-process loop", alone), (f"service, {cores()} engines", service)):
                print(f"| {kind} | {label} | {run['seconds']:.2f} | {count / run['seconds']:.2f} | {run['cpu']:.1f} "
                      f"| {run['peak_mb']:.0f} | {run['seconds'] / alone['seconds']:.2f} |")


if __name__ == "__main__":
    main()
