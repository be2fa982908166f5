#!/usr/bin/python3
"""Graph world against HTML listing: what `?graph` of a 10,000-file tree costs next to the
listing of the same tree's root, both served by one running server and measured with ab(1)
side by side (alternating rounds, median of each).

The tree: 100 folders of 100 files; most files are a few dozen bytes (lumped into their
folder's box), one file in every folder is 40 KB (a box of its own). The bound we hold to is a
ratio (graph time per request / listing time per request) of at most 5.

Usage: bench/vrml/run.py [--requests N] [--concurrency C] [--rounds R] [--keep DIR]
(VANTREL_BIN overrides build/vantrel; needs ab from apache2-utils.)
"""

import argparse
import os
import pathlib
import re
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


def build_tree(root, port):
    root.mkdir(parents=True)
    (root / "vantrel.cfg").write_text("port=%d\nsmtpport=%d\nclients=4\n" % (port, free_port()))
    for f in range(100):
        folder = root / ("folder%03d" % f)
        folder.mkdir()
        for i in range(100):
            size = 40000 if i == 0 else i % 64
            with open(folder / ("file%03d.txt" % i), "wb") as out:
                out.write(b"x" * size)


def start(root, port):
    proc = subprocess.Popen([BIN, "-cmd"], cwd=root, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5):
                return proc
        except ConnectionRefusedError:
            if proc.poll() is not None:
                sys.exit("vantrel exited with %d" % proc.returncode)
            time.sleep(0.05)
    proc.kill()
    sys.exit("vantrel did not start")


def ab(url, requests, concurrency):
    """Mean milliseconds per request and bytes per reply body."""
    out = subprocess.run(["ab", "-q", "-n", str(requests), "-c", str(concurrency), url],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=True).stdout.decode()
    failed = int(re.search(r"Failed requests:\s+(\d+)", out).group(1))
    if failed:
        sys.exit("ab reported %d failed requests for %s:\n%s" % (failed, url, out))
    mean = float(re.search(r"Time per request:\s+([\d.]+) \[ms\] \(mean\)", out).group(1))
    length = int(re.search(r"Document Length:\s+(\d+) bytes", out).group(1))
    return mean, length


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=400)
    parser.add_argument("--concurrency", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--keep")
    args = parser.parse_args()
    if not shutil.which("ab"):
        sys.exit("ab is missing: scripts/install-deps installs apache2-utils")
    tmp = pathlib.Path(args.keep or tempfile.mkdtemp(prefix="vantrel-bench-vrml-"))
    port = free_port()
    root = tmp / "site"
    if root.exists():
        shutil.rmtree(root)
    build_tree(root, port)
    proc = start(root, port)
    try:
        base = "http://127.0.0.1:%d/" % port
        ab(base, 20, 1)  # warm up
        ab(base + "?graph", 20, 1)
        listing, graph = [], []
        for _ in range(args.rounds):
            mean, listing_bytes = ab(base, args.requests, args.concurrency)
            listing.append(mean)
            mean, graph_bytes = ab(base + "?graph", args.requests, args.concurrency)
            graph.append(mean)
    finally:
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
        if not args.keep:
            shutil.rmtree(tmp, ignore_errors=True)
    lm, gm = statistics.median(listing), statistics.median(graph)
    print("tree: 100 folders x 100 files; ab -n %d -c %d, %d rounds, median ms per request"
          % (args.requests, args.concurrency, args.rounds))
    print("listing of the root  %8.3f ms  (%d bytes)" % (lm, listing_bytes))
    print("graph of the tree    %8.3f ms  (%d bytes)" % (gm, graph_bytes))
    print("ratio graph/listing  %8.2f  (bound: 5)" % (gm / lm))
    return 0 if gm / lm <= 5 else 1


if __name__ == "__main__":
    sys.exit(main())
