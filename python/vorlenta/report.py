"""What the command reports: the stats command's counts as a table, as JSON, or as a vocabulary
of word<TAB>count lines; and the warnings and errors of inputs read in pieces, once per input."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, NamedTuple

from vorlenta import _native
from vorlenta.sources import Piece, Utf8Tally, display_name
from vorlenta.stats import Stats
from vorlenta.types import TYPE_NAMES

if TYPE_CHECKING:
    from vorlenta.datasets import DatasetTally
    from vorlenta.progress import Progress

PROG = "vorlenta"


class Ranks(NamedTuple):
    """Which words a report lists: the `top` most frequent (all when 0) of those seen at least
    `min_count` times."""

    top: int = 20
    min_count: int = 1

    def of(self, stats: Stats) -> list[tuple[str, int]]:
        ranked = stats.top(self.top)
        if self.min_count > 1:
            # Most frequent first: the words seen often enough are a prefix.
            kept = next((i for i, (_, count) in enumerate(ranked) if count < self.min_count),
                        len(ranked))
            ranked = ranked[:kept]
        return ranked


def vocabulary(stats: Stats, ranks: Ranks) -> bytes:
    """word<TAB>count lines of the ranked words, most frequent first. A word
    is letters, digits and hyphens, but its bytes need not be UTF-8: those are escaped as in
    tokenize's tab-separated lines (\\xHH)."""
    return b"".join(_native.escaped_field(word.encode("utf-8", "surrogateescape"), "tsv")
                    + b"\t%d\n" % count for word, count in ranks.of(stats))


def _per_second(amount: int, seconds: float) -> int:
    return round(amount / seconds) if seconds > 0 else 0


def _shown(stats: Stats, ranks: Ranks) -> list[tuple[str, int]]:
    # A word holding bytes that are not UTF-8 is shown with those bytes as \xNN escapes.
    return [(display_name(word), count) for word, count in ranks.of(stats)]


def stats_report(stats: Stats, ranks: Ranks, seconds: float | None = None) -> dict[str, object]:
    report: dict[str, object] = {
        "files": stats.files,
        "failed_files": stats.failed,
        "bytes": stats.bytes,
        "tokens": stats.tokens,
        "types": {name: stats.types[name] for name in TYPE_NAMES.values()},
        "words": stats.words,
        "distinct_words": stats.distinct_words,
        "top": [[word, count] for word, count in _shown(stats, ranks)],
    }
    if seconds is not None:
        report["seconds"] = round(seconds, 6)
        report["bytes_per_second"] = _per_second(stats.bytes, seconds)
        report["tokens_per_second"] = _per_second(stats.tokens, seconds)
    return report


def format_report(stats: Stats, ranks: Ranks, seconds: float | None = None,
                  skipped_binary: int = 0) -> str:
    def row(label: str, value: int) -> str:
        return f"{label:<16}{value:>12,}"

    lines = [row("files", stats.files)]
    if skipped_binary:
        lines.append(row("  binary skipped", skipped_binary))
    if stats.failed:
        lines.append(row("  not read whole", stats.failed))
    lines.append(row("bytes", stats.bytes))
    lines.append(row("tokens", stats.tokens))
    lines += [row(f"  {name}", stats.types[name]) for name in TYPE_NAMES.values()]
    lines.append(row("words", stats.words))
    lines.append(row("  distinct", stats.distinct_words))
    if seconds is not None:
        lines.append(f"{'time':<16}{seconds:>12.3f} s")
        lines.append(f"{'speed':<16}{_per_second(stats.bytes, seconds) / 1e6:>12.2f} MB/s  "
                     f"{_per_second(stats.tokens, seconds) / 1e6:.2f} M tokens/s")
    ranked = _shown(stats, ranks)
    if ranked:
        lines.append(f"top {len(ranked)} words")
        width = max(len(word) for word, _ in ranked)
        lines += [f"  {rank:>4}  {word:<{width}}  {count:>10,}"
                  for rank, (word, count) in enumerate(ranked, 1)]
    return "\n".join(lines) + "\n"


class Utf8Tallies:
    """What of each input was not UTF-8, over its pieces, for a warning at the end."""

    def __init__(self) -> None:
        self.by_input: dict[str, Utf8Tally] = {}

    def add(self, piece: Piece, tally: Utf8Tally) -> None:
        self.by_input.setdefault(piece.name, Utf8Tally()).add(tally)

    def warn(self, progress: Progress) -> None:
        for name, tally in self.by_input.items():
            if (warning := tally.warning(name)) is not None:
                progress.message(f"{PROG}: warning: {warning}")


class DatasetTallies:
    """What each dataset's records held, over its pieces: reported once its last piece is in
    (last_pieces), so that a dataset cut for --jobs reports as it would whole."""

    def __init__(self, field: str, last: set[Piece]) -> None:
        self.field = field
        self.last = last
        self.open: dict[str, DatasetTally] = {}

    def add(self, piece: Piece, tally: DatasetTally | None) -> tuple[list[str], list[str]]:
        """(errors, warnings) to report now."""
        if tally is None:
            return [], []
        from vorlenta.datasets import DatasetTally

        total = self.open.setdefault(piece.name, DatasetTally())
        total.add(tally)
        if piece not in self.last and not piece.whole:
            return [], []
        del self.open[piece.name]
        return total.report(piece.name, self.field)


def last_pieces(pieces: Sequence[Piece]) -> set[Piece]:
    """The pieces that end their inputs."""
    return {p for i, p in enumerate(pieces) if i + 1 == len(pieces) or pieces[i + 1].is_first}
