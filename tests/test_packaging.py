"""The distribution: an sdist and wheels build, and a wheel installs into a new virtual
environment as a working module and `vorlenta` command. Slow: `pytest -m packaging`."""

import subprocess
import sys
import tarfile
import tomllib
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
VERSION = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
SAMPLE = ROOT / "examples" / "sample.txt"

pytestmark = pytest.mark.packaging


def run(*args, cwd=ROOT, timeout=600) -> str:
    done = subprocess.run([str(a) for a in args], cwd=cwd, capture_output=True, text=True,
                          timeout=timeout)
    assert done.returncode == 0, f"{args}\n{done.stdout}\n{done.stderr}"
    return done.stdout


def only(paths: list[Path]) -> Path:
    assert len(paths) == 1, paths
    return paths[0]


@pytest.fixture(scope="module")
def sdist(tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("sdist")
    run(sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", out)
    return only(list(out.glob("*.tar.gz")))


def test_sdist_holds_the_sources(sdist):
    with tarfile.open(sdist) as tar:
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
        info = tar.extractfile(f"{sdist.name.removesuffix('.tar.gz')}/PKG-INFO").read().decode()
    assert {"pyproject.toml", "CMakeLists.txt", "README.md", "engine/engine.hpp",
            "sources/batch.cpp", "module/module.cpp", "module/exports.map",
            "module/vorlentaCXX.pyi", "python/vorlenta/cli.py"} <= names
    assert not any(n.startswith((".venv/", "build/")) for n in names)
    assert f"\nVersion: {VERSION}\n" in info


def test_wheel_from_the_source_tree(tmp_path):
    # The source tree's build folder is reused, so this build is incremental.
    run(sys.executable, "-m", "pip", "wheel", ".", "--no-deps", "--no-build-isolation",
        "--wheel-dir", tmp_path)
    wheel = only(list(tmp_path.glob("*.whl")))
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        entry_points = z.read(f"vorlentacxx-{VERSION}.dist-info/entry_points.txt").decode()
    assert any(n.startswith("vorlentaCXX.cpython-313") and n.endswith(".so") for n in names)
    assert {"vorlentaCXX.pyi", "vorlentaCXX-stubs/__init__.pyi", "vorlenta/__init__.py",
            "vorlenta/cli.py"} <= names
    assert "vorlenta = vorlenta.cli:main" in entry_points


def test_wheel_built_from_the_sdist_installs_into_a_new_environment(sdist, tmp_path):
    # A full build from the sdist alone: nothing of the source tree is used.
    run(sys.executable, "-m", "pip", "wheel", sdist, "--no-deps", "--no-build-isolation",
        "--wheel-dir", tmp_path / "wheels", cwd=tmp_path)
    wheel = only(list((tmp_path / "wheels").glob("*.whl")))
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv)
    python, command = venv / "bin" / "python", venv / "bin" / "vorlenta"
    run(python, "-m", "pip", "install", "-q", wheel, cwd=tmp_path)

    location = run(python, "-c", "import vorlentaCXX, vorlenta; "
                   "print(vorlentaCXX.__file__); print(vorlenta.__file__)", cwd=tmp_path)
    assert all(line.startswith(str(venv)) for line in location.splitlines())
    assert run(command, "--version", cwd=tmp_path).strip() == f"vorlenta {VERSION}"
    tokens = run(command, "tokenize", "--types", "RUWORD", SAMPLE, cwd=tmp_path)
    assert tokens.startswith("RUWORD\tУтром\nRUWORD\tдекабря\nRUWORD\tв\n")
    # The installed stubs are found by a type checker working in that environment.
    (tmp_path / "use.py").write_text("import vorlentaCXX\n"
                                     "reveal_type(vorlentaCXX.FFTokenizer('x').get_batch)\n")
    run(python, "-m", "pip", "install", "-q", "mypy", cwd=tmp_path)
    revealed = run(python, "-m", "mypy", "use.py", cwd=tmp_path)
    assert "def () -> TypedDict(vorlentaCXX._Batch" in revealed
