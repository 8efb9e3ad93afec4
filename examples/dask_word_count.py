"""Counts the words of every text file under a folder with Dask, large files in many tasks.

    pip install 'vorlentaCXX[dask]'
    python examples/dask_word_count.py FOLDER [--workers 2] [--blocksize 64MiB] [--top 20]
                                              [--lower] [--json]

dask.bytes.read_bytes cuts each file into even blocks of --blocksize bytes or more, but less
than twice that (a number, or a size such as 64MiB or "500 kB"; 64 MiB by default, so that
smaller files are one block), each cut moved on to just after a line feed, and one task
counts the words of one block with vorlenta.count_words. A task so holds one block in memory,
with the rest of the line its cut fell in: a file without line feeds is one block, however
large. The blocks of all files are counted in parallel by as many processes as the cluster
has, here a LocalCluster on this machine; give the client a scheduler's address instead to
run the same code on many machines, whose workers must then see the files under the same
paths.

The counts are those of `vorlenta stats` on the same folder: words are ENWORD and RUWORD
tokens, and files and folders whose names start with a dot are skipped. A file or folder that
cannot be read is named on stderr and left out of the counts, and the exit status is then 1.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, field

from dask import delayed
from dask.bytes import read_bytes
from dask.delayed import Delayed
from dask.distributed import Client, LocalCluster, as_completed
from dask.utils import parse_bytes

import vorlenta
# The files vorlenta stats reads under a folder, walked the same way.
from vorlenta.sources import input_paths

DEFAULT_BLOCKSIZE = "64MiB"


def count_block(block: bytes, lower: bool) -> Counter[str]:
    # A block ends just after a line feed, or at the end of its file, and a line feed is a
    # token of its own that ends the token and every hyphen compound before it: the tokenizer
    # carries nothing across one, so the counts of a file's blocks add up to those of the file
    # read in one pass. A file without line feeds comes whole in its first block, the others
    # being empty.
    return vorlenta.count_words(block, lower=lower)


def add_up(*counts: Counter[str]) -> Counter[str]:
    total: Counter[str] = Counter()
    for c in counts:
        total.update(c)
    return total


@dataclass
class FileTask:
    path: str
    blocks: int
    counts: Delayed


def file_task(path: str, blocksize: int, lower: bool) -> FileTask:
    """The words of one file, as one task per block and one that adds them up. Raises OSError
    for a file that Dask cannot find or takes for something else."""
    full = os.path.abspath(path)
    # No sample: it would be read here, in the client.
    _, blocks, found = read_bytes(full, delimiter=b"\n", blocksize=blocksize, sample=False,
                                  include_path=True)
    # Dask reads a name with a "*" in it as a pattern, which may match other files.
    if found != [full]:
        raise OSError(f"Dask takes the name for a pattern matching {len(found)} files")
    counted = [delayed(count_block)(block, lower) for block in blocks[0]]
    return FileTask(path, len(counted), delayed(add_up)(*counted))


@dataclass
class Result:
    files: int = 0
    failed: int = 0
    blocks: int = 0
    counts: Counter[str] = field(default_factory=Counter)


def file_tasks(paths: list[str], blocksize: int, lower: bool, result: Result,
               report: Callable[[str], None]) -> list[FileTask]:
    tasks = []
    for path in paths:
        try:
            tasks.append(file_task(path, blocksize, lower))
        except OSError as e:
            result.failed += 1
            report(f"{path}: {e.strerror or e}")
    return tasks


def count_files(client: Client, tasks: list[FileTask], result: Result,
                report: Callable[[str], None]) -> None:
    """Counts the files on the Dask cluster of `client` into `result`. A file that cannot be
    read is reported and adds nothing; the other files are counted all the same."""
    # A future per file, not one computation for all: a block that cannot be read fails its
    # file only, and the client learns which file that was.
    pending = dict(zip(client.compute([task.counts for task in tasks]), tasks))
    for future in as_completed(pending):
        task = pending.pop(future)
        try:
            counts = future.result()
        except OSError as e:
            result.failed += 1
            report(f"{task.path}: {e.strerror or e}")
            continue
        result.files += 1
        result.blocks += task.blocks
        result.counts.update(counts)


def shown(word: str) -> str:
    # Bytes that are not UTF-8 come as surrogate escapes, which cannot be printed; they are
    # shown as \xNN, as vorlenta stats shows them.
    return word.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def top(counts: Counter[str], n: int) -> list[tuple[str, int]]:
    return [(shown(word), count) for word, count in
            sorted(counts.items(), key=lambda item: (-item[1], item[0]))[:n]]


def size(text: str) -> int:
    try:
        value = int(parse_bytes(text))
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a size in bytes: {text!r}")
    return value


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--blocksize", type=size, default=DEFAULT_BLOCKSIZE,
                        help=f"bytes per task, as 65536 or 64MiB (default {DEFAULT_BLOCKSIZE})")
    parser.add_argument("--top", type=int, default=20, help="words to show (default 20)")
    parser.add_argument("--lower", action="store_true", help="count words in lower case")
    parser.add_argument("--json", action="store_true", help="print the result as JSON")
    args = parser.parse_args()

    problems = []

    def report(message: str) -> None:
        problems.append(message)
        print(message, file=sys.stderr)

    result = Result()
    tasks = file_tasks(list(input_paths([args.folder], report)), args.blocksize, args.lower, result,
                       report)
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster:
        with Client(cluster) as client:
            count_files(client, tasks, result, report)
    counts = result.counts
    most = top(counts, args.top)
    if args.json:
        print(json.dumps({"files": result.files, "failed_files": result.failed,
                          "blocks": result.blocks, "words": counts.total(),
                          "distinct_words": len(counts), "top": most},
                         ensure_ascii=False, indent=2))
    else:
        failed = f" ({result.failed} not read)" if result.failed else ""
        print(f"{result.files} files{failed} in {result.blocks} blocks, "
              f"{counts.total()} words, {len(counts)} distinct")
        for rank, (word, count) in enumerate(most, 1):
            print(f"{rank:>4}  {word}  {count}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
