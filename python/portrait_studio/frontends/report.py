"""The per-photograph report: one JSON object a line (`--report FILE.jsonl`).

Each photograph the run tried gets a line as soon as it is done: `input`,
`output`, `ok`, `confidence`, `review` (a person should look at it), and
`error` for a failure (`warnings` where it was written anyway, and an ID
photo's `checks`: each rule's name, what was measured, what is allowed and
whether it passed). The lines go
to a temporary file beside the report and it is renamed into place when the
run ends, interrupted or not, so the report always says what is on disk and
never stops half-way through a line.
"""

from __future__ import annotations

import dataclasses
import json
import os
from pathlib import Path

from ..core import imageio
from .deliver import Report


def line(source: Path | str, target: Path | str | None, report: Report) -> dict:
    entry: dict = {
        "input": imageio.shown(source),
        "output": imageio.shown(target) if target is not None and report.failure is None else None,
        "ok": report.failure is None,
        "confidence": None if report.confidence is None else round(report.confidence, 4),
        "review": report.review,
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


class ReportFile:
    """A JSON-lines report written atomically: `add` a line per photograph,
    `close` (or leave the `with` block) to put it in place."""

    def __init__(self, path: str | os.PathLike):
        self.path = Path(path)
        self.path.parent.mkdir(parents=True, exist_ok=True)
        self._target = imageio.atomic_target(self.path)
        self._temporary = self._target.__enter__()
        self._file = open(self._temporary, "x", encoding="utf-8")
        self.reviews = 0

    def add(self, source, target, report: Report) -> None:
        self.reviews += bool(report.review and report.failure is None)
        self._file.write(json.dumps(line(source, target, report), ensure_ascii=False) + "\n")
        self._file.flush()

    def close(self) -> None:
        if self._file.closed:
            return
        self._file.close()
        if os.path.getsize(self._temporary) == 0:
            # no photograph was tried: an empty report is still a true one
            with open(self._temporary, "w", encoding="utf-8"):
                pass
            os.replace(self._temporary, self.path)
            return
        self._target.__exit__(None, None, None)

    def __enter__(self) -> ReportFile:
        return self

    def __exit__(self, *exc) -> None:
        self.close()
