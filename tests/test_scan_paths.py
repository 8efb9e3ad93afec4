"""The batch loop's paths, as a process chooses them: VORLENTA_SCAN_PATH forces one the CPU runs,
and every path gives the same batches through the module and the library."""

import os
import re
import subprocess
import sys
from pathlib import Path

from conftest import CORPORA, CORPUS_DIR, ROOT

# The paths' names, from the rows of the native table of paths.
PATHS = re.findall(r'^    \{"([a-z0-9]+)", ', (ROOT / "sources" / "fast_batch.hpp").read_text(), re.M)

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


def cpu_has_avx2() -> bool:
    flags = Path("/proc/cpuinfo").read_text().split()
    return all(f in flags for f in ("avx2", "bmi1", "bmi2", "popcnt"))


def run_on(path: str, file: Path) -> tuple[str, str]:
    env = dict(os.environ, VORLENTA_SCAN_PATH=path)
    done = subprocess.run([sys.executable, "-c", SCRIPT, str(file)], env=env, check=True,
                          capture_output=True, text=True)
    taken, digest = done.stdout.split()
    return taken, digest


def test_each_forced_path_is_taken_and_all_give_the_same_batches(tmp_path):
    # Text the block path takes most of, and every edge the sample has, in many blocks.
    text = (ROOT / "examples" / "sample.txt").read_bytes() * 40
    for name in CORPORA:
        if (CORPUS_DIR / name).exists():
            text += (CORPUS_DIR / name).read_bytes()[:400_000]
    file = tmp_path / "mixed.txt"
    file.write_bytes(text + ("з-за ёлки — 128: " + "ж" * 300).encode() + b"\xff\xd0")
    runs = {name: run_on(name, file) for name in PATHS}
    unknown = run_on("sse9", file)
    # A forced path is taken where the CPU runs it; elsewhere the best one the CPU runs is, as
    # for a name that is no path.
    best = [name for name in PATHS if runs[name][0] == name][-1]
    assert PATHS[0] == "scalar" and runs["scalar"][0] == "scalar"
    assert all(taken in (name, best) for name, (taken, _) in runs.items())
    if "avx2" in PATHS and cpu_has_avx2():
        assert runs["avx2"][0] == "avx2"
    assert unknown[0] == best
    assert {digest for _, digest in runs.values()} == {unknown[1]}
