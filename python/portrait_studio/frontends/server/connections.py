"""Connections that must say what they want, and not too many of them.

uvicorn closes a kept-alive connection that stays idle after a response,
but not one that never sends a request, nor one that sends its headers a
byte at a time; a thousand of those take every open file the process may
have. Here each connection has `header_timeout_s` to send its request's
headers (from when it is made, and again after each response), and past
`max_connections` a new one is closed at once, unread, so the process keeps
open files for its models, its uploads and its health check.
"""

from __future__ import annotations

import asyncio


def guarded_protocol(header_timeout_s: float, max_connections: int):
    """uvicorn's h11 protocol with the header deadline and the connection cap."""
    from uvicorn.protocols.http.h11_impl import H11Protocol

    class GuardedProtocol(H11Protocol):
        _deadline: asyncio.TimerHandle | None = None
        _waiting_since_cycle = None

        def connection_made(self, transport) -> None:
            super().connection_made(transport)
            if len(self.connections) > max_connections:
                transport.abort()
                return
            self._wait_for_headers()

        def _wait_for_headers(self) -> None:
            self._stop_waiting()
            self._waiting_since_cycle = self.cycle
            self._deadline = self.loop.call_later(header_timeout_s, self._headers_too_slow)

        def _stop_waiting(self) -> None:
            if self._deadline is not None:
                self._deadline.cancel()
                self._deadline = None

        def _headers_too_slow(self) -> None:
            self._deadline = None
            if self.cycle is self._waiting_since_cycle and not self.transport.is_closing():
                self.transport.close()

        def handle_events(self) -> None:
            super().handle_events()
            if self._deadline is not None and self.cycle is not self._waiting_since_cycle:
                self._stop_waiting()  # a request's headers are in

        def on_response_complete(self) -> None:
            super().on_response_complete()
            if not self.transport.is_closing():
                self._wait_for_headers()

        def connection_lost(self, exc) -> None:
            self._stop_waiting()
            super().connection_lost(exc)

    return GuardedProtocol
