#!/usr/bin/python3
"""Message pages of a `mime` mailbox against the same pages of a plain one.

Picks real messages of the shapes that decoding touches from the mail corpora (multipart with
an attachment, multipart/alternative, quoted-printable, base64 text, encoded-word subjects,
other charsets), writes them into one spool, and serves that spool twice from one server: as
topics/on (the mailbox keyword `mime`) and topics/off. ab fetches every message page of both
in turn, on then off, for several rounds. Two figures per page, each the median of its
rounds: ab's wall time per request, and the server's CPU time per request (the sum over its
threads of /proc/PID/task/*/schedstat, which a busy shared machine disturbs far less). The
ratio is mime / plain, on CPU time (the target: at most 2).

usage: bench/mime/run.py [--requests N] [--rounds R] [--json FILE]
(VANTREL_BIN overrides build/vantrel; BENCH_MAIL the corpus folder; needs ab.)
"""

import argparse
import json
import os
import pathlib
import re
import statistics
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "bench"))
os.environ.setdefault("VANTREL_SOURCE", str(ROOT))
import harness  # noqa: E402
from serverload import ab, timed  # noqa: E402

MAIL = pathlib.Path(os.environ.get("BENCH_MAIL", ROOT.parent.parent / "shared" / "data" / "mail"))
PER_SHAPE = 2
LARGEST = 100_000  # bytes; the odd huge attachment would measure base64 alone


def records(path):
    """The spool's records (envelope line included); body "From " lines are quoted there."""
    data = path.read_bytes()
    starts = [0] + [m.start() + 1 for m in re.finditer(rb"\nFrom ", data)]
    return [data[a:b] for a, b in zip(starts, starts[1:] + [len(data)])]


def shape(record):
    """The decoding shape of one record, or None for mail that is plain text."""
    head, _, body = record.partition(b"\n\n")
    head = head.lower()
    if re.search(rb"(?m)^(From:|Sent:)", body):
        return None  # the reader splits there: one message would be two records
    if b"multipart/mixed" in head and b"content-disposition: attachment" in body.lower():
        return "multipart, attachment"
    if b"multipart/alternative" in head:
        return "multipart/alternative"
    if re.search(rb"(?m)^subject:.*=\?", head):
        return "encoded subject"
    if re.search(rb"(?m)^content-transfer-encoding:\s*quoted-printable", head):
        return "quoted-printable"
    if re.search(rb"(?m)^content-transfer-encoding:\s*base64", head):
        return "base64 text"
    if re.search(rb"charset=\"?(gb2312|iso-2022-jp|koi8-r|big5|euc-)", head):
        return "other charset"
    return None


def pick():
    chosen, counts = [], {}
    for name in ("linux-mips.mbox", "odd.mbox"):
        for record in records(MAIL / name):
            kind = shape(record)
            if kind and len(record) <= LARGEST and counts.get(kind, 0) < PER_SHAPE:
                counts[kind] = counts.get(kind, 0) + 1
                chosen.append((kind, record if record.endswith(b"\n\n") else record + b"\n"))
    return chosen


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--json")
    args = parser.parse_args()
    chosen = pick()
    if not chosen:
        sys.exit("no corpus messages found in %s" % MAIL)
    spool = b"".join(record for _, record in chosen)
    files = {"topics/vantrel.cfg": "topics\n", "topics/on/vantrel.cfg": "mime\n",
             "topics/on/mailbox": spool, "topics/off/mailbox": spool}
    with harness.Site(files=files, debug=False) as site:
        listed = json.loads(site.get("/topics/off/?json")[2])
        numbers = sorted(m["number"] for m in listed)
        if numbers != list(range(len(chosen))):
            sys.exit("the mailbox holds %d records for %d messages" % (len(numbers), len(chosen)))
        on_json = json.loads(site.get("/topics/on/?json")[2])
        if sorted(m["number"] for m in on_json) != numbers:
            sys.exit("the mime mailbox split the spool differently")
        sizes = {}
        times = {(n, box): [] for n in numbers for box in ("on", "off")}
        cpu = {(n, box): [] for n in numbers for box in ("on", "off")}
        for n in numbers:
            for box in ("on", "off"):
                status, _, body = site.get("/topics/%s/%d" % (box, n))
                if " 200 " not in status + " ":
                    sys.exit("/topics/%s/%d: %s" % (box, n, status))
                sizes[(n, box)] = len(body)
                ab(site.port, "/topics/%s/%d" % (box, n), 10)  # warm up
        for _ in range(args.rounds):
            for n in numbers:
                for box in ("on", "off"):
                    wall, used = timed(site.proc.pid, site.port, "/topics/%s/%d" % (box, n),
                                       args.requests)
                    times[(n, box)].append(wall)
                    cpu[(n, box)].append(used)
    median = {key: statistics.median(v) for key, v in times.items()}
    cpu_median = {key: statistics.median(v) for key, v in cpu.items()}
    print("%d corpus messages, ab -n %d -c 1, %d rounds, median ms per page"
          % (len(chosen), args.requests, args.rounds))
    print("%-6s %-22s %8s %8s %6s %8s %8s %6s %7s %7s" % (
        "record", "shape", "mime ms", "plain ms", "ratio", "mime cpu", "plain", "ratio", "mime B",
        "plain B"))
    worst = 0.0
    for n in numbers:
        ratio = median[(n, "on")] / median[(n, "off")]
        cpu_ratio = cpu_median[(n, "on")] / cpu_median[(n, "off")]
        worst = max(worst, cpu_ratio)
        print("%-6d %-22s %8.3f %8.3f %6.2f %8.3f %8.3f %6.2f %7d %7d" % (
            n, chosen[n][0], median[(n, "on")], median[(n, "off")], ratio, cpu_median[(n, "on")],
            cpu_median[(n, "off")], cpu_ratio, sizes[(n, "on")], sizes[(n, "off")]))
    result = {}
    for name, table in (("wall", median), ("cpu", cpu_median)):
        on = sum(table[(n, "on")] for n in numbers)
        off = sum(table[(n, "off")] for n in numbers)
        result[name] = {"mime_ms": on, "plain_ms": off, "ratio": on / off}
        print("all pages, %-4s ms: mime %.3f, plain %.3f, ratio %.2f" % (name, on, off, on / off))
    result["worst_cpu"] = worst
    print("worst page, cpu ratio %.2f; target: mime / plain <= 2" % worst)
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main())
