"""Which encoding an input is in, told from its first bytes.

UTF-8 is taken whenever the bytes are UTF-8 but for a few stray bytes: a character cut off at
the end of the sample, or at most one byte that is not UTF-8 for every UTF8_STRAY_RATIO
well-formed characters beyond ASCII (Russian in a one-byte encoding has several times more
stray bytes than such characters, even in 20 bytes). Its byte-order mark, if any, gives
"utf-8-sig", and readers skip it. UTF-16 is taken only by its byte-order mark, where what
follows it reads as UTF-16 of text (a one-byte text can start with the same two bytes: "яю"
in CP1251). Any other input is Russian text in one of four one-byte encodings:
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
from vorlenta.streams import UTF8, UTF8_SIG

# What of an input's start the choice is made from.
DETECT_BYTES = 64 * 1024

ONE_BYTE_ENCODINGS = ("cp1251", "koi8-r", "cp866", "mac-cyrillic")
_UTF16_BOMS = (codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)
# UTF-8 with stray bytes: at most one for this many well-formed characters beyond ASCII. Samples
# of Russian text in the one-byte encodings (20 bytes to 64 KiB of two texts) never have fewer
# than 0.6 stray bytes for each such character (CP866's small letters are UTF-8's continuation
# bytes, so it comes closest), and UTF-8 with a bad byte here and there has thousands.
UTF8_STRAY_RATIO = 8

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
    DETECT_BYTES of them, decompressed), is in: "utf-8" ("utf-8-sig" when it starts with the
    byte-order mark, which readers skip), "utf-16" (by its byte-order mark, which its codec
    reads), or one of ONE_BYTE_ENCODINGS. `complete` says that `head` is the whole input.
    Bytes that are not UTF-8 get the one-byte encoding they read best in, however badly that
    is."""
    if head.startswith(_UTF16_BOMS) and _reads_as_utf16(head, complete):
        return "utf-16"
    if _is_utf8(head):
        return UTF8_SIG if head.startswith(codecs.BOM_UTF8) else UTF8
    return ONE_BYTE_ENCODINGS[int(np.argmax(_SCORES @ _pair_counts(head)))]


def _is_utf8(head: bytes) -> bool:
    """Whether `head` is UTF-8 but for a character cut off at its end and a few stray bytes."""
    try:
        # Not final: a sequence cut off at the end is left undecoded, not refused.
        codecs.utf_8_decode(head, "strict", False)
        return True
    except UnicodeDecodeError:
        pass
    stray, well_formed = _utf8_counts(_without_cut_end(head))
    return stray * UTF8_STRAY_RATIO <= well_formed


def _utf8_counts(head: bytes) -> tuple[int, int]:
    """(stray bytes, well-formed sequences beyond ASCII) of `head`, in a few passes over its
    bytes rather than a decoder's error path for each stray one.

    A sequence is well-formed where its lead byte is followed by as many continuation bytes
    (10xxxxxx) as the lead asks for: 110xxxxx one (C2..DF), 1110xxxx two, 11110xxx three (F0..F4),
    with the second byte's narrower ranges after E0 (A0..BF: no overlong form), ED (80..9F: no
    surrogate), F0 (90..BF) and F4 (80..8F: nothing past U+10FFFF). No byte belongs to two
    sequences, since a lead is never a continuation byte; every other byte from 80 up is stray.
    """
    b = np.frombuffer(head, np.uint8)
    follows = np.zeros((4, b.size), np.bool_)  # row k: the byte k places on is a continuation
    for k in range(1, min(4, b.size)):
        follows[k, :b.size - k] = (b[k:] & 0xC0) == 0x80
    second = np.zeros(b.size, np.uint8)
    second[:-1] = b[1:]
    two = (b >= 0xC2) & (b <= 0xDF) & follows[1]
    three = (((b & 0xF0) == 0xE0) & follows[1] & follows[2]
             & ~((b == 0xE0) & (second < 0xA0)) & ~((b == 0xED) & (second >= 0xA0)))
    four = ((b >= 0xF0) & (b <= 0xF4) & follows[1] & follows[2] & follows[3]
            & ~((b == 0xF0) & (second < 0x90)) & ~((b == 0xF4) & (second >= 0x90)))
    counts = [int(np.count_nonzero(m)) for m in (two, three, four)]
    sequence_bytes = 2 * counts[0] + 3 * counts[1] + 4 * counts[2]
    return int(np.count_nonzero(b >= 0x80)) - sequence_bytes, sum(counts)


def _without_cut_end(head: bytes) -> bytes:
    """`head` less the start of a character that its end cuts off."""
    for back in range(1, min(3, len(head)) + 1):
        lead = head[-back]
        if lead & 0xC0 != 0x80:  # not a continuation byte: the last character's start
            length = (2 if 0xC2 <= lead <= 0xDF else 3 if lead & 0xF0 == 0xE0
                      else 4 if 0xF0 <= lead <= 0xF4 else 1)
            return head[:-back] if length > back else head
    return head


def _reads_as_utf16(head: bytes, complete: bool) -> bool:
    """Whether what follows a byte-order mark reads as UTF-16 of text: an even number of
    bytes (when `head` is the whole input), some code units, few unpaired surrogates, and a
    line end, a space, a digit, a Latin or a Cyrillic letter, which is a code unit below U+0500
    that a one-byte text never gives, since it would need a byte below 05."""
    if complete and len(head) % 2:
        return False
    units = np.frombuffer(head, "<u2" if head.startswith(codecs.BOM_UTF16_LE) else ">u2",
                          count=len(head) // 2)[1:]
    if units.size == 0:
        return False
    high = (units >= 0xD800) & (units < 0xDC00)
    low = (units >= 0xDC00) & (units < 0xE000)
    paired = int(np.count_nonzero(high[:-1] & low[1:]))
    unpaired = int(np.count_nonzero(high)) + int(np.count_nonzero(low)) - 2 * paired
    return unpaired * 16 <= units.size and bool((units < 0x500).any())


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
