"""One photograph from a file to a file, for every front end that writes files.

The command line's single-photograph mode, the local pool and Dask tasks all
call `write_one`, so a photograph is checked, made and reported the same way
wherever it runs.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

from ..core import imageio
from ..core.imageio import same_file
from ..core.request import Request
from ..pipeline import Cutout
from . import describe


@dataclass(frozen=True)
class Report:
    """One photograph's result: what went wrong (None: written), and what
    to tell although it was written."""

    failure: str | None = None
    warnings: tuple[str, ...] = ()
    confidence: float | None = None
    review: bool = False
    checks: tuple = ()  # an ID photo's rules as measured (idphoto.checks.Check)
    frames: int | None = None  # a clip's: frames written, its length, the work's wall-clock seconds
    seconds: float | None = None
    elapsed: float | None = None


def check_readable_image(path: Path) -> str | None:
    """Why `path` cannot be a photograph, or None. Whether it is a picture is
    told by its bytes, when it is read: OpenCV's own probe would open the
    path, and a name that is not UTF-8 crashes it."""
    if not path.exists():
        return f"{imageio.shown(path)}: no such file"
    if not path.is_file():
        return f"{imageio.shown(path)}: not a regular file (a folder, a device or a pipe)"
    return None


def write_one(cutout: Cutout, source: Path, target: Path, request: Request, confidence: bool = False,
              checks: list | None = None, overlay: Path | None = None) -> Report:
    """Writes `target` from `source`; what went wrong is the report's failure.
    The engine's own picture is measured for its confidence only when asked;
    an ID photo's rules as measured are added to `checks` when given, and
    its guide lines written to `overlay` when given."""
    if same_file(source, target):
        return Report(f"{imageio.shown(target)}: refusing to overwrite the input photograph")
    from ..video import is_clip

    if is_clip(source) and source.is_file():
        from .video import write_clip_report

        return write_clip_report(cutout, source, target, request)
    unreadable = check_readable_image(source)
    if unreadable:
        return Report(unreadable)
    for path in (target, overlay):
        try:
            if path is not None:
                path.parent.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            return Report(f"{imageio.shown(path)}: cannot make its folder ({error.strerror or error})")
    try:
        if checks is None and request.id_photo is not None:
            checks = []  # for the report
        written = cutout.write(source, target, request, confidence=confidence, checks=checks, overlay=overlay)
    except imageio.ImageError as error:
        return Report(str(error), checks=tuple(checks or ()))
    except Exception as error:  # what the engine or its libraries said
        return Report(f"{imageio.shown(source)}: {describe(error)}")
    return Report(None, tuple(written.warnings), written.confidence, written.review, tuple(checks or ()))
