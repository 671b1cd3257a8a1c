"""Frames from a caller's own camera or decoder through the one path, steady in time."""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Iterable, Iterator

import numpy as np

from ..core import imageio
from ..core.request import request_from_fields
from .temporal import TemporalMatte

# The second network (u2netp) doubles a frame's cost; for clips the
# segmenter alone, refined, is the default (docs: the README's video section).
VIDEO_MATTE = "fast"


def cut_out_frames(frames: Iterable[np.ndarray], background="white", size: tuple[int, int] | str | None = None,
                   matte: str = VIDEO_MATTE, *, mask: bool = False, model: str | os.PathLike | None = None,
                   steady: bool = True, max_pixels: int | None = None) -> Iterator[np.ndarray]:
    """The person cut out of each B, G, R frame of `frames`, in order, as
    `cut_out` would give an array (B, G, R; B, G, R, A when transparent; one
    channel for a mask), with the matte followed from frame to frame unless
    `steady` is False. A frame whose picture differs from the last one
    almost everywhere starts afresh (a scene cut). The options are
    `cut_out`'s; `matte` defaults to "fast" (the segmenter alone, refined),
    which keeps up with a clip where the second network does not. Frames
    are taken one at a time, so `frames` may be endless."""
    from ..api import as_bgr, background_from, cutout_for

    request = request_from_fields({"background": background_from(background), "size": size, "matte": matte,
                                   "mask": mask}, spell=lambda name: f"{name}=")
    if max_pixels is not None:
        request = dataclasses.replace(request, max_pixels=max_pixels)
    limit = request.max_pixels or imageio.DEFAULT_MAX_PIXELS
    cutout = cutout_for(model)
    temporal = TemporalMatte() if steady else None
    for index, frame in enumerate(frames):
        photo = as_bgr(np.asarray(frame), f"frame {index}")
        imageio.check_pixels(photo.shape[1], photo.shape[0], limit, f"frame {index}")
        yield cutout.produce(photo, request, temporal=temporal).picture
