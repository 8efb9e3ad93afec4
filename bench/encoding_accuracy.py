"""How often the encoding detector behind `--encoding auto` is right, and its rivals from PyPI.

    .venv/bin/python bench/encoding_accuracy.py [RUSSIAN ENGLISH]
    (make bench runs it, with the rivals installed)

Each corpus (by default war_and_peace.ru.txt and pride_and_prejudice.en.txt of the folder that
run_bench.py reads: VORLENTA_CORPUS, else the shared corpora, else examples/corpus) is cut into
consecutive pieces of 512 B, 4 KiB and 64 KiB of its UTF-8, at character boundaries (the last
piece is what is left), and each piece is written in every encoding the detector answers with;
a character that an encoding lacks (— « » … ’ and a few more in KOI8-R and CP866) becomes "?".
A piece is detected as a whole input, from at most its first DETECT_BYTES. An answer is right
when it decodes the piece to the text its own encoding gives: ASCII reads the same in all of
them but UTF-16, so an English piece is right as UTF-8 whatever it was written in.

The rivals decide only between the one-byte encodings: UTF-8 and the UTF-16 byte-order mark are
taken as vorlenta.detect takes them, so that the tables compare the model of Russian alone.
A rival that is not installed is left out. The times are those of one detection from a head
of DETECT_BYTES of the Russian text in each encoding: the median over the heads of the text's
consecutive pieces of 256 KiB. Exits 1 when vorlenta.detect is wrong on a piece of 4 KiB or
more.
"""

from __future__ import annotations

import argparse
import codecs
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path

from vorlenta.detect import DETECT_BYTES, ONE_BYTE_ENCODINGS, detect_encoding

sys.path.insert(0, str(Path(__file__).resolve().parent))
from run_bench import CORPORA, corpus_dir  # noqa: E402

ENCODINGS = ("utf-8", *ONE_BYTE_ENCODINGS, "utf-16")
SIZES = {"512 B": 512, "4 KiB": 4096, "64 KiB": 64 * 1024}
# Below this the figures are reported as they are; from it on every piece must be right.
MUST_BE_RIGHT = 4096
TIMED_RUNS = 5

Detector = Callable[[bytes, bool], "str | None"]


def pieces(text: str, size: int) -> list[str]:
    """`text` in consecutive pieces of at most `size` bytes of UTF-8 (`size` is more than a
    character's four), each cut before a character."""
    data = text.encode("utf-8")
    result = []
    start = 0
    while start < len(data):
        end = min(start + size, len(data))
        while end < len(data) and data[end] & 0xC0 == 0x80:
            end -= 1
        result.append(data[start:end].decode("utf-8"))
        start = end
    return result


def is_right(data: bytes, encoding: str, answer: str | None) -> bool:
    if answer is None:
        return False
    try:
        return data.decode(answer) == data.decode(encoding)
    except (UnicodeDecodeError, LookupError):
        return False


def rival(choose: Callable[[bytes], str | None]) -> Detector:
    """A detector that takes UTF-8 and UTF-16 as vorlenta.detect does, and `choose`s between
    the one-byte encodings."""
    def detect(head: bytes, complete: bool) -> str | None:
        answer = detect_encoding(head, complete)
        if answer not in ONE_BYTE_ENCODINGS:
            return answer
        name = choose(head)
        return codecs.lookup(name).name if name else None
    return detect


def rivals() -> dict[str, Detector]:
    found: dict[str, Detector] = {}
    try:
        import charset_normalizer
    except ImportError:
        pass
    else:
        def normalizer(head: bytes) -> str | None:
            best = charset_normalizer.from_bytes(head, cp_isolation=list(ONE_BYTE_ENCODINGS)).best()
            return best.encoding if best else None
        found[f"charset-normalizer {charset_normalizer.__version__}"] = rival(normalizer)
    try:
        import chardet
    except ImportError:
        pass
    else:
        def chardet_choice(head: bytes) -> str | None:
            result = chardet.detect(head, include_encodings=ONE_BYTE_ENCODINGS)
            answer: str | None = result["encoding"]
            return answer
        found[f"chardet {chardet.__version__}"] = rival(chardet_choice)
    return found


def measure(detect: Detector, corpora: dict[str, str]) -> tuple[list[list[str]], bool]:
    """The table's rows, and whether every piece of MUST_BE_RIGHT bytes or more was right."""
    rows = []
    all_right = True
    for name, text in corpora.items():
        for label, size in SIZES.items():
            row = [name, label]
            cut = pieces(text, size)
            for encoding in ENCODINGS:
                right = 0
                for piece in cut:
                    data = piece.encode(encoding, "replace")
                    head = data[:DETECT_BYTES]
                    right += is_right(data, encoding, detect(head, len(head) == len(data)))
                all_right &= size < MUST_BE_RIGHT or right == len(cut)
                row.append(f"{right}/{len(cut)} ({100 * right / len(cut):.2f}%)")
            rows.append(row)
    return rows, all_right


# Pieces made hostile, each with the answers that are right for it: UTF-8 with a stray byte in
# its middle, or cut inside its last character (the piece whole), or after its byte-order
# mark; and CP1251 that starts with "яю", the bytes of UTF-16's mark.
HOSTILE: dict[str, tuple[Callable[[str], bytes], tuple[str, ...]]] = {
    "UTF-8, a stray byte": (lambda p: (lambda d: d[:len(d) // 2] + b"\xff" + d[len(d) // 2:])(
        p.encode()), ("utf-8",)),
    "UTF-8, cut character": (lambda p: (p.rstrip() + "я").encode()[:-1], ("utf-8",)),
    "UTF-8 with its BOM": (lambda p: codecs.BOM_UTF8 + p.encode(), ("utf-8-sig",)),
    'cp1251 from "яю"': (lambda p: ("яю " + p).encode("cp1251", "replace"), ("cp1251",)),
}


def measure_hostile(detect: Detector, text: str) -> list[list[str]]:
    rows = []
    for label, size in SIZES.items():
        row = ["Russian", label]
        cut = pieces(text, size)
        for make, answers in HOSTILE.values():
            right = 0
            for piece in cut:
                data = make(piece)
                head = data[:DETECT_BYTES]
                right += detect(head, len(head) == len(data)) in answers
            row.append(f"{right}/{len(cut)} ({100 * right / len(cut):.2f}%)")
        rows.append(row)
    return rows


def times(detect: Detector, text: str) -> dict[str, float]:
    """The median time of a detection from DETECT_BYTES of `text` in each encoding: the heads
    of consecutive pieces long enough in any of them, none of the heads complete."""
    result = {}
    for encoding in ENCODINGS:
        taken = []
        for piece in pieces(text, 4 * DETECT_BYTES):
            head = piece.encode(encoding, "replace")[:DETECT_BYTES]
            for _ in range(TIMED_RUNS):
                begin = time.perf_counter()
                detect(head, False)
                taken.append(time.perf_counter() - begin)
        result[encoding] = statistics.median(taken)
    return result


def print_table(title: str, rows: list[list[str]], seconds: dict[str, float]) -> None:
    header = ["corpus", "piece", *ENCODINGS]
    rows = [*rows, ["Russian", "µs per head", *(f"{seconds[e] * 1e6:.0f}" for e in ENCODINGS)]]
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    print(f"\n{title}\n")
    for i, row in enumerate([header, *rows]):
        print("| " + " | ".join(cell.ljust(w) for cell, w in zip(row, widths)) + " |")
        if i == 0:
            print("|" + "|".join("-" * (w + 2) for w in widths) + "|")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("russian", nargs="?", type=Path,
                        default=corpus_dir() / CORPORA["Russian"])
    parser.add_argument("english", nargs="?", type=Path,
                        default=corpus_dir() / CORPORA["English"])
    args = parser.parse_args()
    corpora = {"Russian": args.russian.read_text("utf-8"),
               "English": args.english.read_text("utf-8")}
    print(f"Pieces of {args.russian} and {args.english}; a cell is right/total (percent).")
    print(f"Times: µs per detection from a head of DETECT_BYTES ({DETECT_BYTES:,} bytes) of the "
          "Russian text, the median over its pieces of 256 KiB.")
    chosen: Detector = detect_encoding
    rows, all_right = measure(chosen, corpora)
    print_table("vorlenta.detect (the chosen detector)", rows, times(chosen, corpora["Russian"]))
    print("\nvorlenta.detect on hostile pieces of the Russian text\n")
    header = ["corpus", "piece", *HOSTILE]
    for i, row in enumerate([header, *measure_hostile(chosen, corpora["Russian"])]):
        print("| " + " | ".join(row) + " |")
        if i == 0:
            print("|" + "|".join("---" for _ in row) + "|")
    for name, detect in rivals().items():
        print_table(f"{name} between the one-byte encodings", measure(detect, corpora)[0],
                    times(detect, corpora["Russian"]))
    if not all_right:
        sys.exit(f"vorlenta.detect was wrong on a piece of {MUST_BE_RIGHT} bytes or more")


if __name__ == "__main__":
    main()
