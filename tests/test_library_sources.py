"""The library reads what the command reads: compressed files, other encodings, file objects,
each giving the tokens and counts of its UTF-8 copy, and a warning for bytes that are not UTF-8."""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import warnings
from pathlib import Path

import pytest

import vorlenta
from vorlenta.streams import ZSTD_MODULES

TEXT = ("Война и мир — to-be or not; Ёжик в тумане, 1869 год.\n" * 300
        + "Последняя строка без перевода")
UTF8 = TEXT.encode()


def _zstd_compress(data: bytes) -> bytes:
    for name in ZSTD_MODULES:
        try:
            return __import__(name, fromlist=["compress"]).compress(data)  # type: ignore[no-any-return]
        except ImportError:
            pass
    pytest.skip("no zstd module")


COMPRESSED = {".gz": gzip.compress, ".bz2": bz2.compress, ".xz": lzma.compress,
              ".zst": _zstd_compress}
FORMATS = {".gz": "gzip", ".bz2": "bz2", ".xz": "xz", ".zst": "zstd"}


class ReadintoOnly:
    """A file object with readinto and no read."""

    def __init__(self, data: bytes) -> None:
        self._file = io.BytesIO(data)

    def readinto(self, buffer: bytearray) -> int:
        return self._file.readinto(buffer)


def _same_as_utf8(source: object, **reading: object) -> None:
    assert vorlenta.tokenize(source, **reading) == vorlenta.tokenize(UTF8)  # type: ignore[arg-type]


@pytest.mark.parametrize("suffix", sorted(COMPRESSED))
def test_compressed_sources_give_the_tokens_of_their_text(tmp_path, suffix):
    packed = COMPRESSED[suffix](UTF8)
    path = tmp_path / f"t.txt{suffix}"
    path.write_bytes(packed)
    _same_as_utf8(path)
    # decompress names the format where no suffix says it, and False reads the bytes as such.
    plain_name = tmp_path / "t.bin"
    plain_name.write_bytes(packed)
    _same_as_utf8(plain_name, decompress=FORMATS[suffix])
    _same_as_utf8(packed, decompress=FORMATS[suffix])
    _same_as_utf8(io.BytesIO(packed), decompress=FORMATS[suffix])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vorlenta.NotUtf8Warning)
        assert vorlenta.count_words(path, decompress=False) == vorlenta.count_words(packed)
    words = vorlenta.count_words(UTF8, lower=True)
    assert vorlenta.count_words(path, lower=True) == words
    assert vorlenta.token_lists(path) == vorlenta.token_lists([TEXT])
    assert ([s.starts.tolist() for s in vorlenta.spans(path, batch_size=100)]
            == [s.starts.tolist() for s in vorlenta.spans(UTF8, batch_size=100)])


def test_file_objects_are_read_in_chunks_as_their_bytes(tmp_path):
    path = tmp_path / "t.txt"
    path.write_bytes(UTF8)
    (tmp_path / "t.txt.gz").write_bytes(gzip.compress(UTF8))
    with open(path, "rb") as f:
        _same_as_utf8(f)
    with open(path, "rb", buffering=0) as f:
        _same_as_utf8(f)
    with gzip.open(tmp_path / "t.txt.gz") as g:
        _same_as_utf8(g)
    _same_as_utf8(io.BytesIO(UTF8))
    _same_as_utf8(ReadintoOnly(UTF8))
    assert vorlenta.count_words(io.BytesIO(UTF8), ReadintoOnly(UTF8)) == vorlenta.count_words(
        UTF8, UTF8)
    with open(path, encoding="utf-8") as text, pytest.raises(TypeError, match="binary"):
        vorlenta.tokenize(text)


@pytest.mark.parametrize("encoding", ["cp1251", "koi8-r", "cp866", "mac-cyrillic", "utf-16"])
def test_other_encodings_give_the_tokens_of_the_utf8_copy(tmp_path, encoding):
    data = TEXT.replace("—", "-").encode(encoding)
    copy = TEXT.replace("—", "-").encode()
    path = tmp_path / "t.txt"
    path.write_bytes(data)
    (tmp_path / "t.txt.gz").write_bytes(gzip.compress(data))
    expected = vorlenta.tokenize(copy)
    # Offsets are in the UTF-8 text, whatever the bytes on disk.
    for source in (path, tmp_path / "t.txt.gz", data, io.BytesIO(data)):
        assert vorlenta.tokenize(source, encoding=encoding) == expected
    assert vorlenta.count_words(path, encoding=encoding) == vorlenta.count_words(copy)


def test_bytes_that_are_not_utf8_are_warned_of_once_with_the_hint(tmp_path):
    cp1251 = TEXT.encode("cp1251", "replace")
    path = tmp_path / "old.txt"
    path.write_bytes(cp1251)
    for source in (path, cp1251, io.BytesIO(cp1251)):
        with pytest.warns(vorlenta.NotUtf8Warning) as caught:
            vorlenta.count_words(source)
        assert len(caught) == 1 and issubclass(caught[0].category, UnicodeWarning)
        message = str(caught[0].message)
        assert "not valid UTF-8" in message and 'encoding="cp1251"' in message
        assert caught[0].filename == __file__  # points at the caller's line
    with pytest.warns(vorlenta.NotUtf8Warning, match=str(path).replace("\\", "\\\\")):
        list(vorlenta.spans(path))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        # Well-formed bytes, a str with a lone surrogate (the str's own), and a transcoded
        # source give none.
        vorlenta.count_words(UTF8, path.read_bytes().decode("cp1251"), "a\udc80b")
        vorlenta.count_words(path, encoding="cp1251")


def test_sources_that_cannot_be_read_raise(tmp_path):
    cut = tmp_path / "cut.txt.gz"
    cut.write_bytes(gzip.compress(UTF8)[:-20])
    with pytest.raises((EOFError, ValueError, OSError)):
        vorlenta.count_words(cut)
    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"\xff\xfe\xfa" * 10)
    with pytest.raises(ValueError, match="utf-8|UTF-8|decode"):
        vorlenta.tokenize(bad, encoding="utf-8")
    with pytest.raises(ValueError, match="decompress"):
        vorlenta.tokenize(UTF8, decompress="rar")
    with pytest.raises(LookupError):
        vorlenta.tokenize(UTF8, encoding="no-such-codec")
    with pytest.raises(ValueError, match="str is text"):
        vorlenta.tokenize(TEXT, encoding="cp1251")
    with pytest.raises(ValueError, match="many texts"):
        vorlenta.count_words([UTF8], encoding="cp1251")


def test_spans_left_unread_stop_their_stream(tmp_path):
    path = tmp_path / "big.txt.gz"
    path.write_bytes(gzip.compress(UTF8 * 200))
    whole = sum(len(s.starts) for s in vorlenta.spans(path))
    batches = vorlenta.spans(path, batch_size=1000)
    next(batches)
    batches.close()  # type: ignore[union-attr]
    # What the pipe held is still there; the rest is never read.
    assert sum(len(s.starts) for s in batches) < whole // 2


class Failing:
    """A file object whose reads raise `error`, or (error None) whose readinto finds nothing
    ready, as a non-blocking one does."""

    def __init__(self, error: BaseException | None) -> None:
        self.error = error

    def readinto(self, buffer: bytearray) -> int | None:
        if self.error is None:
            return None
        raise self.error


@pytest.mark.parametrize("error", [None, KeyboardInterrupt(), RuntimeError("boom"),
                                   OSError(5, "Input/output error")])
def test_what_a_file_object_raises_passes_through_unchanged(error):
    for call in (vorlenta.count_words, vorlenta.tokenize, lambda f: list(vorlenta.spans(f))):
        with pytest.raises(BaseException) as raised:
            call(Failing(error))
        if error is None:
            assert isinstance(raised.value, BlockingIOError)
        else:
            assert raised.value is error


@pytest.mark.parametrize(("name", "data", "options", "error"), [
    ("plain.txt", UTF8, {"decompress": "gzip"}, OSError),
    ("tail.txt.gz", gzip.compress(UTF8) + b"trailing garbage", {}, OSError),
    ("cut.txt.xz", lzma.compress(UTF8)[:-10], {}, EOFError),
    ("bad.txt", b"ok \xff", {"encoding": "utf-8"}, UnicodeDecodeError),
])
def test_errors_of_reading_name_the_input(tmp_path, name, data, options, error):
    path = tmp_path / name
    path.write_bytes(data)
    with pytest.raises(error, match=name):
        vorlenta.count_words(path, **options)
