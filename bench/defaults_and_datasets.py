"""Datasets through the library against the command, and what the default split of trailing
hyphens costs, as ratios in one run:

- count_words(Path("texts.jsonl"), field="text") against `vorlenta stats` on the same file
  (200,000 records of 20 to 300 characters of both corpora), both on every core;
- count_words, token_lists and tokenize with the default split_hyphens=True against
  split_hyphens=False, on each corpus, one thread, the two taken in turns.

    .venv/bin/python bench/defaults_and_datasets.py [--reps 5]   (run_bench.py runs it too)
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import vorlenta

sys.path.insert(0, str(Path(__file__).resolve().parent))
from many_texts import best_of_both, corpus_texts  # noqa: E402

SHARED = Path(__file__).resolve().parents[2] / "shared" / "corpus"
COMMAND = Path(sys.executable).parent / "vorlenta"
CORPORA = {"Russian": "war_and_peace.ru.txt", "English": "pride_and_prejudice.en.txt"}


def _ratio(found: list[dict], what: str, ours: float, peer: float, against: str,
           least: float) -> None:
    found.append({"language": "datasets and defaults", "what": what, "against": against,
                  "value": peer / ours, "target": f">= {least:g}x", "met": peer / ours >= least})
    print(f"defaults {what:56} {ours * 1e3:9.1f} ms  {against}: {peer * 1e3:9.1f} ms  "
          f"({peer / ours:.3f}x, target >= {least:g}x)", flush=True)


def dataset_targets(reps: int) -> list[dict]:
    found: list[dict] = []
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "texts.jsonl"
        with path.open("w", encoding="utf-8") as out:
            for i, text in enumerate(corpus_texts(SHARED)):
                out.write(json.dumps({"id": i, "text": text}, ensure_ascii=False) + "\n")
        command = [str(COMMAND), "stats", "--top", "0", "--format", "tsv", str(path)]

        def stats() -> None:
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)

        # The command's time includes starting Python: so does a script's that counts a file.
        started = time.perf_counter()
        subprocess.run([sys.executable, "-c", "import vorlenta"], check=True)
        start_up = time.perf_counter() - started
        ours, peer = best_of_both(lambda: vorlenta.count_words(path, field="text"), stats, reps)
        _ratio(found, f"count_words(Path('texts.jsonl')), {os.cpu_count()} cores",
               ours + start_up, peer, "vorlenta stats on the file", 1 / 1.1)
    return found


def split_targets(reps: int) -> list[dict]:
    found: list[dict] = []
    for language, name in CORPORA.items():
        text = (SHARED / name).read_text(encoding="utf-8")
        lines = [line for line in text.splitlines() if line]
        calls = {
            "count_words(str)": lambda s: vorlenta.count_words(text, split_hyphens=s, jobs=1),
            "count_words(lines)": lambda s: vorlenta.count_words(lines, split_hyphens=s, jobs=1),
            "token_lists(lines)": lambda s: vorlenta.token_lists(lines, split_hyphens=s, jobs=1),
            "tokenize(str)": lambda s: vorlenta.tokenize(text, split_hyphens=s),
        }
        for what, call in calls.items():
            split, kept = best_of_both(lambda: call(True), lambda: call(False), reps)
            _ratio(found, f"{what} split (the default), {language}", split, kept,
                   "split_hyphens=False", 0.95)
    return found


def defaults_targets(reps: int = 5) -> list[dict]:
    if not SHARED.is_dir():
        print(f"defaults skipped: no corpus at {SHARED}")
        return []
    return dataset_targets(reps) + split_targets(reps)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    print(json.dumps(defaults_targets(args.reps), indent=1, ensure_ascii=False))


if __name__ == "__main__":
    main()
