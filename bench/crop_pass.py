"""A second look on a crop around the person against one pass (not taken: docs/benchmarks.md).

    python bench/crop_pass.py [tuning] [MARGIN,MARGIN,...]      ONLY_A=1 for variant A alone,
                                                                FRAME_SHAPE=1 for a box of the frame's shape

For each margin around the segmenter's first-pass person box, both networks
run again on the crop (cached in bench/.cache/crop):

    A  the crop's planes pasted into the full-frame 320 x 320 planes, then fused (carried to the held-out part)
    B  fused inside the crop, the fused plane pasted into the first pass's at the crop's resolution
    S  the segmenter's crop plane alone pasted, refined, against `fast` (a crop pass for `--matte fast`)

Printed: mean SAD and the medians on real portraits and composites, as
multiples of model-only (S: of `fast`). The margin was chosen on the tuning
part; `held-out 0.25` is the one held-out run, made after.
"""
from __future__ import annotations

import hashlib
import os
import statistics
import sys

import cv2
import numpy as np
from bench_quality import CACHE, Networks, errors, photographs, reference_of


def box_of(plane, rows, columns, margin):
    mask = plane > 0.5
    if not mask.any():
        return None
    h, w = plane.shape
    ys, xs = np.flatnonzero(mask.any(1)), np.flatnonzero(mask.any(0))
    top, bottom = ys[0] * rows / h, (ys[-1] + 1) * rows / h
    left, right = xs[0] * columns / w, (xs[-1] + 1) * columns / w
    pad_y, pad_x = margin * (bottom - top), margin * (right - left)
    top, bottom, left, right = top - pad_y, bottom + pad_y, left - pad_x, right + pad_x
    if os.environ.get("FRAME_SHAPE"):
        # Grow the box's shorter side until it has the frame's shape, so the
        # networks' square inputs stretch the crop as they stretch the frame.
        height, width = bottom - top, right - left
        if height / width < rows / columns:
            grow = (width * rows / columns - height) / 2
            top, bottom = top - grow, bottom + grow
        else:
            grow = (height * columns / rows - width) / 2
            left, right = left - grow, right + grow
        # Slide back inside the frame where it can.
        shift_y = max(0.0, -top) - max(0.0, bottom - rows)
        shift_x = max(0.0, -left) - max(0.0, right - columns)
        top, bottom, left, right = top + shift_y, bottom + shift_y, left + shift_x, right + shift_x
    t, b = max(0, int(np.floor(top))), min(rows, int(np.ceil(bottom)))
    lf, r = max(0, int(np.floor(left))), min(columns, int(np.ceil(right)))
    return t, b, lf, r


def paste(full, crop_plane, box, rows, columns, size):
    """full-frame plane at `size` (h, w) with the crop's plane in the box."""
    t, b, lf, r = box
    h, w = size
    out = cv2.resize(full.astype(np.float32), (w, h), interpolation=cv2.INTER_LINEAR)
    y0, y1 = round(t * h / rows), round(b * h / rows)
    x0, x1 = round(lf * w / columns), round(r * w / columns)
    if y1 > y0 and x1 > x0:
        out[y0:y1, x0:x1] = cv2.resize(crop_plane.astype(np.float32), (x1 - x0, y1 - y0), interpolation=cv2.INTER_LINEAR)
    return out


def main():
    from portrait_studio.core import fusion
    from portrait_studio.core.compose import sanitise_alpha
    from portrait_studio.core.refine import FUSED, refine

    part = sys.argv[1] if len(sys.argv) > 1 else "tuning"
    margins = [float(m) for m in (sys.argv[2].split(",") if len(sys.argv) > 2 else ["0.15"])]
    photos = photographs((part,))
    nets = Networks()
    crop_cache = CACHE.parent / "crop"
    crop_cache.mkdir(exist_ok=True)
    rows_out = {}
    for p in photos:
        photo = cv2.imread(str(p.photo))
        H, W = photo.shape[:2]
        planes = nets.planes(p, photo)
        ref = reference_of(p)
        base = fusion.fuse(planes["segmenter"], planes["saliency"])
        a, _ = refine(photo, base.plane, FUSED, foreground=False)
        rec = {"kind": p.kind, "model": float(planes["model"]), "base": errors(a, ref)[0], "basec": base.confidence}
        for m in margins:
            box = box_of(planes["segmenter"], H, W, m)
            if box is None:
                for v in ("A", "B", "S"):
                    rec[f"{v}{m}"] = rec["base"]
                continue
            t, b, lf, r = box
            key = hashlib.sha256(nets.models.encode() + p.photo.read_bytes() + repr(box).encode()).hexdigest()[:16]
            path = crop_cache / f"{p.name}-{key}.npz"
            if path.exists():
                with np.load(path) as z:
                    cs, cu = z["s"], z["u"]
            else:
                crop = np.ascontiguousarray(photo[t:b, lf:r])
                cs = sanitise_alpha(nets.cutout.model_plane(crop))
                cu = nets.saliency.plane(crop)
                np.savez(path, s=cs, u=cu)
            S = fusion.SIZE
            # A: crop planes pasted into the 320 full-frame planes, fused there.
            ps = paste(planes["segmenter"], cs, box, H, W, (S, S))
            pu = paste(planes["saliency"], cu, box, H, W, (S, S))
            fa = fusion.fuse(ps, pu)
            a, _ = refine(photo, fa.plane, FUSED, foreground=False)
            rec[f"A{m}"] = errors(a, ref)[0]
            rec[f"A{m}c"] = fa.confidence
            if os.environ.get("ONLY_A"):
                continue
            # B: fused in the crop, the fused plane pasted at the crop's resolution.
            fb = fusion.fuse(cs, cu)
            size = (min(2048, round(S * H / (b - t))), min(2048, round(S * W / (r - lf))))
            plane = np.clip(paste(base.plane, fb.plane, box, H, W, size), 0, 1)
            a, _ = refine(photo, plane, FUSED, foreground=False)
            rec[f"B{m}"] = errors(a, ref)[0]
            rec[f"B{m}c"] = fb.confidence
            # S: only the segmenter's crop plane (for fast): refine on it pasted.
            ss = paste(planes["segmenter"], cs, box, H, W, size)
            a, _ = refine(photo, ss, foreground=False)
            rec[f"S{m}"] = errors(a, ref)[0]
            rec["fast"] = float(planes["fast"])
        rows_out[p.name] = rec
    keys = ["base"] + [f"{v}{m}" for m in margins for v in (("A",) if os.environ.get("ONLY_A") else ("A", "B"))]
    runs = list(rows_out.values())
    print("| variant | mean x model | real median x | composites median x |")
    print("|---|---|---|---|")
    def line(k, ref="model"):
        real = [r for r in runs if r["kind"] == "real"]
        comp = [r for r in runs if r["kind"] == "composite"]
        return (f"| {k} | {statistics.mean(r[k] for r in runs) / statistics.mean(r[ref] for r in runs):.3f} | "
                f"{statistics.median(r[k] for r in real) / statistics.median(r[ref] for r in real):.3f} | "
                f"{statistics.median(r[k] for r in comp) / statistics.median(r[ref] for r in comp):.3f} |")
    for k in keys:
        better = sum(r[k] < r["base"] - 0.5 for r in runs)
        worse = sum(r[k] > r["base"] + 0.5 for r in runs)
        print(line(k), f"better by over 0.5: {better}, worse: {worse}")
    for m in ([] if os.environ.get("ONLY_A") else margins):
        print("segmenter crop vs fast:", line(f"S{m}", "fast"), "fast itself x model:", line("fast"))


if __name__ == "__main__":
    main()
