"""Answers to requests that cannot be served: JSON `{"error": ...}`, never a traceback."""

from __future__ import annotations


class ClientError(Exception):
    """A request the service turns down, with the status that says why."""

    status = 400

    def __init__(self, message: str, status: int | None = None, headers: dict[str, str] | None = None,
                 details: dict | None = None):
        super().__init__(message)
        self.message = message
        if status is not None:
            self.status = status
        self.headers = headers or {}
        self.details = details or {}  # more of the answer's JSON beside "error" (an ID photo's checks)


class BadField(ClientError):
    status = 422


class TooLarge(ClientError):
    status = 413

    def __init__(self, message: str):
        # Closing is what stops the upload: otherwise uvicorn would read the
        # rest of it to keep the connection. Smaller refusals keep it, so the
        # client reads its answer instead of a reset.
        super().__init__(message, headers={"Connection": "close"})


class NotAPicture(ClientError):
    status = 415


class Busy(ClientError):
    status = 503
