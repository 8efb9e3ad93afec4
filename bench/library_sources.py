"""The library's transformed sources: count_words over a .gz path against decompressing in
memory first, and what the check for bytes that are not UTF-8 costs count_words, on each
corpus, in one run. Run alone (`python bench/library_sources.py`) or from run_bench.py."""

from __future__ import annotations

import gzip
import sys
import tempfile
from pathlib import Path

import vorlenta
from many_texts import best
from vorlenta import _native
from vorlenta.types import WORDS

CORPORA = ("war_and_peace.ru.txt", "pride_and_prejudice.en.txt")
ALL = 2**64 - 1


def count_native(data: bytes, tally: bool) -> None:
    tokenizer = _native.Tokenizer(data)
    tokenizer.configure(ALL, 0, 2**32 - 1, 8192)
    if tally:
        tokenizer.tally_utf8()
    tokenizer.count(_native.Counts(), False, int(WORDS))


def source_targets(folder: Path, reps: int = 7) -> list[dict]:
    found = []
    for name in CORPORA:
        if not (folder / name).exists():
            print(f"{name}: not in {folder}, skipped", flush=True)
            continue
        data = (folder / name).read_bytes() * 4
        packed = gzip.compress(data, 6)
        with tempfile.TemporaryDirectory() as tmp:
            path = Path(tmp) / "x.txt.gz"
            path.write_bytes(packed)
            ours = best(lambda: vorlenta.count_words(path), reps)
            peer = best(lambda: vorlenta.count_words(gzip.decompress(packed)), reps)
        found.append({"language": name, "what": "count_words(Path('x.txt.gz'))",
                      "against": "count_words(gzip.decompress(data)), decompression timed",
                      "value": peer / ours, "target": ">= 0.8x", "met": peer / ours >= 0.8})
        print(f"{name:28} count_words(.gz path) {ours * 1e3:7.1f} ms, decompress first "
              f"{peer * 1e3:7.1f} ms: {peer / ours:.2f}x", flush=True)
        # The two alternate, so that a slower stretch of the machine falls on both.
        plain = checked = 1e9
        for _ in range(reps):
            plain = min(plain, best(lambda: count_native(data, False), 1))
            checked = min(checked, best(lambda: count_native(data, True), 1))
        cost = checked / plain - 1
        found.append({"language": name, "what": "not-UTF-8 check in count_words",
                      "against": "count_words without it", "value": cost,
                      "target": "<= 5%", "met": cost <= 0.05})
        print(f"{name:28} count_words {plain * 1e3:7.1f} ms, with the UTF-8 check "
              f"{checked * 1e3:7.1f} ms: costs {100 * cost:.1f}%", flush=True)
    return found


if __name__ == "__main__":
    source_targets(Path(sys.argv[1] if len(sys.argv) > 1 else
                        Path(__file__).resolve().parents[2] / "shared" / "corpus"))
