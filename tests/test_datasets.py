"""Datasets (JSON Lines, CSV, TSV and Parquet) through the command and the library, the command's
lines of words, and its vocabulary."""

import bz2
import codecs
import csv
import importlib.util
import io
import warnings
import gzip
import json
import os
import subprocess
from collections import Counter
from pathlib import Path

import pytest

import vorlenta as library
from vorlenta import TokenType, cli, sources
from vorlenta.formats import unescape_tsv
from conftest import TYPE_NAMES
from test_cli import SAMPLE, vorlenta, without_timing

WORDS = int(TokenType.ENWORD | TokenType.RUWORD)
TYPES = [name for name in TYPE_NAMES.values() if name != "NOTTKN"]

# Texts with what a record's text may hold: line feeds, tabs, hyphens, Ё, nothing at all.
TEXTS = [*SAMPLE.read_text().split("\n\n"), "Tab\there, line\nfeed", "", "Ёлки-палки 12-34",
         "e-mail\r\nCOVID-19 " * 50]
# Records whose field holds no string, with where they go among the texts.
NOT_TEXTS = [(1, {"id": 1}), (3, {"text": None}), (4, {"text": 7}), (6, ["text"]),
             (7, {"text": ["a"]})]


def records() -> list[object]:
    """The texts as records, the ones without a text among them."""
    out: list[object] = [{"text": t, "id": i} for i, t in enumerate(TEXTS)]
    for at, record in NOT_TEXTS:
        out.insert(at, record)
    return out


def texts_of(recs: list[object]) -> list[str | None]:
    return [r["text"] if isinstance(r, dict) and isinstance(r.get("text"), str) else None
            for r in recs]


def write_jsonl(path: Path, recs: list[object], blank_lines: bool = False) -> bytes:
    lines = [json.dumps(r, ensure_ascii=False) for r in recs]
    if blank_lines:
        lines.insert(2, "")
        lines.insert(5, "   ")
    data = ("\n".join(lines) + "\n").encode()
    opener = {".gz": gzip.compress, ".bz2": bz2.compress}.get(path.suffix, lambda d: d)
    path.write_bytes(opener(data))
    return data


def write_csv(path: Path, recs: list[object]) -> bytes:
    """The records as CSV or TSV (by the name) with a header; a record without a text is a row
    too short to hold one, and a blank line (no row) comes after the second."""
    out = io.StringIO()
    rows = csv.writer(out, delimiter="\t" if ".tsv" in path.name else ",")
    rows.writerow(["id", "text"])
    for i, text in enumerate(texts_of(recs)):
        rows.writerow([i] if text is None else [i, text])
        if i == 1:
            out.write("\r\n")
    data = out.getvalue().encode()
    path.write_bytes(gzip.compress(data) if path.suffix == ".gz" else data)
    return data


def library_calls(path: Path, **options) -> tuple[Counter, list, list, list, list[str]]:
    """count_words, token_lists, arrow_token_lists (None without pyarrow) and the (record,
    token start) pairs of spans of a dataset path, and the DatasetWarnings they gave."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        counts = library.count_words(path, lower=True, **options)
        lists = library.token_lists(path, **options)
        arrow = library.arrow_token_lists(path, **options).to_pylist() \
            if importlib.util.find_spec("pyarrow") else None
        pairs = [(int(t), int(a)) for b in library.spans(path, batch_size=5, **options)
                 for t, a in zip(b.texts, b.starts)]
    return counts, lists, arrow, pairs, [str(w.message) for w in caught]


def write_parquet(path: Path, recs: list[object]) -> None:
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    column = pa.array(texts_of(recs), pa.string())
    # Several row groups and batches: record numbers go on across them.
    pq.write_table(pa.table({"id": range(len(recs)), "text": column}), path, row_group_size=3)


def stats_json(*args) -> tuple[subprocess.CompletedProcess, dict]:
    done = vorlenta("stats", "--format", "json", *args)
    return done, json.loads(done.stdout)


def by_record(stdout: bytes) -> dict[int, list[tuple[str, int, int, str]]]:
    out: dict[int, list[tuple[str, int, int, str]]] = {}
    for line in stdout.decode().splitlines():
        record, kind, start, stop, text = line.split("\t")
        out.setdefault(int(record), []).append((kind, int(start), int(stop), unescape_tsv(text)))
    return out


@pytest.mark.parametrize("name", ["data.jsonl", "data.ndjson", "data.jsonl.gz",
                                  "data.ndjson.bz2", "data.parquet", "data.csv", "data.tsv.gz"])
def test_a_dataset_gives_the_counts_and_tokens_of_its_texts(tmp_path, name):
    path = tmp_path / name
    recs = records()
    texts = texts_of(recs)
    if name.endswith(".parquet"):
        write_parquet(path, recs)
        size = None
    elif ".csv" in name or ".tsv" in name:
        size = len(write_csv(path, recs))
    else:
        size = len(write_jsonl(path, recs, blank_lines=True))
        # The blank lines are no records: they shift the line numbers, as in the file.
        texts.insert(2, None)
        texts.insert(5, None)
    warning = (f"vorlenta: warning: {path}: {len(NOT_TEXTS)} records without a string field "
               "'text' (skipped)\n").encode()

    done, report = stats_json("--top", 0, "--lower", path)
    assert done.returncode == 0 and done.stderr == warning
    words = library.count_words(texts, lower=True)
    assert dict(report["top"]) == words and report["words"] == sum(words.values())
    assert report["types"] == {t: sum(map(len, library.token_lists(texts, types=t)))
                               for t in TYPES}
    assert report["files"] == 1
    if size is not None:
        assert report["bytes"] == size  # the JSON Lines text, after decompression
    else:
        assert report["bytes"] == path.stat().st_size

    # Each record's tokens, offsets in its text's UTF-8, under its number (counting from 1).
    done = vorlenta("tokenize", "--offsets", "--types", "ENWORD,RUWORD,NUMBER", path)
    assert done.returncode == 0 and done.stderr == warning
    got = by_record(done.stdout)
    expected = library.token_lists(texts, types=["ENWORD", "RUWORD", "NUMBER"])
    assert sorted(got) == [i + 1 for i, tokens in enumerate(expected) if tokens]
    for number, tokens in got.items():
        text = texts[number - 1].encode()
        assert [t for *_, t in tokens] == expected[number - 1]
        assert all(text[a:b].decode() == t for _, a, b, t in tokens)

    # Lines of words: line i is record i, empty where it has no text.
    done = vorlenta("tokenize", "--format", "words", "--lower", "--types", "ENWORD,RUWORD", path)
    assert done.returncode == 0 and done.stderr == warning
    assert done.stdout.decode().split("\n") == [
        " ".join(tokens) for tokens in library.token_lists(texts, lower=True)] + [""]

    # The library reads the same records: its counts are the command's, a list per record,
    # spans under each record's index; the warning once per call.
    counts, lists, arrow, pairs, caught = library_calls(path)
    assert counts == words
    assert lists == library.token_lists(texts)
    assert arrow in (None, [None if t is None else tokens for t, tokens in zip(texts, lists)])
    assert pairs == [(i, int(a)) for i, text in enumerate(texts) if text
                     for b in library.spans([text], batch_size=5) for a in b.starts]
    assert caught == [warning.decode()[len("vorlenta: warning: "):-1]] * (3 + (arrow is not None))


def test_records_without_a_text_are_counted_and_reported_once_per_input(tmp_path):
    recs = [{"body": "one two"}, {"text": "три"}, {"body": None}, {"body": 5}, {"body": "four"}]
    paths = [tmp_path / "a.jsonl", tmp_path / "b.jsonl"]
    for path in paths:
        write_jsonl(path, recs)
    for jobs in (1, 2):
        done, report = stats_json("--field", "body", "--jobs", jobs, *paths)
        assert done.returncode == 0
        assert done.stderr.decode().splitlines() == [
            f"vorlenta: warning: {p}: 3 records without a string field 'body' (skipped)"
            for p in paths]
        assert dict(report["top"]) == {"one": 2, "two": 2, "four": 2}
    done = vorlenta("tokenize", "--format", "words", "--field", "body", paths[0])
    assert done.stdout == b"one two\n\n\n\nfour\n"
    # A field that no record has is a misspelt one: an error naming the keys there are.
    for command in ("stats", "tokenize"):
        done = vorlenta(command, "--field", "txt", paths[0])
        assert done.returncode == 1
        assert done.stderr.decode().splitlines() == [
            f"vorlenta: {paths[0]}: no record has the field 'txt' (the keys of its first "
            f"records: body, text); is --field right?"]


BAD_LINES = b'{"text": "first words"}\n{"text": oops}\n{"text": "more"}\n[1,\n{"text": "last"}\n'


@pytest.mark.parametrize(("data", "words", "complaint"), [
    # JSON that orjson refuses and Python's own parser reads: read as Python reads it.
    (b'{"text": "lone \\ud800 one"}\n{"text": "after"}\n', "lone \\xed\\xa0\\x80 one\nafter\n",
     None),
    (b'{"n": 1.5e400, "text": "big number"}\n', "big number\n", None),
    (codecs.BOM_UTF8 + b'{"text": "after a mark"}\n', "after a mark\n", None),
    # Lines that no parser reads are passed over, the others read, the input failed.
    (BAD_LINES, "first words\n\nmore\n\nlast\n",
     "2 lines are not valid JSON and were passed over, the first line 2 ("),
    ('{"text": "мир"}\n{"text": "peace"}\n'.encode("cp1251"), "\npeace\n",
     "1 line is not valid JSON and was passed over, the first line 1 (not UTF-8: is it "
     "--encoding cp1251, or auto?)"),
])
def test_json_lines_that_python_reads_are_read_and_bad_lines_passed_over(tmp_path, data,
                                                                          words, complaint):
    path = tmp_path / "d.jsonl"
    path.write_bytes(data)
    done = vorlenta("tokenize", "--format", "words", path)
    assert done.stdout.decode() == words
    assert done.returncode == (0 if complaint is None else 1)
    lines = done.stderr.decode().splitlines()
    if complaint is None:
        assert lines == []
    else:
        assert len(lines) == 1 and lines[0].startswith(f"vorlenta: {path}: {complaint}")


def test_a_bad_line_fails_its_input_and_the_others_are_read(tmp_path):
    bad = tmp_path / "bad.jsonl"
    bad.write_bytes(BAD_LINES)
    good = tmp_path / "good.jsonl"
    write_jsonl(good, [{"text": "good"}])
    done, report = stats_json(bad, good)
    assert done.returncode == 1 and len(done.stderr.splitlines()) == 1
    assert dict(report["top"]) == {"first": 1, "words": 1, "more": 1, "last": 1, "good": 1}
    assert report["files"] == 2 and report["failed_files"] == 1

    # A cut compressed input is named as such, not as a line that is not JSON.
    cut = tmp_path / "cut.jsonl.gz"
    cut.write_bytes(gzip.compress(b'{"text": "whole"}\n{"text": "cut off here"}\n')[:-12])
    done = vorlenta("tokenize", "--format", "words", cut)
    assert done.returncode == 1 and b"JSON" not in done.stderr and b"cut.jsonl.gz" in done.stderr


def test_standard_input_and_forced_formats(tmp_path):
    data = write_jsonl(tmp_path / "d.jsonl", [{"text": "Hello, мир"}, {"text": "again"}])
    done = vorlenta("tokenize", "--format", "words", "--input-format", "jsonl",
                    input=data, stdin=None)
    assert done.returncode == 0 and done.stdout == "Hello , мир\nagain\n".encode()
    done = vorlenta("stats", "--top", 0, "--format", "tsv", "--input-format", "jsonl",
                    "--decompress", "gzip", input=gzip.compress(data), stdin=None)
    assert done.returncode == 0 and done.stdout == "Hello\t1\nagain\t1\nмир\t1\n".encode()
    # Forced to text, a .jsonl file is its bytes.
    done = vorlenta("tokenize", "--format", "words", "--types", "ENWORD",
                    "--input-format", "text", tmp_path / "d.jsonl")
    assert done.stdout == b"text Hello\ntext again\n"
    done = vorlenta("stats", "--input-format", "parquet", input=b"PAR1", stdin=None)
    assert done.returncode == 1 and b"standard input" in done.stderr


def test_parquet_without_pyarrow_is_one_line_naming_the_extra(tmp_path):
    blocker = tmp_path / "blocker"
    blocker.mkdir()
    (blocker / "pyarrow.py").write_text("raise ImportError('no pyarrow here')\n")
    (tmp_path / "d.parquet").write_bytes(b"PAR1")
    write_jsonl(tmp_path / "e.jsonl", [{"text": "still read"}])
    env = {**os.environ, "PYTHONPATH": str(blocker)}
    done = vorlenta("stats", "--format", "tsv", tmp_path / "d.parquet", tmp_path / "e.jsonl",
                    env=env)
    assert done.returncode == 1
    assert done.stderr == (f"vorlenta: {tmp_path / 'd.parquet'}: Parquet input needs pyarrow: "
                           "pip install 'vorlenta[arrow]'\n").encode()
    assert done.stdout == b"read\t1\nstill\t1\n"


def test_parquet_columns_that_are_not_texts_are_errors(tmp_path):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    path = tmp_path / "d.parquet"
    pq.write_table(pa.table({"n": [1, 2], "text": pa.array(["x y", "y"]).dictionary_encode()}),
                   path)
    done = vorlenta("stats", "--format", "tsv", path)
    assert done.returncode == 0 and done.stdout == b"y\t2\nx\t1\n"
    twice = tmp_path / "twice.parquet"
    pq.write_table(pa.table([pa.array(["a"]), pa.array(["b"])], names=["text", "text"]), twice)
    for field, complaint, where in [
            ("n", b"column 'n' holds int64, not strings", path),
            ("nope", b"no column 'nope' (its columns: n, text)", path),
            ("text", b"2 columns are named 'text': which one holds the texts cannot be told",
             twice)]:
        done = vorlenta("stats", "--field", field, where)
        assert done.returncode == 1 and done.stderr == f"vorlenta: {where}: ".encode() + complaint + b"\n"
    # A column of nulls holds no text.
    nulls = tmp_path / "nulls.parquet"
    pq.write_table(pa.table({"text": pa.array([None, None])}), nulls)
    done, report = stats_json(nulls)
    assert done.returncode == 0 and report["tokens"] == 0 and report["files"] == 1


def word_lines(text: str, types: int = 2**64 - 1, **options) -> list[list[str]]:
    """What --format words gives for a text: per line, its tokens but spaces."""
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    return library.token_lists(lines, types=types & ~int(TokenType.WRDSPC | TokenType.NWLINE), **options)


def read_words(stdout: bytes) -> list[list[str]]:
    lines = stdout.decode().split("\n")
    assert lines.pop() == ""
    return [[unescape_tsv(word) for word in line.split(" ")] if line else [] for line in lines]


def test_words_of_plain_text_keep_its_lines_whatever_the_filter(tmp_path, monkeypatch):
    text = SAMPLE.read_text() + "\n\nно-нет x\tб\n" + "последняя строка"
    path = tmp_path / "t.txt"
    path.write_text(text)
    packed = tmp_path / "t.txt.gz"
    packed.write_bytes(gzip.compress(text.encode()))
    # A filter that drops line feeds, or a length they fail, leaves the lines as they are.
    for options, args in [({"types": WORDS, "lower": True}, ["--lower", "--types", "ENWORD,RUWORD"]),
                          ({"types": WORDS | int(TokenType.NUMBER), "min_len": 3},
                           ["--types", "ENWORD,RUWORD,NUMBER", "--min-len", 3]),
                          ({"max_len": 0}, ["--max-len", 0])]:
        expected = word_lines(text, **options)
        for source in ([path], [packed], ["-"]):
            with open(path, "rb") as stdin:
                done = vorlenta("tokenize", "--format", "words", *args, *source, stdin=stdin)
            assert done.returncode == 0 and read_words(done.stdout) == expected, (args, source)
    # Every kept token but spaces, escaped as tsv's texts so that none breaks its line; a last
    # line without a line feed ends with its input.
    done = vorlenta("tokenize", "--format", "words", path, path)
    once = word_lines(text)
    assert ["но-нет", "x", "\t", "б"] in once and read_words(done.stdout) == once + once

    # Cut at line feeds for --jobs, a file gives the lines of one pass.
    big = tmp_path / "big.txt"
    big.write_text(("Раз два, three\n\nчетыре\n" * 40))
    monkeypatch.setattr(sources, "SPLIT_MIN_BYTES", 100)
    assert len(sources.pieces(str(big), 4, sources.Settings())) == 4
    outs = []
    for jobs in (1, 4):
        out = tmp_path / f"words{jobs}.txt"
        assert cli.main(["tokenize", "--format", "words", "--types", "RUWORD", "--jobs",
                         str(jobs), str(big), str(path), "-o", str(out)]) == 0
        outs.append(out.read_text())
    assert outs[0] == outs[1]
    assert read_words(outs[0].encode()) == ([["Раз", "два"], [], ["четыре"]] * 40
                                            + word_lines(text, types=int(TokenType.RUWORD)))


@pytest.mark.filterwarnings("ignore::vorlenta.NotUtf8Warning")  # ill-formed on purpose
def test_stats_vocabulary_as_tsv(tmp_path):
    path = tmp_path / "v.txt"
    path.write_bytes("b a c b a b Ёж ёж ".encode() + b"x\xc1\x81y")  # C1 81: an overlong "A"
    done = vorlenta("stats", "--top", 0, "--format", "tsv", "--lower", path)
    assert done.returncode == 0 and done.stderr.startswith(b"vorlenta: warning:")
    # Most frequent first, ties alphabetically; a byte that is not UTF-8 as \xHH.
    assert done.stdout == "b\t3\na\t2\nёж\t2\nc\t1\nx\\xc1\\x81y\t1\n".encode()
    lines = [line.split("\t") for line in done.stdout.decode().splitlines()]
    assert Counter({unescape_tsv(w): int(n) for w, n in lines}) == library.count_words(
        path, lower=True)
    assert vorlenta("stats", "--top", 2, "--format", "tsv", path).stdout == b"b\t3\na\t2\n"
    # A vocabulary without its rare words; the table lists only those too.
    assert vorlenta("stats", "--top", 0, "--min-count", 2, "--format", "tsv", "--lower",
                    path).stdout == "b\t3\na\t2\nёж\t2\n".encode()
    table = vorlenta("stats", "--top", 5, "--min-count", 3, path).stdout.decode()
    assert "top 1 words" in table and "  a  " not in table
    assert vorlenta("stats", "--min-count", 0, path).returncode == 2
    # --json is --format json.
    one = json.loads(vorlenta("stats", "--json", path).stdout)
    two = json.loads(vorlenta("stats", "--format", "json", path).stdout)
    assert one["top"] == two["top"] and one["tokens"] == two["tokens"]
    for args in (["--json", "--format", "tsv"], ["--format", "tsv", "--per-file"]):
        assert vorlenta("stats", *args, path).returncode == 2
    for args in (["--offsets"], ["-H"]):
        assert vorlenta("tokenize", "--format", "words", *args, path).returncode == 2


def test_help_names_the_dataset_options():
    done = vorlenta("tokenize", "--help")
    text = b" ".join(done.stdout.split())
    for needle in (b"--field", b"--input-format", b"words", b".jsonl", b".parquet"):
        assert needle in text
    assert b"tsv" in b" ".join(vorlenta("stats", "--help").stdout.split())


@pytest.mark.parametrize("kind", ["jsonl", "parquet"])
def test_a_dataset_cut_for_jobs_gives_what_one_pass_gives(tmp_path, monkeypatch, capfd, kind):
    recs = records() * 20
    path = tmp_path / f"d.{kind}"
    if kind == "jsonl":
        data = write_jsonl(path, recs)
        # A mark before the first record, and lines that are not JSON here and there.
        lines = data.split(b"\n")
        for at in (5, 50, 90):
            lines.insert(at, b'{"text": oops')
        path.write_bytes(codecs.BOM_UTF8 + b"\n".join(lines))
    else:
        write_parquet(path, recs)
    monkeypatch.setattr(sources, "SPLIT_MIN_BYTES", 300)
    assert len(sources.pieces(str(path), 4, sources.Settings())) > 2
    runs = {}
    for jobs in ("1", "4"):
        got = []
        for args in (["tokenize", "--offsets"], ["tokenize", "--format", "words"],
                     ["stats", "--json", "--per-file", "--top", "0"]):
            out = tmp_path / "out"
            to = ["-o", str(out)] if args[0] == "tokenize" else []
            status = cli.main([*args, "--jobs", jobs, *to, str(path)])
            captured = capfd.readouterr()
            text = out.read_text() if to else json.dumps(without_timing(json.loads(captured.out)))
            got.append((status, text, captured.err))
        runs[jobs] = got
    assert runs["1"] == runs["4"]
    assert runs["1"][0][0] == (1 if kind == "jsonl" else 0)
    # Record numbers go on across the pieces: the last record's is the count of lines.
    numbers = [int(line.split("\t")[0]) for line in runs["1"][0][1].splitlines()]
    assert numbers == sorted(numbers) and max(numbers) == len(recs) + 3 * (kind == "jsonl")


def test_the_library_refuses_what_is_no_dataset_and_names_what_is_missing(tmp_path):
    jsonl, table = tmp_path / "d.jsonl", tmp_path / "d.csv"
    jsonl.write_text('{"body": "один"}\n')
    table.write_bytes(codecs.BOM_UTF8 + "id,text,text\n1,a,b\n".encode())
    cases = [
        (lambda: library.count_words(jsonl), ValueError, "no record has the field 'text' "
         r"\(the keys of its first records: body\); is field= right"),
        (lambda: library.token_lists(table), ValueError, "2 columns are named 'text'"),
        (lambda: library.count_words(table, field="body"), ValueError, r"no column 'body' "
         r"\(its header: id, text, text\)"),
        (lambda: library.tokenize(jsonl), ValueError, r"is a dataset \(jsonl\)"),
        (lambda: library.count_words(["a"], input_format="jsonl"), TypeError,
         "a dataset is read from a path"),
        (lambda: library.count_words(jsonl, input_format="xml"), ValueError, "input_format must"),
        (lambda: library.spans(tmp_path / "none.csv"), FileNotFoundError, "none.csv"),
        (lambda: library.token_lists("one text"), TypeError, r"vorlenta.words\(text\)"),
        (lambda: library.token_lists(b"one text"), TypeError, "not one bytes"),
        (lambda: library.count_words(jsonl, column="text"), TypeError, "a path is no table"),
    ]
    for call, error, message in cases:
        with pytest.raises(error, match=message):
            call()
    # input_format= says what the name does not; "text" reads a dataset's file as text.
    (tmp_path / "d.txt").write_bytes(jsonl.read_bytes())
    assert library.count_words(tmp_path / "d.txt", input_format="jsonl", field="body") == \
        Counter({"один": 1})
    assert library.count_words(jsonl, input_format="text") == Counter({"body": 1, "один": 1})
    # A byte-order mark is no part of the header.
    table.write_bytes(codecs.BOM_UTF8 + "id,text\n1,мир\n".encode())
    assert library.token_lists(table) == [["мир"]]


def test_a_dataset_cut_short_gives_its_records_before_the_error(tmp_path):
    # Many groups of records, read as one source, then a compressed stream that ends early.
    data = "".join(json.dumps({"text": f"слово{i} word"}) + "\n" for i in range(20_000))
    path = tmp_path / "cut.jsonl.gz"
    path.write_bytes(gzip.compress(data.encode())[:-2000])
    with pytest.raises(ValueError, match="cut.jsonl.gz: Compressed file ended"):
        library.count_words(path)
    records = []
    with pytest.raises(ValueError, match="cut.jsonl.gz"):
        for batch in library.spans(path, types="ENWORD", batch_size=1000):
            records += batch.texts.tolist()
    # The records before the error, each once, in order, with their own index.
    assert records == list(range(len(records))) and len(records) > 10_000
