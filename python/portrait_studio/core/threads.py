"""How many cores this process may use, and each worker's share of them."""

from __future__ import annotations

import os


def cores() -> int:
    """The cores this process may run on (its affinity, where the system says)."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def share_of_cores(workers: int) -> int:
    """Threads for each of `workers` workers, so that together they fill the
    cores without oversubscribing them."""
    return max(1, cores() // max(1, workers))
