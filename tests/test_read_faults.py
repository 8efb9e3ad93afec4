"""Reads that fail or are interrupted, in vorlentaCXX's FFTokenizer and the library's files: an
error is raised, never taken for the end of the input; no token is split or lost around it;
reading goes on at the same place; a pipe's bytes are tokenized as they come."""

import json
import signal
import subprocess
import sys
import textwrap
import time
from contextlib import contextmanager
from pathlib import Path

import pytest

import vorlenta
import vorlentaCXX as vx
from conftest import strace_command


def tokens_of(batch: dict) -> list[str]:
    return batch["text"].split("\0")[:-1] if batch else []


# A child whose second read of the file fails with EIO, once; it prints what it saw as JSON.
FAILING_READ = """
    import json, sys, vorlentaCXX as vx
    t = vx.FFTokenizer(sys.argv[1])
    t.set_batch_size(1 << 20)
    first = t.get_batch()
    try:
        t.get_batch()
        error = None
    except OSError as e:
        error = [e.errno, e.filename]
    rest = [t.get_batch(), t.get_batch()]
    print(json.dumps({"error": error, "batches": [b["text"] for b in [first, *rest] if b],
                      "last": rest[-1]}))
"""


# The same through the library's spans, whose batches it prints as their places.
FAILING_LIBRARY_READ = """
    import json, sys, vorlenta
    from pathlib import Path
    batches = vorlenta.spans(Path(sys.argv[1]), batch_size=1 << 20)
    got, error = [], None
    while True:
        try:
            b = next(batches)
        except StopIteration:
            break
        except OSError as e:
            error = [e.errno, e.filename]
            continue
        got.append(list(zip(b.starts.tolist(), b.stops.tolist())))
    print(json.dumps({"error": error, "batches": got}))
"""


def test_failed_read_comes_after_the_batch_before_it_and_reading_resumes(tmp_path):
    path = tmp_path / "numbers.txt"
    text = " ".join(map(str, range(40_000))) + "\n"  # three chunks
    path.write_text(text)
    seen = {}
    for binding, code in [("module", FAILING_READ), ("library", FAILING_LIBRARY_READ)]:
        done = subprocess.run(
            [*strace_command(str(path)), sys.executable, "-c", textwrap.dedent(code),
             str(path)], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        seen[binding] = json.loads(done.stdout)
        assert seen[binding]["error"] == [5, str(path)]
    # The tokens before the failed read, none split, then the rest.
    whole = vx.FTTokenizer(text)
    whole.set_batch_size(1 << 20)
    batches = seen["module"]["batches"]
    assert len(batches) == 2 and "".join(batches) == whole.get_batch()["text"]
    assert seen["module"]["last"] == {}
    places = seen["library"]["batches"]
    expected = [[t.start, t.stop] for t in vorlenta.tokenize(text.encode())]
    assert len(places) == 2 and places[0] + places[1] == expected


def test_failing_files_raise_on_every_read_and_stay_open(tmp_path):
    # A directory opens, but reading it fails; so does /proc/self/mem at offset 0.
    for path, error in [(str(tmp_path), IsADirectoryError), ("/proc/self/mem", OSError)]:
        t = vx.FFTokenizer(path)
        assert t.is_fopen()
        for _ in range(2):
            with pytest.raises(error) as raised:
                t.get_batch()
            assert raised.value.filename == path and raised.value.strerror
        with pytest.raises(error):
            next(iter(t.stream))
        assert t.is_fopen()
    with pytest.raises(IsADirectoryError):
        vorlenta.tokenize(tmp_path)


@contextmanager
def pipe_from(*parts: bytes, pause: float = 0.3, alarm: bool = False):
    """The path of a pipe whose writer sends `parts` with a pause before each but the first;
    with `alarm`, it sends this process SIGALRM in the middle of each pause, while the reader
    waits for the next part."""
    code = (f"import os, signal, time\nfor i, part in enumerate({parts!r}):\n"
            f"    if i:\n        time.sleep({pause / 2})\n"
            f"        if {alarm}: os.kill(os.getppid(), signal.SIGALRM)\n"
            f"        time.sleep({pause / 2})\n"
            f"    os.write(1, part)\n")
    writer = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE)
    try:
        yield f"/dev/fd/{writer.stdout.fileno()}"
    finally:
        writer.kill()
        writer.wait()
        writer.stdout.close()


class Tick(Exception):
    pass


def raise_tick(*_):
    raise Tick


def module_tokens(path: str, on_error: list) -> list[list[str]]:
    t = vx.FFTokenizer(path)
    got = []
    while True:
        try:
            batch = t.get_batch()
        except Tick as e:
            on_error.append(e)
            continue
        if not batch:
            return got
        got.append(tokens_of(batch))


def library_places(path: str, on_error: list) -> list[list[tuple[int, int]]]:
    batches = vorlenta.spans(Path(path))
    got = []
    while True:
        try:
            b = next(batches)
        except StopIteration:
            return got
        except Tick as e:
            on_error.append(e)
            continue
        got.append(list(zip(b.starts.tolist(), b.stops.tolist())))


@pytest.mark.parametrize("handler", [lambda *_: None, raise_tick], ids=["quiet", "raising"])
def test_signals_during_pipe_reads_split_and_lose_no_token(handler):
    # A handler's exception comes out of the read it interrupted, after the tokens before it; a
    # handler that returns leaves the batch as if no signal had come.
    old = signal.signal(signal.SIGALRM, handler)
    try:
        for read, expected in [(module_tokens, ["alpha", " ", "beta", " ", "end", "\n"]),
                               (library_places, [(0, 5), (5, 6), (6, 10), (10, 11), (11, 14),
                                                 (14, 15)])]:
            errors = []
            with pipe_from(b"alpha be", b"ta end\n", alarm=True) as path:
                batches = read(path, errors)
            assert sum(batches, []) == expected
            assert len(errors) == (handler is raise_tick)
            assert len(batches) == 1 + (handler is raise_tick)
    finally:
        signal.signal(signal.SIGALRM, old)


def test_a_batch_that_the_pipe_can_complete_does_not_wait_for_more():
    with pipe_from(b"hello world ", b"bye\n", pause=5) as path:
        t = vx.FFTokenizer(path)
        t.set_batch_size(1)
        start = time.monotonic()
        assert tokens_of(t.get_batch()) == ["hello"]
        assert tokens_of(t.get_batch()) == [" "]
        assert time.monotonic() - start < 2.5


def test_a_get_batch_interrupted_by_a_signal_refuses_to_be_entered_again():
    # A handler that used the tokenizer it interrupted would change buffers the batch loop is
    # filling.
    t = vx.FFTokenizer("/dev/zero")
    t.set_filter(int(vx.RUWORD))  # no token is ever kept: one get_batch reads for ever
    refused = []

    def reenter(*_):
        for call in (t.get_batch, lambda: t.set_batch_size(5), lambda: next(iter(t.stream))):
            try:
                call()
            except RuntimeError as e:
                refused.append(str(e))
        raise Tick

    old = signal.signal(signal.SIGALRM, reenter)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    try:
        with pytest.raises(Tick):
            t.get_batch()
    finally:
        signal.signal(signal.SIGALRM, old)
    assert len(refused) == 3 and "busy" in refused[0]
    t.set_batch_size(5)  # usable again once the call is over
