"""Token statistics of inputs, and the worker processes that both commands share."""

from __future__ import annotations

import heapq
import multiprocessing
import os
import signal
from collections import Counter
from collections.abc import Callable, Generator, Sequence
from concurrent.futures import Future, ProcessPoolExecutor
from dataclasses import dataclass, field
from typing import Any, TypeVar

from vorlenta import _native
from vorlenta.sources import (
    TYPE_NAMES,
    WORD_TYPES,
    InputError,
    Piece,
    Settings,
    Utf8Tally,
    opened,
    utf8_tally,
)

# Words are the tokens of these types: runs of letters and the compounds that start with them.
WORD_TYPE_NAMES = tuple(name for value, name in TYPE_NAMES.items() if value & WORD_TYPES)

# Batches between two progress reports: a few megabytes of text.
BATCHES_PER_REPORT = 16


@dataclass
class Stats:
    files: int = 0
    failed: int = 0
    bytes: int = 0
    types: Counter[str] = field(default_factory=Counter)
    words: Counter[str] = field(default_factory=Counter)

    @property
    def tokens(self) -> int:
        return sum(self.types.values())

    def add(self, other: Stats) -> None:
        self.files += other.files
        self.failed += other.failed
        self.bytes += other.bytes
        self.types.update(other.types)
        self.words.update(other.words)

    def top(self, n: int) -> list[tuple[str, int]]:
        """The n most frequent words (all when n is 0); ties go alphabetically, so that the
        list does not depend on the order of the files."""
        def rank(item: tuple[str, int]) -> tuple[int, str]:
            return -item[1], item[0]

        if n == 0:
            return sorted(self.words.items(), key=rank)
        return heapq.nsmallest(n, self.words.items(), key=rank)


@dataclass
class PieceResult:
    stats: Stats
    messages: list[str]
    utf8: Utf8Tally


def count_piece(piece: Piece, settings: Settings,
                on_bytes: Callable[[int], None] | None = None) -> PieceResult:
    """Statistics of one piece (its `files` is 1 when it is a file's first piece). Problems come
    back as messages, one line each. Bytes that are not UTF-8 cost nothing: words holding them
    are counted with surrogate escapes."""
    stats = Stats()
    counts = _native.Counts()
    read = piece.start
    try:
        with opened(piece, settings) as tokenizer:
            done = False
            while not done:
                position, done = tokenizer.count(counts, settings.lower, WORD_TYPES,
                                                 BATCHES_PER_REPORT)
                if on_bytes is not None:
                    on_bytes(position - read)
                read = position
            utf8 = utf8_tally(tokenizer)
    except InputError as e:
        stats.failed = int(piece.start == 0)
        return PieceResult(stats, [str(e)], Utf8Tally())
    stats.files = int(piece.start == 0)
    stats.bytes = read - piece.start
    by_class = counts.types()
    stats.types.update({name: by_class[value.bit_length()] for value, name in TYPE_NAMES.items()})
    counts.add_words_to(stats.words)
    return PieceResult(stats, [], utf8)


# ---- worker processes ----

_R = TypeVar("_R")


def _start_worker() -> None:
    # Ctrl-C is the parent's to handle: it stops the workers itself. A Ctrl-C that came while
    # the worker started is pending under the parent's mask, and dropped here.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


def _stop_workers(pool: ProcessPoolExecutor) -> None:
    """Kills the workers instead of waiting for them: a worker may have seconds of its file
    left, and one killed while it holds the task queue's lock would leave the rest waiting."""
    # Python 3.13 has no public way to reach the workers (3.14 adds kill_workers()).
    processes = getattr(pool, "_processes", None) or {}
    for process in list(processes.values()):
        process.kill()
    pool.shutdown(wait=False, cancel_futures=True)


def in_processes(work: Callable[..., _R], tasks: Sequence[tuple[Any, ...]], jobs: int,
                 on_started: Callable[[], None]) -> Generator[_R]:
    """work(*task) of every task in `jobs` worker processes, yielded in the tasks' order.
    `on_started` runs once the workers exist. Whatever ends this early (Ctrl-C, a failed
    worker, the caller) kills the workers."""
    # Forked workers start in milliseconds, spawned ones take a third of a second each. All are
    # forked at the first submit, before the pool's own thread and before any progress bar
    # thread exists, so no lock can be held by another thread at that moment.
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("fork" if "fork" in methods else None)
    pool = ProcessPoolExecutor(max_workers=jobs, mp_context=context, initializer=_start_worker)
    try:
        # Ctrl-C waits while the workers are made, so that none of them sees it before it
        # ignores it; the parent raises it right after.
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            futures: list[Future[_R]] = [pool.submit(work, *task) for task in tasks]
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
        on_started()
        for future in futures:
            yield future.result()
        pool.shutdown(wait=True)
    except BaseException:
        _stop_workers(pool)
        raise


def worker_count(jobs: int) -> int:
    return jobs or os.cpu_count() or 1
