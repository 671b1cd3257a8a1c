"""Broken, odd and hostile files: each gives a clear exception or the
documented result, never a crash, and a failed run writes nothing and leaves
the engine working."""

from __future__ import annotations

import math
import resource
import struct
import subprocess
import sys
import textwrap
import traceback
import zlib

import cv2
import numpy as np
import onnxruntime
import pytest

ORT_ERRORS = onnxruntime.capi.onnxruntime_pybind11_state
IMAGE_ENTRY = ("portrait_main", "portrait_main.QuorinPortraitMain._image")


def method_entries(error):
    return [(f.filename, f.name) for f in traceback.extract_tb(error.__traceback__) if f.filename == "portrait_main"]


def png_claiming(width, height):
    """A PNG whose header, with a correct CRC, claims `width` x `height`
    colour pixels, followed by a few bytes of image data."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"\x00" * 301))
            + chunk(b"IEND", b""))


def encoded(photo_files, extension):
    ok, data = cv2.imencode(extension, cv2.imread(photo_files["astronaut.png"]))
    assert ok
    return data.tobytes()


@pytest.fixture(scope="module")
def reference_run(reference, red_model):
    """The picture a red-matte engine writes, by the reference pipeline."""
    session = onnxruntime.InferenceSession(str(red_model))
    return lambda photo, size: reference.matting_run(str(photo), session.run, size)


@pytest.fixture
def fresh(pm, red_model):
    return pm.QuorinPortraitMain(str(red_model))


def assert_still_works(engine, photo_files, folder):
    out = folder / "after.png"
    engine._image(photo_files["small_17x21.png"], str(out), (32, 24))
    assert cv2.imread(str(out)).shape == (24, 32, 3)


# --- photographs -------------------------------------------------------------

UNREADABLE = {
    "zero-byte file": ("empty.jpg", lambda files: b""),
    "truncated PNG": ("cut.png", lambda files: encoded(files, ".png")[:5000]),
    "JPEG cut inside its header": ("cut.jpg", lambda files: encoded(files, ".jpg")[:200]),
    "text file named .jpg": ("notes.jpg", lambda files: b"not a photograph, just words\n" * 20),
    "PNG claiming 100000 x 100000": ("huge.png", lambda files: png_claiming(100_000, 100_000)),
}


@pytest.mark.parametrize("case", UNREADABLE)
def test_unreadable_photograph_is_opencvs_error(fresh, photo_files, tmp_path, case):
    name, content = UNREADABLE[case]
    photo = tmp_path / name
    photo.write_bytes(content(photo_files))
    out = tmp_path / "out.png"
    with pytest.raises(cv2.error) as caught:
        fresh._image(str(photo), str(out), (64, 48))
    assert method_entries(caught.value) == [IMAGE_ENTRY]
    assert sorted(p.name for p in tmp_path.iterdir()) == [name]
    assert_still_works(fresh, photo_files, tmp_path)


def test_directory_as_photograph(fresh, photo_files, tmp_path):
    folder = tmp_path / "photo.png"
    folder.mkdir()
    with pytest.raises(cv2.error):
        fresh._image(str(folder), str(tmp_path / "out.png"))
    assert [p.name for p in tmp_path.iterdir()] == ["photo.png"]
    assert_still_works(fresh, photo_files, tmp_path)


def peak_memory_of_a_run(red_model, photo, out):
    """Peak resident memory (KiB) of a fresh interpreter that runs the
    engine on `photo` once, and whether OpenCV refused the photograph."""
    code = f"""
        import resource, cv2, portrait_main
        engine = portrait_main.QuorinPortraitMain({str(red_model)!r})
        try:
            engine._image({str(photo)!r}, {str(out)!r}, (64, 48))
            outcome = "written"
        except cv2.error:
            outcome = "refused"
        print(outcome, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    outcome, peak_kib = result.stdout.split()
    return outcome, int(peak_kib)


def test_huge_header_is_refused_before_any_large_allocation(red_model, photo_files, tmp_path):
    # Each in a process of its own, so that a peak is that run's alone.
    photo = tmp_path / "huge.png"
    photo.write_bytes(png_claiming(100_000, 100_000))
    outcome, peak = peak_memory_of_a_run(red_model, photo, tmp_path / "out.png")
    assert outcome == "refused"
    assert not (tmp_path / "out.png").exists()
    outcome, baseline = peak_memory_of_a_run(red_model, photo_files["small_17x21.png"], tmp_path / "small.png")
    assert outcome == "written"
    assert peak - baseline < 256 * 1024  # the picture alone would be 30 GB


def test_truncated_jpeg_is_processed_as_opencv_reads_it(fresh, reference_run, photo_files, tmp_path):
    # libjpeg fills in what is missing and OpenCV reads a whole picture.
    photo = tmp_path / "cut.jpg"
    data = encoded(photo_files, ".jpg")
    photo.write_bytes(data[: len(data) // 2])
    out = tmp_path / "out.png"
    fresh._image(str(photo), str(out), (64, 48))
    assert np.array_equal(cv2.imread(str(out)), reference_run(photo, (64, 48)))


@pytest.mark.parametrize("size", [None, (64, 48)], ids=["own-size", "letterboxed"])
def test_paths_with_spaces_and_other_scripts_work(fresh, reference_run, photo_files, tmp_path, size):
    folder = tmp_path / "Fotos für Zoë" / "été 2024 – 写真"
    folder.mkdir(parents=True)
    photo = folder / "my photo #1 (copy) ñ.png"
    photo.write_bytes(open(photo_files["small_17x21.png"], "rb").read())
    out = folder / "portrait, white 白.png"
    assert fresh._image(str(photo), str(out), size) is None
    assert sorted(p.name for p in folder.iterdir()) == sorted([photo.name, out.name])
    written = cv2.imdecode(np.fromfile(out, np.uint8), cv2.IMREAD_UNCHANGED)
    assert np.array_equal(written, reference_run(photo, size))


@pytest.mark.parametrize("save_name", ["existing-folder.png", "out.png/"], ids=["folder", "trailing-slash"])
def test_save_path_that_cannot_be_a_file(fresh, photo_files, tmp_path, save_name):
    (tmp_path / "existing-folder.png").mkdir()
    save_path = str(tmp_path) + "/" + save_name
    with pytest.raises(OSError) as caught:
        fresh._image(photo_files["small_17x21.png"], save_path, (32, 24))
    assert str(caught.value) == f"could not write the image to {save_path!r}"
    assert [p.name for p in tmp_path.iterdir()] == ["existing-folder.png"]
    assert list((tmp_path / "existing-folder.png").iterdir()) == []


def test_photograph_too_thin_for_the_letterbox(fresh, photo_files, tmp_path):
    # One column into 512 x 512 scales to int(0.512) = 0 columns.
    photo = tmp_path / "thread.png"
    assert cv2.imwrite(str(photo), np.full((1000, 1, 3), 90, np.uint8))
    out = tmp_path / "out.png"
    with pytest.raises(cv2.error) as caught:
        fresh._image(str(photo), str(out), (512, 512))
    assert method_entries(caught.value) == [IMAGE_ENTRY, ("portrait_main",
                                                          "portrait_main.QuorinPortraitMain._process_image")]
    assert not out.exists()
    fresh._image(str(photo), str(out))  # at its own size it is fine
    assert cv2.imread(str(out)).shape == (1000, 1, 3)


# --- models --------------------------------------------------------------------

BAD_MODEL_FILES = {
    "text file": (lambda folder, good: folder.joinpath("m.onnx").write_text("not a model"),
                  ORT_ERRORS.InvalidProtobuf),
    "zero-byte file": (lambda folder, good: folder.joinpath("m.onnx").write_bytes(b""),
                       ORT_ERRORS.InvalidArgument),
    "truncated model": (lambda folder, good: folder.joinpath("m.onnx").write_bytes(good.read_bytes()[:150]),
                        ORT_ERRORS.InvalidProtobuf),
    "directory": (lambda folder, good: folder.joinpath("m.onnx").mkdir(), ORT_ERRORS.InvalidProtobuf),
    "missing file": (lambda folder, good: None, ORT_ERRORS.NoSuchFile),
}


@pytest.mark.parametrize("case", BAD_MODEL_FILES)
def test_model_file_that_is_not_a_model(pm, red_model, photo_files, tmp_path, case):
    make, error = BAD_MODEL_FILES[case]
    make(tmp_path, red_model)
    path = str(tmp_path / "m.onnx")
    with pytest.raises(error):
        pm.QuorinPortraitMain(path)
    engine = pm.QuorinPortraitMain(str(red_model))
    session = engine._session
    with pytest.raises(error):
        engine._set_model(path)
    assert engine._session is session
    assert_still_works(engine, photo_files, tmp_path)


MODELS_THAT_FAIL_THE_RUN = {
    "another input name": (lambda models, path: models.red_matte(path, input_name="image"), ValueError),
    "fixed size fed another": (lambda models, path: models.red_matte(path, height=64, width=64),
                               ORT_ERRORS.InvalidArgument),
    "output with a single axis": (lambda models, path: models.flat_output(path), IndexError),
}


@pytest.mark.parametrize("case", MODELS_THAT_FAIL_THE_RUN)
def test_model_that_fails_the_run(make_model, pm, red_model, photo_files, tmp_path, case):
    make, error = MODELS_THAT_FAIL_THE_RUN[case]
    engine = pm.QuorinPortraitMain(str(make(make_model, tmp_path / "m.onnx")))
    out = tmp_path / "out.png"
    with pytest.raises(error) as caught:
        engine._image(photo_files["astronaut.png"], str(out), (48, 32))
    assert method_entries(caught.value) == [IMAGE_ENTRY]
    assert not out.exists()
    engine._set_model(str(red_model))
    assert_still_works(engine, photo_files, tmp_path)


def test_nan_matte_gives_a_white_picture(make_model, pm, tmp_path, photo_files):
    engine = pm.QuorinPortraitMain(str(make_model.constant_matte(tmp_path / "nan.onnx", math.nan)))
    out = tmp_path / "out.png"
    engine._image(photo_files["large_1201x701.png"], str(out), (64, 48))
    written = cv2.imread(str(out), cv2.IMREAD_UNCHANGED)
    assert written.shape == (48, 64, 3) and (written == 255).all()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def test_failures_leave_memory_flat(fresh, photo_files, tmp_path):
    # Guards the cases above against a failure path that keeps its arrays:
    # each failed run on a 1201 x 701 photograph makes ~25 MB of them.
    photo = photo_files["large_1201x701.png"]
    out = str(tmp_path / "no such folder" / "out.png")
    for _ in range(3):
        with pytest.raises(OSError):
            fresh._image(photo, out, (64, 48))
    before = resident_bytes()
    for _ in range(40):
        with pytest.raises(OSError):
            fresh._image(photo, out, (64, 48))
    assert resident_bytes() - before < 400 * 1024 * 1024  # kept arrays would make ~1 GB
