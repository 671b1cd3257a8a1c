#!/usr/bin/env python3
"""Convert the MediaPipe selfie-segmentation TFLite network into the engine's ONNX matting model.

    python tools/convert_model.py [SRC.tflite] [OUT.onnx]
    python tools/convert_model.py --face-detector | --face-mesh   (the ID-photo networks)

The engine talks to its model through a fixed tensor contract:

* input  "input":  float32 (1, 3, height, width), planes R, G, B, values in [-1, 1]
                   (8-bit value v is fed as (v/255 - 0.5)/0.5); height/width are free;
* output "output": float32 (1, 1, 256, 256), alpha matte in [0, 1], foreground 1.
                   The engine resizes the matte back to the frame size itself.

The TFLite network wants NHWC RGB in [0, 1] at exactly 256x256, so the graph starts with a
bilinear Resize to 256x256 and the affine map x*0.5+0.5.  From then on every tensor shape is
static, and every 4-D activation is kept in NCHW: convolution weights are re-laid out at
conversion time instead of transposing activations around each op.

This is a build tool.  It needs `tflite` (flatbuffer reader), `onnx` and NumPy; the engine
itself never imports it.  Output is byte-for-byte reproducible for the same source file.
"""

from __future__ import annotations

import argparse
import hashlib
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

REPO_ROOT = Path(__file__).resolve().parent.parent
# The repository keeps its own copy of the source network so the conversion can be redone
# from a checkout.
DEFAULT_SOURCE = REPO_ROOT / "models" / "selfie_segmentation.tflite"
DEFAULT_OUTPUT = REPO_ROOT / "models" / "modnet.onnx"
FACE_SOURCE = REPO_ROOT / "models" / "face_detection_short_range.tflite"
FACE_OUTPUT = REPO_ROOT / "python" / "portrait_studio" / "idphoto" / "face_detection.onnx"
MESH_SOURCE = REPO_ROOT / "models" / "face_landmark.tflite"
MESH_OUTPUT = REPO_ROOT / "python" / "portrait_studio" / "idphoto" / "face_landmarks.onnx"

OPSET = 17
IR_VERSION = 8  # the IR version that goes with opset 17; pinned so onnx upgrades don't change bytes
NET_SIZE = 256  # spatial size the TFLite network was built for
PRODUCER = "portrait_main tools/convert_model.py"
TOOL_VERSION = "1"

DOC_STRING = (
    "Portrait alpha matte model for portrait_main. Converted from the MediaPipe selfie "
    "segmentation network (selfie_segmentation.tflite, Google, Apache License 2.0) by "
    "tools/convert_model.py. Modifications: format conversion TFLite -> ONNX and added "
    "pre/post-processing nodes (resize to 256x256, [-1,1] -> [0,1]). "
    "Input 'input' float32 (1,3,H,W) RGB in [-1,1]; output 'output' float32 (1,1,256,256) "
    "alpha in [0,1]."
)


class ConversionError(RuntimeError):
    pass


# ----------------------------------------------------------------------------------------
# Format-neutral view of a TFLite graph.  The reader fills it from the flatbuffer, the ONNX
# writer and the NumPy reference interpreter (tools/tflite_reference.py) both consume it.
# ----------------------------------------------------------------------------------------


@dataclass
class Tensor:
    name: str
    shape: tuple[int, ...]
    dtype: np.dtype
    data: np.ndarray | None = None  # constant payload (already dequantised where folded)
    # (scale array, zero-point array, quantized axis) for quantised tensors, else None
    quant: tuple[np.ndarray, np.ndarray, int] | None = None


@dataclass
class Op:
    kind: str  # builtin name ("CONV_2D") or the custom op code ("Convolution2DTransposeBias")
    inputs: list[int]  # tensor indices; -1 marks an omitted optional input
    outputs: list[int]
    options: dict = field(default_factory=dict)


@dataclass
class Graph:
    tensors: list[Tensor]
    ops: list[Op]
    inputs: list[int]
    outputs: list[int]
    description: str = ""

    def const(self, idx: int) -> np.ndarray:
        t = self.tensors[idx]
        if t.data is None:
            raise ConversionError(f"tensor {t.name!r} was expected to be a constant")
        return t.data


# ----------------------------------------------------------------------------------------
# TFLite flatbuffer reader
# ----------------------------------------------------------------------------------------

_TFL_DTYPES = {
    0: np.dtype("<f4"),  # FLOAT32
    1: np.dtype("<f2"),  # FLOAT16
    2: np.dtype("<i4"),  # INT32
    3: np.dtype("u1"),  # UINT8
    4: np.dtype("<i8"),  # INT64
    7: np.dtype("<i2"),  # INT16
    9: np.dtype("i1"),  # INT8
}

_ACTIVATIONS = {0: "NONE", 1: "RELU", 2: "RELU_N1_TO_1", 3: "RELU6", 4: "TANH"}
_PADDINGS = {0: "SAME", 1: "VALID"}


def _builtin_names() -> dict[int, str]:
    import tflite

    return {v: k for k, v in vars(tflite.BuiltinOperator).items() if not k.startswith("_")}


def _activation(code: int) -> str:
    if code not in _ACTIVATIONS:
        raise ConversionError(f"unsupported fused activation code {code}")
    return _ACTIVATIONS[code]


def _padding(code: int) -> str:
    if code not in _PADDINGS:
        raise ConversionError(f"unsupported padding code {code}")
    return _PADDINGS[code]


def _parse_options(kind: str, op) -> dict:
    """Decode the builtin options the converter cares about into a plain dict."""
    import tflite

    table = op.BuiltinOptions()

    def init(cls):
        o = cls()
        o.Init(table.Bytes, table.Pos)
        return o

    if kind == "CONV_2D":
        o = init(tflite.Conv2DOptions)
        return dict(padding=_padding(o.Padding()), stride=(o.StrideH(), o.StrideW()),
                    dilation=(o.DilationHFactor(), o.DilationWFactor()),
                    activation=_activation(o.FusedActivationFunction()))
    if kind == "DEPTHWISE_CONV_2D":
        o = init(tflite.DepthwiseConv2DOptions)
        return dict(padding=_padding(o.Padding()), stride=(o.StrideH(), o.StrideW()),
                    dilation=(o.DilationHFactor(), o.DilationWFactor()),
                    activation=_activation(o.FusedActivationFunction()),
                    depth_multiplier=o.DepthMultiplier())
    if kind in ("AVERAGE_POOL_2D", "MAX_POOL_2D"):
        o = init(tflite.Pool2DOptions)
        return dict(padding=_padding(o.Padding()), stride=(o.StrideH(), o.StrideW()),
                    filter=(o.FilterHeight(), o.FilterWidth()),
                    activation=_activation(o.FusedActivationFunction()))
    if kind in ("ADD", "MUL", "SUB"):
        cls = {"ADD": tflite.AddOptions, "MUL": tflite.MulOptions, "SUB": tflite.SubOptions}[kind]
        o = init(cls) if table is not None else None
        return dict(activation=_activation(o.FusedActivationFunction() if o else 0))
    if kind == "CONCATENATION":
        o = init(tflite.ConcatenationOptions)
        return dict(axis=o.Axis(), activation=_activation(o.FusedActivationFunction()))
    if kind == "RESIZE_BILINEAR":
        o = init(tflite.ResizeBilinearOptions)
        return dict(align_corners=bool(o.AlignCorners()),
                    half_pixel_centers=bool(o.HalfPixelCenters()))
    return {}


def _parse_transpose_conv_bias(raw: bytes) -> dict:
    # MediaPipe's Convolution2DTransposeBias stores a TfLiteTransposeConvParams struct as its
    # custom options: padding, stride_width, stride_height as little-endian int32.
    if len(raw) < 12:
        raise ConversionError("Convolution2DTransposeBias: custom options shorter than 12 bytes")
    padding, stride_w, stride_h = np.frombuffer(raw[:12], dtype="<i4").tolist()
    # TfLitePadding: 0 unknown, 1 SAME, 2 VALID (not the schema's Padding enum)
    pad = {1: "SAME", 2: "VALID"}.get(padding)
    if pad is None:
        raise ConversionError(f"Convolution2DTransposeBias: unknown padding {padding}")
    return dict(padding=pad, stride=(stride_h, stride_w))


def read_tflite(path: str | Path) -> Graph:
    import tflite

    buf = Path(path).read_bytes()
    model = tflite.Model.GetRootAsModel(buf, 0)
    if model.SubgraphsLength() != 1:
        raise ConversionError("only single-subgraph models are supported")
    names = _builtin_names()
    sg = model.Subgraphs(0)

    tensors: list[Tensor] = []
    for i in range(sg.TensorsLength()):
        t = sg.Tensors(i)
        if t.Type() not in _TFL_DTYPES:
            raise ConversionError(f"tensor {i}: unsupported element type {t.Type()}")
        dtype = _TFL_DTYPES[t.Type()]
        shape = tuple(int(d) for d in t.ShapeAsNumpy()) if t.ShapeLength() else ()
        data = None
        b = model.Buffers(t.Buffer())
        if b is not None:
            if b.Offset() > 1:  # large-model layout: payload appended after the flatbuffer
                raw = buf[b.Offset(): b.Offset() + b.Size()]
            elif b.DataLength():
                raw = b.DataAsNumpy().tobytes()
            else:
                raw = b""
            if raw:
                data = np.frombuffer(raw, dtype=dtype).reshape(shape).copy()
        quant = None
        q = t.Quantization()
        if q is not None and q.ScaleLength():
            quant = (q.ScaleAsNumpy().astype(np.float32),
                     q.ZeroPointAsNumpy().astype(np.int64) if q.ZeroPointLength()
                     else np.zeros(q.ScaleLength(), np.int64),
                     int(q.QuantizedDimension()))
        tensors.append(Tensor(t.Name().decode("utf-8"), shape, dtype, data, quant))

    ops: list[Op] = []
    for k in range(sg.OperatorsLength()):
        op = sg.Operators(k)
        code = model.OperatorCodes(op.OpcodeIndex())
        builtin = max(code.BuiltinCode(), code.DeprecatedBuiltinCode())
        kind = names.get(builtin, f"BUILTIN_{builtin}")
        if kind == "CUSTOM":
            kind = code.CustomCode().decode("utf-8")
            raw = op.CustomOptionsAsNumpy().tobytes() if op.CustomOptionsLength() else b""
            options = _parse_transpose_conv_bias(raw) if kind == "Convolution2DTransposeBias" else {}
        else:
            options = _parse_options(kind, op)
        ops.append(Op(kind, [int(x) for x in op.InputsAsNumpy()],
                      [int(x) for x in op.OutputsAsNumpy()], options))

    desc = model.Description().decode("utf-8") if model.Description() else ""
    graph = Graph(tensors, ops, [int(x) for x in sg.InputsAsNumpy()],
                  [int(x) for x in sg.OutputsAsNumpy()], desc)
    fold_dequantize(graph)
    return graph


def dequantize_array(t: Tensor) -> np.ndarray:
    """Float32 value of a constant tensor: float16 widened, int8/uint8 affine-dequantised."""
    if t.data is None:
        raise ConversionError(f"tensor {t.name!r} has no constant data")
    if t.dtype == np.float16 or t.dtype == np.float32:
        return t.data.astype(np.float32)
    if t.quant is None:
        raise ConversionError(f"integer tensor {t.name!r} has no quantisation parameters")
    scale, zero, axis = t.quant
    shape = [1] * t.data.ndim
    if scale.size > 1:
        shape[axis] = scale.size
    return ((t.data.astype(np.float32) - zero.reshape(shape).astype(np.float32))
            * scale.reshape(shape)).astype(np.float32)


def fold_dequantize(graph: Graph) -> None:
    """Replace DEQUANTIZE ops on constants (fp16 or int8 weights) by float32 constants.

    The shipped network stores its weights as float16 behind DEQUANTIZE ops; widening
    float16 to float32 is exact, so folding changes no value.
    """
    kept = []
    for op in graph.ops:
        src = graph.tensors[op.inputs[0]] if op.inputs else None
        if op.kind == "DEQUANTIZE" and src is not None and src.data is not None:
            out = graph.tensors[op.outputs[0]]
            out.data = dequantize_array(src)
            out.dtype = np.dtype(np.float32)
            continue
        kept.append(op)
    graph.ops = kept
    for op in graph.ops:
        for idx in op.inputs + op.outputs:
            t = graph.tensors[idx] if idx >= 0 else None
            if t is not None and t.data is None and t.dtype != np.float32:
                raise ConversionError(
                    f"{op.kind}: activation tensor {t.name!r} is {t.dtype}; "
                    "only float32 activations are supported")


# ----------------------------------------------------------------------------------------
# TFLite padding rules, shared with the reference interpreter
# ----------------------------------------------------------------------------------------


def same_pads(in_size: int, kernel: int, stride: int, dilation: int = 1) -> tuple[int, int]:
    """(before, after) padding TFLite applies for 'SAME'; the extra pixel goes after."""
    out = -(-in_size // stride)
    eff_k = (kernel - 1) * dilation + 1
    total = max((out - 1) * stride + eff_k - in_size, 0)
    return total // 2, total - total // 2


def conv_pads(padding: str, in_hw, kernel_hw, stride, dilation=(1, 1)) -> list[int]:
    """ONNX-order pads [top, left, bottom, right] for a TFLite conv/pool."""
    if padding == "VALID":
        return [0, 0, 0, 0]
    (top, bottom), (left, right) = (same_pads(in_hw[i], kernel_hw[i], stride[i], dilation[i]) for i in range(2))
    return [top, left, bottom, right]


def transpose_conv_pads(padding: str, in_hw, kernel_hw, stride, out_hw) -> list[int]:
    """Crop [top, left, bottom, right] from the full transposed-conv output to reach out_hw."""
    pads = []
    for i in range(2):
        full = (in_hw[i] - 1) * stride[i] + kernel_hw[i]
        total = full - out_hw[i]
        if total < 0 or (padding == "VALID" and total != 0):
            raise ConversionError(f"transposed conv: output size {out_hw} does not follow "
                                  f"from input {in_hw}, kernel {kernel_hw}, stride {stride}")
        pads.append((total // 2, total - total // 2))
    return [pads[0][0], pads[1][0], pads[0][1], pads[1][1]]


# ----------------------------------------------------------------------------------------
# ONNX writer
# ----------------------------------------------------------------------------------------


def _nhwc_to_nchw_shape(shape):
    return (shape[0], shape[3], shape[1], shape[2]) if len(shape) == 4 else tuple(shape)


class OnnxWriter:
    """Emit ONNX nodes for a Graph whose 4-D activations are all kept in NCHW."""

    def __init__(self, graph: Graph):
        from onnx import helper, numpy_helper

        self.helper, self.numpy_helper = helper, numpy_helper
        self.g = graph
        self.nodes = []
        self.initializers = []
        self.const_cache: dict[tuple, str] = {}
        self.used_names: set[str] = set()
        self.value_names: dict[int, str] = {}  # TFLite tensor index -> ONNX value name
        self.counter = 0

    # -- naming ---------------------------------------------------------------------------
    def unique(self, base: str) -> str:
        base = re.sub(r"[^A-Za-z0-9_./-]", "_", base) or "v"
        name, n = base, 1
        while name in self.used_names:
            n += 1
            name = f"{base}_{n}"
        self.used_names.add(name)
        return name

    def value(self, idx: int) -> str:
        """ONNX name for TFLite tensor idx (constants become initialisers on first use)."""
        if idx in self.value_names:
            return self.value_names[idx]
        t = self.g.tensors[idx]
        if t.data is None:
            raise ConversionError(f"tensor {t.name!r} is used before it is produced")
        arr = t.data.astype(np.float32) if t.data.dtype.kind == "f" else t.data
        if arr.ndim == 4:
            raise ConversionError(f"4-D constant {t.name!r} used as an activation operand")
        name = self.constant(arr, t.name)
        self.value_names[idx] = name
        return name

    def constant(self, arr: np.ndarray, hint: str) -> str:
        arr = np.ascontiguousarray(arr)
        key = (arr.dtype.str, arr.shape, arr.tobytes())
        if key in self.const_cache:  # identical payloads are stored once
            return self.const_cache[key]
        name = self.unique(hint)
        self.initializers.append(self.numpy_helper.from_array(arr, name))
        self.const_cache[key] = name
        return name

    def node(self, op_type: str, inputs: list[str], hint: str, **attrs) -> str:
        out = self.unique(hint)
        self.counter += 1
        self.nodes.append(self.helper.make_node(
            op_type, inputs, [out], name=f"{op_type}_{self.counter}", **attrs))
        return out

    def bind(self, idx: int, name: str) -> None:
        self.value_names[idx] = name

    # -- helpers --------------------------------------------------------------------------
    def activation(self, x: str, act: str, hint: str) -> str:
        if act == "NONE":
            return x
        if act == "RELU":
            return self.node("Relu", [x], hint)
        if act == "TANH":
            return self.node("Tanh", [x], hint)
        lo, hi = {"RELU6": (0.0, 6.0), "RELU_N1_TO_1": (-1.0, 1.0)}[act]
        return self.node("Clip", [x, self.constant(np.float32(lo), "clip_min"),
                                  self.constant(np.float32(hi), "clip_max")], hint)

    def operand(self, idx: int, other_rank: int) -> str:
        """An elementwise operand; constants broadcasting against NHWC are moved to NCHW."""
        t = self.g.tensors[idx]
        if t.data is None or other_rank != 4:
            return self.value(idx)
        arr = t.data.astype(np.float32)
        arr = arr.reshape((1,) * (4 - arr.ndim) + arr.shape).transpose(0, 3, 1, 2)
        return self.constant(arr, t.name)

    def shape(self, idx: int) -> tuple[int, ...]:
        return self.g.tensors[idx].shape

    # -- op translations ------------------------------------------------------------------
    def emit(self, op: Op) -> None:
        handler = getattr(self, "op_" + op.kind, None)
        if handler is None:
            raise ConversionError(f"unsupported TFLite operator {op.kind}")
        handler(op)

    def _conv(self, op: Op, weight: np.ndarray, group: int, hint: str) -> None:
        x, out = op.inputs[0], op.outputs[0]
        o = op.options
        kh, kw = weight.shape[2:]
        _, h, w, _ = self.shape(x)
        inputs = [self.value(x), self.constant(weight, self.g.tensors[op.inputs[1]].name)]
        if len(op.inputs) > 2 and op.inputs[2] >= 0:
            inputs.append(self.constant(self.g.const(op.inputs[2]).astype(np.float32),
                                        self.g.tensors[op.inputs[2]].name))
        y = self.node("Conv", inputs, hint, kernel_shape=[kh, kw], strides=list(o["stride"]),
                      dilations=list(o["dilation"]), group=group,
                      pads=conv_pads(o["padding"], (h, w), (kh, kw), o["stride"], o["dilation"]))
        self.bind(out, self.activation(y, o["activation"], hint + "_act"))

    def op_CONV_2D(self, op: Op) -> None:
        w = self.g.const(op.inputs[1]).astype(np.float32)  # OHWI
        in_c = self.shape(op.inputs[0])[3]
        if in_c % w.shape[3]:
            raise ConversionError("CONV_2D: input channels not a multiple of filter depth")
        self._conv(op, w.transpose(0, 3, 1, 2), in_c // w.shape[3],
                   self.g.tensors[op.outputs[0]].name)

    def op_DEPTHWISE_CONV_2D(self, op: Op) -> None:
        w = self.g.const(op.inputs[1]).astype(np.float32)  # 1, H, W, C*M
        in_c = self.shape(op.inputs[0])[3]
        if w.shape[0] != 1 or w.shape[3] % in_c:
            raise ConversionError("DEPTHWISE_CONV_2D: unexpected filter shape")
        # output channel c*M+m reads input channel c: ONNX group=C with M outputs per group
        self._conv(op, w.transpose(3, 0, 1, 2), in_c, self.g.tensors[op.outputs[0]].name)

    def op_Convolution2DTransposeBias(self, op: Op) -> None:
        x, out = op.inputs[0], op.outputs[0]
        w = self.g.const(op.inputs[1]).astype(np.float32)  # O, H, W, I
        b = self.g.const(op.inputs[2]).astype(np.float32)
        kh, kw = w.shape[1:3]
        _, h, wd, _ = self.shape(x)
        _, oh, ow, _ = self.shape(out)
        pads = transpose_conv_pads(op.options["padding"], (h, wd), (kh, kw),
                                   op.options["stride"], (oh, ow))
        hint = self.g.tensors[out].name
        y = self.node("ConvTranspose",
                      [self.value(x), self.constant(w.transpose(3, 0, 1, 2), self.g.tensors[op.inputs[1]].name),
                       self.constant(b, self.g.tensors[op.inputs[2]].name)],
                      hint, kernel_shape=[kh, kw], strides=list(op.options["stride"]), pads=pads)
        self.bind(out, y)

    def _binary(self, op: Op, onnx_op: str) -> None:
        a, b = op.inputs[:2]
        ra, rb = len(self.shape(a)), len(self.shape(b))
        hint = self.g.tensors[op.outputs[0]].name
        y = self.node(onnx_op, [self.operand(a, rb), self.operand(b, ra)], hint)
        self.bind(op.outputs[0], self.activation(y, op.options.get("activation", "NONE"), hint + "_act"))

    def op_ADD(self, op: Op) -> None:
        self._binary(op, "Add")

    def op_SUB(self, op: Op) -> None:
        self._binary(op, "Sub")

    def op_MUL(self, op: Op) -> None:
        self._binary(op, "Mul")

    def _unary(self, op: Op, onnx_op: str) -> None:
        self.bind(op.outputs[0], self.node(onnx_op, [self.value(op.inputs[0])],
                                           self.g.tensors[op.outputs[0]].name))

    def op_RELU(self, op: Op) -> None:
        self._unary(op, "Relu")

    def op_LOGISTIC(self, op: Op) -> None:
        self._unary(op, "Sigmoid")

    def op_HARD_SWISH(self, op: Op) -> None:
        self._unary(op, "HardSwish")  # x*relu6(x+3)/6, same formula as TFLite

    def op_TANH(self, op: Op) -> None:
        self._unary(op, "Tanh")

    def op_PRELU(self, op: Op) -> None:
        # TFLite's alpha broadcasts against the NHWC activation (usually (1, 1, C)); the
        # activation is held NCHW here, so the slope moves with it, as a constant operand does.
        x, alpha = op.inputs[:2]
        hint = self.g.tensors[op.outputs[0]].name
        slope = self.operand(alpha, len(self.shape(x)))
        self.bind(op.outputs[0], self.node("PRelu", [self.value(x), slope], hint))

    def op_RELU6(self, op: Op) -> None:
        x = self.value(op.inputs[0])
        self.bind(op.outputs[0], self.activation(x, "RELU6", self.g.tensors[op.outputs[0]].name))

    def _pool(self, op: Op, onnx_op: str) -> None:
        o, x, out = op.options, op.inputs[0], op.outputs[0]
        _, h, w, _ = self.shape(x)
        fh, fw = o["filter"]
        hint = self.g.tensors[out].name
        if o["padding"] == "VALID" and (fh, fw) == (h, w):
            y = self.node("Global" + onnx_op, [self.value(x)], hint)
        else:
            extra = {"count_include_pad": 0} if onnx_op == "AveragePool" else {}
            y = self.node(onnx_op, [self.value(x)], hint, kernel_shape=[fh, fw],
                          strides=list(o["stride"]),
                          pads=conv_pads(o["padding"], (h, w), (fh, fw), o["stride"]), **extra)
        self.bind(out, self.activation(y, o["activation"], hint + "_act"))

    def op_AVERAGE_POOL_2D(self, op: Op) -> None:
        self._pool(op, "AveragePool")

    def op_MAX_POOL_2D(self, op: Op) -> None:
        self._pool(op, "MaxPool")

    def op_RESIZE_BILINEAR(self, op: Op) -> None:
        x, out = op.inputs[0], op.outputs[0]
        o = op.options
        if o["align_corners"]:
            mode = "align_corners"
        elif o["half_pixel_centers"]:
            mode = "half_pixel"
        else:
            mode = "asymmetric"
        n, c = self.shape(x)[0], self.shape(x)[3]
        oh, ow = (int(v) for v in self.g.const(op.inputs[1]))
        self.bind(out, self.resize(self.value(x), (n, c, oh, ow), mode,
                                   self.g.tensors[out].name))

    def op_PAD(self, op: Op) -> None:
        x, out = op.inputs[0], op.outputs[0]
        pads = np.asarray(self.g.const(op.inputs[1]), np.int64)  # (rank, 2): before, after
        if pads.shape[0] == 4:
            pads = pads[[0, 3, 1, 2]]  # the activation is held NCHW
        self.bind(out, self.node("Pad", [self.value(x), self.constant(
            np.concatenate([pads[:, 0], pads[:, 1]]), self.g.tensors[out].name + "_pads")],
            self.g.tensors[out].name, mode="constant"))

    def op_RESHAPE(self, op: Op) -> None:
        # TFLite reshapes in NHWC element order, so a 4-D activation goes back to
        # NHWC first, and a 4-D result comes back to NCHW.
        x, out = op.inputs[0], op.outputs[0]
        hint = self.g.tensors[out].name
        y = self.value(x)
        if len(self.shape(x)) == 4:
            y = self.node("Transpose", [y], hint + "_nhwc", perm=[0, 2, 3, 1])
        target = self.g.tensors[out].shape
        y = self.node("Reshape", [y, self.constant(np.array(target, np.int64), hint + "_shape")], hint)
        if len(target) == 4:
            y = self.node("Transpose", [y], hint + "_nchw", perm=[0, 3, 1, 2])
        self.bind(out, y)

    def op_CONCATENATION(self, op: Op) -> None:
        rank = len(self.shape(op.outputs[0]))
        axis = op.options["axis"] % rank
        if rank == 4:
            axis = (0, 2, 3, 1)[axis]
        hint = self.g.tensors[op.outputs[0]].name
        y = self.node("Concat", [self.value(i) for i in op.inputs], hint, axis=axis)
        self.bind(op.outputs[0], self.activation(y, op.options["activation"], hint + "_act"))

    def resize(self, x: str, sizes, mode: str, hint: str) -> str:
        return self.node("Resize", [x, "", "", self.constant(np.array(sizes, np.int64), hint + "_sizes")],
                         hint, mode="linear", coordinate_transformation_mode=mode)


def build_onnx(graph: Graph, source_sha256: str = "", *, contract: bool = True,
               names_out: dict | None = None, output_names: list[str] | None = None,
               graph_name: str = "selfie_segmentation_matte", doc_string: str | None = None,
               metadata: dict | None = None):
    """Build the ONNX ModelProto for `graph`.

    With contract=True (the shipped model) the graph is wrapped in the engine's tensor
    contract.  With contract=False the bare network is emitted with an NCHW input "input"
    and its outputs (one "output" unless output_names names them) of the TFLite tensors'
    own static shapes; the tests use that to check single ops, and the face detector ships
    that way.  names_out, if given, receives TFLite tensor index -> ONNX value name.
    """
    import onnx
    from onnx import TensorProto, helper

    output_names = output_names or ["output"]
    if len(graph.inputs) != 1 or len(graph.outputs) != len(output_names):
        raise ConversionError(f"expected one input and {len(output_names)} output(s), got "
                              f"{len(graph.inputs)} and {len(graph.outputs)}")
    in_t = graph.tensors[graph.inputs[0]]
    out_ts = [graph.tensors[i] for i in graph.outputs]
    if len(in_t.shape) != 4 or (contract and len(out_ts[0].shape) != 4):
        raise ConversionError("expected 4-D NHWC input and output")

    wr = OnnxWriter(graph)
    wr.used_names.update({"input", *output_names})
    if contract:
        out_t = out_ts[0]
        if in_t.shape[0] != 1 or in_t.shape[3] != 3 or out_t.shape[3] != 1:
            raise ConversionError(f"expected RGB input and one-channel output, got "
                                  f"{in_t.shape} -> {out_t.shape}")
        # engine input in [-1, 1], any size -> network input: 256x256, [0, 1].  Resizing
        # first keeps the affine map at 256x256 whatever the frame size.
        x = wr.resize("input", (1, 3) + tuple(in_t.shape[1:3]), "half_pixel", "input_resized")
        x = wr.node("Mul", [x, wr.constant(np.float32(0.5), "half")], "input_scaled")
        x = wr.node("Add", [x, wr.constant(np.float32(0.5), "half")], "input_01")
        in_dims = [1, 3, "height", "width"]
    else:
        x = "input"
        in_dims = list(_nhwc_to_nchw_shape(in_t.shape))
    wr.bind(graph.inputs[0], x)

    for op in graph.ops:
        wr.emit(op)

    # the network's last values become the graph outputs (already NCHW)
    renames = {}
    for idx, name in zip(graph.outputs, output_names):
        last = wr.value(idx)
        if last == x:
            raise ConversionError("graph output is its input")
        renames[last] = name
    for node in wr.nodes:
        node.output[:] = [renames.get(o, o) for o in node.output]
        node.input[:] = [renames.get(i, i) for i in node.input]
    if names_out is not None:
        names_out.update({k: renames.get(v, v) for k, v in wr.value_names.items()})

    g = helper.make_graph(
        wr.nodes, graph_name,
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, in_dims)],
        [helper.make_tensor_value_info(name, TensorProto.FLOAT, list(_nhwc_to_nchw_shape(t.shape)))
         for name, t in zip(output_names, out_ts)],
        initializer=wr.initializers,
    )
    if doc_string is None:
        doc_string = DOC_STRING if contract else ""
    model = helper.make_model(g, opset_imports=[helper.make_opsetid("", OPSET)],
                              producer_name=PRODUCER, producer_version=TOOL_VERSION,
                              doc_string=doc_string)
    model.ir_version = IR_VERSION
    if contract:
        meta = {
            "source": "MediaPipe selfie segmentation (selfie_segmentation.tflite, "
                      "npm @mediapipe/selfie_segmentation 0.1.1675465747)",
            "source_description": graph.description,
            "license": "Apache-2.0",
            "notice": "Converted from selfie_segmentation.tflite by tools/convert_model.py; "
                      "modifications: format conversion and added pre/post-processing nodes",
            "input_range": "[-1, 1] RGB (v/255 - 0.5)/0.5",
            "output": "alpha matte [0, 1] at 256x256",
        }
        if source_sha256:
            meta["source_sha256"] = source_sha256
        helper.set_model_props(model, meta)
    elif metadata:
        helper.set_model_props(model, dict(metadata, **({"source_sha256": source_sha256} if source_sha256 else {})))
    onnx.checker.check_model(model, full_check=True)
    return model


FACE_DOC_STRING = (
    "Face detector for portrait_studio ID photos. Converted from the MediaPipe short-range "
    "face detector (face_detection_short_range.tflite, Google, Apache License 2.0) by "
    "tools/convert_model.py. Modifications: format conversion TFLite -> ONNX, NCHW input. "
    "Input 'input' float32 (1,3,128,128) RGB in [-1,1]; outputs 'boxes' float32 (1,896,16) "
    "raw anchor regressions (box centre, size, six key points, in input pixels) and "
    "'scores' float32 (1,896,1) logits."
)


def build_face_detector(graph: Graph, source_sha256: str = ""):
    """The BlazeFace network as it is, with its two outputs named; the regressor output
    is the one with 16 values per anchor."""
    order = sorted(graph.outputs, key=lambda i: -graph.tensors[i].shape[-1])
    graph = Graph(graph.tensors, graph.ops, graph.inputs, order, graph.description)
    return build_onnx(
        graph, source_sha256, contract=False, output_names=["boxes", "scores"],
        graph_name="face_detection_short_range", doc_string=FACE_DOC_STRING,
        metadata={
            "source": "MediaPipe face detection, short range (face_detection_short_range.tflite, "
                      "PyPI mediapipe 0.10.14)",
            "license": "Apache-2.0",
            "notice": "Converted from face_detection_short_range.tflite by "
                      "tools/convert_model.py; modifications: format conversion",
            "input_range": "[-1, 1] RGB (v/255 - 0.5)/0.5 at 128x128",
        })


MESH_DOC_STRING = (
    "Face mesh for portrait_studio ID photos. Converted from the MediaPipe face landmark "
    "network (face_landmark.tflite, Google, Apache License 2.0) by tools/convert_model.py. "
    "Modifications: format conversion TFLite -> ONNX, NCHW input, outputs reshaped. "
    "Input 'input' float32 (1,3,192,192) RGB in [0,1]; outputs 'landmarks' float32 (1,468,3) "
    "x, y in input pixels and z on the same scale, 'face' float32 (1,1) face-presence logit."
)


def with_reshaped_outputs(graph: Graph, shapes: list[tuple[int, ...]]) -> Graph:
    """A copy of graph whose outputs go through RESHAPE ops to the given shapes (TFLite
    element order), so the shipped tensors carry their meaning in their shape."""
    tensors, ops, outputs = list(graph.tensors), list(graph.ops), []
    for idx, shape in zip(graph.outputs, shapes):
        if int(np.prod(shape)) != int(np.prod(graph.tensors[idx].shape)):
            raise ConversionError(f"cannot reshape {graph.tensors[idx].shape} to {shape}")
        tensors.append(Tensor(graph.tensors[idx].name + "_shape", (len(shape),), np.dtype("<i4"),
                              np.array(shape, "<i4")))
        tensors.append(Tensor(graph.tensors[idx].name + "_reshaped", tuple(shape), np.dtype(np.float32)))
        ops.append(Op("RESHAPE", [idx, len(tensors) - 2], [len(tensors) - 1]))
        outputs.append(len(tensors) - 1)
    return Graph(tensors, ops, graph.inputs, outputs, graph.description)


def build_face_mesh(graph: Graph, source_sha256: str = ""):
    """The face-mesh network with its 1404 regressions as (1, 468, 3) `landmarks` and its
    face-presence logit as (1, 1) `face` (the output with one value)."""
    order = sorted(graph.outputs, key=lambda i: -int(np.prod(graph.tensors[i].shape)))
    sizes = [int(np.prod(graph.tensors[i].shape)) for i in order]
    if sizes != [1404, 1]:
        raise ConversionError(f"expected outputs of 1404 and 1 values, got {sizes}")
    graph = with_reshaped_outputs(Graph(graph.tensors, graph.ops, graph.inputs, order,
                                        graph.description), [(1, 468, 3), (1, 1)])
    return build_onnx(
        graph, source_sha256, contract=False, output_names=["landmarks", "face"],
        graph_name="face_landmark", doc_string=MESH_DOC_STRING,
        metadata={
            "source": "MediaPipe face mesh (face_landmark.tflite, PyPI mediapipe 0.10.14)",
            "source_description": graph.description,
            "license": "Apache-2.0",
            "notice": "Converted from face_landmark.tflite by tools/convert_model.py; "
                      "modifications: format conversion, outputs reshaped",
            "input_range": "[0, 1] RGB v/255 at 192x192",
        })


BUILDERS = {"matte": build_onnx, "face-detector": build_face_detector, "face-mesh": build_face_mesh}


def convert(src: str | Path, dst: str | Path, *, face_detector: bool = False,
            kind: str | None = None) -> str:
    """Convert src (TFLite) to dst (ONNX) as one of BUILDERS (the matte by default);
    returns the sha256 of the written file.  The file appears whole or not at all."""
    kind = kind or ("face-detector" if face_detector else "matte")
    src_bytes = Path(src).read_bytes()
    graph = read_tflite(src)
    model = BUILDERS[kind](graph, hashlib.sha256(src_bytes).hexdigest())
    data = model.SerializeToString(deterministic=True)
    dst = Path(dst)
    dst.parent.mkdir(parents=True, exist_ok=True)
    tmp = dst.with_name(dst.name + ".tmp")
    tmp.write_bytes(data)
    tmp.replace(dst)
    return hashlib.sha256(data).hexdigest()


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("src", nargs="?", default=None,
                    help=f"TFLite model (default: {DEFAULT_SOURCE})")
    ap.add_argument("out", nargs="?", default=str(DEFAULT_OUTPUT),
                    help=f"ONNX file to write (default: {DEFAULT_OUTPUT})")
    ap.add_argument("--list-ops", action="store_true", help="print the TFLite op histogram and exit")
    ap.add_argument("--face-detector", action="store_true",
                    help="convert the short-range face detector (SRC and OUT default to the "
                         "ID-photo package's copies) instead of the matting network")
    ap.add_argument("--face-mesh", action="store_true",
                    help="convert the face-mesh (landmark) network, defaults as --face-detector")
    args = ap.parse_args(argv)
    kind = "face-mesh" if args.face_mesh else "face-detector" if args.face_detector else "matte"
    if kind != "matte":
        src = Path(args.src) if args.src else {"face-mesh": MESH_SOURCE, "face-detector": FACE_SOURCE}[kind]
        if args.out == str(DEFAULT_OUTPUT):
            args.out = str({"face-mesh": MESH_OUTPUT, "face-detector": FACE_OUTPUT}[kind])
    else:
        src = Path(args.src) if args.src else DEFAULT_SOURCE
    try:
        if args.list_ops:
            from collections import Counter

            for kind, n in sorted(Counter(op.kind for op in read_tflite(src).ops).items()):
                print(f"{n:4d} {kind}")
            return 0
        digest = convert(src, args.out, kind=kind)
    except ConversionError as e:
        print(f"convert_model: {e}", file=sys.stderr)
        return 1
    print(f"{src} -> {args.out}  sha256 {digest}  ({Path(args.out).stat().st_size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
