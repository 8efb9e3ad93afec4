"""How many threads the library and the command work in."""

from __future__ import annotations

import os

JOBS_VARIABLE = "VORLENTA_JOBS"
MAX_JOBS = 1024


def usable_cores() -> int:
    """The cores this process may run on (its affinity, as taskset or a container sets it)."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


def worker_count(jobs: int) -> int:
    """`jobs` threads, or for 0 one per usable core."""
    return jobs or usable_cores()


_default: int | None = None


def default_jobs() -> int:
    """The library's threads when a call names none: VORLENTA_JOBS (read on first use), else
    one per usable core."""
    global _default
    if _default is None:
        text = os.environ.get(JOBS_VARIABLE, "").strip()
        try:
            value = int(text) if text else 0
        except ValueError:
            raise ValueError(f"{JOBS_VARIABLE} must be a whole number of threads, not "
                             f"{text!r}") from None
        if not 0 <= value <= MAX_JOBS:
            raise ValueError(f"{JOBS_VARIABLE} must be within 0..{MAX_JOBS}, not {value}")
        _default = worker_count(value)
    return _default
