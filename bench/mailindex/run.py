#!/usr/bin/python3
"""Mailbox index cost against mailbox size: 10,000 vs 100,000 messages, every order.

Builds a temporary site with two mailboxes (a third of the messages replies), starts
build/vantrel, and has ab fetch each index page; prints the mean time per page side by side
and the ratio, which should stay near the ratio of sizes (10).

usage: bench/mailindex/run.py [requests per page, default 5]
"""

import os
import pathlib
import re
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
os.environ.setdefault("VANTREL_SOURCE", str(ROOT))
import harness  # noqa: E402

SIZES = (10_000, 100_000)
ORDERS = ("", "?SORT=FROM", "?SORT=SUBJECT", "?SORT=DATE", "?SORT=OTHER", "?EXPAND=0")
MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")


def spool(count):
    parts = []
    for i in range(count):
        reply = i % 3 == 2
        topic = i - 1 if reply else i
        date = "Mon, %d %s %d %02d:%02d:00 -0800" % (
            1 + i % 28, MONTHS[i // 28 % 12], 1990 + i // 336 % 10, i % 24, i % 60)
        parts.append(
            "From ???@??? Mon Jan 09 10:11:12 1995\n"
            "From: Sender %d <s%d@host.example>\n" % (i % 500, i % 500) +
            "Subject: %stopic %d\n" % ("Re: " if reply else "", topic) +
            "Date: %s\n" % date +
            "Message-Id: <%d@host.example>\n" % i +
            ("In-Reply-To: <%d@host.example>\n" % topic if reply else "") +
            "\nBody of message %d.\n" % i)
    return "".join(parts)


def ab(port, path, requests):
    out = subprocess.run(["ab", "-q", "-n", str(requests), "-c", "1",
                          "http://127.0.0.1:%d%s" % (port, path)],
                         capture_output=True, text=True, check=True).stdout
    mean = float(re.search(r"Time per request:\s+([\d.]+) \[ms\] \(mean\)", out).group(1))
    size = int(re.search(r"Document Length:\s+(\d+)", out).group(1))
    return mean, size


def main():
    requests = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    files = {"topics/vantrel.cfg": "topics\n"}
    for n in SIZES:
        files["topics/m%d/mailbox" % n] = spool(n)
    started = time.monotonic()
    with harness.Site(files=files, debug=False) as site:
        print("start-up with %s messages: %.1f s" % (" + ".join(map(str, SIZES)),
                                                      time.monotonic() - started))
        print("%-14s %14s %14s %7s %12s" % ("order", "10k ms/page", "100k ms/page", "ratio",
                                             "100k bytes"))
        for order in ORDERS:
            small, _ = ab(site.port, "/topics/m%d/%s" % (SIZES[0], order), requests)
            large, size = ab(site.port, "/topics/m%d/%s" % (SIZES[1], order), requests)
            print("%-14s %14.1f %14.1f %7.1f %12d" % (order or "(threaded)", small, large,
                                                      large / small, size))


if __name__ == "__main__":
    main()
