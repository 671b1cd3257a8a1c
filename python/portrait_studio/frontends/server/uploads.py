"""A request body that must keep arriving, at a pace, within a deadline.

A client that opens an upload and sends slowly would otherwise hold its
connection, its upload place and the bytes received so far for as long as
it likes: one byte every few seconds never trips a timeout between chunks.
So an upload is dropped (408) when nothing arrives for `idle_s`, when the
whole of it has not arrived within `deadline_s`, or when, after a grace of
`grace_s`, it falls behind `min_rate` bytes a second on average.
"""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator

from .errors import ClientError


class UploadStalled(ClientError):
    status = 408

    def __init__(self, message: str):
        super().__init__(message, headers={"Connection": "close"})


async def with_idle_timeout(chunks: AsyncIterator[bytes], idle_s: float) -> AsyncIterator[bytes]:
    async for chunk in paced(chunks, idle_s=idle_s):
        yield chunk


async def paced(chunks: AsyncIterator[bytes], *, idle_s: float, deadline_s: float = float("inf"),
                min_rate: float = 0.0, grace_s: float = 0.0) -> AsyncIterator[bytes]:
    loop = asyncio.get_running_loop()
    iterator = aiter(chunks)
    started = loop.time()
    received = 0
    while True:
        now = loop.time()
        # when the next bytes are due: the gap allowed, the deadline, and the
        # moment the average would fall below the minimum rate
        due = {"idle": now + idle_s, "deadline": started + deadline_s}
        if min_rate > 0:
            due["rate"] = started + grace_s + received / min_rate
        reason = min(due, key=due.get)
        try:
            if due[reason] <= now:
                raise TimeoutError
            chunk = await asyncio.wait_for(anext(iterator), due[reason] - now)
        except StopAsyncIteration:
            return
        except TimeoutError:
            raise UploadStalled(stalled(reason, idle_s, deadline_s, min_rate)) from None
        received += len(chunk)
        yield chunk


def stalled(reason: str, idle_s: float, deadline_s: float, min_rate: float) -> str:
    if reason == "idle":
        return f"the upload sent nothing for {idle_s:g} s; send the photograph again"
    if reason == "deadline":
        return f"the upload took longer than {deadline_s:g} s; send it again over a faster connection"
    return (f"the upload arrived slower than {min_rate / 1000:g} kB/s; "
            "send it again over a faster connection")
