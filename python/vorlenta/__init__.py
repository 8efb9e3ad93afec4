"""The vorlenta command-line tool, built on the vorlentaCXX extension."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("vorlentaCXX")
except PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "unknown"
