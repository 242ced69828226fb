#!/usr/bin/env bash
# Fuzzes one target for a while and prints how many inputs it ran.
#
#   fuzz/run.sh TARGET SECONDS [JOBS]
#
# TARGET is json, meta, terms, postings, store, vectors or index. JOBS
# processes fuzz at once (libFuzzer's fork mode, default 1), each under
# AddressSanitizer + UBSan with a 2 GiB memory limit and a 10 s time limit per
# input (inputs up to 32 KiB, the size of the crafted files that have blown
# memory up before); a crash, a sanitizer report, a timeout, memory over the limit or a
# heap bound broken is saved under build/fuzz/artifacts/TARGET/ and fuzzing
# goes on. The corpus grows in build/fuzz/corpus/TARGET/ from run to run; the
# seeds and fuzz/regressions/TARGET/ are read as well. The build folder
# (ZELVAR_FUZZ_BUILD, default build/fuzz) is configured with clang++-16 and
# built first if needed.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 TARGET SECONDS [JOBS]" >&2
  exit 2
fi
target=$1
seconds=$2
jobs=${3:-1}

root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZELVAR_FUZZ_BUILD:-$root/build/fuzz}
cxx=${ZELVAR_FUZZ_CXX:-clang++-16}

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
    -DZELVAR_FUZZ=ON -DZELVAR_TESTS=OFF -DZELVAR_PYTHON=OFF >/dev/null
fi
ninja -C "$build" -j 4 "fuzz_$target" zelvar_fuzz_seed_corpora >/dev/null

corpus=$build/corpus/$target
artifacts=$build/artifacts/$target
logs=$build/logs
mkdir -p "$corpus" "$artifacts" "$logs"
inputs=("$corpus" "$build/fuzz/seeds/$target")
[ -d "$root/fuzz/regressions/$target" ] && inputs+=("$root/fuzz/regressions/$target")
log=$logs/$target-$(date +%Y%m%d-%H%M%S).log
# Scratch folders of the targets and of fork mode; a job that crashes cannot
# remove its own, so the whole folder goes when the run ends.
scratch=$(mktemp -d "$build/tmp-$target-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

TMPDIR=$scratch "$build/fuzz_$target" -fork="$jobs" -ignore_crashes=1 -ignore_ooms=1 -ignore_timeouts=1 \
  -rss_limit_mb=2048 -timeout=10 -max_len=32768 -max_total_time="$seconds" \
  -artifact_prefix="$artifacts/" "${inputs[@]}" >"$log" 2>&1 || true

# Fork mode's status lines read "#EXECS: cov: ... oom/timeout/crash: O/T/C time: ...".
last=$(grep -E '^#[0-9]+: ' "$log" | tail -n 1 || true)
execs=$(sed -E 's/^#([0-9]+):.*/\1/' <<<"$last")
faults=$(sed -nE 's/.*oom\/timeout\/crash: ([0-9]+\/[0-9]+\/[0-9]+).*/\1/p' <<<"$last")
echo "$target: ${execs:-0} executions in ${seconds}s with $jobs job(s); oom/timeout/crash ${faults:-0/0/0}"
echo "log: $log"
found=$(find "$artifacts" -type f | wc -l)
[ "$found" -gt 0 ] && echo "artifacts: $found in $artifacts"
exit 0
