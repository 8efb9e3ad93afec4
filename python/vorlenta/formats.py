"""The output formats of `vorlenta tokenize`: one token per line, whatever its text."""

from __future__ import annotations

import re
from json.encoder import encode_basestring

from vorlenta.sources import TYPE_NAMES, Types, split_tokens

# Backslash and every character that some reader of lines takes for a line break are escaped,
# so that each line is exactly one token and its text can be restored (unescape_tsv).
_NAMED = {"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"}
_LINE_BREAKS = "\x0b\x0c\x1c\x1d\x1e\x85\u2028\u2029"
TSV_ESCAPES = {**_NAMED, **{c: f"\\x{ord(c):02x}" if ord(c) < 0x100 else f"\\u{ord(c):04x}"
                            for c in _LINE_BREAKS}}
_TSV_SPECIAL = re.compile("[" + re.escape("".join(TSV_ESCAPES)) + "]")
# JSON strings keep these raw unless escaped to ASCII; they only occur inside token texts.
_JSON_SPECIAL = re.compile("[\x85\u2028\u2029]")


def _tsv_escape(match: re.Match[str]) -> str:
    return TSV_ESCAPES[match.group()]


def _json_escape(match: re.Match[str]) -> str:
    return f"\\u{ord(match.group()):04x}"


def tsv_lines(text: str, types: Types) -> str:
    """"TYPE<TAB>TEXT" lines of a batch."""
    # One pass over the whole batch; U+0000 is left alone there, as it separates the tokens.
    escaped = _TSV_SPECIAL.sub(_tsv_escape, text)
    tokens = split_tokens(escaped, len(types))
    # No token is empty, so two U+0000 in a row are a U+0000 token and its separator.
    if "\0\0" in escaped:
        tokens = ["\\0" if t == "\0" else t for t in tokens]
    names = [TYPE_NAMES[t] for t in types.tolist()]
    return "".join([f"{n}\t{t}\n" for n, t in zip(names, tokens)])


def jsonl_lines(text: str, types: Types) -> str:
    """{"type": ..., "text": ...} lines of a batch."""
    tokens = split_tokens(text, len(types))
    names = [TYPE_NAMES[t] for t in types.tolist()]
    lines = "".join([f'{{"type": "{n}", "text": {encode_basestring(t)}}}\n'
                     for n, t in zip(names, tokens)])
    return _JSON_SPECIAL.sub(_json_escape, lines)


_UNESCAPE = re.compile(r"\\(?:x([0-9a-f]{2})|u([0-9a-f]{4})|(.))")
_UNNAMED = {"\\": "\\", "t": "\t", "n": "\n", "r": "\r", "0": "\0"}


def unescape_tsv(field: str) -> str:
    """The token text of a TSV line's text field."""
    def one(m: re.Match[str]) -> str:
        code = m[1] or m[2]
        return chr(int(code, 16)) if code else _UNNAMED[m[3]]
    return _UNESCAPE.sub(one, field)
