"""Many texts as one source: each text gives what it gives alone, whatever kind of column
holds them, and memory stays the same however many there are."""

import subprocess
import sys
from collections import Counter

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vorlenta
from vorlenta import library

WORDS = ["ENWORD", "RUWORD"]
ALL = 2**64 - 1
TEXTS = ["Санкт-Петербург, 7 декабря: well-known facts.", "", "to--but", "end-",
         "Ёлка\nёлка ЁЛКА", "a\ud800b c", "tab\there\0!", "COVID-19 и IT-отдел " * 30]
BYTES = [b"caf\xe9 bytes", b"\xd0\x9c\xd0\xb8\xd1\x80 \xc0\x80 peace", b"-", b""]

# Texts that cut compounds, characters and runs at their ends, where a text could leak into
# the next: the tokenizer is reused from text to text.
text = st.text(st.sampled_from(list("ab-ЁёЖж 1\n.\0") + ["\ud800", "é", "€", "😀"]), max_size=40)
raw = st.binary(max_size=40).map(lambda b: b + b"\xd0")  # ends inside a character


# What lower=True lower-cases: A-Z, А-Я and Ё.
LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZАБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯЁ",
                      "abcdefghijklmnopqrstuvwxyzабвгдежзийклмнопрстуфхцчшщъыьэюяё")


def alone(t, **kw):
    return [x.text for x in vorlenta.tokenize(t, **kw)]


@pytest.mark.filterwarnings("ignore::vorlenta.NotUtf8Warning")  # ill-formed on purpose
@settings(max_examples=300)
@given(st.lists(st.one_of(text, raw, st.none()), max_size=12), st.booleans())
def test_each_text_gives_what_it_gives_alone(texts, lower):
    lists = vorlenta.token_lists(texts, types=ALL if lower else None, lower=lower)
    assert len(lists) == len(texts)
    expected_counts = Counter()
    for t, got in zip(texts, lists):
        if t is None:
            assert got == []
            continue
        tokens = alone(t, types=None if lower else WORDS)
        assert got == ([w.translate(LOWER) for w in tokens] if lower else tokens)
        expected_counts += vorlenta.count_words(t, lower=lower)
    assert vorlenta.count_words(texts, lower=lower) == expected_counts
    # Places: each token's text index and its offsets in that text.
    places = [(int(i), int(a), int(b)) for batch in vorlenta.spans(texts, batch_size=7)
              for i, a, b in zip(batch.texts, batch.starts, batch.stops)]
    expected = [(i, x.start, x.stop) for i, t in enumerate(texts) if t is not None
                for x in vorlenta.tokenize(t)]
    assert places == expected


def test_lower_case_lists_are_the_lower_cased_words():
    texts = ["Ёлка ЁЛКА Tree", "МИР"]
    assert vorlenta.token_lists(texts, lower=True) == [["ёлка", "ёлка", "tree"], ["мир"]]


@pytest.mark.parametrize("kind", ["list", "tuple", "generator", "numpy-str", "numpy-object",
                                  "pandas", "pandas-arrow", "arrow", "arrow-large",
                                  "arrow-chunked", "arrow-slice"])
def test_every_kind_of_column_gives_the_same(kind):
    texts = TEXTS + [None]
    expected_lists = [alone(t, types=WORDS) if t is not None else [] for t in texts]
    expected_counts = sum((vorlenta.count_words(t) for t in texts if t is not None), Counter())
    if kind.startswith("pandas"):
        pd = pytest.importorskip("pandas")
    if kind.startswith("arrow") or kind == "pandas-arrow":
        pa = pytest.importorskip("pyarrow")
    # Arrow and pandas hold well-formed text only: no lone surrogates there.
    clean = [t for t in texts if t is None or "\ud800" not in t]
    if kind in ("list", "tuple", "generator", "numpy-object"):
        make = {"list": list, "tuple": tuple, "generator": lambda x: (t for t in x),
                "numpy-object": lambda x: np.array(x, dtype=object)}[kind]
        column, used = make(texts), texts
    elif kind == "numpy-str":
        used = [t for t in texts if t is not None]
        column = np.array(used)
    elif kind == "pandas":
        column, used = pd.Series(clean, dtype=object), clean
    elif kind == "pandas-arrow":
        column, used = pd.Series(clean, dtype="string[pyarrow]"), clean
    elif kind == "arrow":
        column, used = pa.array(clean), clean
    elif kind == "arrow-large":
        column, used = pa.array(clean, type=pa.large_string()), clean
    elif kind == "arrow-chunked":
        column, used = pa.chunked_array([clean[:3], clean[3:]]), clean
    else:
        column, used = pa.array(["skipped", *clean, "also skipped"])[1:-1], clean
    expected_lists = [alone(t, types=WORDS) if t is not None else [] for t in used]
    expected_counts = sum((vorlenta.count_words(t) for t in used if t is not None), Counter())
    assert vorlenta.token_lists(column) == expected_lists, kind
    if kind == "generator":
        column = (t for t in used)
    assert vorlenta.count_words(column) == expected_counts, kind
    if kind.startswith("arrow"):
        got = vorlenta.arrow_token_lists(column)
        assert got.to_pylist() == [None if t is None else x for t, x in zip(used, expected_lists)]


@pytest.mark.filterwarnings("ignore::vorlenta.NotUtf8Warning")  # ill-formed on purpose
def test_bytes_texts_and_their_byte_offsets():
    lists = vorlenta.token_lists(BYTES, types=ALL)
    assert lists == [alone(b) for b in BYTES]
    places = [(int(i), int(a), int(b)) for batch in vorlenta.spans(BYTES)
              for i, a, b in zip(batch.texts, batch.starts, batch.stops)]
    assert places == [(i, x.start, x.stop) for i, b in enumerate(BYTES)
                      for x in vorlenta.tokenize(b)]


def test_a_compound_never_joins_two_texts():
    assert vorlenta.token_lists(["well-", "known", "12", "-34"], types=ALL) == [
        ["well-"], ["known"], ["12"], ["-", "34"]]
    assert vorlenta.count_words(["Санкт-", "Петербург"]) == Counter(
        {"Санкт-": 1, "Петербург": 1})


def test_many_sources_mix_and_are_opened_in_turn(tmp_path):
    path = tmp_path / "t.txt"
    path.write_text("один два\n")
    assert vorlenta.count_words(path, ["два три"], "три") == Counter(
        {"один": 1, "два": 2, "три": 2})
    # More paths than a process may have files open: each is closed before the next opens.
    paths = [path] * 5000
    assert vorlenta.count_words(*paths)["два"] == 5000


def test_what_is_not_a_text_is_refused():
    with pytest.raises(TypeError, match="a text must be a str, bytes or None, not int"):
        vorlenta.token_lists(["ok", 3])
    with pytest.raises(TypeError, match="many texts"):
        vorlenta.token_lists(42)
    pa = pytest.importorskip("pyarrow")
    with pytest.raises(TypeError, match="string or large_string"):
        vorlenta.count_words(pa.array([1, 2]))


def test_arrow_needs_pyarrow(monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError, match=r"vorlenta\[arrow\]"):
        vorlenta.arrow_token_lists(["a"])


@pytest.mark.plain_build
def test_memory_stays_the_same_over_two_million_texts():
    code = """
import resource, vorlenta
def texts(n):
    for i in range(n):
        yield f"Текст номер {i % 1000} about the river, well-known {i % 7}."
vorlenta.count_words(texts(10_000))
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
counts = vorlenta.count_words(texts(2_000_000), lower=True)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
assert counts["about"] == 2_000_000, counts["about"]
print((after - before) // 1024)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) < 64, f"peak grew by {done.stdout.strip()} MiB"
