"""The vorlenta command, run as an installed console script."""

import fcntl
import json
import os
import pty
import re
import select
import shutil
import struct
import subprocess
import signal
import sys
import termios
import time
from collections import Counter
from pathlib import Path

import pytest

import vorlenta as vorlenta_library
from vorlenta import TokenType, sources, stats
from vorlenta.formats import unescape_tsv
from conftest import CORPORA, CORPUS_DIR, TYPE_NAMES, corpus_path, strace_command

ROOT = Path(__file__).resolve().parents[1]
SAMPLE = ROOT / "examples" / "sample.txt"
SCRIPT = Path(sys.executable).with_name("vorlenta")
WORDS = TokenType.ENWORD | TokenType.RUWORD


def vorlenta(*args, **kwargs) -> subprocess.CompletedProcess:
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.run([str(SCRIPT), *map(str, args)], capture_output=True, timeout=120,
                          **kwargs)


def api_tokens(data: bytes, mask: int = 2**64 - 1, min_len: int = 0,
               max_len: int = 512) -> list[tuple[str, str]]:
    """(type name, text) of every token, the way the library gives them (which the library's
    tests hold to vorlentaCXX's batches)."""
    return [(t.type.name, t.text) for t in vorlenta_library.tokenize(
        data, types=mask, min_len=min_len, max_len=max_len)]


def tsv_tokens(stdout: bytes) -> list[tuple[str, str]]:
    lines = stdout.decode().split("\n")
    assert lines.pop() == ""
    return [(kind, unescape_tsv(text)) for kind, text in (line.split("\t") for line in lines)]


def jsonl_tokens(stdout: bytes) -> list[tuple[str, str]]:
    return [(d["type"], d["text"]) for d in map(json.loads, stdout.decode().splitlines())]


# ---- tokenize ----

def test_tokenize_prints_every_token_of_the_sample():
    done = vorlenta("tokenize", SAMPLE)
    assert done.returncode == 0 and done.stderr == b""
    expected = api_tokens(SAMPLE.read_bytes())
    assert tsv_tokens(done.stdout) == expected
    assert ("RUWORD", "Санкт-Петербурге") in expected
    jsonl = vorlenta("tokenize", "--format", "jsonl", SAMPLE)
    assert jsonl.returncode == 0 and jsonl_tokens(jsonl.stdout) == expected


AWKWARD = ("tab\there\r\nzero\0byte\0\0back\\slash\x0bvt\x0cff\x1c\x85 line\u2028sep\u2029"
           "para\n\\t literal").encode()


def library_tokens(path) -> list[tuple[str, int, int, str]]:
    return [(t.type.name, t.start, t.stop, t.text) for t in vorlenta_library.tokenize(Path(path))]


def json_text(text: str) -> str:
    # A byte that is not UTF-8 is "\\xHH" in a JSON string; a lone backslash is a token alone.
    return re.sub(r"\\x([89a-f][0-9a-f])", lambda m: chr(0xDC00 + int(m[1], 16)), text)


@pytest.mark.filterwarnings("ignore::vorlenta.NotUtf8Warning")  # ill-formed on purpose
@pytest.mark.parametrize("batch_size", [1, 3, 4096])
def test_escaped_output_keeps_one_token_per_line_and_loses_nothing(tmp_path, batch_size):
    # Bytes that are not UTF-8 too: an overlong "A" in a word, an encoded surrogate, a stray FF.
    path = tmp_path / "awkward.txt"
    path.write_bytes(AWKWARD + b" x\xc1\x81y \xed\xa0\x80 \xff end")
    expected = library_tokens(path)
    assert {"\0", "\t", "x\udcc1\udc81y"} <= {text for *_, text in expected}
    out = tmp_path / "out"
    for fmt in ("tsv", "jsonl"):
        done = vorlenta("tokenize", "--format", fmt, "--offsets", "--batch-size", batch_size,
                        path, "-o", out)
        assert done.returncode == 0 and done.stdout == b""
        lines = out.read_text().splitlines()
        # No reader of lines may find more lines than tokens.
        assert len(lines) == len(expected)
        if fmt == "tsv":
            fields = [line.split("\t") for line in lines]
            got = [(k, int(a), int(b), unescape_tsv(t)) for k, a, b, t in fields]
        else:
            got = [(d["type"], d["start"], d["stop"], json_text(d["text"]))
                   for d in map(json.loads, lines)]
        assert got == expected


def test_types_and_lengths_select_tokens():
    data = SAMPLE.read_bytes()
    done = vorlenta("tokenize", "--types", "ruword,NUMBER", "--min-len", 2, "--max-len", 7,
                    SAMPLE)
    assert done.returncode == 0
    selected = tsv_tokens(done.stdout)
    assert selected == api_tokens(data, TokenType.RUWORD | TokenType.NUMBER, 2, 7)
    assert {kind for kind, _ in selected} == {"RUWORD", "NUMBER"}
    assert all(2 <= len(text) <= 7 for _, text in selected)


@pytest.mark.parametrize("args, complaint", [
    (["--types", "ENWORD,NOUN"], b"unknown token type 'NOUN'"),
    (["--min-len", "5", "--max-len", "4"], b"--min-len 5 is greater than --max-len 4"),
    (["--batch-size", "0"], b"0 is not within 1..4294967295"),
    (["--min-len", "-1"], b"-1 is not within"),
])
def test_bad_options_are_refused(args, complaint):
    done = vorlenta("tokenize", *args, SAMPLE)
    assert done.returncode == 2 and done.stdout == b""
    assert complaint in done.stderr


def test_standard_input(make_file):
    data = "Ёж-путешественник read 12 books.\n".encode()
    expected = api_tokens(data)
    piped = vorlenta("tokenize", input=data, stdin=None)
    assert piped.returncode == 0 and tsv_tokens(piped.stdout) == expected
    # A dash among files: the files and standard input in the order given.
    both = vorlenta("tokenize", SAMPLE, "-", "--no-filename", input=data, stdin=None)
    assert tsv_tokens(both.stdout) == api_tokens(SAMPLE.read_bytes()) + expected
    # With several inputs, each line starts with its input's name, as grep's do.
    named = vorlenta("tokenize", SAMPLE, "-", input=data, stdin=None).stdout.decode()
    names = Counter(line.split("\t")[0] for line in named.splitlines())
    assert names == {str(SAMPLE): len(api_tokens(SAMPLE.read_bytes())), "<stdin>": len(expected)}
    # A file of which the caller has read a part already gives the rest only.
    path = make_file(b"skipped " + data)
    with open(path, "rb", buffering=0) as f:
        f.read(8)
        rest = vorlenta("tokenize", "-", stdin=f)
    assert rest.returncode == 0 and tsv_tokens(rest.stdout) == expected
    # stats reads it too, and counts the bytes it took.
    counted = vorlenta("stats", "--json", "-", input=data, stdin=None)
    report = json.loads(counted.stdout)
    assert report["bytes"] == len(data) and report["tokens"] == len(expected)


def test_unreadable_inputs_are_named_and_the_run_goes_on(tmp_path):
    missing = tmp_path / "missing.txt"
    folder = tmp_path / "folder"
    folder.mkdir()
    shutil.copy(SAMPLE, folder / "copy.txt")
    done = vorlenta("tokenize", "--no-filename", missing, folder, SAMPLE)
    assert done.returncode == 1
    assert done.stderr.decode().splitlines() == [
        f"vorlenta: {missing}: No such file or directory"]
    # A folder is walked as stats walks it.
    assert tsv_tokens(done.stdout) == 2 * api_tokens(SAMPLE.read_bytes())


def test_file_names_that_are_not_utf8(tmp_path):
    name = os.fsencode(tmp_path) + b"/caf\xe9.txt"
    with open(name, "wb") as f:
        f.write(b"caf")
    done = subprocess.run([os.fsencode(SCRIPT), b"tokenize", name], capture_output=True,
                          timeout=60)
    assert done.returncode == 0 and done.stdout == b"ENWORD\tcaf\n"


@pytest.mark.parametrize("fmt", ["tsv", "jsonl"])
def test_file_column_is_escaped_as_token_texts_are(tmp_path, fmt):
    # A name with a byte that is not UTF-8, a tab and line breaks that str.splitlines and
    # bytes.split both see, beside a plain one in the same folder.
    folder = tmp_path / "in"
    folder.mkdir()
    odd = os.fsencode(folder) + b"/b\xff\tx\n\x0b\xe2\x80\xa8.txt"
    with open(odd, "wb") as f:
        f.write(b"one two\n")
    (folder / "plain.txt").write_bytes(b"three\n")
    done = vorlenta("tokenize", "--format", fmt, folder)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.decode().splitlines()
    assert len(lines) == len(done.stdout.split(b"\n")) - 1 == 6
    if fmt == "tsv":
        fields = [line.split("\t") for line in lines]
        names = [unescape_tsv(name) for name, _, _ in fields]
        texts = [unescape_tsv(text) for _, _, text in fields]
    else:
        objects = [json.loads(line) for line in lines]
        # In JSON a byte that is not UTF-8 is the same four characters as in TSV.
        names = [re.sub(r"\\x([0-9a-f]{2})", lambda m: chr(0xDC00 + int(m[1], 16)), o["file"])
                 for o in objects]
        texts = [o["text"] for o in objects]
    assert names == [os.fsdecode(odd)] * 4 + [str(folder / "plain.txt")] * 2
    assert texts == ["one", " ", "two", "\n", "three", "\n"]


def test_bytes_that_are_not_utf8_are_escaped_counted_and_warned_of(tmp_path):
    path = tmp_path / "mixed.txt"
    path.write_bytes(b"good \xff\xfe bad \xc0\x80 text\n")
    done = vorlenta("tokenize", "--batch-size", 2, path)
    # Nothing is lost: dropped bytes are gone, passed-on ones are escaped; a warning alone
    # keeps the status.
    assert done.returncode == 0
    assert [text for _, text in tsv_tokens(done.stdout)] == [
        "good", " ", " ", "bad", " ", "\udcc0\udc80", " ", "text", "\n"]
    assert done.stderr.decode() == (
        f"vorlenta: warning: {path}: 4 sequences not valid UTF-8 (dropped, or passed on as they "
        "are); most of its non-ASCII bytes are not UTF-8: is it --encoding cp1251 or koi8-r?\n")
    # Mostly good text: no guess at the encoding.
    path.write_bytes(("ёлки-палки ".encode() + b"\xff\n") * 3)
    assert vorlenta("stats", path).stderr.decode() == (
        f"vorlenta: warning: {path}: 3 sequences not valid UTF-8 (dropped, or passed on as they "
        "are)\n")


def test_help_for_every_command():
    for args in ([], ["tokenize"], ["stats"]):
        done = vorlenta(*args, "--help")
        assert done.returncode == 0 and done.stdout.startswith(b"usage: vorlenta")
    assert b"--jobs" in vorlenta("stats", "--help").stdout
    assert b"--format" in vorlenta("tokenize", "--help").stdout
    assert vorlenta().returncode == 2


def test_output_cut_short_by_the_reader(make_file):
    path = make_file(" ".join(["слово"] * 200_000).encode())
    done = subprocess.run(f"'{SCRIPT}' tokenize '{path}' | head -n 1; "
                          "echo ${PIPESTATUS[0]} >&2",
                          shell=True, executable="/bin/bash", capture_output=True, timeout=60)
    assert done.stdout == "RUWORD\tслово\n".encode()
    # Stopped quietly, with the status of a program that SIGPIPE ended.
    assert done.stderr.decode() == "141\n"


@pytest.mark.parametrize("command", ["tokenize", "stats"])
def test_output_that_cannot_be_written_is_one_line_and_status_3(make_file, command):
    path = make_file(" ".join(["слово"] * 200_000).encode())
    def run(**kwargs):
        return subprocess.run([str(SCRIPT), command, path], stdin=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=60, **kwargs)

    with open("/dev/full", "wb") as full:
        done = run(stdout=full)
    assert done.returncode == 3
    assert done.stderr.decode() == "vorlenta: cannot write the output: No space left on device\n"
    closed = run(preexec_fn=lambda: os.close(1))
    assert closed.returncode == 3
    assert closed.stderr.decode() == \
        "vorlenta: cannot write the output: standard output is closed\n"


def test_a_failed_read_is_reported_after_the_tokens_before_it(make_file):
    data = " ".join(map(str, range(40_000))).encode()  # three chunks
    path = make_file(data)
    done = subprocess.run([*strace_command(path), str(SCRIPT), "tokenize", path],
                          capture_output=True, timeout=120)
    assert done.returncode == 1
    assert done.stderr.decode() == f"vorlenta: {path}: Input/output error\n"
    printed = tsv_tokens(done.stdout)
    assert len(printed) > 10_000 and printed == api_tokens(data)[:len(printed)]


# ---- stopping ----

def started(*args) -> subprocess.Popen:
    """The command at work, in a session of its own, so that a signal can go to the whole
    group as a terminal's Ctrl-C does."""
    process = subprocess.Popen([str(SCRIPT), *map(str, args)], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               start_new_session=True)
    time.sleep(0.5)
    return process


def stopped(process: subprocess.Popen, started_at: float) -> tuple[int, float, bytes]:
    """The status, the seconds it took from `started_at` and standard error; no process of the
    group may outlive it."""
    try:
        status = process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        raise
    took = time.monotonic() - started_at
    stderr = process.stderr.read()
    process.stderr.close()
    for _ in range(100):
        try:
            os.killpg(process.pid, 0)
        except ProcessLookupError:
            break
        time.sleep(0.02)
    else:
        os.killpg(process.pid, signal.SIGKILL)
        pytest.fail("a process of the command outlived it")
    return status, took, stderr


def zero_files(folder: Path, n: int) -> list[Path]:
    """Files of 200 MB of zero bytes, each a token, which use no disk."""
    paths = [folder / f"zeros{i}" for i in range(n)]
    for path in paths:
        path.touch()
        os.truncate(path, 200_000_000)
    return paths


def test_ctrl_c_stops_at_once_without_a_traceback(tmp_path):
    zeros = zero_files(tmp_path, 3)
    # No token passes the filter: one native call would read /dev/zero for ever.
    for args, presses in [(["tokenize", "--types", "RUWORD", "/dev/zero"], 1),
                          (["stats", "--jobs", 2, *zeros], 1),
                          (["stats", "--jobs", 2, *zeros], 2)]:
        process = started(*args)
        start = time.monotonic()
        for press in range(presses):
            if press:
                time.sleep(0.2)
            os.killpg(process.pid, signal.SIGINT)
        status, took, stderr = stopped(process, start)
        assert (status, stderr) == (130, b""), args
        assert took < 1.5, args


def test_workers_give_results_in_order_and_name_a_failure():
    def work(n: int) -> int:
        if n == 3:
            raise ValueError("no threes")
        time.sleep(0.05 * (n % 2))  # later tasks finish first
        return n * n

    assert list(stats.in_threads(work, [(n,) for n in range(6) if n != 3], 2)) == [0, 1, 4, 16, 25]
    with pytest.raises(stats.WorkerFailed, match="ValueError: no threes"):
        list(stats.in_threads(work, [(n,) for n in range(6)], 2))


# ---- stats ----

def make_folder(root: Path) -> Path:
    texts = {
        "a.txt": "Мир и война. Мир, мир!\nThe war and the peace.\n",
        "sub/b.txt": "the The THE 42 well-known Ёлка ёлка\n",
        "sub/deeper/c.txt": "и и и 7 — …\t\n" * 3,
        ".hidden.txt": "hidden hidden hidden",
        ".git/config": "ignored",
    }
    for name, text in texts.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    return root


def expected_stats(paths, lower=False):
    types, words, size = Counter(), Counter(), 0
    for path in paths:
        data = Path(path).read_bytes()
        size += len(data)
        for kind, text in api_tokens(data):
            types[kind] += 1
            if kind in ("ENWORD", "RUWORD"):
                words[text.lower() if lower else text] += 1
    return types, words, size


def stats_json(*args):
    done = vorlenta("stats", "--json", *args)
    return done, json.loads(done.stdout)


@pytest.mark.parametrize("lower", [False, True])
def test_stats_of_a_folder(tmp_path, lower):
    folder = make_folder(tmp_path)
    os.mkfifo(folder / "sub" / "pipe")  # no writer: opening it would wait for ever
    files = [folder / "a.txt", folder / "sub/b.txt", folder / "sub/deeper/c.txt"]
    types, words, size = expected_stats(files, lower)
    done, report = stats_json(folder, "--top", 1000, *(["--lower"] if lower else []))
    assert done.returncode == 0 and done.stderr == b""
    assert report["files"] == 3 and report["bytes"] == size
    assert report["types"] == {name: types[name] for name in TYPE_NAMES.values()
                               if name != "NOTTKN"}
    assert report["tokens"] == sum(types.values())
    assert report["words"] == sum(words.values())
    assert report["distinct_words"] == len(words)
    assert dict(report["top"]) == dict(words)
    counts = [count for _, count in report["top"]]
    assert counts == sorted(counts, reverse=True)
    assert "hidden" not in dict(report["top"])
    if lower:
        assert report["top"][:2] == [["и", 10], ["the", 5]]


BINARY = {"lib.so": b"\x7fELF\x02\x01\x01\x00" + b"text words " * 100,
          "a.zip": b"PK\x03\x04\x14\x00\x00\x00 words",
          "image.png": b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR words"}


@pytest.mark.parametrize(("choice", "read", "binary"), [
    ((), {"a.txt", "u16.txt", "t.txt.gz", "notes/n.md"}, sorted(BINARY)),
    (("--include", "*.txt"), {"a.txt", "u16.txt"}, []),
    (("--include", "*.txt", "--include", "notes/*", "--include", "*.so", "--exclude", "u16*"),
     {"a.txt", "notes/n.md"}, ["lib.so"]),
])
def test_a_folder_passes_over_binary_files_and_takes_the_chosen(tmp_path, choice, read, binary):
    import gzip
    folder = tmp_path / "f"
    (folder / "notes").mkdir(parents=True)
    (folder / "a.txt").write_text("alpha")
    (folder / "u16.txt").write_bytes("beta".encode("utf-16"))  # a mark, NUL bytes, and text
    (folder / "t.txt.gz").write_bytes(gzip.compress(b"gamma"))
    (folder / "notes" / "n.md").write_text("delta")
    for name, data in BINARY.items():
        (folder / name).write_bytes(data)
    done, report = stats_json(folder, "--encoding", "auto", *choice)
    assert done.returncode == 0
    assert report["files"] == len(read) and report["skipped_binary"] == len(binary)
    expected = {"a.txt": "alpha", "u16.txt": "beta", "t.txt.gz": "gamma", "notes/n.md": "delta"}
    assert {word for word, _ in report["top"]} == {expected[name] for name in read}
    notes = done.stderr.decode().splitlines()
    assert notes == [f"vorlenta: note: {folder / name}: passed over, it looks binary (a NUL "
                     f"byte in its first 8 KiB); name it to read it anyway"
                     for name in binary]
    # A file named is read whatever it holds.
    done, report = stats_json(folder / "lib.so")
    assert report["files"] == 1 and report["skipped_binary"] == 0
    assert dict(report["top"])["words"] == 100


def test_top_words_tied_at_the_cut_go_alphabetically(tmp_path):
    (tmp_path / "t.txt").write_text("d c b a c b a d e")
    for top, expected in [(2, [["a", 2], ["b", 2]]), (4, [["a", 2], ["b", 2], ["c", 2], ["d", 2]]),
                          (9, [["a", 2], ["b", 2], ["c", 2], ["d", 2], ["e", 1]])]:
        assert stats_json(tmp_path, "--top", top)[1]["top"] == expected


def test_stats_in_several_processes_agree(tmp_path):
    folder = make_folder(tmp_path)
    for i in range(6):
        (folder / f"more{i}.txt").write_text("Слово word слово " * (i + 1))
    _, one = stats_json(folder, "--top", 50)
    done, two = stats_json(folder, "--top", 50, "--jobs", 2)
    assert done.returncode == 0
    for report in (one, two):
        for key in ("seconds", "bytes_per_second", "tokens_per_second"):
            report.pop(key)
    assert one == two


def test_stats_reports_failures_and_counts_the_rest(tmp_path):
    folder = make_folder(tmp_path / "f")
    bad = tmp_path / "bad.txt"
    # An encoded surrogate, and a word holding an overlong form of "A": nothing is lost.
    bad.write_bytes(b"good words \xed\xa0\x80 more words x\xc1\x81y")
    done, report = stats_json(folder, bad, tmp_path / "missing", "--batch-size", 2,
                              "--top", 1000)
    assert done.returncode == 1
    assert report["files"] == 4 and report["failed_files"] == 1
    top = dict(report["top"])
    assert top["more"] == 1 and top["x\\xc1\\x81y"] == 1
    assert done.stderr.decode().splitlines() == [
        f"vorlenta: {tmp_path / 'missing'}: No such file or directory",
        f"vorlenta: warning: {bad}: 5 sequences not valid UTF-8 (dropped, or passed on as they "
        "are); most of its non-ASCII bytes are not UTF-8: is it --encoding cp1251 or koi8-r?"]


def test_stats_counts_what_is_read_and_reports_what_cannot_be():
    # /proc files are 0 bytes on disk but yield text; /proc/self/mem fails its first read.
    done, report = stats_json("/proc/cpuinfo")
    assert done.returncode == 0 and report["bytes"] > 0 and report["tokens"] > 0
    done, report = stats_json("/proc/self/mem")
    assert done.returncode == 1 and report["failed_files"] == 1
    assert done.stderr.decode() == "vorlenta: /proc/self/mem: Input/output error\n"


def test_stats_of_both_corpora():
    for name in CORPORA:
        corpus_path(name)
    done, report = stats_json(CORPUS_DIR, "--lower")
    assert done.returncode == 0
    top = [word for word, _ in report["top"]]
    assert len(top) == 20
    assert {"и", "в", "не", "the", "to", "of", "and"} <= set(top)
    assert report["tokens"] == sum(report["types"].values())
    assert report["bytes"] == sum(p.stat().st_size for p in CORPUS_DIR.iterdir())


# ---- the same inputs, read in other ways ----

def without_timing(report: dict) -> dict:
    return {k: v for k, v in report.items() if k not in ("seconds", "bytes_per_second",
                                                          "tokens_per_second")}


def test_a_large_file_on_two_processes_gives_exactly_one_pass(tmp_path, monkeypatch):
    # Cut points fall inside Cyrillic letters, words and compounds: each moves to a line feed.
    line = "Санкт-Петербург well-known 12-34 ёлки,палки\n".encode()
    path = tmp_path / "big.txt"
    path.write_bytes(line * (2 * sources.SPLIT_MIN_BYTES // len(line) + 1000))
    assert len(sources.pieces(str(path), 2, sources.Settings())) == 2
    outputs = [tmp_path / "one.tsv", tmp_path / "two.tsv"]
    for jobs, out in zip((1, 2), outputs):
        assert vorlenta("tokenize", "--offsets", "--jobs", jobs, path, "-o", out).returncode == 0
    assert outputs[0].read_bytes() == outputs[1].read_bytes()
    reports = [stats_json("--jobs", jobs, "--top", 0, path)[1] for jobs in (1, 2)]
    assert without_timing(reports[0]) == without_timing(reports[1])
    assert reports[0]["files"] == 1 and len(reports[0]["top"]) == 4  # --top 0: every word
    # Where no line feed follows a cut point, the file is not cut there.
    monkeypatch.setattr(sources, "SPLIT_MIN_BYTES", 10)
    path.write_bytes(b"x" * 100 + b"\n" + b"y" * 100)
    assert [(p.start, p.stop) for p in sources.pieces(str(path), 4, sources.Settings())] == [
        (0, 101), (101, 201)]


def test_a_piece_that_fails_after_the_first_is_an_input_not_read_whole(tmp_path, monkeypatch,
                                                                       capfd):
    from vorlenta import cli

    path = tmp_path / "two.txt"
    path.write_bytes(b"one line\n" * 10)
    monkeypatch.setattr(sources, "SPLIT_MIN_BYTES", 20)

    def count(piece, settings, on_bytes=None):
        if piece.start > 0:
            return stats.PieceResult(stats.Stats(), [f"{piece.name}: Input/output error"],
                                     sources.Utf8Tally())
        return stats.count_piece(piece, settings, on_bytes)

    monkeypatch.setattr(cli, "count_piece", count)
    assert cli._main(["stats", "--jobs", "2", str(path)]) == 1
    assert capfd.readouterr().err == f"vorlenta: {path}: Input/output error\n"


def test_an_input_whose_pieces_fail_counts_what_they_read_and_fails_once(tmp_path, monkeypatch,
                                                                        capfd):
    from vorlenta import cli

    path = tmp_path / "three.txt"
    path.write_bytes(b"one line\n" * 10)
    monkeypatch.setattr(sources, "SPLIT_MIN_BYTES", 30)
    assert len(sources.pieces(str(path), 3, sources.Settings())) == 3

    def count(piece, settings, on_bytes=None):  # the later pieces fail after all they read
        result = stats.count_piece(piece, settings, on_bytes)
        if piece.start > 0:
            result.stats.failed = 1
            result.messages.append(f"{piece.name}: Input/output error")
        return result

    monkeypatch.setattr(cli, "count_piece", count)
    assert cli._main(["stats", "--json", "--jobs", "3", str(path)]) == 1
    out, err = capfd.readouterr()
    report = json.loads(out)
    assert (report["files"], report["failed_files"]) == (1, 1)
    assert (report["bytes"], report["words"]) == (90, 20)
    assert err == f"vorlenta: {path}: Input/output error\n" * 2


def test_per_file_tables_and_lower_case_in_both_commands(tmp_path):
    (tmp_path / "a.txt").write_text("Ёлка ёлка ЁЛКА Tree\n")
    (tmp_path / "b.txt").write_text("tree TREE\n")
    done, report = stats_json("--per-file", "--lower", "--top", 0, tmp_path)
    assert report["top"] == [["tree", 3], ["ёлка", 3]]
    assert {name: r["top"] for name, r in report["per_file"].items()} == {
        str(tmp_path / "a.txt"): [["ёлка", 3], ["tree", 1]],
        str(tmp_path / "b.txt"): [["tree", 2]]}
    text = vorlenta("stats", "--per-file", "--top", 1, tmp_path).stdout.decode()
    assert f"\n{tmp_path / 'b.txt'}\nfiles" in text
    lowered = vorlenta("tokenize", "--lower", "--types", "RUWORD", "--no-filename", tmp_path)
    assert lowered.stdout.decode() == "RUWORD\tёлка\n" * 3


def test_legacy_encodings_and_compressed_inputs_read_as_their_utf8_copy(tmp_path):
    import bz2
    import gzip
    import lzma

    # What both one-byte encodings can hold, long enough to cross the streams' chunks.
    text = "".join(c for c in SAMPLE.read_text() if c not in "é–—№«»") * 400
    plain = tmp_path / "plain.txt"
    plain.write_text(text)
    variants = [(["--encoding", "cp1251"], "cp1251.txt", text.encode("cp1251")),
                (["--encoding", "koi8-r"], "koi8.txt", text.encode("koi8-r")),
                ([], "text.gz", gzip.compress(text.encode())),
                ([], "text.bz2", bz2.compress(text.encode())),
                ([], "text.xz", lzma.compress(text.encode()))]
    tokens = vorlenta("tokenize", plain).stdout
    _, report = stats_json(plain)
    for options, name, data in variants:
        (tmp_path / name).write_bytes(data)
        done = vorlenta("tokenize", *options, tmp_path / name)
        assert (done.returncode, done.stderr, done.stdout == tokens) == (0, b"", True), name
        assert without_timing(stats_json(*options, tmp_path / name)[1]) == without_timing(report)
    piped = vorlenta("tokenize", "--decompress", "gzip", input=gzip.compress(text.encode()),
                     stdin=None)
    assert piped.stdout == tokens
    # A cut or corrupt input is reported, after the tokens before the damage.
    (tmp_path / "cut.gz").write_bytes(gzip.compress(text.encode())[:-20])
    done = vorlenta("tokenize", tmp_path / "cut.gz")
    assert done.returncode == 1 and tokens.startswith(done.stdout[:1000])
    assert done.stderr.decode().startswith(f"vorlenta: {tmp_path / 'cut.gz'}: ")


# ---- progress ----

def run_with_terminal_stderr(*args, columns: int = 100) -> tuple[int, bytes]:
    leader, follower = pty.openpty()
    # A new terminal has no size: 0 columns.
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    with subprocess.Popen([str(SCRIPT), *map(str, args)], stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=follower) as process:
        os.close(follower)
        seen = b""
        while True:
            ready, _, _ = select.select([leader], [], [], 60)
            if not ready:
                break
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # the terminal closes with the process
                break
            if not chunk:
                break
            seen += chunk
        status = process.wait(60)
    os.close(leader)
    return status, seen


def test_progress_bar_on_a_terminal_only(make_file):
    path = make_file(" ".join(["слово"] * 50_000).encode())
    for columns in (100, 0):
        status, seen = run_with_terminal_stderr("tokenize", "--progress", path, columns=columns)
        assert status == 0
        # Counted in bytes (k is 1000), out of the file's size.
        assert b"/550k [" in seen and b"B/s]" in seen
    piped = vorlenta("tokenize", path)
    assert piped.returncode == 0 and piped.stderr == b""
    assert vorlenta("stats", path).stderr == b""


def test_no_progress_bar_when_asked(make_file):
    status, seen = run_with_terminal_stderr("stats", "--no-progress", SAMPLE)
    assert status == 0 and seen == b""


@pytest.fixture(autouse=True, scope="module")
def installed_script():
    if not SCRIPT.exists():
        pytest.fail(f"{SCRIPT} is missing: install the project (make install)")
    if shutil.which("head") is None:
        pytest.skip("head is not available")


def test_both_subcommands_take_the_same_options_and_speak_for_themselves(tmp_path):
    path = tmp_path / "s.txt"
    path.write_text("Ёж и ёж, well-known.\n", encoding="utf-8")
    # --json is each command's JSON form, as --format names it.
    assert vorlenta("tokenize", "--json", path).stdout == vorlenta(
        "tokenize", "--format", "jsonl", path).stdout
    assert vorlenta("stats", "--json", path).returncode == 0
    for command, other in (("tokenize", "tsv"), ("stats", "text")):
        # A subcommand's own errors print its own usage, not the top-level one.
        for wrong in (["--min-len", "3", "--max-len", "2"], ["--json", "--format", other]):
            done = vorlenta(command, *wrong, path)
            assert done.returncode == 2
            assert done.stderr.startswith(f"usage: vorlenta {command} ".encode()), done.stderr
        helped = vorlenta(command, "--help").stdout.decode()
        assert helped.count("\n  vorlenta ") == 2  # two examples
    assert b"141" in vorlenta("--help").stdout


def test_dask_without_dask_is_a_wrong_command_line_naming_the_extra(tmp_path):
    blocker = tmp_path / "blocker"
    blocker.mkdir()
    (blocker / "dask.py").write_text("raise ImportError('no dask here')\n")
    (tmp_path / "t.txt").write_text("слово\n")
    env = {**os.environ, "PYTHONPATH": str(blocker)}
    done = vorlenta("stats", "--dask", "local:2", tmp_path / "t.txt", env=env)
    assert done.returncode == 2 and done.stdout == b""
    assert done.stderr.endswith(b"error: vorlenta.dask needs Dask: "
                                b"pip install 'vorlenta[dask]'\n")
    done = subprocess.run([sys.executable, "-c", "import vorlenta.dask"], env=env,
                          capture_output=True, text=True, timeout=60)
    assert "ImportError: vorlenta.dask needs Dask: pip install 'vorlenta[dask]'" in done.stderr
    assert vorlenta("stats", tmp_path / "t.txt", env=env).returncode == 0
