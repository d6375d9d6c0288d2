#!/usr/bin/env bash
# Rebuilds the wheel in the development tree and reinstalls it into the project's venv (no dependency
# checks: scripts/setup.sh does those). TARNEL_VENV and TARNEL_BUILD_DIR choose another venv and tree.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
venv="${TARNEL_VENV:-$root/.venv}"
build="${TARNEL_BUILD_DIR:-$root/build/dev}"
rm -rf "$build/wheel"
"$venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$build/wheel" \
  -C build-dir="$build" -C cmake.define.TARNEL_BUILD_TESTS=ON .
"$venv/bin/python" -m pip install -q --no-deps --force-reinstall "$build"/wheel/py_engine_tarnel-*.whl
