"""Which device runs the networks: the choice, and every network following it.
ONNX Runtime's list of providers is what decides, so it is stood in for here:
the GPU itself is checked only where a machine with one is lent."""

import onnxruntime as rt
import pytest

from portrait_studio.core import device

CUDA, CPU = device.CUDA, device.CPU


@pytest.fixture
def offered(monkeypatch):
    """offered(*providers): ONNX Runtime as if it had those; the process's choice restored after."""
    monkeypatch.setattr(device, "_chosen", device._chosen)

    def offer(*providers):
        monkeypatch.setattr(rt, "get_available_providers", lambda: list(providers))

    return offer


@pytest.mark.parametrize("providers, asked, runs, given", [
    ((CUDA, CPU), "auto", "cuda", [CUDA, CPU]),
    ((CPU,), "auto", "cpu", [CPU]),
    (("TensorrtExecutionProvider", CUDA, CPU), "auto", "cuda", [CUDA, CPU]),
    ((CUDA, CPU), "cpu", "cpu", [CPU]),
    ((CUDA, CPU), "CUDA", "cuda", [CUDA, CPU]),
    (("AzureExecutionProvider", CPU), "auto", "cpu", [CPU]),  # the remote provider is no device
])
def test_the_choice(offered, providers, asked, runs, given):
    offered(*providers)
    assert device.choose(asked) == runs == device.running()
    assert device.providers() == given


@pytest.mark.parametrize("asked, says", [("cuda", "no CUDA here"), ("gpu", "bad device 'gpu'")])
def test_a_device_that_cannot_be_had_is_refused(offered, asked, says):
    offered(CPU)
    with pytest.raises(device.DeviceError, match=says):
        device.choose(asked)
    assert device.running() == "cpu"  # the choice stays what it was


def test_every_network_follows_the_choice(offered, monkeypatch):
    from portrait_studio.core.models import Segmenter
    from portrait_studio.core.saliency import Saliency
    from portrait_studio.idphoto.faces import FaceDetector
    from portrait_studio.idphoto.landmarks import FaceMesh

    opened = []
    session = rt.InferenceSession

    def recording(path, options=None, providers=None, **kwargs):
        opened.append(providers)
        return session(path, options, providers=[CPU], **kwargs)  # this ONNX Runtime has only the CPU

    monkeypatch.setattr(rt, "InferenceSession", recording)
    for asked, expected in (("auto", [CUDA, CPU]), ("cpu", [CPU])):
        offered(CUDA, CPU)
        device.choose(asked)
        opened.clear()
        Segmenter(), Saliency(), FaceDetector(), FaceMesh()
        assert opened == [expected] * 4, asked
