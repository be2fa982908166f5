#!/usr/bin/python3
"""The archive as data against its peers, side by side in one run:

- `json` on a 1,000-entry folder against nginx's autoindex with autoindex_format json;
- `mbox` of a mailbox against nginx sending the same spool file;
- `find` over 100,000 messages against the full date-sorted index page of the same mailbox
  (the target: a search answers in at most the time of that page).

Prints requests per second (or ms per page) for each and the ratio. Everything listens on
127.0.0.1 and lives under build/bench/archive/.

usage: bench/archive/run.py [requests, default 200]
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "bench" / "mailindex"))
sys.path.insert(0, str(ROOT / "bench" / "lib"))
os.environ.setdefault("VANTREL_SOURCE", str(ROOT))
import harness  # noqa: E402
from run import spool  # noqa: E402  (the index bench's 100,000-message spool)
import servers  # noqa: E402

WORK = ROOT / "build" / "bench" / "archive"
MESSAGES = 100_000

JSON_LISTING = "location /list/ { autoindex on; autoindex_format json; }"


def ab(port, path, requests, concurrency):
    """(requests per second, mean ms per request, document bytes) from one ab run."""
    out = subprocess.run(["ab", "-q", "-r", "-s", "60", "-n", str(requests), "-c",
                          str(concurrency), "http://127.0.0.1:%d%s" % (port, path)],
                         capture_output=True, text=True, timeout=900).stdout
    failed = re.search(r"Failed requests:\s+(\d+)", out)
    if not failed or int(failed.group(1)) or "Non-2xx" in out:
        sys.exit("ab failed on %s:\n%s" % (path, out))
    rps = float(re.search(r"Requests per second:\s+([\d.]+)", out).group(1))
    mean = float(re.search(r"Time per request:\s+([\d.]+) \[ms\] \(mean\)", out).group(1))
    size = int(re.search(r"Document Length:\s+(\d+)", out).group(1))
    return rps, mean, size


def main():
    requests = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    files = {"topics/vantrel.cfg": "topics\n", "topics/big/mailbox": spool(MESSAGES)}
    for i in range(1000):
        files["list/file-%04d.txt" % i] = "x" * (i % 97)
    with harness.Site(files=files, debug=False, clients=os.cpu_count() or 2) as site:
        os.chmod(site.root.parent, 0o755)  # nginx's workers read the same files
        shutil.rmtree(WORK / "nginx", ignore_errors=True)
        nginx, port = servers.start_nginx("archive/nginx", root=site.root,
                                          locations=JSON_LISTING)
        try:
            rows = []
            v = ab(site.port, "/list/?json", requests, 4)
            n = ab(port, "/list/", requests, 4)
            rows.append(("json, 1,000 entries (req/s)", v[0], n[0], v[0] / n[0], ">= 3"))
            big = max(10, requests // 20)
            v = ab(site.port, "/topics/big/?mbox", big, 1)
            n = ab(port, "/topics/big/mailbox", big, 1)
            if v[2] != n[2]:
                sys.exit("mbox and the file differ in length: %d vs %d" % (v[2], n[2]))
            rows.append(("mbox, %d MB (req/s)" % (v[2] // 10**6), v[0], n[0], v[0] / n[0],
                         ">= 0.9"))
            pages = max(5, requests // 40)
            f = ab(site.port, "/topics/big/?find=sender+42", pages, 1)
            s = ab(site.port, "/topics/big/?SORT=DATE", pages, 1)
            rows.append(("find vs sorted page (ms)", f[1], s[1], s[1] / f[1], ">= 1"))
        finally:
            servers.stop(nginx)
    print("%-30s %12s %12s %8s  %s" % ("test", "vantrel", "peer", "ratio", "target"))
    for name, mine, peer, ratio, target in rows:
        print("%-30s %12.1f %12.1f %8.2f  %s" % (name, mine, peer, ratio, target))


if __name__ == "__main__":
    main()
