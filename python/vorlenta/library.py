"""Tokens with their places in the source, token spans as arrays, and word counts: the same
tokens as vorlentaCXX gives, with the work done natively and the interpreter released."""

from __future__ import annotations

import os
from collections import Counter
from collections.abc import Iterable, Iterator
from typing import Any, NamedTuple, TypeAlias, cast

import numpy as np
import numpy.typing as npt
from vorlenta import _native
from vorlenta.texts import arrow, feeds, is_many
from vorlenta.types import MAX_U64, MEMBERS, WORDS, TokenType, Types, type_mask

Source: TypeAlias = "str | bytes | bytearray | memoryview | os.PathLike[str] | os.PathLike[bytes]"
# Many texts: an iterable of strs or bytes (None and NaN are no text), a NumPy array, a pandas
# Series, or a pyarrow Array or ChunkedArray of strings.
Texts: TypeAlias = "Iterable[str | bytes | None] | Any"

MAX_U32 = 2**32 - 1
DEFAULT_BATCH_SIZE = 65536
# Batches that tokenize and count_words take internally: small enough that the batch buffers
# stay in the processor's caches, large enough that the per-batch work does not show.
INNER_BATCH_SIZE = 8192


class Token(NamedTuple):
    """A token and where it lies: `source[start:stop]` in the units of the source, `str`
    indexes for a `str`, byte offsets for bytes and files."""

    text: str
    type: TokenType
    start: int
    stop: int


class Spans(NamedTuple):
    """A batch of token places and types, one array each, owned by the caller."""

    starts: npt.NDArray[np.int64]
    stops: npt.NDArray[np.int64]
    types: npt.NDArray[np.uint64]


class TextSpans(NamedTuple):
    """A batch of the token places of many texts: `texts[i]` is the place of token i's text
    among the texts, and its offsets are in that text."""

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


def _open(source: Source) -> _native.Tokenizer:
    # Text in memory: the tokenizer's buffers are sized to it (a text of n bytes has at most n
    # tokens), so a short text costs little to set up.
    if isinstance(source, str):
        # Lone surrogates pass as their three-byte forms, so that every character of the str
        # has a place and offsets stay str indexes.
        return _native.Tokenizer(source.encode("utf-8", "surrogatepass"), source)
    if isinstance(source, bytes):
        return _native.Tokenizer(source)
    if isinstance(source, (bytearray, memoryview)):
        # A copy: the caller may change these while the native code runs without the lock.
        return _native.Tokenizer(bytes(source))
    if isinstance(source, os.PathLike):
        # Errors name the path as given, as open() would.
        return _native.Tokenizer.open(os.fsencode(source), name=os.fspath(source))
    raise TypeError(f"source must be a str, bytes, bytearray, a path (os.PathLike) or many "
                    f"texts (an iterable of str or bytes), not {type(source).__name__}; a file "
                    f"name as a str would be read as the text itself, so pass "
                    f"pathlib.Path(name)")


def _limits(min_len: int, max_len: int | None) -> tuple[int, int]:
    low = _bounded("min_len", min_len, 0, MAX_U32)
    high = MAX_U32 if max_len is None else _bounded("max_len", max_len, 0, MAX_U32)
    return low, high


def _tokenizer(source: Source, types: Types, min_len: int, max_len: int | None,
               batch_size: int) -> _native.Tokenizer:
    mask = type_mask(types)
    low, high = _limits(min_len, max_len)
    size = _bounded("batch_size", batch_size, 1, MAX_U32)
    tokenizer = _open(source)
    tokenizer.configure(mask, low, high, size)
    return tokenizer


def _texts(types: Types, min_len: int, max_len: int | None, default: int = MAX_U64
           ) -> _native.Texts:
    """A tokenizer for many texts."""
    texts = _native.Texts()
    texts.configure(type_mask(types, default), *_limits(min_len, max_len))
    return texts


def tokenize(source: Source, *, types: Types = None, min_len: int = 0,
             max_len: int | None = None) -> list[Token]:
    """Every token of the source, with its text, type and place.

    `types` keeps only tokens of these types; `min_len` and `max_len` (in characters, both
    inclusive) keep only tokens of such lengths. Bytes that are not well-formed UTF-8 come out
    as with errors="surrogateescape"."""
    tokenizer = _tokenizer(source, types, min_len, max_len, INNER_BATCH_SIZE)
    tokens: list[Token] = []
    tokenizer.tokens(Token, MEMBERS, tokens)
    return tokens


class SpanBatches(Iterator[Spans]):
    """The batches of `spans`. Threads may share one: each batch goes to one of them."""

    def __init__(self, tokenizer: _native.Tokenizer) -> None:
        self._tokenizer = tokenizer

    def __next__(self) -> Spans:
        batch = self._tokenizer.spans()
        if batch is None:
            raise StopIteration
        return Spans(*batch)


class TextSpanBatches(Iterator[TextSpans]):
    """The batches of `spans` over many texts."""

    def __init__(self, spans: _native.TextSpans) -> None:
        self._spans = spans

    def __next__(self) -> TextSpans:
        batch = self._spans.next()
        if batch is None:
            raise StopIteration
        return TextSpans(*batch)


def spans(source: Source | Texts, *, types: Types = None, min_len: int = 0,
          max_len: int | None = None, batch_size: int = DEFAULT_BATCH_SIZE
          ) -> SpanBatches | TextSpanBatches:
    """The tokens' places and types, `batch_size` tokens at a time, as arrays: no Python
    object per token. A file is read as the batches are taken, in fixed memory.

    Over many texts, each batch also says which text each token is in (TextSpans.texts), and
    its offsets are in that text."""
    if not is_many(source):
        return SpanBatches(_tokenizer(cast(Source, source), types, min_len, max_len, batch_size))
    size = _bounded("batch_size", batch_size, 1, MAX_U32)
    column = list(feeds(source))
    if len(column) > 1:  # an Arrow column in chunks: one array, so that text places run on
        column = list(feeds(cast(Any, source).combine_chunks()))
    low, high = _limits(min_len, max_len)
    return TextSpanBatches(_native.TextSpans(column[0] if column else [], type_mask(types),
                                             low, high, size))


def count_words(*sources: Source | Texts, lower: bool = False, types: Types = None
                ) -> Counter[str]:
    """How often each word occurs in the sources together: ENWORD and RUWORD tokens (with the
    compounds they start) unless `types` says otherwise, lower-cased if `lower`.

    A source is one text (a str, bytes, a path) or many: an iterable of strs or bytes, a
    NumPy array, a pandas Series, a pyarrow Array or ChunkedArray of strings (None, NaN and
    nulls are no text). Each text is tokenized on its own, and the sources one after another,
    each opened in its turn, so memory stays the same whatever their number."""
    mask = type_mask(types, WORDS)
    counts = _native.Counts()
    texts: _native.Texts | None = None
    for source in sources:
        if is_many(source):
            if texts is None:
                texts = _texts(mask, 0, None)
            for feed in feeds(source):
                texts.count(feed, counts, bool(lower), mask)
        else:
            one = cast(Source, source)
            _tokenizer(one, mask, 0, None, INNER_BATCH_SIZE).count(counts, bool(lower), mask)
    words: Counter[str] = Counter()
    counts.add_words_to(words)
    return words


def token_lists(texts: Texts | str | bytes, *, types: Types = None, lower: bool = False,
                min_len: int = 0, max_len: int | None = None) -> list[list[str]]:
    """For each text, the texts of its tokens: the words (ENWORD and RUWORD tokens and the
    compounds they start) unless `types` says otherwise, lower-cased if `lower`. A null text
    (None, NaN, an Arrow null) gives an empty list, so that the lists stay in step with the
    texts. A single str or bytes is one text."""
    tokenizer = _texts(types, min_len, max_len, WORDS)
    lists: list[list[str]] = []
    for feed in feeds([texts] if isinstance(texts, (str, bytes)) else _many(texts)):
        lists += tokenizer.lists(feed, bool(lower))
    return lists


def arrow_token_lists(texts: Texts, *, types: Types = None, lower: bool = False,
                      min_len: int = 0, max_len: int | None = None) -> Any:
    """token_lists as a pyarrow array of lists of strings (large_list of large_string), built
    from native buffers with no Python object per token or text; a ChunkedArray gives a
    ChunkedArray of the same chunks. A null text gives a null list. Needs pyarrow (the extra
    arrow)."""
    pa = arrow()
    tokenizer = _texts(types, min_len, max_len, WORDS)
    arrays = []
    for feed in feeds(_many(texts)):
        list_offsets, value_offsets, data, nulls = tokenizer.arrow_lists(feed, bool(lower))
        values = pa.LargeStringArray.from_buffers(len(value_offsets) - 1,
                                                  pa.py_buffer(value_offsets),
                                                  pa.py_buffer(data))
        mask = pa.array(nulls.view(np.bool_)) if nulls.any() else None
        arrays.append(pa.LargeListArray.from_arrays(pa.array(list_offsets), values, mask=mask))
    if type(texts).__name__ == "ChunkedArray":
        return pa.chunked_array(arrays, type=pa.large_list(pa.large_string()))
    if not arrays:
        return pa.array([], type=pa.large_list(pa.large_string()))
    return arrays[0] if len(arrays) == 1 else pa.concat_arrays(arrays)


def _many(texts: object) -> Any:
    if not is_many(texts):
        raise TypeError(f"texts must be many texts (an iterable of str or bytes, a NumPy "
                        f"array, a pandas Series or a pyarrow array of strings), not "
                        f"{type(texts).__name__}")
    return texts
