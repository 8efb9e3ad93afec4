"""Many texts as one source: what counts as such a source, and how each kind reaches the native
code (an iterator of strs and bytes, or an Arrow column's own buffers)."""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from typing import Any

from vorlenta import _native

ARROW_EXTRA = "pip install 'vorlenta[arrow]'"

# One text each, never many: a str is a text, not an iterable of characters.
_ONE_SOURCE = (str, bytes, bytearray, memoryview, os.PathLike)


def is_many(source: object) -> bool:
    """Whether `source` is many texts (an iterable of them, a column) rather than one source."""
    if isinstance(source, _ONE_SOURCE):
        return False
    if hasattr(source, "read"):
        return False  # a file object is one source, however it iterates
    return _is_arrow(source) or isinstance(source, Iterable)


def _is_arrow(source: object) -> bool:
    return type(source).__module__.startswith("pyarrow")


def _is_pandas(source: object) -> bool:
    return type(source).__module__.startswith("pandas")


def feeds(source: Any) -> Iterator[Any]:
    """What the native code reads, in turn: an Arrow column's chunks as ArrowStrings (an
    iterable of Nones for a column of type null), or one Python iterable of texts. A table
    (a DataFrame, an Arrow Table or RecordBatch) is refused: it is many columns."""
    refuse_table(source)
    arrow_column = _arrow_column(source)
    if arrow_column is not None:
        yield from _arrow_feeds(arrow_column)
        return
    if _is_pandas(source) and hasattr(source, "to_numpy"):
        # Missing values (NaN, None, pd.NA) all come out as None.
        yield source.to_numpy(dtype=object, na_value=None)
        return
    yield source


def whole_feed(source: Any) -> tuple[Any, bool]:
    """The whole source as one native feed, and whether it is a list of an Arrow column's
    chunks, which the native code reads in turn, counting text places on across them (no
    copy of the column into one array)."""
    column = list(feeds(source))
    if len(column) == 1:
        return column[0], False
    return column, True


def refuse_table(source: object) -> None:
    """TypeError for a table of columns, naming the column of texts to pass instead."""
    shape = getattr(source, "shape", None)
    if not (isinstance(shape, tuple) and len(shape) == 2):
        return
    names = getattr(source, "column_names", None)  # pyarrow's
    if names is None:
        names = getattr(source, "columns", None)  # pandas', polars'
    if names is None:
        return  # a 2-D array: its rows are refused one by one as not texts
    names = [str(name) for name in names]
    pick = "text" if "text" in names else names[0] if names else "text"
    shown = ", ".join(names[:10]) + (", ..." if len(names) > 10 else "")
    raise TypeError(f"{type(source).__name__} is a table, not texts: pass its column of texts, "
                    f"such as table[{pick!r}] (its columns: {shown or 'none'})")


def _arrow_column(source: Any) -> Any:
    """The pyarrow Array or ChunkedArray that holds a source's texts: the source itself, or a
    pandas column's Arrow storage; None for any other source."""
    if _is_arrow(source):
        return source
    if _is_pandas(source) and hasattr(source, "dtype"):
        dtype = source.dtype
        if getattr(dtype, "storage", None) == "pyarrow" or type(dtype).__name__ == "ArrowDtype":
            return source.array.__arrow_array__()
    return None


def _chunks(pa: Any, column: Any) -> list[Any]:
    if isinstance(column, pa.Scalar):
        raise TypeError(f"an Arrow scalar is one value, not a column of texts: pass "
                        f"scalar.as_py(), or a column ({type(column).__name__})")
    return list(column.chunks) if isinstance(column, pa.ChunkedArray) else [column]


def _as_strings(pa: Any, chunk: Any) -> Any:
    """A chunk as a string or large_string array, which the native code reads in place."""
    if isinstance(chunk, pa.DictionaryArray):
        chunk = chunk.dictionary_decode()
    if pa.types.is_null(chunk.type):  # all null: no text
        return pa.nulls(len(chunk), pa.string())
    if pa.types.is_string_view(chunk.type):
        chunk = chunk.cast(pa.large_string())
    if not (pa.types.is_string(chunk.type) or pa.types.is_large_string(chunk.type)):
        raise TypeError(f"an Arrow column of texts must be of string or large_string, not "
                        f"{chunk.type}")
    return chunk


def _arrow_feeds(column: Any) -> Iterator[Any]:
    pa = arrow()
    for chunk in _chunks(pa, column):
        chunk = _as_strings(pa, chunk)
        validity, offsets, data = chunk.buffers()
        yield _native.ArrowStrings(offsets, data if data is not None else b"",
                                   validity if chunk.null_count else None, chunk.offset,
                                   len(chunk), pa.types.is_large_string(chunk.type))


def arrow() -> Any:
    try:
        import pyarrow
    except ImportError as e:
        raise ImportError(f"Arrow columns need pyarrow: {ARROW_EXTRA}") from e
    return pyarrow
