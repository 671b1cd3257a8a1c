"""One rule of an office's check as measured: what was measured, what is
allowed and whether it passed. The rules themselves are measured on the
picture in inspection.py."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Check:
    name: str
    measured: str
    allowed: str
    passed: bool

    def __post_init__(self):
        # measured with NumPy, a comparison is numpy.bool_, which JSON reports cannot hold
        object.__setattr__(self, "passed", bool(self.passed))

    def __str__(self) -> str:
        return f"{self.name}: {self.measured} (allowed {self.allowed}) {'pass' if self.passed else 'FAIL'}"


def passed(checks: list[Check]) -> bool:
    """An ID photo passes when rules were measured and every one of them
    passed: no face measured is no pass."""
    return bool(checks) and all(c.passed for c in checks)
