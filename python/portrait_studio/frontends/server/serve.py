"""`portrait-main serve`: the service on uvicorn, until Ctrl-C or SIGTERM.

On SIGTERM uvicorn stops accepting connections, lets the requests in flight
finish (up to `Settings.graceful_shutdown_s`), then exits with status 0.
"""

from __future__ import annotations

import argparse
import socket
import sys
from pathlib import Path

from ...core.parsers import parse_positive_int
from .. import BUNDLED_SEGMENTER, argument_type, choose_device, describe
from .settings import Settings, default_workers

DESCRIPTION = """\
Serve cut-outs over HTTP: a page to drop a photograph on at /, the API at
POST /v1/cutout (its description at /docs) and GET /healthz.

  portrait-main serve
  portrait-main serve --host 0.0.0.0 --port 8080 --workers 2
  curl -F image=@photo.jpg -F background=white -F size=413x531 \\
       http://127.0.0.1:8000/v1/cutout -o portrait.png
"""


positive_int = argument_type(parse_positive_int, "positive_int")


def port_number(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"bad port {text!r}: expected 1 to 65535 (0: any free port)")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="portrait-main serve", description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    defaults = Settings(workers=1)
    parser.add_argument(
        "--host", default=defaults.host,
        help=f"the address to listen on (default {defaults.host}: this machine only; 0.0.0.0: the network)",
    )
    parser.add_argument("--port", type=port_number, default=defaults.port, help=f"default {defaults.port}; 0: any free port")
    parser.add_argument(
        "--workers", type=positive_int, default=default_workers(),
        help=f"engines cutting out at the same time (default {default_workers()} here)",
    )
    parser.add_argument("--model", metavar="FILE.onnx", help=f"the matting model (default: {BUNDLED_SEGMENTER})")
    parser.add_argument(
        "--device", choices=("auto", "cpu", "cuda"), default="auto",
        help="where the networks run: auto (default) takes a CUDA GPU when ONNX Runtime offers one, else the CPU",
    )
    parser.add_argument(
        "--max-pixels", type=positive_int, default=defaults.max_pixels, metavar="N",
        help=f"refuse pictures of more than N pixels, from their headers (default {defaults.max_pixels})",
    )
    return parser


def listen(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((host, port))
        sock.listen(128)
    except OSError:
        sock.close()
        raise
    return sock


def url_of(sock: socket.socket) -> str:
    host, port = sock.getsockname()[:2]
    return f"http://[{host}]:{port}" if ":" in host else f"http://{host}:{port}"


def open_files_allowed() -> int | None:
    try:
        import resource
    except ImportError:  # not on this platform
        return None
    soft, _hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    return None if soft == resource.RLIM_INFINITY else soft


# Open files kept for the models, the uploads in memory, logs and the health
# check, beyond the connections.
FILES_BESIDES_CONNECTIONS = 128


def uvicorn_config(app, settings: Settings):
    """uvicorn's configuration of the service: its keep-alive timeout and
    graceful shutdown, with the protocol that closes connections that send
    no request and caps how many are open (within the open-file limit)."""
    import uvicorn

    from .connections import guarded_protocol

    allowed = open_files_allowed()
    cap = settings.max_connections
    if allowed is not None:
        cap = max(1, min(cap, allowed - FILES_BESIDES_CONNECTIONS))
    return uvicorn.Config(
        app,
        log_level="warning",
        timeout_graceful_shutdown=settings.graceful_shutdown_s,
        timeout_keep_alive=settings.keep_alive_s,
        http=guarded_protocol(settings.header_timeout_s, cap),
    )


def main(argv: list[str]) -> int:
    args = build_parser().parse_args(argv)
    import uvicorn

    from .app import create_app, make_engines

    if args.model and not Path(args.model).is_file():
        print(f"portrait-main: {args.model}: no such model file", file=sys.stderr)
        return 1
    try:
        running_on = choose_device(args.device)
    except ValueError as error:
        print(f"portrait-main: --device {args.device}: {error}", file=sys.stderr)
        return 1
    settings = Settings(host=args.host, port=args.port, workers=args.workers, model=args.model,
                        max_pixels=args.max_pixels)
    import cv2

    # OpenCV's pool is the process's: a share per engine, as the engines' own
    # sessions and passes have, so busy engines do not oversubscribe the cores
    cv2.setNumThreads(settings.engine_threads)
    try:
        engines = make_engines(settings)
    except Exception as error:
        print(f"portrait-main: cannot open the model {args.model or BUNDLED_SEGMENTER}: {describe(error)}",
              file=sys.stderr)
        return 1
    try:
        sock = listen(settings.host, settings.port)
    except OSError as error:
        hint = f"; try --port {settings.port + 1}" if settings.port else ""
        print(f"portrait-main: cannot listen on {settings.host} port {settings.port}: {error.strerror or error}{hint}", file=sys.stderr)
        return 1
    config = uvicorn_config(create_app(settings, engines), settings)
    print(
        f"serving on {url_of(sock)}  (the page at /, the API at /v1/cutout, its description at /docs; "
        f"{settings.workers} engine{'s' if settings.workers > 1 else ''} on the {running_on.upper()}; "
        "Ctrl-C stops it)",
        flush=True,
    )
    with sock:
        uvicorn.Server(config).run(sockets=[sock])
    return 0
