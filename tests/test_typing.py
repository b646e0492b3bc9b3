"""The shipped type information matches the built module, and the package's own
Python code and the examples type-check against it."""
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import wirelet

ROOT = pathlib.Path(__file__).resolve().parent.parent
PKG = pathlib.Path(wirelet.__file__).resolve().parent

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def run(args, tmp_path):
    # Run on a copy of the installed package, never beside the source tree; a
    # copy, because the package's own directory may be site-packages, whose
    # other modules (typing_extensions) mypy would then take for our code.
    src = tmp_path / "src"
    if not src.exists():
        shutil.copytree(PKG, src / "wirelet", ignore=shutil.ignore_patterns("__pycache__"))
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "mypy-cache"), PYTHONPATH=str(src))
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=300)


@needs_mypy
def test_stubs_match_the_module(tmp_path):
    assert (PKG / "py.typed").is_file() and (PKG / "_wirelet.pyi").is_file()
    r = run(["mypy.stubtest", "wirelet._wirelet"], tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


@needs_mypy
def test_package_and_examples_type_check(tmp_path):
    targets = [str(p) for p in sorted((ROOT / "examples").glob("*.py"))]
    r = run(["mypy", "--no-error-summary", "--python-version", f"{sys.version_info[0]}.{sys.version_info[1]}",
             str(tmp_path / "src" / "wirelet"), *targets], tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


def test_every_public_name_has_a_docstring():
    from wirelet import _wirelet as w
    missing = []
    for name, obj in vars(w).items():
        if name.startswith("_"):
            continue
        if isinstance(obj, type):
            missing += [name] if not obj.__doc__ else []
            missing += [f"{name}.{m}" for m, v in vars(obj).items()
                        if not m.startswith("_") and hasattr(v, "__get__") and not getattr(v, "__doc__", None)]
        elif callable(obj) and not obj.__doc__:
            missing.append(name)
    assert missing == []
