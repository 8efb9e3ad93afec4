"""Inputs that are compressed, or not in UTF-8, as a pipe that yields their UTF-8 bytes.

The native tokenizer reads a file descriptor. A thread reads the input, decompresses and
transcodes it piece by piece and writes the result into a pipe, so memory stays the same
whatever the size of the input.
"""

from __future__ import annotations

import codecs
import contextlib
import errno
import fcntl
import importlib
import io
import os
import select
import threading
from collections.abc import Callable, Generator
from types import ModuleType, TracebackType
from typing import Protocol

# What is read from the input, and decompressed, at a time.
CHUNK_SIZE = 1 << 20
# zstandard's frame objects give all the output of what they are given at once, and have no
# limit on it. So a zstd input is given to them cut where its blocks start, in parts of at most
# ZSTD_READ_SIZE bytes whose blocks decompress to at most ZSTD_PART_OUTPUT bytes together (a
# part holds at least one block, which decompresses to 2 MiB at most): a run of one byte, which
# zstd packs some 30,000 to one, costs no more memory than text.
ZSTD_READ_SIZE = 1 << 16
ZSTD_PART_OUTPUT = 4 << 20
# How long the thread waits on a full pipe before it looks again whether close() stopped it.
_WAIT_MS = 100

COMPRESSIONS = ("gzip", "bz2", "xz", "zstd")
_SUFFIXES = {".gz": "gzip", ".bz2": "bz2", ".xz": "xz", ".zst": "zstd"}
ZSTD_EXTRA = "pip install 'vorlentaCXX[zstd]'"


def compression_of(path: str) -> str | None:
    """The compression that the name of a file says, or None."""
    return _SUFFIXES.get(os.path.splitext(path)[1].lower())


class _Decompressing(Protocol):
    def read1(self, size: int, /) -> bytes: ...
    def close(self) -> None: ...


def _decompressed(compression: str, file: io.FileIO) -> _Decompressing:
    # Imported here: a command over plain files does not pay for the three modules.
    if compression == "gzip":
        import gzip
        return gzip.GzipFile(fileobj=file, mode="rb")
    if compression == "bz2":
        import bz2
        return bz2.BZ2File(file)
    import lzma
    return lzma.LZMAFile(file)


class _Input(io.FileIO):
    """The input file; `count` is the bytes read from it so far."""

    count = 0

    def __init__(self, source: str | int) -> None:
        # A descriptor that was given stays open: it is the caller's.
        super().__init__(source, "rb", closefd=not isinstance(source, int))

    def read(self, size: int | None = -1, /) -> bytes:
        data = super().read(size)
        if data is None:  # a descriptor in non-blocking mode with nothing to read yet
            raise BlockingIOError(errno.EAGAIN, "the input is in non-blocking mode")
        self.count += len(data)
        return data


class Utf8Stream:
    """The UTF-8 bytes of an input, read from `fd` until its end.

    Where the pipe ends early because the input failed (a read, a decompression or a decoding
    error), error() says why: check it after the end, and report it.
    """

    def __init__(self, name: str, file: _Input, pieces: Generator[bytes]) -> None:
        self.name = name
        self._file = file
        self._error: BaseException | None = None
        self._stop = threading.Event()
        self._closed = False
        self.fd, self._write_fd = os.pipe()
        # A pipe of a chunk's size: the thread and the reader then take turns a chunk at a
        # time, not 64 KiB at a time (Linux only; elsewhere the pipe keeps its size).
        with contextlib.suppress(AttributeError, OSError):
            fcntl.fcntl(self._write_fd, fcntl.F_SETPIPE_SZ, CHUNK_SIZE)
        # The write end alone is non-blocking: the thread then never waits on the pipe for long,
        # so close() stops it even while the tokenizer's duplicate of the read end is open.
        os.set_blocking(self._write_fd, False)
        self._thread = threading.Thread(target=self._feed, args=(pieces,), daemon=True,
                                        name=f"utf8-stream {name}")
        self._thread.start()

    @property
    def bytes_in(self) -> int:
        """The bytes read from the input so far (the compressed size), for a progress bar."""
        return self._file.count

    def error(self) -> BaseException | None:
        """What stopped the stream before the end of the input, once the stream has ended."""
        return self._error

    def close(self) -> None:
        """Stops the thread, also where the input was not read to the end, without waiting.

        The thread is not waited for: it may be inside a read of an input that gives nothing
        (a pipe whose writer waits, a terminal), and no read can be cut short from here, so
        Ctrl-C would wait as long as the input does. Nor is the input's descriptor closed under
        it: it may be the caller's (standard input), and closing it would not end the read.
        The thread is a daemon that closes its own ends: it stops at its next look at the flag
        or write to the pipe, or goes with the process. Nothing is lost by not waiting: after
        the stream's end, error() was set before the thread closed its end of the pipe.
        """
        if self._closed:
            return
        self._closed = True
        self._stop.set()
        # A thread waiting on a full pipe that nobody else reads gets EPIPE at once.
        os.close(self.fd)

    def __enter__(self) -> Utf8Stream:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def _feed(self, pieces: Generator[bytes]) -> None:
        try:
            writable = select.poll()
            writable.register(self._write_fd, select.POLLOUT)
            for piece in pieces:
                if not self._write(piece, writable):
                    return
        except BrokenPipeError:
            pass  # close() closed the read end between the look at the flag and a write
        except BaseException as e:
            # Kept before the write end closes, so a reader that sees the end sees it too.
            self._error = e
        finally:
            os.close(self._write_fd)
            pieces.close()
            self._file.close()

    def _write(self, data: bytes, writable: select.poll) -> bool:
        """Writes all of `data`; False if close() stopped the stream first."""
        view = memoryview(data)
        while view:
            if self._stop.is_set():
                return False
            try:
                view = view[os.write(self._write_fd, view):]
            except BlockingIOError:
                writable.poll(_WAIT_MS)
        return True


def open_utf8_stream(source: str | int, name: str, *, compression: str | None = None,
                     encoding: str | None = None) -> Utf8Stream:
    """A stream of the UTF-8 text of `source`, a path or an open descriptor (left open).

    `compression` is one of COMPRESSIONS, `encoding` any text encoding Python knows; None for
    either passes the bytes through as they are. Nothing is lost quietly: a byte that is not
    valid in `encoding` stops the stream, as a corrupt or cut compressed input does, and
    error() says so after the end; the caller reports it.

    Raises ValueError for an unknown compression, LookupError for an encoding that is not a
    text encoding Python knows, ImportError for zstd without the zstandard package, and OSError
    if the path cannot be opened, all before anything is read.
    """
    if compression is not None and compression not in COMPRESSIONS:
        raise ValueError(f"unknown compression {compression!r}: not one of "
                         + ", ".join(COMPRESSIONS))
    if encoding is not None:
        text_encoding(encoding)
    zstandard = _zstandard() if compression == "zstd" else None
    file = _Input(source)
    try:
        if compression is None:
            pieces = _chunks(file.read, file.close)
        elif zstandard is not None:
            pieces = _nonempty(_zstd_frames(zstandard, file), file, compression)
        else:
            # read1: the output of one read of the compressed input. read() gathers a chunk
            # over several, and drops what it gathered when a later one fails (a cut input).
            reader = _decompressed(compression, file)
            pieces = _nonempty(_chunks(reader.read1, reader.close), file, compression)
        return Utf8Stream(name, file, _utf8(pieces, encoding))
    except BaseException:
        file.close()
        raise


def text_encoding(name: str) -> str:
    """The codec's own name for `name`; LookupError unless it is a text encoding Python knows.

    The codecs that do not make text of bytes (base64, rot13, zlib...) are refused as
    str.encode and bytes.decode refuse them, by the mark their codec carries, before any byte
    is read.
    """
    try:
        codec = codecs.lookup(name)
    except LookupError:
        raise LookupError(f"unknown text encoding {name!r}") from None
    if not getattr(codec, "_is_text_encoding", True):
        raise LookupError(f"{name!r} is not a text encoding (it does not turn bytes into text)")
    return codec.name


def _zstandard() -> ModuleType:
    try:
        return importlib.import_module("zstandard")
    except ImportError as e:
        raise ImportError(f"zstd input needs the zstandard package: {ZSTD_EXTRA}") from e


def _chunks(read: Callable[[int], bytes], close: Callable[[], None]) -> Generator[bytes]:
    try:
        while data := read(CHUNK_SIZE):
            yield data
    finally:
        close()


def _nonempty(pieces: Generator[bytes], file: _Input, compression: str) -> Generator[bytes]:
    # gzip and zstandard take an empty input for an empty text, bz2 and lzma do not: none of
    # them is a compressed file (the gzip and zstd tools refuse it too).
    try:
        yield from pieces
    finally:
        pieces.close()
    if file.count == 0:
        raise EOFError(f"empty: no {compression} data")


def _zstd_frames(zstandard: ModuleType, file: _Input) -> Generator[bytes]:
    """The output of the frames of a zstd input, one after another as the zstd tool reads them.

    The library's own readers end quietly where an input was cut short. Its frame objects say
    where each frame ends, so a cut frame raises EOFError here, as gzip, bz2 and lzma do.
    """
    decompressor = zstandard.ZstdDecompressor()
    frame = decompressor.decompressobj()
    in_frame = False
    for part in _zstd_parts(file):
        pending = part
        while pending:
            yield frame.decompress(pending)
            pending = b""
            in_frame = not frame.eof
            if frame.eof:
                pending, frame = frame.unused_data, decompressor.decompressobj()
    if in_frame:
        raise EOFError("zstd input ended before the end of its last frame")


# Where a zstd input can be cut so that each part decompresses to little (RFC 8878): frames
# (a header, then blocks, the last one marked, then a checksum if the header says so), and
# skippable frames, which decompress to nothing.
_FRAME, _BLOCK, _CHECKSUM = range(3)
_ZSTD_MAGIC = 0xFD2FB528
_SKIPPABLE_MAGIC = 0x184D2A50  # up to 0x184D2A5F
_BLOCK_MAX_OUTPUT = 128 << 10  # of a compressed block; a raw or repeated one says its size
_HEADER_MAX = 18  # a frame's header is the longest header


class _Unknown(Exception):
    """Bytes that are no zstd structure: the decompressor says what is wrong with them."""


def _zstd_step(head: bytes, state: int, checksum: bool) -> tuple[int, int, int, bool] | None:
    """The structure that starts at `head` where a `state` is due, as (its bytes with its
    content, the most it decompresses to, the state after it, whether its frame ends with a
    checksum); None when `head` is too short to tell."""
    if state == _CHECKSUM:
        return 4, 0, _FRAME, False
    if state == _BLOCK:
        if len(head) < 3:
            return None
        header = int.from_bytes(head[:3], "little")
        kind, size = header >> 1 & 3, header >> 3
        if kind == 3:
            raise _Unknown
        after = (_CHECKSUM if checksum else _FRAME) if header & 1 else _BLOCK
        # A raw block holds its bytes, a repeated one its byte once.
        return 3 + (1 if kind == 1 else size), size if kind < 2 else _BLOCK_MAX_OUTPUT, after, \
            checksum
    if len(head) < 4:
        return None
    magic = int.from_bytes(head[:4], "little")
    if magic & ~0xF == _SKIPPABLE_MAGIC:
        if len(head) < 8:
            return None
        return 8 + int.from_bytes(head[4:8], "little"), 0, _FRAME, False
    if magic != _ZSTD_MAGIC:
        raise _Unknown
    if len(head) < 5:
        return None
    descriptor = head[4]
    single_segment = descriptor >> 5 & 1
    size_bytes = (single_segment, 2, 4, 8)[descriptor >> 6]
    header = 5 + (1 - single_segment) + (0, 1, 2, 4)[descriptor & 3] + size_bytes
    return header, 0, _BLOCK, bool(descriptor & 4)


def _zstd_parts(file: _Input) -> Generator[bytes]:
    """The bytes of a zstd input in parts of at most ZSTD_READ_SIZE bytes (or one structure)
    that decompress to at most ZSTD_PART_OUTPUT bytes (or one block), cut where a structure
    starts or inside one that crosses the end of what was read. Past bytes that are no zstd
    structure, the rest comes as it is read: the decompressor refuses it at once."""
    data = b""  # read, not given out yet
    at = 0  # where the next structure starts in data; past its end while a content goes on
    most = last = 0  # the most data[:at] decompresses to; of that, its last structure's
    state, checksum, known = _FRAME, False, True
    while True:
        step = None
        if known and at < len(data):
            try:
                step = _zstd_step(data[at:at + _HEADER_MAX], state, checksum)
            except _Unknown:
                known = False
        if step is not None:
            size, output, state, checksum = step
            if at > 0 and (most + output > ZSTD_PART_OUTPUT or at >= ZSTD_READ_SIZE):
                yield data[:at]
                data, at, most = data[at:], 0, 0
            at, most, last = at + size, most + output, output
            continue
        if data and (len(data) >= ZSTD_READ_SIZE or not known):
            cut = min(at, len(data)) if known else len(data)
            yield data[:cut]
            # A structure that goes on past the cut may still give out all it holds.
            data, at, most = data[cut:], at - cut, last if at > cut else 0
        more = file.read(ZSTD_READ_SIZE)
        if not more:
            if data:
                yield data
            return
        data += more


def _utf8(pieces: Generator[bytes], encoding: str | None) -> Generator[bytes]:
    if encoding is None:
        yield from pieces
        return
    # An incremental decoder keeps a character cut by the edge of a piece for the next one.
    decoder = codecs.getincrementaldecoder(encoding)("strict")
    for piece in pieces:
        yield decoder.decode(piece).encode("utf-8")
    yield decoder.decode(b"", final=True).encode("utf-8")
