"""Video: a clip's frames through the one path, steady from frame to frame.

    cut_out_frames(frames, background="blur")          a generator: B, G, R frames in, pictures out
    write_clip(cutout, "clip.mp4", "out.webm", request)  a file to a file, sound and time stamps kept

`temporal` (the coarse plane followed through time) and `frames` need only
NumPy and OpenCV; reading and writing files (`media`, `stream`) need PyAV,
the `[video]` extra, imported only there.
"""

from __future__ import annotations

from pathlib import Path

# What folder mode and the command line take for a clip, by extension.
CLIP_EXTENSIONS = {".mp4", ".m4v", ".mov", ".webm", ".mkv", ".avi"}
# What a clip can be written as, and which of them hold alpha.
WRITABLE_CLIPS = (".mp4", ".mov", ".webm")
ALPHA_CLIPS = (".mov", ".webm")


def is_clip(path: str | Path) -> bool:
    return Path(path).suffix.lower() in CLIP_EXTENSIONS


def __getattr__(name: str):
    if name == "cut_out_frames":
        from .frames import cut_out_frames

        return cut_out_frames
    if name in ("write_clip", "ClipReport"):
        from . import stream

        return getattr(stream, name)
    raise AttributeError(name)
