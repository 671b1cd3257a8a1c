"""The product's own ONNX Runtime sessions.

The bundled model (`modnet.onnx` beside the engine, the file name the engine
requires) is a person segmenter: MediaPipe's selfie-segmentation network,
converted. The product runs it, or a caller's model with the engine's
interface, in a session of its own with the thread count it is given, on
exactly the input values the engine feeds it, so its plane is the engine's.
"""

from __future__ import annotations

import os
from pathlib import Path

import cv2
import numpy as np

from .. import _native


def bundled_model_path() -> str:
    import portrait_main

    return str(Path(portrait_main.__file__).with_name("modnet.onnx"))


def session_options(threads: int | None, arena: bool = True):
    """ONNX Runtime's options with `threads` intra-op threads; without the
    arena, tensor memory goes back after each run instead of being kept for
    the next one."""
    import onnxruntime as rt

    options = rt.SessionOptions()
    options.enable_cpu_mem_arena = arena
    if threads:
        options.intra_op_num_threads = threads
        options.inter_op_num_threads = 1
    return options


def providers() -> list[str]:
    """ONNX Runtime's accelerators where installed (CUDA, say), else the CPU;
    the remote-inference provider is no device."""
    import onnxruntime as rt

    return [name for name in rt.get_available_providers() if name != "AzureExecutionProvider"]


class Segmenter:
    """The person segmenter: a photograph in, its matte plane out, at the
    model's output resolution. One call at a time per instance."""

    def __init__(self, model: str | os.PathLike | None = None, *, threads: int | None = None):
        import onnxruntime as rt

        self.path = str(model) if model else bundled_model_path()
        self.threads = threads
        self.session = rt.InferenceSession(self.path, session_options(threads), providers=providers())

    def plane(self, photo: np.ndarray, input_size: tuple[int, int]) -> np.ndarray:
        """The model's plane for a B, G, R photograph run at `input_size`
        (width, height): float32, values as the model gives them."""
        width, height = input_size
        # One float32 copy of the photograph, with the engine's exact values,
        # instead of NumPy's chain of temporaries at full size.
        image = np.empty(photo.shape, np.float32)
        _native.model_input(np.ascontiguousarray(photo), image)
        image = cv2.resize(image, (width, height), interpolation=cv2.INTER_LINEAR)
        tensor = np.ascontiguousarray(np.transpose(image, [2, 0, 1])[None, :, :, :], np.float32)
        mask = self.session.run(["output"], {"input": tensor})[0]
        return np.asarray(mask[0, 0], dtype=np.float32)

    def matte(self, photo: np.ndarray, input_size: tuple[int, int]) -> np.ndarray:
        """The engine's matte: the plane stretched to the photograph by
        nearest neighbour, values as the model gave them."""
        plane = self.plane(photo, input_size)
        return cv2.resize(plane, (photo.shape[1], photo.shape[0]), interpolation=cv2.INTER_NEAREST)
