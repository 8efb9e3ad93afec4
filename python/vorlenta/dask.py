"""Word counts and token lists of a corpus on Dask, and the statistics of `vorlenta stats --dask`.

Files of any filesystem that fsspec knows (local paths, s3://..., with `storage_options`) are
cut by dask.bytes.read_bytes into blocks that end just after a line feed, and each block is
counted natively in a task of its own. A line feed is a token of its own that ends every token
and hyphen compound, so the blocks' counts add up to those of one pass over the file. A
compressed file is one block, and so is a file in an encoding whose line feed is not the byte
0A (UTF-16, UTF-32): such a file cannot be cut without decoding it.

Work runs on the current Dask client when there is one (a distributed cluster, whose workers
must see the files under the same names), else on Dask's default scheduler.
Needs Dask: pip install 'vorlenta[dask]'.
"""

from __future__ import annotations

import codecs
import io
import os
import re
import warnings
from collections import Counter
from collections.abc import Callable, Generator, Iterator, Sequence
from contextlib import contextmanager
from functools import partial
from typing import Any, TypeAlias

DASK_EXTRA = "pip install 'vorlenta[dask]'"

try:
    import dask
    import fsspec
    from dask.bytes import read_bytes
    from dask.delayed import Delayed, delayed
    from dask.utils import parse_bytes
    from fsspec.core import has_magic, url_to_fs
    from fsspec.implementations.local import LocalFileSystem
    from fsspec.utils import infer_compression
except ImportError as e:
    raise ImportError(f"vorlenta.dask needs Dask: {DASK_EXTRA}") from e

import vorlenta
from vorlenta import _native, library
from vorlenta.constants import BATCH_SIZE, MAX_U32
from vorlenta.datasets import DatasetTally, csv_groups, json_chunk, parquet_columns
from vorlenta.library import ENCODING_HINT
from vorlenta.detect import DETECT_BYTES, detect_encoding
from vorlenta.sources import (
    InputError,
    Input,
    NotUtf8Warning,
    Piece,
    Settings,
    Utf8Tally,
    configure,
    describe,
    display_name,
    binary_note,
    hidden,
    described,
    input_paths,
    pieces,
    utf8_tally,
)
from vorlenta.stats import PieceResult, Stats, WorkerFailed, count_dataset, count_tokens
from vorlenta.streams import (
    AUTO,
    UTF8,
    UTF8_SIG,
    ZSTD_EXTRA,
    compression_of,
    empty_compressed,
    text_encoding,
    utf8_block,
)
from vorlenta.texts import ARROW_EXTRA, feeds
from vorlenta.types import WORDS, Types, type_mask

DEFAULT_BLOCKSIZE = "64MiB"
# Results are added up in a tree, this many at a time: no task receives every block's counts.
FAN_IN = 8

# No dashboard, and the scheduler's HTTP server on a free port of the loopback: the usual one
# may be taken by another cluster, which would cost a warning.
LOCAL_SCHEDULER = {"dashboard": False, "dashboard_address": "127.0.0.1:0"}

UrlPath: TypeAlias = "str | os.PathLike[str] | Sequence[str | os.PathLike[str]]"


# ---- the library ----

def count_words(urlpath: UrlPath, *, blocksize: int | str = DEFAULT_BLOCKSIZE,
                lower: bool = False, types: Types = None, encoding: str = "utf-8",
                field: str | None = None, storage_options: dict[str, Any] | None = None,
                split_hyphens: bool = True) -> Counter[str]:
    """How often each word occurs in the files, as vorlenta.count_words counts them: ENWORD
    and RUWORD tokens (with the compounds they start) unless `types` says otherwise,
    lower-cased if `lower`.

    `urlpath` is a path or URL, a glob, a folder (its files, names starting with a dot passed
    over inside it, as `vorlenta stats` walks one), or a list of these, all of one filesystem.
    A file is cut into blocks of `blocksize` bytes or more (less than twice that), each
    counted by a task. `encoding` is the files' encoding: UTF-8 is counted as it is, bytes that
    are not UTF-8 included; any other is transcoded, and a block that does not decode is an
    error; "auto" finds each file's own in its first 64 KiB, as `--encoding auto` does. A file
    counted as it is that holds bytes that are not UTF-8 gets a NotUtf8Warning, naming it.
    With `field`, the inputs are datasets (by suffix: .jsonl, .ndjson, .csv, .tsv, each
    compressed too, .parquet) whose records hold a text in that field, read by the command's
    reader: JSON Lines in blocks cut at line feeds, Parquet in runs of row groups, CSV and TSV
    whole (a quoted field may hold line feeds); a record without a string there holds no text. `split_hyphens` as for vorlenta.count_words.

    A file that cannot be read raises OSError, and one that does not decode ValueError, both
    naming the file: none is left out quietly."""
    mask = type_mask(types, WORDS)
    size = _blocksize(blocksize)
    codec = text_encoding(encoding)
    options = storage_options or {}
    how = (bool(lower), mask, bool(split_hyphens))
    parts: list[Delayed] = []
    for url, name in _files(urlpath, options):
        transcode, _ = _reading(url, name, None if codec == UTF8 else codec, options)
        if field is None:
            blocks = _blocks(url, name, size, transcode, options)
            parts += [delayed(_block_words)(block, name, reading, *how)
                      for block, reading in zip(blocks, _block_readings(transcode, blocks))]
        else:
            parts += _dataset_parts(url, name, field, size, transcode, options, how)
    words, tallies = dask.compute(_tree(parts, _added_words))[0]
    for name, tally in tallies:
        if isinstance(tally, DatasetTally):
            errors, _ = tally.report(name, field or "")
            if errors:
                raise ValueError("; ".join(errors))
        elif (warning := tally.warning(name, ENCODING_HINT)) is not None:
            warnings.warn(warning, NotUtf8Warning, stacklevel=2)
    counts: Counter[str] = Counter()
    words.add_words_to(counts)
    return counts


def token_lists(column: Any, *, types: Types = None, lower: bool = False, min_len: int = 0,
                max_len: int | None = None, split_hyphens: bool = True) -> Any:
    """vorlenta.token_lists of each text of a Dask Series (a DataFrame's column), partition by
    partition: a Dask Series of lists of strs, with the column's index and name. Where pyarrow
    imports the lists are Arrow's (vorlenta.arrow_token_lists: no Python object per token),
    of the dtype pandas.ArrowDtype(pyarrow.large_list(pyarrow.large_string())); else Python
    lists, of the dtype object."""
    import pandas as pd

    options: dict[str, Any] = {"types": type_mask(types, WORDS), "lower": bool(lower),
                               "min_len": min_len, "max_len": max_len,
                               "split_hyphens": bool(split_hyphens)}
    vorlenta.token_lists([], **options)  # bad options raise here, not in every task
    try:
        import pyarrow as pa

        dtype: Any = pd.ArrowDtype(pa.large_list(pa.large_string()))
    except ImportError:
        dtype = object
    return column.map_partitions(partial(_partition_lists, arrow=dtype is not object, **options),
                                 meta=pd.Series([], dtype=dtype, name=column.name))


def _partition_lists(texts: Any, *, arrow: bool, **options: Any) -> Any:
    import pandas as pd

    if arrow:
        lists = pd.arrays.ArrowExtensionArray(vorlenta.arrow_token_lists(texts, **options))
        return pd.Series(lists, index=texts.index, name=texts.name)
    return pd.Series(vorlenta.token_lists(texts, **options), index=texts.index,
                     name=texts.name, dtype=object)


def _blocksize(blocksize: int | str) -> int:
    size = parse_bytes(blocksize) if isinstance(blocksize, str) else blocksize
    if isinstance(size, bool) or not isinstance(size, int) or size < 1:
        raise ValueError(f"blocksize must be a number of bytes of at least 1 (65536, "
                         f"\"64MiB\"), not {blocksize!r}")
    return size


def _files(urlpath: UrlPath, options: dict[str, Any]) -> list[tuple[str, str]]:
    """(URL, name) of each file named: by itself, by a glob, or inside a folder."""
    named = [urlpath] if isinstance(urlpath, (str, os.PathLike)) else list(urlpath)
    if not named:
        raise ValueError("urlpath names no file")
    filesystem = None
    found = []
    for one in named:
        text = os.fspath(one)
        fs, path = url_to_fs(text, **options)
        if filesystem is not None and fs is not filesystem:
            raise ValueError(f"{text}: not of the filesystem of {os.fspath(named[0])!r}")
        filesystem = fs
        local = isinstance(fs, LocalFileSystem)
        if has_magic(path):
            paths = [p for p in sorted(fs.glob(path)) if fs.isfile(p)]
            if not paths:
                raise FileNotFoundError(f"{text}: no file matches")
        elif fs.isdir(path):
            paths = (list(input_paths([path], _walk_error, on_binary=_binary_passed_over))
                     if local else _walk(fs, path))
        else:
            # One that is missing is named as given when it is read.
            found.append((path if local else fs.unstrip_protocol(path), text))
            continue
        found += [(p, p) if local else (fs.unstrip_protocol(p),) * 2 for p in paths]
    return found


def _walk_error(message: str) -> None:
    raise OSError(message)


def _binary_passed_over(path: str) -> None:
    warnings.warn(binary_note(path), stacklevel=5)


def _walk(fs: Any, folder: str) -> list[str]:
    """The files under a folder of another filesystem, passed over as input_paths passes over
    them (names inside it starting with a dot)."""
    root = folder.rstrip("/") + "/"
    return [path for path in sorted(fs.find(folder))
            if not any(hidden(part) for part in path[len(root):].split("/"))]


# A block's words, natively, and what of each file was not UTF-8 (for one warning per file).
Words: TypeAlias = "tuple[_native.Counts, list[tuple[str, Utf8Tally | DatasetTally]]]"


def _block_words(block: Unread | None, name: str, encoding: str | None, lower: bool,
                 mask: int, split_hyphens: bool) -> Words:
    """vorlenta.count_words of a block's bytes, its words kept native and its tally kept for
    the file's warning: the block's own would name no file, from wherever the task ran."""
    data = _utf8(block, name, encoding)
    counts = _native.Counts()
    with library._opened(data, library.Reading(), None, mask, 0, None, BATCH_SIZE,
                         split_hyphens) as opened:
        opened.tokenizer.count(counts, lower, mask)
        return counts, [(name, utf8_tally(opened.tokenizer))]


def _added_words(*parts: Words) -> Words:
    """The words of consecutive blocks, and the tallies of their files, one each (of what was
    not UTF-8, or of what a dataset's records held), added in the blocks' order."""
    counts = _native.Counts()
    tallies: list[tuple[str, Any]] = []
    for words, named in parts:
        counts.merge(words)
        for name, tally in named:
            if not tallies or tallies[-1][0] != name:
                tallies.append((name, type(tally)()))
            tallies[-1][1].add(tally)
    return counts, tallies


# ---- blocks ----

class Unread:
    """A Delayed that a task computes itself, so that it can name the file when reading fails:
    Dask passes on a failed read's own error, and a corrupt gzip file's, for one, names no
    file. A plain class, because Dask computes a Delayed that a task's arguments hold in a
    tuple, list, dict or dataclass before the task runs."""

    __slots__ = ("value",)

    def __init__(self, value: Delayed) -> None:
        self.value = value


def _read(unread: Unread, name: str) -> Any:
    try:
        return unread.value.compute(scheduler="sync")
    except MemoryError:
        raise
    except Exception as e:  # whatever the filesystem or the decompressor raises
        raise OSError(f"{name}: {describe(e)}") from None


def _utf8(block: Unread | None, name: str, encoding: str | None) -> bytes:
    """A block's bytes as UTF-8 (None: the block of an empty file)."""
    data: bytes = b"" if block is None else _read(block, name)
    try:
        return utf8_block(data, encoding)
    except UnicodeDecodeError as e:
        raise ValueError(f"{name}: {describe(e)}") from None


def _block_readings(transcode: str | None, blocks: list[Any]) -> list[str | None]:
    """How each block of a file is read: UTF8_SIG (as it is, less the byte-order mark) for the
    first block of UTF-8 that starts with one, and the rest as they are."""
    if transcode != UTF8_SIG:
        return [transcode] * len(blocks)
    return [UTF8_SIG] + [None] * (len(blocks) - 1)


def _reading(url: str, name: str, encoding: str | None, options: dict[str, Any]
             ) -> tuple[str | None, str]:
    """How a file is read: the encoding its bytes are transcoded from (None: as they are;
    UTF8_SIG: as they are, after the byte-order mark), and the name of the one it is in. AUTO
    finds the file's own in its head (after decompression) as the command finds it, and UTF-8
    found is read as it is."""
    if encoding != AUTO:
        return encoding, encoding or UTF8
    try:
        with fsspec.open(url, "rb", compression=compression_of(url), **options) as file:
            head = file.read(DETECT_BYTES + 1)
    except MemoryError:
        raise
    except Exception as e:  # as in _read
        raise OSError(f"{name}: {describe(e)}") from None
    found: str = detect_encoding(head[:DETECT_BYTES], complete=len(head) <= DETECT_BYTES)
    return None if found == UTF8 else found, found


def _cut_at_line_feeds(encoding: str | None) -> bool:
    # Then a line feed is the byte 0A and no other character holds that byte, so a cut just
    # after it starts a block that decodes on its own.
    return encoding in (None, UTF8_SIG) or codecs.encode("\n", encoding) == b"\n"


def _blocks(url: str, name: str, blocksize: int, encoding: str | None,
            options: dict[str, Any]) -> list[Unread | None]:
    """The blocks of a text file, unread; [None] for an empty file. Raises OSError for a file
    that is not there, or an empty one that should be compressed."""
    compression = compression_of(url)
    if compression is not None and infer_compression(url) != compression:
        # fsspec knows zstd only where a zstd module imports.
        raise OSError(f"{name}: {compression} input needs a {compression} module ({ZSTD_EXTRA})")
    whole = compression is not None or not _cut_at_line_feeds(encoding)
    try:
        if compression is not None:
            fs, path = url_to_fs(url, **options)
            if fs.size(path) == 0:
                raise empty_compressed(compression)
        _, [blocks] = read_bytes(_literal(url), delimiter=b"\n",
                                 blocksize=None if whole else blocksize, sample=False,
                                 compression=compression, **options)
    except (OSError, EOFError) as e:
        raise OSError(f"{name}: {describe(e)}") from None
    return [Unread(block) for block in blocks] or [None]


def _literal(url: str) -> str:
    # read_bytes takes a name with a "*" for a glob, which could match other files too: its
    # magic characters are escaped then, each in a class of its own.
    return re.sub(r"([*?[])", r"[\1]", url) if "*" in url else url


def _tree(parts: list[Delayed], add: Callable[..., Any]) -> Delayed:
    if not parts:
        return delayed(add)()
    while len(parts) > 1:
        parts = [delayed(add)(*parts[i:i + FAN_IN]) for i in range(0, len(parts), FAN_IN)]
    return parts[0]


# ---- datasets ----

def _dataset_parts(url: str, name: str, field: str, blocksize: int, encoding: str | None,
                   options: dict[str, Any], how: tuple[bool, int, bool]) -> list[Delayed]:
    """The tasks that count a dataset's texts, with the command's reader: JSON Lines in blocks
    cut at line feeds (read natively, as the command reads a chunk of lines), Parquet in runs
    of row groups of about `blocksize` bytes, CSV and TSV whole."""
    kind = described(url, Settings()).format
    if kind == "text":
        raise ValueError(f"{name}: with a field, the inputs are datasets (.jsonl, .ndjson, "
                         ".csv, .tsv, .parquet)")
    if kind in ("csv", "tsv"):
        return [delayed(_csv_words)(url, name, kind, field, encoding, options, *how)]
    if kind == "jsonl":
        blocks = _blocks(url, name, blocksize, encoding, options)
        return [delayed(_jsonl_words)(block, name, reading, field, *how)
                for block, reading in zip(blocks, _block_readings(encoding, blocks))]
    return [delayed(_parquet_words)(url, name, groups, field, options, *how)
            for groups in _row_group_runs(url, name, blocksize, options)]


def _count_texts(texts: Any, counts: _native.Counts, lower: bool, mask: int,
                 split_hyphens: bool) -> None:
    _native.count_texts(texts, counts, mask, 0, MAX_U32, split_hyphens, lower, mask, 1)


def _jsonl_words(block: Unread | None, name: str, encoding: str | None, field: str,
                 lower: bool, mask: int, split_hyphens: bool) -> Words:
    """The words of a block of JSON Lines records' texts, and the block's tally."""
    texts, tally = json_chunk(_utf8(block, name, encoding), field)
    counts = _native.Counts()
    _count_texts(texts, counts, lower, mask, split_hyphens)
    return counts, [(name, tally)]


def _csv_words(url: str, name: str, kind: str, field: str, encoding: str | None,
               options: dict[str, Any], lower: bool, mask: int, split_hyphens: bool) -> Words:
    """The words of a CSV or TSV file's texts, with the command's reader. UTF-8 is read as it
    is (bytes that are not UTF-8 as surrogate escapes); another encoding is transcoded, and a
    byte that does not decode is an error."""
    counts = _native.Counts()
    tally = DatasetTally()
    as_it_is = encoding in (None, UTF8_SIG)
    try:
        with fsspec.open(url, "rb", compression=compression_of(url), **options) as file:
            text = io.TextIOWrapper(file, encoding="utf-8-sig" if as_it_is else encoding,
                                    errors="surrogateescape" if as_it_is else "strict",
                                    newline="")
            for group in csv_groups(text, name, field, kind, tally):
                for feed in feeds(group.texts):
                    _count_texts(feed, counts, lower, mask, split_hyphens)
    except InputError as e:
        raise ValueError(str(e)) from None
    except UnicodeDecodeError as e:
        raise ValueError(f"{name}: {describe(e)}") from None
    except OSError as e:
        raise OSError(f"{name}: {describe(e)}") from None
    return counts, [(name, tally)]


def _row_group_runs(url: str, name: str, blocksize: int,
                    options: dict[str, Any]) -> list[tuple[int, int]]:
    """Runs of a Parquet file's row groups, each of about `blocksize` bytes or one group."""
    try:
        import pyarrow.parquet as pq

        with fsspec.open(url, "rb", **options) as file:
            meta = pq.ParquetFile(file).metadata
    except ImportError:
        raise ImportError(f"Parquet input needs pyarrow: {ARROW_EXTRA}") from None
    except OSError as e:
        raise OSError(f"{name}: {describe(e)}") from None
    except Exception as e:  # not Parquet
        raise ValueError(f"{name}: {describe(e)}") from None
    runs: list[tuple[int, int]] = []
    start, size = 0, 0
    for i in range(meta.num_row_groups):
        size += meta.row_group(i).total_byte_size
        if size >= blocksize:
            runs.append((start, i + 1))
            start, size = i + 1, 0
    if start < meta.num_row_groups or not runs:
        runs.append((start, meta.num_row_groups))
    return runs


def _parquet_words(url: str, name: str, groups: tuple[int, int], field: str,
                   options: dict[str, Any], lower: bool, mask: int,
                   split_hyphens: bool) -> Words:
    """The words of a run of a Parquet file's row groups, with the command's reader."""
    counts = _native.Counts()
    tally = DatasetTally()
    try:
        with fsspec.open(url, "rb", **options) as file:
            for column in parquet_columns(file, name, field, groups):
                tally.lines += len(column)
                tally.records += len(column)
                tally.skipped += column.null_count
                for feed in feeds(column):
                    _count_texts(feed, counts, lower, mask, split_hyphens)
    except InputError as e:
        raise ValueError(str(e)) from None
    except OSError as e:
        raise OSError(f"{name}: {describe(e)}") from None
    return counts, [(name, tally)]


# ---- vorlenta stats --dask ----

def cluster_stats(address: str, paths: Sequence[str], settings: Settings,
                  blocksize: int | str = DEFAULT_BLOCKSIZE
                  ) -> Generator[tuple[Piece, PieceResult]]:
    """Each input's statistics as count_piece gives them for the input whole, in the inputs'
    order, counted on a Dask cluster: `address` is a scheduler's (tcp://host:8786), or
    local:N for a cluster of N worker processes on this machine, started and closed here.
    Every worker must see the files under these names. A worker that fails, or a scheduler
    that cannot be reached, raises WorkerFailed."""
    size = _blocksize(blocksize)
    planned = [(pieces(path, 1, settings)[0], _input_stats(path, settings, size))
               for path in paths]
    with _client(address) as client:
        futures = iter(client.compute([p for _, p in planned if isinstance(p, Delayed)]))
        for piece, plan in planned:
            if isinstance(plan, Delayed):
                try:
                    plan = next(futures).result()
                except Exception as e:
                    raise WorkerFailed(f"{type(e).__name__}: {e}") from e
            yield piece, plan


@contextmanager
def _client(address: str) -> Iterator[Any]:
    import logging

    from distributed import Client, LocalCluster

    try:
        if address.startswith("local:"):
            # One thread each: the native counting runs without the interpreter, but the
            # processes are what a cluster of many machines has.
            cluster = LocalCluster(n_workers=int(address.removeprefix("local:")),
                                   threads_per_worker=1, processes=True,
                                   silence_logs=logging.ERROR, scheduler_kwargs=LOCAL_SCHEDULER)
        else:
            cluster = None
        client = Client(cluster if cluster is not None else address)
    except (OSError, TimeoutError, ValueError) as e:
        raise WorkerFailed(f"no Dask cluster at {address}: {e}") from e
    try:
        with client:
            yield client
    finally:
        if cluster is not None:
            cluster.close()


def _input_stats(path: str, settings: Settings, blocksize: int) -> Delayed | PieceResult:
    """The statistics of one input as a Delayed, or its failure when it cannot be planned."""
    if described(path, settings).format != "text":
        # A dataset's records are not cut at line feeds: one task reads it, as the command does.
        return delayed(_dataset_stats)(path, os.path.abspath(path), settings)
    name = display_name(path)
    try:
        transcode, encoding = _reading(path, name, settings.encoding, {})
        blocks = _blocks(path, name, blocksize, transcode, {})
    except OSError as e:
        return _failed(str(e))
    return _tree([delayed(_block_stats)(block, path, reading, encoding, settings)
                  for block, reading in zip(blocks, _block_readings(transcode, blocks))],
                 _added_results)


def _dataset_stats(path: str, where: str, settings: Settings) -> PieceResult:
    """count_dataset of the file at `where`, the absolute name of `path` (a worker's folder is
    not the command's), its messages naming it `path` as the command's do."""
    result = count_dataset(described(where, settings), settings)
    given, read = Piece(path).name, Piece(where).name

    def renamed(lines: Sequence[str]) -> list[str]:
        return [given + line[len(read):] if line.startswith(read) else line for line in lines]

    return result._replace(messages=renamed(result.messages))


def _failed(message: str) -> PieceResult:
    stats = Stats()
    stats.failed = 1
    return PieceResult(stats, [message], Utf8Tally())


def _block_stats(block: Unread | None, path: str, transcode: str | None, encoding: str,
                 settings: Settings) -> PieceResult:
    """count_piece of a block: `transcode` is the encoding its bytes are turned into UTF-8
    from (None: they are counted as they are), `encoding` the one the input is in."""
    piece = Piece(path)
    try:
        data = _utf8(block, piece.name, transcode)
    except (OSError, ValueError) as e:
        return _failed(str(e))
    return count_tokens(piece, settings, _in_memory(data, piece.name, encoding, settings))


@contextmanager
def _in_memory(data: bytes, name: str, encoding: str, settings: Settings) -> Iterator[Input]:
    tokenizer = _native.Tokenizer(data)
    configure(tokenizer, settings)
    yield Input(tokenizer, name, encoding)


def _added_results(*results: PieceResult) -> PieceResult:
    """The result of consecutive blocks of one input: it is counted once, and failed once,
    however many of its blocks were read or failed."""
    stats = Stats()
    messages: list[str] = []
    utf8 = Utf8Tally()
    for result in results:
        stats.add(result.stats)
        messages += result.messages
        utf8.add(result.utf8)
    stats.files = min(stats.files, 1)
    stats.failed = min(stats.failed, 1)
    encoding = next((r.encoding for r in results if r.encoding is not None), None)
    # A failed input gets its error lines and no warning, as count_piece gives it.
    return PieceResult(stats, messages, Utf8Tally() if messages else utf8, encoding=encoding)
