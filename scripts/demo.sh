#!/usr/bin/env bash
# The main job: an end-to-end demo on loopback.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/system-deps.sh
. scripts/venv.sh
python examples/demo.py
