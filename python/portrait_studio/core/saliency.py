"""The second network: U^2-Net-lite ("u2netp"), a salient-object segmenter.

It draws sharper outlines than the bundled person segmenter where it gets the
person, and picks whatever stands out where it does not (a cup, a cat), so
its plane is only ever used through `fusion.fuse`, never on its own.
"""

from __future__ import annotations

import os
from pathlib import Path

import cv2
import numpy as np

from .models import providers, session_options

SIZE = 320  # the network's fixed input, square
INPUT = "input.1"
MEAN = np.array([0.485, 0.456, 0.406], np.float32)
STD = np.array([0.229, 0.224, 0.225], np.float32)


class SaliencyModelError(RuntimeError):
    """The second model file is missing or not a usable network."""


def bundled_path() -> str:
    # Installed beside the package's extension (CMakeLists.txt), like the engine's model.
    return str(Path(__file__).resolve().parent.parent / "u2netp.onnx")


def preprocess(photo: np.ndarray) -> np.ndarray:
    """The network's input (1, 3, 320, 320) float32 for a B, G, R uint8 photograph.

    Area averaging for the shrink: an unfiltered shrink aliases fine texture
    into spurious salient spots. The scale is the shrunk picture's own
    maximum, as the network was trained (a dark picture is stretched)."""
    if photo.ndim != 3 or photo.shape[2] != 3:
        raise ValueError(f"expected a B, G, R picture, got shape {photo.shape}")
    rows, columns = photo.shape[:2]
    shrink = cv2.INTER_AREA if rows >= SIZE and columns >= SIZE else cv2.INTER_LINEAR
    small = cv2.resize(np.ascontiguousarray(photo), (SIZE, SIZE), interpolation=shrink)
    rgb = small[:, :, ::-1].astype(np.float32)
    peak = float(rgb.max())
    rgb /= peak if peak > 0 else 1.0
    rgb = (rgb - MEAN) / STD
    return np.ascontiguousarray(rgb.transpose(2, 0, 1)[None], dtype=np.float32)


def normalise(output: np.ndarray) -> np.ndarray:
    """The fused output min-max stretched to [0, 1]; a flat output (nothing
    stands out) is all background rather than a division by zero."""
    plane = np.asarray(output, np.float32).reshape(SIZE, SIZE)
    low, high = float(plane.min()), float(plane.max())
    if not high > low:
        return np.zeros((SIZE, SIZE), np.float32)
    return ((plane - low) / (high - low)).astype(np.float32)


class Saliency:
    """One ONNX Runtime session of the second network. Like `Cutout`, one
    instance serves one call at a time."""

    def __init__(self, model: str | os.PathLike | None = None, *, threads: int | None = None):
        import onnxruntime as rt

        self.model_path = str(model) if model else bundled_path()
        if not Path(self.model_path).is_file():
            raise SaliencyModelError(f"saliency model {self.model_path} not found")
        try:
            # The highest optimisation level, whose blocked-channel layout
            # costs some 70 MB more at the peak than the plain one, because
            # only its convolutions give the same bits for every thread count
            # (a folder pool's workers and a single cut-out must agree).
            options = session_options(threads, arena=False)
            self.session = rt.InferenceSession(self.model_path, options, providers=providers())
        except Exception as error:  # ONNX Runtime raises its own types for unreadable graphs
            raise SaliencyModelError(f"saliency model {self.model_path} could not be loaded: {error}") from error
        inputs = self.session.get_inputs()
        if len(inputs) != 1 or inputs[0].name != INPUT or list(inputs[0].shape)[1:] != [3, SIZE, SIZE]:
            found = [(i.name, i.shape) for i in inputs]
            raise SaliencyModelError(f"saliency model {self.model_path} has inputs {found}, expected {INPUT} (1, 3, {SIZE}, {SIZE})")
        self.output = self.session.get_outputs()[0].name

    def plane(self, photo: np.ndarray) -> np.ndarray:
        """The saliency plane at 320 x 320, float32 in [0, 1], for the whole photograph."""
        return self.plane_of_input(preprocess(photo))

    def plane_of_input(self, tensor: np.ndarray) -> np.ndarray:
        """The saliency plane for a `preprocess`ed input, which may outlive
        the photograph it came from."""
        return normalise(self.session.run([self.output], {INPUT: tensor})[0])
