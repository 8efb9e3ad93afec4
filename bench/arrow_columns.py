"""Arrow columns read in place through the PyCapsule interface: 200,000 texts of 20 to 300
characters (both corpora, a fixed seed) as a polars column against the same texts as a pyarrow
column, and polars' own regular expression against vorlenta's token lists made a polars Series;
all on every core, best of several runs, as ratios in one run.

    .venv/bin/python bench/arrow_columns.py [--reps 5]   (run_bench.py runs it too)
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path

import vorlenta

sys.path.insert(0, str(Path(__file__).resolve().parent))
from many_texts import best_of_both, corpus_texts  # noqa: E402

SHARED = Path(__file__).resolve().parents[2] / "shared" / "corpus"
# Words as the regex peers take them: runs of letters and digits, joined by hyphens.
WORD = r"\w+(?:-\w+)*"


def arrow_targets(reps: int = 5) -> list[dict]:
    if not SHARED.is_dir():
        print(f"arrow    skipped: no corpus at {SHARED}")
        return []
    try:
        import polars as pl
        import pyarrow as pa
    except ImportError as e:
        print(f"arrow    skipped: {e.name} is not installed")
        return []
    texts = corpus_texts(SHARED)
    size = sum(len(s.encode()) for s in texts)
    column = pl.Series("text", texts)
    arrow_column = pa.array(texts)
    jobs = len(os.sched_getaffinity(0))
    pl.Series(vorlenta.arrow_token_lists(column[:1000], jobs=jobs))  # the first call's set-up
    found = []

    def ratio(what: str, ours: float, peer: float, against: str, least: float) -> None:
        found.append({"language": "many texts", "what": what, "against": against,
                      "value": peer / ours, "target": f">= {least:g}x",
                      "met": peer / ours >= least})
        print(f"arrow    {what:60} {size / ours / 1e6:8.1f} MB/s  {against}: "
              f"{size / peer / 1e6:8.1f} MB/s  ({peer / ours:.2f}x, target >= {least:g}x)",
              flush=True)

    ratio(f"count_words(polars column), jobs={jobs}",
          *best_of_both(lambda: vorlenta.count_words(column, jobs=jobs),
                        lambda: vorlenta.count_words(arrow_column, jobs=jobs), reps),
          "count_words(pyarrow column)", 0.9)
    ratio(f"pl.Series(arrow_token_lists(polars column)), jobs={jobs}",
          *best_of_both(lambda: pl.Series(vorlenta.arrow_token_lists(column, jobs=jobs)),
                        lambda: column.str.extract_all(WORD), reps),
          "polars str.extract_all(word regex)", 2.0)
    print(f"         ({len(texts):,} texts, {size / 1e6:.1f} MB, {jobs} cores)")
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    print(json.dumps(arrow_targets(args.reps), indent=1, ensure_ascii=False))


if __name__ == "__main__":
    main()
