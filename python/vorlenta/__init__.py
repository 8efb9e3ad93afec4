"""vorlenta: Russian and English text into tokens, with their places in the source, as arrays,
or as word counts; and the vorlenta command. vorlentaCXX is the low-level batch layer below."""

from importlib.metadata import PackageNotFoundError, version

from vorlentaCXX import TokenType

from vorlenta.library import Spans, Token, count_words, spans, tokenize

try:
    __version__ = version("vorlentaCXX")
except PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "unknown"

__all__ = ["Spans", "Token", "TokenType", "count_words", "spans", "tokenize"]
