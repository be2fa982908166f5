#!/usr/bin/python3
"""Normal clients under a slow-client attack, and many idle connections, vantrel against nginx.

Under attack: the rate of `ab -c 5` on the 1 KiB file, first with the server to itself, then
while bench/attack/attacker.py holds TRICKLE connections that send a request head a byte every
2 s and never finish it, and READERS that fetch the 100 MiB file taking 8 KiB a second.
Both servers get the same load in turns, round by round; the medians and the ratios attacked /
alone and vantrel / nginx under attack are printed.

Idle: a fresh vantrel (and nginx, for comparison) while IDLE connections are held open at
once (every other one silent, the rest with a partial head): the server's VmRSS, the
descriptors it holds, and whether a normal request is still answered.

The servers start with a soft RLIMIT_NOFILE of 1024 and a hard one of at least HARD_NOFILE
(raised where the machine lets a process do so): vantrel has to raise its own soft limit to the hard one.

  bench/attack/run.py [--rounds N] [--requests N] [--trickle N] [--readers N] [--idle N]
                      [--quick] [--json FILE]
"""

import argparse
import json
import os
import pathlib
import resource
import signal
import socket
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "lib"))
from servers import DATA, ab, build_data, default_binary, start_nginx, start_vantrel, stop  # noqa: E402

ATTACKER = HERE / "attacker.py"
HARD_NOFILE = 65536
# Seconds between the attack being in place and the timed load: the first trickled bytes and
# the readers' first windows are under way by then.
SETTLE_SECONDS = 5
NGINX_CONNECTIONS = 12000


def raisable(hard):
    """Whether a child may raise its hard limit to `hard` (root without CAP_SYS_RESOURCE, as
    in many containers, may not)."""
    probe = "import resource; resource.setrlimit(resource.RLIMIT_NOFILE, (1024, %d))" % hard
    return subprocess.run([sys.executable, "-c", probe], capture_output=True).returncode == 0


def server_limits():
    """Soft 1024, hard as high as this process may set: the server's raise is what is measured."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < HARD_NOFILE and raisable(HARD_NOFILE):
        hard = HARD_NOFILE

    def apply():
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(1024, hard), hard))
    return apply, hard


def open_files_limit(pid):
    """(soft, hard) RLIMIT_NOFILE of a running process, from /proc/PID/limits."""
    for line in pathlib.Path("/proc/%d/limits" % pid).read_text().splitlines():
        if line.startswith("Max open files"):
            fields = line.split()
            return int(fields[3]), int(fields[4])
    return None


def status_kib(pid, field):
    for line in pathlib.Path("/proc/%d/status" % pid).read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return 0


def process_tree(pid):
    """pid and its children (nginx's workers)."""
    children = pathlib.Path("/proc/%d/task/%d/children" % (pid, pid)).read_text().split()
    return [pid] + [int(c) for c in children]


def sockets_held(pid):
    count = 0
    for fd in pathlib.Path("/proc/%d/fd" % pid).iterdir():
        try:
            if os.readlink(fd).startswith("socket:"):
                count += 1
        except OSError:
            pass
    return count


def start_attack(port, extra, duration):
    proc = subprocess.Popen([sys.executable, str(ATTACKER), "--port", str(port),
                             "--duration", str(duration)] + extra,
                            stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line.startswith('{"ready"'):
        proc.kill()
        sys.exit("the attacker did not start: %r" % line)
    return proc, json.loads(line)["ready"]


def end_attack(proc):
    proc.send_signal(signal.SIGINT)
    out, _ = proc.communicate(timeout=120)
    for line in out.splitlines():
        if line.startswith('{"done"'):
            return json.loads(line)["done"]
    sys.exit("the attacker ended without its counts")


def small_file_answered(port):
    """Seconds until the 1 KiB file came back whole, or None when it did not."""
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        s.sendall(b"GET /small.bin HTTP/1.0\r\n\r\n")
        chunks = []
        while chunk := s.recv(65536):
            chunks.append(chunk)
    head, _, body = b"".join(chunks).partition(b"\r\n\r\n")
    if b" 200 " in head.split(b"\r\n")[0] and body == (DATA / "small.bin").read_bytes():
        return time.monotonic() - started
    return None


def attack_rounds(servers, args):
    attack = ["--trickle", str(args.trickle), "--readers", str(args.readers)]
    results = {(name, kind): [] for name in servers for kind in ("alone", "attacked")}
    counts = {}
    for round_ in range(args.rounds):
        order = list(servers.items())
        if round_ % 2:
            order.reverse()  # nobody always goes first
        for name, (proc, port) in order:
            results[(name, "alone")].append(ab(port, "/small.bin", args.requests, 5)[0])
            attacker, ready = start_attack(port, attack, 600)
            if ready["trickling"] < args.trickle or ready["reading"] < args.readers:
                sys.exit("%s: the attack was not in place: %s" % (name, ready))
            time.sleep(SETTLE_SECONDS)
            results[(name, "attacked")].append(ab(port, "/small.bin", args.requests, 5)[0])
            done = end_attack(attacker)
            counts[name] = {"ready": ready, "done": done}
        print("attack round %d of %d done" % (round_ + 1, args.rounds), file=sys.stderr)
    return {"%s|%s" % key: statistics.median(v) for key, v in results.items()}, counts


def idle_figures(name, proc, port, args):
    pids = process_tree(proc.pid)
    before = sum(status_kib(p, "VmRSS") for p in pids)
    attacker, ready = start_attack(port, ["--idle", str(args.idle)], 300)
    time.sleep(2)
    pids = process_tree(proc.pid)
    held = {
        "rss_kib": sum(status_kib(p, "VmRSS") for p in pids),
        "rss_before_kib": before,
        "sockets": sum(sockets_held(p) for p in pids),
        "answered": small_file_answered(port),  # seconds
        "opened": ready["idle"],
    }
    done = end_attack(attacker)
    held["still_open"] = ready["idle"] - done["closed_by_server"]
    held["closed_silent"] = done["closed_silent"]
    held["connect_seconds"] = ready["seconds"]
    held["peak_kib"] = sum(status_kib(p, "VmHWM") for p in process_tree(proc.pid))
    print("%s idle: %s" % (name, held), file=sys.stderr)
    return held


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--requests", type=int, default=10000)
    parser.add_argument("--trickle", type=int, default=1000)
    parser.add_argument("--readers", type=int, default=100)
    parser.add_argument("--idle", type=int, default=10000)
    parser.add_argument("--only", choices=("attack", "idle"), help="run only one part")
    parser.add_argument("--quick", action="store_true", help="3 rounds, fewer requests")
    parser.add_argument("--json", help="also write the figures here")
    args = parser.parse_args()
    if args.quick:
        args.rounds, args.requests = 3, 3000

    binary = default_binary()
    build_data()
    limits, hard = server_limits()
    figures = {"hard_nofile": hard}
    servers = {}
    try:
        if args.only != "idle":
            servers["vantrel"] = start_vantrel(binary, "vantrel-attack", None, preexec_fn=limits)
            servers["nginx"] = start_nginx("nginx-attack", connections=NGINX_CONNECTIONS)
            figures["vantrel_nofile"] = open_files_limit(servers["vantrel"][0].pid)
            for _, port in servers.values():  # warm every path once
                ab(port, "/small.bin", 500, 5)
            rates, counts = attack_rounds(servers, args)
            figures.update(rates)
            figures["attack_counts"] = counts
            for name in list(servers):
                stop(servers.pop(name)[0])
        if args.only != "attack":
            # Fresh servers, so the memory is that of the idle connections, not the attack's.
            servers["vantrel"] = start_vantrel(binary, "vantrel-idle", None, preexec_fn=limits)
            servers["nginx"] = start_nginx("nginx-idle", connections=NGINX_CONNECTIONS)
            figures["vantrel_nofile"] = open_files_limit(servers["vantrel"][0].pid)
            for name, (proc, port) in servers.items():
                figures["idle|" + name] = idle_figures(name, proc, port, args)
    finally:
        for proc, _ in servers.values():
            stop(proc)

    if args.only != "idle":
        v_alone, v_hit = figures["vantrel|alone"], figures["vantrel|attacked"]
        n_alone, n_hit = figures["nginx|alone"], figures["nginx|attacked"]
        print("ab -c 5, 1 KiB, req/s, median of %d rounds of %d requests; attack: %d trickled "
              "heads, %d slow readers (%s)"
              % (args.rounds, args.requests, args.trickle, args.readers, binary))
        print("%-10s %9s %9s %9s" % ("server", "alone", "attacked", "ratio"))
        for name, alone, hit in (("vantrel", v_alone, v_hit), ("nginx", n_alone, n_hit)):
            print("%-10s %9.0f %9.0f %9.2f" % (name, alone, hit, hit / alone))
        print("vantrel / nginx under attack: %.2f" % (v_hit / n_hit))
    if args.only != "attack":
        for name in ("vantrel", "nginx"):
            i = figures["idle|" + name]
            print("%s with %d idle connections (opened in %.1f s): VmRSS %.1f MiB (%.1f before), "
                  "%d sockets, %d still open at the end (%d silent ones closed), normal request "
                  "answered after: %s s" % (name, i["opened"], i["connect_seconds"], i["rss_kib"] / 1024,
                                    i["rss_before_kib"] / 1024, i["sockets"], i["still_open"],
                                    i["closed_silent"],
                                    "never" if i["answered"] is None else "%.2f" % i["answered"]))
    print("vantrel RLIMIT_NOFILE soft/hard after start: %s (started with 1024/%d)"
          % (figures["vantrel_nofile"], hard))
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
