#!/usr/bin/env bash
# Creates .venv (once) and installs the package with its test extras.
# Sourced by test.sh and demo.sh.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ ! -x "$root/.venv/bin/python" ]; then
  python3 -m venv "$root/.venv"
fi
# shellcheck disable=SC1091
. "$root/.venv/bin/activate"
python -m pip install -q --disable-pip-version-check scikit-build-core ninja cmake
python -m pip install -q --disable-pip-version-check --no-build-isolation "$root[test]"
