"""Tests for tools/convert_model.py (TFLite -> ONNX) and its NumPy yardstick.

Single-op graphs are converted with contract=False and run through onnxruntime against
tools/tflite_reference.py; the reference itself is pinned by hand-worked TFLite results and,
where a TFLite interpreter is installed, by the real network.  Run with
    python -m pytest tools/tests
"""

from __future__ import annotations

import hashlib
import importlib.util
import re
import sys
from pathlib import Path

import numpy as np
import pytest

TOOLS = Path(__file__).resolve().parent.parent


def tool(name):
    """A script of tools/ as a module, read from its file: the skip marks and
    the graph builder below need it at collection, before any fixture runs."""
    if name not in sys.modules:
        spec = importlib.util.spec_from_file_location(name, TOOLS / f"{name}.py")
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module  # dataclasses look their module up by name
        spec.loader.exec_module(module)
    return sys.modules[name]


cm = tool("convert_model")
ref = tool("tflite_reference")

ort = pytest.importorskip("onnxruntime")
MODELS = TOOLS.parent / "models"
F32 = np.dtype(np.float32)


class Builder:
    """Small helper to assemble a Graph one op at a time, starting from an NHWC input."""

    def __init__(self, in_shape):
        self.tensors = [cm.Tensor("x", tuple(in_shape), F32)]
        self.ops = []
        self.last = 0

    def const(self, arr, name="c"):
        arr = np.asarray(arr)
        self.tensors.append(cm.Tensor(name, arr.shape, arr.dtype, arr))
        return len(self.tensors) - 1

    def op(self, kind, inputs, out_shape, **options):
        self.tensors.append(cm.Tensor(f"t{len(self.tensors)}", tuple(out_shape), F32))
        out = len(self.tensors) - 1
        self.ops.append(cm.Op(kind, list(inputs), [out], options))
        self.last = out
        return out

    def graph(self):
        return cm.Graph(self.tensors, self.ops, [0], [self.last])


def run_onnx(graph, x_nhwc):
    model = cm.build_onnx(graph, contract=False)
    sess = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"])
    y = sess.run(["output"], {"input": x_nhwc.transpose(0, 3, 1, 2).astype(np.float32)})[0]
    return y.transpose(0, 2, 3, 1)


def assert_matches_reference(graph, seed=0):
    x = np.random.default_rng(seed).standard_normal(graph.tensors[0].shape).astype(np.float32)
    want = ref.run(graph, x)
    got = run_onnx(graph, x)
    assert got.shape == want.shape
    np.testing.assert_allclose(got, want, atol=1e-4, rtol=1e-4)


def rnd(*shape, seed=1):
    return np.random.default_rng(seed).standard_normal(shape).astype(np.float32)


def conv_opts(padding, stride=(1, 1), dilation=(1, 1), activation="NONE"):
    return dict(padding=padding, stride=stride, dilation=dilation, activation=activation)


# ---- single ops: ONNX translation vs the NumPy reference ----------------------------------

CONV_CASES = {
    # 8 and 10 with k=3, s=2 need one pad pixel, which TFLite puts after: asymmetric pads
    "3x3_s2_same_asymmetric": ((1, 8, 10, 3), (5, 3, 3, 3), conv_opts("SAME", (2, 2)), (1, 4, 5, 5)),
    "5x5_dilated_same_relu6": ((1, 9, 9, 2), (4, 5, 5, 2), conv_opts("SAME", dilation=(2, 2), activation="RELU6"), (1, 9, 9, 4)),
    "3x3_s2_valid": ((1, 9, 9, 3), (2, 3, 3, 3), conv_opts("VALID", (2, 2)), (1, 4, 4, 2)),
    "1x1_relu_n1_to_1": ((1, 4, 4, 6), (3, 1, 1, 6), conv_opts("VALID", activation="RELU_N1_TO_1"), (1, 4, 4, 3)),
    "grouped_2": ((1, 6, 6, 4), (6, 3, 3, 2), conv_opts("SAME"), (1, 6, 6, 6)),
}


@pytest.mark.parametrize("case", CONV_CASES, ids=list(CONV_CASES))
def test_conv2d_matches_reference(case):
    x_shape, w_shape, opts, out_shape = CONV_CASES[case]
    b = Builder(x_shape)
    b.op("CONV_2D", [0, b.const(rnd(*w_shape)), b.const(rnd(w_shape[0], seed=2))], out_shape, **opts)
    assert_matches_reference(b.graph())


@pytest.mark.parametrize("stride,mult,k,act,out_hw", [
    ((2, 2), 2, 3, "NONE", (4, 5)),   # channel multiplier: output c*M+m reads input c
    ((1, 1), 1, 5, "RELU", (8, 10)),
])
def test_depthwise_matches_reference(stride, mult, k, act, out_hw):
    b = Builder((1, 8, 10, 3))
    opts = conv_opts("SAME", stride, activation=act)
    b.op("DEPTHWISE_CONV_2D", [0, b.const(rnd(1, k, k, 3 * mult)), b.const(rnd(3 * mult, seed=3))],
         (1, *out_hw, 3 * mult), depth_multiplier=mult, **opts)
    assert_matches_reference(b.graph())


@pytest.mark.parametrize("padding,k,in_hw,out_hw", [
    ("VALID", 2, (5, 7), (10, 14)),  # the network's upsampling head
    ("VALID", 3, (4, 4), (9, 9)),    # overlapping taps
    ("SAME", 3, (4, 5), (8, 10)),    # one row/column cropped
])
def test_transpose_conv_bias_matches_reference(padding, k, in_hw, out_hw):
    b = Builder((1, *in_hw, 4))
    b.op("Convolution2DTransposeBias", [0, b.const(rnd(2, k, k, 4)), b.const(rnd(2, seed=4))],
         (1, *out_hw, 2), padding=padding, stride=(2, 2))
    assert_matches_reference(b.graph())


@pytest.mark.parametrize("kind,padding,f,s,in_hw,out_hw", [
    ("AVERAGE_POOL_2D", "SAME", 3, 2, (7, 8), (4, 4)),    # padded cells not counted
    ("AVERAGE_POOL_2D", "VALID", 6, 6, (6, 6), (1, 1)),   # global pooling as in the network
    ("AVERAGE_POOL_2D", "VALID", 2, 2, (6, 6), (3, 3)),
    ("MAX_POOL_2D", "SAME", 2, 2, (5, 5), (3, 3)),
])
def test_pools_match_reference(kind, padding, f, s, in_hw, out_hw):
    b = Builder((1, *in_hw, 3))
    b.op(kind, [0], (1, *out_hw, 3), padding=padding, stride=(s, s), filter=(f, f), activation="NONE")
    assert_matches_reference(b.graph())


@pytest.mark.parametrize("align,half", [(False, True), (True, False), (False, False)])
@pytest.mark.parametrize("in_hw,out_hw", [((5, 7), (8, 11)), ((8, 8), (3, 5)), ((16, 16), (32, 32))])
def test_resize_bilinear_matches_reference(align, half, in_hw, out_hw):
    b = Builder((1, *in_hw, 2))
    b.op("RESIZE_BILINEAR", [0, b.const(np.array(out_hw, np.int32))], (1, *out_hw, 2),
         align_corners=align, half_pixel_centers=half)
    assert_matches_reference(b.graph())


def test_elementwise_chain_matches_reference():
    """Squeeze-excite style block plus constants that broadcast along NHWC channels."""
    b = Builder((1, 6, 5, 4))
    se = b.op("AVERAGE_POOL_2D", [0], (1, 1, 1, 4), padding="VALID", stride=(6, 5), filter=(6, 5),
              activation="NONE")
    gate = b.op("LOGISTIC", [se], (1, 1, 1, 4))
    y = b.op("MUL", [0, gate], (1, 6, 5, 4), activation="NONE")
    y = b.op("ADD", [y, b.const(rnd(4, seed=5))], (1, 6, 5, 4), activation="RELU6")  # per-channel
    y = b.op("SUB", [b.const(rnd(1, 1, 5, 4, seed=6)), y], (1, 6, 5, 4), activation="NONE")
    y = b.op("HARD_SWISH", [y], (1, 6, 5, 4))
    y = b.op("TANH", [y], (1, 6, 5, 4))
    y = b.op("ADD", [y, 0], (1, 6, 5, 4), activation="NONE")
    b.op("RELU", [y], (1, 6, 5, 4))
    assert_matches_reference(b.graph())


# ---- the reference against hand-worked TFLite results ----------------------------------


def test_reference_same_padding_goes_after():
    # 4x4 ones, 3x3 ones kernel, stride 2: TFLite pads 0 before / 1 after
    b = Builder((1, 4, 4, 1))
    b.op("CONV_2D", [0, b.const(np.ones((1, 3, 3, 1), np.float32))], (1, 2, 2, 1), **conv_opts("SAME", (2, 2)))
    out = ref.run(b.graph(), np.ones((1, 4, 4, 1)))
    np.testing.assert_array_equal(out[0, :, :, 0], [[9, 6], [6, 4]])


def test_reference_average_pool_excludes_padding():
    b = Builder((1, 3, 3, 1))
    b.op("AVERAGE_POOL_2D", [0], (1, 3, 3, 1), padding="SAME", stride=(1, 1), filter=(3, 3), activation="NONE")
    out = ref.run(b.graph(), np.arange(9.0).reshape(1, 3, 3, 1))[0, :, :, 0]
    assert out[0, 0] == pytest.approx((0 + 1 + 3 + 4) / 4)
    assert out[1, 1] == pytest.approx(4.0)


@pytest.mark.parametrize("align,half,want", [
    (False, True, [0, 0.25, 0.75, 1]),
    (True, False, [0, 1 / 3, 2 / 3, 1]),
    (False, False, [0, 0.5, 1, 1]),
])
def test_reference_resize_sampling(align, half, want):
    b = Builder((1, 1, 2, 1))
    b.op("RESIZE_BILINEAR", [0, b.const(np.array([1, 4], np.int32))], (1, 1, 4, 1),
         align_corners=align, half_pixel_centers=half)
    out = ref.run(b.graph(), np.array([0.0, 1.0]).reshape(1, 1, 2, 1))
    np.testing.assert_allclose(out[0, 0, :, 0], want)


def test_reference_prelu_scales_negatives_only():
    b = Builder((1, 1, 2, 2))
    b.op("PRELU", [0, b.const(np.array([[[0.5, -2.0]]], np.float32))], (1, 1, 2, 2))
    out = ref.run(b.graph(), np.array([-4.0, 3.0, 2.0, -1.0]).reshape(1, 1, 2, 2))
    np.testing.assert_array_equal(out.ravel(), [-2, 3, 2, 2])


def test_reference_transpose_conv_places_kernel_unflipped():
    b = Builder((1, 1, 1, 1))
    w = np.array([[1, 2], [3, 4]], np.float32).reshape(1, 2, 2, 1)
    b.op("Convolution2DTransposeBias", [0, b.const(w), b.const(np.array([10], np.float32))],
         (1, 2, 2, 1), padding="VALID", stride=(2, 2))
    out = ref.run(b.graph(), np.full((1, 1, 1, 1), 2.0))
    np.testing.assert_array_equal(out[0, :, :, 0], [[12, 14], [16, 18]])


# ---- graph-level conversion rules ----------------------------------------------------------


def test_dequantize_of_int8_weights_is_folded_per_channel():
    b = Builder((1, 3, 3, 2))
    q = np.array([[[[-2, 4]]], [[[8, -16]]]], np.int8)  # OHWI (2,1,1,2)
    qi = b.const(q, "wq")
    b.tensors[qi].quant = (np.array([0.5, 0.25], np.float32), np.array([0, 2]), 0)
    wf = b.op("DEQUANTIZE", [qi], q.shape)
    b.op("CONV_2D", [0, wf], (1, 3, 3, 2), **conv_opts("VALID"))
    g = b.graph()
    cm.fold_dequantize(g)
    assert [op.kind for op in g.ops] == ["CONV_2D"]
    np.testing.assert_array_equal(g.tensors[wf].data.reshape(2, 2), [[-1, 2], [1.5, -4.5]])
    assert_matches_reference(g)


def test_unsupported_operator_is_reported_by_name():
    b = Builder((1, 2, 2, 1))
    b.op("SPACE_TO_DEPTH", [0], (1, 1, 1, 4))
    with pytest.raises(cm.ConversionError, match="SPACE_TO_DEPTH"):
        cm.build_onnx(b.graph(), contract=False)


def test_transpose_conv_options_decoding():
    raw = np.array([2, 3, 4, 99], "<i4").tobytes()  # VALID, stride_w 3, stride_h 4, extra field
    assert cm._parse_transpose_conv_bias(raw) == dict(padding="VALID", stride=(4, 3))
    with pytest.raises(cm.ConversionError):
        cm._parse_transpose_conv_bias(raw[:8])
    with pytest.raises(cm.ConversionError):
        cm._parse_transpose_conv_bias(np.array([0, 1, 1], "<i4").tobytes())


# ---- the shipped network -------------------------------------------------------------------

SOURCE = cm.DEFAULT_SOURCE if cm.DEFAULT_SOURCE.exists() else None
needs_source = pytest.mark.skipif(SOURCE is None, reason="selfie_segmentation.tflite not found")


@pytest.fixture(scope="module")
def converted(tmp_path_factory):
    pytest.importorskip("tflite")
    out = tmp_path_factory.mktemp("conv") / "model.onnx"
    digest = cm.convert(SOURCE, out)
    return out, digest


@pytest.fixture(scope="module")
def session(converted):
    return ort.InferenceSession(str(converted[0]), providers=["CPUExecutionProvider"])


@pytest.fixture(scope="module")
def astronaut():
    cv2 = pytest.importorskip("cv2")
    p = TOOLS.parent / "samples" / "astronaut.png"
    if not p.exists():
        pytest.skip("sample photo not available")
    img = cv2.cvtColor(cv2.imread(str(p)), cv2.COLOR_BGR2RGB)
    return cv2.resize(img, (256, 256), interpolation=cv2.INTER_AREA).astype(np.float32)[None] / 255


def matte(session, x01_nhwc):
    feed = ((x01_nhwc - 0.5) / 0.5).transpose(0, 3, 1, 2).astype(np.float32)
    return session.run(["output"], {"input": feed})[0]


@needs_source
def test_model_contract(converted):
    import onnx

    m = onnx.load(str(converted[0]))
    (inp,), (out,) = m.graph.input, m.graph.output
    assert inp.name == "input" and out.name == "output"
    assert inp.type.tensor_type.elem_type == out.type.tensor_type.elem_type == onnx.TensorProto.FLOAT
    in_dims = [d.dim_value or d.dim_param for d in inp.type.tensor_type.shape.dim]
    assert in_dims[:2] == [1, 3] and all(isinstance(d, str) and d for d in in_dims[2:])
    assert [d.dim_value for d in out.type.tensor_type.shape.dim] == [1, 1, 256, 256]
    assert m.opset_import[0].version == cm.OPSET
    assert "MediaPipe" in m.doc_string and "Apache" in m.doc_string
    props = {p.key: p.value for p in m.metadata_props}
    assert props["license"] == "Apache-2.0"
    assert props["source_sha256"] == hashlib.sha256(SOURCE.read_bytes()).hexdigest()
    # float32 weights only, each stored once
    inits = m.graph.initializer
    assert all(t.data_type in (onnx.TensorProto.FLOAT, onnx.TensorProto.INT64) for t in inits)
    assert len({t.raw_data for t in inits if t.raw_data}) == len([t for t in inits if t.raw_data])


@needs_source
def test_matte_matches_reference_and_keeps_the_person(session, astronaut):
    got = matte(session, astronaut)[0, 0]
    want = ref.run(cm.read_tflite(SOURCE), astronaut)[0, :, :, 0]
    np.testing.assert_allclose(got, want, atol=2e-4)
    assert got[45:75, 95:125].mean() > 0.95  # face
    assert got[150:220, 40:110].mean() > 0.95  # suit
    assert got[10:40, 225:250].mean() < 0.05  # wall behind


@needs_source
def test_matte_matches_tflite_interpreter(session, astronaut):
    lite = pytest.importorskip("ai_edge_litert.interpreter")
    interp = lite.Interpreter(model_path=str(SOURCE))
    interp.allocate_tensors()
    smooth = np.clip(np.kron(np.random.default_rng(7).random((1, 16, 16, 3)), np.ones((1, 16, 16, 1))), 0, 1)
    graph = cm.read_tflite(SOURCE)
    # The network's logits reach +-800, so where the matte crosses 0.5 it shows float32
    # summation order: onnxruntime's NCHWc convolutions move such pixels by ~1e-3 on the
    # blocky input.  A wrong weight layout or pad moves whole regions by far more.
    for x, atol in ((astronaut, 2e-4), (smooth.astype(np.float32), 3e-3)):
        interp.set_tensor(interp.get_input_details()[0]["index"], x)
        interp.invoke()
        want = interp.get_tensor(interp.get_output_details()[0]["index"])[..., 0]
        np.testing.assert_allclose(matte(session, x)[:, 0], want, atol=atol)
        np.testing.assert_allclose(ref.run(graph, x)[..., 0], want, atol=2e-4)  # the yardstick too


@needs_source
def test_any_input_size_is_resized_to_the_network(session, astronaut):
    base = matte(session, astronaut)
    # a 2x nearest-upscaled frame halves back exactly under half-pixel bilinear sampling
    big = astronaut.repeat(2, axis=1).repeat(2, axis=2)
    np.testing.assert_allclose(matte(session, big), base, atol=1e-5)
    odd = session.run(["output"], {"input": np.random.default_rng(3).uniform(-1, 1, (1, 3, 301, 177)).astype(np.float32)})[0]
    assert odd.shape == (1, 1, 256, 256)
    assert np.isfinite(odd).all() and odd.min() >= 0 and odd.max() <= 1


@needs_source
def test_conversion_is_byte_reproducible(converted, tmp_path):
    again = tmp_path / "again.onnx"
    assert cm.convert(SOURCE, again) == converted[1]
    assert again.read_bytes() == converted[0].read_bytes()


@needs_source
def test_shipped_model_is_up_to_date(converted):
    shipped = MODELS / "modnet.onnx"
    if not shipped.exists():
        pytest.skip("models/modnet.onnx not generated yet")
    assert hashlib.sha256(shipped.read_bytes()).hexdigest() == converted[1], \
        "models/modnet.onnx differs from a fresh conversion; rerun tools/convert_model.py"


def test_sources_md_checksums_match_files():
    sources = MODELS / "SOURCES.md"
    if not sources.exists():
        pytest.skip("models/SOURCES.md not written yet")
    text = sources.read_text()
    for name in ("modnet.onnx", "selfie_segmentation.tflite", "face_detection_short_range.tflite",
                 "face_landmark.tflite"):
        m = re.search(rf"{re.escape(name)}\W[^\n]*?\b([0-9a-f]{{64}})\b", text)
        assert m, f"no sha256 for {name} in SOURCES.md"
        assert m.group(1) == hashlib.sha256((MODELS / name).read_bytes()).hexdigest(), name


# ---- the face detector: layout ops and two named outputs ----------------------------------

def run_bare(graph, x_nhwc, output_names):
    model = cm.build_onnx(graph, contract=False, output_names=output_names)
    sess = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"])
    outs = sess.run(output_names, {"input": x_nhwc.transpose(0, 3, 1, 2).astype(np.float32)})
    return [y.transpose(0, 2, 3, 1) if y.ndim == 4 else y for y in outs]


def layout_graph(kind):
    """x -> conv -> {kind} (reading the conv as well, for two-input ops), so the op meets
    an NCHW activation as it does inside the network."""
    b = Builder((1, 6, 5, 3))
    conv = b.op("CONV_2D", [0, b.const(rnd(4, 3, 3, 3)), b.const(rnd(4))], (1, 6, 5, 4), **conv_opts("SAME"))
    if kind == "pad_channels":
        b.op("PAD", [conv, b.const(np.array([[0, 0], [0, 0], [0, 0], [0, 4]], np.int32))], (1, 6, 5, 8))
    elif kind == "pad_space":
        b.op("PAD", [conv, b.const(np.array([[0, 0], [1, 2], [0, 1], [0, 0]], np.int32))], (1, 9, 6, 4))
    elif kind == "reshape_to_rows":
        b.op("RESHAPE", [conv, b.const(np.array([1, 60, 2], np.int32))], (1, 60, 2))
    elif kind == "reshape_4d":
        b.op("RESHAPE", [conv, b.const(np.array([1, 3, 10, 4], np.int32))], (1, 3, 10, 4))
    elif kind == "concat_channels_relu":
        b.op("CONCATENATION", [conv, conv], (1, 6, 5, 8), axis=-1, activation="RELU")
    elif kind == "prelu_channel_slopes":  # slopes (1, 1, C) broadcast along NHWC channels
        b.op("PRELU", [conv, b.const(rnd(1, 1, 4, seed=8))], (1, 6, 5, 4))
    elif kind == "prelu_full_slopes":
        b.op("PRELU", [conv, b.const(rnd(6, 5, 4, seed=8))], (1, 6, 5, 4))
    elif kind == "concat_rows":
        rows = b.op("RESHAPE", [conv, b.const(np.array([1, 30, 4], np.int32))], (1, 30, 4))
        b.op("CONCATENATION", [rows, rows], (1, 60, 4), axis=1, activation="NONE")
    return b.graph()


@pytest.mark.parametrize("kind", ["pad_channels", "pad_space", "reshape_to_rows", "reshape_4d",
                                  "concat_channels_relu", "concat_rows", "prelu_channel_slopes",
                                  "prelu_full_slopes"])
def test_layout_ops_match_reference(kind):
    graph = layout_graph(kind)
    x = rnd(*graph.tensors[0].shape, seed=4)
    (got,) = run_bare(graph, x, ["output"])
    np.testing.assert_allclose(got, ref.run(graph, x), atol=1e-4, rtol=1e-4)


FACE_SOURCE = cm.FACE_SOURCE if cm.FACE_SOURCE.exists() else None


@pytest.mark.skipif(FACE_SOURCE is None, reason="face_detection_short_range.tflite not found")
def test_face_detector_matches_reference_and_is_up_to_date(tmp_path, astronaut):
    pytest.importorskip("tflite")
    out = tmp_path / "face.onnx"
    digest = cm.convert(FACE_SOURCE, out, face_detector=True)
    graph = cm.read_tflite(FACE_SOURCE)
    regressors, scores = sorted(graph.outputs, key=lambda i: -graph.tensors[i].shape[-1])
    sess = ort.InferenceSession(str(out), providers=["CPUExecutionProvider"])
    face = (astronaut[:, ::2, ::2] * 2 - 1).astype(np.float32)  # 128 x 128, [-1, 1]
    for x in (face, rnd(1, 128, 128, 3, seed=9).clip(-1, 1)):
        want = ref.run(graph, x, keep_all=True)
        boxes, logits = sess.run(["boxes", "scores"], {"input": x.transpose(0, 3, 1, 2)})
        np.testing.assert_allclose(boxes, want[regressors], atol=2e-3)
        np.testing.assert_allclose(logits, want[scores], atol=2e-3)
    assert logits.shape == (1, 896, 1) and boxes.shape == (1, 896, 16)
    shipped = cm.FACE_OUTPUT
    assert hashlib.sha256(shipped.read_bytes()).hexdigest() == digest, \
        "the shipped face detector differs from a fresh conversion; rerun tools/convert_model.py --face-detector"


MESH_SOURCE = cm.MESH_SOURCE if cm.MESH_SOURCE.exists() else None


@pytest.mark.skipif(MESH_SOURCE is None, reason="face_landmark.tflite not found")
def test_face_mesh_matches_reference_and_is_up_to_date(tmp_path):
    """On a real face crop and on noise; landmarks are in 192-pixel input units, so 1e-3
    is far below anything the ID-photo code can see, and a wrong slope layout or pad
    moves points by whole pixels."""
    pytest.importorskip("tflite")
    cv2 = pytest.importorskip("cv2")
    out = tmp_path / "mesh.onnx"
    digest = cm.convert(MESH_SOURCE, out, kind="face-mesh")
    assert cm.convert(MESH_SOURCE, tmp_path / "again.onnx", kind="face-mesh") == digest
    graph = cm.read_tflite(MESH_SOURCE)
    points, presence = sorted(graph.outputs, key=lambda i: -int(np.prod(graph.tensors[i].shape)))
    sess = ort.InferenceSession(str(out), providers=["CPUExecutionProvider"])
    photo = cv2.imread(str(TOOLS.parent / "tests" / "data" / "astronaut.png"))
    crop = cv2.resize(photo[20:180, 160:320, ::-1], (192, 192), interpolation=cv2.INTER_AREA)
    face = (crop.astype(np.float32) / 255)[None]
    logits = []
    for x in (face, np.random.default_rng(5).random((1, 192, 192, 3)).astype(np.float32)):
        want = ref.run(graph, x, keep_all=True)
        lm, logit = sess.run(["landmarks", "face"], {"input": x.transpose(0, 3, 1, 2)})
        assert lm.shape == (1, 468, 3) and logit.shape == (1, 1)
        np.testing.assert_allclose(lm.ravel(), want[points].ravel(), atol=1e-3)
        np.testing.assert_allclose(logit.ravel(), want[presence].ravel(), atol=1e-3)
        logits.append(float(logit[0, 0]))
    assert logits[0] > 5 > 0 > logits[1]  # a face is seen in the face and not in noise
    assert hashlib.sha256(cm.MESH_OUTPUT.read_bytes()).hexdigest() == digest, \
        "the shipped face mesh differs from a fresh conversion; rerun tools/convert_model.py --face-mesh"
