"""The service's routes: the page, the health check and the cut-out."""

from __future__ import annotations

import dataclasses
import json
from importlib import resources

from fastapi import APIRouter, Request, Response
from fastapi.responses import HTMLResponse
from starlette.concurrency import run_in_threadpool

from ... import pipeline
from ...core import imageio
from ...core.backdrop import picture_of
from ...core.background import PICTURE
from ...core.fields import FIELDS, SERVICE, Field, described
from ...pipeline import Encoded, Unfit
from . import form, limits, uploads
from .errors import BadField, ClientError, TooLarge

router = APIRouter()

# An ID photo's rules as measured, on the answer that carries the photo.
CHECKS_HEADER = "X-Portrait-Checks"
# What was off although the picture was made (an ID photo made with force), as a JSON list.
WARNINGS_HEADER = "X-Portrait-Warnings"

PAGE = resources.files(__package__).joinpath("page.html").read_text(encoding="utf-8")


def _described(field: Field) -> dict:
    schema: dict = {"type": {bool: "boolean", int: "integer", float: "number"}.get(field.kind, "string"),
                    "description": described(field, SERVICE)}
    if field.name == "format":
        schema.update(default=form.DEFAULT_FORMAT, enum=list(form.FORMATS))
    elif field.name == "background":
        schema["description"] += f"; a picture goes in the file field {form.BACKGROUND_PICTURE_FIELD}"
    elif field.name == "id":
        schema["description"] += ("; GET /v1/documents lists them; checked against its rules "
                                  f"(the {CHECKS_HEADER} header)")
    if field.default is not None:
        schema["default"] = {"true": True, "false": False}.get(field.default, field.default)
    if field.choices:
        schema["enum"] = list(field.choices)
    return schema


# Built from the table of fields: each one the command line takes, but the operator's max_pixels.
CUTOUT_FORM = {
    "requestBody": {
        "required": True,
        "content": {
            "multipart/form-data": {
                "schema": {
                    "type": "object",
                    "required": [form.IMAGE_FIELD],
                    "properties": {
                        form.IMAGE_FIELD: {"type": "string", "format": "binary",
                                           "description": f"the photograph: {limits.READABLE}"},
                        form.BACKGROUND_PICTURE_FIELD: {
                            "type": "string", "format": "binary",
                            "description": "a picture to put the person on, scaled to cover the cut-out and centred",
                        },
                        **{field.name: _described(field) for field in FIELDS if field.service},
                        "overlay": {
                            "type": "boolean", "default": False,
                            "description": "with id: true answers the photo with its guide lines drawn on it "
                                           "(crown, chin, eye band, centre line)",
                        },
                    },
                }
            }
        },
    }
}

ERROR_BODY = {"application/json": {"example": {"error": "what was wrong and what to send instead"}}}
CUTOUT_RESPONSES = {
    200: {
        "description": "the cut-out picture; X-Portrait-Confidence (0 to 1) says how far it can be trusted and "
                       "X-Portrait-Review is true when a person should look at it; X-Portrait-Warnings, when present, "
                       "is a JSON list of what is off although it was made; an ID photo's X-Portrait-Checks "
                       "is a JSON list of its rules as measured (name, measured, allowed, passed)",
        "content": {media: {} for media in form.FORMATS.values()},
    },
    400: {"description": "an upload that is no readable picture", "content": ERROR_BODY},
    408: {"description": "an upload that stopped sending before it ended", "content": ERROR_BODY},
    413: {"description": "an upload over the byte limit, or a picture over the pixel limit", "content": ERROR_BODY},
    415: {"description": "not a multipart form, or not a picture format this service reads", "content": ERROR_BODY},
    422: {"description": "a bad field value, or an ID photo refused (then `checks` lists every rule measured)",
          "content": ERROR_BODY},
    503: {"description": "every engine busy and the waiting room full, or too many uploads arriving at once; "
          "see Retry-After", "content": ERROR_BODY},
}


@router.get("/", response_class=HTMLResponse, include_in_schema=False)
async def page() -> HTMLResponse:
    return HTMLResponse(PAGE)


@router.get("/healthz", summary="Health check")
async def healthz(request: Request) -> dict:
    return {"status": "ok", **request.app.state.pool.state()}


@router.post(
    "/v1/cutout",
    summary="Cut the person out of a photograph",
    response_class=Response,
    responses=CUTOUT_RESPONSES,
    openapi_extra=CUTOUT_FORM,
)
async def cutout(request: Request) -> Response:
    cut = await receive(request)
    overlay_format = cut.format if cut.overlay else None
    with request.app.state.pool.admission():
        made = await request.app.state.pool.run(make, cut, request.app.state.settings, overlay_format)
    headers = {"Content-Disposition": f'inline; filename="cutout.{cut.format}"', **answer_headers(made)}
    return Response(made.overlay if cut.overlay else made.data, media_type=cut.media_type, headers=headers)


async def receive(request: Request) -> form.CutoutForm:
    """The whole upload, its fields parsed and its picture's size checked."""
    settings = request.app.state.settings
    pool = request.app.state.pool
    # An upload holds only an upload place while it arrives, however slowly;
    # an engine's waiting place is taken once the whole photograph is here.
    with pool.uploading():
        declared = request.headers.get("content-length", "")
        if declared.isdigit() and int(declared) > settings.max_upload_bytes:
            raise TooLarge(f"the upload is over {settings.max_upload_bytes / 1e6:g} MB")
        chunks = uploads.paced(request.stream(), idle_s=settings.upload_idle_timeout_s,
                               deadline_s=settings.upload_deadline_s, min_rate=settings.upload_min_rate,
                               grace_s=settings.upload_grace_s)
        parts = await form.read_parts(request.headers.get("content-type"), chunks, settings.max_upload_bytes)
    cut = form.cutout_form(parts, settings.max_size_side, settings.max_pixels)
    # Before an engine's place is taken: the same check `Cutout.make` makes, asked once.
    header = await run_in_threadpool(limits.check_pixels, cut.image, settings.max_pixels)
    if cut.background_picture is not None:  # the same limits as the photograph's
        await run_in_threadpool(limits.check_pixels, cut.background_picture, settings.max_pixels,
                                "the background picture")
    return dataclasses.replace(cut, header=header)


def with_quality(request, settings):
    """The operator's quality for the format, where the client asked none."""
    quality = {"jpg": settings.jpeg_quality, "webp": settings.webp_quality}.get(request.format)
    if request.quality is not None or quality is None:
        return request
    return dataclasses.replace(request, quality=quality)


def make(cutout, cut: form.CutoutForm, settings, overlay_format: str | None = None) -> Encoded:
    """Runs on an engine's thread: the one path, from the upload's bytes to the answer's."""
    if cut.request.background is not None and cut.request.background.kind == PICTURE:
        # the service's pixel limit holds for the background picture too, when composing as here
        cut = dataclasses.replace(cut, request=dataclasses.replace(cut.request, max_pixels=settings.max_pixels))
        try:
            picture_of(cut.request.picture_background)  # decoded here, once, so its refusal is the client's
        except imageio.ImageError:
            raise ClientError(f"the background picture cannot be decoded: a damaged or truncated file? "
                              f"Send {limits.READABLE} as {form.BACKGROUND_PICTURE_FIELD}") from None
    try:
        return pipeline.make(cutout, cut.image, with_quality(cut.request, settings), spelling=SERVICE,
                           overlay_format=overlay_format, header=cut.header)
    except Unfit as error:
        raise BadField(str(error)) from None
    except imageio.TooManyPixels as error:
        raise TooLarge(str(error)) from None
    except (imageio.NotAPicture, imageio.DamagedPicture):
        raise ClientError("the photograph cannot be decoded: a damaged or truncated file?") from None
    except imageio.ImageError as error:  # an ID photo's refusal: no face, two faces, a failed rule; an encoder's
        # an ID photo's refusal answers with every rule measured (none when no face was framed)
        details = {"checks": checks_json(getattr(error, "checks", []))} if cut.request.id_photo else None
        raise BadField(str(error), details=details) from None


def answer_headers(made: Encoded) -> dict[str, str]:
    """What the command line prints beside a picture, as the answer's headers."""
    headers = {}
    if made.confidence is not None:
        headers["X-Portrait-Confidence"] = f"{made.confidence:.4f}"
        headers["X-Portrait-Review"] = "true" if made.review else "false"
    if made.warnings:
        headers[WARNINGS_HEADER] = json.dumps(list(made.warnings), separators=(",", ":"), ensure_ascii=True)
    if made.details is not None:
        headers[CHECKS_HEADER] = checks_header(made.checks)
    return headers





def checks_json(checks) -> list[dict]:
    return [dataclasses.asdict(check) for check in checks]


def checks_header(checks) -> str:
    """The checks as compact JSON in ASCII, as a header value must be."""
    return json.dumps(checks_json(checks), separators=(",", ":"), ensure_ascii=True)
