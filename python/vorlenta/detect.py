"""Which encoding an input is in, told from its first bytes.

UTF-8 is taken whenever the bytes are well-formed UTF-8, and UTF-16 only by its byte-order
mark, where what follows it reads as UTF-16 of text (a one-byte text can start with the same
two bytes: "яю" in CP1251). Any other input is Russian text in one of four one-byte encodings:
each is tried as a reading of the bytes, and a small model of Russian text scores the
characters it gives, pair by pair; the reading that looks most like Russian wins. That covers
input that fits none of them too (Latin-1, binary data): it gets whichever reading scores best,
never an error, and a reading that cannot decode the bytes at all loses to every one that can.

The model: how often each pair of letters (case folded, ё as е) or of a letter and a non-letter
follows in a Russian text, how often lower and upper case follow each other, and how often the
typographic marks of Russian prose (« » — … and the like) occur. Any other character that is not
ASCII costs more than the rarest letter pair, so a reading that turns letters into box drawings,
Serbian letters or mathematical signs loses. The counts come from bench/own_russian.txt, a text
written for this project; `_model_counts` makes the constants below from it.
"""

from __future__ import annotations

import codecs
import math

import numpy as np
import numpy.typing as npt

# What of an input's start the choice is made from.
DETECT_BYTES = 64 * 1024

ONE_BYTE_ENCODINGS = ("cp1251", "koi8-r", "cp866", "mac-cyrillic")
_UTF16_BOMS = (codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)

_LETTERS = "абвгдежзийклмнопрстуфхцчшщъыьэюя"
# The model's symbols: the letters above, then these.
_GAP = len(_LETTERS)    # ASCII that is not a letter: spaces, digits, punctuation
_LATIN = _GAP + 1       # an ASCII letter
_SYMBOLS = _LATIN + 1   # the symbols whose pairs are counted
_MARK = _SYMBOLS        # a typographic mark of Russian prose: its pairs cost their share
_JUNK = _SYMBOLS + 1    # any other character: not what Russian text is written with
_UNDEFINED = _SYMBOLS + 2
_MARKS = frozenset("«»—–…„“”‘’№\xa0")
_NO_CASE, _LOWER, _UPPER = range(3)

# Pairs of symbols in the counted text, a row for each first symbol, a column for each second
# (in the order of _LETTERS, then _GAP and _LATIN); a digit or letter q stands for about
# e**(q/2) - 1 pairs (see _level).
_PAIR_LEVELS = (
    "0243144202455412454013021000004480",
    "2000040010030130100300000014000100",
    "6000060020220240041000021103000050",
    "3000310030010050400300000000000030",
    "6030040040130140211400000003200240",
    "0221523313454602756002032100001080",
    "3000340030000200000100000000000000",
    "4010211010000110000100000001000030",
    "0242420424434400246013312000000180",
    "0000000000000100001000010000000070",
    "6010030140020360214300000000000050",
    "4001050030100150000300010001402350",
    "5000040030002451000400000002000060",
    "7000350060300460003400200104401240",
    "0465644015555503646021043000000080",
    "3000050040010070600300000000000300",
    "5101051050000471012211001004200330",
    "4010050040441453136301030000401350",
    "6030050050310370430300000001504270",
    "0112412010213301335001042100003060",
    "0000020020000010100000000000000010",
    "1000010020010040000000000000000040",
    "2000020000000000000000000001000000",
    "4000050040200100004100002000100000",
    "2010050040000100001200000000100000",
    "2000010040000000000000000000000000",
    "0000000000000000000000000000000100",
    "0131030004020100003003001000000040",
    "0100020000302200010000000000000060",
    "0000000000010000002000000000000000",
    "0104000000000000003000010200000040",
    "0400030100011100024000000100000060",
    "45755324707467684876220541000305a3",
    "0000000000000000000000000000000034",
)
# Pairs of the cases of two following characters: none, lower, upper, each followed by
# none, lower, upper.
_CASE_PAIRS = (144, 380, 41, 419, 1609, 0, 2, 39, 0)
# Pairs that hold a typographic mark, of all the pairs of the counted text.
_MARK_PAIRS = 10
# A pair that holds junk costs this many times the rarest pair of letters; one that holds a
# byte the reading cannot decode costs more than any text makes up for.
_JUNK_FACTOR = 2.0
_UNDECODABLE = -1e9


def detect_encoding(head: bytes, complete: bool = False) -> str:
    """The codec name of the encoding that `head`, the first bytes of an input (at most
    DETECT_BYTES of them, decompressed), is in: "utf-8", "utf-16" (by its byte-order mark, which
    its codec reads), or one of ONE_BYTE_ENCODINGS. `complete` says that `head` is the whole
    input; otherwise a character cut off at its end does not count against UTF-8. Bytes that
    are not UTF-8 get the one-byte encoding they read best in, however badly that is."""
    if head.startswith(_UTF16_BOMS) and _reads_as_utf16(head):
        return "utf-16"
    try:
        # Not final unless complete: a sequence cut off at the end is left undecoded, not refused.
        codecs.utf_8_decode(head, "strict", complete)
        return "utf-8"
    except UnicodeDecodeError:
        pass
    return ONE_BYTE_ENCODINGS[int(np.argmax(_SCORES @ _pair_counts(head)))]


def _reads_as_utf16(head: bytes) -> bool:
    """Whether what follows a byte-order mark reads as UTF-16 of text: a line end, a space, a
    digit, a Latin or a Cyrillic letter is a code unit below U+0500, which a one-byte text
    never gives, since it would need a byte below 05. Nothing but the mark is UTF-16 too."""
    units = np.frombuffer(head, "<u2" if head.startswith(codecs.BOM_UTF16_LE) else ">u2",
                          count=len(head) // 2)[1:]
    return units.size == 0 or bool((units < 0x500).any())


def _pair_counts(head: bytes) -> npt.NDArray[np.float32]:
    """How often each pair of byte values follows in `head`, indexed by first * 256 + second;
    the input starts as a line does, so a first character counts too."""
    data = np.frombuffer(b"\n" + head, np.uint8)
    pairs = (data[:-1].astype(np.uint16) << 8) | data[1:]
    return np.bincount(pairs, minlength=256 * 256).astype(np.float32)


def _symbol(char: str) -> tuple[int, int]:
    """The model's symbol for a character, and its case."""
    folded = char.lower().replace("ё", "е")
    if len(folded) == 1 and folded in _LETTERS:
        return _LETTERS.index(folded), _UPPER if char != char.lower() else _LOWER
    if char.isascii():
        return (_LATIN if char.isalpha() else _GAP), _NO_CASE
    return (_MARK if char in _MARKS else _JUNK), _NO_CASE


def _model_counts(text: str) -> tuple[tuple[str, ...], tuple[int, ...], int]:
    """_PAIR_LEVELS, _CASE_PAIRS and _MARK_PAIRS as counted in `text`. Marks and junk stand
    between letters as a gap does, so that the letters on either side count as word ends."""
    pairs = np.zeros((_SYMBOLS, _SYMBOLS), np.int64)
    cases = np.zeros((3, 3), np.int64)
    marks = 0
    previous, previous_case, previous_mark = _GAP, _NO_CASE, False
    for char in "\n" + text:
        symbol, case = _symbol(char)
        mark = symbol == _MARK
        marks += mark or previous_mark
        symbol = _GAP if symbol >= _SYMBOLS else symbol
        pairs[previous, symbol] += 1
        cases[previous_case, case] += 1
        previous, previous_case, previous_mark = symbol, case, mark
    levels = tuple("".join(_level(int(n)) for n in row) for row in pairs)
    return levels, tuple(int(n) for n in cases.ravel()), marks


def _level(count: int) -> str:
    return "0123456789abcdefghijklmnopqrstuvwxyz"[round(2 * math.log1p(count))]


def _log_shares(counts: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    # Half a pair for each pair never seen: rare is not impossible.
    counts = counts + 0.5
    return np.log(counts / counts.sum())


def _scores() -> npt.NDArray[np.float32]:
    """For each of ONE_BYTE_ENCODINGS, what each pair of byte values adds to a reading's score,
    indexed as _pair_counts counts them."""
    levels = np.array([[int(q, 36) for q in row] for row in _PAIR_LEVELS], np.float64)
    letter_pairs = _log_shares(np.rint(np.expm1(levels / 2)))
    case_pairs = _log_shares(np.array(_CASE_PAIRS, np.float64)).reshape(3, 3)
    pairs = np.full((_UNDEFINED + 1, _UNDEFINED + 1), _JUNK_FACTOR * letter_pairs.min())
    pairs[:_SYMBOLS, :_SYMBOLS] = letter_pairs
    mark = math.log(_MARK_PAIRS / sum(_CASE_PAIRS))
    pairs[_MARK, :_JUNK] = pairs[:_JUNK, _MARK] = mark
    pairs[_UNDEFINED, :] = pairs[:, _UNDEFINED] = _UNDECODABLE
    rows = []
    for encoding in ONE_BYTE_ENCODINGS:
        symbols = np.empty(256, np.intp)
        cases = np.empty(256, np.intp)
        for byte in range(256):
            try:
                symbols[byte], cases[byte] = _symbol(bytes([byte]).decode(encoding))
            except UnicodeDecodeError:
                symbols[byte], cases[byte] = _UNDEFINED, _NO_CASE
        score = (pairs[symbols[:, None], symbols[None, :]]
                 + case_pairs[cases[:, None], cases[None, :]])
        rows.append(score.ravel())
    return np.array(rows, np.float32)


_SCORES = _scores()
