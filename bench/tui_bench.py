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

  tui_bench.py delete QUILLBARROW TREE WORKDIR [RUNS]

Deleting every cache of TREE (a fresh copy of it per run, scope project): once the scan is
READY, `a` selects all; the time from `d` to the confirmation dialog (the check of the whole
selection) and from `y` to the status line that reports the deletion.

  tui_bench.py frame QUILLBARROW TREE WORKDIR [RUNS] [cold]

First frame with a snapshot of 4,000 remembered caches of TREE, against no snapshot and
against the same snapshot with a root that none of its rows is in; with `cold` (root only)
the page cache is dropped before each start.
"""

import fcntl
import json
import os
import select
import shutil
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


def delete_all(qb, tree, work, runs):
    to_dialog, after_yes = [], []
    copy = os.path.join(work, "delete-run")
    for _ in range(runs):
        shutil.rmtree(copy, ignore_errors=True)
        shutil.copytree(tree, copy, symlinks=True)
        s = Session([qb, "tui", "--root", copy, "--scope", "project"], child_env(work, None))
        s.wait_for(lambda out: b"READY" in out, limit=600)
        s.settle()
        s.press(b"a")
        s.settle()
        mark = len(s.output)
        sent = s.press(b"d")
        shown = s.wait_for(lambda out: b"selected caches?" in out[mark:], limit=600)
        to_dialog.append((shown - sent) * 1000)
        s.settle()
        mark = len(s.output)
        sent = s.press(b"y")
        done = s.wait_for(lambda out: b"Deleted " in out[mark:], limit=600)
        after_yes.append((done - sent) * 1000)
        s.close()
    shutil.rmtree(copy, ignore_errors=True)
    return to_dialog, after_yes


def write_snapshot(qb, tree, cache, count):
    """A snapshot remembering the first `count` caches that a scan of TREE finds."""
    env = child_env(os.path.dirname(cache), None)
    now = int(time.time())
    keys = ("kind", "ecosystem", "scope", "path", "bytes", "allocated_bytes", "modified_unix",
            "cleanable")
    entries = []
    while len(entries) < count:  # pages of at most 1,000
        out = subprocess.run([qb, "scan", "--root", tree, "--scope", "project", "-o", "json",
                              "--limit", str(min(1000, count - len(entries))),
                              "--offset", str(len(entries))],
                             env=env, check=True, capture_output=True)
        items = json.loads(out.stdout)["items"]
        if not items:
            break
        entries += [dict({k: item[k] for k in keys}, observed_unix=now) for item in items]
    path = os.path.join(cache, "quillbarrow", "scan-v1.json")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        json.dump({"version": 1, "entries": entries}, f, separators=(",", ":"))
    return len(entries), os.path.getsize(path)


def first_frames(qb, tree, work, runs, cold):
    cache = os.path.join(work, "cache")
    entries, size = write_snapshot(qb, tree, cache, 4000)
    elsewhere = os.path.join(work, "elsewhere")  # a root none of the remembered caches is in
    os.makedirs(elsewhere, exist_ok=True)
    runs_of = {  # name: (root, snapshot location, header text that marks the first frame)
        "no snapshot": (tree, None, b"QUILL"),
        "no row applies": (elsewhere, cache, b"QUILL"),
        f"{entries} remembered": (tree, cache, b" shown"),
    }
    times = {name: [] for name in runs_of}
    for _ in range(runs):
        for name, (root, snapshot, mark) in runs_of.items():
            if cold:
                os.sync()
                with open("/proc/sys/vm/drop_caches", "w") as f:
                    f.write("3\n")
            s = Session([qb, "tui", "--root", root, "--scope", "project"],
                        child_env(work, snapshot))
            shown = s.wait_for(lambda out: b"QUILL" in out and mark in out)
            times[name].append((shown - s.started) * 1000)
            s.close()
    return times, entries, size


def row(name, values):
    if not values:
        return f"{name:<34} {'-':>8} {'-':>8} {'-':>8} {0:>6}"
    return (f"{name:<34} {statistics.median(values):8.1f} {min(values):8.1f} "
            f"{max(values):8.1f} {len(values):>6}")


def main():
    mode = sys.argv[1] if len(sys.argv) > 1 and sys.argv[1] in ("delete", "frame") else None
    args = sys.argv[2:] if mode else sys.argv[1:]
    if len(args) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    qb, tree, work = args[0], args[1], args[2]
    runs = int(args[3]) if len(args) > 3 else 20
    header = f"{'measure (ms)':<34} {'median':>8} {'min':>8} {'max':>8} {'runs':>6}"
    if mode == "delete":
        to_dialog, after_yes = delete_all(qb, tree, work, runs)
        print(header)
        print(row("d to the dialog, all selected", to_dialog))
        print(row("y to deleted", after_yes))
        return 0
    if mode == "frame":
        cold = len(args) > 4 and args[4] == "cold"
        times, entries, size = first_frames(qb, tree, work, runs, cold)
        label = "cold" if cold else "warm"
        print(f"snapshot: {entries} entries, {size} bytes")
        print(header)
        for name, values in times.items():
            print(row(f"first frame, {name}, {label}", values))
        return 0
    frames, entries, size = first_frame(qb, tree, work, runs)
    help_open, filter_open, filter_close, scan_s = keys_while_scanning(qb, tree, work, runs)
    print(f"snapshot: {entries} entries, {size} bytes; terminal {COLS}x{ROWS}")
    print(f"scan of the tree in the interface: {scan_s:.1f} s")
    print(header)
    print(row("first frame from the snapshot", frames))
    print(row("? to help overlay, while scanning", help_open))
    print(row("/ to filter bar, while scanning", filter_open))
    print(row("Esc to footer, while scanning", filter_close))
    return 0


if __name__ == "__main__":
    sys.exit(main())
