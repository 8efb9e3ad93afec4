"""A call that comes back into a binding on the same thread, from a signal handler or a __del__
run meanwhile, raises RuntimeError rather than waiting for itself: during the one-time NumPy
set-up of the first batch, and while a vorlenta._native object holds its lock. Each case runs
in a process of its own, since a failure is a hang and the set-up happens once per process."""

import json
import subprocess
import sys
import textwrap

import pytest

SETUP_ERROR = "while NumPy is being set up"

# The first batch of "one two" and "three four", as each binding gives it.
COMMON = textwrap.dedent(r'''
    import gc, json, signal, sys, threading
    binding, trigger = sys.argv[1:]
    if binding == "vorlentaCXX":
        import vorlentaCXX as vx
        make = vx.FTTokenizer
        def first(t):
            return t.get_batch().get("text", "").split("\0")[:-1]
    else:
        from vorlenta import _native
        def make(text):
            t = _native.Tokenizer(text.encode())
            t.configure(2**64 - 1, 0, 2**32 - 1, 100)
            return t
        def first(t):
            starts, stops, _ = t.spans()
            return list(zip(starts.tolist(), stops.tolist()))
    a, b = make("one two"), make("three four")
    seen = []

    def reenter(t):
        try:
            seen.append(first(t))
        except RuntimeError as e:
            seen.append(str(e))
            return e

    class OnImport:
        """Runs `action` when the first batch's set-up imports numpy."""
        def __init__(self, action):
            self.action = action
        def find_spec(self, name, path=None, target=None):
            if name == "numpy":
                sys.meta_path.remove(self)
                self.action()
            return None
''')

SCRIPTS = {
    # A handler that raises what the call it made raised, as most would.
    "signal": r'''
def handler(*_):
    if (error := reenter(b)) is not None:
        raise error
signal.signal(signal.SIGUSR1, handler)
sys.meta_path.insert(0, OnImport(lambda: signal.raise_signal(signal.SIGUSR1)))
try:
    outer = first(a)
except RuntimeError as e:
    outer = str(e)
signal.signal(signal.SIGUSR1, signal.SIG_DFL)
after = [first(a), first(b)]
''',
    # NumPy imported already: the set-up still runs Python code, where the collector runs.
    "__del__": r'''
import numpy
class Cycle:
    def __init__(self):
        self.me = self
    def __del__(self):
        reenter(b)
        reenter(a)
gc.disable()
Cycle()
gc.set_threshold(1)
gc.enable()
outer = first(a)
gc.set_threshold(2000)
after = [None, first(b)]
''',
    # Another thread waits for the set-up and gets its batch.
    "thread": r'''
started = threading.Event()
def other():
    started.set()
    reenter(b)
worker = threading.Thread(target=other)
def start_worker():
    worker.start()
    started.wait()
    threading.Event().wait(0.05)  # lets it reach the set-up, with the interpreter released
sys.meta_path.insert(0, OnImport(start_worker))
outer = first(a)
worker.join(30)
after = None
''',
}

TAIL = r'''
print(json.dumps({"outer": outer, "seen": seen, "after": after}))
'''

FIRST = {"vorlentaCXX": (["one", " ", "two"], ["three", " ", "four"]),
         "_native": ([[0, 3], [3, 4], [4, 7]], [[0, 5], [5, 6], [6, 10]])}


def run_case(binding, trigger):
    code = COMMON + SCRIPTS[trigger] + TAIL
    try:
        done = subprocess.run([sys.executable, "-c", code, binding, trigger],
                              capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{binding}, {trigger}: the process hung")
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def as_lists(value):
    return json.loads(json.dumps(value))


@pytest.mark.parametrize("binding", ["vorlentaCXX", "_native"])
def test_signal_handler_during_set_up_raises_and_loses_nothing(binding):
    out = run_case(binding, "signal")
    a_tokens, b_tokens = as_lists(FIRST[binding])
    # The handler's call raised, and so did the call it interrupted, through the handler.
    assert len(out["seen"]) == 1 and SETUP_ERROR in out["seen"][0]
    assert out["outer"] == out["seen"][0]
    # The set-up runs again on the next call. The refused call took nothing from its input.
    # vorlentaCXX sets NumPy up once the batch is read, so that a tokenizer drains to {}
    # without it, and a failed set-up loses that batch, as any failed result does; the library
    # sets it up first.
    lost = binding == "vorlentaCXX"
    assert out["after"] == [[] if lost else a_tokens, b_tokens]


@pytest.mark.parametrize("binding", ["vorlentaCXX", "_native"])
def test_del_run_by_the_collector_during_set_up_raises(binding):
    out = run_case(binding, "__del__")
    a_tokens, b_tokens = as_lists(FIRST[binding])
    # Both calls, on another tokenizer and on the one setting up, met the set-up.
    assert len(out["seen"]) == 2, out
    assert all(SETUP_ERROR in s for s in out["seen"]), out
    assert out["outer"] == a_tokens
    assert out["after"] == [None, b_tokens]


@pytest.mark.parametrize("binding", ["vorlentaCXX", "_native"])
def test_another_thread_waits_for_the_set_up(binding):
    out = run_case(binding, "thread")
    a_tokens, b_tokens = as_lists(FIRST[binding])
    assert out["outer"] == a_tokens
    assert out["seen"] == [b_tokens]


# vorlenta._native runs signal handlers with an object's lock held, where a read from a pipe
# was interrupted: a handler that calls the same object gets RuntimeError, and the interrupted
# call raises it; the bytes written later are all there.
LOCKED = textwrap.dedent(r'''
    import os, signal, sys
    from vorlenta import _native
    action = sys.argv[1]
    def tokenizer(r):
        t = _native.Tokenizer.from_fd(r, "pipe")
        t.configure(2**64 - 1, 0, 2**32 - 1, 100)
        return t
    # NumPy set up by a first call before the alarm: on a busy machine its import may outlast
    # the alarm's delay, and the handler would meet the set-up instead of the lock.
    r, w = os.pipe()
    os.close(w)
    tokenizer(r).spans()
    r, w = os.pipe()
    t = tokenizer(r)
    counts = _native.Counts()
    calls = {
        "spans": lambda: t.spans(),
        "count": lambda: t.count(counts, False, 20),
    }
    again = {
        "spans": lambda: t.spans(),
        # The counts are held too, also through another tokenizer.
        "count": lambda: counts.sizes(),
    }
    seen = []
    def handler(*_):
        try:
            again[action]()
        except RuntimeError as e:
            seen.append(str(e))
            raise
    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        calls[action]()
        outer = None
    except RuntimeError as e:
        outer = str(e)
    os.write(w, b"one two")
    os.close(w)
    if action == "spans":
        starts, stops, _ = t.spans()
        rest = list(zip(starts.tolist(), stops.tolist()))
    else:
        t.count(counts, False, 20)
        rest = list(counts.sizes())
    print(seen, outer, rest, sep="\n")
''')


@pytest.mark.parametrize("action, busy, rest", [
    ("spans", "Tokenizer is busy", "[(0, 3), (3, 4), (4, 7)]"),
    ("count", "Counts is busy", "[2, 2]"),
])
def test_handler_calling_a_locked_object_raises(action, busy, rest):
    try:
        done = subprocess.run([sys.executable, "-c", LOCKED, action], capture_output=True,
                              text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{action}: the process hung")
    assert done.returncode == 0, done.stderr
    seen, outer, got = done.stdout.splitlines()
    assert busy in seen and busy in outer
    assert got == rest
