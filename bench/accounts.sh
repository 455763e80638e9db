#!/usr/bin/env bash
# What a large account database costs, and what the interface's first frame waits for.
# Needs root: inside a private mount namespace it binds a generated account database of
# 20,000 accounts over /etc/passwd (the machine's own is never written, and the binding goes
# with the namespace), and it drops the page cache before the cold first frames.
#   bench/accounts.sh                       the release build in build/bench
#   QB=/path/to/quillbarrow bench/accounts.sh   another build of the program, same measures
#   RUNS=7 ACCOUNTS=50000 bench/accounts.sh
set -euo pipefail
cd "$(dirname "$0")/.."

RUNS="${RUNS:-5}"
ACCOUNTS="${ACCOUNTS:-20000}"
log() { printf '%s\n' "$*" >&2; }

if [ "$(id -u)" -ne 0 ]; then
    log "bench/accounts.sh: needs root (a mount namespace, and dropping the page cache)"
    exit 2
fi
if [ -z "${QB_BENCH_NAMESPACE:-}" ]; then
    exec env QB_BENCH_NAMESPACE=1 unshare --mount --propagation private "$0" "$@"
fi

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQB_BUILD_BENCH=ON >&2
cmake --build build/bench --target quillbarrow qb_bench >&2
QB="$(realpath "${QB:-build/bench/quillbarrow}")"
GEN=build/bench/bench/qb_bench

work="$(mktemp -d /tmp/qb-acc-XXXXXX)"
trap 'umount /etc/passwd 2>/dev/null || true; rm -rf "$work"' EXIT

log "bench: $ACCOUNTS accounts, each with a home, after this machine's own"
cp /etc/passwd "$work/passwd.own"
python3 - "$work" "$ACCOUNTS" <<'EOF'
import os, sys
work, count = sys.argv[1], int(sys.argv[2])
with open(os.path.join(work, "passwd.own")) as f:
    lines = f.read()
homes = os.path.join(work, "homes")
for i in range(count):
    home = os.path.join(homes, f"bench{i:05}")
    os.makedirs(home)
    lines += f"bench{i:05}:x:{200000 + i}:{200000 + i}::{home}:/usr/sbin/nologin\n"
with open(os.path.join(work, "passwd.many"), "w") as f:
    f.write(lines)
EOF
log "bench: generating the trees"
"$GEN" generate "$work/scan" 0 3000 >&2   # HOME's projects: 3,000 projects, 2,400 caches
"$GEN" generate "$work/del" 0 95 >&2      # 76 caches
"$GEN" generate "$work/frame" 0 5000 >&2  # 4,000 caches to remember

printf 'machine: %s CPUs (nproc), %s\n' "$(nproc)" "$(uname -sr)"
printf 'program: %s\n' "$QB"
for db in own many; do
    mount --bind "$work/passwd.$db" /etc/passwd
    printf '\n== account database: %s entries\n' "$(wc -l < /etc/passwd)"
    printf 'scan of HOME/Projects (median s, fastest s, peak MiB): '
    "$GEN" time "$RUNS" env -i HOME="$work/scan/home" QUILLBARROW_NO_CACHE=1 PATH=/usr/bin:/bin \
        "$QB" scan -o json
    python3 bench/tui_bench.py delete "$QB" "$work/del/home" "$work" "$RUNS"
    python3 bench/tui_bench.py frame "$QB" "$work/frame/home" "$work" "$RUNS"
    python3 bench/tui_bench.py frame "$QB" "$work/frame/home" "$work" "$RUNS" cold
    umount /etc/passwd
done
