#!/usr/bin/env bash
# Scans with the fewest free descriptors against unlimited ones: builds a release binary,
# generates trees whose caches hold paths past the system's 4,096-byte limit, and times
# `scan` with 8 and 9 descriptors free (ulimit -n 11 and 12, the standard three open) and
# with no limit that matters, checking that the sizes are the same and no warning appears.
#   bench/descriptors.sh           7 timed runs of each
#   RUNS=11 bench/descriptors.sh
set -euo pipefail
cd "$(dirname "$0")/.."

RUNS="${RUNS:-7}"
log() { printf '%s\n' "$*" >&2; }

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQB_BUILD_BENCH=ON >&2
cmake --build build/bench --target quillbarrow qb_bench >&2
QB="$PWD/build/bench/quillbarrow"
HELPER="$PWD/build/bench/bench/qb_bench"

work="$(mktemp -d "${TMPDIR:-/tmp}/qb-fd-bench-XXXXXX")"
# The trees are too deep to remove by path.
trap 'python3 bench/deep_trees.py remove "$work"' EXIT
mkdir -p "$work/home"
export HOME="$work/home"
unset XDG_CACHE_HOME XDG_DATA_HOME DENO_DIR GOCACHE GOMODCACHE TF_PLUGIN_CACHE_DIR

log "bench: generating the trees in $work"
python3 bench/deep_trees.py branches "$work/branches"
python3 bench/deep_trees.py roots "$work/roots"
python3 bench/deep_trees.py branches "$work/slow-walk"
python3 bench/deep_trees.py plain "$work/slow-walk/docs"

# The scan with exactly LIMIT - 3 descriptors free: only the standard three stay open.
scan_limited() {
    local limit="$1" root="$2"
    bash -c 'for fd in /proc/$$/fd/*; do n=${fd##*/}; [ "$n" -gt 2 ] && eval "exec $n>&-"; done
           ulimit -n "$0"; exec "$@"' "$limit" "$QB" scan --scope project --root "$root" -o json
}

printf 'machine: %s CPUs (nproc), %s\n' "$(nproc)" "$(uname -sr)"
printf '%-12s %6s %10s %10s %8s  %s\n' tree limit median_s fastest_s ratio result
for case in "branches 11" "roots 12" "slow-walk 11"; do
    read -r tree limit <<<"$case"
    root="$work/$tree"
    unlimited="$(scan_limited 65536 "$root" | python3 bench/deep_trees.py summary)"
    limited="$(scan_limited "$limit" "$root" | python3 bench/deep_trees.py summary)"
    same=$([ "$limited" = "$unlimited" ] && echo "same sizes, $limited" || echo "DIFFERENT: $limited vs $unlimited")
    export -f scan_limited
    export QB
    read -r base _ _ <<<"$("$HELPER" time "$RUNS" bash -c 'scan_limited 65536 "$0" >/dev/null' "$root")"
    read -r med fast _ <<<"$("$HELPER" time "$RUNS" bash -c 'scan_limited "$1" "$0" >/dev/null' "$root" "$limit")"
    printf '%-12s %6s %10s %10s %8s  %s\n' "$tree" unlim "$base" - - "$unlimited"
    printf '%-12s %6s %10s %10s %8.2f  %s\n' "$tree" "$limit" "$med" "$fast" \
        "$(python3 -c "print($med / $base)")" "$same"
done
