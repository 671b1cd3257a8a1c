"""The product layer's one path from a photograph to a picture.

    read -> model matte (engine session) -> [refine] -> composite -> [letterbox] -> write

Every caller (the command line, the folder pipeline, Dask tasks, the HTTP
service, ID photos) builds a `CutoutRequest` and goes through `Cutout`; none
of them re-implements a step. A model matte over white is exactly what the
engine's `_image` writes, and is made by calling it.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, replace
from pathlib import Path

import cv2
import numpy as np

from . import imageio
from .background import WHITE, Background
from .letterbox import letterbox

MATTE_KINDS = ("refined", "model")
DEFAULT_INPUT_SIZE = (512, 512)  # the engine's own default


@dataclass(frozen=True)
class CutoutRequest:
    """What to make of one photograph."""

    matte: str = "refined"  # "refined", or "model": the engine's matte as it is
    background: Background = WHITE
    size: tuple[int, int] | None = None  # letterbox to (width, height); the model runs at it too
    mask: bool = False  # write the matte itself (255 = person) instead of a picture

    def __post_init__(self):
        if self.matte not in MATTE_KINDS:
            raise ValueError(f"bad matte {self.matte!r}: expected one of {', '.join(MATTE_KINDS)}")
        if self.size is not None:
            width, height = self.size
            if int(width) != width or int(height) != height or width <= 0 or height <= 0:
                raise ValueError(f"bad size {self.size!r}: expected positive whole numbers")

    @property
    def is_engine_output(self) -> bool:
        """True when the engine's `_image` writes exactly this picture."""
        return self.matte == "model" and self.background.is_white and not self.mask

    def with_(self, **changes) -> CutoutRequest:
        return replace(self, **changes)


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
        rgb = cv2.cvtColor(photo, cv2.COLOR_BGR2RGB)
        image = rgb.astype(np.float32, copy=False) / 255.0
        image -= [0.5, 0.5, 0.5]
        image /= [0.5, 0.5, 0.5]
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

    def write(self, source: str | os.PathLike, target: str | os.PathLike, request: CutoutRequest = CutoutRequest()) -> None:
        """Reads `source`, renders it and writes `target` atomically."""
        if request.background.transparent and not request.mask and not imageio.keeps_alpha(target):
            raise imageio.ImageError(
                f"{target}: {imageio.extension_of(target)[1:].upper() or 'this format'} cannot hold "
                "transparency; use .png, .webp or .tif, or another --background"
            )
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
            return
        imageio.write_image(target, self.render(imageio.read_photo(source), request))


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


def alpha_to_byte(alpha: np.ndarray) -> np.ndarray:
    """The matte as 8 bits, 255 = person, rounded to nearest."""
    return np.rint(alpha * np.float32(255.0)).astype(np.uint8)


def composite(foreground: np.ndarray, alpha: np.ndarray, background: Background) -> np.ndarray:
    """alpha x foreground + (1 - alpha) x colour, rounded to nearest; with a
    transparent background, the foreground colours with alpha as a fourth channel."""
    if background.transparent:
        return np.dstack([foreground, alpha_to_byte(alpha)])
    a = alpha[..., None]
    colour = np.asarray(background.bgr, dtype=np.float32)
    blended = a * foreground.astype(np.float32) + (np.float32(1.0) - a) * colour
    return np.clip(np.rint(blended), 0, 255).astype(np.uint8)
