"""Engines on several threads at once: the same bytes as alone, no deadlock,
and other Python threads run while a native pass works."""

from __future__ import annotations

import itertools
import random
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor, wait

import cv2
import numpy as np
import pytest

THREADS = 4
DEADLINE_S = 120

PHOTOS = ["astronaut.png", "camera.png", "four_channel.png", "small_17x21.png", "wide_1000x500.png",
          "large_1201x701.png", "astronaut.jpg"]
SIZES = [None, (512, 512), [640, 480], (64, 48), (511, 300)]
# every photograph at every size, written as PNG or JPEG in turn
JOBS = [(photo, size, [".png", ".jpg"][i % 2]) for i, (photo, size) in enumerate(itertools.product(PHOTOS, SIZES))]


def job_name(photo, size, extension):
    size_text = "default" if size is None else f"{size[0]}x{size[1]}"
    return f"{photo.replace('.', '_')}-{size_text}{extension}"


def test_engines_on_threads_write_what_they_write_alone(pm, red_model, photo_files, tmp_path):
    alone = tmp_path / "alone"
    alone.mkdir()
    engine = pm.QuorinPortraitMain(str(red_model))
    for photo, size, extension in JOBS:
        engine._image(photo_files[photo], str(alone / job_name(photo, size, extension)), size)
    expected = {path.name: path.read_bytes() for path in alone.iterdir()}
    assert len(expected) == len(JOBS)

    def worker(index):
        own = pm.QuorinPortraitMain(str(red_model))  # one engine per thread
        folder = tmp_path / f"thread{index}"
        folder.mkdir()
        jobs = list(JOBS)
        random.Random(index).shuffle(jobs)
        for photo, size, extension in jobs:
            own._image(photo_files[photo], str(folder / job_name(photo, size, extension)), size)
        return folder

    with ThreadPoolExecutor(THREADS) as pool:
        futures = [pool.submit(worker, index) for index in range(THREADS)]
        _, not_done = wait(futures, timeout=DEADLINE_S)
        assert not not_done, "threads still running: deadlock or a stall"
    for future in futures:
        written = {path.name: path.read_bytes() for path in future.result().iterdir()}
        assert written.keys() == expected.keys()
        assert [name for name in written if written[name] != expected[name]] == []


class Counter:
    """A Python thread counting as often as it gets the GIL. Between counts
    it sleeps a fraction of a millisecond, which lets the GIL go, so that a
    thread waiting for the GIL gets it back at once."""

    def __init__(self):
        self.count = 0
        self.running = True
        self.thread = threading.Thread(target=self.loop, daemon=True)

    def loop(self):
        while self.running:
            self.count += 1
            time.sleep(0.0002)

    def __enter__(self):
        self.thread.start()
        time.sleep(0.01)
        return self

    def __exit__(self, *exc):
        self.running = False
        self.thread.join(timeout=10)


@pytest.fixture
def long_switch_interval():
    # A thread waiting for the GIL asks the holder to let it go only after
    # the switch interval. At one second, far longer than any window below,
    # the counter gets the GIL inside a window only if the code running
    # there lets it go of its own accord.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1.0)
    yield
    sys.setswitchinterval(previous)


class PackWindow:
    """Stands in for the inference session and reads the counter on both
    sides of the packing of the model input: `run` is looked up on the
    session just before the input is packed and called just after, with
    only the packing in between."""

    def __init__(self, counter, plane):
        self.counter, self.plane = counter, plane
        self.progress = []

    @property
    def run(self):
        before = self.counter.count

        def run(names, feed):
            self.progress.append(self.counter.count - before)
            assert feed["input"].flags["C_CONTIGUOUS"]
            return [self.plane]
        return run


def test_other_threads_run_while_the_model_input_is_packed(pm, red_model, photo_files, tmp_path,
                                                           long_switch_interval):
    engine = pm.QuorinPortraitMain(str(red_model))
    plane = np.ones((1, 1, 8, 8), np.float32)
    with Counter() as counter:
        engine._session = PackWindow(counter, plane)
        for _ in range(3):
            # a small photograph stretched to 3000 x 2000: the packing moves 72 MB
            engine._image(photo_files["small_17x21.png"], str(tmp_path / "out.png"), (3000, 2000))
    print("counts while packing:", engine._session.progress)
    assert max(engine._session.progress) > 0, engine._session.progress


def test_the_measure_sees_a_call_that_keeps_the_gil(long_switch_interval):
    # The same counter, around one long C call that never lets the GIL go
    # (a sort of some tens of milliseconds): no progress at all. Without
    # this, the test above could not fail.
    values = np.random.default_rng(1).random(300_000).tolist()
    progress = []
    with Counter() as counter:
        for _ in range(3):
            before = counter.count
            sorted(values)
            progress.append(counter.count - before)
    print("counts in the long call:", progress)
    assert progress == [0, 0, 0]


def test_one_engine_shared_by_threads_fails_cleanly_if_at_all(pm, red_model, photo_files, tmp_path):
    # Not a supported use (a run reads back the size it stored on the
    # engine, which another thread may have changed meanwhile), but it must
    # not crash: each call writes a three-channel picture or raises.
    shared = pm.QuorinPortraitMain(str(red_model))
    sizes = [None, (64, 48), [40, 30], (0, 5), [32]]

    def worker(index):
        outcomes = []
        for call in range(12):
            out = tmp_path / f"t{index}-{call}.png"
            try:
                shared._image(photo_files[PHOTOS[(index + call) % 4]], str(out), sizes[(index * 3 + call) % 5])
            except Exception as error:  # noqa: BLE001 - any clean exception will do
                outcomes.append(type(error))
            else:
                assert cv2.imread(str(out)).ndim == 3
                outcomes.append(None)
        return outcomes

    with ThreadPoolExecutor(THREADS) as pool:
        futures = [pool.submit(worker, index) for index in range(THREADS)]
        _, not_done = wait(futures, timeout=DEADLINE_S)
        assert not not_done, "threads still running: deadlock or a stall"
    outcomes = [o for future in futures for o in future.result()]
    assert None in outcomes
    assert set(outcomes) - {None} <= {cv2.error, ValueError, TypeError, IndexError, ZeroDivisionError}
