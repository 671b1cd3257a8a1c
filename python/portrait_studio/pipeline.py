"""The one path from a photograph and a request to a picture.

    read -> the segmenter's plane -> [refine] -> [frame an ID photo] -> compose -> [letterbox] -> encode -> deliver

`Cutout.make(data, request)` is the path from a photograph's bytes to the
picture's: it reads (the header checked once, against the request's pixel
limit), calls `Cutout.produce(photo, request)`, which makes every picture the
product makes, and `encode(output, extension)`, its one encoder. Front ends
(the command line, the folder pool, Dask tasks, the HTTP service, the Python
API) parse, schedule and deliver; none decodes, limits, makes or encodes a
picture itself.

The engine's own picture (the model's matte over white) is the engine's:
`Cutout.write` calls its `_image` on the files, and `produce` makes the same
bytes in memory with the engine's shared blend kernel, on the same model
values (a differential test holds the two together for models whose values
leave [0, 1]). A Cutout given a share of the cores writes that picture
through `produce` instead: `_image` splits its passes over every core, so
engines working side by side would fight over them.
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
from dataclasses import dataclass, field

import cv2
import numpy as np

from .core import colour, imageio, targets
from .core.compose import alpha_to_byte, as_photo, blend_over_white_as_engine, compose, fit_to, sanitise_alpha
from .core.fields import spell, spelled_as
from .core.fusion import REVIEW_BELOW, segmenter_confidence
from .core.imageio import same_file
from .core.letterbox import LetterboxError, check_fits
from .core.models import Segmenter, bundled_model_path
from .core.parsers import parse_format
from .core.request import Request, RequestError
from .idphoto.metadata import holds_dpi

__all__ = ["Cutout", "Encoded", "Output", "Written", "encode", "bundled_model_path", "needs_review"]

DEFAULT_REQUEST = Request()  # a refined cut-out on white at the photograph's size


@dataclass
class Output:
    """A picture made for a request, with what goes into its file and what
    its caller should be told."""

    picture: np.ndarray  # B, G, R; B, G, R, A when transparent; one channel for a mask
    dpi: int | None = None  # the print resolution to record in the file (ID photos)
    warnings: list[str] = field(default_factory=list)  # made anyway, but something is off
    confidence: float | None = None  # how far the cut-out can be trusted, in [0, 1]
    details: object = None  # an ID photo's face and framing (idphoto.IdPhoto), for those who need them
    overlay: np.ndarray | None = None  # an ID photo with its guide lines drawn on it, for a person to check
    srgb: bool = True  # tagged as sRGB where the format holds a profile; never the engine's own picture

    @property
    def review(self) -> bool:
        """True when a person should look at this cut-out before it is used."""
        return needs_review(self.confidence)


@dataclass(frozen=True)
class Written:
    """What `Cutout.write` did beyond writing the file."""

    warnings: list[str] = field(default_factory=list)  # written anyway, but something is off
    confidence: float | None = None

    @property
    def review(self) -> bool:
        return needs_review(self.confidence)


class Unfit(imageio.ImageError):
    """The photograph cannot be fitted to the size asked."""


MEDIA_TYPES = {"png": "image/png", "jpg": "image/jpeg", "webp": "image/webp", "tif": "image/tiff",
               "bmp": "image/bmp", "avif": "image/avif", "jp2": "image/jp2"}


@dataclass(frozen=True)
class Encoded:
    """A picture made from encoded bytes, encoded: what `Cutout.make` gives back."""

    data: bytes
    format: str  # its extension without the dot: "png", "jpg", ...
    warnings: tuple[str, ...] = ()  # made anyway, but something is off
    confidence: float | None = None  # how far the cut-out can be trusted, in [0, 1]
    checks: tuple = ()  # an ID photo's rules as measured (idphoto.Check)
    dpi: int | None = None  # the print resolution recorded in the file (ID photos)
    overlay: bytes | None = None  # an ID photo's guide lines, when asked for
    details: object = None  # an ID photo's face and framing (idphoto.IdPhoto)

    @property
    def media_type(self) -> str:
        return MEDIA_TYPES.get(self.format, "application/octet-stream")

    @property
    def review(self) -> bool:
        return needs_review(self.confidence)


def check(data: bytes, request: Request, name: str = "the image") -> tuple[int, int] | None:
    """What can be told of the photograph's bytes before decoding them: a
    picture at all, within the request's pixel limit, whole. (width, height)
    where the header says it."""
    return imageio.check_photo_bytes(data, name, request.max_pixels)


# Formats told apart by their first bytes, for bytes that come without a name.
SIGNATURES = (
    (b"\x89PNG\r\n\x1a\n", "png"),
    (b"\xff\xd8\xff", "jpg"),
    (b"BM", "bmp"),
    (b"II*\x00", "tif"),
    (b"MM\x00*", "tif"),
)


def format_of(data: bytes) -> str | None:
    """The format the bytes are in, where their first bytes tell it."""
    if data[:4] == b"RIFF" and data[8:12] == b"WEBP":
        return "webp"
    if data[4:8] == b"ftyp" and data[8:12] in imageio.AVIF_BRANDS:
        return "avif"
    return next((name for signature, name in SIGNATURES if data.startswith(signature)), None)


def output_format(request: Request, given: str | None, data: bytes) -> str:
    """The format the picture is written in: the request's, else `given`
    (an output file's extension), else the photograph's own where it can be
    written and holds the picture, else PNG. A format that cannot hold it is
    refused (RequestError) before any work."""
    try:
        asked = request.format or (parse_format(given) if given else None)
    except ValueError as error:
        raise RequestError(str(error)) from None
    if asked is not None:
        request.check_format(asked)
        if not imageio.writable_extension(asked):
            raise RequestError(f"bad {spell('format')} {asked!r}: no writer for it; "
                               f"use one of {', '.join(imageio.WRITABLE_HINT)}")
        return asked
    extension = format_of(data) or "png"
    # A photograph in a format nothing here writes (a phone's HEIC) comes back as PNG.
    if (request.has_alpha and not imageio.keeps_alpha(extension)) or not imageio.writable_extension(extension):
        return "png"
    return extension


def check_overlay(request: Request, extension: str) -> None:
    """Refuses, before any work, guide lines that cannot be made or written."""
    if request.id_photo is None:
        raise RequestError(f"the guide lines ({spell('overlay')}) are drawn on ID photos only; "
                           f"ask for one with {spell('id')} DOCUMENT")
    if not imageio.writable_extension(extension):
        raise RequestError("no writer for this extension; write the guide lines to a .png")
    request.check_format(extension)


# From this many pixels on, a refined cut-out written from a file runs both
# networks before it keeps the decoded photograph: a 12 MP photograph is
# 36 MB, a seventh of the second network's peak, and decoding it again costs
# some 70 ms, about 6 % of the cut-out. Below it the second decode is not worth it.
NETWORKS_FIRST_PIXELS = 8_000_000


def takes_networks_first(request: Request, photo: np.ndarray) -> bool:
    return (request.matte == "refined" and request.id_photo is None
            and photo.shape[0] * photo.shape[1] >= NETWORKS_FIRST_PIXELS)


def needs_review(confidence: float | None) -> bool:
    return confidence is not None and confidence < REVIEW_BELOW


class Cutout:
    """The models and what the product makes with them. Like the engine,
    one Cutout serves one call at a time; make one per thread.

    `threads` is this Cutout's share of the cores: the inference threads of
    its own sessions and the threads of the product's native passes run from
    its calls (default: ONNX Runtime's and the machine's, one per core);
    parallel callers give each Cutout a share."""

    def __init__(self, model: str | os.PathLike | None = None, *, threads: int | None = None,
                 saliency_model: str | os.PathLike | None = None):
        self.model = str(model) if model else None
        self.threads = threads
        self.segmenter = Segmenter(model, threads=threads)
        self._saliency_model = saliency_model
        self._saliency = None
        self._engine = None

    @property
    def saliency(self):
        """The second network, opened when a refined cut-out first needs it."""
        if self._saliency is None:
            from .core.saliency import Saliency

            self._saliency = Saliency(self._saliency_model, threads=self.threads)
        return self._saliency

    @property
    def model_path(self) -> str:
        return self.segmenter.path

    @property
    def engine(self):
        """The engine, opened when a picture is first written by it."""
        if self._engine is None:
            import portrait_main

            self._engine = portrait_main.QuorinPortraitMain(self.model)
        return self._engine

    # -- mattes ---------------------------------------------------------------

    def model_plane(self, photo: np.ndarray, input_size: tuple[int, int] | None = None) -> np.ndarray:
        """The model's own matte plane at its output resolution, as the engine computes it."""
        return self.segmenter.plane(as_photo(photo), input_size or DEFAULT_REQUEST.model_input_size)

    def alpha(self, photo: np.ndarray, kind: str = "refined", input_size: tuple[int, int] | None = None,
              foreground: bool = False) -> tuple[np.ndarray, np.ndarray | None, float]:
        """(alpha, foreground colours or None, confidence) at the photograph's
        size; the alpha is float32 in [0, 1]. `kind` is "refined" (both
        networks' planes fused, then refined), "fast" (the segmenter's plane
        refined) or "model" (the segmenter's matte as the engine uses it)."""
        with self._thread_budget():
            return self._alpha(photo, kind, input_size or DEFAULT_REQUEST.model_input_size, foreground)

    def network_planes(self, photo: np.ndarray, input_size: tuple[int, int], *, release=None):
        """Both networks' planes for a refined cut-out of `photo`: (the
        segmenter's, sanitised; the saliency network's). `release`, where
        given, is called once the photograph is no longer needed and before
        the second network runs, so that a caller who can have the photograph
        again (from its file) need not hold it through the network's peak."""
        from .core.saliency import preprocess

        with self._thread_budget():
            plane = sanitise_alpha(self.segmenter.plane(photo, input_size))
            tensor = preprocess(photo)
            del photo  # this frame's reference too, or releasing frees nothing
            if release is not None:
                release()
            return plane, self.saliency.plane_of_input(tensor)

    def _alpha(self, photo, kind, size, foreground, planes=None, temporal=None):
        """`planes`, where given, are `network_planes` made earlier for this
        photograph and size; `temporal`, where given, follows the coarse
        plane through a clip's frames (video.temporal.TemporalMatte) before
        it is refined."""
        from .core import fusion, refine

        if planes is not None and kind in ("model", "fast"):
            raise ValueError(f"both networks' planes make a refined cut-out, not {kind!r}")
        refined = refine.refine if temporal is None else temporal.refine
        if kind not in ("model", "fast"):  # refined
            plane, saliency = planes if planes is not None else self.network_planes(photo, size)
            fused = fusion.fuse(plane, saliency)
            alpha, colours = refined(photo, fused.plane, refine.FUSED, foreground=foreground)
            return alpha, colours, fused.confidence
        plane = sanitise_alpha(self.segmenter.plane(photo, size))
        if kind == "model":
            matte = cv2.resize(plane, (photo.shape[1], photo.shape[0]), interpolation=cv2.INTER_NEAREST)
            return matte, photo, fusion.segmenter_confidence(plane)
        alpha, colours = refined(photo, plane, refine.DEFAULT, foreground=foreground)
        return alpha, colours, fusion.segmenter_confidence(plane)

    def matte(self, photo: np.ndarray, kind: str = "refined", input_size: tuple[int, int] | None = None) -> np.ndarray:
        """The alpha matte at the photograph's size, float32 in [0, 1]."""
        return self.alpha(as_photo(photo), kind, input_size)[0]

    @contextlib.contextmanager
    def _thread_budget(self):
        """This Cutout's share of the cores for the native passes of the
        calling thread, for the length of one call."""
        if not self.threads:
            yield
            return
        from . import _native

        previous = _native.thread_budget()
        _native.set_thread_budget(self.threads)
        try:
            yield
        finally:
            _native.set_thread_budget(previous)

    # -- the one path ------------------------------------------------------------

    def produce(self, photo: np.ndarray, request: Request = DEFAULT_REQUEST, *, planes=None,
                temporal=None) -> Output:
        """The picture `request` asks for, made from the B, G, R `photo`;
        `planes`, where given, are `network_planes` of this very photograph
        for a refined cut-out that is no ID photo; `temporal`, a clip's
        video.temporal.TemporalMatte, makes this photograph the clip's next
        frame (refined and fast mattes)."""
        with self._thread_budget():  # every native pass of the call, composing and framing too
            return self._produce(as_photo(photo), request, planes, temporal)

    def _produce(self, photo: np.ndarray, request: Request, planes=None, temporal=None) -> Output:
        if request.size:  # before the model runs, not after
            check_fits(photo.shape[1], photo.shape[0], request.size)
        if request.id_photo is not None:
            return self._id_photo(photo, request)
        background = request.picture_background
        if request.is_engine_output:
            plane = self.segmenter.plane(photo, request.model_input_size)
            matte = cv2.resize(plane, (photo.shape[1], photo.shape[0]), interpolation=cv2.INTER_NEAREST)
            picture = fit_to(blend_over_white_as_engine(photo, matte), request.size, background)
            confidence = segmenter_confidence(sanitise_alpha(plane))
        else:
            alpha, foreground, confidence = self._alpha(photo, request.matte, request.model_input_size,
                                                        not request.mask, planes, temporal)
            if request.mask:
                picture = fit_to(alpha_to_byte(alpha), request.size, background, mask=True)
            else:
                picture = compose(photo, foreground, alpha, background, request.size)
        return Output(picture, confidence=confidence, srgb=not request.is_engine_output)

    def _id_photo(self, photo: np.ndarray, request: Request) -> Output:
        from .idphoto import make_id_photo

        wanted = request.id_photo
        made = make_id_photo(self, photo, wanted.preset, request.background,
                             force=wanted.force, matte=request.matte)
        guides = made.overlay()  # of the one photo, also when a sheet of copies is asked
        if wanted.sheet:
            made = made.sheet(wanted.sheet)
        return Output(made.picture, made.dpi, [f"written anyway: {w}" for w in made.warnings],
                      confidence=made.confidence, details=made, overlay=guides)

    def render(self, photo: np.ndarray, request: Request = DEFAULT_REQUEST) -> np.ndarray:
        """The picture alone."""
        return self.produce(photo, request).picture

    def make(self, data: bytes, request: Request = DEFAULT_REQUEST, **options) -> Encoded:
        """The one path from bytes to bytes on this Cutout: `make(self, data, request, ...)`."""
        return make(self, data, request, **options)

    def write(self, source: str | os.PathLike, target: str | os.PathLike, request: Request = DEFAULT_REQUEST,
              *, max_pixels: int | None = None, confidence: bool = True, checks: list | None = None,
              overlay: str | os.PathLike | None = None) -> Written:
        """Reads `source`, makes the picture (`make`) and writes `target`
        atomically. Returns what the caller should be told although the
        picture was written (an ID photo made with force, say) and the
        cut-out's confidence; the engine's own picture, written by the
        engine, is measured only when `confidence` asks for it. `max_pixels`
        overrides the request's; `checks` and `overlay` as `make`'s, the
        guide lines written to the file `overlay` after the photo."""
        if max_pixels is not None:
            request = dataclasses.replace(request, max_pixels=max_pixels)
        source_name, target_name = imageio.shown(source), imageio.shown(target)
        if same_file(source, target):
            raise imageio.ImageError(f"{target_name}: refusing to overwrite the input photograph")
        extension = imageio.extension_of(target).lstrip(".").lower()
        if extension and not imageio.writable_extension(extension):
            raise imageio.ImageError(f"{target_name}: no writer for this extension; "
                                     f"use one of {', '.join(imageio.WRITABLE_HINT)}")
        if request.format is not None and extension and parse_format(extension) != request.format:
            raise imageio.ImageError(f"{target_name}: its name says {extension.upper()} but the format asked "
                                     f"is {request.format.upper()}; name the file .{request.format}")
        try:
            output_format(request, request.format or extension or None, b"")
        except RequestError as error:
            raise imageio.ImageError(f"{target_name}: {error}") from None
        if not extension and request.format is None:
            raise imageio.ImageError(f"{target_name}: no writer for files without an extension; "
                                     f"use one of {', '.join(imageio.WRITABLE_HINT)}")
        if overlay is not None:
            self._check_overlay_target(source, target, overlay, request)
        try:  # nothing but what was named as an output is replaced: not the background picture, no device
            targets.check_targets([("the photograph", source), ("the background picture", request.picture_background.path)],
                                  [("the output", target), ("the guide lines", overlay)])
        except targets.TargetError as error:
            raise imageio.ImageError(str(error)) from None
        data = imageio.read_bytes(source, request.max_pixels)
        header = check(data, request, source_name)
        # HEIC, which the engine cannot read, takes the in-memory path: the
        # same bytes on the same decoded photograph.
        if (request.is_engine_output and self.threads is None and imageio.engine_reads(data)
                and request.quality is None and request.format is None
                and imageio.opencv_can_take(source) and imageio.opencv_can_take(target)):
            try:
                if request.size and header is not None:
                    check_fits(*header, request.size)
            except LetterboxError as error:
                raise Unfit(f"{source_name}: {error}") from None
            self._write_with_engine(source, target, request)
            if not confidence:
                return Written()
            photo = imageio.decode_photo(data, request.max_pixels, name=source_name, as_engine=True, checked=True)
            return Written(confidence=self.confidence(photo, request))
        made = self.make(data, request, name=source, format=extension or None, checks=checks,
                         overlay_format=imageio.extension_of(overlay) if overlay is not None else None,
                         header=header)
        del data
        if overlay is None or made.overlay is None:
            imageio.write_bytes_atomically(target, made.data)
        else:  # both or neither: a photo on disk is never reported as a failure
            imageio.write_all_atomically([(target, made.data), (overlay, made.overlay)])
        warnings = [f"{source_name}: {warning}" for warning in made.warnings]
        if made.dpi is not None and not holds_dpi("." + made.format):
            # said of the file the user named
            warnings[-1] = f"{target_name}: {made.warnings[-1]}"
        return Written(warnings, made.confidence)

    @staticmethod
    def _check_overlay_target(source, target, overlay, request: Request) -> None:
        name = imageio.shown(overlay)
        if same_file(source, overlay) or same_file(target, overlay):
            raise imageio.ImageError(f"{name}: the guide lines need a file of their own, not the photograph or the photo")
        try:
            check_overlay(request, imageio.extension_of(overlay))
        except RequestError as error:
            raise imageio.ImageError(f"{name}: {error}") from None

    def confidence(self, photo: np.ndarray, request: Request = DEFAULT_REQUEST) -> float:
        """The engine's picture's confidence: the segmenter's own certainty."""
        with self._thread_budget():
            return segmenter_confidence(sanitise_alpha(self.segmenter.plane(as_photo(photo), request.model_input_size)))

    def _write_with_engine(self, source, target, request: Request) -> None:
        """The engine's own `_image` from file to file: its bytes by construction."""
        import cv2

        with imageio.atomic_target(target) as temporary:
            if not imageio.opencv_can_take(temporary):
                raise imageio.ImageError(f"{imageio.shown(target)}: its folder's name cannot be passed to OpenCV")
            try:
                self.engine._image(str(source), temporary, request.size)
            except OSError as error:  # the engine names the temporary
                raise imageio.ImageError(f"{imageio.shown(target)}: cannot be written; is its folder writable?") from error
            except cv2.error as error:
                # The bytes passed every check but OpenCV would not decode or
                # resize them: say so of the user's file, not in OpenCV's words.
                raise imageio.ImageError(f"{imageio.shown(source)}: not an image that can be read "
                                         f"({type(error).__name__})") from error


def make(cutout, data: bytes, request: Request = DEFAULT_REQUEST, *, name: str | None = None,
         format: str | None = None, overlay_format: str | None = None, checks: list | None = None,
         spelling=None, header: tuple[int, int] | None = None) -> Encoded:
    """The one path from bytes to bytes, on `cutout` (a Cutout, or what
    stands in for one: its `produce`, and `network_planes` for a big refined
    photograph): `data` read (refused from its
    header when over the request's pixel limit or cut short, before
    anything decodes it), the picture made and encoded in the request's
    format (else `format`, else the photograph's own where it can be
    written, else PNG), at its quality and size cap. `name` is how
    refusals name the photograph; `overlay_format`, for an ID photo, also
    encodes its guide lines; `checks`, where given, gets an ID photo's
    rules as measured, also when they refused it. `spelling` names the
    fields in messages as the calling front end's user types them;
    `header` is `check(data, request)`'s answer where the caller asked
    it already."""
    if spelling is not None:
        with spelled_as(spelling):
            return make(cutout, data, request, name=name, format=format, overlay_format=overlay_format,
                        checks=checks, header=header)
    extension = output_format(request, format, data)
    if overlay_format is not None:
        check_overlay(request, overlay_format)
    said = imageio.shown(name) if name is not None else "the image"
    if header is None:
        header = check(data, request, said)
    engine = request.is_engine_output
    try:
        if request.size and header is not None:
            check_fits(*header, request.size)
        photo = imageio.decode_photo(data, request.max_pixels, name=said, as_engine=engine, checked=True)
        planes = None
        if takes_networks_first(request, photo):
            # The second network's peak comes while nothing full-size is
            # held; the photograph is decoded again afterwards (the same
            # pixels: decoding is deterministic).
            holder = [photo]
            del photo
            planes = cutout.network_planes(holder[0], request.model_input_size, release=holder.clear)
            photo = imageio.decode_photo(data, request.max_pixels, name=said, as_engine=engine, checked=True)
        output = cutout.produce(photo, request) if planes is None else cutout.produce(photo, request, planes=planes)
        del photo
        body = encode(output, extension, quality=request.quality,
                      max_kb=request.id_photo.max_kb if request.id_photo else None)
    except LetterboxError as error:
        raise Unfit(f"{said}: {error}" if name is not None else str(error)) from None
    except imageio.ImageError as error:
        if request.id_photo is None or isinstance(error, (imageio.NotAPicture, imageio.DamagedPicture,
                                                           imageio.TooManyPixels)):
            raise
        if checks is not None:
            checks.extend(getattr(error, "checks", []))
        # ID photo refusals speak of the face and the cap: say which
        # photograph, keeping the refusal's kind and its checks
        if name is not None:
            error.args = (f"{said}: {error}",)
        raise
    measured = tuple(getattr(output.details, "checks", []) or ())
    if checks is not None:
        checks.extend(measured)
    warnings = list(output.warnings)
    if output.dpi is not None and not holds_dpi("." + extension):
        warnings.append(f"{extension.upper()} holds no print resolution; "
                        "write .jpg, .png or .tif to print at the true size")
    guides = None
    if overlay_format is not None and output.overlay is not None:
        guides = encode(Output(output.overlay, output.dpi), overlay_format)
    return Encoded(body, extension, tuple(warnings), output.confidence, measured, output.dpi, guides,
                   output.details)


def encode(output: Output, extension: str, *, quality: int | None = None, max_kb: float | None = None) -> bytes:
    """The output in the format `extension` names (".png", "jpg", ...), with
    its print resolution where it has one, tagged as sRGB unless it is the
    engine's own picture, at JPEG or WebP `quality` when given (the format's
    default otherwise), and under `max_kb` kilobytes when given (JPEG: the
    highest quality that fits; an online form's JPEG by default under the
    form's own cap)."""
    made = output.details
    if max_kb is None and getattr(made, "copies", 0) == 1 and extension.lower().lstrip(".") in ("jpg", "jpeg", "jpe"):
        max_kb = made.preset.max_kb
    if output.dpi is not None or max_kb is not None:
        from .idphoto import encode_capped

        return encode_capped(output.picture, extension, output.dpi, max_kb, quality)
    data = imageio.encode(output.picture, extension, imageio.quality_parameters(extension, quality))
    return colour.tag_srgb(data, extension) if output.srgb and output.picture.ndim == 3 else data
