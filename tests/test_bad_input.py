"""Bad input everywhere: wrong arguments, objects used the wrong way, and files that are not
plain readable files. Each gives a clear error or the documented result, never a crash, and
leaves the tokenizer as it was."""

import subprocess
import sys
import textwrap

import pytest


def run_child(code: str) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter, so that a crash fails the test instead of the run."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)


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
