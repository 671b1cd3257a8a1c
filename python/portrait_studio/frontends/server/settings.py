"""Every limit and default of the service, in one place."""

from __future__ import annotations

from dataclasses import dataclass, field

from ...core.threads import cores, share_of_cores

MB = 1000 * 1000


def default_workers() -> int:
    # Inference already spreads over cores; a second engine overlaps one
    # request's decoding, refinement and encoding with another's inference.
    return max(1, min(4, cores()))


@dataclass(frozen=True)
class Settings:
    host: str = "127.0.0.1"  # loopback unless the operator says otherwise
    port: int = 8000
    workers: int = field(default_factory=default_workers)  # engines, one request each at a time
    model: str | None = None  # None: the bundled model
    queue: int | None = None  # requests allowed to wait for an engine; None: see waiting_room
    max_upload_bytes: int = 25 * MB
    # 40 megapixels takes any camera's full-size photograph; past that one
    # request's float planes alone would run to gigabytes.
    max_pixels: int = 40_000_000
    # The model runs at the asked size too, so that is capped as well.
    max_size_side: int = 4096
    # Uploads still arriving, each up to max_upload_bytes in memory: a bound
    # of its own, wider than the engines' waiting room, so slow clients
    # cannot take the places of requests ready to run.
    max_uploads: int = 64
    # An upload that sends nothing for this long is answered 408 and dropped.
    upload_idle_timeout_s: float = 15.0
    # However it paces itself, an upload has this long to arrive whole, and
    # after the first upload_grace_s it must average upload_min_rate bytes a
    # second: one byte every few seconds would otherwise hold a place for ever.
    upload_deadline_s: float = 120.0
    upload_min_rate: float = 20_000
    upload_grace_s: float = 10.0
    # A connection has this long to send its request's headers (after it is
    # made, and after each response); connections past max_connections are
    # closed at once, so silent ones cannot take every open file.
    header_timeout_s: float = 10.0
    max_connections: int = 512
    keep_alive_s: int = 5  # uvicorn's: an idle connection after a response
    retry_after_s: int = 2  # what a 503 tells the client to wait
    graceful_shutdown_s: int = 60  # how long SIGTERM waits for requests in flight
    # None: the format's own default, as on the command line and from Python
    # (JPEG 95, WebP lossless), so every front end gives the same bytes.
    jpeg_quality: int | None = None
    webp_quality: int | None = None

    def __post_init__(self):
        if self.workers < 1:
            raise ValueError(f"bad workers {self.workers}: expected 1 or more")
        if self.max_uploads < 1:
            raise ValueError(f"bad max_uploads {self.max_uploads}: expected 1 or more")
        if not self.upload_idle_timeout_s > 0:
            raise ValueError(f"bad upload_idle_timeout_s {self.upload_idle_timeout_s}: expected more than 0")
        for name in ("upload_deadline_s", "header_timeout_s", "max_connections", "keep_alive_s"):
            if not getattr(self, name) > 0:
                raise ValueError(f"bad {name} {getattr(self, name)}: expected more than 0")
        if self.upload_min_rate < 0 or self.upload_grace_s < 0:
            raise ValueError("bad upload_min_rate or upload_grace_s: expected 0 or more")
        if self.queue is not None and self.queue < 0:
            raise ValueError(f"bad queue {self.queue}: expected 0 or more")

    @property
    def waiting_room(self) -> int:
        # Each waiter may hold an upload in memory (up to max_upload_bytes),
        # so the room is bounded, but wide enough for a handful of clients.
        return max(16, 4 * self.workers) if self.queue is None else self.queue

    @property
    def engine_threads(self) -> int:
        """Inference threads per engine, so that busy engines share the cores
        instead of each claiming all of them."""
        return share_of_cores(self.workers)
