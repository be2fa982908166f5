"""bench_smtp.py - messages per second delivered into a mailbox over SMTP: vantrel against
aiosmtpd appending to an mbox, with a storage-free sink (sink.cpp) first as the load client's ceiling.

Two patterns: every message over one connection (HELO once, then MAIL/RCPT/DATA per message),
and one connection per message (greeting, HELO, MAIL, RCPT, DATA, QUIT). The client speaks in
lock step (one command, one reply), as a plain SMTP client does, from precomputed bytes.
Neither server syncs to disk; vantrel stores a message at the next MAIL or QUIT.

  /usr/bin/python3 bench/smtp/bench_smtp.py [--messages N] [--size BYTES]
Needs build/vantrel and python3-aiosmtpd (scripts/install-deps).
"""

import argparse
import os
import pathlib
import socket
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = HERE.parents[1]
sys.path.insert(0, str(SOURCE / "tests" / "e2e"))
from harness import Site, free_port  # noqa: E402
from smtp_client import wait_smtp  # noqa: E402


def message_bytes(size):
    body = b"".join(b"line %05d of the message body, plain text\r\n" % i
                    for i in range(max(1, size // 44)))
    return b"From: bench <b@example.org>\r\nSubject: bench\r\n\r\n" + body + b".\r\n"


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.file = self.sock.makefile("rb")
        self.expect(b"2")

    def expect(self, code):
        line = self.file.readline()
        if not line.startswith(code):
            raise RuntimeError("unexpected reply %r" % line)

    def cmd(self, data, code=b"2"):
        self.sock.sendall(data)
        self.expect(code)

    def transaction(self, message):
        self.cmd(b"MAIL FROM:<b@example.org>\r\n")
        self.cmd(b"RCPT TO:<alpha@example.org>\r\n")
        self.cmd(b"DATA\r\n", b"3")
        self.cmd(message)

    def close(self):
        self.cmd(b"QUIT\r\n")
        self.file.close()
        self.sock.close()


def one_connection(port, count, message):
    start = time.perf_counter()
    client = Client(port)
    client.cmd(b"HELO bench\r\n")
    for _ in range(count):
        client.transaction(message)
    client.close()
    return count / (time.perf_counter() - start)


def connection_per_message(port, count, message):
    start = time.perf_counter()
    for _ in range(count):
        client = Client(port)
        client.cmd(b"HELO bench\r\n")
        client.transaction(message)
        client.close()
    return count / (time.perf_counter() - start)


def count_messages(mbox):
    data = pathlib.Path(mbox).read_bytes() if pathlib.Path(mbox).exists() else b""
    return data.count(b"From ???@??? ")


def peer(args):
    proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    if proc.stdout.readline().strip() != b"ready":
        raise RuntimeError("%s did not start" % args[0])
    return proc


def stop(proc):
    proc.stdin.close()
    proc.terminate()
    proc.wait(30)


def build_sink():
    """Compiles sink.cpp (a storage-free SMTP sink) into a temp file; returns its path."""
    path = "/tmp/bench-smtp-sink-%d" % os.getpid()
    subprocess.run(["g++", "-O2", "-std=c++20", "-o", path, str(HERE / "sink.cpp")], check=True)
    return path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--messages", type=int, default=2000)
    parser.add_argument("--size", type=int, default=2000, help="approximate body bytes")
    args = parser.parse_args()
    message = message_bytes(args.size)
    rows = []

    sink_path = build_sink()
    port = free_port()
    sink = peer([sink_path, str(port)])
    try:
        rows.append(("sink (client ceiling)", one_connection(port, args.messages, message),
                     connection_per_message(port, args.messages, message), "-"))
    finally:
        stop(sink)
        os.unlink(sink_path)

    files = {"topics/vantrel.cfg": "topics\n", "topics/alpha/vantrel.cfg": ""}
    with Site(files, debug=False) as site:
        wait_smtp(site)
        single = one_connection(site.smtp_port, args.messages, message)
        per = connection_per_message(site.smtp_port, args.messages, message)
        stored = count_messages(site.root / "topics" / "alpha" / "mailbox")
        rows.append(("vantrel", single, per, stored))

    mbox = "/tmp/bench-aiosmtpd-%d.mbox" % os.getpid()
    port = free_port()
    aio = peer(["/usr/bin/python3", str(HERE / "peers.py"), str(port), mbox])
    try:
        single = one_connection(port, args.messages, message)
        per = connection_per_message(port, args.messages, message)
        rows.append(("aiosmtpd + mbox", single, per, count_messages(mbox)))
    finally:
        stop(aio)
        if os.path.exists(mbox):
            os.unlink(mbox)

    print("%d messages of %d bytes each pattern, lock-step client" % (args.messages, len(message)))
    print("%-24s %16s %22s %8s" % ("server", "one conn msg/s", "conn per msg msg/s", "stored"))
    for name, single, per, stored in rows:
        print("%-24s %16.0f %22.0f %8s" % (name, single, per, stored))


if __name__ == "__main__":
    main()
