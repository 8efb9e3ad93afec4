"""Tokens with their places in the source, token spans as arrays, and word counts: the same
tokens as vorlentaCXX gives, with the work done natively and the interpreter released."""

from __future__ import annotations

import io
import os
import threading
import warnings
from collections import Counter
from collections.abc import Iterable, Iterator
from typing import Any, NamedTuple, TypeAlias, cast

import numpy as np
import numpy.typing as npt
from vorlenta import _native
from vorlenta.constants import BATCH_SIZE, MAX_U32, SPANS_BATCH_SIZE
from vorlenta.cores import MAX_JOBS, default_jobs, worker_count
from vorlenta.datasets import Dataset, DatasetWarning, Group
from vorlenta.sources import (
    INPUT_FORMATS,
    Input,
    InputError,
    NotUtf8Warning,
    Piece,
    Settings,
    Utf8Tally,
    described,
    named,
    open_input,
    utf8_tally,
)
from vorlenta.streams import BinaryFile, compression_of, is_binary_file, text_encoding
from vorlenta.texts import arrow, feeds, is_many, whole_feed
from vorlenta.types import ALL_TYPES, MEMBERS, WORDS, TokenType, Types, type_mask

Source: TypeAlias = ("str | bytes | bytearray | memoryview | os.PathLike[str] | os.PathLike[bytes]"
                     " | BinaryFile")
# Many texts: an iterable of strs or bytes (None and NaN are no text), a NumPy array, a pandas
# Series, or a pyarrow Array or ChunkedArray of strings.
Texts: TypeAlias = "Iterable[str | bytes | None] | Any"

# The names that warnings and errors give sources without one of their own.
STR_NAME = "<str>"
BYTES_NAME = "<bytes>"
FILE_NAME = "<file>"
TEXTS_NAME = "<texts>"
ENCODING_HINT = 'is it encoding="cp1251" or "koi8-r"? encoding="auto" finds it'
TEXTS_HINT = 'are they cp1251 or koi8-r? decode them first (b.decode("cp1251"))'


class Token(NamedTuple):
    """A token and where it lies: `source[start:stop]` in the units of the source, `str`
    indexes for a `str`, byte offsets for bytes and files.

    Attributes:
        text: the token's text.
        type: its type.
        start: where it starts in the source.
        stop: where it ends in the source (exclusive)."""

    text: str
    type: TokenType
    start: int
    stop: int


class Spans(NamedTuple):
    """A batch of token places and types, one array each, owned by the caller.

    Attributes:
        starts: each token's start (str indexes for a str, byte offsets otherwise).
        stops: each token's stop (exclusive).
        types: each token's type bit, to compare with TokenType members."""

    starts: npt.NDArray[np.int64]
    stops: npt.NDArray[np.int64]
    types: npt.NDArray[np.uint64]


class TextSpans(NamedTuple):
    """A batch of the token places of many texts: `texts[i]` is the place of token i's text
    among the texts, and its offsets are in that text.

    Attributes:
        starts: each token's start in its text.
        stops: each token's stop in its text (exclusive).
        types: each token's type bit.
        texts: the place of each token's text among the texts (from 0)."""

    starts: npt.NDArray[np.int64]
    stops: npt.NDArray[np.int64]
    types: npt.NDArray[np.uint64]
    texts: npt.NDArray[np.int64]


def _bounded(name: str, value: object, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__} {value!r}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be within {low}..{high}, not {value}")
    return value


def _open(source: Source, reading: Reading, path: Piece | None) -> Input:
    """A text source opened for the tokenizer; `path` is what a path source is (described)."""
    decompress, encoding = reading.decompress, reading.encoding
    if isinstance(source, str):
        if decompress or encoding is not None:
            raise ValueError("a str is text already: decompress and encoding apply to bytes, "
                             "paths and file objects")
        # Text in memory: the tokenizer's buffers are sized to it (a text of n bytes has at
        # most n tokens), so a short text costs little to set up. Lone surrogates pass as their
        # three-byte forms, so that every character of the str has a place and offsets stay
        # str indexes; nor are they warned of, being the str's own.
        return Input(_native.Tokenizer(source.encode("utf-8", "surrogatepass"), source), STR_NAME)
    if encoding is not None:
        encoding = text_encoding(encoding)
    if isinstance(source, (bytes, bytearray, memoryview)):
        if decompress or encoding is not None:
            return _input(io.BytesIO(source), BYTES_NAME, compression_of(None, decompress), encoding)
        # A copy of the mutable ones: the caller may change them while the native code runs
        # without the lock.
        return _tallied(Input(_native.Tokenizer(bytes(source)), BYTES_NAME))
    if path is not None:
        # Errors name the path as given, as open() would.
        given = os.fspath(cast(os.PathLike[str], source))
        return _input(given, os.fsdecode(given), path.compression, encoding)
    if is_binary_file(source):
        name = getattr(source, "name", None)
        return _input(source, name if isinstance(name, str) else FILE_NAME,
                      compression_of(None, decompress), encoding)
    raise TypeError(f"source must be a str, bytes, bytearray, a path (os.PathLike), a binary "
                    f"file object or many texts (an iterable of str or bytes), not "
                    f"{type(source).__name__}; a file name as a str would be read as the text "
                    f"itself, so pass pathlib.Path(name)")


def _input(source: str | bytes | BinaryFile, name: str, compression: str | None,
           encoding: str | None) -> Input:
    return _tallied(open_input(source, name, compression=compression, encoding=encoding))


def _tallied(source: Input) -> Input:
    # Also where the stream decides later (encoding="auto" that finds UTF-8 passes the bytes
    # through as they are): transcoded text is UTF-8, and its tally stays empty.
    source.tokenizer.tally_utf8()
    return source


def _finish(source: Input, stacklevel: int) -> None:
    """After the last token: raises what cut the input short, warns of bytes that are not
    UTF-8 (stacklevel: the caller's frame, from here)."""
    if (error := source.finish()) is not None:
        renamed = error if source.callers_error else named(error, source.name)
        if renamed is error:  # the caller's file object's own error, as it raised it
            raise error
        raise renamed from error
    # A str's tokenizer keeps no tally (its lone surrogates are its own), so it is never
    # warned of.
    if source.as_it_is:
        warning = utf8_tally(source.tokenizer).warning(source.name, ENCODING_HINT)
        if warning is not None:
            warnings.warn(warning, NotUtf8Warning, stacklevel=stacklevel + 1)


class _DatasetSource:
    """A path read as a dataset: its records' texts a group at a time, in fixed memory, by the
    reader the command uses. finish() raises or warns of what its records held."""

    def __init__(self, piece: Piece, reading: Reading) -> None:
        if not isinstance(reading.field, str):
            raise TypeError(f"field must be a str, not {type(reading.field).__name__}")
        os.stat(piece.path)  # a missing file is FileNotFoundError, as open() gives it
        encoding = None if reading.encoding is None else text_encoding(reading.encoding)
        self.piece = piece
        self.dataset = Dataset(piece, Settings(field=reading.field, encoding=encoding))

    def groups(self) -> Iterator[Group]:
        try:
            yield from self.dataset
        except InputError as e:
            raise ValueError(str(e)) from None

    def feeds(self) -> Iterator[Any]:
        """What the native calls read, in turn, as one source (chunked=True): a text's place
        among them is its record's index, from 0 (a line of JSON Lines, a row of CSV or
        Parquet), as each group has an entry for every record."""
        for group in self.groups():
            yield from feeds(group.texts)

    def finish(self, stacklevel: int) -> None:
        errors, notes = self.dataset.tally.report(self.piece.name, self.dataset.settings.field,
                                                  "field=")
        # Lines passed over are the caller's to know of; a field no record has leaves nothing
        # to tokenize, which is no result.
        if self.dataset.tally.records > 0 and self.dataset.tally.with_field == 0 \
                and self.dataset.tally.jsonl:
            raise ValueError(errors[-1])
        for message in errors + notes:
            warnings.warn(message, DatasetWarning, stacklevel=stacklevel + 1)


def _described(source: object, reading: Reading) -> Piece | None:
    """What a path source is, decided once, by the command's rule (sources.described): its
    format (`input_format`, else its name: .jsonl, .ndjson, .csv, .tsv, each compressed too,
    and .parquet are datasets) and its compression (`decompress`, else its name). None for a
    source that is no path."""
    kind = reading.input_format
    if kind is not None and kind not in INPUT_FORMATS:
        raise ValueError(f"input_format must be one of {', '.join(INPUT_FORMATS)}, or None "
                         f"(by the name), not {kind!r}")
    if not isinstance(source, os.PathLike):
        if kind not in (None, "text"):
            raise TypeError(f"input_format={kind!r}: a dataset is read from a path "
                            f"(os.PathLike), not from {type(source).__name__}")
        return None
    if reading.column is not None:
        raise TypeError(f"column= picks a column of a table; a path is no table (field= names "
                        f"the field of a dataset's records): {os.fspath(source)!r}")
    return described(os.fsdecode(os.fspath(source)),
                     Settings(input_format=kind, file_decompress=reading.decompress))


def _dataset(path: Piece | None, reading: Reading) -> _DatasetSource | None:
    """The dataset that a described path is, or None for a text source."""
    if path is None or path.format == "text":
        return None
    return _DatasetSource(path, reading)


def _limits(min_len: int, max_len: int | None) -> tuple[int, int]:
    low = _bounded("min_len", min_len, 0, MAX_U32)
    high = MAX_U32 if max_len is None else _bounded("max_len", max_len, 0, MAX_U32)
    return low, high


def _opened(source: Source, reading: Reading, path: Piece | None, types: Types, min_len: int,
            max_len: int | None, batch_size: int, split_hyphens: bool = True) -> Input:
    mask = type_mask(types)
    low, high = _limits(min_len, max_len)
    size = _bounded("batch_size", batch_size, 1, MAX_U32)
    opened = _open(source, reading, path)
    opened.tokenizer.configure(mask, low, high, size, bool(split_hyphens))
    return opened


class Reading(NamedTuple):
    """How a source is read: how its bytes become UTF-8 text (see tokenize), and for a path,
    whether it is a dataset and which field of its records holds the texts."""

    decompress: str | bool | None = None
    encoding: str | None = None
    input_format: str | None = None
    field: str = "text"
    column: str | None = None  # a table's column of texts

    @property
    def transformed(self) -> bool:
        """Whether the bytes are decompressed or transcoded as they are read."""
        return bool(self.decompress) or self.encoding is not None


class TextSettings(NamedTuple):
    """How many texts are tokenized, as the native calls take it: filter, min_len, max_len,
    split_hyphens."""

    filter: int
    min_len: int
    max_len: int
    split_hyphens: bool


# The settings of a call that names none, known before any call.
_WORD_SETTINGS = TextSettings(int(WORDS), 0, MAX_U32, True)


def _settings(types: Types, min_len: int, max_len: int | None, default: int = ALL_TYPES,
              split_hyphens: bool = True) -> TextSettings:
    if types is None and min_len == 0 and max_len is None and split_hyphens is True \
            and default == WORDS:
        return _WORD_SETTINGS
    return TextSettings(type_mask(types, default), *_limits(min_len, max_len),
                        bool(split_hyphens))


def _jobs(jobs: int | None) -> int:
    if jobs is None:
        return default_jobs()
    return worker_count(_bounded("jobs", jobs, 0, MAX_JOBS))


def tokenize(source: Source, *, types: Types = None, min_len: int = 0,
             max_len: int | None = None, decompress: str | bool | None = None,
             encoding: str | None = None, split_hyphens: bool = True,
             input_format: str | None = None) -> list[Token]:
    """Every token of the source, with its text, type and place.

    The source is a str, bytes, a path or a binary file object (anything with read or
    readinto: open(..., "rb"), gzip.open(...), sys.stdin.buffer), read in chunks. A path
    ending in .gz, .bz2, .xz or .zst is decompressed; `decompress` names the format for any
    source ("gzip", "bz2", "xz", "zstd"), or False reads the bytes as they are. `encoding`
    reads bytes in that encoding instead of UTF-8, or "auto" finds it (UTF-8, cp1251, koi8-r,
    cp866, mac-cyrillic, UTF-16 with a BOM) in the first 64 KiB. Offsets of a decompressed or
    transcoded source are in its UTF-8 text.

    `types` keeps only tokens of these types; `min_len` and `max_len` (in characters, both
    inclusive) keep only tokens of such lengths. Bytes that are not well-formed UTF-8 come out
    as with errors="surrogateescape", and a NotUtf8Warning says how many there were.

    A word's trailing hyphen that joins nothing is a PNCTTN token of its own (`to--but` gives
    `to`, `-`, `-`, `but`), and the types and limits apply to the pieces; split_hyphens=False
    keeps it on the word (`to-`, `-`, `but`), as vorlentaCXX does. So in every call that takes
    split_hyphens.

    Args:
        source: the text: a str, bytes, a path (os.PathLike) or a binary file object. A str
            is always the text itself; pass pathlib.Path(name) for a file.
        types: the token types to keep: a TokenType, an int mask, a type name ("RUWORD") or
            an iterable of these.
        min_len: the shortest token kept, in characters.
        max_len: the longest token kept, in characters (None: no limit).
        decompress: "gzip", "bz2", "xz" or "zstd" to decompress any source; False to read the
            bytes as they are; None (the default) to decompress a path by its suffix.
        encoding: a text encoding to read bytes in instead of UTF-8 ("cp1251", "koi8-r"...),
            or "auto" to find each source's own.
        split_hyphens: give a word's trailing hyphen that joins nothing as a PNCTTN token of
            its own (the default); False keeps it on the word.
        input_format: "text" reads a path whose name says it is a dataset (.jsonl, .csv...)
            as text; tokenize refuses a dataset otherwise.

    Returns:
        The tokens in order, each a Token(text, type, start, stop).

    Raises:
        TypeError: a source or an option of the wrong type.
        ValueError: an option out of range, decompress or encoding with a str, or a dataset.
        OSError: a file that cannot be opened or read, named as given."""
    if type(source) is str and decompress is None and encoding is None:
        # A str in memory: the calling thread's tokenizer, and its places as str indexes.
        settings = _settings(types, min_len, max_len, ALL_TYPES, split_hyphens)
        return _native.str_tokens(source, *settings, Token, MEMBERS)
    reading = Reading(decompress, encoding, input_format)
    path = _described(source, reading)
    if path is not None and path.format != "text":
        raise ValueError(f"{path.name} is a dataset ({path.format}): tokenize gives the tokens "
                         f"of one text, with offsets in it; spans, token_lists and count_words "
                         f"read its records (field=), and input_format='text' reads the file "
                         f"as text")
    with _opened(source, reading, path, types, min_len, max_len, BATCH_SIZE,
                 split_hyphens) as opened:
        tokens: list[Token] = []
        opened.tokenizer.tokens(Token, MEMBERS, tokens)
        _finish(opened, stacklevel=2)
    return tokens


class SpanBatches(Iterator[Spans]):
    """The batches of `spans`. Threads may share one: each batch goes to one of them."""

    def __init__(self, source: Input) -> None:
        self._source = source
        self._finished = threading.Lock()
        self._done = False

    def __next__(self) -> Spans:
        batch = self._source.tokenizer.spans()
        if batch is None:
            with self._finished:  # the end is reported once, whichever thread sees it first
                if not self._done:
                    self._done = True
                    _finish(self._source, stacklevel=2)
            raise StopIteration
        return Spans(*batch)

    def close(self) -> None:
        """Stops reading a source that was not read to its end."""
        self._source.close()

    def __del__(self) -> None:
        self._source.close()


class TextSpanBatches(Iterator[TextSpans]):
    """The batches of `spans` over many texts. An error of the texts' iterator (or a text of
    the wrong type) is raised once the tokens of the texts before it have been delivered;
    the iterator then ends."""

    def __init__(self, spans: _native.TextSpans, dataset: _DatasetSource | None = None) -> None:
        self._spans = spans
        self._dataset = dataset  # what its records held is told at the end
        self._warned = False

    def __next__(self) -> TextSpans:
        batch = self._spans.next()
        if batch is None:
            if not self._warned:
                self._warned = True
                _warn_of_bytes(self._spans.utf8_tally(), TEXTS_NAME, TEXTS_HINT, stacklevel=2)
                if self._dataset is not None:
                    self._dataset.finish(stacklevel=2)
            raise StopIteration
        return TextSpans(*batch)


def _warn_of_bytes(tally: tuple[int, int, int], name: str, hint: str, stacklevel: int) -> None:
    """Warns of bytes texts that were not UTF-8 (stacklevel: the caller's frame, from here)."""
    if tally[0] == 0:
        return
    warning = Utf8Tally(*tally).warning(name, hint)
    if warning is not None:
        warnings.warn(warning, NotUtf8Warning, stacklevel=stacklevel + 1)


def spans(source: Source | Texts, *, types: Types = None, min_len: int = 0,
          max_len: int | None = None, batch_size: int = SPANS_BATCH_SIZE,
          decompress: str | bool | None = None, encoding: str | None = None,
          split_hyphens: bool = True, jobs: int | None = None, column: str | None = None,
          input_format: str | None = None, field: str = "text"
          ) -> SpanBatches | TextSpanBatches | Iterator[TextSpans]:
    """The tokens' places and types, `batch_size` tokens at a time, as arrays: no Python
    object per token. A file is read as the batches are taken, in fixed memory. Sources,
    `decompress` and `encoding` as for tokenize.

    Over many texts, each batch also says which text each token is in (TextSpans.texts), and
    its offsets are in that text; groups of texts are tokenized on `jobs` threads (as for
    count_words), the batches the same whatever their number.

    Args:
        source: one source, as for tokenize, or many texts (an iterable of str or bytes, a
            NumPy array, a pandas Series, any column that exports Arrow strings), or a
            dataset's path.
        types: the token types to keep: a TokenType, an int mask, a type name ("RUWORD") or
            an iterable of these.
        min_len: the shortest token kept, in characters.
        max_len: the longest token kept, in characters (None: no limit).
        batch_size: tokens per batch (the last batch may hold fewer).
        decompress: "gzip", "bz2", "xz" or "zstd" to decompress any source; False to read the
            bytes as they are; None (the default) to decompress a path by its suffix.
        encoding: a text encoding to read bytes in instead of UTF-8 ("cp1251", "koi8-r"...),
            or "auto" to find each source's own. One source only.
        split_hyphens: give a word's trailing hyphen that joins nothing as a PNCTTN token of
            its own (the default); False keeps it on the word.
        jobs: threads for many texts (None: VORLENTA_JOBS, else every core the process may
            use; 0: every such core; 1: the calling thread alone).
        column: the column of a table (a DataFrame, an Arrow Table or RecordBatch, a DuckDB
            relation) that holds the texts.
        input_format: "jsonl", "csv", "tsv" or "parquet" to read a path as that dataset,
            whatever its name; "text" to read it as one text (default: by its name).
        field: the field (column) of a dataset's records that holds the text.

    Returns:
        An iterator of Spans batches for one source, of TextSpans batches for many texts
        (for a dataset, TextSpans.texts holds each token's record index, from 0)."""
    reading = Reading(decompress, encoding, input_format, field, column)
    path = _described(source, reading)
    if (dataset := _dataset(path, reading)) is not None:
        feed, chunked = dataset.feeds(), True
    elif path is not None or (column is None and not is_many(source)):
        return SpanBatches(_opened(cast(Source, source), reading, path, types, min_len, max_len,
                                   batch_size, split_hyphens))
    else:
        _one_source_only(reading)
        feed, chunked = whole_feed(source, column)
    size = _bounded("batch_size", batch_size, 1, MAX_U32)
    settings = _settings(types, min_len, max_len, ALL_TYPES, split_hyphens)
    return TextSpanBatches(_native.TextSpans(feed, *settings[:3], size, settings.split_hyphens,
                                             _jobs(jobs), chunked), dataset)


def count_words(*sources: Source | Texts, lower: bool = False, types: Types = None,
                decompress: str | bool | None = None, encoding: str | None = None,
                split_hyphens: bool = True, jobs: int | None = None,
                column: str | None = None, input_format: str | None = None,
                field: str = "text") -> Counter[str]:
    """How often each word occurs in the sources together: ENWORD and RUWORD tokens (with the
    compounds they start) unless `types` says otherwise, lower-cased if `lower`.

    A source is one text (a str, bytes, a path, a binary file object; `decompress` and
    `encoding` as for tokenize) or many: an iterable of strs or bytes, a NumPy array, a pandas
    Series, or any column that exports Arrow strings (a polars Series, a pyarrow Array or
    ChunkedArray, a nanoarrow array; None, NaN and nulls are no text), read in place; of a
    table (a DataFrame, an Arrow Table or RecordBatch, a DuckDB relation), the column named
    by `column`; or a dataset's path (.jsonl, .ndjson, .csv, .tsv, each compressed too,
    .parquet), its records' `field` read a group at a time. Each text is tokenized on its own, and the sources one after another, each opened in its
    turn, so memory stays the same whatever their number. Many texts are tokenized a group
    at a time on `jobs` threads (default: VORLENTA_JOBS, else every core the process may use;
    1 for the calling thread alone), the counts the same whatever their number.

    Args:
        *sources: any number of sources, each one text or many texts, counted together.
        lower: lower-case A-Z, А-Я and Ё.
        types: the token types counted (default: ENWORD and RUWORD), as for tokenize.
        decompress: "gzip", "bz2", "xz" or "zstd" to decompress any source; False to read the
            bytes as they are; None (the default) to decompress a path by its suffix.
        encoding: a text encoding to read bytes in instead of UTF-8 ("cp1251", "koi8-r"...),
            or "auto" to find each source's own. One source at a time, not many texts.
        split_hyphens: give a word's trailing hyphen that joins nothing as a PNCTTN token of
            its own (the default); False keeps it on the word.
        jobs: threads for many texts (None: VORLENTA_JOBS, else every core the process may
            use; 0: every such core; 1: the calling thread alone).
        column: the column of a table (a DataFrame, an Arrow Table or RecordBatch, a DuckDB
            relation) that holds the texts.
        input_format: "jsonl", "csv", "tsv" or "parquet" to read a path as that dataset,
            whatever its name; "text" to read it as one text (default: by its name).
        field: the field (column) of a dataset's records that holds the text.

    Returns:
        A Counter of the words' texts."""
    settings = _settings(types, 0, None, WORDS, split_hyphens)
    as_it_is = decompress is None and encoding is None
    if as_it_is and len(sources) == 1 and type(sources[0]) in (str, list) \
            and input_format is None and column is None:
        # One text, or a list of them: counted and made a Counter in one native call.
        words, tally = _native.count_words(sources[0], *settings, lower, settings.filter,
                                           _jobs(jobs), Counter)
        if tally[0]:
            _warn_of_bytes(tally, TEXTS_NAME, TEXTS_HINT, stacklevel=2)
        return words  # type: ignore[no-any-return]
    reading = Reading(decompress, encoding, input_format, field, column)
    counts = _native.Counts()
    for source in sources:
        # What the source is, decided once: a dataset's path, a text in memory, many texts,
        # or one text to open (a path, bytes, a file object).
        path = _described(source, reading)
        if (dataset := _dataset(path, reading)) is not None:
            _native.count_texts(dataset.feeds(), counts, *settings, lower, settings.filter,
                                _jobs(jobs), True)
            dataset.finish(stacklevel=2)
        elif path is None and as_it_is and type(source) is str and column is None:
            # One text in memory: no file, no tally (a str is text already).
            _native.count_texts(source, counts, *settings, lower, settings.filter, 1)
        elif path is None and (type(source) is list or column is not None or is_many(source)):
            _one_source_only(reading)
            # A list is read as it is, without the look at what kind of column it is.
            feed, chunked = (source, False) if type(source) is list and column is None \
                else whole_feed(source, column)
            _, tally = _native.count_texts(feed, counts, *settings, lower, settings.filter,
                                           _jobs(jobs), chunked)
            if tally[0]:
                _warn_of_bytes(tally, TEXTS_NAME, TEXTS_HINT, stacklevel=2)
        else:
            with _opened(cast(Source, source), reading, path, settings.filter, 0, None,
                         BATCH_SIZE, split_hyphens) as opened:
                opened.tokenizer.count(counts, bool(lower), settings.filter)
                _finish(opened, stacklevel=2)
    words = Counter[str]()
    counts.add_words_to(words)
    return words


def words(text: str | bytes, *, types: Types = None, lower: bool = False, min_len: int = 0,
          max_len: int | None = None, split_hyphens: bool = True) -> list[str]:
    """The texts of one text's tokens: its words (ENWORD and RUWORD tokens and the compounds
    they start) unless `types` says otherwise, lower-cased if `lower`. token_lists([text])[0]
    without the list around it, for a tokenizer= callback or a pandas .apply: a short text
    costs less than a regular expression's findall.

    Args:
        text: one text, a str or bytes.
        types: the token types kept (default: ENWORD and RUWORD), as for tokenize.
        lower: lower-case A-Z, А-Я and Ё.
        min_len: the shortest token kept, in characters.
        max_len: the longest token kept, in characters (None: no limit).
        split_hyphens: give a word's trailing hyphen that joins nothing as a PNCTTN token of
            its own (the default); False keeps it on the word.

    Returns:
        The tokens' texts, in order."""
    settings = _WORD_SETTINGS if types is None and min_len == 0 and max_len is None \
        and split_hyphens is True else _settings(types, min_len, max_len, WORDS, split_hyphens)
    if type(text) is str:
        return _native.words(text, *settings, lower)
    if not isinstance(text, (str, bytes, bytearray, memoryview)):
        raise TypeError(f"text must be a str or bytes, not {type(text).__name__}")
    # Bytes, which may not be UTF-8: warned of as many texts are.
    lists, tally = _native.token_lists([text], *settings, lower, 1)
    if tally[0]:
        _warn_of_bytes(tally, BYTES_NAME, TEXTS_HINT, stacklevel=2)
    return lists[0]


def token_lists(texts: Texts | Source, *, types: Types = None, lower: bool = False,
                min_len: int = 0, max_len: int | None = None,
                decompress: str | bool | None = None, encoding: str | None = None,
                split_hyphens: bool = True, jobs: int | None = None,
                column: str | None = None, input_format: str | None = None,
                field: str = "text") -> list[list[str]]:
    """For each text, the texts of its tokens: the words (ENWORD and RUWORD tokens and the
    compounds they start) unless `types` says otherwise, lower-cased if `lower`. A null text
    (None, NaN, an Arrow null) gives an empty list, so that the lists stay in step with the
    texts. A dataset's path gives a list per record; a file or a binary file object
    (`decompress` and `encoding` as for tokenize) is one text, and gives one list; one str or
    bytes is refused (words() takes it). Groups of texts are
    tokenized on `jobs` threads (as for count_words) and the lists made on the calling
    thread meanwhile, in the texts' order.

    Args:
        texts: many texts (an iterable of str or bytes, a NumPy array, a pandas Series, any
            column that exports Arrow strings), a dataset's path (a list per record),
            or one file or file object as for tokenize. Not one str or bytes: words() takes
            that.
        types: the token types kept (default: ENWORD and RUWORD), as for tokenize.
        lower: lower-case A-Z, А-Я and Ё.
        min_len: the shortest token kept, in characters.
        max_len: the longest token kept, in characters (None: no limit).
        decompress: "gzip", "bz2", "xz" or "zstd" to decompress any source; False to read the
            bytes as they are; None (the default) to decompress a path by its suffix.
        encoding: a text encoding to read bytes in instead of UTF-8 ("cp1251", "koi8-r"...),
            or "auto" to find each source's own. One source only.
        split_hyphens: give a word's trailing hyphen that joins nothing as a PNCTTN token of
            its own (the default); False keeps it on the word.
        jobs: threads for many texts (None: VORLENTA_JOBS, else every core the process may
            use; 0: every such core; 1: the calling thread alone).
        column: the column of a table (a DataFrame, an Arrow Table or RecordBatch, a DuckDB
            relation) that holds the texts.
        input_format: "jsonl", "csv", "tsv" or "parquet" to read a path as that dataset,
            whatever its name; "text" to read it as one text (default: by its name).
        field: the field (column) of a dataset's records that holds the text.

    Returns:
        One list of str per text, in the texts' order."""
    if isinstance(texts, (str, bytes, bytearray, memoryview)):
        # One text as a list of its characters' lists, or one list wrapped in another: neither
        # is what was meant.
        raise TypeError(f"token_lists takes many texts (a list, a column), not one "
                        f"{type(texts).__name__}: vorlenta.words(text) gives one text's tokens, "
                        f"token_lists([text]) a list of one list")
    settings = _settings(types, min_len, max_len, WORDS, split_hyphens)
    if type(texts) is list and column is None and input_format is None:
        # The common many texts, as they are: no look at what kind of source they are.
        if decompress or encoding is not None:
            _one_source_only(Reading(decompress, encoding))
        feed, chunked = texts, False
    else:
        reading = Reading(decompress, encoding, input_format, field, column)
        path = _described(texts, reading)
        if (dataset := _dataset(path, reading)) is not None:
            lists, _ = _native.token_lists(dataset.feeds(), *settings, lower, _jobs(jobs), True)
            dataset.finish(stacklevel=2)
            return lists
        if path is not None or not (is_many(texts) or column is not None):
            # One file: its bytes were warned of as they were read.
            lists, _ = _native.token_lists([_whole_text(cast(Source, texts), reading, path)],
                                           *settings, lower, 1)
            return lists
        _one_source_only(reading)
        feed, chunked = whole_feed(texts, column)
    lists, tally = _native.token_lists(feed, *settings, lower, _jobs(jobs), chunked)
    if tally[0]:
        _warn_of_bytes(tally, TEXTS_NAME, TEXTS_HINT, stacklevel=2)
    return lists


def _whole_text(source: Source, reading: Reading, path: Piece | None) -> bytes:
    """A file's text in memory, for the native many-texts tokenizer: its tokens' list holds
    more than its bytes do."""
    with _open(source, reading, path) as opened:
        data: bytes = opened.tokenizer.read_rest()
        _finish(opened, stacklevel=3)
    return data


def _one_source_only(reading: Reading) -> None:
    if reading.transformed:
        raise ValueError("decompress and encoding apply to one source (bytes, a path, a file "
                         "object), not to many texts: decode those before")


def arrow_token_lists(texts: Texts, *, types: Types = None, lower: bool = False,
                      min_len: int = 0, max_len: int | None = None,
                      split_hyphens: bool = True, jobs: int | None = None,
                      column: str | None = None, large: bool = True,
                      input_format: str | None = None, field: str = "text") -> Any:
    """token_lists as an Arrow array of lists of strings, built natively with no Python object
    per token or text: large_list<large_string>, or with `large=False` list<string> (32-bit
    offsets, as Hugging Face datasets makes; ValueError past 2**31-1 tokens or bytes). A
    pyarrow array where pyarrow is installed (a ChunkedArray gives a ChunkedArray of the same
    chunks), else an array that polars, pandas and pyarrow take through __arrow_c_array__. A
    null text gives a null list.

    Args:
        texts: many texts, as for token_lists, or a dataset's path (a list per record).
        types: the token types kept (default: ENWORD and RUWORD), as for tokenize.
        lower: lower-case A-Z, А-Я and Ё.
        min_len: the shortest token kept, in characters.
        max_len: the longest token kept, in characters (None: no limit).
        split_hyphens: give a word's trailing hyphen that joins nothing as a PNCTTN token of
            its own (the default); False keeps it on the word.
        jobs: threads for many texts (None: VORLENTA_JOBS, else every core the process may
            use; 0: every such core; 1: the calling thread alone).
        column: the column of a table (a DataFrame, an Arrow Table or RecordBatch, a DuckDB
            relation) that holds the texts.
        large: large_list<large_string> (64-bit offsets); False for list<string>.
        input_format: a dataset's format, as for token_lists.
        field: the field (column) of a dataset's records that holds the text.

    Returns:
        A pyarrow array (a ChunkedArray for a ChunkedArray of texts) where pyarrow is
        installed, else a native array exporting __arrow_c_array__."""
    settings = _settings(types, min_len, max_len, WORDS, split_hyphens)
    feed, chunked, dataset = _many_feed(texts, column, input_format, field)
    lists, tally = _native.arrow_lists(feed, *settings, bool(lower), _jobs(jobs), chunked,
                                       bool(large))
    _warn_of_bytes(tally, TEXTS_NAME, TEXTS_HINT, stacklevel=2)
    if dataset is not None:
        dataset.finish(stacklevel=2)
    pa = arrow()
    if pa is None:
        return lists
    lists = pa.array(lists)  # the native buffers, not copied
    if type(texts).__name__ == "ChunkedArray":
        # The same chunks as the texts: slices of the one array, no copy.
        pieces, at = [], 0
        for chunk in cast(Any, texts).chunks:
            pieces.append(lists.slice(at, len(chunk)))
            at += len(chunk)
        return pa.chunked_array(pieces, type=lists.type)
    return lists


def _many_feed(texts: Texts, column: str | None, input_format: str | None,
               field: str) -> tuple[Any, bool, _DatasetSource | None]:
    """Many texts, or a dataset's path, as one native feed: (feed, chunked, the dataset or
    None). TypeError for anything else (one text, a text file's path)."""
    if type(texts) is list and column is None and input_format is None:
        return texts, False, None
    reading = Reading(input_format=input_format, field=field, column=column)
    if (dataset := _dataset(_described(texts, reading), reading)) is not None:
        return dataset.feeds(), True, dataset
    feed, chunked = whole_feed(_many(texts) if column is None else texts, column)
    return feed, chunked, None


def _many(texts: object) -> Any:
    if not is_many(texts):
        raise TypeError(f"texts must be many texts (an iterable of str or bytes, a NumPy "
                        f"array, a pandas Series or an Arrow column of strings), not "
                        f"{type(texts).__name__}")
    return texts
