"""vorlenta.sklearn against scikit-learn itself: each vectorizer gives what scikit-learn's
gives with an analyzer made of vorlenta.words and its n-grams, on random texts of every kind;
the estimator contract; every source kind and any number of jobs."""

import json
import pickle
import random
import subprocess
import sys

import numpy as np
import pytest

sklearn = pytest.importorskip("sklearn")
sp = pytest.importorskip("scipy.sparse")
from sklearn.base import clone  # noqa: E402
from sklearn.compose import ColumnTransformer  # noqa: E402
from sklearn.exceptions import NotFittedError  # noqa: E402
from sklearn.feature_extraction import text as reference  # noqa: E402
from sklearn.linear_model import LogisticRegression  # noqa: E402
from sklearn.model_selection import GridSearchCV  # noqa: E402
from sklearn.pipeline import Pipeline  # noqa: E402

import vorlenta  # noqa: E402
from vorlenta import sklearn as vs  # noqa: E402

# Bytes that are not UTF-8 are among the texts on purpose.
pytestmark = pytest.mark.filterwarnings("ignore::vorlenta.NotUtf8Warning")

WORDS = ["мир", "Мир", "МИР", "война", "и", "в", "Ёж", "ёж", "the", "The", "cat", "a", "I",
         "hat", "well-known", "to-", "Наташа", "x", "зелёный", "Over"]
GLUE = [" ", " ", " ", ", ", ". ", "\n", " -- ", "!", " 42 ", " «", "» ", "—"]
ODD_BYTES = [b"\xff", b"\xd0", b"\xed\xa0\x80", b"\x80", b"\xc3("]
ODD_CHARS = ["\ud800", "\udc80", "\udcd0\udc96", "\udfff"]


def random_texts(seed: int, n: int = 120) -> list:
    """Texts that share their words (so that document frequencies vary), in both scripts and
    cases, with nulls, empty texts, bytes that are not UTF-8 and strs with lone surrogates."""
    rng = random.Random(seed)
    texts: list = []
    for _ in range(n):
        kind = rng.random()
        if kind < 0.05:
            texts.append(rng.choice([None, "", float("nan")]))
            continue
        parts = []
        for _ in range(rng.randint(1, 14)):
            parts.append(rng.choice(WORDS))
            parts.append(rng.choice(GLUE))
        text = "".join(parts)
        if kind < 0.15:
            at = rng.randrange(len(text) + 1)
            text = text[:at] + rng.choice(ODD_CHARS) + text[at:]
        if kind > 0.85:
            data = text.encode()
            at = rng.randrange(len(data) + 1)
            texts.append(data[:at] + rng.choice(ODD_BYTES) + b" " + data[at:])
        else:
            texts.append(text)
    return texts


def grams(text, ngram_range=(1, 1), stop_words=None, lowercase=True, **words_settings) -> list:
    """The analyzer the vectorizers are held to: vorlenta.words and its word n-grams, joined by
    one space, stop words dropped first."""
    if text is None or isinstance(text, float):
        return []
    tokens = vorlenta.words(text, lower=lowercase, **words_settings)
    if stop_words is not None:
        tokens = [t for t in tokens if t not in stop_words]
    low, high = ngram_range
    return [" ".join(tokens[i:i + n]) for n in range(low, high + 1)
            for i in range(len(tokens) - n + 1)]


TOKEN_SETTINGS = {"ngram_range", "stop_words", "lowercase", "types", "split_hyphens", "min_len",
                  "max_len"}


def fitted_pair(cls, texts, settings, key=None):
    """Ours and scikit-learn's `cls` with the same settings, scikit-learn's analyzer reading the
    tokens made beforehand (so that it sees every text as ours does, bytes and nulls too)."""
    ours = getattr(vs, cls.__name__)(**settings)
    token_settings = {k: v for k, v in settings.items() if k in TOKEN_SETTINGS}
    made = [grams(t, **token_settings) for t in texts]
    if key is not None:
        made = [[key(g) for g in row] for row in made]
    rest = {k: v for k, v in settings.items() if k not in TOKEN_SETTINGS | {"jobs"}}
    theirs = cls(analyzer=made.__getitem__, **rest)
    return ours, theirs, list(range(len(texts)))


def assert_same_matrix(ours, theirs, exact=True) -> None:
    """The same CSR matrix, entry for entry (explicit zeros too), and of the same kind; values
    to the last bit, or where `exact` is false, to rounding (a row's norm summed in another
    order)."""
    assert type(ours) is type(theirs)
    assert ours.shape == theirs.shape and ours.dtype == theirs.dtype
    theirs = theirs.copy()
    theirs.sort_indices()
    assert ours.has_sorted_indices
    np.testing.assert_array_equal(ours.indptr, theirs.indptr)
    np.testing.assert_array_equal(ours.indices, theirs.indices)
    if exact:
        np.testing.assert_array_equal(ours.data, theirs.data)
    else:
        np.testing.assert_allclose(ours.data, theirs.data, rtol=4 * np.finfo(ours.dtype).eps)


COUNT_SETTINGS = [
    {},
    {"ngram_range": (1, 2)},
    {"ngram_range": (2, 3), "binary": True},
    {"min_df": 2, "max_df": 0.5},
    {"min_df": 0.05, "max_df": 30, "max_features": 7},
    {"max_features": 3, "ngram_range": (1, 2)},
    {"stop_words": ["и", "в", "the", "a"], "ngram_range": (1, 2)},
    {"lowercase": False, "dtype": np.float32},
    {"types": None, "split_hyphens": False, "min_len": 2, "max_len": 5},
    {"vocabulary": ["мир", "the", "ёж", "x", "нет такого", "\udc80"]},
    {"vocabulary": {"cat": 2, "и мир": 0, "война": 1}, "ngram_range": (1, 2)},
]


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("settings", COUNT_SETTINGS, ids=repr)
def test_count_vectorizer_is_scikit_learns_with_our_analyzer(settings, seed):
    texts = random_texts(seed)
    ours, theirs, indexes = fitted_pair(reference.CountVectorizer, texts, settings)
    matrix = ours.fit_transform(texts)
    assert_same_matrix(matrix, theirs.fit_transform(indexes))
    assert ours.vocabulary_ == theirs.vocabulary_
    assert list(ours.get_feature_names_out()) == list(theirs.get_feature_names_out())
    assert_same_matrix(ours.transform(texts[::-1]), theirs.transform(indexes[::-1]))


@pytest.mark.parametrize("settings", [
    {},
    {"norm": "l1", "sublinear_tf": True, "ngram_range": (1, 2)},
    {"norm": None, "smooth_idf": False, "min_df": 2},
    {"use_idf": False, "binary": True, "dtype": np.float32},
], ids=repr)
def test_tfidf_vectorizer_is_scikit_learns_with_our_analyzer(settings):
    texts = random_texts(3)
    ours, theirs, indexes = fitted_pair(reference.TfidfVectorizer, texts, settings)
    # scikit-learn's rows are not in column order where it normalizes them: the sums of squares
    # differ in their last bits.
    exact = ours.norm is None
    assert_same_matrix(ours.fit_transform(texts), theirs.fit_transform(indexes), exact)
    assert ours.vocabulary_ == theirs.vocabulary_
    assert_same_matrix(ours.transform(texts[:40]), theirs.transform(indexes[:40]), exact)
    if ours.use_idf:
        np.testing.assert_array_equal(ours.idf_, theirs.idf_)


@pytest.mark.parametrize("settings", [
    {},
    {"n_features": 7, "ngram_range": (1, 3)},  # collisions, sums of signs to zero
    {"n_features": 5, "alternate_sign": False, "norm": None, "binary": True},
    {"n_features": 2**31 - 2, "norm": "l1", "dtype": np.float32, "stop_words": ["мир"]},
], ids=repr)
def test_hashing_vectorizer_is_scikit_learns_with_our_analyzer(settings):
    texts = random_texts(4)
    # A term with lone surrogates is hashed over its surrogatepass bytes, where scikit-learn
    # cannot encode its str.
    ours, theirs, indexes = fitted_pair(reference.HashingVectorizer, texts, settings,
                                        key=lambda g: g.encode("utf-8", "surrogatepass"))
    assert_same_matrix(ours.fit_transform(texts), theirs.fit_transform(indexes))


def test_each_words_column_and_sign_are_scikit_learns_hash():
    from sklearn.utils import murmurhash3_32
    rng = random.Random(5)
    # Every length from 1 to 40 bytes: each tail of the hash's 4-byte blocks.
    words = sorted({"".join(rng.choice(letters) for _ in range(rng.randint(1, 20)))
                    for letters in ("abcxyz", "абвгдеёжэюя") for _ in range(1500)})
    matrix = vs.HashingVectorizer(n_features=2**31 - 1, norm=None).transform(words)
    hashes = [murmurhash3_32(w.encode(), positive=False) for w in words]
    assert matrix.indices.tolist() == [abs(h) % (2**31 - 1) for h in hashes]
    assert matrix.data.tolist() == [1.0 if h >= 0 else -1.0 for h in hashes]


def small_corpus():
    """Texts that every column kind can hold: strs of UTF-8."""
    texts = random_texts(6, 300)
    return [t for t in texts if isinstance(t, str) and t.isprintable() or t == ""]


def test_estimator_contract():
    texts = small_corpus()
    labels = [len(t) % 2 for t in texts]
    for estimator in (vs.CountVectorizer(ngram_range=(1, 2), min_df=2), vs.TfidfVectorizer(),
                      vs.HashingVectorizer(n_features=64)):
        expected = estimator.fit_transform(texts)
        twin = clone(estimator)
        assert twin.get_params() == estimator.get_params()
        assert not hasattr(twin, "vocabulary_")
        restored = pickle.loads(pickle.dumps(estimator))
        assert_same_matrix(restored.transform(texts), expected)
        assert_same_matrix(twin.fit(texts).transform(texts), expected)
    pd = pytest.importorskip("pandas")
    table = pd.DataFrame({"text": texts, "length": [len(t) for t in texts]})
    columns = ColumnTransformer([("words", vs.CountVectorizer(), "text")])
    assert_same_matrix(columns.fit_transform(table).tocsr(),
                       vs.CountVectorizer().fit_transform(texts))
    pipeline = Pipeline([("features", vs.TfidfVectorizer()), ("model", LogisticRegression())])
    search = GridSearchCV(pipeline, {"features__ngram_range": [(1, 1), (1, 2)]}, cv=2)
    search.fit(texts, labels)
    assert search.best_params_["features__ngram_range"] in [(1, 1), (1, 2)]
    assert search.predict(texts[:5]).shape == (5,)
    assert vs.CountVectorizer().set_params(min_df=3).min_df == 3


def test_every_source_gives_the_lists_matrix(tmp_path):
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    pl = pytest.importorskip("polars")
    texts = small_corpus()[:50] + [None]
    expected = vs.CountVectorizer().fit(texts)
    wanted = expected.transform(texts)
    # A record without the field is skipped (and warned of): the file holds the strs alone.
    jsonl = tmp_path / "texts.jsonl"
    jsonl.write_text("".join(json.dumps({"body": t}) + "\n" for t in texts[:-1]),
                     encoding="utf-8")
    sources = [
        (np.array(texts, dtype=object), {}),
        (pd.Series(texts), {}),
        (pa.chunked_array([texts[:20], texts[20:]]), {}),
        (pl.Series(texts), {}),
        (pl.DataFrame({"id": range(len(texts)), "text": texts}), {"column": "text"}),
        (jsonl, {"field": "body"}),
        (iter(texts), {}),
    ]
    for source, where in sources:
        rows = slice(None, -1) if source is jsonl else slice(None)
        counts = vs.CountVectorizer(vocabulary=expected.vocabulary_, **where)
        assert_same_matrix(counts.fit_transform(source), wanted[rows])
        if not isinstance(source, type(iter([]))):  # not used up
            assert_same_matrix(vs.HashingVectorizer(**where).transform(source),
                               vs.HashingVectorizer().transform(texts[rows]))


@pytest.mark.parametrize("cls", [vs.CountVectorizer, vs.HashingVectorizer])
def test_jobs_give_the_same_matrix(cls):
    # Enough texts for several groups, so that workers count into tables of their own.
    texts = random_texts(7, 20000)
    settings = {"ngram_range": (1, 2)}
    one = cls(jobs=1, **settings).fit_transform(texts)
    assert_same_matrix(cls(jobs=3, **settings).fit_transform(texts), one)


@pytest.mark.parametrize("make, call, error, message", [
    (lambda: vs.CountVectorizer(), lambda v: v.fit(["a b"]).transform("a b"), TypeError,
     "many texts"),
    (lambda: vs.CountVectorizer(), lambda v: v.fit(["1 2", None]), ValueError, "empty vocab"),
    (lambda: vs.CountVectorizer(min_df=3), lambda v: v.fit(["a b", "a", "c", "d"]), ValueError,
     "no terms remain"),
    (lambda: vs.CountVectorizer(min_df=5, max_df=2), lambda v: v.fit(["a"]), ValueError,
     "fewer texts than min_df"),
    (lambda: vs.CountVectorizer(ngram_range=(2, 1)), lambda v: v.fit(["a"]), ValueError,
     "1 <= min_n <= max_n"),
    (lambda: vs.CountVectorizer(min_df=-1), lambda v: v.fit(["a"]), ValueError, "min_df"),
    (lambda: vs.CountVectorizer(max_features=0), lambda v: v.fit(["a"]), ValueError,
     "max_features"),
    (lambda: vs.CountVectorizer(vocabulary=["a", "a"]), lambda v: v.fit(["a"]), ValueError,
     "'a' twice"),
    (lambda: vs.CountVectorizer(vocabulary={"a": 1}), lambda v: v.fit(["a"]), ValueError,
     "columns must be 0..0"),
    (lambda: vs.CountVectorizer(stop_words="russian"), lambda v: v.fit(["a"]), ValueError,
     "stop_words"),
    (lambda: vs.CountVectorizer(), lambda v: v.transform(["a"]), NotFittedError, "fit"),
    (lambda: vs.TfidfVectorizer(), lambda v: v.transform(["a"]), NotFittedError, "fit"),
    (lambda: vs.HashingVectorizer(n_features=0), lambda v: v.transform(["a"]), ValueError,
     "n_features"),
])
def test_bad_settings_and_input_are_clear_errors(make, call, error, message):
    with pytest.raises(error, match=message):
        call(make())


def test_vocabulary_given_needs_no_fit_and_a_text_file_is_refused(tmp_path):
    v = vs.CountVectorizer(vocabulary=["мир", "война"])
    assert v.transform(["Война и мир, мир"]).toarray().tolist() == [[2, 1]]
    # No texts are no rows, not an error (a stream's last chunk can be empty).
    fitted_tfidf = vs.TfidfVectorizer().fit(["мир"])
    for made in (v.transform([]), vs.HashingVectorizer().transform([]),
                 fitted_tfidf.transform([])):
        assert made.shape[0] == 0 and made.nnz == 0
    assert fitted_tfidf.transform([]).dtype == np.float64
    path = tmp_path / "book.txt"
    path.write_text("мир")
    with pytest.raises(TypeError, match="many texts"):
        vs.CountVectorizer().fit(path)


def test_without_scikit_learn_the_import_names_the_extra():
    code = ("import sys; sys.modules['sklearn'] = None\n"
            "try:\n    import vorlenta.sklearn\nexcept ImportError as e:\n    print(e)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout
    assert "scikit-learn" in out and "vorlenta[sklearn]" in out
