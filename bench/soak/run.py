#!/usr/bin/python3
"""Soak: mixed HTTP requests and SMTP deliveries against one server for a bounded time.

Starts build/vantrel in a temporary site (files, folders, a big file, a mailbox with mail),
runs CLIENTS HTTP clients (files, HEAD, listings, scenes, graphs, mailbox index and message
pages, misses, queries, clients that hang up mid-reply) and one SMTP client delivering one
message per connection. After WARMUP seconds it reads the server's VmRSS; at the end, once
every client has stopped and the workers have closed their sockets, it reads VmRSS again and
counts /proc/<pid>/fd. Prints the figures and exits 1 on a descriptor leak, a server death,
an unexpected reply, or resident memory growing past what the new mail records explain.

Usage: bench/soak/run.py [--seconds N] [--warmup N] [--clients N]
(VANTREL_BIN overrides build/vantrel)
"""

import argparse
import os
import pathlib
import random
import socket
import struct
import sys
import threading
import time

SOURCE = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "tests" / "e2e"))
os.environ.setdefault("VANTREL_BIN", str(SOURCE / "build" / "vantrel"))

from harness import Site  # noqa: E402
from smtp_client import OK, START, RawSmtp, quit_reply, wait_smtp  # noqa: E402

SPOOL = "".join(
    "From ???@??? Mon Jan 09 10:%02d:00 1995\nFrom: Writer %d <w%d@example.org>\n"
    "Subject: %s topic %d\nMessage-Id: <%d@example.org>\n%s\nline one of %d\n"
    "see http://example.org/%d or mail w%d@example.org\n"
    % (n % 60, n, n, "Re:" if n % 3 else "", n // 3, n,
       "In-Reply-To: <%d@example.org>\n" % (n - 1) if n % 3 else "", n, n, n)
    for n in range(200))

PATHS = ["/f.txt", "/docs/", "/docs/page.html", "/?scene", "/?graph", "/docs/?scene",
         "/topics/list/", "/topics/list/?sort=date", "/topics/list/?sort=subject",
         "/missing.txt", "/../f.txt", "/?type%20txt=text/plain", "/big.bin"]


def status(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def http_client(site, seed, stop, counts, problems):
    rng = random.Random(seed)
    while not stop.is_set():
        path = rng.choice(PATHS + ["/topics/list/%d" % rng.randrange(220)])
        method = "HEAD" if rng.random() < 0.1 else "GET"
        try:
            with site.connect(timeout=60) as s:
                s.sendall(("%s %s HTTP/1.0\r\n\r\n" % (method, path)).encode())
                if path == "/big.bin" and rng.random() < 0.5:
                    s.recv(1000)  # hang up mid-reply with a reset
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    counts["hangups"] += 1
                    continue
                reply = b""
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    reply += chunk if len(reply) < 4096 else b""
        except OSError as error:
            problems.append("%s %s: %s" % (method, path, error))
            continue
        if not reply.startswith((b"HTTP/1.0 200 ", b"HTTP/1.0 404 ")):
            problems.append("%s %s: %r" % (method, path, reply[:60]))
        counts["requests"] += 1


def smtp_client(site, stop, counts, problems):
    n = 0
    while not stop.is_set():
        try:
            with RawSmtp(site, timeout=60) as smtp:
                reply = smtp.talk(b"MAIL FROM:<soak@x>\r\nRCPT TO:<list@x>\r\nDATA\r\n", 3)
                reply += smtp.talk(b"From: Soak %d <soak@x>\r\nSubject: soak %d\r\n\r\nbody %d\r\n.\r\n"
                                   % (n, n, n))
                reply += smtp.talk(b"QUIT\r\n")
        except OSError as error:
            problems.append("delivery %d: %s" % (n, error))
            continue
        if reply != OK + OK + START + OK + quit_reply():
            problems.append("delivery %d: %r" % (n, reply[:80]))
        counts["deliveries"] += 1
        n += 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=180)
    parser.add_argument("--warmup", type=float, default=20)
    parser.add_argument("--clients", type=int, default=8)
    args = parser.parse_args()

    files = {"f.txt": "plain file\n", "docs/page.html": "<p>page</p>\n",
             "topics/vantrel.cfg": "topics\n", "topics/list/mailbox": SPOOL,
             "big.bin": os.urandom(4 * 1024 * 1024)}
    files.update({"docs/file%03d.txt" % i: "x" * i for i in range(300)})
    counts = {"requests": 0, "deliveries": 0, "hangups": 0}
    problems = []
    with Site(files, debug=False, clients=args.clients) as site:
        wait_smtp(site)
        pid = site.proc.pid
        fd_start = descriptors(pid)
        stop = threading.Event()
        threads = [threading.Thread(target=http_client, args=(site, i, stop, counts, problems))
                   for i in range(args.clients)]
        threads.append(threading.Thread(target=smtp_client, args=(site, stop, counts, problems)))
        for t in threads:
            t.start()
        time.sleep(args.warmup)
        rss_warm = status(pid, "VmRSS")
        delivered_warm = counts["deliveries"]
        time.sleep(max(0.0, args.seconds - args.warmup))
        stop.set()
        for t in threads:
            t.join()
        # Workers close their sockets as their last replies finish; give them a bounded moment.
        deadline = time.monotonic() + 10
        while descriptors(pid) > fd_start and time.monotonic() < deadline:
            time.sleep(0.05)
        rss_end = status(pid, "VmRSS")
        fd_end = descriptors(pid)
        alive = site.proc.poll() is None
        new_mail = counts["deliveries"] - delivered_warm
        # A mail record holds its header values and list links: allow 1 KiB each, plus 2 MiB
        # for allocator slack.
        allowed = rss_warm + new_mail + 2048

    print("soak: %.0f s, %d HTTP clients + 1 SMTP client" % (args.seconds, args.clients))
    print("requests answered: %d (hang-ups mid-reply: %d), messages delivered: %d"
          % (counts["requests"], counts["hangups"], counts["deliveries"]))
    print("VmRSS after %.0f s warm-up: %d KiB; at the end: %d KiB (%+d KiB, %d messages since"
          " warm-up; allowed up to %d KiB)" % (args.warmup, rss_warm, rss_end, rss_end - rss_warm,
                                             new_mail, allowed))
    print("descriptors: %d at start, %d at the end; server alive: %s; problems: %d"
          % (fd_start, fd_end, alive, len(problems)))
    for problem in problems[:10]:
        print("  " + problem)
    failed = not alive or fd_end > fd_start or problems or rss_end > allowed
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
