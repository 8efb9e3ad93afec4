import glob
import os
import shutil
import subprocess
import sys

import pytest

import vorlenta._native
import vorlentaCXX


def run_python(interpreter, code, cwd=None):
    return subprocess.run([interpreter, "-c", code], capture_output=True, text=True, cwd=cwd,
                          timeout=120)


def test_numpy_is_loaded_by_the_first_batch_that_holds_tokens():
    done = run_python(sys.executable, "; ".join([
        "import sys, vorlentaCXX as vx",
        "print('numpy' in sys.modules)",
        # Made, configured and drained to {} without it.
        "t = vx.FTTokenizer('abc'); t.set_filter(vx.RUWORD)",
        "print(t.get_batch(), t.get_batch(), 'numpy' in sys.modules)",
        "print(vx.FTTokenizer('abc').get_batch()['text'][:-1], 'numpy' in sys.modules)"]))
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["False", "{} {} False", "abc True"]


@pytest.mark.parametrize("module, entry", [
    (vorlentaCXX, "PyInit_vorlentaCXX"), (vorlenta._native, "PyInit__native")])
def test_exports_only_the_module_entry(module, entry):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", module.__file__],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == [entry]


def test_second_import_gives_the_same_module():
    done = run_python(sys.executable,
                      "import sys, vorlentaCXX as a; del sys.modules['vorlentaCXX'];"
                      "import vorlentaCXX as b; print(a is b, a.TokenType is b.TokenType)")
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["True", "True"]


def find_python312():
    candidates = [shutil.which("python3.12")]
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    candidates += sorted(glob.glob(os.path.join(root, "versions", "3.12.*", "bin", "python3.12")))
    for candidate in candidates:
        if candidate and run_python(candidate, "import sys").returncode == 0:
            return candidate
    return None


def test_other_interpreter_series_is_refused(tmp_path):
    python312 = find_python312()
    if python312 is None:
        pytest.skip("no Python 3.12 interpreter available")
    shutil.copy(vorlentaCXX.__file__, tmp_path / "vorlentaCXX.so")
    # Lazy binding lets the entry run far enough to check the version before any
    # 3.13-only symbol is needed.
    done = run_python(python312, "import os, sys\n"
                      "sys.setdlopenflags(os.RTLD_LAZY)\n"
                      "try:\n    import vorlentaCXX\n"
                      "except ImportError as e:\n    print(e)\n", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    version = run_python(python312, "import sys; print(sys.version)").stdout.strip()
    assert done.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.13, but the interpreter "
        f"version is incompatible: {version}.")
