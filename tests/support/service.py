"""Starting the HTTP service for tests: as `portrait-main serve` in its own
process, or in this process on a thread (for tests that hand it fake engines)."""

from __future__ import annotations

import contextlib
import re
import subprocess
import sys
import threading
import time
from pathlib import Path


class ServeProcess:
    """`portrait-main serve --port 0 ...`, its URL read from the line it prints."""

    def __init__(self, *args: str, cwd: Path | None = None, timeout: float = 60):
        self.process = subprocess.Popen(
            [sys.executable, "-m", "portrait_studio.frontends.cli", "serve", "--port", "0", *map(str, args)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=cwd,
        )
        line: list[str] = []
        reader = threading.Thread(target=lambda: line.append(self.process.stdout.readline()), daemon=True)
        reader.start()
        reader.join(timeout)
        match = re.search(r"http://[^\s]+", line[0]) if line else None
        if not match:
            self.stop()
            raise RuntimeError(f"the service did not start: {line} {self.process.stderr.read()[-2000:]}")
        self.url = match.group(0)
        self.port = int(self.url.rsplit(":", 1)[1])

    def stop(self) -> int:
        if self.process.poll() is None:
            self.process.terminate()
        try:
            return self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()


@contextlib.contextmanager
def serve_process(*args: str, cwd: Path | None = None):
    server = ServeProcess(*args, cwd=cwd)
    try:
        yield server
    finally:
        server.stop()


@contextlib.contextmanager
def serve_in_thread(app, settings=None):
    """`app` on uvicorn in a thread of this process, on a free loopback port;
    with `settings`, configured as `portrait-main serve` configures it."""
    import uvicorn

    from portrait_studio.frontends.server.serve import listen, url_of, uvicorn_config

    sock = listen("127.0.0.1", 0)
    config = uvicorn.Config(app, log_level="warning") if settings is None else uvicorn_config(app, settings)
    server = uvicorn.Server(config)
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    deadline = time.monotonic() + 30
    while not server.started:
        if time.monotonic() > deadline or not thread.is_alive():
            raise RuntimeError("the in-process service did not start")
        time.sleep(0.02)
    try:
        yield url_of(sock)
    finally:
        server.should_exit = True
        thread.join(30)
        sock.close()
