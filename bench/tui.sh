#!/usr/bin/env bash
# Interface responsiveness: builds a release binary, generates the scan benchmark's tree in a
# temporary directory, and measures on a pseudo-terminal how soon the first frame appears with
# a snapshot present and how soon a key press shows while a scan of the tree runs.
#   bench/tui.sh              20 runs of each measure
#   RUNS=50 SCALE=2 bench/tui.sh
set -euo pipefail
cd "$(dirname "$0")/.."

RUNS="${RUNS:-20}"
SCALE="${SCALE:-1}"
log() { printf '%s\n' "$*" >&2; }

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQB_BUILD_BENCH=ON >&2
cmake --build build/bench --target quillbarrow qb_bench >&2

work="$(mktemp -d "${TMPDIR:-/tmp}/qb-tui-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT
tree="$work/tree"
log "bench: generating the tree in $tree"
build/bench/bench/qb_bench generate "$tree" $((500000 * SCALE)) $((3000 * SCALE)) >&2

printf 'machine: %s CPUs (nproc), %s\n' "$(nproc)" "$(uname -sr)"
printf 'tree: %s entries (find)\n' "$(find "$tree" | wc -l)"
python3 bench/tui_bench.py build/bench/quillbarrow "$tree" "$work" "$RUNS"
