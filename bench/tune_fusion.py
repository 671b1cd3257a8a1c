"""The rule's constants against the tuning part alone.

    python bench/tune_fusion.py

Every variant below is fused and refined on the tuning part of the set
(bench/make_composites.py's split; the held-out part is never read here) and
scored by its mean and median SAD; refined SADs are kept by the fused plane's
hash, so a variant that changes few photographs costs few refinements. Then
the refinement's disputed values on the fused plane (refine.FUSED), and the
confidence's constants are scored by the ranking of the tuning part's bad
cut-outs (the lowest fifth's share and the ROC AUC) under the chosen rule.
"""

from __future__ import annotations

import dataclasses
import hashlib
import itertools
import statistics

import cv2
import numpy as np
from bench_quality import Networks, confidence_check, errors, photographs, reference_of


def main() -> None:
    from portrait_studio.core import fusion
    from portrait_studio.core.refine import FUSED, refine

    photos = photographs(("tuning",))
    networks = Networks()
    loaded = []
    for p in photos:
        photo = cv2.imread(str(p.photo))
        loaded.append((p, photo, networks.planes(p, photo), reference_of(p)))
    memo: dict[str, float] = {}

    def score(settings):
        runs = []
        for p, photo, planes, reference in loaded:
            fused = fusion.fuse(planes["segmenter"], planes["saliency"], settings)
            key = hashlib.sha256(fused.plane.tobytes()).hexdigest()
            if key not in memo:
                memo[key] = errors(refine(photo, fused.plane, FUSED, foreground=False)[0], reference)[0]
            runs.append({"name": p.name, "kind": p.kind, "refined": memo[key], "model": float(planes["model"]),
                         "fast": float(planes["fast"]), "fused": fused})
        return runs

    def summary(runs):
        composite = [r for r in runs if r["kind"] == "composite"]
        real = [r for r in runs if r["kind"] == "real"]
        return (statistics.mean(r["refined"] for r in runs) / statistics.mean(r["model"] for r in runs),
                statistics.median(r["refined"] for r in composite) / statistics.median(r["model"] for r in composite),
                statistics.median(r["refined"] for r in real) / statistics.median(r["model"] for r in real),
                sum(r["refined"] > 1.5 * r["fast"] + 2 for r in runs))

    base = fusion.DEFAULT
    print("| variant | mean x model | composites median x | real median x | above 1.5 x fast + 2 |")
    print("|---|---|---|---|---|")
    sweeps = {"opening": (2, 3, 4, 5), "least_region": (0.01, 0.02, 0.05), "segmenter_support": (0.2, 0.3, 0.4, 0.5),
              "segmenter_sure": (0.4, 0.5, 0.6, 0.7), "saliency_inside": (0.8, 0.9, 0.95),
              "figure_least": (0.1, 0.2, 0.5), "segmenter_least": (0.0, 0.02, 0.03, 0.05, 0.1, 0.2),
              "dispute_wrapping": (False, True)}
    for field, values in sweeps.items():
        for value in values:
            mean, composite, real, worse = summary(score(dataclasses.replace(base, **{field: value})))
            mark = " (default)" if value == getattr(base, field) else ""
            print(f"| {field} {value}{mark} | {mean:.3f} | {composite:.3f} | {real:.3f} | {worse} |", flush=True)

    # The refinement on the fused plane: which middle values are disputed
    # and decided before the band (refine.FUSED); also how much of the frame
    # is left faint (alpha 0.1-0.9) where the truth is background or person,
    # the ghosts and holes SAD weighs little.
    print("\n| disputed | mean x model | composites median x | real median x | faint over background, % of frame "
          "| faint over person |")
    print("|---|---|---|---|---|---|")
    fused_planes = [fusion.fuse(planes["segmenter"], planes["saliency"], base).plane for _, _, planes, _ in loaded]
    for disputed in (None, (0.4, 0.6), (0.35, 0.65), (0.3, 0.7), (0.25, 0.75), (0.2, 0.8), (0.15, 0.85)):
        band = dataclasses.replace(FUSED, disputed=disputed)
        runs, faint_back, faint_person = [], 0.0, 0.0
        for (p, photo, planes, reference), plane in zip(loaded, fused_planes, strict=True):
            alpha = refine(photo, plane, band, foreground=False)[0]
            runs.append({"kind": p.kind, "refined": errors(alpha, reference)[0], "model": float(planes["model"]),
                         "fast": float(planes["fast"])})
            faint = (alpha > 0.1) & (alpha < 0.9)
            faint_back += np.count_nonzero(faint & (reference < 0.02)) / alpha.size / len(loaded)
            faint_person += np.count_nonzero(faint & (reference > 0.98)) / alpha.size / len(loaded)
        mean, composite, real, _ = summary(runs)
        mark = " (default)" if band == FUSED else ""
        print(f"| {disputed}{mark} | {mean:.3f} | {composite:.3f} | {real:.3f} | {100 * faint_back:.3f} "
              f"| {100 * faint_person:.3f} |", flush=True)

    runs = score(base)
    print("\n| unsure_limit | overruled_limit | kept_full | agreement_full | lowest fifth holds | AUC |")
    print("|---|---|---|---|---|---|")
    results = []
    for limits in itertools.product((0.1, 0.15, 0.2, 0.25), (0.3, 0.6, 1.0, 9e9), (0.5, 0.8, 0.95), (0.5, 0.7, 0.9)):
        settings = dataclasses.replace(base, unsure_limit=limits[0], overruled_limit=limits[1], kept_full=limits[2],
                                       agreement_full=limits[3])
        check = confidence_check(graded(runs, settings))
        results.append((check["caught"] / max(1, check["bad"]), check["auc"], limits))
    ranked = sorted(results, key=lambda t: (-t[0], -t[1]))
    for share, auc, limits in ranked[:10] + [r for r in results if r[2] == (base.unsure_limit, base.overruled_limit,
                                                                           base.kept_full, base.agreement_full)]:
        print(f"| {' | '.join(f'{v:g}' for v in limits)} | {share:.0%} | {auc:.3f} |")
    check = confidence_check(graded(runs, base))
    print(f"\n{check['bad']} bad of {len(runs)}: at most {min(check['fifth'], check['bad']) / check['bad']:.0%} "
          f"fit in the lowest fifth ({check['fifth']} places)")

    # The review threshold: the least that marks every cut-out worse than
    # the segmenter alone would have been (or than model-only).
    confidences = [r["confidence"] for r in graded(runs, base)]
    worse = [c for r, c in zip(runs, confidences, strict=True)
             if r["refined"] > 1.5 * r["fast"] + 2 or r["refined"] > 1.5 * r["model"] + 2]
    for threshold in np.arange(0.05, 0.95, 0.05):
        if all(c < threshold for c in worse):
            marked = sum(c < threshold for c in confidences)
            real = sum(c < threshold for r, c in zip(runs, confidences, strict=True) if r["kind"] == "real")
            print(f"review below {threshold:.2f}: marks all {len(worse)} worse than fast or model-only; "
                  f"{marked} of {len(runs)} marked, {real} real portraits")
            break


def graded(runs, settings):
    from portrait_studio.core import fusion

    return [{**r, "confidence": fusion.confidence_of(r["fused"].unsure, settings, overruled=r["fused"].overruled,
                                                     kept=r["fused"].kept, agreement=r["fused"].agreement)}
            for r in runs]


if __name__ == "__main__":
    main()
