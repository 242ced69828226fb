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

# Two segments, so that the merged search and the document numbering show.
cat >"$work/description.json" <<'JSON'
{
  "schema": {
    "fields": [
      {"name": "title", "field_type": "text", "indexed": true, "stored": true, "tokenizer": null},
      {"name": "body", "field_type": "text", "indexed": true, "stored": true, "tokenizer": null},
      {"name": "year", "field_type": "u64", "indexed": false, "stored": true, "tokenizer": null}
    ],
    "name_to_field": {"title": 0, "body": 1, "year": 2}
  },
  "segments": [
    {"id": "1", "documents": [
      {"stored": {"title": "A search engine in C++", "body": "fast and exact", "year": 2024}},
      {"stored": {"title": "Python bindings", "body": "fast calls from python", "year": 2025}}
    ]},
    {"id": "2", "documents": [
      {"stored": {"title": "Search engine internals", "body": "fast postings", "year": 2026}},
      {"stored": {"title": "Search with python", "body": "fast enough", "year": 2026}}
    ]}
  ]
}
JSON
"$build/zelvar_write_index" "$work/description.json" "$work/index"

PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" "$python" "$root/scripts/demo.py" "$work/index"
