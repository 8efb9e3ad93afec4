"""vorlenta: Russian and English text into tokens, with their places in the source, as arrays,
or as word counts; and the vorlenta command. It stands on its own native module; vorlentaCXX,
the batch layer of the same engine, is not needed to run it."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from vorlenta.types import TokenType

if TYPE_CHECKING:
    from vorlenta.datasets import DatasetWarning
    from vorlenta.sources import NotUtf8Warning
    from vorlenta.library import (
        Spans,
        TextSpans,
        Token,
        arrow_token_lists,
        count_words,
        spans,
        token_lists,
        tokenize,
        words,
    )

__all__ = ["DatasetWarning", "NotUtf8Warning", "Spans", "TextSpans", "Token", "TokenType",
           "arrow_token_lists", "count_words", "spans", "token_lists", "tokenize", "words"]

_LIBRARY = {"Spans", "TextSpans", "Token", "arrow_token_lists", "count_words", "spans",
            "token_lists", "tokenize", "words"}


def __getattr__(name: str) -> Any:
    # Loaded on first use, so that the command starts without NumPy and package metadata, and
    # then kept: later uses find it without coming here.
    if name == "NotUtf8Warning":
        from vorlenta.sources import NotUtf8Warning

        globals()[name] = NotUtf8Warning
        return NotUtf8Warning
    if name == "DatasetWarning":
        from vorlenta.datasets import DatasetWarning

        globals()[name] = DatasetWarning
        return DatasetWarning
    if name == "_native":  # the native module, for its scan_path() and the like
        import importlib

        return importlib.import_module("vorlenta._native")
    if name in _LIBRARY:
        from vorlenta import library

        for loaded in _LIBRARY:
            globals()[loaded] = getattr(library, loaded)
        return globals()[name]
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            return version("vorlenta")
        except PackageNotFoundError:  # run from a source tree that was never installed
            return "unknown"
    raise AttributeError(f"module 'vorlenta' has no attribute {name!r}")


def __dir__() -> list[str]:
    # The public names, loaded or not, and the module's own dunders; not what it imports for
    # itself (typing's names, its submodules).
    return sorted({*__all__, "__version__", *(name for name in globals() if name.startswith("__"))})
