"""What every benchmark measures the same way."""

import json
import subprocess
import sys
import time
from pathlib import Path


def peak_resident_mb() -> float:
    """This process's peak resident memory. VmHWM belongs to this process's own
    address space; ru_maxrss would also count the parent's memory at the fork
    before exec."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def spawn(script: str, kind: str, *args: str, env=None) -> dict:
    """`script --worker kind args...` in a fresh interpreter: its last line of
    output (JSON), with the whole process's wall time as "wall"."""
    start = time.perf_counter()
    result = subprocess.run([sys.executable, script, "--worker", kind, *args], capture_output=True, text=True, env=env)
    wall = time.perf_counter() - start
    if result.returncode != 0:
        raise SystemExit(f"{kind} {' '.join(args)} failed:\n{result.stderr}")
    return {**json.loads(result.stdout.strip().splitlines()[-1]), "wall": wall}


def twelve_megapixel_jpeg(folder: Path, source: Path) -> Path:
    """`source` grown to 4000 x 3000 with a little grain (a photograph's
    texture, not a smooth upscale), as a quality-92 JPEG in `folder`."""
    import cv2
    import numpy as np

    photo = cv2.resize(cv2.imread(str(source)), (4000, 3000), interpolation=cv2.INTER_CUBIC)
    grain = np.random.default_rng(0).normal(0, 3, photo.shape)
    path = folder / "portrait_12mp.jpg"
    cv2.imwrite(str(path), np.clip(photo + grain, 0, 255).astype(np.uint8), [cv2.IMWRITE_JPEG_QUALITY, 92])
    return path
