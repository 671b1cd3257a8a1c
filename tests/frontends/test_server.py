"""The HTTP service against a live uvicorn on 127.0.0.1: what a client gets
for good and hostile uploads, its limits, the busy answer, load and SIGTERM."""

from __future__ import annotations

import asyncio
import concurrent.futures
import signal
import socket
import struct
import threading
import time
import zlib
from pathlib import Path

import cv2
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

httpx = pytest.importorskip("httpx")
pytest.importorskip("fastapi")

from portrait_studio import Background, Cutout, Request, parse_background  # noqa: E402
from portrait_studio.core.letterbox import parse_size  # noqa: E402
from portrait_studio.frontends.server import Settings, create_app  # noqa: E402
from portrait_studio.frontends.server import form as upload_form  # noqa: E402
from portrait_studio.frontends.server.errors import TooLarge  # noqa: E402
from portrait_studio.frontends.server.limits import check_pixels  # noqa: E402

SAMPLE = Path(__file__).resolve().parents[2] / "samples" / "astronaut.png"
CAMERA = Path(__file__).resolve().parents[1] / "data" / "camera.png"


@pytest.fixture(scope="module")
def server(serve_process, tmp_path_factory):
    # Run from an empty folder: afterwards it must still be empty.
    workdir = tmp_path_factory.mktemp("server_cwd")
    with serve_process("--workers", "2", cwd=workdir) as live:
        live.workdir = workdir
        yield live


@pytest.fixture(scope="module")
def client(server):
    with httpx.Client(base_url=server.url, timeout=60) as http:
        yield http


def post(client, data: bytes, filename="photo.png", **fields):
    return client.post("/v1/cutout", files={"image": (filename, data, "application/octet-stream")}, data=fields)


def decode(body: bytes) -> np.ndarray:
    picture = cv2.imdecode(np.frombuffer(body, np.uint8), cv2.IMREAD_UNCHANGED)
    assert picture is not None, "the answer is no picture"
    return picture


def png_claiming(width: int, height: int) -> bytes:
    """A tiny, valid-looking PNG whose header claims width x height."""

    def chunk(kind: bytes, payload: bytes) -> bytes:
        return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"\0" * 64)) + chunk(b"IEND", b"")


SAMPLE_BYTES = SAMPLE.read_bytes()
CAMERA_BYTES = CAMERA.read_bytes()


# ---- what a client gets -------------------------------------------------------------------


@pytest.fixture(scope="module")
def reference():
    return Cutout()


@pytest.mark.parametrize(
    "photo, fields, media, shape",
    [
        (SAMPLE, {}, "image/png", (512, 512, 3)),
        (SAMPLE, {"size": ""}, "image/png", (512, 512, 3)),
        (SAMPLE, {"background": "lightblue", "size": "300x400"}, "image/png", (400, 300, 3)),
        (SAMPLE, {"background": "transparent"}, "image/png", (512, 512, 4)),
        (CAMERA, {"matte": "model", "background": "navy"}, "image/png", None),
        (SAMPLE, {"size": "413x531", "background": "#2050a0", "format": "jpg"}, "image/jpeg", (531, 413, 3)),
        (SAMPLE, {"background": "transparent", "format": "webp"}, "image/webp", (512, 512, 4)),
        (CAMERA, {"matte": "model", "size": "600x600", "format": "jpeg"}, "image/jpeg", (600, 600, 3)),
        (SAMPLE, {"background": "blur", "matte": "fast"}, "image/png", (512, 512, 3)),
        (SAMPLE, {"background": "blur:30", "size": "300x400", "matte": "model"}, "image/png", (400, 300, 3)),
    ],
)
def test_cutout_answers_the_picture_asked_for(client, reference, photo, fields, media, shape):
    """A thin layer: a PNG answer holds exactly what Cutout.render makes."""
    answer = post(client, photo.read_bytes(), **fields)
    assert answer.status_code == 200, answer.text
    assert answer.headers["content-type"] == media
    picture = decode(answer.content)
    source = cv2.imread(str(photo))
    assert picture.shape == (shape or source.shape)
    if media == "image/png":
        request = Request(
            matte=fields.get("matte", "refined"),
            background=parse_background(fields.get("background", "white")),
            size=parse_size(fields["size"]) if fields.get("size") else None,
        )
        np.testing.assert_array_equal(picture, reference.render(source, request))


def heic_of(path: Path) -> bytes:
    import io

    from PIL import Image

    from portrait_studio.core import imageio

    imageio.pillow()  # the HEIF saver registered
    out = io.BytesIO()
    Image.open(path).convert("RGB").save(out, "HEIF", quality=90)
    return out.getvalue()


@pytest.mark.parametrize("fields", [{"matte": "model"}, {"matte": "fast", "background": "transparent"}], ids=str)
def test_a_heic_upload_is_cut_out_like_its_decoded_photograph(client, reference, fields):
    from portrait_studio.core import imageio

    data = heic_of(CAMERA)
    answer = post(client, data, filename="IMG_0001.HEIC", **fields)
    assert answer.status_code == 200, answer.text
    request = Request(matte=fields["matte"], background=parse_background(fields.get("background", "white")))
    photo = imageio.decode_photo(data, as_engine=request.is_engine_output)
    np.testing.assert_array_equal(decode(answer.content), reference.render(photo, request))
    damaged = post(client, data[: len(data) // 2], filename="IMG_0002.HEIC")
    assert damaged.status_code == 400 and "damaged" in damaged.json()["error"], damaged.text


BACKGROUND = cv2.imencode(".jpg", cv2.resize(cv2.imread(str(CAMERA)), (300, 200)))[1].tobytes()


def post_with_background(client, picture: bytes, **fields):
    files = {"image": ("photo.png", SAMPLE_BYTES, "image/png"), "background_picture": ("beach.jpg", picture, "image/jpeg")}
    return client.post("/v1/cutout", files=files, data=fields)


@pytest.mark.parametrize("fields", [{"matte": "model"}, {"background": "picture", "size": "300x400", "matte": "fast"}])
def test_an_uploaded_background_picture_is_put_behind_the_person(client, reference, fields):
    answer = post_with_background(client, BACKGROUND, **fields)
    assert answer.status_code == 200, answer.text
    request = Request(matte=fields["matte"], size=parse_size(fields["size"]) if "size" in fields else None,
                      background=Background(kind="picture", picture=BACKGROUND, name="background_picture"))
    np.testing.assert_array_equal(decode(answer.content), reference.render(cv2.imread(str(SAMPLE)), request))


@pytest.mark.parametrize(
    "picture, fields, status, says",
    [
        (b"just some text", {}, 415, "background picture"),
        (SAMPLE_BYTES[: len(SAMPLE_BYTES) // 2], {}, 400, "cut short"),
        (png_claiming(8000, 6000), {}, 413, "background picture"),
        (b"", {}, 422, "is empty"),
        (BACKGROUND, {"background": "navy"}, 422, "one or the other"),
        (None, {"background": "picture"}, 422, "background_picture"),
        (None, {"background": "/etc/hostname"}, 422, "background_picture"),  # never a path on the server
        (None, {"background": "pyproject.toml"}, 422, "background_picture"),
    ],
)
def test_bad_background_pictures_are_refused(client, picture, fields, status, says):
    answer = post(client, SAMPLE_BYTES, **fields) if picture is None else post_with_background(client, picture, **fields)
    assert answer.status_code == status, answer.text
    assert says in answer.json()["error"]


@pytest.mark.parametrize("preset, fmt", [("passport", "jpg"), ("us", "png")])
def test_id_field_frames_the_id_photo_the_api_makes(client, reference, preset, fmt):
    from portrait_studio.idphoto import make_id_photo

    answer = post(client, SAMPLE_BYTES, id=preset, format=fmt, matte="model")
    assert answer.status_code == 200, answer.text
    expected = make_id_photo(reference, cv2.imread(str(SAMPLE)), preset, matte="model").encode("." + fmt)
    assert answer.content == expected  # print resolution and all


def turned_away_bytes() -> bytes:
    """The cameraman mirrored and enlarged: a half-profile the yaw rule refuses."""
    photo = cv2.imread(str(CAMERA))[:, ::-1]
    return cv2.imencode(".png", cv2.resize(photo, None, fx=1.5, fy=1.5, interpolation=cv2.INTER_CUBIC))[1].tobytes()


@pytest.fixture(scope="module")
def kept_passport(reference):
    """What the one path makes of the sample for the UK passport on its own background."""
    from portrait_studio.idphoto import make_id_photo

    return make_id_photo(reference, cv2.imread(str(SAMPLE)), "uk-passport", "keep", matte="model")


def test_id_photo_answers_carry_the_checks_and_the_guide_lines(client, kept_passport):
    import base64
    import dataclasses
    import io
    import json

    from PIL import Image

    fields = {"id": "uk", "background": "keep", "matte": "model", "format": "png"}
    expected = [dataclasses.asdict(c) for c in kept_passport.checks]
    assert "background evenness" in {c["name"] for c in expected}

    photo = post(client, SAMPLE_BYTES, **fields)
    assert photo.status_code == 200, photo.text
    assert json.loads(photo.headers["x-portrait-checks"]) == expected
    np.testing.assert_array_equal(decode(photo.content), kept_passport.picture)

    drawn = post(client, SAMPLE_BYTES, **fields, overlay="true")
    assert drawn.status_code == 200 and json.loads(drawn.headers["x-portrait-checks"]) == expected
    np.testing.assert_array_equal(decode(drawn.content), kept_passport.overlay())

    # the page's one request: the same photo, guide lines and checks as JSON
    described = client.post(
        "/v1/idphoto", files={"image": ("p.png", SAMPLE_BYTES)}, data=fields)
    assert described.status_code == 200, described.text
    answer = described.json()
    assert (answer["document"], answer["width"], answer["height"], answer["dpi"]) == ("uk-passport", 413, 531, 300)
    assert answer["checks"] == expected and answer["passed"] is all(c["passed"] for c in expected)
    assert base64.b64decode(answer["photo"]["base64"]) == photo.content
    assert base64.b64decode(answer["overlay"]["base64"]) == drawn.content

    sheet = post(client, SAMPLE_BYTES, **{**fields, "format": "jpg"}, sheet="A4")
    assert sheet.status_code == 200 and sheet.headers["content-type"] == "image/jpeg"
    with Image.open(io.BytesIO(sheet.content)) as paper:
        assert sorted(paper.size) == [round(210 / 25.4 * 300), round(297 / 25.4 * 300)]
        assert paper.info["dpi"] == pytest.approx((300, 300), abs=0.01)


@pytest.mark.parametrize("path", ["/v1/cutout", "/v1/idphoto"])
@pytest.mark.parametrize("photo, fields, says, failed", [
    ("turned", {"id": "passport"}, "yaw fails", {"yaw"}),
    ("blank", {"id": "passport"}, "no face found", None),
    ("sample", {"background": "keep"}, "keep applies to ID photos: add id DOCUMENT", None),
    ("sample", {"overlay": "true"}, "overlay applies to ID photos", None),
    ("sample", {"id": "passport", "overlay": "sometimes"}, "bad flag", None),
])
def test_id_refusals_answer_json_with_the_checks(client, path, photo, fields, says, failed):
    data = {"turned": turned_away_bytes(), "sample": SAMPLE_BYTES,
            "blank": cv2.imencode(".png", np.full((300, 300, 3), 90, np.uint8))[1].tobytes()}[photo]
    answer = client.post(path, files={"image": ("p.png", data)}, data={"matte": "model", **fields})
    assert answer.status_code == 422 and says in answer.json()["error"], answer.text
    if "id" in fields and failed is not None:
        checks = answer.json()["checks"]
        assert failed <= {c["name"] for c in checks if not c["passed"]}
        assert {"head height", "centring", "pitch", "sharpness"} <= {c["name"] for c in checks}
        assert "force=true" in answer.json()["error"]
    elif photo == "blank":
        assert answer.json()["checks"] == []  # no face, so no rule could be measured
    else:
        assert "checks" not in answer.json()


def test_a_forced_id_photo_without_a_face_does_not_pass(client):
    # made anyway, but with nothing measured on a face it cannot be a pass
    blank = cv2.imencode(".png", np.full((300, 300, 3), 90, np.uint8))[1].tobytes()
    answer = client.post("/v1/idphoto", files={"image": ("p.png", blank)},
                         data={"id": "passport", "force": "true", "matte": "model"})
    assert answer.status_code == 200, answer.text
    body = answer.json()
    assert body["passed"] is False
    assert "face" in {c["name"] for c in body["checks"] if not c["passed"]}


def test_documents_are_the_tables_json(client):
    import json

    from portrait_studio.idphoto import listing_json

    listed = client.get("/v1/documents")
    assert listed.status_code == 200 and listed.json() == json.loads(listing_json())
    assert client.post("/v1/idphoto", files={"image": ("p.png", SAMPLE_BYTES)}).status_code == 422  # no id


def test_health_page_and_description(client, server):
    assert server.url.startswith("http://127.0.0.1:")  # loopback unless told otherwise
    health = client.get("/healthz")
    assert health.status_code == 200 and health.json()["status"] == "ok" and health.json()["engines"] == 2
    page = client.get("/")
    assert page.status_code == 200 and page.headers["content-type"].startswith("text/html")
    # Offline: nothing fetched from elsewhere.
    assert "http://" not in page.text and "https://" not in page.text and "//" + "cdn" not in page.text
    assert 'for="photo"' in page.text and 'action' not in page.text.split("<form", 1)[1].split(">", 1)[0]
    schema = client.get("/openapi.json").json()
    body = schema["paths"]["/v1/cutout"]["post"]["requestBody"]["content"]["multipart/form-data"]["schema"]
    assert set(body["properties"]) == {*upload_form.FILE_FIELDS, *upload_form.REPLY_FIELDS, *upload_form.REQUEST_FIELDS}
    assert client.get("/docs").status_code == 200


# ---- hostile input --------------------------------------------------------------------------

TRUNCATED_PNG = SAMPLE_BYTES[: len(SAMPLE_BYTES) // 2]
JUNK = bytes(np.random.default_rng(7).integers(0, 256, 5000, dtype=np.uint8))


@pytest.mark.parametrize(
    "photo, fields, statuses",
    [
        (JUNK, {}, {415}),
        (b"", {}, {400}),
        (b"\x89PNG\r\n\x1a\n", {}, {400, 415}),
        (TRUNCATED_PNG, {}, {400}),
        (png_claiming(100_000, 100_000), {}, {413}),
        (png_claiming(8000, 6000), {}, {413}),  # under Pillow's own bomb limit, over ours
        (png_claiming(0, 10), {}, {400, 415}),
        (SAMPLE_BYTES, {"background": "mauve-ish"}, {422}),
        (SAMPLE_BYTES, {"size": "12x"}, {422}),
        (SAMPLE_BYTES, {"size": "-3x4"}, {422}),
        (SAMPLE_BYTES, {"size": "5000x5000"}, {422}),
        (SAMPLE_BYTES, {"matte": "fancy"}, {422}),
        (SAMPLE_BYTES, {"format": "gif"}, {422}),
        (SAMPLE_BYTES, {"format": "jpg", "background": "transparent"}, {422}),
        (SAMPLE_BYTES, {"colour": "red"}, {422}),
        (SAMPLE_BYTES, {"background": "x" * 5000}, {422}),
        (SAMPLE_BYTES, {"id": "passport", "size": "300x400"}, {422}),
        (SAMPLE_BYTES, {"id": "moon-visa"}, {422}),
        (SAMPLE_BYTES, {"id": "passport", "force": "maybe"}, {422}),
        (CAMERA_BYTES[:0] + cv2.imencode(".png", np.full((300, 300, 3), 90, np.uint8))[1].tobytes(),
         {"id": "passport"}, {422}),  # no face: refused, nothing made
    ],
)
def test_hostile_uploads_get_a_json_4xx(client, photo, fields, statuses):
    answer = post(client, photo, **fields)
    assert answer.status_code in statuses, answer.text
    assert answer.headers["content-type"] == "application/json"
    assert answer.json()["error"] and "Traceback" not in answer.text


@pytest.mark.parametrize(
    "make",
    [
        lambda c: c.post("/v1/cutout", data={"background": "white"}),  # no image field
        lambda c: c.post("/v1/cutout", data={"image": "photo.jpg"}),  # a name, not the file
        lambda c: c.post("/v1/cutout", content=b"a=b", headers={"content-type": "application/x-www-form-urlencoded"}),
        lambda c: c.post("/v1/cutout", content=SAMPLE_BYTES, headers={"content-type": "image/png"}),
        lambda c: c.post("/v1/cutout", files=[("image", ("a.png", SAMPLE_BYTES)), ("image", ("b.png", SAMPLE_BYTES))]),
        lambda c: c.post(
            "/v1/cutout",
            content=b"--xyz\r\nContent-Disposition: form-data; name=\"image\"; filename=\"a.png\"\r\n\r\n" + SAMPLE_BYTES[:900],
            headers={"content-type": "multipart/form-data; boundary=xyz"},
        ),  # the form stops before its closing boundary
        lambda c: c.get("/v1/cutout"),
        lambda c: c.get("/nowhere"),
    ],
)
def test_malformed_requests_get_a_json_4xx(client, make):
    answer = make(client)
    assert 400 <= answer.status_code < 500, answer.text
    assert answer.json()["error"] and "Traceback" not in answer.text


@pytest.mark.parametrize("filename", ["../../../../tmp/portrait-evil.png", "/etc/passwd", "..\\..\\boot.ini", "sub/dir/x.png"])
def test_client_filenames_name_no_path(client, server, filename):
    answer = post(client, SAMPLE_BYTES, filename=filename, matte="model")
    assert answer.status_code == 200
    assert answer.headers["content-disposition"] == 'inline; filename="cutout.png"'
    assert not Path("/tmp/portrait-evil.png").exists()
    assert list(server.workdir.iterdir()) == []


def raw_request(port: int, head: bytes, body_chunks=(), *, read_timeout=30) -> tuple[bytes, int]:
    """Sends `head`, then the body from a second thread, and reads the answer
    meanwhile; returns the answer and how many body bytes got sent."""
    sent = [0]
    with socket.create_connection(("127.0.0.1", port)) as sock:
        sock.sendall(head)

        def send_body():
            try:
                for chunk in body_chunks:
                    sock.sendall(chunk)
                    sent[0] += len(chunk)
            except OSError:
                pass  # the server answered and closed: the point of the test

        sender = threading.Thread(target=send_body, daemon=True)
        sender.start()
        sock.settimeout(read_timeout)
        answer = b""
        while b"\r\n\r\n" not in answer or not answer.endswith(b"}"):
            try:
                data = sock.recv(65536)
            except ConnectionResetError:
                break
            if not data:
                break
            answer += data
        sender.join(5)
    return answer, sent[0]


def multipart_head(port: int, length: int | None) -> bytes:
    framing = f"Content-Length: {length}" if length is not None else "Transfer-Encoding: chunked"
    return (
        f"POST /v1/cutout HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{framing}\r\n"
        "Content-Type: multipart/form-data; boundary=b0undary\r\n\r\n"
    ).encode()


def test_60_mb_upload_is_refused_from_its_declared_length(server):
    """413 before a byte of the body is sent."""
    answer, _ = raw_request(server.port, multipart_head(server.port, 60_000_000))
    assert answer.startswith(b"HTTP/1.1 413"), answer[:200]
    assert b'"error"' in answer


def test_60_mb_streamed_upload_is_refused_before_it_ends(server):
    """Without a declared length the count stops it at the limit, long before 60 MB."""
    part = b"--b0undary\r\nContent-Disposition: form-data; name=\"image\"; filename=\"big.png\"\r\n\r\n"
    piece = b"\0" * 1_000_000
    chunks = [b"%x\r\n%s\r\n" % (len(part), part)] + [b"%x\r\n%s\r\n" % (len(piece), piece)] * 60 + [b"0\r\n\r\n"]
    answer, sent = raw_request(server.port, multipart_head(server.port, None), chunks)
    assert answer.startswith(b"HTTP/1.1 413"), answer[:200]
    assert sent < 50_000_000


def test_200_requests_8_at_a_time_without_an_error(client):
    def one(_):
        answer = post(client, CAMERA_BYTES, matte="model", format="jpg")
        return answer.status_code, answer.content

    with concurrent.futures.ThreadPoolExecutor(8) as threads:
        answers = list(threads.map(one, range(200)))
    assert [status for status, _ in answers] == [200] * 200
    assert len({body for _, body in answers}) == 1  # one engine's answer is any other's


# ---- the engine pool ------------------------------------------------------------------------


class GatedEngine:
    """Stands in for a Cutout: holds each cut-out until the test opens the gate."""

    def __init__(self):
        self.gate = threading.Event()
        self.entered = threading.Semaphore(0)

    def produce(self, photo, request):
        from portrait_studio import Output

        self.entered.release()
        assert self.gate.wait(30)
        return Output(photo)


def test_full_waiting_room_answers_503_and_the_loop_stays_free(serve_in_thread):
    engine = GatedEngine()
    app = create_app(Settings(workers=1, queue=1, retry_after_s=7), engines=[engine])
    with serve_in_thread(app) as url, httpx.Client(base_url=url, timeout=30) as client:
        with concurrent.futures.ThreadPoolExecutor(2) as threads:
            first = threads.submit(post, client, SAMPLE_BYTES)
            assert engine.entered.acquire(timeout=10)
            second = threads.submit(post, client, SAMPLE_BYTES)  # waits for the engine
            deadline = time.monotonic() + 10
            while client.get("/healthz").json()["waiting"] < 1 and time.monotonic() < deadline:
                time.sleep(0.02)
            started = time.monotonic()
            health = client.get("/healthz").json()
            assert time.monotonic() - started < 1.0  # answered while a cut-out runs
            assert (health["busy"], health["waiting"]) == (1, 1)

            turned_away = post(client, SAMPLE_BYTES)
            assert turned_away.status_code == 503
            assert turned_away.headers["retry-after"] == "7" and "busy" in turned_away.json()["error"]

            engine.gate.set()
            assert first.result().status_code == 200 and second.result().status_code == 200
        assert post(client, SAMPLE_BYTES).status_code == 200  # the engine came back


def test_a_cancelled_request_gives_its_engine_back_only_when_the_job_ends():
    from portrait_studio.frontends.server.pool import EnginePool

    async def scenario():
        engine = GatedEngine()
        pool = EnginePool([engine], waiting_room=0, retry_after_s=1)
        job = asyncio.ensure_future(pool.run(lambda e: e.produce(None, None)))
        await asyncio.to_thread(engine.entered.acquire, True, 10)
        job.cancel()
        await asyncio.sleep(0.05)
        assert pool.busy == 1  # still cutting out: not free for another request
        engine.gate.set()
        assert await asyncio.wait_for(pool.run(lambda e: "next"), 10) == "next"
        pool.close()

    asyncio.run(scenario())


# ---- shutting down -------------------------------------------------------------------------


def test_sigterm_finishes_the_request_in_flight_then_exits(serve_process, tmp_path):
    body = (
        b"--b0undary\r\nContent-Disposition: form-data; name=\"image\"; filename=\"a.png\"\r\n\r\n"
        + SAMPLE_BYTES + b"\r\n--b0undary\r\nContent-Disposition: form-data; name=\"matte\"\r\n\r\nmodel\r\n--b0undary--\r\n"
    )
    with serve_process("--workers", "1", cwd=tmp_path) as live:
        with socket.create_connection(("127.0.0.1", live.port)) as sock:
            sock.sendall(multipart_head(live.port, len(body)) + body[:1000])
            time.sleep(0.5)  # the request is in the app, reading its upload
            live.process.send_signal(signal.SIGTERM)
            time.sleep(0.5)
            with pytest.raises(OSError):  # no new connections once stopping
                socket.create_connection(("127.0.0.1", live.port), timeout=2).close()
            sock.sendall(body[1000:])
            sock.settimeout(30)
            answer = b""
            while data := sock.recv(65536):
                answer += data
        assert answer.startswith(b"HTTP/1.1 200"), answer[:300]
        assert decode(answer.split(b"\r\n\r\n", 1)[1]).shape == (512, 512, 3)
        # uvicorn re-raises the SIGTERM it caught once the requests are done.
        assert live.process.wait(30) in (0, -signal.SIGTERM)


# ---- limits and form parsing, without a server ---------------------------------------------


@pytest.mark.parametrize("extension", [".png", ".jpg", ".webp", ".bmp", ".tiff"])
@pytest.mark.parametrize("width, height", [(1, 1), (17, 5), (640, 480), (333, 1201)])
def test_header_size_is_the_decoded_size(extension, width, height):
    photo = np.random.default_rng(width * height).integers(0, 256, (height, width, 3), dtype=np.uint8)
    data = cv2.imencode(extension, photo)[1].tobytes()
    decoded = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR)
    assert check_pixels(data, 40_000_000) == (decoded.shape[1], decoded.shape[0])
    with pytest.raises(TooLarge):
        check_pixels(data, width * height - 1)


async def _chunks(body: bytes, cuts: list[int]):
    start = 0
    for cut in sorted(cuts) + [len(body)]:
        yield body[start:cut]
        start = cut


@settings(max_examples=60, deadline=None)
@given(
    image=st.binary(max_size=3000),
    text=st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=40),
    cuts=st.lists(st.integers(0, 4000), max_size=12),
)
def test_form_parts_survive_any_chunking(image, text, cuts):
    """However the body arrives in pieces, every part comes out whole, even
    when it holds the boundary's own characters."""
    boundary = b"b0undary"
    image = image + b"\r\n--b0undar" + image[:5]
    body = (
        b"--b0undary\r\nContent-Disposition: form-data; name=\"image\"; filename=\"../x.png\"\r\n"
        b"Content-Type: image/png\r\n\r\n" + image + b"\r\n--b0undary\r\n"
        b"Content-Disposition: form-data; name=\"background\"\r\n\r\n" + text.encode() + b"\r\n--b0undary--\r\n"
    )
    cuts = [c % (len(body) + 1) for c in cuts]
    parts = asyncio.run(
        upload_form.read_parts(f"multipart/form-data; boundary={boundary.decode()}", _chunks(body, cuts), 10_000_000)
    )
    assert parts == {"image": image, "background": text.encode()}


# ---- the command ---------------------------------------------------------------------------


def run_command(*args, cwd=None, env=None):
    import subprocess
    import sys

    return subprocess.run(
        [sys.executable, "-m", "portrait_studio.frontends.cli", *map(str, args)],
        capture_output=True, text=True, cwd=cwd, timeout=120, env=env,
    )


@pytest.fixture
def busy_port():
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen(1)
        yield holder.getsockname()[1]


@pytest.mark.parametrize(
    "args, code, says",
    [
        (["--port", "70000"], 2, "bad port '70000'"),
        (["--workers", "0"], 2, "bad number '0'"),
        (["--model", "missing.onnx"], 1, "missing.onnx: no such model file"),
        (["--port", "BUSY"], 1, "try --port"),
    ],
)
def test_serve_refuses_what_it_cannot_do(tmp_path, busy_port, args, code, says):
    args = [str(busy_port) if a == "BUSY" else a for a in args]
    result = run_command("serve", *args, cwd=tmp_path)
    assert result.returncode == code
    assert says in result.stderr and "Traceback" not in result.stderr


def test_serve_without_the_extra_names_it(tmp_path):
    import os

    (tmp_path / "fastapi.py").write_text("raise ImportError('no', name='fastapi')\n")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(tmp_path), os.environ.get("PYTHONPATH", "")])}
    result = run_command("serve", cwd=tmp_path, env=env)
    assert result.returncode == 1
    assert result.stderr.strip().splitlines() == [
        "portrait-main: the service needs the server extra: pip install 'portrait-main[server]' (fastapi is missing)"
    ]


def test_a_photograph_named_serve_is_still_converted(tmp_path):
    import shutil

    shutil.copy(SAMPLE, tmp_path / "serve")
    result = run_command("serve", "-o", "out.png", "--matte", "model", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert cv2.imread(str(tmp_path / "out.png")).shape == (512, 512, 3)
