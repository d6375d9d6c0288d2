#!/usr/bin/env bash
# Rebuilds the wheel in the development tree and reinstalls it into the project's venv (no dependency
# checks: scripts/setup.sh does those).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
venv="${TARNEL_VENV:-$root/.venv}"
rm -rf "$root/build/wheel"
"$venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$root/build/wheel" \
  -C build-dir="$root/build/dev" -C cmake.define.TARNEL_BUILD_TESTS=ON .
"$venv/bin/python" -m pip install -q --no-deps --force-reinstall "$root"/build/wheel/py_engine_tarnel-*.whl
