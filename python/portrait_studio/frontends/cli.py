"""portrait-main: cut the person out of photographs.

Argument parsing and dispatch only: the options are the request's fields,
parsed by `core.request`, and every photograph goes through
`deliver.write_one` to the one path.
"""

from __future__ import annotations

import argparse
import dataclasses
import sys
from pathlib import Path

from ..core import imageio
from ..core.request import FIELDS, MATTE_KINDS, Request, RequestError, parse_positive_int, request_from_fields
from ..core.threads import cores
from . import describe, video
from .deliver import Report, write_one

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

A folder of photographs (the output folder gets the same file names):
  portrait-main photos/ -o portraits/
  portrait-main photos/ -o portraits/ --ext png
  portrait-main photos/ -o portraits/ -r --skip-existing     subfolders; resume a run
  portrait-main photos/ -o portraits/ --dask tcp://host:8786  on a Dask cluster

The output format follows the output file's extension (PNG, JPEG, WebP, TIFF,
BMP, ...). Without --size the portrait keeps the photograph's size and the
model sees it at 512x512; with --size WxH the model runs at that size and the
portrait is letterboxed (scaled to fit and bordered with the background) to
exactly W x H; a picture or blurred background covers the whole W x H. The matte is refined at the edges (hair) unless --matte model
asks for the engine's own, which with a white background writes exactly what
the engine's _image writes.
Inputs are never overwritten. In folder mode a file that fails is reported and
skipped; the exit status is 1 if any file failed, and 130 after Ctrl-C, which
finishes the photographs in progress and leaves no partial file. Two inputs
that would write the same output are reported before anything is written.

Over HTTP, a page to drop photographs on and an API: portrait-main serve --help
"""


class UsageError(Exception):
    """A problem with what the user asked for; reported without a traceback."""


def field_type(name: str):
    """The request field's own parser, as an argparse type."""

    def parse(text: str):
        try:
            return FIELDS[name](text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    parse.__name__ = name
    return parse


def positive_int(text: str) -> int:
    try:
        return parse_positive_int(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def spell(name: str) -> str:
    """A request field as this command line's option."""
    return "--" + name.replace("_", "-")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="portrait-main",
        description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("input", nargs="?", help="a photograph, or a folder of photographs")
    parser.add_argument(
        "-o", "--output",
        help="the portrait file to write, or the output folder when INPUT is a folder",
    )
    parser.add_argument(
        "--size", type=field_type("size"), metavar="WxH",
        help="letterbox the portrait to exactly W x H pixels (and run the model at that size)",
    )
    parser.add_argument(
        "--model", metavar="FILE.onnx",
        help="the matting model to use (default: the bundled person segmenter, modnet.onnx)",
    )
    parser.add_argument(
        "--ext", metavar="EXT",
        help="folder mode: the output format's extension, e.g. png (default: each input's own)",
    )
    parser.add_argument(
        "--background", type=field_type("background"), metavar="BACKGROUND",
        help="white (default; with --id the preset's colour), transparent (PNG, WebP, TIFF), "
             "#RRGGBB, a colour name such as blue, the path of a PICTURE (scaled to cover the portrait, "
             "centred), or blur[:STRENGTH]: the photograph's own background blurred like a wide-open lens "
             "(STRENGTH: the blur's width in thousandths of the diagonal, default 12); with --id also keep: "
             "the photographed background as it is (framed and levelled only, its evenness checked), "
             "for offices that refuse edited photos",
    )
    parser.add_argument(
        "--matte", choices=MATTE_KINDS, default="refined",
        help="refined (default; fast for clips, see below): two networks' mattes fused, clean edges and hair; "
             "fast: the same refinement on the person segmenter alone, for throughput; model: the segmenter's "
             "matte as the engine uses it",
    )
    parser.add_argument(
        "--mask", action="store_true",
        help="write the matte itself, one channel, 255 = person (the alpha of --background transparent)",
    )
    id_photos = parser.add_argument_group("ID photos")
    id_photos.add_argument(
        "--id", metavar="PRESET",
        help="frame an ID photo around the face to PRESET (an official document such as uk-passport, "
             "or passport, us, 25x35, 35x49, online); --id list describes them",
    )
    id_photos.add_argument("--json", action="store_true", help="with --id list: the table as JSON")
    id_photos.add_argument(
        "--force", action="store_true",
        help="with --id: write the best effort even when the photograph does not meet the preset, saying what is off",
    )
    id_photos.add_argument(
        "--max-kb", type=field_type("max_kb"), metavar="N",
        help="with --id: keep the file under N kilobytes (JPEG: the highest quality that fits)",
    )
    id_photos.add_argument(
        "--sheet", metavar="PAPER",
        help="with --id: write a print sheet of as many copies as fit: 6x4in, 5x7in, A6, A4 or letter",
    )
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
        "--max-pixels", type=positive_int, metavar="N",
        help="refuse photographs of more than N pixels, from their headers, before decoding "
             "(default: 40000000; each megapixel costs about 60 MB while it is cut out)",
    )
    parser.add_argument(
        "--report", metavar="FILE.jsonl",
        help="write one JSON object a line per photograph: input, output, ok, confidence, review "
             "(true: worth a look before use) and error; written whole at the end, Ctrl-C included",
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors")
    video.add_options(parser)
    parser.epilog = video.HELP
    return parser


def request_from(args) -> Request:
    """The one request every photograph of this run is made with; checked
    here, before any photograph is read."""
    fields = {name: getattr(args, name) for name in ("background", "size", "matte", "mask", "force", "max_kb", "sheet")}
    fields["id"] = args.id
    try:
        request = dataclasses.replace(request_from_fields(fields, spell), max_pixels=args.max_pixels)
        if args.ext:
            request.check_format(args.ext, spell)
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


def run_folder(source_dir: Path, target_dir: Path, args, request: Request) -> int:
    from . import batch

    try:
        jobs = batch.plan(source_dir, target_dir, args.ext, args.recursive)
    except batch.PlanError as error:
        raise UsageError(str(error)) from None
    todo, skipped, taken = batch.skip_existing(jobs) if args.skip_existing else (jobs, 0, [])
    if args.skip_existing:
        batch.clear_temporaries(jobs)  # left by a run that was killed outright
    progress = Progress(len(todo), enabled=not args.quiet)
    with open_report(args.report) as lines:

        def report(job, result):
            progress.step(job.source.name)
            lines.add(job.source, job.target, result)

        for unreadable in jobs.unreadable + taken:
            lines.add(source_dir, None, Report(unreadable))
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
    report_warnings(outcome.warnings, args)
    for failure in outcome.failures:
        print(f"portrait-main: {failure}", file=sys.stderr)
    if outcome.interrupted:
        print(f"portrait-main: interrupted: {outcome.summary(target_dir)}", file=sys.stderr)
        return 130
    if not args.quiet:
        print(outcome.summary(target_dir))
    return 1 if outcome.failures else 0


class NoReport:
    """Stands in for the report file when none was asked for."""

    def add(self, *_args) -> None:
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        pass


def open_report(path: str | None):
    if not path:
        return NoReport()
    from .report import ReportFile

    try:
        return ReportFile(path)
    except OSError as error:
        raise UsageError(f"{path}: cannot write the report ({error.strerror or error})") from None


def open_cutout(model: str | None, threads: int | None = None):
    from ..pipeline import Cutout

    try:
        return Cutout(model, threads=threads)
    except Exception as error:
        raise UsageError(f"cannot open the model {model or 'modnet.onnx'}: {describe(error)}") from error


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
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.json and args.id != "list":
        parser.error("--json goes with --id list")
    if args.id == "list":
        from ..idphoto import listing, listing_json

        print(listing_json() if args.json else listing())
        return 0
    if args.input is None or args.output is None:
        parser.error("the following arguments are required: " + ", ".join(
            name for name, value in (("input", args.input), ("-o/--output", args.output)) if value is None))
    source = Path(args.input)
    target = Path(args.output)
    try:
        request = request_from(args)
        if not source.exists():
            raise UsageError(f"{source}: no such file or folder")
        if args.model and not Path(args.model).is_file():
            raise UsageError(f"{args.model}: no such model file")

        if args.overlay and not args.id:
            raise UsageError("--overlay goes with --id DOCUMENT")
        if video.is_clip_run(source):
            return video.run(source, target, args, argv, request, open_cutout, open_report)
        if source.is_dir():
            if args.overlay:
                raise UsageError("--overlay applies to one photograph; give a photograph as the input")
            return run_folder(source, target, args, request)
        for given, option in ((args.ext, "--ext"), (args.jobs, "--jobs"), (args.recursive, "--recursive"),
                              (args.skip_existing, "--skip-existing"), (args.dask, "--dask")):
            if given:
                raise UsageError(f"{option} applies only when the input is a folder")
        if target.is_dir():
            target = target / imageio.picture_name(source.name)
        checks = [] if args.check else None
        if args.check and not args.id:
            raise UsageError("--check goes with --id PRESET")
        with open_report(args.report) as lines:
            report = write_one(open_cutout(args.model), source, target, request, confidence=bool(args.report),
                               checks=checks, overlay=Path(args.overlay) if args.overlay else None)
            lines.add(source, target, report)
        for check in checks or []:
            print(check)
        if report.failure:
            raise UsageError(report.failure)
        review = [f"{imageio.shown(target)}: marked for review: the cut-out's confidence is "
                  f"{report.confidence:.2f}; look at its edges before using it"] if report.review else []
        report_warnings([*report.warnings, *review], args)
        if not args.quiet:
            print(f"wrote {imageio.shown(target)}")
            if args.overlay:
                print(f"wrote {imageio.shown(args.overlay)} (the guide lines)")
        return 0
    except UsageError as error:
        print(f"portrait-main: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:  # before or between photographs: nothing half-written
        print("portrait-main: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
