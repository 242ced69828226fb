# Sourced by the benchmark scripts of this folder: installs what is missing,
# then builds the Python module and the corpus generator in Release into
# $build/bench (3 parallel jobs), $build being ZELVAR_BUILD_ROOT or the
# repository's build/. Sets $root and $build; exits with the build's log on
# a failure.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
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
       ninja -C "$build/bench" -j 3 zelvar_python zelvar_bench_corpus; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "build failed (log: $log)" >&2
  exit 1
fi
