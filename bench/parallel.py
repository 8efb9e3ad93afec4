"""Every core, and no fixed cost: vorlenta over 200,000 texts of 20 to 300 characters (both
corpora, a fixed seed) on one thread and on two, the command over one JSON Lines and one
Parquet file of them with --jobs 1 and 2, Dask over the JSON Lines file, and one short text per
call against its regular expression; all as ratios in one run.

For each parallel path the share of its work that stays serial is what Amdahl's law makes of
the two times on this machine's two cores (s = 2 T2 / T1 - 1), and the speed-up it allows at
8, 16 and 64 cores is 1 / (s + (1 - s) / n).

    .venv/bin/python bench/parallel.py [--reps 3]   (run_bench.py runs it too)
"""

from __future__ import annotations

import argparse
import json
import re
import subprocess
import sys
import tempfile
import timeit
from collections import Counter
from pathlib import Path

import vorlenta

sys.path.insert(0, str(Path(__file__).resolve().parent))
from many_texts import best, corpus_texts  # noqa: E402

WORD = re.compile(r"\w+(?:-\w+)*")
PLACES = re.compile(r"\w+(?:-\w+)*|[^\w\s]|\s")  # every token, as tokenize gives them
VORLENTA = Path(sys.executable).with_name("vorlenta")
# One text of 70 characters, as a tokenizer= callback or an .apply gets them.
SHORT = "Санкт-Петербург, 7 декабря: well-known facts and Ёжик в тумане, 1869 г."[:70]
CORES = (8, 16, 64)


def serial_share(one: float, two: float) -> float:
    return min(max(2 * two / one - 1, 0.0), 1.0)


def amdahl(share: float, cores: int) -> float:
    return 1 / (share + (1 - share) / cores)


def per_call(statement: str, names: dict[str, object], number: int = 20_000) -> float:
    """Seconds per call, the best of five runs."""
    return min(timeit.repeat(statement, number=number, repeat=5, globals=names)) / number


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    from run_bench import corpus_dir  # which imports this module

    rows = parallel_targets(corpus_dir(), args.reps)
    print(json.dumps(rows, indent=1, ensure_ascii=False))


def parallel_targets(folder: Path, reps: int = 3) -> list[dict]:
    texts = corpus_texts(folder)
    size = sum(len(s.encode()) for s in texts)
    found: list[dict] = []

    def row(what: str, ours: float, peer: float, against: str, least: float,
            serial: float | None = None) -> None:
        entry = {"language": "every core", "what": what, "against": against,
                 "value": peer / ours, "target": f">= {least:g}x", "met": peer / ours >= least}
        note = ""
        if serial is not None:
            entry["serial_share"] = serial
            entry["projected"] = {n: amdahl(serial, n) for n in CORES}
            note = (f"  serial {serial:5.1%}: " +
                    " ".join(f"{n} cores {amdahl(serial, n):4.1f}x" for n in CORES))
        found.append(entry)
        print(f"cores    {what:58} {peer / ours:5.2f}x (target {least:g}x){note}", flush=True)

    def jobs_row(what: str, run, least: float) -> None:
        one, two = best(lambda: run(1), reps), best(lambda: run(2), reps)
        row(f"{what}, jobs=2 / jobs=1", two, one, "jobs=1", least, serial_share(one, two))

    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        pa = pq = None
    if pa is not None:
        column = pa.array(texts)
        jobs_row("count_words(pyarrow column)", lambda j: vorlenta.count_words(column, jobs=j),
                 1.75)
        jobs_row("arrow_token_lists(pyarrow column)",
                 lambda j: vorlenta.arrow_token_lists(column, jobs=j), 1.6)
    jobs_row("count_words(list of str)", lambda j: vorlenta.count_words(texts, jobs=j), 1.5)
    jobs_row("token_lists(list of str)", lambda j: vorlenta.token_lists(texts, jobs=j), 1.25)
    jobs_row("spans(list of str)",
             lambda j: sum(len(b.starts) for b in vorlenta.spans(texts, jobs=j)), 1.0)

    with tempfile.TemporaryDirectory() as tmp:
        jsonl = Path(tmp) / "texts.jsonl"
        jsonl.write_text("".join(json.dumps({"id": i, "text": t}, ensure_ascii=False) + "\n"
                                 for i, t in enumerate(texts)))
        inputs = [("stats, one JSON Lines file", ["stats"], jsonl, 1.6),
                  ("tokenize --format words, one JSON Lines file",
                   ["tokenize", "--format", "words", "-o", str(Path(tmp) / "out")], jsonl, 1.5)]
        if pq is not None:
            parquet = Path(tmp) / "texts.parquet"
            pq.write_table(pa.table({"id": range(len(texts)), "text": texts}), parquet,
                           row_group_size=len(texts) // 8)
            inputs.insert(1, ("stats, one Parquet file of 8 row groups", ["stats"], parquet,
                              1.6))
        for what, command, path, least in inputs:
            jobs_row(what, lambda j, c=command, p=path: subprocess.run(
                [VORLENTA, *c, "--jobs", str(j), str(p)], check=True, capture_output=True),
                least)
        dask_row(row, jsonl, reps)

    short_rows(row)
    print(f"         ({len(texts):,} texts, {size / 1e6:.1f} MB)")
    return found


def dask_row(row, jsonl: Path, reps: int) -> None:
    try:
        import dask.distributed as distributed
        import vorlenta.dask as vd
    except ImportError:
        return

    def plain() -> Counter[str]:
        counts: Counter[str] = Counter()
        with open(jsonl, encoding="utf-8") as f:
            for line in f:
                counts.update(WORD.findall(json.loads(line)["text"]))
        return counts

    peer = best(plain, reps)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        vd.count_words(jsonl, field="text", blocksize="8MiB")  # the workers warm
        ours = best(lambda: vd.count_words(jsonl, field="text", blocksize="8MiB"), reps)
    row("dask.count_words(JSON Lines), 2 workers", ours, peer,
        "json.loads and Counter(WORD.findall) in one process", 3)


def short_rows(row) -> None:
    names = {"vorlenta": vorlenta, "WORD": WORD, "PLACES": PLACES, "Counter": Counter, "t": SHORT}
    vorlenta.words(SHORT)  # loaded
    regex = {"findall": per_call("WORD.findall(t)", names),
             "counter": per_call("Counter(WORD.findall(t))", names),
             "list": per_call("[WORD.findall(t)]", names),
             "places": per_call("[(m.group(), m.start(), m.end()) for m in PLACES.finditer(t)]",
                                names)}
    for what, statement, against, least in [
            ("words(t)", "vorlenta.words(t)", "findall", 1.5),
            ("count_words(t)", "vorlenta.count_words(t)", "counter", 1.2),
            ("count_words([t])", "vorlenta.count_words([t])", "counter", 1.2),
            ("token_lists([t])", "vorlenta.token_lists([t])", "list", 1.2),
            ("vorlenta.tokenize(t)", "vorlenta.tokenize(t)", "places", 1.5)]:
        row(f"one text of 70 characters: {what}", per_call(statement, names), regex[against],
            {"findall": "WORD.findall(t)", "counter": "Counter(WORD.findall(t))",
             "list": "[WORD.findall(t)]", "places": "PLACES.finditer(t) with places"}[against],
            least)


if __name__ == "__main__":
    main()
