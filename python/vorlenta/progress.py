"""The progress bar on standard error, counted in input bytes, and the loops that report them."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from tqdm import tqdm

# Short runs finish before the bar would appear.
AUTO_DELAY_SECONDS = 0.5
# Batches of a native call between two reports: a few megabytes of text.
BATCHES_PER_REPORT = 16


class Reported:
    """How far an input's bytes have been told to `on_bytes` (None: to no one); each report
    tells it the bytes since the one before."""

    def __init__(self, start: int, on_bytes: Callable[[int], None] | None) -> None:
        self.position = start
        self._on_bytes = on_bytes

    def up_to(self, position: int) -> None:
        if self._on_bytes is not None:
            self._on_bytes(position - self.position)
        self.position = position

    def each_call(self, call: Callable[[], tuple[int, bool]]) -> None:
        """Runs a native call of BATCHES_PER_REPORT batches, which returns how far it read and
        whether the input is used up, until it is, reporting after each."""
        done = False
        while not done:
            position, done = call()
            self.up_to(position)


def _columns() -> int:
    try:
        return os.get_terminal_size(sys.stderr.fileno()).columns
    except (OSError, ValueError):
        return 0


class Progress:
    """A bar when `enabled`, else nothing; messages go through it so they do not tear it."""

    def __init__(self, enabled: bool, total: int | None, delay: float) -> None:
        self.bar: tqdm[Any] | None = None
        if enabled:
            from tqdm import tqdm

            # MB, as the report's speed counts them. A terminal whose size was never set says
            # it has 0 columns, where a bar would draw nothing.
            sized = _columns() > 0
            self.bar = tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1000,
                            file=sys.stderr, delay=delay, leave=False, dynamic_ncols=sized,
                            ncols=None if sized else 80)

    def advance(self, nbytes: int) -> None:
        if self.bar is not None and nbytes > 0:
            self.bar.update(nbytes)

    def message(self, text: str) -> None:
        if self.bar is not None:
            self.bar.write(text, file=sys.stderr)
        else:
            print(text, file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def wanted(option: bool | None, stdout_matters: bool) -> tuple[bool, float]:
    """Whether to draw a bar, and after what delay.

    By default there is a bar only when standard error is a terminal and, for output written to
    standard output, when that is not the same screen, where the bar would tear the output.
    """
    if option is not None:
        return option, 0.0
    shown = sys.stderr.isatty() and not (stdout_matters and sys.stdout.isatty())
    return shown, AUTO_DELAY_SECONDS
