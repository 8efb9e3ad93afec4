"""The batch loop's paths, as a process chooses them: VORLENTA_SCAN_PATH forces one the CPU runs,
else the first of sources/scan_paths.txt it runs; every path gives the same batches through the
module and the library."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import vorlenta._native as native
from conftest import CORPORA, CORPUS_DIR, ROOT

sys.path.insert(0, str(ROOT / "bench"))
from scan_paths import scan_path_lines  # noqa: E402

LINES = scan_path_lines()
PATHS = [line.name for line in LINES]

# Prints the path the process took, then a digest of every batch of the file, from both the
# module's tokenizers and the library's word counts, under a filter and the length limits.
SCRIPT = """
import hashlib, sys
import vorlentaCXX as vx, vorlenta, vorlenta._native as native
digest = hashlib.sha256()
for make in (lambda: vx.FFTokenizer(sys.argv[1]), lambda: vx.FTTokenizer(open(sys.argv[1], 'rb').read())):
    for settings in ((), (int(vx.ENWORD) | int(vx.RUWORD) | int(vx.PNCTTN), 2, 9)):
        t = make()
        t.set_batch_size(1000)
        if settings:
            t.set_filter(settings[0]); t.set_token_min_len(settings[1]); t.set_token_max_len(settings[2])
        while batch := t.get_batch():
            digest.update(batch["text"].encode("utf-8", "surrogatepass"))
            digest.update(batch["types"].tobytes())
digest.update(repr(sorted(vorlenta.count_words(open(sys.argv[1], 'rb').read()).items())).encode())
print(native.scan_path(), digest.hexdigest())
"""


def run_on(path: str | None, file: Path) -> tuple[str, str]:
    env = {k: v for k, v in os.environ.items() if k != "VORLENTA_SCAN_PATH"}
    if path is not None:
        env["VORLENTA_SCAN_PATH"] = path
    done = subprocess.run([sys.executable, "-c", SCRIPT, str(file)], env=env, check=True,
                          capture_output=True, text=True)
    taken, digest = done.stdout.split()
    return taken, digest


def test_the_build_has_the_listed_paths_in_their_order():
    # The build checks its table against the list; a build older than the list fails here.
    assert native.scan_paths() == PATHS
    assert native.cpu_runs("scalar")
    with pytest.raises(ValueError, match="sse9"):
        native.cpu_runs("sse9")
    # Fastest first: the figures that rank the lines agree with their order.
    assert [line.mbps for line in LINES] == sorted((line.mbps for line in LINES), reverse=True)


@pytest.mark.parametrize("text", [
    "avx2 1.5\n",                     # a column short
    "avx2 fast -\n",                  # no figure
    "AVX2 1 -\n",                     # not a name the environment takes
    " avx2 1 -\n",                    # CMake reads no line that starts with a blank
    "# only comments\n\n",
])
def test_a_list_the_build_would_refuse_is_refused(tmp_path, text):
    file = tmp_path / "scan_paths.txt"
    file.write_text(text)
    with pytest.raises(ValueError, match="scan_paths.txt"):
        scan_path_lines(file)


def test_each_forced_path_is_taken_and_all_give_the_same_batches(tmp_path):
    # Text the block path takes most of, and every edge the sample has, in many blocks.
    text = (ROOT / "examples" / "sample.txt").read_bytes() * 40
    for name in CORPORA:
        if (CORPUS_DIR / name).exists():
            text += (CORPUS_DIR / name).read_bytes()[:400_000]
    file = tmp_path / "mixed.txt"
    file.write_bytes(text + ("з-за ёлки — 128: " + "ж" * 300).encode() + b"\xff\xd0")
    runs = {name: run_on(name, file) for name in PATHS}
    # A forced path is taken where the CPU runs it; elsewhere, as for a name that is no path or
    # no name at all, the first listed path the CPU runs is.
    default = next(name for name in PATHS if native.cpu_runs(name))
    assert {name: taken for name, (taken, _) in runs.items()} == \
        {name: name if native.cpu_runs(name) else default for name in PATHS}
    unknown, unset = run_on("sse9", file), run_on(None, file)
    assert unknown[0] == unset[0] == default
    assert {digest for _, digest in runs.values()} == {unknown[1]} == {unset[1]}
