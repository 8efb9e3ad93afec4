"""vorlenta: tokenize Russian and English text, or count its tokens and words, from the shell."""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Sequence
from types import FrameType
from typing import TYPE_CHECKING, NamedTuple

import vorlenta
from vorlenta import _native
from vorlenta.constants import BATCH_SIZE, MAX_U32
from vorlenta.output import LineSettings, SpillFolder, copy_out, write_all, write_piece
from vorlenta.report import (
    DatasetTallies,
    Ranks,
    Utf8Tallies,
    format_report,
    last_pieces,
    stats_report,
    vocabulary,
)
from vorlenta.types import ALL_TYPES, TYPE_NAMES, type_mask

from vorlenta.progress import Progress, wanted
from vorlenta.streams import AUTO, COMPRESSIONS
from vorlenta.sources import (
    INPUT_FORMATS,
    STDIN,
    STDIN_NAME,
    FileChoice,
    FileId,
    Piece,
    Settings,
    Utf8Tally,
    binary_note,
    display_name,
    input_paths,
    named_file_id,
    pieces,
    regular_file_id,
)
from vorlenta.cores import worker_count
from vorlenta.stats import (
    PieceResult,
    Stats,
    count_piece,
    WORKER_THREAD,
    WorkerFailed,
    in_threads,
)

if TYPE_CHECKING:
    from vorlenta.datasets import DatasetTally

EXIT_OK = 0
EXIT_INPUT = 1  # an input could not be read whole
EXIT_USAGE = 2
EXIT_OUTPUT = 3  # the output could not be written
EXIT_WORKER = 4  # a worker failed
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
    try:
        mask = type_mask([part for part in text.split(",") if part.strip()])
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    if mask == 0:
        raise argparse.ArgumentTypeError("no type given")
    return mask


def _encoding(name: str) -> str:
    # The streams' own check, so that an encoding they would refuse never gets past the parser.
    from vorlenta.streams import text_encoding

    try:
        return text_encoding(name)
    except LookupError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _dask_address(text: str) -> str:
    # local:N is checked here, without loading Dask; another address is the scheduler's to answer.
    if text.startswith("local:"):
        _count(1, 1024)(text.removeprefix("local:"))
    return text


class _Version(argparse.Action):
    """--version, looking the version up only when asked: package metadata is slow to load."""

    def __call__(self, parser: argparse.ArgumentParser, *_: object) -> None:
        print(f"{PROG} {vorlenta.__version__}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Tokenize Russian and English UTF-8 text, or count its tokens and words.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=_wrapped(f"Token types: {', '.join(TYPE_NAMES.values())}. Exit status: 0 when every "
                        "input was read whole, 1 when an input could not be read whole, 2 for "
                        "a wrong command line or an input that is the output, 3 when the "
                        "output could not be written, 4 when a worker failed, 130 when "
                        "interrupted, 141 when the reader of the output went away (| head), "
                        "143 and 129 when stopped by SIGTERM and SIGHUP.")
        + _examples(("vorlenta tokenize book.txt | head",
                     "print the first tokens of a file"),
                    ("vorlenta stats --lower --top 10 corpus/",
                     "the 10 most frequent words of a folder's files")))
    parser.add_argument("--version", action=_Version, nargs=0, help="show the version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("paths", nargs="*", metavar="PATH",
                        help="a file, a folder (its files, names starting with a dot skipped) "
                             "or - for standard input; standard input when none is given. "
                             "Files ending in .jsonl, .ndjson (compressed too: .jsonl.gz) or "
                             ".parquet are datasets: each record's --field is a text")
    common.add_argument("--include", action="append", default=[], metavar="GLOB",
                        help="in folders, read only the files whose name or path inside the "
                             "folder matches GLOB (repeatable), e.g. '*.txt'")
    common.add_argument("--exclude", action="append", default=[], metavar="GLOB",
                        help="in folders, pass over the files that match GLOB (repeatable). "
                             "Files that look binary (a NUL byte in the first 8 KiB) are passed "
                             "over too, each with a note; a file named is always read")
    common.add_argument("--types", type=_types, default=ALL_TYPES, metavar="TYPE,...",
                        help="only tokens of these types, e.g. ENWORD,RUWORD")
    common.add_argument("--min-len", type=_count(0, MAX_U32), default=0, metavar="N",
                        help="only tokens of at least N characters")
    common.add_argument("--max-len", type=_count(0, MAX_U32), default=MAX_U32, metavar="N",
                        help="only tokens of at most N characters")
    common.add_argument("--lower", action="store_true",
                        help="lower-case the letters of A-Z, А-Я and Ё")
    hyphens = common.add_mutually_exclusive_group()
    hyphens.add_argument("--keep-hyphens", dest="split_hyphens", action="store_false",
                         help="keep a word's trailing hyphen that joins nothing on the word "
                              "(to--but gives: to-, -, but); by default it is a PNCTTN token of "
                              "its own (to, -, -, but), and --types and the lengths apply to "
                              "the pieces")
    # The default since the hyphen was split by default; kept for the scripts that pass it.
    hyphens.add_argument("--split-hyphens", dest="split_hyphens", action="store_true",
                         help=argparse.SUPPRESS)
    common.set_defaults(split_hyphens=True)
    common.add_argument("--jobs", type=_count(0, 1024), default=0, metavar="N",
                        help="work in N threads, large files cut at line feeds (default 0: "
                             "one per CPU)")
    common.add_argument("--encoding", type=_encoding, metavar="NAME",
                        help="the inputs' encoding when it is not UTF-8, e.g. cp1251, koi8-r; "
                             "auto: each input's own, found in its first 64 KiB (UTF-8, "
                             "cp1251, koi8-r, cp866, mac-cyrillic, UTF-16 with a BOM)")
    common.add_argument("--decompress", choices=COMPRESSIONS, metavar="FORMAT",
                        help="decompress standard input: gzip, bz2, xz or zstd (files go by "
                             "their suffix: .gz .bz2 .xz .zst)")
    common.add_argument("--input-format", choices=INPUT_FORMATS, metavar="FORMAT",
                        help="read every input as text, jsonl (JSON Lines), parquet, csv or tsv "
                             "(with a header), whatever its name (default: by suffix; standard "
                             "input is text)")
    common.add_argument("--field", default="text", metavar="NAME",
                        help="the field of a dataset's records that holds the text (default "
                             "%(default)s); records without a string there are skipped")
    common.add_argument("--batch-size", type=_count(1, MAX_U32), default=BATCH_SIZE,
                        metavar="N", help="tokens per native batch (default %(default)s)")
    common.add_argument("--json", action="store_true",
                        help="JSON output: --format jsonl for tokenize, --format json for stats")
    common.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="show a progress bar on standard error (default: when it is a "
                             "terminal)")

    tokenize = commands.add_parser(
        "tokenize", parents=[common], help="print the tokens, one per line",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=_examples(
            ("vorlenta tokenize --types RUWORD,ENWORD --lower book.txt.gz",
             "the words of a compressed file, lower-cased, one per line"),
            ("vorlenta tokenize --format words --encoding auto -o corpus.txt texts/",
             "a word2vec corpus from a folder whatever its files' encodings")),
        description="Print the tokens of each input, one per line: the type, a tab and the "
                    r"text. In the text, backslash, tab, line breaks and U+0000 are escaped "
                    r"(\\ \t \n \r \0, others as \xHH or \uHHHH), and bytes that are not UTF-8 "
                    r"are \xHH.")
    tokenize.add_argument("-o", "--output", metavar="FILE",
                          help="write to FILE instead of standard output")
    tokenize.add_argument("--format", choices=["tsv", "jsonl", "words"], default=None,
                          help='tsv (default); jsonl: {"type": ..., "text": ...} per line; '
                               "words: one line per line of text (per record of a dataset), "
                               "its tokens but spaces and line feeds separated by a space, as "
                               "word2vec and fastText read them")
    tokenize.add_argument("--offsets", action="store_true",
                          help="add each token's start and stop byte offsets in its input (in "
                               "a dataset: in its record's text, after the record's number)")
    names = tokenize.add_mutually_exclusive_group()
    names.add_argument("--with-filename", "-H", dest="filename", action="store_true",
                       default=None, help="add the input's name to each line (the default "
                                          "with several inputs)")
    names.add_argument("--no-filename", dest="filename", action="store_false",
                       help="never add the input's name")

    stats = commands.add_parser(
        "stats", parents=[common], help="count tokens per type and the most frequent words",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=_examples(
            ("vorlenta stats --per-file --encoding auto corpus/",
             "counts of each file and of all, each file read in its own encoding"),
            ("vorlenta stats --lower --top 0 --format tsv wiki.jsonl > vocabulary.tsv",
             "every word of a JSON Lines dataset's texts with its count")),
        description="Count the tokens of each type, the words (ENWORD and RUWORD tokens) and "
                    "the most frequent of them.")
    stats.add_argument("--top", type=_count(0, 2**31), default=20, metavar="N",
                       help="show the N most frequent words, 0 for all (default %(default)s)")
    stats.add_argument("--min-count", type=_count(1, 2**63), default=1, metavar="N",
                       help="show only words seen at least N times (default 1)")
    stats.add_argument("--per-file", action="store_true", help="add a table for each file")
    stats.add_argument("--format", choices=["text", "json", "tsv"], dest="stats_format",
                       help="text (default), json, or tsv: word<TAB>count lines of the --top "
                            "words, a vocabulary (--top 0: all of them)")
    stats.add_argument("--dask", type=_dask_address, metavar="ADDRESS",
                       help="count on a Dask cluster: a scheduler's address (tcp://host:8786), "
                            "or local:N for N worker processes here; files and folders only, "
                            "large files cut into blocks (needs the extra dask)")
    for command in (tokenize, stats):
        # Its own errors print its own usage.
        command.set_defaults(command_parser=command)
    return parser


def _wrapped(text: str) -> str:
    import textwrap

    return textwrap.fill(text, 79)


def _examples(*examples: tuple[str, str]) -> str:
    lines = "".join(f"\n  {command}\n      {what}" for command, what in examples)
    return f"\n\nexamples:{lines}"


def _settings(args: argparse.Namespace) -> Settings:
    return Settings(batch_size=args.batch_size, types=args.types, min_len=args.min_len,
                    max_len=args.max_len, lower=args.lower, encoding=args.encoding,
                    decompress=args.decompress, input_format=args.input_format,
                    field=args.field, split_hyphens=args.split_hyphens,
                    words=args.command == "tokenize" and args.format == "words")


class Inputs(NamedTuple):
    paths: list[str]
    pieces: list[Piece]
    walk_failed: bool
    skipped_binary: int = 0  # files of folders passed over as binary


class OutputIsInput(Exception):
    """A named input is the file the output goes to: the run would read back what it writes,
    or destroy the input before reading it."""


def _inputs(args: argparse.Namespace, settings: Settings, jobs: int,
            output: FileId | None) -> Inputs:
    """The inputs and their pieces. The output file, when it is one (`output`), is never read:
    a folder's walk passes over it, and naming it raises OutputIsInput."""
    failed = False

    def walk_error(message: str) -> None:
        nonlocal failed
        failed = True
        print(f"{PROG}: {message}", file=sys.stderr)

    named = args.paths or [STDIN]
    if output is not None:
        for path in named:
            if named_file_id(path) == output:
                raise OutputIsInput(STDIN_NAME if path == STDIN else display_name(path))
    binary = 0

    def on_binary(path: str) -> None:
        nonlocal binary
        binary += 1
        print(f"{PROG}: note: {binary_note(path)}", file=sys.stderr)

    choice = FileChoice(tuple(args.include), tuple(args.exclude))
    paths = list(input_paths(named, walk_error, output, choice, settings, on_binary))
    cut = [piece for path in paths for piece in pieces(path, jobs, settings)]
    return Inputs(paths, cut, failed, binary)


def _progress(args: argparse.Namespace, settings: Settings, inputs: Inputs,
              stdout_matters: bool) -> Progress:
    """A bar over the input bytes: their total when it is known before reading (not for
    compressed or transcoded inputs, whose size on disk is not what they yield)."""
    enabled, delay = wanted(args.progress, stdout_matters)
    sizes = [piece.size for piece in inputs.pieces]
    # A Parquet file is read in part: the columns asked for, and its footer.
    transformed = settings.encoding is not None or any(
        piece.compression or piece.format == "parquet"
        for piece in inputs.pieces)
    total = None if transformed or None in sizes else sum(s or 0 for s in sizes)
    return Progress(enabled, total, delay)


# ---- tokenize ----

def run_tokenize(args: argparse.Namespace, settings: Settings, jobs: int, inputs: Inputs,
                 out_fd: int) -> int:
    with_filename = args.filename if args.filename is not None else len(inputs.paths) > 1
    lines = LineSettings(args.format, args.offsets, with_filename)
    progress = _progress(args, settings, inputs, stdout_matters=args.output is None)
    failed = inputs.walk_failed
    output = _native.Output(out_fd)
    utf8 = Utf8Tallies()
    datasets = DatasetTallies(settings.field, last_pieces(inputs.pieces))

    def report(piece: Piece, messages: list[str], tally: Utf8Tally,
               dataset: DatasetTally | None = None) -> None:
        nonlocal failed
        errors, warnings = datasets.add(piece, dataset)
        for message in [*messages, *errors]:
            failed = True
            progress.message(f"{PROG}: {message}")
        for warning in warnings:
            progress.message(f"{PROG}: warning: {warning}")
        utf8.add(piece, tally)

    try:
        parallel = [p for p in inputs.pieces if p.path != STDIN]
        with contextlib.ExitStack() as stack:
            done = None
            warned = False
            if jobs > 1 and len(parallel) > 1:
                # Workers write their pieces' lines to files of their own, which are copied
                # out in the inputs' order; standard input is read here, in its turn.
                spills = SpillFolder()
                # The first input's first piece has nothing before it: it goes straight out.
                first_out = parallel[0] is inputs.pieces[0]
                done = stack.enter_context(contextlib.closing(in_threads(
                    spills.write,
                    [(p, settings, lines, output if i == 0 and first_out else None)
                     for i, p in enumerate(parallel)], jobs)))
            for piece in inputs.pieces:
                if done is None or piece.path == STDIN:
                    report(piece, *write_piece(piece, settings, lines, output, progress.advance))
                    continue
                spilled = next(done)
                if not spilled.written:
                    # Everything before this piece is out, so it is written here, in its turn.
                    if not warned:
                        warned = True
                        error = spills.error
                        progress.message(
                            f"{PROG}: warning: the temporary folder {spills.path} (TMPDIR) "
                            f"cannot hold the pieces of --jobs "
                            f"({error.strerror if error else 'failed'}): the rest is written "
                            "by one job")
                    report(piece, *write_piece(piece, settings, lines, output, progress.advance))
                    continue
                output.flush()
                if spilled.file is not None:
                    copy_out(spilled.file, out_fd)
                progress.advance(piece.size or 0)
                report(piece, spilled.messages, spilled.utf8, spilled.dataset)
        output.flush()
        utf8.warn(progress)
    finally:
        progress.close()
    return EXIT_INPUT if failed else EXIT_OK


# ---- stats ----

def run_stats(args: argparse.Namespace, settings: Settings, jobs: int, inputs: Inputs,
              out_fd: int) -> int:
    progress = _progress(args, settings, inputs, stdout_matters=False)
    total = Stats()
    # In the inputs' order, whatever order the workers finish in.
    per_file = {piece.name: Stats() for piece in inputs.pieces} if args.per_file else {}
    encodings: dict[str, str] = {}
    utf8 = Utf8Tallies()
    datasets = DatasetTallies(settings.field, last_pieces(inputs.pieces))

    not_whole = inputs.walk_failed
    failure_counted = False  # for the input whose pieces come now

    def take(piece: Piece, result: PieceResult) -> None:
        nonlocal not_whole, failure_counted
        # An input's pieces come one after another, its first starting at 0; it is one input
        # not read whole however many of them fail.
        if piece.is_first:
            failure_counted = False
        errors, warnings = datasets.add(piece, result.dataset)
        if result.stats.failed or errors:
            result.stats.failed = int(not failure_counted)
            failure_counted = True
        for message in [*result.messages, *errors]:
            # Also a later piece of a file whose first piece was read: not read whole.
            not_whole = True
            progress.message(f"{PROG}: {message}")
        for warning in warnings:
            progress.message(f"{PROG}: warning: {warning}")
        utf8.add(piece, result.utf8)
        total.add(result.stats)
        if result.encoding is not None:
            encodings.setdefault(piece.name, result.encoding)
        if args.per_file:
            per_file[piece.name].add(result.stats)

    start = time.perf_counter()
    try:
        parallel = [p for p in inputs.pieces if p.path != STDIN]
        rest = inputs.pieces
        if args.dask is not None:
            from vorlenta.dask import cluster_stats

            with contextlib.closing(cluster_stats(args.dask, inputs.paths, settings)) as counted:
                for piece, result in counted:
                    take(piece, result)
                    progress.advance(piece.size or 0)
            rest = []
        elif jobs > 1 and len(parallel) > 1:
            with contextlib.closing(in_threads(count_piece, [(p, settings) for p in parallel],
                                               jobs)) as results:
                for piece in parallel:
                    take(piece, next(results))
                    progress.advance(piece.size or 0)
            rest = [p for p in inputs.pieces if p.path == STDIN]
        for piece in rest:
            take(piece, count_piece(piece, settings, progress.advance))
        utf8.warn(progress)
    finally:
        progress.close()
    seconds = time.perf_counter() - start

    ranks = Ranks(args.top, args.min_count)
    if args.stats_format == "tsv":
        write_all(out_fd, vocabulary(total, ranks))
        return EXIT_INPUT if not_whole else EXIT_OK
    # With --encoding auto, the report says which encoding each input was found in.
    found = encodings if settings.encoding == AUTO else None
    if args.stats_format == "json":
        report = stats_report(total, ranks, seconds)
        report["skipped_binary"] = inputs.skipped_binary
        if found is not None:
            report["encodings"] = found
        if args.per_file:
            tables = {name: stats_report(s, ranks) for name, s in per_file.items()}
            for name, encoding in (found or {}).items():
                tables[name]["encoding"] = encoding
            report["per_file"] = tables
        import json
        text = json.dumps(report, ensure_ascii=False, indent=2) + "\n"
    else:
        text = format_report(total, ranks, seconds, inputs.skipped_binary)
        for name, stats in per_file.items():
            encoding = f"  ({found[name]})" if found and name in found else ""
            text += f"\n{name}{encoding}\n" + format_report(stats, ranks)
    write_all(out_fd, text.encode("utf-8", "surrogateescape"))
    return EXIT_INPUT if not_whole else EXIT_OK


# ---- main ----

def _drop_output(fd: int) -> None:
    """Nothing more can be written there: later writes go nowhere instead of failing again."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, fd)
    os.close(devnull)


class Stopped(BaseException):
    """SIGTERM or SIGHUP: the run unwinds as for Ctrl-C, and the status is 128 + the signal."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _stop(signum: int, frame: FrameType | None) -> None:
    # Another one while the run unwinds ends the process at once.
    signal.signal(signum, signal.SIG_DFL)
    raise Stopped(signum)


def main(argv: Sequence[str] | None = None) -> int:
    if threading.current_thread() is threading.main_thread():
        for signum in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, _stop)
    status = _main(argv)
    if any(thread.name == WORKER_THREAD and thread.is_alive() for thread in threading.enumerate()):
        # Workers still inside native code (after Ctrl-C or an error) would wake up in an
        # interpreter that is shutting down: the process ends here instead.
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(OSError, ValueError):
                stream.flush()
        os._exit(status)
    return status


def _check_formats(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Options that the output format has no room for are a wrong command line."""
    if args.command == "stats":
        if args.json and args.stats_format not in (None, "json"):
            parser.error(f"--json and --format {args.stats_format} ask for two formats")
        args.stats_format = "json" if args.json else args.stats_format or "text"
        if args.stats_format == "tsv" and args.per_file:
            parser.error("--format tsv is one vocabulary: it has no --per-file tables")
        return
    if args.json:
        if args.format not in (None, "jsonl"):
            parser.error(f"--json and --format {args.format} ask for two formats")
        args.format = "jsonl"
    args.format = args.format or "tsv"
    if args.format == "words":
        # A line is a text's words: a column would be taken for a word.
        if args.offsets:
            parser.error("--format words has no --offsets")
        if args.filename:
            parser.error("--format words has no file column (--with-filename)")


def _main(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    command_parser = args.command_parser
    if args.min_len > args.max_len:
        command_parser.error(f"--min-len {args.min_len} is greater than --max-len "
                             f"{args.max_len}")
    _check_formats(command_parser, args)
    if getattr(args, "dask", None) is not None:
        if STDIN in (args.paths or [STDIN]):
            command_parser.error("--dask reads files and folders, not standard input")
        try:
            import vorlenta.dask  # noqa: F401
        except ImportError as e:
            command_parser.error(str(e))
    out_fd = 1
    output = getattr(args, "output", None)
    created = False
    try:
        if output is not None:
            # Not truncated yet: the output may turn out to be an input.
            try:
                out_fd = os.open(output, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
                created = True
            except FileExistsError:
                out_fd = os.open(output, os.O_WRONLY)
        else:
            os.fstat(1)
    except OSError as e:
        what = (f"{display_name(output)}: {e.strerror}" if output is not None
                else "standard output is closed")
        print(f"{PROG}: cannot write the output: {what}", file=sys.stderr)
        return EXIT_OUTPUT
    try:
        settings = _settings(args)
        jobs = worker_count(args.jobs)
        out_file = regular_file_id(out_fd)
        try:
            inputs = _inputs(args, settings, jobs, out_file)
        except OutputIsInput as e:
            where = f"-o {display_name(output)}" if output is not None else "standard output"
            print(f"{PROG}: {e}: input file is output file ({where})", file=sys.stderr)
            if output is not None and created:
                os.unlink(output)
            return EXIT_USAGE
        if output is not None and not created and out_file is not None:
            os.ftruncate(out_fd, 0)
        if args.command == "tokenize":
            return run_tokenize(args, settings, jobs, inputs, out_fd)
        return run_stats(args, settings, jobs, inputs, out_fd)
    except KeyboardInterrupt:
        # Another Ctrl-C while the exit flushes and joins ends the process at once, quietly.
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        return EXIT_INTERRUPTED
    except Stopped as e:
        return 128 + e.signum
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly.
        _drop_output(out_fd)
        return EXIT_BROKEN_PIPE
    except WorkerFailed as e:
        print(f"{PROG}: a worker failed: {e}", file=sys.stderr)
        return EXIT_WORKER
    except OSError as e:
        # Only writing raises here: inputs that cannot be read are reported as they come.
        print(f"{PROG}: cannot write the output: {e.strerror or e}", file=sys.stderr)
        _drop_output(out_fd)
        return EXIT_OUTPUT
    except MemoryError:
        print(f"{PROG}: out of memory (is --batch-size too large?)", file=sys.stderr)
        return EXIT_INPUT
