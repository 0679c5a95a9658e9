"""Packaging: the sdist and the wheel build offline without build isolation and leave the
checkout alone; pip installs the checkout and the wheel; the installed module works and its
stub is what mypy reads. Slow (three builds): deselect with -m "not slow"."""
import email.parser
import importlib.machinery
import importlib.util
import os
import re
import subprocess
import sys
import tarfile
import tomllib
import zipfile
from pathlib import Path

import pytest
from packaging.specifiers import SpecifierSet

pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parent.parent
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
STUB = (ROOT / "vorl.pyi").read_bytes()
EXTENSION = "vorl" + importlib.machinery.EXTENSION_SUFFIXES[0]
PIP = ["-m", "pip", "install", "--no-build-isolation", "--no-deps", "--no-index",
       "--no-cache-dir", "--root-user-action=ignore", "--disable-pip-version-check", "-q"]

# What a build could leave in the checkout: CMake trees, wheels and metadata.
ARTIFACTS = re.compile(r"^(dist|_skbuild|wheelhouse|CMakeFiles|CMakeCache\.txt|build\.ninja"
                       r"|.*\.egg-info|vorl\..*\.so|cp3\d+-.*|.*-linux_.*)$")

# Run by the installed interpreter in a fresh process: the module works as installed.
SMOKE = """
import importlib.metadata, sys, vorl
rows = [["id", "name"], ["1", "Zo\\u00eb \\U0001F98A"], [], [";", "00"]]
assert vorl.parse(vorl.stringify(rows)) == rows
try:
    vorl.parse("05hello;x")
except SyntaxError as error:
    assert error.args == ("Unexpected token 'x' at position 8",)
else:
    raise AssertionError("no SyntaxError")
assert not hasattr(vorl, "__version__")
print(vorl.__file__)
print(importlib.metadata.version("vorl"))
"""


def environment():
    """This process's environment without the path to the build tree's module."""
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    return env


def run(*args, cwd):
    done = subprocess.run([str(a) for a in args], cwd=cwd, env=environment(),
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, f"{args}\n{done.stdout}\n{done.stderr}"
    return done.stdout


def artifacts():
    """Build leftovers at the top of the checkout and in build/."""
    found = set()
    for folder in (ROOT, ROOT / "build"):
        if folder.is_dir():
            found |= {folder / name for name in os.listdir(folder) if ARTIFACTS.match(name)}
    return found


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """An sdist, and a wheel built from it, made with `python -m build --no-isolation`."""
    out = tmp_path_factory.mktemp("dist")
    before = artifacts()
    run(sys.executable, "-m", "build", "--no-isolation", "--outdir", out, ROOT, cwd=out)
    return {"dir": out, "new_artifacts": artifacts() - before,
            "sdist": next(out.glob("*.tar.gz")), "wheel": next(out.glob("*.whl"))}


@pytest.fixture(scope="module")
def venv(dist, tmp_path_factory):
    """A virtual environment (seeing the system's packages) with the wheel installed."""
    where = tmp_path_factory.mktemp("venv")
    run(sys.executable, "-m", "venv", "--without-pip", "--system-site-packages", where, cwd=where)
    python = where / "bin" / "python"
    run(python, *PIP, dist["wheel"], cwd=where)
    return python


def test_building_leaves_the_checkout_alone(dist):
    assert dist["new_artifacts"] == set()


def test_sdist_holds_what_the_build_needs(dist):
    with tarfile.open(dist["sdist"]) as sdist:
        names = {Path(*Path(n).parts[1:]).as_posix() for n in sdist.getnames()}
    sources = {p.relative_to(ROOT).as_posix() for d in ("codec", "module") for p in (ROOT / d).iterdir()
               if p.suffix in (".cpp", ".h")}
    needed = {"pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "vorl.pyi", "PKG-INFO"}
    assert needed | sources <= names
    assert not [n for n in names if n.startswith(("build/", "dist/", ".git/"))]


def test_wheel_holds_module_stubs_and_licence(dist):
    with zipfile.ZipFile(dist["wheel"]) as wheel:
        names = set(wheel.namelist())
        info = f"vorl-{PROJECT['version']}.dist-info/"
        assert {n for n in names if not n.startswith(info)} == {EXTENSION, "vorl.pyi", "vorl-stubs/__init__.pyi"}
        assert {info + "licenses/LICENSE", info + "METADATA", info + "WHEEL", info + "RECORD"} <= names
        assert wheel.read("vorl.pyi") == STUB
        assert wheel.read("vorl-stubs/__init__.pyi") == STUB
        metadata = email.parser.Parser().parsestr(wheel.read(info + "METADATA").decode("utf-8"))
        tags = email.parser.Parser().parsestr(wheel.read(info + "WHEEL").decode("utf-8"))
    assert metadata["Name"] == PROJECT["name"] == "vorl"
    assert metadata["Version"] == PROJECT["version"]
    assert SpecifierSet(metadata["Requires-Python"]) == SpecifierSet(PROJECT["requires-python"])
    assert metadata["License-Expression"] == PROJECT["license"]
    assert metadata["Summary"] == PROJECT["description"]
    assert set(metadata.get_all("Classifier")) == set(PROJECT["classifiers"])
    assert tags["Root-Is-Purelib"] == "false"
    assert all(t.startswith("cp315-cp315-") for t in tags.get_all("Tag"))


def test_pip_installs_the_checkout(tmp_path):
    target = tmp_path / "site"
    before = artifacts()
    run(sys.executable, *PIP, "--target", target, ROOT, cwd=tmp_path)
    assert artifacts() - before == set()
    assert (target / "vorl.pyi").read_bytes() == STUB
    assert (target / "vorl-stubs" / "__init__.pyi").read_bytes() == STUB
    env = environment() | {"PYTHONPATH": str(target)}
    done = subprocess.run([sys.executable, "-c", SMOKE], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    module_file, version = done.stdout.split()
    assert Path(module_file) == target / EXTENSION
    assert version == PROJECT["version"]


def test_installed_wheel_works(venv, tmp_path):
    module_file, version = run(venv, "-c", SMOKE, cwd=tmp_path).split()
    assert Path(module_file).parent.name == "site-packages"
    assert Path(module_file).is_relative_to(venv.parent.parent)
    assert version == PROJECT["version"]
    run(venv, ROOT / "tests" / "typing_example.py", cwd=tmp_path)


def mypy(venv, tmp_path, *args):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed for this interpreter")
    return subprocess.run([str(venv), "-m", "mypy", "--strict", "--no-incremental",
                           "--cache-dir", str(tmp_path / "cache"), *map(str, args)],
                          cwd=tmp_path, env=environment(), capture_output=True, text=True, timeout=300)


def test_mypy_strict_accepts_the_typed_example(venv, tmp_path):
    done = mypy(venv, tmp_path, ROOT / "tests" / "typing_example.py")
    assert done.returncode == 0, done.stdout + done.stderr


MISUSE = {
    'vorl.parse(b"01a;")': "arg-type",
    'vorl.parse(text="01a;")': "call-arg",
    "vorl.stringify(5)": "arg-type",
    "vorl.stringify([1])": "list-item",
    "number: int = vorl.stringify([])": "assignment",
    'cell: int = vorl.parse(";")[0][0]': "assignment",
    "vorl.HEX = 16": "assignment",
    "vorl.missing": "attr-defined",
}


def test_mypy_strict_rejects_misuse(venv, tmp_path):
    """Each line is one mistake that the stub must catch (so the stub, not Any, is in use)."""
    source = tmp_path / "misuse.py"
    source.write_text("import vorl\n" + "".join(line + "\n" for line in MISUSE), encoding="utf-8")
    done = mypy(venv, tmp_path, source)
    found = dict(re.findall(r"^misuse\.py:(\d+): error: .*\[([a-z-]+)\]$", done.stdout, re.M))
    assert found == {str(n): code for n, code in enumerate(MISUSE.values(), start=2)}, done.stdout


def test_stub_matches_the_module(venv, tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed for this interpreter")
    run(venv, "-m", "mypy.stubtest", "vorl", cwd=tmp_path)
