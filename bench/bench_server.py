"""The HTTP service under load: 200 cut-outs, 8 at a time, on loopback.

    python bench/bench_server.py [--requests 200] [--concurrency 8]

For a 0.3 MP JPEG photograph (PNG out) and each matte kind, it starts
`portrait-main serve` with 1 and with 2 engines, sends the requests from 8
client threads and prints the median (p50) and 95th-percentile (p95) latency,
the throughput, the server's resident memory after start-up and at its peak.
The alternative it is compared with is what a Python programmer would write
instead of calling a service: `Cutout` in a loop, rendering and encoding the
same picture in this process, on one thread or on two threads with an engine
each (`in-process`). Ratios are of throughput against the faster of those,
measured in the same run.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import re
import subprocess
import sys
import threading
import time
from pathlib import Path

import cv2
import httpx
import numpy as np

REPO = Path(__file__).resolve().parent.parent
SAMPLE = REPO / "samples" / "astronaut.png"


def make_photo() -> bytes:
    photo = cv2.resize(cv2.imread(str(SAMPLE)), (640, 480), interpolation=cv2.INTER_CUBIC)
    grain = np.random.default_rng(0).normal(0, 4, photo.shape)
    photo = np.clip(photo + grain, 0, 255).astype(np.uint8)
    return cv2.imencode(".jpg", photo, [cv2.IMWRITE_JPEG_QUALITY, 92])[1].tobytes()


def memory_mb(pid: int, field: str) -> float:
    status = Path(f"/proc/{pid}/status").read_text()
    return int(re.search(rf"{field}:\s+(\d+) kB", status).group(1)) / 1024


def start_server(workers: int):
    process = subprocess.Popen(
        [sys.executable, "-m", "portrait_studio.frontends.cli", "serve", "--port", "0", "--workers", str(workers)],
        stdout=subprocess.PIPE, text=True,
    )
    url = re.search(r"http://\S+", process.stdout.readline()).group(0)
    with httpx.Client(base_url=url) as client:
        assert client.get("/healthz").status_code == 200
    return process, url


def load(url: str, photo: bytes, matte: str, requests: int, concurrency: int):
    latencies: list[float] = []
    errors = 0
    lock = threading.Lock()
    with httpx.Client(base_url=url, timeout=120, limits=httpx.Limits(max_connections=concurrency)) as client:

        def one(_):
            nonlocal errors
            started = time.perf_counter()
            answer = client.post("/v1/cutout", files={"image": ("photo.jpg", photo)}, data={"matte": matte})
            elapsed = time.perf_counter() - started
            with lock:
                latencies.append(elapsed)
                errors += answer.status_code != 200

        one(None)  # warm-up, not counted
        latencies.clear()
        started = time.perf_counter()
        with concurrent.futures.ThreadPoolExecutor(concurrency) as threads:
            list(threads.map(one, range(requests)))
        wall = time.perf_counter() - started
    return latencies, errors, wall


def in_process(photo: bytes, matte: str, requests: int, threads: int) -> float:
    """Cut-outs per second of `threads` threads, each with its own Cutout."""
    import os

    from portrait_studio import Cutout, Request
    from portrait_studio.core import imageio

    request = Request(matte=matte)
    cores = os.cpu_count() or 1
    cutouts = [Cutout(threads=max(1, cores // threads)) for _ in range(threads)]

    def run(cutout, count):
        for _ in range(count):
            imageio.encode(cutout.render(imageio.decode_photo(photo), request), "png")

    for cutout in cutouts:
        run(cutout, 1)
    started = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        list(pool.map(run, cutouts, [requests // threads] * threads))
    return (requests // threads * threads) / (time.perf_counter() - started)


def percentile(values: list[float], q: float) -> float:
    return float(np.percentile(values, q))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--requests", type=int, default=200)
    parser.add_argument("--concurrency", type=int, default=8)
    args = parser.parse_args()
    photo = make_photo()
    rows = []
    for matte in ("model", "refined"):
        one, two = (in_process(photo, matte, max(20, args.requests // 4), threads) for threads in (1, 2))
        alternative = max(one, two)
        rows.append((matte, "in-process, 1 thread", "", "", f"{one:.1f}", f"{one / alternative:.2f}", "", "", ""))
        rows.append((matte, "in-process, 2 threads", "", "", f"{two:.1f}", f"{two / alternative:.2f}", "", "", ""))
        for workers in (1, 2):
            process, url = start_server(workers)
            try:
                idle = memory_mb(process.pid, "VmRSS")
                latencies, errors, wall = load(url, photo, matte, args.requests, args.concurrency)
                peak = memory_mb(process.pid, "VmHWM")
            finally:
                process.terminate()
                process.wait(60)
            throughput = args.requests / wall
            rows.append((
                matte, f"service, {workers} engine{'s' if workers > 1 else ''}",
                f"{percentile(latencies, 50) * 1000:.0f} ms", f"{percentile(latencies, 95) * 1000:.0f} ms",
                f"{throughput:.1f}", f"{throughput / alternative:.2f}", f"{idle:.0f} MB", f"{peak:.0f} MB", str(errors),
            ))
    print(f"{args.requests} requests, {args.concurrency} at a time, 640x480 JPEG in, PNG out, loopback")
    print()
    print("| matte | how | p50 | p95 | cut-outs/s | vs best in-process | server RSS idle | server RSS peak | errors |")
    print("|---|---|---|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    return 0 if all(row[-1] in ("", "0") for row in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
