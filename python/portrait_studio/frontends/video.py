"""The command line for a clip: `portrait-main clip.mp4 -o out.webm --background transparent`.

Parsing is the command line's (the same request as a photograph's); this
module checks what goes with a clip, shows a progress bar counting frames
and writes through `video.stream.write_clip`.
"""

from __future__ import annotations

import dataclasses
import sys
from pathlib import Path

from ..core import imageio
from ..core.request import Request
from .deliver import Report

HELP = """\
A clip (MP4, MOV, WebM, MKV; H.264, H.265, VP8, VP9, AV1; needs the [video] extra):
  portrait-main clip.mp4 -o out.mp4 --background blur      or a colour, or a picture
  portrait-main clip.mp4 -o out.webm --background transparent    VP9 with alpha
  portrait-main clip.mp4 -o out.mov --background transparent     ProRes 4444 with alpha
  portrait-main clip.mp4 -o matte.mp4 --mask
  Frame rate, time stamps and sound are kept; the matte is followed from frame
  to frame so edges hold still. For clips --matte defaults to fast: the second
  network doubles each frame's cost and cannot keep up with a clip.
"""


def add_options(parser) -> None:
    from ..core.request import parse_positive_int

    def count(text: str) -> int:
        import argparse

        try:
            return parse_positive_int(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    parser.add_argument(
        "--max-frames", type=count, metavar="N",
        help="clips: refuse clips of more than N frames before decoding one (default: 54000, "
             "30 minutes at 30 frames a second)",
    )


def is_clip_run(source: Path) -> bool:
    from ..video import is_clip

    return source.is_file() and is_clip(source)


def write_clip_report(cutout, source: Path, target: Path, request: Request, max_frames: int | None = None,
                      progress=None) -> Report:
    """One clip from a file to a file, as a Report for the command line,
    folder mode and the report file."""
    from ..video.stream import write_clip

    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        made = write_clip(cutout, source, target, request, max_frames=max_frames, progress=progress)
    except imageio.ImageError as error:
        return Report(str(error))
    except OSError as error:
        return Report(f"{imageio.shown(target)}: cannot be written ({error.strerror or error})")
    from ..pipeline import needs_review

    low = made.lowest_confidence
    return Report(None, tuple(made.warnings), low, needs_review(low), frames=made.frames, seconds=made.seconds,
                  elapsed=made.elapsed)


def run(source: Path, target: Path, args, request: Request, open_cutout, open_report) -> int:
    """The command line's single-clip mode; its exit status."""
    from ..video.frames import VIDEO_MATTE
    from .cli import UsageError

    for given, option in ((args.id, "--id"), (args.ext, "--ext"), (args.jobs, "--jobs"), (args.recursive, "--recursive"),
                          (args.skip_existing, "--skip-existing"), (args.dask, "--dask"), (args.check, "--check"),
                          (args.overlay, "--overlay")):
        if given:
            raise UsageError(f"{option} does not go with a clip")
    if args.matte is None:  # not asked for: the clip default
        request = dataclasses.replace(request, matte=VIDEO_MATTE)
    if target.is_dir():
        target = target / (source.stem + (".webm" if request.has_alpha else source.suffix))
    bar = FrameBar(enabled=not args.quiet)
    try:
        with open_report(args.report) as lines:
            report = write_clip_report(open_cutout(args.model), source, target, request, args.max_frames, bar.step)
            lines.add(source, target, report)
    finally:
        bar.close()
    if report.failure:
        raise UsageError(report.failure)
    if not args.quiet:
        for warning in report.warnings:
            print(f"portrait-main: {warning}", file=sys.stderr)
        if report.review:
            print(f"portrait-main: {imageio.shown(target)}: marked for review: its lowest confidence is "
                  f"{report.confidence:.2f}; look at its edges before using it", file=sys.stderr)
        rate = report.frames / report.elapsed if report.elapsed else 0.0
        print(f"wrote {imageio.shown(target)} ({report.frames} frames, {report.seconds:.2f} s of clip, "
              f"{rate:.1f} frames/s)")
    return 0


class FrameBar:
    """Frames done, of how many, and frames a second, on a terminal only."""

    def __init__(self, stream=sys.stderr, enabled: bool = True):
        self.stream, self.enabled, self.bar = stream, enabled and stream.isatty(), None

    def step(self, done: int, expected: int | None) -> None:
        if not self.enabled:
            return
        if self.bar is None:
            from tqdm import tqdm

            self.bar = tqdm(total=expected, file=self.stream, unit="frame", dynamic_ncols=True, leave=False)
        self.bar.update(done - self.bar.n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
