"""Reading photographs, encoding pictures and writing them atomically.

Every file the product layer writes goes to a temporary name in the target's
own folder and is renamed into place, so a reader never sees half a file and
an interrupted run leaves none behind.
"""

from __future__ import annotations

import contextlib
import os
import uuid
from pathlib import Path

import cv2
import numpy as np

# Extensions whose OpenCV encoders keep a fourth (alpha) channel.
ALPHA_EXTENSIONS = {".png", ".webp", ".tif", ".tiff", ".exr"}

# Where temporary outputs are recognisable, so a resumed run can clear them.
TEMPORARY_PREFIX = ".portrait-tmp-"


class ImageError(Exception):
    """A photograph that cannot be read, or a picture that cannot be written."""


def extension_of(path: str | os.PathLike) -> str:
    return Path(path).suffix.lower()


def keeps_alpha(path: str | os.PathLike) -> bool:
    """Whether the format a path (or a bare extension: "png", ".webp") names holds transparency."""
    text = str(path)
    extension = Path(text).suffix.lower() or "." + text.lower().lstrip(".")
    return extension in ALPHA_EXTENSIONS


def read_photo(path: str | os.PathLike) -> np.ndarray:
    """The photograph as 8-bit B, G, R, as the engine reads it."""
    image = cv2.imread(str(path))
    if image is None:
        raise ImageError(f"{path}: not an image that can be read")
    return image


def decode_photo(data: bytes) -> np.ndarray:
    """Encoded bytes (an upload, say) to 8-bit B, G, R; ImageError if they are no picture."""
    image = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR) if data else None
    if image is None:
        raise ImageError("not an image that can be read")
    return image


def quality_parameters(extension: str, quality: int | None) -> list[int]:
    """OpenCV's parameters for a JPEG or WebP quality; none for other formats."""
    extension = extension.lower().lstrip(".")
    if quality is None:
        return []
    if extension in ("jpg", "jpeg", "jpe"):
        return [cv2.IMWRITE_JPEG_QUALITY, int(quality)]
    if extension == "webp":
        return [cv2.IMWRITE_WEBP_QUALITY, int(quality)]
    return []


def encode(image: np.ndarray, extension: str, params: list[int] | None = None) -> bytes:
    """The picture in the format that `extension` (".png", "jpg", ...) names."""
    extension = "." + extension.lower().lstrip(".")
    if image.ndim == 3 and image.shape[2] == 4 and extension not in ALPHA_EXTENSIONS:
        raise ImageError(f"{extension[1:].upper()} cannot hold transparency")
    try:
        ok, buffer = cv2.imencode(extension, image, params or [])
    except cv2.error as error:
        raise ImageError(f"cannot encode {extension[1:].upper()}: {str(error).strip().splitlines()[-1]}") from None
    if not ok:
        raise ImageError(f"cannot encode {extension[1:].upper()}")
    return buffer.tobytes()


@contextlib.contextmanager
def atomic_target(path: str | os.PathLike):
    """Yields a temporary path beside `path` with the same extension; renames it
    onto `path` when the block succeeds and removes it when it does not."""
    target = Path(path)
    # A fresh name, not a file: whoever writes creates it, under the user's
    # umask, as a plain write would (mkstemp would make it private).
    temporary = str(target.parent / f"{TEMPORARY_PREFIX}{uuid.uuid4().hex}{target.suffix}")
    try:
        yield temporary
        if not os.path.exists(temporary) or os.path.getsize(temporary) == 0:
            raise ImageError(f"{path}: nothing was written")
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def write_bytes_atomically(path: str | os.PathLike, data: bytes) -> None:
    with atomic_target(path) as temporary, open(temporary, "xb") as file:
        file.write(data)


def write_image(path: str | os.PathLike, image: np.ndarray, params: list[int] | None = None) -> None:
    """Encodes by the path's extension and writes atomically."""
    write_bytes_atomically(path, encode(image, extension_of(path), params))
