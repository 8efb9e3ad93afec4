"""Reading back the output of `vorlenta tokenize`, whose lines the native writer makes.

In tab-separated text a token's backslash, tab, line breaks and U+0000 are escaped
(\\\\ \\t \\n \\r \\0; \\x0b \\x0c \\x1c \\x1d \\x1e; \\u0085 \\u2028 \\u2029), so that every line is
one token; the file column is escaped the same way. Bytes that are not well-formed UTF-8 are
written as \\xHH with HH from 80 up; in JSON Lines they are the same four characters (a
JSON-escaped backslash, then xHH), in the text and in the file's name.
"""

from __future__ import annotations

import re

# A backslash and what follows it: \xHH, \uHHHH, a named escape, or anything else (a bad
# escape, as is a backslash that ends the field).
_UNESCAPE = re.compile(r"\\(?:x([0-9a-fA-F]{2})|u([0-9a-fA-F]{4})|(.|\Z))", re.DOTALL)
_UNNAMED = {"\\": "\\", "t": "\t", "n": "\n", "r": "\r", "0": "\0"}


def unescape_tsv(field: str) -> str:
    """The text of a TSV line's text field or file column (a path comes back as os.fsdecode
    gives it); bytes that are not UTF-8 come back as lone surrogates, as
    errors="surrogateescape" gives them. ValueError for an escape the writer never makes."""
    def one(m: re.Match[str]) -> str:
        if m[1]:
            value = int(m[1], 16)
            return chr(value if value < 0x80 else 0xDC00 + value)
        if m[2]:
            return chr(int(m[2], 16))
        if m[3] in _UNNAMED:
            return _UNNAMED[m[3]]
        raise ValueError(f"bad escape {m[0]!r} at {m.start()} in {field!r}")
    return _UNESCAPE.sub(one, field)
