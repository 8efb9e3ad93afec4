"""The Python contract in use: the arguments taken, the results, their arrays and the streams.
Refused arguments and files that are not plain readable files are in test_bad_input.py; how long
objects and descriptors live, in test_resources.py."""

import pathlib
import subprocess
import sys

import numpy as np
import pytest

import vorlentaCXX as vx
from conftest import batch_pairs, pairs


# ---- construction ----

@pytest.mark.parametrize("data", ["text", b"text", bytearray(b"text")])
def test_text_accepted_as_str_bytes_bytearray(data):
    assert pairs(vx.FTTokenizer(data).get_batch()) == [("text", "ENWORD")]


@pytest.mark.parametrize("bad", [None, 1, pathlib.Path("x"), ["a"]])
def test_text_refused(bad):
    with pytest.raises(TypeError):
        vx.FTTokenizer(bad)


def test_str_with_lone_surrogates_refused_as_an_argument_that_does_not_fit():
    # It has no UTF-8 form: the constructor's argument conversion refuses it.
    for text in ("a\ud800b", "\udcff"):
        with pytest.raises(TypeError, match="incompatible constructor arguments"):
            vx.FTTokenizer(text=text)
    # Bytes in the same three-byte form still go in, passed on as a character.
    t = vx.FTTokenizer(b"a \xed\xa0\x80 b")
    t.set_filter(vx.ENWORD)
    assert pairs(t.get_batch()) == [("a", "ENWORD"), ("b", "ENWORD")]


def test_keyword_names(make_file):
    assert vx.FTTokenizer(text="a").get_batch() != {}
    assert vx.FFTokenizer(fpath=make_file(b"a")).is_fopen()
    with pytest.raises(TypeError):
        vx.FTTokenizer(fpath="a")
    with pytest.raises(TypeError):
        vx.FFTokenizer(text="a")


def test_paths_as_str_in_utf8_and_as_bytes(make_file):
    path = make_file(b"hi", name="пример.txt")
    assert vx.FFTokenizer(path).is_fopen()
    assert vx.FFTokenizer(path.encode()).is_fopen()
    assert vx.FFTokenizer(bytearray(path.encode())).is_fopen()
    # The path ends at a zero byte.
    assert vx.FFTokenizer(path + "\0ignored").is_fopen()


def test_second_init_call_changes_nothing():
    t = vx.FTTokenizer("first text")
    assert t.__init__("other") is None
    assert pairs(t.get_batch())[0] == ("first", "ENWORD")


# ---- settings ----

def test_filter_accepts_64_bit_masks_and_members():
    t = vx.FTTokenizer("a 1 б")
    t.set_filter(2**64 - 1)
    t.set_filter(vx.TokenType.NUMBER)
    t.set_filter(np.uint64(vx.ENWORD | vx.RUWORD))
    assert batch_pairs(t) == [[("a", "ENWORD"), ("б", "RUWORD")]]


# ---- is_fopen ----

def test_missing_file(tmp_path):
    t = vx.FFTokenizer(str(tmp_path / "missing.txt"))
    assert t.is_fopen() is False
    assert t.get_batch() == {} and t.get_batch() == {}
    assert list(t.stream) == []
    assert not hasattr(vx.FTTokenizer("a"), "is_fopen")


def test_empty_file(make_file):
    t = vx.FFTokenizer(make_file(b""))
    assert t.is_fopen() is True
    assert t.get_batch() == {}
    assert t.is_fopen() is True


# ---- the result ----

def test_result_shape_and_array_flags():
    t = vx.FTTokenizer("один two 3")
    batch = t.get_batch()
    assert list(batch) == ["text", "types"]
    assert isinstance(batch["text"], str)
    types = batch["types"]
    assert types.dtype == np.uint64 and types.ndim == 1 and types.shape == (5,)
    assert types.strides == (8,)
    assert types.flags.writeable and not types.flags.owndata
    assert types.base is t
    assert batch["text"].count("\0") == 5 and batch["text"].endswith("\0")


def test_array_views_the_next_batch():
    t = vx.FTTokenizer("a 1")
    t.set_batch_size(2)
    first = t.get_batch()["types"]
    assert first.tolist() == [4, 1]
    second = t.get_batch()["types"]
    assert second.tolist() == [8]
    assert first.tolist() == [8, 1]


def test_array_from_before_a_resize_stays_readable():
    t = vx.FTTokenizer("x " * 10)
    t.set_batch_size(3)
    old = t.get_batch()["types"]
    kept = old.copy()
    t.set_batch_size(1_000_000)  # more than the buffer holds: a new buffer replaces it
    t.set_batch_size(1)
    assert np.array_equal(old, kept)
    assert pairs(t.get_batch()) == [(" ", "WRDSPC")]


def test_ill_formed_batch_raises_and_the_next_call_goes_on():
    t = vx.FTTokenizer(b"\xc0\x80 x y")
    t.set_batch_size(2)
    with pytest.raises(UnicodeDecodeError):
        t.get_batch()
    assert batch_pairs(t) == [[("x", "ENWORD"), (" ", "WRDSPC")], [("y", "ENWORD")]]


def test_ill_formed_batch_through_a_stream(make_file):
    t = vx.FFTokenizer(make_file(b"ok \xed\xa0\x80"))
    with pytest.raises(UnicodeDecodeError):
        next(t.stream)
    with pytest.raises(StopIteration):
        next(t.stream)


# ---- streams ----

def test_streams_are_distinct_views_of_one_sequence():
    t = vx.FTTokenizer("a b c d")
    t.set_batch_size(2)
    s1, s2 = t.stream, t.stream
    assert s1 is not s2 and isinstance(s1, vx.fts_stream)
    assert iter(s1) is not s1 and isinstance(iter(s1), vx.fts_stream)
    got = [pairs(next(s1)), pairs(next(s2)), pairs(t.get_batch()), pairs(next(iter(s1)))]
    assert got == [[("a", "ENWORD"), (" ", "WRDSPC")], [("b", "ENWORD"), (" ", "WRDSPC")],
                   [("c", "ENWORD"), (" ", "WRDSPC")], [("d", "ENWORD")]]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(s2)


def test_stream_results_are_based_on_the_tokenizer(make_file):
    t = vx.FFTokenizer(make_file(b"word"))
    assert isinstance(t.stream, vx.ffs_stream)
    assert next(t.stream)["types"].base is t


@pytest.mark.parametrize("cls", [vx.fts_stream, vx.ffs_stream])
def test_streams_have_no_public_constructor(cls):
    with pytest.raises(TypeError, match=f"vorlentaCXX.{cls.__name__}: No constructor defined!"):
        cls()


def test_stream_property_is_read_only():
    t = vx.FTTokenizer("a")
    with pytest.raises(AttributeError):
        t.stream = None
    with pytest.raises(AttributeError):
        del t.stream


def test_module_registration_order():
    names = [n for n in vars(vx) if not n.startswith("__")]
    assert names[9:] == ["fts_stream", "FTTokenizer", "ffs_stream", "FFTokenizer"]


@pytest.mark.plain_build
def test_construction_without_memory_raises_memory_error_and_leaks_nothing():
    # In a child whose address space has no room for the 32 MiB batch buffer.
    code = """
import resource, vorlentaCXX as vx
def vm_kb():
    return int(next(l for l in open('/proc/self/status') if l.startswith('VmSize')).split()[1])
limit = (vm_kb() + 16 * 1024) * 1024
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
start = vm_kb()
for make in [lambda: vx.FTTokenizer('x' * 100000), lambda: vx.FFTokenizer(vx.__file__)] * 200:
    try:
        make()
    except MemoryError:
        pass
    else:
        raise SystemExit('constructed without memory')
print(vm_kb() - start)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) < 1024  # kilobytes: nothing kept from 400 failed constructions
