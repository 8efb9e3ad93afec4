"""Compressed and non-UTF-8 inputs, read as a pipe of their UTF-8 bytes."""

import bz2
import gzip
import lzma
import os
import re
import select
import sys
import threading
import time
import zlib

import pytest

from vorlenta import streams
from conftest import NO_ZSTD, ZSTD, zstd_compress

SENTENCES = ["Старый паром ходит через реку дважды в день.",
             "The old ferry crosses the river twice a day.",
             "Ёлки на том берегу пожелтели? Нет, это берёзы!",
             "Fog hides the far bank until noon, then lifts."]
TEXT = "\n".join(f"{i}. {SENTENCES[i % len(SENTENCES)]}" for i in range(3000))
UTF8 = TEXT.encode()
CHUNK = 4097  # odd: chunk edges fall inside two-byte letters and inside UTF-16 code units


COMPRESS = {None: bytes, "gzip": gzip.compress, "bz2": bz2.compress, "xz": lzma.compress,
            "zstd": zstd_compress}


def cases(*rows):
    return [pytest.param(*row, marks=NO_ZSTD if row[0] == "zstd" else ()) for row in rows]


@pytest.fixture(autouse=True)
def small_chunks(monkeypatch):
    monkeypatch.setattr(streams, "CHUNK_SIZE", CHUNK)


def read_all(stream):
    """All the stream gives; fails where it neither ends nor gives more for ten seconds."""
    parts = []
    ready = select.poll()
    ready.register(stream.fd, select.POLLIN)
    while ready.poll(10_000):
        if not (part := os.read(stream.fd, 1 << 16)):
            return b"".join(parts)
        parts.append(part)
    raise AssertionError("the stream hangs")


@pytest.mark.parametrize(("compression", "encoding"), cases(
    *[(c, "utf-8") for c in COMPRESS], (None, "cp1251"), (None, "koi8-r"), (None, "utf-16")))
def test_round_trip(tmp_path, compression, encoding):
    assert any(UTF8[i] & 0xC0 == 0x80 for i in range(CHUNK, len(UTF8), CHUNK))
    path = tmp_path / "text"
    path.write_bytes(COMPRESS[compression](TEXT.encode(encoding)))
    with open(path, "rb") as given:
        with streams.open_utf8_stream(given.fileno(), "text", compression=compression,
                                      encoding=encoding) as stream:
            assert read_all(stream) == UTF8
            assert stream.error() is None
            assert stream.bytes_in == path.stat().st_size
        os.fstat(given.fileno())  # still open: it is the caller's


def corrupt(data):
    middle = len(data) // 2
    return data[:middle] + bytes(64) + data[middle + 64:]


@pytest.mark.parametrize(("compression", "encoding", "damage", "expected"), cases(
    ("gzip", "cp1251", corrupt, (zlib.error, OSError)),
    *[(c, "cp1251", lambda d: d[:-3], EOFError) for c in COMPRESS if c],
    (None, "cp1251", lambda d: d[:5000] + b"\x98" + d[5000:], UnicodeDecodeError),  # no letter
    (None, "utf-16", lambda d: d[:-1], UnicodeDecodeError)))  # half a character at the end
def test_bad_input_is_reported_after_the_end(tmp_path, compression, encoding, damage, expected):
    path = tmp_path / "text"
    path.write_bytes(damage(COMPRESS[compression](TEXT.encode(encoding))))
    with streams.open_utf8_stream(str(path), "text", compression=compression,
                                  encoding=encoding) as stream:
        text = read_all(stream)
        # Only a corrupt deflate stream gives wrong text, until its checksum fails at the end.
        assert damage is corrupt or UTF8.startswith(text)
        assert isinstance(stream.error(), expected)


@pytest.mark.parametrize("duplicate", [False, True])
def test_close_before_the_end(tmp_path, duplicate):
    path = tmp_path / "text"
    path.write_bytes(UTF8 * 4)
    stream = streams.open_utf8_stream(str(path), "text")
    # The tokenizer's copy of the read end keeps the pipe open after close() closes its own.
    copy = os.dup(stream.fd) if duplicate else None
    assert UTF8.startswith(os.read(stream.fd, 100))
    time.sleep(0.2)  # for the thread to fill the pipe and wait on it
    closing = threading.Thread(target=stream.close)
    closing.start()
    closing.join(10)
    assert not closing.is_alive(), "close() hangs on a full pipe"
    stream.close()
    assert stream.error() is None
    if copy is not None:
        os.close(copy)


def test_names(tmp_path, monkeypatch):
    names = ["a.TXT.GZ", "b.tar.bz2", "c.xz", "d.zst", "e.txt", "gz"]
    assert [streams.compression_of(n) for n in names] == ["gzip", "bz2", "xz", "zstd", None, None]
    path = tmp_path / "text"
    path.write_bytes(UTF8)
    # No thread is left behind (an earlier test's may still be ending while this one runs).
    threads = set(threading.enumerate())
    with pytest.raises(ValueError, match="'rar'"):
        streams.open_utf8_stream(str(path), "text", compression="rar")
    for name in ["no-such-encoding", "base64"]:
        with pytest.raises(LookupError, match=name):
            streams.open_utf8_stream(str(path), "text", encoding=name)
    for name in streams.ZSTD_MODULES:
        monkeypatch.setitem(sys.modules, name, None)
    with pytest.raises(ImportError, match=re.escape("pip install 'vorlenta[zstd]'")):
        streams.open_utf8_stream(str(path), "text", compression="zstd")
    assert set(threading.enumerate()) <= threads


@NO_ZSTD
def test_zstd_output_comes_in_bounded_pieces_across_every_kind_of_frame(tmp_path):
    import random

    noise = random.Random(7).randbytes(300_000)  # stored as raw blocks: zstd cannot pack it
    checksummed = ZSTD.ZstdCompressor(options={ZSTD.CompressionParameter.checksum_flag: 1})
    streamed = ZSTD.ZstdCompressor()  # no content size in its header
    parts = [(checksummed.compress(b"a" * (24 << 20), mode=checksummed.FLUSH_FRAME),
              b"a" * (24 << 20)),
             ((0x184D2A53).to_bytes(4, "little") + (5).to_bytes(4, "little") + b"skip!", b""),
             (ZSTD.compress(noise + UTF8), noise + UTF8),
             (streamed.compress(b"b" * (8 << 20)) + streamed.flush(), b"b" * (8 << 20))]
    path = tmp_path / "text.zst"
    path.write_bytes(b"".join(data for data, _ in parts))
    assert path.stat().st_size < len(noise) + len(UTF8)  # a bomb: the letters pack far
    with streams._Input(str(path)) as file:
        reader = streams._decompressed("zstd", file)
        pieces = list(streams._chunks(reader.read1, reader.close))
    assert b"".join(pieces) == b"".join(text for _, text in parts)
    assert max(map(len, pieces)) <= CHUNK


@NO_ZSTD
def test_zstd_input_that_is_not_zstd_or_is_empty_is_an_error(tmp_path):
    for data, expected in [(b"", EOFError), (b"not zstd at all", Exception),
                           (zstd_compress(UTF8) + b"junk after the frames", Exception)]:
        path = tmp_path / "text.zst"
        path.write_bytes(data)
        with streams.open_utf8_stream(str(path), "text", compression="zstd") as stream:
            assert UTF8.startswith(read_all(stream))
            assert isinstance(stream.error(), expected), data[-30:]


def test_text_encodings_only(tmp_path):
    assert [streams.text_encoding(n) for n in ("UTF-16", "cp1251", "koi8_r")] == [
        "utf-16", "cp1251", "koi8-r"]
    for name in ("rot13", "base64", "zlib_codec", "hex", "uu"):
        with pytest.raises(LookupError, match="not a text encoding"):
            streams.text_encoding(name)
    path = tmp_path / "text"
    path.write_bytes(UTF8)
    with pytest.raises(LookupError, match="not a text encoding"):
        streams.open_utf8_stream(str(path), "text", encoding="rot13")
