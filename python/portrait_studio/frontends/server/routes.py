"""The service's routes: the page, the health check and the cut-out."""

from __future__ import annotations

import dataclasses
import json
from importlib import resources

from fastapi import APIRouter, Request, Response
from fastapi.responses import HTMLResponse
from starlette.concurrency import run_in_threadpool

from ...core import imageio
from ...core.backdrop import picture_of
from ...core.background import PICTURE
from ...core.letterbox import LetterboxError
from ...core.request import MATTE_KINDS
from ...pipeline import Output, encode
from . import form, limits, uploads
from .errors import BadField, ClientError, TooLarge

router = APIRouter()

PAGE = resources.files(__package__).joinpath("page.html").read_text(encoding="utf-8")


def _describe_field(description: str, default: str | None, choices: list[str] | None = None) -> dict:
    schema: dict = {"type": "string", "description": description}
    if default is not None:
        schema["default"] = default
    if choices:
        schema["enum"] = choices
    return schema


CUTOUT_FORM = {
    "requestBody": {
        "required": True,
        "content": {
            "multipart/form-data": {
                "schema": {
                    "type": "object",
                    "required": [form.IMAGE_FIELD],
                    "properties": {
                        form.IMAGE_FIELD: {"type": "string", "format": "binary", "description": "the photograph"},
                        "background": _describe_field(
                            "white, transparent, #RRGGBB, a colour name such as lightblue, blur or blur:STRENGTH "
                            "(the photograph's own background blurred; STRENGTH in thousandths of the diagonal, "
                            "default 12), picture with the file field background_picture, or with id also keep: "
                            "the photographed background as it is, its evenness checked", "white"
                        ),
                        form.BACKGROUND_PICTURE_FIELD: {
                            "type": "string", "format": "binary",
                            "description": "a picture to put the person on, scaled to cover the cut-out and centred",
                        },
                        "size": _describe_field(
                            "WIDTHxHEIGHT: letterboxed to exactly that size; empty: the photograph's own", None
                        ),
                        "matte": _describe_field(
                            "refined: two networks fused, clean edges and hair; fast: the segmenter alone, "
                            "refined; model: the segmenter's matte as the engine uses it",
                            "refined", list(MATTE_KINDS),
                        ),
                        "format": _describe_field("the picture's format", "png", list(form.FORMATS)),
                        "id": _describe_field(
                            "an ID document (GET /v1/documents lists them: us-passport, uk-passport, "
                            "schengen-visa, ...): framed around the face at its size, background and print "
                            "resolution, and checked against its rules (the X-Portrait-Checks header); goes "
                            "without size", None
                        ),
                        "sheet": _describe_field(
                            "with id: a print sheet of as many copies as fit: 6x4in, 5x7in, A6, A4 or letter", None
                        ),
                        "overlay": _describe_field(
                            "with id: true answers the photo with its guide lines drawn on it (crown, chin, eye "
                            "band, centre line)", "false", ["true", "false"],
                        ),
                        "force": _describe_field(
                            "with id: true makes the best effort when the photograph does not meet the preset",
                            "false", ["true", "false"],
                        ),
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
                       "X-Portrait-Review is true when a person should look at it; an ID photo's X-Portrait-Checks "
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
    with request.app.state.pool.admission():
        body, output = await request.app.state.pool.run(render, cut, request.app.state.settings)
    headers = {"Content-Disposition": f'inline; filename="cutout.{cut.format}"'}
    if output.confidence is not None:
        headers["X-Portrait-Confidence"] = f"{output.confidence:.4f}"
        headers["X-Portrait-Review"] = "true" if output.review else "false"
    if output.details is not None:
        headers[CHECKS_HEADER] = checks_header(output.details.checks)
    return Response(body, media_type=cut.media_type, headers=headers)


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
    cut = form.cutout_form(parts, settings.max_size_side)
    await run_in_threadpool(limits.check_pixels, cut.image, settings.max_pixels)
    if cut.background_picture is not None:  # the same limits as the photograph's
        await run_in_threadpool(limits.check_pixels, cut.background_picture, settings.max_pixels,
                                "the background picture")
    return cut


def render(cutout, cut: form.CutoutForm, settings):
    """Runs on an engine's thread: decode, the one path, encode; (body, output).
    With `overlay` the body is the ID photo's guide lines."""
    output = produce(cutout, cut, settings)
    if cut.overlay:
        output = Output(output.overlay, output.dpi, output.warnings, output.confidence, output.details)
    return encoded(output, cut.format, settings), output


def produce(cutout, cut: form.CutoutForm, settings) -> Output:
    """Runs on an engine's thread: the photograph decoded and through the one path."""
    try:
        photo = imageio.decode_photo(cut.image, settings.max_pixels, as_engine=cut.request.is_engine_output)
    except imageio.ImageError:
        raise ClientError("the photograph cannot be decoded: a damaged or truncated file?") from None
    if cut.request.background is not None and cut.request.background.kind == PICTURE:
        # the service's pixel limit holds for the background picture too, when composing as here
        cut = dataclasses.replace(cut, request=dataclasses.replace(cut.request, max_pixels=settings.max_pixels))
        try:
            picture_of(cut.request.picture_background)  # decoded here, once, so its refusal is the client's
        except imageio.ImageError:
            raise ClientError(f"the background picture cannot be decoded: a damaged or truncated file? "
                              f"Send {limits.READABLE} as {form.BACKGROUND_PICTURE_FIELD}") from None
    try:
        output = cutout.produce(photo, cut.request)
    except LetterboxError as error:
        raise BadField(f"{error} (the size field)") from None
    except imageio.ImageError as error:  # an ID photo's refusal: no face, two faces, a failed rule
        # an ID photo's refusal answers with every rule measured (none when no face was framed)
        details = {"checks": checks_json(getattr(error, "checks", []))} if cut.request.id_photo else None
        raise BadField(str(error).replace("--force", "force=true"), details=details) from None
    return output


def encoded(output: Output, format: str, settings) -> bytes:
    quality = {"jpg": settings.jpeg_quality, "webp": settings.webp_quality}.get(format)
    try:
        return encode(output, format, quality=quality)
    except imageio.ImageError as error:
        raise BadField(f"{error}: ask for another format or a smaller size") from None


# An ID photo's rules as measured, on the answer that carries the photo.
CHECKS_HEADER = "X-Portrait-Checks"


def checks_json(checks) -> list[dict]:
    return [dataclasses.asdict(check) for check in checks]


def checks_header(checks) -> str:
    """The checks as compact JSON in ASCII, as a header value must be."""
    return json.dumps(checks_json(checks), separators=(",", ":"), ensure_ascii=True)
