"""The native reader of JSON Lines records against Python's own json: a line is a record exactly
when json.loads reads it, and its field's string is the str json gives, lone surrogates
included."""

import codecs
import json

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

from vorlenta import _native

FIELD = "text"

scalars = (st.none() | st.booleans() | st.integers(-10**30, 10**30)
           | st.floats(allow_nan=True, allow_infinity=True)
           | st.text(st.characters(codec="utf-8") | st.sampled_from("\ud800\udfff\"\\\n\0")))
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4)
                      | st.dictionaries(st.sampled_from([FIELD, "id", "t\u00e9xt", ""]) | st.text(max_size=3),
                                        inner, max_size=4), max_leaves=12)


def rendered(value, ascii_only):
    return json.dumps(value, ensure_ascii=ascii_only).encode("utf-8", "surrogatepass")


@st.composite
def lines(draw):
    """A JSON record, or one damaged: bytes cut, inserted or changed, a mark before it."""
    record = draw(st.dictionaries(st.sampled_from([FIELD, "id", "meta"]), values, max_size=4)
                  | values)
    line = rendered(record, draw(st.booleans()))
    damage = draw(st.sampled_from(["none", "none", "cut", "insert", "change", "mark", "space"]))
    if damage in ("cut", "insert", "change") and line:
        at = draw(st.integers(0, len(line) - 1))
        junk = draw(st.binary(min_size=1, max_size=3).filter(lambda b: b"\n" not in b))
        line = {"cut": line[:at], "insert": line[:at] + junk + line[at:],
                "change": line[:at] + junk + line[at + 1:]}[damage]
    elif damage == "mark":
        line = codecs.BOM_UTF8 + line
    elif damage == "space":
        line = b" \t\r" + line + b"\r \x0c"[:draw(st.integers(0, 2))]
    return line


def expected(line):
    """What Python's json makes of a line: blank, bad, no field, not a string, or the str."""
    if not line.strip():
        return "blank"
    try:
        value = json.loads(line)
    except (ValueError, RecursionError):
        return "bad"
    if not isinstance(value, dict) or FIELD not in value:
        return "no field"
    return value[FIELD] if isinstance(value[FIELD], str) else "not a string"


def read(chunk):
    texts, stats = _native.json_texts(chunk, FIELD)
    offsets, data = np.asarray(texts.offsets), bytes(np.asarray(texts.data))
    valid = None if texts.validity is None else np.unpackbits(
        np.asarray(texts.validity), bitorder="little")
    got = [data[offsets[i]:offsets[i + 1]].decode("utf-8", "surrogatepass")
           if valid is None or valid[i] else None for i in range(texts.length)]
    return got, stats


@settings(max_examples=500)
@given(st.lists(lines(), min_size=1, max_size=8))
def test_each_line_is_what_pythons_json_reads(chunk_lines):
    got, (n, records, with_field, skipped, bad, first_bad, _, _) = read(
        b"".join(line + b"\n" for line in chunk_lines))
    wanted = [expected(line) for line in chunk_lines]
    assert n == len(chunk_lines)
    assert got == [w if w not in ("blank", "bad", "no field", "not a string") else None
                   for w in wanted]
    assert bad == wanted.count("bad")
    assert first_bad == (wanted.index("bad") if bad else -1)
    assert records == len(wanted) - bad - wanted.count("blank")
    assert with_field == records - wanted.count("no field")
    assert skipped == records - sum(w not in ("blank", "bad", "no field", "not a string")
                                    for w in wanted)


def test_what_orjson_refuses_and_deep_nesting():
    cases = [(b'{"text": "a\\ud800b", "text": "last"}', "last"),
             (b'{"text": "\\ud83d\\ude00 \\udc00\\ud800"}', "\U0001f600 \udc00\ud800"),
             (b'{"n": NaN, "m": -Infinity, "big": 1e999999, "text": "x"}', "x"),
             (b'[' * 900 + b']' * 900, None), (b'{"text": "tab\there"}', None),
             (b'{"text": "\xff"}', None), (b'{"text": 1.}', None), (b'{"text": 01}', None)]
    got, stats = read(b"\n".join(line for line, _ in cases))
    assert got == [text for _, text in cases]
    assert stats[4] == 4 and "not UTF-8" in read(cases[5][0])[1][6]
    # Nesting a thousand deep is read; deeper is not.
    assert [read(b'[' * depth + b']' * depth)[1][4] for depth in (999, 1001)] == [0, 1]
