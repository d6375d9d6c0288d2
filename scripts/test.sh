#!/usr/bin/env bash
# Runs every test: the C++ unit tests (CTest), the Python tests (pytest, with the short variants of the
# reliability tests; TARNEL_LONG_TESTS=1 runs the long ones), the same wheel under NumPy 1.26 and under a
# second Python 3.11 interpreter, the C++ unit tests under sanitizers, and every fuzz target for a short
# fixed time (TARNEL_FUZZ_SECONDS, default 20 s each). Call scripts/setup.sh first.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
venv="${TARNEL_VENV:-$root/.venv}"
build="${TARNEL_BUILD_DIR:-$root/build/dev}"
wheel=$(ls "$build"/wheel/py_engine_tarnel-*.whl)
status=0
say() { printf '\n[test] %s\n' "$*"; }

say "C++ unit tests"
ctest --test-dir "$build" --output-on-failure -j2 || status=1

say "user interface tests (Node)"
(cd "$root/ui" && npm test --silent) || status=1

say "Python tests"
# The packaging tests install this same wheel into a fresh venv instead of building another.
TARNEL_TEST_WHEEL="$wheel" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=1

# The wheel is built against NumPy 2 headers; the same file must load and work with NumPy 1.26, and
# under any CPython 3.11 (it uses only the stable ABI).
compat_venv() {  # name interpreter numpy-requirement
  local dir="$root/.venv-$1"
  if [[ ! -f "$dir/.ready" ]]; then
    rm -rf "$dir"
    "$2" -m venv "$dir"
    "$dir/bin/python" -m pip install -q "$3" "pytest>=8.0" "pytest-asyncio>=0.23" "pytest-timeout>=2.2" "hypothesis>=6.90"
    touch "$dir/.ready"
  fi
  "$dir/bin/python" -m pip install -q --no-deps --force-reinstall "$wheel"
  say "codec tests with $("$dir/bin/python" -c 'import sys, numpy; print(f"Python {sys.version.split()[0]} ({sys.executable}), NumPy {numpy.__version__}")')"
  "$dir/bin/python" -m pytest -q -p no:cacheprovider tests/decode tests/module || status=1
}
compat_venv numpy1 "$venv/bin/python" "numpy==1.26.4"
if [[ -x /usr/bin/python3 ]] && /usr/bin/python3 -m venv --help >/dev/null 2>&1; then
  compat_venv system-python /usr/bin/python3 "numpy>=2.0"
fi

say "C++ unit tests under AddressSanitizer, UndefinedBehaviorSanitizer and ThreadSanitizer"
"$root/scripts/sanitize.sh" || status=1

say "fuzzing"
"$root/scripts/fuzz.sh" "${TARNEL_FUZZ_SECONDS:-20}" || status=1

exit $status
