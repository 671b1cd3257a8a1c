"""What a file, a name or a client sends can refuse one photograph or one
request, never crash, exhaust or lock out the tool: the CLI, the API and the
service side by side."""

from __future__ import annotations

import json
import os
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

import cv2
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from portrait_studio import Cutout, Request
from portrait_studio.core import imageio
from portrait_studio.core.background import parse_background
from portrait_studio.core.letterbox import parse_size
from portrait_studio.frontends import batch

SAMPLE = Path(__file__).resolve().parents[2] / "samples" / "astronaut.png"
CLI = shutil.which("portrait-main", path=os.path.dirname(sys.executable)) or "portrait-main"
PHOTO = cv2.resize(cv2.imread(str(SAMPLE)), (240, 180))
JPEG = cv2.imencode(".jpg", PHOTO)[1].tobytes()
PNG = cv2.imencode(".png", PHOTO)[1].tobytes()
RAW_LIBRARY_TEXT = ("CV_IO_MAX_IMAGE_PIXELS", "inv_scale_x", "could not find encoder", imageio.TEMPORARY_PREFIX,
                    "cv2.error", "Traceback")


def jpeg_claiming(width: int, height: int) -> bytes:
    """A small, whole JPEG whose frame header claims width x height."""
    data = bytearray(cv2.imencode(".jpg", np.zeros((16, 16, 3), np.uint8))[1].tobytes())
    frame = data.index(b"\xff\xc0")
    data[frame + 5 : frame + 9] = height.to_bytes(2, "big") + width.to_bytes(2, "big")
    return bytes(data)


def run_cli(*args, **kwargs):
    return subprocess.run([CLI, *map(str, args)], capture_output=True, text=True, errors="backslashreplace",
                          timeout=300, **kwargs)


LATIN1_NAME = os.fsdecode(b"caf\xe9.png")  # not UTF-8: Python holds it with a lone surrogate

# name, bytes, what comes of it: None = written, else words its failure says
FOLDER_TABLE = [
    ("good.jpg", JPEG, None),
    (LATIN1_NAME, PNG, None),
    ("cut.jpg", JPEG[: len(JPEG) // 3], "cut short"),
    ("cut.png", PNG[: len(PNG) // 2], "cut short"),
    ("bomb.jpg", jpeg_claiming(30000, 30000), "900.0 MP"),
    ("empty.png", b"", "empty"),
    ("text.png", b"not a picture at all", "not an image"),
]


@pytest.mark.parametrize("matte", ["model", "refined"])
def test_one_bad_photograph_fails_alone_and_says_so(tmp_path, red_model, matte):
    source = tmp_path / "in"
    source.mkdir()
    for name, data, _ in FOLDER_TABLE:
        (source / name).write_bytes(data)
    out = tmp_path / os.fsdecode(b"sortie-\xe9")  # an output folder with such a name too
    result = run_cli(source, "-o", out, "--matte", matte, "--model", red_model, "-j", "2")
    assert result.returncode == 1, result.stderr
    assert f"2 of {len(FOLDER_TABLE)} photographs written" in result.stdout
    for name, _, failure in FOLDER_TABLE:
        written = (out / name).is_file()
        if failure is None:
            assert written and cv2.imdecode(np.fromfile(out / name, np.uint8), cv2.IMREAD_COLOR).shape == PHOTO.shape
        else:
            assert not written
            line = next(line for line in result.stderr.splitlines() if name in line)
            assert failure in line, result.stderr
    assert not any(text in result.stderr for text in RAW_LIBRARY_TEXT), result.stderr
    assert not [p for p in out.iterdir() if p.name.startswith(imageio.TEMPORARY_PREFIX)]


def test_model_matte_of_a_good_file_is_still_the_engines_bytes(tmp_path, red_model):
    (tmp_path / "a.jpg").write_bytes(JPEG)
    Cutout(red_model).write(tmp_path / "a.jpg", tmp_path / "ours.png", Request(matte="model"))
    Cutout(red_model).engine._image(str(tmp_path / "a.jpg"), str(tmp_path / "engine.png"))
    assert (tmp_path / "ours.png").read_bytes() == (tmp_path / "engine.png").read_bytes()


@pytest.mark.parametrize("which", ["image_path", "save_path"])
def test_engine_refuses_a_path_opencv_cannot_take(tmp_path, red_model, which):
    """In a child process: before the fix this is a SIGSEGV."""
    (tmp_path / "good.png").write_bytes(PNG)
    paths = {"image_path": str(tmp_path / "good.png"), "save_path": str(tmp_path / "out.png")}
    paths[which] = os.fsdecode(os.fsencode(str(tmp_path)) + b"/caf\xe9.png")
    script = (
        "import sys, portrait_main\n"
        f"engine = portrait_main.QuorinPortraitMain({str(red_model)!r})\n"
        "try:\n"
        f"    engine._image({paths['image_path']!r}, {paths['save_path']!r})\n"
        "except ValueError as error:\n"
        "    print(type(error).__name__, error)\n"
        "print(engine._input_size)\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert f"ValueError {which}" in result.stdout and "cannot be passed to OpenCV" in result.stdout
    assert "(512, 512)" in result.stdout  # the size is stored first, as for any other failure
    assert not (tmp_path / "out.png").exists()


def test_a_decompression_bomb_is_refused_at_once_in_little_memory(tmp_path, red_model):
    """From the header: in a child that reports its own child's peak memory."""
    source = tmp_path / "in"
    source.mkdir()
    (source / "bomb.jpg").write_bytes(jpeg_claiming(30000, 30000))
    measure = (
        "import resource, subprocess, sys, time\n"
        "started = time.monotonic()\n"
        "code = subprocess.run(sys.argv[1:], capture_output=True).returncode\n"
        "print(code, time.monotonic() - started, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
    )
    for args in ([source / "bomb.jpg", "-o", tmp_path / "one.png"], [source, "-o", tmp_path / "folder", "-j", "2"]):
        result = subprocess.run([sys.executable, "-c", measure, CLI, *map(str, args), "--model", str(red_model)],
                                capture_output=True, text=True, timeout=120)
        code, seconds, peak_kb = result.stdout.split()
        assert int(code) == 1 and float(seconds) < 5 and int(peak_kb) < 300_000, result.stdout
    assert not (tmp_path / "one.png").exists() and not (tmp_path / "folder" / "bomb.jpg").exists()
    raised = run_cli(source / "bomb.jpg", "-o", tmp_path / "one.png", "--model", red_model, "--max-pixels", "1000")
    assert "30000 x 30000" not in raised.stderr and "0.001 MP" in raised.stderr


def test_api_limits_and_refusals(tmp_path, red_model):
    cutout = Cutout(red_model)
    photo = tmp_path / "p.png"
    photo.write_bytes(PNG)
    os.link(photo, tmp_path / "hard.png")
    (tmp_path / "soft.png").symlink_to(photo)
    for target in (photo, tmp_path / "hard.png", tmp_path / "soft.png"):
        with pytest.raises(imageio.ImageError, match="overwrite the input"):
            cutout.write(photo, target)
    assert photo.read_bytes() == PNG
    with pytest.raises(imageio.TooManyPixels, match="43200 pixels|0.0432 MP|over the limit of 0.04 MP"):
        cutout.write(photo, tmp_path / "o.png", max_pixels=40_000)
    cutout.write(photo, tmp_path / "o.png", Request(max_pixels=40_000), max_pixels=50_000)  # the argument wins
    thin = tmp_path / "thin.png"
    thin.write_bytes(cv2.imencode(".png", np.zeros((5000, 1, 3), np.uint8))[1].tobytes())
    for matte in ("model", "refined"):
        with pytest.raises(imageio.ImageError, match="thin.png: a 1 x 5000 picture cannot be fitted into 100 x 100"):
            cutout.write(thin, tmp_path / "t.png", Request(matte=matte, size=(100, 100)))
    result = run_cli(thin, "-o", tmp_path / "t.png", "--size", "100x100", "--model", red_model)
    assert result.returncode == 1 and "cannot be fitted" in result.stderr and "inv_scale" not in result.stderr


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_permission_denied_is_said_as_such(tmp_path, red_model):
    photo = tmp_path / "locked.png"
    photo.write_bytes(PNG)
    photo.chmod(0)
    result = run_cli(photo, "-o", tmp_path / "o.png", "--model", red_model)
    assert "locked.png: permission denied" in result.stderr


@pytest.mark.parametrize("ext, ok", [
    ("png", True), (".PNG", True), ("jpg", True), ("webp", True),
    ("png/../../escaped.png", False), ("../x", False), ("p.ng", False), ("", False), ("xyz", False),
    ("png ", False), ("tar.gz", False), ("ｐｎｇ", False),
])
def test_ext_is_an_extension_and_nothing_else(tmp_path, red_model, ext, ok):
    source = tmp_path / "in"
    source.mkdir()
    (source / "a.jpg").write_bytes(JPEG)
    result = run_cli(source, "-o", tmp_path / "out", "--ext", ext, "--model", red_model)
    assert (result.returncode == 0) == ok, result.stderr
    if not ok:
        assert "bad --ext" in result.stderr
        assert not (tmp_path / "out").exists() and not list(tmp_path.rglob("escaped*"))


def test_skip_existing_counts_only_files_and_unreadable_folders_are_reported(tmp_path, red_model, monkeypatch):
    source = tmp_path / "in"
    (source / "locked").mkdir(parents=True)
    for name in ("a.jpg", "b.jpg", "locked/c.jpg"):
        (source / name).write_bytes(JPEG)
    out = tmp_path / "out"
    (out / "a.jpg").mkdir(parents=True)  # a folder where the output would go
    result = run_cli(source, "-o", out, "--skip-existing", "--model", red_model)
    assert result.returncode == 1 and "1 of 2 photographs written" in result.stdout and "1 failed" in result.stdout
    assert "a.jpg: something other than a file" in result.stderr

    real_scandir = os.scandir

    def scandir(path="."):
        if os.fspath(path).endswith("locked"):
            raise PermissionError(13, "Permission denied", os.fspath(path))
        return real_scandir(path)

    monkeypatch.setattr(os, "scandir", scandir)
    jobs = batch.plan(source, tmp_path / "out2", recursive=True)
    assert [job.source.name for job in jobs] == ["a.jpg", "b.jpg"]
    assert len(jobs.unreadable) == 1 and "locked: the folder cannot be listed (Permission denied)" in jobs.unreadable[0]


@pytest.mark.parametrize("parse, text", [
    (parse_background, "#-1-1-1"), (parse_background, "#+f+f+f"), (parse_background, "#１２３"),
    (parse_background, "#1_2_3_"), (parse_background, "#٠٠٠٠٠٠"),
    (parse_size, "١٢٣x٤٥٦"), (parse_size, "1_0x10"), (parse_size, "１０x１０"), (parse_size, "+5x5"),
])
def test_colours_and_sizes_take_ascii_only(parse, text):
    with pytest.raises(ValueError, match="bad"):
        parse(text)


# ---- the service -------------------------------------------------------------------------------


class InstantEngine:
    """Stands in for a Cutout without a model; refuses an unfittable size as one does."""

    def produce(self, photo, request):
        from portrait_studio import Output
        from portrait_studio.core.letterbox import check_fits

        if request.size:
            check_fits(photo.shape[1], photo.shape[0], request.size)
        return Output(photo)


def multipart(data: bytes, **fields) -> tuple[bytes, str]:
    boundary = "b0undary"
    parts = [f'--{boundary}\r\nContent-Disposition: form-data; name="{k}"\r\n\r\n{v}\r\n'.encode()
             for k, v in fields.items()]
    parts.append(f'--{boundary}\r\nContent-Disposition: form-data; name="image"; filename="p.png"\r\n'
                 "Content-Type: image/png\r\n\r\n".encode() + data + b"\r\n")
    return b"".join(parts) + f"--{boundary}--\r\n".encode(), f"multipart/form-data; boundary={boundary}"


def test_slow_uploads_cannot_lock_the_service_out(serve_in_thread):
    import httpx

    from portrait_studio.frontends.server.app import create_app
    from portrait_studio.frontends.server.settings import Settings

    app = create_app(Settings(workers=1, queue=1, upload_idle_timeout_s=4), engines=[InstantEngine()])
    body, content_type = multipart(PNG)
    with serve_in_thread(app) as url:
        port = int(url.rsplit(":", 1)[1])
        stalled = []
        for _ in range(18):  # each starts an upload and stops sending
            sock = socket.create_connection(("127.0.0.1", port))
            sock.sendall(f"POST /v1/cutout HTTP/1.1\r\nHost: x\r\nContent-Length: {len(body)}\r\n"
                         f"Content-Type: {content_type}\r\n\r\n".encode() + body[:100])
            stalled.append(sock)
        with httpx.Client(base_url=url, timeout=30) as client:
            deadline = time.monotonic() + 5
            while client.get("/healthz").json()["uploading"] < 18 and time.monotonic() < deadline:
                time.sleep(0.05)
            assert client.get("/healthz").json()["uploading"] == 18
            started = time.monotonic()
            answer = client.post("/v1/cutout", content=body, headers={"Content-Type": content_type})
            assert answer.status_code == 200 and time.monotonic() - started < 10, answer.text
            for sock in stalled:
                sock.settimeout(15)
                reply = b""
                while chunk := sock.recv(4096):  # the 408 closes the connection
                    reply += chunk
                assert reply.startswith(b"HTTP/1.1 408"), reply[:200]
                assert "sent nothing for 4 s" in json.loads(reply.split(b"\r\n\r\n", 1)[1])["error"]
                sock.close()
            assert client.get("/healthz").json()["uploading"] == 0

            thin = cv2.imencode(".png", np.zeros((5000, 1, 3), np.uint8))[1].tobytes()
            for data, fields, status, says in [
                (thin, {"size": "100x100"}, 422, "cannot be fitted"),
                (JPEG[: len(JPEG) // 3], {}, 400, "cut short"),
                (jpeg_claiming(30000, 30000), {}, 413, "900.0 MP"),
            ]:
                sent, kind = multipart(data, **fields)
                answer = client.post("/v1/cutout", content=sent, headers={"Content-Type": kind})
                assert answer.status_code == status and says in answer.json()["error"], answer.text


# ---- fuzzing the readers -----------------------------------------------------------------------


def mutated(seed_bytes: bytes):
    return st.tuples(st.integers(0, len(seed_bytes)), st.lists(st.tuples(st.integers(0, len(seed_bytes) - 1),
                                                                         st.integers(0, 255)), max_size=8)).map(
        lambda cut_and_flips: _mutate(seed_bytes, *cut_and_flips))


def _mutate(data: bytes, cut: int, flips) -> bytes:
    data = bytearray(data)
    for where, value in flips:
        data[where] = value
    return bytes(data[:cut] if cut else data)


SMALL_PNG = cv2.imencode(".png", PHOTO[:24, :32])[1].tobytes()
SMALL_JPEG = cv2.imencode(".jpg", PHOTO[:24, :32])[1].tobytes()


@settings(max_examples=300, deadline=None)
@given(st.one_of(st.binary(max_size=512), mutated(SMALL_PNG), mutated(SMALL_JPEG)))
def test_decoding_any_bytes_gives_a_picture_or_an_image_error(data):
    try:
        image = imageio.decode_photo(data, 1_000_000)
    except imageio.ImageError as error:
        assert str(error)
    else:
        assert image.dtype == np.uint8 and image.ndim == 3 and image.shape[2] == 3


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=400), st.lists(st.integers(1, 64), max_size=6))
def test_the_form_parser_takes_any_body_without_crashing(body, cuts):
    import asyncio

    from portrait_studio.frontends.server import form
    from portrait_studio.frontends.server.errors import ClientError

    async def chunks():
        rest = body
        for cut in cuts:
            yield rest[:cut]
            rest = rest[cut:]
        yield rest

    async def parse():
        parts = await form.read_parts("multipart/form-data; boundary=b0undary", chunks(), 10_000)
        return form.cutout_form(parts, 4096)

    try:
        asyncio.run(parse())
    except ClientError as error:
        assert 400 <= error.status < 500 and error.message


def test_cut_short_check_agrees_with_decoding_whole_files():
    """The structural check passes every whole file the encoders write and
    refuses every cut of them, so a good photograph is decoded once only."""
    rng = np.random.default_rng(7)
    for extension, params in ((".jpg", []), (".jpg", [cv2.IMWRITE_JPEG_PROGRESSIVE, 1]),
                              (".jpg", [cv2.IMWRITE_JPEG_RST_INTERVAL, 2]), (".png", []), (".webp", [])):
        for _ in range(5):
            picture = rng.integers(0, 256, (int(rng.integers(8, 80)), int(rng.integers(8, 80)), 3), np.uint8)
            data = cv2.imencode(extension, picture, params)[1].tobytes()
            imageio.check_complete(data)
            for cut in sorted(set(rng.integers(20, len(data) - 1, 6))):
                with pytest.raises(imageio.DamagedPicture):
                    imageio.check_complete(data[:cut])

