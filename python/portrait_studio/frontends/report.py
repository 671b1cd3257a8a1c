"""The per-photograph report: one JSON object a line (`--report FILE.jsonl`).

Each photograph the run tried gets a line as soon as it is done: `input`,
`output`, `ok`, `confidence`, `review` (a person should look at it), and
`error` for a failure (`warnings` where it was written anyway, and an ID
photo's `checks`: each rule's name, what was measured, what is allowed and
whether it passed). The lines go
to a temporary file beside the report and it is renamed into place when the
run ends, interrupted or not, so the report always says what is on disk and
never stops half-way through a line.

The report is opened before any photograph is read, so a report that cannot
be written stops the run before its work, not after. A resumed run
(`--skip-existing`) keeps the earlier lines of the photographs it skips:
from the report it replaces, and from the temporary of a run that was
killed outright (its process is gone), which is then removed.
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import os
import re
from pathlib import Path

from ..core import imageio
from ..core.device import running
from .deliver import Report

# A report's temporary names its process, so that a later run can tell a
# killed run's (salvaged and removed) from a live one's (left alone).
TEMPORARY = imageio.TEMPORARY_PREFIX + "report-{pid}-{run}-{name}"
TEMPORARY_PATTERN = re.compile(re.escape(imageio.TEMPORARY_PREFIX) + r"report-(\d+)-[0-9a-f]+-(.*)\Z", re.S)


class ReportError(Exception):
    """The report cannot be written; said in the user's terms."""


def line(source: Path | str, target: Path | str | None, report: Report) -> dict:
    entry: dict = {
        "input": imageio.shown(source),
        "output": imageio.shown(target) if target is not None and report.failure is None else None,
        "ok": report.failure is None,
        "confidence": None if report.confidence is None else round(report.confidence, 4),
        "review": report.review,
        "device": running(),  # what ran the networks: cpu or cuda
    }
    if report.failure is not None:
        entry["error"] = report.failure
    if report.warnings:
        entry["warnings"] = list(report.warnings)
    if report.frames is not None:  # a clip: the confidence is its lowest frame's
        entry["frames"], entry["seconds"] = report.frames, round(report.seconds or 0.0, 3)
    if report.checks:
        entry["checks"] = [dataclasses.asdict(check) for check in report.checks]
    return entry


def is_report_temporary(path: Path) -> bool:
    return TEMPORARY_PATTERN.match(path.name) is not None


def process_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # someone else's process
        return True
    return True


def read_lines(path: Path) -> list[dict]:
    """The whole JSON lines of a report; a line cut short by a kill is left out."""
    found = []
    with contextlib.suppress(OSError), open(path, encoding="utf-8", errors="replace") as file:
        for text in file:
            with contextlib.suppress(ValueError):
                entry = json.loads(text)
                if isinstance(entry, dict):
                    found.append(entry)
    return found


class ReportFile:
    """A JSON-lines report written atomically: `add` a line per photograph,
    `close` (or leave the `with` block) to put it in place. ReportError
    when it cannot be opened, before any work."""

    def __init__(self, path: str | os.PathLike):
        self.path = Path(path)
        self.reviews = 0
        self.failure: str | None = None  # the first write that failed
        self.lost = 0  # lines that could not be written after it
        self.problem: str | None = None  # said by the `with` block's end
        if self.path.is_dir():
            raise ReportError(f"{imageio.shown(self.path)} is a folder; name a file for the report, e.g. run.jsonl")
        try:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            self._temporary = self.path.parent / TEMPORARY.format(pid=os.getpid(), run=imageio.RUN_ID,
                                                                  name=self.path.name)
            self._file = open(self._temporary, "xb", buffering=0)
        except OSError as error:
            raise ReportError(f"{imageio.shown(self.path)}: cannot write the report "
                              f"({error.strerror or type(error).__name__})") from None
        self.earlier = self._earlier_lines()

    def _earlier_lines(self) -> dict[str, dict]:
        """The written photographs' lines of the report this one replaces and
        of killed runs' temporaries of it, by output; the killed runs'
        temporaries are removed."""
        sources = [self.path] if self.path.is_file() else []
        for candidate in self.path.parent.glob(imageio.TEMPORARY_PREFIX + "report-*"):
            match = TEMPORARY_PATTERN.match(candidate.name)
            if match and match.group(2) == self.path.name and candidate != self._temporary \
                    and not process_alive(int(match.group(1))):
                sources.append(candidate)
        found: dict[str, dict] = {}
        for source in sources:
            for entry in read_lines(source):
                if entry.get("ok") is True and isinstance(entry.get("output"), str):
                    found[entry["output"]] = entry
            if source != self.path:
                with contextlib.suppress(OSError):
                    source.unlink()
        return found

    def _write(self, entry: dict) -> None:
        if self.failure is not None:
            self.lost += 1
            return
        data = (json.dumps(entry, ensure_ascii=False) + "\n").encode("utf-8", "surrogateescape")
        whole = self._file.tell()
        try:
            view = memoryview(data)
            while view:
                view = view[self._file.write(view) :]
        except OSError as error:
            self.failure = error.strerror or type(error).__name__
            self.lost += 1
            with contextlib.suppress(OSError):
                self._file.truncate(whole)  # never half a line

    def add(self, source, target, report: Report) -> None:
        self.reviews += bool(report.review and report.failure is None)
        self._write(line(source, target, report))

    def keep(self, source, target) -> None:
        """The line of a photograph skipped because its output is there: the
        earlier run's line for it, or one saying it was already there."""
        entry = self.earlier.get(imageio.shown(target))
        if entry is None:
            entry = {"input": imageio.shown(source), "output": imageio.shown(target), "ok": True,
                     "confidence": None, "review": None, "skipped": True}
        self._write(entry)

    def close(self) -> None:
        """Puts the report in place; ReportError (the lines written so far in
        place) when a line or the report itself could not be written."""
        if self._file.closed:
            return
        try:
            self._file.close()
        except OSError as error:
            self.failure = self.failure or error.strerror or type(error).__name__
        try:
            os.replace(self._temporary, self.path)
        except OSError as error:
            with contextlib.suppress(OSError):
                os.unlink(self._temporary)
            raise ReportError(f"{imageio.shown(self.path)}: the report could not be written "
                              f"({error.strerror or type(error).__name__})") from None
        if self.failure is not None:
            raise ReportError(f"{imageio.shown(self.path)}: the report stops short: {self.lost} "
                              f"line{'s' if self.lost != 1 else ''} could not be written ({self.failure})")

    def __enter__(self) -> ReportFile:
        return self

    def __exit__(self, *exc) -> None:
        """What went wrong in closing is kept in `problem`, for the run to say
        after its summary rather than as a traceback."""
        try:
            self.close()
        except ReportError as error:
            self.problem = str(error)
