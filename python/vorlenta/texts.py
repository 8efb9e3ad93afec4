"""Many texts as one source: what counts as such a source, and how each kind reaches the native
code (an iterator of strs and bytes, or a column that exports Arrow data, read natively through
the Arrow PyCapsule interface: polars, pyarrow, DuckDB, nanoarrow, pandas' Arrow-backed
columns)."""

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
    return _exports_arrow(source) or _is_arrow_scalar(source) or isinstance(source, Iterable)


def _exports_arrow(source: object) -> bool:
    kind = type(source)
    return hasattr(kind, "__arrow_c_stream__") or hasattr(kind, "__arrow_c_array__")


def _is_arrow_scalar(source: object) -> bool:
    return type(source).__module__.startswith("pyarrow") and hasattr(source, "as_py")


def _is_pandas(source: object) -> bool:
    return type(source).__module__.startswith("pandas")


def feeds(source: Any, column: str | None = None) -> Iterator[Any]:
    """What the native code reads: an Arrow column (of a table, with `column`) as an open
    ArrowColumn, or one Python iterable of texts."""
    yield feed(source, column)


def whole_feed(source: Any, column: str | None = None) -> tuple[Any, bool]:
    """The whole source as one native feed, and False: the native calls' `chunked` is for
    lists of ArrowStrings, which no source gives here."""
    return feed(source, column), False


def feed(source: Any, column: str | None = None) -> Any:
    """The one native feed of a source of many texts; `column` picks a table's column of texts.
    TypeError for a table without `column`, for `column` of anything else; ValueError for a
    column the table does not have."""
    if _is_arrow_scalar(source):
        raise TypeError(f"an Arrow scalar is one value, not a column of texts: pass "
                        f"scalar.as_py(), or a column ({type(source).__name__})")
    if _is_pandas(source):
        source = _pandas_column(source, column)
        column = None
        if _arrow_backed(source):
            # Its Arrow storage as pyarrow holds it (no copy), which exports it.
            source = source.array.__arrow_array__()
        elif hasattr(source, "to_numpy"):
            # Missing values (NaN, None, pd.NA) all come out as None.
            return source.to_numpy(dtype=object, na_value=None)
    if _exports_arrow(source):
        arrow_column = _native.ArrowColumn(source)
        names = arrow_column.columns
        if names is None:
            if column is not None:
                raise TypeError(_not_a_table(source))
            arrow_column.open()
        else:
            arrow_column.open(_column_index(source, names, column))
        return arrow_column
    if column is not None:
        raise TypeError(_not_a_table(source))
    refuse_table(source)
    return source


def _pandas_column(source: Any, column: str | None) -> Any:
    """A pandas DataFrame's column (its own, no copy), or the pandas object itself."""
    names = getattr(source, "columns", None)
    if names is None or not hasattr(source, "shape") or len(source.shape) != 2:
        if column is not None:
            raise TypeError(_not_a_table(source))
        return source
    names = list(names)
    return source.iloc[:, _column_index(source, [str(n) for n in names], column)]


def _arrow_backed(column: Any) -> bool:
    dtype = getattr(column, "dtype", None)
    return getattr(dtype, "storage", None) == "pyarrow" or type(dtype).__name__ == "ArrowDtype"


def _column_index(table: object, names: list[str], column: str | None) -> int:
    if column is None:
        raise TypeError(_table_message(table, names))
    if not isinstance(column, str):
        raise TypeError(f"column must be a str, not {type(column).__name__}")
    if column not in names:
        raise ValueError(f"{type(table).__name__} has no column {column!r} "
                         f"(its columns: {_shown(names)})")
    return names.index(column)


def _shown(names: list[str]) -> str:
    return (", ".join(names[:10]) + (", ..." if len(names) > 10 else "")) or "none"


def _table_message(table: object, names: list[str]) -> str:
    pick = "text" if "text" in names else names[0] if names else "text"
    return (f"{type(table).__name__} is a table, not texts: pass column=... to name its "
            f"column of texts, such as column={pick!r} (its columns: {_shown(names)})")


def _not_a_table(source: object) -> str:
    return (f"column= picks a column of a table (a DataFrame, an Arrow Table or RecordBatch, "
            f"a DuckDB relation), and {type(source).__name__} is not one")


def refuse_table(source: object) -> None:
    """TypeError for a table of columns that exports no Arrow data, naming its columns."""
    shape = getattr(source, "shape", None)
    if not (isinstance(shape, tuple) and len(shape) == 2):
        return
    names = getattr(source, "column_names", None)  # pyarrow's
    if names is None:
        names = getattr(source, "columns", None)  # pandas', polars'
    if names is None:
        return  # a 2-D array: its rows are refused one by one as not texts
    raise TypeError(_table_message(source, [str(name) for name in names]))


def arrow() -> Any:
    """pyarrow, or None where it is not installed."""
    try:
        import pyarrow
    except ImportError:
        return None
    return pyarrow
