"""The Dask example counts the same words as `vorlenta stats`, files cut into blocks or not."""

import importlib
import json
import random
import subprocess
import sys
from pathlib import Path

import pytest

import vorlenta

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "dask_word_count.py"
SCRIPT = Path(sys.executable).with_name("vorlenta")

pytest.importorskip("distributed", reason="Dask is not installed (pip install .[dask])")

VOCABULARY = ["Ёлка", "ёлка", "дорога", "Дорога", "северо-западный", "кто-то", "IT-отдел",
              "well-known", "Mother-in-law", "river", "RIVER", "COVID-19", "1-й", "42", ",",
              "—", "«", "»", "é", "ж" * 140]


def text(rng: random.Random, words: int, separators: list[str]) -> str:
    return "".join(rng.choice(VOCABULARY) + rng.choice(separators) for _ in range(words))


def test_blocks_count_as_the_whole_files(tmp_path):
    rng = random.Random(11)
    # Dask's 4 KiB cuts land inside words and compounds, and must move on to a line feed; some
    # lines end in a hyphen, which joins nothing across the line feed.
    lines = [" ", " ", ", ", "-", "\n", "-\n", "\r\n"]
    (tmp_path / "long.txt").write_text(text(rng, 20_000, lines))
    (tmp_path / "deep" / "er").mkdir(parents=True)
    # No line feed at all: Dask cuts it into blocks of which the first holds every byte.
    (tmp_path / "deep" / "er" / "one_line.txt").write_text(text(rng, 3_000, [" ", "-", "\r"]))
    (tmp_path / "deep" / "short.txt").write_text("Ёлка-палка\n")
    (tmp_path / "deep" / "empty.txt").write_text("")
    (tmp_path / ".hidden.txt").write_text("невидимое слово\n")
    (tmp_path / ".cache").mkdir()
    (tmp_path / ".cache" / "kept.txt").write_text("тоже невидимое\n")

    example = subprocess.run([sys.executable, str(EXAMPLE), str(tmp_path), "--lower",
                              "--blocksize", "4KiB", "--top", "100000", "--json"],
                             capture_output=True, text=True, timeout=300)
    assert example.returncode == 0 and example.stderr == "", example.stderr
    stats = subprocess.run([str(SCRIPT), "stats", "--lower", "--json", "--top", "100000",
                            str(tmp_path)], capture_output=True, text=True, timeout=120)
    assert stats.returncode == 0, stats.stderr
    by_dask, by_stats = json.loads(example.stdout), json.loads(stats.stdout)
    assert by_dask["files"] == by_stats["files"] == 4
    assert by_dask["blocks"] > 40  # the two large files in many blocks, not one each
    assert by_dask["words"] == by_stats["words"] > 10_000
    assert by_dask["top"] == by_stats["top"]
    assert "невидимое" not in dict(by_dask["top"])


def test_a_file_gone_before_its_blocks_are_read_is_reported_not_counted(tmp_path, monkeypatch):
    from dask.distributed import Client

    # Imported as a module of its own name: its dataclasses look themselves up there.
    monkeypatch.syspath_prepend(str(EXAMPLE.parent))
    module = importlib.import_module("dask_word_count")
    kept, gone = tmp_path / "kept.txt", tmp_path / "gone.txt"
    kept.write_text("Дорога и well-known river\n" * 500)
    gone.write_text("слова, которых не будет\n" * 500)
    problems, result = [], module.Result()
    tasks = module.file_tasks([str(kept), str(gone)], 4096, False, result, problems.append)
    gone.unlink()
    with Client(processes=False, n_workers=1, dashboard_address=None) as client:
        module.count_files(client, tasks, result, problems.append)
    assert problems == [f"{gone}: No such file or directory"]
    assert (result.files, result.failed) == (1, 1)
    assert result.counts == vorlenta.count_words(kept)
