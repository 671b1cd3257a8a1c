"""Folder mode: a folder of photographs through a pool of engines.

    jobs = plan(Path("photos"), Path("portraits"), ext="png", recursive=True)
    outcome = run_local(jobs, Request(matte="model"), jobs=4)

Each worker thread owns one `Cutout` (an engine serves one call at a time)
and takes the next photograph as soon as it is free, so one worker decodes
while another runs the model and a third encodes: OpenCV, ONNX Runtime and
the engine's native passes all release the GIL. A worker holds one
photograph at a time and the plan holds only paths, so memory does not grow
with the folder.

Nothing is lost or half-written: the plan refuses, before any work, two
photographs that would write the same file and any output that would
replace a photograph; every output is written under a temporary name and
renamed into place; Ctrl-C lets the photographs in progress finish and
starts no more. The Dask path (`cluster.py`) runs the same
`deliver.write_one`.
"""

from __future__ import annotations

import contextlib
import os
import queue
import signal
import stat
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

from ..core import imageio
from ..core.request import Request
from ..core.threads import cores, share_of_cores
from ..pipeline import Cutout
from .deliver import Report, write_one

IMAGE_EXTENSIONS = {
    ".bmp", ".dib", ".jpeg", ".jpg", ".jpe", ".jp2", ".png", ".webp", ".pbm", ".pgm", ".ppm",
    ".pxm", ".pnm", ".sr", ".ras", ".tiff", ".tif", ".exr", ".hdr", ".pic", ".avif", ".heic", ".heif", ".hif",
}


class PlanError(Exception):
    """The folder cannot be processed as asked; nothing has been written."""


@dataclass(frozen=True)
class Job:
    source: Path
    target: Path


@dataclass
class Outcome:
    """What a run did, for its summary line and exit status."""

    total: int  # photographs in the plan
    written: int = 0
    skipped: int = 0  # outputs already there (--skip-existing)
    failures: list[str] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)
    reviews: int = 0  # written, but marked for a person to look at
    interrupted: bool = False
    seconds: float = 0.0

    def record(self, report: Report) -> None:
        self.warnings.extend(report.warnings)
        if report.failure is None:
            self.written += 1
            self.reviews += report.review
        else:
            self.failures.append(report.failure)

    def summary(self, target_dir: Path) -> str:
        line = f"{self.written} of {self.total} photographs written to {imageio.shown(target_dir)}"
        if self.skipped:
            line += f", {self.skipped} already there"
        if self.reviews:
            line += f", {self.reviews} marked for review"
        if self.failures:
            line += f", {len(self.failures)} failed"
        if self.interrupted:
            line += f", {self.total - self.written - self.skipped - len(self.failures)} not started (interrupted)"
        rate = self.written / self.seconds if self.seconds > 0 else 0.0
        return line + f" in {self.seconds:.1f} s ({rate:.2f} photographs/s)"


# -- the plan ------------------------------------------------------------------


def is_temporary(path: Path) -> bool:
    return path.name.startswith(imageio.TEMPORARY_PREFIX)


class Plan(list):
    """The jobs, and the folders that could not be listed (each a failure)."""

    def __init__(self, jobs=(), unreadable=()):
        super().__init__(jobs)
        self.unreadable = list(unreadable)


def find_photographs(folder: Path, recursive: bool = False, exclude: Path | None = None,
                     unreadable: list[str] | None = None) -> list[Path]:
    """Photograph files in `folder` by extension, sorted; with `recursive`
    also in its subfolders, except `exclude` (an output folder inside it,
    whose pictures are no inputs) and hidden folders. A subfolder that cannot
    be listed goes into `unreadable` as a message, instead of vanishing."""
    exclude = exclude.resolve() if exclude is not None else None
    found = []

    def cannot_list(error: OSError) -> None:
        if unreadable is not None:
            unreadable.append(f"{imageio.shown(error.filename or folder)}: the folder cannot be listed "
                              f"({error.strerror or type(error).__name__}); its photographs are left out")

    for root, folders, files in os.walk(folder, onerror=cannot_list):
        base = Path(root)
        folders[:] = sorted(
            name for name in folders
            if recursive and not name.startswith(".") and (base / name).resolve() != exclude
        )
        for name in files:
            path = base / name
            if is_input(path) and not is_temporary(path) and path.is_file():
                found.append(path)
    return sorted(found)


def is_input(path: Path) -> bool:
    """A photograph or a clip, by its extension."""
    from ..video import CLIP_EXTENSIONS

    suffix = path.suffix.lower()
    return suffix in IMAGE_EXTENSIONS or suffix in CLIP_EXTENSIONS


def output_name(source: Path, ext: str | None) -> str:
    from ..video import is_clip

    if is_clip(source):  # --ext names a picture format; a clip keeps its own
        return source.name
    return imageio.picture_name(source.name) if not ext else source.stem + "." + ext.lstrip(".")


def check_ext(ext: str) -> None:
    """PlanError unless `ext` is a bare extension that OpenCV writes: letters
    and digits with an optional leading dot, never a path."""
    if not imageio.writable_extension(ext) or ext.count(".") > (1 if ext.startswith(".") else 0):
        raise PlanError(f"bad --ext {ext!r}: expected a picture format's extension such as "
                        f"{', '.join(imageio.WRITABLE_HINT)}")


def plan(source_dir: Path, target_dir: Path, ext: str | None = None, recursive: bool = False) -> list[Job]:
    """One job per photograph, the output folder mirroring the input's
    subfolders. Raises PlanError, before anything is written, where two
    photographs would write the same output or an output would replace a
    photograph."""
    if ext is not None:
        check_ext(ext)
    if target_dir.exists() and not target_dir.is_dir():
        raise PlanError(f"{target_dir}: the output must be a folder when the input is a folder")
    unreadable: list[str] = []
    sources = find_photographs(source_dir, recursive, exclude=target_dir, unreadable=unreadable)
    if not sources:
        raise PlanError(f"{source_dir}: no photographs found" + (f" ({'; '.join(unreadable)})" if unreadable else ""))
    jobs = [
        Job(source, target_dir / source.parent.relative_to(source_dir) / output_name(source, ext))
        for source in sources
    ]
    check_plan(jobs, sources, ext)
    return Plan(jobs, unreadable)


def check_plan(jobs: list[Job], sources: list[Path], ext: str | None) -> None:
    """PlanError, before anything is written, where two photographs would
    write the same output or an output would replace a photograph."""
    inputs = {key(source): source for source in sources}
    writers: dict[str, list[Path]] = {}
    for job in jobs:
        writers.setdefault(key(job.target), []).append(job.source)
    problems = []
    for job in jobs:
        sharing = writers[key(job.target)]
        if len(sharing) > 1 and job.source == sharing[0]:
            names = ", ".join(str(path) for path in sharing[:-1]) + f" and {sharing[-1]}"
            problems.append(f"{names} would {'both' if len(sharing) == 2 else 'all'} be written to {job.target}")
        if key(job.target) in inputs:
            problems.append(f"{job.target} would replace the photograph {inputs[key(job.target)]}")
    if problems:
        hint = "choose another output folder" + ("" if ext else " or an --ext")
        shown = problems[:10] + ([f"... and {len(problems) - 10} more"] if len(problems) > 10 else [])
        raise PlanError("nothing written: " + "; ".join(shown) + f" ({hint})")


def key(path: Path) -> str:
    """A name two spellings of the same file share (through links, too)."""
    return os.path.normcase(os.path.realpath(path))


def skip_existing(jobs: list[Job]) -> tuple[list[Job], int, list[str]]:
    """The jobs whose output is not there yet, how many are, and a failure
    for each output path taken by something that is no regular file (a
    folder, say), which would otherwise pass for done."""
    todo, failures = [], []
    for job in jobs:
        if not os.path.lexists(job.target):
            todo.append(job)
        elif not job.target.is_file():
            failures.append(f"{imageio.shown(job.target)}: something other than a file is there; "
                            "move it away to write this photograph")
    return todo, len(jobs) - len(todo) - len(failures), failures


REPORT_TEMPORARY = imageio.TEMPORARY_PREFIX + "report-"
# A temporary this old belongs to a run that was killed, not to one at work.
STALE_TEMPORARY_S = 3600


def clear_temporaries(jobs: list[Job], since: float | None = None) -> int:
    """Removes temporary outputs left in the output folders by a run that was
    killed outright (a lost Dask worker, say): without `since`, this process's
    own and those older than STALE_TEMPORARY_S, never another live run's;
    with `since`, those made after that time. Returns how many were removed."""
    removed = 0
    own = imageio.TEMPORARY_PREFIX + imageio.RUN_ID + "-"
    stale_before = time.time() - STALE_TEMPORARY_S
    for folder in {job.target.parent for job in jobs}:
        if not folder.is_dir():
            continue
        for path in folder.glob(imageio.TEMPORARY_PREFIX + "*"):
            with contextlib.suppress(FileNotFoundError):
                info = path.lstat()
                if not stat.S_ISREG(info.st_mode) or path.name.startswith(REPORT_TEMPORARY):
                    continue  # a report's temporary is its report's to salvage
                if since is not None:
                    doomed = info.st_mtime >= since
                else:
                    doomed = path.name.startswith(own) or info.st_mtime < stale_before
                if doomed:
                    path.unlink()
                    removed += 1
    return removed


# -- the local pipeline --------------------------------------------------------


def threads_per_job(jobs: int) -> int:
    """Inference and OpenCV threads for each of `jobs` workers."""
    return share_of_cores(jobs)


@contextlib.contextmanager
def opencv_threads(count: int):
    import cv2

    previous = cv2.getNumThreads()
    cv2.setNumThreads(count)
    try:
        yield
    finally:
        cv2.setNumThreads(previous)


@contextlib.contextmanager
def interrupts_stop(stop: threading.Event):
    """While the block runs, Ctrl-C sets `stop` instead of raising wherever
    the main thread happens to be, so no result goes uncounted."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, lambda signum, frame: stop.set())
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def run_local(
    jobs: list[Job],
    request: Request,
    *,
    model: str | None = None,
    workers: int | None = None,
    first: Cutout | None = None,
    progress=None,
    confidence: bool = False,
    threads: int | None = None,
) -> Outcome:
    """Runs `jobs` on `workers` threads (default: one per core), each with its
    own engine; `first`, an engine already open, is used by one of them.
    `progress(job, report)` is called on this thread after each photograph;
    `confidence` measures the engine's own pictures too (for a report).
    `threads` (inference and OpenCV threads per worker) defaults to the
    cores shared out among the workers.

    Ctrl-C stops the run: the photographs in progress are finished, no more
    are started, and the outcome says interrupted."""
    workers = max(1, min(workers or cores(), len(jobs) or 1))
    threads = threads or threads_per_job(workers)
    outcome = Outcome(total=len(jobs))
    started = time.perf_counter()
    pending = iter(jobs)
    take = threading.Lock()
    stop = threading.Event()
    results: queue.SimpleQueue = queue.SimpleQueue()

    def next_job() -> Job | None:
        with take:
            return None if stop.is_set() else next(pending, None)

    def work(cutout: Cutout | None) -> None:
        try:
            if cutout is None:
                cutout = Cutout(model, threads=threads)
            while (job := next_job()) is not None:
                results.put((job, write_one(cutout, job.source, job.target, request, confidence)))
        except BaseException as error:  # an engine that would not open
            stop.set()
            results.put((None, error))
        finally:
            results.put(None)

    if first is not None and first.threads != threads:
        first = None  # opened for another share of the cores
    broken: BaseException | None = None
    with opencv_threads(threads), interrupts_stop(stop):
        pool = [
            threading.Thread(target=work, args=(first if index == 0 else None,), name=f"portrait-worker-{index}")
            for index in range(workers)
        ]
        for thread in pool:
            thread.start()
        running = len(pool)
        while running:
            try:
                item = results.get(timeout=0.25)
            except queue.Empty:
                continue
            if item is None:
                running -= 1
                continue
            job, report = item
            if job is None:
                broken = broken or report
                continue
            outcome.record(report)
            if progress is not None:
                progress(job, report)
        for thread in pool:
            thread.join()
        unfinished = outcome.written + len(outcome.failures) < outcome.total
        outcome.interrupted = stop.is_set() and broken is None and unfinished
    outcome.seconds = time.perf_counter() - started
    if broken is not None:
        raise broken
    return outcome
