#!/usr/bin/env bash
# Installs what is missing (system packages, the project's venv and its Python packages) and builds the
# module and its C++ tests. Idempotent: quick when everything is already there.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

venv="${TARNEL_VENV:-$root/.venv}"
python="${PYTHON:-python3}"

say() { printf '[setup] %s\n' "$*"; }

# --- system packages -------------------------------------------------------------------------------
system_packages=(g++ cmake ninja-build libboost1.81-dev libgtest-dev googletest chromium)
if [[ "${TARNEL_SETUP_EXTRA:-}" == *sanitizers* ]]; then system_packages+=(clang-14 libclang-rt-14-dev); fi
# The benchmark counts system calls with perf (TARNEL_SETUP_EXTRA=bench).
if [[ "${TARNEL_SETUP_EXTRA:-}" == *bench* ]]; then system_packages+=(linux-perf); fi
missing=()
for pkg in "${system_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
# Node.js may come from elsewhere than Debian (it brings its own npm): look for the commands.
command -v node >/dev/null && command -v npm >/dev/null || missing+=(nodejs npm)
if ((${#missing[@]})); then
  say "installing system packages: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
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
  say "installing Python packages"
  "$venv/bin/python" -m pip install -q --upgrade pip
  # The build requirements go into the venv as well: the module is built without isolation so that
  # rebuilds are incremental.
  "$venv/bin/python" scripts/requirements.py build test demo gym ray data > "$venv/requirements.txt"
  "$venv/bin/python" -m pip install -q -r "$venv/requirements.txt"
  echo "$deps_key" > "$stamp"
fi

# --- the reference user interface's Node packages ----------------------------------------------------
if [[ ! -d "$root/ui/node_modules/ws" || "$root/ui/package-lock.json" -nt "$root/ui/node_modules/.package-lock.json" ]]; then
  say "installing the user interface's Node packages"
  (cd "$root/ui" && npm ci --silent --no-audit --no-fund)
fi

# --- build: one CMake tree gives the wheel (installed into the venv) and the C++ unit tests -------
# Skipped when nothing that goes into them changed since the last build into this venv: a second command
# (make demo beside make test) then neither rebuilds the wheel nor reinstalls the module under the first.
build="${TARNEL_BUILD_DIR:-$root/build/dev}"
built="$venv/.tarnel-built"
changed_since_build() {
  [[ ! -f "$built" || "$(cat "$built")" != "$build" ]] && return 0
  local newer
  newer=$(find src python ui cmake CMakeLists.txt pyproject.toml tests \
            \( -name node_modules -o -name __pycache__ -o -name '*.py' -path 'tests/*' \) -prune -o \
            -type f -newer "$built" -print -quit)
  [[ -n "$newer" ]] || ! ls "$build"/wheel/py_engine_tarnel-*.whl >/dev/null 2>&1
}
if changed_since_build; then
  say "building"
  TARNEL_VENV="$venv" "$root/scripts/dev-build.sh"
  echo "$build" > "$built"
else
  say "build up to date"
fi
say "ready: $venv"
