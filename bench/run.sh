#!/usr/bin/env bash
# Scan benchmark: builds a release binary, generates a synthetic tree in a temporary
# directory, and times a scan of it against `du -s` and `gdu` (all warm).
#   bench/run.sh                       about 500,000 cache entries plus 3,000 projects
#   SCALE=2 RUNS=7 bench/run.sh        twice the tree, seven timed runs per tool
set -euo pipefail
cd "$(dirname "$0")/.."

RUNS="${RUNS:-5}"
SCALE="${SCALE:-1}"
log() { printf '%s\n' "$*" >&2; }

sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
if ! command -v gdu >/dev/null 2>&1; then
    log "bench: installing gdu"
    export DEBIAN_FRONTEND=noninteractive
    apt-cache show gdu >/dev/null 2>&1 || "${sudo[@]}" apt-get update -q >&2
    "${sudo[@]}" apt-get install -y -q --no-install-recommends gdu >&2
fi

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQB_BUILD_BENCH=ON >&2
cmake --build build/bench --target quillbarrow qb_bench >&2
QB=build/bench/quillbarrow
HELPER=build/bench/bench/qb_bench

work="$(mktemp -d "${TMPDIR:-/tmp}/qb-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home" "$work/tmp"
# The scan also looks at the global cache locations; an empty home keeps them out.
export HOME="$work/home" TMPDIR="$work/tmp"
unset XDG_CACHE_HOME XDG_DATA_HOME DENO_DIR GOCACHE GOMODCACHE TF_PLUGIN_CACHE_DIR

tree="$work/tree"
log "bench: generating the tree in $tree"
"$HELPER" generate "$tree" $((500000 * SCALE)) $((3000 * SCALE)) >&2

if "$QB" scan --root "$tree" -o json >/dev/null 2>&1; then
    scan_cmd=("$QB" scan --root "$tree" -o json)
    scan_label="quillbarrow scan --root DIR -o json"
else
    scan_cmd=("$HELPER" scan "$tree")
    scan_label="qb_bench scan DIR (scan_caches directly; the scan command is not built yet)"
fi
"${scan_cmd[@]}" | head -c 300 >&2 || true
log ""

printf 'machine: %s CPUs (nproc), %s\n' "$(nproc)" "$(uname -sr)"
printf 'tree: %s entries (find)\n' "$(find "$tree" | wc -l)"
printf 'runs: %s timed, after one warm-up run each\n\n' "$RUNS"
printf '%-12s %10s %10s %12s\n' tool median_s fastest_s peak_MiB

declare -A median
run() {
    local name="$1"
    shift
    local out
    out="$("$HELPER" time "$RUNS" "$@")"
    read -r med fast mem <<<"$out"
    median[$name]="$med"
    printf '%-12s %10s %10s %12s\n' "$name" "$med" "$fast" "$mem"
}
run scan "${scan_cmd[@]}"
run du du -s "$tree"
run gdu gdu --non-interactive --summarize "$tree"

printf '\nscan = %s\n' "$scan_label"
awk -v s="${median[scan]}" -v d="${median[du]}" -v g="${median[gdu]}" 'BEGIN {
    printf "du / scan  = %.2fx faster than du -s\n", d / s
    printf "gdu / scan = %.2fx faster than gdu\n", g / s
}'
