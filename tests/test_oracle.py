"""The extension against the plain Python model in oracle.py: random bytes, random settings and
random orders of calls, through FTTokenizer, FFTokenizer and streams alike."""

import pytest
from hypothesis import given, note, strategies as st

import oracle
import vorlentaCXX as vx
from conftest import CORPORA, corpus_path, all_batches
from strategies import batch_sizes, encoded, filters, inputs, lengths

# ---- the model itself, on cases worked out by hand ----

E, N, R, P, S, L, U = (oracle.ENWORD, oracle.NUMBER, oracle.RUWORD, oracle.PNCTTN, oracle.WRDSPC,
                       oracle.NWLINE, oracle.UNKNWN)


@pytest.mark.parametrize("code_point, kind", [
    (0x0B, S), (0x20, S), (0xA0, S), (0x0A, L), (0x09, U), (0x0D, U), (0x00, U),
    (0x41, E), (0x7A, E), (0x5F, P), (0x40, P), (0x7E, P), (0x7F, U), (0x30, N),
    (0x401, R), (0x451, R), (0x410, R), (0x44F, R), (0x400, U), (0x450, U), (0x456, U),
    (0xC0, U), (0xAB, P), (0xB7, P), (0xBB, P), (0x2010, P), (0x2026, P), (0x2020, U),
    (0x2116, P), (0x10FFFF, U), (0x110000, U), (0x1FFFFF, U),
])
def test_model_classes(code_point, kind):
    assert oracle.char_type(code_point) == kind


@pytest.mark.parametrize("data, expected", [
    (b"A", [0x41]),
    (b"\xd0\xbf", [0x43F]),
    (b"\xe2\x82\xac\xf0\x9f\x98\x80", [0x20AC, 0x1F600]),
    (b"a\x80b", [0x61, 0x62]),
    (b"\xe2\x82a", [0x61]),
    (b"\xd0\xd0\xbf", [0x43F]),
    (b"\x80\xd0\xbf", [0x43F]),
    (b"\xd0\xf8", [0x438]),
    (b"\xc0\x80", [0]),
    (b"\xf4\x90\x80\x80", [0x110000]),
    # Continuation bytes beyond the fourth stored byte never complete the record.
    (b"a\x80\x80\x80\x80\x80\x80", [0x61]),
    (b"\xf0\x9f\x98\x80\x80\x80\x80\x80", [0x1F600]),
])
def test_model_reader(data, expected):
    reader, found = oracle.Reader(), []
    for byte in data:
        if oracle.read_byte(reader, byte):
            found.append(reader.code_point)
    assert found == expected


@pytest.mark.parametrize("text, expected", [
    ("hello world", [("hello", E), (" ", S), ("world", E)]),
    ("abc123", [("abc", E), ("123", N)]),
    ("COVID-19 19-COVID 1-й IT-отдел", [("COVID-19", E), (" ", S), ("19-COVID", N), (" ", S),
                                        ("1-й", N), (" ", S), ("IT-отдел", E)]),
    ("Санкт-Петербург", [("Санкт-Петербург", R)]),
    ("abc- -abc", [("abc-", E), (" ", S), ("-", P), ("abc", E)]),
    ("abc--def", [("abc-", E), ("-", P), ("def", E)]),
    ("a - b", [("a", E), (" ", S), ("-", P), (" ", S), ("b", E)]),
    ("a\u2013b.c", [("a", E), ("\u2013", P), ("b", E), (".", P), ("c", E)]),
    ("\r\n  ..", [("\r", U), ("\n", L), (" ", S), (" ", S), (".", P), (".", P)]),
    ("ёлка café", [("ёлка", R), (" ", S), ("caf", E), ("é", U)]),
    ("z" * 300, [("z" * 128, E), ("z" * 128, E), ("z" * 44, E)]),
    # Nine words and eight hyphens are 17 parts: the 17th starts the next token.
    ("-".join("abcdefghi"), [("a-b-c-d-e-f-g-h-", E), ("i", E)]),
    # 60 + 1 + 60 characters fit, the next hyphen too, the third word does not.
    ("-".join(["x" * 60] * 3), [("x" * 60 + "-" + "x" * 60 + "-", E), ("x" * 60, E)]),
])
def test_model_tokens(text, expected):
    got = [(raw.decode(), kind) for raw, kind, _, _ in oracle.tokenize(text.encode())]
    assert got == expected


def model_batches(data: bytes, batch_size: int) -> list:
    model = oracle.Tokenizer(data)
    model.settings.batch_size = batch_size
    batches = []
    while (batch := oracle.get_batch(model)) is not None:
        batches.append(batch)
    return batches


def test_model_batches_and_end_of_input():
    assert model_batches(b"a b c d e", 3) == [
        ("a\0 \0b\0", [E, S, E]), (" \0c\0 \0", [S, E, S]), ("d\0 \0e\0", [E, S, E])]
    # The batch fills at the last byte; the drain's tokens come in later calls.
    assert model_batches(b"a b", 1) == [("a\0", [E]), (" \0", [S]), ("b\0", [E])]
    assert model_batches(b"", 5) == []
    assert model_batches(b"\x80\x80", 5) == []


# ---- the extension against the model ----

SETTERS = {
    "set_batch_size": (batch_sizes, "batch_size"),
    "set_token_min_len": (lengths, "token_min_len"),
    "set_token_max_len": (lengths, "token_max_len"),
    "set_filter": (filters, "filter"),
}
calls = st.one_of(
    st.tuples(st.just("get"), st.sampled_from(["get_batch", "new stream", "kept stream", "iter"])),
    *[st.tuples(st.just(name), values) for name, (values, _) in SETTERS.items()],
)


def model_outcome(model: oracle.Tokenizer):
    try:
        batch = oracle.get_batch(model)
    except UnicodeDecodeError as error:
        return ("error", str(error), error.object)
    return ("empty",) if batch is None else ("batch", *batch)


def module_outcome(tokenizer, kept_stream, how: str):
    try:
        if how == "get_batch":
            batch = tokenizer.get_batch()
        else:
            stream = (tokenizer.stream if how == "new stream" else
                      kept_stream if how == "kept stream" else iter(kept_stream))
            try:
                batch = next(stream)
            except StopIteration as stop:
                assert str(stop) == ""
                batch = {}
    except UnicodeDecodeError as error:
        return ("error", str(error), error.object)
    if batch == {}:
        return ("empty",)
    assert list(batch) == ["text", "types"]
    return ("batch", batch["text"], batch["types"].tolist())


def run_calls(make_tokenizer, model: oracle.Tokenizer, script: list, final_size: int) -> None:
    """Plays the calls on both and compares every outcome; then reads both to the end."""
    tokenizer = make_tokenizer()
    kept = tokenizer.stream
    for name, value in script:
        if name == "get":
            assert module_outcome(tokenizer, kept, value) == model_outcome(model), value
        else:
            getattr(tokenizer, name)(value)
            setattr(model.settings, SETTERS[name][1], value)
    if model.settings.batch_size == 0:
        tokenizer.set_batch_size(final_size)
        model.settings.batch_size = final_size
    for _ in range(len(model.source) + 4):
        expected = model_outcome(model)
        assert module_outcome(tokenizer, kept, "get_batch") == expected
        if expected == ("empty",):
            break
    else:
        pytest.fail("the model never ran out of tokens")
    assert module_outcome(tokenizer, kept, "kept stream") == ("empty",)


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return tmp_path_factory.mktemp("oracle") / "input.txt"


@given(data=inputs, kind=st.sampled_from(["bytes", "bytearray", "str"]),
       script=st.lists(calls, max_size=25), final_size=st.integers(1, 50))
def test_module_matches_model(data, kind, script, final_size, scratch):
    note(f"input {data!r}")
    if kind == "str":
        try:
            text = data.decode()
        except UnicodeDecodeError:
            text = data
    else:
        text = bytes(data) if kind == "bytes" else bytearray(data)
    scratch.write_bytes(data)
    for make in (lambda: vx.FTTokenizer(text), lambda: vx.FFTokenizer(str(scratch))):
        run_calls(make, oracle.Tokenizer(data), script, final_size)


@given(data=inputs, batch_size=st.integers(1, 40), min_len=lengths, max_len=lengths,
       mask=filters)
def test_fixed_settings_match_model(data, batch_size, min_len, max_len, mask):
    script = [("set_batch_size", batch_size), ("set_token_min_len", min_len),
              ("set_token_max_len", max_len), ("set_filter", mask)]
    run_calls(lambda: vx.FTTokenizer(data), oracle.Tokenizer(data), script, batch_size)


@pytest.mark.parametrize("name", CORPORA)
@pytest.mark.parametrize("batch_size", [1, 777, 65536])
def test_corpus_slice_matches_model(name, batch_size):
    data = corpus_path(name).read_bytes()[:60_000]
    script = [("set_batch_size", batch_size)]
    run_calls(lambda: vx.FTTokenizer(data), oracle.Tokenizer(data), script, batch_size)


def test_every_code_point_has_the_model_class():
    # Line feeds between the characters keep every one a token of its own.
    scalars = [cp for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF and cp != 0x0A]
    t = vx.FTTokenizer("\n".join(map(chr, scalars)) + "\n")
    t.set_filter(~oracle.NWLINE & oracle.ALL_TYPES)
    got = [kind for batch in all_batches(t) for kind in batch["types"].tolist()]
    assert got == [oracle.char_type(cp) for cp in scalars]


@pytest.mark.parametrize("data", [encoded(0xD800), encoded(0xDFFF), b"\xf4\x90\x80\x80",
                                  b"\xf7\xbf\xbf\xbf"])
def test_surrogates_and_values_past_the_last_code_point_are_unknwn(data):
    # They vanish when every type but UNKNWN is kept, and break the batch when only UNKNWN is.
    t = vx.FTTokenizer(b"a" + data + b"\n")
    t.set_filter(oracle.ALL_TYPES & ~U)
    assert [k for batch in all_batches(t) for k in batch["types"].tolist()] == [E, L]
    t = vx.FTTokenizer(b"a" + data + b"\n")
    t.set_filter(U)
    with pytest.raises(UnicodeDecodeError):
        t.get_batch()
