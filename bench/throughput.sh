#!/usr/bin/env bash
# Builds the Python module and the benchmark's corpus generator in Release
# (build/bench, see bench/build.sh), then runs bench/throughput.py with the
# arguments given, under /usr/bin/python3:
#
#   bash bench/throughput.sh [--docs 64k|1M|N] [--quick] [--seconds S] [--rounds N]
#        [--procs 1,8,16] [--workloads fetch,search,mixed] [--engines ours,xapian,fts5]
#        [--also-build OTHER_BUILD] [--data FOLDER] [--json FILE]
#
# Corpora and peer databases are shared with bench/cold_paths.sh (under
# build/bench-data unless --data says otherwise). throughput.py's own header
# says what is measured.
set -euo pipefail
source "$(dirname "$0")/build.sh"
exec /usr/bin/python3 "$root/bench/throughput.py" --build "$build/bench" --data "$build/bench-data" "$@"
