#!/usr/bin/python3
"""HTTP serving against nginx on the same files, side by side, one request per connection.

Builds build/bench/data (1 KiB and 100 KiB files, a 100 MiB file, a folder of 1,000 files),
starts vantrel three times (its default of 5 workers; `clients` tuned; tuned with an access
log written to a file) and nginx with a throw-away configuration of its own (one worker per
core, sendfile on, access log off, autoindex and `gzip on` for the folder), all on loopback,
then runs the load in rounds: in each round every server of a test gets the same load, one
after another, so a busy neighbour on the machine hits all of them alike. Prints the median
over the rounds of each figure, and the ratio vantrel / nginx (for the access-log server: its
ratio to the same tuned server without the log).

Besides plain GETs: 304 replies (If-Modified-Since with the file's own time, which nginx's
`if_modified_since exact` also takes), a 1 MiB Range out of the 100 MiB file, and the listing
with `Accept-Encoding: gzip`. Every reply kind is checked for its bytes before it is timed.

  bench/http/run.py [--rounds N] [--requests N] [--clients N] [--quick] [--json FILE] [--only TEXT]

VANTREL_BIN overrides the binary (default build-release/vantrel if built, else build/vantrel).
"""

import argparse
import email.utils
import gzip
import json
import os
import pathlib
import socket
import statistics
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "lib"))
from servers import (BIG_BYTES, DATA, LIST_ENTRIES, WORK, ab, build_data,  # noqa: E402
                     default_binary, start_nginx, start_vantrel, stop)

# The asked-for range: 1 MiB from the middle of the 100 MiB file.
RANGE_FIRST = 50 * 1024 * 1024
RANGE_BYTES = 1024 * 1024
RANGE_HEADER = "Range: bytes=%d-%d" % (RANGE_FIRST, RANGE_FIRST + RANGE_BYTES - 1)
GZIP_HEADER = "Accept-Encoding: gzip"
ACCESS_LOG = WORK / "access.log"
# curl for the large file runs on the last CPU, the servers wherever the scheduler puts them
# (in practice the other one): unpinned, curl and the server sometimes shared a CPU and
# sometimes not, and the MB/s of back-to-back runs moved by a quarter. FETCH_PREFIX overrides
# ("" for no pinning).
FETCH_PREFIX = (os.environ["FETCH_PREFIX"] if "FETCH_PREFIX" in os.environ else
                "taskset -c %d" % (os.cpu_count() - 1) if (os.cpu_count() or 1) > 1 else "").split()


def fetch_big(port):
    """MB/s of one GET of the 100 MiB file by curl (C, writing to /dev/null), so the figure is
    bounded by the server and the loopback rather than by a Python receive loop."""
    url = "http://127.0.0.1:%d/big.bin" % port
    out = subprocess.run(FETCH_PREFIX + ["curl", "-s", "-S", "--http1.0", "-o", "/dev/null", "-w",
                          "%{http_code} %{size_download} %{time_total}", url],
                         capture_output=True, text=True, timeout=120)
    fields = out.stdout.split()
    if out.returncode != 0 or len(fields) != 3 or fields[0] != "200":
        sys.exit("curl failed on %s: %s %s" % (url, out.stdout, out.stderr))
    if int(fields[1]) != BIG_BYTES:
        sys.exit("short reply for /big.bin on port %d: %s bytes" % (port, fields[1]))
    return BIG_BYTES / float(fields[2]) / 1e6


def warm_big():
    """Reads the 100 MiB file once, so no server's first fetch waits on the disk."""
    with open(DATA / "big.bin", "rb") as f:
        while f.read(4 << 20):
            pass


def get(port, path, headers=()):
    """(status line, header block, body) of one HTTP/1.0 GET."""
    request = "GET %s HTTP/1.0\r\n%s\r\n" % (path, "".join(h + "\r\n" for h in headers))
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(request.encode())
        chunks = []
        while chunk := s.recv(65536):
            chunks.append(chunk)
    head, _, body = b"".join(chunks).partition(b"\r\n\r\n")
    status, _, lines = head.decode("latin-1").partition("\r\n")
    return status, lines.lower(), body


def not_modified_header():
    """If-Modified-Since with the 1 KiB file's own time, in the form both servers send."""
    mtime = (DATA / "small.bin").stat().st_mtime
    return "If-Modified-Since: " + email.utils.formatdate(int(mtime), usegmt=True)


def check_replies(ports):
    """Every server answers every timed request right (a wrong reply is no win): the static
    files with the bytes on disk, the 304 without a body, the range with exactly its bytes,
    and the listing compressed. Returns the compressed listing size per port."""
    with open(DATA / "big.bin", "rb") as f:
        f.seek(RANGE_FIRST)
        range_bytes = f.read(RANGE_BYTES)
    sizes = {}
    for port in ports:
        for name in ("small.bin", "medium.bin"):
            if get(port, "/" + name)[2] != (DATA / name).read_bytes():
                sys.exit("port %d: /%s body differs from the file" % (port, name))
        status, _, body = get(port, "/small.bin", [not_modified_header()])
        if " 304 " not in status or body:
            sys.exit("port %d: no bodiless 304 for its own time: %s" % (port, status))
        status, _, body = get(port, "/big.bin", [RANGE_HEADER])
        if " 206 " not in status or body != range_bytes:
            sys.exit("port %d: the range came back wrong: %s, %d bytes" % (port, status, len(body)))
        status, lines, body = get(port, "/list/", [GZIP_HEADER])
        if " 200 " not in status or "content-encoding: gzip" not in lines:
            sys.exit("port %d: the listing was not compressed: %s" % (port, status))
        plain = get(port, "/list/")[2]
        if gzip.decompress(body) != plain or plain.count(b"entry") < LIST_ENTRIES:
            sys.exit("port %d: the compressed listing is not the plain one" % port)
        sizes[port] = (len(body), len(plain))
    return sizes


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--requests", type=int, default=20000)
    parser.add_argument("--clients", type=int, default=os.cpu_count() or 2,
                        help="vantrel's tuned `clients` (default: one per CPU)")
    parser.add_argument("--quick", action="store_true", help="3 rounds, fewer requests")
    parser.add_argument("--json", help="also write the medians here")
    parser.add_argument("--only", help="run only the tests whose label contains this text")
    args = parser.parse_args()
    if args.quick:
        args.rounds, args.requests = 3, 5000
    list_requests = max(200, args.requests // 10)
    # Fetches of the large file per server and round, taken in turns: one fetch is a tenth of
    # a second, so a single one is at the mercy of whatever else the machine does then.
    big_times = 4 if args.quick else 10

    binary = default_binary()
    build_data()
    servers = {}
    vantrels = ("vantrel", "vantrel-tuned", "nginx")
    # The small-file rows run on the logging server too: it is the tuned one plus `accesslog`.
    small_files = vantrels + ("vantrel-log",)
    logged_requests = 0
    try:
        servers["vantrel"] = start_vantrel(binary, "vantrel-default", None)
        servers["vantrel-tuned"] = start_vantrel(binary, "vantrel-tuned", args.clients)
        if ACCESS_LOG.exists():
            ACCESS_LOG.unlink()
        servers["vantrel-log"] = start_vantrel(binary, "vantrel-log", args.clients,
                                               "accesslog=%s\n" % ACCESS_LOG)
        servers["nginx"] = start_nginx()
        sizes = check_replies([port for _, port in servers.values()])
        print("compressed / plain listing bytes: " + ", ".join(
            "%s %d / %d" % (name, *sizes[port]) for name, (_, port) in servers.items()))

        tests = []  # (label, run, servers, requests per run on a server)
        for size, path in (("1 KiB", "/small.bin"), ("100 KiB", "/medium.bin")):
            for c in (5, 50):
                tests.append(("%s -c %d" % (size, c),
                              lambda p, path=path, c=c: ab(p, path, args.requests, c),
                              small_files, args.requests))
        tests.append(("304 1 KiB -c 5", lambda p: ab(p, "/small.bin", args.requests, 5,
                                                    [not_modified_header()], all_304=True),
                      vantrels, args.requests))
        tests.append(("listing 1,000 -c 5", lambda p: ab(p, "/list/", list_requests, 5),
                      vantrels, list_requests))
        tests.append(("listing gzip -c 5",
                      lambda p: ab(p, "/list/", list_requests, 5, [GZIP_HEADER]),
                      vantrels, list_requests))
        tests.append(("1 MiB range -c 5",
                      lambda p: ab(p, "/big.bin", list_requests, 5, [RANGE_HEADER]),
                      vantrels, list_requests))
        tests.append(("100 MiB file", lambda p: (fetch_big(p), None), vantrels, 1))

        if args.only:
            tests = [t for t in tests if args.only in t[0]]
        results = {(t[0], s): [] for t in tests for s in t[2]}
        warm_big()
        for _ in range(3 if not args.quick else 1):  # warm every path once
            for _, (proc, port) in servers.items():
                ab(port, "/list/", 50, 5)
                ab(port, "/small.bin", 500, 5)
        for round_ in range(args.rounds):
            for label, run, names, requests in tests:
                order = [(name, servers[name]) for name in names]
                if round_ % 2:
                    order.reverse()  # nobody always goes first
                # The large file takes a while per fetch: take turns fetch by fetch, so a
                # neighbour's burst on the machine falls on every server alike.
                turns = big_times if label.startswith("100 MiB") else 1
                for _ in range(turns):
                    for name, (proc, port) in order:
                        results[(label, name)].append(run(port))
                        if name == "vantrel-log":
                            logged_requests += requests
            print("round %d of %d done" % (round_ + 1, args.rounds), file=sys.stderr)
    finally:
        for proc, _ in servers.values():
            stop(proc)
    # A log that is not written costs nothing: make sure every timed request left its line.
    log_lines = ACCESS_LOG.read_bytes().count(b"\n") if ACCESS_LOG.exists() else 0
    if log_lines < logged_requests:
        sys.exit("the access log has %d lines for %d timed requests" % (log_lines, logged_requests))

    medians = {}
    for (label, name), values in results.items():
        rate = statistics.median(v[0] for v in values)
        p99 = statistics.median(v[1] for v in values) if values[0][1] is not None else None
        medians["%s|%s" % (label, name)] = {"rate": rate, "p99": p99}
    print("HTTP/1.0, one request per connection, median of %d rounds (%s; tuned: clients=%d; "
          "logged: tuned with accesslog, %d lines written)"
          % (args.rounds, binary, args.clients, log_lines))
    print("%-20s %9s %9s %9s %9s %7s %7s %7s  %s" % (
        "test", "vantrel", "tuned", "logged", "nginx", "ratio", "tuned", "log/off",
        "p99 ms v/t/n"))
    for label, _, names, _ in tests:
        v, t, n = (medians["%s|%s" % (label, s)] for s in vantrels)
        g = medians.get("%s|vantrel-log" % label)
        unit = "MB/s" if label.startswith("100 MiB") else "req/s"
        p99 = "-" if v["p99"] is None else "%g/%g/%g" % (v["p99"], t["p99"], n["p99"])
        print("%-20s %9.0f %9.0f %9s %9.0f %7.2f %7.2f %7s  %s %s" % (
            label, v["rate"], t["rate"], "%.0f" % g["rate"] if g else "-", n["rate"],
            v["rate"] / n["rate"], t["rate"] / n["rate"],
            "%.2f" % (g["rate"] / t["rate"]) if g else "-", p99, unit))
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(medians, indent=1))


if __name__ == "__main__":
    main()
