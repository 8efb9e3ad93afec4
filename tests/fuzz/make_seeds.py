"""Writes the fuzz target's starting corpus: a few headers (keep-all, growing source, span size,
settings per call) in front of texts that reach the tokenizer's edges. Usage: make_seeds.py OUTPUT_DIR"""

import hashlib
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]

TEXTS = [
    "Санкт-Петербург, 7 декабря: well-known facts.\n".encode(),
    "Ёжик в тумане — 1-й фильм; IT-отдел и COVID-19 «кавычки» №5…\r\n".encode(),
    b"a b c d e",
    b"abc--def -abc abc- a - b",
    b"z" * 300 + " ".encode() + "щ".encode() * 200 + b" " + b"7" * 129,
    "-".join("abcdefghijklmnopqr").encode(),
    "-".join(["x" * 60, "я" * 60, "1" * 60]).encode(),
    b"\xc0\x80 \xed\xa0\x80 \xf4\x90\x80\x80 \xf7\xbf\xbf\xbf a\x80\x80\x80\x80\x80\x80 \xd0\xf8",
    b"\xd0\xd0\xbf \xe2\x82a \x80\x80 \xf0\x9f\x98\x80\x80\x80\x80\x80 \xf8\xff",
    b"\x00\x00a\x00\t\x0b\xc2\xa0\n\n",
    (ROOT / "examples" / "sample.txt").read_bytes()[:3000],
]

# Byte 0: bit 0 keep every token, bit 1 the source grows once drained, bit 2 the fast loop
# records offsets, high nibble the number of calls that change the settings. Byte 1: the span
# size (from 128 up, long enough for the block path). Bytes 2..15: batch size, shortest
# and longest length selectors, in turn.
HEADERS = [
    bytes([0x00, 192]) + bytes(14),
    bytes([0x31, 7]) + bytes([3, 0, 0, 1, 0, 0, 0, 0, 0, 2, 0, 0, 7, 0]),
    bytes([0x37, 1]) + bytes([1, 0, 0, 0, 0, 0, 225, 0, 0, 5, 0, 0, 1, 0]),
    bytes([0xF4, 63]) + bytes([5, 1, 130, 2, 210, 20, 0, 0, 0, 9, 129, 255, 17, 3]),
    bytes([0x56, 200]) + bytes([224, 128, 255, 6, 2, 4, 1, 0, 0, 40, 3, 150, 0, 0]),
    bytes([0x24, 150]) + bytes([226, 0, 0, 227, 0, 0, 6, 1, 1, 0, 0, 0, 0, 0]),
]


def main() -> None:
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for header in HEADERS:
        for text in TEXTS:
            seed = header + text
            (out / hashlib.sha1(seed).hexdigest()).write_bytes(seed)


if __name__ == "__main__":
    main()
