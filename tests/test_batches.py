"""What a batch holds: exactly the tokens the engine released, under size, limits and filter."""

import pytest

import vorlentaCXX as vx
from conftest import batch_pairs, all_batches, pairs

W, S = "ENWORD", "WRDSPC"


def text_tokenizer(data, batch_size=None):
    t = vx.FTTokenizer(data)
    if batch_size is not None:
        t.set_batch_size(batch_size)
    return t


def test_batch_size_three_over_five_letters():
    assert batch_pairs(text_tokenizer("a b c d e", 3)) == [
        [("a", W), (" ", S), ("b", W)],
        [(" ", S), ("c", W), (" ", S)],
        [("d", W), (" ", S), ("e", W)],
    ]


def test_text_buffer_bytes_and_types():
    batch = vx.FTTokenizer("abв").get_batch()
    assert batch["text"].encode() == b"ab\x00\xd0\xb2\x00"
    assert batch["types"].tolist() == [4, 16]


def test_one_word_then_empty():
    t = vx.FTTokenizer("hello")
    assert pairs(t.get_batch()) == [("hello", W)]
    assert t.get_batch() == {}
    assert t.get_batch() == {}


@pytest.mark.parametrize("data", ["", b"", bytearray()])
def test_empty_text_gives_empty_result(data):
    assert vx.FTTokenizer(data).get_batch() == {}


def test_length_limits_count_characters_both_ends_inclusive():
    t = vx.FTTokenizer("мир мира ми м")
    t.set_filter(vx.RUWORD)
    t.set_token_min_len(2)
    t.set_token_max_len(3)
    assert batch_pairs(t) == [[("мир", "RUWORD"), ("ми", "RUWORD")]]


@pytest.mark.parametrize("configure", [
    lambda t: t.set_filter(0),
    lambda t: (t.set_token_min_len(5), t.set_token_max_len(4)),
])
def test_nothing_kept_consumes_the_whole_input(configure):
    t = vx.FTTokenizer("some words - and 12 numbers")
    configure(t)
    assert t.get_batch() == {}
    # Back to defaults: the input is used up, nothing is left for a later call.
    t.set_filter(2**64 - 1)
    t.set_token_min_len(0)
    t.set_token_max_len(512)
    assert t.get_batch() == {}


def test_filter_selects_words():
    t = vx.FTTokenizer("Мир, peace-time и 42 кота!")
    t.set_filter(vx.ENWORD | vx.RUWORD)
    assert batch_pairs(t) == [[("Мир", "RUWORD"), ("peace-time", W), ("и", "RUWORD"),
                               ("кота", "RUWORD")]]


def test_batch_size_zero_stops_then_resumes():
    t = text_tokenizer("one two", 0)
    assert t.get_batch() == {}
    assert list(t.stream) == []
    t.set_batch_size(10)
    assert batch_pairs(t) == [[("one", W), (" ", S), ("two", W)]]


def test_word_in_progress_arrives_whole_in_a_later_batch():
    t = text_tokenizer("hello wonderful world", 1)
    assert pairs(t.get_batch()) == [("hello", W)]  # released when the 'w' arrived
    t.set_batch_size(100)  # a resize keeps the engine's state
    assert pairs(t.get_batch()) == [(" ", S), ("wonderful", W), (" ", S), ("world", W)]


@pytest.mark.parametrize("batch_size, expected", [
    # The batch fills at the last byte: the drain comes in the following calls.
    (1, [[("a", W)], [(" ", S)], [("b", W)]]),
    # The drain starts with one place left: its second token comes next call.
    (2, [[("a", W), (" ", S)], [("b", W)]]),
    (3, [[("a", W), (" ", S), ("b", W)]]),
])
def test_end_of_input_loses_no_token(batch_size, expected):
    t = text_tokenizer("a b", batch_size)
    assert batch_pairs(t) == expected
    assert t.get_batch() == {}


def test_end_of_input_waits_through_a_zero_batch_size():
    t = text_tokenizer("a b", 1)
    assert pairs(t.get_batch()) == [("a", W)]
    t.set_batch_size(0)
    assert t.get_batch() == {}
    t.set_batch_size(5)
    assert batch_pairs(t) == [[(" ", S), ("b", W)]]


def test_input_of_stray_bytes_only_gives_nothing():
    assert vx.FTTokenizer(b"\x80\x80\xbf").get_batch() == {}


@pytest.mark.parametrize("data", [
    "a b", "well-known fact", "Санкт-Петербург, 1-й!", "x\n\ny", "  ", "-", "abc-",
    "a" * 300 + " " + "b-" * 20, "ёж-" * 50,
])
def test_every_batch_size_gives_the_same_tokens(data):
    whole = [p for batch in batch_pairs(vx.FTTokenizer(data)) for p in batch]
    assert "".join(text for text, _ in whole) == data
    for size in range(1, len(whole) + 2):
        batches = batch_pairs(text_tokenizer(data, size))
        assert all(len(b) <= size for b in batches)
        assert [p for b in batches for p in b] == whole, size


def test_zero_bytes_are_characters():
    batch = vx.FTTokenizer(b"a\x00b").get_batch()
    assert batch["text"] == "a\0\0\0b\0"
    assert batch["types"].tolist() == [4, 64, 4]


def test_caller_buffer_changes_do_not_reach_the_tokenizer():
    data = bytearray(b"stable words")
    t = vx.FTTokenizer(data)
    data[:] = b"XXXXXXXXXXXX"
    assert "".join(b["text"] for b in all_batches(t)).replace("\0", "") == "stable words"


def test_long_runs_are_cut_not_dropped():
    t = vx.FTTokenizer("z" * 300)
    assert [(len(text), kind) for text, kind in pairs(t.get_batch())] == [
        (128, W), (128, W), (44, W)]


@pytest.mark.parametrize("text", [
    "plain ascii only",
    "café crème",                      # Latin-1 range
    "Ёлка и ёжик",                     # two-byte Cyrillic
    "— «кавычки» № 5 …",               # three-byte punctuation
    "emoji 😀 and 𝄞 clef",             # four-byte
    "\u0100 \u00ff \u07ff \u0800 \uffff \U00010000 \U0010ffff",
])
def test_text_is_exactly_the_decoded_string(text):
    # Equality with an ordinary str also checks the string's internal width.
    tokenizer = vx.FTTokenizer(text)
    got = "".join(b["text"] for b in all_batches(tokenizer))
    assert got.replace("\0", "") == text


@pytest.mark.parametrize("data, text_bytes", [
    (b"ab \xc0\x80", b"ab\0 \0\xc0\x80\0"),            # overlong U+0000
    (b"\xed\xa0\x80!", b"\xed\xa0\x80\0!\0"),           # encoded surrogate
    (b"x\xf4\x90\x80\x80", b"x\0\xf4\x90\x80\x80\0"),  # above U+10FFFF
    (b"\xd0\xf8", b"\xd0\xf8\0"),                       # F8 taken as continuation
    (b"\xd0\xb0\xe0\x90\xb0", b"\xd0\xb0\xe0\x90\xb0\0"),  # overlong Cyrillic joins the word
    (b"1\xe0\x80\xb0", b"1\xe0\x80\xb0\0"),          # overlong digit joins the number
])
def test_ill_formed_text_raises_the_strict_decoders_error(data, text_bytes):
    with pytest.raises(UnicodeDecodeError) as expected:
        text_bytes.decode("utf-8")
    with pytest.raises(UnicodeDecodeError) as got:
        vx.FTTokenizer(data).get_batch()
    assert str(got.value) == str(expected.value)
