"""vorlenta.dask and `vorlenta stats --dask` count what `vorlenta stats` counts, files cut into
blocks or not, and name every input they cannot read."""

import csv
import gzip
import io
import json
import random
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest

pytest.importorskip("distributed", reason="Dask is not installed (pip install .[dask])")
pytest.importorskip("dask.dataframe", reason="Dask's dataframes are not installed")

import vorlenta  # noqa: E402
import vorlenta.dask as vd  # noqa: E402
from vorlenta.sources import NotUtf8Warning, Settings, described  # noqa: E402
from vorlenta.stats import count_piece  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "dask_word_count.py"
SCRIPT = Path(sys.executable).with_name("vorlenta")
BLOCK = 4096  # Dask's cuts land inside words and compounds, and must move on to a line feed

VOCABULARY = ["Ёлка", "ёлка", "дорога", "Дорога", "северо-западный", "кто-то", "IT-отдел",
              "well-known", "Mother-in-law", "river", "RIVER", "COVID-19", "1-й", "42", ",",
              "—", "«", "»", "é", "ж" * 140]
# Some lines end in a hyphen, which joins nothing across the line feed.
LINE_ENDS = [" ", " ", ", ", "-", "\n", "-\n", "\r\n"]


def text(rng: random.Random, words: int, separators: list[str] = LINE_ENDS) -> str:
    return "".join(rng.choice(VOCABULARY) + rng.choice(separators) for _ in range(words))


@pytest.fixture(scope="module")
def cluster():
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      scheduler_kwargs=vd.LOCAL_SCHEDULER) as cluster, Client(cluster):
        yield cluster


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    rng = random.Random(11)
    root = tmp_path_factory.mktemp("corpus")
    texts = root / "texts"
    (texts / "deep" / "er").mkdir(parents=True)
    (texts / "long.txt").write_text(text(rng, 20_000))
    # No line feed at all: Dask cuts it into blocks of which the first holds every byte.
    (texts / "deep" / "er" / "one_line.txt").write_text(text(rng, 3_000, [" ", "-", "\r"]))
    (texts / "deep" / "short.txt").write_text("Ёлка-палка\n")
    (texts / "deep" / "empty.txt").write_text("")
    (texts / ".hidden.txt").write_text("невидимое слово\n")
    (texts / ".cache").mkdir()
    (texts / ".cache" / "kept.txt").write_text("тоже невидимое\n")
    (root / "long.txt.gz").write_bytes(gzip.compress(text(rng, 5_000).encode()))
    (root / "cp1251.txt").write_bytes(text(rng, 5_000).encode("cp1251", "replace"))  # no é
    (root / "utf16.txt").write_bytes(text(rng, 2_000).encode("utf-16"))
    records = [{"text": text(rng, 30)} if i % 5 else {"id": i, "text": i} for i in range(400)]
    lines = [json.dumps(r, ensure_ascii=False) + "\n" for r in records]
    (root / "records.jsonl").write_text("".join(lines))
    (root / "bad.jsonl").write_text("".join(lines[:350] + ['{"text": oops\n'] + lines[350:]))
    rows = io.StringIO()
    csv.writer(rows).writerows([["id", "text"]] + [[i, r["text"]] if isinstance(r["text"], str)
                                                   else [i] for i, r in enumerate(records)])
    (root / "records.csv.gz").write_bytes(gzip.compress(rows.getvalue().encode()))
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        pass
    else:
        column = [r["text"] if isinstance(r["text"], str) else None for r in records]
        pq.write_table(pa.table({"text": column}), root / "records.parquet", row_group_size=50)
    (root / "ascii.txt").write_text("plain words\n")
    (root / "bad.gz").write_bytes(b"not gzip at all\n")
    (root / "empty.gz").write_bytes(b"")
    return root


def stats(*args: str, stdin=None) -> subprocess.CompletedProcess:
    return subprocess.run([str(SCRIPT), "stats", *map(str, args)], capture_output=True,
                          text=True, timeout=300, stdin=stdin)


def stats_words(*args: str) -> Counter:
    done = stats("--json", "--top", "0", *args)
    assert done.returncode == 0, done.stderr
    return Counter(dict(json.loads(done.stdout)["top"]))


def untimed(report: str) -> dict:
    found = json.loads(report)
    for key in ("seconds", "bytes_per_second", "tokens_per_second"):
        del found[key]
    return found


@pytest.mark.parametrize("path, options, command", [
    ("texts", {}, []),
    ("texts", {"lower": True}, ["--lower"]),
    ("long.txt.gz", {}, []),
    ("cp1251.txt", {"encoding": "cp1251"}, ["--encoding", "cp1251"]),
    ("cp1251.txt", {"encoding": "auto"}, ["--encoding", "auto"]),
    # A line feed in UTF-16 is two bytes, one of them 0A: the file is one block.
    ("utf16.txt", {"encoding": "utf-16"}, ["--encoding", "utf-16"]),
    ("records.jsonl", {"field": "text"}, []),
    ("records.parquet", {"field": "text"}, []),
    ("records.csv.gz", {"field": "text"}, []),
])
def test_counts_on_a_cluster_are_the_commands(cluster, corpus, path, options, command):
    counts = vd.count_words(str(corpus / path), blocksize=BLOCK, **options)
    assert counts == stats_words(*command, corpus / path)
    assert counts.total() > 1_000
    assert "невидимое" not in counts


def test_large_files_are_cut_into_many_blocks_and_small_ones_are_not(corpus):
    assert len(vd._blocks(str(corpus / "texts" / "long.txt"), "long", BLOCK, None, {})) > 30
    for name, encoding in [("long.txt.gz", None), ("utf16.txt", "utf-16")]:
        assert len(vd._blocks(str(corpus / name), name, BLOCK, encoding, {})) == 1


def test_bytes_that_are_not_utf8_are_counted_and_warned_of_once_per_file(cluster, corpus):
    files = [corpus / "cp1251.txt", corpus / "texts" / "long.txt"]
    with pytest.warns(NotUtf8Warning) as warned:
        counts = vd.count_words(files, blocksize=BLOCK)
    assert counts == stats_words(*files)
    assert [str(w.message).split(":")[0] for w in warned] == [str(files[0])]


def test_globs_lists_and_folders_name_the_same_files(cluster, corpus):
    texts = corpus / "texts"
    assert vd.count_words([texts / "long.txt", texts / "deep"], blocksize=BLOCK) == (
        vd.count_words(texts, blocksize=BLOCK))
    # A glob names what it matches, names starting with a dot too.
    assert vd.count_words(str(texts / "*" / "*.txt")) == vd.count_words(
        [texts / ".cache" / "kept.txt", texts / "deep" / "empty.txt",
         texts / "deep" / "short.txt"]) == Counter(["тоже", "невидимое", "Ёлка-палка"])
    assert vd.count_words(str(texts / "*.txt")) == vd.count_words(
        [texts / ".hidden.txt", texts / "long.txt"])


@pytest.mark.parametrize("path, options, error, message", [
    ("missing.txt", {}, OSError, "missing.txt: No such file or directory"),
    ("nothing*.txt", {}, OSError, "nothing\\*.txt: no file matches"),
    ("bad.gz", {}, OSError, "bad.gz: Not a gzipped file"),
    ("empty.gz", {}, OSError, "empty.gz: empty: no gzip data"),
    ("cp1251.txt", {"encoding": "ascii"}, ValueError, "cp1251.txt: not valid ascii"),
    ("records.jsonl", {"field": "text", "encoding": "ascii"}, ValueError,
     "records.jsonl: not valid ascii"),
    ("long.txt.gz", {"field": "text"}, ValueError, "long.txt.gz: with a field"),
    # Its line counted across the blocks before it.
    ("bad.jsonl", {"field": "text"}, ValueError,
     "bad.jsonl: 1 line is not valid JSON and was passed over, the first line 351"),
    ("records.jsonl", {"field": "txt"}, ValueError, "records.jsonl: no record has the field"),
])
def test_an_input_that_cannot_be_read_is_named(cluster, corpus, path, options, error, message):
    # Among files that can be read (under the same options): the error is that one's, not the
    # run's.
    good = corpus / ("records.jsonl" if "field" in options else "ascii.txt")
    with pytest.raises(error, match=message):
        vd.count_words([good, corpus / path], blocksize=BLOCK, **options)


@pytest.mark.parametrize("options, error, message", [
    ({"blocksize": 0}, ValueError, "blocksize must be"),
    ({"blocksize": "many"}, ValueError, "many"),
    ({"types": "WORDS"}, ValueError, "unknown token type"),
    ({"encoding": "base64"}, LookupError, "not a text encoding"),
])
def test_wrong_arguments_raise_before_any_task(corpus, options, error, message):
    with pytest.raises(error, match=message):
        vd.count_words(corpus / "texts", **options)


def test_token_lists_of_a_column_partition_by_partition():
    import dask.dataframe as dd
    import pandas as pd

    texts = pd.Series(["Ёлка-палка и well-known", None, "42 RIVER", "", "кто-то"] * 7,
                      name="text")
    column = dd.from_pandas(texts.to_frame(), npartitions=3)["text"]
    lists = vd.token_lists(column, lower=True, min_len=2)
    assert lists.npartitions == 3 and lists.name == "text"
    got = lists.compute()
    assert got.dtype == lists.dtype
    assert [None if x is pd.NA else list(x) for x in got] == (
        vorlenta.arrow_token_lists(texts, lower=True, min_len=2).to_pylist())
    assert got.index.equals(texts.index)
    with pytest.raises(ValueError):
        vd.token_lists(column, min_len=-1)


def test_cluster_stats_of_files_in_blocks_are_count_pieces(cluster, corpus):
    settings = Settings(lower=True)
    paths = [str(corpus / "texts" / "long.txt"), str(corpus / "cp1251.txt"),
             str(corpus / "records.jsonl"), str(corpus / "bad.gz"), str(corpus / "empty.gz"),
             str(corpus / "gone.txt")]
    found = list(vd.cluster_stats(cluster.scheduler_address, paths, settings, BLOCK))
    assert [piece.path for piece, _ in found] == paths
    for path, (_, result) in zip(paths, found):
        expected = count_piece(described(path, settings), settings)
        got = result.stats
        assert (got.files, got.failed, got.bytes, got.types, got.top(0)) == (
            expected.stats.files, expected.stats.failed, expected.stats.bytes,
            expected.stats.types, expected.stats.top(0)), path
        assert vars(result.utf8) == vars(expected.utf8), path
        assert (result.dataset is None) == (expected.dataset is None)
        if result.dataset is not None:
            assert vars(result.dataset) == vars(expected.dataset), path
        assert [m.split(":")[0] for m in result.messages] == [
            m.split(":")[0] for m in expected.messages]
    assert found[1][1].utf8.sequences > 0 and found[3][1].messages


@pytest.mark.parametrize("encoding", [[], ["--encoding", "auto"]])
def test_the_command_on_a_local_cluster_prints_what_it_prints_without(corpus, encoding):
    broken = ["bad.gz", "empty.gz"]
    args = [*encoding, "--json", "--per-file", "--top", "50", "--field", "text",
            corpus / "texts", corpus / "cp1251.txt", corpus / "utf16.txt", corpus / "long.txt.gz",
            corpus / "records.jsonl", *(corpus / name for name in broken),
            corpus / "missing.txt"]
    alone, on_cluster = stats(*args), stats("--dask", "local:2", *args)
    assert on_cluster.returncode == alone.returncode == 1
    assert on_cluster.stderr == alone.stderr
    assert all(name in alone.stderr for name in [*broken, "missing.txt"])
    # Without an encoding the cp1251 file is warned of; with auto it is found.
    assert ("cp1251.txt" in alone.stderr) == (not encoding)
    assert untimed(on_cluster.stdout) == untimed(alone.stdout)
    if encoding:
        assert json.loads(alone.stdout)["encodings"][str(corpus / "cp1251.txt")] == "cp1251"


def test_standard_input_and_a_wrong_cluster_are_wrong_command_lines(corpus):
    done = stats("--dask", "local:2", "-", stdin=subprocess.DEVNULL)
    assert done.returncode == 2 and "not standard input" in done.stderr
    done = stats("--dask", "local:0", corpus / "texts")
    assert done.returncode == 2 and "--dask" in done.stderr


def test_the_example_prints_the_most_frequent_words(corpus):
    done = subprocess.run([sys.executable, str(EXAMPLE), str(corpus / "texts"), "--blocksize",
                           "4KiB", "--top", "5", "--lower"], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    counts = stats_words("--lower", corpus / "texts")
    shown = [line.split() for line in done.stdout.splitlines()]
    # Words as frequent as the fifth may come in any order.
    assert [int(count) for count, _ in shown] == [c for _, c in counts.most_common(5)]
    assert all(counts[word] == int(count) for count, word in shown)
