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
    """What the native code reads, in turn: an Arrow column's chunks as ArrowStrings, or one
    Python iterable of strs, bytes and nulls (None, NaN)."""
    if _is_arrow(source):
        yield from _arrow_feeds(source)
        return
    if _is_pandas(source) and hasattr(source, "dtype"):
        dtype = source.dtype
        if getattr(dtype, "storage", None) == "pyarrow" or type(dtype).__name__ == "ArrowDtype":
            yield from _arrow_feeds(source.array.__arrow_array__())
            return
        if hasattr(source, "to_numpy"):
            # Missing values (NaN, None, pd.NA) all come out as None.
            yield source.to_numpy(dtype=object, na_value=None)
            return
    yield source


def _arrow_feeds(column: Any) -> Iterator[Any]:
    pa = arrow()
    chunks = column.chunks if isinstance(column, pa.ChunkedArray) else [column]
    for chunk in chunks:
        if isinstance(chunk, pa.DictionaryArray):
            chunk = chunk.dictionary_decode()
        if str(chunk.type) == "string_view":
            chunk = chunk.cast(pa.large_string())
        if chunk.type not in (pa.string(), pa.large_string()):
            raise TypeError(f"an Arrow column of texts must be of string or large_string, not "
                            f"{chunk.type}")
        validity, offsets, data = chunk.buffers()
        yield _native.ArrowStrings(offsets, data if data is not None else b"",
                                   validity if chunk.null_count else None, chunk.offset,
                                   len(chunk), chunk.type == pa.large_string())


def arrow() -> Any:
    try:
        import pyarrow
    except ImportError as e:
        raise ImportError(f"Arrow columns need pyarrow: {ARROW_EXTRA}") from e
    return pyarrow
