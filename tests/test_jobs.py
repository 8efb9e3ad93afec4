"""jobs=: many texts tokenized on several threads give exactly what one thread gives, in the
texts' order, whatever stops them; and a short text's own road (words)."""

import multiprocessing
from collections import Counter

import numpy as np
import pytest

import vorlenta
from test_many_texts import TEXTS, BYTES

# More texts than a group holds, so that several threads share them: strs of every kind, bytes,
# nulls among them.
BASE = TEXTS + BYTES + [None, float("nan")]
MANY = [t + f" {i}" if isinstance(t, str) else t
        for i, t in ((i, BASE[i % len(BASE)]) for i in range(12_000))]
STRS = [t for t in MANY if isinstance(t, str) and "\ud800" not in t]


def columns():
    """Each kind of column the texts come in, made anew for each call."""
    yield "list", lambda: MANY
    yield "generator", lambda: (t for t in MANY)
    yield "numpy", lambda: np.array(MANY, dtype=object)
    pd = pytest.importorskip("pandas")
    yield "pandas", lambda: pd.Series(STRS + [None] * 10, dtype=object)
    pa = pytest.importorskip("pyarrow")
    yield "arrow-chunked", lambda: pa.chunked_array([STRS[:5000], [], STRS[5000:] + [None]])
    yield "arrow-large", lambda: pa.array(STRS, type=pa.large_string())


def results(make, jobs):
    """What every call over many texts gives."""
    spans = [tuple(a.tolist() for a in batch) for batch in
             vorlenta.spans(make(), jobs=jobs, batch_size=5000)]
    got = {"lists": vorlenta.token_lists(make(), lower=True, jobs=jobs),
           "counts": vorlenta.count_words(make(), types=["ENWORD", "RUWORD", "NUMBER"], jobs=jobs),
           "spans": spans}
    lists = vorlenta.arrow_token_lists(make(), jobs=jobs)
    # Without pyarrow the lists are the native array, which only an Arrow library reads.
    got["arrow"] = lists.to_pylist() if hasattr(lists, "to_pylist") else len(lists)
    return got


@pytest.mark.filterwarnings("ignore::vorlenta.NotUtf8Warning")  # bytes that are not UTF-8
def test_every_call_on_two_threads_gives_what_one_gives():
    for kind, make in columns():
        one, two = results(make, 1), results(make, 2)
        assert one == two, kind
        assert len(one["lists"]) == len(make() if kind != "generator" else MANY), kind


class Stop(Exception):
    pass


def stopping(after, error):
    yield from MANY[:after]
    raise error


@pytest.mark.filterwarnings("ignore::vorlenta.NotUtf8Warning")
@pytest.mark.parametrize("error", [Stop("midway"), KeyboardInterrupt()])
def test_what_stops_the_texts_midway_stops_the_threads_too(error):
    # Every token of the texts before the error is delivered, then the error.
    expected = [i for batch in vorlenta.spans(MANY[:9000], jobs=1) for i in batch.texts.tolist()]
    delivered = []
    batches = vorlenta.spans(stopping(9000, error), jobs=2, batch_size=1000)
    with pytest.raises(type(error)):
        for batch in batches:
            delivered += batch.texts.tolist()
    assert delivered == expected
    for call in (vorlenta.token_lists, vorlenta.count_words):
        with pytest.raises(type(error)):
            call(stopping(9000, error), jobs=2)
    # Nothing is left running: the next calls work, on threads again.
    assert vorlenta.count_words(STRS, jobs=2) == vorlenta.count_words(STRS, jobs=1)


def _child_counts(queue):
    queue.put(vorlenta.count_words(STRS, jobs=2))


def test_a_child_forked_after_a_parallel_call_works():
    before = vorlenta.count_words(STRS, jobs=2)
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    child = context.Process(target=_child_counts, args=(queue,))
    child.start()
    got = queue.get(timeout=120)
    child.join(120)
    assert child.exitcode == 0 and got == before


@pytest.mark.parametrize("options", [{}, {"lower": True}, {"types": 2**64 - 1},
                                     {"min_len": 3, "max_len": 5}, {"split_hyphens": True}])
def test_words_are_the_token_list_of_one_text(options):
    for text in [*TEXTS, ""]:
        assert vorlenta.words(text, **options) == vorlenta.token_lists([text], **options)[0]
    with pytest.warns(vorlenta.NotUtf8Warning):
        alone = vorlenta.words(BYTES[0], **options)
    with pytest.warns(vorlenta.NotUtf8Warning):
        assert alone == vorlenta.token_lists([BYTES[0]], **options)[0]
    with pytest.raises(TypeError, match="str or bytes"):
        vorlenta.words(["a list"])


@pytest.mark.parametrize(("value", "error"), [(-1, ValueError), (1.5, TypeError),
                                              (True, TypeError), (5000, ValueError)])
def test_jobs_out_of_range_are_refused(value, error):
    with pytest.raises(error, match="jobs"):
        vorlenta.count_words(["a"], jobs=value)


def test_jobs_default_comes_from_the_environment(monkeypatch):
    from vorlenta import cores
    monkeypatch.setattr(cores, "_default", None)
    monkeypatch.setenv("VORLENTA_JOBS", "3")
    assert cores.default_jobs() == 3
    monkeypatch.setattr(cores, "_default", None)
    monkeypatch.setenv("VORLENTA_JOBS", "many")
    with pytest.raises(ValueError, match="VORLENTA_JOBS"):
        cores.default_jobs()
    monkeypatch.setattr(cores, "_default", None)
    monkeypatch.delenv("VORLENTA_JOBS")
    assert cores.default_jobs() == cores.usable_cores()
    assert Counter(vorlenta.count_words(["a b a"], jobs=0)) == Counter({"a": 2, "b": 1})
