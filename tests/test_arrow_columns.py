"""Columns that export Arrow data (pyarrow, polars, DuckDB, pandas, nanoarrow) give exactly
what the same texts give as a list, read in place through the Arrow C data interface; bad
Arrow data is a ValueError, never a crash."""

import gc
import signal
import struct
import subprocess
import sys
from collections import Counter

import pytest

import vorlenta

# Short texts (inline views: 12 bytes or fewer), long ones, nulls and empty texts.
TEXTS = ["Мир", None, "Санкт-Петербург, 7 декабря: well-known facts.", "", "to--but",
         "twelve bytes", "thirteen byte", None, "Ёлка\nёлка ЁЛКА and the long text after it"]
WORD_TYPES = ["ENWORD", "RUWORD"]


def same_as_list(source, texts, **kw):
    """Every call over many texts gives for the column `source()` (a new one each time: a
    stream is read once) what it gives for the list `texts`."""
    expected_lists = vorlenta.token_lists(texts)
    assert vorlenta.token_lists(source(), **kw) == expected_lists
    assert vorlenta.token_lists(source(), jobs=2, lower=True, **kw) == \
        vorlenta.token_lists(texts, lower=True)
    assert vorlenta.count_words(source(), **kw) == vorlenta.count_words(texts)

    def places(source, **kw):
        return [(int(i), int(a), int(b)) for batch in vorlenta.spans(source, batch_size=5, **kw)
                for i, a, b in zip(batch.texts, batch.starts, batch.stops)]
    assert places(source(), **kw) == places(texts)
    lists = vorlenta.arrow_token_lists(source(), **kw)
    assert lists.to_pylist() == [None if t is None else x for t, x in zip(texts, expected_lists)]


def views_array(pa, texts, view=None):
    """A string_view array built by hand: long texts alternate between two data buffers.
    `view(i, entry)` may change entry i's 16 bytes."""
    entries, buffers = [], [bytearray(), bytearray()]
    for i, t in enumerate(texts):
        b = (t or "").encode()
        if len(b) <= 12:
            entry = struct.pack("<i", len(b)) + b.ljust(12, b"\0")
        else:
            k = i % 2
            entry = struct.pack("<i4sii", len(b), b[:4], k, len(buffers[k]))
            buffers[k] += b
        entries.append(view(i, entry) if view else entry)
    validity = pa.array([t is not None for t in texts]).buffers()[1]
    return pa.Array.from_buffers(pa.string_view(), len(texts),
                                 [validity, pa.py_buffer(b"".join(entries)),
                                  *map(pa.py_buffer, map(bytes, buffers))])


def arrow_kinds():
    """(name, make(texts) -> (column, keywords)), for each kind of Arrow column."""
    pa = pytest.importorskip("pyarrow")

    def dictionary(index_type):
        def make(texts):
            values = sorted({t for t in texts if t is not None})
            indices = [None if t is None else values.index(t) for t in texts]
            # A null among the values too, which no index names.
            return pa.DictionaryArray.from_arrays(pa.array(indices, index_type),
                                                  pa.array([*values, None])), {}
        return make

    def sliced(kind):
        return lambda texts: (pa.array(["skipped", *texts, "also skipped"], kind)[1:-1], {})

    yield "string", lambda texts: (pa.array(texts), {})
    yield "large_string", lambda texts: (pa.array(texts, pa.large_string()), {})
    yield "string_view", lambda texts: (pa.array(texts, pa.string_view()), {})
    yield "string_view_buffers", lambda texts: (views_array(pa, texts), {})
    yield "dictionary_int8", dictionary(pa.int8())
    yield "dictionary_uint32", dictionary(pa.uint32())
    yield "sliced_string", sliced(pa.string())
    yield "sliced_string_view", sliced(pa.string_view())
    yield "sliced_dictionary", lambda texts: (
        pa.array(["skipped", *texts], pa.string()).dictionary_encode()[1:], {})
    yield "chunked", lambda texts: (pa.chunked_array([texts[:4], [], texts[4:]],
                                                     pa.large_string()), {})
    yield "record_batch_reader", lambda texts: (pa.RecordBatchReader.from_batches(
        pa.schema({"text": pa.string()}),
        [pa.record_batch({"text": texts[:3]}, schema=pa.schema({"text": pa.string()})),
         pa.record_batch({"text": texts[3:]}, schema=pa.schema({"text": pa.string()}))]),
        {"column": "text"})


def other_kinds():
    yield "polars", "polars", lambda pl, texts: (pl.Series(texts), {})
    yield "polars_sliced", "polars", lambda pl, texts: (pl.Series(["x", *texts])[1:], {})
    yield "polars_chunked", "polars", lambda pl, texts: (
        pl.concat([pl.Series(texts[:3]), pl.Series(texts[3:])], rechunk=False), {})
    yield "nanoarrow", "nanoarrow", lambda na, texts: (na.Array(texts, na.string()), {})
    yield "pandas_str", "pandas", lambda pd, texts: (pd.Series(texts, dtype="str"), {})
    yield "pandas_arrow", "pandas", lambda pd, texts: (
        pd.Series(texts, dtype="string[pyarrow]"), {})


def duckdb_relation(duckdb, texts):
    pa = pytest.importorskip("pyarrow")
    return duckdb.arrow(pa.table({"id": range(len(texts)), "text": texts})), {"column": "text"}


KINDS = ["string", "large_string", "string_view", "string_view_buffers", "dictionary_int8",
         "dictionary_uint32", "sliced_string", "sliced_string_view", "sliced_dictionary",
         "chunked", "record_batch_reader"]


@pytest.mark.parametrize("texts", [TEXTS, [None] * 3, ["one two"] * 5000], ids=["texts", "nulls", "many"])
@pytest.mark.parametrize("kind", KINDS + [k[0] for k in other_kinds()] + ["duckdb"])
def test_each_kind_of_column_gives_what_its_list_gives(kind, texts):
    if kind == "duckdb":
        duckdb = pytest.importorskip("duckdb")
        make = lambda: duckdb_relation(duckdb, texts)  # noqa: E731
    elif kind in KINDS:
        make = lambda: dict(arrow_kinds())[kind](texts)  # noqa: E731
    else:
        package, made = next((p, m) for n, p, m in other_kinds() if n == kind)
        module = pytest.importorskip(package)
        make = lambda: made(module, texts)  # noqa: E731
    pytest.importorskip("pyarrow")  # arrow_token_lists' result is compared through to_pylist
    same_as_list(lambda: make()[0], texts, **make()[1])


def test_a_column_of_type_null_holds_no_texts():
    pa = pytest.importorskip("pyarrow")
    same_as_list(lambda: pa.nulls(4), [None] * 4)
    same_as_list(lambda: pa.chunked_array([pa.nulls(2), pa.nulls(0)]), [None] * 2)


def tables():
    """(a table of the columns id and text, its kind), for each kind of table."""
    data = {"id": list(range(len(TEXTS))), "text": TEXTS}
    pa = pytest.importorskip("pyarrow")
    yield pa.table(data)
    yield pa.record_batch(data)
    yield pa.table(data).slice(2)  # rows from 2 on
    if (pl := _optional("polars")) is not None:
        yield pl.DataFrame(data)
    if (pd := _optional("pandas")) is not None:
        yield pd.DataFrame(data)
        yield pd.DataFrame(data).astype({"text": "string[pyarrow]"})
    if (duckdb := _optional("duckdb")) is not None:
        yield duckdb.arrow(pa.table(data))


def _optional(name):
    try:
        return __import__(name)
    except ImportError:
        return None


def test_column_picks_a_tables_column_of_texts():
    for table in tables():
        rows = TEXTS[2:] if len(table) < len(TEXTS) else TEXTS
        same_as_list(lambda: table, rows, column="text")
        with pytest.raises(TypeError, match=r"column=\.\.\..*column='text' \(its columns: id, text\)"):
            vorlenta.count_words(table)
        with pytest.raises(ValueError, match=r"no column 'body' \(its columns: id, text\)"):
            vorlenta.token_lists(table, column="body")
        # pandas' own column of ints is refused text by text.
        with pytest.raises(TypeError, match=r"not int64|not int \(text 0\)"):
            vorlenta.token_lists(table, column="id")


@pytest.mark.parametrize("source", [["a b"], "a b", b"a b"], ids=["list", "str", "bytes"])
def test_column_of_what_is_not_a_table_is_refused(source):
    calls = [vorlenta.token_lists, vorlenta.count_words, lambda s, **kw: list(vorlenta.spans(s, **kw))]
    for call in calls:
        # token_lists refuses one str or bytes before it looks at column=.
        with pytest.raises(TypeError, match="column= picks a column of a table|not one"):
            call(source, column="text")
    pa = pytest.importorskip("pyarrow")
    with pytest.raises(TypeError, match="StringArray is not one"):
        vorlenta.arrow_token_lists(pa.array(["a"]), column="text")


def wrong_types():
    pa = pytest.importorskip("pyarrow")
    yield pa.array([1, 2]), "int64"
    yield pa.array([b"x"]), "binary"
    yield pa.array([["a"]]), "list<string>"
    yield pa.array([1, 1]).dictionary_encode(), r"dictionary<values=int64, indices=int32>"
    if (pl := _optional("polars")) is not None:
        yield pl.Series([1.5]), "float64"


def test_a_column_of_another_type_is_a_type_error_naming_it():
    for column, name in wrong_types():
        for call in (vorlenta.token_lists, vorlenta.count_words, vorlenta.arrow_token_lists):
            with pytest.raises(TypeError, match=f"string, large_string or string_view.*, not {name}$"):
                call(column)


def malformed():
    """Arrays whose buffers do not hold what they say, as a producer could hand them over."""
    pa = pytest.importorskip("pyarrow")
    data = pa.py_buffer(b"abcdefgh")

    def strings(*offsets, kind=pa.string()):
        fmt = "<%di" % len(offsets) if kind == pa.string() else "<%dq" % len(offsets)
        return pa.Array.from_buffers(kind, len(offsets) - 1,
                                     [None, pa.py_buffer(struct.pack(fmt, *offsets)), data])
    yield "offsets back", strings(0, 5, 3)
    yield "large offsets back", strings(0, 6, 2, 8, kind=pa.large_string())
    long = ["a text longer than twelve bytes", "another one, long enough"]

    def bad_view(field, value):
        def change(i, entry):
            if i != 1:
                return entry
            parts = list(struct.unpack("<i4sii", entry))
            parts[field] = value
            return struct.pack("<i4sii", *parts)
        return views_array(pa, long, change)
    yield "view buffer index", bad_view(2, 7)
    yield "view negative buffer", bad_view(2, -1)
    yield "view past its buffer", bad_view(3, 10)
    yield "view length", bad_view(0, 1000)
    yield "view negative length", bad_view(0, -3)
    yield "dictionary index", pa.DictionaryArray.from_arrays(pa.array([0, 5], pa.int8()),
                                                             pa.array(["a", "b"]), safe=False)
    yield "negative index", pa.DictionaryArray.from_arrays(pa.array([0, -1], pa.int32()),
                                                           pa.array(["a", "b"]), safe=False)


@pytest.mark.parametrize("name", ["offsets back", "large offsets back",
                                  "view buffer index", "view negative buffer",
                                  "view past its buffer", "view length", "view negative length",
                                  "dictionary index", "negative index"])
def test_bad_arrow_data_is_a_value_error(name):
    column = dict(malformed())[name]
    for call in (vorlenta.token_lists, vorlenta.count_words, vorlenta.arrow_token_lists,
                 lambda c: list(vorlenta.spans(c))):
        with pytest.raises(ValueError, match="bad Arrow data"):
            call(column)
    # After the texts of the good chunks before it.
    pa = pytest.importorskip("pyarrow")
    chunked = pa.chunked_array([pa.array(["good one"], column.type), column])
    batches = vorlenta.spans(chunked)
    assert next(batches).texts.tolist() == [0, 0, 0]  # good, the space, one
    with pytest.raises(ValueError, match="chunk 2"):
        next(batches)


def interrupt(signum, frame):
    raise KeyboardInterrupt


@pytest.mark.parametrize("stop", ["error", "interrupt"])
def test_a_stream_stopped_midway_releases_every_chunk(stop):
    """Every chunk pulled is released once, also when the stream fails or a signal stops the
    reading: pyarrow's memory comes back to where it was."""
    pa = pytest.importorskip("pyarrow")
    schema = pa.schema({"text": pa.string()})

    def batches():
        for _ in range(3 if stop == "error" else 400):
            yield pa.record_batch({"text": ["слово word " * 50] * 2000}, schema=schema)
        raise ValueError("the producer failed")

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        gc.collect()
        before = pa.total_allocated_bytes()
        for call in (vorlenta.count_words, vorlenta.arrow_token_lists,
                     lambda c, **kw: list(vorlenta.spans(c, **kw))):
            reader = pa.RecordBatchReader.from_batches(schema, batches())
            if stop == "error":
                with pytest.raises(OSError, match="the producer failed"):
                    call(reader, column="text", jobs=2)
            else:
                # Mostly while the texts are tokenized; if it lands in the producer, pyarrow
                # reports it as the stream's error.
                signal.setitimer(signal.ITIMER_REAL, 0.02)
                with pytest.raises((KeyboardInterrupt, OSError)):
                    call(reader, column="text", jobs=2)
            del reader
            gc.collect()
            assert pa.total_allocated_bytes() == before
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_token_lists_of_32_bit_offsets():
    pa = pytest.importorskip("pyarrow")
    lists = vorlenta.arrow_token_lists(pa.array(TEXTS), large=False)
    assert lists.type == pa.list_(pa.string())
    assert lists.to_pylist() == vorlenta.arrow_token_lists(pa.array(TEXTS)).to_pylist()
    chunked = vorlenta.arrow_token_lists(pa.chunked_array([TEXTS[:2], TEXTS[2:]]), large=False)
    assert [len(c) for c in chunked.chunks] == [2, len(TEXTS) - 2]


def test_without_pyarrow_columns_are_read_and_lists_exported():
    pytest.importorskip("polars")
    pytest.importorskip("nanoarrow")
    code = f"""
import sys
sys.modules["pyarrow"] = None  # not importable
import nanoarrow as na, polars as pl, vorlenta
texts = {TEXTS!r}
expected = vorlenta.token_lists(texts)
for column in (pl.Series(texts), pl.Series(["x", *texts])[1:], na.Array(texts, na.string())):
    assert vorlenta.token_lists(column) == expected
    assert vorlenta.count_words(column) == vorlenta.count_words(texts)
    for large in (True, False):
        lists = vorlenta.arrow_token_lists(column, large=large)
        series = pl.Series(lists)
        assert series.to_list() == [None if t is None else x for t, x in zip(texts, expected)]
        assert str(series.dtype) == "List(String)", series.dtype
    assert pl.DataFrame({{"text": texts}}).pipe(vorlenta.token_lists, column="text") == expected
    assert na.Array(vorlenta.arrow_token_lists(column)).to_pylist()[0] == expected[0]
print("pyarrow" in sys.modules and sys.modules["pyarrow"] is not None)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "False"
