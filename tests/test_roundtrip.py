"""No byte lost, none repeated: for well-formed text, the token texts put together are the input."""

import random

import pytest

import vorlentaCXX as vx
from conftest import CORPORA, corpus_path, all_batches


def joined(tokenizer) -> str:
    return "".join(b["text"] for b in all_batches(tokenizer)).replace("\0", "")


def generated_text(seed: int, length: int) -> str:
    rng = random.Random(seed)
    pieces = ["слово", "Ёлка", "word", "well-known", "Санкт-Петербург", "42", "1-й", "-", "--",
              " ", "  ", "\n", "\r\n", "\t", ",", ".", "…", "—", "«", "»", "№", "é", "中",
              "😀", "a" * 130, "я" * 129, "x-" * 20, "\u00a0", "COVID-19"]
    return "".join(rng.choice(pieces) for _ in range(length))


def tokenizers(text: str, make_file, batch_size: int):
    ft = vx.FTTokenizer(text)
    ff = vx.FFTokenizer(make_file(text.encode()))
    for t in (ft, ff):
        t.set_batch_size(batch_size)
    return ft, ff


@pytest.mark.parametrize("batch_size", [1, 2, 3, 7, 100, 65536])
@pytest.mark.parametrize("seed", range(4))
def test_generated_text_round_trips(make_file, seed, batch_size):
    text = generated_text(seed, 2000)
    for t in tokenizers(text, make_file, batch_size):
        assert joined(t) == text


@pytest.mark.parametrize("batch_size", [97, 65536])
@pytest.mark.parametrize("name", CORPORA)
def test_corpus_round_trips(name, batch_size):
    path = corpus_path(name)
    text = path.read_text(encoding="utf-8")
    ft = vx.FTTokenizer(text)
    ff = vx.FFTokenizer(str(path))
    for t in (ft, ff):
        t.set_batch_size(batch_size)
        assert joined(t) == text


def test_text_file_and_stream_give_the_same_batches(make_file):
    data = generated_text(99, 3000).encode()
    path = make_file(data)
    made = [vx.FTTokenizer(data), vx.FFTokenizer(path), vx.FTTokenizer(data), vx.FFTokenizer(path)]
    for t in made:
        t.set_batch_size(50)
    results = [all_batches(made[0]), all_batches(made[1])]
    for t in made[2:]:
        results.append([{"text": b["text"], "types": b["types"].copy()} for b in t.stream])
    flat = [[(b["text"], b["types"].tolist()) for b in batches] for batches in results]
    assert len(flat[0]) > 10
    assert all(f == flat[0] for f in flat[1:])
