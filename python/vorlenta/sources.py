"""Inputs of the tool: files and standard input opened as file tokenizers, and their batches."""

from __future__ import annotations

import os
import shutil
import stat
import tempfile
from collections.abc import Callable, Iterator
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
from vorlentaCXX import ENWORD, RUWORD, FFTokenizer, TokenType

STDIN = "-"

# A bad byte costs the tokens of its batch, so batches stay small; Python's share of the work
# per batch is small already at this size.
DEFAULT_BATCH_SIZE = 4096
MAX_U32 = 2**32 - 1

TYPE_NAMES: dict[int, str] = {
    int(member): name for name, member in TokenType.__members__.items() if int(member) != 0
}
TYPE_VALUES: dict[str, int] = {name: value for value, name in TYPE_NAMES.items()}
WORD_TYPES = ENWORD | RUWORD
ALL_TYPES = 2**64 - 1


@dataclass(frozen=True)
class Settings:
    batch_size: int = DEFAULT_BATCH_SIZE
    types: int = ALL_TYPES
    min_len: int = 0
    max_len: int = MAX_U32

    def apply(self, tokenizer: FFTokenizer) -> None:
        tokenizer.set_batch_size(self.batch_size)
        tokenizer.set_filter(self.types)
        tokenizer.set_token_min_len(self.min_len)
        tokenizer.set_token_max_len(self.max_len)


@dataclass
class Source:
    """An opened input. `size` is its length in bytes when it is known before reading."""

    name: str
    tokenizer: FFTokenizer
    size: int | None


class InputError(Exception):
    """An input that cannot be read; the message names it."""


def display_name(path: str) -> str:
    # File names that are not UTF-8 arrive with surrogate escapes, which cannot be printed.
    return path.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def open_source(path: str, settings: Settings) -> Source:
    if path == STDIN:
        return _open_stdin(settings)
    name = display_name(path)
    # A directory opens as a file that yields nothing, which would pass for an empty input.
    if os.path.isdir(path):
        raise InputError(f"{name}: is a directory")
    # The path goes as bytes, so that names which are not UTF-8 open too.
    tokenizer = FFTokenizer(os.fsencode(path))
    if not tokenizer.is_fopen():
        raise InputError(f"{name}: {_open_failure(path)}")
    settings.apply(tokenizer)
    try:
        size: int | None = os.stat(path).st_size
    except OSError:
        size = None
    return Source(name, tokenizer, size)


def _open_failure(path: str) -> str:
    try:
        with open(path, "rb"):
            pass
    except OSError as e:
        return e.strerror or str(e)
    return "cannot be opened"


def _open_stdin(settings: Settings) -> Source:
    name = "<stdin>"
    try:
        info = os.fstat(0)
    except OSError:
        raise InputError(f"{name}: standard input is closed") from None
    # The tokenizer reads standard input itself through /dev/stdin, streaming and in fixed
    # memory. Opening /dev/stdin starts a regular file again from its beginning, so a file
    # that was partly read already, and a stdin that cannot be reopened (a socket), are
    # copied to a temporary file instead.
    at_start = not stat.S_ISREG(info.st_mode) or os.lseek(0, 0, os.SEEK_CUR) == 0
    if at_start:
        tokenizer = FFTokenizer(b"/dev/stdin")
        if tokenizer.is_fopen():
            settings.apply(tokenizer)
            return Source(name, tokenizer, info.st_size if stat.S_ISREG(info.st_mode) else None)
    return _copy_stdin(name, settings)


def _copy_stdin(name: str, settings: Settings) -> Source:
    with tempfile.NamedTemporaryFile(prefix="vorlenta-stdin-", delete=False) as copy:
        try:
            with open(0, "rb", closefd=False) as stdin:
                shutil.copyfileobj(stdin, copy)
            copy.flush()
            size = copy.tell()
            tokenizer = FFTokenizer(os.fsencode(copy.name))
        finally:
            # The tokenizer holds the file open, so the name can go at once.
            os.unlink(copy.name)
    if not tokenizer.is_fopen():
        raise InputError(f"{name}: cannot be read")
    settings.apply(tokenizer)
    return Source(name, tokenizer, size)


def split_tokens(text: str, count: int) -> list[str]:
    """The `count` token texts of a batch's "text"."""
    pieces = text.split("\0")
    if len(pieces) == count + 1:
        pieces.pop()
        return pieces
    # Some token is itself U+0000. Such a character always makes a token of its own and no
    # token is empty, so a token that starts with U+0000 is exactly that one character.
    tokens: list[str] = []
    pos = 0
    while len(tokens) < count:
        if text[pos] == "\0":
            tokens.append("\0")
            pos += 2
        else:
            end = text.index("\0", pos)
            tokens.append(text[pos:end])
            pos = end + 1
    return tokens


Types = npt.NDArray[np.uint64]


def batches(source: Source, on_lost: Callable[[int], None]) -> Iterator[tuple[str, Types]]:
    """(text, types) of every batch of `source`; a batch Python cannot decode is lost.

    The tokenizer has moved past a batch that fails to decode, so reading goes on after it;
    `on_lost` is told the batch's number, counted from 1. A read that fails raises InputError,
    after the batch of the tokens before it.
    """
    number = 0
    while True:
        number += 1
        try:
            batch = source.tokenizer.get_batch()
        except UnicodeDecodeError:
            on_lost(number)
            continue
        except OSError as e:
            raise InputError(f"{source.name}: {e.strerror or e}") from None
        if not batch:
            return
        yield batch["text"], batch["types"]


def text_bytes(text: str, count: int) -> int:
    """Input bytes a batch stands for: exact when no token was dropped and the input is UTF-8."""
    return len(text.encode()) - count
