#!/usr/bin/env bash
# Prints the directory that holds the system's Boost headers (boost/version.hpp) when they are Boost 1.81
# or newer, the oldest the project builds with; prints nothing and exits 1 otherwise. A pip install needs
# no system Boost: the scripts use it only to test a second Boost version beside the pinned one.
for dir in ${BOOST_ROOT:+"$BOOST_ROOT/include"} /usr/include /usr/local/include; do
  header="$dir/boost/version.hpp"
  [[ -f "$header" ]] || continue
  version=$(sed -n 's/^#define BOOST_VERSION \([0-9][0-9]*\).*/\1/p' "$header")
  if ((${version:-0} >= 108100)); then
    echo "$dir"
    exit 0
  fi
done
exit 1
