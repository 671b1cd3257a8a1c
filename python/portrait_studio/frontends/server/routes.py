"""The service's routes: the page, the health check and the cut-out."""

from __future__ import annotations

from importlib import resources

from fastapi import APIRouter, Request, Response
from fastapi.responses import HTMLResponse
from starlette.concurrency import run_in_threadpool

from ...core import imageio
from ...core.backdrop import picture_of
from ...core.background import PICTURE
from ...core.letterbox import LetterboxError
from ...core.request import MATTE_KINDS
from ...pipeline import encode
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
                            "default 12), or picture with the file field background_picture", "white"
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
                            "an ID photo preset (passport, us, 25x35, 35x49, online): framed around the face at "
                            "the preset's size, background and print resolution; goes without size", None
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
                       "X-Portrait-Review is true when a person should look at it",
        "content": {media: {} for media in form.FORMATS.values()},
    },
    400: {"description": "an upload that is no readable picture", "content": ERROR_BODY},
    408: {"description": "an upload that stopped sending before it ended", "content": ERROR_BODY},
    413: {"description": "an upload over the byte limit, or a picture over the pixel limit", "content": ERROR_BODY},
    415: {"description": "not a multipart form, or not a picture format this service reads", "content": ERROR_BODY},
    422: {"description": "a bad field value", "content": ERROR_BODY},
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
    settings = request.app.state.settings
    pool = request.app.state.pool
    # An upload holds only an upload place while it arrives, however slowly;
    # an engine's waiting place is taken once the whole photograph is here.
    with pool.uploading():
        declared = request.headers.get("content-length", "")
        if declared.isdigit() and int(declared) > settings.max_upload_bytes:
            raise TooLarge(f"the upload is over {settings.max_upload_bytes / 1e6:g} MB")
        chunks = uploads.with_idle_timeout(request.stream(), settings.upload_idle_timeout_s)
        parts = await form.read_parts(request.headers.get("content-type"), chunks, settings.max_upload_bytes)
    cut = form.cutout_form(parts, settings.max_size_side)
    await run_in_threadpool(limits.check_pixels, cut.image, settings.max_pixels)
    if cut.background_picture is not None:  # the same limits as the photograph's
        await run_in_threadpool(limits.check_pixels, cut.background_picture, settings.max_pixels,
                                "the background picture")
    with pool.admission():
        body, output = await pool.run(render, cut, settings)
    headers = {"Content-Disposition": f'inline; filename="cutout.{cut.format}"'}
    if output.confidence is not None:
        headers["X-Portrait-Confidence"] = f"{output.confidence:.4f}"
        headers["X-Portrait-Review"] = "true" if output.review else "false"
    return Response(body, media_type=cut.media_type, headers=headers)


def render(cutout, cut: form.CutoutForm, settings):
    """Runs on an engine's thread: decode, the one path, encode; (body, output)."""
    try:
        photo = imageio.decode_photo(cut.image, settings.max_pixels)
    except imageio.ImageError:
        raise ClientError("the photograph cannot be decoded: a damaged or truncated file?") from None
    if cut.request.background is not None and cut.request.background.kind == PICTURE:
        try:
            picture_of(cut.request.background)  # decoded here, once, so its refusal is the client's
        except imageio.ImageError:
            raise ClientError(f"the background picture cannot be decoded: a damaged or truncated file? "
                              f"Send {limits.READABLE} as {form.BACKGROUND_PICTURE_FIELD}") from None
    try:
        output = cutout.produce(photo, cut.request)
    except LetterboxError as error:
        raise BadField(f"{error} (the size field)") from None
    except imageio.ImageError as error:  # an ID photo's refusal: no face, two faces, too small, cut off
        raise BadField(str(error).replace("--force", "force=true")) from None
    quality = {"jpg": settings.jpeg_quality, "webp": settings.webp_quality}.get(cut.format)
    try:
        return encode(output, cut.format, quality=quality), output
    except imageio.ImageError as error:
        raise BadField(f"{error}: ask for another format or a smaller size") from None
