"""End-to-end throughput of get_batch loops over the corpora, for both tokenizers.

    .venv/bin/python bench/batch_throughput.py [--repeat N]

Each corpus is repeated to about 50 MB (written to a temporary file for FFTokenizer);
figures are the median of several runs.
"""

import argparse
import statistics
import tempfile
import time
from pathlib import Path

import vorlentaCXX as vx

CORPUS_DIR = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"
CORPORA = ["war_and_peace.ru.txt", "pride_and_prejudice.en.txt"]


def consume(tokenizer) -> int:
    tokens = 0
    while batch := tokenizer.get_batch():
        tokens += len(batch["types"])
    return tokens


def measure(make, size: int, repeat: int) -> tuple[float, float]:
    times, tokens = [], 0
    for _ in range(repeat):
        tokenizer = make()
        start = time.perf_counter()
        tokens = consume(tokenizer)
        times.append(time.perf_counter() - start)
    median = statistics.median(times)
    return size / median / 1e6, tokens / median / 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    for name in CORPORA:
        one = (CORPUS_DIR / name).read_bytes()
        data = one * max(1, (50 << 20) // len(one))
        with tempfile.NamedTemporaryFile(suffix=".txt") as f:
            f.write(data)
            f.flush()
            for label, make in [("FTTokenizer", lambda: vx.FTTokenizer(data)),
                                ("FFTokenizer", lambda: vx.FFTokenizer(f.name))]:
                mb, mtok = measure(make, len(data), args.repeat)
                print(f"{name:28} {label}  {mb:7.1f} MB/s  {mtok:6.1f} Mtokens/s")


if __name__ == "__main__":
    main()
