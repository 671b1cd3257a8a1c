"""The HTTP service: `POST /v1/cutout`, `GET /healthz` and the page at `/`.

    portrait-main serve [--host 127.0.0.1] [--port 8000] [--workers N] [--model FILE]

A thin layer over the one path: every upload's fields become a `Request`
(the command line's options, from one table) and its bytes go through
`pipeline.make`, on one of a fixed set of engines, off the event loop. The
service writes no files and never treats anything a client sends as a path.
"""

from __future__ import annotations

EXTRA_HINT = "the service needs the server extra: pip install 'portrait-main[server]'"


def _require_extra() -> None:
    try:
        import fastapi  # noqa: F401
        import PIL  # noqa: F401
        import python_multipart  # noqa: F401
        import uvicorn  # noqa: F401
    except ImportError as error:
        raise ImportError(f"{EXTRA_HINT} ({error.name} is missing)") from None


_require_extra()

from .app import create_app  # noqa: E402
from .settings import Settings  # noqa: E402

__all__ = ["EXTRA_HINT", "Settings", "create_app"]
