"""Resources: file descriptors, memory and references are given back, and memory does not grow
with the input."""

import gc
import os
import shutil
import subprocess
import sys
import textwrap
import weakref

import pytest

import vorlentaCXX as vx
from conftest import all_batches


def open_fds() -> set[str]:
    return set(os.listdir("/proc/self/fd"))


def vm_kb(field: str) -> int:
    with open("/proc/self/status") as status:
        return int(next(l for l in status if l.startswith(field + ":")).split()[1])


def test_no_descriptor_outlives_its_tokenizer(make_file, tmp_path):
    path = make_file("слова и words\n".encode() * 100)
    gc.collect()  # tokenizers that earlier tests left in cycles close their files now, not later
    before = open_fds()
    for round_ in range(50):
        t = vx.FFTokenizer(path)
        t.set_batch_size(3)
        if round_ % 3 == 1:
            all_batches(t)
        # Held by a batch's array after one batch, or by a stream when read to the end or
        # unread: the tokenizer, and its file, live on.
        holder = t.get_batch()["types"] if round_ % 3 == 0 else t.stream
        del t
        gc.collect()
        assert len(open_fds() - before) == 1
        del holder
    vx.FFTokenizer(str(tmp_path / "missing"))
    vx.FFTokenizer(str(tmp_path))
    gc.collect()
    assert open_fds() == before


@pytest.mark.plain_build
def test_memory_flat_over_ten_thousand_tokenizers(make_file):
    path = make_file(b"a few words for every tokenizer")

    def churn(n: int) -> None:
        for i in range(n):
            t = vx.FTTokenizer("текст и text") if i % 2 else vx.FFTokenizer(path)
            if i % 3 == 0:
                t.set_batch_size(2 + i % 5)
            batch = t.get_batch()
            if i % 7 == 0:
                next(t.stream, None)
            del t, batch

    churn(500)  # NumPy and the allocator settle first
    gc.collect()
    rss, size = vm_kb("VmRSS"), vm_kb("VmSize")
    churn(10_000)
    gc.collect()
    # Untouched buffers that were never freed would show in the address space, not in RSS:
    # 10,000 of them would be 320 GiB.
    assert vm_kb("VmRSS") - rss < 8 * 1024
    assert vm_kb("VmSize") - size < 64 * 1024


def test_references_are_held_exactly_as_long_as_needed(make_file):
    for t in (vx.FTTokenizer("one two three four"), vx.FFTokenizer(make_file(b"one two three"))):
        t.set_batch_size(2)
        alone = sys.getrefcount(t)
        batch = t.get_batch()
        assert sys.getrefcount(t) == alone + 1  # the "types" array
        assert batch["types"].base is t
        text_refs = sys.getrefcount(batch["text"])
        del batch
        assert sys.getrefcount(t) == alone
        stream = t.stream
        assert sys.getrefcount(t) == alone + 1
        copy = iter(stream)
        assert sys.getrefcount(t) == alone + 1  # the copy holds the stream, not the tokenizer
        del stream, copy
        assert sys.getrefcount(t) == alone
        for _ in range(100):  # nothing piles up over calls, settings and errors
            t.set_filter(vx.ENWORD)
            t.set_token_min_len(0)
            t.get_batch()
            for bad in (-1, None):
                with pytest.raises(TypeError):
                    t.set_batch_size(bad)
            with pytest.raises(MemoryError):
                t.set_batch_size(2**32 - 1)
            list(t.stream)
        assert sys.getrefcount(t) == alone
        assert text_refs == 2  # the dictionary's and the call's own
    broken = vx.FTTokenizer(b"\xc0\x80")
    alone = sys.getrefcount(broken)
    with pytest.raises(UnicodeDecodeError):
        broken.get_batch()
    assert sys.getrefcount(broken) == alone


def test_tokenizer_dies_with_its_last_holder():
    for hold in (lambda t: t.get_batch()["types"], lambda t: t.stream, lambda t: iter(t.stream)):
        t = vx.FTTokenizer("held for a while")
        alive = weakref.ref(t)
        holder = hold(t)
        del t
        gc.collect()
        assert alive() is not None
        del holder
        gc.collect()
        assert alive() is None


def peak_rss_kb(path: str) -> tuple[int, int]:
    """Tokenizes a whole file in a fresh interpreter: its peak RSS and the token count."""
    # VmHWM, not ru_maxrss: the latter starts from the forking parent's peak.
    code = textwrap.dedent(f"""
        import vorlentaCXX as vx
        t = vx.FFTokenizer({path!r})
        tokens = sum(len(batch["types"]) for batch in t.stream)
        status = open("/proc/self/status").read()
        print(status.split("VmHWM:")[1].split()[0], tokens)
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=600, check=True)
    peak, tokens = map(int, done.stdout.split())
    return peak, tokens


HEAD = "Начало: a sparse file.\n".encode()
TAIL = b"\nthe end\n"
# "Начало", ":", " ", "a", " ", "sparse", " ", "file", ".", "\n"; "\n", "the", " ", "end", "\n"
HEAD_TOKENS, TAIL_TOKENS = 10, 5


def sparse_file(path, size: int) -> None:
    """HEAD, a hole of zero bytes (each one a token of its own), TAIL: `size` bytes in all."""
    with open(path, "wb") as f:
        f.write(HEAD)
        f.truncate(size - len(TAIL))
        f.seek(0, os.SEEK_END)
        f.write(TAIL)


@pytest.mark.plain_build
def test_peak_memory_does_not_grow_with_the_file(tmp_path):
    size = 2**30 + 4096
    if shutil.disk_usage(tmp_path).free < 2 * 2**30:
        pytest.skip("no room for a file over 1 GiB")
    small, large = tmp_path / "small.txt", tmp_path / "large.txt"
    sparse_file(small, 2**20)
    sparse_file(large, size)
    small_peak, small_tokens = peak_rss_kb(str(small))
    large_peak, large_tokens = peak_rss_kb(str(large))
    holes = (2**20 - len(HEAD) - len(TAIL), size - len(HEAD) - len(TAIL))
    assert (small_tokens, large_tokens) == tuple(HEAD_TOKENS + n + TAIL_TOKENS for n in holes)
    print(f"peak RSS: {small_peak} KiB over 1 MiB, {large_peak} KiB over {size} bytes")
    assert large_peak - small_peak < 16 * 1024
    assert large_peak < 256 * 1024
