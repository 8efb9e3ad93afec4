"""The command over compressed and transcoded inputs: Ctrl-C while their source gives nothing,
memory over inputs that expand far, what a failed input still counts, empty compressed files,
and encodings that are no text encodings."""

import bz2
import gzip
import json
import lzma
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import NO_ZSTD, ZSTD, strace_command, zstd_compress

SCRIPT = Path(sys.executable).with_name("vorlenta")
MiB = 1 << 20

LINES = ["Старый паром ходит через реку дважды в день, well-known 12-й рейс.",
         "The old ferry crosses the river twice a day; ёлки-палки!"]
TEXT = "\n".join(f"{i} {LINES[i % 2]}" for i in range(60_000)) + "\n"


def vorlenta(*args, **kwargs) -> subprocess.CompletedProcess:
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.run([str(SCRIPT), *map(str, args)], capture_output=True, timeout=120,
                          **kwargs)


COMPRESS = {"gzip": gzip.compress, "bz2": bz2.compress, "xz": lzma.compress,
            "zstd": zstd_compress}
SUFFIX = {"gzip": ".gz", "bz2": ".bz2", "xz": ".xz", "zstd": ".zst"}


def formats(*names):
    return [pytest.param(n, marks=NO_ZSTD if n == "zstd" else ()) for n in names]


# ---- Ctrl-C ----

def interrupted(process: subprocess.Popen) -> tuple[int, bytes]:
    """The status and standard error of a command that waits in its reads, after Ctrl-C."""
    time.sleep(0.7)  # started, and waiting in its reads
    assert process.poll() is None
    os.killpg(process.pid, signal.SIGINT)
    try:
        status = process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        pytest.fail("still running 5 s after Ctrl-C")
    return status, process.stderr.read()


@pytest.mark.parametrize("options", [
    *[pytest.param(["stats", "--decompress", c], marks=NO_ZSTD if c == "zstd" else (), id=c)
      for c in ("gzip", "bz2", "xz", "zstd")],
    pytest.param(["tokenize", "--decompress", "xz"], id="tokenize-xz"),
    pytest.param(["stats", "--encoding", "cp1251"], id="cp1251"),
    pytest.param(["tokenize", "--encoding", "utf-16"], id="tokenize-utf-16")])
def test_ctrl_c_stops_a_transformed_input_whose_source_gives_nothing(options):
    # Standard input is a pipe whose writer (this test) stays open and writes nothing: the
    # stream's thread waits in a read of it for as long as the pipe stays open.
    process = subprocess.Popen([str(SCRIPT), *options], stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               start_new_session=True)
    try:
        assert interrupted(process) == (130, b""), options
    finally:
        process.stdin.close()
        process.stderr.close()


def test_ctrl_c_stops_a_compressed_fifo_whose_writer_waits(tmp_path):
    fifo = tmp_path / "waiting.gz"
    os.mkfifo(fifo)
    process = subprocess.Popen([str(SCRIPT), "stats", fifo], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               start_new_session=True)
    writer = os.open(fifo, os.O_WRONLY)  # opened, never written to
    try:
        assert interrupted(process) == (130, b"")
    finally:
        os.close(writer)
        process.stderr.close()


@pytest.mark.parametrize("options", [[], ["--encoding", "utf-8"]], ids=["gzip", "gzip-utf-8"])
def test_a_transformed_input_read_in_part_ends_quietly(tmp_path, options):
    path = tmp_path / "text.gz"
    path.write_bytes(gzip.compress(TEXT.encode() * 4))
    done = subprocess.run(f"'{SCRIPT}' tokenize {' '.join(options)} '{path}' | head -n 1; "
                          "echo ${PIPESTATUS[0]} >&2", shell=True, executable="/bin/bash",
                          capture_output=True, timeout=60)
    assert done.stdout == b"NUMBER\t0\n"
    assert done.stderr.decode() == "141\n"
    # Read whole, the same input loses nothing and says nothing.
    whole = vorlenta("tokenize", *options, path)
    assert (whole.returncode, whole.stderr) == (0, b"")
    assert whole.stdout.count(b"\n") == vorlenta("tokenize", "-", input=TEXT.encode() * 4,
                                                 stdin=None).stdout.count(b"\n")


# ---- memory ----

def peak_rss(*args) -> tuple[int, int]:
    """The status and the peak resident memory, in bytes, of the command run alone."""
    process = subprocess.Popen([str(SCRIPT), *map(str, args)], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return process.returncode, usage.ru_maxrss * 1024  # Linux gives KiB


@NO_ZSTD
@pytest.mark.plain_build
def test_a_zstd_input_that_expands_far_is_read_in_fixed_memory(tmp_path):
    # 512 MiB of one letter, in two frames: zstd packs it some 30,000 to one.
    bomb = tmp_path / "bomb.zst"
    block = b"a" * MiB
    with open(bomb, "wb") as out:
        for _ in range(2):
            writer = ZSTD.ZstdCompressor(level=3)
            out.write(b"".join(writer.compress(block) for _ in range(256)) + writer.flush())
    assert bomb.stat().st_size < MiB
    tiny = tmp_path / "tiny.txt"
    tiny.write_text("a\n")
    status, baseline = peak_rss("stats", tiny)
    assert status == 0
    for options in ([], ["--encoding", "cp1251"]):
        status, peak = peak_rss("stats", *options, bomb)
        assert status == 0, options
        assert peak - baseline < 64 * MiB, (options, peak, baseline)


# ---- what a failed input still counts ----

def tokenized(lines: bytes) -> tuple[int, int]:
    """Tokens and words among `tokenize`'s lines."""
    kinds = [line.split(b"\t", 1)[0] for line in lines.splitlines()]
    return len(kinds), sum(kind in (b"ENWORD", b"RUWORD") for kind in kinds)


def test_a_cut_compressed_input_counts_what_was_read_before_the_cut(tmp_path):
    import zlib

    data = gzip.compress(TEXT.encode(), compresslevel=1)
    cut = data[:len(data) * 2 // 3]
    path = tmp_path / "cut.gz"
    path.write_bytes(cut)
    before = zlib.decompressobj(wbits=31).decompress(cut)  # all that the cut input holds
    assert 1 << 20 < len(before) < len(TEXT.encode())  # more than one chunk of the stream
    printed = vorlenta("tokenize", path)
    tokens, words = tokenized(printed.stdout)
    assert printed.returncode == 1 and tokens > 100_000
    for options in ([], ["--encoding", "utf-8"]):
        done = vorlenta("stats", "--json", *options, path)
        report = json.loads(done.stdout)
        assert (report["tokens"], report["words"]) == (tokens, words), options
        # Nothing decompressed is dropped; the decoder keeps back a character the cut split.
        assert len(before) - (3 if options else 0) <= report["bytes"] <= len(before)
        # Counted, and not read whole.
        assert (report["files"], report["failed_files"]) == (1, 1)
        assert done.returncode == 1
        assert done.stderr.decode().splitlines() == [printed.stderr.decode().rstrip("\n")]
        assert done.stderr.decode().startswith(f"vorlenta: {path}: ")


def test_a_plain_file_whose_read_fails_midway_counts_what_was_read(tmp_path):
    path = tmp_path / "numbers.txt"
    path.write_bytes(TEXT.encode())  # several 64 KiB reads: the second one fails
    command = strace_command(str(path))
    printed = subprocess.run([*command, str(SCRIPT), "tokenize", path], capture_output=True,
                             timeout=120)
    tokens, words = tokenized(printed.stdout)
    assert printed.returncode == 1 and tokens > 1000
    done = subprocess.run([*command, str(SCRIPT), "stats", "--json", path],
                          capture_output=True, timeout=120)
    report = json.loads(done.stdout)
    assert (report["tokens"], report["words"]) == (tokens, words)
    assert 0 < report["bytes"] < len(TEXT.encode())
    assert (report["files"], report["failed_files"]) == (1, 1)
    assert done.returncode == 1
    assert done.stderr.decode() == f"vorlenta: {path}: Input/output error\n"


# ---- empty compressed files ----

@pytest.mark.parametrize("compression", formats("gzip", "bz2", "xz", "zstd"))
def test_an_empty_compressed_input_is_an_error_of_that_input(tmp_path, compression):
    empty = tmp_path / f"empty{SUFFIX[compression]}"
    empty.touch()
    good = tmp_path / f"good{SUFFIX[compression]}"
    good.write_bytes(COMPRESS[compression](b"one two\n"))
    done = vorlenta("stats", "--json", empty, good)
    assert done.returncode == 1
    assert done.stderr.decode().startswith(f"vorlenta: {empty}: ")
    assert len(done.stderr.decode().splitlines()) == 1
    report = json.loads(done.stdout)
    assert (report["files"], report["failed_files"], report["words"]) == (1, 1, 2)
    piped = vorlenta("stats", "--decompress", compression, input=b"", stdin=None)
    assert piped.returncode == 1
    assert piped.stderr.decode().startswith("vorlenta: <stdin>: ")
    # A compressed empty text is no error.
    nothing = vorlenta("stats", "--decompress", compression, input=COMPRESS[compression](b""),
                       stdin=None)
    assert (nothing.returncode, nothing.stderr) == (0, b"")


# ---- encodings ----

@pytest.mark.parametrize("codec", ["rot13", "base64", "zlib", "hex", "bz2_codec", "uu"])
def test_a_codec_that_is_no_text_encoding_is_refused_before_reading(codec):
    for command in ("stats", "tokenize"):
        # A missing input would be named if it were opened.
        done = vorlenta(command, "--encoding", codec, "/no/such/input")
        assert done.returncode == 2 and done.stdout == b""
        last = done.stderr.decode().splitlines()[-1]
        assert last == (f"vorlenta {command}: error: argument --encoding: {codec!r} is not a "
                        "text encoding (it does not turn bytes into text)")


@pytest.mark.parametrize("encoding", ["utf-16", "cp1251", "koi8-r"])
def test_text_encodings_are_taken(tmp_path, encoding):
    text = "Ёлки-палки, well-known 12-й рейс\n" * 100
    path = tmp_path / "text"
    path.write_bytes(text.encode(encoding))
    done = vorlenta("tokenize", "--encoding", encoding, path)
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout == vorlenta("tokenize", "-", input=text.encode(), stdin=None).stdout
