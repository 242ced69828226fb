#!/usr/bin/env bash
# Builds the Python module and the benchmark's corpus generator in Release
# (build/bench, see bench/build.sh), then runs bench/cold_paths.py with the
# arguments given, under /usr/bin/python3:
#
#   bash bench/cold_paths.sh [--docs 64k|1M|N] [--quick] [--no-peers] [--json FILE]
#
# The first run at a size writes the corpus and builds the peer databases
# under build/bench-data (about 1 GiB at 1M documents; --data FOLDER puts
# them elsewhere); later runs reuse them. cold_paths.py's own header says
# what is measured.
set -euo pipefail
source "$(dirname "$0")/build.sh"
exec /usr/bin/python3 "$root/bench/cold_paths.py" --build "$build/bench" --data "$build/bench-data" "$@"
