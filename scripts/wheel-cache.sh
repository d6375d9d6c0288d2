#!/usr/bin/env bash
# The wheel cache that the clones of the project on one machine share, so that a second clone's make demo
# installs the module instead of compiling it again. A wheel is filed under a key: the hash of every file
# that goes into it (the module's sources, the build files, tarnel_rl, the user interface, the README) and
# of the compiler's version. Only the newest few keys are kept.
#
#   wheel-cache.sh key [TREE]         prints the key of a source tree (default: this one)
#   wheel-cache.sh find KEY           prints the path of the wheel filed under KEY; exits 1 when there is none
#   wheel-cache.sh store KEY WHEEL    files a copy of WHEEL under KEY
#
# The cache is $TARNEL_WHEEL_CACHE, by default ${XDG_CACHE_HOME:-~/.cache}/py_engine_tarnel/wheels.
set -euo pipefail

cache="${TARNEL_WHEEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/py_engine_tarnel/wheels}"
keep=5

key() {
  local tree="${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
  {
    (cd "$tree" && find src cmake python ui CMakeLists.txt pyproject.toml py_engine_tarnel.pyi README.md \
        \( -name node_modules -o -name __pycache__ \) -prune -o -type f -print | LC_ALL=C sort |
        xargs -d '\n' sha256sum)
    "${CXX:-c++}" --version 2>/dev/null | head -1
  } | sha256sum | cut -c1-32
}

case "${1:-}" in
  key) key "${2:-}" ;;
  find)
    wheel=$(ls "$cache/${2:?key}"/py_engine_tarnel-*.whl 2>/dev/null | head -1) || true
    [[ -n "$wheel" ]] || exit 1
    touch "$cache/$2"  # recently used: kept longest
    echo "$wheel"
    ;;
  store)
    dir="$cache/${2:?key}"
    mkdir -p "$dir.partial"
    cp "${3:?wheel}" "$dir.partial/"
    rm -rf "$dir" && mv "$dir.partial" "$dir"  # whole or not at all, for a clone reading at the same time
    ls -1dt "$cache"/*/ | grep -v '\.partial/$' | tail -n +$((keep + 1)) | xargs -r rm -rf
    ;;
  *) echo "usage: $0 key [TREE] | find KEY | store KEY WHEEL" >&2; exit 2 ;;
esac
