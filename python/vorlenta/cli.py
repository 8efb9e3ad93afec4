"""vorlenta: tokenize Russian and English text, or count its tokens and words, from the shell."""

from __future__ import annotations

import argparse
import io
import json
import os
import signal
import sys
import time
from collections.abc import Callable, Sequence
from concurrent.futures.process import BrokenProcessPool
from typing import TextIO

from vorlenta import __version__
from vorlenta.formats import jsonl_lines, tsv_lines
from vorlenta.progress import Progress, wanted
from vorlenta.sources import (
    ALL_TYPES,
    DEFAULT_BATCH_SIZE,
    MAX_U32,
    STDIN,
    TYPE_NAMES,
    TYPE_VALUES,
    InputError,
    Settings,
    batches,
    display_name,
    open_source,
    text_bytes,
)
from vorlenta.stats import FileResult, Stats, count_in_processes, count_path, input_paths

EXIT_OK = 0
EXIT_INPUT = 1  # an input could not be read, or (tokenize) some of its batches were lost
EXIT_USAGE = 2
EXIT_OUTPUT = 3  # the output could not be written
EXIT_WORKER = 4  # a worker process failed
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141

PROG = "vorlenta"

# ---- arguments ----

def _count(low: int, high: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{value} is not within {low}..{high}")
        return value
    return parse


def _types(text: str) -> int:
    mask = 0
    for name in filter(None, (part.strip().upper() for part in text.split(","))):
        if name not in TYPE_VALUES:
            raise argparse.ArgumentTypeError(
                f"unknown type {name!r}; the types are {', '.join(TYPE_VALUES)}")
        mask |= TYPE_VALUES[name]
    if mask == 0:
        raise argparse.ArgumentTypeError("no type given")
    return mask


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Tokenize Russian and English UTF-8 text, or count its tokens and words.",
        epilog=f"Token types: {', '.join(TYPE_VALUES)}. Exit status: 0 when every input was "
               "read whole, 1 when an input could not be read or some of its batches were "
               "not valid UTF-8, 2 for a wrong command line, 3 when the output could not be "
               "written, 4 when a worker process failed, 130 when interrupted.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--batch-size", type=_count(1, MAX_U32), default=DEFAULT_BATCH_SIZE,
                        metavar="N",
                        help="tokens per batch (default %(default)s); a batch that is not "
                             "valid UTF-8 is skipped whole")
    common.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="show a progress bar on standard error (default: when it is a "
                             "terminal)")

    tokenize = commands.add_parser(
        "tokenize", parents=[common], help="print the tokens, one per line",
        description="Print the tokens of each input, one per line: the type, a tab and the "
                    "text. In the text, backslash, tab, line breaks and U+0000 are escaped "
                    r"(\\ \t \n \r \0, others as \xHH or \uHHHH). Reads standard input when "
                    "no FILE is given or for '-'.")
    tokenize.add_argument("files", nargs="*", metavar="FILE", help="a text file, or - for "
                          "standard input")
    tokenize.add_argument("--format", choices=["tsv", "jsonl"], default="tsv",
                          help='tsv (default), or jsonl: {"type": ..., "text": ...} per line')
    tokenize.add_argument("--types", type=_types, default=ALL_TYPES, metavar="TYPE,...",
                          help="print only tokens of these types, e.g. ENWORD,RUWORD")
    tokenize.add_argument("--min-len", type=_count(0, MAX_U32), default=0, metavar="N",
                          help="print only tokens of at least N characters")
    tokenize.add_argument("--max-len", type=_count(0, MAX_U32), default=MAX_U32, metavar="N",
                          help="print only tokens of at most N characters")

    stats = commands.add_parser(
        "stats", parents=[common], help="count tokens per type and the most frequent words",
        description="Count the tokens of each type, the words (ENWORD and RUWORD tokens) and "
                    "the most frequent of them, over files and every regular file under folders "
                    "(names starting with a dot are skipped there); '-' is standard input.")
    stats.add_argument("paths", nargs="+", metavar="PATH", help="a file, a folder, or -")
    stats.add_argument("--top", type=_count(0, 2**31), default=20, metavar="N",
                       help="how many of the most frequent words to show (default %(default)s)")
    stats.add_argument("--lower", action="store_true", help="count words in lower case")
    stats.add_argument("--jobs", type=_count(0, 1024), default=1, metavar="N",
                       help="count files in N processes (0: one per CPU; default 1)")
    stats.add_argument("--json", action="store_true", help="print the result as JSON")
    return parser


# ---- tokenize ----

def run_tokenize(args: argparse.Namespace, out: TextIO) -> int:
    settings = Settings(batch_size=args.batch_size, types=args.types, min_len=args.min_len,
                        max_len=args.max_len)
    files = args.files or [STDIN]
    lines = tsv_lines if args.format == "tsv" else jsonl_lines
    progress = Progress(*_progress_for(args, files, stdout_matters=True))
    failed = False
    try:
        for path in files:
            try:
                source = open_source(path, settings)
            except InputError as e:
                progress.message(f"{PROG}: {e}")
                failed = True
                continue

            def lost(number: int) -> None:
                nonlocal failed
                failed = True
                progress.message(f"{PROG}: {source.name}: invalid UTF-8 in batch {number}; its "
                                 "tokens are skipped and reading goes on after it")

            read = 0
            try:
                for text, types in batches(source, lost):
                    out.write(lines(text, types))
                    if progress.bar is not None:
                        # Bytes of the tokens written: the input read so far, less dropped
                        # tokens.
                        nbytes = text_bytes(text, len(types))
                        read += nbytes
                        progress.advance(nbytes)
            except InputError as e:
                progress.message(f"{PROG}: {e}")
                failed = True
            if source.size is not None:
                progress.advance(source.size - read)
        out.flush()
    finally:
        progress.close()
    return EXIT_INPUT if failed else EXIT_OK


# ---- stats ----

def run_stats(args: argparse.Namespace, out: TextIO) -> int:
    settings = Settings(batch_size=args.batch_size)
    jobs = args.jobs or os.cpu_count() or 1
    total = Stats()
    walk_failed = False

    def walk_error(message: str) -> None:
        nonlocal walk_failed
        walk_failed = True
        print(f"{PROG}: {message}", file=sys.stderr)

    paths = list(input_paths(args.paths, walk_error))
    files = [p for p in paths if p != STDIN]
    in_processes = jobs > 1 and len(files) > 1
    progress = Progress(False, None, 0.0)

    def start_progress() -> None:
        nonlocal progress
        progress = Progress(*_progress_for(args, paths, stdout_matters=False))

    def take(result: FileResult) -> None:
        for message in result.messages:
            progress.message(f"{PROG}: {message}")
        total.add(result.stats)

    def file_done(result: FileResult, size: int) -> None:
        take(result)
        progress.advance(size)

    start = time.perf_counter()
    try:
        if in_processes:
            count_in_processes(files, settings, args.lower, min(jobs, len(files)),
                               start_progress, file_done)
            paths = [p for p in paths if p == STDIN]
        else:
            start_progress()
        for path in paths:
            take(count_path(path, settings, args.lower, progress.advance))
    finally:
        progress.close()
    seconds = time.perf_counter() - start

    # A word holding bytes that are not UTF-8 is shown with those bytes as \xNN escapes.
    top = [(display_name(word), count) for word, count in total.top(args.top)]
    if args.json:
        out.write(json.dumps(stats_report(total, top, seconds), ensure_ascii=False, indent=2)
                  + "\n")
    else:
        out.write(format_report(total, top, seconds))
    out.flush()
    return EXIT_INPUT if (walk_failed or total.failed) else EXIT_OK


def _per_second(amount: int, seconds: float) -> int:
    return round(amount / seconds) if seconds > 0 else 0


def stats_report(stats: Stats, top: list[tuple[str, int]], seconds: float) -> dict[str, object]:
    return {
        "files": stats.files,
        "failed_files": stats.failed,
        "bytes": stats.bytes,
        "tokens": stats.tokens,
        "types": {name: stats.types[name] for name in TYPE_NAMES.values()},
        "words": stats.words.total(),
        "distinct_words": len(stats.words),
        "top": [[word, count] for word, count in top],
        "seconds": round(seconds, 6),
        "bytes_per_second": _per_second(stats.bytes, seconds),
        "tokens_per_second": _per_second(stats.tokens, seconds),
    }


def format_report(stats: Stats, top: list[tuple[str, int]], seconds: float) -> str:
    def row(label: str, value: int) -> str:
        return f"{label:<16}{value:>12,}"

    lines = [row("files", stats.files)]
    if stats.failed:
        lines.append(row("  not read", stats.failed))
    lines.append(row("bytes", stats.bytes))
    lines.append(row("tokens", stats.tokens))
    lines += [row(f"  {name}", stats.types[name]) for name in TYPE_NAMES.values()]
    lines.append(row("words", stats.words.total()))
    lines.append(row("  distinct", len(stats.words)))
    lines.append(f"{'time':<16}{seconds:>12.3f} s")
    lines.append(f"{'speed':<16}{_per_second(stats.bytes, seconds) / 1e6:>12.2f} MB/s  "
                 f"{_per_second(stats.tokens, seconds) / 1e6:.2f} M tokens/s")
    if top:
        lines.append(f"top {len(top)} words")
        width = max(len(word) for word, _ in top)
        lines += [f"  {rank:>4}  {word:<{width}}  {count:>10,}"
                  for rank, (word, count) in enumerate(top, 1)]
    return "\n".join(lines) + "\n"


# ---- main ----

def _progress_for(args: argparse.Namespace, paths: Sequence[str],
                  stdout_matters: bool) -> tuple[bool, int | None, float]:
    """Whether to show a bar, its total in bytes (None when some size is unknown), its delay."""
    enabled, delay = wanted(args.progress, stdout_matters)
    try:
        total: int | None = sum(os.stat(p).st_size for p in paths if p != STDIN)
    except OSError:
        total = None
    if STDIN in paths:
        total = None
    return enabled, total, delay


def _drop_output() -> None:
    """What is left in the output buffer cannot be written either: the exit must not try."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    if args.command == "tokenize" and args.min_len > args.max_len:
        parser.error(f"--min-len {args.min_len} is greater than --max-len {args.max_len}")
    # Tokens are UTF-8 text whatever the locale says.
    out = sys.stdout
    if out is None:  # started with standard output closed
        print(f"{PROG}: cannot write the output: standard output is closed", file=sys.stderr)
        return EXIT_OUTPUT
    if isinstance(out, io.TextIOWrapper):
        out.reconfigure(encoding="utf-8", errors="strict", newline="\n")
    try:
        if args.command == "tokenize":
            return run_tokenize(args, out)
        return run_stats(args, out)
    except KeyboardInterrupt:
        # Another Ctrl-C while the exit flushes and joins ends the process at once, quietly.
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep the exit from flushing again.
        _drop_output()
        return EXIT_BROKEN_PIPE
    except BrokenProcessPool:
        print(f"{PROG}: a worker process failed", file=sys.stderr)
        return EXIT_WORKER
    except OSError as e:
        # Only writing raises here: inputs that cannot be read are reported as they come.
        print(f"{PROG}: cannot write the output: {e.strerror or e}", file=sys.stderr)
        _drop_output()
        return EXIT_OUTPUT
    except MemoryError:
        print(f"{PROG}: out of memory (is --batch-size too large?)", file=sys.stderr)
        return EXIT_INPUT
