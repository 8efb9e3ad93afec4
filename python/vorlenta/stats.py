"""Token statistics of inputs, and the worker threads that both commands share."""

from __future__ import annotations

import itertools
import threading
from collections import Counter
from collections.abc import Callable, Generator, Sequence
from contextlib import AbstractContextManager
from typing import TYPE_CHECKING, Any, NamedTuple, TypeVar

from vorlenta import _native
from vorlenta.streams import AUTO
from vorlenta.progress import BATCHES_PER_REPORT, Reported
from vorlenta.types import TYPE_NAMES, WORDS
from vorlenta.sources import (
    InputError,
    Piece,
    Input,
    Settings,
    Utf8Tally,
    opened,
    utf8_tally,
)

if TYPE_CHECKING:
    from vorlenta.datasets import DatasetTally

# Words are the tokens of these types: runs of letters and the compounds that start with them.
WORD_TYPE_NAMES = tuple(name for value, name in TYPE_NAMES.items() if value & WORDS)



class Stats:
    def __init__(self) -> None:
        self.files = 0
        self.failed = 0
        self.bytes = 0
        self.types: Counter[str] = Counter()
        # The words stay native: a total adds a piece's without a Python object per word.
        self.counts = _native.Counts()

    @property
    def tokens(self) -> int:
        return sum(self.types.values())

    @property
    def words(self) -> int:
        return self.counts.sizes()[1]

    @property
    def distinct_words(self) -> int:
        return self.counts.sizes()[0]

    def add(self, other: Stats) -> None:
        self.files += other.files
        self.failed += other.failed
        self.bytes += other.bytes
        self.types.update(other.types)
        self.counts.merge(other.counts)

    def top(self, n: int) -> list[tuple[str, int]]:
        """The n most frequent words (all when n is 0); ties go alphabetically, so that the
        list does not depend on the order of the files."""
        ranked = sorted(self.counts.frequent(n), key=lambda item: (-item[1], item[0]))
        return ranked[:n] if n else ranked


class PieceResult(NamedTuple):
    stats: Stats
    messages: list[str]
    utf8: Utf8Tally
    dataset: DatasetTally | None = None  # what a dataset's records held
    encoding: str | None = None  # the encoding it was read in, once opened


def count_piece(piece: Piece, settings: Settings,
                on_bytes: Callable[[int], None] | None = None) -> PieceResult:
    """Statistics of one piece. Problems come back as messages, one line each. Bytes that are
    not UTF-8 cost nothing: words holding them are counted with surrogate escapes. A dataset's
    counts are the sums of its texts'.

    A piece whose read fails midway keeps what was read before the failure, as `tokenize`
    prints it: its tokens, words and bytes. Its `failed` is 1, and its `files` is 1 when it is
    a file's first piece and gave any byte: the input is among those counted, and among those
    not read whole. An input that gave nothing (one that could not be opened) is only failed."""
    if piece.format != "text":
        return count_dataset(piece, settings, on_bytes)
    return count_tokens(piece, settings, opened(piece, settings), on_bytes)


def count_tokens(piece: Piece, settings: Settings, source_input: AbstractContextManager[Input],
                 on_bytes: Callable[[int], None] | None = None) -> PieceResult:
    """Statistics of a text piece whose tokens `source_input` gives: an input whose tokenizer
    is set up as `settings` say, over the piece's bytes from piece.start on (a file's, or a
    block of them already read)."""
    stats = Stats()
    counts = _native.Counts()
    reported = Reported(piece.start, on_bytes)
    source: Input | None = None
    messages: list[str] = []
    utf8 = Utf8Tally()
    try:
        with source_input as source:
            tokenizer = source.tokenizer
            reported.each_call(
                lambda: tokenizer.count(counts, settings.lower, WORDS, BATCHES_PER_REPORT))
    except InputError as e:
        messages.append(str(e))
        stats.failed = 1
    if source is not None:
        tokenizer = source.tokenizer
        # After a read that failed inside count(), its batches are counted but this is how far.
        if (position := tokenizer.position()) > reported.position:
            reported.up_to(position)
        # A failed input gets its one error line and no warning: where the failure cut it, a
        # character is often cut too, and would be warned of as not UTF-8.
        if not messages:
            utf8 = utf8_tally(tokenizer)
    stats.bytes = reported.position - piece.start
    stats.files = int(piece.is_first and (not messages or stats.bytes > 0))
    _take_counts(stats, counts)
    # An input that failed before its first bytes were looked at has no encoding found.
    found = source.encoding if source is not None and source.encoding != AUTO else None
    return PieceResult(stats, messages, utf8, encoding=found)


def _take_counts(stats: Stats, counts: _native.Counts) -> None:
    by_class = counts.types()
    stats.types.update({name: by_class[value.bit_length()] for value, name in TYPE_NAMES.items()})
    stats.counts = counts


def dataset_texts(settings: Settings) -> _native.Texts:
    """The native tokenizer of a dataset's texts, set up as `settings` say."""
    texts = _native.Texts()
    texts.configure(settings.types, settings.min_len, settings.max_len, settings.split_hyphens)
    return texts


def count_dataset(piece: Piece, settings: Settings,
                  on_bytes: Callable[[int], None] | None = None) -> PieceResult:
    """Statistics of a dataset input, as count_piece gives them; its bytes are those read (see
    Dataset). An input that fails midway keeps the counts of the records before the failure."""
    from vorlenta.datasets import Dataset
    from vorlenta.texts import feeds

    stats = Stats()
    counts = _native.Counts()
    dataset = Dataset(piece, settings)
    texts = dataset_texts(settings)
    messages: list[str] = []
    reported = Reported(0, on_bytes)
    try:
        for group in dataset:
            for feed in feeds(group.texts):
                texts.count(feed, counts, settings.lower, WORDS)
            reported.up_to(dataset.bytes_read)
    except InputError as e:
        messages.append(str(e))
        stats.failed = 1
    stats.bytes = dataset.bytes_read
    stats.files = int(piece.is_first and (not messages or stats.bytes > 0))
    _take_counts(stats, counts)
    return PieceResult(stats, messages, Utf8Tally(), dataset.tally)


# ---- workers ----

_R = TypeVar("_R")
WORKER_THREAD = "vorlenta worker"
# How many tasks each worker may finish ahead of the one the caller waits for: what finished
# tasks hold until their turn (a piece's spilled lines, its counts) stays bounded.
TASKS_AHEAD_PER_JOB = 4


class WorkerFailed(Exception):
    """A worker met an error that is neither the input's nor the output's."""


def in_threads(work: Callable[..., _R], tasks: Sequence[tuple[Any, ...]],
               jobs: int) -> Generator[_R]:
    """work(*task) of every task in `jobs` threads, yielded in the tasks' order. The native
    work releases the interpreter, so threads run it on all cores, with nothing to start,
    copy or send back. The threads are daemons: Ctrl-C, or an error here, ends the command
    without waiting for them, and what they hold goes with the process. They run at most
    TASKS_AHEAD_PER_JOB tasks each ahead of the caller."""
    results: list[tuple[bool, Any]] = [(False, None)] * len(tasks)
    finished = [threading.Event() for _ in tasks]
    order = itertools.count()  # hands each task to one thread: next() holds the interpreter
    stopping = threading.Event()
    threads = min(jobs, len(tasks))
    # A task is taken only with a slot, and the caller frees one per result it takes. Tasks are
    # taken in order, so the one it waits for always has a thread.
    slots = threading.Semaphore(threads * TASKS_AHEAD_PER_JOB)

    def run() -> None:
        while slots.acquire() and not stopping.is_set() and (i := next(order)) < len(tasks):
            try:
                results[i] = (True, work(*tasks[i]))
            except BaseException as e:
                results[i] = (False, e)
            finished[i].set()

    for _ in range(threads):
        threading.Thread(target=run, daemon=True, name=WORKER_THREAD).start()
    try:
        for i in range(len(tasks)):
            finished[i].wait()
            slots.release()
            ok, value = results[i]
            results[i] = (False, None)
            if ok:
                yield value
            elif isinstance(value, (OSError, MemoryError)):
                raise value  # the output's, or memory: the command reports these itself
            else:
                raise WorkerFailed(f"{type(value).__name__}: {value}") from value
    finally:
        stopping.set()
        slots.release(threads)  # wakes every thread that waits for a slot, to see the stop

