"""The type stubs: installed where editors and mypy look, and true to the built module."""

import ast
import re
import subprocess
import sys
from pathlib import Path

import pytest

import vorlentaCXX

ROOT = Path(__file__).resolve().parents[1]
STUB_SOURCE = ROOT / "module" / "vorlentaCXX.pyi"
INSTALLED = Path(vorlentaCXX.__file__).parent


def run(args, cwd):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, cwd=cwd,
                          timeout=300)


def test_stubs_are_installed_beside_the_module_and_as_a_stub_package():
    source = STUB_SOURCE.read_text()
    assert (INSTALLED / "vorlentaCXX.pyi").read_text() == source
    assert (INSTALLED / "vorlentaCXX-stubs" / "__init__.pyi").read_text() == source


@pytest.mark.parametrize("module", ["vorlentaCXX", "vorlenta._native"])
def test_stubtest_passes(tmp_path, module):
    done = run(["-m", "mypy.stubtest", module], cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_tool_and_the_examples_type_check_against_the_stubs(tmp_path):
    done = run(["-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"),
                "--cache-dir", str(tmp_path / "cache"), str(ROOT / "python" / "vorlenta"),
                *map(str, sorted((ROOT / "examples").glob("*.py")))], cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


# stubtest cannot read the signatures of the binding library's functions; their docstrings
# hold them, one line per overload: name(self: T, arg0: A, /) -> R.

SIGNATURE = re.compile(r"^\w*\((?P<params>.*)\) -> (?P<result>.+)$")
STUB_ALIASES = {"_Int": "SupportsInt | SupportsIndex", "_Batch": "dict"}


def type_parts(annotation: str) -> set[str]:
    annotation = STUB_ALIASES.get(annotation, annotation)
    return {part.strip().removeprefix("typing.").removeprefix("vorlentaCXX.")
            for part in annotation.split("|")}


def runtime_signatures(obj) -> list[tuple[list[str], bool, list[set[str]], set[str]]]:
    """(parameter names, positional-only, parameter types, result type) of each overload."""
    found = []
    for line in (obj.__doc__ or "").splitlines():
        line = re.sub(r"^\d+\. ", "", line.strip())
        match = SIGNATURE.match(line)
        if not match:
            continue
        params = [p.strip() for p in match["params"].split(",") if p.strip()]
        positional_only = "/" in params
        named = [p.split(":", 1) for p in params[1:] if p != "/"]
        names = [n.strip() for n, _ in named]
        positional_only = positional_only or all(re.fullmatch(r"arg\d+", n) for n in names)
        found.append((names, positional_only, [type_parts(t) for _, t in named],
                      type_parts(match["result"])))
    return found


def stub_functions():
    tree = ast.parse(STUB_SOURCE.read_text())
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                # A catch-all signature (the streams' refusing constructors) has nothing to match.
                if isinstance(item, ast.FunctionDef) and not item.args.vararg:
                    yield node.name, item


@pytest.mark.parametrize("owner, func", list(stub_functions()),
                         ids=lambda x: x if isinstance(x, str) else x.name)
def test_stub_signature_matches_the_module(owner, func):
    runtime = getattr(getattr(vorlentaCXX, owner), func.name)
    if isinstance(runtime, property):
        runtime = runtime.fget
    signatures = runtime_signatures(runtime)
    assert signatures, f"{owner}.{func.name} shows no signature"
    args = func.args
    stub_params = (args.posonlyargs + args.args)[1:]
    stub_names = [a.arg for a in stub_params]
    stub_positional_only = not args.args[1:] if stub_params else True
    stub_types = [type_parts(ast.unparse(a.annotation)) for a in stub_params]
    stub_result = type_parts(ast.unparse(func.returns))

    def matches(signature):
        names, positional_only, types, result = signature
        return (names == stub_names and positional_only == stub_positional_only
                and all(rt <= st for rt, st in zip(types, stub_types))
                and (result <= stub_result))

    assert any(matches(s) for s in signatures), (stub_names, stub_types, stub_result, signatures)
