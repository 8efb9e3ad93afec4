"""Where the command's output goes: never into one of its inputs, appended exactly as written,
and nothing left behind when the run is stopped or its temporary folder is full."""

import json
import os
import signal
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from test_cli import SAMPLE, SCRIPT, vorlenta, zero_files


def run_into(path: Path, *args, mode: str = "ab", stdin=subprocess.DEVNULL):
    """The command with its standard output opened on `path` as the shell's >> (or >) would."""
    with open(path, mode) as out:
        return subprocess.run([str(SCRIPT), *map(str, args)], stdout=out, stderr=subprocess.PIPE,
                              stdin=stdin, timeout=120)


def test_an_output_that_is_an_input_is_refused_and_left_whole(tmp_path):
    text = SAMPLE.read_bytes()
    s = tmp_path / "s.txt"
    s.write_bytes(text)
    other = tmp_path / "other.txt"
    other.write_bytes(b"other\n")
    link = tmp_path / "link.txt"
    os.link(s, link)

    done = vorlenta("tokenize", "-o", s, other, s)
    assert done.returncode == 2
    assert done.stderr.decode() == f"vorlenta: {s}: input file is output file (-o {s})\n"
    assert done.stdout == b""
    # Under another name (a hard link) it is still the same file.
    assert vorlenta("tokenize", "-o", link, s).returncode == 2
    for command in ("tokenize", "stats"):
        done = run_into(s, command, s)
        assert done.returncode == 2, command
        assert done.stderr.decode() == (
            f"vorlenta: {s}: input file is output file (standard output)\n")
        with open(s, "rb") as stdin:
            done = run_into(s, command, stdin=stdin)
        assert done.returncode == 2
        assert b"<stdin>: input file is output file" in done.stderr
    assert s.read_bytes() == text
    # An output that does not exist yet is made by the run: named as an input, it is refused
    # and not left behind.
    new = tmp_path / "new.txt"
    assert vorlenta("tokenize", "-o", new, new).returncode == 2
    assert not new.exists()


def test_a_folder_walk_passes_over_the_output(tmp_path):
    folder = tmp_path / "d"
    folder.mkdir()
    (folder / "a.txt").write_bytes(SAMPLE.read_bytes())
    alone = vorlenta("tokenize", "--no-filename", folder / "a.txt").stdout
    out = folder / "z.txt"
    out.write_bytes(b"an earlier run\n")
    for jobs in (1, 2):
        done = vorlenta("tokenize", "--jobs", jobs, "--no-filename", "-o", out, folder)
        assert done.returncode == 0 and out.read_bytes() == alone
        # Appended to, it is not read back either: the run ends, adding the folder's lines once.
        done = run_into(out, "tokenize", "--jobs", jobs, "--no-filename", folder)
        assert done.returncode == 0 and out.read_bytes() == alone * 2
    report = folder / "report.json"
    done = run_into(report, "stats", "--json", folder, mode="wb")
    assert done.returncode == 0
    assert json.loads(report.read_bytes())["files"] == 2  # a.txt and z.txt, not the report


def test_appending_gives_exactly_the_lines_of_writing(tmp_path):
    # With two inputs and two jobs the second input's lines are spilled by a worker and copied
    # in: into a file opened for appending, the kernel refuses to copy them itself.
    args = ["tokenize", "--jobs", 2, SAMPLE, SAMPLE]
    written = tmp_path / "written.txt"
    assert run_into(written, *args, mode="wb").returncode == 0
    appended = tmp_path / "appended.txt"
    appended.write_bytes(b"before\n")
    done = run_into(appended, *args)
    assert done.returncode == 0 and done.stderr == b""
    assert appended.read_bytes() == b"before\n" + written.read_bytes()
    assert written.read_bytes() == vorlenta("tokenize", "--jobs", 1, SAMPLE, SAMPLE).stdout


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
def test_a_stopped_run_leaves_no_temporary_files(tmp_path, signum):
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    zeros = zero_files(tmp_path, 3)
    # Every zero byte is a token: the workers' pieces grow in the temporary folder.
    process = subprocess.Popen(
        [str(SCRIPT), "tokenize", "--jobs", "2", *map(str, zeros), "-o", str(tmp_path / "out")],
        env={**os.environ, "TMPDIR": str(temporary)}, stdin=subprocess.DEVNULL,
        stderr=subprocess.PIPE)
    time.sleep(1)
    process.send_signal(signum)
    assert process.wait(timeout=30) == 128 + signum
    assert process.stderr.read() == b""
    process.stderr.close()
    assert list(temporary.iterdir()) == []


def test_a_full_temporary_folder_leaves_the_rest_to_one_job(tmp_path, monkeypatch, capfd):
    from vorlenta import cli

    # Every write to /dev/full fails for want of room, as in a full TMPDIR.
    monkeypatch.setattr(tempfile, "TemporaryFile", lambda dir=None: open("/dev/full", "w+b"))
    paths = []
    for i in range(4):
        paths.append(tmp_path / f"{i}.txt")
        paths[-1].write_bytes(SAMPLE.read_bytes() * (i + 1))
    out = tmp_path / "out.txt"
    assert cli._main(["tokenize", "--jobs", "2", "-o", str(out), *map(str, paths)]) == 0
    assert out.read_bytes() == vorlenta("tokenize", "--jobs", 1, *paths).stdout
    warning = capfd.readouterr().err
    assert warning.count("\n") == 1
    assert f"temporary folder {tempfile.gettempdir()} (TMPDIR)" in warning
    assert "No space left on device" in warning


def test_per_file_tables_follow_the_inputs_order(tmp_path):
    names = ["b.txt", "-", "a.txt", "c.txt"]
    for i, name in enumerate(names):
        if name != "-":
            # The first is the largest: with two jobs it finishes last.
            (tmp_path / name).write_text("слово " * (40_000 // (i + 1)))
    with open(SAMPLE, "rb") as stdin:
        done = subprocess.run(
            [str(SCRIPT), "stats", "--json", "--per-file", "--jobs", "2",
             *[n if n == "-" else str(tmp_path / n) for n in names]],
            stdin=stdin, capture_output=True, timeout=120)
    assert done.returncode == 0
    assert list(json.loads(done.stdout)["per_file"]) == [
        "<stdin>" if n == "-" else str(tmp_path / n) for n in names]
