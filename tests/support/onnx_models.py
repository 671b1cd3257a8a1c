"""Small ONNX matting models built on the fly for the tests.

Every model takes "input" (1, 3, H, W) float32 in [-1, 1] (planes R, G, B)
and gives "output", a matte, unless a test asks for a model that breaks the
contract on purpose.
"""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17


def _save(nodes, inputs, outputs, initializers, path: Path) -> Path:
    graph = helper.make_graph(nodes, "test_matting", inputs, outputs, initializers)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    onnx.save(model, str(path))
    return path


def _image_input(name: str = "input", height=None, width=None):
    return helper.make_tensor_value_info(
        name, TensorProto.FLOAT, [1, 3, height or "height", width or "width"]
    )


def _output(shape=None):
    return helper.make_tensor_value_info("output", TensorProto.FLOAT, shape)


def red_matte(path: Path, *, input_name: str = "input", height=None, width=None) -> Path:
    """Matte = clip(R - max(G, B), 0, 1): strongly red pixels are foreground.

    Values in between are common on real photographs, so the blend sees
    fractional mattes too. Fixed `height`/`width` make a model that refuses
    every other size.
    """
    split = numpy_helper.from_array(np.array([1, 1, 1], dtype=np.int64), "split")
    low = numpy_helper.from_array(np.array(0.0, dtype=np.float32), "low")
    high = numpy_helper.from_array(np.array(1.0, dtype=np.float32), "high")
    nodes = [
        helper.make_node("Split", [input_name, "split"], ["r", "g", "b"], axis=1),
        helper.make_node("Max", ["g", "b"], ["gb"]),
        helper.make_node("Sub", ["r", "gb"], ["redness"]),
        helper.make_node("Clip", ["redness", "low", "high"], ["output"]),
    ]
    return _save(
        nodes,
        [_image_input(input_name, height, width)],
        [_output([1, 1, height or "height", width or "width"])],
        [split, low, high],
        path,
    )


def constant_matte(path: Path, value: float) -> Path:
    """Matte = `value` everywhere (NaN, out of range, ... as asked)."""
    zero = numpy_helper.from_array(np.array(0.0, dtype=np.float32), "zero")
    constant = numpy_helper.from_array(np.array(value, dtype=np.float32), "constant")
    starts = numpy_helper.from_array(np.array([0], dtype=np.int64), "starts")
    ends = numpy_helper.from_array(np.array([1], dtype=np.int64), "ends")
    axes = numpy_helper.from_array(np.array([1], dtype=np.int64), "axes")
    nodes = [
        helper.make_node("Slice", ["input", "starts", "ends", "axes"], ["plane"]),
        helper.make_node("Mul", ["plane", "zero"], ["zeros"]),
        helper.make_node("Add", ["zeros", "constant"], ["output"]),
    ]
    return _save(
        nodes,
        [_image_input()],
        [_output([1, 1, "height", "width"])],
        [zero, constant, starts, ends, axes],
        path,
    )


def flat_output(path: Path) -> Path:
    """An output with a single axis: the whole input flattened."""
    shape = numpy_helper.from_array(np.array([-1], dtype=np.int64), "flat")
    nodes = [helper.make_node("Reshape", ["input", "flat"], ["output"])]
    return _save(nodes, [_image_input()], [_output(["n"])], [shape], path)


def gradient_matte(path: Path, out_height: int = 64, out_width: int = 48) -> Path:
    """A matte of its own fixed size, unrelated to the input's: a ramp from 0
    to 1 across the columns, scaled by the input's mean so it depends on the
    photograph."""
    ramp = np.tile(np.linspace(0.0, 1.0, out_width, dtype=np.float32), (out_height, 1))
    ramp_init = numpy_helper.from_array(ramp.reshape(1, 1, out_height, out_width), "ramp")
    half = numpy_helper.from_array(np.array(0.5, dtype=np.float32), "half")
    nodes = [
        helper.make_node("ReduceMean", ["input"], ["mean"], keepdims=1),
        helper.make_node("Mul", ["mean", "half"], ["scaled"]),
        helper.make_node("Add", ["scaled", "half"], ["weight"]),
        helper.make_node("Mul", ["ramp", "weight"], ["output"]),
    ]
    return _save(
        nodes, [_image_input()], [_output([1, 1, out_height, out_width])], [ramp_init, half], path
    )


NAN = math.nan


def ramp_matte(path: Path, low: float, high: float, out_height: int = 40, out_width: int = 56) -> Path:
    """A fixed-size matte running from `low` to `high` across the columns,
    whatever the input: values below 0 and above 1 in one plane."""
    ramp = np.tile(np.linspace(low, high, out_width, dtype=np.float32), (out_height, 1))
    ramp_init = numpy_helper.from_array(ramp.reshape(1, 1, out_height, out_width), "ramp")
    zero = numpy_helper.from_array(np.array(0.0, dtype=np.float32), "zero")
    nodes = [
        helper.make_node("ReduceMean", ["input"], ["mean"], keepdims=1),
        helper.make_node("Mul", ["mean", "zero"], ["nothing"]),
        helper.make_node("Add", ["ramp", "nothing"], ["output"]),
    ]
    return _save(nodes, [_image_input()], [_output([1, 1, out_height, out_width])], [ramp_init, zero], path)
