"""The encoding detector behind --encoding auto: UTF-8 whenever the bytes are UTF-8, UTF-16 by
its byte-order mark, else the one-byte Cyrillic encoding that the bytes read best in."""

import codecs
import random
import sys

import pytest

from vorlenta import detect
from vorlenta.detect import DETECT_BYTES, ONE_BYTE_ENCODINGS, detect_encoding
from conftest import CORPORA, ROOT, corpus_path

sys.path.insert(0, str(ROOT / "bench"))
from encoding_accuracy import ENCODINGS, is_right, pieces  # noqa: E402

# Written for this test: letters of both cases, ё, and only ASCII punctuation, which every
# candidate encoding can write.
PARAGRAPH = (
    "Осенью в нашем городе рано темнеет. Уже в пять часов зажигаются фонари, и мокрый асфальт "
    "блестит под ними, как река. Я возвращаюсь с работы пешком: через мост, мимо старого "
    "рынка, где ещё торгуют яблоками и мёдом, потом вверх по длинной улице до самого парка. "
    "Соседка, Анна Петровна, говорит, что в такую погоду лучше сидеть дома и читать. Она "
    "права, но мне нравится идти медленно, слушать, как шумят деревья, и думать о том, что "
    "завтра будет новый день. Дома ждёт горячий чай, письмо от брата из Новосибирска и кот "
    "Василий, который считает себя хозяином квартиры.\n"
)
TEXT = PARAGRAPH * 6


@pytest.mark.parametrize("encoding", ["utf-8", *ONE_BYTE_ENCODINGS])
@pytest.mark.parametrize("complete", [True, False])
def test_each_encoding_is_found_on_russian_text(encoding, complete):
    data = TEXT.encode(encoding)
    assert detect_encoding(data, complete) == encoding
    # A few words are enough, and so is the first line alone.
    assert detect_encoding(data[:200], complete=False) == encoding
    assert detect_encoding(PARAGRAPH.encode(encoding), complete) == encoding


@pytest.mark.parametrize("encoding", ["cp1251", "mac-cyrillic"])
def test_capitals_tell_cp1251_from_mac_cyrillic_in_one_sentence(encoding):
    # Both write а to ю with the same bytes: a line apart, only their capitals differ.
    sentence = PARAGRAPH.split(". ")[1] + "."
    assert detect_encoding(sentence.encode(encoding), complete=True) == encoding


@pytest.mark.parametrize("bom_encoding", ["utf-16-le", "utf-16-be"])
def test_utf16_is_found_by_its_byte_order_mark(bom_encoding):
    bom = codecs.BOM_UTF16_LE if bom_encoding == "utf-16-le" else codecs.BOM_UTF16_BE
    for text in (TEXT, "Pride and Prejudice\n", "ok"):
        data = bom + text.encode(bom_encoding)
        assert detect_encoding(data, complete=True) == "utf-16"
        assert data.decode(detect_encoding(data)) == text
    # A head cut in a code unit.
    assert detect_encoding((bom + TEXT.encode(bom_encoding))[:1001]) == "utf-16"


def test_no_utf16_without_its_mark_or_with_one_byte_text_after_the_same_bytes():
    # Without a mark, Cyrillic in UTF-16 is bytes below 80 with zeros among them: UTF-8.
    assert detect_encoding(TEXT.encode("utf-16-le"), complete=True) == "utf-8"
    assert detect_encoding(TEXT.encode("utf-16-be")[1:], complete=True) == "utf-8"
    # "яю" in CP1251 is FF FE, "юя" FE FF: the text after them is no UTF-16 of text.
    for start in ("яющих ", "юя "):
        data = (start + TEXT).encode("cp1251")
        assert data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE))
        assert detect_encoding(data) == "cp1251"


RUSSIAN = TEXT.encode()
ONE_BYTE = "one of the one-byte encodings"


@pytest.mark.parametrize(("data", "expected"), [
    (b"", "utf-8"), (b"plain ASCII text\n", "utf-8"), (bytes(range(128)), "utf-8"),
    ("Ру́сский 😀 — «ok»".encode(), "utf-8"),
    # The byte-order mark of UTF-8, which readers skip.
    (codecs.BOM_UTF8 + RUSSIAN, "utf-8-sig"), (codecs.BOM_UTF8, "utf-8-sig"),
    # UTF-8 but for a few stray bytes: a rare bad one, a character cut at the end.
    (RUSSIAN[:300] + b"\xff" + RUSSIAN[300:6000], "utf-8"),
    ("Привет".encode()[:5], "utf-8"), ((TEXT + "😀").encode()[:-1], "utf-8"),
    *[(RUSSIAN[:3000] + bad + RUSSIAN[:100], "utf-8")
      for bad in (b"\xd1", b"\xc0\xaf", b"\xed\xa0\x80", b"\xff", b"\xe2\x80")],
    # Stray bytes with too few UTF-8 characters to outweigh them.
    (b"ASCII \xff ASCII", ONE_BYTE), ("мир".encode() + b"\xff ok \xfe", ONE_BYTE),
    # FF FE and FE FF that are "яю" and "юя" in CP1251, with no UTF-16 after them.
    ("яю".encode("cp1251"), "cp1251"), ("яю\n".encode("cp1251"), "cp1251"),
    ("юя мир".encode("cp1251"), "cp1251"), (codecs.BOM_UTF16_LE, ONE_BYTE),
    # UTF-16 with unpaired surrogates, or of an odd length when that is the whole input, is
    # not UTF-16.
    (codecs.BOM_UTF16_LE + "a".encode("utf-16-le") + b"\x00\xd8" * 3, ONE_BYTE),
    (codecs.BOM_UTF16_LE + "ok".encode("utf-16-le") + b"!", (ONE_BYTE, "utf-16")),
])
def test_what_is_taken_for_utf8_and_for_a_byte_order_mark(data, expected):
    # One answer, or that for the whole input and that for a head of it.
    for complete, answer in zip((True, False), expected if type(expected) is tuple else
                                (expected, expected)):
        found = detect_encoding(data, complete)
        assert found in ONE_BYTE_ENCODINGS if answer == ONE_BYTE else found == answer, \
            (data[:40], complete, found)
    # The one-byte encodings are always told apart from UTF-8, however little is read.
    assert detect_encoding(TEXT.encode("cp866")[:20], complete=True) in ONE_BYTE_ENCODINGS


def test_bytes_that_fit_no_candidate_get_one_that_decodes_them():
    noise = random.Random(7).randbytes(DETECT_BYTES)
    latin1 = "Café, crème brûlée et déjà vu.".encode("latin-1")
    # CP1251 has no character for 98, so it never reads bytes that hold it.
    with_98 = b"\x98" + TEXT.encode("cp1251")
    for data in (noise, latin1, bytes(range(128, 256)), b"\xff", with_98):
        answer = detect_encoding(data, complete=True)
        assert answer in ONE_BYTE_ENCODINGS
        data.decode(answer)
    assert detect_encoding(with_98, complete=True) != "cp1251"


def test_the_model_is_the_one_counted_in_the_projects_own_russian_text():
    text = (ROOT / "bench" / "own_russian.txt").read_text("utf-8")
    assert detect._model_counts(text) == (detect._PAIR_LEVELS, detect._CASE_PAIRS,
                                          detect._MARK_PAIRS)


@pytest.mark.parametrize("name", CORPORA)
def test_every_4_kib_piece_of_the_corpora_is_right_in_every_encoding(name):
    text = corpus_path(name).read_text("utf-8")
    for encoding in ENCODINGS:
        wrong = []
        for piece in pieces(text, 4096):
            data = piece.encode(encoding, "replace")
            answer = detect_encoding(data[:DETECT_BYTES], len(data) <= DETECT_BYTES)
            if not is_right(data, encoding, answer):
                wrong.append((answer, piece[:60]))
        assert not wrong, f"{len(wrong)} pieces in {encoding} taken wrongly, first {wrong[:3]}"
