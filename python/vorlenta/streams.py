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
from typing import Any, BinaryIO, Protocol, cast

# What is read from the input, and decompressed, at a time.
CHUNK_SIZE = 1 << 20
# How long the thread waits on a full pipe before it looks again whether close() stopped it.
_WAIT_MS = 100

COMPRESSIONS = ("gzip", "bz2", "xz", "zstd")
# The encoding that says: find the input's own in its first bytes.
AUTO = "auto"
UTF8 = "utf-8"
# UTF-8 that starts with its byte-order mark, which readers skip.
UTF8_SIG = "utf-8-sig"
_SUFFIXES = {".gz": "gzip", ".bz2": "bz2", ".xz": "xz", ".zst": "zstd"}
ZSTD_EXTRA = "pip install 'vorlenta[zstd]'"
# Python's own zstd module from 3.14 on; before it, its backport, which the extra installs.
ZSTD_MODULES = ("compression.zstd", "backports.zstd")


def compression_of(path: str | None, decompress: str | bool | None = None) -> str | None:
    """The compression to undo: the one `decompress` names, none for False, and for None the
    one the name of the file says (none without a name). The one place that decides it, for
    the library, the command and Dask alike."""
    if decompress is None:
        return None if path is None else _SUFFIXES.get(os.path.splitext(path)[1].lower())
    if decompress is False:
        return None
    if decompress not in COMPRESSIONS:
        raise ValueError(f"decompress must be one of {', '.join(COMPRESSIONS)}, or False, not "
                         f"{decompress!r}")
    return decompress


# A binary file object: anything with read(n) or readinto(buffer).
BinaryFile = Any


class _Decompressing(Protocol):
    def read1(self, size: int, /) -> bytes: ...
    def close(self) -> None: ...


def _decompressed(compression: str, input: _Input | _ObjectInput) -> _Decompressing:
    """A reader of the decompressed input. Each gives at most what it is asked for at a time,
    however far its input expands, and raises where the input is cut or corrupt."""
    file = cast(BinaryIO, input)  # each reads it with read() alone
    # Imported here: a command over plain files does not pay for the four modules.
    if compression == "zstd":
        return _zstd().ZstdFile(file)  # type: ignore[no-any-return]
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

    def __init__(self, source: str | bytes | int) -> None:
        # A descriptor that was given stays open: it is the caller's.
        super().__init__(source, "rb", closefd=not isinstance(source, int))

    def read(self, size: int | None = -1, /) -> bytes:
        data = super().read(size)
        if data is None:  # a descriptor in non-blocking mode with nothing to read yet
            raise BlockingIOError(errno.EAGAIN, "the input is in non-blocking mode")
        self.count += len(data)
        return data


class CallersError(BaseException):
    """What a caller's file object raised, carried unchanged through the decompressors (a
    BaseException, so that none of them takes it for its own) to be raised as it is."""

    def __init__(self, error: BaseException) -> None:
        super().__init__(error)
        self.error = error


class _ObjectInput:
    """A binary file object of the caller's (anything with readinto or read), read a chunk at
    a time and never closed: it stays the caller's."""

    count = 0

    def __init__(self, file: BinaryFile) -> None:
        self._file = file

    def read(self, size: int = -1, /) -> bytes:
        try:
            if hasattr(self._file, "read"):
                data = self._file.read(size)
            else:  # read() gives a chunk without the copy that readinto's buffer would need
                buffer = bytearray(size)
                n = self._file.readinto(buffer)
                data = None if n is None else buffer[:n]
        except BaseException as e:
            raise CallersError(e) from None
        if data is None:
            raise BlockingIOError(errno.EAGAIN, "the input is in non-blocking mode")
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError(f"the file object gave {type(data).__name__}, not bytes: open it "
                            f"in binary mode")
        self.count += len(data)
        return bytes(data)

    def close(self) -> None:
        pass


def is_binary_file(source: object) -> bool:
    """Whether `source` is a file object to be read as bytes (text files are not)."""
    return (hasattr(source, "readinto") or hasattr(source, "read")) and not isinstance(
        source, io.TextIOBase)


class Utf8Stream:
    """The UTF-8 bytes of an input, read from `fd` until its end.

    Where the pipe ends early because the input failed (a read, a decompression or a decoding
    error), error() says why: check it after the end, and report it.
    """

    def __init__(self, name: str, file: _Input | _ObjectInput, pieces: Generator[bytes],
                 taken: Taken) -> None:
        self.name = name
        self._file = file
        self._taken = taken
        self._error: BaseException | None = None
        # Whether error() is what the caller's file object raised, to be passed on unchanged.
        self.callers_error = False
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
    def encoding(self) -> str:
        """The encoding the input is read in: the one asked for, or with AUTO the one found in
        its first bytes, known once the stream has given a byte or ended."""
        return self._taken.encoding

    @property
    def passes_through(self) -> bool:
        """Whether the input's bytes come out as they are (no encoding, or UTF-8 found), so
        that some may not be UTF-8."""
        return self._taken.passed_through

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
        except CallersError as e:
            self._error = e.error
            self.callers_error = True
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


def open_utf8_stream(source: str | bytes | int | BinaryFile, name: str, *,
                     compression: str | None = None, encoding: str | None = None) -> Utf8Stream:
    """A stream of the UTF-8 text of `source`: a path, an open descriptor, or a binary file
    object (both left open).

    `compression` is one of COMPRESSIONS, `encoding` any text encoding Python knows or AUTO
    (the one its first DETECT_BYTES are in, after decompression); None for either passes the
    bytes through as they are. Nothing is lost quietly: a byte that is not
    valid in `encoding` stops the stream, as a corrupt or cut compressed input does, and
    error() says so after the end; the caller reports it.

    Raises ValueError for an unknown compression, LookupError for an encoding that is not a
    text encoding Python knows, ImportError for zstd where Python has no zstd module (before
    3.14, without the extra), and OSError if the path cannot be opened, all before anything is
    read.
    """
    if compression is not None and compression not in COMPRESSIONS:
        raise ValueError(f"unknown compression {compression!r}: not one of "
                         + ", ".join(COMPRESSIONS))
    if encoding is not None:
        text_encoding(encoding)
    if compression == "zstd":
        _zstd()
    file = _Input(source) if isinstance(source, (str, bytes, int)) else _ObjectInput(source)
    try:
        if compression is None:
            pieces = _chunks(file.read, file.close)
        else:
            # read1: the output of one read of the compressed input. read() gathers a chunk
            # over several, and drops what it gathered when a later one fails (a cut input).
            reader = _decompressed(compression, file)
            pieces = _nonempty(_chunks(reader.read1, reader.close), file, compression)
        taken = Taken(encoding)
        return Utf8Stream(name, file, _utf8(pieces, taken), taken)
    except BaseException:
        file.close()
        raise


def text_encoding(name: str) -> str:
    """The codec's own name for `name` (AUTO stays AUTO); LookupError unless it is a text
    encoding Python knows.

    The codecs that do not make text of bytes (base64, rot13, zlib...) are refused as
    str.encode and bytes.decode refuse them, by the mark their codec carries, before any byte
    is read.
    """
    if isinstance(name, str) and name.lower() == AUTO:
        return AUTO
    try:
        codec = codecs.lookup(name)
    except LookupError:
        raise LookupError(f"unknown text encoding {name!r}") from None
    if not getattr(codec, "_is_text_encoding", True):
        raise LookupError(f"{name!r} is not a text encoding (it does not turn bytes into text)")
    return codec.name


def _zstd() -> ModuleType:
    for name in ZSTD_MODULES:
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    raise ImportError(f"zstd input needs Python 3.14 or the backports.zstd package: {ZSTD_EXTRA}")


def _chunks(read: Callable[[int], bytes], close: Callable[[], None]) -> Generator[bytes]:
    try:
        while data := read(CHUNK_SIZE):
            yield data
    finally:
        close()


def _nonempty(pieces: Generator[bytes], file: _Input | _ObjectInput, compression: str) -> Generator[bytes]:
    # gzip takes an empty input for an empty text, the others say that it ended too soon: none
    # of them is a compressed file (the gzip and zstd tools refuse it too), and each says so.
    try:
        yield from pieces
    except EOFError:
        if file.count != 0:
            raise
    finally:
        pieces.close()
    if file.count == 0:
        raise empty_compressed(compression)


def empty_compressed(compression: str) -> EOFError:
    """The error of an empty file read as compressed: gzip would take it for an empty text, the
    others for a cut input, and neither is what it is."""
    return EOFError(f"empty: no {compression} data")


class Taken:
    """The encoding a stream reads its input in, once it is known (UTF8 for bytes passed
    through as they are)."""

    def __init__(self, encoding: str | None) -> None:
        self.encoding = encoding or UTF8
        self.passed_through = encoding is None


def _utf8(pieces: Generator[bytes], taken: Taken) -> Generator[bytes]:
    if taken.encoding == AUTO:
        from vorlenta.detect import DETECT_BYTES, detect_encoding

        head, ended = _head(pieces, DETECT_BYTES)
        taken.encoding = detect_encoding(head[:DETECT_BYTES],
                                         complete=ended and len(head) <= DETECT_BYTES)
        # UTF-8 found goes through as it is, as without an encoding: a byte further on that
        # is not UTF-8 is then warned of, not fatal. Its byte-order mark is no text.
        taken.passed_through = taken.encoding in (UTF8, UTF8_SIG)
        if taken.encoding == UTF8_SIG:
            head = head[len(codecs.BOM_UTF8):]
        pieces = _chain(head, pieces)
    if taken.passed_through:
        yield from pieces
        return
    # An incremental decoder keeps a character cut by the edge of a piece for the next one.
    decoder = codecs.getincrementaldecoder(taken.encoding)("strict")
    for piece in pieces:
        yield decoder.decode(piece).encode("utf-8")
    yield decoder.decode(b"", final=True).encode("utf-8")


def utf8_block(data: bytes, encoding: str | None) -> bytes:
    """Bytes in memory as UTF-8, as a stream would give them: as they are (None), less a
    leading byte-order mark (UTF8_SIG), or transcoded by the same decoder (UnicodeDecodeError
    at a byte that is not of the encoding)."""
    if encoding is None:
        return data
    if encoding == UTF8_SIG:
        return data.removeprefix(codecs.BOM_UTF8)
    return b"".join(_utf8((piece for piece in (data,)), Taken(encoding)))


def _head(pieces: Generator[bytes], size: int) -> tuple[bytes, bool]:
    """The first `size` bytes or more of the pieces, and whether they were all of them."""
    head = bytearray()
    for piece in pieces:
        head += piece
        if len(head) >= size:
            return bytes(head), False
    return bytes(head), True


def _chain(head: bytes, rest: Generator[bytes]) -> Generator[bytes]:
    try:
        if head:
            yield head
        yield from rest
    finally:
        rest.close()
