"""Inputs of the command: files, folders and standard input; the pieces a large file is cut
into for several processes; and the native tokenizers that read them."""

from __future__ import annotations

import bisect
import codecs
import fnmatch
import itertools
import os
import stat
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, NamedTuple


from vorlenta import _native
from vorlenta.streams import AUTO, UTF8, UTF8_SIG
from vorlenta.constants import BATCH_SIZE, MAX_U32
from vorlenta.types import ALL_TYPES

if TYPE_CHECKING:
    from vorlenta.streams import BinaryFile, Utf8Stream

STDIN = "-"
STDIN_NAME = "<stdin>"

# A file smaller than this is not worth a second process.
SPLIT_MIN_BYTES = 8 * 1024 * 1024
# How far past a cut point a line feed is looked for before that cut is given up.
CUT_SEARCH_BYTES = 1024 * 1024


class Settings(NamedTuple):
    batch_size: int = BATCH_SIZE
    types: int = ALL_TYPES
    min_len: int = 0
    max_len: int = MAX_U32
    lower: bool = False
    encoding: str | None = None
    decompress: str | None = None  # for standard input; files go by their suffix
    # The library's decompress= for a named file: a format, False for none; None: by suffix.
    file_decompress: str | bool | None = None
    input_format: str | None = None  # one of INPUT_FORMATS for every input; None: by suffix
    field: str = "text"  # the field of a dataset's records that holds the text
    words: bool = False  # tokenize --format words: lines of words, the writer ends the lines
    split_hyphens: bool = True  # a word's trailing hyphen that joins nothing is a token of its own


class Piece(NamedTuple):
    """What one worker reads: a whole input, or the bytes [start, stop) of a file; and what the
    input is, decided once by described() from its name and the settings, for every reader."""

    path: str  # STDIN for standard input
    format: str = "text"  # one of INPUT_FORMATS
    compression: str | None = None  # the one to undo as it is read
    start: int = 0
    stop: int | None = None
    size: int | None = None  # bytes it is expected to yield, when known
    first: int = 1  # a dataset's: the number of its first record (line or row), from 1
    row_groups: tuple[int, int] | None = None  # a Parquet file's: the row groups [a, b)

    @property
    def name(self) -> str:
        return STDIN_NAME if self.path == STDIN else display_name(self.path)

    @property
    def whole(self) -> bool:
        """Whether it is its whole input."""
        return self.stop is None and self.row_groups is None

    @property
    def is_first(self) -> bool:
        """Whether it is its input's first piece (or the whole input)."""
        return self.start == 0 and (self.row_groups is None or self.row_groups[0] == 0)


class InputError(Exception):
    """An input that cannot be read; the message names it."""


def display_name(path: str) -> str:
    # File names that are not UTF-8 arrive with surrogate escapes, which cannot be printed.
    return path.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


class FileId(NamedTuple):
    """What makes a file the same file under any of its names."""

    device: int
    inode: int

    @classmethod
    def of(cls, info: os.stat_result) -> FileId:
        return cls(info.st_dev, info.st_ino)


def regular_file_id(fd: int) -> FileId | None:
    """The identity of the regular file open at `fd`, or None for anything else (a pipe, a
    terminal, a device), which a run cannot read back."""
    try:
        info = os.fstat(fd)
    except OSError:
        return None
    return FileId.of(info) if stat.S_ISREG(info.st_mode) else None


def named_file_id(path: str) -> FileId | None:
    """The identity of a named input (standard input's for STDIN), when it can be had."""
    try:
        info = os.fstat(0) if path == STDIN else os.stat(path)
    except OSError:
        return None  # opening it says why
    return FileId.of(info)


def hidden(name: str) -> bool:
    """Whether a folder's walk passes over a file or folder of this name inside it."""
    return name.startswith(".")


def input_paths(paths: Iterable[str], on_error: Callable[[str], None],
                skip: FileId | None = None, choice: FileChoice | None = None,
                settings: Settings | None = None,
                on_binary: Callable[[str], None] | None = None) -> Iterator[str]:
    """Files named, and every regular file under the folders named, in name order; folders
    and files whose names start with a dot are skipped inside folders, never when named, and
    so is the file `skip` (the run's own output: reading it back would never end). Inside
    folders, `choice` picks the files by name, and a file that looks binary (looks_binary) is
    passed over, `on_binary` told of it."""
    choice = choice or FileChoice()
    settings = settings or Settings()
    for path in paths:
        if path == STDIN or not os.path.isdir(path):
            yield path
            continue

        def walk_error(error: OSError) -> None:
            on_error(f"{display_name(error.filename or path)}: {error.strerror}")

        for root, dirs, files in os.walk(path, onerror=walk_error):
            dirs[:] = sorted(d for d in dirs if not hidden(d))
            for name in sorted(files):
                full = os.path.join(root, name)
                if hidden(name) or not choice.takes(os.path.relpath(full, path)):
                    continue
                try:
                    info = os.stat(full)
                except OSError:
                    continue  # gone, or a link to nothing
                # A pipe or a device found in a folder could block or never end.
                if not stat.S_ISREG(info.st_mode) or FileId.of(info) == skip:
                    continue
                if looks_binary(described(full, settings)):
                    if on_binary is not None:
                        on_binary(full)
                    continue
                yield full


class FileChoice(NamedTuple):
    """Which files of a folder are read: those matching an `include` glob, if any are given,
    and none matching an `exclude` glob. A glob matches a file's name or its path inside the
    folder named (`*.txt`, `drafts/*`)."""

    include: tuple[str, ...] = ()
    exclude: tuple[str, ...] = ()

    def takes(self, relative: str) -> bool:
        name = os.path.basename(relative)

        def matches(globs: tuple[str, ...]) -> bool:
            return any(fnmatch.fnmatchcase(name, g) or fnmatch.fnmatchcase(relative, g)
                       for g in globs)

        return (not self.include or matches(self.include)) and not matches(self.exclude)


# A NUL byte this early in a file means binary data, as grep and ripgrep judge it.
BINARY_SNIFF_BYTES = 8192


def looks_binary(piece: Piece) -> bool:
    """Whether a file found in a folder holds binary data rather than text: a NUL byte in its
    first 8 KiB. UTF-16 with a byte-order mark (whose ASCII holds NUL bytes), the compressed
    formats and Parquet are read, so they are text here."""
    if piece.compression is not None or piece.format == "parquet":
        return False
    try:
        with open(piece.path, "rb") as file:
            head = file.read(BINARY_SNIFF_BYTES)
    except OSError:
        return False  # reading it says why
    return b"\0" in head and not head.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE))


def binary_note(path: str) -> str:
    return (f"{display_name(path)}: passed over, it looks binary (a NUL byte in its first "
            f"8 KiB); name it to read it anyway")


# What a file's name says it holds, after a compression suffix (data.jsonl.gz is JSON Lines).
INPUT_FORMATS = ("text", "jsonl", "parquet", "csv", "tsv")
DATASET_SUFFIXES = {".jsonl": "jsonl", ".ndjson": "jsonl", ".parquet": "parquet", ".csv": "csv",
                    ".tsv": "tsv"}


def described(path: str, settings: Settings) -> Piece:
    """The whole input at `path`, with what it is: its compression (standard input's is the
    one the command line names, a file's the one its name says, or the library's
    decompress=) and its format (input_format, else the name's suffix after a compression
    suffix: data.jsonl.gz is JSON Lines; standard input is text). The one place that decides
    them: the pieces and every reader take them from the Piece."""
    from vorlenta.streams import compression_of

    if path == STDIN:
        return Piece(path, settings.input_format or "text",
                     compression_of(None, settings.decompress))
    compression = compression_of(path, settings.file_decompress)
    kind = settings.input_format
    if kind is None:
        stem, suffix = os.path.splitext(path)
        if compression is not None:
            suffix = os.path.splitext(stem)[1]
        kind = DATASET_SUFFIXES.get(suffix.lower(), "text")
    return Piece(path, kind, compression)


def pieces(path: str, parts: int, settings: Settings) -> list[Piece]:
    """The input whole, or a regular file cut into up to `parts` pieces: a text or JSON Lines
    file into ranges, each ending just after a line feed, a Parquet file into runs of its row
    groups. A line feed is a token of its own that joins no compound, and ends a JSON Lines
    record, so no token, compound or record crosses a cut, and the pieces read apart give
    exactly what one pass gives, at the same offsets; a dataset's pieces know the number of
    their first record."""
    whole = described(path, settings)
    size = None
    if path != STDIN:
        try:
            info = os.stat(path)
        except OSError:
            return [whole]  # opening it says why
        if stat.S_ISREG(info.st_mode):
            size = info.st_size
    whole = whole._replace(size=size)
    kind = whole.format
    # A quoted CSV field may hold line feeds: no line feed is known to end a record.
    if size is None or parts < 2 or whole.compression or kind in ("csv", "tsv"):
        return [whole]
    if kind == "parquet":
        return parquet_pieces(whole, parts, settings.field) or [whole]
    # A file read in another encoding is not cut: its pieces are cut in its own bytes, and are
    # read as they are, so with AUTO only a file found to be UTF-8 is cut.
    if size < 2 * SPLIT_MIN_BYTES:
        return [whole]
    if settings.encoding is not None and (settings.encoding != AUTO
                                          or _sniffed_or_none(path) != UTF8):
        return [whole]
    parts = min(parts, size // SPLIT_MIN_BYTES)
    try:
        cuts = line_cuts(path, [size * i // parts for i in range(1, parts)])
        firsts = line_numbers(path, cuts) if kind == "jsonl" else [1] * (len(cuts) + 1)
    except OSError:
        return [whole]
    bounds = [0, *cuts, size]
    return [whole._replace(start=a, stop=b, size=b - a, first=first)
            for (a, b), first in zip(zip(bounds, bounds[1:]), firsts) if b > a]


def line_numbers(path: str, cuts: list[int]) -> list[int]:
    """The number of the line (from 1) that starts the file and each cut after a line feed."""
    numbers = [1]
    at, lines = 0, 1
    with open(path, "rb", buffering=0) as f:
        for cut in cuts:
            while at < cut:
                block = f.read(min(CUT_SEARCH_BYTES, cut - at))
                if not block:
                    break
                lines += block.count(b"\n")
                at += len(block)
            numbers.append(lines)
    return numbers


def parquet_pieces(whole: Piece, parts: int, field: str) -> list[Piece] | None:
    """A Parquet file as runs of its row groups, about as many rows each, each piece's size its
    share of the file's (the last takes what is left, so that they add up to it); None where
    it is not worth it, or the file is not one the reader takes (it then says why, once)."""
    try:
        import pyarrow.parquet as pq

        meta = pq.ParquetFile(whole.path).metadata
        schema = meta.schema.to_arrow_schema()
    except Exception:
        return None
    if meta.num_row_groups < 2 or len(schema.get_all_field_indices(field)) != 1:
        return None
    rows = [meta.row_group(i).num_rows for i in range(meta.num_row_groups)]
    weights = [meta.row_group(i).total_byte_size or 1 for i in range(meta.num_row_groups)]
    ends = list(itertools.accumulate(rows))  # the rows up to the end of each group
    bounds = [0]
    for k in range(1, parts):
        # Just after the group where the k-th part of the rows ends.
        cut = bisect.bisect_left(ends, ends[-1] * k // parts) + 1
        if bounds[-1] < cut < len(rows):
            bounds.append(cut)
    bounds.append(len(rows))
    if len(bounds) < 3:
        return None
    size = whole.size or 0
    out = [whole._replace(size=size * sum(weights[a:b]) // sum(weights),
                          first=1 + (ends[a - 1] if a else 0), row_groups=(a, b))
           for a, b in zip(bounds, bounds[1:])]
    out[-1] = out[-1]._replace(size=size - sum(p.size or 0 for p in out[:-1]))
    return out


def line_cuts(path: str, points: list[int]) -> list[int]:
    """The offset just after the first line feed at or after each point; a point with no line
    feed within reach, or that would reach the next point's cut, gives no cut."""
    cuts: list[int] = []
    with open(path, "rb") as f:
        for point in points:
            if cuts and point < cuts[-1]:
                continue
            f.seek(point)
            window = f.read(CUT_SEARCH_BYTES)
            at = window.find(b"\n")
            if at >= 0:
                cuts.append(point + at + 1)
    return cuts


class Input:
    """A native tokenizer over one input, and the stream that turns the input into UTF-8 on
    its way when it is compressed or in another encoding."""

    def __init__(self, tokenizer: _native.Tokenizer, name: str, encoding: str = UTF8,
                 stream: Utf8Stream | None = None) -> None:
        self.tokenizer = tokenizer
        self.name = name
        self._encoding = encoding
        self._stream = stream

    @property
    def encoding(self) -> str:
        """The encoding the input was read in: the one asked for, or the one found (AUTO)."""
        return self._stream.encoding if self._stream is not None else self._encoding

    @property
    def as_it_is(self) -> bool:
        """Whether the tokenizer reads the input's own bytes, which may then not be UTF-8."""
        return self._stream is None or self._stream.passes_through

    def finish(self) -> BaseException | None:
        """Ends the input once the tokenizer has read it all: what stopped its stream before
        the end of the input (a read, a decompression or a decoding error), if anything."""
        if self._stream is None:
            return None
        self._stream.close()
        return self._stream.error()

    @property
    def callers_error(self) -> bool:
        """Whether what finish() gave is what the caller's file object raised."""
        return self._stream is not None and self._stream.callers_error

    def close(self) -> None:
        if self._stream is not None:
            self._stream.close()

    def __enter__(self) -> Input:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()


def open_input(source: str | bytes | BinaryFile, name: str, *, compression: str | None = None,
               encoding: str | None = None, start: int = 0, stop: int | None = None) -> Input:
    """A native tokenizer, not yet configured, over a file (the bytes [start, stop) of it),
    STDIN, or a binary file object, decompressed and turned into UTF-8 as it is read when
    `compression` or `encoding` say so (see open_utf8_stream; AUTO finds the encoding).

    Raises OSError naming the file when it cannot be opened, and what open_utf8_stream raises
    for a compression or an encoding it refuses, all before anything is read."""
    path = isinstance(source, (str, bytes))
    found = UTF8
    if encoding == AUTO and compression is None and path and source != STDIN:
        # A regular file's head is read where it lies; UTF-8 found is then read as it is,
        # after its byte-order mark if it has one (offsets stay the file's).
        if (sniffed := sniffed_encoding(source)) is not None:
            found = sniffed
            encoding = None if found in (UTF8, UTF8_SIG) else found
            if found == UTF8_SIG and start == 0:
                start = len(codecs.BOM_UTF8)
    if compression is None and encoding is None and path:
        if source == STDIN:
            # Standard input is read from where it stands, whatever it is: a pipe, a terminal,
            # a file partly read already.
            return Input(_native.Tokenizer.from_fd(0, STDIN_NAME), name)
        return Input(_native.Tokenizer.open(os.fsencode(source), start, stop, name=source), name,
                     found)
    from vorlenta.streams import open_utf8_stream

    stream = open_utf8_stream(0 if source == STDIN else source, name, compression=compression,
                              encoding=encoding)
    try:
        return Input(_native.Tokenizer.from_fd(stream.fd, name), name, stream=stream)
    except BaseException:
        stream.close()
        raise


def sniffed_encoding(path: str | bytes) -> str | None:
    """The encoding found in the head of the regular file at `path`, read without moving
    anything; None for anything else (a pipe, a device), whose head cannot be read twice."""
    from vorlenta.detect import DETECT_BYTES, detect_encoding

    with open(path, "rb", buffering=0) as file:
        info = os.fstat(file.fileno())
        if not stat.S_ISREG(info.st_mode):
            return None
        head = os.pread(file.fileno(), DETECT_BYTES, 0)
    found: str = detect_encoding(head, complete=info.st_size <= DETECT_BYTES)
    return found


def _sniffed_or_none(path: str) -> str | None:
    try:
        return sniffed_encoding(path)
    except OSError:
        return None  # opening it says why


@contextmanager
def opened(piece: Piece, settings: Settings) -> Iterator[Input]:
    """The piece's input, its tokenizer set up as `settings` say. Problems with the input come
    out as InputError naming it."""
    # A file is cut into pieces only when it is read as it is (see pieces()).
    encoding = None if piece.stop is not None else settings.encoding
    try:
        with open_input(piece.path, piece.name, compression=piece.compression,
                        encoding=encoding, start=piece.start, stop=piece.stop) as source:
            configure(source.tokenizer, settings)
            yield source
            if (error := source.finish()) is not None:
                raise InputError(f"{piece.name}: {describe(error)}")
    except OSError as e:
        if e.filename is None:  # the output's, not the input's
            raise
        raise InputError(f"{piece.name}: {e.strerror or e}") from None
    except (LookupError, ValueError, ImportError) as e:
        raise InputError(f"{piece.name}: {e}") from None


def named(error: BaseException, name: str) -> BaseException:
    """`error`, of the same type where it can be made again, with the input's name in its
    message: a decompressor's or a codec's own names no file."""
    if isinstance(error, UnicodeDecodeError):
        return UnicodeDecodeError(error.encoding, error.object, error.start, error.end,
                                  f"{error.reason} (in {name})")
    if isinstance(error, OSError) and error.filename is None and error.errno is not None:
        return type(error)(error.errno, error.strerror, name)
    if isinstance(error, (MemoryError, KeyboardInterrupt, SystemExit)):
        return error
    try:
        return type(error)(f"{name}: {describe(error)}")
    except Exception:  # a type that takes other arguments
        return ValueError(f"{name}: {describe(error)}")


def describe(error: BaseException) -> str:
    if isinstance(error, UnicodeDecodeError):
        return f"not valid {error.encoding} ({error.reason}): is --encoding right?"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def configure(tokenizer: _native.Tokenizer, settings: Settings) -> None:
    if settings.words:
        # The writer ends lines at line feeds and knows a last line without one by the tokens
        # after the last, so it sees every token; it picks the words itself (word_choice).
        tokenizer.configure(ALL_TYPES, 0, MAX_U32, settings.batch_size, settings.split_hyphens)
    else:
        tokenizer.configure(settings.types, settings.min_len, settings.max_len,
                            settings.batch_size, settings.split_hyphens)
    tokenizer.tally_utf8()


def word_choice(settings: Settings) -> tuple[int, int, int]:
    """The types and length limits by which the words writer picks the words itself
    (configure() says why)."""
    if settings.words:
        return settings.types, settings.min_len, settings.max_len
    return ALL_TYPES, 0, MAX_U32


class Utf8Tally:
    """What of an input's bytes is not UTF-8: the ill-formed sequences (each maximal
    ill-formed part once), their bytes, and all its bytes from 80 up."""

    def __init__(self, sequences: int = 0, bytes: int = 0, non_ascii: int = 0) -> None:
        self.sequences = sequences
        self.bytes = bytes
        self.non_ascii = non_ascii

    def add(self, other: Utf8Tally) -> None:
        self.sequences += other.sequences
        self.bytes += other.bytes
        self.non_ascii += other.non_ascii

    def warning(self, name: str, hint: str = "is it --encoding cp1251 or koi8-r?") -> str | None:
        """What to warn of, if anything; `hint` names the options to try, in the caller's
        terms, when the input looks like Russian in a one-byte encoding."""
        if self.sequences == 0:
            return None
        text = (f"{name}: {self.sequences:,} sequence{'s' if self.sequences > 1 else ''} "
                "not valid UTF-8 (dropped, or passed on as they are)")
        # Russian text in a one-byte encoding is nearly all ill-formed non-ASCII bytes.
        if 2 * self.bytes > self.non_ascii:
            text += f"; most of its non-ASCII bytes are not UTF-8: {hint}"
        return text


class NotUtf8Warning(UnicodeWarning):
    """A source held bytes that are not UTF-8 (and was read with no encoding)."""


def utf8_tally(tokenizer: _native.Tokenizer) -> Utf8Tally:
    return Utf8Tally(*tokenizer.utf8_tally())
