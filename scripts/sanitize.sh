#!/usr/bin/env bash
# The C++ unit tests under sanitizers, with g++:
#   - every unit test (codec, runtime, ws) built with AddressSanitizer and UndefinedBehaviorSanitizer
#     (LeakSanitizer included), run through CTest;
#   - the runtime and transport tests (async mutex, notifier, tasks and cancellation, the link, the
#     direct lane) built with ThreadSanitizer;
#   - the module itself built with ThreadSanitizer, under the Python tests of the paths that run off the
#     engine's strand (direct calls, the link's liveness, loops, closing).
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

# --- ThreadSanitizer: the runtime primitives and the direct lane ---------------------------------------
tsan="$base/sanitize-tsan"
say "runtime and transport tests with -fsanitize=thread ($tsan)"
configure "$tsan" "-O1 -g1 -fsanitize=thread"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
# ThreadSanitizer cannot map its shadow memory under the widest address randomisation of newer kernels;
# running without randomisation avoids that without changing what is checked.
no_aslr=()
if setarch "$(uname -m)" -R true 2>/dev/null; then no_aslr=(setarch "$(uname -m)" -R); fi
run_tsan() {  # name command...: runs it, its log in $tsan/<name>.log
  local name="$1"
  shift
  if "${no_aslr[@]}" "$@" > "$tsan/$name.log" 2>&1; then
    grep -E '^\[  PASSED  \]|^[0-9]+ passed' "$tsan/$name.log" | sed "s/^/  $name: /" || true
  else
    status=1
    grep -E 'WARNING: ThreadSanitizer|SUMMARY|FAILED|failed' "$tsan/$name.log" | head -20 | sed 's/^/  /' || true
    say "ThreadSanitizer: $name failed; see $tsan/$name.log"
  fi
}
if build "$tsan" runtime_tests ws_tests; then
  run_tsan runtime_tests "$tsan/tests/runtime_tests"
  run_tsan ws_tests "$tsan/tests/ws_tests"
else
  status=1
fi

# --- ThreadSanitizer: the module itself, under the Python tests of its off-strand paths ----------------
# The module is built with -fsanitize=thread (and with its debug checks: no NDEBUG) and loaded into the
# project's uninstrumented interpreter with the sanitizer's runtime preloaded. The interpreter lock is a
# pthread mutex, which the sanitizer sees, so races between threads that hold it are not reported; what the
# interpreter does in its own frames is suppressed (scripts/tsan-suppressions.txt).
venv="${TARNEL_VENV:-$root/.venv}"
tsan_module="$base/sanitize-tsan-module"
say "the module with -fsanitize=thread under the direct-lane, liveness and loop tests ($tsan_module)"
if [[ ! -f "$tsan_module/build.ninja" ]]; then
  "$venv/bin/cmake" -S . -B "$tsan_module" -G Ninja -DTARNEL_BUILD_MODULE=ON -DTARNEL_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=Sanitize -DPython_EXECUTABLE="$venv/bin/python" -DCMAKE_CXX_FLAGS="-O1 -g1 -fsanitize=thread" \
    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=thread" > /dev/null
fi
if build "$tsan_module" py_engine_tarnel; then
  rm -rf "$tsan_module/import" && mkdir -p "$tsan_module/import"
  ln -s "$tsan_module/py_engine_tarnel.abi3.so" "$tsan_module/import/"
  rm -f "$tsan_module"/reports.*
  TSAN_OPTIONS="halt_on_error=0:report_signal_unsafe=0:log_path=$tsan_module/reports:suppressions=$root/scripts/tsan-suppressions.txt" \
    PYTHONPATH="$tsan_module/import:$root/python" LD_PRELOAD="$(gcc -print-file-name=libtsan.so)" \
    run_tsan python_tests "$venv/bin/python" -m pytest -q -p no:cacheprovider \
      tests/bridge/test_bridge_direct_calls.py tests/bridge/test_bridge_loop_liveness.py \
      tests/bridge/test_bridge_loops.py tests/bridge/test_bridge_running_loop.py \
      tests/bridge/test_bridge_inline_completion.py tests/engine/test_engine_close.py
  if compgen -G "$tsan_module/reports.*" > /dev/null; then
    status=1
    cat "$tsan_module"/reports.* >> "$tsan/python_tests.log"
    grep -h SUMMARY "$tsan_module"/reports.* | sort | uniq -c | sed 's/^/  /'
    say "ThreadSanitizer: reports from the module; see $tsan/python_tests.log"
  fi
else
  status=1
fi

if ((status)); then say "FAILED"; else say "all clean"; fi
exit $status
