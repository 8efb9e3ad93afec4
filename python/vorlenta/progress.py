"""The progress bar on standard error, counted in input bytes."""

from __future__ import annotations

import os
import sys
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from tqdm import tqdm

# Short runs finish before the bar would appear.
AUTO_DELAY_SECONDS = 0.5


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
