"""A fixed set of engines shared by the requests, with a bounded waiting room.

An engine serves one call at a time, so there is one per worker thread. A
request is admitted, once its upload has fully arrived, only while the
engines plus the waiting room have space; past that it is turned away at
once with 503 and Retry-After instead of piling up memory and latency.
Uploads still arriving have places of their own (`uploading`), so clients
that send slowly or stop cannot take the engines' places. The cut-outs run on
the pool's own threads; the event loop only awaits them.
"""

from __future__ import annotations

import asyncio
import contextlib
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import Any, TypeVar

from .errors import Busy

T = TypeVar("T")


class EnginePool:
    def __init__(self, engines: list[Any], waiting_room: int, retry_after_s: int, max_uploads: int = 64):
        if not engines:
            raise ValueError("a pool needs at least one engine")
        self.size = len(engines)
        self.capacity = self.size + waiting_room
        self.retry_after_s = retry_after_s
        self._engines = list(engines)
        self._free: asyncio.Queue | None = None
        self._executor = ThreadPoolExecutor(self.size, thread_name_prefix="cutout")
        self.admitted = 0
        self.busy = 0
        self.max_uploads = max_uploads
        self.uploads = 0

    def _free_engines(self) -> asyncio.Queue:
        # Made on first use, inside the running loop.
        if self._free is None:
            self._free = asyncio.Queue()
            for engine in self._engines:
                self._free.put_nowait(engine)
        return self._free

    @contextlib.contextmanager
    def admission(self):
        """Holds a place for one request, or raises Busy when there is none."""
        if self.admitted >= self.capacity:
            raise Busy(
                f"all {self.size} engines are busy and {self.capacity - self.size} requests are waiting; "
                f"try again in {self.retry_after_s} s",
                headers={"Retry-After": str(self.retry_after_s)},
            )
        self.admitted += 1
        try:
            yield
        finally:
            self.admitted -= 1

    @contextlib.contextmanager
    def uploading(self):
        """Holds one of the upload places while a request's body arrives, or
        raises Busy when all are taken."""
        if self.uploads >= self.max_uploads:
            raise Busy(
                f"{self.uploads} uploads are arriving already; try again in {self.retry_after_s} s",
                headers={"Retry-After": str(self.retry_after_s)},
            )
        self.uploads += 1
        try:
            yield
        finally:
            self.uploads -= 1

    async def run(self, job: Callable[..., T], *args) -> T:
        """`job(engine, *args)` on a free engine, in the pool's threads."""
        free = self._free_engines()
        loop = asyncio.get_running_loop()
        engine = await free.get()
        self.busy += 1

        def give_back(_future):
            # The engine returns when the job has truly finished, even if the
            # request that asked for it was cancelled meanwhile.
            loop.call_soon_threadsafe(self._return, engine)

        try:
            future = self._executor.submit(job, engine, *args)
        except BaseException:
            self._return(engine)
            raise
        future.add_done_callback(give_back)
        return await asyncio.wrap_future(future)

    def _return(self, engine) -> None:
        self.busy -= 1
        self._free_engines().put_nowait(engine)

    def close(self) -> None:
        self._executor.shutdown(wait=True)

    def state(self) -> dict[str, int]:
        return {
            "engines": self.size,
            "busy": self.busy,
            "waiting": max(0, self.admitted - self.busy),
            "capacity": self.capacity,
            "uploading": self.uploads,
            "max_uploads": self.max_uploads,
        }
