"""--encoding auto and encoding="auto": each input read in the encoding its own bytes are in."""

from __future__ import annotations

import codecs
import gzip
import io
import json
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

import vorlenta

SCRIPT = Path(sys.executable).with_name("vorlenta")
TEXT = ("Всё смешалось в доме Облонских. Жена узнала, что муж был в связи с бывшею в их доме "
        "француженкою-гувернанткой, и объявила мужу, что не может жить с ним в одном доме. "
        "Положение это продолжалось уже третий день - and it was felt by all.\n") * 40
ENCODINGS = ("utf-8", "cp1251", "koi8-r", "cp866", "mac-cyrillic", "utf-16")


def _folder(tmp_path: Path) -> Path:
    folder = tmp_path / "mixed"
    folder.mkdir()
    for encoding in ENCODINGS:
        (folder / f"{encoding}.txt").write_bytes(TEXT.encode(encoding))
    (folder / "koi8-r-packed.txt.gz").write_bytes(gzip.compress(TEXT.encode("koi8-r")))
    return folder


def test_a_mixed_folder_is_counted_as_its_utf8_copy(tmp_path):
    folder = _folder(tmp_path)
    done = subprocess.run([SCRIPT, "stats", "--encoding", "auto", "--per-file", "--json",
                           "--top", "5", folder], capture_output=True, timeout=120)
    assert done.returncode == 0 and done.stderr == b"", done.stderr
    report = json.loads(done.stdout)
    alone = subprocess.run([SCRIPT, "stats", "--json", "--top", "5", "-"],
                           input=TEXT.encode(), capture_output=True, timeout=120)
    one = json.loads(alone.stdout)
    names = {Path(name).name: name for name in report["per_file"]}
    assert sorted(names) == sorted([f"{e}.txt" for e in ENCODINGS] + ["koi8-r-packed.txt.gz"])
    for short, name in names.items():
        table = report["per_file"][name]
        assert table["encoding"] == report["encodings"][name]
        assert table["encoding"] == ("koi8-r" if short.endswith(".gz") else short[:-4])
        assert (table["top"], table["types"]) == (one["top"], one["types"])
    assert report["words"] == len(names) * one["words"]
    # Without auto, the one-byte files are stray bytes, warned of.
    plain = subprocess.run([SCRIPT, "stats", folder], capture_output=True, timeout=120)
    assert b"not valid UTF-8" in plain.stderr


def test_the_library_finds_each_sources_encoding(tmp_path):
    folder = _folder(tmp_path)
    expected = vorlenta.count_words(TEXT)
    for path in sorted(folder.iterdir()):
        assert vorlenta.count_words(path, encoding="auto") == expected, path
        data = path.read_bytes()
        if path.suffix != ".gz":
            assert vorlenta.tokenize(data, encoding="auto") == vorlenta.tokenize(TEXT.encode())
            assert vorlenta.count_words(io.BytesIO(data), encoding="auto") == expected


@pytest.mark.parametrize(("data", "found", "warned"), [
    # UTF-8 with a stray byte, or cut inside a character: read as UTF-8, the bytes warned of.
    (TEXT.encode()[:300] + b"\xff" + TEXT.encode()[300:6000], "utf-8", True),
    ("Привет".encode()[:5], "utf-8", True),
    # Its byte-order mark is no text.
    (codecs.BOM_UTF8 + TEXT.encode(), "utf-8-sig", False),
    # "яю" in CP1251 is the bytes of UTF-16's mark.
    ("яю".encode("cp1251"), "cp1251", False), ("яю\n".encode("cp1251"), "cp1251", False),
])
def test_hostile_samples_are_read_in_their_own_encoding(tmp_path, data, found, warned):
    path = tmp_path / "s.txt"
    path.write_bytes(data)
    done = subprocess.run([SCRIPT, "stats", "--encoding", "AUTO", "--per-file", "--json", path],
                          capture_output=True, timeout=120)
    assert done.returncode == 0
    assert json.loads(done.stdout)["encodings"] == {str(path): found}
    assert (b"not valid UTF-8" in done.stderr) == warned
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        # UTF-8 read as it is, less its mark; the others as their text.
        utf8 = data.removeprefix(codecs.BOM_UTF8) if found.startswith("utf-8") else None
        expected = [t.text for t in vorlenta.tokenize(utf8 or data.decode(found))]
        caught.clear()
        for source in (path, data, io.BytesIO(data)):
            assert [t.text for t in vorlenta.tokenize(source, encoding="Auto")] == expected
    assert len(caught) == (3 if warned else 0)
    # The mark is passed over in the file, whose offsets stay its own.
    if found == "utf-8-sig":
        assert vorlenta.tokenize(path, encoding="auto")[0].start == 3
