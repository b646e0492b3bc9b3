#!/usr/bin/env bash
# Runs every test: the Python suite, the native unit tests (CTest) and a
# short run of every fuzz target.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/system-deps.sh
. scripts/venv.sh

echo "== native unit tests"
cmake -S . -B build/native -G Ninja -DWIRELET_PYTHON=OFF -DWIRELET_TESTS=ON >/dev/null
ninja -C build/native >/dev/null
ctest --test-dir build/native --output-on-failure -j2 >build/native/ctest.log 2>&1 || { cat build/native/ctest.log; exit 1; }
tail -n 3 build/native/ctest.log

echo "== fuzz targets (short runs)"
if command -v clang++ >/dev/null; then
  CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DWIRELET_PYTHON=OFF -DWIRELET_FUZZ=ON >/dev/null
  ninja -C build/fuzz >/dev/null
  for f in build/fuzz/fuzz_*; do
    [ -x "$f" ] || continue
    name=$(basename "$f"); name=${name#fuzz_}
    # New inputs go to the first corpus folder: keep them out of the repo.
    work="build/fuzz/corpus-$name"
    rm -rf "$work" && mkdir -p "$work"
    corpus=("$work")
    [ -d "fuzz/corpus/$name" ] && corpus+=("fuzz/corpus/$name")
    "$f" -runs=20000 -max_total_time=60 -seed=1 "${corpus[@]}" >"build/fuzz/$name.log" 2>&1 || { cat "build/fuzz/$name.log"; exit 1; }
    echo "fuzz $name: $(grep -o "Done [0-9]* runs" "build/fuzz/$name.log" || echo "runs") ok"
  done
fi

echo "== python tests ($(python -c 'import platform; print(platform.python_version())'))"
python -m pytest -q -p no:cacheprovider tests

# A wheel built from the tree, installed into a fresh virtual environment of
# CPython 3.13 (the newest interpreter the machine has), runs the suite again
# without the source tree on the path.
echo "== wheel on CPython 3.13"
py313=""
for c in python3.13 "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
  if "$c" -c 'import sys, venv, ensurepip; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
    py313="$c"; break
  fi
done
if [ -z "$py313" ]; then
  echo "CPython 3.13 is not installed on this machine: the 3.13 run and the wheel check are skipped."
else
  rm -rf build/py313-build build/py313-run build/wheelhouse
  "$py313" -m venv build/py313-build
  build/py313-build/bin/python -m pip install -q --disable-pip-version-check scikit-build-core ninja cmake
  build/py313-build/bin/python -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
    -w build/wheelhouse "$root"
  wheel=$(ls build/wheelhouse/wirelet-*.whl)
  echo "built $(basename "$wheel")"
  "$py313" -m venv build/py313-run
  build/py313-run/bin/python -m pip install -q --disable-pip-version-check "$wheel"
  # Import from outside the tree first: the wheel alone must be enough.
  (cd /tmp && "$root/build/py313-run/bin/python" -c 'import wirelet, wirelet._wirelet; print("wheel imports:", wirelet.__version__, wirelet._wirelet.__file__)')
  build/py313-run/bin/python -m pip install -q --disable-pip-version-check "${wheel}[test]"
  build/py313-run/bin/python -m pytest -q -p no:cacheprovider tests
fi
