import importlib
import os
import shutil
import signal
import subprocess
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

from vorlenta import TokenType

# `make test` runs "ci": derandomized, so every run tries the same cases and a failure comes
# back on the next run. The random search, remembered in .hypothesis/, is `make test-long`'s
# "long" profile, whose failures print the blob that replays them (@reproduce_failure).
settings.register_profile("ci", max_examples=3000, deadline=None, derandomize=True,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("long", max_examples=50_000, deadline=None, print_blob=True,
                          suppress_health_check=[HealthCheck.too_slow])
# The sanitizer build makes every tokenizer far slower to make and free.
settings.register_profile("sanitize", max_examples=300, deadline=None, derandomize=True,
                          suppress_health_check=[HealthCheck.too_slow])
# The runs under the other CPythons check that the library builds and behaves there; the wide
# search is the 3.13 run's.
settings.register_profile("other-pythons", max_examples=500, deadline=None, derandomize=True,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

# A run started in the background of a shell without job control (make test's side lanes)
# ignores SIGINT, and so would every command it starts, which then never sees the Ctrl-C the
# tests send: a caught signal is back to its default in a child, an ignored one stays ignored.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

ROOT = Path(__file__).resolve().parents[1]
# Folders of a Russian and an English text under these names: VORLENTA_CORPUS, else the shared
# corpora beside the project, else the short texts in examples/corpus.
CORPORA = ["war_and_peace.ru.txt", "pride_and_prejudice.en.txt"]
SHARED_CORPUS = ROOT.parent / "shared" / "corpus"
SAMPLE_CORPUS = ROOT / "examples" / "corpus"


def corpus_dir() -> tuple[Path, str]:
    """The corpus folder and where it comes from."""
    if folder := os.environ.get("VORLENTA_CORPUS"):
        return Path(folder).resolve(), "VORLENTA_CORPUS"
    if SHARED_CORPUS.is_dir():
        return SHARED_CORPUS, "the shared corpora"
    return SAMPLE_CORPUS, "the bundled sample"


CORPUS_DIR, CORPUS_ORIGIN = corpus_dir()
TYPE_NAMES = {int(m): name for name, m in TokenType.__members__.items()}


def pytest_report_header() -> str:
    return f"corpus: {CORPUS_DIR} ({CORPUS_ORIGIN})"


def strace_command(path: str, failing_read: int = 2) -> list[str]:
    """The start of a command line that runs a program whose `failing_read`-th read of the
    file at `path` fails with EIO; skips the test where strace is missing or may not trace."""
    strace = shutil.which("strace")
    if strace is None:
        pytest.skip("strace is not installed")
    if subprocess.run([strace, "-o", os.devnull, "true"], capture_output=True).returncode != 0:
        pytest.skip("strace may not trace here")
    return [strace, "-f", "-o", os.devnull, "-P", path, "-e",
            f"inject=read:error=EIO:when={failing_read}"]


def corpus_path(name: str) -> Path:
    path = CORPUS_DIR / name
    if not path.is_file():
        pytest.skip(f"{path} is missing (corpus folder from {CORPUS_ORIGIN})")
    return path


def pairs(batch: dict) -> list[tuple[str, str]]:
    """A batch as (text, type name) pairs; tokens must hold no U+0000 of their own."""
    texts = batch["text"].split("\0")
    assert texts[-1] == ""
    assert len(texts) - 1 == len(batch["types"])
    return [(text, TYPE_NAMES[int(t)]) for text, t in zip(texts[:-1], batch["types"])]


def all_batches(tokenizer, limit: int = 10_000_000) -> list[dict]:
    """Every batch until the empty result, each with a private copy of its types."""
    batches = []
    while (batch := tokenizer.get_batch()) != {}:
        batches.append({"text": batch["text"], "types": batch["types"].copy()})
        assert len(batches) < limit
    return batches


def batch_pairs(tokenizer) -> list[list[tuple[str, str]]]:
    return [pairs(b) for b in all_batches(tokenizer)]


@pytest.fixture
def make_file(tmp_path):
    """Writes bytes to a new file and returns its path as a str."""
    counter = iter(range(1_000_000))

    def make(data: bytes, name: str | None = None) -> str:
        path = tmp_path / (name or f"input{next(counter)}.txt")
        path.write_bytes(data)
        return str(path)

    return make


def _zstd_module():
    for name in ("compression.zstd", "backports.zstd"):
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    return None


# Python's zstd module (3.14), or its backport, which the extra zstd installs.
ZSTD = _zstd_module()
NO_ZSTD = pytest.mark.skipif(ZSTD is None, reason="no zstd module: Python 3.14, or the extra "
                                                  "zstd (backports.zstd), is not installed")


def zstd_compress(data: bytes, frames: int = 2) -> bytes:
    """`data` in `frames` zstd frames, as the zstd tool writes an input it got in parts."""
    cuts = [len(data) * i // frames for i in range(frames + 1)]
    return b"".join(ZSTD.compress(data[a:b]) for a, b in zip(cuts, cuts[1:]))
