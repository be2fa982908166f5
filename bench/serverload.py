"""serverload.py - what the benches that drive a running build/vantrel share: ab(1) runs and
the server's own CPU time."""

import pathlib
import re
import subprocess
import sys


def cpu_ns(pid):
    """CPU time so far of every thread of process `pid`, in nanoseconds (schedstat)."""
    total = 0
    for task in pathlib.Path("/proc/%d/task" % pid).iterdir():
        try:
            total += int((task / "schedstat").read_text().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended in between
    return total


def ab(port, path, requests, concurrency=1):
    """Mean wall milliseconds per request; exits when any reply failed or was not 2xx."""
    out = subprocess.run(["ab", "-q", "-n", str(requests), "-c", str(concurrency),
                          "http://127.0.0.1:%d%s" % (port, path)],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=True).stdout.decode()
    failed = int(re.search(r"Failed requests:\s+(\d+)", out).group(1))
    if failed or re.search(r"Non-2xx responses:\s+(\d+)", out):
        sys.exit("ab: failed or non-2xx replies for %s:\n%s" % (path, out))
    return float(re.search(r"Time per request:\s+([\d.]+) \[ms\] \(mean\)", out).group(1))


def timed(pid, port, path, requests):
    """(wall ms, server CPU ms) per request of `requests` sequential fetches of `path`."""
    before = cpu_ns(pid)
    wall = ab(port, path, requests)
    return wall, (cpu_ns(pid) - before) / 1e6 / requests
