"""portrait-main: cut the person out of photographs.

Argument parsing and dispatch only: the options are the request's fields,
parsed by `core.request`, and every photograph goes through
`deliver.write_one` to the one path.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from ..core import imageio, targets
from ..core.fields import COMMAND_LINE, FIELD_BY_NAME, FIELDS, described
from ..core.request import Request, RequestError, parse_format, parse_positive_int, request_from_fields
from ..core.threads import cores
from . import BUNDLED_SEGMENTER, argument_type, choose_device, describe, video
from .deliver import Report, write_one
from .inputs import STREAM

DESCRIPTION = """\
Cut the person out of a photograph and write them on a plain background,
another picture, or the photograph's own background blurred.

One photograph:
  portrait-main photo.jpg -o portrait.png
  portrait-main photo.jpg -o id_photo.png --size 413x531
  portrait-main photo.jpg -o cutout.png --background transparent
  portrait-main photo.jpg -o blue.jpg --background "#2050a0"
  portrait-main photo.jpg -o beach.jpg --background beach.jpg     over another picture
  portrait-main photo.jpg -o bokeh.jpg --background blur           its own background blurred
  portrait-main photo.jpg -o matte.png --mask

ID photos framed around the face, at a standard's size and print resolution:
  portrait-main photo.jpg -o passport.jpg --id passport
  portrait-main photo.jpg -o visa.jpg --id us --max-kb 240
  portrait-main photo.jpg -o sheet.jpg --id passport --sheet 6x4in
  portrait-main photo.jpg -o uk.jpg --id uk-passport --check --overlay guides.png
  portrait-main photo.jpg -o au.jpg --id au-passport --background keep
  portrait-main --id list

Several photographs and folders at once, and pipes:
  portrait-main a.jpg b.heic photos/ -o portraits/
  curl -s https://example.org/me.jpg | portrait-main - -o - --format png > me.png
  portrait-main photo.jpg -o - --ext webp | ...            the standard output
  portrait-main photos/ -o portraits/ --report - | jq .     the report on the standard output

A folder of photographs (the output folder gets the same file names):
  portrait-main photos/ -o portraits/
  portrait-main photos/ -o portraits/ --ext png
  portrait-main photos/ -o portraits/ -r --skip-existing     subfolders; resume a run
  portrait-main photos/ -o portraits/ --dask tcp://host:8786  on a Dask cluster

The output format follows the output file's extension (PNG, JPEG, WebP, TIFF,
BMP, ...). Without --size the portrait keeps the photograph's size and the
model sees it at 512x512; with --size WxH the model runs at that size and the
portrait is letterboxed (scaled to fit and bordered with the background) to
exactly W x H; a picture or blurred background covers the whole W x H. The
matte is refined at the edges (hair) unless --matte model asks for the
person segmenter's own matte, unrefined, as the engine composes it.
Inputs are never overwritten. In folder mode a file that fails is reported and
skipped; the exit status is 1 if any file failed, and 130 after Ctrl-C, which
finishes the photographs in progress and leaves no partial file. Two inputs
that would write the same output are reported before anything is written.

Over HTTP, a page to drop photographs on and an API: portrait-main serve --help
"""


USAGE = """portrait-main [options] INPUT [INPUT ...] -o OUTPUT
       portrait-main --id list [--json]
       portrait-main serve [--host HOST] [--port PORT] [--workers N] ..."""

def version() -> str:
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as installed

    try:
        return installed("portrait-main")
    except PackageNotFoundError:
        return "unknown"


class UsageError(Exception):
    """A problem with what the user asked for; reported without a traceback."""


def field_type(name: str):
    """The request field's own parser, as an argparse type."""
    return argument_type(FIELD_BY_NAME[name].parse, name)


def add_field_options(parser: argparse.ArgumentParser, id_photos) -> None:
    """One option per request field of the table, ID-photo ones in their group."""
    for field in FIELDS:
        group = id_photos if field.id_only or field.name == "id" else parser
        option = spell(field.name)
        text = described(field, COMMAND_LINE)
        if field.kind is bool:
            group.add_argument(option, action="store_true", default=None, help=text)
        elif field.name == "id":  # also `--id list`, so parsed with the others
            group.add_argument(option, metavar=field.metavar, help=text + "; --id list describes them")
        elif field.choices:
            group.add_argument(option, choices=field.choices, default=None, help=text)
        else:
            group.add_argument(option, type=field_type(field.name), metavar=field.metavar, help=text,
                               dest=field.name)


positive_int = argument_type(parse_positive_int, "positive_int")


spell = COMMAND_LINE  # a request field as this command line's option

def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="portrait-main",
        usage=USAGE,
        description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("input", nargs="*", metavar="INPUT",
                        help="photographs and folders of photographs; - reads one photograph from the standard input")
    parser.add_argument(
        "-o", "--output",
        help="the portrait file to write, - for the standard output, or the output folder when an INPUT is "
             "a folder or there are several",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    parser.add_argument(
        "--model", metavar="FILE.onnx",
        help=f"the matting model to use (default: {BUNDLED_SEGMENTER})",
    )
    parser.add_argument(
        "--ext", metavar="EXT",
        help="the output format's extension, e.g. png, for a folder's outputs or the standard output "
             "(default: each input's own)",
    )
    id_photos = parser.add_argument_group("ID photos")
    add_field_options(parser, id_photos)
    id_photos.add_argument("--json", action="store_true", help="with --id list: the table as JSON")
    id_photos.add_argument(
        "--check", action="store_true",
        help="with --id: print each rule the photo is checked against (measured, allowed, pass or fail)",
    )
    id_photos.add_argument(
        "--overlay", metavar="FILE.png",
        help="with --id: also write the photo with guide lines drawn on it (crown, chin, the document's "
             "eye band, the centre line), to check the framing by eye",
    )
    folder = parser.add_argument_group("folder mode")
    folder.add_argument(
        "-j", "--jobs", type=positive_int, metavar="N",
        help="photographs cut out at once, each by its own engine (default: one per core)",
    )
    folder.add_argument(
        "-r", "--recursive", action="store_true",
        help="also the photographs in subfolders; the output folder mirrors them",
    )
    folder.add_argument(
        "--skip-existing", action="store_true",
        help="leave outputs that are already there (resumes a run that was cut short)",
    )
    folder.add_argument(
        "--dask", metavar="ADDRESS",
        help="cut out on a Dask cluster: tcp://host:8786 (a running scheduler; the folders must be "
        "on a file system every worker sees), or local[:N] for N worker processes on this machine "
        "(N: --jobs, else one per core)",
    )
    parser.add_argument(
        "--report", metavar="FILE.jsonl",
        help="write one JSON object a line per photograph: input, output, ok, confidence, review "
             "(true: worth a look before use), device and error; written whole at the end, Ctrl-C included; "
             "- writes each line to the standard output as its photograph is done",
    )
    parser.add_argument(
        "--device", choices=("auto", "cpu", "cuda"), default="auto",
        help="where the networks run: auto (default) takes a CUDA GPU when ONNX Runtime offers one "
             "(the gpu extra), else the CPU; cuda insists on the GPU",
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors")
    video.add_options(parser)
    parser.epilog = video.HELP
    return parser


def request_from(args) -> Request:
    """The one request every photograph of this run is made with; checked
    here, before any photograph is read."""
    fields = {field.name: getattr(args, field.name) for field in FIELDS}
    try:
        request = request_from_fields(fields)
        from ..core import backdrop

        backdrop.check_picture(request)  # under --max-pixels, which the background's parser cannot know
        if args.ext:
            request.check_format(args.ext)
    except RequestError as error:
        raise UsageError(str(error)) from None
    return request


class Progress:
    """A progress bar (photographs per second, time left) on a terminal;
    silent otherwise."""

    def __init__(self, total: int, stream=sys.stderr, enabled: bool = True):
        from tqdm import tqdm

        self.bar = tqdm(
            total=total,
            file=stream,
            disable=not (enabled and stream.isatty()),
            unit="photo",
            dynamic_ncols=True,
            leave=False,
            mininterval=0,  # a photograph takes long enough to show every one
            bar_format="{n_fmt}/{total_fmt} {desc} |{bar}| {rate_fmt}, {remaining} left",
        )

    def step(self, name: str) -> None:
        self.bar.set_description_str(name[-30:], refresh=False)
        self.bar.update()

    def clear(self) -> None:
        self.bar.close()


def run_folder(sources: list[Path], target_dir: Path, args, request: Request) -> int:
    """Folder mode: a folder, or several inputs, into the output folder."""
    from . import batch, inputs

    source_dir = sources[0]
    try:
        jobs = inputs.plan(sources, target_dir, args.ext, args.recursive)
    except batch.PlanError as error:
        raise UsageError(str(error)) from None
    check_targets(args, request, [("the photograph", job.source) for job in jobs], [],
                  planned=[("the output", job.target) for job in jobs])
    todo, skipped, taken = batch.skip_existing(jobs) if args.skip_existing else (jobs, 0, [])
    if args.skip_existing:
        batch.clear_temporaries(jobs)  # left by a run that was killed outright
    progress = Progress(len(todo), enabled=not args.quiet)
    with open_report(args.report) as lines:

        reviewed: list[Path] = []

        def report(job, result):
            progress.step(job.source.name)
            lines.add(job.source, job.target, result)
            if result.review and result.failure is None:
                reviewed.append(job.target)

        for unreadable in jobs.unreadable + taken:
            lines.add(source_dir, None, Report(unreadable))
        if args.skip_existing:
            left = set(todo)
            for job in jobs:
                if job not in left and job.target.is_file():
                    lines.keep(job.source, job.target)
        try:
            if args.dask:
                from . import cluster

                open_cutout(args.model, 1)  # a model that will not open fails here, not once per photograph
                try:
                    address = f"local:{args.jobs}" if args.dask == "local" and args.jobs else args.dask
                    outcome = cluster.run_dask(todo, request, address, model=args.model, progress=report,
                                               confidence=bool(args.report))
                except cluster.ClusterError as error:
                    raise UsageError(str(error)) from None
            else:
                workers = args.jobs or cores()
                first = open_cutout(args.model, batch.threads_per_job(min(workers, len(todo) or 1)))
                outcome = batch.run_local(todo, request, model=args.model, workers=workers, first=first,
                                          progress=report, confidence=bool(args.report))
        finally:
            progress.clear()
    outcome.total, outcome.skipped = len(jobs) + len(jobs.unreadable), skipped
    outcome.failures[:0] = jobs.unreadable + taken
    if lines.problem:
        outcome.failures.append(lines.problem)
    report_warnings(outcome.warnings, args)
    for failure in outcome.failures:
        print(f"portrait-main: {failure}", file=sys.stderr)
    if outcome.interrupted:
        print(f"portrait-main: interrupted: {outcome.summary(target_dir)}", file=sys.stderr)
        return 130
    if not args.quiet:
        print(outcome.summary(target_dir), file=sys.stderr if args.report == STREAM else sys.stdout)
        if reviewed:
            print(f"portrait-main: {review_line(reviewed, args.report)}", file=sys.stderr)
    return 1 if outcome.failures else 0


REVIEWS_NAMED = 5  # the summary names this many photographs marked for review, then counts the rest


def review_line(targets: list[Path], report: str | None) -> str:
    names = ", ".join(imageio.shown(target) for target in sorted(targets)[:REVIEWS_NAMED])
    rest = len(targets) - REVIEWS_NAMED
    if rest <= 0:
        return f"marked for review (look at their edges before using them): {names}"
    where = "see the report" if report else "--report FILE.jsonl lists them all"
    return f"marked for review (look at their edges before using them): {names} and {rest} more; {where}"


class NoReport:
    """Stands in for the report file when none was asked for."""

    problem = None

    def add(self, *_args) -> None:
        pass

    def keep(self, *_args) -> None:
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        pass


class StreamReport(NoReport):
    """`--report -`: each photograph's line on the standard output as it is done."""

    def add(self, source, target, report: Report) -> None:
        import json

        from .report import line

        print(json.dumps(line(source, target, report)), flush=True)


def open_report(path: str | None):
    if not path:
        return NoReport()
    if path == STREAM:
        return StreamReport()
    from .report import ReportError, ReportFile

    try:
        return ReportFile(path)
    except ReportError as error:
        raise UsageError(str(error)) from None


def check_targets(args, request: Request, inputs: list, outputs: list, planned: list = ()) -> None:
    """The run's outputs (the pictures given, the report, the guide lines)
    against its inputs (those given, the background picture, the model) and
    each other, before any work: see `targets`."""
    picture = request.background.path if request.background is not None else None
    inputs = [*inputs, ("the background picture", picture), ("the model", args.model)]
    report = None if args.report == STREAM else args.report  # the standard output is no file to replace
    outputs = [*outputs, ("--report", report), ("--overlay", args.overlay)]
    try:
        targets.check_targets(inputs, outputs, planned)
    except targets.TargetError as error:
        raise UsageError(str(error)) from None


def own_outputs(args, request: Request, source: Path, target: Path) -> None:
    """One photograph's outputs checked before any work: the guide lines'
    own rules, then every output against the inputs and each other, then
    that -o and --overlay can be written where they are named."""
    try:
        if args.overlay:
            from ..pipeline import Cutout

            Cutout._check_overlay_target(source, target, Path(args.overlay), request)
        check_targets(args, request, [("the photograph", source)], [("-o", target)])
        targets.probe_writable("-o", target)
        if args.overlay:
            targets.probe_writable("--overlay", args.overlay)
    except (imageio.ImageError, targets.TargetError) as error:
        raise UsageError(str(error)) from None


def open_cutout(model: str | None, threads: int | None = None):
    from ..pipeline import Cutout

    try:
        return Cutout(model, threads=threads)
    except Exception as error:
        raise UsageError(f"cannot open the model {model or BUNDLED_SEGMENTER}: {describe(error)}") from error


def report_warnings(warnings: list[str], args) -> None:
    if not args.quiet:
        for warning in warnings:
            print(f"portrait-main: {warning}", file=sys.stderr)


def wants_service(argv: list[str]) -> bool:
    """`serve` first selects the service, unless it names a photograph to
    convert (the service takes no -o)."""
    return argv[:1] == ["serve"] and not any(a.startswith(("-o", "--ou")) for a in argv[1:])


def serve(argv: list[str]) -> int:
    try:
        from .server import serve as service
    except ImportError as error:
        print(f"portrait-main: {error}", file=sys.stderr)
        return 1
    return service.main(argv)


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    from ..core.memory import return_freed_memory_promptly

    return_freed_memory_promptly()
    if wants_service(argv):
        return serve(argv[1:])
    from . import check_photo

    if check_photo.wanted(argv):
        return check_photo.main(argv[1:])
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.json and args.id != "list":
        parser.error("--json goes with --id list")
    if args.id == "list":
        from ..idphoto import listing, listing_json

        print(listing_json() if args.json else listing())
        return 0
    if not args.input or args.output is None:
        parser.error("the following arguments are required: " + ", ".join(
            name for name, value in (("INPUT", args.input), ("-o/--output", args.output)) if not value))
    try:
        return run(args)
    except UsageError as error:
        print(f"portrait-main: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:  # before or between photographs: nothing half-written
        print("portrait-main: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:  # `| head` has read enough: end quietly, as Unix tools do
        quiet_closed_stdout()
        return 141


def quiet_closed_stdout() -> None:
    """Points the standard output at /dev/null, so that Python's own flush at
    exit finds nowhere to fail."""
    import os

    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def run(args) -> int:
    """The photographs of one command line, checked before any is read."""
    from . import inputs

    request = request_from(args)
    try:
        args.running_on = choose_device(args.device)
    except ValueError as error:
        raise UsageError(f"--device {args.device}: {error}") from None
    if args.model and not Path(args.model).is_file():
        raise UsageError(f"{args.model}: no such model file")
    if args.overlay and not args.id:
        raise UsageError("--overlay goes with --id DOCUMENT")
    if args.check and not args.id:
        raise UsageError("--check goes with --id PRESET")
    if args.report == STREAM and args.output == STREAM:
        raise UsageError("--report - and -o - would both write to the standard output; send one to a file")
    given = args.input
    if STREAM in given and len(given) > 1:
        raise UsageError("- reads one photograph from the standard input: give it alone")
    for name in given:
        if name != STREAM and not Path(name).exists():
            raise UsageError(f"{name}: no such file or folder")
    several = len(given) > 1 or Path(given[0]).is_dir() and given[0] != STREAM
    if request.format is not None and args.ext and request.format != parse_format(args.ext):
        raise UsageError(f"--format {request.format} and --ext {args.ext} disagree: give one of them")
    if several:
        if args.ext is None:
            args.ext = request.format  # the outputs' names say the format asked
        if args.output == STREAM:
            raise UsageError("-o - takes one photograph; write several to an output folder")
        if args.overlay:
            raise UsageError("--overlay applies to one photograph; give a photograph as the input")
        if args.check:
            raise UsageError("--check applies to one photograph; --report FILE.jsonl holds every photograph's checks")
        return run_folder([Path(name) for name in given], Path(args.output), args, request)
    for option, value in (("--jobs", args.jobs), ("--recursive", args.recursive),
                          ("--skip-existing", args.skip_existing), ("--dask", args.dask)):
        if value:
            raise UsageError(f"{option} applies only when the input is a folder or there are several")
    source, target = given[0], args.output
    if video.is_clip_run(Path(source)):
        if target != STREAM and not Path(target).is_dir():
            own_outputs(args, request, Path(source), Path(target))
        return video.run(Path(source), Path(target), args, request, open_cutout, open_report)
    if args.ext and target != STREAM:
        raise UsageError("--ext names the format of a folder's outputs or of the standard output; "
                         "for one file, its name's extension says it")
    if target != STREAM and Path(target).is_dir():
        name = "stdin.png" if source == STREAM else imageio.picture_name(Path(source).name)
        if request.format is not None:
            name = Path(name).stem + "." + request.format
        target = str(Path(target) / name)
    checks = [] if args.check else None
    if STREAM not in (source, target):
        own_outputs(args, request, Path(source), Path(target))
    with open_report(args.report) as lines:
        if STREAM in (source, target):
            if args.overlay:
                raise UsageError("--overlay writes a file beside a file: give the photograph and the output as files")
            report = inputs.cut_one_stream(open_cutout(args.model), source, target, request, args.ext, checks)
        else:
            report = write_one(open_cutout(args.model), Path(source), Path(target), request,
                               confidence=bool(args.report), checks=checks,
                               overlay=Path(args.overlay) if args.overlay else None)
        lines.add(Path(source), None if target == STREAM else Path(target), report)
    for check in checks or []:
        print(check, file=sys.stderr if target == STREAM else sys.stdout)
    shown = "the standard output" if target == STREAM else imageio.shown(target)
    if report.failure:
        raise UsageError(report.failure + (f"; {lines.problem}" if lines.problem else ""))
    if lines.problem:
        raise UsageError(f"wrote {shown}, but {lines.problem}")
    review = [f"{shown}: marked for review: the cut-out's confidence is "
              f"{report.confidence:.2f}; look at its edges before using it"] if report.review else []
    report_warnings([*report.warnings, *review], args)
    if not args.quiet and target != STREAM:
        said = sys.stderr if args.report == STREAM else sys.stdout
        print(f"wrote {shown}", file=said)
        if args.overlay:
            print(f"wrote {imageio.shown(args.overlay)} (the guide lines)", file=said)
    return 0


if __name__ == "__main__":
    sys.exit(main())
