"""The ID-photo routes: the documents table, and one upload answered with
everything the page's ID-photo mode shows.

`GET /v1/documents` is `portrait-main --id list --json`; `POST /v1/check`
is `portrait-main check --json`: an existing ID photo (field `image`,
document `id`) measured, answered as {document, passed, checks}. `POST /v1/idphoto`
takes the fields of `POST /v1/cutout` (`id` required) and answers JSON: the
photo and its guide lines (base64), the office's rules as measured and what
was off; a refusal is a 422 with the same `checks`. A print sheet is
`POST /v1/cutout` with `sheet`.
"""

from __future__ import annotations

import base64
import json

from fastapi import APIRouter, Request
from fastapi.responses import JSONResponse

from ...core.documents import find_document
from ...idphoto import listing_json, passed
from . import form
from .errors import BadField
from .routes import checks_json, make, receive

router = APIRouter()

DOCUMENTS = json.loads(listing_json())
OVERLAY_FORMAT = "png"  # lossless: the guide lines stay one pixel sharp


@router.get("/v1/documents", summary="The ID documents the id field takes")
async def documents() -> list[dict]:
    return DOCUMENTS


@router.post("/v1/idphoto", summary="An ID photo with its guide lines and the office's rules as measured")
async def id_photo(request: Request) -> JSONResponse:
    cut = await receive(request)
    if cut.request.id_photo is None:
        raise BadField("no document: send its name as the field id (GET /v1/documents lists them)")
    if cut.request.id_photo.sheet or cut.overlay:
        raise BadField("this answer holds the photo and its guide lines; for a print sheet or the guide lines "
                       "alone, POST /v1/cutout with sheet or overlay")
    with request.app.state.pool.admission():
        answer = await request.app.state.pool.run(describe, cut, request.app.state.settings)
    return JSONResponse(answer)


@router.post("/v1/check", summary="An existing ID photo measured against a document's rules")
async def check(request: Request) -> JSONResponse:
    cut = await receive(request)
    if cut.request.id_photo is None:
        raise BadField("no document: send its name as the field id (GET /v1/documents lists them)")
    with request.app.state.pool.admission():
        answer = await request.app.state.pool.run(measure, cut, request.app.state.settings)
    return JSONResponse(answer)


def measure(cutout, cut: form.CutoutForm, settings) -> dict:
    """Runs on an engine's thread: the upload measured as it is, file size included."""
    from ...idphoto.verify import check_photo

    checks = check_photo(cutout, cut.image, cut.request.id_photo.preset, cut.request.matte, settings.max_pixels,
                         name="the upload")
    return {"document": find_document(cut.request.id_photo.preset).name, "passed": passed(checks),
            "checks": checks_json(checks)}


def describe(cutout, cut: form.CutoutForm, settings) -> dict:
    """Runs on an engine's thread: the ID photo made once, it and its guide lines encoded."""
    made = make(cutout, cut, settings, overlay_format=OVERLAY_FORMAT)
    photo = made.details
    width, height = photo.preset.size
    return {
        "document": photo.preset.name,
        "title": photo.preset.title,
        "width": width,
        "height": height,
        "dpi": made.dpi,
        "passed": passed(made.checks),
        "checks": checks_json(made.checks),
        "warnings": list(made.warnings),
        "confidence": None if made.confidence is None else round(made.confidence, 4),
        "review": made.review,
        "photo": _picture(made.data, cut.media_type),
        "overlay": _picture(made.overlay, form.FORMATS[OVERLAY_FORMAT]),
    }


def _picture(data: bytes, media_type: str) -> dict:
    return {"media_type": media_type, "bytes": len(data), "base64": base64.b64encode(data).decode("ascii")}
