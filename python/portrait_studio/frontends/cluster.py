"""Folder mode on Dask: the same per-photograph function, on many machines.

    outcome = run_dask(jobs, request, "tcp://scheduler:8786")   # a running scheduler
    outcome = run_dask(jobs, request, "local:4")                # a LocalCluster of 4 processes

Tasks carry absolute paths (inputs and outputs live on a file system every
worker sees) and run `deliver.write_one`, so a photograph comes out the same
whichever machine cut it out. Each worker thread opens its engine once and
keeps it between tasks. When a worker is lost, the scheduler gives its
photographs to another worker; outputs are renamed into place whole, so a
redone photograph replaces nothing half-written, and temporaries left by a
killed worker are removed when the run ends.
"""

from __future__ import annotations

import os
import threading
import time
from pathlib import Path

from ..core.request import Request, parse_positive_int
from ..core.threads import cores
from ..pipeline import Cutout
from . import describe
from .batch import Job, Outcome, clear_temporaries, interrupts_stop
from .deliver import Report, write_one

MISSING = 'Dask is not installed; install the cluster extra: pip install "portrait-main[cluster]"'

# Exceptions a task raised (not a failed photograph, which it returns) are
# tried again this many times; a lost worker's tasks are redone regardless.
RETRIES = 2


class ClusterError(Exception):
    """The cluster cannot be used: Dask missing, or the scheduler unreachable."""


def distributed():
    try:
        import distributed as module
    except ImportError:
        raise ClusterError(MISSING) from None
    return module


# -- on the workers ------------------------------------------------------------

_local = threading.local()


def engine_for(model: str | None) -> Cutout:
    """This worker thread's engine for `model`, opened on first use. Each
    engine runs inference on one thread: a worker runs one task per thread
    and by default has a thread per core."""
    engines = _local.__dict__.setdefault("engines", {})
    if model not in engines:
        import cv2

        cv2.setNumThreads(1)
        engines[model] = Cutout(model, threads=1)
    return engines[model]


def cut_out(source: str, target: str, request: Request, model: str | None, confidence: bool = False) -> Report:
    """One Dask task: writes one output; returns what went wrong, or None."""
    return write_one(engine_for(model), Path(source), Path(target), request, confidence)


# -- on the client ---------------------------------------------------------------


def parse_address(text: str) -> tuple[str | None, int | None]:
    """("tcp://host:8786", None) for a scheduler, (None, workers) for
    `local` or `local:N`."""
    if text == "local" or text.startswith("local:"):
        count = text.partition(":")[2]
        try:
            return None, parse_positive_int(count) if count else cores()
        except ValueError:
            raise ClusterError(f"bad --dask {text!r}: expected local, local:N with N >= 1, or tcp://host:port") from None
    if "://" not in text and ":" not in text:
        raise ClusterError(f"bad --dask {text!r}: expected tcp://host:port (e.g. tcp://10.0.0.5:8786), local or local:N")
    return text, None


def connect(address: str):
    """A client and, for `local[:N]`, the LocalCluster it owns."""
    dask = distributed()
    scheduler, workers = parse_address(address)
    if scheduler is None:
        cluster = dask.LocalCluster(
            n_workers=workers,
            threads_per_worker=max(1, cores() // workers),
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
        )
        return dask.Client(cluster), cluster
    try:
        return dask.Client(scheduler, timeout="10s"), None
    except (OSError, TimeoutError) as error:
        raise ClusterError(f"cannot reach the Dask scheduler at {scheduler}: {describe(error)}") from None


class InFlightLimit:
    """Photographs handed to the scheduler at once: two per worker thread
    keeps every thread busy, bounds what the client holds for a huge folder
    and lets Ctrl-C stop after little more than the photographs in progress.
    Asked of the scheduler at most once a second, as workers come and go."""

    def __init__(self, client):
        self.client = client
        self.value, self.asked = 2, float("-inf")

    def __call__(self) -> int:
        if time.monotonic() - self.asked >= 1.0:
            self.value = max(2, 2 * sum(self.client.nthreads().values()))
            self.asked = time.monotonic()
        return self.value


def run_dask(jobs: list[Job], request: Request, address: str, *, model: str | None = None, progress=None,
             confidence: bool = False) -> Outcome:
    """Runs `jobs` on Dask; `progress(job, report)` after each photograph.
    Ctrl-C submits no more and waits for those already handed out, so the
    outcome counts every output that was written."""
    dask = distributed()
    outcome = Outcome(total=len(jobs))
    started, since = time.perf_counter(), time.time()
    model = os.path.abspath(model) if model else None
    stop = threading.Event()
    pending = iter(jobs)
    flying: dict[str, Job] = {}
    client, cluster = connect(address)
    finished = dask.as_completed(loop=client.loop)

    in_flight_limit = InFlightLimit(client)

    def submit_more() -> None:
        limit = in_flight_limit()
        while not stop.is_set() and len(flying) < limit and (job := next(pending, None)) is not None:
            future = client.submit(
                cut_out, os.path.abspath(job.source), os.path.abspath(job.target), request, model, confidence,
                pure=False, retries=RETRIES,
            )
            flying[future.key] = job
            finished.add(future)

    def record(future, job: Job) -> None:
        try:
            report = future.result()
        except Exception as error:  # e.g. KilledWorker: the photograph outlived too many workers
            report = Report(f"{job.source}: {describe(error)}")
        outcome.record(report)
        if progress is not None:
            progress(job, report)

    try:
        with interrupts_stop(stop):
            submit_more()
            while flying:
                batch = finished.next_batch(block=False)
                if not batch:
                    time.sleep(0.02)
                for future in batch:
                    record(future, flying.pop(future.key))
                submit_more()
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
        clear_temporaries(jobs, since=since - 1)
    outcome.interrupted = stop.is_set() and outcome.written + len(outcome.failures) < outcome.total
    outcome.seconds = time.perf_counter() - started
    return outcome
