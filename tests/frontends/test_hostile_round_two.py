"""The second round of hostile inputs: paths that would replace what the
user did not name, pictures that claim more than they are, and clients that
hold the service's places. Each row here is one way a file, a path or a
client broke the tool before; the tables put the front ends side by side."""

from __future__ import annotations

import contextlib
import json
import os
import resource
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

from portrait_studio.core import imageio

SAMPLE = Path(__file__).resolve().parents[2] / "samples" / "astronaut.png"
PHOTO = cv2.resize(cv2.imread(str(SAMPLE)), (64, 48))
PNG = cv2.imencode(".png", PHOTO)[1].tobytes()
JPEG = cv2.imencode(".jpg", PHOTO)[1].tobytes()
RAW_TEXT = ("Traceback", "cv2.error", imageio.TEMPORARY_PREFIX)


def snapshot(folder: Path) -> dict[str, bytes]:
    return {str(p.relative_to(folder)): p.read_bytes() if p.is_file() else oct(p.lstat().st_mode)
            for p in sorted(folder.rglob("*"))}


# ---- name it, own it: nothing the user did not name as an output is replaced ----------------------


def lay_out(tmp_path: Path) -> dict[str, Path]:
    """A photograph, a background picture, a folder of photographs and an
    output folder that already holds a picture."""
    (tmp_path / "photos").mkdir()
    (tmp_path / "out").mkdir()
    for name in ("a.jpg", "b.png"):
        (tmp_path / "photos" / name).write_bytes(JPEG if name.endswith("jpg") else PNG)
    (tmp_path / "photo.png").write_bytes(PNG)
    (tmp_path / "beach.jpg").write_bytes(JPEG)
    (tmp_path / "out" / "a.jpg").write_bytes(JPEG)
    os.link(tmp_path / "photo.png", tmp_path / "hard.png")
    os.mkfifo(tmp_path / "fifo.png")  # what a device or a pipe is: replacing it would break whoever reads it
    return {"fifo": tmp_path / "fifo.png", "photo": tmp_path / "photo.png", "beach": tmp_path / "beach.jpg", "photos": tmp_path / "photos",
            "out": tmp_path / "out", "hard": tmp_path / "hard.png"}


# what is run (paths by name from lay_out), words the refusal says
NEVER_REPLACED = {
    "--report names the photograph": (["photo", "-o", "T/o.png", "--report", "photo"], "overwrite the photograph"),
    "--report is a hard link to it": (["photo", "-o", "T/o.png", "--report", "hard"], "overwrite the photograph"),
    "--report names the background": (["photo", "-o", "T/o.png", "--background", "beach", "--report", "beach"],
                                      "overwrite the background picture"),
    "-o names the background": (["photo", "-o", "beach", "--background", "beach"], "overwrite the background picture"),
    "--report names -o": (["photo", "-o", "T/o.png", "--report", "T/o.png"], "each output needs a file of its own"),
    "--report names the model": (["photo", "-o", "T/o.png", "--report", "MODEL"], "overwrite the model"),
    "--report is a pipe": (["photo", "-o", "T/o.png", "--report", "fifo"], "is a pipe"),
    "-o is a pipe": (["photo", "-o", "fifo"], "is a pipe"),
    "--overlay names the background": (["photo", "-o", "T/o.jpg", "--id", "passport", "--background", "beach",
                                        "--overlay", "beach"], "overwrite the background picture"),
    "--overlay names --report": (["photo", "-o", "T/o.jpg", "--id", "passport", "--report", "T/r.png", "--overlay",
                                  "T/r.png"], "each output needs a file of its own"),
    "folder: --report names an input": (["photos", "-o", "out", "--report", "photos/a.jpg"], "overwrite the photograph"),
    "folder: --report names an output": (["photos", "-o", "out", "--report", "out/b.png"], "each output needs"),
    "folder: --report, resumed, names an output": (["photos", "-o", "out", "--skip-existing", "--report", "out/a.jpg"],
                                                   "each output needs"),
    "folder: an output names the background": (["photos", "-o", "out", "--background", "out/a.jpg"],
                                               "overwrite the background picture"),
    "folder: --report names the background": (["photos", "-o", "out", "--background", "beach", "--report", "beach"],
                                              "overwrite the background picture"),
}


@pytest.mark.parametrize("case", NEVER_REPLACED)
def test_no_output_replaces_an_input_another_output_or_a_special_file(run_cli, tmp_path, red_model, case):
    arguments, says = NEVER_REPLACED[case]
    paths = lay_out(tmp_path)
    (tmp_path / "T").mkdir()
    model = tmp_path / "T" / "model.onnx"  # a copy: the session's model must outlive a failure here
    model.write_bytes(Path(red_model).read_bytes())

    def path_of(word: str) -> str:
        if word == "MODEL":
            return str(model)
        if word in paths:
            return str(paths[word])
        return str(tmp_path / word) if "/" in word and not word.startswith("/") else word

    before = snapshot(tmp_path)
    result = run_cli(*map(path_of, arguments), "--model", model)
    assert result.returncode == 1, result.stdout
    assert says in result.stderr, result.stderr
    assert not any(text in result.stderr for text in RAW_TEXT), result.stderr
    assert snapshot(tmp_path) == before  # nothing replaced (the model neither), nothing new: refused before any work


@pytest.mark.parametrize("target, says", [("beach", "overwrite the background picture"), ("fifo", "is a pipe")])
def test_cutout_write_replaces_nothing_it_was_not_given_as_an_output(tmp_path, red_model, target, says):
    from portrait_studio import Cutout, Request
    from portrait_studio.core.background import picture_background

    paths = lay_out(tmp_path)
    before = snapshot(tmp_path)
    request = Request(matte="fast", background=picture_background(paths["beach"]))
    with pytest.raises(imageio.ImageError, match=says):
        Cutout(red_model).write(paths["photo"], paths[target], request)
    assert snapshot(tmp_path) == before


def test_an_overlay_that_cannot_be_written_is_refused_before_the_photo(run_cli, tmp_path):
    """The guide lines under /proc: refused before any work, so no ID photo
    is left on disk under a failure."""
    report = tmp_path / "run.jsonl"
    result = run_cli(SAMPLE, "-o", tmp_path / "passport.jpg", "--id", "passport", "--overlay", "/proc/guides.png",
                     "--report", report)
    assert result.returncode == 1 and "--overlay /proc/guides.png: cannot be written" in result.stderr, result.stderr
    assert not (tmp_path / "passport.jpg").exists() and not report.exists()


def test_the_photo_and_its_guide_lines_are_written_both_or_neither(tmp_path, monkeypatch):
    """When the guide lines fail at the very end, the photo is not left behind."""
    from portrait_studio import Cutout
    from portrait_studio.core.request import request_from_fields

    request = request_from_fields({"id": "passport"})
    real_replace = os.replace

    def replace(source, target):
        if str(target).endswith("guides.png"):
            raise OSError(28, "No space left on device")
        return real_replace(source, target)

    monkeypatch.setattr(os, "replace", replace)
    with pytest.raises(imageio.ImageError, match="guides.png: cannot be written"):
        Cutout().write(SAMPLE, tmp_path / "passport.jpg", request, overlay=tmp_path / "guides.png")
    assert os.listdir(tmp_path) == []


# ---- the report: opened first, resumed whole, its errors said plainly ----------------------------------


def read_lines(path: Path) -> list[dict]:
    return [json.loads(text) for text in path.read_text(encoding="utf-8").splitlines()]


def test_resuming_keeps_every_photograph_already_on_disk_in_the_report(run_cli, tmp_path, red_model):
    photos, out, report = tmp_path / "photos", tmp_path / "out", tmp_path / "run.jsonl"
    photos.mkdir()
    for index in range(3):
        cv2.imwrite(str(photos / f"p{index}.png"), np.roll(PHOTO, 9 * index, axis=1))
    first = run_cli(photos, "-o", out, "--matte", "fast", "--model", red_model, "--report", report)
    assert first.returncode == 0, first.stderr
    earlier = {line["output"]: line for line in read_lines(report)}
    # a run killed outright left its temporary: its line is salvaged, the file removed
    cv2.imwrite(str(photos / "p3.png"), PHOTO[:, ::-1])
    killed_line = {"input": str(photos / "p3.png"), "output": str(out / "p3.png"), "ok": True, "confidence": 0.75,
                   "review": False}
    run_cli(photos / "p3.png", "-o", out / "p3.png", "--matte", "fast", "--model", red_model)
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    leftover = tmp_path / f"{imageio.TEMPORARY_PREFIX}report-{dead.stdout.strip()}-0123abcd-run.jsonl"
    leftover.write_text(json.dumps(killed_line) + "\n" + '{"input": "cut sh', encoding="utf-8")
    cv2.imwrite(str(photos / "p4.png"), PHOTO[::-1])
    second = run_cli(photos, "-o", out, "--matte", "fast", "--model", red_model, "--report", report, "--skip-existing")
    assert second.returncode == 0, second.stderr
    lines = {line["output"]: line for line in read_lines(report)}
    assert set(lines) == {str(out / f"p{index}.png") for index in range(5)}
    for output, line in earlier.items():
        assert lines[output] == line  # confidence and review as measured the first time
    assert lines[str(out / "p3.png")] == killed_line
    assert lines[str(out / "p4.png")]["confidence"] is not None
    assert not leftover.exists()
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(imageio.TEMPORARY_PREFIX)]


def test_a_run_killed_outright_loses_no_line_on_resuming(cli, tmp_path, red_model):
    import signal
    import time

    photos, out, report = tmp_path / "photos", tmp_path / "out", tmp_path / "run.jsonl"
    photos.mkdir()
    big = cv2.resize(PHOTO, (640, 480))
    for index in range(40):
        cv2.imwrite(str(photos / f"p{index:02d}.png"), np.roll(big, 11 * index, axis=1))
    child = subprocess.Popen([cli, str(photos), "-o", str(out), "--matte", "fast", "--model", str(red_model), "-j", "1",
                              "--report", str(report)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 120

    def lines_so_far() -> int:
        temporaries = [p for p in tmp_path.iterdir() if p.name.startswith(imageio.TEMPORARY_PREFIX)]
        return sum(p.read_text(encoding="utf-8").count("\n") for p in temporaries)

    while lines_so_far() < 2:
        assert time.monotonic() < deadline and child.poll() is None
        time.sleep(0.02)
    child.send_signal(signal.SIGKILL)
    child.communicate(timeout=30)
    assert not report.exists()  # the killed run's lines are only in its temporary
    resumed = subprocess.run([cli, str(photos), "-o", str(out), "--matte", "fast", "--model", str(red_model),
                              "--report", str(report), "--skip-existing"], capture_output=True, text=True, timeout=300)
    assert resumed.returncode == 0, resumed.stderr
    lines = read_lines(report)
    written = sorted(str(p) for p in out.iterdir() if not p.name.startswith(imageio.TEMPORARY_PREFIX))
    assert sorted(line["output"] for line in lines) == written and len(written) == 40
    measured = [line for line in lines if line.get("confidence") is not None]
    # those the killed run reported keep their confidence; at most the one it
    # was writing down when killed is known only to be there
    assert len(measured) >= 39 and all(line.get("skipped") for line in lines if line not in measured)
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(imageio.TEMPORARY_PREFIX)]


def test_a_report_that_cannot_be_written_is_said_plainly(run_cli, tmp_path, red_model):
    photos = tmp_path / "photos"
    photos.mkdir()
    for index in range(24):
        cv2.imwrite(str(photos / f"p{index:02d}.jpg"), np.roll(PHOTO[:16, :16], index, axis=0))
    (tmp_path / "taken").mkdir()
    refused = run_cli(photos, "-o", tmp_path / "out", "--model", red_model, "--report", tmp_path / "taken")
    assert refused.returncode == 1 and "taken is a folder" in refused.stderr, refused.stderr
    assert not (tmp_path / "out").exists()  # refused before any work

    def small_files():  # a file system that fills up: no file may pass 2 KB
        resource.setrlimit(resource.RLIMIT_FSIZE, (2048, 2048))

    report = tmp_path / "run.jsonl"
    full = subprocess.run([sys.executable, "-m", "portrait_studio.frontends.cli", str(photos), "-o",
                           str(tmp_path / "out"), "--matte", "model", "--model", str(red_model), "--report",
                           str(report), "-j", "1"], capture_output=True, text=True, timeout=300, preexec_fn=small_files)
    assert full.returncode == 1
    assert "run.jsonl: the report stops short" in full.stderr and "could not be written" in full.stderr, full.stderr
    assert "Traceback" not in full.stderr
    assert len(list((tmp_path / "out").iterdir())) == 24  # the pictures are all there
    lines = read_lines(report)  # the lines that fitted, each whole
    assert 0 < len(lines) < 24 and all(line["ok"] for line in lines)


# ---- the service: slow and silent clients cannot lock others out ---------------------------------------


class InstantEngine:
    """Stands in for a Cutout without a model."""

    def produce(self, photo, request):
        from portrait_studio import Output

        return Output(photo)


def upload(data: bytes) -> tuple[bytes, str]:
    boundary = "b0undary"
    body = (f'--{boundary}\r\nContent-Disposition: form-data; name="image"; filename="p.png"\r\n'
            "Content-Type: image/png\r\n\r\n").encode() + data + f"\r\n--{boundary}--\r\n".encode()
    return body, f"multipart/form-data; boundary={boundary}"


def trickle(sockets, every_s: float, until: float) -> None:
    """One byte on each socket every `every_s` seconds, as long as it takes them."""
    import time

    while sockets and time.monotonic() < until:
        for sock in list(sockets):
            try:
                sock.sendall(b"x")
            except OSError:
                sockets.remove(sock)
        time.sleep(every_s)


# settings, the words of the 408
PACING = {
    "falls behind the minimum rate": ({"upload_min_rate": 1000, "upload_grace_s": 1.0}, "slower than 1 kB/s"),
    "passes the overall deadline": ({"upload_deadline_s": 2.0, "upload_min_rate": 0}, "longer than 2 s"),
}


@pytest.mark.parametrize("case", PACING)
def test_uploads_that_trickle_are_dropped_and_others_get_through(serve_in_thread, case):
    import socket
    import threading
    import time

    import httpx

    from portrait_studio.frontends.server.app import create_app
    from portrait_studio.frontends.server.settings import Settings

    pace, says = PACING[case]
    settings = Settings(workers=1, queue=1, max_uploads=6, upload_idle_timeout_s=15, **pace)
    body, content_type = upload(PNG)
    with serve_in_thread(create_app(settings, engines=[InstantEngine()])) as url:
        port = int(url.rsplit(":", 1)[1])
        slow = []
        for _ in range(6):  # every upload place: each sends a byte every 0.3 s, never idle for 15 s
            sock = socket.create_connection(("127.0.0.1", port))
            sock.sendall(f"POST /v1/cutout HTTP/1.1\r\nHost: x\r\nContent-Length: {len(body)}\r\n"
                         f"Content-Type: {content_type}\r\n\r\n".encode() + body[:50])
            slow.append(sock)
        feeding = threading.Thread(target=trickle, args=(list(slow), 0.3, time.monotonic() + 20), daemon=True)
        feeding.start()
        with httpx.Client(base_url=url, timeout=30) as client:
            deadline = time.monotonic() + 5
            while client.get("/healthz").json()["uploading"] < 6 and time.monotonic() < deadline:
                time.sleep(0.05)
            assert client.get("/healthz").json()["uploading"] == 6
            assert client.post("/v1/cutout", content=body, headers={"Content-Type": content_type}).status_code == 503
            for sock in slow:
                sock.settimeout(10)
                reply = b""
                with contextlib.suppress(OSError):
                    while chunk := sock.recv(4096):
                        reply += chunk
                assert reply.startswith(b"HTTP/1.1 408"), reply[:200]
                assert says in json.loads(reply.split(b"\r\n\r\n", 1)[1])["error"]
                sock.close()
            answer = client.post("/v1/cutout", content=body, headers={"Content-Type": content_type})
            assert answer.status_code == 200, answer.text
            assert client.get("/healthz").json()["uploading"] == 0
        feeding.join(25)


def closed_by_the_server(sock, within_s: float) -> bool:
    """True when the server closes `sock` (an end of stream or a reset) within the time; False when it stays open."""

    sock.settimeout(within_s)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True
    except TimeoutError:
        return False


def test_silent_connections_are_closed_and_capped(serve_in_thread):
    import socket
    import time

    import httpx

    from portrait_studio.frontends.server.app import create_app
    from portrait_studio.frontends.server.settings import Settings

    settings = Settings(workers=1, header_timeout_s=1.5, max_connections=20)
    with serve_in_thread(create_app(settings, engines=[InstantEngine()]), settings) as url:
        port = int(url.rsplit(":", 1)[1])
        silent = [socket.create_connection(("127.0.0.1", port)) for _ in range(40)]
        # past the cap: closed at once, unread
        assert all(closed_by_the_server(sock, 1.0) for sock in silent[20:])
        # within it: open until their time to send a request is up, then closed
        assert not closed_by_the_server(silent[0], 0.5)
        assert all(closed_by_the_server(sock, 3.0) for sock in silent[:20])
        # headers a byte at a time are no way round it
        half = socket.create_connection(("127.0.0.1", port))
        started = time.monotonic()
        with contextlib.suppress(OSError):
            for byte in b"GET /healthz HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"y" * 40:
                half.sendall(bytes([byte]))
                time.sleep(0.05)
        assert closed_by_the_server(half, 3.0) and time.monotonic() - started < 4.5
        for sock in [*silent, half]:
            sock.close()
        with httpx.Client(base_url=url, timeout=5) as client:
            for _ in range(3):  # kept alive between requests, each answered
                assert client.get("/healthz").status_code == 200


# ---- pictures that claim more than they are, or are read wrongly --------------------------------------


def turned_picture() -> np.ndarray:
    """512 wide, 320 high, its top band green: tells a turn from a mirror."""
    picture = np.full((320, 512, 3), (30, 30, 200), np.uint8)
    picture[:60] = (30, 200, 30)
    picture[:, :40] = (200, 30, 30)
    return picture


@pytest.mark.parametrize("as_engine", [False, True])
def test_a_turned_avif_comes_out_upright_as_the_same_heic_does(tmp_path, as_engine):
    """The same picture stored turned, with an irot box saying so (EXIF orientation 6 on saving)."""
    from PIL import Image

    image_module = imageio.pillow()
    stored = cv2.rotate(turned_picture(), cv2.ROTATE_90_COUNTERCLOCKWISE)  # 320 wide, 512 high
    exif = Image.Exif()
    exif[0x0112] = 6  # shown turned 90 degrees clockwise: upright again
    for kind in ("heic", "avif"):
        buffer = tmp_path / f"turned.{kind}"
        image_module.fromarray(np.ascontiguousarray(stored[:, :, ::-1])).save(buffer, quality=95, exif=exif.tobytes())
        decoded = imageio.decode_photo(buffer.read_bytes(), as_engine=as_engine)
        assert decoded.shape == (320, 512, 3), kind
        assert np.abs(decoded.astype(int) - turned_picture()).mean() < 12, kind


def test_the_engines_picture_of_a_turned_avif_is_upright(tmp_path, red_model):
    from PIL import Image

    from portrait_studio import Cutout, Request

    exif = Image.Exif()
    exif[0x0112] = 6
    source = tmp_path / "turned.avif"
    stored = cv2.rotate(turned_picture(), cv2.ROTATE_90_COUNTERCLOCKWISE)
    imageio.pillow().fromarray(np.ascontiguousarray(stored[:, :, ::-1])).save(source, quality=95, exif=exif.tobytes())
    Cutout(red_model).write(source, tmp_path / "out.png", Request(matte="model"))
    assert cv2.imread(str(tmp_path / "out.png")).shape == (320, 512, 3)


GREY = np.tile(np.arange(0, 256, 4, dtype=np.uint8), (16, 1))  # 64 wide, every fourth level


@pytest.mark.parametrize("mode, values, expected", [
    ("F", GREY.astype(np.float32), GREY),  # Pillow's convert("F") of an 8-bit picture
    ("I", GREY.astype(np.int32), GREY),  # 8-bit values held in 32 bits
    ("F", GREY.astype(np.float32) + 0.4, GREY),  # rounded to nearest
])
def test_wide_grey_pil_images_holding_8_bit_values_keep_them(mode, values, expected):
    from PIL import Image

    picture = Image.fromarray(values, mode) if mode != "I" else Image.fromarray(values.astype(np.int32))
    assert picture.mode == mode
    bgr = imageio.pil_to_bgr(picture)
    assert np.array_equal(bgr[:, :, 0], expected) and np.array_equal(bgr[:, :, 2], expected)
    # 16-bit values are still read as 16-bit: their high byte
    wide = Image.fromarray(GREY.astype(np.int32) * 257)
    assert np.array_equal(imageio.pil_to_bgr(wide)[:, :, 1], GREY)


def png_with_profile(profile: bytes, picture: np.ndarray = PHOTO) -> bytes:
    from PIL import Image

    buffer = __import__("io").BytesIO()
    Image.fromarray(np.ascontiguousarray(picture[:, :, ::-1])).save(buffer, "PNG", icc_profile=profile)
    return buffer.getvalue()


def test_a_png_with_a_large_colour_profile_is_read_and_converted():
    from PIL import ImageCms

    srgb = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    padding = np.random.default_rng(3).integers(0, 256, 2_000_000, dtype=np.uint8).tobytes()
    large = png_with_profile(srgb + padding)  # a profile of 2 MB, past Pillow's 1 MB cap
    assert len(large) > 2_000_000
    plain = cv2.imencode(".png", PHOTO)[1].tobytes()
    assert imageio.check_photo_bytes(large) == (64, 48)
    assert np.array_equal(imageio.decode_photo(large), imageio.decode_photo(plain))
    from portrait_studio.frontends.server import limits

    assert limits.check_pixels(large, 1_000_000) == (64, 48)  # the service takes it too
    # a profile that would inflate past any profile's size is refused, not inflated
    with pytest.raises(imageio.DamagedPicture, match="colour profile is over 16 MB"):
        imageio.decode_photo(png_with_profile(srgb + bytes(40_000_000)))


def test_covering_a_thin_picture_scales_only_what_shows(monkeypatch):
    """1 x 3000 covering 512 x 512: nothing bigger than the output is made."""
    from portrait_studio.core import backdrop

    thin = np.zeros((3000, 1, 3), np.uint8)
    thin[:, :, 1] = np.linspace(0, 255, 3000).astype(np.uint8)[:, None]
    asked = []
    real = cv2.resize

    def resize(picture, size, *args, **kwargs):
        asked.append((picture.shape[:2], size))
        return real(picture, size, *args, **kwargs)

    monkeypatch.setattr(backdrop.cv2, "resize", resize)
    covered = backdrop.cover(thin, 512, 512)
    assert covered.shape == (512, 512, 3)
    assert all(size[0] * size[1] <= 512 * 512 for _, size in asked) and asked[0][0] == (1, 1)
    # the centre row of the picture, spread over the output
    assert np.abs(covered[:, :, 1].astype(int) - int(thin[1500, 0, 1])).max() <= 1
    # against scaling first, then cropping, where that is affordable
    wide = np.random.default_rng(5).integers(0, 256, (90, 160, 3), np.uint8)
    for width, height in ((64, 64), (300, 100), (160, 90), (40, 200)):
        scale = max(width / 160, height / 90)
        reference = real(wide, (max(width, round(160 * scale)), max(height, round(90 * scale))),
                         interpolation=cv2.INTER_LINEAR if scale > 1 else cv2.INTER_AREA)
        top, left = (reference.shape[0] - height) // 2, (reference.shape[1] - width) // 2
        reference = reference[top : top + height, left : left + width]
        ours = backdrop.cover(wide, width, height)
        assert ours.shape == reference.shape
        assert np.abs(cv2.blur(ours, (9, 9)).astype(int) - cv2.blur(reference, (9, 9))).mean() < 6


@pytest.fixture
def odd_files(tmp_path):
    sparse = tmp_path / "huge.jpg"
    with open(sparse, "wb") as file:  # 3 GB that take no disk: a header, then a hole
        file.write(JPEG[:200])
        file.truncate(3 * 1000**3)
    os.mkfifo(tmp_path / "pipe.png")  # nobody writes to it: reading it would wait for ever
    return {"sparse": sparse, "pipe": tmp_path / "pipe.png", "zero": Path("/dev/zero")}


# where the file is given, which file, the refusal's words
NOT_READ = [
    ("photo", "sparse", "is more than a picture within the pixel limit can take"),
    ("photo", "pipe", "not a regular file"),
    ("background", "sparse", "is more than a picture within the pixel limit can take"),
    ("background", "zero", "not a regular file"),
    ("background", "pipe", "not a regular file"),
]


@pytest.mark.parametrize("where, which, says", NOT_READ)
def test_files_are_checked_before_they_are_read(run_cli, tmp_path, red_model, odd_files, where, which, says):
    photo = tmp_path / "photo.png"
    photo.write_bytes(PNG)
    given = odd_files[which]
    arguments = [given, "-o", tmp_path / "o.png"] if where == "photo" else [photo, "-o", tmp_path / "o.png",
                                                                           "--background", given]
    result = run_cli(*arguments, "--model", red_model)
    assert result.returncode in (1, 2) and says in result.stderr, result.stderr
    assert "MemoryError" not in result.stderr and "Traceback" not in result.stderr
    assert not (tmp_path / "o.png").exists()
    import portrait_studio

    with pytest.raises((imageio.ImageError, portrait_studio.RequestError), match=says):
        if where == "photo":
            portrait_studio.cut_out(given, model=red_model)
        else:
            portrait_studio.cut_out(photo, background=given, model=red_model)


def test_a_header_claiming_too_many_pixels_is_refused_before_the_rest_is_read(tmp_path, monkeypatch):
    """200 MB (within the size bound) behind a header that claims 30000 x 30000."""
    header = bytearray(cv2.imencode(".jpg", np.zeros((16, 16, 3), np.uint8))[1].tobytes())
    frame = header.index(b"\xff\xc0")
    header[frame + 5 : frame + 9] = (30000).to_bytes(2, "big") * 2
    bomb = tmp_path / "bomb.jpg"
    with open(bomb, "wb") as file:
        file.write(header)
        file.truncate(200 * 1000**2)
    reads = []
    real_open = open

    class Counted:
        def __init__(self, file):
            self.file = file

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            self.file.close()

        def read(self, size=-1):
            reads.append(size)
            return self.file.read(size)

    monkeypatch.setattr(imageio, "open", lambda *a, **k: Counted(real_open(*a, **k)), raising=False)
    with pytest.raises(imageio.TooManyPixels, match="900.0 MP"):
        imageio.read_photo(bomb)
    assert reads == []  # the header came from the file's first bytes alone
    monkeypatch.undo()
    small = tmp_path / "fine.png"  # a picture that passes is read whole, as before
    small.write_bytes(PNG + bytes(300_000))
    assert imageio.read_bytes(small) == PNG + bytes(300_000)


def test_max_pixels_applies_to_background_pictures(run_cli, tmp_path, red_model):
    import portrait_studio

    photo, beach = tmp_path / "photo.png", tmp_path / "beach.png"
    photo.write_bytes(PNG)
    beach.write_bytes(cv2.imencode(".png", np.full((1000, 1000, 3), 90, np.uint8))[1].tobytes())
    lowered = run_cli(photo, "-o", tmp_path / "o.png", "--background", beach, "--max-pixels", "500000",
                      "--model", red_model)
    assert lowered.returncode == 1 and "beach.png is 1000 x 1000 pixels" in lowered.stderr, lowered.stderr
    assert "(--max-pixels)" in lowered.stderr and not (tmp_path / "o.png").exists()
    with pytest.raises(portrait_studio.RequestError, match="over the limit of 0.5 MP"):
        portrait_studio.cut_out(photo, background=beach, max_pixels=500_000, model=red_model)
    # raised past the default, a bigger picture is taken
    big = cv2.imencode(".png", np.full((6500, 6500, 3), 90, np.uint8))[1].tobytes()
    with pytest.raises(portrait_studio.RequestError, match="over the limit of 40 MP"):
        portrait_studio.cut_out(PNG, background=big, matte="model", model=red_model)
    picture = portrait_studio.cut_out(PHOTO, background=big, matte="model", model=red_model, max_pixels=50_000_000)
    assert picture.shape == PHOTO.shape
    # and the service's own limit, raised, for its uploads
    from fastapi.testclient import TestClient

    from portrait_studio import Cutout
    from portrait_studio.frontends.server import Settings, create_app

    app = create_app(Settings(workers=1, max_pixels=50_000_000), engines=[Cutout(red_model)])
    with TestClient(app) as client:
        answer = client.post("/v1/cutout", data={"matte": "model"},
                             files={"image": ("p.png", PNG, "image/png"), "background_picture": ("b.png", big, "image/png")})
    assert answer.status_code == 200, answer.text
    assert cv2.imdecode(np.frombuffer(answer.content, np.uint8), cv2.IMREAD_COLOR).shape == PHOTO.shape


EMPTY_OR_HUGE = {
    "an array over max_pixels": (lambda: np.zeros((300, 300, 3), np.uint8), {"max_pixels": 1000}, "over the limit"),
    "an empty PIL image": (lambda: __import__("PIL.Image").Image.new("RGB", (0, 0)), {}, "is empty"),
    "an empty array": (lambda: np.zeros((0, 5, 3), np.uint8), {}, "is empty"),
    "an empty PIL background": (lambda: PHOTO, {"background": "EMPTY_PIL"}, "is empty"),
}


@pytest.mark.parametrize("case", EMPTY_OR_HUGE)
def test_in_memory_pictures_meet_the_same_limits_as_files(red_model, case):
    from PIL import Image

    import portrait_studio

    make, options, says = EMPTY_OR_HUGE[case]
    if options.get("background") == "EMPTY_PIL":
        options = {"background": Image.new("RGB", (0, 0))}
    with pytest.raises((imageio.ImageError, portrait_studio.RequestError), match=says) as raised:
        portrait_studio.cut_out(make(), matte="model", model=red_model, **options)
    assert "cv2" not in type(raised.value).__module__


# ---- a HEIC damaged inside its coded image: libheif's decoder hides it, a second decoder does not ----


def heic_bytes(width: int, height: int, quality: int = 80, **options) -> bytes:
    import io

    picture = cv2.resize(cv2.imread(str(SAMPLE)), (width, height), interpolation=cv2.INTER_CUBIC)
    buffer = io.BytesIO()
    imageio.pillow().fromarray(np.ascontiguousarray(picture[:, :, ::-1])).save(buffer, format="HEIF", quality=quality,
                                                                               **options)
    return buffer.getvalue()


def coded_extents(data: bytes) -> list[tuple[int, int]]:
    """(offset, length) of every item's data in the file, as iloc places it."""
    from portrait_studio.core import heif_check

    top = heif_check._children(data, 0, len(data))
    start, end = top[b"meta"]
    meta = heif_check._children(data, start + 4, end)
    places = heif_check._locations(data, meta[b"iloc"][0], meta.get(b"idat"))
    return [piece for pieces in places.values() for piece in pieces]


def damage_inside(data: bytes, seed: int, size: int = 2000) -> bytes:
    """`size` random bytes written inside one coded image (a tile, for a
    grid), never over a box."""
    import random

    rng = random.Random(seed)
    pieces = [piece for piece in coded_extents(data) if piece[1] > size + 600]
    offset, length = pieces[rng.randrange(len(pieces))]
    at = offset + rng.randrange(200, length - size - 200)
    return data[:at] + rng.randbytes(size) + data[at + size :]


HEICS = {
    "plain 640 x 480": lambda: heic_bytes(640, 480),
    "plain, quality 95": lambda: heic_bytes(800, 600, quality=95),
    "grid of 256 tiles": lambda: heic_bytes(1000, 750, tile_size=256),
}


@pytest.fixture(scope="module")
def heics():
    pytest.importorskip("av")
    return {name: make() for name, make in HEICS.items()}


def test_the_damage_lands_inside_the_coded_data_and_libheif_hides_it(heics):
    """Why the check exists: libheif reads the damaged file without an error."""
    import io

    for clean in heics.values():
        damaged = damage_inside(clean, 1)
        changed = [i for i in range(len(clean)) if clean[i] != damaged[i]]
        assert any(offset <= changed[0] and changed[-1] < offset + length for offset, length in coded_extents(clean))
        with imageio.pillow().open(io.BytesIO(damaged)) as picture:
            picture.load()  # no error: the broken blocks are concealed


# Damage that FFmpeg's decoder reads without an error and into the same
# picture libheif makes goes unseen: one such case is kept, to notice a change.
KNOWN_MISS = pytest.mark.xfail(strict=True, reason="both decoders read this damage alike")


@pytest.mark.parametrize("name, seed", [
    pytest.param(name, seed, marks=KNOWN_MISS if (name, seed) == ("grid of 256 tiles", 1) else ())
    for name in HEICS for seed in (1, 2, 3, 4)
])
def test_a_heic_damaged_inside_is_refused_by_every_front_end_and_its_clean_twin_is_not(
        run_cli, tmp_path, red_model, heics, name, seed):
    import portrait_studio

    clean = heics[name]
    (tmp_path / "clean.heic").write_bytes(clean)
    (tmp_path / "damaged.heic").write_bytes(damage_inside(clean, seed))
    refused = run_cli(tmp_path / "damaged.heic", "-o", tmp_path / "d.png", "--model", red_model)
    assert refused.returncode in (1, 2) and "cut short or damaged" in refused.stderr, refused.stderr
    assert not (tmp_path / "d.png").exists() and "Traceback" not in refused.stderr
    with pytest.raises(imageio.DamagedPicture, match="cut short or damaged"):
        portrait_studio.cut_out(tmp_path / "damaged.heic", model=red_model)
    with pytest.raises(imageio.DamagedPicture):
        portrait_studio.cut_out((tmp_path / "damaged.heic").read_bytes(), model=red_model)
    if seed == 2:  # the clean file through the same doors, once per kind
        accepted = run_cli(tmp_path / "clean.heic", "-o", tmp_path / "c.png", "--model", red_model)
        assert accepted.returncode == 0, accepted.stderr
        assert cv2.imread(str(tmp_path / "c.png")).shape[:2] == imageio.decode_photo(clean).shape[:2]
        assert portrait_studio.cut_out(clean, model=red_model)


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview])
def test_the_heic_check_takes_every_buffer_the_front_ends_hand_over(heics, kind):
    """The service decodes a view of its upload, the API the caller's bytes."""
    clean = heics["plain 640 x 480"]
    assert imageio.decode_photo(kind(bytearray(clean))).shape == (480, 640, 3)
    with pytest.raises(imageio.DamagedPicture):
        imageio.decode_photo(kind(bytearray(damage_inside(clean, 2))))


@pytest.mark.parametrize("quality", [30, 60, 90, 100])
def test_clean_heics_of_every_quality_decode_alike_in_both_decoders(heics, quality):
    """No false alarm where the encoder's choices differ: plain and tiled."""
    for options in ({}, {"tile_size": 256}):
        data = heic_bytes(720, 540, quality=quality, **options)
        assert imageio.decode_photo(data).shape == (540, 720, 3)


def test_without_pyav_a_damaged_heic_is_read_as_before(heics, monkeypatch):
    from portrait_studio.core import heif_check

    monkeypatch.setattr(heif_check, "available", lambda: False)
    damaged = damage_inside(heics["plain 640 x 480"], 1)
    assert imageio.decode_photo(damaged).shape == (480, 640, 3)


@pytest.mark.parametrize("orientation", range(1, 9))
def test_turned_and_mirrored_heics_are_compared_as_shown(orientation):
    """irot and imir (written for each EXIF orientation) turn libheif's
    picture: the second decoder's must be turned alike, or every turned
    photograph would be a false alarm and a damaged one would pass."""
    import io

    pytest.importorskip("av")
    from PIL import Image

    exif = Image.Exif()
    exif[0x0112] = orientation
    buffer = io.BytesIO()
    imageio.pillow().fromarray(np.ascontiguousarray(PHOTO_640[:, :, ::-1])).save(buffer, format="HEIF", quality=80,
                                                                                 exif=exif.tobytes())
    clean = buffer.getvalue()
    assert imageio.decode_photo(clean).shape[:2] in ((480, 640), (640, 480))
    with pytest.raises(imageio.DamagedPicture):
        imageio.decode_photo(damage_inside(clean, orientation))


PHOTO_640 = cv2.resize(cv2.imread(str(SAMPLE)), (640, 480))
