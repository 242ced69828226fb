#!/usr/bin/env bash
# Installs what is missing (Debian 12), builds the engine, the Python module and
# the tests, and runs every suite twice: normally and under AddressSanitizer +
# UndefinedBehaviorSanitizer.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${ZELVAR_BUILD_ROOT:-$root/build}

# ---- packages --------------------------------------------------------------
packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libzstd-dev libicu-dev python3-dev python3-pytest)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

jobs=$(nproc)

# ---- build -----------------------------------------------------------------
configure() {  # configure DIR [cmake options...]
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja -DPython3_EXECUTABLE=/usr/bin/python3 "$@" >/dev/null
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
