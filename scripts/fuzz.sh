#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang 14 (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for the given number of seconds, starting from the committed seed corpus. Fails on any
# finding (a crash, a sanitizer report, a broken invariant, an input slower than 10 s); prints the
# executions per target.
#
#   scripts/fuzz.sh [seconds-per-target]     default 60; CI runs a short fixed time
#
# The build tree is $TARNEL_BUILD_DIR/fuzz (default build/dev/fuzz). New inputs the fuzzer finds go to
# a corpus in the build tree, never into fuzz/corpus; a finding is saved under <build>/fuzz/findings/.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
seconds="${1:-60}"
build="${TARNEL_BUILD_DIR:-$root/build/dev}/fuzz"
parallel="${TARNEL_FUZZ_PARALLEL:-2}"
say() { printf '[fuzz] %s\n' "$*"; }

if ! command -v clang++-14 >/dev/null || ! compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
  TARNEL_SETUP_EXTRA=sanitizers TARNEL_SETUP_PACKAGES_ONLY=1 "$root/scripts/setup.sh"
fi

if [[ ! -f "$build/build.ninja" ]]; then
  cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
fi
ninja -C "$build" -j2 > "$build/ninja.log" 2>&1 || { cat "$build/ninja.log"; exit 1; }

targets=()
for source in fuzz/*.cpp; do targets+=("$(basename "$source" .cpp)"); done
mkdir -p "$build/findings" "$build/logs"

run_target() {
  local target="$1" max_len=4096
  # Long enough to cross the 8 KiB header limit of the upgrade request.
  [[ "$target" == upgrade_request ]] && max_len=12000
  mkdir -p "$build/corpus/$target"
  "$build/fuzz_$target" -max_total_time="$seconds" -timeout=10 -max_len="$max_len" -print_final_stats=1 \
    -artifact_prefix="$build/findings/$target-" "$build/corpus/$target" "fuzz/corpus/$target" \
    > "$build/logs/$target.log" 2>&1
}

report() {  # target exit-status
  local log="$build/logs/$1.log" runs cov
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1 || true)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
  if [[ "$2" -eq 0 ]]; then
    say "$(printf '%-16s %10s executions in %s s, %s coverage points, no findings' "$1" "${runs:-?}" "$seconds" "${cov:-?}")"
  else
    say "$1: FINDING (exit status $2) after ${runs:-?} executions; the end of $log:"
    { grep -E 'ERROR|invariant broken|^    [^#]|SUMMARY|Test unit written|runtime error' "$log" || tail -20 "$log"; } |
      head -20 | sed 's/^/    /' || true
  fi
}

say "running ${#targets[@]} targets for $seconds s each, $parallel at a time"
status=0
for ((i = 0; i < ${#targets[@]}; i += parallel)); do
  batch=("${targets[@]:i:parallel}")
  pids=()
  for target in "${batch[@]}"; do
    run_target "$target" &
    pids+=($!)
  done
  for j in "${!batch[@]}"; do
    code=0
    wait "${pids[$j]}" || code=$?
    report "${batch[$j]}" "$code"
    ((code == 0)) || status=1
  done
done
if ((status)); then say "findings saved in $build/findings"; else say "no findings"; fi
exit $status
