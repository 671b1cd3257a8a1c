"""The ways in: the command line, folder mode (a local pool or Dask), the HTTP
service. Each parses, schedules and delivers; the pictures come from
`portrait_studio.pipeline`."""


def describe(error: BaseException) -> str:
    """A library's error in one line: its type and the last line it said."""
    lines = str(error).strip().splitlines()
    return f"{type(error).__name__}: {lines[-1] if lines else ''}"


# What the bundled model is, whatever its file is called (the engine needs the name modnet.onnx).
BUNDLED_SEGMENTER = "the bundled person segmenter, MediaPipe's selfie segmentation network"


def argument_type(parse, name: str | None = None):
    """A parser of text (ValueError saying what to type instead) as an argparse type."""
    import argparse

    def parsed(text: str):
        try:
            return parse(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    parsed.__name__ = name or parse.__name__
    return parsed


def choose_device(name: str) -> str:
    """The process's device for the networks (core.device), as a front end's
    start says it; DeviceError where it cannot be had."""
    from ..core import device

    return device.choose(name)
