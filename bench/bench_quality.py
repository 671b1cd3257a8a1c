"""Quality of the cut-outs with one network and with two, on a tuning part and
a held-out part, and the confidence's ranking of the bad ones.

    python bench/bench_quality.py [--part tuning|held-out|fresh|all] [--rembg] [--no-timing] [--quick]

The photographs: the five reference portraits (bench/data/matting) and their
composites over 19 backgrounds (bench/make_composites.py, built into
bench/.cache on first use), split by person and by background in
make_composites.py. The rules' constants are chosen on the tuning part; the
held-out part is what the targets are read on, and the fresh part (the
held-out people over seven drawn everyday scenes, added last) is a second
look no choice has seen. Methods:

    model-only   the engine's matte: the segmenter's plane stretched by nearest neighbour
    fast         the refinement on the segmenter's plane alone
    refined      the refinement on the fused plane of both networks (core.fusion), the default
    rembg        rembg's u2netp session, its mask as the matte (--rembg)

Both networks' planes and the model-only and fast SADs are cached in
bench/.cache/planes, keyed by the photograph's bytes and the model files, so a
rerun only fuses and refines. SAD: sum |alpha - reference| / 1000 (alpha in
[0, 1]). Then, per part, the targets, the confidence check (the lowest fifth
by confidence against the photographs whose SAD is above twice the part's
median, and the ROC AUC of the confidence for telling them apart) and the
photographs marked for review; last, a 12 MP JPEG to a white JPEG from the
command line (`--matte model`, `fast` and the default), whole processes,
best of three taken in turn. rembg (`pip install "rembg[cpu]"`) and
scikit-image are benchmark dependencies only; rembg runs offline on a copy of
the bundled u2netp.onnx in a temporary U2NET_HOME.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import math
import os
import shutil
import statistics
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from measure import peak_resident_mb, twelve_megapixel_jpeg
from measure import spawn as spawn_worker

HERE = Path(__file__).resolve().parent
CACHE = HERE / ".cache" / "planes"
CACHE_VERSION = "planes v1"


@dataclass(frozen=True)
class Photograph:
    name: str
    part: str  # "tuning", "held-out" or "fresh"
    kind: str  # "real" or "composite"
    photo: Path
    matte: Path


def photographs(parts=("tuning", "held-out", "fresh")) -> list[Photograph]:
    sys.path.insert(0, str(HERE))
    import make_composites

    real = HERE / "data" / "matting"
    out = [Photograph(p.stem, make_composites.part_of(p.stem), "real", p, real / "mattes" / (p.stem + ".png"))
           for p in sorted((real / "photos").glob("*.jpg"))]
    folder = make_composites.build()
    for part, names in make_composites.names().items():
        out += [Photograph(n, part, "composite", folder / "photos" / f"{n}.png", folder / "mattes" / f"{n}.png")
                for n in names]
    return [p for p in out if p.part in parts]


def errors(alpha, reference) -> tuple[float, float]:
    difference = np.abs(alpha.astype(np.float64) - reference)
    band = (reference > 0) & (reference < 1)
    return float(difference.sum() / 1000), float(difference[band].mean()) if band.any() else 0.0


def reference_of(photograph: Photograph) -> np.ndarray:
    import cv2

    return cv2.imread(str(photograph.matte), cv2.IMREAD_GRAYSCALE).astype(np.float64) / 255.0


class Networks:
    """The segmenter and u2netp, loaded once, and the cache of what they say."""

    def __init__(self):
        from portrait_studio import Cutout
        from portrait_studio.core.models import bundled_model_path
        from portrait_studio.core.saliency import Saliency, bundled_path

        self.cutout, self.saliency = Cutout(), Saliency()
        models = "".join(f"{Path(p).name}:{os.path.getsize(p)}" for p in (bundled_model_path(), bundled_path()))
        self.models = CACHE_VERSION + models

    def planes(self, photograph: Photograph, photo: np.ndarray) -> dict:
        """{"segmenter", "saliency": planes; "model", "fast": their SADs}."""
        from portrait_studio.core.compose import sanitise_alpha

        key = hashlib.sha256(self.models.encode() + photograph.photo.read_bytes()).hexdigest()[:20]
        path = CACHE / f"{photograph.name}-{key}.npz"
        if path.exists():
            with np.load(path) as stored:
                return {k: stored[k] for k in stored.files}
        reference = reference_of(photograph)
        made = {"segmenter": sanitise_alpha(self.cutout.model_plane(photo)), "saliency": self.saliency.plane(photo),
                "model": np.float64(errors(self.cutout.matte(photo, "model"), reference)[0]),
                "fast": np.float64(errors(self.cutout.matte(photo, "fast"), reference)[0])}
        CACHE.mkdir(parents=True, exist_ok=True)
        temporary = path.with_name(f".{path.stem}.tmp.npz")
        np.savez(temporary, **made)
        os.replace(temporary, path)
        return made


def evaluate(photos: list[Photograph], settings=None, networks: Networks | None = None) -> list[dict]:
    """Per photograph: the model-only, fast and default (refined) SADs and the
    default's confidence, with the fusion `settings` (the defaults if None)."""
    import cv2

    from portrait_studio.core import fusion
    from portrait_studio.core.refine import FUSED, refine

    networks = networks or Networks()
    settings = settings or fusion.DEFAULT
    runs = []
    for photograph in photos:
        photo = cv2.imread(str(photograph.photo))
        planes = networks.planes(photograph, photo)
        fused = fusion.fuse(planes["segmenter"], planes["saliency"], settings)
        alpha, _ = refine(photo, fused.plane, FUSED, foreground=False)
        runs.append({"name": photograph.name, "part": photograph.part, "kind": photograph.kind,
                     "model": float(planes["model"]), "fast": float(planes["fast"]),
                     "refined": errors(alpha, reference_of(photograph))[0],
                     "confidence": fused.confidence, "review": fused.review})
    return runs


def roc_auc(scores: list[float], positive: list[bool]) -> float:
    """The chance that a bad cut-out has a lower confidence than a good one
    (ties count half): the area under the ROC curve of low confidence as a
    detector of bad cut-outs."""
    bad = [s for s, p in zip(scores, positive, strict=True) if p]
    good = [s for s, p in zip(scores, positive, strict=True) if not p]
    if not bad or not good:
        return float("nan")
    wins = sum((b < g) + 0.5 * (b == g) for b in bad for g in good)
    return wins / (len(bad) * len(good))


def confidence_check(runs: list[dict]) -> dict:
    median = statistics.median(r["refined"] for r in runs)
    bad = [r["refined"] > 2 * median for r in runs]
    fifth = math.ceil(len(runs) / 5)
    order = sorted(range(len(runs)), key=lambda i: runs[i]["confidence"])
    caught = sum(bad[i] for i in order[:fifth])
    return {"median": median, "bad": sum(bad), "fifth": fifth, "caught": caught,
            "auc": roc_auc([r["confidence"] for r in runs], bad), "flags": bad}


# Within this many thousands of SAD above 1.5 x `fast`'s, a default cut-out
# counts as no worse than the segmenter alone.
FAST_SLACK = 2.0


def report(part: str, runs: list[dict], rembg: dict | None = None) -> None:
    methods = ("model", "fast", "refined") + (("rembg",) if rembg else ())
    if rembg:
        runs = [{**r, "rembg": rembg[r["name"]]} for r in runs]
    print(f"\n### {part} part ({len(runs)} photographs)\n")
    print(f"| set | photographs | median SAD model-only | fast | refined |{' rembg u2netp |' if rembg else ''} "
          f"refined x model-only |{' rembg x model-only |' if rembg else ''} target |")
    print("|---|---|---|---|---|---|" + ("---|---|" if rembg else "") + "---|")

    def row(label, count, values, target):
        ratio = values["refined"] / values["model"]
        cells = " | ".join(f"{values[m]:.1f}" for m in methods)
        peer = f" {values['rembg'] / values['model']:.2f} |" if rembg else ""
        print(f"| {label} | {count} | {cells} | {ratio:.2f} |{peer} <= {target} {'met' if ratio <= target else 'MISSED'} |")

    for kind, target in (("real", 0.5), ("composite", 0.45)):
        chosen = [r for r in runs if r["kind"] == kind]
        if chosen:
            row(kind, len(chosen), {m: statistics.median(r[m] for r in chosen) for m in methods}, target)
    row("all, mean", len(runs), {m: statistics.mean(r[m] for r in runs) for m in methods}, 0.6)

    worse = [r for r in runs if r["refined"] > 1.5 * r["model"] + 2 and not r["review"]]
    unlike_fast = [r for r in runs if r["refined"] > 1.5 * r["fast"] + FAST_SLACK and not r["review"]]
    print(f"\nAbove 1.5 x model-only + 2 and not marked for review: {len(worse)} "
          f"({'met' if not worse else 'MISSED'}){''.join(f'; {r["name"]} {r["refined"]:.1f} against {r["model"]:.1f}' for r in worse)}")
    print(f"Above 1.5 x fast + {FAST_SLACK:g} and not marked for review: {len(unlike_fast)}"
          f"{''.join(f'; {r["name"]} {r["refined"]:.1f} against {r["fast"]:.1f}' for r in unlike_fast)}")

    check = confidence_check(runs)
    share = check["caught"] / max(1, check["bad"])
    print(f"Confidence: {check['bad']} above twice the median SAD (above {2 * check['median']:.1f}); the lowest fifth "
          f"({check['fifth']}) holds {check['caught']} ({share:.0%}; target 75 % "
          f"{'met' if share >= 0.75 else 'MISSED'}; at most {min(check['fifth'], check['bad']) / max(1, check['bad']):.0%} "
          f"fit in its places); ROC AUC {check['auc']:.2f}")
    reviewed = [r for r, b in zip(runs, check["flags"], strict=True) if r["review"]]
    print(f"Marked for review: {len(reviewed)} of {len(runs)}, holding "
          f"{sum(b for r, b in zip(runs, check['flags'], strict=True) if r['review'])} of the {check['bad']} bad; "
          f"real portraits marked: {sum(r['kind'] == 'real' for r in reviewed)}")


def rembg_sads(photos: list[Photograph]) -> dict:
    from portrait_studio.core.saliency import bundled_path

    with tempfile.TemporaryDirectory() as home:
        shutil.copy(bundled_path(), Path(home) / "u2netp.onnx")
        env = {**os.environ, "U2NET_HOME": home}
        listing = json.dumps([[p.name, str(p.photo), str(p.matte)] for p in photos])
        return spawn("rembg", listing, env=env)


def rembg_worker(listing: str) -> dict:
    import cv2
    from PIL import Image
    from rembg import new_session, remove

    session = new_session("u2netp")
    out = {}
    for name, photo_path, matte_path in json.loads(listing):
        photo = cv2.imread(photo_path)
        rgba = remove(Image.fromarray(photo[:, :, ::-1].copy()), session=session)
        reference = cv2.imread(matte_path, cv2.IMREAD_GRAYSCALE).astype(np.float64) / 255.0
        out[name] = errors(np.asarray(rgba)[:, :, 3].astype(np.float32) / 255.0, reference)[0]
    return out


def white_worker(method: str, source: str, target: str) -> dict:
    """The command line in this process, as a user runs it."""
    from portrait_studio.frontends.cli import main

    matte = {"model-only": "model", "refined": "refined"}.get(method, method)
    if main([source, "-o", target, "-q", "--matte", matte]) not in (0, None):
        raise SystemExit(f"portrait-main --matte {matte} failed")
    return {"peak_mb": peak_resident_mb()}


WORKERS = {"white": white_worker, "rembg": rembg_worker}


def spawn(kind: str, *args: str, env=None) -> dict:
    return spawn_worker(__file__, kind, *args, env=env)


def timing(repeat: int) -> None:
    with tempfile.TemporaryDirectory() as folder:
        source = sorted((HERE / "data" / "matting" / "photos").glob("*.jpg"))[0]
        path = twelve_megapixel_jpeg(Path(folder), source)
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--part", choices=["tuning", "held-out", "fresh", "all"], default="all")
    parser.add_argument("--rembg", action="store_true", help="also run rembg's u2netp (slow)")
    parser.add_argument("--no-timing", action="store_true", help="leave out the 12 MP command-line timing")
    parser.add_argument("--quick", action="store_true", help="one run per 12 MP case instead of three")
    parser.add_argument("--json", type=Path, help="also write every photograph's numbers here")
    parser.add_argument("--worker", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        kind, *rest = args.worker
        print(json.dumps(WORKERS[kind](*rest)))
        return

    parts = ("tuning", "held-out", "fresh") if args.part == "all" else (args.part,)
    photos = photographs(parts)
    runs = evaluate(photos)
    rembg = rembg_sads(photos) if args.rembg else None
    for part in parts:
        report(part, [r for r in runs if r["part"] == part], rembg)
    if args.json:
        args.json.write_text(json.dumps([{**r, **({"rembg": rembg[r["name"]]} if rembg else {})} for r in runs], indent=1))
    if not args.no_timing:
        timing(1 if args.quick else 3)


if __name__ == "__main__":
    main()
