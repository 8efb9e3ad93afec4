"""The batch loop's paths as sources/scan_paths.txt lists them, fastest first: the bench times
them, the tests force each, and both read the list here."""

from __future__ import annotations

import re
from pathlib import Path
from typing import NamedTuple

ROOT = Path(__file__).resolve().parents[1]
SCAN_PATHS_FILE = ROOT / "sources" / "scan_paths.txt"
# As CMakeLists.txt reads a line, so that a line the build refuses is refused here too.
LINE = re.compile(r"([a-z0-9]+)[ \t]+([0-9]+(?:\.[0-9]+)?)[ \t]+(\S+)[ \t]*")


class ScanPathLine(NamedTuple):
    name: str
    mbps: float  # the figure that ranks it
    callgrind_cannot_run: str | None  # the instruction set valgrind hides, if it needs one


def scan_path_lines(file: Path = SCAN_PATHS_FILE) -> list[ScanPathLine]:
    """The lines in their order, comments and blank lines left out."""
    lines = []
    for number, line in enumerate(file.read_text(encoding="utf-8").splitlines(), 1):
        if re.match(r"\s*(#|$)", line):
            continue
        if not (match := LINE.fullmatch(line)):
            raise ValueError(f"{file}:{number}: {line!r} is not a path's name, its MB/s and "
                             "what callgrind cannot run of it (or -)")
        name, mbps, cannot = match.groups()
        lines.append(ScanPathLine(name, float(mbps), None if cannot == "-" else cannot))
    if not lines:
        raise ValueError(f"{file} lists no path")
    return lines
