#!/usr/bin/env python3
"""Responsiveness of the terminal interface, measured on a pseudo-terminal.

  tui_bench.py QUILLBARROW TREE WORKDIR [RUNS]

1. First frame: the interface starts with a scan snapshot of 4,096 remembered entries under
   TREE; the time from starting the process to the moment the terminal has received a frame
   that shows the remembered estimates.
2. Key while scanning: the interface starts on TREE without a snapshot; while the header still
   says SCANNING, "?" is pressed and the time until the help overlay arrives is taken, then
   Escape and the time until it is gone. Presses after the scan has finished are not counted.
   The spinner is turned off (QUILLBARROW_REDUCE_MOTION) so that the output after a key is
   that key's frame; before each press the output is read until it has been quiet for 20 ms.

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


def child_env(work, cache):
    home = os.path.join(work, "home")
    os.makedirs(home, exist_ok=True)
    os.makedirs(os.path.join(work, "tmp"), exist_ok=True)
    env = {
        "PATH": "/usr/bin:/bin",  # no docker client: its inspection fails fast
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

    def settle(self, quiet=0.02):
        """Reads until nothing has arrived for `quiet` seconds."""
        while True:
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


def write_snapshot(cache, tree, count):
    now = int(time.time())
    entries = []
    for i in range(count):
        entries.append({
            "kind": "node-modules", "ecosystem": "javascript", "scope": "project",
            "path": f"{tree}/remembered/p{i:05d}/node_modules",
            "bytes": 1_000_000_000 + i, "allocated_bytes": 1_000_000_000 + i,
            "modified_unix": now - 86_400, "cleanable": True, "observed_unix": now - 60,
        })
    os.makedirs(os.path.join(cache, "quillbarrow"), exist_ok=True)
    with open(os.path.join(cache, "quillbarrow", "scan-v1.json"), "w") as f:
        json.dump({"version": 1, "entries": entries}, f, separators=(",", ":"))
    return os.path.getsize(os.path.join(cache, "quillbarrow", "scan-v1.json"))


def first_frame(qb, tree, work, runs):
    cache = os.path.join(work, "cache")
    size = write_snapshot(cache, tree, 4096)
    times = []
    for _ in range(runs):
        s = Session([qb, "tui", "--root", tree], child_env(work, cache))
        # The largest remembered entry is drawn with its estimate in the first frame.
        shown = s.wait_for(lambda out: b"~953.7 MiB" in out and b"QUILL" in out)
        times.append((shown - s.started) * 1000)
        s.close()
    return times, size


def keys_while_scanning(qb, tree, work, rounds):
    env = child_env(work, None)
    # No spinner: what arrives after a key is that key's frame (or a worker message's).
    env["QUILLBARROW_REDUCE_MOTION"] = "1"
    s = Session([qb, "tui", "--root", tree], env)
    s.wait_for(lambda out: b"SCANNING" in out)
    opened, closed = [], []
    for _ in range(rounds):
        s.settle()
        mark = len(s.output)
        sent = s.press(b"?")
        got = s.wait_for(lambda out: b"Keyboard" in out[mark:])
        scanning = b"READY" not in s.output[mark:]
        s.settle()
        mark = len(s.output)
        sent2 = s.press(b"\x1b")
        # Closing redraws what the overlay covered: the splash text or table borders.
        got2 = s.wait_for(lambda out: b"Keyboard" not in out[mark:] and (
            b"Sniffing" in out[mark:] or b"\xe2\x94\x82" in out[mark:]))
        scanning = scanning and b"READY" not in s.output[mark:]
        if not scanning:
            break
        opened.append((got - sent) * 1000)
        closed.append((got2 - sent2) * 1000)
        time.sleep(0.05)
    finished = s.wait_for(lambda out: b"READY" in out, limit=600)
    scan_s = finished - s.started
    s.close()
    return opened, closed, scan_s


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
    frames, size = first_frame(qb, tree, work, runs)
    opened, closed, scan_s = keys_while_scanning(qb, tree, work, runs)
    print(f"snapshot: 4096 entries, {size} bytes; terminal {COLS}x{ROWS}")
    print(f"scan of the tree in the interface: {scan_s:.1f} s")
    print(f"{'measure (ms)':<34} {'median':>8} {'min':>8} {'max':>8} {'runs':>6}")
    print(row("first frame from the snapshot", frames))
    print(row("? to help overlay, while scanning", opened))
    print(row("Esc to table, while scanning", closed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
