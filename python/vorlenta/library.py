"""Tokens with their places in the source, token spans as arrays, and word counts: the same
tokens as vorlentaCXX gives, with the work done natively and the interpreter released."""

from __future__ import annotations

import os
from collections import Counter
from collections.abc import Iterable, Iterator
from typing import NamedTuple, TypeAlias

import numpy as np
import numpy.typing as npt
from vorlentaCXX import TokenType

from vorlenta import _native

Source: TypeAlias = "str | bytes | bytearray | memoryview | os.PathLike[str] | os.PathLike[bytes]"
Types: TypeAlias = "TokenType | int | str | Iterable[TokenType | int | str] | None"

MAX_U32 = 2**32 - 1
MAX_U64 = 2**64 - 1
DEFAULT_BATCH_SIZE = 65536
# Batches that tokenize and count_words take internally: small enough that the batch buffers
# stay in the processor's caches, large enough that the per-batch work does not show.
INNER_BATCH_SIZE = 8192
WORDS = int(TokenType.ENWORD) | int(TokenType.RUWORD)
# The members by class: type bit k-1 is class k, as the native module counts them.
_MEMBERS = tuple(sorted(TokenType.__members__.values(), key=int))
_BY_NAME = {name: int(member) for name, member in TokenType.__members__.items()}


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


def type_mask(types: Types, default: int = MAX_U64) -> int:
    """A type mask from a TokenType, an int mask, a type name or an iterable of these."""
    if types is None:
        return default
    if isinstance(types, (str, int, TokenType)):
        return _one_type(types)
    if not isinstance(types, Iterable):
        raise TypeError(f"types must be a TokenType, an int mask, a type name or an iterable "
                        f"of these, not {type(types).__name__} {types!r}")
    mask = 0
    for item in types:
        if not isinstance(item, (str, int, TokenType)):
            raise TypeError(f"types must hold TokenType members, int masks or type names, "
                            f"not {type(item).__name__} {item!r}")
        mask |= _one_type(item)
    return mask


def _one_type(value: TokenType | int | str) -> int:
    if isinstance(value, str):
        name = value.strip().upper()
        if name not in _BY_NAME:
            raise ValueError(f"unknown token type {value!r}; the types are "
                             f"{', '.join(_BY_NAME)}")
        return _BY_NAME[name]
    if isinstance(value, bool):
        raise TypeError(f"a type mask must be an int, not bool {value!r}")
    mask = int(value)
    if not 0 <= mask <= MAX_U64:
        raise ValueError(f"a type mask must be within 0..2**64-1, not {mask}")
    return mask


def _bounded(name: str, value: object, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__} {value!r}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be within {low}..{high}, not {value}")
    return value


def _open(source: Source) -> _native.Tokenizer:
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
    raise TypeError(f"source must be a str, bytes, bytearray or a path (os.PathLike), not "
                    f"{type(source).__name__}; a file name as a str would be read as the text "
                    f"itself, so pass pathlib.Path(name)")


def _tokenizer(source: Source, types: Types, min_len: int, max_len: int | None,
               batch_size: int) -> _native.Tokenizer:
    mask = type_mask(types)
    low = _bounded("min_len", min_len, 0, MAX_U32)
    high = MAX_U32 if max_len is None else _bounded("max_len", max_len, 0, MAX_U32)
    size = _bounded("batch_size", batch_size, 1, MAX_U32)
    tokenizer = _open(source)
    tokenizer.configure(mask, low, high, size)
    return tokenizer


def tokenize(source: Source, *, types: Types = None, min_len: int = 0,
             max_len: int | None = None) -> list[Token]:
    """Every token of the source, with its text, type and place.

    `types` keeps only tokens of these types; `min_len` and `max_len` (in characters, both
    inclusive) keep only tokens of such lengths. Bytes that are not well-formed UTF-8 come out
    as with errors="surrogateescape"."""
    tokenizer = _tokenizer(source, types, min_len, max_len, INNER_BATCH_SIZE)
    tokens: list[Token] = []
    while tokenizer.tokens(Token, _MEMBERS, tokens):
        pass
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


def spans(source: Source, *, types: Types = None, min_len: int = 0,
          max_len: int | None = None, batch_size: int = DEFAULT_BATCH_SIZE) -> SpanBatches:
    """The tokens' places and types, `batch_size` tokens at a time, as arrays: no Python
    object per token. A file is read as the batches are taken, in fixed memory."""
    return SpanBatches(_tokenizer(source, types, min_len, max_len, batch_size))


def count_words(*sources: Source, lower: bool = False, types: Types = None) -> Counter[str]:
    """How often each word occurs in the sources together: ENWORD and RUWORD tokens (with the
    compounds they start) unless `types` says otherwise, lower-cased if `lower`."""
    mask = type_mask(types, WORDS)
    tokenizers = [_tokenizer(source, mask, 0, None, INNER_BATCH_SIZE) for source in sources]
    counts = _native.Counts()
    for tokenizer in tokenizers:
        tokenizer.count(counts, bool(lower), mask)
    words: Counter[str] = Counter()
    counts.add_words_to(words)
    return words
