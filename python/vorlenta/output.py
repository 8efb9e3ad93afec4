"""The tokenize command's output: the lines of each piece of input, written straight to the output
or spilled by a worker to a file of its own, then copied out in the inputs' order."""

from __future__ import annotations

import errno
import os
from collections.abc import Callable
from typing import TYPE_CHECKING, BinaryIO, NamedTuple

from vorlenta import _native
from vorlenta.progress import BATCHES_PER_REPORT, Reported
from vorlenta.sources import (
    STDIN,
    STDIN_NAME,
    InputError,
    Piece,
    Settings,
    Utf8Tally,
    opened,
    utf8_tally,
    word_choice,
)
from vorlenta.stats import dataset_texts

if TYPE_CHECKING:
    from vorlenta.datasets import DatasetTally


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


class LineSettings(NamedTuple):
    format: str
    offsets: bool
    with_filename: bool


def _prefix(piece: Piece, lines: LineSettings) -> bytes:
    """The file column: the input's name, escaped by the same native code as token texts."""
    if not lines.with_filename:
        return b""
    name = STDIN_NAME.encode() if piece.path == STDIN else os.fsencode(piece.path)
    field = _native.escaped_field(name, lines.format)
    if lines.format == "jsonl":
        return b'"file": "' + field + b'", '
    return field + b"\t"


class Written(NamedTuple):
    """What writing a piece met: the problems, a line each; what of it was not UTF-8; and what
    a dataset's records held."""

    messages: list[str]
    utf8: Utf8Tally
    dataset: DatasetTally | None = None


def write_piece(piece: Piece, settings: Settings, lines: LineSettings, output: _native.Output,
                on_bytes: Callable[[int], None] | None = None) -> Written:
    """Writes the lines of a piece's tokens."""
    if piece.format != "text":
        return write_dataset(piece, settings, lines, output, on_bytes)
    word_types, word_min_len, word_max_len = word_choice(settings)
    try:
        with opened(piece, settings) as source:
            tokenizer = source.tokenizer
            Reported(piece.start, on_bytes).each_call(lambda: tokenizer.write_lines(
                output, lines.format, lines.offsets, settings.lower, _prefix(piece, lines),
                BATCHES_PER_REPORT, word_types, word_min_len, word_max_len))
            written = Written([], utf8_tally(source.tokenizer))
    except InputError as e:
        written = Written([str(e)], Utf8Tally())
    if lines.format == "words":
        # The last line of an input that ends without a line feed, or fails midway, ends with
        # the input: the next one starts a line of its own.
        output.end_line()
    return written


def write_dataset(piece: Piece, settings: Settings, lines: LineSettings,
                  output: _native.Output, on_bytes: Callable[[int], None] | None = None
                  ) -> Written:
    """Writes the lines of a dataset's texts: what a text input gives, offsets being in the
    record's text; with offsets, the record's number after the file column."""
    from vorlenta.datasets import Dataset
    from vorlenta.texts import feeds

    dataset = Dataset(piece, settings)
    texts = dataset_texts(settings)
    prefix = _prefix(piece, lines)
    messages: list[str] = []
    reported = Reported(0, on_bytes)
    try:
        for group in dataset:
            first = group.first
            for feed in feeds(group.texts):
                first += texts.write_lines(feed, output, lines.format, lines.offsets,
                                           settings.lower, prefix,
                                           first if lines.offsets else None)
            reported.up_to(dataset.bytes_read)
    except InputError as e:
        messages.append(str(e))
    return Written(messages, Utf8Tally(), dataset.tally)


class Spilled(NamedTuple):
    """A worker's piece: its lines in a temporary file (None when they went straight to the
    output), the problems met and what of it was not UTF-8; not `written` when the temporary
    folder could not take it."""

    file: BinaryIO | None
    messages: list[str]
    utf8: Utf8Tally
    dataset: DatasetTally | None = None
    written: bool = True


class SpillFolder:
    """Where workers leave their pieces' lines until the parent copies them out in order.

    Each piece is a file without a name (O_TMPFILE, or unlinked at once where the file system
    has none), so that nothing is left behind however the command ends, even by SIGKILL. Once
    the folder is full, workers stop spilling and the parent writes the rest itself."""

    def __init__(self) -> None:
        import tempfile

        self.path = tempfile.gettempdir()
        self.error: OSError | None = None  # the first write that failed there

    def write(self, piece: Piece, settings: Settings, lines: LineSettings,
              direct: _native.Output | None) -> Spilled:
        """In a worker: the piece's lines in a file of their own; or, for the first piece,
        straight to the output (`direct`)."""
        if direct is not None:
            return Spilled(None, *write_piece(piece, settings, lines, direct))
        if self.error is not None:
            return Spilled(None, [], Utf8Tally(), written=False)
        import tempfile

        file = None
        try:
            file = tempfile.TemporaryFile(dir=self.path)
            output = _native.Output(file.fileno())
            written = write_piece(piece, settings, lines, output)
            output.flush()
        except BaseException as e:
            if file is not None:
                file.close()
            # Only the temporary file raises OSError here: the inputs' errors are messages.
            if not isinstance(e, OSError):
                raise
            self.error = self.error or e
            return Spilled(None, [], Utf8Tally(), written=False)
        return Spilled(file, *written)


# Plain copies go this much at a time.
COPY_BYTES = 1 << 20


def copy_out(file: BinaryIO, fd: int) -> None:
    """Appends a spilled piece to the output and closes it. The kernel copies it where it can;
    where it refuses the output (one opened for appending, >>), plain reads and writes do."""
    with file:
        src = file.fileno()
        size = os.fstat(src).st_size
        sent = 0
        try:
            while sent < size:
                sent += os.sendfile(fd, src, sent, size - sent)
        except OSError as e:
            if e.errno not in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP, errno.EBADF):
                raise
        while sent < size:
            data = os.pread(src, min(COPY_BYTES, size - sent), sent)
            write_all(fd, data)
            sent += len(data)
