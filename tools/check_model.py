#!/usr/bin/env python3
"""Compare the converted ONNX matte model with the original TFLite network.

    python tools/check_model.py [--tflite SRC] [--onnx OUT] [--layers] [--cutout DIR] [--bench N]

References, each used when available:
  * "litert": the TFLite network run by a TFLite interpreter (ai-edge-litert, tflite-runtime
    or tensorflow); MediaPipe's Convolution2DTransposeBias runs through the XNNPACK delegate;
  * "numpy":  tools/tflite_reference.py, a float64 NumPy interpreter of the same graph.
The ONNX model gets the same picture at 256x256 mapped to [-1, 1], so its input resize is
the identity and every difference comes from the network itself.

--layers compares every intermediate tensor with the NumPy reference (catches errors the
final sigmoid would hide).  --cutout writes engine-style cut-outs of the sample photos,
--bench times a 512x512 inference.  Needs numpy, onnx, onnxruntime, opencv, tflite.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import convert_model  # noqa: E402
import tflite_reference  # noqa: E402

_REPO = Path(__file__).resolve().parent.parent
PHOTOS = [_REPO / "samples" / "astronaut.png", _REPO / "tests" / "data" / "camera.png"]


def load_rgb(path: Path) -> np.ndarray:
    import cv2

    img = cv2.imread(str(path), cv2.IMREAD_COLOR)  # greyscale files come back as 3 equal planes
    if img is None:
        raise FileNotFoundError(path)
    return cv2.cvtColor(img, cv2.COLOR_BGR2RGB)


def test_inputs(photos) -> list[tuple[str, np.ndarray]]:
    """(name, NHWC float32 in [0, 1] at 256x256) pairs."""
    import cv2

    out = []
    for p in photos:
        if p.exists():
            small = cv2.resize(load_rgb(p), (256, 256), interpolation=cv2.INTER_AREA)
            out.append((p.stem, small.astype(np.float32)[None] / 255.0))
    rng = np.random.default_rng(1234)
    out.append(("uniform-noise", rng.random((1, 256, 256, 3), dtype=np.float32)))
    # smooth blobs: gives the network mid-range activations that plain noise does not
    blobs = cv2.resize(rng.random((8, 8, 3), dtype=np.float32), (256, 256),
                       interpolation=cv2.INTER_CUBIC)
    out.append(("smooth-noise", np.clip(blobs, 0, 1)[None]))
    # flat 16x16 blocks: large areas near the 0.5 decision boundary, the most sensitive case
    out.append(("blocky-noise", np.kron(rng.random((1, 16, 16, 3), dtype=np.float32),
                                        np.ones((1, 16, 16, 1), np.float32))))
    return out


def litert_runner(tflite_path: Path):
    """A callable NHWC -> NHWC running the real TFLite network, or None."""
    for mod in ("ai_edge_litert.interpreter", "tflite_runtime.interpreter", "tensorflow.lite"):
        try:
            Interpreter = __import__(mod, fromlist=["Interpreter"]).Interpreter
            interp = Interpreter(model_path=str(tflite_path))
            interp.allocate_tensors()
        except Exception:  # missing package, or the build cannot run the custom op
            continue
        i_idx = interp.get_input_details()[0]["index"]
        o_idx = interp.get_output_details()[0]["index"]

        def run(x, interp=interp, i_idx=i_idx, o_idx=o_idx):
            interp.set_tensor(i_idx, np.ascontiguousarray(x, np.float32))
            interp.invoke()
            return interp.get_tensor(o_idx).copy()

        run.name = mod.split(".")[0]
        return run
    return None


ORT_OPTIMIZE = True


def ort_session(model_or_path):
    import onnxruntime as ort

    so = ort.SessionOptions()
    if not ORT_OPTIMIZE:
        so.graph_optimization_level = ort.GraphOptimizationLevel.ORT_DISABLE_ALL
    src = model_or_path if isinstance(model_or_path, (str, Path)) else model_or_path.SerializeToString()
    return ort.InferenceSession(str(src) if isinstance(src, Path) else src, so,
                                providers=["CPUExecutionProvider"])


def onnx_run(sess, x_nhwc01: np.ndarray) -> np.ndarray:
    """Feed an NHWC [0, 1] picture the engine's way; returns the NHWC matte."""
    feed = ((x_nhwc01 - 0.5) / 0.5).transpose(0, 3, 1, 2).astype(np.float32)
    return sess.run(["output"], {"input": feed})[0].transpose(0, 2, 3, 1)


def compare(tflite_path: Path, onnx_path: Path, photos) -> float:
    graph = convert_model.read_tflite(tflite_path)
    sess = ort_session(onnx_path)
    lite = litert_runner(tflite_path)
    if lite is None:
        print("no TFLite interpreter available; comparing with the NumPy reference only")
    worst = 0.0
    print(f"{'input':16s} {'vs numpy':>10s} {'vs litert':>10s} {'numpy~litert':>12s}  mask mean")
    for name, x in test_inputs(photos):
        got = onnx_run(sess, x)
        ref = tflite_reference.run(graph, x)
        d_np = float(np.abs(got - ref).max())
        worst = max(worst, d_np)
        cols = [f"{d_np:10.2e}"]
        if lite is not None:
            lr = lite(x)
            d_lr = float(np.abs(got - lr).max())
            worst = max(worst, d_lr)
            cols += [f"{d_lr:10.2e}", f"{float(np.abs(ref - lr).max()):12.2e}"]
        else:
            cols += [f"{'-':>10s}", f"{'-':>12s}"]
        print(f"{name:16s} {' '.join(cols)}  {got.mean():.3f}")
    print(f"max abs difference of the ONNX matte: {worst:.3e}")
    return worst


def compare_layers(tflite_path: Path, photos) -> float:
    """Every float activation of the ONNX graph vs the NumPy reference, on the first input."""
    from onnx import TensorProto, helper

    graph = convert_model.read_tflite(tflite_path)
    names: dict[int, str] = {}
    model = convert_model.build_onnx(graph, names_out=names)
    acts = [(i, n) for i, n in names.items()
            if graph.tensors[i].data is None and n not in ("output",) and i != graph.inputs[0]]
    for _, n in acts:
        model.graph.output.append(helper.make_tensor_value_info(n, TensorProto.FLOAT, None))
    sess = ort_session(model)
    name, x = test_inputs(photos)[0]
    ref = tflite_reference.run(graph, x, keep_all=True)
    outs = sess.run([n for _, n in acts], {"input": ((x - 0.5) / 0.5).transpose(0, 3, 1, 2)})
    worst_rel, worst_name = 0.0, ""
    for (i, _), got in zip(acts, outs):
        r = ref[i].transpose(0, 3, 1, 2)
        rel = float(np.abs(got - r).max() / max(np.abs(r).max(), 1e-6))
        if rel > worst_rel:
            worst_rel, worst_name = rel, graph.tensors[i].name
    logits = graph.ops[-1].inputs[0]  # the tensor the final LOGISTIC reads
    li = [k for k, (i, _) in enumerate(acts) if i == logits]
    if li:
        d = float(np.abs(outs[li[0]] - ref[logits].transpose(0, 3, 1, 2)).max())
        print(f"{name}: logits ({graph.tensors[logits].name}) max abs diff {d:.3e}, "
              f"range [{ref[logits].min():.1f}, {ref[logits].max():.1f}]")
    print(f"{name}: {len(acts)} intermediate tensors, worst relative diff {worst_rel:.3e} "
          f"at {worst_name!r}")
    return worst_rel


def engine_cutout(sess, path: Path) -> np.ndarray:
    """Cut-out the way the engine does it: matte at 512x512, nearest back, blend on white."""
    import cv2

    bgr = cv2.imread(str(path), cv2.IMREAD_COLOR)
    rgb = cv2.cvtColor(bgr, cv2.COLOR_BGR2RGB).astype(np.float32) / 255.0
    x = cv2.resize((rgb - 0.5) / 0.5, (512, 512), interpolation=cv2.INTER_LINEAR)
    m = sess.run(["output"], {"input": x.transpose(2, 0, 1)[None].astype(np.float32)})[0][0, 0]
    m = cv2.resize(m, (bgr.shape[1], bgr.shape[0]), interpolation=cv2.INTER_NEAREST)[..., None]
    return (m * bgr.astype(np.float32) + (1 - m) * 255.0).astype(np.uint8)


def bench(sess, runs: int) -> float:
    x = np.random.default_rng(0).uniform(-1, 1, (1, 3, 512, 512)).astype(np.float32)
    sess.run(["output"], {"input": x})  # warm-up
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        sess.run(["output"], {"input": x})
        times.append(time.perf_counter() - t0)
    return float(np.median(times))


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--tflite", type=Path, default=convert_model.DEFAULT_SOURCE)
    ap.add_argument("--onnx", type=Path, default=convert_model.DEFAULT_OUTPUT)
    ap.add_argument("--photos", type=Path, nargs="*", default=PHOTOS)
    # The network's final logits reach +-800, so float32 summation order alone (e.g.
    # onnxruntime's NCHWc convolution kernels) moves matte values near 0.5 by ~1e-3.
    ap.add_argument("--tolerance", type=float, default=3e-3,
                    help="fail if the matte differs from a reference by more (default 3e-3)")
    ap.add_argument("--no-ort-opt", action="store_true",
                    help="run onnxruntime without graph optimisations (isolates conversion error)")
    ap.add_argument("--layers", action="store_true", help="also compare every intermediate tensor")
    ap.add_argument("--cutout", type=Path, metavar="DIR", help="write <photo>_cutout.png files here")
    ap.add_argument("--bench", type=int, default=0, metavar="N", help="time N runs at 512x512")
    args = ap.parse_args(argv)
    global ORT_OPTIMIZE
    ORT_OPTIMIZE = not args.no_ort_opt

    worst = compare(args.tflite, args.onnx, args.photos)
    ok = worst <= args.tolerance
    if args.layers:
        ok &= compare_layers(args.tflite, args.photos) <= args.tolerance
    if args.cutout or args.bench:
        sess = ort_session(args.onnx)
    if args.cutout:
        import cv2

        args.cutout.mkdir(parents=True, exist_ok=True)
        for p in args.photos:
            dst = args.cutout / f"{p.stem}_cutout.png"
            cv2.imwrite(str(dst), engine_cutout(sess, p))
            print(f"wrote {dst}")
    if args.bench:
        print(f"512x512 inference: median {bench(sess, args.bench) * 1e3:.2f} ms over {args.bench} runs")
    print("OK" if ok else f"FAILED: difference above {args.tolerance}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
