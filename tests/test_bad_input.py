"""Bad input everywhere: wrong arguments, objects used the wrong way, and files that are not
plain readable files. Each gives a clear error or the documented result, never a crash, and
leaves the tokenizer as it was."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap

import numpy as np
import pytest

import vorlentaCXX as vx
from conftest import batch_pairs, pairs


def run_child(code: str, **env) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter, so that a crash fails the test instead of the run."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, env={**os.environ, **env})


def test_objects_made_without_their_constructor_refuse_every_method():
    # __new__ alone gives storage that was never constructed; with freed tokenizers' memory
    # under it, using it crashed the interpreter.
    done = run_child("""
        import vorlentaCXX as vx
        calls = {
            vx.FTTokenizer: ["get_batch()", "set_batch_size(3)", "set_filter(1)",
                             "set_token_min_len(1)", "set_token_max_len(1)", "stream"],
            vx.FFTokenizer: ["get_batch()", "set_batch_size(3)", "is_fopen()", "stream"],
            vx.fts_stream: ["__next__()", "__iter__()"],
            vx.ffs_stream: ["__next__()", "__iter__()"],
        }
        refused = 0
        for _ in range(20):
            t = vx.FTTokenizer("words to leave freed memory behind " * 20)
            t.set_batch_size(3)
            t.get_batch()
            del t
            for cls, methods in calls.items():
                for method in methods:
                    blank = cls.__new__(cls)
                    try:
                        eval("blank." + method)
                    except TypeError as error:
                        assert "has not been initialized" in str(error), error
                        refused += 1
        blank = vx.FTTokenizer.__new__(vx.FTTokenizer)
        blank.__init__("late start")
        assert blank.get_batch()["text"] == "late\\0 \\0start\\0"
        print(refused)
    """)
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) == 20 * 14


# ---- arguments ----

TEXT = "Два слова, two words - and 3 more-or-less\n"
SETTINGS = [("set_batch_size", 2), ("set_token_min_len", 1), ("set_token_max_len", 5),
            ("set_filter", vx.ENWORD | vx.RUWORD)]
# Floats are refused even when they hold a whole number.
BAD_32 = [-1, 2**32, 1.5, 10.0, "3", None, [1], b"1"]
BAD_64 = [-1, 2**64, 1.5, 10.0, "3", None, [1], b"1"]


def configured(make):
    t = make()
    for name, value in SETTINGS:
        getattr(t, name)(value)
    return t


@pytest.fixture(params=["text", "file"])
def make(request, make_file):
    if request.param == "text":
        return lambda: vx.FTTokenizer(TEXT)
    path = make_file(TEXT.encode())
    return lambda: vx.FFTokenizer(path)


def test_refused_arguments_leave_the_tokenizer_as_it_was(make):
    t, control = configured(make), configured(make)
    first = pairs(t.get_batch())
    assert first == pairs(control.get_batch())
    for name, _ in SETTINGS:
        for bad in BAD_64 if name == "set_filter" else BAD_32:
            with pytest.raises(TypeError):
                getattr(t, name)(bad)
        with pytest.raises(TypeError):
            getattr(t, name)(n=1)
        with pytest.raises(TypeError):
            getattr(t, name)(1, 2)
        with pytest.raises(TypeError):
            getattr(t, name)()
    with pytest.raises(TypeError):
        t.get_batch(1)
    assert batch_pairs(t) == batch_pairs(control)


def test_file_path_refused():
    for bad in (None, 1, ["a"], "\ud800", pathlib.Path("x")):
        with pytest.raises(TypeError):
            vx.FFTokenizer(bad)
    for cls in (vx.FTTokenizer, vx.FFTokenizer):
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            cls("a", "b")
    with pytest.raises(TypeError):
        vx.FFTokenizer(__file__).is_fopen(True)


def test_methods_refuse_the_other_class_as_self(make_file):
    ft, ff = vx.FTTokenizer("a"), vx.FFTokenizer(make_file(b"a"))
    for cls, other in ((vx.FTTokenizer, ff), (vx.FFTokenizer, ft)):
        with pytest.raises(TypeError):
            cls.get_batch(other)
        with pytest.raises(TypeError):
            cls.set_batch_size(other, 1)
    with pytest.raises(TypeError):
        vx.fts_stream.__next__(ff.stream)
    assert pairs(ft.get_batch()) == pairs(ff.get_batch()) == [("a", "ENWORD")]


def test_memory_error_keeps_settings_position_and_old_arrays(make):
    t = configured(make)
    t.set_filter(2**64 - 1)
    t.set_token_max_len(512)
    first = t.get_batch()
    types, kept = first["types"], first["types"].copy()
    for huge in (2**32 - 1, 2**31):
        with pytest.raises(MemoryError):
            t.set_batch_size(huge)
    assert np.array_equal(types, kept)
    rest = batch_pairs(t)
    assert all(len(batch) <= 2 for batch in rest)  # still the old batch size
    texts = first["text"].split("\0")[:-1] + [text for b in rest for text, _ in b]
    assert "".join(texts) == TEXT


@pytest.mark.plain_build
def test_resizes_that_run_out_of_memory_leave_the_tokenizer_usable():
    # A resize to 2,000,000 tokens needs 978 MiB of text buffer, 492 MiB of code units, then
    # 15 MiB of types. Address space limits around that sum fail it at each allocation; each
    # failure must keep nothing and leave the tokenizer going on as before.
    done = run_child("""
        import resource, vorlentaCXX as vx
        def vm_bytes():
            status = open('/proc/self/status').read()
            return int(status.split('VmSize:')[1].split()[0]) * 1024
        text = ' '.join(['слово', 'word', '42'] * 3000)
        outcomes = []
        for room_mb in range(1450, 1510, 2):
            t = vx.FTTokenizer(text)
            t.set_batch_size(7)
            got = [t.get_batch()['text']]
            before = vm_bytes()
            resource.setrlimit(resource.RLIMIT_AS, (before + room_mb * 2**20, resource.RLIM_INFINITY))
            try:
                t.set_batch_size(2_000_000)
                outcomes.append('resized')
            except MemoryError:
                outcomes.append('refused')
                assert vm_bytes() - before < 2**20, (room_mb, vm_bytes() - before)
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
            while batch := t.get_batch():
                got.append(batch['text'])
            assert ''.join(got).replace('\\0', '') == text, room_mb
        print(' '.join(outcomes))
    """, MALLOC_ARENA_MAX="1")  # else the C library serves the types from a spare arena
    assert done.returncode == 0, done.stderr
    outcomes = done.stdout.split()
    assert "refused" in outcomes and "resized" in outcomes


# ---- files that are not plain readable files ----

def test_fifo_is_read_until_its_writer_closes(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    # Opening a FIFO for reading waits for a writer, so the writer runs in another process.
    writer = subprocess.Popen([sys.executable, "-c",
                               f"open({str(fifo)!r}, 'wb').write('через трубу'.encode())"])
    try:
        t = vx.FFTokenizer(str(fifo))
        assert t.is_fopen()
        assert batch_pairs(t) == [[("через", "RUWORD"), (" ", "WRDSPC"), ("трубу", "RUWORD")]]
        assert t.get_batch() == {}
    finally:
        assert writer.wait(timeout=30) == 0


def test_file_deleted_while_open_is_read_to_its_end(make_file):
    path = make_file(b"still readable after unlink")
    t = vx.FFTokenizer(path)
    t.set_batch_size(2)
    first = pairs(t.get_batch())
    os.unlink(path)
    rest = [p for batch in batch_pairs(t) for p in batch]
    assert "".join(text for text, _ in first + rest) == "still readable after unlink"


def test_unreadable_file_is_not_opened():
    # Permission bits do not stop root, so a root run checks them as the user nobody, in a
    # child that gives up root after importing the module.
    folder = tempfile.mkdtemp()
    try:
        os.chmod(folder, 0o755)
        locked, open_to_all = os.path.join(folder, "locked.txt"), os.path.join(folder, "open.txt")
        for path, mode in ((locked, 0o000), (open_to_all, 0o644)):
            with open(path, "wb") as f:
                f.write(b"secret words")
            os.chmod(path, mode)
        done = run_child(f"""
            import os, numpy, vorlentaCXX as vx  # nobody cannot read root's interpreter files
            if os.getuid() == 0:
                os.setgid(65534)
                os.setuid(65534)
            locked = vx.FFTokenizer({locked!r})
            assert not locked.is_fopen()
            assert locked.get_batch() == {{}} and list(locked.stream) == []
            assert vx.FFTokenizer({open_to_all!r}).get_batch()['text'] == 'secret\\0 \\0words\\0'
        """)
        assert done.returncode == 0, done.stderr
    finally:
        shutil.rmtree(folder)


# ---- the file column of `vorlenta tokenize`, escaped as token texts are ----

# Ill-formed bytes, a tab, line breaks of every kind, U+0000, a backslash, a quote, a control
# character JSON escapes, and letters.
AWKWARD = b"a\xff\tb\n\x0b\x0c\r\xc2\x85\xe2\x80\xa8\xe2\x80\xa9\x1c\0\\\"\x01\xd0\x96z\xc0\x80"


@pytest.mark.parametrize("fmt", ["tsv", "jsonl"])
def test_a_field_is_escaped_as_write_lines_escapes_each_token(tmp_path, fmt):
    from vorlenta import _native

    tokenizer = _native.Tokenizer(AWKWARD)
    tokenizer.configure(2**64 - 1, 0, 2**32 - 1, 100)
    with open(tmp_path / "lines", "wb") as out:
        output = _native.Output(out.fileno())
        tokenizer.write_lines(output, fmt, True, False, b"")
        output.flush()
    lines = (tmp_path / "lines").read_bytes().split(b"\n")
    assert lines.pop() == b""
    joined = whole = b""
    for line in lines:
        if fmt == "tsv":
            _, start, stop, text = line.split(b"\t")
        else:
            start, stop = (int(n) for n in
                           re.match(rb'.*"start": (\d+), "stop": (\d+)', line).groups())
            text = line[line.index(b'"text": "') + 9:-2]
        token = AWKWARD[int(start):int(stop)]
        assert _native.escaped_field(token, fmt) == text, token
        joined += token
        whole += text
    # Escaping works a character at a time, so the tokens' bytes together (the tokenizer
    # drops a stray byte between them) escape to their texts together, at any length (a path
    # may have thousands of bytes).
    assert len(lines) > 15 and b"\xc0\x80" in joined
    assert _native.escaped_field(joined, fmt) == whole
    assert _native.escaped_field(joined * 700, fmt) == whole * 700
    assert _native.escaped_field(b"", fmt) == b""


def test_escaped_fields_read_back_and_bad_escapes_are_refused():
    from vorlenta import _native
    from vorlenta.formats import unescape_tsv

    for raw in (AWKWARD, AWKWARD * 300, b"plain", "путь/файл.txt".encode()):
        escaped = _native.escaped_field(raw, "tsv").decode()
        assert "\t" not in escaped and len(escaped.splitlines()) == 1
        assert unescape_tsv(escaped) == os.fsdecode(raw)
    # Upper-case hex too; anything the writer never makes is a ValueError, not a KeyError.
    assert unescape_tsv(r"\xFF\x0B\u202A") == "\udcff\x0b\u202a"
    for bad in ("\\q", "a\\", "\\x4", "\\xG0", "\\u12", "\\\n"):
        with pytest.raises(ValueError, match="bad escape"):
            unescape_tsv(bad)
