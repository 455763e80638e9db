#!/usr/bin/env bash
# Scans where some mount answers are withheld, as on older kernels, against another build:
# the 3,000 projects with no statx mount ids (kernels before 5.8), and the 500,000-entry
# node_modules tree with only /proc answering (no file handles either). Needs root: inside a
# private mount namespace it binds one small directory onto MOUNTS others beside the trees
# (the mounts go with the namespace). The two builds run in turn, in pairs.
#   OLD=/path/to/old/qb_bench bench/mount_scans.sh       against build/bench's qb_bench
#   OLD=... NEW=/path/to/qb_bench PAIRS=15 MOUNTS=1000 bench/mount_scans.sh
# Both builds need `qb_bench scan DIR [all|no-statx|no-handles]`.
set -euo pipefail
self="$(realpath "$0")"

PAIRS="${PAIRS:-9}"
MOUNTS="${MOUNTS:-1000}"
log() { printf '%s\n' "$*" >&2; }

if [ "$(id -u)" -ne 0 ]; then
    log "bench/mount_scans.sh: needs root (a mount namespace with bind mounts)"
    exit 2
fi
if [ -z "${OLD:-}" ]; then
    log "usage: OLD=path/to/old/qb_bench [NEW=path/to/qb_bench] [PAIRS=9] bench/mount_scans.sh"
    exit 2
fi
# Resolved before leaving the caller's directory.
OLD="$(realpath "$OLD")"
export OLD
if [ -n "${NEW:-}" ]; then
    NEW="$(realpath "$NEW")"
    export NEW
fi
if [ -z "${QB_BENCH_NAMESPACE:-}" ]; then
    exec env QB_BENCH_NAMESPACE=1 unshare --mount --propagation private "$self" "$@"
fi
cd "$(dirname "$self")/.."

if [ -z "${NEW:-}" ]; then
    cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQB_BUILD_BENCH=ON >&2
    cmake --build build/bench --target qb_bench >&2
    NEW="$PWD/build/bench/bench/qb_bench"
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/qb-mount-scans-XXXXXX")"
bound=0
cleanup() {
    for ((i = 0; i < bound; i++)); do
        umount "$work/mnt/$i" 2>/dev/null || true
    done
    # Never through a mount left behind.
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT
mkdir -p "$work/home" "$work/tmp" "$work/mnt/src"
# The scan also looks at the global cache locations; an empty home keeps them out.
export HOME="$work/home" TMPDIR="$work/tmp"
unset XDG_CACHE_HOME XDG_DATA_HOME DENO_DIR GOCACHE GOMODCACHE TF_PLUGIN_CACHE_DIR

for bin in "$OLD" "$NEW"; do
    if ! "$bin" scan "$work/home" no-handles >/dev/null 2>&1; then
        log "bench: $bin does not run \`scan DIR no-handles\`"
        exit 2
    fi
done

tree="$work/tree"
log "bench: generating the tree in $tree"
"$NEW" generate "$tree" >&2
log "bench: binding $work/mnt/src onto $MOUNTS directories"
echo small >"$work/mnt/src/file"
for ((i = 0; i < MOUNTS; i++)); do
    mkdir "$work/mnt/$i"
    mount --bind "$work/mnt/src" "$work/mnt/$i"
    bound=$((i + 1))
done

printf 'machine: %s CPUs (nproc), %s, load average %s\n' "$(nproc)" "$(uname -sr)" \
    "$(cut -d' ' -f1-3 /proc/loadavg)"
printf 'mount namespace: %s mounts (%s bound here)\n' "$(wc -l </proc/self/mountinfo)" "$bound"
printf 'old: %s\nnew: %s\n' "$OLD" "$NEW"
printf 'pairs: %s (old then new), after one untimed run of each\n' "$PAIRS"

python3 - "$OLD" "$NEW" "$PAIRS" \
    "projects, no statx mount ids" "$tree/home/Projects" no-statx \
    "node_modules, only /proc" "$tree/webapp/node_modules" no-handles <<'EOF'
import statistics, subprocess, sys, time

old, new, pairs = sys.argv[1], sys.argv[2], int(sys.argv[3])
measures = [sys.argv[i:i + 3] for i in range(4, len(sys.argv), 3)]

def run(binary, root, answers):
    start = time.perf_counter()
    p = subprocess.run([binary, "scan", root, answers], capture_output=True, text=True)
    secs = time.perf_counter() - start
    if p.returncode != 0:
        sys.exit(f"{binary} scan {root} {answers} failed ({p.returncode}): {p.stderr.strip()}")
    return secs, p.stdout.strip()

rows = []
for label, root, answers in measures:
    print(f"\n== {label}: qb_bench scan {root} {answers}")
    found = {side: run(b, root, answers)[1] for side, b in (("old", old), ("new", new))}
    times = {"old": [], "new": []}
    for _ in range(pairs):
        for side, b in (("old", old), ("new", new)):
            times[side].append(run(b, root, answers)[0])
    ratios = [n / o for o, n in zip(times["old"], times["new"])]
    med = {side: statistics.median(t) for side, t in times.items()}
    for side in ("old", "new"):
        print(f"{side}: {found[side]}  median {med[side]:.3f} s "
              f"({min(times[side]):.3f} to {max(times[side]):.3f})")
    print(f"new / old: {statistics.median(ratios):.2f} ({min(ratios):.2f} to {max(ratios):.2f}), "
          f"{'same result' if found['old'] == found['new'] else 'RESULTS DIFFER'}")
    rows.append((label, med["old"], med["new"], ratios))

print("\n| measure | old, median s | new, median s | new / old |\n|---|---|---|---|")
for label, o, n, r in rows:
    print(f"| {label} | {o:.3f} | {n:.3f} | "
          f"{statistics.median(r):.2f} ({min(r):.2f} to {max(r):.2f}) |")
EOF
