"""Datasets: JSON Lines, CSV and TSV files (compressed too) and Parquet files, whose records each
hold one text in a field. The one reader of them for the command, the library and Dask: read in
fixed memory, a group of records at a time, each group's texts going to the native code, which
tokenizes every text on its own."""

from __future__ import annotations

import codecs
import csv
import io
import os
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import IO, Any, NamedTuple

from vorlenta import _native
from vorlenta.sources import (
    STDIN,
    InputError,
    Piece,
    Settings,
    describe,
)
from vorlenta.texts import ARROW_EXTRA

# What is read of a JSON Lines input at a time; a longer line is gathered whole.
JSONL_CHUNK = 1 << 20
# Rows per Parquet batch: with long texts, a few megabytes.
PARQUET_ROWS = 1024
# CSV rows per group, and the bytes of text after which a group ends sooner.
CSV_ROWS = 4096
CSV_GROUP_BYTES = 1 << 20
# The csv module refuses a field of more than 128 KiB by default; a text may be a whole book.
CSV_FIELD_LIMIT = (1 << 31) - 1
# The error of a field that no record has names this many keys, of the first records.
KEYS_SHOWN = 10
KEYS_RECORDS = 100


class DatasetWarning(UserWarning):
    """Records of a dataset without a text in the field (skipped), or lines of JSON Lines that
    are not JSON (passed over): the rest of the dataset was read."""


class Group(NamedTuple):
    """Texts of consecutive records, an entry for each (no text for a record without one, or a
    line that holds none): the ArrowStrings of JSON Lines read natively, or an Arrow string
    array of Parquet; `first` is the first one's number, counting from 1."""

    texts: Any
    first: int


class DatasetTally:
    """What a dataset's records held, over the pieces of one input: the records without a
    string in the field (a warning), the lines that are not JSON and a field no record has
    (errors). report() says it once the input's pieces are all in."""

    def __init__(self) -> None:
        self.lines = 0        # lines (rows of Parquet) read
        self.records = 0      # JSON values read
        self.with_field = 0   # records that have the field, whatever its value
        self.skipped = 0      # records without a string there
        self.bad_lines = 0
        self.first_bad: tuple[int, str] = (0, "")  # its line from 0, of those read, and why
        self.keys: list[str] = []  # the keys of the first records, for the error of no field
        self.jsonl = False    # JSON Lines, whose records may lack a field; a Parquet column
        #                       is there or is an error at once

    @classmethod
    def of_chunk(cls, stats: tuple[Any, ...]) -> DatasetTally:
        """The tally of a chunk of lines, from what json_texts says of it."""
        tally = cls()
        (tally.lines, tally.records, tally.with_field, tally.skipped, tally.bad_lines, bad,
         reason, tally.keys) = stats
        tally.first_bad = (bad, reason)
        tally.jsonl = True
        return tally

    def add(self, other: DatasetTally) -> None:
        """Adds the tally of the lines that come after this one's."""
        if other.bad_lines and not self.bad_lines:
            self.first_bad = (self.lines + other.first_bad[0], other.first_bad[1])
        if len(self.keys) < KEYS_SHOWN and self.records < KEYS_RECORDS:
            self.keys += [k for k in other.keys if k not in self.keys][:KEYS_SHOWN - len(self.keys)]
        self.lines += other.lines
        self.records += other.records
        self.with_field += other.with_field
        self.skipped += other.skipped
        self.bad_lines += other.bad_lines
        self.jsonl = self.jsonl or other.jsonl

    def report(self, name: str, field: str, option: str = "--field"
               ) -> tuple[list[str], list[str]]:
        """(errors, warnings), a line each, of a tally of a whole input; `option` is how the
        caller names the field (the command's --field, the library's field=)."""
        errors, warnings = [], []
        if self.bad_lines:
            line, reason = self.first_bad
            lines = "line is not valid JSON and was" if self.bad_lines == 1 else \
                "lines are not valid JSON and were"
            errors.append(f"{name}: {self.bad_lines:,} {lines} passed over, the first line "
                          f"{line + 1} ({reason})")
        if self.jsonl and self.records > 0 and self.with_field == 0:
            keys = ", ".join(self.keys[:KEYS_SHOWN]) or "none"
            errors.append(f"{name}: no record has the field {field!r} (the keys of its first "
                          f"records: {keys}); is {option} right?")
        elif self.skipped:
            records = "record" if self.skipped == 1 else "records"
            warnings.append(f"{name}: {self.skipped:,} {records} without a string field "
                            f"{field!r} (skipped)")
        return errors, warnings


def json_chunk(chunk: bytes, field: str) -> tuple[Any, DatasetTally]:
    """The texts of the whole lines of `chunk`, read natively (an ArrowStrings, an entry for
    each line, no text for a line that holds none), and their tally."""
    texts, stats = _native.json_texts(chunk, field)
    return texts, DatasetTally.of_chunk(stats)


class _Lines(NamedTuple):
    group: Group
    lines: int


class Dataset:
    """The groups of a dataset piece, in order: a whole input, the lines of a JSON Lines file
    between two cuts, or row groups of a Parquet file. `bytes_read` is what was read of it so
    far (for JSON Lines, its text after decompression; for Parquet, of the file, its share of
    the file's size once read whole), and `tally` what its records held. A line that is not
    JSON is no record, and the lines after it are still read. Reading problems raise
    InputError, naming the input."""

    def __init__(self, piece: Piece, settings: Settings) -> None:
        self.piece = piece
        self.settings = settings
        self.format = piece.format
        self.bytes_read = 0
        self.tally = DatasetTally()
        self.tally.jsonl = self.format != "parquet"

    def __iter__(self) -> Iterator[Group]:
        if self.format == "parquet":
            return self._parquet()
        if self.format in ("csv", "tsv"):
            return self._csv()
        return self._jsonl()

    # ---- JSON Lines ----

    def _jsonl(self) -> Iterator[Group]:
        number = self.piece.first  # of the next line
        with _raw_input(self.piece, self.settings) as read:
            # A line cut by the end of a chunk waits for the rest of it.
            pending: list[bytes] = []
            first = self.piece.start == 0
            while data := read(JSONL_CHUNK):
                self.bytes_read += len(data)
                if first and data.startswith(codecs.BOM_UTF8):
                    data = data[len(codecs.BOM_UTF8):]  # no part of the first record
                first = False
                cut = data.rfind(b"\n")
                if cut < 0:
                    pending.append(data)
                    continue
                pending.append(data[:cut + 1])
                chunk = b"".join(pending)
                pending = [data[cut + 1:]]
                group = self._records(chunk, number)
                number += group.lines
                yield group.group
            last = b"".join(pending)
            if last:
                yield self._records(last, number).group

    def _records(self, chunk: bytes, first: int) -> _Lines:
        texts, tally = json_chunk(chunk, self.settings.field)
        self.tally.add(tally)
        return _Lines(Group(texts, first), tally.lines)

    # ---- CSV and TSV ----

    def _csv(self) -> Iterator[Group]:
        self.tally.jsonl = False
        with _raw_input(self.piece, self.settings) as read:
            # Bytes that are not UTF-8 pass as surrogate escapes, as they do in tokens.
            text = io.TextIOWrapper(io.BufferedReader(_Reader(read, self)), encoding="utf-8-sig",
                                    errors="surrogateescape", newline="")
            yield from csv_groups(text, self.piece.name, self.settings.field, self.format,
                                  self.tally)

    # ---- Parquet ----

    def _parquet(self) -> Iterator[Group]:
        name = self.piece.name
        if self.piece.path == STDIN:
            raise InputError(f"{name}: Parquet cannot be read from standard input: name the file")
        try:
            file = _CountingFile(self.piece.path)
        except OSError as e:
            raise InputError(f"{name}: {e.strerror or e}") from None
        with file:
            first = self.piece.first
            groups = self.piece.row_groups
            share = file.size if groups is None else self.piece.size or 0
            try:
                for column in parquet_columns(file, name, self.settings.field, groups):
                    self.bytes_read = min(file.read_so_far, share)
                    self.tally.lines += len(column)
                    self.tally.records += len(column)
                    self.tally.skipped += column.null_count
                    yield Group(column, first)
                    first += len(column)
            except InputError:
                self.bytes_read = min(file.read_so_far, share)
                raise
            # The reader comes back to some bytes (the footer) and passes over the columns
            # not asked for: a file read whole counts as its size, a piece as its share.
            self.bytes_read = share


def parquet_columns(file: Any, name: str, field: str,
                    row_groups: tuple[int, int] | None = None) -> Iterator[Any]:
    """The texts of a Parquet file's column `field` (of all its row groups, or of [a, b)),
    PARQUET_ROWS at a time, as Arrow arrays of strings. `file` is a binary file object that can
    seek. A file that is not Parquet, or without such a column of strings, raises InputError
    naming it as `name`."""
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        raise InputError(f"{name}: Parquet input needs pyarrow: {ARROW_EXTRA}") from None
    try:
        parquet = pq.ParquetFile(file)
        schema = parquet.schema_arrow
        found = len(schema.get_all_field_indices(field))
        if found == 0:
            raise InputError(f"{name}: no column {field!r} (its columns: "
                             f"{', '.join(schema.names) or 'none'})")
        if found > 1:
            raise InputError(f"{name}: {found} columns are named {field!r}: which one holds "
                             f"the texts cannot be told")
        kind = schema.field(field).type
        if pa.types.is_dictionary(kind):
            kind = kind.value_type
        if not (pa.types.is_string(kind) or pa.types.is_large_string(kind)
                or pa.types.is_string_view(kind) or pa.types.is_null(kind)):
            raise InputError(f"{name}: column {field!r} holds {kind}, not strings")
        for batch in parquet.iter_batches(
                batch_size=PARQUET_ROWS, columns=[field],
                row_groups=None if row_groups is None else range(*row_groups)):
            yield batch.column(0)
    except (OSError, ValueError, pa.ArrowException) as e:
        raise InputError(f"{name}: {describe(e)}") from None


def csv_groups(text: IO[str], name: str, field: str, kind: str,
               tally: DatasetTally) -> Iterator[Group]:
    """The groups of a CSV (or, `kind` "tsv", TSV) text with a header, read by Python's csv
    module, counted into `tally`: the rows' `field` column, None for a row too short to hold
    it. `text` is opened with newline="" (a quoted field may hold line feeds). A malformed
    file, or a header without the column, raises InputError naming it as `name`."""
    if csv.field_size_limit() < CSV_FIELD_LIMIT:
        csv.field_size_limit(CSV_FIELD_LIMIT)
    rows = csv.reader(text, delimiter="\t" if kind == "tsv" else ",")
    try:
        header = next(rows, None)
        if header is None:
            return
        column = _csv_column(header, name, field)
        first, size = 1, 0
        texts: list[str | None] = []
        # A blank line is no row, as spreadsheets and pandas have it.
        for row in (row for row in rows if row):
            value = row[column] if column < len(row) else None
            texts.append(value)
            size += len(value or "")
            if len(texts) == CSV_ROWS or size >= CSV_GROUP_BYTES:
                yield _csv_group(texts, first, tally)
                first, size, texts = first + len(texts), 0, []
        if texts:
            yield _csv_group(texts, first, tally)
    except csv.Error as e:
        raise InputError(f"{name}: line {rows.line_num}: {e}") from None


def _csv_group(texts: list[str | None], first: int, tally: DatasetTally) -> Group:
    tally.lines += len(texts)
    tally.records += len(texts)
    tally.skipped += texts.count(None)
    return Group(texts, first)


def _csv_column(header: list[str], name: str, field: str) -> int:
    """Where the header names `field`; InputError when it names none, or more than one."""
    found = [i for i, label in enumerate(header) if label == field]
    if not found:
        shown = ", ".join(header[:KEYS_SHOWN]) + (", ..." if len(header) > KEYS_SHOWN else "")
        raise InputError(f"{name}: no column {field!r} (its header: {shown or 'none'})")
    if len(found) > 1:
        raise InputError(f"{name}: {len(found)} columns are named {field!r}: which one holds "
                         f"the texts cannot be told")
    return found[0]


class _Reader(io.RawIOBase):
    """A raw binary file over read(n), for the text layer the csv module reads; counts what
    it gives in the dataset's bytes_read."""

    def __init__(self, read: Callable[[int], bytes], dataset: Dataset) -> None:
        self._read = read
        self._dataset = dataset

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any, /) -> int:
        data = self._read(len(buffer))
        buffer[:len(data)] = data
        self._dataset.bytes_read += len(data)
        return len(data)


class _CountingFile(io.FileIO):
    """A file for pyarrow's reader that counts the bytes read from it."""

    count = 0

    def __init__(self, path: str) -> None:
        super().__init__(path, "rb")
        self.size = os.fstat(self.fileno()).st_size

    @property
    def read_so_far(self) -> int:
        """What was read of the file, as a part of its size."""
        return min(self.count, self.size)

    def read(self, size: int | None = -1, /) -> bytes:
        data = super().read(size)
        self.count += len(data or b"")
        return data or b""

    def readinto(self, buffer: Any, /) -> int:
        n = super().readinto(buffer) or 0
        self.count += n
        return n


@contextmanager
def _raw_input(piece: Piece, settings: Settings) -> Iterator[Callable[[int], bytes]]:
    """read(n) of the input's bytes, decompressed and in UTF-8 (as a text input's are): b"" at
    its end. A read that fails raises InputError, and so does a compressed or transcoded input
    that ends early (at its end, before the last line is taken)."""
    name = piece.name
    compression = piece.compression
    # A file is cut into pieces only when it is read as it is (see pieces()).
    if compression is None and (settings.encoding is None or piece.stop is not None):
        if piece.path == STDIN:
            # From where it stands, as a text input: a pipe, a file partly read already.
            yield _failing_as_input(lambda n: os.read(0, n), name)
            return
        try:
            file = open(piece.path, "rb", buffering=0)
            file.seek(piece.start)
        except OSError as e:
            raise InputError(f"{name}: {e.strerror or e}") from None
        with file:
            if piece.stop is None:
                yield _failing_as_input(file.read, name)
                return
            left = piece.stop - piece.start

            def read_range(n: int) -> bytes:
                nonlocal left
                data = file.read(min(n, left)) if left > 0 else b""
                left -= len(data or b"")
                return data

            yield _failing_as_input(read_range, name)
        return
    from vorlenta.streams import open_utf8_stream

    try:
        stream = open_utf8_stream(0 if piece.path == STDIN else piece.path, name,
                                  compression=compression, encoding=settings.encoding)
    except OSError as e:
        raise InputError(f"{name}: {e.strerror or e}") from None
    except (LookupError, ValueError, ImportError) as e:
        raise InputError(f"{name}: {e}") from None

    def read(n: int) -> bytes:
        data = os.read(stream.fd, n)
        if not data:
            stream.close()
            if (error := stream.error()) is not None:
                raise InputError(f"{name}: {describe(error)}")
        return data

    with stream:
        yield _failing_as_input(read, name)


def _failing_as_input(read: Callable[[int], bytes | None], name: str) -> Callable[[int], bytes]:
    def reading(n: int) -> bytes:
        try:
            data = read(n)
        except OSError as e:
            raise InputError(f"{name}: {e.strerror or e}") from None
        if data is None:  # a descriptor in non-blocking mode with nothing to read yet
            raise InputError(f"{name}: the input is in non-blocking mode")
        return data
    return reading
