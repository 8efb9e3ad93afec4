"""The vorlenta library: tokens with places, spans and word counts, against the plain model and
against vorlentaCXX, from str, bytes and files, from one thread and from several."""

import os
import pickle
import random
import subprocess
import sys
import threading
from collections import Counter
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import oracle
import vorlenta
from vorlenta import TokenType, _native
from conftest import CORPORA, all_batches, corpus_path
from strategies import filters, inputs, lengths

BYTES_PER_CHUNK = 64 * 1024


def as_tuples(tokens):
    return [(t.text.encode("utf-8", "surrogateescape"), int(t.type), t.start, t.stop)
            for t in tokens]


def spans_as_tuples(batches):
    batches = list(batches)
    for b in batches:
        assert b.starts.dtype == np.int64 and b.types.dtype == np.uint64 and b.starts.flags.owndata
    return [(int(k), int(s), int(e)) for b in batches
            for s, e, k in zip(b.starts, b.stops, b.types)]


@pytest.mark.filterwarnings("ignore::vorlenta.NotUtf8Warning")  # ill-formed on purpose
@settings(max_examples=400)
@given(data=inputs, min_len=lengths, max_len=lengths, types=filters,
       batch_size=st.integers(1, 40))
def test_tokens_places_and_types_are_the_models(data, min_len, max_len, types, batch_size):
    expected = oracle.tokenize(data, token_min_len=min_len, token_max_len=max_len,
                               filter=types)
    got = vorlenta.tokenize(data, types=types, min_len=min_len, max_len=max_len,
                            split_hyphens=False)
    assert as_tuples(got) == expected
    assert spans_as_tuples(vorlenta.spans(data, types=types, min_len=min_len, max_len=max_len,
                                          batch_size=batch_size, split_hyphens=False)) == \
        [(kind, start, stop) for _, kind, start, stop in expected]
    # Places only grow, and hold the token: its very bytes, or with dropped bytes between them.
    last = 0
    for text, _, start, stop in expected:
        assert last <= start < stop <= len(data)
        assert data[start:stop] == text or (data[start] == text[0] and data[stop - 1] == text[-1])
        last = stop


@settings(max_examples=300)
@given(text=st.text(st.characters(codec="utf-8") | st.sampled_from("Ёж-a1 \n\ud800"),
                    max_size=80))
def test_str_places_are_indexes_of_the_str(text):
    tokens = vorlenta.tokenize(text)
    assert all(text[t.start:t.stop] == t.text for t in tokens)
    assert [t.stop for t in tokens[:-1]] == [t.start for t in tokens[1:]]
    assert "".join(t.text for t in tokens) == text
    assert [(int(t.type), t.start, t.stop) for t in tokens] == \
        spans_as_tuples(vorlenta.spans(text, batch_size=3))


def test_a_file_gives_what_its_bytes_give_across_chunks(tmp_path):
    # Words, compounds and multi-byte characters cross every chunk boundary.
    unit = "Санкт-Петербург well-known 1-й\n".encode()
    data = b"x" + unit * (3 * BYTES_PER_CHUNK // len(unit))
    path = tmp_path / "chunks.txt"
    path.write_bytes(data)
    from_bytes = vorlenta.tokenize(data)
    assert vorlenta.tokenize(path) == from_bytes
    assert any(t.start < BYTES_PER_CHUNK < t.stop for t in from_bytes)
    assert spans_as_tuples(vorlenta.spans(path, batch_size=1000)) == \
        [(int(t.type), t.start, t.stop) for t in from_bytes]
    assert vorlenta.count_words(path, data, lower=True) == \
        Counter(t.text.lower() for t in from_bytes * 2 if t.type & (vorlenta.TokenType.ENWORD | vorlenta.TokenType.RUWORD))


@pytest.mark.parametrize("name", CORPORA)
@pytest.mark.parametrize("types, min_len, max_len", [
    (None, 0, None), (TokenType.RUWORD | TokenType.ENWORD, 2, 10), ("PNCTTN", 0, 1)])
@pytest.mark.cxx
def test_agrees_with_vorlentaCXX(name, types, min_len, max_len):
    import vorlentaCXX as vx

    data = corpus_path(name).read_bytes()[:300_000]
    data = data[:len(data.decode("utf-8", "ignore").encode())]
    t = vx.FTTokenizer(data)
    if types is not None:
        t.set_filter(vorlenta.library.type_mask(types))
    t.set_token_min_len(min_len)
    t.set_token_max_len(2**32 - 1 if max_len is None else max_len)
    expected = [(text, int(kind)) for b in all_batches(t)
                for text, kind in zip(b["text"].split("\0")[:-1], b["types"])]
    for source in (data, data.decode()):
        tokens = vorlenta.tokenize(source, types=types, min_len=min_len, max_len=max_len,
                                   split_hyphens=False)
        assert [(tok.text, int(tok.type)) for tok in tokens] == expected
    counted = vorlenta.library.type_mask(types, vorlenta.library.WORDS)
    assert vorlenta.count_words(data, types=types) == \
        Counter(t.text for t in vorlenta.tokenize(data, types=counted))
    assert vorlenta.count_words(data, lower=True) == Counter(
        t.text.lower() for t in vorlenta.tokenize(data, types=[TokenType.ENWORD, "ruword"]))


class BytesPath:
    def __fspath__(self):
        return b"/nonexistent/bytes.txt"


def test_os_errors_name_the_path_as_given(tmp_path):
    # As open() names it: the str of a Path, the bytes of a path given as bytes.
    calls = [vorlenta.tokenize, lambda s: list(vorlenta.spans(s)), vorlenta.count_words]
    for source in [Path("/nonexistent/x.txt"), BytesPath()]:
        for call in calls:
            with pytest.raises(FileNotFoundError) as raised:
                call(source)
            assert raised.value.filename == os.fspath(source)
    # A read that fails after the file opened names it the same way.
    for call in calls:
        with pytest.raises(IsADirectoryError) as raised:
            call(tmp_path)
        assert raised.value.filename == str(tmp_path)
    # The command's inputs open through the same call, with their names as given.
    with pytest.raises(FileNotFoundError) as raised:
        _native.Tokenizer.open(b"/nonexistent/x.txt", 0, None, name="/nonexistent/x.txt")
    assert raised.value.filename == "/nonexistent/x.txt"


def test_str_with_lone_surrogates_is_text_for_the_library():
    # vorlentaCXX refuses such a str; the library takes it, every character in its place.
    text = "a\ud800b \udfff"
    assert [(t.text, t.start, t.stop) for t in vorlenta.tokenize(text)] == [
        ("a", 0, 1), ("\ud800", 1, 2), ("b", 2, 3), (" ", 3, 4), ("\udfff", 4, 5)]
    assert [b.stops.tolist() for b in vorlenta.spans(text)] == [[1, 2, 3, 4, 5]]
    assert vorlenta.count_words(text) == {"a": 1, "b": 1}
    # A token of bytes can end with FF as a str's surrogates are marked; it stays its own.
    for many in (True, False):
        source = [b"ab \xd0\xff"] if many else b"ab \xd0\xff"
        with pytest.warns(vorlenta.NotUtf8Warning):
            assert vorlenta.count_words(source) == {"ab": 1, "\udcd0\udcff": 1}


def test_bad_arguments_name_the_value():
    for bad, error, shown in [
        ({"types": 1.5}, TypeError, "1.5"), ({"types": "WORD"}, ValueError, "'WORD'"),
        ({"types": [TokenType.ENWORD, None]}, TypeError, "None"), ({"types": -1}, ValueError, "-1"),
        ({"types": 2**64}, ValueError, str(2**64)), ({"min_len": "3"}, TypeError, "'3'"),
        ({"max_len": 2**32}, ValueError, str(2**32)), ({"batch_size": 0}, ValueError, "0"),
    ]:
        call = (lambda: list(vorlenta.spans("a", **bad))) if "batch_size" in bad else \
            (lambda: vorlenta.tokenize("a", **bad))
        with pytest.raises(error) as raised:
            call()
        assert shown in str(raised.value)
    with pytest.raises(TypeError, match="pathlib.Path"):
        vorlenta.tokenize(42)
    with pytest.raises(FileNotFoundError) as raised:
        vorlenta.count_words(Path("/nonexistent/words.txt"))
    assert raised.value.filename == "/nonexistent/words.txt"
    # The native classes refuse objects made without their constructor, and a wrong text.
    for make, call in [(_native.Tokenizer, lambda t: t.spans()),
                       (_native.Counts, lambda c: c.types())]:
        with pytest.raises(TypeError, match="not been initialized"):
            call(make.__new__(make))
    with pytest.raises(TypeError, match="text must be"):
        _native.Tokenizer(b"a", 5)


def test_a_failed_read_raises_and_is_not_the_end():
    # Reading /proc/self/mem at offset 0 fails with EIO; it must not pass for an empty file.
    with pytest.raises(OSError) as raised:
        vorlenta.tokenize(Path("/proc/self/mem"))
    assert raised.value.errno == 5


def test_threads_sharing_one_iterator_take_turns(tmp_path):
    data = ("один два-три four five\n" * 20000).encode()
    path = tmp_path / "shared.txt"
    path.write_bytes(data)
    shared = vorlenta.spans(path, batch_size=100)
    taken: list = []

    def take():
        for batch in shared:
            taken.append(batch)

    threads = [threading.Thread(target=take) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    taken.sort(key=lambda b: int(b.starts[0]))
    assert spans_as_tuples(taken) == spans_as_tuples(vorlenta.spans(data))


def test_threads_on_separate_inputs_count_alike():
    texts = [(f"слово-{i} Word-{i} " * 30000).encode() for i in range(4)]
    results: dict = {}

    def count(i):
        results[i] = vorlenta.count_words(texts[i], lower=True)

    threads = [threading.Thread(target=count, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i in range(4):
        assert results[i] == Counter({f"слово-{i}": 30000, f"word-{i}": 30000})


def test_the_tally_of_bytes_that_are_not_utf8_agrees_with_the_decoder(tmp_path):
    # Well-formed characters of every length, and ill-formed parts of every kind, in pieces
    # that the 64 KiB reads cut at every place.
    rng = random.Random(12)
    pieces = [p.encode() for p in ("abc ", "ёжик ", "€", "😀", "\0", "x" * 17)] + [
        b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82", b"\xf0\x9f\x98", b"\x80",
        b"\xff", b"\xc3", b"\xe0\x80"]
    data = b"".join(rng.choice(pieces) for _ in range(80_000))
    data = b"a" * (64 * 1024 - 2) + "😀".encode() + data  # the first read cuts a character
    path = tmp_path / "mixed.bin"
    path.write_bytes(data)
    t = _native.Tokenizer.open(bytes(path))
    t.tally_utf8()
    t.count(_native.Counts(), False, 0)
    escaped = data.decode("utf-8", "surrogateescape")
    assert t.utf8_tally() == (data.decode("utf-8", "replace").count("\ufffd"),
                              sum(0xDC80 <= ord(c) <= 0xDCFF for c in escaped),
                              sum(b >= 0x80 for b in data))


def test_token_types_are_flags_that_compare_as_ints_and_against_arrays():
    T = vorlenta.TokenType
    assert 2 == T.NWLINE and T.NWLINE == 2 and hash(T.NWLINE) == 2
    mask = T.ENWORD | T.RUWORD | T.NUMBER
    assert mask == 28 and isinstance(mask, T)
    batch = next(vorlenta.spans("a 1\nб"))
    assert (batch.types == T.NWLINE).tolist() == [False, False, False, True, False]
    assert ((batch.types & mask) != 0).tolist() == [True, False, True, False, True]
    assert vorlenta.tokenize("a\n")[0].type is T.ENWORD
    # Any number of them are types.
    assert [t.text for t in vorlenta.tokenize("a 1 б", types=T.ENWORD | T.NUMBER)] == ["a", "1"]
    assert [t.text for t in vorlenta.tokenize("a 1 б", types=[T.RUWORD, "number"])] == ["1", "б"]


@pytest.mark.cxx
def test_the_batch_layers_types_are_the_librarys():
    import vorlentaCXX as vx

    assert [(n, int(m)) for n, m in vorlenta.TokenType.__members__.items()] == [
        (n, int(m)) for n, m in vx.TokenType.__members__.items()]
    assert [t.text for t in vorlenta.tokenize("a 1 б", types=vx.RUWORD)] == ["б"]
    assert [t.text for t in vorlenta.tokenize("a 1 б", types=[vx.RUWORD, "number"])] == ["1", "б"]


def test_word_counts_pickle_whole_and_refuse_a_state_that_is_not_theirs():
    counts = _native.Counts()
    text = ("Ёлка ёлка северо-западный COVID-19 well-known 42 " + "ж" * 140 + "\n") * 3 + "a"
    tokenizer = _native.Tokenizer(text.encode())
    tokenizer.configure(2**64 - 1, 0, 2**32 - 1, 4)
    tokenizer.count(counts, False, int(vorlenta.TokenType.ENWORD | vorlenta.TokenType.RUWORD))
    copy = pickle.loads(pickle.dumps(counts))
    words, copied = Counter(), Counter()
    counts.add_words_to(words)
    copy.add_words_to(copied)
    assert copied == words and len(words) == 8 and words["ж" * 128] == words["ж" * 12] == 3
    assert (copy.types(), copy.sizes()) == (counts.types(), counts.sizes())
    copy.merge(counts)  # a table rebuilt from the state takes more words like any other
    assert copy.sizes() == (8, 2 * counts.sizes()[1])

    types, data, lengths, times = counts.__getstate__()
    one = (1).to_bytes(8, "little")
    for state in [(), (types, data, lengths), (types[:7], data, lengths, times),
                  (types, data + b"x", lengths, times), (types, data[:-1], lengths, times),
                  (types, b"ab", (3).to_bytes(4, "little"), one),
                  (types, b"ab", (2).to_bytes(4, "little"), bytes(8)),
                  (types, "ab", (2).to_bytes(4, "little"), one)]:
        with pytest.raises(ValueError, match="not the state of a Counts"):
            _native.Counts.__new__(_native.Counts).__setstate__(state)  # as pickle makes one
    with pytest.raises(TypeError, match="not been initialized"):
        pickle.dumps(_native.Counts.__new__(_native.Counts))


def test_importing_vorlenta_never_imports_vorlentaCXX():
    # Every module of the package and every name it exports, but vorlenta.dask and
    # vorlenta.sklearn, which need their extras.
    code = """
import pkgutil, sys, vorlenta
# What dir() lists and the README names work as written in a fresh interpreter.
assert isinstance(vorlenta._native.scan_path(), str)
assert [n for n in dir(vorlenta) if not n.startswith("_")] == sorted(vorlenta.__all__)
for m in pkgutil.iter_modules(vorlenta.__path__):
    if m.name not in ("dask", "sklearn", "__main__"):
        __import__("vorlenta." + m.name)
[getattr(vorlenta, name) for name in vorlenta.__all__ + ["__version__"]]
print(len(vorlenta.tokenize("a")), sorted(n for n in sys.modules if n.startswith("vorlentaCXX")))
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["1", "[]"]


def test_the_library_and_the_command_run_without_vorlentaCXX(tmp_path):
    path = tmp_path / "t.txt"
    path.write_text("Мир и мир\n")
    code = f"""
import sys
sys.modules["vorlentaCXX"] = None  # importing it would fail
import vorlenta, vorlenta.cli
from pathlib import Path
assert vorlenta.count_words(Path({str(path)!r}), lower=True)["мир"] == 2
assert vorlenta.token_lists(["a b"]) == [["a", "b"]]
assert next(vorlenta.spans("a")).starts.tolist() == [0]
assert vorlenta.cli._main(["stats", "--json", {str(path)!r}]) == 0
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert '"words": 3' in done.stdout
