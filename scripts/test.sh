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
    "$f" -runs=20000 -seed=1 "${corpus[@]}" >"build/fuzz/$name.log" 2>&1 || { cat "build/fuzz/$name.log"; exit 1; }
    echo "fuzz $name: 20000 runs ok"
  done
fi

echo "== python tests"
python -m pytest -q -p no:cacheprovider tests
