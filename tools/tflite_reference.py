"""Plain NumPy interpreter for the TFLite ops the bundled networks (matte, face detector,
face mesh) use.

It runs the graph read by convert_model.read_tflite in TFLite's own NHWC layout and follows
TFLite's reference kernels (padding rule, resize sampling, pooling divisor) written out
directly, in float64, so it can serve as an independent yardstick for the ONNX conversion
when no TFLite interpreter is installed.  Speed is not a goal.
"""

from __future__ import annotations

import numpy as np


def _out_and_pad(padding: str, size: int, k: int, stride: int, dil: int = 1):
    eff = (k - 1) * dil + 1
    if padding == "SAME":
        out = (size + stride - 1) // stride
    else:
        out = (size - eff + stride) // stride
    total = max((out - 1) * stride + eff - size, 0)
    return out, total // 2, total - total // 2  # TFLite puts the odd pixel at the end


def _pad_nhwc(x, padding, k_hw, stride, dil=(1, 1)):
    oh, pt, pb = _out_and_pad(padding, x.shape[1], k_hw[0], stride[0], dil[0])
    ow, pl, pr = _out_and_pad(padding, x.shape[2], k_hw[1], stride[1], dil[1])
    return np.pad(x, ((0, 0), (pt, pb), (pl, pr), (0, 0))), oh, ow


def _windows(xp, oh, ow, k_hw, stride, dil):
    """Yield (ky, kx, slab) where slab[n, oy, ox, c] = xp[n, oy*s + ky*d, ox*s + kx*d, c]."""
    for ky in range(k_hw[0]):
        for kx in range(k_hw[1]):
            y0, x0 = ky * dil[0], kx * dil[1]
            yield ky, kx, xp[:, y0: y0 + (oh - 1) * stride[0] + 1: stride[0],
                             x0: x0 + (ow - 1) * stride[1] + 1: stride[1], :]


def _act(x, name):
    if name == "NONE":
        return x
    if name == "RELU":
        return np.maximum(x, 0)
    if name == "RELU6":
        return np.clip(x, 0, 6)
    if name == "RELU_N1_TO_1":
        return np.clip(x, -1, 1)
    if name == "TANH":
        return np.tanh(x)
    raise NotImplementedError(name)


def conv2d(x, w, b, o):
    """w is OHWI; channel groups follow from input depth / filter depth."""
    xp, oh, ow = _pad_nhwc(x, o["padding"], w.shape[1:3], o["stride"], o["dilation"])
    groups = x.shape[3] // w.shape[3]
    og = w.shape[0] // groups
    out = np.zeros((x.shape[0], oh, ow, w.shape[0]))
    for ky, kx, slab in _windows(xp, oh, ow, w.shape[1:3], o["stride"], o["dilation"]):
        for g in range(groups):
            xs = slab[..., g * w.shape[3]: (g + 1) * w.shape[3]]
            out[..., g * og: (g + 1) * og] += xs @ w[g * og: (g + 1) * og, ky, kx, :].T
    if b is not None:
        out += b
    return _act(out, o["activation"])


def depthwise_conv2d(x, w, b, o):
    """w is 1 x H x W x (C*M); output channel c*M + m reads input channel c."""
    mult = w.shape[3] // x.shape[3]
    xp, oh, ow = _pad_nhwc(x, o["padding"], w.shape[1:3], o["stride"], o["dilation"])
    out = np.zeros((x.shape[0], oh, ow, w.shape[3]))
    for ky, kx, slab in _windows(xp, oh, ow, w.shape[1:3], o["stride"], o["dilation"]):
        out += np.repeat(slab, mult, axis=3) * w[0, ky, kx, :]
    if b is not None:
        out += b
    return _act(out, o["activation"])


def transpose_conv_bias(x, w, b, o, out_hw):
    """w is OHWI; out[iy*s + ky - pad] += x[iy] * w[:, ky, kx, :] (no kernel flip)."""
    s = o["stride"]
    kh, kw = w.shape[1:3]
    n, h, wd, _ = x.shape
    full = np.zeros((n, (h - 1) * s[0] + kh, (wd - 1) * s[1] + kw, w.shape[0]))
    for ky in range(kh):
        for kx in range(kw):
            full[:, ky: ky + (h - 1) * s[0] + 1: s[0], kx: kx + (wd - 1) * s[1] + 1: s[1], :] += \
                x @ w[:, ky, kx, :].T
    top = (full.shape[1] - out_hw[0]) // 2
    left = (full.shape[2] - out_hw[1]) // 2
    return full[:, top: top + out_hw[0], left: left + out_hw[1], :] + b


def pool2d(x, o, kind):
    k, st = o["filter"], o["stride"]
    xp, oh, ow = _pad_nhwc(x, o["padding"], k, st)
    _, pt, pb = _out_and_pad(o["padding"], x.shape[1], k[0], st[0])
    _, pl, pr = _out_and_pad(o["padding"], x.shape[2], k[1], st[1])
    valid = np.pad(np.ones((1, x.shape[1], x.shape[2], 1)), ((0, 0), (pt, pb), (pl, pr), (0, 0)))
    if kind == "max":
        xp = np.where(valid > 0, xp, -np.inf)
        out = np.full((x.shape[0], oh, ow, x.shape[3]), -np.inf)
        for _, _, slab in _windows(xp, oh, ow, k, st, (1, 1)):
            out = np.maximum(out, slab)
    else:
        total = np.zeros((x.shape[0], oh, ow, x.shape[3]))
        count = np.zeros((1, oh, ow, 1))
        for (_, _, slab), (_, _, vs) in zip(_windows(xp, oh, ow, k, st, (1, 1)),
                                            _windows(valid, oh, ow, k, st, (1, 1))):
            total += slab
            count += vs
        out = total / count  # padded cells are not counted
    return _act(out, o["activation"])


def resize_bilinear(x, out_hw, align_corners, half_pixel_centers):
    """TFLite reference ResizeBilinear: per-axis source coordinate, clamped neighbours."""

    def axis(in_size, out_size):
        if align_corners and out_size > 1:
            scale = (in_size - 1) / (out_size - 1)
        else:
            scale = in_size / out_size
        pos = np.arange(out_size, dtype=np.float64)
        src = (pos + 0.5) * scale - 0.5 if half_pixel_centers else pos * scale
        lo = np.floor(src)
        frac = src - np.maximum(lo, 0)
        i0 = np.maximum(lo, 0).astype(int)
        i1 = np.minimum(np.ceil(src), in_size - 1).astype(int)
        return i0, i1, frac

    y0, y1, fy = axis(x.shape[1], out_hw[0])
    x0, x1, fx = axis(x.shape[2], out_hw[1])
    fy, fx = fy[None, :, None, None], fx[None, None, :, None]
    top = x[:, y0][:, :, x0] * (1 - fx) + x[:, y0][:, :, x1] * fx
    bot = x[:, y1][:, :, x0] * (1 - fx) + x[:, y1][:, :, x1] * fx
    return top * (1 - fy) + bot * fy


def run(graph, x: np.ndarray, keep_all: bool = False):
    """Run `graph` on NHWC input x; returns the output array, or every tensor if keep_all."""
    vals: dict[int, np.ndarray] = {i: t.data.astype(np.float64) for i, t in enumerate(graph.tensors)
                                   if t.data is not None and t.data.dtype.kind == "f"}
    ints = {i: t.data for i, t in enumerate(graph.tensors)
            if t.data is not None and t.data.dtype.kind in "iu"}
    vals[graph.inputs[0]] = np.asarray(x, np.float64)

    def opt_in(op, k):
        return vals[op.inputs[k]] if len(op.inputs) > k and op.inputs[k] >= 0 else None

    for op in graph.ops:
        a = vals[op.inputs[0]] if op.inputs[0] in vals else None
        o = op.options
        k = op.kind
        if k == "CONV_2D":
            y = conv2d(a, vals[op.inputs[1]], opt_in(op, 2), o)
        elif k == "DEPTHWISE_CONV_2D":
            y = depthwise_conv2d(a, vals[op.inputs[1]], opt_in(op, 2), o)
        elif k == "Convolution2DTransposeBias":
            y = transpose_conv_bias(a, vals[op.inputs[1]], vals[op.inputs[2]], o,
                                    graph.tensors[op.outputs[0]].shape[1:3])
        elif k in ("ADD", "SUB", "MUL"):
            b = vals[op.inputs[1]]
            y = _act({"ADD": np.add, "SUB": np.subtract, "MUL": np.multiply}[k](a, b),
                     o.get("activation", "NONE"))
        elif k == "RELU":
            y = np.maximum(a, 0)
        elif k == "PRELU":
            y = np.where(a >= 0, a, a * vals[op.inputs[1]])
        elif k == "RELU6":
            y = np.clip(a, 0, 6)
        elif k == "TANH":
            y = np.tanh(a)
        elif k == "LOGISTIC":
            y = np.exp(-np.logaddexp(0.0, -a))  # 1/(1+e^-a) without overflow
        elif k == "HARD_SWISH":
            y = a * np.clip(a + 3, 0, 6) / 6
        elif k == "AVERAGE_POOL_2D":
            y = pool2d(a, o, "avg")
        elif k == "MAX_POOL_2D":
            y = pool2d(a, o, "max")
        elif k == "RESIZE_BILINEAR":
            y = resize_bilinear(a, tuple(int(v) for v in ints[op.inputs[1]]),
                                o["align_corners"], o["half_pixel_centers"])
        elif k == "PAD":
            y = np.pad(a, ints[op.inputs[1]].tolist())
        elif k == "RESHAPE":
            y = a.reshape(graph.tensors[op.outputs[0]].shape)
        elif k == "CONCATENATION":
            y = _act(np.concatenate([vals[i] for i in op.inputs], axis=o["axis"]), o["activation"])
        else:
            raise NotImplementedError(k)
        vals[op.outputs[0]] = y
    return vals if keep_all else vals[graph.outputs[0]]
