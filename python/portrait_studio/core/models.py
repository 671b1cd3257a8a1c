"""The product's own ONNX Runtime sessions.

The bundled model (`modnet.onnx` beside the engine, the file name the engine
requires) is a person segmenter: MediaPipe's selfie-segmentation network,
converted. The product runs it, or a caller's model with the engine's
interface, in a session of its own with the thread count it is given, on
exactly the input values the engine feeds it, so its plane is the engine's.
"""

from __future__ import annotations

import mmap
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
    """ONNX Runtime's providers for the device chosen (core.device): CUDA
    where it is chosen or `auto` finds it, else the CPU."""
    from .device import providers as chosen

    return chosen()


def rows_read_by_linear_shrink(source: int, target: int) -> np.ndarray | None:
    """The source rows OpenCV's bilinear resize reads to make `target` rows
    out of `source`, or None where it may read them all: a shrink by less than
    three (an exact halving is done by area averaging) or an enlargement.
    Each output row reads the two rows around its centre; the centre is taken
    in double and in single precision, as OpenCV rounds it, and both pairs
    are kept."""
    if source < 3 * target:
        return None
    centre = (np.arange(target, dtype=np.float64) + 0.5) * (source / target) - 0.5
    first = np.concatenate([np.floor(centre), np.floor(centre.astype(np.float32).astype(np.float64))])
    rows = np.concatenate([first, first + 1]).astype(np.int64)
    return np.unique(np.clip(rows, 0, source - 1))


def untouched_float32(shape: tuple[int, ...]) -> np.ndarray:
    """A float32 array of zero pages that cost memory only where written:
    private anonymous memory without transparent huge pages, so that writing
    a row every few rows does not make the whole array resident."""
    if not hasattr(mmap, "MAP_PRIVATE"):  # not a Unix: calloc's pages, huge or not
        return np.zeros(shape, np.float32)
    count = int(np.prod(shape))
    buffer = mmap.mmap(-1, max(count * 4, 1), flags=mmap.MAP_PRIVATE)
    if hasattr(mmap, "MADV_NOHUGEPAGE"):
        buffer.madvise(mmap.MADV_NOHUGEPAGE)
    return np.frombuffer(buffer, np.float32, count).reshape(shape)


def model_input_for_shrink(photo: np.ndarray, height: int, out: np.ndarray | None = None) -> np.ndarray:
    """The photograph in the model's float32 values, with the engine's exact
    values on every row a bilinear resize to `height` rows reads. A large
    photograph shrunk to the model's input reads a few hundred of its
    thousands of rows, so only those are converted: the resize gives the
    same bits as on the whole conversion, without a full-size float32 copy
    (4 bytes a channel) being made resident. `out`, where given, is written
    instead of fresh memory (rows not read are left as they were)."""
    rows = rows_read_by_linear_shrink(photo.shape[0], height)
    if out is None:
        out = np.empty(photo.shape, np.float32) if rows is None else untouched_float32(photo.shape)
    if rows is None:
        _native.model_input(photo, out)
        return out
    # Runs of consecutive rows, each converted in one call.
    breaks = np.flatnonzero(np.diff(rows) != 1) + 1
    for run in np.split(rows, breaks):
        start, stop = int(run[0]), int(run[-1]) + 1
        _native.model_input(photo[start:stop], out[start:stop])
    return out


class ModelMismatch(ValueError):
    """A model whose inputs or outputs are not the person segmenter's."""


SEGMENTER_SHAPE = "one input 'input' of 1 x 3 x height x width and an output 'output' of 1 x 1 x h x w"


def check_fits_segmenter(session, path: str) -> None:
    """Refuses, when it is opened, a model made for other inputs than the
    segmenter's, naming it and what was expected (not the photograph it
    would have failed on)."""
    inputs, outputs = session.get_inputs(), session.get_outputs()

    def fits(argument, channels) -> bool:
        shape = list(argument.shape or [])
        return len(shape) == 4 and (shape[1] == channels or not isinstance(shape[1], int))

    if (len(inputs) == 1 and inputs[0].name == "input" and fits(inputs[0], 3)
            and any(output.name == "output" and fits(output, 1) for output in outputs)):
        return
    takes = ", ".join(f"{argument.name!r} {argument.shape}" for argument in inputs)
    gives = ", ".join(f"{argument.name!r} {argument.shape}" for argument in outputs[:3])
    raise ModelMismatch(f"{os.path.basename(path)} is not a person segmenter this product can run: it takes "
                        f"{takes} and gives {gives}; expected {SEGMENTER_SHAPE}")


class Segmenter:
    """The person segmenter: a photograph in, its matte plane out, at the
    model's output resolution. One call at a time per instance."""

    def __init__(self, model: str | os.PathLike | None = None, *, threads: int | None = None):
        import onnxruntime as rt

        self.path = str(model) if model else bundled_model_path()
        self.threads = threads
        self.session = rt.InferenceSession(self.path, session_options(threads), providers=providers())
        check_fits_segmenter(self.session, self.path)

    def plane(self, photo: np.ndarray, input_size: tuple[int, int]) -> np.ndarray:
        """The model's plane for a B, G, R photograph run at `input_size`
        (width, height): float32, values as the model gives them."""
        width, height = input_size
        image = model_input_for_shrink(np.ascontiguousarray(photo), height)
        image = cv2.resize(image, (width, height), interpolation=cv2.INTER_LINEAR)
        tensor = np.ascontiguousarray(np.transpose(image, [2, 0, 1])[None, :, :, :], np.float32)
        mask = self.session.run(["output"], {"input": tensor})[0]
        return np.asarray(mask[0, 0], dtype=np.float32)

    def matte(self, photo: np.ndarray, input_size: tuple[int, int]) -> np.ndarray:
        """The engine's matte: the plane stretched to the photograph by
        nearest neighbour, values as the model gave them."""
        plane = self.plane(photo, input_size)
        return cv2.resize(plane, (photo.shape[1], photo.shape[0]), interpolation=cv2.INTER_NEAREST)
