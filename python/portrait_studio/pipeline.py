"""The one path from a photograph and a request to a picture.

    read -> the segmenter's plane -> [refine] -> [frame an ID photo] -> compose -> [letterbox] -> encode -> deliver

`Cutout.produce(photo, request)` makes every picture the product makes and
`encode(output, extension)` is its one encoder. Front ends (the command
line, the folder pool, Dask tasks, the HTTP service, the Python API) parse,
schedule and deliver; none makes a picture itself.

The engine's own picture (the model's matte over white) is the engine's:
`Cutout.write` calls its `_image` on the files, and `produce` makes the same
bytes in memory with the engine's shared blend kernel, on the same model
values (a differential test holds the two together for models whose values
leave [0, 1]).
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from .core import imageio
from .core.compose import alpha_to_byte, as_photo, blend_over_white_as_engine, composite, fit_to, sanitise_alpha
from .core.models import Segmenter, bundled_model_path
from .core.request import Request, RequestError
from .idphoto.metadata import holds_dpi

__all__ = ["Cutout", "Output", "encode", "bundled_model_path"]

DEFAULT_REQUEST = Request()  # a refined cut-out on white at the photograph's size


@dataclass
class Output:
    """A picture made for a request, with what goes into its file and what
    its caller should be told."""

    picture: np.ndarray  # B, G, R; B, G, R, A when transparent; one channel for a mask
    dpi: int | None = None  # the print resolution to record in the file (ID photos)
    warnings: list[str] = field(default_factory=list)  # made anyway, but something is off
    confidence: float | None = None  # how far the cut-out can be trusted, where measured
    details: object = None  # an ID photo's face and framing (idphoto.IdPhoto), for those who need them


class Cutout:
    """The models and what the product makes with them. Like the engine,
    one Cutout serves one call at a time; make one per thread.

    `threads` is the inference threads of its own sessions (default: ONNX
    Runtime's, one per core); parallel callers give each Cutout a share."""

    def __init__(self, model: str | os.PathLike | None = None, *, threads: int | None = None):
        self.model = str(model) if model else None
        self.threads = threads
        self.segmenter = Segmenter(model, threads=threads)
        self._engine = None

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
              foreground: bool = False) -> tuple[np.ndarray, np.ndarray | None]:
        """(alpha, foreground colours or None) at the photograph's size; the
        alpha is float32 in [0, 1]."""
        size = input_size or DEFAULT_REQUEST.model_input_size
        if kind == "model":
            return sanitise_alpha(self.segmenter.matte(photo, size)), photo
        from .core import refine

        return refine.refine(photo, sanitise_alpha(self.segmenter.plane(photo, size)), foreground=foreground)

    def matte(self, photo: np.ndarray, kind: str = "refined", input_size: tuple[int, int] | None = None) -> np.ndarray:
        """The alpha matte at the photograph's size, float32 in [0, 1]."""
        return self.alpha(as_photo(photo), kind, input_size)[0]

    # -- the one path ------------------------------------------------------------

    def produce(self, photo: np.ndarray, request: Request = DEFAULT_REQUEST) -> Output:
        """The picture `request` asks for, made from the B, G, R `photo`."""
        photo = as_photo(photo)
        if request.id_photo is not None:
            return self._id_photo(photo, request)
        background = request.picture_background
        if request.is_engine_output:
            picture = blend_over_white_as_engine(photo, self.segmenter.matte(photo, request.model_input_size))
        else:
            alpha, foreground = self.alpha(photo, request.matte, request.size, foreground=not request.mask)
            picture = alpha_to_byte(alpha) if request.mask else composite(foreground, alpha, background)
        return Output(fit_to(picture, request.size, background, request.mask))

    def _id_photo(self, photo: np.ndarray, request: Request) -> Output:
        from .idphoto import make_id_photo

        wanted = request.id_photo
        made = make_id_photo(self, photo, wanted.preset, request.picture_background,
                             force=wanted.force, matte=request.matte)
        if wanted.sheet:
            made = made.sheet(wanted.sheet)
        return Output(made.picture, made.dpi, [f"written anyway: {w}" for w in made.warnings], details=made)

    def render(self, photo: np.ndarray, request: Request = DEFAULT_REQUEST) -> np.ndarray:
        """The picture alone."""
        return self.produce(photo, request).picture

    def write(self, source: str | os.PathLike, target: str | os.PathLike, request: Request = DEFAULT_REQUEST) -> list[str]:
        """Reads `source`, makes the picture and writes `target` atomically.
        Returns what the caller should be told although the picture was
        written (an ID photo made with force, say)."""
        extension = imageio.extension_of(target)
        try:
            request.check_format(extension, lambda name: f"--{name}")
        except RequestError as error:
            raise imageio.ImageError(f"{target}: {error}") from None
        if request.is_engine_output:
            try:
                with imageio.atomic_target(target) as temporary:
                    self.engine._image(str(source), temporary, request.size)
            except Exception:
                # Decoding a large photograph twice on every success would
                # cost a third of the run; only a failure is worth a second
                # look, to say "cannot be read" instead of OpenCV's words.
                imageio.read_photo(source)
                raise
            return []
        photo = imageio.read_photo(source)
        max_kb = request.id_photo.max_kb if request.id_photo else None
        try:
            output = self.produce(photo, request)
            data = encode(output, extension, max_kb=max_kb)
        except imageio.ImageError as error:
            if request.id_photo is None:
                raise
            # ID photo refusals speak of the face and the cap: say which photograph
            raise imageio.ImageError(f"{source}: {error}") from None
        imageio.write_bytes_atomically(target, data)
        warnings = [f"{source}: {warning}" for warning in output.warnings]
        if output.dpi is not None and not holds_dpi(extension):
            warnings.append(f"{target}: {extension[1:].upper()} holds no print resolution; "
                            "write .jpg, .png or .tif to print at the true size")
        return warnings


def encode(output: Output, extension: str, *, quality: int | None = None, max_kb: float | None = None) -> bytes:
    """The output in the format `extension` names (".png", "jpg", ...), with
    its print resolution where it has one, at JPEG or WebP `quality` when
    given (the format's default otherwise), and under `max_kb` kilobytes when
    given (JPEG: the highest quality that fits)."""
    if output.dpi is not None or max_kb is not None:
        from .idphoto import encode_capped

        return encode_capped(output.picture, extension, output.dpi, max_kb, quality)
    return imageio.encode(output.picture, extension, imageio.quality_parameters(extension, quality))


def same_file(a: str | os.PathLike, b: str | os.PathLike) -> bool:
    """True when both name one file, through links and spellings too."""
    a, b = Path(a), Path(b)
    try:
        if a.exists() and b.exists() and os.path.samefile(a, b):
            return True
    except OSError:
        pass
    return a.resolve() == b.resolve()
