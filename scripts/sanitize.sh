#!/usr/bin/env bash
# The C++ unit tests under sanitizers, with g++:
#   - every unit test (codec, runtime, ws) built with AddressSanitizer and UndefinedBehaviorSanitizer
#     (LeakSanitizer included), run through CTest;
#   - the runtime tests (async mutex, notifier, tasks and cancellation) built with ThreadSanitizer.
# Any report fails the run. The trees are $TARNEL_BUILD_DIR/sanitize-asan and .../sanitize-tsan
# (default under build/dev).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
base="${TARNEL_BUILD_DIR:-$root/build/dev}"
say() { printf '[sanitize] %s\n' "$*"; }
status=0

configure() {  # directory flags
  # Tests are listed when CTest runs rather than by running each binary at build time.
  if [[ ! -f "$1/build.ninja" ]]; then
    cmake -S . -B "$1" -G Ninja -DTARNEL_BUILD_MODULE=OFF -DTARNEL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Sanitize \
      -DCMAKE_CXX_FLAGS="$2" -DCMAKE_EXE_LINKER_FLAGS="$2" -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST \
      >/dev/null
  fi
}

build() {  # directory targets...
  local dir="$1"
  shift
  ninja -C "$dir" -j2 "$@" > "$dir/ninja.log" 2>&1 || { cat "$dir/ninja.log"; return 1; }
}

# --- AddressSanitizer + UndefinedBehaviorSanitizer ---------------------------------------------------
asan="$base/sanitize-asan"
say "unit tests with -fsanitize=address,undefined ($asan)"
# -O0 -g1 builds about three times faster than -O1 -g and the reports keep their file and line.
configure "$asan" "-O0 -g1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined"
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan-suppressions.txt:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
if build "$asan"; then
  ctest --test-dir "$asan" -j2 --output-on-failure > "$asan/ctest.log" 2>&1 || status=1
  grep -E '^[0-9]+% tests passed|tests failed|ERROR: .*Sanitizer|runtime error' "$asan/ctest.log" | sed 's/^/  /' || true
  ((status == 0)) || tail -60 "$asan/ctest.log"
else
  status=1
fi

# --- ThreadSanitizer: the runtime primitives ------------------------------------------------------------
tsan="$base/sanitize-tsan"
say "runtime tests with -fsanitize=thread ($tsan)"
configure "$tsan" "-O1 -g1 -fsanitize=thread"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
# ThreadSanitizer cannot map its shadow memory under the widest address randomisation of newer kernels;
# running without randomisation avoids that without changing what is checked.
no_aslr=()
if setarch "$(uname -m)" -R true 2>/dev/null; then no_aslr=(setarch "$(uname -m)" -R); fi
if build "$tsan" runtime_tests; then
  if "${no_aslr[@]}" "$tsan/tests/runtime_tests" > "$tsan/runtime_tests.log" 2>&1; then
    grep -E '^\[  PASSED  \]' "$tsan/runtime_tests.log" | sed 's/^/  /' || true
    say "ThreadSanitizer: no reports"
  else
    status=1
    grep -E 'WARNING: ThreadSanitizer|SUMMARY|FAILED' "$tsan/runtime_tests.log" | head -20 | sed 's/^/  /' || true
    say "ThreadSanitizer: failed; see $tsan/runtime_tests.log"
  fi
else
  status=1
fi

if ((status)); then say "FAILED"; else say "all clean"; fi
exit $status
