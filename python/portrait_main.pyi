"""Portrait matting: cuts the person out of a photograph and puts them on white."""

import os
import types
from typing import Any

import numpy as np
import numpy.typing as npt

cv2: types.ModuleType
np: types.ModuleType
rt: types.ModuleType

_InputSize = tuple[int, int] | list[int]
_Path = str | os.PathLike[str]

class QuorinPortraitMain:
    """A matting engine over one ONNX model. One engine serves one call at a time."""

    _session: Any  # onnxruntime.InferenceSession
    _input_size: _InputSize | int | float

    def __init__(self, onnx_path: _Path | None) -> None:
        """Opens `onnx_path`, or the bundled modnet.onnx when it is None or empty."""
    def _set_model(self, onnx_path: _Path | None) -> None:
        """Opens another model; a failure keeps the current one."""
    def _image(self, image_path: str, save_path: str, input_size: _InputSize | None = None) -> None:
        """Writes the white-background portrait of `image_path` to `save_path`,
        letterboxed to `input_size` (width, height) when one is given."""
    def _process_image(self, resize_img: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint8]:
        """Letterboxes an image to the engine's `_input_size`."""
