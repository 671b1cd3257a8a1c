"""Which device runs the networks: the CPU, or a CUDA GPU where ONNX Runtime has one.

The choice is the process's, made once at start (`--device`), and every
network follows it: the person segmenter, the second network, the face
detector and the landmarks. `auto` takes CUDA when the installed ONNX
Runtime offers it (the `gpu` extra, onnxruntime-gpu) and the CPU otherwise.
"""

from __future__ import annotations

DEVICES = ("auto", "cpu", "cuda")
CUDA = "CUDAExecutionProvider"
CPU = "CPUExecutionProvider"
REMOTE = "AzureExecutionProvider"  # inference on someone else's machine: no device of ours


class DeviceError(ValueError):
    """A device asked for that this ONNX Runtime cannot use."""


_chosen = "auto"


def available() -> list[str]:
    import onnxruntime as rt

    return list(rt.get_available_providers())


def choose(device: str) -> str:
    """Makes `device` the process's choice; the device that will run (cpu or cuda)."""
    global _chosen
    name = device.strip().lower()
    if name not in DEVICES:
        raise DeviceError(f"bad device {device!r}: expected {', '.join(DEVICES)}")
    if name == "cuda" and CUDA not in available():
        raise DeviceError("no CUDA here: this ONNX Runtime offers only "
                          f"{', '.join(p.removesuffix('ExecutionProvider') for p in available() if p != REMOTE)}; "
                          "install the gpu extra (pip install 'portrait-main[gpu]', which brings onnxruntime-gpu "
                          "in place of onnxruntime) on a machine with an NVIDIA driver, or use --device cpu")
    _chosen = name
    return running()


def running() -> str:
    """The device the networks run on under the present choice: cpu or cuda."""
    if _chosen == "cpu":
        return "cpu"
    return "cuda" if CUDA in available() else "cpu"


def providers() -> list[str]:
    """ONNX Runtime's providers for the present choice, CUDA first where it
    runs (ONNX Runtime falls back to the CPU for operators CUDA lacks)."""
    return [CUDA, CPU] if running() == "cuda" else [CPU]
