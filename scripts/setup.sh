#!/usr/bin/env bash
# Installs what is missing (system packages, the project's venv and its Python packages) and builds the
# module and its C++ tests. Idempotent: quick when everything is already there.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

venv="${TARNEL_VENV:-$root/.venv}"
python="${PYTHON:-python3}"

say() { printf '[setup] %s\n' "$*"; }
logs="${TARNEL_LOG_DIR:-$root/build/logs}"  # the whole output of the long steps

# Runs a step that can take minutes, so that it never sits silent: a line when it starts, its progress as
# it comes (ninja's "[n/N] ..." lines, pip's "Collecting ..." lines, npm's lines), each with the seconds
# since the start, and a line with its time at the end. Its whole output goes to LOG; on a failure the
# end of it is shown.
stage() {  # stage NAME LOG COMMAND...
  local name="$1" log="$2" start=$SECONDS line
  shift 2
  mkdir -p "$(dirname "$log")"
  say "$name ..."
  if ! "$@" 2>&1 | tee "$log" | while IFS= read -r line; do
      if [[ "$line" =~ ^[[:space:]]*(\[[0-9]+/[0-9]+\]|Collecting|Building wheel|added [0-9]+ package) ]]; then
        line="${line#"${line%%[![:space:]]*}"}"
        printf '[setup]   %4ds  %s\n' $((SECONDS - start)) "${line:0:100}"
      fi
    done; then
    say "$name failed after $((SECONDS - start)) s; the end of its output (all of it in $log):"
    tail -n 40 "$log" >&2
    return 1
  fi
  say "$name: done in $((SECONDS - start)) s"
}

# --- system packages -------------------------------------------------------------------------------
# Each piece is looked for by what it provides (a command, a header), not by a package name, since names
# differ between distributions; a missing one is installed with apt under the first of its names that apt
# knows ("a,b": both packages). The build needs no Boost of the system's: pip takes the headers from a
# pinned Python package. A system Boost 1.81 or newer is installed where apt has one only so that make test
# also builds against a second Boost version (scripts/test-builds.sh); Chromium only for the browser tests.
apt_knows() {  # a package apt could install
  command -v apt-cache >/dev/null || return 1
  local candidate
  candidate=$(apt-cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: //p')
  [[ -n "$candidate" && "$candidate" != "(none)" ]]
}
newest_boost_package() {  # libboost1.NN-dev with the highest NN >= 81 that apt knows
  command -v apt-cache >/dev/null || return 0
  apt-cache pkgnames libboost1. 2>/dev/null | sed -n 's/^libboost1\.\([0-9][0-9]*\)-dev$/\1/p' |
    awk '$1 >= 81' | sort -n | tail -1 | sed 's/^/libboost1./; s/$/-dev/'
}
has_chromium() { command -v chromium || command -v chromium-browser || command -v google-chrome ||
  command -v google-chrome-stable; }

pieces=(  # required|optional  name  test  apt-names...
  "required|a C++23 compiler (g++ 12 or newer)|command -v g++|g++"
  "required|CMake|command -v cmake|cmake"
  "required|Ninja|command -v ninja|ninja-build"
  "required|GoogleTest|test -f /usr/include/gtest/gtest.h|libgtest-dev,googletest"
  "required|Node.js with npm|command -v node && command -v npm|nodejs,npm"
  "optional|Boost 1.81 or newer for the second-version tests|scripts/system-boost.sh|@boost"
  "optional|Chromium for the browser tests|has_chromium|chromium chromium-browser"
)
if [[ "${TARNEL_SETUP_EXTRA:-}" == *sanitizers* ]]; then
  pieces+=("required|clang 14 with its sanitizer runtimes|command -v clang++-14 && compgen -G '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a'|clang-14,libclang-rt-14-dev")
fi
# The benchmark counts system calls with perf (TARNEL_SETUP_EXTRA=bench).
if [[ "${TARNEL_SETUP_EXTRA:-}" == *bench* ]]; then pieces+=("required|perf|command -v perf|linux-perf"); fi

absent=()
for piece in "${pieces[@]}"; do
  IFS='|' read -r _ _ check _ <<<"$piece"
  eval "$check" >/dev/null 2>&1 || absent+=("$piece")
done
if ((${#absent[@]})); then
  sudo_cmd=()
  [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
  if command -v apt-get >/dev/null; then "${sudo_cmd[@]}" apt-get update -qq || true; fi
  for piece in "${absent[@]}"; do
    IFS='|' read -r need name check names <<<"$piece"
    [[ "$names" == @boost ]] && names="$(newest_boost_package)"
    chosen=""
    for candidate in $names; do
      if apt_knows "${candidate%%,*}"; then chosen="${candidate//,/ }" && break; fi
    done
    if [[ -n "$chosen" ]]; then
      say "installing $name: $chosen"
      started=$SECONDS
      # shellcheck disable=SC2086  # the names are words
      DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq $chosen >/dev/null 2>&1 || true
      say "  (apt-get took $((SECONDS - started)) s)"
    fi
    eval "$check" >/dev/null 2>&1 && continue
    case "$name" in
      Chromium*) say "no Chromium (chromium, chromium-browser, google-chrome): the browser tests are skipped; install Chromium to run them" ;;
      Boost*) say "no system Boost 1.81 or newer: make test builds its second tree against the pinned headers too; install your system's Boost 1.81+ development package to test both" ;;
      *) say "missing $name: install it (on Debian or Ubuntu: apt-get install ${names//,/ })"
         [[ "$need" == required ]] && missing_required=1 ;;
    esac
  done
  if [[ -n "${missing_required:-}" ]]; then exit 1; fi
fi
# The fuzzing and sanitizer scripts ask for their compilers only (TARNEL_SETUP_EXTRA=sanitizers).
if [[ -n "${TARNEL_SETUP_PACKAGES_ONLY:-}" ]]; then exit 0; fi

# --- the project's venv ----------------------------------------------------------------------------
if [[ ! -x "$venv/bin/python" ]]; then
  say "creating venv $venv"
  "$python" -m venv "$venv"
fi
stamp="$venv/.tarnel-deps"
deps_key="$(sha256sum pyproject.toml | cut -c1-16)"
if [[ ! -f "$stamp" || "$(cat "$stamp")" != "$deps_key" ]]; then
  "$venv/bin/python" -m pip install -q --upgrade pip
  # The build requirements go into the venv as well: the module is built without isolation so that
  # rebuilds are incremental.
  "$venv/bin/python" scripts/requirements.py build test demo gym ray data > "$venv/requirements.txt"
  stage "installing Python packages (the first time takes a few minutes)" "$logs/pip.log" \
    "$venv/bin/python" -m pip install --progress-bar off -r "$venv/requirements.txt"
  echo "$deps_key" > "$stamp"
fi

# --- the reference user interface's Node packages ----------------------------------------------------
if [[ ! -d "$root/ui/node_modules/ws" || "$root/ui/package-lock.json" -nt "$root/ui/node_modules/.package-lock.json" ]]; then
  stage "installing the user interface's Node packages" "$logs/npm.log" \
    npm --prefix "$root/ui" ci --no-audit --no-fund
fi

# --- build: one CMake tree gives the wheel (installed into the venv) and the C++ unit tests -------
# Skipped when nothing that goes into them changed since the last build into this venv: a second command
# (make demo beside make test) then neither rebuilds the wheel nor reinstalls the module under the first.
build="${TARNEL_BUILD_DIR:-$root/build/dev}"
module_build="${TARNEL_MODULE_BUILD_DIR:-$root/build/module}"  # make demo's: the wheel without the C++ tests
built="$venv/.tarnel-built"
changed_since_build() {  # changed_since_build TREE: the module installed from TREE is not the sources' own
  local tree="$1" newer
  [[ ! -f "$built" || "$(cat "$built")" != "$tree" ]] && return 0
  newer=$(find src python ui cmake CMakeLists.txt pyproject.toml tests \
            \( -name node_modules -o -name __pycache__ -o -name '*.py' -path 'tests/*' \) -prune -o \
            -type f -newer "$built" -print -quit)
  [[ -n "$newer" ]] || ! ls "$tree"/wheel/py_engine_tarnel-*.whl >/dev/null 2>&1
}
store_in_cache() {
  "$root/scripts/wheel-cache.sh" store "$key" "$(ls -t "$1"/wheel/py_engine_tarnel-*.whl | head -1)" ||
    say "could not store the wheel in the wheel cache (the next clone builds again)"
}
# Only the module (make demo: TARNEL_SETUP_WHEEL_CACHE=1) can come from the machine's wheel cache, filled by
# every build of any clone (scripts/wheel-cache.sh); the C++ tests need the tree, so make test builds.
key="$("$root/scripts/wheel-cache.sh" key)"
if [[ -n "${TARNEL_SETUP_WHEEL_CACHE:-}" ]]; then
  if [[ "$(cat "$built" 2>/dev/null)" == "cache $key" ]]; then
    say "module up to date (from the wheel cache)"
  elif ! changed_since_build "$build" || ! changed_since_build "$module_build"; then
    say "build up to date"
  elif cached="$("$root/scripts/wheel-cache.sh" find "$key")"; then
    say "installing the module from the wheel cache: $cached"
    "$venv/bin/python" -m pip install -q --no-deps --force-reinstall "$cached"
    echo "cache $key" > "$built"
  else
    # The demo needs the module only: the wheel without the C++ unit tests, in a tree of its own, so that
    # make test's tree (with the tests) stays as it is.
    rm -rf "$module_build/wheel"
    stage "building the module (about 5 minutes on 2 busy cores the first time; seconds once built)" \
      "$logs/module.log" \
      "$venv/bin/python" -m pip wheel -v --no-build-isolation --no-deps -w "$module_build/wheel" \
      -C build-dir="$module_build" .
    "$venv/bin/python" -m pip install -q --no-deps --force-reinstall \
      "$(ls -t "$module_build"/wheel/py_engine_tarnel-*.whl | head -1)"
    echo "$module_build" > "$built"
    store_in_cache "$module_build"
  fi
elif changed_since_build "$build"; then
  say "building"
  TARNEL_VENV="$venv" "$root/scripts/dev-build.sh"
  echo "$build" > "$built"
  store_in_cache "$build"
else
  say "build up to date"
fi
say "ready: $venv"
