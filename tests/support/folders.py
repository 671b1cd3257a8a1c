"""Folders of photographs for the folder-mode tests, and the one-engine loop
whose output the pool and the cluster must match."""

from __future__ import annotations

from pathlib import Path

import cv2
import numpy as np

from portrait_studio import Cutout

SAMPLE = Path(__file__).resolve().parents[2] / "samples" / "astronaut.png"


def make_photos(folder: Path, count: int, width: int = 320, height: int = 240, corrupt: bool = False) -> Path:
    """`count` different photographs, JPEG and PNG, some in a subfolder."""
    sample = cv2.imread(str(SAMPLE))
    rng = np.random.default_rng(count)
    for index in range(count):
        size = (width + 7 * index, height + 3 * index)
        photo = cv2.resize(np.roll(sample, 37 * index, axis=1), size, interpolation=cv2.INTER_AREA)
        photo = np.clip(photo + rng.normal(0, 6, photo.shape), 0, 255).astype(np.uint8)
        path = folder / ("sub" if index % 3 == 2 else "") / f"photo{index:03d}.{'jpg' if index % 2 else 'png'}"
        path.parent.mkdir(parents=True, exist_ok=True)
        assert cv2.imwrite(str(path), photo)
    if corrupt:
        (folder / "corrupt.jpg").write_bytes(b"\xff\xd8\xff\xe0" + b"\0" * 64)
    return folder


def outputs(folder: Path) -> dict[str, bytes]:
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def sequential(jobs, request, model, pm) -> None:
    """The reference: one engine, one photograph after another; the engine's
    own _image where it writes the picture asked for."""
    cutout = Cutout(model)
    for job in jobs:
        if job.source.name == "corrupt.jpg":
            continue
        job.target.parent.mkdir(parents=True, exist_ok=True)
        if request.is_engine_output:
            cutout.engine._image(str(job.source), str(job.target), request.size)
        else:
            cutout.write(job.source, job.target, request)
