"""vorlenta: tokenize Russian and English text, or count its tokens and words, from the shell."""

from __future__ import annotations

import argparse
import io
import json
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import TextIO

from vorlenta import __version__
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
    open_source,
    split_tokens,
    text_bytes,
)
from vorlenta.stats import FileResult, Stats, count_in_processes, count_path, input_paths

EXIT_OK = 0
EXIT_INPUT = 1  # an input could not be read, or some of its batches were lost
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141

PROG = "vorlenta"

# Backslash and every character that some reader takes for the end of a line are escaped, so
# that each line of the output is exactly one token and the text can be restored.
_NAMED_ESCAPES = {"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r", "\0": "\\0"}
_LINE_BREAKS = "\x0b\x0c\x1c\x1d\x1e\x85\u2028\u2029"
TSV_ESCAPES = str.maketrans(
    {**_NAMED_ESCAPES, **{c: f"\\x{ord(c):02x}" if ord(c) < 0x100 else f"\\u{ord(c):04x}"
                          for c in _LINE_BREAKS}})
# JSON leaves these raw when it does not escape to ASCII.
JSON_LINE_BREAKS = str.maketrans({c: f"\\u{ord(c):04x}" for c in "\x85\u2028\u2029"})


def unescape_tsv(text: str) -> str:
    """The token text of an escaped TSV field."""
    out = []
    i = 0
    simple = {"\\": "\\", "t": "\t", "n": "\n", "r": "\r", "0": "\0"}
    while i < len(text):
        c = text[i]
        if c != "\\":
            out.append(c)
            i += 1
        elif text[i + 1] in simple:
            out.append(simple[text[i + 1]])
            i += 2
        else:
            width = 2 if text[i + 1] == "x" else 4
            out.append(chr(int(text[i + 2:i + 2 + width], 16)))
            i += 2 + width
    return "".join(out)


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
               "not valid UTF-8, 2 for a wrong command line.")
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
                    "the most frequent of them, over files and every file under folders "
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
    if args.min_len > args.max_len:
        print(f"{PROG}: --min-len {args.min_len} is greater than --max-len {args.max_len}",
              file=sys.stderr)
        return EXIT_USAGE
    settings = Settings(batch_size=args.batch_size, types=args.types, min_len=args.min_len,
                        max_len=args.max_len)
    files = args.files or [STDIN]
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
            for text, types in batches(source, lost):
                count = len(types)
                tokens = split_tokens(text, count)
                names = [TYPE_NAMES[t] for t in types.tolist()]
                if args.format == "tsv":
                    lines = [f"{n}\t{t.translate(TSV_ESCAPES)}\n" for n, t in zip(names, tokens)]
                else:
                    lines = [json.dumps({"type": n, "text": t}, ensure_ascii=False)
                             .translate(JSON_LINE_BREAKS) + "\n" for n, t in zip(names, tokens)]
                out.write("".join(lines))
                if progress.bar is not None:
                    # Bytes of the tokens written: the input read so far, less dropped tokens.
                    nbytes = text_bytes(text, count)
                    read += nbytes
                    progress.advance(nbytes)
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

    report = stats_report(total, args.top, seconds)
    if args.json:
        out.write(json.dumps(report, ensure_ascii=False, indent=2) + "\n")
    else:
        out.write(format_report(report))
    out.flush()
    return EXIT_INPUT if (walk_failed or total.failed or total.lost_batches) else EXIT_OK


def stats_report(stats: Stats, top: int, seconds: float) -> dict[str, object]:
    return {
        "files": stats.files,
        "failed_files": stats.failed,
        "lost_batches": stats.lost_batches,
        "bytes": stats.bytes,
        "tokens": stats.tokens,
        "types": {name: stats.types[name] for name in TYPE_NAMES.values()},
        "words": sum(stats.words.values()),
        "distinct_words": len(stats.words),
        "top": [[word, count] for word, count in stats.top(top)],
        "seconds": round(seconds, 6),
        "bytes_per_second": round(stats.bytes / seconds) if seconds > 0 else 0,
        "tokens_per_second": round(stats.tokens / seconds) if seconds > 0 else 0,
    }


def format_report(r: dict[str, object]) -> str:
    types = r["types"]
    top = r["top"]
    assert isinstance(types, dict) and isinstance(top, list)
    lines = [f"files           {r['files']:>12,}"]
    if r["failed_files"]:
        lines.append(f"  not read      {r['failed_files']:>12,}")
    if r["lost_batches"]:
        lines.append(f"  lost batches  {r['lost_batches']:>12,}")
    lines.append(f"bytes           {r['bytes']:>12,}")
    lines.append(f"tokens          {r['tokens']:>12,}")
    lines += [f"  {name}        {count:>12,}" for name, count in types.items()]
    lines.append(f"words           {r['words']:>12,}")
    lines.append(f"  distinct      {r['distinct_words']:>12,}")
    seconds = r["seconds"]
    bps = r["bytes_per_second"]
    tps = r["tokens_per_second"]
    assert isinstance(seconds, float) and isinstance(bps, int) and isinstance(tps, int)
    lines.append(f"time            {seconds:>12.3f} s")
    lines.append(f"speed           {bps / 1e6:>12.2f} MB/s  {tps / 1e6:.2f} M tokens/s")
    if top:
        lines.append(f"top {len(top)} words")
        width = max(len(word) for word, _ in top)
        lines += [f"  {rank:>4}  {word:<{width}}  {count:>10,}"
                  for rank, (word, count) in enumerate(top, 1)]
    return "\n".join(lines) + "\n"


# ---- main ----

def _progress_for(args: argparse.Namespace, paths: Sequence[str],
                  stdout_matters: bool) -> tuple[bool, int | None, float]:
    enabled, delay = wanted(args.progress, stdout_matters)
    total: int | None = 0
    for path in paths:
        try:
            if path == STDIN:
                raise OSError
            total = (total or 0) + os.stat(path).st_size
        except OSError:
            total = None
            break
    return enabled, total, delay


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    # Tokens are UTF-8 text whatever the locale says.
    out = sys.stdout
    if isinstance(out, io.TextIOWrapper):
        out.reconfigure(encoding="utf-8", errors="strict", newline="\n")
    try:
        if args.command == "tokenize":
            return run_tokenize(args, out)
        return run_stats(args, out)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep the exit from flushing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except MemoryError:
        print(f"{PROG}: out of memory (is --batch-size too large?)", file=sys.stderr)
        return EXIT_INPUT
