"""The Dask example counts the same words as `vorlenta stats`, on a local cluster of processes."""

import importlib.util
import json
import random
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "dask_word_count.py"
SCRIPT = Path(sys.executable).with_name("vorlenta")

pytestmark = pytest.mark.skipif(importlib.util.find_spec("distributed") is None,
                                reason="Dask is not installed (pip install .[dask])")

VOCABULARY = ["слово", "Слово", "ёлка", "Ёлка", "дом", "word", "Word", "well-known", "IT-отдел",
              "и", "the", "COVID-19", "42", "1-й", ",", ".", "—", "«", "»", "\t", "é", "x" * 140]


def write_files(root: Path) -> None:
    rng = random.Random(7)
    for i in range(10):
        folder = root / f"part{i % 3}" / ("deep" if i % 2 else "")
        folder.mkdir(parents=True, exist_ok=True)
        words = [rng.choice(VOCABULARY) for _ in range(rng.randrange(100, 3000))]
        text = "".join(w + rng.choice([" ", " ", "\n", "-", ""]) for w in words)
        (folder / f"text{i}.txt").write_text(text)
    (root / "empty.txt").write_text("")


def test_dask_word_count_equals_vorlenta_stats(tmp_path):
    write_files(tmp_path)
    example = subprocess.run([sys.executable, str(EXAMPLE), str(tmp_path), "--workers", "2",
                              "--top", "100000", "--json"],
                             capture_output=True, text=True, timeout=300)
    assert example.returncode == 0, example.stderr
    stats = subprocess.run([str(SCRIPT), "stats", "--json", "--top", "100000", str(tmp_path)],
                           capture_output=True, text=True, timeout=120)
    assert stats.returncode == 0, stats.stderr
    by_dask, by_stats = json.loads(example.stdout), json.loads(stats.stdout)
    assert by_dask["files"] == by_stats["files"] == 11
    assert by_dask["words"] == by_stats["words"] > 5_000
    assert by_dask["distinct_words"] == by_stats["distinct_words"]
    assert by_dask["top"] == by_stats["top"]
