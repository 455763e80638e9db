#!/usr/bin/env bash
# What a large account database costs, and what the interface's first frame waits for.
# Needs root: inside a private mount namespace it binds a generated account database of
# 20,000 accounts over /etc/passwd, their homes sharing one parent, then again each under a
# parent of its own (the machine's own is never written, and the binding goes with the
# namespace), and it drops the page cache before the cold first frames.
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

log "bench: $ACCOUNTS accounts, each with a home, after this machine's own, twice"
cp /etc/passwd "$work/passwd.own"
python3 - "$work" "$ACCOUNTS" <<'EOF'
import os, sys
work, count = sys.argv[1], int(sys.argv[2])
with open(os.path.join(work, "passwd.own")) as f:
    lines = f.read()
# many: every home in one directory; apart: each home under a parent of its own
for db, home_of in (("many", "homes/bench{:05}"), ("apart", "apart/p{:05}/u")):
    text = lines
    for i in range(count):
        home = os.path.join(work, home_of.format(i))
        os.makedirs(home)
        text += f"bench{i:05}:x:{200000 + i}:{200000 + i}::{home}:/usr/sbin/nologin\n"
    with open(os.path.join(work, f"passwd.{db}"), "w") as f:
        f.write(text)
EOF
log "bench: generating the trees"
"$GEN" generate "$work/scan" 0 3000 >&2   # HOME's projects: 3,000 projects, 2,400 caches
"$GEN" generate "$work/del" 0 95 >&2      # 76 caches
"$GEN" generate "$work/frame" 0 5000 >&2  # 4,000 caches to remember
mkdir "$work/tiny"                         # nothing to find: the protected set alone

printf 'machine: %s CPUs (nproc), %s\n' "$(nproc)" "$(uname -sr)"
printf 'program: %s\n' "$QB"
for db in own many apart; do
    mount --bind "$work/passwd.$db" /etc/passwd
    printf '\n== account database: %s, %s entries\n' "$db" "$(wc -l < /etc/passwd)"
    printf 'scan of HOME/Projects (median s, fastest s, peak MiB): '
    "$GEN" time "$RUNS" env -i HOME="$work/scan/home" QUILLBARROW_NO_CACHE=1 PATH=/usr/bin:/bin \
        "$QB" scan -o json
    printf 'scan of a tiny root (median s, fastest s, peak MiB): '
    "$GEN" time "$RUNS" env -i HOME="$work/tiny" QUILLBARROW_NO_CACHE=1 PATH=/usr/bin:/bin \
        "$QB" scan --root "$work/tiny" -o json
    python3 bench/tui_bench.py delete "$QB" "$work/del/home" "$work" "$RUNS"
    python3 bench/tui_bench.py frame "$QB" "$work/frame/home" "$work" "$RUNS"
    python3 bench/tui_bench.py frame "$QB" "$work/frame/home" "$work" "$RUNS" cold
    umount /etc/passwd
done
