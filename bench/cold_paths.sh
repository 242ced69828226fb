#!/usr/bin/env bash
# Builds the Python module and the benchmark's corpus generator in Release
# (build/bench, 4 parallel jobs), then runs bench/cold_paths.py with the
# arguments given, under /usr/bin/python3:
#
#   bash bench/cold_paths.sh [--docs 64k|1M|N] [--quick] [--no-peers] [--json FILE]
#
# The first run at a size writes the corpus and builds the peer databases
# under build/bench-data (about 1 GiB at 1M documents); later runs reuse them.
# cold_paths.py's own header says what is measured.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZELVAR_BUILD_ROOT:-$root/build}

source "$root/scripts/packages.sh"
install_missing_packages cmake ninja-build g++ pkg-config libbenchmark-dev libzstd-dev libicu-dev libstemmer-dev python3-dev

stopwords="$build/npm/node_modules/stopwords-iso/stopwords-iso.json"
if [ ! -f "$stopwords" ]; then
  npm install --no-save --no-audit --no-fund --prefix "$build/npm" stopwords-iso@1.1.0 >/dev/null
fi

log="$build/bench.log"
mkdir -p "$build"
if ! { cmake -S "$root" -B "$build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELVAR_BENCH=ON \
         -DZELVAR_TESTS=OFF -DPython3_EXECUTABLE=/usr/bin/python3 -DZELVAR_STOPWORDS_JSON="$stopwords" &&
       ninja -C "$build/bench" -j 4 zelvar_python zelvar_bench_corpus; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "build failed (log: $log)" >&2
  exit 1
fi

exec /usr/bin/python3 "$root/bench/cold_paths.py" --build "$build/bench" --data "$build/bench-data" "$@"
