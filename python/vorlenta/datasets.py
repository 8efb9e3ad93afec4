"""Datasets as inputs of the command: JSON Lines files (compressed too) and Parquet files, whose
records each hold one text in a field. They are read in fixed memory, a group of records at a
time, and each group's texts go to the native Texts, which tokenizes every text on its own."""

from __future__ import annotations

import codecs
import io
import json
import os
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, NamedTuple

from vorlenta.sources import (
    STDIN,
    InputError,
    Piece,
    Settings,
    compression_of,
    describe,
    input_format_of,
)
from vorlenta.texts import ARROW_EXTRA

# What is read of a JSON Lines input at a time; a longer line is gathered whole.
JSONL_CHUNK = 1 << 20
# Rows per Parquet batch: with long texts, a few megabytes.
PARQUET_ROWS = 1024
# The error of a field that no record has names this many keys, of the first records.
KEYS_SHOWN = 10
KEYS_RECORDS = 100
# What a line that holds no record gives.
_NO_RECORD = object()


class Group(NamedTuple):
    """Texts of consecutive records: a list of str and None (a record without a text, or a blank
    line), or an Arrow string array; `first` is the first one's number, counting from 1."""

    texts: Any
    first: int


class Dataset:
    """The groups of a dataset input, in order. `bytes_read` is what was read of it so far (for
    JSON Lines, its text after decompression; for Parquet, of the file, its size once read
    whole), and `skipped` the records that had no string in the field, which warning() reports.
    A line that is not JSON is no record, and the lines after it are still read: errors() names
    the first of them once the input has been read. Reading problems raise InputError, naming
    the input."""

    def __init__(self, piece: Piece, settings: Settings) -> None:
        self.piece = piece
        self.settings = settings
        self.format = input_format_of(piece.path, settings)
        self.bytes_read = 0
        self.skipped = 0
        self.records = 0         # JSON values read
        self.with_field = 0      # records that have the field, whatever its value
        self.keys: list[str] = []  # the keys of the first records, for the error of no field
        self.bad_lines = 0
        self.first_bad: tuple[int, str] = (0, "")

    def __iter__(self) -> Iterator[Group]:
        if self.format == "parquet":
            return self._parquet()
        return self._jsonl()

    def warning(self) -> str | None:
        if self.skipped == 0 or self._no_field():
            return None
        records = "record" if self.skipped == 1 else "records"
        return (f"{self.piece.name}: {self.skipped:,} {records} without a string field "
                f"{self.settings.field!r} (skipped)")

    def errors(self) -> list[str]:
        """What makes the input count as failed, once it has been read: lines that are not
        JSON, or a field that no record has (a misspelt --field)."""
        name, found = self.piece.name, []
        if self.bad_lines:
            line, reason = self.first_bad
            lines = "line is not valid JSON and was" if self.bad_lines == 1 else \
                "lines are not valid JSON and were"
            found.append(f"{name}: {self.bad_lines:,} {lines} passed over, the first line "
                         f"{line} ({reason})")
        if self._no_field():
            keys = ", ".join(self.keys[:KEYS_SHOWN]) or "none"
            found.append(f"{name}: no record has the field {self.settings.field!r} (the keys "
                         f"of its first records: {keys}); is --field right?")
        return found

    def _no_field(self) -> bool:
        return self.format != "parquet" and self.records > 0 and self.with_field == 0

    # ---- JSON Lines ----

    def _jsonl(self) -> Iterator[Group]:
        number = 1  # of the next line
        with _raw_input(self.piece, self.settings) as read:
            # A line cut by the end of a chunk waits for the rest of it.
            pending: list[bytes] = []
            first = True
            while data := read(JSONL_CHUNK):
                self.bytes_read += len(data)
                if first and data.startswith(codecs.BOM_UTF8):
                    data = data[len(codecs.BOM_UTF8):]  # no part of the first record
                first = False
                cut = data.rfind(b"\n")
                if cut < 0:
                    pending.append(data)
                    continue
                pending.append(data[:cut])
                lines = b"".join(pending).split(b"\n")
                pending = [data[cut + 1:]]
                yield from self._records(lines, number)
                number += len(lines)
            last = b"".join(pending)
            if last:
                yield from self._records([last], number)

    def _records(self, lines: list[bytes], first: int) -> Iterator[Group]:
        """The texts of the lines, a None for each line that holds none."""
        import orjson

        field = self.settings.field
        texts: list[str | None] = []
        for line in lines:
            try:
                record = orjson.loads(line)
            except orjson.JSONDecodeError as e:
                record = self._parsed_otherwise(line, first + len(texts), e.msg)
                if record is _NO_RECORD:
                    texts.append(None)
                    continue
            self.records += 1
            if type(record) is dict:
                if self.records <= KEYS_RECORDS and len(self.keys) < KEYS_SHOWN:
                    self.keys += [k for k in record if k not in self.keys][:KEYS_SHOWN]
                value = record.get(field, _NO_RECORD)
            else:
                value = _NO_RECORD
            self.with_field += value is not _NO_RECORD
            if type(value) is str:
                texts.append(value)
            else:
                texts.append(None)
                self.skipped += 1
        if texts:
            yield Group(texts, first)

    def _parsed_otherwise(self, line: bytes, number: int, reason: str) -> Any:
        """A line orjson refuses: a blank one, or JSON that Python's own parser reads (lone
        surrogates escaped in strings, numbers beyond a double), or a bad line, counted."""
        if not line.strip():
            return _NO_RECORD  # a blank line: no record
        try:
            return json.loads(line)
        except (ValueError, RecursionError):
            pass
        try:
            line.decode("utf-8")
        except UnicodeDecodeError:
            reason = "not UTF-8: is it --encoding cp1251, or auto?"
        self.bad_lines += 1
        if self.bad_lines == 1:
            self.first_bad = (number, reason)
        return _NO_RECORD

    # ---- Parquet ----

    def _parquet(self) -> Iterator[Group]:
        name = self.piece.name
        if self.piece.path == STDIN:
            raise InputError(f"{name}: Parquet cannot be read from standard input: name the file")
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError:
            raise InputError(f"{name}: Parquet input needs pyarrow: {ARROW_EXTRA}") from None
        field = self.settings.field
        try:
            file = _CountingFile(self.piece.path)
        except OSError as e:
            raise InputError(f"{name}: {e.strerror or e}") from None
        with file:
            try:
                parquet = pq.ParquetFile(file)
                schema = parquet.schema_arrow
                found = len(schema.get_all_field_indices(field))
                if found == 0:
                    raise InputError(f"{name}: no column {field!r} (its columns: "
                                     f"{', '.join(schema.names) or 'none'})")
                if found > 1:
                    raise InputError(f"{name}: {found} columns are named {field!r}: which one "
                                     f"holds the texts cannot be told")
                kind = schema.field(field).type
                if pa.types.is_dictionary(kind):
                    kind = kind.value_type
                if not (pa.types.is_string(kind) or pa.types.is_large_string(kind)
                        or pa.types.is_string_view(kind) or pa.types.is_null(kind)):
                    raise InputError(f"{name}: column {field!r} holds {kind}, not strings")
                first = 1
                for batch in parquet.iter_batches(batch_size=PARQUET_ROWS, columns=[field]):
                    self.bytes_read = file.read_so_far
                    column = batch.column(0)
                    self.skipped += column.null_count
                    yield Group(column, first)
                    first += len(column)
                # The reader comes back to some bytes (the footer) and passes over the columns
                # not asked for: a file read whole counts as its size.
                self.bytes_read = file.size
            except (OSError, ValueError, pa.ArrowException) as e:
                self.bytes_read = file.read_so_far
                raise InputError(f"{name}: {describe(e)}") from None


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
    compression = compression_of(piece.path, settings)
    if compression is None and settings.encoding is None:
        if piece.path == STDIN:
            # From where it stands, as a text input: a pipe, a file partly read already.
            yield _failing_as_input(lambda n: os.read(0, n), name)
            return
        try:
            file = open(piece.path, "rb", buffering=0)
        except OSError as e:
            raise InputError(f"{name}: {e.strerror or e}") from None
        with file:
            yield _failing_as_input(file.read, name)
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
