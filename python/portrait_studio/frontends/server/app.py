"""The application factory: settings, engines, routes and the error answers."""

from __future__ import annotations

import contextlib
import logging

from fastapi import FastAPI, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException
from starlette.requests import ClientDisconnect

from .errors import ClientError
from .id_routes import router as id_router
from .pool import EnginePool
from .routes import router
from .settings import Settings

log = logging.getLogger("portrait_studio.server")


def make_engines(settings: Settings) -> list:
    from ...pipeline import Cutout

    return [Cutout(settings.model, threads=settings.engine_threads) for _ in range(settings.workers)]


def error(status: int, message: str, headers: dict[str, str] | None = None, details: dict | None = None) -> JSONResponse:
    return JSONResponse({"error": message, **(details or {})}, status_code=status, headers=headers)


def create_app(settings: Settings | None = None, engines: list | None = None) -> FastAPI:
    """The service. `engines` (one `Cutout` per worker) are made from
    `settings` at start-up unless given."""
    settings = settings or Settings()

    @contextlib.asynccontextmanager
    async def lifespan(app: FastAPI):
        made = engines if engines is not None else await run_in_threadpool(make_engines, settings)
        app.state.pool = EnginePool(made, settings.waiting_room, settings.retry_after_s, settings.max_uploads)
        yield
        await run_in_threadpool(app.state.pool.close)

    app = FastAPI(
        title="portrait-main",
        summary="Cuts the person out of a photograph onto white, a colour or transparency.",
        version="1",
        lifespan=lifespan,
        redoc_url=None,
    )
    app.state.settings = settings
    app.include_router(router)
    app.include_router(id_router)

    @app.exception_handler(ClientError)
    async def client_error(_request: Request, exc: ClientError):
        return error(exc.status, exc.message, exc.headers, exc.details)

    @app.exception_handler(HTTPException)
    async def http_error(_request: Request, exc: HTTPException):
        return error(exc.status_code, str(exc.detail), getattr(exc, "headers", None))

    @app.exception_handler(RequestValidationError)
    async def validation_error(_request: Request, exc: RequestValidationError):
        first = exc.errors()[0] if exc.errors() else {}
        return error(422, f"{'.'.join(map(str, first.get('loc', ())))}: {first.get('msg', 'invalid request')}")

    @app.exception_handler(ClientDisconnect)
    async def disconnected(_request: Request, _exc: ClientDisconnect):
        return error(400, "the client went away before the upload ended")

    @app.exception_handler(Exception)
    async def internal_error(_request: Request, exc: Exception):
        log.exception("cut-out failed", exc_info=exc)
        return error(500, "the cut-out failed inside the service; its log has the details")

    return app
