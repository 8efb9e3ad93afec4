"""Bag-of-words features for scikit-learn, made natively: CountVectorizer, TfidfVectorizer and
HashingVectorizer take texts and give SciPy CSR matrices with no Python object per token.

Each gives what scikit-learn's estimator of the same name gives with
`analyzer=lambda text: <vorlenta.words(text, ...) and its word n-grams>`: the same vocabulary_,
columns and values (TF-IDF through scikit-learn's own TfidfTransformer; hashing with its
MurmurHash3, column and sign). They take every many-texts source the library takes: a list,
a NumPy array, a pandas, polars or Arrow column (`column=` for a table), a dataset's path
(`field=`)."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from numbers import Integral, Real
from typing import Any

import numpy as np

SKLEARN_EXTRA = "pip install 'vorlenta[sklearn]'"

try:
    import scipy.sparse as sp
    from sklearn import get_config
    from sklearn.base import BaseEstimator, TransformerMixin
    from sklearn.feature_extraction.text import ENGLISH_STOP_WORDS, TfidfTransformer
    from sklearn.preprocessing import normalize
    from sklearn.utils.validation import check_is_fitted
except ImportError as e:
    raise ImportError(f"vorlenta.sklearn needs scikit-learn and SciPy: {SKLEARN_EXTRA}") from e

from vorlenta import _native
from vorlenta.library import TEXTS_HINT, TEXTS_NAME, _jobs, _many_feed, _settings, _warn_of_bytes
from vorlenta.types import WORDS

__all__ = ["CountVectorizer", "HashingVectorizer", "TfidfVectorizer"]

_WORD_TYPES = ("ENWORD", "RUWORD")


def _key(term: str) -> bytes:
    """The native key of a term: the UTF-8 of its str, lone surrogates (a byte that was not
    UTF-8 is one) as errors="surrogatepass" writes them."""
    return term.encode("utf-8", "surrogatepass")


def _names(terms: Any, ids: np.ndarray) -> list[str]:
    return terms.names(np.ascontiguousarray(ids, dtype=np.int64))  # type: ignore[no-any-return]


def _csr(values: np.ndarray, columns: np.ndarray, starts: np.ndarray, shape: tuple[int, int],
         dtype: Any) -> Any:
    """A CSR matrix of the native rows, of the kind scikit-learn's configuration asks for
    (sparse_interface): its 32-bit indexes where they fit, as SciPy chooses them."""
    kind = sp.csr_array if get_config().get("sparse_interface") == "sparray" else sp.csr_matrix
    return kind((values, columns, starts), shape=shape, dtype=dtype)


class _Terms(TransformerMixin, BaseEstimator):
    """The token settings and the texts in, shared by the three vectorizers."""

    lowercase: bool
    types: Any
    split_hyphens: bool
    min_len: int
    max_len: int | None
    ngram_range: tuple[int, int]
    stop_words: Any
    jobs: int | None
    column: str | None
    field: str
    input_format: str | None

    def _ngrams(self) -> tuple[int, int]:
        low_high = self.ngram_range
        if low_high == (1, 1) and type(low_high) is tuple:  # the default, at no cost
            return 1, 1
        if (not isinstance(low_high, tuple) or len(low_high) != 2
                or not all(isinstance(n, Integral) and not isinstance(n, bool) for n in low_high)):
            raise TypeError(f"ngram_range must be a tuple of two ints (min_n, max_n), not "
                            f"{low_high!r}")
        low, high = int(low_high[0]), int(low_high[1])
        if not 1 <= low <= high:
            raise ValueError(f"ngram_range must have 1 <= min_n <= max_n, not {low_high!r}")
        return low, high

    def _stop(self) -> Any:
        words = self.stop_words
        if words is None:
            return None
        if isinstance(words, str):
            if words != "english":
                raise ValueError(f"stop_words must be 'english', a list of words or None, not "
                                 f"{words!r}")
            words = ENGLISH_STOP_WORDS
        if not isinstance(words, Iterable) or not all(isinstance(w, str) for w in words):
            raise TypeError("stop_words must be 'english', a list of strs or None")
        return _native.Terms(list(dict.fromkeys(_key(w) for w in words)))

    def _rows(self, call: Any, texts: Any, *more: Any) -> tuple[Any, ...]:
        """The native rows of the texts: `call` (term_rows or hashed_rows) with the token
        settings and `more`; its tally is warned of, a dataset's skipped records too."""
        if isinstance(texts, (str, bytes, bytearray, memoryview)):
            raise TypeError(f"{type(self).__name__} takes many texts (a list, a column, a "
                            f"dataset's path), not one {type(texts).__name__}: pass [text]")
        # The default types are the library's default words: its settings made once.
        types = None if self.types == _WORD_TYPES else self.types
        settings = _settings(types, self.min_len, self.max_len, WORDS, self.split_hyphens)
        min_n, max_n = self._ngrams()
        if not isinstance(self.lowercase, (bool, np.bool_)):
            raise TypeError(f"lowercase must be a bool, not {self.lowercase!r}")
        stop = self._stop()
        jobs = _jobs(self.jobs)
        feed, chunked, dataset = _many_feed(texts, self.column, self.input_format, self.field)
        result = call(feed, *settings, bool(self.lowercase), jobs, chunked, min_n, max_n, stop,
                      *more)
        _warn_of_bytes(result[-1], TEXTS_NAME, TEXTS_HINT, stacklevel=4)
        if dataset is not None:
            dataset.finish(stacklevel=4)
        return tuple(result[:-1])

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.string = True
        tags.input_tags.two_d_array = False
        return tags


class CountVectorizer(_Terms):
    """Texts to a matrix of term counts, scikit-learn's CountVectorizer at engine speed.

    The terms are vorlenta's tokens of the kept types (words by default; lower-cased unless
    `lowercase=False`), stop words dropped, and their word n-grams joined by one space. The
    vocabulary and each text's counts are made natively; columns are in the order of the terms'
    strs, as scikit-learn orders them. A null text (None, NaN, an Arrow null) is a row of zeros.

    Args:
        lowercase: lower-case A-Z, А-Я and Ё before counting.
        types: the token types that are terms (default: ENWORD and RUWORD), as for
            vorlenta.tokenize.
        split_hyphens: give a word's trailing hyphen that joins nothing as a token of its own
            (the default), as vorlenta.words does.
        min_len: the shortest token kept, in characters.
        max_len: the longest token kept, in characters (None: no limit).
        ngram_range: (min_n, max_n): the word n-grams that are terms, n from min_n to max_n.
        stop_words: tokens dropped before the n-grams are made: a list of strs, "english"
            (scikit-learn's list) or None.
        min_df: drop the terms in fewer texts than this (an int) or this share of the texts
            (a float).
        max_df: drop the terms in more texts than this (an int) or this share (a float).
        max_features: keep only this many terms, the most frequent.
        vocabulary: the terms and their columns (a mapping of term to column, or the terms in
            column order); None learns them.
        binary: 1 for every term present instead of its count.
        dtype: the matrix's values.
        jobs: threads (None: VORLENTA_JOBS, else every core the process may use; 0: every
            such core; 1: the calling thread alone).
        column: the column of a table (a DataFrame, an Arrow Table) that holds the texts.
        field: the field of a dataset's records that holds the text.
        input_format: a dataset's format for a path ("jsonl", "csv", "tsv", "parquet"; None:
            by its name)."""

    def __init__(self, *, lowercase: bool = True, types: Any = _WORD_TYPES,
                 split_hyphens: bool = True, min_len: int = 0, max_len: int | None = None,
                 ngram_range: tuple[int, int] = (1, 1), stop_words: Any = None,
                 min_df: float = 1, max_df: float = 1.0, max_features: int | None = None,
                 vocabulary: Any = None, binary: bool = False, dtype: Any = np.int64,
                 jobs: int | None = None, column: str | None = None, field: str = "text",
                 input_format: str | None = None) -> None:
        self.lowercase = lowercase
        self.types = types
        self.split_hyphens = split_hyphens
        self.min_len = min_len
        self.max_len = max_len
        self.ngram_range = ngram_range
        self.stop_words = stop_words
        self.min_df = min_df
        self.max_df = max_df
        self.max_features = max_features
        self.vocabulary = vocabulary
        self.binary = binary
        self.dtype = dtype
        self.jobs = jobs
        self.column = column
        self.field = field
        self.input_format = input_format

    def fit(self, raw_documents: Any, y: Any = None) -> CountVectorizer:
        """Learns the vocabulary of the texts."""
        self.fit_transform(raw_documents)
        return self

    def fit_transform(self, raw_documents: Any, y: Any = None) -> Any:
        """Learns the vocabulary of the texts and gives their matrix of term counts."""
        low, high, limit = self._limits()
        given = self._given_vocabulary()
        if given is not None:
            terms, names = given
            self._learned(terms, names, fixed=True)
            return self._matrix(raw_documents, terms, len(names))
        terms, starts, columns, values = self._rows(_native.term_rows, raw_documents, None)
        if len(terms) == 0:
            raise ValueError("empty vocabulary: the texts hold no terms (no kept tokens, or "
                             "only stop words)")
        # The columns are in the order of the terms' strs already, and each row in column order.
        X = _csr(values, columns, starts, (len(starts) - 1, len(terms)), self.dtype)
        if self.binary:
            X.data.fill(1)
        kept = self._kept_columns(X, low, high, limit)
        if kept is not None:
            X = _keep_columns(X, kept)
            terms = terms.subset(kept)
        self._learned(terms, _names(terms, np.arange(len(terms))), fixed=False)
        return X

    def transform(self, raw_documents: Any) -> Any:
        """The texts' matrix of term counts over the learned (or given) vocabulary."""
        if not hasattr(self, "vocabulary_"):
            given = self._given_vocabulary()
            if given is None:
                check_is_fitted(self, "vocabulary_")
            self._learned(*given, fixed=True)  # type: ignore[misc]
        return self._matrix(raw_documents, self._table(), len(self.vocabulary_))

    def get_feature_names_out(self, input_features: Any = None) -> np.ndarray:
        """The terms, in column order."""
        check_is_fitted(self, "vocabulary_")
        names = np.empty(len(self.vocabulary_), dtype=object)
        names[list(self.vocabulary_.values())] = list(self.vocabulary_)
        return names

    def __getstate__(self) -> dict[str, Any]:
        # The native table of terms is made again from vocabulary_ when needed.
        state = dict(super().__getstate__())
        state.pop("_terms", None)
        return state

    # ---- the steps ----

    def _learned(self, terms: Any, names: list[str], fixed: bool) -> None:
        self._terms = terms
        self.vocabulary_ = dict(zip(names, range(len(names))))
        self.fixed_vocabulary_ = fixed

    def _table(self) -> Any:
        terms = getattr(self, "_terms", None)
        if terms is None:
            names = [""] * len(self.vocabulary_)
            for term, at in self.vocabulary_.items():
                names[at] = term
            terms = self._terms = _native.Terms([_key(t) for t in names])
        return terms

    def _matrix(self, texts: Any, terms: Any, n_terms: int) -> Any:
        _, starts, columns, values = self._rows(_native.term_rows, texts, terms)
        X = _csr(values, columns, starts, (len(starts) - 1, n_terms), self.dtype)
        if self.binary:
            X.data.fill(1)
        return X

    def _limits(self) -> tuple[float, float, int | None]:
        for name in ("min_df", "max_df"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, Real):
                raise TypeError(f"{name} must be an int (texts) or a float (a share of them), "
                                f"not {value!r}")
            if isinstance(value, Integral) and int(value) < 0 or \
                    not isinstance(value, Integral) and not 0 <= float(value) <= 1:
                raise ValueError(f"{name} must be an int >= 0 or a float within 0..1, not "
                                 f"{value!r}")
        limit = self.max_features
        if limit is not None and (isinstance(limit, bool) or not isinstance(limit, Integral)
                                  or limit < 1):
            raise ValueError(f"max_features must be None or an int >= 1, not {limit!r}")
        return self.min_df, self.max_df, limit

    def _kept_columns(self, X: Any, min_df: float, max_df: float,
                      limit: int | None) -> np.ndarray | None:
        """The columns kept by min_df, max_df and max_features (None: all), chosen as
        scikit-learn chooses them: ties among the most frequent broken by NumPy's argsort of
        the counts in column order."""
        n = X.shape[0]
        high = max_df if isinstance(max_df, Integral) else max_df * n
        low = min_df if isinstance(min_df, Integral) else min_df * n
        if high < low:
            raise ValueError(f"max_df ({max_df!r}) leaves fewer texts than min_df ({min_df!r})")
        if limit is None and low <= 1 and high >= n:
            return None  # every term is in one text at least and in n at most
        in_texts = np.bincount(X.indices, minlength=X.shape[1])
        kept = (in_texts <= high) & (in_texts >= low)
        if limit is not None and kept.sum() > limit:
            counts = np.asarray(X.sum(axis=0)).ravel()
            most = (-counts[kept]).argsort()[:limit]
            chosen = np.zeros(len(kept), dtype=bool)
            chosen[np.flatnonzero(kept)[most]] = True
            kept = chosen
        if kept.all():
            return None
        if not kept.any():
            raise ValueError("no terms remain: min_df, max_df or max_features dropped them all; "
                             "try a lower min_df or a higher max_df")
        return np.flatnonzero(kept)

    def _given_vocabulary(self) -> tuple[Any, list[str]] | None:
        """The table and the terms (in column order) of the vocabulary given, or None."""
        given = self.vocabulary
        if given is None:
            return None
        if isinstance(given, Mapping):
            names = [""] * len(given)
            places = set()
            for term, at in given.items():
                if isinstance(at, bool) or not isinstance(at, Integral) or \
                        not 0 <= int(at) < len(given) or at in places:
                    raise ValueError(f"vocabulary's columns must be 0..{len(given) - 1}, each "
                                     f"once: {term!r} has {at!r}")
                places.add(at)
                names[int(at)] = term
        elif isinstance(given, Iterable) and not isinstance(given, (str, bytes)):
            names = list(given)
            if len(set(names)) != len(names):
                seen: set[str] = set()
                twice = next(t for t in names if t in seen or seen.add(t))  # type: ignore[func-returns-value]
                raise ValueError(f"vocabulary has the term {twice!r} twice")
        else:
            raise TypeError(f"vocabulary must be a mapping of term to column or an iterable of "
                            f"terms, not {type(given).__name__}")
        if not names:
            raise ValueError("vocabulary is empty")
        if not all(isinstance(t, str) for t in names):
            raise TypeError("vocabulary's terms must be strs")
        return _native.Terms([_key(t) for t in names]), names


def _keep_columns(X: Any, kept: np.ndarray) -> Any:
    """X with only the columns `kept` (ascending), renumbered from 0."""
    new_column = np.full(X.shape[1], -1, dtype=X.indices.dtype)
    new_column[kept] = np.arange(len(kept), dtype=X.indices.dtype)
    columns = new_column[X.indices]
    entry_kept = columns >= 0
    ends = np.concatenate(([0], np.cumsum(entry_kept)))[X.indptr]
    return type(X)((X.data[entry_kept], columns[entry_kept], ends),
                   shape=(X.shape[0], len(kept)), dtype=X.dtype)


class TfidfVectorizer(CountVectorizer):
    """Texts to a matrix of TF-IDF features: CountVectorizer's counts, then scikit-learn's own
    TfidfTransformer with `norm`, `use_idf`, `smooth_idf` and `sublinear_tf`. The other
    settings are CountVectorizer's; `dtype` (default float64) is the matrix's values.

    Args:
        norm: "l2", "l1" or None: each row's norm.
        use_idf: weigh the counts by the inverse document frequency.
        smooth_idf: add one to the document frequencies, as if a text held every term.
        sublinear_tf: 1 + log(count) instead of the count."""

    def __init__(self, *, lowercase: bool = True, types: Any = _WORD_TYPES,
                 split_hyphens: bool = True, min_len: int = 0, max_len: int | None = None,
                 ngram_range: tuple[int, int] = (1, 1), stop_words: Any = None,
                 min_df: float = 1, max_df: float = 1.0, max_features: int | None = None,
                 vocabulary: Any = None, binary: bool = False, dtype: Any = np.float64,
                 norm: str | None = "l2", use_idf: bool = True, smooth_idf: bool = True,
                 sublinear_tf: bool = False, jobs: int | None = None,
                 column: str | None = None, field: str = "text",
                 input_format: str | None = None) -> None:
        super().__init__(lowercase=lowercase, types=types, split_hyphens=split_hyphens,
                         min_len=min_len, max_len=max_len, ngram_range=ngram_range,
                         stop_words=stop_words, min_df=min_df, max_df=max_df,
                         max_features=max_features, vocabulary=vocabulary, binary=binary,
                         dtype=dtype, jobs=jobs, column=column, field=field,
                         input_format=input_format)
        self.norm = norm
        self.use_idf = use_idf
        self.smooth_idf = smooth_idf
        self.sublinear_tf = sublinear_tf

    def fit(self, raw_documents: Any, y: Any = None) -> TfidfVectorizer:
        """Learns the vocabulary and the inverse document frequencies of the texts."""
        self.fit_transform(raw_documents)
        return self

    def fit_transform(self, raw_documents: Any, y: Any = None) -> Any:
        """Learns the vocabulary and the idf of the texts and gives their TF-IDF matrix."""
        counts = super().fit_transform(raw_documents)
        self._tfidf = TfidfTransformer(norm=self.norm, use_idf=self.use_idf,
                                       smooth_idf=self.smooth_idf,
                                       sublinear_tf=self.sublinear_tf).fit(counts)
        return self._tfidf.transform(counts, copy=False)

    def transform(self, raw_documents: Any) -> Any:
        """The texts' TF-IDF matrix over the learned vocabulary and idf."""
        check_is_fitted(self, "_tfidf", msg="This TfidfVectorizer is not fitted: call fit "
                                            "or fit_transform first")
        counts = super().transform(raw_documents)
        if counts.shape[0] == 0:  # the transformer refuses a matrix of no rows
            return counts.astype(counts.dtype if counts.dtype in (np.float32, np.float64)
                                 else np.float64)
        return self._tfidf.transform(counts, copy=False)

    @property
    def idf_(self) -> np.ndarray:
        """The inverse document frequency of each term (use_idf=True)."""
        check_is_fitted(self, "_tfidf")
        return self._tfidf.idf_  # type: ignore[no-any-return]


class HashingVectorizer(_Terms):
    """Texts to a matrix of hashed term counts, stateless: each term's column and sign from the
    32-bit MurmurHash3 (seed 0) of its UTF-8, as scikit-learn's HashingVectorizer computes them
    (a term with lone surrogates, as a byte that is not UTF-8 gives, over the bytes that
    errors="surrogatepass" writes), then `binary` and `norm` as there. The token settings,
    `jobs`, `column`, `field` and `input_format` are CountVectorizer's.

    Args:
        n_features: the number of columns.
        alternate_sign: a term whose hash is negative counts -1, so that collisions tend to
            cancel.
        norm: "l2", "l1" or None: each row's norm (scikit-learn's normalize).
        binary: 1 for every column present (before the norm).
        dtype: the matrix's values."""

    def __init__(self, *, n_features: int = 2**20, alternate_sign: bool = True,
                 norm: str | None = "l2", binary: bool = False, dtype: Any = np.float64,
                 lowercase: bool = True, types: Any = _WORD_TYPES, split_hyphens: bool = True,
                 min_len: int = 0, max_len: int | None = None,
                 ngram_range: tuple[int, int] = (1, 1), stop_words: Any = None,
                 jobs: int | None = None, column: str | None = None, field: str = "text",
                 input_format: str | None = None) -> None:
        self.n_features = n_features
        self.alternate_sign = alternate_sign
        self.norm = norm
        self.binary = binary
        self.dtype = dtype
        self.lowercase = lowercase
        self.types = types
        self.split_hyphens = split_hyphens
        self.min_len = min_len
        self.max_len = max_len
        self.ngram_range = ngram_range
        self.stop_words = stop_words
        self.jobs = jobs
        self.column = column
        self.field = field
        self.input_format = input_format

    def fit(self, X: Any = None, y: Any = None) -> HashingVectorizer:
        """Checks the settings: the vectorizer learns nothing."""
        self._columns()
        self._ngrams()
        return self

    def transform(self, X: Any) -> Any:
        """The texts' matrix of hashed term counts."""
        n_features = self._columns()
        starts, columns, values = self._rows(_native.hashed_rows, X, n_features,
                                             bool(self.alternate_sign))
        matrix = _csr(values, columns, starts, (len(starts) - 1, n_features), self.dtype)
        if self.binary:
            matrix.data.fill(1)
        if self.norm is not None and matrix.shape[0] > 0:  # normalize refuses no rows
            matrix = normalize(matrix, norm=self.norm, copy=False)
        return matrix

    def fit_transform(self, X: Any, y: Any = None) -> Any:
        """transform(X): there is nothing to learn."""
        return self.fit(X, y).transform(X)

    def _columns(self) -> int:
        n = self.n_features
        if isinstance(n, bool) or not isinstance(n, Integral) or not 1 <= n <= 2**31 - 1:
            raise ValueError(f"n_features must be an int within 1..2**31-1, not {n!r}")
        return int(n)

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.requires_fit = False
        return tags
