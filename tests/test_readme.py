"""The examples of the README and of every page in docs/ run and print what they show; the
documentation site builds.

Each page's ```python blocks run in order in one namespace of its own, in a folder holding
corpus.txt (a copy of the sample), corpus.txt.gz and books/ (a copy of examples/corpus/); a
```text block right after one is its exact output, and "# needs: pkg ..." as a block's first
line skips it where a pkg is absent.
```console blocks are shell sessions run from the project root: `$ command` lines, each followed
by its output, where "..." stands for any text. ```sh blocks (installing) are covered by the
packaging and Dask tests instead.
"""

import contextlib
import doctest
import gzip
import importlib
import io
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
BLOCK = re.compile(r"^```(\w*)\n(.*?)^```$", re.S | re.M)
PAGES = ["README.md", *sorted(str(p.relative_to(ROOT)) for p in (ROOT / "docs").glob("*.md"))]
# A link from the README into the site: docs/page.md#anchor.
DOCS_LINK = re.compile(r"\]\((docs/[\w.-]+\.md)(?:#([\w-]+))?\)")


def importable(name: str) -> bool:
    try:
        importlib.import_module(name)
    except ImportError:
        return False
    return True


def blocks(page: str) -> list[tuple[str, str]]:
    return [(m[1], m[2]) for m in BLOCK.finditer((ROOT / page).read_text())]


def pages_with(kind: str) -> list[str]:
    return [page for page in PAGES if any(k == kind for k, _ in blocks(page))]


@pytest.mark.parametrize("page", pages_with("python"))
def test_python_examples_print_what_the_page_shows(page, tmp_path, monkeypatch):
    shutil.copy(ROOT / "examples" / "sample.txt", tmp_path / "corpus.txt")
    shutil.copytree(ROOT / "examples" / "corpus", tmp_path / "books")
    (tmp_path / "corpus.txt.gz").write_bytes(gzip.compress((tmp_path / "corpus.txt").read_bytes()))
    monkeypatch.chdir(tmp_path)
    found = blocks(page)
    namespace: dict = {"__name__": "__docs__"}
    ran = skipped = 0
    for i, (kind, code) in enumerate(found):
        if kind != "python":
            continue
        # An example of optional packages ("# needs: pandas", "# needs: polars sklearn") runs
        # where they are installed.
        needs = re.match(r"# needs: ([\w ]+)\n", code)
        if needs and not all(importable(name) for name in needs[1].split()):
            skipped += 1
            continue
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            exec(compile(code, f"{page} python block {ran + skipped + 1}", "exec"), namespace)
        ran += 1
        if i + 1 < len(found) and found[i + 1][0] == "text":
            assert out.getvalue() == found[i + 1][1], f"{page}:\n{code}"
    if not ran:
        pytest.skip(f"{page}: every example needs a package that is absent")


@pytest.mark.parametrize("page", pages_with("console"))
def test_console_examples_print_what_the_page_shows(page):
    env = {**os.environ, "PATH": f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"}
    checker = doctest.OutputChecker()
    for session in (code for kind, code in blocks(page) if kind == "console"):
        commands = re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", session, re.M)
        assert commands, f"{page}: a console block without a $ line:\n{session}"
        for command, expected in commands:
            done = subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=ROOT, env=env,
                                  capture_output=True, text=True, timeout=60,
                                  stdin=subprocess.DEVNULL)
            assert done.returncode == 0, (page, command, done.stderr)
            assert checker.check_output(expected, done.stdout, doctest.ELLIPSIS), (
                f"{page}\n$ {command}\n--- shown\n{expected}--- printed\n{done.stdout}")


def test_readme_links_into_the_site_reach_their_headings():
    links = DOCS_LINK.findall((ROOT / "README.md").read_text())
    assert links, "the README links to no page of the site"
    for target, anchor in links:
        assert (ROOT / target).is_file(), target
        if anchor:
            text = (ROOT / target).read_text()
            assert re.search(rf"\{{ #{anchor} \}}$", text, re.M) or anchor in heading_slugs(text), (
                f"README links to {target}#{anchor}, which has no such heading")


def heading_slugs(text: str) -> set[str]:
    # As the site's table of contents makes them: lower case, punctuation dropped, spaces to -.
    return {re.sub(r"[\s]+", "-", re.sub(r"[^\w\s-]", "", m[1].strip().lower()))
            for m in re.finditer(r"^#+ (.*)$", text, re.M)}


def test_docs_site_builds_strictly(tmp_path):
    # A broken link, a missing page or an API name that no longer resolves fails the build.
    mkdocs = shutil.which("mkdocs", path=str(Path(sys.executable).parent))
    if mkdocs is None or not importable("mkdocstrings"):
        pytest.skip("MkDocs is not installed (the docs dependency group)")
    done = subprocess.run([mkdocs, "build", "--strict", "--site-dir", str(tmp_path / "site")],
                          cwd=ROOT, capture_output=True, text=True, timeout=300,
                          env={**os.environ, "NO_MKDOCS_2_WARNING": "1"})
    assert done.returncode == 0, done.stderr
    api = (tmp_path / "site" / "api" / "index.html").read_text()
    for name in ("tokenize", "words", "spans", "count_words", "token_lists", "arrow_token_lists",
                 "Token", "Spans", "TextSpans", "TokenType", "NotUtf8Warning", "dask.count_words",
                 "dask.token_lists"):
        assert f'id="vorlenta.{name}"' in api, f"the API reference lacks vorlenta.{name}"
