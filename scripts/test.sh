#!/usr/bin/env bash
# Installs what is missing (Debian 12), builds the engine, the Python module and
# the tests, and runs every suite twice: normally and under AddressSanitizer +
# UndefinedBehaviorSanitizer.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${ZELVAR_BUILD_ROOT:-$root/build}

# ---- packages --------------------------------------------------------------
source "$root/scripts/packages.sh"
install_missing_packages cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libzstd-dev libicu-dev libstemmer-dev python3-dev python3-pytest

jobs=$(nproc)

# The stop-word lists of the tokenizers come from the npm registry; fetched once
# and shared by every build folder.
stopwords="$build/npm/node_modules/stopwords-iso/stopwords-iso.json"
if [ ! -f "$stopwords" ]; then
  npm install --no-save --no-audit --no-fund --prefix "$build/npm" stopwords-iso@1.1.0 >/dev/null
fi

# ---- build -----------------------------------------------------------------
configure() {  # configure DIR [cmake options...]
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja -DPython3_EXECUTABLE=/usr/bin/python3 \
    -DZELVAR_STOPWORDS_JSON="$stopwords" "$@" >/dev/null
}
configure "$build/normal" -DCMAKE_BUILD_TYPE=RelWithDebInfo
configure "$build/sanitize" -DCMAKE_BUILD_TYPE=Debug -DZELVAR_SANITIZE=ON
ninja -C "$build/normal" -j "$jobs"
ninja -C "$build/sanitize" -j "$jobs"

# ---- engine tests ----------------------------------------------------------
echo "== engine tests =="
ctest --test-dir "$build/normal" -j "$jobs" --output-on-failure
echo "== engine tests under AddressSanitizer + UBSan =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$build/sanitize" -j "$jobs" --output-on-failure

# ---- Python module tests ---------------------------------------------------
asan_preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"

echo "== Python tests (CPython $(/usr/bin/python3 -c 'import sys; print(sys.version.split()[0])')) =="
ZELVAR_BUILD_DIR="$build/normal" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests

echo "== Python tests under AddressSanitizer + UBSan =="
LD_PRELOAD="$asan_preload" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ZELVAR_BUILD_DIR="$build/sanitize" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests

# The newest interpreter on the machine, so the module stays within the C API
# that later versions keep. Debian's pytest is pure Python: it runs there from a
# folder of links to its packages.
newest=""
for candidate in /root/.pyenv/versions/3.13*/bin/python3.13; do
  [ -x "$candidate" ] && newest=$candidate
done
if [ -n "$newest" ]; then
  configure "$build/newest" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVAR_TESTS=OFF -DPython3_EXECUTABLE="$newest"
  ninja -C "$build/newest" -j "$jobs" zelvar_python
  links="$build/newest/pytest-packages"
  mkdir -p "$links"
  for pkg in _pytest pytest pluggy iniconfig packaging attr attrs py py.py; do
    [ -e "/usr/lib/python3/dist-packages/$pkg" ] && ln -sfn "/usr/lib/python3/dist-packages/$pkg" "$links/$pkg"
  done
  echo "== Python tests (CPython $("$newest" -c 'import sys; print(sys.version.split()[0])')) =="
  PYTHONPATH="$links" ZELVAR_PYTHON_DIR="$build/newest" ZELVAR_WRITE_INDEX="$build/normal/zelvar_write_index" \
    "$newest" -m pytest -q -p no:cacheprovider -W ignore::DeprecationWarning tests
else
  echo "== no newer CPython found; the module was tested with $(/usr/bin/python3 --version) only =="
fi
