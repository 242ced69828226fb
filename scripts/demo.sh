#!/usr/bin/env bash
# Builds the Python module on a Debian 12 machine (installing what is missing),
# writes a small sample index with the test-only writer into a temporary
# folder, and runs scripts/demo.py over it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZELVAR_BUILD_ROOT:-$root/build}/demo
python=/usr/bin/python3

source "$root/scripts/packages.sh"
install_missing_packages cmake ninja-build g++ pkg-config libgtest-dev libzstd-dev libicu-dev libstemmer-dev python3-dev

log="$build.log"
mkdir -p "$(dirname "$build")"
if ! { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DPython3_EXECUTABLE="$python" &&
       ninja -C "$build" zelvar_python zelvar_write_index; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "build failed (log: $log)" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# scripts/demo_index.json: two segments, so that the merged search and the
# document numbering show.
"$build/zelvar_write_index" "$root/scripts/demo_index.json" "$work/index"

PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" "$python" "$root/scripts/demo.py" "$work/index"
