"""portrait-main: cut the person out of photographs.

Argument parsing and dispatch only: every photograph goes through
`portrait_studio.api.Cutout`.
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

from .api import MATTE_KINDS, CutoutRequest
from .background import WHITE, Background, parse_background
from .imageio import ImageError

DESCRIPTION = """\
Cut the person out of a photograph and write them on a plain background.

One photograph:
  portrait-main photo.jpg -o portrait.png
  portrait-main photo.jpg -o id_photo.png --size 413x531
  portrait-main photo.jpg -o cutout.png --background transparent
  portrait-main photo.jpg -o blue.jpg --background "#2050a0"
  portrait-main photo.jpg -o matte.png --mask

ID photos framed around the face, at a standard's size and print resolution:
  portrait-main photo.jpg -o passport.jpg --id passport
  portrait-main photo.jpg -o visa.jpg --id us --max-kb 240
  portrait-main photo.jpg -o sheet.jpg --id passport --sheet 6x4in
  portrait-main --id list

A folder of photographs (the output folder gets the same file names):
  portrait-main photos/ -o portraits/
  portrait-main photos/ -o portraits/ --ext png

The output format follows the output file's extension (PNG, JPEG, WebP, TIFF,
BMP, ...). Without --size the portrait keeps the photograph's size and the
model sees it at 512x512; with --size WxH the model runs at that size and the
portrait is letterboxed (scaled to fit and bordered with the background) to
exactly W x H. The matte is refined at the edges (hair) unless --matte model
asks for the engine's own, which with a white background writes exactly what
the engine's _image writes.
Inputs are never overwritten. In folder mode a file that fails is reported and
skipped; the exit status is 1 if any file failed.

Over HTTP, a page to drop photographs on and an API: portrait-main serve --help
"""

IMAGE_EXTENSIONS = {
    ".bmp", ".dib", ".jpeg", ".jpg", ".jpe", ".jp2", ".png", ".webp", ".pbm", ".pgm", ".ppm",
    ".pxm", ".pnm", ".sr", ".ras", ".tiff", ".tif", ".exr", ".hdr", ".pic", ".avif",
}


class UsageError(Exception):
    """A problem with what the user asked for; reported without a traceback."""


def parse_size(text: str) -> tuple[int, int]:
    width, sep, height = text.lower().partition("x")
    try:
        size = (int(width), int(height))
    except ValueError:
        size = None
    if not sep or size is None or min(size) <= 0:
        raise argparse.ArgumentTypeError(
            f"bad size {text!r}: expected WIDTHxHEIGHT with positive whole numbers, e.g. 640x480"
        )
    return size


def parse_background_argument(text: str) -> Background:
    try:
        return parse_background(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


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
        "--size", type=parse_size, metavar="WxH",
        help="letterbox the portrait to exactly W x H pixels (and run the model at that size)",
    )
    parser.add_argument(
        "--model", metavar="FILE.onnx",
        help="the matting model to use (default: the bundled modnet.onnx)",
    )
    parser.add_argument(
        "--ext", metavar="EXT",
        help="folder mode: the output format's extension, e.g. png (default: each input's own)",
    )
    parser.add_argument(
        "--background", type=parse_background_argument, metavar="COLOUR",
        help="white (default; with --id the preset's colour), transparent (PNG, WebP, TIFF), "
             "#RRGGBB or a colour name such as blue",
    )
    parser.add_argument(
        "--matte", choices=MATTE_KINDS, default="refined",
        help="refined (default): clean edges and hair; model: the model's matte as the engine uses it",
    )
    parser.add_argument(
        "--mask", action="store_true",
        help="write the matte itself, one channel, 255 = person (the alpha of --background transparent)",
    )
    id_photos = parser.add_argument_group("ID photos")
    id_photos.add_argument(
        "--id", metavar="PRESET",
        help="frame an ID photo around the face to PRESET (passport, us, 25x35, 35x49, online); "
             "--id list describes them",
    )
    id_photos.add_argument(
        "--force", action="store_true",
        help="with --id: write the best effort even when the photograph does not meet the preset, saying what is off",
    )
    id_photos.add_argument(
        "--max-kb", type=parse_max_kb, metavar="N",
        help="with --id: keep the file under N kilobytes (JPEG: the highest quality that fits)",
    )
    id_photos.add_argument(
        "--sheet", metavar="PAPER",
        help="with --id: write a print sheet of as many copies as fit: 6x4in, 5x7in or A6",
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors")
    return parser


def parse_max_kb(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not value > 0 or value != value or value == float("inf"):
        raise argparse.ArgumentTypeError(f"bad size cap {text!r}: expected a positive number of kilobytes, e.g. 240")
    return value


def same_file(a: Path, b: Path) -> bool:
    try:
        return a.exists() and b.exists() and os.path.samefile(a, b)
    except OSError:
        return False


def describe(error: Exception) -> str:
    lines = str(error).strip().splitlines()
    return f"{type(error).__name__}: {lines[-1] if lines else ''}"


def check_readable_image(path: Path) -> None:
    import cv2

    if not path.exists():
        raise UsageError(f"{path}: no such file")
    if not path.is_file():
        raise UsageError(f"{path}: not a file")
    if not cv2.haveImageReader(str(path)):
        raise UsageError(f"{path}: not an image that can be read")


def request_from(args) -> CutoutRequest:
    return CutoutRequest(matte=args.matte, background=args.background or WHITE, size=args.size, mask=args.mask)


class IdJob:
    """What --id asks for, checked once before any photograph is read."""

    def __init__(self, args):
        from .idphoto import find_preset, sheet

        if args.size or args.mask:
            raise UsageError(f"--{'size' if args.size else 'mask'} does not go with --id: the preset sets the picture; "
                             "drop it, or drop --id")
        try:
            self.preset = find_preset(args.id)
            self.sheet = sheet.find_sheet(args.sheet) if args.sheet else None
        except ValueError as error:
            raise UsageError(str(error)) from None
        self.background = args.background
        self.matte = args.matte
        self.force = args.force
        self.max_kb = args.max_kb
        self.warnings: list[str] = []

    def write(self, cutout, source: Path, target: Path) -> None:
        from . import imageio
        from .idphoto import make_id_photo, metadata

        if self.background is not None and self.background.transparent and not imageio.keeps_alpha(target):
            raise UsageError(f"{target}: {imageio.extension_of(target)[1:].upper() or 'this format'} cannot hold "
                             "transparency; use .png, .webp or .tif, or another --background")
        result = make_id_photo(cutout, imageio.read_photo(source), self.preset, self.background,
                               force=self.force, matte=self.matte)
        if self.sheet:
            result = result.sheet(self.sheet)
        result.write(target, self.max_kb)
        self.warnings.extend(f"{source}: written anyway: {warning}" for warning in result.warnings)
        if not metadata.holds_dpi(imageio.extension_of(target)):
            self.warnings.append(f"{target}: {imageio.extension_of(target)[1:].upper()} holds no print "
                                 "resolution; write .jpg, .png or .tif to print at the true size")


def convert(cutout, source: Path, target: Path, request: CutoutRequest, id_job: IdJob | None = None) -> None:
    if same_file(source, target) or source.resolve() == target.resolve():
        raise UsageError(f"{target}: refusing to overwrite the input photograph")
    check_readable_image(source)
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise UsageError(f"{target}: cannot make its folder ({error.strerror or error})") from error
    try:
        if id_job:
            id_job.write(cutout, source, target)
        else:
            cutout.write(source, target, request)
    except ImageError as error:
        raise UsageError(f"{source}: {error}" if id_job else str(error)) from error
    except Exception as error:  # report what the engine or its libraries said
        raise UsageError(f"{source}: {describe(error)}") from error


class Progress:
    """A one-line progress bar on a terminal; silent otherwise."""

    def __init__(self, total: int, stream=sys.stderr, enabled: bool = True):
        self.total = total
        self.stream = stream
        self.enabled = enabled and stream.isatty()
        self.done = 0

    def step(self, name: str) -> None:
        self.done += 1
        if not self.enabled:
            return
        width = 30
        filled = width * self.done // max(self.total, 1)
        line = f"\r[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} {name[:40]}"
        self.stream.write(line.ljust(80))
        self.stream.flush()

    def clear(self) -> None:
        if self.enabled:
            self.stream.write("\r" + " " * 80 + "\r")
            self.stream.flush()


def photographs_in(folder: Path) -> list[Path]:
    return sorted(p for p in folder.iterdir() if p.is_file() and p.suffix.lower() in IMAGE_EXTENSIONS)


def output_name(source: Path, ext: str | None) -> str:
    if not ext:
        return source.name
    return source.stem + "." + ext.lstrip(".")


def run_folder(cutout, source_dir: Path, target_dir: Path, args, id_job: IdJob | None = None) -> int:
    if target_dir.exists() and not target_dir.is_dir():
        raise UsageError(f"{target_dir}: the output must be a folder when the input is a folder")
    sources = photographs_in(source_dir)
    if not sources:
        raise UsageError(f"{source_dir}: no photographs found")
    target_dir.mkdir(parents=True, exist_ok=True)
    request = request_from(args)
    progress = Progress(len(sources), enabled=not args.quiet)
    failures = []
    for source in sources:
        try:
            convert(cutout, source, target_dir / output_name(source, args.ext), request, id_job)
        except UsageError as error:
            failures.append(str(error))
        progress.step(source.name)
    progress.clear()
    report_warnings(id_job, args)
    for failure in failures:
        print(f"portrait-main: {failure}", file=sys.stderr)
    if not args.quiet:
        print(f"{len(sources) - len(failures)} of {len(sources)} photographs written to {target_dir}")
    return 1 if failures else 0


def open_cutout(model: str | None, threads: int | None = None):
    from .api import Cutout

    try:
        return Cutout(model, threads=threads)
    except Exception as error:
        raise UsageError(f"cannot open the model {model or 'modnet.onnx'}: {describe(error)}") from error


def report_warnings(id_job: IdJob | None, args) -> None:
    if id_job and not args.quiet:
        for warning in id_job.warnings:
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
    if wants_service(argv):
        return serve(argv[1:])
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.id == "list":
        from .idphoto import listing

        print(listing())
        return 0
    if args.input is None or args.output is None:
        parser.error("the following arguments are required: " + ", ".join(
            name for name, value in (("input", args.input), ("-o/--output", args.output)) if value is None))
    source = Path(args.input)
    target = Path(args.output)
    try:
        if not args.id and (args.force or args.max_kb or args.sheet):
            raise UsageError("--force, --max-kb and --sheet apply to ID photos; add --id PRESET (--id list shows them)")
        id_job = IdJob(args) if args.id else None
        if not source.exists():
            raise UsageError(f"{source}: no such file or folder")
        if args.model and not Path(args.model).is_file():
            raise UsageError(f"{args.model}: no such model file")

        if source.is_dir():
            return run_folder(open_cutout(args.model), source, target, args, id_job)
        if args.ext:
            raise UsageError("--ext applies only when the input is a folder")
        if target.is_dir():
            target = target / source.name
        convert(open_cutout(args.model), source, target, request_from(args), id_job)
        report_warnings(id_job, args)
        if not args.quiet:
            print(f"wrote {target}")
        return 0
    except UsageError as error:
        print(f"portrait-main: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
