"""The ways in: the command line, folder mode (a local pool or Dask), the HTTP
service. Each parses, schedules and delivers; the pictures come from
`portrait_studio.pipeline`."""


def describe(error: BaseException) -> str:
    """A library's error in one line: its type and the last line it said."""
    lines = str(error).strip().splitlines()
    return f"{type(error).__name__}: {lines[-1] if lines else ''}"
