"""A request body that must keep arriving.

A client that opens an upload and stops sending would otherwise hold its
connection, its upload place and the bytes received so far for as long as
it likes; each chunk here has `idle_s` seconds to arrive.
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
    iterator = aiter(chunks)
    while True:
        try:
            chunk = await asyncio.wait_for(anext(iterator), idle_s)
        except StopAsyncIteration:
            return
        except TimeoutError:
            raise UploadStalled(f"the upload sent nothing for {idle_s:g} s; send the photograph again") from None
        yield chunk
