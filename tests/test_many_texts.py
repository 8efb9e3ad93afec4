"""Many texts as one source: each text gives what it gives alone, whatever kind of column
holds them, and memory stays the same however many there are."""

import importlib.util
import pickle
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
                                  "pandas", "pandas-arrow", "pandas-arrow-chunked", "arrow",
                                  "arrow-large", "arrow-chunked", "arrow-slice"])
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
    elif kind == "pandas-arrow-chunked":
        column = pd.concat([pd.Series(part, dtype="string[pyarrow]")
                            for part in (clean[:3], clean[3:4], [], clean[4:])],
                           ignore_index=True)
        used = clean
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
    if kind == "generator":
        column = (t for t in used)
    places = [(int(i), int(a), int(b)) for batch in vorlenta.spans(column, batch_size=5)
              for i, a, b in zip(batch.texts, batch.starts, batch.stops)]
    assert places == [(i, x.start, x.stop) for i, t in enumerate(used) if t is not None
                      for x in vorlenta.tokenize(t)], kind
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
    texts = ["well-", "known", "12", "-34"]
    assert vorlenta.token_lists(texts, types=ALL, split_hyphens=False) == [
        ["well-"], ["known"], ["12"], ["-", "34"]]
    assert vorlenta.token_lists(texts, types=ALL) == [["well", "-"], ["known"], ["12"], ["-", "34"]]
    assert vorlenta.count_words(["Санкт-", "Петербург"], split_hyphens=False) == Counter(
        {"Санкт-": 1, "Петербург": 1})


def test_many_sources_mix_and_are_opened_in_turn(tmp_path):
    path = tmp_path / "t.txt"
    path.write_text("один два\n")
    assert vorlenta.count_words(path, ["два три"], "три") == Counter(
        {"один": 1, "два": 2, "три": 2})
    # More paths than a process may have files open: each is closed before the next opens.
    paths = [path] * 5000
    assert vorlenta.count_words(*paths)["два"] == 5000


def not_texts():
    """Sources that hold no texts, or hold something else where a text should be, each with
    what its TypeError must say."""
    import array
    yield ["ok", 3], r"not int \(text 1\)"
    yield 42, "many texts"
    # Objects with a buffer are not bytes for it: a NumPy number, a 2-D array's rows.
    yield np.array([0x6F6C6C6568, 7]), r"not numpy.int64 \(text 0\)"
    yield np.array([["ab cd", "x"]]), r"not numpy.ndarray \(text 0\)"
    yield ["a", np.float32(1.5)], r"not numpy.float32 \(text 1\)"
    yield [array.array("b", b"ab")], r"not array.array \(text 0\)"
    yield [memoryview(b"abcd").cast("i")], r"not memoryview \(text 0\)"
    pd = pytest.importorskip("pandas")
    yield pd.DataFrame({"id": [1], "text": ["Мир и война"]}), r"column='text' \(its columns: id, text\)"
    pa = pytest.importorskip("pyarrow")
    yield pa.array([1, 2]), "string, large_string or string_view .*, not int64"
    yield pa.table({"body": ["a b"]}), r"column='body'"
    yield pa.record_batch({"text": ["a b"]}), r"column='text'"
    yield pa.scalar("a b"), r"scalar.as_py\(\)"


# Each call over many texts; arrow_token_lists where pyarrow is installed.
CALLS = {
    "token_lists": vorlenta.token_lists,
    "count_words": vorlenta.count_words,
    "spans": lambda texts: list(vorlenta.spans(texts)),
    **({"arrow_token_lists": vorlenta.arrow_token_lists}
       if importlib.util.find_spec("pyarrow") else {}),
}


@pytest.mark.parametrize("call", CALLS)
def test_what_is_not_a_text_is_refused(call):
    for source, complaint in not_texts():
        with pytest.raises(TypeError, match=complaint):
            CALLS[call](source)
    # A memoryview of bytes is a text.
    assert vorlenta.token_lists([memoryview(b"one two")]) == [["one", "two"]]


class Boom(Exception):
    pass


def failing(texts, error):
    yield from texts
    raise error


@pytest.mark.parametrize("before", [0, 1, 4097])  # none, a few, more than a group
@pytest.mark.parametrize("error", [Boom("boom"), "not a text"])
def test_an_error_of_the_texts_comes_after_the_tokens_before_it(before, error):
    texts = [f"text {i}" for i in range(before)]

    def source():
        if isinstance(error, str):
            return iter([*texts, 7])  # refused as a text: TypeError
        return failing(texts, error)

    expected_type = TypeError if isinstance(error, str) else Boom
    batches = vorlenta.spans(source(), batch_size=1000)
    delivered = []
    with pytest.raises(expected_type):
        for batch in batches:
            delivered += batch.texts.tolist()
    # Every token of the texts before the error, then the end, however often it is asked for.
    assert delivered == [i for i in range(before) for _ in range(3)]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(batches)
    # The calls that return everything at once raise it and return nothing.
    for call in CALLS.keys() - {"spans"}:
        with pytest.raises(expected_type):
            CALLS[call](source())


def test_a_column_of_nulls_holds_no_texts():
    pa = pytest.importorskip("pyarrow")
    nulls = pa.array([None, None])  # of Arrow's type null
    assert vorlenta.token_lists(nulls) == [[], []]
    assert vorlenta.count_words(nulls) == Counter()
    assert list(vorlenta.spans(nulls)) == []
    assert vorlenta.arrow_token_lists(nulls).to_pylist() == [None, None]


def test_bytes_texts_that_are_not_utf8_are_warned_of_once():
    for call in CALLS:
        with pytest.warns(vorlenta.NotUtf8Warning, match="<texts>: 2 sequences") as caught:
            CALLS[call]([b"caf\xe9", "ok", b"\xff b"])
        assert len(caught) == 1 and caught[0].filename == __file__
    with pytest.warns(vorlenta.NotUtf8Warning, match="<bytes>: 1 sequence"):
        assert vorlenta.words(b"a \xff b") == ["a", "b"]


@pytest.mark.parametrize("sources", [
    ["x \ud800"], [b"x \xed\xa0\x80"], ["x \ud800", b"\xed\xa0\x80"],
    [["x \ud800", b"\xed\xa0\x80"]], [["\udcff"], b"\xff"]])
@pytest.mark.filterwarnings("ignore::vorlenta.NotUtf8Warning")
def test_counted_keys_are_the_strs_tokenize_gives(sources):
    # A str's lone surrogate is itself; the same bytes from bytes are surrogate escapes; the
    # two never merge.
    expected = Counter()
    for source in sources:
        for text in (source if isinstance(source, list) else [source]):
            expected.update(t.text for t in vorlenta.tokenize(text, types="UNKNWN"))
    got = vorlenta.count_words(*sources, types="UNKNWN")
    assert got == expected
    assert pickle.loads(pickle.dumps(got)) == expected


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
