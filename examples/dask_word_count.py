"""Counts the words of every text file under a folder with Dask, one task per file.

    pip install 'vorlentaCXX[dask]'
    python examples/dask_word_count.py FOLDER [--workers 2] [--top 20] [--lower] [--json]

Each task counts one file with vorlenta.count_words, which reads it in fixed memory, so the files
are tokenized in parallel by as many processes as the cluster has, here a LocalCluster on this
machine; give the client a scheduler's address instead to run the same code on many machines.
The counts are those of `vorlenta stats` on the same folder: words are ENWORD and RUWORD tokens,
and files and folders whose names start with a dot are skipped.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections import Counter
from pathlib import Path

import dask.bag as db
from dask.distributed import Client, LocalCluster

import vorlenta


def text_files(folder: str) -> list[str]:
    found = []
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        found += [os.path.join(root, name) for name in sorted(files) if not name.startswith(".")]
    return found


def count_file(path: str, lower: bool = False) -> Counter[str]:
    """The words of one file, read in fixed memory and counted natively. Runs in a worker."""
    try:
        return vorlenta.count_words(Path(path), lower=lower)
    except OSError as e:
        print(f"{path}: {e.strerror}", file=sys.stderr)
        return Counter()


def merge(a: Counter[str], b: Counter[str]) -> Counter[str]:
    total = Counter(a)
    total.update(b)
    return total


def word_counts(paths: list[str], lower: bool = False) -> Counter[str]:
    """Counts on the Dask cluster of the current client: one partition, one task, per file."""
    if not paths:
        return Counter()
    bag = db.from_sequence(paths, npartitions=len(paths))
    counts: Counter[str] = bag.map(count_file, lower=lower).fold(merge, merge,
                                                                  initial=Counter()).compute()
    return counts


def top(counts: Counter[str], n: int) -> list[tuple[str, int]]:
    return sorted(counts.items(), key=lambda item: (-item[1], item[0]))[:n]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--top", type=int, default=20, help="words to show (default 20)")
    parser.add_argument("--lower", action="store_true", help="count words in lower case")
    parser.add_argument("--json", action="store_true", help="print the result as JSON")
    args = parser.parse_args()

    paths = text_files(args.folder)
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster:
        with Client(cluster):
            counts = word_counts(paths, args.lower)
    most = top(counts, args.top)
    if args.json:
        print(json.dumps({"files": len(paths), "words": counts.total(),
                          "distinct_words": len(counts), "top": most},
                         ensure_ascii=False, indent=2))
        return
    print(f"{len(paths)} files, {counts.total()} words, {len(counts)} distinct")
    for rank, (word, count) in enumerate(most, 1):
        print(f"{rank:>4}  {word}  {count}")


if __name__ == "__main__":
    main()
