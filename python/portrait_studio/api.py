"""The product layer's one path from a photograph to a picture.

    read -> model matte (engine session) -> [refine] -> composite -> [letterbox] -> write

Every caller (the command line, the folder pipeline, Dask tasks, the HTTP
service, ID photos) builds a `CutoutRequest` and goes through `Cutout`; none
of them re-implements a step. A model matte over white is exactly what the
engine's `_image` writes, and is made by calling it.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

import cv2
import numpy as np

from . import _native, imageio
from .background import WHITE, Background
from .letterbox import LetterboxError, check_fits, letterbox

MATTE_KINDS = ("refined", "model")
DEFAULT_INPUT_SIZE = (512, 512)  # the engine's own default


@dataclass(frozen=True)
class IdPhotoRequest:
    """An ID photo: framed around the face to a preset instead of letterboxed."""

    preset: str  # a preset's name or alias (idphoto.presets)
    background: Background | None = None  # None: the preset's own colour
    force: bool = False  # make the best effort where the photograph falls short, with warnings
    max_kb: float | None = None  # keep the file under this many kilobytes
    sheet: str | None = None  # a print sheet of copies instead of one photo (6x4in, 5x7in, A6)


@dataclass(frozen=True)
class CutoutRequest:
    """What to make of one photograph."""

    matte: str = "refined"  # "refined", or "model": the engine's matte as it is
    background: Background = WHITE
    size: tuple[int, int] | None = None  # letterbox to (width, height); the model runs at it too
    mask: bool = False  # write the matte itself (255 = person) instead of a picture
    id_photo: IdPhotoRequest | None = None
    max_pixels: int | None = None  # refuse bigger photographs from their headers; None: imageio's default

    def __post_init__(self):
        if self.max_pixels is not None and (int(self.max_pixels) != self.max_pixels or self.max_pixels < 1):
            raise ValueError(f"bad max_pixels {self.max_pixels!r}: expected a positive whole number")
        if self.matte not in MATTE_KINDS:
            raise ValueError(f"bad matte {self.matte!r}: expected one of {', '.join(MATTE_KINDS)}")
        if self.id_photo is not None and (self.size or self.mask):
            raise ValueError(f"{'size' if self.size else 'mask'} does not go with an ID photo: the preset sets the picture")
        if self.size is not None:
            width, height = self.size
            if int(width) != width or int(height) != height or width <= 0 or height <= 0:
                raise ValueError(f"bad size {self.size!r}: expected positive whole numbers")

    @property
    def is_engine_output(self) -> bool:
        """True when the engine's `_image` writes exactly this picture."""
        return self.matte == "model" and self.background.is_white and not self.mask and self.id_photo is None


def bundled_model_path() -> str:
    import portrait_main

    return str(Path(portrait_main.__file__).with_name("modnet.onnx"))


class Cutout:
    """One engine and what the product layer makes with it. Like the engine,
    one Cutout serves one call at a time; make one per thread."""

    def __init__(self, model: str | os.PathLike | None = None, *, threads: int | None = None):
        import portrait_main

        self.model_path = str(model) if model else bundled_model_path()
        self.threads = threads
        self.engine = portrait_main.QuorinPortraitMain(str(model) if model else None)
        if threads:
            # The engine opens its session with ONNX Runtime's defaults, one
            # thread per core; parallel callers give each engine fewer.
            import onnxruntime as rt

            options = rt.SessionOptions()
            options.intra_op_num_threads = threads
            options.inter_op_num_threads = 1
            self.engine._session = rt.InferenceSession(self.model_path, options, providers=self.engine._session.get_providers())

    # -- the matte ---------------------------------------------------------

    def model_plane(self, photo: np.ndarray, input_size: tuple[int, int] | None = None) -> np.ndarray:
        """The model's own matte plane, at its output resolution: what the
        engine computes before stretching it, from the same input values."""
        width, height = input_size or DEFAULT_INPUT_SIZE
        # One float32 copy of the photograph, with the engine's exact values,
        # instead of NumPy's chain of temporaries at full size.
        image = np.empty(photo.shape, np.float32)
        _native.model_input(np.ascontiguousarray(photo), image)
        image = cv2.resize(image, (width, height), interpolation=cv2.INTER_LINEAR)
        tensor = np.transpose(image, [2, 0, 1])[None, :, :, :].astype(np.float32)
        mask = self.engine._session.run(["output"], {"input": tensor})[0]
        return np.asarray(mask[0, 0], dtype=np.float32)

    def model_matte(self, photo: np.ndarray, input_size: tuple[int, int] | None = None) -> np.ndarray:
        """The engine's matte: the model plane stretched to the photograph by
        nearest neighbour, values as the model gave them."""
        plane = self.model_plane(photo, input_size)
        return cv2.resize(plane, (photo.shape[1], photo.shape[0]), interpolation=cv2.INTER_NEAREST)

    def matte(self, photo: np.ndarray, kind: str = "refined", input_size: tuple[int, int] | None = None) -> np.ndarray:
        """The alpha matte at the photograph's size, float32 in [0, 1]."""
        return self._matte_and_foreground(photo, kind, input_size)[0]

    def _matte_and_foreground(self, photo, kind, input_size):
        if kind == "model":
            return sanitise_alpha(self.model_matte(photo, input_size)), photo
        from . import refine

        plane = self.model_plane(photo, input_size)
        return refine.refine(photo, sanitise_alpha(plane))

    # -- pictures ----------------------------------------------------------

    def render(self, photo: np.ndarray, request: CutoutRequest = CutoutRequest()) -> np.ndarray:
        """The picture (B, G, R, or B, G, R, A when transparent) or the mask
        (one channel) that `request` asks for."""
        photo = as_photo(photo)
        if request.size:  # before the model runs, not after
            check_fits(photo.shape[1], photo.shape[0], request.size)
        if request.is_engine_output:
            picture = blend_over_white_as_engine(photo, self.model_matte(photo, request.size))
            return letterbox(picture, request.size, WHITE.bgr) if request.size else picture
        alpha, foreground = self._matte_and_foreground(photo, request.matte, request.size)
        if request.mask:
            picture = alpha_to_byte(alpha)
            fill: tuple[int, ...] = (0,)
        else:
            picture = composite(foreground, alpha, request.background)
            fill = (0, 0, 0, 0) if request.background.transparent else request.background.bgr
        if request.size:
            picture = letterbox(picture, request.size, fill)
        return picture

    def write(self, source: str | os.PathLike, target: str | os.PathLike,
              request: CutoutRequest = CutoutRequest(), *, max_pixels: int | None = None) -> list[str]:
        """Reads `source`, renders it and writes `target` atomically. Returns
        what the caller should be told although the picture was written (an
        ID photo made with force, say). A photograph over `max_pixels` (by
        default the request's, else imageio.DEFAULT_MAX_PIXELS) is refused from
        its header."""
        max_pixels = request.max_pixels if max_pixels is None else max_pixels
        if imageio.same_file(source, target):
            raise imageio.ImageError(f"{imageio.shown(target)}: refusing to overwrite the input photograph")
        if request.id_photo is not None:
            from .idphoto import write_id_photo

            return write_id_photo(self, source, target, request, max_pixels=max_pixels)
        if request.background.transparent and not request.mask and not imageio.keeps_alpha(target):
            raise imageio.ImageError(
                f"{imageio.shown(target)}: {imageio.extension_of(target)[1:].upper() or 'this format'} cannot hold "
                "transparency; use .png, .webp or .tif, or another --background"
            )
        if not imageio.writable_extension(imageio.extension_of(target)):
            raise imageio.ImageError(f"{imageio.shown(target)}: no writer for this extension; "
                                     f"use one of {', '.join(imageio.WRITABLE_HINT)}")
        data = imageio.read_bytes(source)
        # Refused from the bytes before anything decodes them: too many
        # pixels, or a file cut short that a decoder would pad with grey.
        header = imageio.check_photo_bytes(data, imageio.shown(source), max_pixels)
        if request.size and header is not None:
            try:
                check_fits(*header, request.size)
            except LetterboxError as error:
                raise imageio.ImageError(f"{imageio.shown(source)}: {error}") from None
        if request.is_engine_output and imageio.opencv_can_take(source) and imageio.opencv_can_take(target):
            self._write_with_engine(source, target, request)
            return []
        photo = imageio.decode_photo(data, max_pixels, name=imageio.shown(source))
        try:
            picture = self.render(photo, request)
        except LetterboxError as error:
            raise imageio.ImageError(f"{imageio.shown(source)}: {error}") from None
        imageio.write_image(target, picture)
        return []

    def _write_with_engine(self, source, target, request: CutoutRequest) -> None:
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


# -- the arithmetic ----------------------------------------------------------


def as_photo(photo: np.ndarray) -> np.ndarray:
    photo = np.asarray(photo)
    if photo.dtype != np.uint8 or photo.ndim != 3 or photo.shape[2] != 3:
        raise ValueError(f"a photograph is a (rows, columns, 3) uint8 B, G, R array, not {photo.dtype} {photo.shape}")
    if min(photo.shape[:2]) < 1:
        raise ValueError("the photograph is empty")
    return photo


def sanitise_alpha(matte: np.ndarray) -> np.ndarray:
    """Any model output made into a matte: NaN counts as background and
    values are clipped to [0, 1]."""
    return np.clip(np.nan_to_num(matte.astype(np.float32, copy=False), nan=0.0, posinf=1.0, neginf=0.0), 0.0, 1.0)


def blend_over_white_as_engine(photo: np.ndarray, matte: np.ndarray) -> np.ndarray:
    """The engine's own blend, bit for bit: float32 matte x photo plus float64
    white, truncated to 8 bits (a matte in [0, 1] never leaves the byte range)."""
    out = np.empty(photo.shape, np.uint8)
    _native.blend_over_white(np.ascontiguousarray(photo), sanitise_alpha(np.ascontiguousarray(matte)), out)
    return out


def alpha_to_byte(alpha: np.ndarray) -> np.ndarray:
    """The matte as 8 bits, 255 = person, rounded to nearest (half to even)."""
    alpha = np.ascontiguousarray(alpha, np.float32)
    out = np.empty(alpha.shape, np.uint8)
    _native.alpha_to_bytes(alpha, out)
    return out


def composite(foreground: np.ndarray, alpha: np.ndarray, background: Background) -> np.ndarray:
    """alpha x foreground + (1 - alpha) x colour in float32, rounded to nearest
    (half to even) and clipped; with a transparent background, the foreground
    colours with alpha as a fourth channel."""
    foreground = np.ascontiguousarray(foreground, np.uint8)
    alpha = np.ascontiguousarray(alpha, np.float32)
    rows, columns = alpha.shape
    if background.transparent:
        out = np.empty((rows, columns, 4), np.uint8)
        _native.composite_with_alpha(foreground, alpha, out)
    else:
        out = np.empty((rows, columns, 3), np.uint8)
        _native.composite(foreground, alpha, *(float(v) for v in background.bgr), out)
    return out
