"""Folder mode on Dask: a LocalCluster, and a real scheduler that loses a
worker mid-run; every output is written, whole, with the bytes one engine
writes on its own."""

import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

pytest.importorskip("distributed")

from portrait_studio import Request, parse_background  # noqa: E402
from portrait_studio.frontends import batch, cluster  # noqa: E402

BIN = os.path.dirname(sys.executable)


# A picture background travels in the request, to workers that cannot read its file.
@pytest.mark.parametrize("request_", [Request(matte="model", mask=True), "picture"])
def test_local_cluster_writes_what_the_loop_writes(make_photos, outputs, sequential, tmp_path, red_model, pm, request_):
    source = make_photos(tmp_path / "in", 5, corrupt=True)
    request = request_
    if request_ == "picture":
        picture = tmp_path / "elsewhere" / "beach.png"
        picture.parent.mkdir()
        picture.write_bytes((Path(__file__).resolve().parents[1] / "data" / "camera.png").read_bytes())
        request = Request(matte="model", background=parse_background(str(picture)), size=(160, 120))
        picture.unlink()
    jobs = batch.plan(source, tmp_path / "dask", "png", recursive=True)
    outcome = cluster.run_dask(jobs, request, "local:2", model=str(red_model))
    assert (outcome.written, len(outcome.failures)) == (5, 1) and "corrupt.jpg" in outcome.failures[0]
    sequential(batch.plan(source, tmp_path / "loop", "png", recursive=True), request, str(red_model), pm)
    assert outputs(tmp_path / "dask") == outputs(tmp_path / "loop")


@pytest.mark.parametrize("address", ["local:0", "local:x", "nonsense"])
def test_bad_addresses_say_what_to_type(address):
    with pytest.raises(cluster.ClusterError, match="tcp://host:port"):
        cluster.parse_address(address)


def test_missing_extra_names_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)
    with pytest.raises(cluster.ClusterError, match=r'pip install "portrait-main\[cluster\]"'):
        cluster.distributed()


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start(*args) -> subprocess.Popen:
    return subprocess.Popen([os.path.join(BIN, "dask"), *args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def test_a_lost_worker_loses_no_photograph(make_photos, outputs, sequential, tmp_path, modnet_model, pm):
    from distributed import Client

    source = make_photos(tmp_path / "in", 24, width=1200, height=900)
    address = f"tcp://127.0.0.1:{free_port()}"
    processes = [start("scheduler", "--host", "127.0.0.1", "--port", address.rsplit(":", 1)[1], "--no-dashboard")]
    try:
        processes += [
            start("worker", address, "--name", f"w{n}", "--nthreads", "1", "--no-nanny", "--host", "127.0.0.1",
                  "--no-dashboard")
            for n in range(2)
        ]
        with Client(address, timeout="30s") as watcher:
            watcher.wait_for_workers(2, timeout=60)
            doomed = next(a for a, w in watcher.scheduler_info()["workers"].items() if w["name"] == "w0")
            out = tmp_path / "out"
            run = subprocess.Popen(
                [os.path.join(BIN, "portrait-main"), str(source), "-o", str(out), "-r", "--matte", "model",
                 "--model", str(modnet_model), "--dask", address],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            )
            deadline = time.monotonic() + 90
            # Kill w0 while it is cutting out a photograph, after the first output is written.
            while not (out.exists() and any(not batch.is_temporary(p) for p in out.rglob("*.*"))
                       and watcher.processing().get(doomed)):
                assert time.monotonic() < deadline and run.poll() is None
                time.sleep(0.005)
            processes[1].send_signal(signal.SIGKILL)
            stdout, stderr = run.communicate(timeout=120)
        assert processes[1].wait(timeout=10) == -signal.SIGKILL
        assert run.returncode == 0, stderr
        assert "24 of 24 photographs written" in stdout
        sequential(batch.plan(source, tmp_path / "loop", recursive=True), Request(matte="model"), str(modnet_model), pm)
        assert outputs(out) == outputs(tmp_path / "loop")  # no temporaries, nothing missing, same bytes
    finally:
        for process in processes:
            process.kill()
            process.wait(timeout=30)
