"""Trailing hyphens released: by default (split_hyphens=True; --keep-hyphens and
split_hyphens=False keep them), a word's last hyphen that joins nothing is a PNCTTN token of its
own, at its exact place, and the types and lengths asked for apply to the pieces; every function
and the command give the same pieces."""

import json
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest
from hypothesis import given, strategies as st

import oracle
import vorlenta
from vorlenta import TokenType
from strategies import filters, ill_formed, lengths, well_formed

ENWORD, RUWORD, PNCTTN = TokenType.ENWORD, TokenType.RUWORD, TokenType.PNCTTN
WORD_TYPES = ENWORD | RUWORD | TokenType.NUMBER
SCRIPT = Path(sys.executable).with_name("vorlenta")

PIECES = {
    "a--b": [("a", ENWORD), ("-", PNCTTN), ("-", PNCTTN), ("b", ENWORD)],
    "a-": [("a", ENWORD), ("-", PNCTTN)],
    "a-\n": [("a", ENWORD), ("-", PNCTTN), ("\n", TokenType.NWLINE)],
    "ёж--б": [("ёж", RUWORD), ("-", PNCTTN), ("-", PNCTTN), ("б", RUWORD)],
    "a-b-1-": [("a-b-1", ENWORD), ("-", PNCTTN)],
}


def command(*args, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([str(SCRIPT), *map(str, args)], capture_output=True, timeout=120,
                          check=True, **kwargs)


def characters(token, from_bytes: bool) -> int:
    """A token's length as the tokenizer counts it: a word from bytes is read by the plain
    model's reader (two ill-formed bytes can make one letter); any other token is one
    character, also where its text holds several surrogate escapes of bytes."""
    if not token.type & WORD_TYPES:
        return 1
    if not from_bytes:
        return len(token.text)
    reader = oracle.Reader()
    return sum(oracle.read_byte(reader, b) for b in token.text.encode("utf-8", "surrogateescape"))


def split_by_hand(tokens, from_bytes=True, types=2**64 - 1, min_len=0, max_len=None):
    """The default tokens with each word ending in a hyphen cut in two, then filtered."""
    pieces = []
    for t in tokens:
        if t.type & WORD_TYPES and t.text.endswith("-"):
            pieces += [vorlenta.Token(t.text[:-1], t.type, t.start, t.stop - 1),
                       vorlenta.Token("-", PNCTTN, t.stop - 1, t.stop)]
        else:
            pieces.append(t)
    high = 2**32 if max_len is None else max_len
    return [t for t in pieces
            if t.type & types and min_len <= characters(t, from_bytes) <= high]


@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
@pytest.mark.parametrize("text", PIECES)
def test_pieces_lie_where_the_hyphen_and_the_word_are(text, as_bytes):
    source = text.encode() if as_bytes else text
    tokens = vorlenta.tokenize(source, split_hyphens=True)
    assert [(t.text, t.type) for t in tokens] == PIECES[text]
    # str indexes for a str, byte offsets for bytes; nothing filtered, so the places tile it.
    assert [t.start for t in tokens[1:]] == [t.stop for t in tokens[:-1]]
    assert (tokens[0].start, tokens[-1].stop) == (0, len(source))
    for t in tokens:
        piece = source[t.start:t.stop]
        assert (piece.decode() if as_bytes else piece) == t.text
    assert tokens == vorlenta.tokenize(source)  # the default
    assert any(t.text.endswith("-") and t.type != PNCTTN
               for t in vorlenta.tokenize(source, split_hyphens=False))


@pytest.mark.parametrize("options, kept", [
    ({"types": "ENWORD"}, ["to"]),
    ({"types": "PNCTTN"}, ["-", "-"]),
    ({"types": ["ENWORD", "PNCTTN"], "min_len": 3}, []),
    ({"types": ["ENWORD", "PNCTTN"], "max_len": 2}, ["to", "-", "-"]),
    ({"types": ["ENWORD", "PNCTTN"], "min_len": 2, "max_len": 2}, ["to"]),
    ({"types": "ENWORD", "max_len": 1}, []),
])
def test_types_and_lengths_apply_to_the_pieces(options, kept):
    source = "to- -"
    assert [t.text for t in vorlenta.tokenize(source, split_hyphens=True, **options)] == kept
    assert vorlenta.token_lists([source], split_hyphens=True, **options) == [kept]


def span_places(batches):
    return [(int(s), int(e), int(k))
            for b in batches for s, e, k in zip(b.starts, b.stops, b.types)]


TEXT = "Санкт- to--but A-B-\nЁж-- 2024- end-"


def test_every_function_gives_the_same_pieces():
    text, data = TEXT, TEXT.encode()
    tokens = vorlenta.tokenize(data, split_hyphens=True)
    assert tokens == split_by_hand(vorlenta.tokenize(data, split_hyphens=False))
    places = [(t.start, t.stop, int(t.type)) for t in tokens]
    assert span_places(vorlenta.spans(data, batch_size=3, split_hyphens=True)) == places
    str_places = [(t.start, t.stop, int(t.type))
                  for t in vorlenta.tokenize(text, split_hyphens=True)]
    assert span_places(vorlenta.spans([text, data], split_hyphens=True)) == str_places + places
    assert vorlenta.token_lists([text], types=2**64 - 1, split_hyphens=True) == \
        [[t.text for t in tokens]]
    words = [t.text.lower() for t in tokens if t.type & (ENWORD | RUWORD)]
    assert vorlenta.count_words(data, lower=True, split_hyphens=True) == Counter(words)
    assert vorlenta.count_words([text, data], lower=True, split_hyphens=True) == \
        Counter(words * 2)
    assert vorlenta.token_lists([text], lower=True, split_hyphens=True) == [words]
    # Every function splits by default, its short roads too.
    assert vorlenta.tokenize(text) == vorlenta.tokenize(text, split_hyphens=True)
    assert vorlenta.words(text, lower=True) == vorlenta.words(data, lower=True) == words
    assert vorlenta.token_lists([text], lower=True) == [words]
    assert vorlenta.count_words(text, lower=True) == Counter(words)
    assert span_places(vorlenta.spans(data)) == places
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        pass
    else:
        assert vorlenta.arrow_token_lists([text], lower=True, split_hyphens=True).to_pylist() \
            == [words]


@pytest.mark.installed
def test_the_command_gives_the_library_pieces(tmp_path):
    text, data = TEXT, TEXT.encode()
    tokens = vorlenta.tokenize(data, split_hyphens=True)
    words = [t.text.lower() for t in tokens if t.type & (ENWORD | RUWORD)]
    path = tmp_path / "text.txt"
    path.write_bytes(data)
    # The default; --split-hyphens, which scripts may still pass, changes nothing.
    for flags, expected in ([[], tokens], [["--split-hyphens"], tokens],
                            [["--keep-hyphens"], vorlenta.tokenize(data, split_hyphens=False)]):
        out = command("tokenize", *flags, "--format", "jsonl", "--offsets", path).stdout
        assert [(d["start"], d["stop"], d["type"], d["text"])
                for d in map(json.loads, out.splitlines())] == \
            [(t.start, t.stop, t.type.name, t.text) for t in expected]
    with pytest.raises(subprocess.CalledProcessError):
        command("tokenize", "--split-hyphens", "--keep-hyphens", path)
    out = command("tokenize", "--types", "PNCTTN", path).stdout
    assert out.decode().splitlines() == [f"PNCTTN\t{t.text}" for t in tokens if t.type == PNCTTN]
    out = command("tokenize", "--format", "words", "--lower", "--types", "ENWORD,RUWORD",
                  path).stdout
    assert out.decode().split() == words
    # A text file, and a dataset whose record is the same text.
    dataset = tmp_path / "texts.jsonl"
    dataset.write_text(json.dumps({"text": text}) + "\n")
    for source in (path, dataset):
        report = json.loads(command("stats", "--json", "--top", "0", "--lower", source).stdout)
        assert report["types"] == {name: sum(t.type.name == name for t in tokens)
                                   for name in report["types"]}
        assert dict(report["top"]) == Counter(words)


# Runs of whole tokens pass in one copy between two split words: U+0000 (a zero byte before its
# separator) and short batches are where counting them could go wrong.
hyphenated = st.sampled_from([b"-", b"--", b"a-", b"\xd0\x96-", b"7-", b"\n", b" ", b"x" * 127,
                              b"\x00", b"\x00-", b"a-\x00"])
sources = st.lists(st.one_of(hyphenated, well_formed, ill_formed), max_size=40).map(b"".join)


@pytest.mark.filterwarnings("ignore::vorlenta.NotUtf8Warning")  # ill-formed on purpose
@given(data=sources, as_str=st.booleans(), types=filters, min_len=lengths,
       max_len=lengths | st.none(), batch_size=st.integers(1, 5))
def test_the_split_is_its_plain_twin(data, as_str, types, min_len, max_len, batch_size):
    source = data.decode("utf-8", "surrogateescape") if as_str else data
    options = {"types": types, "min_len": min_len, "max_len": max_len}
    expected = split_by_hand(vorlenta.tokenize(source, split_hyphens=False), not as_str,
                             **options)
    assert vorlenta.tokenize(source, split_hyphens=True, **options) == expected
    batches = vorlenta.spans(source, batch_size=batch_size, split_hyphens=True, **options)
    assert span_places(batches) == [(t.start, t.stop, int(t.type)) for t in expected]
    assert vorlenta.token_lists([source], split_hyphens=True, **options) == \
        [[t.text for t in expected]]
