#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo use, when
# they are missing. Needs root (or sudo) on a fresh machine.
set -euo pipefail
pkgs=(g++ cmake ninja-build libgtest-dev clang libclang-rt-14-dev libfuzzer-14-dev
      libnghttp2-dev nghttp2-client nghttp2-server curl wrk python3-venv)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# cmake and ninja may come from pip instead of Debian.
filtered=()
for p in "${missing[@]}"; do
  case "$p" in
    cmake) command -v cmake >/dev/null || filtered+=("$p") ;;
    ninja-build) command -v ninja >/dev/null || filtered+=("$p") ;;
    python3-venv) python3 -c 'import venv, ensurepip' 2>/dev/null || filtered+=("$p") ;;
    *) filtered+=("$p") ;;
  esac
done
if [ ${#filtered[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${filtered[@]}" >/dev/null
fi
