#!/usr/bin/python3
"""Scan speed: the server's start-up scan against find(1) on the same tree, warm cache.

Builds two trees (100,000 files in 1,000 folders; one folder of 100,000 files), then for each
runs, alternately and RUNS times, `find DIR -printf '%s %T@\\n' >/dev/null` and the server
from its start until its port accepts a connection, and prints the median of each and their
ratio (server / find). The issue's bound is a ratio of at most 2.

Usage: bench/scan/run.py [--runs N] [--keep DIR]   (VANTREL_BIN overrides build/vantrel)
"""

import argparse
import os
import pathlib
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = pathlib.Path(__file__).resolve().parents[2]
BIN = os.environ.get("VANTREL_BIN", str(SOURCE / "build" / "vantrel"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def build_tree(root, folders, files_per_folder):
    root.mkdir(parents=True)
    for f in range(folders):
        folder = root / ("folder%04d" % f) if folders > 1 else root / "flat"
        folder.mkdir()
        for i in range(files_per_folder):
            with open(folder / ("file%06d.txt" % i), "wb") as out:
                out.write(b"x" * (i % 64))


def time_find(root):
    start = time.perf_counter()
    subprocess.run(["find", str(root), "-printf", "%s %T@\n"], stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def time_server(root, port):
    start = time.perf_counter()
    proc = subprocess.Popen([BIN, "-cmd"], cwd=root, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        while True:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=5):
                    elapsed = time.perf_counter() - start
                    break
            except ConnectionRefusedError:
                if proc.poll() is not None:
                    sys.exit("vantrel exited early with %d" % proc.returncode)
                time.sleep(0.001)
    finally:
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return elapsed


def measure(label, root, runs):
    port = free_port()
    (root / "vantrel.cfg").write_text("port=%d\n" % port)
    time_find(root)  # warm the cache
    time_server(root, port)
    finds, servers = [], []
    for _ in range(runs):
        finds.append(time_find(root))
        servers.append(time_server(root, port))
    f, s = statistics.median(finds), statistics.median(servers)
    print("%-34s find %7.1f ms   server %7.1f ms   ratio %.2f" % (label, f * 1e3, s * 1e3, s / f))
    return s / f


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--keep", help="build the trees here and keep them")
    args = parser.parse_args()
    base = pathlib.Path(args.keep) if args.keep else pathlib.Path(tempfile.mkdtemp(prefix="vantrel-scan-bench-"))
    try:
        nested, flat = base / "nested", base / "flat"
        if not nested.exists():
            build_tree(nested, 1000, 100)
        if not flat.exists():
            build_tree(flat, 1, 100000)
        print("vantrel scan vs find, median of %d alternating runs (%s)" % (args.runs, BIN))
        ratios = [measure("100,000 files in 1,000 folders", nested, args.runs),
                  measure("one folder of 100,000 files", flat, args.runs)]
        print("worst ratio %.2f (bound: 2.00)" % max(ratios))
    finally:
        if not args.keep:
            shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
