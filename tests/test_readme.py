"""The README's examples run and print what it shows.

```python blocks run in order in one namespace, in a folder holding corpus.txt (a copy of the
sample); a ```text block right after one is its exact output. ```console blocks are shell
sessions run from the project root: `$ command` lines, each followed by its output, where
"..." stands for any text. ```sh blocks (installing) are covered by the packaging and Dask
tests instead.
"""

import contextlib
import doctest
import importlib
import io
import os
import re
import gzip
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BLOCK = re.compile(r"^```(\w*)\n(.*?)^```$", re.S | re.M)


def importable(name: str) -> bool:
    try:
        importlib.import_module(name)
    except ImportError:
        return False
    return True


def blocks() -> list[tuple[str, str]]:
    return [(m[1], m[2]) for m in BLOCK.finditer((ROOT / "README.md").read_text())]


def test_python_examples_print_what_the_readme_shows(tmp_path, monkeypatch):
    shutil.copy(ROOT / "examples" / "sample.txt", tmp_path / "corpus.txt")
    (tmp_path / "corpus.txt.gz").write_bytes(gzip.compress((tmp_path / "corpus.txt").read_bytes()))
    monkeypatch.chdir(tmp_path)
    found = blocks()
    namespace: dict = {"__name__": "__readme__"}
    ran = 0
    for i, (kind, code) in enumerate(found):
        if kind != "python":
            continue
        # An example of an optional package ("# needs: pandas") runs where it is installed.
        needs = re.match(r"# needs: (\w+)\n", code)
        if needs and not importable(needs[1]):
            continue
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            exec(compile(code, f"README.md python block {ran + 1}", "exec"), namespace)
        ran += 1
        if i + 1 < len(found) and found[i + 1][0] == "text":
            assert out.getvalue() == found[i + 1][1], code
    assert ran >= 5


def test_console_examples_print_what_the_readme_shows():
    env = {**os.environ, "PATH": f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"}
    checker = doctest.OutputChecker()
    sessions = [code for kind, code in blocks() if kind == "console"]
    assert len(sessions) >= 3
    for session in sessions:
        for command, expected in re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", session, re.M):
            done = subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=ROOT, env=env,
                                  capture_output=True, text=True, timeout=60,
                                  stdin=subprocess.DEVNULL)
            assert done.returncode == 0, (command, done.stderr)
            assert checker.check_output(expected, done.stdout, doctest.ELLIPSIS), (
                f"$ {command}\n--- README\n{expected}--- printed\n{done.stdout}")
