#!/usr/bin/env bash
# The second build that make test checks, beside the development tree (g++, Boost headers from the pinned
# boost-headers package): the module and the C++ unit tests built with clang against the other Boost, the
# system's. Its C++ unit tests run, and so do the Python tests of the module, the bridge and the transport
# against the module of that tree. Together the two trees cover both compilers and both Boost versions
# once each; the sanitizer trees (scripts/sanitize.sh) add g++ with the system's Boost.
#
#   scripts/test-builds.sh REPORTS-DIR     CTest's and pytest's reports go to the tree and REPORTS-DIR
#
# TARNEL_TEST_CLANG chooses the compiler (default: clang++-14, the lowest clang the project supports).
# Without a system Boost 1.81 or newer the tree uses the pinned headers too, and says so.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
reports="${1:?reports directory}"
venv="${TARNEL_VENV:-$root/.venv}"
base="${TARNEL_BUILD_DIR:-$root/build/dev}"
compiler="${TARNEL_TEST_CLANG:-clang++-14}"
tree="$base/${compiler//+/x}"
say() { printf '[builds] %s\n' "$*"; }

if ! command -v "$compiler" >/dev/null; then
  TARNEL_SETUP_EXTRA=sanitizers TARNEL_SETUP_PACKAGES_ONLY=1 "$root/scripts/setup.sh"
fi

boost_dir=$("$root/scripts/system-boost.sh" || true)
if [[ -n "$boost_dir" ]]; then
  boost_args=(-DTARNEL_BOOST_INCLUDE_DIR=)
else
  boost_dir=$("$venv/bin/python" -c 'import boost_headers; print(boost_headers.get_include())')
  say "no system Boost 1.81 or newer: this tree uses the pinned headers as well"
  boost_args=(-DTARNEL_BOOST_INCLUDE_DIR="$boost_dir")
fi

# -O1 without debug information: quicker to build than the release's -O3, and still optimised, so that
# the compiler's optimiser is exercised too. The module needs CMake 3.26, which the venv has.
if [[ ! -f "$tree/build.ninja" ]]; then
  TARNEL_BOOST_INCLUDE_DIR= "$venv/bin/cmake" -S . -B "$tree" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" \
    -DCMAKE_BUILD_TYPE=Check -DCMAKE_CXX_FLAGS_CHECK="-O1" -DTARNEL_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$venv/bin/python" -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST \
    "${boost_args[@]}" > "$tree.configure.log" 2>&1 || { cat "$tree.configure.log"; exit 1; }
fi
grep -h 'Boost .* headers:' "$tree.configure.log" | sed 's/^-- /[builds] /' || true
say "building $tree with $("$compiler" --version | head -1)"
ninja -C "$tree" -j2 > "$tree/ninja.log" 2>&1 || { tail -80 "$tree/ninja.log"; exit 1; }

status=0
rm -f "$tree/Testing/Temporary/LastTestsFailed.log"
"$venv/bin/ctest" --test-dir "$tree" -j2 --output-on-failure > "$tree/ctest.log" 2>&1 || status=1
grep -E '^[0-9]+% tests passed|tests failed' "$tree/ctest.log" | sed 's/^/  /' || true
((status == 0)) || tail -60 "$tree/ctest.log"

# The module of this tree comes first on the path; the check below makes sure it is the one imported.
module_dir="$tree"
PYTHONPATH="$module_dir" "$venv/bin/python" -c '
import sys, py_engine_tarnel
where = py_engine_tarnel.__file__
print("[builds] Python tests against", where)
sys.exit(not where.startswith(sys.argv[1]))' "$module_dir" || { say "the tree's module is not the one imported"; exit 1; }
PYTHONPATH="$module_dir" "$venv/bin/python" -m pytest -q -p no:cacheprovider --junitxml="$reports/pytest-builds.xml" \
  tests/module tests/bridge tests/ws || status=1
exit $status
