#!/usr/bin/env python3
"""Trees for bench/descriptors.sh, made through descriptors since their paths pass 4,096 bytes.

  deep_trees.py branches DIR   10 node_modules, each a 320-level chain of 16-byte names that
                               passes 4,096 bytes at level 256, then 8 branches of 4 folders
  deep_trees.py roots DIR      8 Rust targets, each a chain of 25 names of 200 bytes with 3
                               branches on each of its last 5 levels
  deep_trees.py plain DIR      about 100,000 plain folders (no cache) for the walk to cross
  deep_trees.py summary        reads a scan's JSON: total bytes, caches and warnings
  deep_trees.py remove DIR     removes DIR however deep it goes
"""
import json
import os
import sys

D = os.O_RDONLY | os.O_DIRECTORY


def put(dir_fd, name, size):
    fd = os.open(name, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=dir_fd)
    os.write(fd, b"x" * size)
    os.close(fd)


def sub(dir_fd, name):
    os.mkdir(name, dir_fd=dir_fd)
    return os.open(name, D, dir_fd=dir_fd)


def project(path, marker, size, cache):
    """Makes the project folder with its marker and returns its cache folder, open."""
    os.makedirs(path)
    fd = os.open(path, D)
    put(fd, marker, size)
    cur = sub(fd, cache)
    os.close(fd)
    return cur


def branches(base):
    for p in range(10):
        cur = project(os.path.join(base, f"p{p}"), "package.json", 2, "node_modules")
        for level in range(320):
            put(cur, "f", level + 1)
            nxt = sub(cur, "level%010d" % level)
            os.close(cur)
            cur = nxt
        for b in range(8):
            d = sub(cur, f"b{b}")
            for s in range(4):
                e = sub(d, f"s{s}")
                put(e, "g", b * 10 + s)
                os.close(e)
            os.close(d)
        os.close(cur)


def roots(base):
    for r in range(8):
        cur = project(os.path.join(base, f"rs{r}"), "Cargo.toml", 9, "target")
        for level in range(25):
            nxt = sub(cur, "L" * 200)
            os.close(cur)
            cur = nxt
            put(cur, "f", 5)
            if level >= 20:
                for b in range(3):
                    d = sub(cur, f"b{b}")
                    put(d, "g", 2)
                    os.close(d)
        os.close(cur)


def plain(base):
    for a in range(100):
        for b in range(100):
            d = os.path.join(base, f"a{a}", f"b{b}")
            for c in range(10):
                os.makedirs(os.path.join(d, f"c{c}"))


def remove(dir_fd, name):
    try:
        fd = os.open(name, D | os.O_NOFOLLOW, dir_fd=dir_fd)
    except OSError:
        return
    for entry in os.scandir(fd):
        if entry.is_dir(follow_symlinks=False):
            remove(fd, entry.name)
        else:
            os.unlink(entry.name, dir_fd=fd)
    os.close(fd)
    os.rmdir(name, dir_fd=dir_fd)


def main():
    what = sys.argv[1]
    if what == "summary":
        doc = json.load(sys.stdin)
        total = sum(item["bytes"] for item in doc["items"])
        print(f"{total} bytes in {len(doc['items'])} caches, {len(doc['warnings'])} warnings")
    elif what == "remove":
        path = os.path.abspath(sys.argv[2])
        remove(os.open(os.path.dirname(path), D), os.path.basename(path))
    else:
        {"branches": branches, "roots": roots, "plain": plain}[what](sys.argv[2])


if __name__ == "__main__":
    main()
