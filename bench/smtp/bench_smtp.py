"""bench_smtp.py - messages per second delivered into a mailbox over SMTP: vantrel with its
syncs (the default) and with `nosync`, against aiosmtpd appending to an mbox (it never syncs),
with a storage-free sink (sink.cpp) as the load client's ceiling.

Three patterns: every message over one connection (HELO once, then MAIL/RCPT/DATA per
message), one connection per message (greeting, HELO, MAIL, RCPT, DATA, QUIT), and 8 clients
at once, each over one connection of its own (--clients sets how many). The client speaks in
lock step (one command, one reply), as a plain SMTP client does, from precomputed bytes. By
default the client is load.cpp (compiled here with g++ -O2), which costs the measurement a few
microseconds per command; --client python uses the socket client below instead (one client
at a time only).
All servers run for the whole bench; each run gives every one of them the same load in turn
(order reversed every other run), and the figure is the median over the runs. A ratio is the
median of each run's own ratio. Vantrel answers 250 to the end of the data once the message is
stored (and, without `nosync`, synced); the stored count is checked at the end. The spools live
under --dir (on the disk the build is on, not in /tmp, which may be memory), so syncs cost what
they cost there.

--syncs also counts the fsync/fdatasync calls of each vantrel per message: a short extra run
of each pattern under `strace -f -c -e trace=fsync,fdatasync -p PID`.

  /usr/bin/python3 bench/smtp/bench_smtp.py [--messages N] [--size BYTES] [--runs N]
                                            [--clients N] [--client c|python]
                                            [--cpus same|split|free] [--syncs] [--dir DIR]
                                            [--json FILE]
Needs build/vantrel (VANTREL_BIN overrides), python3-aiosmtpd and strace (scripts/install-deps).
"""

import argparse
import json
import os
import pathlib
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
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


def build(source, name):
    """Compiles one of the bench's C++ helpers with g++ -O2 into a temp file; returns its path."""
    path = "/tmp/bench-smtp-%s-%d" % (name, os.getpid())
    subprocess.run(["g++", "-O2", "-std=c++20", "-pthread", "-o", path, str(HERE / source)],
                   check=True)
    return path


class CLoad:
    """The C++ client: one process per measurement, its rate read from its output."""

    def __init__(self, size):
        self.path = build("load.cpp", "load")
        self.size = size

    def run(self, port, count, mode, clients=1):
        out = subprocess.run([self.path, str(port), str(count), str(self.size), mode,
                              str(clients)], capture_output=True, text=True, timeout=600)
        if out.returncode != 0:
            raise RuntimeError("load client on port %d: %s" % (port, out.stderr.strip()))
        return float(out.stdout)

    def close(self):
        os.unlink(self.path)


class PythonLoad:
    def __init__(self, size):
        self.message = message_bytes(size)

    def run(self, port, count, mode, clients=1):
        if clients != 1:
            raise RuntimeError("the Python client runs one client at a time")
        pattern = one_connection if mode == "one" else connection_per_message
        return pattern(port, count, self.message)

    def close(self):
        pass


def count_syncs(pid, load, port, count, mode, clients, out_path):
    """fsync and fdatasync calls of process `pid` (all its threads) during one load run."""
    tracer = subprocess.Popen(["strace", "-f", "-c", "-e", "trace=fsync,fdatasync", "-o",
                               str(out_path), "-p", str(pid)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    # strace says "Process N attached with T threads" once it holds them all.
    line = tracer.stderr.readline()
    if b" attached" not in line:
        tracer.kill()
        raise RuntimeError("strace did not attach to %d: %r" % (pid, line))
    load.run(port, count, mode, clients)
    tracer.send_signal(signal.SIGINT)
    tracer.communicate(timeout=30)
    calls = 0
    # The summary's rows: "% time  seconds  usecs/call  calls  [errors]  syscall".
    for line in pathlib.Path(out_path).read_text().splitlines():
        fields = line.split()
        if len(fields) >= 5 and fields[-1] in ("fsync", "fdatasync"):
            calls += int(fields[3])
    return calls / count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--messages", type=int, default=2000)
    parser.add_argument("--size", type=int, default=2000, help="approximate body bytes")
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--clients", type=int, default=8, help="clients at once in the third pattern")
    parser.add_argument("--client", choices=("c", "python"), default="c")
    parser.add_argument("--json", help="also write the medians and ratios here")
    parser.add_argument("--syncs", action="store_true", help="count syncs per message (strace)")
    parser.add_argument("--dir", default=str(SOURCE / "build" / "bench" / "smtp"),
                        help="where the spools are written")
    parser.add_argument("--cpus", choices=("same", "split", "free"), default="same",
                        help="same: servers and client on CPU 0; split: servers on CPU 0, "
                        "client on CPU 1; free: wherever the scheduler puts them")
    args = parser.parse_args()
    # Where the two ends of a lock-step exchange run decides its pace more than either end
    # does: on this 2-CPU machine a reply that wakes the other CPU costs about 50 us more than
    # one handed over on the same CPU, and unpinned runs land on either at random (the sink
    # measured 5,400 to 16,000 msg/s back to back). Pinning makes runs comparable.
    if args.cpus != "free":
        os.sched_setaffinity(0, {0})  # the servers started below inherit it
    load = CLoad(args.size) if args.client == "c" else PythonLoad(args.size)
    patterns = {"one": ("one", 1), "per": ("per", 1)}
    if args.client == "c":
        patterns["many"] = ("one", args.clients)
    names = ("sink", "vantrel", "vantrel-nosync", "aiosmtpd")
    rates = {(name, p): [] for name in names for p in patterns}
    os.makedirs(args.dir, exist_ok=True)
    tempfile.tempdir = args.dir  # the harness builds its sites there
    mbox = os.path.join(args.dir, "aiosmtpd-%d.mbox" % os.getpid())
    sink_path = build("sink.cpp", "sink")
    files = {"topics/vantrel.cfg": "topics\n", "topics/alpha/vantrel.cfg": ""}
    sites = {"vantrel": Site(files, debug=False),
             "vantrel-nosync": Site(files, cfg="nosync\n", debug=False)}
    procs = []
    syncs = {}
    stored = {}
    try:
        ports = {}
        ports["sink"] = free_port()
        procs.append(peer([sink_path, str(ports["sink"])]))
        ports["aiosmtpd"] = free_port()
        procs.append(peer(["/usr/bin/python3", str(HERE / "peers.py"), str(ports["aiosmtpd"]),
                           mbox]))
        for name, site in sites.items():
            site.__enter__()
            wait_smtp(site)
            ports[name] = site.smtp_port
        if args.cpus == "split":
            os.sched_setaffinity(0, {1})  # the client, and load.cpp started from here
        for run in range(args.runs):
            order = list(names) if run % 2 == 0 else list(reversed(names))
            for p, (mode, clients) in patterns.items():
                for name in order:
                    rates[(name, p)].append(load.run(ports[name], args.messages, mode, clients))
            print("run %d of %d done" % (run + 1, args.runs), file=sys.stderr, flush=True)
        extra = {name: 0 for name in sites}
        if args.syncs:
            short = min(args.messages, 500)
            for name, site in sites.items():
                for p, (mode, clients) in patterns.items():
                    syncs[(name, p)] = count_syncs(site.proc.pid, load, ports[name], short, mode,
                                                   clients, pathlib.Path(args.dir) / "strace.txt")
                    extra[name] += short
        for name, site in sites.items():
            site.stop()
            stored[name] = count_messages(site.root / "topics" / "alpha" / "mailbox") - extra[name]
    finally:
        for site in sites.values():
            site.__exit__(None, None, None)
        for proc in procs:
            stop(proc)
        os.unlink(sink_path)
        load.close()
    stored["aiosmtpd"] = count_messages(mbox)
    if os.path.exists(mbox):
        os.unlink(mbox)
    stored["sink"] = "-"

    expected = args.runs * len(patterns) * args.messages
    client = "load.cpp" if args.client == "c" else "Python client"
    print("%d messages of %d bytes each pattern, lock-step %s, CPUs %s, median of %d runs"
          % (args.messages, len(message_bytes(args.size)), client, args.cpus, args.runs))
    heads = {"one": "one conn", "per": "conn per msg", "many": "%d clients" % args.clients}
    print("%-15s" % "msg/s" + "".join("%14s" % heads[p] for p in patterns) + "%8s" % "stored")
    result = {"clients": args.clients}
    for name in names:
        medians = {p: statistics.median(rates[(name, p)]) for p in patterns}
        result[name] = dict(medians, stored=stored[name])
        print("%-15s" % name + "".join("%14.0f" % medians[p] for p in patterns)
              + "%8s" % stored[name])
    for p in patterns:
        # Ratio per run, then the median: a busy spell on the machine falls on both servers
        # of one run, not on one server's figure only.
        for name in ("vantrel", "vantrel-nosync"):
            for peer_name in ("aiosmtpd", "sink"):
                ratios = [v / o for v, o in zip(rates[(name, p)], rates[(peer_name, p)])]
                result["ratio|%s|%s|%s" % (name, p, peer_name)] = statistics.median(ratios)
                print("%-14s / %-8s %-12s median %.2f  runs %s" % (
                    name, peer_name, heads[p], statistics.median(ratios),
                    " ".join("%.2f" % r for r in ratios)))
    for (name, p), per_message in sorted(syncs.items()):
        result["syncs|%s|%s" % (name, p)] = per_message
        print("%-14s %-12s syncs per message %.3f" % (name, heads[p], per_message))
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(result, indent=1))
    for name in ("vantrel", "vantrel-nosync", "aiosmtpd"):
        if stored[name] != expected:
            sys.exit("%s stored %s messages, expected %d" % (name, stored[name], expected))


if __name__ == "__main__":
    main()
