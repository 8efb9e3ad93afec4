"""The most frequent words of files on a Dask cluster, with vorlenta.dask.

    pip install 'vorlenta[dask]'
    python examples/dask_word_count.py PATH... [--scheduler tcp://host:8786 | --workers 2]
                                              [--blocksize 64MiB] [--top 20] [--lower]

A PATH is a file, a folder, a glob or a URL that fsspec knows (s3://bucket/texts/*.txt, with
its package installed). Without --scheduler, a cluster of --workers processes runs here.
`vorlenta stats --dask` counts the same words, with the command's whole report.
"""

import argparse

from distributed import Client

import vorlenta.dask


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paths", nargs="+", metavar="PATH")
    parser.add_argument("--scheduler", help="a Dask scheduler's address")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    parser.add_argument("--blocksize", default=vorlenta.dask.DEFAULT_BLOCKSIZE)
    parser.add_argument("--top", type=int, default=20)
    parser.add_argument("--lower", action="store_true")
    args = parser.parse_args()
    # A client made with worker options starts a local cluster of its own, and closes it.
    client = (Client(args.scheduler) if args.scheduler else
              Client(n_workers=args.workers, threads_per_worker=1, dashboard_address=None))
    with client:
        counts = vorlenta.dask.count_words(args.paths, blocksize=args.blocksize,
                                           lower=args.lower)
    for word, count in counts.most_common(args.top):
        # Bytes that are not UTF-8 come as surrogate escapes, which cannot be printed.
        shown = word.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
        print(f"{count:>10}  {shown}")


if __name__ == "__main__":
    main()
