#!/usr/bin/env bash
# Runs every test: the C++ unit tests (CTest), the Python tests (pytest, with the short variants of the
# reliability tests; TARNEL_LONG_TESTS=1 runs the long ones), the same wheel under NumPy 1.26 and under a
# second Python 3.11 interpreter, a second build with clang against the system's Boost (its C++ tests and
# the module, bridge and transport tests), the C++ unit tests and the module's off-strand paths under
# sanitizers, and every fuzz target for a short fixed time (TARNEL_FUZZ_SECONDS, default 20 s each). Call
# scripts/setup.sh first.
#
# It ends with a summary: each stage passed or failed, and under a failed stage the names of its failing
# tests, read from the stage's report (CTest's list of failed tests, node's TAP output, pytest's JUnit XML,
# the sanitizer and fuzzing logs), so that a failure is not lost above pages of later output. The exit
# status is 1 when any stage failed.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
venv="${TARNEL_VENV:-$root/.venv}"
build="${TARNEL_BUILD_DIR:-$root/build/dev}"
wheel=$(ls "$build"/wheel/py_engine_tarnel-*.whl)
reports="$build/test-reports"  # what the stages leave for the summary
rm -rf "$reports" && mkdir -p "$reports"
status=0
summary=()
say() { printf '\n[test] %s\n' "$*"; }
failed_tests() { "$venv/bin/python" "$root/scripts/failed_tests.py" "$@"; }

note() {  # stage exit-status failing-test-names (one a line): the stage's lines of the summary
  if (($2 == 0)); then
    summary+=("  passed  $1")
    return
  fi
  status=1
  summary+=("  FAILED  $1")
  local name named=0
  while IFS= read -r name; do
    if [[ -n "$name" ]]; then summary+=("            $name") && named=1; fi
  done <<<"$3"
  ((named)) || summary+=("            (no test named in its report: see the stage's output above)")
}

# On a system without Boost 1.81 or newer, the trees that would use the system's (sanitizers, fuzzing)
# take the pinned headers of the venv too (cmake/BoostHeaders.cmake reads this variable).
if ! "$root/scripts/system-boost.sh" >/dev/null; then
  TARNEL_BOOST_INCLUDE_DIR="$("$venv/bin/python" -c 'import boost_headers; print(boost_headers.get_include())')"
  export TARNEL_BOOST_INCLUDE_DIR
fi

say "C++ unit tests"
rm -f "$build/Testing/Temporary/LastTestsFailed.log"
code=0
ctest --test-dir "$build" --output-on-failure -j2 || code=$?
note "C++ unit tests (CTest)" $code "$(failed_tests ctest "$build/Testing/Temporary/LastTestsFailed.log")"

say "user interface tests (Node)"
code=0
(cd "$root/ui" && npm test --silent) | tee "$reports/node.tap" || code=$?  # TAP, as the output is no terminal
note "user interface tests (node --test)" $code "$(failed_tests tap "$reports/node.tap")"

say "Python tests"
# The packaging tests install this same wheel into a fresh venv instead of building another.
code=0
TARNEL_TEST_WHEEL="$wheel" "$venv/bin/python" -m pytest -q -p no:cacheprovider --junitxml="$reports/pytest.xml" "$@" ||
  code=$?
note "Python tests (pytest)" $code "$(failed_tests junit "$reports/pytest.xml")"

# The wheel is built against NumPy 2 headers; the same file must load and work with NumPy 1.26, and
# under any CPython 3.11 (it uses only the stable ABI).
compat_venv() {  # name interpreter numpy-requirement
  local dir="$root/.venv-$1"
  if [[ ! -f "$dir/.ready" ]]; then
    rm -rf "$dir"
    "$2" -m venv "$dir" || return 1
    "$dir/bin/python" -m pip install -q "$3" "pytest>=8.0" "pytest-asyncio>=0.23" "pytest-timeout>=2.2" \
      "hypothesis>=6.90" || return 1
    touch "$dir/.ready"
  fi
  "$dir/bin/python" -m pip install -q --no-deps --force-reinstall "$wheel" || return 1
  say "codec tests with $("$dir/bin/python" -c 'import sys, numpy; print(f"Python {sys.version.split()[0]} ({sys.executable}), NumPy {numpy.__version__}")')"
  "$dir/bin/python" -m pytest -q -p no:cacheprovider --junitxml="$reports/pytest-$1.xml" tests/decode tests/module
}
code=0
compat_venv numpy1 "$venv/bin/python" "numpy==1.26.4" || code=$?
note "codec tests with NumPy 1.26" $code "$(failed_tests junit "$reports/pytest-numpy1.xml")"
if [[ -x /usr/bin/python3 ]] && /usr/bin/python3 -m venv --help >/dev/null 2>&1; then
  code=0
  compat_venv system-python /usr/bin/python3 "numpy>=2.0" || code=$?
  note "codec tests with /usr/bin/python3" $code "$(failed_tests junit "$reports/pytest-system-python.xml")"
fi

# The second build: clang 14 and the system's Boost (the tree above is g++ with the pinned headers).
say "the module and the C++ unit tests built with clang 14 against the system's Boost"
clang_tree="$build/clangxx-14"
rm -f "$clang_tree/Testing/Temporary/LastTestsFailed.log" "$reports/pytest-builds.xml"
code=0
"$root/scripts/test-builds.sh" "$reports" || code=$?
note "clang 14 build: C++ unit tests, module, bridge and transport tests" $code \
  "$(failed_tests ctest "$clang_tree/Testing/Temporary/LastTestsFailed.log"; failed_tests junit "$reports/pytest-builds.xml")"

say "C++ unit tests under AddressSanitizer, UndefinedBehaviorSanitizer and ThreadSanitizer"
asan_failed="$build/sanitize-asan/Testing/Temporary/LastTestsFailed.log"
tsan_logs=("$build/sanitize-tsan/runtime_tests.log" "$build/sanitize-tsan/ws_tests.log" "$build/sanitize-tsan/python_tests.log")
rm -f "$asan_failed" "${tsan_logs[@]}"
code=0
"$root/scripts/sanitize.sh" || code=$?
sanitizer_failures() {
  failed_tests ctest "$asan_failed" | sed 's/$/ (address, undefined)/'
  local log
  for log in "${tsan_logs[@]}"; do
    [[ -f "$log" ]] || continue
    sed -n -e 's/^\[  FAILED  \] \([^ ,]*\).*/\1 (thread)/p' -e 's/^FAILED \([^ ]*\).*/\1 (thread)/p' "$log" | sort -u
    if grep -q 'WARNING: ThreadSanitizer' "$log"; then echo "a ThreadSanitizer report: $log"; fi
  done
}
note "C++ unit tests under sanitizers" $code "$(sanitizer_failures)"

say "fuzzing"
code=0
"$root/scripts/fuzz.sh" "${TARNEL_FUZZ_SECONDS:-20}" | tee "$reports/fuzz.log" || code=$?
note "fuzzing" $code "$(sed -n 's/^\[fuzz\] \([^ ]*\): FINDING.*/\1 (a finding)/p' "$reports/fuzz.log")"

say "summary"
printf '%s\n' "${summary[@]}"
exit $status
