"""Folder mode: the pool of engines writes what one engine writes, one
photograph after another, and loses nothing on collisions, resumes and Ctrl-C."""

import os
import shutil
import signal
import subprocess
import threading
import time
from pathlib import Path

import cv2
import pytest

from portrait_studio import Cutout, Request
from portrait_studio.core import imageio
from portrait_studio.core.background import TRANSPARENT, Background, parse_background
from portrait_studio.frontends import batch

SAMPLE = Path(__file__).resolve().parents[2] / "samples" / "astronaut.png"
CAMERA = Path(__file__).resolve().parents[1] / "data" / "camera.png"
PICTURE = Background(kind="picture", picture=CAMERA.read_bytes(), name="camera.png")


@pytest.mark.parametrize(
    "request_, ext, workers",
    [
        (Request(matte="model"), None, 3),  # the engine's own picture, made in memory under the budget
        (Request(matte="model"), "jpg", 1),
        (Request(matte="model", size=(200, 150)), "jpg", 2),
        (Request(matte="model", background=TRANSPARENT), "png", 4),
        (Request(matte="model", mask=True), "png", 1),
        (Request(background=parse_background("#2050a0")), "webp", 3),  # the default matte
        (Request(matte="refined"), "png", 1),
        (Request(matte="fast"), "png", 2),
        (Request(matte="fast", background=TRANSPARENT), "png", 4),
        (Request(matte="model", background=PICTURE), "png", 3),  # one decode, shared by the workers
        (Request(matte="fast", background=parse_background("blur:20"), size=(200, 150)), "png", 2),
    ],
)
def test_pool_writes_the_bytes_of_a_sequential_loop(make_photos, outputs, sequential, tmp_path, red_model, pm, request_, ext, workers):
    source = make_photos(tmp_path / "in", 7, corrupt=True)
    jobs = batch.plan(source, tmp_path / "pool", ext, recursive=True)
    seen = []
    outcome = batch.run_local(jobs, request_, model=str(red_model), workers=workers, progress=lambda j, f: seen.append(j))
    assert (outcome.written, len(outcome.failures), outcome.interrupted) == (7, 1, False)
    assert "corrupt.jpg" in outcome.failures[0] and sorted(seen, key=str) == sorted(jobs, key=str)
    sequential(batch.plan(source, tmp_path / "loop", ext, recursive=True), request_, str(red_model), pm)
    expected = outputs(tmp_path / "loop")
    assert outputs(tmp_path / "pool") == expected and len(expected) == 7
    assert any("/" in name for name in expected)  # the subfolder was mirrored



def threads_started_during(run) -> set[int]:
    """The OS threads of this process that `run()` (on a thread of its own)
    brought into being, sampled from /proc/self/task while it went. Python
    threads started meanwhile by anything else in the process (an earlier
    test's server, pool or progress monitor) are left out: only the runner,
    the Python threads it and they start, and native threads count."""
    before = set(os.listdir("/proc/self/task"))
    seen: set[str] = set()
    python_threads: dict[int, threading.Thread] = {}
    ours: set[threading.Thread] = set()
    start = threading.Thread.start

    def start_recording(thread):
        if threading.current_thread() in ours:
            ours.add(thread)
        return start(thread)

    runner = threading.Thread(target=run)
    ours.add(runner)
    threading.Thread.start = start_recording
    try:
        runner.start()
        while runner.is_alive():
            seen.update(os.listdir("/proc/self/task"))
            python_threads.update((t.native_id, t) for t in threading.enumerate() if t.native_id is not None)
            time.sleep(0.0002)
        runner.join()
    finally:
        threading.Thread.start = start
    foreign = {tid for tid, thread in python_threads.items() if thread not in ours}
    return {int(tid) for tid in seen - before} - foreign


@pytest.mark.parametrize("matte", ["model", "fast", "refined"])
@pytest.mark.parametrize("workers", [2, 3])
def test_workers_with_one_thread_each_start_no_helpers(make_photos, tmp_path, modnet_model, matte, workers):
    # Big enough photographs that a pass not held to its budget splits
    # across every core, and a run long enough to be sampled many times.
    source = make_photos(tmp_path / "in", 2 * workers, 900, 700)
    jobs = batch.plan(source, tmp_path / "out", "png", recursive=True)
    Cutout(str(modnet_model))  # ONNX Runtime's one thread per process comes with its first session
    outcomes = []
    started = threads_started_during(lambda: outcomes.append(
        batch.run_local(jobs, Request(matte=matte), model=str(modnet_model), workers=workers, threads=1)))
    assert outcomes[0].written == len(jobs)
    # the runner and its workers, and not one helper of ONNX Runtime's,
    # OpenCV's or our native passes': any would oversubscribe the cores
    assert len(started) == 1 + workers, sorted(started)


@pytest.mark.parametrize(
    "files, ext, output, problem",
    [
        (["a.jpg", "a.png"], "png", "out", "a.jpg and .*a.png would both be written to"),
        (["a.jpg", "A.jpg"], None, "out", None),  # distinct names on a case-sensitive file system
        (["a.png", "b.jpg"], None, "in", "would replace the photograph"),
        (["a.png", "b.jpg"], None, "link", "would replace the photograph"),  # the output folder links to the input
        (["a.png", "b.jpg"], "webp", "in", None),
        (["a.png", "a.webp"], "webp", "in", "would replace the photograph"),
    ],
)
def test_plan_refuses_collisions_before_any_work(tmp_path, files, ext, output, problem):
    source = tmp_path / "in"
    source.mkdir()
    for name in files:
        shutil.copy(SAMPLE, source / name)
    target = {"in": source, "out": tmp_path / "out", "link": tmp_path / "link"}[output]
    if output == "link":
        target.symlink_to(source, target_is_directory=True)
    if problem is None:
        assert len(batch.plan(source, target, ext)) == len(files)
        return
    with pytest.raises(batch.PlanError, match=problem):
        batch.plan(source, target, ext)
    assert sorted(p.name for p in source.iterdir()) == sorted(files) and not (tmp_path / "out").exists()


def test_recursive_plan_skips_its_own_output_and_temporaries(make_photos, tmp_path):
    source = make_photos(tmp_path / "in", 3)
    (source / "portraits").mkdir()
    shutil.copy(SAMPLE, source / "portraits" / "old.png")
    shutil.copy(SAMPLE, source / (imageio.TEMPORARY_PREFIX + "x.png"))
    jobs = batch.plan(source, source / "portraits", "png", recursive=True)
    assert sorted(str(j.target.relative_to(source)) for j in jobs) == [
        "portraits/photo000.png", "portraits/photo001.png", "portraits/sub/photo002.png",
    ]
    assert len(batch.plan(source, tmp_path / "out", recursive=False)) == 2  # the top level only


def test_collision_on_the_command_line_writes_nothing(run_cli, tmp_path, red_model):
    source = tmp_path / "in"
    source.mkdir()
    for name in ("a.jpg", "a.png", "b.png"):
        shutil.copy(SAMPLE, source / name)
    result = run_cli(source, "-o", tmp_path / "out", "--ext", "png", "--model", red_model)
    assert result.returncode == 1 and "a.jpg and" in result.stderr and "a.png" in result.stderr
    assert not (tmp_path / "out").exists() or not any((tmp_path / "out").iterdir())


def test_skip_existing_resumes_and_clears_what_a_killed_run_left(run_cli, make_photos, outputs, tmp_path, red_model):
    source = make_photos(tmp_path / "in", 5)
    out = tmp_path / "out"
    (out / "sub").mkdir(parents=True)
    (out / "photo000.png").write_bytes(b"kept")  # written by the run that was cut short
    stale = out / "sub" / (imageio.TEMPORARY_PREFIX + "dead.png")
    stale.write_bytes(b"half")
    two_hours_ago = time.time() - 7200
    os.utime(stale, (two_hours_ago, two_hours_ago))
    live = out / (imageio.TEMPORARY_PREFIX + "another-run-at-work.png")  # fresh: another run is writing it
    live.write_bytes(b"in progress")
    result = run_cli(source, "-o", out, "-r", "--skip-existing", "--matte", "model", "--model", red_model)
    assert result.returncode == 0, result.stderr
    assert "4 of 5 photographs written" in result.stdout and "1 already there" in result.stdout
    assert (out / "photo000.png").read_bytes() == b"kept" and not stale.exists()
    assert live.read_bytes() == b"in progress"
    assert len(outputs(out)) == 6  # the five photographs and the live run's temporary


@pytest.mark.parametrize("pool", [["--jobs", "2"], ["--dask", "local:2"]])
def test_ctrl_c_stops_promptly_and_leaves_only_whole_files(cli, make_photos, tmp_path, modnet_model, pool):
    if pool[0] == "--dask":
        pytest.importorskip("distributed")
    source = make_photos(tmp_path / "in", 40, width=1200, height=900)
    out = tmp_path / "out"
    child = subprocess.Popen(
        [cli, str(source), "-o", str(out), "-r", "--matte", "model", "--model", str(modnet_model), *pool],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    deadline = time.monotonic() + 60
    while not (out.exists() and any(not batch.is_temporary(p) for p in out.rglob("*.*"))):
        assert time.monotonic() < deadline and child.poll() is None
        time.sleep(0.01)
    child.send_signal(signal.SIGINT)
    interrupted = time.monotonic()
    stdout, stderr = child.communicate(timeout=30)
    assert child.returncode == 130, stderr
    assert time.monotonic() - interrupted < 5
    left = [p for p in out.rglob("*") if p.is_file()]
    assert 0 < len(left) < 40
    assert f"interrupted: {len(left)} of 40 photographs written" in stderr  # a true count
    assert not [p for p in left if batch.is_temporary(p)]
    assert all(cv2.imread(str(p)) is not None for p in left)


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["IN", "--jobs", "0"], 2, "bad number"),
        ([SAMPLE, "-r"], 1, "--recursive applies only when the input is a folder"),
        (["IN", "--dask", "nonsense"], 1, "tcp://host:port"),
    ],
)
def test_folder_options_say_what_to_type(run_cli, make_photos, tmp_path, red_model, args, status, message):
    source = make_photos(tmp_path / "in", 1)
    args = [source if a == "IN" else a for a in args]
    result = run_cli(*args, "-o", tmp_path / "out", "--model", red_model)
    assert result.returncode == status and message in result.stderr
    assert not (tmp_path / "out").exists()
