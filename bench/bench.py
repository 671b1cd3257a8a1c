"""Times the main job and measures its memory, in a fresh process per case.

    python bench/bench.py [--quick]

For photographs of about 0.3, 2 and 12 megapixels (JPEG in, JPEG out, and
12 megapixels PNG out), at the default input size with the bundled model, it
prints the median seconds per call and the peak resident memory of:

  native    this engine, as installed (its native path)
  steps     this engine made to take its step-by-step NumPy path
            (np rebound to a transparent stand-in, which turns the native path off)
  script    a plain Python script doing the same steps with NumPy and OpenCV
  floor     cv2.imread + session.run at the input size + cv2.imwrite alone

Ratios are against the script and the floor of the same photograph, measured
in the same run. Timings are for comparison on one machine, not absolutes.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from measure import peak_resident_mb

REPO = Path(__file__).resolve().parent.parent
SAMPLE = REPO / "samples" / "astronaut.png"

PHOTOS = {  # name: (width, height)
    "0.3 MP": (640, 480),
    "2 MP": (1632, 1224),
    "12 MP": (4000, 3000),
}
CASES = [("0.3 MP", "jpg"), ("2 MP", "jpg"), ("12 MP", "jpg"), ("12 MP", "png")]
VARIANTS = ["native", "steps", "script", "floor"]


def make_photo(folder: Path, name: str) -> Path:
    import cv2
    import numpy as np

    width, height = PHOTOS[name]
    path = folder / f"photo_{width}x{height}.jpg"
    if not path.exists():
        photo = cv2.resize(cv2.imread(str(SAMPLE)), (width, height), interpolation=cv2.INTER_CUBIC)
        grain = np.random.default_rng(0).normal(0, 4, photo.shape)  # a photograph's texture
        photo = np.clip(photo + grain, 0, 255).astype(np.uint8)
        cv2.imwrite(str(path), photo, [cv2.IMWRITE_JPEG_QUALITY, 92])
    return path


# ---- one case, in its own process ---------------------------------------------------------


def script_pipeline(session, cv2, np, image_path: str, save_path: str) -> None:
    img = cv2.imread(image_path)
    raw_image = cv2.cvtColor(img, cv2.COLOR_BGR2RGB)
    h1, w1, _ = raw_image.shape
    image = raw_image.astype(np.float32, copy=False) / 255.0
    image -= [0.5, 0.5, 0.5]
    image /= [0.5, 0.5, 0.5]
    image = cv2.resize(image, (512, 512), interpolation=cv2.INTER_LINEAR)
    image = np.transpose(image, [2, 0, 1])[None, :, :, :]
    mask = session.run(["output"], {"input": image.astype(np.float32)})[0]
    matte_np = cv2.resize(mask[0, 0], (w1, h1), interpolation=cv2.INTER_NEAREST)
    matte_np = np.expand_dims(matte_np, axis=-1)
    matting_frame = matte_np * img + (1 - matte_np) * np.full(img.shape, 255.0)
    cv2.imwrite(save_path, matting_frame.astype("uint8"))




def run_case(variant: str, photo: str, save_path: str, repeat: int) -> dict:
    import types

    import cv2
    import numpy as np
    import onnxruntime
    import portrait_main

    model = str(Path(portrait_main.__file__).parent / "modnet.onnx")
    if variant in ("native", "steps"):
        engine = portrait_main.QuorinPortraitMain(model)
        if variant == "steps":
            stand_in = types.ModuleType("numpy")
            stand_in.__getattr__ = lambda name: getattr(np, name)
            portrait_main.np = stand_in
        job = lambda: engine._image(photo, save_path)  # noqa: E731
    else:
        session = onnxruntime.InferenceSession(model)
        if variant == "script":
            job = lambda: script_pipeline(session, cv2, np, photo, save_path)  # noqa: E731
        else:
            tensor = np.zeros((1, 3, 512, 512), np.float32)

            def job():
                img = cv2.imread(photo)
                session.run(["output"], {"input": tensor})
                cv2.imwrite(save_path, img)

    baseline = peak_resident_mb()
    times = []
    for _ in range(repeat + 1):  # the first call warms caches and is not counted
        start = time.perf_counter()
        job()
        times.append(time.perf_counter() - start)
    peak = peak_resident_mb()
    return {"seconds": statistics.median(times[1:]), "peak_mb": peak, "added_mb": peak - baseline}


# ---- the table ----------------------------------------------------------------------------


def measure(variant: str, photo: Path, ext: str, folder: Path, repeat: int) -> dict:
    save = folder / f"out_{variant}.{ext}"
    result = subprocess.run(
        [sys.executable, __file__, "--worker", variant, str(photo), str(save), str(repeat)],
        capture_output=True, text=True, check=False,
    )
    if result.returncode != 0:
        raise SystemExit(f"{variant} on {photo.name} failed:\n{result.stderr}")
    return json.loads(result.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    parser.add_argument("--worker", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        variant, photo, save, repeat = args.worker
        print(json.dumps(run_case(variant, photo, save, int(repeat))))
        return

    print(f"{os.cpu_count()} cores; median seconds per call, peak resident MB (MB added by the calls)\n")
    header = f"{'photo':<14}" + "".join(f"{v:>22}" for v in VARIANTS) + f"{'native/script':>15}{'native/floor':>14}{'mem n/s':>9}"
    print(header)
    print("-" * len(header))
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        for name, ext in CASES:
            photo = make_photo(folder, name)
            repeat = {"0.3 MP": 20, "2 MP": 10, "12 MP": 7}[name] // (2 if args.quick else 1)
            row = {v: measure(v, photo, ext, folder, repeat) for v in VARIANTS}
            if ext == "png" or name != "12 MP":
                same = (folder / f"out_native.{ext}").read_bytes() == (folder / f"out_steps.{ext}").read_bytes()
                assert same, "native and step-by-step outputs differ"
            cells = "".join(
                f"{row[v]['seconds']:>9.3f} s {row[v]['peak_mb']:>5.0f} ({row[v]['added_mb']:>4.0f})" for v in VARIANTS
            )
            ratio_script = row["native"]["seconds"] / row["script"]["seconds"]
            ratio_floor = row["native"]["seconds"] / row["floor"]["seconds"]
            memory = row["native"]["peak_mb"] / row["script"]["peak_mb"]
            label = f"{name} {ext.upper()}"
            print(f"{label:<14}{cells}{ratio_script:>15.2f}{ratio_floor:>14.2f}{memory:>9.2f}", flush=True)


if __name__ == "__main__":
    main()
