#!/usr/bin/env python3
"""Responsiveness of the terminal interface, measured on a pseudo-terminal.

  tui_bench.py QUILLBARROW TREE WORKDIR [RUNS]

1. First frame: one run of the interface on TREE leaves its scan snapshot behind; then the
   time from starting the process to the moment the terminal has received the first frame,
   which shows the remembered caches while they are measured again.
2. Keys while scanning: the interface starts on TREE without a snapshot; as long as the header
   has not said READY: the time from "?" to the help overlay, from "/" to the filter bar, and
   from Escape (which closes the filter) to the rewrite of the footer row.
   Before each press the output is read until it has been quiet for 20 ms (100 ms at most).

Prints one table; times are in milliseconds.
"""

import fcntl
import json
import os
import select
import signal
import statistics
import struct
import subprocess
import sys
import termios
import time

COLS, ROWS = 120, 40


# A stand-in `docker` client with an empty storage report: no real daemon is asked, and the
# interface has no Docker notice to show in the footer.
FAKE_DOCKER = """#!/bin/sh
for t in Images Containers "Local Volumes" "Build Cache"; do
  echo "{\\"Active\\":\\"0\\",\\"Reclaimable\\":\\"0B\\",\\"Size\\":\\"0B\\",\\"TotalCount\\":\\"0\\",\\"Type\\":\\"$t\\"}"
done
"""


def child_env(work, cache):
    home = os.path.join(work, "home")
    os.makedirs(home, exist_ok=True)
    os.makedirs(os.path.join(work, "tmp"), exist_ok=True)
    bin_dir = os.path.join(work, "bin")
    os.makedirs(bin_dir, exist_ok=True)
    with open(os.path.join(bin_dir, "docker"), "w") as f:
        f.write(FAKE_DOCKER)
    os.chmod(os.path.join(bin_dir, "docker"), 0o755)
    env = {
        "PATH": bin_dir + ":/usr/bin:/bin",
        "HOME": home,
        "TMPDIR": os.path.join(work, "tmp"),
        "TERM": "xterm-256color",
        "COLORTERM": "truecolor",
        "LANG": "C.UTF-8",
    }
    if cache:
        env["XDG_CACHE_HOME"] = cache
    else:
        env["QUILLBARROW_NO_CACHE"] = "1"
    return env


class Session:
    """The interface on a fresh pseudo-terminal, with everything it wrote so far."""

    def __init__(self, argv, env):
        self.master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", ROWS, COLS, 0, 0))
        self.started = time.monotonic()
        self.proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, env=env,
                                     start_new_session=True, close_fds=True)
        os.close(slave)
        self.output = b""

    def wait_for(self, predicate, limit=30.0):
        """Reads until predicate(output) holds; returns the monotonic time it did."""
        deadline = time.monotonic() + limit
        while not predicate(self.output):
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(self.output[-2000:].decode("utf-8", "replace"))
            ready, _, _ = select.select([self.master], [], [], left)
            if ready:
                try:
                    chunk = os.read(self.master, 65536)
                except OSError:
                    chunk = b""
                if not chunk:
                    raise EOFError(self.output[-2000:].decode("utf-8", "replace"))
                self.output += chunk
        return time.monotonic()

    def settle(self, quiet=0.02, limit=0.1):
        """Reads until nothing has arrived for `quiet` seconds, or for `limit` at most."""
        end = time.monotonic() + limit
        while time.monotonic() < end:
            ready, _, _ = select.select([self.master], [], [], quiet)
            if not ready:
                return
            chunk = os.read(self.master, 65536)
            if not chunk:
                return
            self.output += chunk

    def press(self, keys):
        os.write(self.master, keys)
        return time.monotonic()

    def close(self):
        try:
            os.write(self.master, b"q")
            self.proc.wait(timeout=10)
        except Exception:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait()
        os.close(self.master)


def first_frame(qb, tree, work, runs):
    cache = os.path.join(work, "cache")
    snapshot = os.path.join(cache, "quillbarrow", "scan-v1.json")
    # One full run leaves the snapshot behind: the remembered caches of this tree.
    s = Session([qb, "tui", "--root", tree], child_env(work, cache))
    s.wait_for(lambda out: b"READY" in out, limit=600)
    s.close()
    with open(snapshot) as f:
        entries = len(json.load(f)["entries"])
    size = os.path.getsize(snapshot)
    times = []
    for _ in range(runs):
        s = Session([qb, "tui", "--root", tree], child_env(work, cache))
        # While remembered rows are on screen and being refreshed, the header counts them
        # as "shown"; that frame is the first one.
        shown = s.wait_for(lambda out: b" shown" in out and b"QUILL" in out)
        times.append((shown - s.started) * 1000)
        s.close()
    return times, entries, size


def keys_while_scanning(qb, tree, work, rounds):
    s = Session([qb, "tui", "--root", tree], child_env(work, None))
    s.wait_for(lambda out: b"SCANNING" in out)
    help_open, filter_open, filter_close = [], [], []

    def measure(key, shows):
        s.settle()
        mark = len(s.output)
        sent = s.press(key)
        got = s.wait_for(lambda out: shows in out[mark:])
        return (got - sent) * 1000

    while len(help_open) < rounds and b"READY" not in s.output:
        # Each text appears only when its key has taken effect.
        help_open.append(measure(b"?", b"Keyboard"))
        s.press(b"\x1b")
        time.sleep(0.1)  # a lone Escape must not run into the next key (that reads as Alt)
        filter_open.append(measure(b"/", b" FILTER "))
        # Closing rewrites the footer's first row (a cursor move there), which nothing
        # else changes while the scan runs.
        filter_close.append(measure(b"\x1b", f"\x1b[{ROWS - 1};".encode()))
    finished = s.wait_for(lambda out: b"READY" in out, limit=600)
    scan_s = finished - s.started
    s.close()
    return help_open, filter_open, filter_close, scan_s


def row(name, values):
    if not values:
        return f"{name:<34} {'-':>8} {'-':>8} {'-':>8} {0:>6}"
    return (f"{name:<34} {statistics.median(values):8.1f} {min(values):8.1f} "
            f"{max(values):8.1f} {len(values):>6}")


def main():
    if len(sys.argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    qb, tree, work = sys.argv[1], sys.argv[2], sys.argv[3]
    runs = int(sys.argv[4]) if len(sys.argv) > 4 else 20
    frames, entries, size = first_frame(qb, tree, work, runs)
    help_open, filter_open, filter_close, scan_s = keys_while_scanning(qb, tree, work, runs)
    print(f"snapshot: {entries} entries, {size} bytes; terminal {COLS}x{ROWS}")
    print(f"scan of the tree in the interface: {scan_s:.1f} s")
    print(f"{'measure (ms)':<34} {'median':>8} {'min':>8} {'max':>8} {'runs':>6}")
    print(row("first frame from the snapshot", frames))
    print(row("? to help overlay, while scanning", help_open))
    print(row("/ to filter bar, while scanning", filter_open))
    print(row("Esc to footer, while scanning", filter_close))
    return 0


if __name__ == "__main__":
    sys.exit(main())
