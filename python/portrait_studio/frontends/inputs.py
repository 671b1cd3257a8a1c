"""What the command line is given to read and write: several photographs and
folders on one line, or `-` for the standard input and output.

Several inputs are the union of what each would write alone into the output
folder (a folder's photographs mirroring it, a photograph under its own
name), checked as one plan: two inputs that would write one output, or an
output that would replace an input, are refused before anything is written.
"""

from __future__ import annotations

import sys
from pathlib import Path

from ..core import imageio
from ..core.request import Request
from ..pipeline import Cutout
from . import batch, describe
from .deliver import Report

STREAM = "-"  # the standard input as an input, the standard output as an output


def plan(sources: list[Path], target_dir: Path, ext: str | None, recursive: bool) -> batch.Plan:
    """One job per photograph of every input; PlanError before anything is written."""
    if len(sources) == 1 and sources[0].is_dir():
        return batch.plan(sources[0], target_dir, ext, recursive)
    if ext is not None:
        batch.check_ext(ext)
    if target_dir.exists() and not target_dir.is_dir():
        raise batch.PlanError(f"{target_dir}: the output must be a folder when there are several inputs")
    jobs, unreadable, photographs = [], [], []
    for source in sources:
        if source.is_dir():
            found = batch.plan(source, target_dir, ext, recursive)
            jobs.extend(found)
            unreadable.extend(found.unreadable)
            photographs.extend(job.source for job in found)
        else:
            jobs.append(batch.Job(source, target_dir / batch.output_name(source, ext)))
            photographs.append(source)
    batch.check_plan(jobs, photographs, ext)
    return batch.Plan(jobs, unreadable)


def read_input(source: str) -> tuple[bytes, str]:
    """The photograph's bytes and the name its messages use."""
    if source == STREAM:
        return sys.stdin.buffer.read(), "the standard input"
    return imageio.read_bytes(source), imageio.shown(source)


def stream_format(target: str, request: Request, ext: str | None) -> str | None:
    """The format an output goes in: the request's, `--ext`'s, the file's extension;
    None for the standard output with neither (then the photograph's own)."""
    if request.format is not None:
        return request.format
    if ext is not None:
        return ext.lstrip(".").lower()
    return None if target == STREAM else (imageio.extension_of(target).lstrip(".") or None)


def cut_one_stream(cutout: Cutout, source: str, target: str, request: Request, ext: str | None,
                   checks: list | None = None) -> Report:
    """One photograph where the standard input or output takes part: read
    whole, made by `Cutout.make`, written to the standard output or
    atomically to the file."""
    try:
        data, name = read_input(source)
        made = cutout.make(data, request, name=name, format=stream_format(target, request, ext), checks=checks)
        if target == STREAM:
            sys.stdout.buffer.write(made.data)
            sys.stdout.buffer.flush()
        else:
            imageio.write_bytes_atomically(target, made.data)
    except imageio.ImageError as error:
        return Report(str(error), checks=tuple(checks or ()))
    except (BrokenPipeError, KeyboardInterrupt):
        raise
    except Exception as error:  # what the engine or its libraries said
        return Report(f"{imageio.shown(source)}: {describe(error)}")
    return Report(None, tuple(f"{name}: {warning}" for warning in made.warnings), made.confidence, made.review,
                  tuple(made.checks))
