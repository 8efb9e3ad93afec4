"""Token statistics of files and folders, in one process or spread over several."""

from __future__ import annotations

import multiprocessing
import os
import signal
from collections import Counter
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from dataclasses import dataclass, field

from vorlenta import _native
from vorlenta.sources import ALL_TYPES, STDIN, TYPE_NAMES, WORD_TYPES, Settings, display_name

# Words are the tokens of these types: runs of letters and the compounds that start with them.
WORD_TYPE_NAMES = tuple(name for value, name in TYPE_NAMES.items() if value & WORD_TYPES)


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
        # Ties go alphabetically, so that the list does not depend on the order of the files.
        return sorted(self.words.items(), key=lambda item: (-item[1], item[0]))[:n]


@dataclass
class FileResult:
    stats: Stats
    messages: list[str]


# Batches counted between two progress reports: a few megabytes of text.
BATCHES_PER_REPORT = 16


def _open(path: str) -> tuple[str, _native.Tokenizer]:
    if path == STDIN:
        # Standard input is read from where it stands, whatever it is: a pipe, a terminal, a
        # file partly read already.
        return "<stdin>", _native.Tokenizer.from_fd(0, "<stdin>")
    return display_name(path), _native.Tokenizer.open(os.fsencode(path))


def count_path(path: str, settings: Settings, lower: bool,
               on_bytes: Callable[[int], None] | None = None) -> FileResult:
    """Statistics of one input. Problems come back as messages, one line each. Bytes that are
    not UTF-8 cost nothing: words holding them are counted with surrogate escapes."""
    stats = Stats()
    name = display_name(path)
    counts = _native.Counts()
    read = 0
    try:
        name, tokenizer = _open(path)
        tokenizer.configure(ALL_TYPES, settings.min_len, settings.max_len, settings.batch_size)
        done = False
        while not done:
            position, done = tokenizer.count(counts, lower, WORD_TYPES, BATCHES_PER_REPORT)
            if on_bytes is not None:
                on_bytes(position - read)
            read = position
    except OSError as e:
        stats.failed = 1
        return FileResult(stats, [f"{name}: {e.strerror or e}"])
    stats.files = 1
    stats.bytes = read
    by_class = counts.types()
    stats.types.update({name: by_class[value.bit_length()] for value, name in TYPE_NAMES.items()})
    counts.add_words_to(stats.words)
    return FileResult(stats, [])


def input_paths(paths: Iterable[str], on_error: Callable[[str], None]) -> Iterator[str]:
    """Files named, and every regular file under the folders named, in name order; folders
    and files whose names start with a dot are skipped inside folders, never when named."""
    for path in paths:
        if path == STDIN or not os.path.isdir(path):
            yield path
            continue

        def walk_error(error: OSError) -> None:
            on_error(f"{display_name(error.filename or path)}: {error.strerror}")

        for root, dirs, files in os.walk(path, onerror=walk_error):
            dirs[:] = sorted(d for d in dirs if not d.startswith("."))
            for name in sorted(files):
                full = os.path.join(root, name)
                # A pipe or a device found in a folder could block or never end.
                if not name.startswith(".") and os.path.isfile(full):
                    yield full


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


def count_in_processes(paths: list[str], settings: Settings, lower: bool, jobs: int,
                       on_started: Callable[[], None],
                       on_result: Callable[[FileResult, int], None]) -> None:
    """Counts each file in one of `jobs` worker processes; `on_result` gets each file's result
    and its size in bytes, as the files finish. `on_started` runs once the workers exist.
    Whatever ends this early (Ctrl-C, a failed worker) kills the workers."""
    sizes = {}
    for path in paths:
        try:
            sizes[path] = os.stat(path).st_size
        except OSError:
            sizes[path] = 0
    # The largest files go first, so that one large file does not finish alone at the end.
    order = sorted(paths, key=lambda p: -sizes[p])
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
            pending: dict[Future[FileResult], str] = {
                pool.submit(count_path, path, settings, lower): path for path in order}
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
        on_started()
        while pending:
            done, _ = wait(pending, return_when=FIRST_COMPLETED)
            for future in done:
                path = pending.pop(future)
                on_result(future.result(), sizes[path])
        pool.shutdown(wait=True)
    except BaseException:
        _stop_workers(pool)
        raise
